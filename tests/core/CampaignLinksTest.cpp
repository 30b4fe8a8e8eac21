// Opened links as campaign events, the parked launch link and the deferred
// deep link, in virtual time on a fresh engine.

#include <set>

#include "MeasurementEventsHarness.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRDeepLinks.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/host/AdvertisingIdentity.h"
#include "platform/ui/Application.h"

namespace {

using foundation::Value;
constexpr const char* kCampaignEndpoint = "http://127.0.0.1:9";
constexpr const char* kIdentifier = "6D92078A-8246-4BA4-AE5B-76104861E7DC";

// Without an endpoint nothing is uploaded, so every event stays readable.
class CampaignLinksTest : public MeasurementEventsHarness {
  protected:
    void open(const std::string& url) {
        engine().handleNonFirstOpenEventURL(url, now());
        runUntilIdle();
    }
    void park(const std::string& url, double age) {
        auto defaults = MSRUserDefaults::sharedUserDefaults();
        defaults->setObject(Value(url), MSRDeepLinks::kDeepLinkKey);
        defaults->setObject(Value(now() - age), MSRDeepLinks::kDeepLinkTimestampKey);
    }
    static std::string text(const StoredEvent& event, const std::string& key) {
        auto found = event.parameters.find(key);
        return found != event.parameters.end() && found->second.stringValue() ? *found->second.stringValue() : "";
    }
    std::vector<StoredEvent> campaigns() {
        auto events = stored("_cmp");
        for (auto& event : stored("_cmpx")) events.push_back(event);
        return events;
    }
};

// What one opened link logs: the table's names for the campaign keys, other
// keys dropped, the first of a repeated key, click ids only where allowed.
TEST_F(CampaignLinksTest, AnOpenedLinkLogsOneCampaignEventWithTheTablesNames) {
    struct Case {
        const char* query;
        bool clickIDsAllowed;
        std::map<std::string, std::string> expected;  // empty: no event
        std::vector<std::string> absent;
    };
    const Case cases[] = {
        {"utm_source=news&utm_medium=email&foo=1", false, {{"source", "news"}, {"medium", "email"}}, {"foo"}},
        {"foo=1", false, {}, {}},
        {"utm_source=&utm_medium=", false, {}, {}},
        {"zclid=abc&zclid=xyz&utm_source=s", true, {{"zclid", "abc"}, {"source", "s"}}, {}},
        {"zclid=abc&dclid=d&zsltid=z&utm_source=s", false, {{"source", "s"}}, {"zclid", "dclid", "zsltid"}},
        {"utm_campaign=spring%20sale&utm_id=7&cis=x&utm_term=a+b&utm_content=",
         false,
         {{"campaign", "spring sale"}, {"campaign_id", "7"}, {"_cis", "x"}, {"term", "a b"}},
         {"content"}},
        // Control bytes are dropped: a value of nothing else is no value.
        {"utm_source=a%00b%1B%5B2J%C2%9Bc&utm_medium=%07&utm_term=%0A", false, {{"source", "ab[2Jc"}},
         {"medium", "term"}},
        {"utm_source=%00%1B", false, {}, {}},
        {"sfmc_id=m1&utm_source_platform=p&utm_creative_format=f&utm_marketing_tactic=t#utm_medium=frag",
         false,
         {{"sfmc_id", "m1"}, {"source_platform", "p"}, {"creative_format", "f"}, {"marketing_tactic", "t"}},
         {"medium"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        auto& advertising = host::AdvertisingIdentity::shared();
        if (c.clickIDsAllowed) {
            advertising.setTrackingManagerForTesting(host::AdvertisingIdentity::kAuthorized);
        } else {
            advertising.removeTrackingManagerForTesting();
        }
        execute("DELETE FROM raw_events;");
        open(std::string("https://calvaro.example/open?") + c.query);
        auto events = campaigns();
        if (c.expected.empty()) {
            EXPECT_TRUE(events.empty());
            continue;
        }
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].name, "_cmp");
        EXPECT_EQ(events[0].origin, "auto");
        for (const auto& [key, value] : c.expected) EXPECT_EQ(text(events[0], key), value) << key;
        for (const auto& key : c.absent) EXPECT_EQ(events[0].parameters.count(key), 0u) << key;
    }
    EXPECT_TRUE(logged(23001));
}

TEST_F(CampaignLinksTest, AZbraidIsKeptAsAUserPropertyAtTheEventsTime) {
    persistedConfig().setFirstOpenTimestampMilliseconds(static_cast<int64_t>((now() + 50) * 1000));
    open("https://calvaro.example/open?zbraid=b1&utm_source=s");
    auto attribute = database().userAttributeWithName("_zbraid", nullptr);
    ASSERT_TRUE(attribute);
    EXPECT_EQ(attribute->value(), MSRValue(std::string("b1")));
    // Not before the first open: the later of the two times.
    EXPECT_DOUBLE_EQ(attribute->lastSetTimestamp(), now() + 50);
    ASSERT_EQ(stored("_cmp").size(), 1u);
    EXPECT_EQ(text(stored("_cmp")[0], "zbraid"), "b1");
    // The campaign is kept for the bundles that follow.
    auto kept = persistedConfig().adCampaignInfoBuffer();
    ASSERT_TRUE(kept);
    auto campaign = MSRPBAdCampaignInfo::initWithBuffer(*kept);
    ASSERT_TRUE(campaign);
    EXPECT_EQ(MSRPBGetString(*campaign, 1), "b1");  // the zbraid field
}

// The parked launch link is reported once; an expired one still says that
// a campaign brought the user, with "(not set)" for what is no longer known.
TEST_F(CampaignLinksTest, AParkedLinkIsReportedOnceAndAnExpiredOneWithNotSetSources) {
    struct Case {
        double age;
        const char* name;
        const char* source;
        const char* medium;
    };
    const Case cases[] = {{3600, "_cmp", "news", "mail"}, {8 * 86400.0, "_cmpx", "(not set)", "(not set)"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        execute("DELETE FROM raw_events;");
        park("https://calvaro.example/open?utm_source=news&utm_medium=mail", c.age);
        for (int twice = 0; twice < 2; ++twice)
            onWorker([&] { engine().startUp().reportStoredCampaignEventOnWorkerQueue(std::nullopt); });
        auto events = campaigns();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].name, c.name);
        EXPECT_EQ(text(events[0], "source"), c.source);
        EXPECT_EQ(text(events[0], "medium"), c.medium);
        EXPECT_TRUE(MSRUserDefaults::sharedUserDefaults()->objectForKey(MSRDeepLinks::kDeepLinkKey).isAbsent());
    }
}

// A launch with a user activity and a launch URL parks the activity's link;
// an engine that has already started reports it at once.
TEST_F(CampaignLinksTest, TheLaunchNotificationParksTheActivitysLinkAndTheRunningEngineReportsIt) {
    Value::Dictionary activity = {{"activityType", Value("NSUserActivityTypeBrowsingWeb")},
                                  {"webpageURL", Value("https://calvaro.example/a?utm_source=activity")}};
    Value::Dictionary options = {
        {"UIApplicationLaunchOptionsURLKey", Value("https://calvaro.example/u?utm_source=url")},
        {"UIApplicationLaunchOptionsUserActivityDictionaryKey",
         Value(Value::Dictionary{{"UIApplicationLaunchOptionsUserActivityKey", Value(activity)}})}};
    foundation::Notification launch{ui::Application::didFinishLaunchingNotification, nullptr, options};
    MSRMeasurement::handleAppDidFinishLaunching(launch);
    runUntilIdle();
    auto events = campaigns();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(text(events[0], "source"), "activity");
    EXPECT_TRUE(MSRUserDefaults::sharedUserDefaults()->objectForKey(MSRDeepLinks::kDeepLinkKey).isAbsent());
}

TEST_F(CampaignLinksTest, ALinkHandedOverOnTheWorkerQueueIsRefused) {
    onWorker([&] { engine().handleNonFirstOpenEventURL("https://calvaro.example/?utm_source=s", now()); });
    // Refused, not queued: the same link from elsewhere is logged.
    EXPECT_TRUE(campaigns().empty());
    open("https://calvaro.example/?utm_source=s");
    EXPECT_EQ(campaigns().size(), 1u);
}

// --- the deferred deep link ------------------------------------------------------

class RecordingDelegate : public ui::ApplicationDelegate {
  public:
    std::optional<bool> openURL(ui::Application&, const std::string& url, const Value::Dictionary&) override {
        opened.push_back(url);
        return true;
    }
    std::vector<std::string> opened;
};

class DeferredDeepLinkTest : public CampaignLinksTest {
  protected:
    MeasurementOptions options() const override {
        MeasurementOptions options;
        options.infoPlist["ZEVURE_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED"] = Value(true);
        return options;
    }
    void SetUp() override {
        allowIdentifier();
        MSRRemoteConfig::setMeasurementURL(std::string(kCampaignEndpoint));
        CampaignLinksTest::SetUp();
    }
    void TearDown() override {
        CampaignLinksTest::TearDown();
        MSRRemoteConfig::setMeasurementURL(std::nullopt);
    }
    static void allowIdentifier() {
        host::AdvertisingIdentity::shared().setIdentifierManagerForTesting(kIdentifier, true);
        host::AdvertisingIdentity::shared().setTrackingManagerForTesting(host::AdvertisingIdentity::kAuthorized);
    }
    std::vector<net::FakeNetwork::Request> deepLinkRequests() {
        std::vector<net::FakeNetwork::Request> found;
        for (auto& request : network().requests())
            if (request.url.find(MSRDeepLinks::kDeferredDeepLinkPath) != std::string::npos) found.push_back(request);
        return found;
    }
    static std::map<std::string, std::string> query(const std::string& url) {
        return msr_dictionaryWithHttpArgumentsString(url.substr(url.find('?') + 1));
    }
};

// A failing server is asked once a launch, at most five times; the sixth
// launch marks the request done.
TEST_F(DeferredDeepLinkTest, FailedRequestsAreRetriedOncePerLaunchUpToTheLimit) {
    persistedConfig().setDeferredDeepLinkRetrievalComplete(Value());
    persistedConfig().setDeferredDeepLinkRetryCount(0);
    MeasurementOptions later = options();
    later.runStart = false;
    std::vector<std::string> retries;
    for (int launch = 0; launch < 6; ++launch) {
        restartEngine(later);
        allowIdentifier();
        // No configuration yet: the request waits for the first fetch.
        network().setResponder([](const net::FakeNetwork::Request& request) {
            const bool config = request.url.find("/config/app/") != std::string::npos;
            return net::FakeNetwork::Reply{config ? 404 : 500, {}, {}, std::nullopt};
        });
        runUntilIdle();
        onWorker([&] { engine().configurationFetcher().fetchRemoteConfig(); });
        for (const auto& request : deepLinkRequests()) retries.push_back(query(request.url).at("retry"));
    }
    EXPECT_EQ(retries, (std::vector<std::string>{"0", "1", "2", "3", "4"}));
    EXPECT_EQ(persistedConfig().deferredDeepLinkRetryCount(), 5);
    EXPECT_EQ(persistedConfig().deferredDeepLinkRetrievalComplete(), Value(int64_t{1}));
    EXPECT_TRUE(logged(23195));
}

// With ad storage denied nothing is asked and nothing counted against the
// retries; granted again, the next launch asks.
TEST_F(DeferredDeepLinkTest, NothingIsRequestedWhileAdStorageIsDenied) {
    persistedConfig().setDeferredDeepLinkRetrievalComplete(Value());
    persistedConfig().setDeferredDeepLinkRetryCount(0);
    MeasurementOptions later = options();
    later.runStart = false;
    for (const char* adStorage : {"denied", "granted"}) {
        SCOPED_TRACE(adStorage);
        const bool denied = std::string(adStorage) == "denied";
        restartEngine(later);
        allowIdentifier();
        MSRConsentSettingsUtil::updateSettings({{"ad_storage", Value(adStorage)}}, 10);
        network().setResponder([](const net::FakeNetwork::Request& request) {
            const bool config = request.url.find("/config/app/") != std::string::npos;
            return net::FakeNetwork::Reply{config ? 404 : 500, {}, {}, std::nullopt};
        });
        runUntilIdle();
        onWorker([&] { engine().configurationFetcher().fetchRemoteConfig(); });
        EXPECT_EQ(deepLinkRequests().size(), denied ? 0u : 1u);
        EXPECT_EQ(persistedConfig().deferredDeepLinkRetryCount(), denied ? 0 : 1);
        if (denied) {
            EXPECT_TRUE(logged(23252));
        }
    }
    EXPECT_TRUE(persistedConfig().deferredDeepLinkRetrievalComplete().isAbsent());
}

// Values from elsewhere are percent-encoded: a bundle identifier holding "&"
// and "=" adds no parameter to the request.
TEST_F(DeferredDeepLinkTest, TheRequestsValuesAreEncoded) {
    MeasurementOptions odd = options();
    odd.infoPlist["CFBundleIdentifier"] = Value("app.calvaro&retry=99=x");
    odd.runStart = false;
    restartEngine(odd);
    allowIdentifier();
    runUntilIdle();
    std::optional<std::string> url;
    onWorker([&] { url = engine().deepLinks().deferredDeepLinkURL(); });
    ASSERT_TRUE(url);
    const auto arguments = query(*url);
    const std::set<std::string> known = {"bundleid", "id_type", "rdid", "retry", "sdk_version",
                                         "gcs",      "dma",     "npa",  "dma_cps"};
    for (const auto& [key, value] : arguments) EXPECT_TRUE(known.count(key)) << key;
    EXPECT_EQ(arguments.at("bundleid"), "app.calvaro&retry=99=x");
    EXPECT_EQ(arguments.at("retry"), "0");
    EXPECT_EQ(arguments.at("rdid"), kIdentifier);
}

// The server's link reaches the application delegate, and its campaign is
// reported with "_cis" = "ddp" and the server's click id.
TEST_F(DeferredDeepLinkTest, TheServersLinkReachesTheDelegateAndIsReported) {
    host::AdvertisingIdentity::shared().setTrackingManagerForTesting(host::AdvertisingIdentity::kAuthorized);
    auto delegate = std::make_shared<RecordingDelegate>();
    ui::Application::shared().launch(delegate);
    persistedConfig().setDeferredDeepLinkRetrievalComplete(Value());
    const std::string answer = R"({"deeplink":"https://calvaro.example/d?utm_campaign=x","zclid":"g1"})";
    network().enqueueReply({200, {}, std::vector<uint8_t>(answer.begin(), answer.end()), std::nullopt});
    onWorker([&] { engine().requestDeferredDeepLink(); });
    ASSERT_EQ(delegate->opened, std::vector<std::string>{"https://calvaro.example/d?utm_campaign=x"});
    auto events = campaigns();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(text(events[0], "campaign"), "x");
    EXPECT_EQ(text(events[0], "zclid"), "g1");
    EXPECT_EQ(text(events[0], "_cis"), "ddp");
    EXPECT_EQ(persistedConfig().deferredDeepLinkRetrievalComplete(), Value(int64_t{0}));
}

}  // namespace
