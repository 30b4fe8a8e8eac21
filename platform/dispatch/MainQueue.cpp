#include "platform/dispatch/MainQueue.h"

#include <atomic>
#include <thread>

#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/WorkerPool.h"

namespace dispatch {

namespace {

// Static initialisation runs on the thread that starts the process.
std::atomic<std::thread::id> gMainThread{std::this_thread::get_id()};

bool onMainThread() { return gMainThread.load() == std::this_thread::get_id(); }

}  // namespace

std::shared_ptr<MainQueue> MainQueue::shared() {
    // Never destroyed: blocks may still be queued from other threads while the process exits.
    static auto* queue = new std::shared_ptr<MainQueue>(std::make_shared<MainQueue>());
    return *queue;
}

MainQueue::MainQueue() : Queue("com.calvaro.main-thread", "main", 0) {}

size_t MainQueue::runPending() { return pool().runReady(); }

size_t MainQueue::runFor(double seconds) { return pool().runFor(seconds); }

bool MainQueue::isCurrent() const {
    if (ManualExecutor::installed()) {
        Queue* running = Queue::current();
        return running ? running == this : onMainThread();
    }
    return onMainThread();
}

bool isMainThread() {
    if (ManualExecutor::installed()) {
        Queue* running = Queue::current();
        return running ? dynamic_cast<MainQueue*>(running) != nullptr : onMainThread();
    }
    return onMainThread();
}

void markMainThread() { gMainThread.store(std::this_thread::get_id()); }

}  // namespace dispatch
