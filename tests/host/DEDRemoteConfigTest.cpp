#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/host/DEDRemoteConfig.h"
#include "platform/net/CurlNetwork.h"
#include "platform/net/FakeNetwork.h"

using namespace host;

namespace {

struct FetchOutcome {
    bool called = false;
    DEDRemoteConfigFetchStatus status = DEDRemoteConfigFetchStatusNoFetchYet;
    std::optional<DEDRemoteConfigError> error;
};

class RemoteConfigTest : public ::testing::Test {
protected:
    std::shared_ptr<DEDRemoteConfig> make(std::optional<std::string> url,
                                          std::shared_ptr<net::Network> network = nullptr) {
        DEDRemoteConfig::Configuration configuration;
        configuration.fetchURL = std::move(url);
        configuration.network = network ? network : network_;
        configuration.callbackQueue = dispatch::SerialQueue::create("test.remote-config");
        return std::make_shared<DEDRemoteConfig>(configuration);
    }

    FetchOutcome fetch(DEDRemoteConfig& config, double expiration = 0) {
        FetchOutcome outcome;
        config.fetchWithExpirationDuration(expiration, [&](DEDRemoteConfigFetchStatus status,
                                                           const std::optional<DEDRemoteConfigError>& error) {
            outcome = {true, status, error};
        });
        EXPECT_FALSE(outcome.called) << "the completion must not run on the caller's stack";
        executor_.runUntilIdle();
        return outcome;
    }

    void replyWith(int status, const std::string& body) {
        net::FakeNetwork::Reply reply;
        reply.statusCode = status;
        reply.body.assign(body.begin(), body.end());
        network_->enqueueReply(reply);
    }

    dispatch::ManualExecutor executor_;
    std::shared_ptr<net::FakeNetwork> network_ = std::make_shared<net::FakeNetwork>();
};

TEST_F(RemoteConfigTest, WithoutAddressFetchFailsAndNothingLeavesTheMachine) {
    auto config = make(std::nullopt);
    FetchOutcome outcome = fetch(*config);
    EXPECT_TRUE(outcome.called && outcome.error.has_value());
    EXPECT_EQ(outcome.status, DEDRemoteConfigFetchStatusFailure);
    EXPECT_TRUE(network_->requests().empty());
}

TEST_F(RemoteConfigTest, FetchedValuesWaitForActivation) {
    auto config = make("http://127.0.0.1:1/config");
    config->setDefaults({{"apps", "default"}, {"ads", foundation::Value::Dictionary{{"k", 1}}}});
    replyWith(200, R"({"entries": {"apps": "fetched", "videoTutorials": {"CLV": {}}}})");

    FetchOutcome outcome = fetch(*config);
    EXPECT_EQ(outcome.status, DEDRemoteConfigFetchStatusSuccess);
    EXPECT_FALSE(outcome.error.has_value());
    EXPECT_EQ(config->configValueForKey("apps").stringValue(), "default");

    std::optional<bool> changed;
    config->activateWithCompletion([&](bool c, const std::optional<DEDRemoteConfigError>&) { changed = c; });
    executor_.runUntilIdle();
    EXPECT_EQ(changed, true);
    EXPECT_EQ(config->configValueForKey("apps").stringValue(), "fetched");
    EXPECT_EQ(config->configValueForKey("apps").source(), DEDRemoteConfigSource::Remote);
    // A structured entry is kept as its JSON text.
    EXPECT_EQ(nlohmann::json::parse(config->configValueForKey("videoTutorials").stringValue()),
              nlohmann::json::parse(R"({"CLV": {}})"));
    // Keys the fetch did not name still answer their defaults.
    EXPECT_EQ(config->configValueForKey("ads").stringValue(), R"({"k":1})");
    EXPECT_EQ(config->configValueForKey("missing").source(), DEDRemoteConfigSource::Static);

    config->activateWithCompletion([&](bool c, const std::optional<DEDRemoteConfigError>&) { changed = c; });
    executor_.runUntilIdle();
    EXPECT_EQ(changed, false);
}

TEST_F(RemoteConfigTest, BadAnswersFailWithAnErrorAndKeepTheActiveValues) {
    struct Case {
        const char* name;
        int status;
        const char* body;
    } cases[] = {
        {"server error", 500, R"({"entries": {"apps": "x"}})"},
        {"not JSON", 200, "<html>"},
        {"no entries", 200, R"({"state": "NO_CHANGE"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto config = make("http://127.0.0.1:1/config");
        config->setDefaults({{"apps", "default"}});
        replyWith(c.status, c.body);
        FetchOutcome outcome = fetch(*config);
        EXPECT_EQ(outcome.status, DEDRemoteConfigFetchStatusFailure);
        EXPECT_TRUE(outcome.error.has_value());
        config->activateWithCompletion({});
        executor_.runUntilIdle();
        EXPECT_EQ(config->configValueForKey("apps").stringValue(), "default");
    }
}

// Answers that once ended the process: each runs in a child, which must end
// the fetch with a failure and live.
TEST_F(RemoteConfigTest, HostileAnswersFailTheFetchAndNothingElse) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string deep(200 * 1024, '[');
    const std::string large = R"({"entries": {"apps": ")" + std::string(kDEDRemoteConfigMaximumResponseBytes, 'x') + "\"}}";
    for (const std::string* body : {&deep, &large}) {
        EXPECT_EXIT(
            {
                auto config = make("http://127.0.0.1:1/config");
                replyWith(200, *body);
                FetchOutcome outcome = fetch(*config);
                const bool limitStated =
                    network_->requests().at(0).maximumResponseBytes == kDEDRemoteConfigMaximumResponseBytes;
                std::exit(outcome.status == DEDRemoteConfigFetchStatusFailure && outcome.error && limitStated ? 0 : 1);
            },
            testing::ExitedWithCode(0), "")
            << body->size() << " bytes";
    }
}

TEST_F(RemoteConfigTest, AnAddressTheNetworkRefusesFailsAndIsLoggedOnce) {
    auto config = make("https://content.example.com/config", std::make_shared<net::CurlNetwork>());  // loopback only
    testing::internal::CaptureStderr();
    FetchOutcome first = fetch(*config);
    FetchOutcome second = fetch(*config);
    const std::string log = testing::internal::GetCapturedStderr();
    for (const FetchOutcome& outcome : {first, second}) {
        EXPECT_TRUE(outcome.called);
        EXPECT_EQ(outcome.status, DEDRemoteConfigFetchStatusFailure);
        ASSERT_TRUE(outcome.error);
        EXPECT_NE(outcome.error->description.find("host not allowed: content.example.com"), std::string::npos);
    }
    EXPECT_NE(log.find("https://content.example.com/config: host not allowed: content.example.com"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("not fetching"), log.rfind("not fetching")) << "logged more than once: " << log;
}

TEST_F(RemoteConfigTest, YoungFetchIsAnsweredWithoutTheNetwork) {
    auto config = make("http://127.0.0.1:1/config");
    replyWith(200, R"({"entries": {"apps": "one"}})");
    ASSERT_EQ(fetch(*config, 21600).status, DEDRemoteConfigFetchStatusSuccess);

    executor_.advanceBy(3600);
    EXPECT_EQ(fetch(*config, 21600).status, DEDRemoteConfigFetchStatusSuccess);
    EXPECT_EQ(network_->requests().size(), 1u);

    executor_.advanceBy(21600);
    replyWith(200, R"({"entries": {"apps": "two"}})");
    EXPECT_EQ(fetch(*config, 21600).status, DEDRemoteConfigFetchStatusSuccess);
    EXPECT_EQ(network_->requests().size(), 2u);
}

}  // namespace
