#include "MonitorHarness.h"

#include "analytics/support/MSRAlarm.h"
#include "analytics/support/MSRScheduler.h"
#include "platform/dispatch/SerialQueue.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using Lines = std::vector<std::string>;
const auto line = MonitorHarness::line;

const MSRException kEngineException("NSInvalidArgumentException", "boom",
                                    {"0 CoreFoundation 0x1 __exceptionPreprocess + 1",
                                     "1 libobjc 0x2 objc_throw + 2",
                                     "2 Calvaro 0x3 -[MSRMeasurement handleEvent:] + 3"});

TEST(SchedulerTest, BlocksRunInOrderOnTheNamedWorkerQueue) {
    MonitorHarness h;
    MSRScheduler scheduler("app.calvaro.analytics.worker", h.monitor);
    std::vector<int> seen;
    for (int i = 0; i < 3; ++i) {
        scheduler.scheduleOnWorkerQueueBlockID("MSRMeasurement:" + std::to_string(i), [&seen, i] {
            EXPECT_EQ(dispatch::Queue::current()->label(), "app.calvaro.analytics.worker");
            seen.push_back(i);
        });
    }
    EXPECT_TRUE(seen.empty());
    h.settle();
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));
}

TEST(SchedulerTest, ThrowingBlocksAreLoggedAndTheQueueGoesOn) {
    const std::string head = "Exception on worker queue. Block ID=MSRMeasurement:2414. Exception: ";
    // clang-format off
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[] { throw kEngineException; }, head + "-[MSRMeasurement handleEvent:]: boom"},
        {[] { throw std::runtime_error("bad state"); },
         head + typeid(std::runtime_error).name() + ": bad state"},
        {[] { throw 42; }, head + "UnknownException: unknown exception"},
    };
    // clang-format on
    for (const auto& [thrower, text] : cases) {
        MonitorHarness h;
        MSRScheduler scheduler("worker", h.monitor);
        std::vector<int> ran;
        scheduler.scheduleOnWorkerQueueBlockID("MSRMeasurement:1", [&] { ran.push_back(1); });
        scheduler.scheduleOnWorkerQueueBlockID("MSRMeasurement:2414", thrower);
        scheduler.scheduleOnWorkerQueueBlockID("MSRMeasurement:3", [&] { ran.push_back(3); });
        EXPECT_EQ(h.takeLines(), Lines{line(30000, text)});
        EXPECT_EQ(ran, (std::vector<int>{1, 3}));
        EXPECT_EQ(h.sampled(),
                  "1E_110100:Exception on worker queue. Block ID=MSRMeasurement:2414. Exception");
    }
}

// The engine may let go of its scheduler while work is still queued: that
// work runs all the same, and what it throws is still reported.
TEST(SchedulerTest, QueuedBlocksOutliveTheirScheduler) {
    MonitorHarness h;
    int ran = 0;
    {
        MSRScheduler scheduler("worker", h.monitor);
        scheduler.scheduleOnWorkerQueueBlockID("A:1", [&ran] { ++ran; });
        scheduler.scheduleOnWorkerQueueBlockID("A:2", [] { throw std::runtime_error("late"); });
    }
    EXPECT_EQ(h.takeLines(), Lines{line(30000, std::string("Exception on worker queue. Block ID=A:2. Exception: ") +
                                                   typeid(std::runtime_error).name() + ": late")});
    EXPECT_EQ(ran, 1);
}

TEST(SchedulerTest, SynchronousEmptyAndMainThreadCalls) {
    MonitorHarness h;
    MSRScheduler scheduler("worker", h.monitor);
    int value = 0;
    scheduler.scheduleOnWorkerQueueBlockID("first", [&] { value = 1; });
    scheduler.dispatchSyncOnWorkerQueueBlockID("MSRMeasurement:9", [&] { value *= 10; });
    EXPECT_EQ(value, 10);
    EXPECT_TRUE(h.takeLines().empty());

    // A throwing synchronous block still returns to its caller.
    scheduler.dispatchSyncOnWorkerQueueBlockID("MSRMeasurement:9", [] { throw kEngineException; });
    scheduler.scheduleOnWorkerQueueBlockID("A:1", {});
    scheduler.dispatchSyncOnWorkerQueueBlockID("A:2", {});
    EXPECT_EQ(h.takeLines(),
              (Lines{line(30003,
                          "Exception on worker queue when processing sync block. Block ID=MSRMeasurement:9. "
                          "Exception: -[MSRMeasurement handleEvent:]: boom"),
                     line(30004, "Synchronous task failed. Block ID=MSRMeasurement:9"),
                     line(30005, "Nil block dispatched asynchronously on worker queue. Block ID=A:1."),
                     line(30002, "Nil block dispatched synchronously on worker queue. Block ID=A:2.")}));

    // Worker methods are refused on the main thread only.
    EXPECT_FALSE(MSRScheduler::checkOnBackgroundThreadWithMethodName("resetAnalyticsData"));
    bool onWorker = false;
    scheduler.dispatchSyncOnWorkerQueueBlockID("X:1", [&] {
        onWorker = MSRScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig:");
    });
    EXPECT_TRUE(onWorker);
}

// ---- alarms ----------------------------------------------------------------

struct AlarmHarness : MonitorHarness {
    std::shared_ptr<dispatch::Queue> queue = dispatch::SerialQueue::create("worker");
};

TEST(AlarmTest, FiresReplacesAndCancelsInVirtualTime) {
    AlarmHarness h;
    MSRAlarm alarm(h.queue, "", h.monitor);
    struct Step {
        std::string action;
        int value;
        std::vector<int> fired;
        bool pending;
    };
    // clang-format off
    const Step steps[] = {
        {"cancel", 0, {}, false},    {"schedule", 10, {}, true},    {"schedule", 20, {}, true},
        {"advance", 15, {}, true},   {"empty", 1, {}, true},  // the pending run stays
        {"advance", 5, {2}, false},  {"schedule", 5, {2}, true},    {"cancel", 0, {2}, false},
        {"advance", 10, {2}, false}, {"schedule", 3600, {2}, true},
        {"wall", 3600, {2, 4}, false},  // a change of the wall clock moves the firing
    };
    // clang-format on
    std::vector<int> ran;
    int next = 1;
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << "step " << (&step - steps) << " " << step.action);
        const double now = h.executor->clock().wallTime();
        if (step.action == "schedule") {
            alarm.runAfterDelay(step.value, [&ran, id = next++] { ran.push_back(id); });
            EXPECT_EQ(alarm.scheduledTimestamp(), now + step.value);
        } else if (step.action == "empty") {
            alarm.runAfterDelay(step.value, {});
        } else if (step.action == "cancel") {
            alarm.cancel();
        } else if (step.action == "advance") {
            h.executor->advanceBy(step.value);
        } else {
            h.executor->clock().setWallTime(now + step.value);
            h.executor->runUntilIdle();
        }
        EXPECT_EQ(ran, step.fired);
        EXPECT_EQ(alarm.hasActiveTimer(), step.pending);
        EXPECT_EQ(alarm.scheduledTimestamp().has_value(), step.pending);
    }
}

TEST(AlarmTest, FiredBlockMayRearmItsAlarm) {
    AlarmHarness h;
    MSRAlarm alarm(h.queue, "Measurement timer", h.monitor);
    int fired = 0;
    std::function<void()> block = [&] {
        if (++fired < 3) alarm.runAfterDelay(60, block);
    };
    alarm.runAfterDelay(60, block);
    h.executor->advanceBy(60);
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(alarm.hasActiveTimer());
    h.executor->advanceBy(120);
    EXPECT_EQ(fired, 3);
    EXPECT_FALSE(alarm.scheduledTimestamp());
}

TEST(AlarmTest, DestroyingAPendingAlarmCancelsIt) {
    AlarmHarness h;
    bool fired = false;
    std::make_unique<MSRAlarm>(h.queue, "Timer", h.monitor)->runAfterDelay(1, [&] { fired = true; });
    h.executor->advanceBy(5);
    EXPECT_FALSE(fired);
}

}  // namespace
