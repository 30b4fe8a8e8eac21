// The orderly end: every queued block runs, including blocks queued by blocks
// on other queues and on the main queue, before the queues stop; afterwards
// no thread of theirs is left, and work that still comes is handled without
// one.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/ProcessEnd.h"
#include "platform/dispatch/SerialQueue.h"

namespace dispatch {
namespace {

size_t threadsOfThisProcess() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
    return count;
}

class ProcessEndTest : public testing::Test {
  protected:
    void SetUp() override { markMainThread(); }
    void TearDown() override { reopenQueuesForTesting(); }
};

TEST_F(ProcessEndTest, EveryQueuedBlockRunsThenNoThreadIsLeft) {
    auto first = SerialQueue::create("com.calvaro.test.end.first");
    auto second = SerialQueue::create("com.calvaro.test.end.second");
    auto main = MainQueue::shared();
    std::atomic<int> hops{0};
    std::atomic<bool> delayedRan{false};
    // A relay over both queues and the main queue, each hop queued by the last.
    std::function<void(int)> relay = [&](int left) {
        ++hops;
        if (left == 0) return;
        auto next = left % 3 == 0 ? std::shared_ptr<Queue>(main) : left % 3 == 1 ? first : second;
        next->async([&, left] { relay(left - 1); });
    };
    first->async([&] { relay(300); });
    second->asyncAfter(3600, [&] { delayedRan = true; });
    ASSERT_GT(threadsOfThisProcess(), 1u);

    ASSERT_TRUE(endQueues(60));
    EXPECT_EQ(hops.load(), 301);
    EXPECT_FALSE(delayedRan.load()) << "delayed work is dropped, not run early";
    EXPECT_TRUE(queuesHaveEnded());
    EXPECT_EQ(threadsOfThisProcess(), 1u) << "a queue's thread outlived the end";

    // Afterwards: nothing is queued any more, a sync runs on the caller's thread.
    bool asyncRan = false;
    first->async([&] { asyncRan = true; });
    std::thread::id syncThread;
    second->sync([&] { syncThread = std::this_thread::get_id(); });
    EXPECT_FALSE(asyncRan);
    EXPECT_EQ(syncThread, std::this_thread::get_id());
    EXPECT_EQ(threadsOfThisProcess(), 1u);
}

TEST_F(ProcessEndTest, DrainWaitsForWhatStillHoldsAndRunsTheMainQueueMeanwhile) {
    auto worker = SerialQueue::create("com.calvaro.test.end.worker");
    std::atomic<bool> taskEnded{false};
    // The task ends through a main-queue block that a worker block queues.
    worker->async([&] {
        MainQueue::shared()->async([&] {
            taskEnded = true;
            wakeDrain();
        });
    });
    EXPECT_TRUE(drainQueues(60, [&] { return !taskEnded.load(); }));
    EXPECT_TRUE(taskEnded.load());
    // What never ends holds the drain only until its time is up.
    EXPECT_FALSE(drainQueues(0.01, [] { return true; }));
    EXPECT_FALSE(queuesHaveEnded());
}

TEST_F(ProcessEndTest, UnderAManualExecutorTheDrainRunsItsWork) {
    ManualExecutor executor;
    auto queue = SerialQueue::create("com.calvaro.test.end.manual");
    int ran = 0;
    queue->async([&] { MainQueue::shared()->async([&] { ++ran; }); });
    EXPECT_TRUE(drainQueues(60));
    EXPECT_EQ(ran, 1);
}

}  // namespace
}  // namespace dispatch
