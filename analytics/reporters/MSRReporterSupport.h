#pragma once

// What the reporters share: each keeps its state on a serial queue of its own
// and is one shared instance that starts observing once it exists.

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "analytics/support/MSRMonitor.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/SharedSlot.h"

// A report to the engine's monitor.
inline void MSRReporterLog(int64_t level, int64_t code, std::string_view message,
                           const std::vector<MSRLogContext>& contexts = {}) {
    MSRMonitor::shared()->logWithLevel(level, code, message, contexts);
}

// The instance in `slot`, made by `make` on first use; `start` runs once on
// the new instance outside the slot's lock (it may subscribe with
// shared_from_this, or ask for other shared instances).
template <class T, class Make>
std::shared_ptr<T> MSRSharedReporter(foundation::SharedSlot<T>& slot, Make&& make, void (T::*start)()) {
    bool made = false;
    auto reporter = slot.getOrMake([&] {
        made = true;
        return std::forward<Make>(make)();
    });
    if (made) ((*reporter).*start)();
    return reporter;
}
