// Another framework of the host, in the same process, reaching the engine
// through the connector: what the lists let through, its listener, its user
// properties and conditional properties, and calls made from the queues the
// answers travel on.

#include "MeasurementEventsHarness.h"
#include "analytics/connector/DEDConnectorUtils.h"
#include "analytics/connector/DEDIzuraroveConnector.h"
#include "analytics/connector/MSRConnector.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/host/DEDInteropContainer.h"

namespace {

using Dictionary = foundation::Value::Dictionary;

struct Heard {
    std::string name;
    Dictionary parameters;
};

class RecordingListener : public DEDAnalyticsInteropListener {
public:
    void messageTriggered(const std::string& name, const Dictionary& parameters) override {
        EXPECT_TRUE(dispatch::MainQueue::shared()->isCurrent());
        heard.push_back({name, parameters});
    }
    std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (const Heard& h : heard) result.push_back(h.name);
        return result;
    }
    std::vector<Heard> heard;
};

}  // namespace

TEST(ConnectorUtilsTest, ListsDecideWhatAFrameworkMayDo) {
    for (const char* origin : {"app", "auto", "am"}) EXPECT_FALSE(DEDConnectorUtils::isOriginAllowed(origin)) << origin;
    EXPECT_TRUE(DEDConnectorUtils::isOriginAllowed("crx"));
    for (const char* origin : {"app", "app+web"}) EXPECT_TRUE(DEDConnectorUtils::isAppOrigin(origin)) << origin;
    for (const char* origin : {"apple", "app+", "ap"}) EXPECT_EQ(DEDConnectorUtils::isAppOrigin(origin), std::string(origin) == "app+") << origin;

    for (const char* name : {"_e", "_f", "_iap", "_s", "_au", ""})
        EXPECT_FALSE(DEDConnectorUtils::shouldLogEventWithName(name, {})) << name;
    EXPECT_FALSE(DEDConnectorUtils::shouldLogEventWithName("crash", {{"_dbg", 1}}));
    EXPECT_FALSE(DEDConnectorUtils::shouldLogEventWithName("crash", {{"_r", 1}}));
    EXPECT_TRUE(DEDConnectorUtils::shouldLogEventWithName("crash", {{"fatal", 1}}));

    struct Case {
        const char* name;
        const char* origin;
        bool allowed;
    };
    for (const Case& c : {Case{"_ln", "dcm", true}, Case{"_ln", "diam", true}, Case{"_ln", "crx", false},
                          Case{"_id", "crx", false}, Case{"_fot", "crx", false}, Case{"_ltv_USD", "crx", false},
                          Case{"_ltv_usd", "crx", true}, Case{"_ltv_USDX", "crx", true}, Case{"_cc5", "crx", false},
                          Case{"_cc6", "crx", true}, Case{"", "crx", false}, Case{"crash_count", "crx", true}})
        EXPECT_EQ(DEDConnectorUtils::isUserPropertyAllowed(c.name, c.origin), c.allowed) << c.name << " " << c.origin;
    for (const auto& [name, allowed] : std::vector<std::pair<const char*, bool>>{
             {"_fot", true}, {"_id", false}, {"level", true}, {"", false}})
        EXPECT_EQ(DEDConnectorUtils::isUserPropertyAllowedForQuery(name), allowed) << name;
    EXPECT_FALSE(DEDConnectorUtils::isEventNameAllowedForListeners("_exp_set"));
    EXPECT_TRUE(DEDConnectorUtils::isListenerOriginAllowed("crash"));
    EXPECT_FALSE(DEDConnectorUtils::isListenerOriginAllowed("app"));
}

class ConnectorTest : public MeasurementEventsHarness {
protected:
    ConnectorTest() { MSRRegisterConnector(); }
    void SetUp() override {
        MeasurementEventsHarness::SetUp();
        // As after the facade's own start: collection on.
        MSRAnalytics::setAnalyticsEnabled(true);
        runUntilIdle();
    }

    // What a framework does: ask the host's container for the protocol.
    std::shared_ptr<DEDIzuraroveConnector> connector() {
        return host::DEDInteropContainer::instanceForProtocol<DEDIzuraroveConnector>(
            DEDIzuraroveConnector::kInteropProtocol);
    }
    bool reported(const std::string& message) { return monitor_.sampled().find(message) != std::string::npos; }
};

TEST_F(ConnectorTest, FrameworkRegistersThroughTheHostAndHearsItsEvents) {
    EXPECT_EQ(host::DEDInteropContainer::internalLibraries().at("vuzedezo-analytics"), "11.1.0");
    auto crashReporter = connector();
    ASSERT_TRUE(crashReporter);
    EXPECT_NE(crashReporter, connector()) << "a new connector for each request";

    auto listener = std::make_shared<RecordingListener>();
    crashReporter->registerAnalyticsListener(listener, "crx");
    crashReporter->registerAnalyticsListener(std::make_shared<RecordingListener>(), "app");  // not allowed
    runUntilIdle();

    crashReporter->logEventWithOrigin("crx", "_ae", Dictionary{{"fatal", 1}, {"where", "main"}});
    crashReporter->logEventWithOrigin("crx", "_xa", Dictionary{});           // hidden from listeners
    crashReporter->logEventWithOrigin("app", "sneaky", Dictionary{});        // origin refused
    crashReporter->logEventWithOrigin("crx", "_s", Dictionary{});            // name refused
    crashReporter->logEventWithOrigin("diam", "campaign", Dictionary{});     // nobody listens to "diam"
    log("level_up", {{"level", MSRValue(int64_t{3})}});                     // an app event reaches every listener
    runUntilIdle();

    EXPECT_EQ(listener->names(), (std::vector<std::string>{"_ae", "level_up"}));
    ASSERT_FALSE(listener->heard.empty());
    const Dictionary& parameters = listener->heard[0].parameters;
    EXPECT_EQ(parameters.at("fatal"), foundation::Value(1));
    EXPECT_EQ(parameters.at("where"), foundation::Value("main"));
    EXPECT_EQ(parameters.at("_r"), foundation::Value(1)) << "crash events from crx are realtime";
    auto stored = this->stored("_ae");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].origin, "crx");
    EXPECT_TRUE(this->stored("sneaky").empty());
    EXPECT_TRUE(this->stored("_s").empty());

    crashReporter->logEventWithOrigin("drc", "_cmp", Dictionary{{"source", "push"}});
    runUntilIdle();
    ASSERT_EQ(this->stored("_cmp").size(), 1u);
    EXPECT_TRUE(this->stored("_cmp")[0].has("_cis", MSRValue("drc_integration")));

    // The last origin gone, the engine listener goes with it.
    crashReporter->unregisterAnalyticsListenerWithOrigin("crx");
    runUntilIdle();
    log("after");
    EXPECT_EQ(listener->names().back(), "level_up");
    crashReporter->unregisterAnalyticsListenerWithOrigin("crx");
    runUntilIdle();
    EXPECT_TRUE(reported("Attempted removal of nil log event."));
}

TEST_F(ConnectorTest, InternalUserPropertiesAndTheirQuery) {
    auto framework = connector();
    framework->setUserPropertyWithOrigin("crx", "crash_count", foundation::Value(3));
    framework->setUserPropertyWithOrigin("crx", "_id", foundation::Value("someone"));
    framework->setUserPropertyWithOrigin("app", "sneaky", foundation::Value("x"));
    framework->setUserPropertyWithOrigin("crx", "_sid_extra", foundation::Value(1));
    runUntilIdle();
    auto stored = database().userAttributeWithName("crash_count", nullptr);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->origin(), "crx");
    EXPECT_EQ(stored->value(), MSRValue(int64_t{3}));
    EXPECT_FALSE(database().userAttributeWithName("_id", nullptr));
    EXPECT_FALSE(database().userAttributeWithName("sneaky", nullptr));

    std::optional<Dictionary> answer;
    framework->getUserPropertiesWithCallback([&](Dictionary properties) {
        EXPECT_TRUE(DEDIzuraroveConnector::connectorQueue()->isCurrent());
        answer = std::move(properties);
    });
    runUntilIdle();
    ASSERT_TRUE(answer);
    std::vector<std::string> names;
    for (const auto& [name, value] : *answer) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"_fot", "crash_count"}));
}

// The answer travels through the connector's queue, the facade's queue and
// the worker: asked on one of them, it is worked out in place instead of
// waiting 10 s for a block queued behind the caller.
TEST_F(ConnectorTest, MaxUserPropertiesAnswersFromEveryQueue) {
    auto framework = connector();
    const double before = now();
    int32_t fromWorker = -1, fromConnectorQueue = -1;
    runOnWorkerQueue([&] { fromWorker = framework->maxUserProperties("crx"); });
    DEDIzuraroveConnector::connectorQueue()->async([&] { fromConnectorQueue = framework->maxUserProperties("crx"); });
    runUntilIdle();
    EXPECT_EQ(fromWorker, 25);
    EXPECT_EQ(fromConnectorQueue, 25);
    EXPECT_EQ(now(), before) << "nothing waited for a time-out";
    EXPECT_EQ(framework->maxUserProperties("crx"), 25);
}

// While the engine cannot answer (its operation queue held), the framework
// waits 10 s and hears 0; once the queue moves again it hears the engine.
TEST_F(ConnectorTest, MaxUserPropertiesGivesUpAfterTenSeconds) {
    auto framework = connector();
    MSRAnalyticsState::gate()->suspend();
    const double before = now();
    EXPECT_EQ(framework->maxUserProperties("crx"), 0);
    EXPECT_NEAR(now() - before, DEDIzuraroveConnector::kMaxUserPropertiesTimeout, 0.001);
    MSRAnalyticsState::gate()->resume();
    runUntilIdle();
    EXPECT_EQ(framework->maxUserProperties("crx"), 25);
}

TEST_F(ConnectorTest, ConditionalPropertiesFromDictionaries) {
    auto framework = connector();
    const Dictionary triggered{{"origin", "crx"}, {"name", "cup_on"}, {"parameters", Dictionary{{"why", "trigger"}}}};
    framework->setConditionalUserProperty(Dictionary{{"name", "beta"},
                                                     {"origin", "crx"},
                                                     {"value", "yes"},
                                                     {"triggerEventName", "level_up"},
                                                     {"triggerTimeout", 60},
                                                     {"timeToLive", 3600},
                                                     {"triggeredEvent", triggered},
                                                     {"colour", "blue"}});
    runUntilIdle();
    EXPECT_TRUE(reported("Conditional user property entry refused"));
    auto stored = database().conditionalUserPropertyWithName("beta", nullptr);
    ASSERT_TRUE(stored) << "an unknown key does not stop the rest";
    EXPECT_FALSE(stored->isActive());

    // A value of the wrong kind is refused, not taken as something else.
    framework->setConditionalUserProperty(Dictionary{{"name", "numeric"}, {"origin", "crx"}, {"value", 5},
                                                     {"triggerTimeout", 60}, {"timeToLive", 60}});
    runUntilIdle();
    EXPECT_FALSE(database().conditionalUserPropertyWithName("numeric", nullptr)) << "without a value nothing is set";

    log("level_up");
    EXPECT_TRUE(database().conditionalUserPropertyWithName("beta", nullptr)->isActive());
    ASSERT_EQ(this->stored("cup_on").size(), 1u);
    EXPECT_TRUE(this->stored("cup_on")[0].has("why", MSRValue("trigger")));

    std::vector<Dictionary> listed;
    runOnWorkerQueue([&] { listed = framework->conditionalUserProperties("crx", "be"); });
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0], (Dictionary{{"name", "beta"}, {"value", "yes"}}));
    EXPECT_TRUE(framework->conditionalUserProperties("diam", "").empty());

    framework->clearConditionalUserProperty("ignored", "crx", "cup_cleared", Dictionary{{"beta", "gone"}});
    runUntilIdle();
    EXPECT_FALSE(database().conditionalUserPropertyWithName("beta", nullptr));
    EXPECT_FALSE(database().userAttributeWithName("beta", nullptr));
    ASSERT_EQ(this->stored("cup_cleared").size(), 1u);
    EXPECT_TRUE(this->stored("cup_cleared")[0].has("beta", MSRValue("gone")));
}
