#pragma once

#include <memory>

#include "platform/dispatch/Queue.h"

namespace dispatch {

enum class Priority { High, Default, Low, Background };

// A small shared pool of threads per priority. Blocks may run side by side;
// callers must not rely on their order.
class GlobalQueue : public Queue {
public:
    static std::shared_ptr<GlobalQueue> get(Priority priority);

    bool isSerial() const override { return false; }

    GlobalQueue(std::string label, int threads);  // use get()
};

}  // namespace dispatch
