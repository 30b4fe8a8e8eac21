#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/net/FakeNetwork.h"

namespace net {
namespace {

constexpr size_t kFakeLimit = 1 << 20;

TEST(FakeNetworkTest, AnswersInScriptOrderOnTheGivenQueue) {
    dispatch::ManualExecutor executor;
    auto worker = dispatch::SerialQueue::create("worker");
    FakeNetwork network;
    network.enqueueStatus(503);
    network.enqueueReply({0, {}, {}, Error{Error::kTimedOut, "timed out"}});
    network.setResponder([](const FakeNetwork::Request&) {
        return FakeNetwork::Reply{304, {}, {1, 2, 3}, {}};
    });
    std::vector<std::string> seen;
    auto completion = [&](const auto& r, const auto& b, const auto& e) {
        seen.push_back(std::to_string(r.statusCode) + "/" + std::to_string(b.size()) + (e ? "/error" : "") +
                       (worker->isCurrent() ? "" : "/elsewhere"));
    };
    network.postURL("https://m.example/a", {}, {9}, kFakeLimit, worker, false, completion);
    network.postURL("https://m.example/a", {}, {9}, kFakeLimit, worker, false, completion);
    network.failNextSession();
    EXPECT_EQ(network.getURL("https://m.example/config", {}, kFakeLimit, worker, false, completion), "");
    network.setHoldReplies(true);
    network.getURL("https://m.example/config", {}, kFakeLimit, worker, true, completion);
    executor.runUntilIdle();
    EXPECT_EQ(network.releaseHeldReplies(), 1u);
    EXPECT_EQ(network.releaseHeldReplies(), 0u);  // each reply goes out once
    executor.runUntilIdle();
    EXPECT_EQ(seen, (std::vector<std::string>{"503/0", "0/0/error", "304/3"}));
    EXPECT_TRUE(network.requests().at(3).usingBackgroundSession);
}

}  // namespace
}  // namespace net
