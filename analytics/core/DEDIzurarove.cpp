#include "analytics/core/DEDIzurarove.h"

#include <mutex>

namespace {

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

DEDIzurarove::EventSink& sinkSlot() {
    static DEDIzurarove::EventSink sink;
    return sink;
}

}  // namespace

void DEDIzurarove::logEventWithName(const std::string& name, const std::optional<Parameters>& parameters) {
    EventSink sink;
    {
        std::lock_guard lock(sinkMutex());
        sink = sinkSlot();
    }
    // Called outside the lock so that a sink may log again or replace itself.
    if (sink) sink(name, parameters);
}

DEDIzurarove::EventSink DEDIzurarove::setEventSink(EventSink sink) {
    std::lock_guard lock(sinkMutex());
    std::swap(sinkSlot(), sink);
    return sink;
}
