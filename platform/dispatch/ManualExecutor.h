#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Queue.h"

namespace dispatch {

// Runs the blocks of every queue on the test's own thread, in virtual time.
//
// While one is alive, every queue (serial, main, global, and the queues inside
// OperationGate) hands its blocks to it, and its FakeClock is the installed
// clock. Nothing runs until the test asks: runUntilIdle() runs every block that
// is due, advanceBy() moves virtual time and runs delayed blocks in the order
// they fall due. Blocks of one serial queue keep their order and never overlap
// (a sync from inside a block runs other queues' work, never its own queue's).
// Blocks may be queued from any thread; they run only on the test's thread.
//
// Only one executor may be alive at a time. Destroying it drops the blocks it
// still holds.
class ManualExecutor {
public:
    explicit ManualExecutor(double wallTime = 1'700'000'000.0, double uptime = 1000.0);
    ~ManualExecutor();
    ManualExecutor(const ManualExecutor&) = delete;
    ManualExecutor& operator=(const ManualExecutor&) = delete;

    // The executor alive now, or null.
    static ManualExecutor* installed();
    // True on the thread that created the executor: only there do blocking
    // waits run queued work instead of blocking.
    bool onOwnerThread() const;

    FakeClock& clock() { return clock_; }

    // Runs the next due block. False when none is due (or every due block
    // belongs to a serial queue that is already running further up the stack).
    bool runOne();
    // Runs due blocks until none is left. Returns how many ran.
    size_t runUntilIdle();
    // Moves virtual time forward by `seconds`, running each delayed block when
    // its time comes, then everything due. Returns how many blocks ran.
    size_t advanceBy(double seconds);
    // Moves time to the next delayed block (if any) and runs what is due.
    size_t advanceToNext();

    // Blocks queued and not yet run or cancelled (due and delayed).
    size_t pendingCount() const;
    // Seconds until the next delayed block falls due, if any.
    std::optional<double> nextDelay() const;

    // Runs work until `done()` holds. With `maxAdvance`, virtual time may move
    // forward by up to that many seconds (negative: without limit) to reach
    // delayed work; without it time stands still. Returns done().
    bool runUntil(const std::function<bool()>& done, std::optional<double> maxAdvance);

private:
    friend class Queue;
    struct Entry {
        std::shared_ptr<Queue> keep;  // work queued for now keeps its queue alive
        std::weak_ptr<Queue> weak;    // delayed work does not
        bool owned = false;           // the queue is owned by shared pointers
        Queue* queue = nullptr;
        Task block;
        std::shared_ptr<std::atomic<bool>> cancelled;  // WorkItem state, may be null
        bool wallClock = false;
        double due = 0;
        unsigned long long seq = 0;
    };

    void post(Queue* queue, Task block);
    void postDelayed(Queue* queue, bool wallClock, double when, Task block,
                     std::shared_ptr<std::atomic<bool>> cancelled);
    void promoteDue();
    bool runnable(const Entry& entry) const;
    // Seconds of advance after which the earliest delayed entry falls due.
    std::optional<double> nextDelayLocked() const;

    FakeClock clock_;
    std::thread::id owner_;
    mutable std::mutex mutex_;
    std::deque<Entry> ready_;
    std::vector<Entry> delayed_;
    std::vector<Queue*> running_;  // queues whose blocks are on the stack
    unsigned long long seq_ = 0;
};

}  // namespace dispatch
