#pragma once

#include <chrono>
#include <functional>
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
// last reference to its queue): that thread finishes on its own and is joined
// at the process's end.
//
// Every pool of the process is known to one registry, so that the process can
// end in order (ProcessEnd.h): wait until no pool has work, then stop them all
// and join their threads.
class WorkerPool {
public:
  using Deadline = std::chrono::steady_clock::time_point;

  WorkerPool(std::string name, int threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // False when the queues have ended: the block is dropped, and the first
  // such drop is told on standard error unless `quietWhenEnded`.
  bool post(Task block, bool quietWhenEnded = false);
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

  // ---- every pool of the process, for its orderly end --------------------

  // What the pools are doing now. `traffic` grows with every block queued
  // for now and every block finished, so two equal readings with every pool
  // idle in between mean that nothing moved.
  struct Census {
      bool idle = true;  // no pool with threads has a block due or running
      unsigned long long traffic = 0;
      unsigned long long threadTraffic = 0;  // the part of `traffic` of the pools with threads
  };
  static Census census();

  // A counter that moves when a pool with threads becomes idle, when work
  // reaches a pumped pool, when a pool's thread ends and on noteChange().
  // Only while someone watches (setWatching), so that ordinary work pays
  // nothing for it.
  static unsigned long long changes();
  static void setWatching(bool watching);
  static void noteChange();
  // Waits until changes() differs from `seen`; false when `deadline` came
  // first.
  static bool waitForChange(unsigned long long seen, Deadline deadline);

  // The end: from now on work queued for now is dropped (one line on
  // standard error tells of the first), delayed work is dropped, every
  // pool's threads finish the blocks already due and end, and are joined.
  // False when some thread was still busy at `deadline` (it is left
  // running, not joined).
  static bool endAll(Deadline deadline);
  static bool hasEnded();
  // Lets pools take work again after endAll, for tests of the end.
  static void reopenForTesting();

  struct Core;  // defined in WorkerPool.cpp

private:
  std::shared_ptr<Core> core_;
};

}  // namespace dispatch
