// Conditional user properties in the analytics database: records and their
// events read back as written, the time-out, expiry and trigger questions,
// the prefix and origin question, refusals and damaged rows.

#include "analytics/storage/MSRDatabase.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

MSREvent event(const std::string& name, double time = 1'700'000'000.0) {
    return *MSREvent::initWithOrigin("crx", false, name, time, 0, {{"reason", MSRValue(name)}, {"n", MSRValue(int64_t{4})}});
}

MSRConditionalUserProperty property(const std::string& name, double created, MSRValue value = MSRValue("v"),
                                    const std::string& origin = "crx") {
    MSRConditionalUserProperty made;
    made.setName(name);
    made.setOrigin(origin);
    made.setValue(std::move(value));
    made.setCreationTimestamp(created);
    made.setTriggerTimeout(60);
    made.setTimeToLive(3600);
    made.setTriggerEventName("level_up");
    return made;
}

std::vector<std::string> names(const std::optional<std::vector<MSRConditionalUserProperty>>& found) {
    std::vector<std::string> result;
    for (const auto& p : found.value_or(std::vector<MSRConditionalUserProperty>{})) result.push_back(p.name());
    std::sort(result.begin(), result.end());
    return result;
}

void expectSameEvent(const std::optional<MSREvent>& read, const std::optional<MSREvent>& written) {
    ASSERT_EQ(read.has_value(), written.has_value());
    if (!read) return;
    EXPECT_EQ(read->name(), written->name());
    EXPECT_EQ(read->origin(), written->origin());
    EXPECT_EQ(read->timestamp(), written->timestamp());
    EXPECT_EQ(read->parameters(), written->parameters());
}

}  // namespace

class DatabaseConditionalUserPropertiesTest : public OpenDatabaseTest {
protected:
    double now() { return executor_.clock().wallTime(); }
    void store(const MSRConditionalUserProperty& p) { ASSERT_TRUE(database_->updateConditionalUserProperty(p, nullptr)); }
};

TEST_F(DatabaseConditionalUserPropertiesTest, RecordsReadBackAsWritten) {
    struct Case {
        const char* name;
        MSRValue value;
        bool withEvents;
    };
    const std::vector<Case> cases = {{"text", MSRValue("gold"), true},
                                     {"integer", MSRValue(int64_t{9007199254740993}), false},
                                     {"real", MSRValue(2.5), true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MSRConditionalUserProperty written = property(c.name, 1'700'000'123.25, c.value);
        written.setActive(c.withEvents);
        written.setTriggeredTimestamp(c.withEvents ? 1'700'000'200.5 : 0);
        if (c.withEvents) {
            written.setTriggeredEvent(event("triggered"));
            written.setTimedOutEvent(event("timed_out"));
            written.setExpiredEvent(event("expired"));
        } else {
            written.setTriggerEventName("");
        }
        store(written);
        auto read = database_->conditionalUserPropertyWithName(c.name, nullptr);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->origin(), "crx");
        EXPECT_EQ(read->value(), c.value);  // of the same kind, too
        EXPECT_EQ(read->isActive(), written.isActive());
        EXPECT_EQ(read->creationTimestamp(), written.creationTimestamp());
        EXPECT_EQ(read->triggeredTimestamp(), written.triggeredTimestamp());
        EXPECT_EQ(read->triggerTimeout(), 60);
        EXPECT_EQ(read->timeToLive(), 3600);
        EXPECT_EQ(read->triggerEventName(), written.triggerEventName());
        expectSameEvent(read->triggeredEvent(), written.triggeredEvent());
        expectSameEvent(read->timedOutEvent(), written.timedOutEvent());
        expectSameEvent(read->expiredEvent(), written.expiredEvent());
    }
    // The upsert replaces the whole row: an event left out is gone.
    MSRConditionalUserProperty rewritten = property("text", 1, MSRValue("silver"));
    store(rewritten);
    auto read = database_->conditionalUserPropertyWithName("text", nullptr);
    ASSERT_TRUE(read);
    EXPECT_FALSE(read->triggeredEvent());
    EXPECT_FALSE(read->expiredEvent());
    EXPECT_EQ(shell(database_->databasePath(), "SELECT count(*), typeof(triggered_event) FROM conditional_properties "
                                               "WHERE name = 'text'"),
              "1|null\n");

    MSRError error;
    EXPECT_FALSE(database_->conditionalUserPropertyWithName("absent", &error));
    EXPECT_EQ(error.code(), 0);
    EXPECT_TRUE(database_->deleteConditionalUserPropertyWithName("text", nullptr));
    EXPECT_FALSE(database_->conditionalUserPropertyWithName("text", nullptr));
}

TEST_F(DatabaseConditionalUserPropertiesTest, TimeOutExpiryAndTriggerFollowTheClock) {
    const double t = now();
    store(property("waiting", t));
    MSRConditionalUserProperty active = property("active", t);
    active.setActive(true);
    active.setTriggeredTimestamp(t);
    store(active);

    struct Case {
        double after;
        std::vector<std::string> timedOut, expired, triggered;
    };
    const std::vector<Case> cases = {{30, {}, {}, {"waiting"}},
                                     {60, {}, {}, {"waiting"}},  // the timeout itself still triggers
                                     {61, {"waiting"}, {}, {}},
                                     {3600, {"waiting"}, {}, {}},  // only more than the time to live expires
                                     {3601, {"waiting"}, {"active"}, {}}};
    double elapsed = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.after);
        executor_.advanceBy(c.after - elapsed);
        elapsed = c.after;
        EXPECT_EQ(names(database_->timedOutConditionalUserProperties(nullptr)), c.timedOut);
        EXPECT_EQ(names(database_->expiredConditionalUserProperties(nullptr)), c.expired);
        EXPECT_EQ(names(database_->triggeredConditionalUserPropertiesWithEventName("level_up", nullptr)), c.triggered);
        EXPECT_TRUE(names(database_->triggeredConditionalUserPropertiesWithEventName("other", nullptr)).empty());
    }
}

// Names and origins match as given: "_" and "%" are no wildcards.
TEST_F(DatabaseConditionalUserPropertiesTest, PrefixAndOriginMatchTheirText) {
    for (const auto& [name, origin] : std::vector<std::pair<std::string, std::string>>{
             {"abc", "crx"}, {"ABD", "crx"}, {"xab", "crx"}, {"a_c", "f_x"}, {"azc", "fzx"}, {"a%z", "crx"}})
        store(property(name, 1, MSRValue("v"), origin));
    struct Case {
        std::string prefix, origin;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"", "", {"ABD", "a%z", "a_c", "abc", "azc", "xab"}},
        {"ab", "", {"ABD", "abc"}},
        {"a_", "", {"a_c"}},
        {"a%", "", {"a%z"}},
        {"", "f_x", {"a_c"}},
        {"", "f%", {}},
        {"a", "crx", {"ABD", "a%z", "abc"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.prefix + " / " + c.origin);
        EXPECT_EQ(names(database_->conditionalUserPropertiesWithPrefix(c.prefix, c.origin, nullptr)), c.expected);
    }
}

TEST_F(DatabaseConditionalUserPropertiesTest, RefusalsCarryTheirCode) {
    MSRConditionalUserProperty noValue = property("x", 1);
    noValue.setValue(std::nullopt);
    MSRConditionalUserProperty noOrigin = property("x", 1, MSRValue("v"), "");
    MSRConditionalUserProperty noName = property("", 1);
    struct Case {
        std::optional<MSRConditionalUserProperty> property;
        const char* description;
    };
    for (const Case& c :
         {Case{std::nullopt, "Received empty conditional user property for getting dictionary representation"},
          Case{noName, "Received conditional user property with empty name for getting dictionary representation"},
          Case{noOrigin, "Received conditional user property with empty origin for getting dictionary representation"},
          Case{noValue, "Received conditional user property with nil value for getting dictionary representation"}}) {
        MSRError error;
        EXPECT_FALSE(database_->updateConditionalUserProperty(c.property, &error));
        EXPECT_EQ(error.code(), 3);
        EXPECT_EQ(error.localizedDescription(), c.description);
    }
    MSRError error;
    EXPECT_FALSE(database_->conditionalUserPropertiesWithCondition("", {}, &error));
    EXPECT_EQ(error.code(), 1);
    EXPECT_FALSE(database_->triggeredConditionalUserPropertiesWithEventName("", &error));
    EXPECT_EQ(error.localizedDescription(), "Received nil/empty event name for querying triggered conditional user properties");
    EXPECT_EQ(shell(database_->databasePath(), "SELECT count(*) FROM conditional_properties"), "0\n");
}

// A row whose event can no longer be read would hide every record from the
// time-out, expiry and trigger checks: it is deleted and the others answered.
TEST_F(DatabaseConditionalUserPropertiesTest, UnreadableRowIsDeletedAndTheRestAnswered) {
    const double t = now();
    store(property("first", t));
    store(property("second", t));
    store(property("third", t));
    const std::string path = database_->databasePath();
    shell(path, "UPDATE conditional_properties SET expired_event = x'0aff' WHERE name = 'first';"
                "UPDATE conditional_properties SET triggered_event = 'text' WHERE name = 'second'");
    executor_.advanceBy(61);
    EXPECT_EQ(names(database_->timedOutConditionalUserProperties(nullptr)), std::vector<std::string>{"third"});
    EXPECT_TRUE(logged(12076));
    EXPECT_EQ(shell(path, "SELECT name FROM conditional_properties"), "third\n");
}
