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

// Blocks posted through the gate straight to a target queue keep their place
// among the gate's other operations, whether the gate was open, busy or shut.
TEST(OperationGateTest, PostedBlocksKeepTheirPlaceAmongOperations) {
    struct PostingCase {
        const char* what;
        bool startSuspended;
        bool suspendHalfway;
    };
    const PostingCase cases[] = {
        {"open gate", false, false},
        {"gate shut from the start", true, false},
        {"gate shut while blocks come in", false, true},
    };
    for (const PostingCase& c : cases) {
        SCOPED_TRACE(c.what);
        OperationGate gate("gate", c.startSuspended);
        auto target = SerialQueue::create("gate.target");
        std::mutex mutex;
        std::vector<int> ran, expected;
        auto record = [&](int i) {
            std::lock_guard<std::mutex> lock(mutex);
            ran.push_back(i);
        };
        std::thread adder([&] {
            for (int i = 0; i < 400; ++i) {
                // Every third one an operation that posts itself, as the
                // facade did before, the rest posted through the gate.
                if (i % 3 == 0) {
                    gate.addOperation([&, i] { target->async([&, i] { record(i); }); });
                } else {
                    gate.addOperationPostingTo(target, [&, i] { record(i); });
                }
                if (c.suspendHalfway && i == 200) gate.suspend();
            }
        });
        adder.join();
        for (int i = 0; i < 400; ++i) expected.push_back(i);
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (c.startSuspended || c.suspendHalfway) {
                EXPECT_LT(ran.size(), expected.size());
            }
        }
        gate.resume();
        EXPECT_TRUE(gate.waitUntilAllOperationsAreFinished());
        target->sync([] {});
        EXPECT_EQ(ran, expected);
    }
}

}  // namespace
}  // namespace dispatch
