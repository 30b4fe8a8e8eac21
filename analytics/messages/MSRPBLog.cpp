#include "analytics/messages/MSRPBLog.h"

#include <cstdarg>
#include <string>

#include "analytics/support/MSRMonitor.h"
#include "platform/foundation/Text.h"

void MSRPBLog(int64_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = foundation::stringWithFormatV(format, args);
    va_end(args);
    MSRMonitor::shared()->logWithLevel(0, code, text);
}
