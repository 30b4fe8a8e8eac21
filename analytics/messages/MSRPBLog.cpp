#include "analytics/messages/MSRPBLog.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "analytics/core/support/MSRMonitor.h"

void MSRPBLog(int64_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    MSRMonitor::shared()->logWithLevel(0, code, text);
}
