#include "MonitorHarness.h"

#include "analytics/core/support/MSRAlarm.h"
#include "analytics/core/support/MSRScheduler.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/SerialQueue.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

const MSRException kEngineException(
    "NSInvalidArgumentException", "boom",
    {"0 CoreFoundation 0x1 __exceptionPreprocess + 1", "1 libobjc 0x2 objc_exception_throw + 2",
     "2 Calvaro 0x3 -[MSRMeasurement handleEvent:] + 3"});

TEST(SchedulerTest, BlocksRunInOrderOnTheNamedWorkerQueue) {
    MonitorHarness h;
    MSRScheduler scheduler("app.calvaro.analytics.worker", h.monitor);
    std::vector<std::string> seen;
    for (int i = 0; i < 5; ++i) {
        scheduler.scheduleOnWorkerQueueBlockID("MSRMeasurement:" + std::to_string(i), [&seen, i] {
            seen.push_back(std::to_string(i) + "@" + dispatch::Queue::current()->label());
        });
    }
    EXPECT_TRUE(seen.empty());
    h.settle();
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "0@app.calvaro.analytics.worker", "1@app.calvaro.analytics.worker",
                        "2@app.calvaro.analytics.worker", "3@app.calvaro.analytics.worker",
                        "4@app.calvaro.analytics.worker"}));
    EXPECT_EQ(scheduler.workerQueue()->label(), "app.calvaro.analytics.worker");
}

TEST(SchedulerTest, ThrowingBlocksAreLoggedAndTheQueueGoesOn) {
    struct Case {
        std::function<void()> thrower;
        std::string line;
    };
    const Case cases[] = {
        {[] { throw kEngineException; },
         "<RovIdarurozaro>[I-MSR030000] Exception on worker queue. Block ID=MSRMeasurement:2414. "
         "Exception: -[MSRMeasurement handleEvent:]: boom"},
        {[] { throw std::runtime_error("bad state"); },
         "<RovIdarurozaro>[I-MSR030000] Exception on worker queue. Block ID=MSRMeasurement:2414. "
         "Exception: " + std::string(typeid(std::runtime_error).name()) + ": bad state"},
        {[] { throw 42; },
         "<RovIdarurozaro>[I-MSR030000] Exception on worker queue. Block ID=MSRMeasurement:2414. "
         "Exception: UnknownException: unknown exception"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        MonitorHarness h;
        MSRScheduler scheduler("worker", h.monitor);
        std::vector<int> ran;
        scheduler.scheduleOnWorkerQueueBlockID("MSRMeasurement:1", [&] { ran.push_back(1); });
        scheduler.scheduleOnWorkerQueueBlockID("MSRMeasurement:2414", c.thrower);
        scheduler.scheduleOnWorkerQueueBlockID("MSRMeasurement:3", [&] { ran.push_back(3); });
        EXPECT_EQ(h.takeLines(), std::vector<std::string>{c.line});
        EXPECT_EQ(ran, (std::vector<int>{1, 3}));
        EXPECT_EQ(h.sampledKey(),
                  "1E_110100:Exception on worker queue. Block ID=MSRMeasurement:2414. Exception");
    }
}

TEST(SchedulerTest, SynchronousBlocksReturnToTheCallerEvenWhenTheyThrow) {
    MonitorHarness h;
    MSRScheduler scheduler("worker", h.monitor);
    int value = 0;
    scheduler.scheduleOnWorkerQueueBlockID("first", [&] { value = 1; });
    scheduler.dispatchSyncOnWorkerQueueBlockID("MSRMeasurement:9", [&] { value *= 10; });
    EXPECT_EQ(value, 10);
    EXPECT_TRUE(h.takeLines().empty());

    scheduler.dispatchSyncOnWorkerQueueBlockID("MSRMeasurement:9", [] { throw kEngineException; });
    EXPECT_EQ(h.takeLines(),
              (std::vector<std::string>{
                  "<RovIdarurozaro>[I-MSR030003] Exception on worker queue when processing sync "
                  "block. Block ID=MSRMeasurement:9. Exception: -[MSRMeasurement handleEvent:]: boom",
                  "<RovIdarurozaro>[I-MSR030004] Synchronous task failed. Block ID=MSRMeasurement:9"}));
}

TEST(SchedulerTest, EmptyBlocksAreRefused) {
    MonitorHarness h;
    MSRScheduler scheduler("worker", h.monitor);
    scheduler.scheduleOnWorkerQueueBlockID("A:1", {});
    scheduler.dispatchSyncOnWorkerQueueBlockID("A:2", {});
    EXPECT_EQ(h.takeLines(),
              (std::vector<std::string>{
                  "<RovIdarurozaro>[I-MSR030005] Nil block dispatched asynchronously on worker queue. "
                  "Block ID=A:1.",
                  "<RovIdarurozaro>[I-MSR030002] Nil block dispatched synchronously on worker queue. "
                  "Block ID=A:2."}));
}

TEST(SchedulerTest, WorkerMethodsOnTheMainThreadAreLogged) {
    MonitorHarness h;
    MSRScheduler scheduler("worker", h.monitor);
    EXPECT_FALSE(MSRScheduler::checkOnBackgroundThreadWithMethodName("resetAnalyticsData"));
    EXPECT_FALSE(MSRScheduler::checkOnBackgroundThreadWithMethodName(""));
    bool onWorker = false;
    scheduler.dispatchSyncOnWorkerQueueBlockID("X:1", [&] {
        onWorker = MSRScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig:");
    });
    EXPECT_TRUE(onWorker);
    EXPECT_EQ(h.takeLines(),
              (std::vector<std::string>{
                  "<RovIdarurozaro>[I-MSR030001] Method resetAnalyticsData should execute on "
                  "background thread",
                  "<RovIdarurozaro>[I-MSR030001] Method <empty method name> should execute on "
                  "background thread"}));
}

TEST(SchedulerTest, ProductionWorkerQueueRunsBlocksInOrderOnItsOwnThread) {
    MonitorHarness h({}, /*ownExecutor=*/false);
    MSRScheduler scheduler("worker", h.monitor);
    std::vector<int> order;
    std::thread::id workerThread;
    for (int i = 0; i < 100; ++i) {
        scheduler.scheduleOnWorkerQueueBlockID("T:1", [&order, i] { order.push_back(i); });
    }
    scheduler.scheduleOnWorkerQueueBlockID("T:2", [] { throw kEngineException; });
    scheduler.dispatchSyncOnWorkerQueueBlockID("T:3", [&] { workerThread = std::this_thread::get_id(); });
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_NE(workerThread, std::this_thread::get_id());
}

// ---- alarms ----------------------------------------------------------------

struct AlarmHarness : MonitorHarness {
    AlarmHarness() {
        console.setLoggerLevel(MSRConsoleLogger::kLevelDebug);
        takeLines();
    }
    std::shared_ptr<dispatch::Queue> queue = dispatch::SerialQueue::create("worker");
};

TEST(AlarmTest, AlarmFiresOnceAfterItsDelayInVirtualTime) {
    AlarmHarness h;
    MSRAlarm alarm(h.queue, "Measurement timer", h.monitor);
    int fired = 0;
    const double start = h.executor->clock().wallTime();
    alarm.runAfterDelay(15, [&] { ++fired; });
    EXPECT_EQ(alarm.scheduledTimestamp(), start + 15);
    EXPECT_TRUE(alarm.hasActiveTimer());
    h.executor->advanceBy(14.9);
    EXPECT_EQ(fired, 0);
    h.executor->advanceBy(0.2);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(alarm.scheduledTimestamp());
    EXPECT_FALSE(alarm.hasActiveTimer());
    h.executor->advanceBy(100);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(h.takeLines(),
              (std::vector<std::string>{
                  "<RovIdarurozaro>[I-MSR002002] Measurement timer scheduled to fire in approx. (s): 15",
                  "<RovIdarurozaro>[I-MSR002001] Measurement timer fired",
                  "<RovIdarurozaro>[I-MSR002003] Measurement timer canceled"}));
}

TEST(AlarmTest, SchedulingAgainReplacesThePendingRun) {
    AlarmHarness h;
    MSRAlarm alarm(h.queue, "Engagement timer", h.monitor);
    std::vector<int> fired;
    alarm.runAfterDelay(10, [&] { fired.push_back(1); });
    alarm.runAfterDelay(20, [&] { fired.push_back(2); });
    h.executor->advanceBy(15);
    EXPECT_TRUE(fired.empty());
    h.executor->advanceBy(5);
    EXPECT_EQ(fired, std::vector<int>{2});
    auto lines = h.takeLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], "<RovIdarurozaro>[I-MSR002003] Engagement timer canceled");
}

TEST(AlarmTest, CancelledAlarmsStayQuietAndIdleCancelLogsNothing) {
    AlarmHarness h;
    MSRAlarm alarm(h.queue, "", h.monitor);
    alarm.cancel();
    EXPECT_TRUE(h.takeLines().empty());
    bool fired = false;
    alarm.runAfterDelay(5, [&] { fired = true; });
    alarm.cancel();
    h.executor->advanceBy(10);
    EXPECT_FALSE(fired);
    EXPECT_EQ(h.takeLines(), (std::vector<std::string>{
                                 "<RovIdarurozaro>[I-MSR002002] Timer scheduled to fire in approx. (s): 5",
                                 "<RovIdarurozaro>[I-MSR002003] Timer canceled"}));
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

TEST(AlarmTest, EmptyBlockLeavesThePendingRunInPlace) {
    AlarmHarness h;
    MSRAlarm alarm(h.queue, "SKAN conversion value fetch timer", h.monitor);
    bool fired = false;
    alarm.runAfterDelay(5, [&] { fired = true; });
    h.takeLines();
    alarm.runAfterDelay(1, {});
    EXPECT_EQ(h.takeLines(), std::vector<std::string>{
                                 "<RovIdarurozaro>[I-MSR002000] SKAN conversion value fetch timer tried "
                                 "to schedule an empty block"});
    h.executor->advanceBy(5);
    EXPECT_TRUE(fired);
}

TEST(AlarmTest, WallClockChangesMoveTheFiring) {
    AlarmHarness h;
    MSRAlarm alarm(h.queue, "Timer", h.monitor);
    bool fired = false;
    alarm.runAfterDelay(3600, [&] { fired = true; });
    h.executor->clock().setWallTime(h.executor->clock().wallTime() + 3600);
    h.executor->runUntilIdle();
    h.executor->advanceBy(0);
    EXPECT_TRUE(fired);
}

TEST(AlarmTest, DestroyingAPendingAlarmCancelsIt) {
    AlarmHarness h;
    bool fired = false;
    {
        MSRAlarm alarm(h.queue, "Timer", h.monitor);
        alarm.runAfterDelay(1, [&] { fired = true; });
    }
    h.executor->advanceBy(5);
    EXPECT_FALSE(fired);
}

}  // namespace
