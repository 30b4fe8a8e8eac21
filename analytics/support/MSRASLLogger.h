#pragma once

#include "analytics/support/MSRConsoleLogger.h"
#include "analytics/support/MSRLogging.h"

#include <memory>

// The monitor's console sink: turns a report into one console line with the
// code shown as "I-MSR%06ld". It owns a share of its console, since its lines
// are written from the monitor's queue, which may outlive whoever made it.
class MSRASLLogger : public MSRLogging {
public:
    // The console subsystem of the engine's lines.
    static constexpr const char* kSubsystem = "app.calvaro.analytics";

    explicit MSRASLLogger(std::shared_ptr<MSRConsoleLogger> console = MSRConsoleLogger::sharedPointer());

    void logMessage(const std::string& message, const std::string& logTag, int64_t messageCode,
                    int64_t logLevel) override;

    // The console level of an engine level: 3, 3, 3, 4, 4, 4, 5, 7, 7 for
    // levels 0 to 8 and 4 for any other.
    static int ZULLoggerLevelFromLogLevel(int64_t logLevel);
    // "I-MSR" and the code in at least six digits.
    static std::string messageCodeText(int64_t messageCode);

    MSRConsoleLogger& console() const { return *console_; }

private:
    std::shared_ptr<MSRConsoleLogger> console_;
};
