#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/TimedSemaphore.h"
#include "platform/net/CurlNetwork.h"
#include "tools/collector/Collector.h"

namespace net {
namespace {

std::vector<uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

// One request's answer, collected on the request's queue.
struct Outcome {
    dispatch::TimedSemaphore done;
    std::atomic<int> calls{0};
    std::atomic<bool> onGivenQueue{false};
    Response response;
    std::vector<uint8_t> body;
    std::optional<Error> error;

    Completion completion(const std::shared_ptr<dispatch::Queue>& queue) {
        return [this, queue](const Response& r, const std::vector<uint8_t>& b, const std::optional<Error>& e) {
            onGivenQueue = queue->isCurrent();
            response = r;
            body = b;
            error = e;
            ++calls;
            done.signal();
        };
    }
    // The completion has run; a second call within the next blocks of the queue would show.
    bool wait(const std::shared_ptr<dispatch::Queue>& queue) {
        if (!done.wait(60)) return false;
        queue->sync([] {});
        return true;
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

TEST_F(CurlNetworkTest, PassesStatusesHeadersAndBodiesThrough) {
    struct Case {
        bool post;
        int status;
        std::string body;
    };
    const std::vector<Case> cases = {
        {true, 200, "ok"}, {true, 204, ""},        {true, 429, "slow down"}, {true, 500, "broken"},
        {true, 503, ""},   {false, 200, "config"}, {false, 304, ""},         {false, 404, "none"},
        {false, 503, ""},
    };
    CurlNetwork network;
    for (const auto& c : cases) {
        SCOPED_TRACE((c.post ? "POST " : "GET ") + std::to_string(c.status));
        collector.clearRequests();
        collector.scriptReply("/a", {c.status, c.body, {{"X-Answer", "yes"}}, 0});
        Outcome outcome;
        Headers headers{{"X-Client", "calvaro"}};
        std::string session =
            c.post ? network.postURL(url("/a?tag=1"), headers, bytes("payload"), queue, false, outcome.completion(queue))
                   : network.getURL(url("/a?tag=1"), headers, queue, false, outcome.completion(queue));
        EXPECT_FALSE(session.empty());
        ASSERT_TRUE(outcome.wait(queue));
        EXPECT_EQ(outcome.calls, 1);
        EXPECT_TRUE(outcome.onGivenQueue);
        EXPECT_FALSE(outcome.error);
        EXPECT_EQ(outcome.response.statusCode, c.status);
        EXPECT_EQ(std::string(outcome.body.begin(), outcome.body.end()), c.body);
        EXPECT_EQ(outcome.response.headers["x-answer"], "yes");  // names compare without case

        auto requests = collector.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].method, c.post ? "POST" : "GET");
        EXPECT_EQ(requests[0].path, "/a");
        EXPECT_EQ(requests[0].query, "tag=1");
        EXPECT_EQ(requests[0].headers["x-client"], "calvaro");
    }
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
        ASSERT_TRUE(outcome.wait(queue));
        EXPECT_EQ(outcome.response.statusCode, 200);
        auto requests = collector.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].wasGzip, gzip);
        EXPECT_EQ(std::string(requests[0].body.begin(), requests[0].body.end()), payload);
        if (gzip) {
            EXPECT_LT(std::stoul(requests[0].headers["content-length"]), payload.size());
        }
    }
}

TEST_F(CurlNetworkTest, TransportFailuresBecomeStatusZeroWithAnError) {
    // A port that was just free: bind a second collector and let it go.
    tools::Collector closed;
    ASSERT_TRUE(closed.start());
    std::string refusedURL = closed.baseURL() + "/a";
    closed.stop();

    collector.scriptReply("/slow", {200, "late", {}, 30});
    struct Case {
        const char* name;
        std::string url;
        double timeout;
        int expectedCode;
    };
    const std::vector<Case> cases = {
        {"time-out", url("/slow"), 0.3, Error::kTimedOut},
        {"refused", refusedURL, 10, Error::kCannotConnect},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CurlNetwork network;
        network.setTimeoutInterval(c.timeout);
        Outcome outcome;
        EXPECT_FALSE(network.postURL(c.url, {}, bytes("x"), queue, false, outcome.completion(queue)).empty());
        ASSERT_TRUE(outcome.wait(queue));
        EXPECT_EQ(outcome.calls, 1);
        EXPECT_EQ(outcome.response.statusCode, 0);
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->code, c.expectedCode) << outcome.error->description;
        EXPECT_FALSE(outcome.error->description.empty());
        EXPECT_TRUE(outcome.body.empty());
        EXPECT_FALSE(network.hasUploadInProgress());
    }
}

TEST_F(CurlNetworkTest, RefusesWhatTheConfigurationDoesNotAllow) {
    dispatch::ManualExecutor executor;  // a completion would show up here
    struct Case {
        const char* name;
        std::vector<std::string> hosts;
        std::vector<std::string> schemes;
        std::string url;
    };
    const std::vector<Case> cases = {
        {"outside host by default", {}, {"https", "http"}, "https://example.com/a"},
        {"host not in list", {"measure.example.org"}, {"https"}, "https://example.com/a"},
        {"loopback not in a configured list", {"measure.example.org"}, {"http"}, url("/a")},
        {"scheme not allowed", {}, {"https"}, url("/a")},
        {"other scheme", {}, {"https", "http"}, "ftp://127.0.0.1/a"},
        {"not a URL", {}, {"https", "http"}, "::not a url::"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NetworkConfiguration configuration;
        configuration.allowedHosts = c.hosts;
        configuration.allowedSchemes = c.schemes;
        CurlNetwork network(configuration);
        int calls = 0;
        auto count = [&](const Response&, const std::vector<uint8_t>&, const std::optional<Error>&) { ++calls; };
        EXPECT_EQ(network.postURL(c.url, {}, bytes("x"), queue, false, count), "");
        EXPECT_EQ(network.getURL(c.url, {}, queue, false, count), "");
        EXPECT_EQ(network.getURL(url("/a"), {}, nullptr, false, count), "");  // no queue: nothing starts
        EXPECT_FALSE(network.hasUploadInProgress());
    }
    EXPECT_EQ(executor.pendingCount(), 0u);
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
                        [&](const Response& r, const std::vector<uint8_t>& b, const std::optional<Error>& e) {
                            busyInCompletion = network.hasUploadInProgress();
                            completion(r, b, e);
                        });
        // Still on the queue: the answer cannot have been handled yet.
        EXPECT_TRUE(network.hasUploadInProgress());
    });
    ASSERT_TRUE(outcome.wait(queue));
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
    ASSERT_TRUE(outcome.wait(queue));
    EXPECT_EQ(outcome.calls, 1);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, Error::kCancelled);
}

struct CountingDelegate : ReachabilityDelegate {
    int changes = 0;
    void reachabilityDidChange() override { ++changes; }
};

TEST(NetworkReachabilityTest, ConnectedUntilATestSaysOtherwise) {
    CurlNetwork network;
    CountingDelegate delegate;
    network.setReachabilityDelegate(&delegate);
    EXPECT_TRUE(network.isNetworkConnected());
    network.setNetworkConnected(true);
    EXPECT_EQ(delegate.changes, 0);
    network.setNetworkConnected(false);
    network.setNetworkConnected(false);
    EXPECT_FALSE(network.isNetworkConnected());
    EXPECT_EQ(delegate.changes, 1);
    network.setReachabilityDelegate(nullptr);
    network.setNetworkConnected(true);
    EXPECT_EQ(delegate.changes, 1);
}

}  // namespace
}  // namespace net
