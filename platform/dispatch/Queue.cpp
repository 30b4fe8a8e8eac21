#include "platform/dispatch/Queue.h"

#include <cassert>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/WorkerPool.h"

namespace dispatch {

namespace {

thread_local Queue* tCurrent = nullptr;

std::mutex& handlerMutex() {
    static std::mutex mutex;
    return mutex;
}

ExceptionHandler& installedHandler() {
    static ExceptionHandler handler;
    return handler;
}

}  // namespace

void WorkItem::cancel() {
    if (cancelled_) cancelled_->store(true);
}

bool WorkItem::isCancelled() const { return cancelled_ && cancelled_->load(); }

Queue::Queue(std::string label, const std::string& poolName, int threads)
    : label_(std::move(label)), pool_(std::make_unique<WorkerPool>(poolName, threads)) {}

// The pool goes first, while the rest of the queue is still whole.
Queue::~Queue() { pool_.reset(); }

Queue* Queue::current() { return tCurrent; }

bool Queue::isCurrent() const { return tCurrent == this; }

void Queue::run(const Task& block) {
    Queue* previous = tCurrent;
    tCurrent = this;
    try {
        block();
    } catch (...) {
        reportException(label_, std::current_exception());
    }
    tCurrent = previous;
}

Task Queue::wrap(Task block) {
    return [this, block = std::move(block)] { run(block); };
}

bool Queue::post(Task block, bool quietWhenEnded) {
    if (ManualExecutor* executor = ManualExecutor::installed()) {
        executor->post(this, wrap(std::move(block)));
        return true;
    }
    // Queued work keeps its queue alive, so a block never runs on a queue
    // that is being torn down.
    return pool_->post([keep = weak_from_this().lock(), this, block = std::move(block)] { run(block); },
                       quietWhenEnded);
}

void Queue::async(Task block) {
    if (!block) return;
    post(std::move(block));
}

bool Queue::asyncUnlessEnded(Task block) {
    if (!block) return true;
    return post(std::move(block), true);
}

void Queue::asyncOrRunIfIdle(Task block) {
    if (!block) return;
    if (WorkerPool::hasEnded()) {
        run(block);  // the queues' threads are gone: the caller's is the only one left
        return;
    }
    if (!ManualExecutor::installed() && isSerial() && !isCurrent()) {
        std::shared_ptr<Queue> keep = weak_from_this().lock();
        if (pool_->runInlineIfIdle([&] { run(block); })) return;
    }
    post(std::move(block));
}

WorkItem Queue::postDelayed(bool wallClock, double when, Task block) {
    WorkItem item;
    item.cancelled_ = std::make_shared<std::atomic<bool>>(false);
    Task guarded = [flag = item.cancelled_, wrapped = wrap(std::move(block))] {
        if (!flag->load()) wrapped();
    };
    if (ManualExecutor* executor = ManualExecutor::installed()) {
        double due = wallClock ? when : executor->clock().uptime() + when;
        executor->postDelayed(this, wallClock, due, std::move(guarded), item.cancelled_);
    } else {
        if (wallClock) {
            pool_->postAtWallTime(when, std::move(guarded));
        } else {
            pool_->postAfter(when, std::move(guarded));
        }
    }
    return item;
}

WorkItem Queue::asyncAfter(double seconds, Task block) {
    if (!block) return {};
    return postDelayed(false, seconds, std::move(block));
}

WorkItem Queue::asyncAtWallTime(double wallSeconds, Task block) {
    if (!block) return {};
    return postDelayed(true, wallSeconds, std::move(block));
}

void Queue::sync(const Task& block) {
    if (!block) return;
    if (isCurrent()) {
        // A serial queue waiting for itself would never wake up.
        assert(!isSerial() && "sync onto the queue that is running the caller");
        run(block);
        return;
    }
    ManualExecutor* executor = ManualExecutor::installed();
    if (!executor && WorkerPool::hasEnded()) {
        // After the end no thread would ever run it: the caller's does.
        run(block);
        return;
    }
    if (!executor && isSerial()) {
        // An idle serial queue runs the block on the caller's thread, holding
        // the queue meanwhile: the order is the same as if its thread had run
        // it, without two thread switches per call. The caller's reference
        // keeps the queue alive even if the block drops another.
        std::shared_ptr<Queue> keep = weak_from_this().lock();
        if (pool_->runInlineIfIdle([&] { run(block); })) return;
    }
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    Task signalling = [&] {
        // Report before waking the caller, so the caller sees the report.
        try {
            block();
        } catch (...) {
            reportException(label_, std::current_exception());
        }
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        cv.notify_all();
    };
    post(std::move(signalling));
    if (executor && executor->onOwnerThread()) {
        bool finished = executor->runUntil(
            [&] {
                std::lock_guard<std::mutex> lock(mutex);
                return done;
            },
            std::nullopt);
        if (!finished) {
            std::fprintf(stderr, "dispatch: sync onto '%s' can never finish (its queue is busy further up)\n",
                         label_.c_str());
            std::abort();
        }
        return;
    }
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return done; });
}

void setExceptionHandler(ExceptionHandler handler) {
    std::lock_guard<std::mutex> lock(handlerMutex());
    installedHandler() = std::move(handler);
}

void reportException(const std::string& queueLabel, std::exception_ptr error) {
    ExceptionHandler handler;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        handler = installedHandler();
    }
    if (handler) {
        try {
            handler(queueLabel, error);
        } catch (...) {
            // A handler that throws must not take the queue down either.
        }
        return;
    }
    std::fprintf(stderr, "dispatch: exception in a block on '%s': %s\n", queueLabel.c_str(),
                 describeException(error).c_str());
}

std::string describeException(std::exception_ptr error) {
    if (!error) return "no exception";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (const std::string& text) {
        return text;
    } catch (const char* text) {
        return text ? text : "unknown exception";
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace dispatch
