#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/GlobalQueue.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/TimedSemaphore.h"

namespace dispatch {
namespace {

TEST(SerialQueueTest, RunsBlocksInOrderOnItsOwnThread) {
    auto queue = SerialQueue::create("com.calvaro.test.order");
    std::vector<int> order, expected;
    std::atomic<bool> wrongQueue{false};
    std::thread::id worker;
    for (int i = 0; i < 2000; ++i) {
        expected.push_back(i);
        queue->async([&, i] {
            if (SerialQueue::current() != queue.get()) wrongQueue = true;
            worker = std::this_thread::get_id();
            order.push_back(i);
        });
    }
    queue->sync([] {});  // behind every block above
    EXPECT_EQ(order, expected);
    EXPECT_FALSE(wrongQueue);
    EXPECT_NE(worker, std::this_thread::get_id());
}

TEST(SerialQueueTest, ThrowingBlockIsReportedAndTheQueueGoesOn) {
    std::mutex mutex;
    std::vector<std::string> seen;
    setExceptionHandler([&](const std::string& label, std::exception_ptr error) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(label + ": " + describeException(error));
    });
    for (bool manual : {false, true}) {
        SCOPED_TRACE(manual ? "manual" : "threads");
        std::unique_ptr<ManualExecutor> executor;
        if (manual) executor = std::make_unique<ManualExecutor>();
        seen.clear();
        auto queue = SerialQueue::create("throw");
        bool after = false;
        queue->async([] { throw std::runtime_error("broken block"); });
        queue->async([&] { after = true; });
        queue->sync([] { throw std::string("plain text"); });  // a throwing sync block returns to its caller
        queue->sync([] { throw 42; });
        EXPECT_TRUE(after);
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(seen, (std::vector<std::string>{"throw: broken block", "throw: plain text",
                                                  "throw: unknown exception"}));
    }
    setExceptionHandler(nullptr);
}

TEST(SerialQueueTest, QueuedWorkOutlivesTheOwnersReferenceButDelayedWorkDoesNot) {
    for (bool manual : {false, true}) {
        SCOPED_TRACE(manual ? "manual" : "threads");
        std::unique_ptr<ManualExecutor> executor;
        if (manual) executor = std::make_unique<ManualExecutor>();
        std::atomic<int> ran{0};
        TimedSemaphore last;
        auto queue = SerialQueue::create("com.calvaro.test.drain");
        std::weak_ptr<SerialQueue> weak = queue;
        queue->asyncAfter(3600, [&] { ran = -1000; });
        for (int i = 0; i < 100; ++i) queue->async([&] { ++ran; });
        queue->async([&] { last.signal(); });
        queue.reset();
        ASSERT_TRUE(last.wait(60));
        if (manual) {
            EXPECT_TRUE(weak.expired());
            executor->advanceBy(7200);
            EXPECT_EQ(executor->pendingCount(), 0u);
        }
        EXPECT_EQ(ran, 100);
    }
}

TEST(SerialQueueTest, ABlockMayDropTheLastReferenceToItsOwnQueue) {
    TimedSemaphore destroyed;
    std::thread::id destroyedOn, worker;
    std::shared_ptr<SerialQueue> queue(new SerialQueue("com.calvaro.test.self-release"), [&](SerialQueue* q) {
        delete q;  // on the queue's own thread: it must neither join itself nor touch freed state
        destroyedOn = std::this_thread::get_id();
        destroyed.signal();
    });
    auto* raw = queue.get();
    raw->async([&worker, holder = std::move(queue)]() mutable {
        worker = std::this_thread::get_id();
        holder.reset();
    });
    ASSERT_TRUE(destroyed.wait(60));
    EXPECT_EQ(destroyedOn, worker);
}

TEST(SerialQueueTest, SyncWaitsBehindEarlierBlocksAndNeverOverlapsABusyQueue) {
    ManualExecutor executor;
    auto worker = SerialQueue::create("worker");
    auto identity = SerialQueue::create("identity");
    std::vector<std::string> log;
    identity->async([&] { log.push_back("identity write"); });
    worker->async([&] {
        worker->async([&] { log.push_back("worker later"); });
        identity->sync([&] { log.push_back("identity read"); });  // may run other work, never the worker's
        log.push_back("worker after read");
    });
    executor.runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"identity write", "identity read", "worker after read",
                                             "worker later"}));
}

#ifdef NDEBUG
TEST(SerialQueueTest, SyncOntoTheCurrentQueueRunsInPlaceInReleaseBuilds) {
    ManualExecutor executor;
    auto queue = SerialQueue::create("self");
    std::vector<int> order;
    queue->async([&] {
        queue->sync([&] { order.push_back(1); });
        order.push_back(2);
    });
    executor.runUntilIdle();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}
#else
TEST(SerialQueueDeathTest, SyncOntoTheCurrentQueueIsCaughtInDebugBuilds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            ManualExecutor executor;
            auto queue = SerialQueue::create("self");
            queue->async([&] { queue->sync([] {}); });
            executor.runUntilIdle();
        },
        "sync onto the queue that is running the caller");
}
#endif

TEST(MainQueueTest, IsMainThreadFollowsTheQueueAndGlobalQueuesRunElsewhere) {
    {
        ManualExecutor executor;
        std::vector<bool> seen;
        SerialQueue::create("worker")->async([&] { seen.push_back(isMainThread()); });
        MainQueue::shared()->async(
            [&] { seen.push_back(isMainThread() && MainQueue::shared()->isCurrent()); });
        GlobalQueue::get(Priority::Default)->async([&] { seen.push_back(isMainThread()); });
        executor.runUntilIdle();
        EXPECT_TRUE(isMainThread());  // the test body stands for the UI loop
        EXPECT_EQ(seen, (std::vector<bool>{false, true, false}));
    }
    // Production: a global queue runs blocks off the caller's thread (a nested sync is allowed on a pool).
    auto global = GlobalQueue::get(Priority::Background);
    std::thread::id where;
    global->sync([&] { global->sync([&] { where = std::this_thread::get_id(); }); });
    EXPECT_NE(where, std::this_thread::get_id());
    // Blocks from other threads run on the main queue when the loop pumps.
    bool onMain = false;
    std::thread other([&] {
        EXPECT_FALSE(isMainThread());
        MainQueue::shared()->async([&] { onMain = isMainThread(); });
    });
    other.join();
    EXPECT_FALSE(onMain);
    EXPECT_EQ(MainQueue::shared()->runPending(), 1u);
    EXPECT_TRUE(onMain);
}

}  // namespace
}  // namespace dispatch
