#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/net/FakeNetwork.h"

namespace net {
namespace {

TEST(FakeNetworkTest, AnswersInScriptOrderOnTheGivenQueue) {
    dispatch::ManualExecutor executor;
    auto worker = dispatch::SerialQueue::create("worker");
    FakeNetwork network;
    network.enqueueStatus(503);
    network.enqueueReply({200, {{"Content-Encoding", "gzip"}}, {1, 2, 3}, std::nullopt});
    network.enqueueReply({0, {}, {}, Error{Error::kTimedOut, "timed out"}});
    network.setResponder([](const FakeNetwork::Request& request) {
        return FakeNetwork::Reply{request.method == "GET" ? 304 : 204, {}, {}, std::nullopt};
    });
    network.setTimeoutInterval(30);

    struct Seen {
        int status;
        size_t bodySize;
        bool error;
        bool onWorker;
    };
    std::vector<Seen> seen;
    auto completion = [&](const Response& r, const std::vector<uint8_t>& b, const std::optional<Error>& e) {
        seen.push_back({r.statusCode, b.size(), e.has_value(), worker->isCurrent()});
    };
    network.postURL("https://m.example/a", {}, {9}, worker, false, completion);
    network.postURL("https://m.example/a", {}, {9}, worker, false, completion);
    network.getURL("https://m.example/config", {}, worker, true, completion);
    network.getURL("https://m.example/config", {}, worker, false, completion);
    EXPECT_TRUE(seen.empty());  // nothing before the queue runs
    EXPECT_TRUE(network.hasUploadInProgress());
    executor.runUntilIdle();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].status, 503);
    EXPECT_EQ(seen[1].bodySize, 3u);
    EXPECT_EQ(seen[2].status, 0);
    EXPECT_TRUE(seen[2].error);
    EXPECT_EQ(seen[3].status, 304);
    for (const auto& s : seen) EXPECT_TRUE(s.onWorker);
    EXPECT_FALSE(network.hasUploadInProgress());

    auto requests = network.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[2].method, "GET");
    EXPECT_TRUE(requests[2].usingBackgroundSession);
    EXPECT_EQ(requests[0].payload, std::vector<uint8_t>{9});
    EXPECT_EQ(requests[0].timeoutInterval, 30);
}

TEST(FakeNetworkTest, HeldRepliesAndFailedSessions) {
    dispatch::ManualExecutor executor;
    auto worker = dispatch::SerialQueue::create("worker");
    FakeNetwork network;
    int calls = 0;
    auto completion = [&](const Response&, const std::vector<uint8_t>&, const std::optional<Error>&) { ++calls; };

    network.failNextSession();
    EXPECT_EQ(network.postURL("https://m.example/a", {}, {}, worker, false, completion), "");
    EXPECT_FALSE(network.hasUploadInProgress());

    network.setHoldReplies(true);
    EXPECT_NE(network.postURL("https://m.example/a", {}, {}, worker, false, completion), "");
    executor.runUntilIdle();
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(network.hasUploadInProgress());
    EXPECT_EQ(network.releaseHeldReplies(), 1u);
    executor.runUntilIdle();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(network.releaseHeldReplies(), 0u);  // each reply goes out once
    executor.runUntilIdle();
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace net
