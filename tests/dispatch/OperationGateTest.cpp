#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/OperationGate.h"
#include "platform/dispatch/SerialQueue.h"

namespace dispatch {
namespace {

TEST(OperationGateTest, HoldsItsBacklogUntilResumedThenReleasesItInOrder) {
    ManualExecutor executor;
    OperationGate gate("MSRAnalyticsOperationQueue", /*startSuspended=*/true);
    std::vector<int> ran;
    for (int i = 0; i < 5; ++i) gate.addOperation([&, i] { ran.push_back(i); });
    executor.runUntilIdle();
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ(gate.operationCount(), 5u);
    EXPECT_FALSE(gate.waitUntilAllOperationsAreFinished());  // could never finish

    gate.resume();
    gate.resume();  // a second resume releases nothing twice
    EXPECT_TRUE(gate.waitUntilAllOperationsAreFinished());
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4}));

    gate.suspend();
    gate.addOperation([&] { ran.push_back(5); });
    executor.advanceBy(10);
    EXPECT_EQ(ran.size(), 5u);
    gate.resume();
    executor.runUntilIdle();
    EXPECT_EQ(ran.back(), 5);
    EXPECT_EQ(gate.operationCount(), 0u);
}

TEST(OperationGateTest, SuspendingInsideAnOperationHoldsTheRest) {
    ManualExecutor executor;
    OperationGate gate("gate");
    std::vector<int> ran;
    gate.addOperation([&] {
        ran.push_back(0);
        gate.suspend();
    });
    gate.addOperation([&] { ran.push_back(1); });
    gate.addOperation([] { throw std::runtime_error("operation fails"); });
    gate.addOperation([&] { ran.push_back(3); });
    executor.runUntilIdle();
    EXPECT_EQ(ran, (std::vector<int>{0}));
    gate.resume();
    EXPECT_TRUE(gate.waitUntilAllOperationsAreFinished());
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 3}));  // the failing one does not block the rest
}

TEST(OperationGateTest, RealThreadsReleaseEveryOperationExactlyOnceInOrder) {
    setExceptionHandler([](const std::string&, std::exception_ptr) {});
    OperationGate gate("gate", true);
    std::mutex mutex;
    std::vector<int> ran;
    std::atomic<bool> overlapped{false};
    std::atomic<int> running{0};
    constexpr int kCount = 500;
    for (int i = 0; i < kCount; ++i) {
        gate.addOperation([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            {
                std::lock_guard<std::mutex> lock(mutex);
                ran.push_back(i);
            }
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
    setExceptionHandler(nullptr);
    ASSERT_EQ(ran.size(), static_cast<size_t>(kCount));
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(ran[i], i);
    EXPECT_FALSE(overlapped);
}

}  // namespace
}  // namespace dispatch
