#pragma once

#include <memory>
#include <string>

#include "platform/dispatch/Queue.h"

namespace dispatch {

class WorkerPool;

// A FIFO queue with one thread of its own in production (started at the first
// block). Blocks queued with async or sync keep the queue alive until they have
// run; delayed work does not, and is dropped when the queue goes away.
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
