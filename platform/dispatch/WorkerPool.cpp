#include "platform/dispatch/WorkerPool.h"

#include "platform/dispatch/Clock.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace dispatch {

using SteadyTime = std::chrono::steady_clock::time_point;

struct WorkerPool::Core {
    std::string name;
    int threadCount = 0;
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Task> ready;
    // Keyed by deadline, then by arrival, so equal deadlines keep their order.
    std::map<std::pair<SteadyTime, unsigned long long>, Task> delayed;
    // Wall-clock deadlines, checked against the clock whenever the pool wakes.
    std::map<std::pair<double, unsigned long long>, Task> wallDelayed;
    unsigned long long seq = 0;
    std::vector<std::thread> threads;
    bool stopping = false;
    // Blocks running on the pool's threads now, and whether a caller runs one
    // in their place (runInlineIfIdle): while held, no thread takes a block.
    int running = 0;
    bool held = false;

    // Moves every delayed block whose deadline has passed to the due FIFO.
    void promoteDueLocked(SteadyTime now) {
        while (!delayed.empty() && delayed.begin()->first.first <= now) {
            ready.push_back(std::move(delayed.begin()->second));
            delayed.erase(delayed.begin());
        }
        if (wallDelayed.empty()) return;
        double wallNow = Clock::now();
        while (!wallDelayed.empty() && wallDelayed.begin()->first.first <= wallNow) {
            ready.push_back(std::move(wallDelayed.begin()->second));
            wallDelayed.erase(wallDelayed.begin());
        }
    }

    // When a sleeping thread must look again: the next uptime deadline, and
    // for wall deadlines no later than a second from now, so that a change of
    // the clock is noticed.
    SteadyTime nextWakeLocked(SteadyTime now, SteadyTime limit) const {
        SteadyTime wake = limit;
        if (!delayed.empty()) wake = std::min(wake, delayed.begin()->first.first);
        if (!wallDelayed.empty()) {
            double seconds = std::clamp(wallDelayed.begin()->first.first - Clock::now(), 0.0, 1.0);
            wake = std::min(wake, now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                            std::chrono::duration<double>(seconds)));
        }
        return wake;
    }

    void startThreadsLocked(const std::shared_ptr<Core>& self) {
        if (!threads.empty() || threadCount == 0) return;
        for (int i = 0; i < threadCount; ++i) {
            threads.emplace_back([self] { self->loop(); });
        }
    }

    void loop() {
        // Thread names are limited to 15 bytes; enough to tell queues apart in a debugger.
        pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            promoteDueLocked(std::chrono::steady_clock::now());
            if (!ready.empty() && !held) {
                Task block = std::move(ready.front());
                ready.pop_front();
                ++running;
                lock.unlock();
                block();
                block = nullptr;  // release what the block held before taking the lock again
                lock.lock();
                --running;
                continue;
            }
            if (stopping && ready.empty()) return;
            if (delayed.empty() && wallDelayed.empty()) {
                cv.wait(lock);
            } else {
                auto now = std::chrono::steady_clock::now();
                cv.wait_until(lock, nextWakeLocked(now, SteadyTime::max()));
            }
        }
    }
};

WorkerPool::WorkerPool(std::string name, int threads) : core_(std::make_shared<Core>()) {
    core_->name = std::move(name);
    core_->threadCount = threads;
}

WorkerPool::~WorkerPool() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        core_->stopping = true;
        core_->delayed.clear();
        core_->wallDelayed.clear();
        threads.swap(core_->threads);
    }
    core_->cv.notify_all();
    for (auto& thread : threads) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();  // the block running here dropped the last reference
        } else {
            thread.join();
        }
    }
}

void WorkerPool::post(Task block) {
    // The block may drop the last reference to this pool before we are done here.
    std::shared_ptr<Core> core = core_;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        core->ready.push_back(std::move(block));
        core->startThreadsLocked(core);
    }
    core->cv.notify_one();
}

void WorkerPool::postAfter(double seconds, Task block) {
    if (seconds <= 0) {
        post(std::move(block));
        return;
    }
    auto delay = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(std::min(seconds, 1e9)));
    std::shared_ptr<Core> core = core_;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        core->delayed.emplace(std::make_pair(std::chrono::steady_clock::now() + delay, core->seq++),
                              std::move(block));
        core->startThreadsLocked(core);
    }
    // Every thread may be sleeping until a later deadline.
    core->cv.notify_all();
}

void WorkerPool::postAtWallTime(double wallSeconds, Task block) {
    if (wallSeconds <= Clock::now()) {
        post(std::move(block));
        return;
    }
    std::shared_ptr<Core> core = core_;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        core->wallDelayed.emplace(std::make_pair(wallSeconds, core->seq++), std::move(block));
        core->startThreadsLocked(core);
    }
    core->cv.notify_all();
}

bool WorkerPool::runInlineIfIdle(const Task& block) {
    std::shared_ptr<Core> core = core_;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        if (core->threadCount != 1 || core->stopping || core->held || core->running > 0) return false;
        // Delayed blocks that have fallen due come first, as they would on the thread.
        core->promoteDueLocked(std::chrono::steady_clock::now());
        if (!core->ready.empty()) return false;
        core->held = true;
    }
    // Released even if the block throws, or the pool would never run again.
    struct Release {
        Core& core;
        ~Release() {
            bool wake;
            {
                std::lock_guard<std::mutex> lock(core.mutex);
                core.held = false;
                wake = !core.ready.empty();
            }
            if (wake) core.cv.notify_all();
        }
    } release{*core};
    block();
    return true;
}

size_t WorkerPool::runReady() {
    size_t count = 0;
    std::unique_lock<std::mutex> lock(core_->mutex);
    for (;;) {
        core_->promoteDueLocked(std::chrono::steady_clock::now());
        if (core_->ready.empty()) return count;
        Task block = std::move(core_->ready.front());
        core_->ready.pop_front();
        lock.unlock();
        block();
        block = nullptr;
        ++count;
        lock.lock();
    }
}

size_t WorkerPool::runFor(double seconds) {
    auto until = std::chrono::steady_clock::now() +
                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(std::max(0.0, std::min(seconds, 1e9))));
    {
        std::unique_lock<std::mutex> lock(core_->mutex);
        for (;;) {
            auto now = std::chrono::steady_clock::now();
            core_->promoteDueLocked(now);
            if (!core_->ready.empty() || now >= until) break;
            core_->cv.wait_until(lock, core_->nextWakeLocked(now, until));
        }
    }
    return runReady();
}

}  // namespace dispatch
