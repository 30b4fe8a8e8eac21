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

struct CapturedExceptions {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> seen;
    CapturedExceptions() {
        setExceptionHandler([this](const std::string& label, std::exception_ptr error) {
            std::lock_guard<std::mutex> lock(mutex);
            seen.emplace_back(label, describeException(error));
        });
    }
    ~CapturedExceptions() { setExceptionHandler(nullptr); }
};

TEST(SerialQueueTest, RunsBlocksInOrderOnItsOwnThread) {
    auto queue = SerialQueue::create("com.calvaro.test.order");
    std::vector<int> order;
    std::atomic<bool> wrongQueue{false};
    std::thread::id worker;
    for (int i = 0; i < 2000; ++i) {
        queue->async([&, i] {
            if (!SerialQueue::current() || SerialQueue::current()->label() != "com.calvaro.test.order") wrongQueue = true;
            if (i == 0) worker = std::this_thread::get_id();
            order.push_back(i);
        });
    }
    queue->sync([] {});  // behind every block above
    ASSERT_EQ(order.size(), 2000u);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(order[i], i);
    EXPECT_FALSE(wrongQueue);
    EXPECT_NE(worker, std::this_thread::get_id());
    EXPECT_EQ(SerialQueue::current(), nullptr);
}

TEST(SerialQueueTest, ThrowingBlockIsReportedAndTheQueueGoesOn) {
    CapturedExceptions captured;
    struct Case {
        const char* name;
        std::function<void()> thrower;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"std::exception", [] { throw std::runtime_error("broken block"); }, "broken block"},
        {"text", [] { throw std::string("plain text"); }, "plain text"},
        {"other", [] { throw 42; }, "unknown exception"},
    };
    for (bool manual : {false, true}) {
        std::unique_ptr<ManualExecutor> executor;
        if (manual) executor = std::make_unique<ManualExecutor>();
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (manual ? " manual" : " threads"));
            captured.seen.clear();
            auto queue = SerialQueue::create("com.calvaro.test.throw");
            bool after = false;
            queue->async(c.thrower);
            queue->async([&] { after = true; });
            queue->sync(c.thrower);  // a throwing sync block returns to its caller
            ASSERT_TRUE(after);
            std::lock_guard<std::mutex> lock(captured.mutex);
            ASSERT_EQ(captured.seen.size(), 2u);
            EXPECT_EQ(captured.seen[0].first, "com.calvaro.test.throw");
            EXPECT_EQ(captured.seen[0].second, c.expected);
        }
    }
}

TEST(SerialQueueTest, QueuedWorkOutlivesTheOwnersReferenceButDelayedWorkDoesNot) {
    for (bool manual : {false, true}) {
        SCOPED_TRACE(manual ? "manual" : "threads");
        std::unique_ptr<ManualExecutor> executor;
        if (manual) executor = std::make_unique<ManualExecutor>();
        std::atomic<int> ran{0};
        std::atomic<bool> delayedRan{false};
        TimedSemaphore last;
        auto queue = SerialQueue::create("com.calvaro.test.drain");
        std::weak_ptr<SerialQueue> weak = queue;
        queue->asyncAfter(3600, [&] { delayedRan = true; });
        for (int i = 0; i < 100; ++i) queue->async([&] { ++ran; });
        queue->async([&] { last.signal(); });
        queue.reset();
        ASSERT_TRUE(last.wait(60));
        EXPECT_EQ(ran, 100);
        if (manual) {
            EXPECT_TRUE(weak.expired());
            executor->advanceBy(7200);
            EXPECT_FALSE(delayedRan);
            EXPECT_EQ(executor->pendingCount(), 0u);
        }
    }
}

TEST(SerialQueueTest, ABlockMayDropTheLastReferenceToItsOwnQueue) {
    TimedSemaphore destroyed;
    std::thread::id destroyedOn;
    std::shared_ptr<SerialQueue> queue(new SerialQueue("com.calvaro.test.self-release"), [&](SerialQueue* q) {
        delete q;  // on the queue's own thread: it must neither join itself nor touch freed state
        destroyedOn = std::this_thread::get_id();
        destroyed.signal();
    });
    std::thread::id worker;
    auto* raw = queue.get();
    raw->async([&worker, holder = std::move(queue)]() mutable {
        worker = std::this_thread::get_id();
        holder.reset();
    });
    ASSERT_TRUE(destroyed.wait(60));
    EXPECT_EQ(destroyedOn, worker);
}

TEST(SerialQueueTest, SyncFromAnotherQueueWaitsBehindEarlierBlocks) {
    ManualExecutor executor;
    auto worker = SerialQueue::create("worker");
    auto identity = SerialQueue::create("identity");
    std::vector<std::string> log;
    identity->async([&] { log.push_back("identity write"); });
    worker->async([&] {
        identity->sync([&] { log.push_back("identity read"); });
        log.push_back("worker after read");
    });
    executor.runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"identity write", "identity read", "worker after read"}));
}

TEST(SerialQueueTest, NestedSyncNeverOverlapsBlocksOfABusyQueue) {
    ManualExecutor executor;
    auto a = SerialQueue::create("a");
    auto b = SerialQueue::create("b");
    std::vector<std::string> log;
    a->async([&] {
        a->async([&] { log.push_back("a later"); });
        b->sync([&] { log.push_back("b"); });  // may run other work, never a's
        log.push_back("a end");
    });
    executor.runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"b", "a end", "a later"}));
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

TEST(MainQueueTest, IsMainThreadFollowsTheQueueUnderAManualExecutor) {
    ManualExecutor executor;
    auto worker = SerialQueue::create("worker");
    std::vector<bool> seen;
    worker->async([&] { seen.push_back(isMainThread()); });
    MainQueue::shared()->async([&] {
        seen.push_back(isMainThread());
        seen.push_back(MainQueue::shared()->isCurrent());
    });
    GlobalQueue::get(Priority::Default)->async([&] { seen.push_back(isMainThread()); });
    executor.runUntilIdle();
    EXPECT_TRUE(isMainThread());  // the test body stands for the UI loop
    EXPECT_EQ(seen, (std::vector<bool>{false, true, true, false}));
}

TEST(MainQueueTest, BlocksFromOtherThreadsRunWhenTheLoopPumps) {
    auto main = MainQueue::shared();
    std::atomic<int> ran{0};
    bool onMain = false;
    std::thread other([&] {
        EXPECT_FALSE(isMainThread());
        main->async([&] {
            onMain = isMainThread();
            ++ran;
        });
    });
    other.join();
    EXPECT_EQ(ran, 0);  // nothing runs until the loop pumps
    EXPECT_EQ(main->runPending(), 1u);
    EXPECT_EQ(ran, 1);
    EXPECT_TRUE(onMain);
}

TEST(GlobalQueueTest, RunsBlocksOffTheCallersThread) {
    auto global = GlobalQueue::get(Priority::Background);
    std::thread::id where;
    global->sync([&] { where = std::this_thread::get_id(); });
    EXPECT_NE(where, std::this_thread::get_id());
    EXPECT_FALSE(global->isSerial());
    global->sync([&] { global->sync([&] { where = std::this_thread::get_id(); }); });  // allowed on a pool
}

}  // namespace
}  // namespace dispatch
