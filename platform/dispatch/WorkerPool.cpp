#include "platform/dispatch/WorkerPool.h"

#include "platform/dispatch/Clock.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace dispatch {

using SteadyTime = std::chrono::steady_clock::time_point;

namespace {

// Every pool of the process. Never destroyed: threads and static destructors
// may reach it until the very end.
struct Registry {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned long long changes = 0;
    std::vector<std::weak_ptr<WorkerPool::Core>> cores;
    // Threads of pools destroyed from one of their own threads, with the core
    // they serve: once the core is gone the thread has left its loop.
    std::vector<std::pair<std::thread, std::weak_ptr<WorkerPool::Core>>> orphans;
    std::atomic<bool> watching{false};
    std::atomic<bool> ended{false};
    std::atomic<bool> dropNoted{false};
};

Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
}

void bumpChanges() {
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        ++r.changes;
    }
    r.changed.notify_all();
}

// Joins the orphaned threads that have left their loop, or all of them.
void joinOrphans(bool all) {
    std::vector<std::thread> done;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        for (auto it = r.orphans.begin(); it != r.orphans.end();) {
            if (all || it->second.expired()) {
                done.push_back(std::move(it->first));
                it = r.orphans.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& thread : done) thread.join();
}

}  // namespace

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
    // Threads inside their loop; blocks queued for now plus blocks finished.
    int liveThreads = 0;
    unsigned long long traffic = 0;

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

    bool idleLocked() const { return ready.empty() && running == 0 && !held; }

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
        if (!threads.empty() || threadCount == 0 || stopping) return;
        for (int i = 0; i < threadCount; ++i) {
            ++liveThreads;
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
                ++traffic;
                if (idleLocked() && registry().watching.load()) {
                    lock.unlock();
                    bumpChanges();
                    lock.lock();
                }
                continue;
            }
            if (stopping && ready.empty()) break;
            if (delayed.empty() && wallDelayed.empty()) {
                cv.wait(lock);
            } else {
                auto now = std::chrono::steady_clock::now();
                cv.wait_until(lock, nextWakeLocked(now, SteadyTime::max()));
            }
        }
        --liveThreads;
        lock.unlock();
        bumpChanges();
    }
};

WorkerPool::WorkerPool(std::string name, int threads) : core_(std::make_shared<Core>()) {
    core_->name = std::move(name);
    core_->threadCount = threads;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::erase_if(r.cores, [](const auto& weak) { return weak.expired(); });
    r.cores.push_back(core_);
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
    bool orphaned = false;
    for (auto& thread : threads) {
        if (thread.get_id() == std::this_thread::get_id()) {
            // The block running here dropped the last reference: this thread
            // finishes on its own, and is joined later by whoever comes next.
            std::lock_guard<std::mutex> lock(registry().mutex);
            registry().orphans.emplace_back(std::move(thread), core_);
            orphaned = true;
        } else {
            thread.join();
        }
    }
    if (!orphaned) joinOrphans(false);
}

bool WorkerPool::post(Task block, bool quietWhenEnded) {
    if (registry().ended.load()) {
        if (!quietWhenEnded && !registry().dropNoted.exchange(true)) {
            std::fprintf(stderr, "dispatch: work queued on '%s' after the end of the queues was dropped\n",
                         core_->name.c_str());
        }
        return false;
    }
    // The block may drop the last reference to this pool before we are done here.
    std::shared_ptr<Core> core = core_;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        core->ready.push_back(std::move(block));
        ++core->traffic;
        core->startThreadsLocked(core);
    }
    core->cv.notify_one();
    if (core->threadCount == 0 && registry().watching.load()) bumpChanges();
    return true;
}

void WorkerPool::postAfter(double seconds, Task block) {
    if (seconds <= 0) {
        post(std::move(block));
        return;
    }
    if (registry().ended.load()) return;
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
    if (registry().ended.load()) return;
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
            bool idle;
            {
                std::lock_guard<std::mutex> lock(core.mutex);
                core.held = false;
                core.traffic += 2;  // as if queued and finished
                wake = !core.ready.empty();
                idle = core.idleLocked();
            }
            if (wake) core.cv.notify_all();
            if (idle && registry().watching.load()) bumpChanges();
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
        ++core_->traffic;
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

// ---- the orderly end ----------------------------------------------------------

namespace {

std::vector<std::shared_ptr<WorkerPool::Core>> liveCores() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::vector<std::shared_ptr<WorkerPool::Core>> cores;
    for (const auto& weak : r.cores)
        if (auto core = weak.lock()) cores.push_back(std::move(core));
    return cores;
}

}  // namespace

WorkerPool::Census WorkerPool::census() {
    Census census;
    for (const auto& core : liveCores()) {
        bool promoted;
        {
            std::lock_guard<std::mutex> lock(core->mutex);
            const size_t before = core->ready.size();
            core->promoteDueLocked(std::chrono::steady_clock::now());
            promoted = core->ready.size() != before;
            census.traffic += core->traffic;
            if (core->threadCount > 0) census.threadTraffic += core->traffic;
            // A pumped pool's due work is its pumper's to run: it counts
            // through the traffic only.
            if (core->threadCount > 0 && !core->idleLocked()) census.idle = false;
        }
        if (promoted) core->cv.notify_all();
    }
    return census;
}

unsigned long long WorkerPool::changes() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    return registry().changes;
}

void WorkerPool::setWatching(bool watching) {
    registry().watching.store(watching);
}

void WorkerPool::noteChange() {
    bumpChanges();
}

bool WorkerPool::waitForChange(unsigned long long seen, Deadline deadline) {
    Registry& r = registry();
    std::unique_lock<std::mutex> lock(r.mutex);
    return r.changed.wait_until(lock, deadline, [&] { return r.changes != seen; });
}

bool WorkerPool::endAll(Deadline deadline) {
    Registry& r = registry();
    r.ended.store(true);
    auto cores = liveCores();
    for (const auto& core : cores) {
        {
            std::lock_guard<std::mutex> lock(core->mutex);
            core->stopping = true;
            core->delayed.clear();
            core->wallDelayed.clear();
        }
        core->cv.notify_all();
    }
    // Each thread finishes the blocks already due, then leaves its loop.
    bool allLeft = true;
    for (const auto& core : cores) {
        for (;;) {
            const unsigned long long seen = changes();
            {
                std::lock_guard<std::mutex> lock(core->mutex);
                if (core->liveThreads == 0) break;
            }
            if (!waitForChange(seen, deadline)) {
                allLeft = false;
                break;
            }
        }
    }
    if (!allLeft) return false;
    for (const auto& core : cores) {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> lock(core->mutex);
            threads.swap(core->threads);
        }
        for (auto& thread : threads) thread.join();
    }
    joinOrphans(true);
    return true;
}

bool WorkerPool::hasEnded() {
    return registry().ended.load();
}

void WorkerPool::reopenForTesting() {
    registry().ended.store(false);
    registry().dropNoted.store(false);
    for (const auto& core : liveCores()) {
        std::lock_guard<std::mutex> lock(core->mutex);
        core->stopping = false;
    }
}

}  // namespace dispatch
