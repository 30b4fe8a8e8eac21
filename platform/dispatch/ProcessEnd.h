#pragma once

#include <cstdint>
#include <functional>

namespace dispatch {

// The orderly end of a process. Queues hold threads, and blocks on them reach
// shared objects; if main returned while a block still ran, static
// destructors would pull those objects from under it. So a program ends its
// queues before main returns:
//
//   int status = run();     // no new input is taken from here on
//   dispatch::endQueues(30);
//   return status;          // static objects go with no thread left
//
// Both calls belong on the main thread. Under a ManualExecutor they run its
// work instead of waiting for threads.

// Runs what is queued until nothing is: the main queue's blocks on the
// calling thread, every other queue's on its own threads, including the work
// those blocks queue in turn, until a look at every queue finds nothing due
// or running and `stillBusy` (when given) answers false. Delayed work that is
// not yet due is not waited for. False when `timeoutSeconds` ran out first.
// Whoever changes what `stillBusy` answers calls wakeDrain().
bool drainQueues(double timeoutSeconds, const std::function<bool()>& stillBusy = {});

// Tells a drainQueues in progress to ask its `stillBusy` again.
void wakeDrain();

// Drains the queues, then ends them: work queued for now is dropped from here
// on (the first drop is told on standard error), delayed work is dropped, a
// sync runs its block on the caller's thread, and every queue's threads finish
// and are joined. False when the drain or a thread did not finish within
// `timeoutSeconds`: that thread is still running, and the caller should leave
// without running static destructors (std::_Exit).
bool endQueues(double timeoutSeconds);

// Work put off on purpose, such as a save that gathers changes for a few
// seconds, would be dropped with the delayed work at the end. A handler added
// here runs on the caller's thread at the start of every endQueues, before
// its drain, and queues that work for now. Its owner removes it with the
// token before it goes.
uint64_t addQueuesEndHandler(std::function<void()> handler);
void removeQueuesEndHandler(uint64_t token);

// True once endQueues has begun to stop the queues.
bool queuesHaveEnded();

// Lets the queues take work again after endQueues (tests of the end only).
void reopenQueuesForTesting();

}  // namespace dispatch
