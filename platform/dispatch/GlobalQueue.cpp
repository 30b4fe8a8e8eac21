#include "platform/dispatch/GlobalQueue.h"

#include <array>

#include "platform/dispatch/WorkerPool.h"

namespace dispatch {

std::shared_ptr<GlobalQueue> GlobalQueue::get(Priority priority) {
    // Never destroyed: their threads may still be busy while the process exits.
    static auto* queues = new std::array<std::shared_ptr<GlobalQueue>, 4>{
        std::make_shared<GlobalQueue>("com.calvaro.global.high", 2),
        std::make_shared<GlobalQueue>("com.calvaro.global.default", 2),
        std::make_shared<GlobalQueue>("com.calvaro.global.low", 2),
        std::make_shared<GlobalQueue>("com.calvaro.global.background", 2),
    };
    return (*queues)[static_cast<size_t>(priority)];
}

GlobalQueue::GlobalQueue(std::string label, int threads)
    : Queue(label), pool_(std::make_unique<WorkerPool>(label.substr(label.rfind('.') + 1), threads)) {}

GlobalQueue::~GlobalQueue() = default;

void GlobalQueue::enqueue(Task block) { pool_->post(std::move(block)); }

void GlobalQueue::enqueueAfter(double seconds, Task block) { pool_->postAfter(seconds, std::move(block)); }

void GlobalQueue::enqueueAtWallTime(double wallSeconds, Task block) {
    pool_->postAtWallTime(wallSeconds, std::move(block));
}

}  // namespace dispatch
