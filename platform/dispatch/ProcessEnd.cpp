#include "platform/dispatch/ProcessEnd.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <vector>

#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/WorkerPool.h"

namespace dispatch {

namespace {

WorkerPool::Deadline deadlineIn(double seconds) {
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
               std::chrono::duration<double>(std::clamp(seconds, 0.0, 1e6)));
}

// Pools report their changes only while someone watches; nested drains (a
// background-task wait inside the end) keep watching until the outer ends.
struct Watching {
    bool before = false;
    Watching() {
        before = watching();
        WorkerPool::setWatching(true);
        watching() = true;
    }
    ~Watching() {
        watching() = before;
        WorkerPool::setWatching(before);
    }
    static bool& watching() {
        static bool flag = false;  // the main thread's own
        return flag;
    }
};

struct EndHandlers {
    std::mutex mutex;
    uint64_t next = 1;
    std::map<uint64_t, std::function<void()>> handlers;
};

// Never destroyed: owners held in static objects remove their handlers
// while statics go, in whatever order.
EndHandlers& endHandlers() {
    static EndHandlers* const instance = new EndHandlers;
    return *instance;
}

// Copies taken under the lock and run without it: a handler may queue work
// that adds or removes handlers.
void runEndHandlers() {
    std::vector<std::function<void()>> handlers;
    {
        std::lock_guard lock(endHandlers().mutex);
        for (const auto& [token, handler] : endHandlers().handlers) handlers.push_back(handler);
    }
    for (const auto& handler : handlers) handler();
}

}  // namespace

uint64_t addQueuesEndHandler(std::function<void()> handler) {
    std::lock_guard lock(endHandlers().mutex);
    const uint64_t token = endHandlers().next++;
    endHandlers().handlers.emplace(token, std::move(handler));
    return token;
}

void removeQueuesEndHandler(uint64_t token) {
    std::lock_guard lock(endHandlers().mutex);
    endHandlers().handlers.erase(token);
}

bool drainQueues(double timeoutSeconds, const std::function<bool()>& stillBusy) {
    const auto deadline = deadlineIn(timeoutSeconds);
    Watching watching;
    for (;;) {
        const unsigned long long seen = WorkerPool::changes();
        const WorkerPool::Census before = WorkerPool::census();
        size_t ran = 0;
        if (ManualExecutor* executor = ManualExecutor::installed()) {
            ran = executor->runUntilIdle();
        } else {
            ran = MainQueue::shared()->runPending();
        }
        const WorkerPool::Census after = WorkerPool::census();
        const bool busy = stillBusy && stillBusy();
        if (ran == 0 && after.idle && after.traffic == before.traffic && !busy) return true;
        // Something moved while we looked: look again at once.
        if (ran > 0 || (after.idle && after.traffic != before.traffic)) continue;
        // A queue is busy, or only `stillBusy` holds: wait until a queue goes
        // idle, work reaches the main queue, or wakeDrain is called.
        if (!WorkerPool::waitForChange(seen, deadline)) return false;
    }
}

void wakeDrain() {
    WorkerPool::noteChange();
}

bool endQueues(double timeoutSeconds) {
    const auto deadline = deadlineIn(timeoutSeconds);
    runEndHandlers();
    const bool drained = drainQueues(timeoutSeconds);
    const bool joined = WorkerPool::endAll(deadline);
    // Blocks that reached the main queue while the others stopped.
    MainQueue::shared()->runPending();
    return drained && joined;
}

bool queuesHaveEnded() {
    return WorkerPool::hasEnded();
}

void reopenQueuesForTesting() {
    WorkerPool::reopenForTesting();
}

}  // namespace dispatch
