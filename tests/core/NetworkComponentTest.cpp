#include "MonitorHarness.h"

#include "analytics/core/MSRNetworkComponent.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/TimedSemaphore.h"
#include "tools/collector/Collector.h"

#include <gtest/gtest.h>

namespace {

constexpr size_t kLimit = 1 << 20;

using Outcome = MSRNetworkOutcome;

struct Answer {
    int status = -1;
    std::vector<uint8_t> body;
    std::optional<net::Error> error;
    bool onQueue = false;
    int calls = 0;
};

// Real threads: the component over libcurl, completions on a serial queue.
class CollectorTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(collector.start(0, &error)) << error;
        config = std::make_shared<MSRRemoteConfig>(harness.monitor);
        component = MSRNetworkComponent::initWithReachabilityHost("127.0.0.1", {}, harness.monitor, config);
    }

    // The component's transfers end with it; their completions are then on
    // the queue, and run before the test ends.
    void TearDown() override {
        component.reset();
        queue->sync([] {});
    }

    // Sends one request and waits (without sleeping) for its completion.
    Answer send(bool post, const std::string& path, std::string url = "") {
        if (url.empty()) url = collector.baseURL() + path;
        auto answer = std::make_shared<Answer>();
        auto done = std::make_shared<dispatch::TimedSemaphore>();
        auto completion = [queue = queue, answer, done](const auto& response, const auto& body, const auto& error) {
            *answer = {response.statusCode, body, error, queue->isCurrent(), answer->calls + 1};
            done->signal();
        };
        std::string session =
            post ? component->postURL(url, {}, {'b', 'a', 't', 'c', 'h'}, kLimit, queue, false, completion)
                 : component->getURL(url, {}, kLimit, queue, false, completion);
        EXPECT_FALSE(session.empty());
        EXPECT_TRUE(done->wait(20));
        queue->sync([] {});  // a second completion would have been queued behind the first
        EXPECT_EQ(answer->calls, 1);
        EXPECT_TRUE(answer->onQueue);
        return *answer;
    }

    MonitorHarness harness{{}, /*ownExecutor=*/false};
    tools::Collector collector;
    std::shared_ptr<MSRRemoteConfig> config;
    std::unique_ptr<MSRNetworkComponent> component;
    std::shared_ptr<dispatch::Queue> queue = dispatch::SerialQueue::create("worker");
};

TEST_F(CollectorTest, AnswersMapAsUploadsAndFetchesExpect) {
    struct Case {
        int status;
        Outcome upload;
        Outcome config;
    };
    // clang-format off
    const Case cases[] = {
        {200, Outcome::kSuccess, Outcome::kSuccess},
        {204, Outcome::kSuccess, Outcome::kSuccess},
        {304, Outcome::kFailure, Outcome::kNotModified},
        {404, Outcome::kFailure, Outcome::kNotFound},
        {429, Outcome::kFailureWithBackoff, Outcome::kFailureWithBackoff},
        {500, Outcome::kFailure, Outcome::kFailure},
        {503, Outcome::kFailureWithBackoff, Outcome::kFailureWithBackoff},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        collector.clearRequests();
        collector.scriptReply("/a", {c.status, "", {}, 0});
        Answer post = send(true, "/a");
        EXPECT_EQ(post.status, c.status);
        EXPECT_FALSE(post.error);
        EXPECT_EQ(MSRNetworkComponent::uploadOutcomeForStatusCode(post.status), c.upload);

        collector.scriptReply("/config/app/1:ios:abc",
                              {c.status, c.status == 200 ? "config-bytes" : "", {}, 0});
        Answer get = send(false, "/config/app/1:ios:abc?app_instance_id=x");
        EXPECT_EQ(get.status, c.status);
        EXPECT_EQ(std::string(get.body.begin(), get.body.end()), c.status == 200 ? "config-bytes" : "");
        EXPECT_EQ(MSRNetworkComponent::configFetchOutcomeForStatusCode(get.status), c.config);

        auto requests = collector.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].method + " " + std::string(requests[0].body.begin(), requests[0].body.end()),
                  "POST batch");
        EXPECT_EQ(requests[1].method + " " + requests[1].query, "GET app_instance_id=x");
    }
}

TEST_F(CollectorTest, SlowAnswersTimeOutAndRefusedConnectionsFailWithoutBackoff) {
    // The remote time-out is applied to each request. Delivered as a number it
    // is taken as it is (no range check), which keeps this test short.
    config->setServerSettings({{"measurement.network.network_timeout", 0.3}});
    collector.scriptReply("/a", {200, "", {}, 5});
    Answer slow = send(true, "/a");

    const std::string url = collector.baseURL() + "/a";
    collector.stop();
    // A refusal must not race the short time-out on a busy machine.
    config->setServerSettings({{"measurement.network.network_timeout", 60.0}});
    const Answer answers[] = {slow, send(true, "", url), send(false, "", url)};
    for (const Answer& answer : answers) {
        ASSERT_TRUE(answer.error);
        EXPECT_EQ(answer.error->code,
                  &answer == answers ? net::Error::kTimedOut : net::Error::kCannotConnect);
        EXPECT_EQ(answer.status, 0);
        EXPECT_EQ(MSRNetworkComponent::uploadOutcomeForStatusCode(answer.status), Outcome::kFailure);
        EXPECT_EQ(MSRNetworkComponent::configFetchOutcomeForStatusCode(answer.status), Outcome::kFailure);
    }
}

}  // namespace
