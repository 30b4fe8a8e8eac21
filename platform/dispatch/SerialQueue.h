#pragma once

#include <memory>
#include <string>

#include "platform/dispatch/Queue.h"

namespace dispatch {

class WorkerPool;

// A FIFO queue with one thread of its own in production (started at the first
// block). Destroying the queue runs the blocks already queued and drops
// delayed work that is not yet due.
class SerialQueue : public Queue {
public:
    static std::shared_ptr<SerialQueue> create(std::string label);

    explicit SerialQueue(std::string label);
    ~SerialQueue() override;

    // The serial queue whose block runs on the calling thread, or null.
    static SerialQueue* current();

protected:
    void enqueue(Task block) override;
    void enqueueAfter(double seconds, Task block) override;
    void enqueueAtWallTime(double wallSeconds, Task block) override;

private:
    std::unique_ptr<WorkerPool> pool_;
};

}  // namespace dispatch
