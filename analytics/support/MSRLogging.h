#pragma once

#include <cstdint>
#include <string>

// The console sink of the monitor.
class MSRLogging {
public:
    virtual ~MSRLogging() = default;
    virtual void logMessage(const std::string& message, const std::string& logTag,
                            int64_t messageCode, int64_t logLevel) = 0;
};
