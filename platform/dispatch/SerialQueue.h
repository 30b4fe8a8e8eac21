#pragma once

#include <memory>
#include <string>

#include "platform/dispatch/Queue.h"

namespace dispatch {

// A FIFO queue with one thread of its own in production (started at the first
// block). Blocks queued with async or sync keep the queue alive until they have
// run; delayed work does not, and is dropped when the queue goes away.
class SerialQueue : public Queue {
public:
    static std::shared_ptr<SerialQueue> create(std::string label);

    explicit SerialQueue(std::string label);

    // The serial queue whose block runs on the calling thread, or null.
    static SerialQueue* current();
};

}  // namespace dispatch
