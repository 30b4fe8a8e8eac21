#include "MeasurementFixture.h"

#include "analytics/core/MSRIdentity.h"
#include "analytics/model/MSRRawEventData.h"

namespace {

MSRUserAttribute property(const std::string& origin, const std::string& name, MSRValue value) {
    return MSRUserAttribute::initWithOrigin(origin, name, std::move(value), 1'700'000'000.0).value();
}

MSRUserAttribute text(const std::string& name, const std::string& value, const std::string& origin = "app") {
    return property(origin, name, MSRValue(value));
}

}  // namespace

class MeasurementUserAttributesTest : public MeasurementFixture {
protected:
    void set(const MSRUserAttribute& attribute) {
        engine().setUserAttribute(attribute);
        runUntilIdle();
    }
    bool has(const std::string& name) {
        return database().containsUserAttributeWithName(name, nullptr).value_or(false);
    }
    std::vector<std::string> storedEventNames() {
        std::vector<std::string> names;
        database().allDataTypesFromTable("raw_events", 1000, nullptr, [&](const MSRSqliteRow& row, MSRError*) {
            auto name = row.find("name");
            if (name != row.end()) names.push_back(std::get<std::string>(name->second));
            return true;
        });
        return names;
    }
    std::optional<std::string> stitchingToken() {
        return MSRIdentity::sharedInstance()->sessionStitchingTokenWithSessionNumber(1, false, true);
    }
};

TEST_F(MeasurementUserAttributesTest, StoredAndReadBackAcrossARestart) {
    set(text("level", "gold"));
    set(property("app", "score", MSRValue(2.5)));
    set(property("auto", "_sid", MSRValue(int64_t{1700000000})));
    restartEngine();

    foundation::Value::Dictionary seen, withInternal;
    engine().userPropertiesIncludingInternal(false, [&](foundation::Value::Dictionary properties) { seen = properties; });
    engine().userPropertiesIncludingInternal(true, [&](foundation::Value::Dictionary p) { withInternal = p; });
    std::optional<MSRUserAttribute> level;
    engine().userAttributeWithName("level", [&](std::optional<MSRUserAttribute> attribute) { level = attribute; });
    runUntilIdle();
    EXPECT_EQ(seen, (foundation::Value::Dictionary{{"level", foundation::Value("gold")},
                                                   {"score", foundation::Value(2.5)}}));
    EXPECT_EQ(withInternal.count("_sid"), 1u);
    ASSERT_TRUE(level);
    EXPECT_EQ(level->value(), MSRValue("gold"));
}

TEST_F(MeasurementUserAttributesTest, OriginLimitRefusesTheTwentySixthNewName) {
    for (int i = 0; i < 25; ++i) set(property("diam", "_p" + std::to_string(i), MSRValue(int64_t{i})));
    // Public names of the same origin and names of other origins do not count.
    set(text("level", "gold", "diam"));
    set(property("auto", "_other", MSRValue(int64_t{1})));
    const size_t eventsBefore = storedEventNames().size();
    set(property("diam", "_p25", MSRValue(int64_t{25})));
    EXPECT_FALSE(has("_p25"));
    const auto events = storedEventNames();
    ASSERT_EQ(events.size(), eventsBefore + 1);
    EXPECT_EQ(events.back(), "_err");

    // A new value for a name already stored is never limited.
    set(property("diam", "_p3", MSRValue(int64_t{300})));
    EXPECT_EQ(database().userAttributeWithName("_p3", nullptr)->value(), MSRValue(int64_t{300}));
}

TEST_F(MeasurementUserAttributesTest, PublicLimitFollowsTheSettingWithinItsRange) {
    // Outside its range of 25 to 100 the setting gives the default.
    const std::vector<std::pair<const char*, int>> cases = {{nullptr, 100}, {"30", 30}, {"500", 100}, {"3", 100}};
    for (const auto& [setting, allowed] : cases) {
        SCOPED_TRACE(setting ? setting : "default");
        restartEngine();
        std::map<std::string, MSRSettingValue> settings;
        if (setting) settings["measurement.upload.max_public_user_properties"] = std::string(setting);
        remoteConfig().setServerSettings(settings);
        runOnWorkerQueue([&] {
            for (int i = 0; i < 101; ++i) engine().setUserPropertyInDatabaseOnWorkerQueue(text("p" + std::to_string(i), "v"));
        });
        EXPECT_EQ(database().publicUserAttributeCount(nullptr), allowed);
        EXPECT_TRUE(has("p" + std::to_string(allowed - 1)));
        EXPECT_FALSE(has("p" + std::to_string(allowed)));
        ASSERT_TRUE(database().performTransaction([&] {
            for (int i = 0; i < 101; ++i) database().deleteUserAttributeWithName("p" + std::to_string(i), nullptr);
            return true;
        }));
    }
}

TEST_F(MeasurementUserAttributesTest, UserIDChangeResetsStitchingTokenAndLastAdIDReset) {
    struct Step { const char* label; std::optional<std::string> userID; bool tokenChanges, lairKept; };
    const std::vector<Step> steps = {
        {"first user ID", "alice", false, true},
        {"same user ID again", "alice", false, true},
        {"another user ID", "bob", true, false},
        {"user ID removed", std::nullopt, true, true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.label);
        set(property("auto", "_lair", MSRValue(int64_t{1})));
        const auto before = stitchingToken();
        if (step.userID) {
            set(text("_id", *step.userID, "auto"));
        } else {  // the user ID removed
            engine().removeUserAttribute(text("_id", "x", "auto"));
            runUntilIdle();
        }
        EXPECT_EQ(before != stitchingToken(), step.tokenChanges);
        EXPECT_EQ(has("_lair"), step.lairKept);
        EXPECT_EQ(has("_id"), step.userID.has_value());
    }
}

TEST_F(MeasurementUserAttributesTest, LastAdvertisingIDResetNeedsAUserID) {
    for (bool withUserID : {false, true}) {
        if (withUserID) set(text("_id", "alice", "auto"));
        runOnWorkerQueue([&] { engine().setLastAdvertisingIDResetUserPropertyOnWorkerQueue(); });
        EXPECT_EQ(has("_lair"), withUserID);
    }
}

TEST_F(MeasurementUserAttributesTest, SessionIDQuery) {
    struct Case { const char* label; bool enabled; std::optional<int64_t> sessionID; int64_t expectedID;
                  std::string expectedError; };
    const std::vector<Case> cases = {
        {"no session property", true, std::nullopt, 0, "Session ID not found"},
        {"session property", true, 1700000123, 1700000123, ""},
        {"collection disabled", false, 1700000123, 0, "Analytics disabled"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        engine().setEnabled(true);
        runUntilIdle();
        database().deleteUserAttributeWithName("_sid", nullptr);
        if (c.sessionID) set(property("auto", "_sid", MSRValue(*c.sessionID)));
        engine().setEnabled(c.enabled);
        int64_t id = -1;
        std::optional<MSRError> error;
        engine().sessionIDWithCompletion([&](int64_t sessionID, std::optional<MSRError> e) { id = sessionID, error = e; });
        runUntilIdle();
        EXPECT_EQ(id, c.expectedID);
        EXPECT_EQ(error ? error->localizedDescription() : "", c.expectedError);
    }
}
