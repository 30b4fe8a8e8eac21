#pragma once

#include <condition_variable>
#include <mutex>

namespace dispatch {

// A counting semaphore whose wait can time out. Under a ManualExecutor a wait
// runs queued work and moves virtual time forward (up to the time-out) instead
// of blocking.
class TimedSemaphore {
public:
    explicit TimedSemaphore(long initial = 0);

    void signal();

    // Takes one count. Waits at most `timeoutSeconds` (negative: forever).
    // Returns false on time-out.
    bool wait(double timeoutSeconds = -1);

private:
    bool tryTake();

    std::mutex mutex_;
    std::condition_variable cv_;
    long count_;
};

}  // namespace dispatch
