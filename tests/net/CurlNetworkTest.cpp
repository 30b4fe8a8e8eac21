#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/TimedSemaphore.h"
#include "platform/net/CurlNetwork.h"
#include "tools/collector/Collector.h"

// Time-outs, refused connections, GET and the statuses the engine compares
// are covered over this network by the analytics network component's tests.

namespace net {
namespace {

std::vector<uint8_t> bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// One request's answer, collected on the request's queue.
struct Outcome {
    dispatch::TimedSemaphore done;
    std::atomic<int> calls{0};
    std::atomic<bool> onGivenQueue{false};
    Response response;
    std::string body;
    std::optional<Error> error;

    Completion completion(const std::shared_ptr<dispatch::Queue>& queue) {
        return [this, queue](const auto& r, const auto& b, const auto& e) {
            onGivenQueue = queue->isCurrent();
            std::tie(response, body, error) = std::tuple(r, std::string(b.begin(), b.end()), e);
            ++calls;
            done.signal();
        };
    }
    // The completion has run once; a second call queued behind it would show.
    void wait(const std::shared_ptr<dispatch::Queue>& queue) {
        ASSERT_TRUE(done.wait(60));
        queue->sync([] {});
        EXPECT_EQ(calls, 1);
        EXPECT_TRUE(onGivenQueue);
    }
};

class CurlNetworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(collector.start(0, &error)) << error;
    }
    std::string url(const std::string& path) { return collector.baseURL() + path; }

    tools::Collector collector;
    std::shared_ptr<dispatch::SerialQueue> queue = dispatch::SerialQueue::create("com.calvaro.test.network");
};

TEST_F(CurlNetworkTest, PassesStatusHeadersAndBodiesThrough) {
    CurlNetwork network;
    collector.scriptReply("/a", {429, "slow down", {{"X-Answer", "yes"}}, 0});
    Outcome outcome;
    network.postURL(url("/a?tag=1"), {{"X-Client", "calvaro"}}, bytes("payload"), queue, false,
                    outcome.completion(queue));
    outcome.wait(queue);
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(outcome.response.statusCode, 429);
    EXPECT_EQ(outcome.body, "slow down");
    EXPECT_EQ(outcome.response.headers["x-answer"], "yes");  // names compare without case
    auto requests = collector.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path + "?" + requests[0].query, "/a?tag=1");
    EXPECT_EQ(requests[0].headers["x-client"], "calvaro");
}

TEST_F(CurlNetworkTest, CompressesPostBodiesWhenConfigured) {
    std::string payload(20000, 'x');
    for (size_t i = 0; i < payload.size(); i += 7) payload[i] = static_cast<char>('a' + i % 26);
    for (bool gzip : {true, false}) {
        SCOPED_TRACE(gzip ? "gzip" : "plain");
        collector.clearRequests();
        NetworkConfiguration configuration;
        configuration.gzipRequestBodies = gzip;
        CurlNetwork network(configuration);
        Outcome outcome;
        network.postURL(url("/a"), {}, bytes(payload), queue, false, outcome.completion(queue));
        outcome.wait(queue);
        auto requests = collector.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].wasGzip, gzip);
        EXPECT_EQ(std::string(requests[0].body.begin(), requests[0].body.end()), payload);
        EXPECT_EQ(std::stoul(requests[0].headers["content-length"]) < payload.size(), gzip);
    }
}

TEST_F(CurlNetworkTest, RefusesWhatTheConfigurationDoesNotAllow) {
    struct Case {
        std::vector<std::string> hosts, schemes;
        std::string url;
    };
    // clang-format off
    const Case cases[] = {
        {{}, {"https", "http"}, "https://example.com/a"},                     // outside host by default
        {{"measure.example.org"}, {"https"}, "https://example.com/a"},        // host not in the list
        {{"measure.example.org"}, {"http"}, url("/a")},                       // loopback not in a configured list
        {{}, {"https"}, url("/a")},                                           // scheme not allowed
        {{}, {"https", "http"}, "::not a url::"},
    };
    // clang-format on
    int calls = 0;
    auto count = [&](const auto&, const auto&, const auto&) { ++calls; };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        NetworkConfiguration configuration;
        configuration.allowedHosts = c.hosts;
        configuration.allowedSchemes = c.schemes;
        CurlNetwork network(configuration);
        EXPECT_EQ(network.postURL(c.url, {}, bytes("x"), queue, false, count), "");
        EXPECT_EQ(network.getURL(c.url, {}, queue, false, count), "");
        EXPECT_FALSE(network.hasUploadInProgress());
    }
    EXPECT_EQ(CurlNetwork().getURL(url("/a"), {}, nullptr, false, count), "");  // no queue: nothing starts
    queue->sync([] {});
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(collector.requests().empty());
}

TEST_F(CurlNetworkTest, UploadStaysInProgressUntilItsCompletionRuns) {
    CurlNetwork network;
    collector.scriptReply("/a", {204, "", {}, 0});
    Outcome outcome;
    std::atomic<bool> busyInCompletion{true};
    auto completion = outcome.completion(queue);
    queue->async([&] {
        network.postURL(url("/a"), {}, bytes("x"), queue, true,
                        [&](const auto& r, const auto& b, const auto& e) {
                            busyInCompletion = network.hasUploadInProgress();
                            completion(r, b, e);
                        });
        // Still on the queue: the answer cannot have been handled yet.
        EXPECT_TRUE(network.hasUploadInProgress());
    });
    outcome.wait(queue);
    EXPECT_FALSE(busyInCompletion);
    EXPECT_EQ(outcome.response.statusCode, 204);
}

TEST_F(CurlNetworkTest, DestroyingTheNetworkCancelsTransfersWithOneCompletion) {
    collector.scriptReply("/slow", {200, "", {}, 60});
    Outcome outcome;
    {
        CurlNetwork network;
        network.getURL(url("/slow"), {}, queue, false, outcome.completion(queue));
        ASSERT_TRUE(collector.waitForRequests(1, 30));
    }
    outcome.wait(queue);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, Error::kCancelled);
}

TEST(NetworkReachabilityTest, ConnectedUntilATestSaysOtherwiseAndOnlyChangesAreTold) {
    struct : ReachabilityDelegate {
        int changes = 0;
        void reachabilityDidChange() override { ++changes; }
    } delegate;
    CurlNetwork network;
    network.setReachabilityDelegate(&delegate);
    for (bool connected : {true, false, false}) network.setNetworkConnected(connected);
    EXPECT_FALSE(network.isNetworkConnected());
    network.setReachabilityDelegate(nullptr);
    network.setNetworkConnected(true);
    EXPECT_TRUE(network.isNetworkConnected());
    EXPECT_EQ(delegate.changes, 1);
}

}  // namespace
}  // namespace net
