#include "analytics/storage/MSRStorageLog.h"

#include "analytics/support/MSRASLLogger.h"
#include "analytics/support/MSRConsoleLogger.h"
#include "analytics/support/MSRMonitor.h"

namespace {
constexpr const char* kCategory = "<RovIdarurozaro>";

// The console takes the message as a format without arguments.
std::string escaped(std::string_view message) {
    std::string out;
    for (char c : message) {
        out += c;
        if (c == '%') out += '%';
    }
    return out;
}
}  // namespace

void MSRStorageLog(int64_t level, int64_t code, std::string_view message,
                   const std::vector<MSRLogContext>& contexts) {
    MSRMonitor::shared()->logWithLevel(level, code, message, contexts);
}

void MSRStorageConsoleLog(MSRConsoleSeverity severity, int64_t code, std::string_view message) {
    int level = severity == MSRConsoleSeverity::kError ? MSRConsoleLogger::kLevelError
                                                       : MSRConsoleLogger::kLevelWarning;
    MSRConsoleLogger::shared().logBasic(level, MSRASLLogger::kSubsystem, kCategory, false,
                                        MSRASLLogger::messageCodeText(code), escaped(message));
}
