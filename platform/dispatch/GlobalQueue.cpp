#include "platform/dispatch/GlobalQueue.h"

#include <array>

namespace dispatch {

std::shared_ptr<GlobalQueue> GlobalQueue::get(Priority priority) {
    // Never destroyed: static destructors may still reach them after the queues have ended.
    static auto* queues = new std::array<std::shared_ptr<GlobalQueue>, 4>{
        std::make_shared<GlobalQueue>("com.calvaro.global.high", 2),
        std::make_shared<GlobalQueue>("com.calvaro.global.default", 2),
        std::make_shared<GlobalQueue>("com.calvaro.global.low", 2),
        std::make_shared<GlobalQueue>("com.calvaro.global.background", 2),
    };
    return (*queues)[static_cast<size_t>(priority)];
}

GlobalQueue::GlobalQueue(std::string label, int threads)
    : Queue(label, label.substr(label.rfind('.') + 1), threads) {}

}  // namespace dispatch
