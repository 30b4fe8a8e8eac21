// Conditional user properties on a real engine in virtual time: activation,
// trigger, time-out, expiry and clearing, each with its event, and the
// records as another reader of the database file sees them.

#include <cstdio>
#include <functional>
#include <memory>

#include "MeasurementEventsHarness.h"
#include "analytics/connector/MSRConditionalUserProperties.h"
#include "analytics/connector/MSRConnector.h"

namespace {

MSREvent outcome(const std::string& name) {
    return *MSREvent::initWithOrigin("crx", false, name, 1'700'000'000.0, 0, {{"reason", MSRValue(name)}});
}

MSRConditionalUserProperty property(const std::string& name, const std::string& value,
                                    const std::string& trigger = "", double triggerTimeout = 60,
                                    double timeToLive = 3600) {
    MSRConditionalUserProperty made;
    made.setName(name);
    made.setOrigin("crx");
    made.setValue(MSRValue(value));
    made.setTriggerEventName(trigger);
    made.setTriggerTimeout(triggerTimeout);
    made.setTimeToLive(timeToLive);
    made.setTriggeredEvent(outcome("cup_triggered"));
    made.setTimedOutEvent(outcome("cup_timed_out"));
    made.setExpiredEvent(outcome("cup_expired"));
    return made;
}

// What the sqlite3 shell prints for `query` on the file.
std::string shell(const std::string& path, const std::string& query) {
    const std::string command = "sqlite3 -readonly '" + path + "' \"" + query + "\" 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string output;
    char buffer[256];
    while (pipe && fgets(buffer, sizeof buffer, pipe.get())) output += buffer;
    return output;
}

constexpr const char* kTimeoutRefused = "Invalid conditional user property trigger timeout";
constexpr const char* kTimeToLiveRefused = "Invalid conditional user property time to live";

}  // namespace

class ConditionalUserPropertiesTest : public MeasurementEventsHarness {
protected:
    // Before SetUp starts the engine, so that it makes the real controller.
    ConditionalUserPropertiesTest() { MSRRegisterConnector(); }

    void restart() {
        stopEngine();
        MSRRegisterConnector();
        startEngine(options_);
    }
    MSRConditionalUserProperties& controller() { return *MSRConditionalUserProperties::sharedInstance(); }
    void set(const MSRConditionalUserProperty& given) {
        controller().setConditionalUserProperty(given, given.name());
        runUntilIdle();
    }
    std::optional<MSRConditionalUserProperty> record(const std::string& name) {
        return database().conditionalUserPropertyWithName(name, nullptr);
    }
    std::optional<MSRValue> attribute(const std::string& name) {
        auto found = database().userAttributeWithName(name, nullptr);
        return found ? std::optional<MSRValue>(found->value()) : std::nullopt;
    }
    std::vector<std::string> storedNames() {
        std::vector<std::string> names;
        for (const StoredEvent& event : stored()) names.push_back(event.name);
        return names;
    }
    // Warnings and errors that stay off the console reach the health
    // monitor, which keeps the latest.
    bool reported(const std::string& message) { return monitor_.sampled().find(message) != std::string::npos; }
    std::vector<std::string> outcomes() {
        std::vector<std::string> names;
        for (const std::string& name : storedNames())
            if (name.rfind("cup_", 0) == 0) names.push_back(name);
        return names;
    }
};

TEST_F(ConditionalUserPropertiesTest, WithoutTriggerActiveAtOnceThenExpiresWithItsEvent) {
    const double setAt = now();
    set(property("tier", "gold", "", 60, 3600));
    auto stored = record("tier");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(stored->isActive());
    EXPECT_EQ(stored->triggeredTimestamp(), setAt);
    EXPECT_EQ(attribute("tier"), MSRValue("gold"));
    EXPECT_EQ(outcomes(), std::vector<std::string>{"cup_triggered"});
    auto triggered = this->stored("cup_triggered");
    ASSERT_EQ(triggered.size(), 1u);
    EXPECT_EQ(triggered[0].origin, "crx");
    EXPECT_TRUE(triggered[0].has("reason", MSRValue("cup_triggered")));

    // Nothing expires before its time to live, and nothing without an event.
    advanceBy(3599);
    log("level_up");
    EXPECT_TRUE(record("tier"));
    advanceBy(2);
    EXPECT_TRUE(record("tier")) << "expiry is found only while an event is written";
    log("level_up");
    EXPECT_FALSE(record("tier"));
    EXPECT_FALSE(attribute("tier"));
    EXPECT_EQ(outcomes(), (std::vector<std::string>{"cup_triggered", "cup_expired"}));
    EXPECT_TRUE(logged(10005));
}

TEST_F(ConditionalUserPropertiesTest, TriggerWithinTimeoutActivatesAndLateTriggerTimesOut) {
    set(property("waiting", "yes", "level_up", 60));
    set(property("late", "no", "checkout", 60));
    EXPECT_FALSE(record("waiting")->isActive());
    EXPECT_FALSE(attribute("waiting"));
    EXPECT_TRUE(outcomes().empty());

    advanceBy(30);
    log("level_up");
    const double triggeredAt = now();
    EXPECT_TRUE(record("waiting")->isActive());
    EXPECT_EQ(record("waiting")->triggeredTimestamp(), triggeredAt);
    EXPECT_EQ(attribute("waiting"), MSRValue("yes"));
    // The trigger is written first, the event it triggered after it.
    auto names = storedNames();
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[names.size() - 2], "level_up");
    EXPECT_EQ(names.back(), "cup_triggered");

    advanceBy(31);
    log("checkout");
    EXPECT_FALSE(record("late")) << "a trigger after the timeout only times the property out";
    EXPECT_FALSE(attribute("late"));
    EXPECT_EQ(outcomes(), (std::vector<std::string>{"cup_triggered", "cup_timed_out"}));
    EXPECT_TRUE(logged(10002));
}

TEST_F(ConditionalUserPropertiesTest, AdImpressionTriggersAPropertyWaitingForItsInternalName) {
    set(property("ads", "seen", "_ai"));
    log("ad_impression", {{"value", MSRValue(1.0)}, {"currency", MSRValue("EUR")}});
    EXPECT_TRUE(record("ads")->isActive());
    EXPECT_EQ(attribute("ads"), MSRValue("seen"));
}

TEST_F(ConditionalUserPropertiesTest, RecordsSurviveARestartAndStillTrigger) {
    set(property("after_restart", "on", "level_up", 600));
    restart();
    const std::string path = database().databasePath();
    EXPECT_EQ(shell(path, "SELECT name, origin, value, active, trigger_event_name, trigger_timeout, time_to_live, "
                          "length(triggered_event) > 0 FROM conditional_properties"),
              "after_restart|crx|on|0|level_up|600.0|3600.0|1\n");
    log("level_up");
    EXPECT_EQ(shell(path, "SELECT active FROM conditional_properties WHERE name = 'after_restart'"), "1\n");
    EXPECT_EQ(shell(path, "SELECT value FROM user_attributes WHERE name = 'after_restart'"), "on\n");
    EXPECT_EQ(outcomes(), std::vector<std::string>{"cup_triggered"});
}

TEST_F(ConditionalUserPropertiesTest, SettingAnActivePropertyAgainKeepsItsActivation) {
    const double firstAt = now();
    set(property("kept", "one", ""));
    advanceBy(100);
    MSRConditionalUserProperty again = property("kept", "two", "never", 5, 7200);
    again.setOrigin("diam");
    set(again);
    auto stored = record("kept");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(stored->isActive());
    EXPECT_EQ(stored->origin(), "crx");
    EXPECT_EQ(stored->creationTimestamp(), firstAt);
    EXPECT_EQ(stored->triggeredTimestamp(), firstAt);
    EXPECT_EQ(stored->triggerEventName(), "");
    EXPECT_EQ(stored->triggerTimeout(), 60);
    EXPECT_EQ(stored->timeToLive(), 7200);
    EXPECT_EQ(stored->value(), MSRValue("two"));
    EXPECT_TRUE(reported("Updating a conditional user property with different origin"));
    // Not marked active by the caller: the user property keeps the old value.
    EXPECT_EQ(attribute("kept"), MSRValue("one"));
    EXPECT_EQ(outcomes(), std::vector<std::string>{"cup_triggered"}) << "no second activation";
}

TEST_F(ConditionalUserPropertiesTest, RefusedSettingsAndClears) {
    struct Case {
        const char* label;
        double triggerTimeout, timeToLive;
        const char* message;
    };
    // Alternating, so that each case leaves a report of its own.
    for (const Case& c : {Case{"timeout 0", 0, 60, kTimeoutRefused}, Case{"time to live 0", 60, 0, kTimeToLiveRefused},
                          Case{"timeout above 180 days", 15552001, 60, kTimeoutRefused},
                          Case{"time to live above 180 days", 60, 15552001, kTimeToLiveRefused}}) {
        set(property("refused", "x", "", c.triggerTimeout, c.timeToLive));
        EXPECT_FALSE(record("refused")) << c.label;
        EXPECT_TRUE(reported(c.message)) << c.label;
    }
    set(property("edge", "x", "", 0.001, 15552000));
    EXPECT_TRUE(record("edge")) << "both bounds are inclusive";

    codes();
    controller().clearConditionalUserPropertyWithClearEvent(outcome("cup_cleared"), "missing");
    runUntilIdle();
    EXPECT_TRUE(logged(11018));
    EXPECT_EQ(outcomes(), std::vector<std::string>{"cup_triggered"});

    set(property("inactive", "x", "level_up"));
    controller().clearConditionalUserPropertyWithClearEvent(outcome("cup_cleared"), "inactive");
    runUntilIdle();
    EXPECT_FALSE(record("inactive"));
    EXPECT_EQ(outcomes(), (std::vector<std::string>{"cup_triggered", "cup_cleared"}));

    // A set without a value removes, logging the record's expired event.
    MSRConditionalUserProperty removal = property("edge", "x");
    removal.setValue(std::nullopt);
    set(removal);
    EXPECT_FALSE(record("edge"));
    EXPECT_FALSE(attribute("edge"));
    EXPECT_EQ(outcomes().back(), "cup_expired");
}

// A write that fails undoes the whole step: neither the record nor the user
// property stays, and the triggered event is not written.
TEST_F(ConditionalUserPropertiesTest, FailedWriteRollsTheStepBack) {
    struct Case {
        const char* label;
        const char* table;
        const char* columns;
        const char* values;
        int64_t code;
    };
    const Case cases[] = {
        {"user properties full", "user_attributes", "name, origin, value, set_timestamp", "'p' || i, 'app', 'v', 1",
         11011},
        {"conditional properties full", "conditional_properties",
         "name, origin, value, creation_timestamp, active, trigger_timeout, triggered_timestamp, time_to_live, "
         "trigger_event_name",
         "'c' || i, 'crx', 'v', 1e10, 0, 1e10, 0, 1, 'never'",
         11014},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        sql(std::string("DELETE FROM user_attributes WHERE name LIKE 'p%'; DELETE FROM conditional_properties; ") +
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000) INSERT INTO " + c.table +
            " (" + c.columns + ") SELECT " + c.values + " FROM n");
        set(property("overflow", "x", ""));
        EXPECT_TRUE(logged(c.code));
        EXPECT_FALSE(record("overflow"));
        EXPECT_FALSE(attribute("overflow"));
        EXPECT_TRUE(outcomes().empty());
    }
}

// The query waits for the worker queue; from the worker queue itself it
// reads in place instead of waiting 30 s for a block queued behind it.
TEST_F(ConditionalUserPropertiesTest, QueryAnswersFromAnyQueueWithoutWaitingOnItself) {
    set(property("ab_one", "1"));
    set(property("ab_two", "2", "level_up"));
    set(property("xab", "3"));
    auto names = [](const std::optional<std::vector<MSRConditionalUserProperty>>& found) {
        std::vector<std::string> result;
        for (const auto& p : found.value_or(std::vector<MSRConditionalUserProperty>{})) result.push_back(p.name());
        return result;
    };
    const double before = now();
    std::optional<std::vector<MSRConditionalUserProperty>> fromWorker;
    runOnWorkerQueue([&] { fromWorker = controller().conditionalUserPropertiesWithNamePrefix("ab", "crx"); });
    EXPECT_EQ(names(fromWorker), (std::vector<std::string>{"ab_one", "ab_two"}));
    EXPECT_EQ(now(), before) << "no time-out was waited for";

    auto fromTest = controller().conditionalUserPropertiesWithNamePrefix("ab", std::nullopt);
    EXPECT_EQ(names(fromTest), (std::vector<std::string>{"ab_one", "ab_two"}));
    EXPECT_FALSE(controller().conditionalUserPropertiesWithNamePrefix("ab", "diam")->size());

    engine().setEnabled(false);
    runUntilIdle();
    EXPECT_FALSE(controller().conditionalUserPropertiesWithNamePrefix("ab", std::nullopt));
    EXPECT_TRUE(logged(11005));
}

// Another reader of the file sees each change of a property together with
// the event that tells of it, never one without the other: a kill between
// two commits would keep the change and lose the event.
TEST_F(ConditionalUserPropertiesTest, ChangesCommitWithTheEventsThatTellOfThem) {
    struct Case {
        const char* label;
        std::function<void()> before;
        std::function<void()> act;
        const char* changed;  // counts 1 once the change is committed
        const char* event;
    };
    auto logQueued = [this](const char* name) {
        engine().logEvent("app", true, name, {}, now(), true, false, false, {}, std::nullopt);
    };
    const Case cases[] = {
        {"activated when set", [] {},
         [&] { controller().setConditionalUserProperty(property("at_once", "v"), "at_once"); },
         "SELECT COUNT(*) FROM conditional_properties WHERE name = 'at_once' AND active = 1", "cup_triggered"},
        {"triggered", [&] { set(property("waits", "v", "level_up")); }, [&] { logQueued("level_up"); },
         "SELECT COUNT(*) FROM conditional_properties WHERE name = 'waits' AND active = 1", "cup_triggered"},
        {"timed out",
         [&] {
             set(property("late", "v", "never", 60));
             advanceBy(61);
         },
         [&] { logQueued("tick"); }, "SELECT COUNT(*) = 0 FROM conditional_properties WHERE name = 'late'",
         "cup_timed_out"},
        {"expired",
         [&] {
             set(property("brief", "v", "", 60, 120));
             advanceBy(121);
         },
         [&] { logQueued("tick"); },
         "SELECT COUNT(*) = 0 FROM user_attributes WHERE name = 'brief'", "cup_expired"},
        {"cleared", [&] { set(property("gone", "v")); },
         [&] { controller().clearConditionalUserPropertyWithClearEvent(outcome("cup_cleared"), "gone"); },
         "SELECT COUNT(*) = 0 FROM conditional_properties WHERE name = 'gone'", "cup_cleared"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        c.before();
        const std::string countEvents = std::string("SELECT COUNT(*) FROM raw_events WHERE name = '") + c.event + "'";
        const int64_t eventsBefore = std::stoll(sql(countEvents).at(0));
        ASSERT_EQ(sql(c.changed).at(0), "0");
        c.act();
        while (executor().runOne()) {
            const bool changed = sql(c.changed).at(0) == "1";
            const int64_t events = std::stoll(sql(countEvents).at(0)) - eventsBefore;
            ASSERT_EQ(events, changed ? 1 : 0) << "the change and its event were committed apart";
        }
        EXPECT_EQ(sql(c.changed).at(0), "1");
    }
}

// The rules that hold between an application's own user properties and
// conditional ones, and across the table seen empty.
TEST_F(ConditionalUserPropertiesTest, APropertySetAfterAnEmptyTableWasSeenStillTriggersTimesOutAndExpires) {
    // The first event of the run finds no record stored.
    log("first");
    EXPECT_TRUE(outcomes().empty());
    set(property("later", "v", "level_up", 60, 120));
    set(property("never_met", "v", "never", 60));
    log("level_up");
    EXPECT_TRUE(record("later")->isActive());
    EXPECT_EQ(attribute("later"), MSRValue("v"));
    advanceBy(61);
    log("tick");
    EXPECT_FALSE(record("never_met"));
    advanceBy(60);
    log("tick");
    EXPECT_FALSE(record("later"));
    EXPECT_FALSE(attribute("later"));
    EXPECT_EQ(outcomes(), (std::vector<std::string>{"cup_triggered", "cup_timed_out", "cup_expired"}));

    // Removing every record, and setting one again, in the same run.
    controller().clearConditionalUserPropertyWithClearEvent(std::nullopt, "later");
    runUntilIdle();
    log("tick");
    set(property("again", "v", "level_up"));
    log("level_up");
    EXPECT_TRUE(record("again")->isActive());
}

TEST_F(ConditionalUserPropertiesTest, ClearingAWaitingPropertyKeepsTheApplicationsOwnOfTheSameName) {
    auto own = MSRUserAttribute::initWithOrigin("app", "tier", MSRValue("bronze"), now());
    ASSERT_TRUE(database().updateUserAttribute(own, nullptr));
    set(property("tier", "gold", "level_up"));
    EXPECT_EQ(attribute("tier"), MSRValue("bronze")) << "a waiting property sets nothing";
    controller().clearConditionalUserPropertyWithClearEvent(outcome("cup_cleared"), "tier");
    runUntilIdle();
    EXPECT_FALSE(record("tier"));
    EXPECT_EQ(attribute("tier"), MSRValue("bronze"));

    // Set without a value, the removal is the same.
    set(property("tier", "gold", "level_up"));
    MSRConditionalUserProperty removal = property("tier", "x", "level_up");
    removal.setValue(std::nullopt);
    set(removal);
    EXPECT_FALSE(record("tier"));
    EXPECT_EQ(attribute("tier"), MSRValue("bronze"));
}

// Sets and clears made before the engine has made its components wait for
// them, in their order.
TEST_F(ConditionalUserPropertiesTest, RequestsBeforeTheEngineStartedWaitForIt) {
    stopEngine();
    MSRRegisterConnector();
    auto early = MSRConditionalUserProperties::sharedInstance();
    early->setConditionalUserProperty(property("early", "v"), "early");
    early->setConditionalUserProperty(property("cleared_early", "v"), "cleared_early");
    early->clearConditionalUserPropertyWithClearEvent(std::nullopt, "cleared_early");
    startEngine(options_);
    runUntilIdle();
    ASSERT_TRUE(record("early"));
    EXPECT_TRUE(record("early")->isActive());
    EXPECT_EQ(attribute("early"), MSRValue("v"));
    EXPECT_FALSE(record("cleared_early"));
    EXPECT_FALSE(attribute("cleared_early"));
}
