#include "platform/dispatch/OperationGate.h"

#include <cassert>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/SerialQueue.h"

namespace dispatch {

struct OperationGate::State : std::enable_shared_from_this<OperationGate::State> {
    std::string name;
    std::shared_ptr<SerialQueue> queue;
    mutable std::mutex mutex;
    std::condition_variable cv;
    std::deque<Task> backlog;
    bool suspended = false;
    bool inFlight = false;  // width 1: the next operation leaves only when this one is done
    size_t unfinished = 0;

    // Releases the next waiting operation when the gate is open and idle.
    void releaseLocked() {
        if (suspended || inFlight || backlog.empty()) return;
        Task operation = std::move(backlog.front());
        backlog.pop_front();
        inFlight = true;
        queue->async([self = shared_from_this(), operation = std::move(operation)] {
            try {
                operation();
            } catch (...) {
                reportException(self->name, std::current_exception());
            }
            std::lock_guard<std::mutex> lock(self->mutex);
            self->inFlight = false;
            --self->unfinished;
            self->cv.notify_all();
            self->releaseLocked();
        });
    }

    bool settledLocked() const { return unfinished == 0 || (suspended && !inFlight && !backlog.empty()); }
};

OperationGate::OperationGate(std::string name, bool startSuspended) : state_(std::make_shared<State>()) {
    state_->name = name;
    state_->queue = SerialQueue::create(std::move(name));
    state_->suspended = startSuspended;
}

OperationGate::~OperationGate() = default;

const std::string& OperationGate::name() const { return state_->name; }

void OperationGate::addOperation(Task operation) {
    if (!operation) return;
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->backlog.push_back(std::move(operation));
    ++state_->unfinished;
    state_->releaseLocked();
}

void OperationGate::addOperationPostingTo(const std::shared_ptr<Queue>& target, Task block) {
    if (!block || !target) return;
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->suspended && !state_->inFlight && state_->backlog.empty()) {
        // What the operation would do, done now: it counts as finished.
        target->async(std::move(block));
        return;
    }
    state_->backlog.push_back([target, block = std::move(block)]() mutable { target->async(std::move(block)); });
    ++state_->unfinished;
    state_->releaseLocked();
}

void OperationGate::suspend() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->suspended = true;
}

void OperationGate::resume() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->suspended = false;
    state_->releaseLocked();
}

bool OperationGate::isSuspended() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->suspended;
}

size_t OperationGate::operationCount() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->unfinished;
}

bool OperationGate::waitUntilAllOperationsAreFinished() {
    assert(!state_->queue->isCurrent() && "an operation cannot wait for itself");
    auto finished = [this] {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->unfinished == 0;
    };
    auto settled = [this] {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->settledLocked();
    };
    ManualExecutor* executor = ManualExecutor::installed();
    if (executor && executor->onOwnerThread()) {
        executor->runUntil(settled, std::nullopt);
        return finished();
    }
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->cv.wait(lock, [this] { return state_->settledLocked(); });
    return state_->unfinished == 0;
}

}  // namespace dispatch
