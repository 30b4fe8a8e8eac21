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
    // Never destroyed: static destructors may still reach it after the queues have ended.
    static auto* queue = new std::shared_ptr<MainQueue>(std::make_shared<MainQueue>());
    return *queue;
}

MainQueue::MainQueue() : Queue("com.calvaro.main-thread", "main", 0) {}

size_t MainQueue::runPending() { return pool().runReady(); }

size_t MainQueue::runFor(double seconds) { return pool().runFor(seconds); }

bool MainQueue::isCurrent() const {
    Queue* running = Queue::current();
    if (ManualExecutor::installed()) return running ? running == this : onMainThread();
    // A serial queue's block run by a sync on the main thread is not main-thread work.
    if (running && running != this) return false;
    return onMainThread();
}

bool isMainThread() {
    Queue* running = Queue::current();
    if (ManualExecutor::installed()) return running ? dynamic_cast<MainQueue*>(running) != nullptr : onMainThread();
    // As for the main queue: the caller's thread lends itself to another queue's block.
    if (running && dynamic_cast<MainQueue*>(running) == nullptr) return false;
    return onMainThread();
}

void markMainThread() { gMainThread.store(std::this_thread::get_id()); }

}  // namespace dispatch
