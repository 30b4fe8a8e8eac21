#pragma once

#include <atomic>
#include <functional>
#include <mutex>

namespace dispatch {

// Runs a body once, however many threads ask; later callers wait until the
// first run has finished. reset() lets the next call run the body again (tests
// use it to start from scratch). A body that throws does not count as run.
class Once {
public:
    void call(const std::function<void()>& body);
    bool hasRun() const { return done_.load(std::memory_order_acquire); }
    void reset();

private:
    std::mutex mutex_;
    std::atomic<bool> done_{false};
};

}  // namespace dispatch
