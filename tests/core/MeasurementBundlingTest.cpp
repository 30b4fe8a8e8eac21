// Bundling stored raw events into upload bundles, and a failed bundle leaving
// everything as it was.

#include <gtest/gtest.h>

#include "MeasurementFixture.h"
#include "analytics/core/MSRBundleFields.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/model/MSRFoundationAdditions.h"

namespace {

namespace Slot = MSRBundleSlot;

// 2026-03-02 10:00:00 UTC, on an hour boundary.
constexpr double kTenOClock = 1772445600;

class MeasurementBundlingTest : public MeasurementFixture {
  protected:
    void SetUp() override {
        MeasurementFixture::SetUp();
        MSRConsentSettingsUtil::clearAllSettings();
    }
    void TearDown() override {
        MSRConsentSettingsUtil::clearAllSettings();
        MeasurementFixture::TearDown();
    }
    static MSRPBMeasurementBundle metadata(const std::string& signals = "G111", const std::string& tag = "") {
        MSRPBMeasurementBundle bundle;
        MSRPBSetInt32(bundle, Slot::kProtocolVersion, 1);
        MSRPBSetString(bundle, Slot::kAppID, "app.calvaro");
        MSRPBSetString(bundle, Slot::kConsentSignals, signals);
        if (!tag.empty()) MSRPBSetString(bundle, Slot::kDeviceModel, tag);
        return bundle;
    }
    void store(const std::string& name, double timestamp, const MSRPBMeasurementBundle& meta,
               const MSRObjectDictionary& parameters = {}, bool realtime = false) {
        MSRError error;
        ASSERT_TRUE(database().insertIfNotExistsRawEventMetadata(meta, &error)) << error.description();
        const int64_t fingerprint = static_cast<int64_t>(msr_64LSBMD5(*meta.protoBuffer()));
        std::optional<MSREvent> event =
            MSREvent::initWithOrigin("app", name[0] != '_', name, timestamp, 0, parameters);
        ASSERT_TRUE(event) << name;
        if (realtime) event->setRealtime(true);
        ASSERT_TRUE(database().insertRawEvent(event, fingerprint, realtime, &error)) << error.description();
    }
    bool bundle() {
        bool made = false;
        runOnWorkerQueue([&] { made = engine().bundleRawEvents(); });
        return made;
    }
    std::vector<MSRPBMeasurementBundle> queued() {
        std::vector<MSRPBMeasurementBundle> bundles;
        auto rows = database().queryBundlesWithCountLimit(1000, 1 << 30, nullptr);
        EXPECT_TRUE(rows);
        for (auto& row : rows.value_or(std::vector<MSRQueuedBundle>{})) bundles.push_back(std::move(row.first));
        return bundles;
    }
    static std::vector<std::string> eventNames(const MSRPBMeasurementBundle& bundle) {
        std::vector<std::string> names;
        for (const auto& event : MSRPBGetMessageArray<MSRPBEvent>(bundle, Slot::kEvents))
            names.push_back(MSRPBGetString(event, MSREventSlot::kName).value_or(""));
        return names;
    }
    static std::optional<int64_t> attributeValue(const MSRPBMeasurementBundle& bundle,
                                                 const std::string& name) {
        for (const auto& a : MSRPBGetMessageArray<MSRPBUserAttribute>(bundle, Slot::kUserAttributes)) {
            if (MSRPBGetString(a, MSRUserAttributeSlot::kName) == name)
                return MSRPBGetInt64(a, MSRUserAttributeSlot::kIntValue);
        }
        return std::nullopt;
    }
    std::vector<std::vector<std::string>> bundleAll() {
        const size_t before = queued().size();
        for (int i = 0; i < 50 && bundle(); ++i) {
        }
        std::vector<std::vector<std::string>> out;
        std::vector<MSRPBMeasurementBundle> bundles = queued();
        for (size_t i = before; i < bundles.size(); ++i) out.push_back(eventNames(bundles[i]));
        return out;
    }
    bool rawEventsLeft() { return !database().isRawEventsTableEmpty(nullptr).value_or(true); }
    std::optional<MSREventAggregates> aggregates(const std::string& name) {
        return database().eventAggregatesWithName(name, nullptr);
    }
};

TEST_F(MeasurementBundlingTest, RunsAreConsecutiveRowsOfOneMetadataWithinOneHourAndWithinTheLimits) {
    const MSRPBMeasurementBundle a = metadata("G111", "A");
    const MSRPBMeasurementBundle b = metadata("G111", "B");
    // One event with this parameter alone is larger than a small size limit.
    const MSRObjectDictionary big = {{"text", foundation::Value(std::string(90, 'x'))}};
    struct Row {
        const char* name;
        double offset;  // from ten o'clock
        const MSRPBMeasurementBundle* meta;
        bool large;
    };
    struct Case {
        const char* title;
        std::map<std::string, MSRSettingValue> settings;
        std::vector<Row> rows;
        std::vector<std::vector<std::string>> bundles;
    };
    const std::string count = "measurement.upload.max_events_per_bundle", size = "measurement.upload.max_batch_size";
    const Case cases[] = {
        {"hour boundary", {}, {{"e1", 3599, &a, false}, {"e2", 3600, &a, false}}, {{"e1"}, {"e2"}}},
        {"same hour", {}, {{"e1", 0, &a, false}, {"e2", 3599, &a, false}}, {{"e1", "e2"}}},
        {"interleaved metadata", {}, {{"a1", 0, &a, false}, {"b1", 1, &b, false}, {"a2", 2, &a, false}},
         {{"a1"}, {"b1"}, {"a2"}}},
        {"count limit", {{count, std::string("2")}},
         {{"e1", 0, &a, false}, {"e2", 0, &a, false}, {"e3", 0, &a, false}, {"e4", 0, &a, false}, {"e5", 0, &a, false}},
         {{"e1", "e2"}, {"e3", "e4"}, {"e5"}}},
        {"size limit", {{size, std::string("250")}}, {{"e1", 0, &a, true}, {"e2", 0, &a, true}, {"e3", 0, &a, true}},
         {{"e1", "e2"}, {"e3"}}},
        {"each event alone reaches the size limit", {{size, std::string("20")}},
         {{"e1", 0, &a, true}, {"e2", 0, &a, true}, {"e3", 0, &a, false}}, {{"e1"}, {"e2"}, {"e3"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        remoteConfig().setServerSettings(c.settings);
        for (const Row& row : c.rows)
            store(row.name, kTenOClock + row.offset, *row.meta, row.large ? big : MSRObjectDictionary{});
        EXPECT_EQ(bundleAll(), c.bundles);
        EXPECT_FALSE(rawEventsLeft());
        // A metadata record goes with the last raw event that uses it: kept,
        // the table would fill up to its row limit.
        EXPECT_EQ(sql("SELECT count(*) FROM raw_events_metadata"), std::vector<std::string>{"0"});
        EXPECT_FALSE(bundle()) << "nothing left to bundle";
    }
}

TEST_F(MeasurementBundlingTest, TheStoredBundleCarriesEventsTimesIndexAndPreviousBundle) {
    const MSRPBMeasurementBundle meta = metadata();
    store("ad_impression", kTenOClock + 10, meta);
    store("level_up", kTenOClock + 20, meta);
    store("late", kTenOClock + 3700, meta);
    ASSERT_EQ(bundleAll().size(), 2u);
    std::vector<MSRPBMeasurementBundle> bundles = queued();
    const MSRPBMeasurementBundle& first = bundles[0];
    const MSRPBMeasurementBundle& second = bundles[1];
    EXPECT_EQ(eventNames(first), (std::vector<std::string>{"_ai", "level_up"}));
    EXPECT_EQ(MSRPBGetInt64(first, Slot::kStartTimestamp), MSRMillisecondsFromSeconds(kTenOClock + 10));
    EXPECT_EQ(MSRPBGetInt64(first, Slot::kEndTimestamp), MSRMillisecondsFromSeconds(kTenOClock + 20));
    EXPECT_FALSE(MSRPBHasField(first, Slot::kPreviousBundleStartTimestamp));
    EXPECT_FALSE(MSRPBHasField(first, Slot::kPreviousBundleEndTimestamp));
    EXPECT_EQ(MSRPBGetInt32(second, Slot::kBundleIndex), MSRPBGetInt32(first, Slot::kBundleIndex) + 1);
    EXPECT_EQ(MSRPBGetInt64(second, Slot::kPreviousBundleStartTimestamp),
              MSRMillisecondsFromSeconds(kTenOClock + 10));
    EXPECT_EQ(MSRPBGetInt64(second, Slot::kPreviousBundleEndTimestamp),
              MSRMillisecondsFromSeconds(kTenOClock + 20));

    // "_ai" is internal and keeps the previous time of its own aggregates.
    EXPECT_FALSE(aggregates("ad_impression"));
    EXPECT_EQ(aggregates("_ai")->lifetimeCount(), 1);
    EXPECT_EQ(aggregates("level_up")->lastFireTimestamp(), kTenOClock + 20);

}

// The token ties sessions together across devices: it leaves only with the
// feature on and analytics storage not denied at the moment of bundling,
// whatever the metadata recorded when the events were written.
TEST_F(MeasurementBundlingTest, TheSessionStitchingTokenLeavesOnlyWithTheFeatureOnAndStorageNotDenied) {
    struct StitchingCase {
        const char* feature;
        const char* analyticsStorage;  // nullptr: never set
        bool tokenKept;
    };
    const StitchingCase cases[] = {
        {"1", nullptr, true}, {"1", "granted", true}, {"1", "denied", false}, {"0", "granted", false}};
    double time = kTenOClock;
    for (const StitchingCase& c : cases) {
        SCOPED_TRACE(std::string("feature ") + c.feature + ", analytics storage " +
                     (c.analyticsStorage ? c.analyticsStorage : "unset"));
        remoteConfig().setServerSettings({{"measurement.session_stitching_token_enabled", std::string(c.feature)}});
        MSRConsentSettingsUtil::clearAllSettings();
        if (c.analyticsStorage) MSRConsentSettingsUtil::updateSettings({{"analytics_storage", c.analyticsStorage}}, 10);
        MSRPBMeasurementBundle meta = metadata();
        MSRPBSetString(meta, Slot::kSessionStitchingToken, "TOKEN");
        store("level_up", time, meta);
        time += 3600;
        ASSERT_TRUE(bundle());
        const MSRPBMeasurementBundle last = queued().back();
        EXPECT_EQ(eventNames(last), std::vector<std::string>{"level_up"});
        EXPECT_EQ(MSRPBGetString(last, Slot::kSessionStitchingToken),
                  c.tokenKept ? std::optional<std::string>("TOKEN") : std::nullopt);
    }
}

TEST_F(MeasurementBundlingTest, ARunOfBlocklistedEventsIsDeletedWithoutABundle) {
    remoteConfig().setServerSettings({{"measurement.upload.blacklist_public", std::string("1")}});
    store("level_up", kTenOClock, metadata());
    store("level_down", kTenOClock, metadata());
    codes();
    EXPECT_TRUE(bundle());
    EXPECT_TRUE(queued().empty());
    EXPECT_FALSE(rawEventsLeft());
    const std::vector<int64_t> lines = codes();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), 23100), 1) << "Rejected all events.";
    EXPECT_FALSE(bundle()) << "nothing was deleted the second time";
}

TEST_F(MeasurementBundlingTest, ASessionStartResetsSessionCountsBeforeThisBundleIsCounted) {
    for (const char* name : {"level_up", "other"}) {
        ASSERT_TRUE(database().updateEventAggregates(
            *MSREventAggregates::initWithName(name, 7, 0, 5, kTenOClock - 100), nullptr));
    }
    store("_s", kTenOClock, metadata());
    store("level_up", kTenOClock + 1, metadata());
    ASSERT_TRUE(bundle());
    EXPECT_EQ(aggregates("level_up")->currentSessionCount(), 1);
    EXPECT_EQ(aggregates("level_up")->lifetimeCount(), 8);
    EXPECT_EQ(aggregates("other")->currentSessionCount(), 0);
    // The event carries the time of its previous occurrence.
    std::vector<MSRPBEvent> events = MSRPBGetMessageArray<MSRPBEvent>(queued()[0], Slot::kEvents);
    EXPECT_EQ(MSRPBGetInt64(events[1], MSREventSlot::kPreviousTimestamp),
              MSRMillisecondsFromSeconds(kTenOClock - 100));
}

TEST_F(MeasurementBundlingTest, EngagementTimeAddsUpExceptForFirstRunEngagement) {
    // Each round adds 150 ms; the first-run engagement of 1000 ms never counts.
    const std::pair<bool, int64_t> rounds[] = {{false, 150}, {false, 300}, {true, 450}};
    for (const auto& [sessionStart, lifetime] : rounds) {
        if (sessionStart) store("_s", kTenOClock, metadata());
        store("_e", kTenOClock + 1, metadata(), {{"_et", foundation::Value(int64_t{100})}});
        store("_e", kTenOClock + 2, metadata(), {{"_et", foundation::Value(int64_t{50})}});
        store("_e", kTenOClock + 3, metadata(),
              {{"_et", foundation::Value(int64_t{1000})}, {"_fr", foundation::Value(int64_t{1})}});
        ASSERT_TRUE(bundle());
        const MSRPBMeasurementBundle last = queued().back();
        EXPECT_EQ(attributeValue(last, "_lte"), lifetime);
        EXPECT_EQ(attributeValue(last, "_se"), sessionStart ? 150 : lifetime);
        EXPECT_EQ(database().userAttributeWithName("_lte", nullptr)->value().int64Value(), lifetime);
        EXPECT_EQ(eventNames(last).size(), sessionStart ? 4u : 3u);
    }
    remoteConfig().setServerSettings({{"measurement.collection.redundant_engagement_removal_enabled", std::string("1")}});
    store("_e", kTenOClock + 1, metadata(), {{"_et", foundation::Value(int64_t{10})}});
    store("_e", kTenOClock + 2, metadata(), {{"_fr", foundation::Value(int64_t{1})}});
    ASSERT_TRUE(bundle());
    EXPECT_EQ(eventNames(queued().back()), (std::vector<std::string>{"_e"}));
}

// The session bookkeeping failing does not cost the bundle its engagement.
TEST_F(MeasurementBundlingTest, EngagementIsCountedWhenSessionCountsCannotBeCleared) {
    ASSERT_TRUE(database().updateEventAggregates(*MSREventAggregates::initWithName("other", 7, 0, 5, kTenOClock - 100),
                                                 nullptr));
    sql("CREATE TRIGGER refuse BEFORE UPDATE OF current_session_count ON events WHEN NEW.current_session_count = 0"
        " BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    store("_s", kTenOClock, metadata());
    store("_e", kTenOClock + 1, metadata(), {{"_et", foundation::Value(int64_t{100})}});
    ASSERT_TRUE(bundle());
    EXPECT_TRUE(logged(23185));
    EXPECT_EQ(attributeValue(queued().back(), "_lte"), 100);
    EXPECT_EQ(attributeValue(queued().back(), "_se"), 100);
}

// A damaged page of the metadata table costs its rows, not the events that
// point to them: they go out with the metadata of the current identity.
TEST_F(MeasurementBundlingTest, EventsWhoseMetadataRowIsLostGoOutWithTheCurrentMetadata) {
    store("level_up", kTenOClock + 1, metadata("G111", "lost"));
    store("level_down", kTenOClock + 2, metadata("G111", "lost"));
    sql("DELETE FROM raw_events_metadata");
    ASSERT_EQ(bundleAll(), (std::vector<std::vector<std::string>>{{"level_up", "level_down"}}));
    EXPECT_FALSE(logged(12072));
    const MSRPBMeasurementBundle sent = queued().back();
    EXPECT_NE(MSRPBGetString(sent, Slot::kDeviceModel), "lost");
    EXPECT_TRUE(MSRPBGetString(sent, Slot::kAppID).has_value());
}

TEST_F(MeasurementBundlingTest, AFailedBundleLeavesEverythingAsItWas) {
    std::optional<MSREventAggregates> before = MSREventAggregates::initWithName("level_up", 3, 0, 3, 50);
    ASSERT_TRUE(database().updateEventAggregates(*before, nullptr));
    std::optional<MSRAppMetadata> appBefore = database().queryAppMetadata(nullptr);
    persistedConfig().setPreviousBundledConsentSignals(std::string("G111"));
    engine().setShouldUpdateNPAUserProperty(true);
    // A bundle whose events all lie at time 0 has no valid end time, so the
    // queue refuses it at the very end of the transaction.
    store("level_up", 0, metadata("G110"), {{"_et", foundation::Value(int64_t{100})}}, true);
    store("_s", 0, metadata("G110"));
    EXPECT_FALSE(bundle());
    EXPECT_TRUE(logged(23115));
    EXPECT_TRUE(rawEventsLeft());
    EXPECT_TRUE(queued().empty());
    EXPECT_EQ(aggregates("level_up")->lifetimeCount(), 3);
    EXPECT_EQ(aggregates("level_up")->currentSessionCount(), 3);
    EXPECT_FALSE(aggregates("_s"));
    EXPECT_FALSE(database().userAttributeWithName("_lte", nullptr));
    EXPECT_EQ(database().queryAppMetadata(nullptr)->lastBundleIndex(), appBefore->lastBundleIndex());
    EXPECT_EQ(database().dailyCounts(nullptr)->realtimeCount(), 0);
    // Persisted decisions of the rolled-back bundle are not kept either.
    EXPECT_EQ(persistedConfig().previousBundledConsentSignals(), "G111");
    EXPECT_TRUE(engine().shouldUpdateNPAUserProperty());
}

TEST_F(MeasurementBundlingTest, AggregatesAreSnapshotWhileAnalyticsStorageIsDenied) {
    std::optional<MSREventAggregates> start = MSREventAggregates::initWithName("level_up", 10, 0, 0, 1);
    ASSERT_TRUE(database().updateEventAggregates(*start, nullptr));
    // Granted, denied (snapshot of 11, counting goes on), denied, granted
    // (the snapshot is back, then this bundle counts), granted.
    const std::pair<const char*, int32_t> steps[] = {{"G111", 11}, {"G110", 12}, {"G11D", 13}, {"G111", 12}, {"G111", 13}};
    double time = kTenOClock;
    for (const auto& [signals, lifetimeAfter] : steps) {
        SCOPED_TRACE(signals);
        store("level_up", time, metadata(signals));
        time += 3600;
        ASSERT_TRUE(bundle());
        EXPECT_EQ(aggregates("level_up")->lifetimeCount(), lifetimeAfter);
        EXPECT_EQ(persistedConfig().previousBundledConsentSignals(), signals);
    }
}

TEST_F(MeasurementBundlingTest, AConversionOverTheDailyCapLosesItsMark) {
    const int32_t day = MSRDailyCounts::dayForTime(now(), persistedConfig().midnightOffset());
    remoteConfig().setServerSettings({{"measurement.upload.max_conversions_per_day", std::string("1")}});
    std::optional<MSREvent> purchase = MSREvent::initWithOrigin("app", true, "purchase", now(), 0, {});
    purchase->setConversion(true);
    MSRDailyCounts counts(day, 0, 5, 5, 0, 0, 0);
    EXPECT_TRUE(engine().checkConversion(*purchase, counts));
    EXPECT_EQ(counts.allEventsCount(), 5);
    EXPECT_FALSE(engine().checkConversion(*purchase, counts));
    EXPECT_FALSE(purchase->isConversion());
    EXPECT_EQ(counts.conversionsCount(), 1);
}

TEST_F(MeasurementBundlingTest, MetadataFollowsTheConsentOfItsMoment) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"denied", "G1-0", false}, {"granted", "G1-1", true}};
    for (const auto& [analyticsStorage, signals, appInstanceID] : cases) {
        MSRConsentSettingsUtil::updateSettings({{"analytics_storage", analyticsStorage}}, 10);
        std::optional<MSRUserAttribute> level =
            MSRUserAttribute::initWithOrigin("app", "level", MSRValue(int64_t{3}), now());
        MSRPBMeasurementBundle meta = engine().createRawEventMetadataWithUserAttributes({*level});
        EXPECT_EQ(MSRPBGetString(meta, Slot::kConsentSignals), signals);
        EXPECT_EQ(MSRPBHasField(meta, Slot::kAppInstanceID), appInstanceID);
        EXPECT_EQ(attributeValue(meta, "level"), 3);
    }
}

}  // namespace
