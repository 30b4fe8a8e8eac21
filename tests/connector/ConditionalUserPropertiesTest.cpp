// Conditional user properties on a real engine in virtual time: activation,
// trigger, time-out, expiry and clearing, each with its event, and the
// records as another reader of the database file sees them.

#include <cstdio>
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
