#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include <nlohmann/json.hpp>

#include "Calvaro/services/RemoteConfigManager.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/FakeNetwork.h"

namespace {

const char* const kNotifications[] = {"didLoadMenu", "didLoadKalAds", "didLoadOffers", "didLoadCmpReferenceData",
                                      "didLoadVideoTutorialsData"};

class RemoteConfigManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : kNotifications)
            tokens_.push_back(foundation::NotificationCenter::defaultCenter().addObserver(
                name, [this](const foundation::Notification& n) {
                    posted_.push_back(n.name);
                    postedOnMain_.push_back(dispatch::MainQueue::shared()->isCurrent());
                }));
        host::DEDRemoteConfig::Configuration configuration;
        configuration.fetchURL = "http://127.0.0.1:1/remote-config";
        configuration.network = network_;
        configuration.callbackQueue = dispatch::SerialQueue::create("test.remote-config.callbacks");
        config_ = std::make_shared<host::DEDRemoteConfig>(configuration);
        config_->setDefaultsFromPlistFileName("RemoteConfigDefaults");
        manager_ = std::make_shared<RemoteConfigManager>(config_);
    }

    void TearDown() override { unsetenv("CALVARO_LANGUAGE"); }

    void fetchAnswering(const std::string& entries) {
        net::FakeNetwork::Reply reply;
        std::string body = R"({"entries": )" + entries + "}";
        reply.body.assign(body.begin(), body.end());
        network_->enqueueReply(reply);
        manager_->fetchRemoteConfig();
        executor_.runUntilIdle();
    }

    static std::vector<std::string> names(const std::vector<AppMetaData>& apps) {
        std::vector<std::string> result;
        for (const auto& app : apps) result.push_back(app.appName.at("en"));
        return result;
    }

    dispatch::ManualExecutor executor_;
    std::shared_ptr<net::FakeNetwork> network_ = std::make_shared<net::FakeNetwork>();
    std::shared_ptr<host::DEDRemoteConfig> config_;
    std::shared_ptr<RemoteConfigManager> manager_;
    std::vector<foundation::NotificationCenter::Token> tokens_;
    std::vector<std::string> posted_;
    std::vector<bool> postedOnMain_;
};

// Each value is posted only once it decodes.
TEST_F(RemoteConfigManagerTest, LaunchDecodesTheFiveValuesFromTheBundleDefaults) {
    manager_->loadAll(*config_);
    EXPECT_EQ(posted_, std::vector<std::string>(std::begin(kNotifications), std::end(kNotifications)));
    EXPECT_EQ(manager_->apps().size(), 4u);
    EXPECT_EQ(names(manager_->singleApps()), (std::vector<std::string>{"Quadratic Functions", "Trigonometry"}));
    EXPECT_EQ(names(manager_->multiApps()), (std::vector<std::string>{"Math Suite"}));
    ASSERT_TRUE(manager_->currentApp().has_value());
    EXPECT_EQ(manager_->currentApp()->appName.at("en"), "Calvaro");
}

TEST_F(RemoteConfigManagerTest, FetchedValuesReplaceTheContentOnTheMainQueue) {
    manager_->loadAll(*config_);
    const auto currentBefore = manager_->currentApp();
    posted_.clear();
    postedOnMain_.clear();

    const nlohmann::json app = {
        {"appIdentifiers", {"org.example.x"}}, {"appName", {{"en", "X"}}}, {"appURL", "x://"},
        {"appURLPro", "xp://"}, {"ratingURL", "https://r"}, {"ratingURLPro", "https://rp"},
        {"storeURL", "https://s"}, {"storeURLPro", "https://sp"}, {"shouldShow", true},
        {"calculationsUntilInterstitial", 1}};
    const nlohmann::json entries = {
        {"apps", nlohmann::json{{"apps", {app}}}.dump()},
        {"ads", R"({"CLV": [{"imageName": "i", "linkingString": "https://x"}]})"},
        {"offers", "{}"},
        {"cmpReferenceData", "not json"},
        {"videoTutorials", R"({"CLV": {"en": ["https://www.youtube.com/watch?v=new"]}})"}};
    fetchAnswering(entries.dump());

    // Every value that decodes is posted; the ad list and consent data that
    // do not decode keep what the defaults gave and post nothing.
    EXPECT_EQ(posted_, (std::vector<std::string>{"didLoadMenu", "didLoadOffers", "didLoadVideoTutorialsData"}));
    EXPECT_EQ(postedOnMain_, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(names(manager_->singleApps()), (std::vector<std::string>{"X"}));
    EXPECT_EQ(manager_->ads().at("CLV").at(0).discountNumber, "30");
    EXPECT_TRUE(manager_->offers().empty());
    EXPECT_EQ(manager_->cmpReferenceData()->purposeConsents, "1111111111");
    EXPECT_EQ(manager_->videoUrlStrings(CalculationType::powerAndLogarithmicFunction),
              (std::vector<std::string>{"https://www.youtube.com/watch?v=new"}));
    // The running application's record, once found, stays.
    EXPECT_EQ(manager_->currentApp(), currentBefore);
}

TEST_F(RemoteConfigManagerTest, CompletionsOffTheMainThreadDoNotTouchTheFields) {
    // The completion arrives on the remote configuration's queue; the fields
    // change only when the main queue runs.
    std::thread worker([&] {
        manager_->handleFetchResult(host::DEDRemoteConfigFetchStatusFailure,
                                    host::DEDRemoteConfigError{host::DEDRemoteConfigError::kNetwork, "offline"});
    });
    worker.join();
    EXPECT_TRUE(manager_->apps().empty());
    EXPECT_TRUE(posted_.empty());
    executor_.runUntilIdle();
    EXPECT_EQ(manager_->apps().size(), 4u);
    EXPECT_EQ(posted_.size(), 5u);
}

TEST_F(RemoteConfigManagerTest, UnsuccessfulFetchWithoutErrorReportsAndChangesNothing) {
    manager_->handleFetchResult(host::DEDRemoteConfigFetchStatusThrottled, std::nullopt);
    executor_.runUntilIdle();
    EXPECT_TRUE(posted_.empty());
    EXPECT_TRUE(manager_->apps().empty());
}

TEST_F(RemoteConfigManagerTest, DidLoadMenuReachesAnObserverThatReadsTheLists) {
    std::vector<size_t> seen;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        "didLoadMenu", [&](const foundation::Notification&) {
            seen.push_back(manager_->singleApps().size() + manager_->multiApps().size());
        });
    manager_->loadApps(*config_);
    EXPECT_EQ(seen, std::vector<size_t>{3});
}

TEST_F(RemoteConfigManagerTest, VideoAddressesFollowTheDeviceLanguage) {
    fetchAnswering(R"({"videoTutorials": "{\"CLV\": {\"en\": [\"e1\", \"e2\"], \"fr\": [\"f1\"]}, \"LIN\": {\"en\": [\"l\"]}}"})");
    struct Case {
        const char* language;
        std::optional<CalculationType> type;
        std::vector<std::string> expected;
    } cases[] = {
        {"fr", CalculationType::powerAndLogarithmicFunction, {"f1", "e1", "e2"}},
        {"en", CalculationType::powerAndLogarithmicFunction, {"e1", "e2"}},
        {"de", CalculationType::powerAndLogarithmicFunction, {"e1", "e2"}},
        {"fr", std::nullopt, {}},
        {"fr", CalculationType::cubicFunction, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.language);
        setenv("CALVARO_LANGUAGE", c.language, 1);
        EXPECT_EQ(manager_->videoUrlStrings(c.type), c.expected);
    }
}

}  // namespace
