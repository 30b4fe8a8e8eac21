#include "analytics/support/MSRASLLogger.h"

#include <cinttypes>
#include <cstdio>

#include <utility>

MSRASLLogger::MSRASLLogger(std::shared_ptr<MSRConsoleLogger> console)
    : console_(console ? std::move(console) : MSRConsoleLogger::sharedPointer()) {}

int MSRASLLogger::ZULLoggerLevelFromLogLevel(int64_t logLevel) {
    static constexpr int kTable[] = {3, 3, 3, 4, 4, 4, 5, 7, 7};
    if (logLevel < 0 || logLevel > 8) return MSRConsoleLogger::kLevelWarning;
    return kTable[logLevel];
}

std::string MSRASLLogger::messageCodeText(int64_t messageCode) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "I-MSR%06" PRId64, messageCode);
    return buffer;
}

void MSRASLLogger::logMessage(const std::string& message, const std::string& logTag,
                              int64_t messageCode, int64_t logLevel) {
    // The console treats the message as a format; a "%" of the message must
    // print as itself.
    std::string escaped;
    escaped.reserve(message.size());
    for (char c : message) {
        escaped.push_back(c);
        if (c == '%') escaped.push_back('%');
    }
    console_->logBasic(ZULLoggerLevelFromLogLevel(logLevel), kSubsystem, logTag, logLevel == 7,
                      messageCodeText(messageCode), escaped);
}
