#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace dispatch {
class Queue;
}
class MSRMonitor;

// Owner of the engine's serial worker queue and the only way work reaches it.
// Each block runs under a block identifier (the calling file and line, such as
// "MSRMeasurement:2414") that serves the log lines: anything a block throws is
// caught, logged with its identifier and swallowed, and the queue goes on with
// the next block.
class MSRScheduler {
public:
    using Block = std::function<void()>;

    // A scheduler over a new serial queue with that label. `monitor` receives
    // the log lines (the shared monitor when null).
    explicit MSRScheduler(const std::string& workerQueueLabel,
                          std::shared_ptr<MSRMonitor> monitor = nullptr);
    // A scheduler over a given serial queue.
    MSRScheduler(std::shared_ptr<dispatch::Queue> workerQueue, std::shared_ptr<MSRMonitor> monitor);

    // Queues the block and returns at once. The answer is the block's place
    // among the blocks handed over so far (see scheduledBlockCount).
    uint64_t scheduleOnWorkerQueueBlockID(std::string_view blockID, Block block);
    // How many blocks this scheduler has handed to the worker queue: while it
    // still equals a block's place, nothing was queued behind that block.
    uint64_t scheduledBlockCount() const { return scheduledBlocks_.load(); }
    // The place of the last queued block that has begun to run: the blocks
    // of later places still wait, in their order.
    uint64_t startedBlockCount() const { return startedBlocks_->load(); }
    // Runs the block on the worker queue and waits for it. Must not be called
    // from the worker queue.
    void dispatchSyncOnWorkerQueueBlockID(std::string_view blockID, const Block& block);

    // Runs the block on the caller's thread (the worker's, for a block that
    // does the work of several) as a scheduled block runs: what it throws is
    // logged under the identifier and swallowed.
    void runBlockID(std::string_view blockID, const Block& block);

    // False (and logged) when called on the main thread; the answer only
    // produces the log line.
    static bool checkOnBackgroundThreadWithMethodName(std::string_view methodName,
                                                      MSRMonitor* monitor = nullptr);

    const std::shared_ptr<dispatch::Queue>& workerQueue() const { return workerQueue_; }

private:
    // Runs `block`, answering whether it returned normally; what it throws is
    // logged under `code` with the identifier in `message` to `monitor`.
    // Static, since queued blocks may run after the scheduler is gone.
    static bool runGuarded(MSRMonitor& monitor, const Block& block, int64_t code,
                           const std::string& message);

    std::shared_ptr<dispatch::Queue> workerQueue_;
    std::shared_ptr<MSRMonitor> monitor_;
    std::atomic<uint64_t> scheduledBlocks_{0};
    // Shared with the queued blocks, which may run after the scheduler is gone.
    std::shared_ptr<std::atomic<uint64_t>> startedBlocks_ = std::make_shared<std::atomic<uint64_t>>(0);
};
