#include "platform/foundation/SharedSlot.h"

#include <vector>

namespace foundation {

namespace {

struct Resets {
    std::mutex mutex;
    std::vector<std::function<void()>> resets;
};

Resets& resets() {
    // Never destroyed: slots of other translation units may still join or be
    // reset while static destructors run.
    static auto* instance = new Resets;
    return *instance;
}

}  // namespace

void shared_slots::join(std::function<void()> reset) {
    std::lock_guard lock(resets().mutex);
    resets().resets.push_back(std::move(reset));
}

void resetAllSharedSlots() {
    std::vector<std::function<void()>> copy;
    {
        std::lock_guard lock(resets().mutex);
        copy = resets().resets;
    }
    for (auto it = copy.rbegin(); it != copy.rend(); ++it) (*it)();
}

}  // namespace foundation
