#include "analytics/support/MSRScheduler.h"

#include "analytics/support/MSRException.h"
#include "analytics/support/MSRMonitor.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/SerialQueue.h"

#include <typeinfo>

namespace {

std::string withBlockID(std::string_view head, std::string_view blockID, std::string_view tail) {
    std::string text(head);
    text.append(blockID).append(tail);
    return text;
}

}  // namespace

MSRScheduler::MSRScheduler(const std::string& workerQueueLabel, std::shared_ptr<MSRMonitor> monitor)
    : MSRScheduler(dispatch::SerialQueue::create(workerQueueLabel), std::move(monitor)) {}

MSRScheduler::MSRScheduler(std::shared_ptr<dispatch::Queue> workerQueue,
                           std::shared_ptr<MSRMonitor> monitor)
    : workerQueue_(std::move(workerQueue)),
      monitor_(monitor ? std::move(monitor) : MSRMonitor::shared()) {}

bool MSRScheduler::runGuarded(MSRMonitor& monitor, const Block& block, int64_t code,
                              const std::string& message) {
    // The engine's exceptions are reported as they are; anything else that
    // escapes a block is wrapped so that it too is logged instead of ending
    // the worker thread.
    try {
        block();
        return true;
    } catch (const MSRException& exception) {
        monitor.logWithLevel(1, code, message, {exception});
    } catch (const std::exception& exception) {
        monitor.logWithLevel(1, code, message,
                             {MSRException(typeid(exception).name(), exception.what())});
    } catch (...) {
        monitor.logWithLevel(1, code, message,
                             {MSRException("UnknownException", "unknown exception")});
    }
    return false;
}

uint64_t MSRScheduler::scheduleOnWorkerQueueBlockID(std::string_view blockID, Block block) {
    if (!block) {
        monitor_->logWithLevel(
            1, 30005,
            withBlockID("Nil block dispatched asynchronously on worker queue. Block ID=", blockID, "."));
        return scheduledBlocks_.load();
    }
    const uint64_t place = ++scheduledBlocks_;
    // The block may run after the scheduler is gone: it holds the monitor, not the scheduler.
    workerQueue_->async([monitor = monitor_, started = startedBlocks_, place, id = std::string(blockID),
                         block = std::move(block)] {
        started->store(place, std::memory_order_relaxed);
        runGuarded(*monitor, block, 30000,
                   withBlockID("Exception on worker queue. Block ID=", id, ". Exception"));
    });
    return place;
}

void MSRScheduler::runBlockID(std::string_view blockID, const Block& block) {
    runGuarded(*monitor_, block, 30000,
               withBlockID("Exception on worker queue. Block ID=", blockID, ". Exception"));
}

void MSRScheduler::dispatchSyncOnWorkerQueueBlockID(std::string_view blockID, const Block& block) {
    if (!block) {
        monitor_->logWithLevel(
            1, 30002,
            withBlockID("Nil block dispatched synchronously on worker queue. Block ID=", blockID, "."));
        return;
    }
    bool completed = false;
    ++scheduledBlocks_;
    workerQueue_->sync([&] {
        completed = runGuarded(
            *monitor_, block, 30003,
            withBlockID("Exception on worker queue when processing sync block. Block ID=", blockID,
                        ". Exception"));
    });
    if (!completed) {
        monitor_->logWithLevel(4, 30004, withBlockID("Synchronous task failed. Block ID=", blockID, ""));
    }
}

bool MSRScheduler::checkOnBackgroundThreadWithMethodName(std::string_view methodName,
                                                         MSRMonitor* monitor) {
    if (!dispatch::isMainThread()) return true;
    std::string text = "Method ";
    text += methodName.empty() ? std::string_view("<empty method name>") : methodName;
    text += " should execute on background thread";
    (monitor ? *monitor : *MSRMonitor::shared()).logWithLevel(1, 30001, text);
    return false;
}
