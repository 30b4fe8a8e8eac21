#pragma once

#include <memory>

#include "platform/dispatch/Queue.h"

namespace dispatch {

// The queue of the UI loop. It has no thread of its own: the application's main
// loop (or a test) pumps it on the main thread. Under a ManualExecutor its
// blocks go to the executor like every other queue's, and runPending finds
// nothing.
class MainQueue : public Queue {
public:
    // The one main queue of the process.
    static std::shared_ptr<MainQueue> shared();


    // Runs every block that is due now, including blocks queued meanwhile.
    // Returns how many ran. Call on the main thread.
    size_t runPending();

    // Waits up to `seconds` for a block to become due and runs what is due.
    // Returns how many ran.
    size_t runFor(double seconds);

    // Main thread in production, except while another queue's block runs
    // there (a sync onto an idle serial queue); under a ManualExecutor, while
    // a main-queue block runs or while no block runs at all (the test body).
    bool isCurrent() const override;

    MainQueue();  // use shared()
};

// True on the main thread: the thread that started the process (or the one
// named by markMainThread). Under a ManualExecutor, where every block runs on
// the test's thread, it is true only outside blocks and inside main-queue
// blocks, so that worker-queue code sees itself off the main thread. The same
// holds in production for a serial queue's block that a sync runs in place on
// the main thread.
bool isMainThread();

// Names the calling thread as the main thread (for programs whose UI loop does
// not run on the thread that started them).
void markMainThread();

}  // namespace dispatch
