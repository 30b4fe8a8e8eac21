#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/Once.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/TimedSemaphore.h"
#include "platform/dispatch/Timer.h"

namespace dispatch {
namespace {

TEST(ManualExecutorTest, DelayedBlocksRunInDueOrderInVirtualTime) {
    ManualExecutor executor;
    auto a = SerialQueue::create("a");
    auto b = SerialQueue::create("b");
    std::vector<std::string> log;
    a->asyncAfter(5, [&] { log.push_back("a5"); });
    b->asyncAfter(2, [&] { log.push_back("b2"); });
    a->asyncAfter(-1, [&] { log.push_back("a-neg"); });
    b->async([&] { log.push_back("b-now"); });
    a->asyncAfter(2, [&] { log.push_back("a2"); });
    auto cancelled = b->asyncAfter(3, [&] { log.push_back("b3-cancelled"); });
    a->asyncAtWallTime(executor.clock().wallTime() + 4, [&] { log.push_back("a-wall4"); });
    cancelled.cancel();

    double start = Clock::uptimeNow();
    executor.runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"a-neg", "b-now"}));
    executor.advanceBy(2);
    EXPECT_EQ(executor.nextDelay(), 2.0);
    executor.advanceBy(10);
    EXPECT_EQ(log, (std::vector<std::string>{"a-neg", "b-now", "b2", "a2", "a-wall4", "a5"}));
    EXPECT_DOUBLE_EQ(Clock::uptimeNow() - start, 12);
    EXPECT_EQ(executor.pendingCount(), 0u);
    EXPECT_TRUE(cancelled.isCancelled());
}

TEST(TimerTest, FiresReplacesAndCancelsInVirtualTime) {
    ManualExecutor executor;
    auto queue = SerialQueue::create("worker");
    struct Step {
        std::string action;  // "schedule", "cancel", "advance", "wall"
        double value;
        std::vector<int> expectedFired;
        bool expectedActive;
    };
    // clang-format off
    const Step steps[] = {
        {"schedule", 10, {}, true},      // run #1 at +10
        {"advance", 9.5, {}, true},
        {"schedule", 3, {}, true},       // replaces #1; run #2 at +3
        {"advance", 2.9, {}, true},
        {"advance", 0.2, {2}, false},    // only the second block ran, though the first one's time has passed
        {"schedule", -5, {2}, true},     // run #3: a negative delay fires at once
        {"advance", 0, {2, 3}, false},
        {"schedule", 60, {2, 3}, true},  // run #4
        {"cancel", 0, {2, 3}, false},
        {"advance", 120, {2, 3}, false},
        {"schedule", 3600, {2, 3}, true},  // run #5; the wall clock jumps past it
        {"wall", 3601, {2, 3, 5}, false},
    };
    // clang-format on
    Timer timer(queue);
    std::vector<int> fired;
    int next = 1;
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << "step " << (&step - steps) << " " << step.action);
        if (step.action == "schedule") {
            int id = next++;
            timer.schedule(step.value, [&, id] {
                fired.push_back(id);
                EXPECT_TRUE(timer.isActive());  // active until the handler returns
                EXPECT_FALSE(timer.fireTime());
            });
            EXPECT_DOUBLE_EQ(*timer.fireTime(), Clock::now() + step.value);
        } else if (step.action == "cancel") {
            timer.cancel();
            EXPECT_FALSE(timer.fireTime());
        } else if (step.action == "advance") {
            executor.advanceBy(step.value);
        } else {
            executor.clock().setWallTime(Clock::now() + step.value);
            executor.runUntilIdle();
        }
        EXPECT_EQ(fired, step.expectedFired);
        EXPECT_EQ(timer.isActive(), step.expectedActive);
    }
}

TEST(TimerTest, DestroyingATimerCancelsIt) {
    ManualExecutor executor;
    bool ran = false;
    {
        Timer timer(MainQueue::shared());
        timer.schedule(1, [&] { ran = true; });
    }
    executor.advanceBy(5);
    EXPECT_FALSE(ran);
}

TEST(TimedSemaphoreTest, WaitsInVirtualTime) {
    struct Case {
        double signalAfter;  // negative: never
        double timeout;      // negative: none
        bool expected;
        double expectedElapsed;
    };
    // clang-format off
    const Case cases[] = {
        {2, 5, true, 2},
        {7, 5, false, 5},
        {100, -1, true, 100},
        {-1, -1, false, 0},  // never signalled, no time-out: reported instead of hanging
        {0, 0, true, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        ManualExecutor executor;
        auto queue = SerialQueue::create("signaller");
        TimedSemaphore semaphore;
        if (c.signalAfter >= 0) queue->asyncAfter(c.signalAfter, [&] { semaphore.signal(); });
        double start = Clock::uptimeNow();
        EXPECT_EQ(semaphore.wait(c.timeout), c.expected);
        EXPECT_DOUBLE_EQ(Clock::uptimeNow() - start, c.expectedElapsed);
    }
}

TEST(OnceTest, RunsOnceUntilResetAndAgainAfterAThrow) {
    Once once;
    std::atomic<int> runs{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&] { once.call([&] { ++runs; }); });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(runs, 1);
    once.reset();
    EXPECT_THROW(once.call([] { throw std::runtime_error("first try fails"); }), std::runtime_error);
    once.call([&] { ++runs; });
    once.call([&] { ++runs; });
    EXPECT_EQ(runs, 2);
}

TEST(ClockTest, FakeClockIsInstalledWithTheExecutorAndRemovedAfter) {
    {
        ManualExecutor executor(1'000.0, 50.0);
        executor.clock().setWallTime(10.0);  // the device clock goes back; uptime does not
        executor.advanceBy(1);
        EXPECT_EQ(std::pair(Clock::now(), Clock::uptimeNow()), std::pair(11.0, 51.0));
    }
    EXPECT_GT(Clock::now(), 1.6e9);
}

TEST(WallTimerTest, AClockChangeMovesTheFiringOnRealThreads) {
    FakeClock clock(5'000.0, 10.0);
    Clock::install(&clock);
    auto queue = SerialQueue::create("wall");
    TimedSemaphore fired;
    Timer timer(queue);
    timer.schedule(3600, [&] { fired.signal(); });
    EXPECT_FALSE(fired.wait(0));
    clock.setWallTime(5'000.0 + 3600);  // the user sets the clock an hour ahead
    EXPECT_TRUE(fired.wait(30));
    queue->sync([] {});
    EXPECT_FALSE(timer.isActive());
    Clock::install(nullptr);
}

}  // namespace
}  // namespace dispatch
