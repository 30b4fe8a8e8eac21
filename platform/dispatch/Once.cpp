#include "platform/dispatch/Once.h"

namespace dispatch {

void Once::call(const std::function<void()>& body) {
    if (done_.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (done_.load(std::memory_order_relaxed)) return;
    if (body) body();
    done_.store(true, std::memory_order_release);
}

void Once::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    done_.store(false, std::memory_order_release);
}

}  // namespace dispatch
