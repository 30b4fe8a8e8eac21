#include "platform/dispatch/SerialQueue.h"

#include "platform/dispatch/WorkerPool.h"

namespace dispatch {

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label) {
    return std::make_shared<SerialQueue>(std::move(label));
}

SerialQueue::SerialQueue(std::string label) : Queue(label), pool_(std::make_unique<WorkerPool>(label, 1)) {}

SerialQueue::~SerialQueue() = default;

SerialQueue* SerialQueue::current() {
    Queue* queue = Queue::current();
    return queue && queue->isSerial() ? dynamic_cast<SerialQueue*>(queue) : nullptr;
}

void SerialQueue::enqueue(Task block) { pool_->post(std::move(block)); }

void SerialQueue::enqueueAfter(double seconds, Task block) { pool_->postAfter(seconds, std::move(block)); }

void SerialQueue::enqueueAtWallTime(double wallSeconds, Task block) {
    pool_->postAtWallTime(wallSeconds, std::move(block));
}

}  // namespace dispatch
