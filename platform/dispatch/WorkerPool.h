#pragma once

#include <memory>
#include <string>

#include "platform/dispatch/Queue.h"

namespace dispatch {

// The production back end of the queues: a FIFO of due blocks and a list of
// delayed ones, served by `threads` threads of its own (started at the first
// block), or by whoever pumps it when `threads` is 0 (the main queue).
//
// Destroying the pool runs the blocks already due and drops the delayed ones.
// A pool may be destroyed from one of its own threads (a block dropping the
// last reference to its queue): that thread finishes on its own.
class WorkerPool {
public:
    WorkerPool(std::string name, int threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void post(Task block);
    void postAfter(double seconds, Task block);
    // Runs `block` once Clock::now() reaches `wallSeconds`; a change of the
    // clock moves it (the pool looks at the clock at least once a second).
    void postAtWallTime(double wallSeconds, Task block);

    // Pools with one thread of their own only: when no block is due or
    // running, runs `block` on the calling thread and holds the pool
    // meanwhile, so that its thread starts nothing queued later until
    // `block` is done. False, with nothing run, when the pool is busy (or is
    // of another kind): the caller then queues the block instead.
    bool runInlineIfIdle(const Task& block);

    // Pumped pools only: run every due block on the calling thread.
    size_t runReady();
    // Pumped pools only: wait up to `seconds` for due work, then run it.
    size_t runFor(double seconds);

private:
    struct Core;
    std::shared_ptr<Core> core_;
};

}  // namespace dispatch
