#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace dispatch {

class WorkerPool;

using Task = std::function<void()>;

// A handle on one piece of delayed work. Cancelling it before it runs keeps it
// from running; cancelling later does nothing. Copies share the same work.
class WorkItem {
  public:
    WorkItem() = default;

    void cancel();
    bool isCancelled() const;
    // False for a default-constructed item that refers to no work.
    bool isValid() const { return cancelled_ != nullptr; }

  private:
    friend class Queue;
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

// Something that runs blocks: a serial queue, the main queue or a global queue.
//
// Every block runs with this queue as Queue::current(). A block that throws is
// caught and handed to the exception handler (see setExceptionHandler); the
// queue goes on with its next block. While a ManualExecutor is alive every
// queue hands its blocks to it instead of to its own thread, so tests decide
// when work runs and how far time moves.
//
// Queues are meant to be owned through std::shared_ptr (see the create()
// factories): work queued for now keeps its queue alive until it has run.
// A program ends its queues before main returns (ProcessEnd.h): from then on
// work queued for now or later is dropped.
class Queue : public std::enable_shared_from_this<Queue> {
  public:
    virtual ~Queue();
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    const std::string& label() const { return label_; }

    // Queues `block` and returns at once.
    void async(Task block);

    // As async, for work whose caller has foreseen the end (an answer that
    // may come after it): false once the queues have ended, with nothing
    // queued and nothing said, where async would tell of work dropped.
    bool asyncUnlessEnded(Task block);

    // Runs `block` on this queue after the blocks queued before it and waits
    // for it. Calling sync on the serial queue you are running on is a
    // programming error: it asserts in debug builds (and runs the block in
    // place in release builds instead of deadlocking). Under a ManualExecutor
    // the wait runs other queued work instead of blocking. In production an
    // idle serial queue runs the block on the caller's thread, holding the
    // queue until it is done. After the queues have ended (ProcessEnd.h) the
    // block runs on the caller's thread, as no other is left.
    void sync(const Task& block);
    // Runs `block` at once when the caller is already on this queue, else as
    // sync does: for work reached both from the queue and from outside it.
    void syncOrRunIfCurrent(const Task& block) {
        if (isCurrent()) {
            if (block) block();
        } else {
            sync(block);
        }
    }

    // Runs `block` after the blocks queued before it without waiting for it:
    // at once on the caller's thread when this serial queue is idle (as sync
    // would), otherwise queued as async does. For short work whose result the
    // caller does not need. Always queued under a ManualExecutor, and when
    // called from this queue's own block. After the queues have ended it
    // runs at once on the caller's thread.
    void asyncOrRunIfIdle(Task block);

    // Runs `block` once `seconds` of uptime have passed. Zero or negative
    // seconds queue it at once, as async does.
    WorkItem asyncAfter(double seconds, Task block);

    // Runs `block` when the wall clock reaches `wallSeconds` (seconds since
    // 1970). A deadline in the past runs as soon as possible.
    WorkItem asyncAtWallTime(double wallSeconds, Task block);

    // True while a block of this queue runs on the calling thread (for the
    // main queue in production: on the main thread).
    virtual bool isCurrent() const;

    // Serial queues run one block at a time in the order queued.
    virtual bool isSerial() const { return true; }

    // The queue whose block is running on the calling thread, or null.
    static Queue* current();

  protected:
    // `threads` threads of the queue's own serve it in production (0: a loop
    // pumps it, see MainQueue); `poolName` names them.
    Queue(std::string label, const std::string& poolName, int threads);

    // The production back end. Work of a ManualExecutor never reaches it.
    WorkerPool& pool() { return *pool_; }

    // Runs `block` with this queue current and its exceptions caught and reported.
    void run(const Task& block);
    Task wrap(Task block);

  private:
    friend class ManualExecutor;
    // Queues `block` for now, on the manual executor when one is alive;
    // false when the queues have ended (told on standard error unless
    // `quietWhenEnded`).
    bool post(Task block, bool quietWhenEnded = false);
    WorkItem postDelayed(bool wallClock, double when, Task block);

    std::string label_;
    std::unique_ptr<WorkerPool> pool_;
};

// Receives every exception that escapes a queued block, with the label of its
// queue. The default handler writes one line to standard error. Passing an
// empty function restores the default.
using ExceptionHandler = std::function<void(const std::string& queueLabel, std::exception_ptr error)>;
void setExceptionHandler(ExceptionHandler handler);

// Hands an exception caught around work of `queueLabel` to the handler. For
// code that runs blocks of its own (an operation gate, a scheduler).
void reportException(const std::string& queueLabel, std::exception_ptr error);

// A readable text for a caught exception ("what()" for std::exception).
std::string describeException(std::exception_ptr error);

}  // namespace dispatch
