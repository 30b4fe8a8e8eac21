// Writing events: caps, real-time delivery, the blocklist, the day boundary,
// and a failed write that leaves nothing behind.

#include <cmath>

#include "MeasurementEventsHarness.h"
#include "analytics/storage/MSRKeychainWrapper.h"
#include "platform/foundation/Bundle.h"

class MeasurementEventsWritingTest : public MeasurementEventsHarness {};

TEST_F(MeasurementEventsWritingTest, DailyCaps) {
    remoteConfig().setServerSettings({{"measurement.upload.max_events_per_day", "100"},
                                      {"measurement.upload.max_public_events_per_day", "50"},
                                      {"measurement.upload.max_error_events_per_day", "10"}});
    MSRObjectDictionary twoItems = {{"items", foundation::Value(foundation::Value::List{
                                                  foundation::Value::Dictionary{{"item_id", "a"}},
                                                  foundation::Value::Dictionary{{"item_id", "b"}}})}};
    MSRObjectDictionary error = {{"_err", 4}};
    struct Case {
        int32_t all, publicCount, errors;  // before
        std::string name;
        MSRObjectDictionary parameters;
        bool kept;
        int64_t code;  // the cap's line, when it is due
        std::vector<int64_t> errorCodes;
        int32_t allAfter, publicAfter, errorsAfter;
    };
    const Case cases[] = {
        {99, 0, 0, "_x", {}, true, 0, {}, 100, 0, 0},
        {100, 0, 0, "_x", {}, false, 23055, {}, 101, 0, 0},    // overshoot 0 is logged,
        {101, 0, 0, "_x", {}, false, 0, {}, 102, 0, 0},        // 1 is not,
        {1100, 0, 0, "_x", {}, false, 23055, {}, 1101, 0, 0},  // 1000 is again
        {100, 0, 3, "_err", error, false, 23055, {}, 101, 0, 4},
        {20, 0, 3, "_err", error, true, 0, {}, 21, 0, 4},
        {20, 0, 10, "_err", error, false, 23056, {}, 20, 0, 11},
        {20, 49, 0, "view_item", {}, true, 0, {}, 21, 50, 0},
        {20, 50, 0, "view_item", {}, false, 23057, {16}, 20, 51, 0},
        {20, 51, 0, "view_item", {}, false, 0, {16}, 20, 52, 0},  // reported every time, logged by the
                                                                  // thousand
        {20, 50, 0, "purchase", twoItems, false, 23057, {16}, 22, 53, 0},
        {20, 0, 0, "purchase", twoItems, true, 0, {}, 23, 3, 0},  // each item counts
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " at " + std::to_string(c.all) + "/" + std::to_string(c.publicCount));
        setCounts(c.all, c.publicCount, c.errors);
        size_t before = stored(c.name).size();
        codes();
        log(c.name, c.parameters);
        EXPECT_EQ(stored(c.name).size(), before + (c.kept ? 1 : 0));
        std::vector<int64_t> lines = codes();
        for (int64_t cap : {23055, 23056, 23057}) {
            EXPECT_EQ(std::count(lines.begin(), lines.end(), cap), c.code == cap ? 1 : 0) << cap;
        }
        EXPECT_EQ(takeErrorCodes(), c.errorCodes);
        EXPECT_EQ(
            std::tuple(counts().allEventsCount(), counts().publicEventsCount(), counts().errorEventsCount()),
            std::tuple(c.allAfter, c.publicAfter, c.errorsAfter));
    }
}

TEST_F(MeasurementEventsWritingTest, RealtimeLimitExemptionsAndDebugMode) {
    struct Case {
        std::string name;
        MSRObjectDictionary parameters;
        bool debugMode;
        int32_t realtimeCount, dcuCount;
        bool realtime;
    };
    const MSRObjectDictionary r = {{"_r", 1}};
    const Case cases[] = {
        {"level_up", r, false, 9, 0, true},  {"level_up", r, false, 10, 0, false},
        {"_iap", r, false, 10, 0, true},     {"_f", r, false, 10, 0, true},
        {"_fx", r, false, 10, 0, true},      {"_dcu", r, false, 10, 0, true},
        {"_dcu", r, false, 0, 1, false},     {"level_up", r, true, 10, 0, true},
        {"purchase", {}, false, 9, 0, true}, {"purchase", {}, false, 10, 0, false},  // conversions
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " " + std::to_string(c.realtimeCount) + (c.debugMode ? " debug" : ""));
        monitor().setDebugModeEnabled(c.debugMode);
        setCounts(0, 0, 0, c.realtimeCount, c.dcuCount);
        log(c.name, c.parameters, c.name == "purchase" ? "app" : "auto");
        StoredEvent event = stored(c.name).back();
        EXPECT_EQ(event.realtime, c.realtime);
        EXPECT_EQ(event.has("_dbg", MSRValue(int64_t{1})), c.debugMode);
    }
    monitor().setDebugModeEnabled(false);
}

TEST_F(MeasurementEventsWritingTest, NewPublicNamesStopAtTheCardinalityLimit) {
    remoteConfig().setServerSettings({{"measurement.upload.max_event_name_cardinality", "500"}});
    ASSERT_TRUE(database().performTransaction([&] {
        for (int i = 0; i < 500; ++i) {
            auto aggregates = MSREventAggregates::initWithName("name_" + std::to_string(i), 1, 0, 0, 0);
            if (!database().updateEventAggregates(*aggregates, nullptr)) return false;
        }
        return true;
    }));
    int32_t allBefore = counts().allEventsCount();
    const std::pair<std::string, bool> cases[] = {{"one_more", false}, {"name_7", true}, {"_internal", true}};
    for (const auto& [name, kept] : cases) {
        log(name);
        EXPECT_EQ(stored(name).size(), kept ? 1u : 0u) << name;
        EXPECT_EQ(takeErrorCodes(), kept ? std::vector<int64_t>{} : std::vector<int64_t>{8}) << name;
    }
    // The refused event's counts went with its rolled-back transaction.
    EXPECT_EQ(counts().allEventsCount(), allBefore + 2);
}

TEST_F(MeasurementEventsWritingTest, Blocklist) {
    std::vector<MSRPBEventConfig> rules(2);
    for (size_t i = 0; i < 2; ++i) {
        MSRPBSetString(rules[i], 0, i == 0 ? "level_up" : "allowed");
        MSRPBSetBool(rules[i], 1, i == 0);
    }
    MSRPBMeasurementConfig config;
    MSRPBSetInt64(config, 0, 1);
    MSRPBSetString(config, 1, engine().appID());
    MSRPBSetMessageArray(config, 4, rules);
    ASSERT_TRUE(remoteConfig().updateMeasurementConfig(config));
    // (switch turned on, event, kept): a rule blocks and reports with "_err" 11, a switch blocks silently;
    // a rule saying "not blocklisted" never lifts the switch.
    const std::tuple<std::string, std::string, bool> cases[] = {
        {"", "level_up", false},
        {"", "post", true},
        {"measurement.upload.blacklist_public", "post", false},
        {"measurement.upload.blacklist_public", "allowed", false},
        {"measurement.upload.blacklist_public", "_y", true},
        {"measurement.upload.blacklist_internal", "_y", false}};
    for (const auto& [switchOn, name, kept] : cases) {
        remoteConfig().setServerSettings({{switchOn.empty() ? "unused" : switchOn, "1"}});
        size_t before = stored(name).size();
        log(name);
        EXPECT_EQ(stored(name).size(), before + (kept ? 1 : 0)) << switchOn << " " << name;
        EXPECT_EQ(takeErrorCodes(),
                  switchOn.empty() && !kept ? std::vector<int64_t>{11} : std::vector<int64_t>{});
    }
}

TEST_F(MeasurementEventsWritingTest, CountsStartAgainAtTheInstallationsMidnight) {
    remoteConfig().setServerSettings({{"measurement.upload.max_events_per_day", "3"}});
    setCounts(3, 0, 0);
    double offset = persistedConfig().midnightOffset();
    double nextMidnight = (std::floor((now() - offset) / 86400) + 1) * 86400 + offset;
    advanceBy(nextMidnight - now() - 1);
    log("level_up");
    EXPECT_TRUE(stored("level_up").empty()) << "one second before the boundary";
    int32_t day = counts().day();
    advanceBy(1.001);
    log("level_up");
    EXPECT_EQ(stored("level_up").size(), 1u);
    EXPECT_EQ(std::tuple(counts().day(), counts().allEventsCount(), counts().publicEventsCount()),
              std::tuple(day + 1, 1, 1));
}

TEST_F(MeasurementEventsWritingTest, AFailedWriteLeavesNothingBehind) {
    const std::string appID = foundation::Bundle::main().bundleIdentifier().value_or("");
    // The start counted the first open already recorded.
    const auto firstOpens = MSRKeychainWrapper::keychainValue("_pfo", appID);
    const std::pair<std::string, MSRObjectDictionary> cases[] = {
        {"_f", {}}, {"_cmp", {{"zclid", "abc"}, {"zad_source", "1"}}}, {"level_up", {}}};
    for (const auto& [name, parameters] : cases) {
        SCOPED_TRACE(name);
        setCounts(5, 0, 0);
        execute(
            "CREATE TRIGGER refuse BEFORE INSERT ON raw_events BEGIN SELECT RAISE(ABORT, 'refused'); END;");
        log(name, parameters);
        EXPECT_TRUE(stored(name).empty());
        EXPECT_EQ(counts().allEventsCount(), 5);
        EXPECT_FALSE(database().eventAggregatesWithName(name, nullptr));
        EXPECT_EQ(MSRKeychainWrapper::keychainValue("_pfo", appID), firstOpens);
        EXPECT_FALSE(persistedConfig().adCampaignInfoBuffer());
        EXPECT_FALSE(persistedConfig().unmatchedFirstOpenWithoutIDFA());
        execute("DROP TRIGGER refuse;");
    }
    // Written for real, the same events leave their marks.
    for (const auto& [name, parameters] : cases) log(name, parameters);
    EXPECT_EQ(stored().size(), 3u);
    EXPECT_EQ(firstOpens, "1");
    EXPECT_EQ(MSRKeychainWrapper::keychainValue("_pfo", appID), "2");
    EXPECT_TRUE(persistedConfig().unmatchedFirstOpenWithoutIDFA());
    auto campaign = MSRPBAdCampaignInfo::initWithBuffer(
        persistedConfig().adCampaignInfoBuffer().value_or(foundation::Value::Bytes{}));
    ASSERT_TRUE(campaign);
    EXPECT_EQ(MSRPBGetString(*campaign, 0), "abc");
    EXPECT_EQ(MSRPBGetString(*campaign, 2), "1");
}

// The debug console's word for a stored event, said only of one whose write
// was committed.
TEST_F(MeasurementEventsWritingTest, TheConsoleSaysAnEventWasLoggedOnceItIsStored) {
    const std::string said = MonitorHarness::line(23072, "Event logged. Event name, event params");
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "refused" : "stored");
        if (refused)
            execute(
                "CREATE TRIGGER refuse BEFORE INSERT ON raw_events BEGIN SELECT RAISE(ABORT, 'refused'); "
                "END;");
        monitor_.takeLines();
        log("level_up", {{"score", 3}});
        const std::vector<std::string> console = monitor_.takeLines();
        EXPECT_EQ(std::count_if(console.begin(), console.end(),
                                [&](const std::string& line) {
                                    return line.rfind(said, 0) == 0 &&
                                           line.find("level_up") != std::string::npos;
                                }),
                  refused ? 0 : 1);
        if (refused) execute("DROP TRIGGER refuse;");
    }
}

// The debug form of an event's parameters spans lines as the engine lays it
// out; a value the application logged cannot break a line or drive the
// terminal.
TEST_F(MeasurementEventsWritingTest, TheEventLoggedLineKeepsItsLinesAndEscapesTheValues) {
    monitor().setDebugModeEnabled(true);
    monitor_.takeLines();
    log("level_up", {{"note", MSRValue(std::string("a\x1b[2Jb\nc"))}, {"score", 3}});
    monitor().setDebugModeEnabled(false);
    const std::string said =
        MonitorHarness::line(23072, "Event logged. Event name, event params: level_up, {\n");
    std::vector<std::string> console = monitor_.takeLines();
    auto line =
        std::find_if(console.begin(), console.end(), [&](const auto& l) { return l.rfind(said, 0) == 0; });
    ASSERT_NE(line, console.end());
    EXPECT_NE(line->find("\n    note = a\\x1b[2Jb\\nc;\n"), std::string::npos) << *line;
    EXPECT_NE(line->find("\n    score = 3;\n"), std::string::npos) << *line;
    EXPECT_EQ(line->substr(line->size() - 2), "\n}");
    EXPECT_EQ(line->find('\x1b'), std::string::npos);
}
