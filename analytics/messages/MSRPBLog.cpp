#include "analytics/messages/MSRPBLog.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

namespace {

std::mutex& sinkMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Held by shared pointer so a report in flight keeps its sink alive while
// another thread replaces it.
std::shared_ptr<MSRPBLogSink>& currentSink()
{
    static std::shared_ptr<MSRPBLogSink> sink;
    return sink;
}

}  // namespace

void MSRPBSetLogSink(MSRPBLogSink sink)
{
    std::lock_guard<std::mutex> lock(sinkMutex());
    currentSink() = sink ? std::make_shared<MSRPBLogSink>(std::move(sink)) : nullptr;
}

void MSRPBLog(const char* format, ...)
{
    std::shared_ptr<MSRPBLogSink> sink;
    {
        std::lock_guard<std::mutex> lock(sinkMutex());
        sink = currentSink();
    }
    if (!sink) return;  // formatting costs nothing when nobody listens
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    (*sink)(kMSRPBLogLevelError, 0, text);
}
