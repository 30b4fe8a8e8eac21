#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/OperationGate.h"

namespace dispatch {
namespace {

TEST(OperationGateTest, HoldsItsBacklogUntilResumedThenReleasesItInOrder) {
    ManualExecutor executor;
    OperationGate gate("MSRAnalyticsOperationQueue", /*startSuspended=*/true);
    std::vector<int> ran;
    for (int i = 0; i < 3; ++i) gate.addOperation([&, i] { ran.push_back(i); });
    executor.runUntilIdle();
    EXPECT_EQ(gate.operationCount(), 3u);  // none has run
    EXPECT_FALSE(gate.waitUntilAllOperationsAreFinished());  // could never finish

    gate.resume();
    gate.resume();  // a second resume releases nothing twice
    EXPECT_TRUE(gate.waitUntilAllOperationsAreFinished());
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));

    // Suspending inside an operation holds the rest; a failing one does not block them.
    gate.addOperation([&] {
        ran.push_back(3);
        gate.suspend();
    });
    gate.addOperation([] { throw std::runtime_error("operation fails"); });
    gate.addOperation([&] { ran.push_back(5); });
    executor.advanceBy(10);
    EXPECT_EQ(ran.back(), 3);
    gate.resume();
    executor.runUntilIdle();
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 5}));
    EXPECT_EQ(gate.operationCount(), 0u);
}

TEST(OperationGateTest, RealThreadsReleaseEveryOperationExactlyOnceInOrder) {
    OperationGate gate("gate", true);
    std::mutex mutex;
    std::vector<int> ran, expected;
    std::atomic<bool> overlapped{false};
    std::atomic<int> running{0};
    for (int i = 0; i < 500; ++i) {
        expected.push_back(i);
        gate.addOperation([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            std::lock_guard<std::mutex> lock(mutex);
            ran.push_back(i);
            running.fetch_sub(1);
        });
    }
    // Several threads open the gate at once, another suspends and reopens it meanwhile.
    std::vector<std::thread> openers;
    for (int t = 0; t < 4; ++t) openers.emplace_back([&] { gate.resume(); });
    openers.emplace_back([&] {
        gate.suspend();
        gate.resume();
    });
    for (auto& thread : openers) thread.join();
    gate.resume();
    EXPECT_TRUE(gate.waitUntilAllOperationsAreFinished());
    EXPECT_EQ(ran, expected);
    EXPECT_FALSE(overlapped);
}

}  // namespace
}  // namespace dispatch
