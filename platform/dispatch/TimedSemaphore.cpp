#include "platform/dispatch/TimedSemaphore.h"

#include <chrono>

#include "platform/dispatch/ManualExecutor.h"

namespace dispatch {

TimedSemaphore::TimedSemaphore(long initial) : count_(initial) {}

void TimedSemaphore::signal() {
    // Notified under the lock: the waiter may destroy the semaphore as soon as it wakes.
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    cv_.notify_one();
}

bool TimedSemaphore::tryTake() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ <= 0) return false;
    --count_;
    return true;
}

bool TimedSemaphore::wait(double timeoutSeconds) {
    ManualExecutor* executor = ManualExecutor::installed();
    if (executor && executor->onOwnerThread()) {
        return executor->runUntil([this] { return tryTake(); }, timeoutSeconds < 0 ? -1.0 : timeoutSeconds);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    auto available = [this] { return count_ > 0; };
    if (timeoutSeconds < 0) {
        cv_.wait(lock, available);
    } else if (!cv_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), available)) {
        return false;
    }
    --count_;
    return true;
}

}  // namespace dispatch
