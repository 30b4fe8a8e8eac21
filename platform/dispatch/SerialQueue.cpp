#include "platform/dispatch/SerialQueue.h"

namespace dispatch {

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label) {
    return std::make_shared<SerialQueue>(std::move(label));
}

SerialQueue::SerialQueue(std::string label) : Queue(label, label, 1) {}

SerialQueue* SerialQueue::current() {
    Queue* queue = Queue::current();
    return queue && queue->isSerial() ? dynamic_cast<SerialQueue*>(queue) : nullptr;
}

}  // namespace dispatch
