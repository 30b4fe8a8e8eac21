#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>

#include "platform/dispatch/GlobalQueue.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/TimedSemaphore.h"

namespace dispatch {
namespace {

// Where a sync block runs and which queue it sees as current. Run in place on
// the main thread, it is still not main-thread work.
TEST(InlineSyncTest, WhereASyncBlockRuns) {
    ASSERT_TRUE(isMainThread());
    struct Case { const char* name; std::function<std::shared_ptr<Queue>()> make; bool onCallerThread; };
    const std::vector<Case> cases = {
        {"idle serial queue", [] { return SerialQueue::create("inline.idle"); }, true},
        {"global queue", [] { return std::shared_ptr<Queue>(GlobalQueue::get(Priority::Default)); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto queue = c.make();
        std::thread::id where;
        Queue* current = nullptr;
        bool mainThread = true, mainQueueCurrent = true;
        queue->sync([&] {
            where = std::this_thread::get_id();
            current = Queue::current();
            mainThread = isMainThread();
            mainQueueCurrent = MainQueue::shared()->isCurrent();
        });
        EXPECT_EQ(where == std::this_thread::get_id(), c.onCallerThread);
        EXPECT_EQ(current, queue.get());
        EXPECT_FALSE(mainThread);
        EXPECT_FALSE(mainQueueCurrent);
        EXPECT_EQ(Queue::current(), nullptr);
        EXPECT_TRUE(isMainThread());
        EXPECT_TRUE(MainQueue::shared()->isCurrent());
    }
    // Nested onto another idle serial queue: also in place, the current queue following each level.
    auto outer = SerialQueue::create("inline.outer");
    auto inner = SerialQueue::create("inline.inner");
    std::vector<Queue*> currents;
    outer->sync([&] {
        inner->sync([&] { currents.push_back(Queue::current()); });
        currents.push_back(Queue::current());
    });
    EXPECT_EQ(currents, (std::vector<Queue*>{inner.get(), outer.get()}));
}

// From many threads at once, blocks of one serial queue never overlap and each
// thread's blocks run in the order it queued them, whether sync, async or
// queued inside an inline sync.
TEST(InlineSyncTest, ManyThreadsKeepEachThreadsOrderAndNeverOverlap) {
    auto queue = SerialQueue::create("inline.many");
    constexpr int kThreads = 8, kRounds = 4000;
    std::vector<std::pair<int, int>> seen;  // (thread, step), guarded by the queue alone
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    auto record = [&](int thread, int step) {
        if (inside.fetch_add(1) != 0) overlapped = true;
        seen.emplace_back(thread, step);
        inside.fetch_sub(1);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            int step = 0;
            for (int i = 0; i < kRounds; ++i) {
                switch (i % 4) {
                    case 0: queue->async([&, t, s = step++] { record(t, s); }); break;
                    case 1: queue->sync([&, t, s = step++] { record(t, s); }); break;
                    case 3: queue->asyncOrRunIfIdle([&, t, s = step++] { record(t, s); }); break;
                    default: {
                        int first = step++, second = step++;
                        queue->sync([&, t, first, second] {
                            queue->async([&, t, second] { record(t, second); });
                            record(t, first);
                        });
                    }
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    queue->sync([] {});  // behind everything queued above
    EXPECT_FALSE(overlapped);
    std::vector<int> last(kThreads, -1);
    size_t outOfOrder = 0;
    for (const auto& [thread, step] : seen) {
        if (step != last[thread] + 1) ++outOfOrder;
        last[thread] = step;
    }
    EXPECT_EQ(outOfOrder, 0u);
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads) * (kRounds + kRounds / 4));
}

TEST(InlineSyncTest, AsyncOrRunIfIdleRunsInPlaceOnlyWhenTheQueueIsIdle) {
    enum class Before { Nothing, RunningBlock, FromItsOwnBlock };
    struct Case { const char* name; Before before; bool ranInPlace; std::vector<std::string> order; };
    const std::vector<Case> cases = {
        {"idle", Before::Nothing, true, {"handed"}},
        {"busy", Before::RunningBlock, false, {"running", "handed"}},
        {"own block", Before::FromItsOwnBlock, false, {"own block", "handed"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto queue = SerialQueue::create("inline.handed");
        TimedSemaphore started, release;
        std::vector<std::string> order;
        std::atomic<bool> ranInPlace{false};
        const std::thread::id caller = std::this_thread::get_id();
        auto handed = [&] {
            ranInPlace = std::this_thread::get_id() == caller;
            order.push_back("handed");
        };
        switch (c.before) {
            case Before::Nothing: queue->asyncOrRunIfIdle(handed); break;
            case Before::RunningBlock:
                queue->async([&] {
                    started.signal();
                    release.wait(60);
                    order.push_back("running");
                });
                ASSERT_TRUE(started.wait(60));
                queue->asyncOrRunIfIdle(handed);
                release.signal();
                break;
            case Before::FromItsOwnBlock:
                queue->sync([&] {
                    queue->asyncOrRunIfIdle(handed);
                    order.push_back("own block");
                });
                break;
        }
        queue->sync([] {});
        EXPECT_EQ(ranInPlace, c.ranInPlace);
        EXPECT_EQ(order, c.order);
    }
}

TEST(InlineSyncTest, ThrowingInlineBlockIsReportedAndTheQueueGoesOn) {
    std::vector<std::string> reports;
    setExceptionHandler([&](const std::string& label, std::exception_ptr error) {
        reports.push_back(label + ": " + describeException(error));
    });
    auto queue = SerialQueue::create("inline.throw");
    queue->sync([] { throw std::runtime_error("bad read"); });
    TimedSemaphore ran;
    queue->async([&] { ran.signal(); });
    EXPECT_TRUE(ran.wait(60));
    setExceptionHandler({});
    EXPECT_EQ(reports, (std::vector<std::string>{"inline.throw: bad read"}));
}

TEST(InlineSyncTest, ManualExecutorStillDecidesWhenSyncWorkRuns) {
    ManualExecutor executor;
    auto queue = SerialQueue::create("inline.manual");
    std::vector<int> order;
    queue->async([&] { order.push_back(1); });
    queue->asyncOrRunIfIdle([&] { order.push_back(2); });
    EXPECT_TRUE(order.empty());
    queue->sync([&] { order.push_back(3); });
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(executor.pendingCount(), 0u);
}

}  // namespace
}  // namespace dispatch
