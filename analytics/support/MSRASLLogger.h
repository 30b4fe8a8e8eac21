#pragma once

#include "analytics/support/MSRConsoleLogger.h"
#include "analytics/support/MSRLogging.h"

// The monitor's console sink: turns a report into one console line with the
// code shown as "I-MSR%06ld".
class MSRASLLogger : public MSRLogging {
public:
    // The console subsystem of the engine's lines.
    static constexpr const char* kSubsystem = "app.calvaro.analytics";

    explicit MSRASLLogger(MSRConsoleLogger& console = MSRConsoleLogger::shared());

    void logMessage(const std::string& message, const std::string& logTag, int64_t messageCode,
                    int64_t logLevel) override;

    // The console level of an engine level: 3, 3, 3, 4, 4, 4, 5, 7, 7 for
    // levels 0 to 8 and 4 for any other.
    static int ZULLoggerLevelFromLogLevel(int64_t logLevel);
    // "I-MSR" and the code in at least six digits.
    static std::string messageCodeText(int64_t messageCode);

    MSRConsoleLogger& console() const { return console_; }

private:
    MSRConsoleLogger& console_;
};
