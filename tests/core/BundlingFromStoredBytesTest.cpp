// Bundling takes most stored events into the bundle straight from their
// stored bytes. Every run below is bundled twice, from the same start, once
// that way and once with every event made into an event object: the stored
// bundles, the aggregates, the daily counts, the engagement properties and
// the bundle bookkeeping must come out the same, byte for byte.

#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <sstream>
#include <tuple>

#include "MeasurementFixture.h"
#include "analytics/audience/MSRAudienceEvaluator.h"
#include "analytics/core/MSRBundleFields.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "platform/foundation/FileSystem.h"
#include "platform/security/Compression.h"
#include "tests/storage/StoredEventBytes.h"

namespace {

namespace Slot = MSRBundleSlot;
using foundation::Value;

// 2026-03-02 10:00:00 UTC, on an hour boundary.
constexpr double kTenOClock = 1772445600;

// One stored raw event: made by the engine's event model, or stored bytes
// written by hand.
struct Row {
    std::string name;
    double offset = 0;  // seconds after ten o'clock
    MSRObjectDictionary parameters = {};
    double previous = 0;  // seconds after ten o'clock; 0: none
    bool realtime = false;
    bool conversion = false;
    std::optional<std::vector<uint8_t>> bytes = std::nullopt;
};

struct Case {
    const char* title;
    std::vector<Row> rows;
    std::map<std::string, MSRSettingValue> settings = {};
    // The server's rules: (name, blocklisted, custom conversion).
    std::vector<std::tuple<std::string, bool, bool>> eventRules = {};
    // Names with aggregates before the run, and the last fire of each.
    std::map<std::string, double> seen = {};
    // Audiences evaluated on the device (the engine's own evaluator).
    std::vector<MSRPBAudience> audiences = {};
};

// What a run leaves behind.
struct Outcome {
    std::vector<std::vector<uint8_t>> bundles;  // queue rows, inflated
    std::vector<std::string> state;             // everything else, as text
};

class BundlingFromStoredBytesTest : public MeasurementFixture {
  protected:
    static MSRPBMeasurementBundle metadata() {
        MSRPBMeasurementBundle bundle;
        MSRPBSetInt32(bundle, Slot::kProtocolVersion, 1);
        MSRPBSetString(bundle, Slot::kAppID, "app.calvaro");
        MSRPBSetString(bundle, Slot::kConsentSignals, "G111");
        MSRUserAttribute level = *MSRUserAttribute::initWithOrigin("app", "level", MSRValue(int64_t{3}), kTenOClock);
        MSRPBSetMessageArray(bundle, Slot::kUserAttributes,
                             std::vector<MSRPBUserAttribute>{level.protoUserAttribute()});
        return bundle;
    }

    void store(const Row& row) {
        const MSRPBMeasurementBundle meta = metadata();
        MSRError error;
        ASSERT_TRUE(database().insertIfNotExistsRawEventMetadata(meta, &error)) << error.description();
        const int64_t fingerprint = static_cast<int64_t>(msr_64LSBMD5(*meta.protoBuffer()));
        const double time = kTenOClock + row.offset;
        if (row.bytes) {
            MSRSqliteRecord record = {{"name", row.name},
                                      {"timestamp", time},
                                      {"metadata_fingerprint", fingerprint},
                                      {"data", *row.bytes},
                                      {"is_realtime", int64_t{0}}};
            ASSERT_TRUE(database().insertDataType(record, "raw_events", &error)) << error.description();
            return;
        }
        std::optional<MSREvent> event = MSREvent::initWithOrigin(
            "app", row.name[0] != '_', row.name, time, row.previous ? kTenOClock + row.previous : 0,
            row.parameters);
        ASSERT_TRUE(event) << row.name;
        if (row.realtime) event->setRealtime(true);
        if (row.conversion) event->setConversion(true);
        ASSERT_TRUE(database().insertRawEvent(event, fingerprint, row.realtime, &error)) << error.description();
    }

    // Bundles the case's run in a fresh engine, from stored bytes or not.
    Outcome run(const Case& c, bool fromStoredBytes) {
        stopEngine();
        std::filesystem::remove_all(home());
        std::filesystem::create_directories(home());
        if (!c.audiences.empty()) MSRRegisterAudience();
        startEngine(options());
        Outcome outcome;
        if (::testing::Test::HasFatalFailure()) return outcome;
        if (!c.audiences.empty()) {
            runOnWorkerQueue([&] { EXPECT_TRUE(engine().audience()->updateAudiences(c.audiences)); });
        }
        if (!c.eventRules.empty()) {
            MSRPBMeasurementConfig config;
            MSRPBSetInt64(config, 0, 1);
            MSRPBSetString(config, 1, options().appID);
            std::vector<MSRPBEventConfig> rules;
            for (const auto& [name, blocklisted, conversion] : c.eventRules) {
                MSRPBEventConfig rule;
                MSRPBSetString(rule, 0, name);
                MSRPBSetBool(rule, 1, blocklisted);
                MSRPBSetBool(rule, 2, conversion);
                rules.push_back(rule);
            }
            MSRPBSetMessageArray(config, 4, rules);
            runOnWorkerQueue([&] { EXPECT_TRUE(remoteConfig().updateMeasurementConfig(config)); });
        }
        remoteConfig().setServerSettings(c.settings);
        for (const auto& [name, last] : c.seen) {
            EXPECT_TRUE(database().updateEventAggregates(
                *MSREventAggregates::initWithName(name, 4, 2, 3, kTenOClock + last), nullptr));
        }
        for (const Row& row : c.rows) store(row);
        engine().setBundlingFromStoredBytesForTesting(fromStoredBytes);
        for (int i = 0; i < 20; ++i) {
            bool made = false;
            runOnWorkerQueue([&] { made = engine().bundleRawEvents(); });
            if (!made) break;
        }
        outcome.bundles = queueRows();
        std::set<std::string> names = {"_ai", "ad_impression"};
        for (const Row& row : c.rows) names.insert(row.name);
        for (const auto& [name, last] : c.seen) names.insert(name);
        for (const std::string& name : names) {
            std::optional<MSREventAggregates> a = database().eventAggregatesWithName(name, nullptr);
            std::ostringstream text;
            text << "aggregates " << name;
            if (a) {
                text << " " << a->lifetimeCount() << " " << a->currentBundleCount() << " "
                     << a->currentSessionCount() << " " << std::to_string(a->lastFireTimestamp());
            }
            outcome.state.push_back(text.str());
        }
        std::optional<MSRDailyCounts> counts = database().dailyCounts(nullptr);
        std::ostringstream text;
        // (The day depends on the installation's own midnight offset.)
        text << "counts " << counts->allEventsCount() << " " << counts->conversionsCount()
             << " " << counts->realtimeCount();
        outcome.state.push_back(text.str());
        std::optional<MSRAppMetadata> app = database().queryAppMetadata(nullptr);
        outcome.state.push_back("app metadata " + std::to_string(app->lastBundleIndex()) + " " +
                                std::to_string(app->lastBundleStartTimestamp()) + " " +
                                std::to_string(app->lastBundleEndTimestamp()));
        for (const char* name : {"_lte", "_se"}) {
            std::optional<MSRUserAttribute> attribute = database().userAttributeWithName(name, nullptr);
            outcome.state.push_back(std::string(name) + " " +
                                    (attribute ? attribute->value().description() : std::string("-")));
        }
        outcome.state.push_back("raw events left " +
                                std::to_string(!database().isRawEventsTableEmpty(nullptr).value_or(false)));
        return outcome;
    }

    // The queue's stored bundles, inflated, in queue order.
    std::vector<std::vector<uint8_t>> queueRows() {
        std::vector<std::vector<uint8_t>> rows;
        for (const std::string& stored : sql("SELECT data FROM queue ORDER BY rowid")) {
            std::optional<std::vector<uint8_t>> inflated = security::inflate({stored.begin(), stored.end()});
            EXPECT_TRUE(inflated);
            rows.push_back(inflated.value_or(std::vector<uint8_t>{}));
        }
        return rows;
    }

    static std::vector<std::string> eventNames(const std::vector<uint8_t>& bytes) {
        std::vector<std::string> names;
        std::optional<MSRPBMeasurementBundle> bundle = MSRPBMeasurementBundle::initWithBuffer(bytes);
        if (!bundle) return {"(unreadable bundle)"};
        for (const auto& event : MSRPBGetMessageArray<MSRPBEvent>(*bundle, Slot::kEvents))
            names.push_back(MSRPBGetString(event, MSREventSlot::kName).value_or(""));
        return names;
    }
};

// A typical event's parameters: text, integers (the extremes too) and
// doubles, in no particular order. The road of objects reads them back from
// the stored bytes, so a value it lost or changed shows as a difference.
MSRObjectDictionary typical(int i) {
    return {{"form", Value("Ökonomie 漢字")},  {"steps", Value(12 + i)},        {"parameter_a", Value(2.5)},
            {"parameter_b", Value(-1)},     {"big", Value(INT64_MIN)},        {"ratio", Value(-0.0)},
            {"text", Value(std::string(200, 'x'))}, {"top", Value(INT64_MAX)}, {"empty", Value("")},
            {"tiny", Value(std::numeric_limits<double>::denorm_min())}};
}

TEST_F(BundlingFromStoredBytesTest, BundlesAreTheSameWithOrWithoutEventObjects) {
    const StoredParam storedItems = {"items", {}, {}, {}, {{{}, {}, {}, {}, {{"id", "sku"}}}}};
    const MSRObjectDictionary items = {
        {"items", Value(Value::List{Value(Value::Dictionary{{"item_id", Value("sku")}})})}};
    // Parameters whose encoding needs a length of two bytes.
    MSRObjectDictionary many;
    for (int i = 0; i < 20; ++i) many.emplace("p" + std::to_string(i), Value(std::string(30, 'a' + i)));
    const Case cases[] = {
        {"plain events, first seen and seen before, with a previous time stored and none",
         {{"level_up", 1, typical(1)}, {"level_up", 2, typical(2)}, {"kal_calculate", 3, typical(3), 2.5},
          {"share", 4, many}, {"late", 10, {}, 5}, {"early", 10, {}, 0}},
         {},
         {},
         {{"kal_calculate", -50}, {"late", 20}}},
        {"items lists among plain events",
         {{"view_item", 1, items}, {"level_up", 2, typical(0)}, {"view_item", 3, items}}},
        {"conversions and real-time events, both caps reached",
         {{"purchase", 1, {}, 0, false, true},
          {"level_up", 2, {}, 0, true},
          {"level_up", 3, {}, 0, true},
          {"purchase", 4, {}, 0, false, true},
          {"level_up", 5, typical(4)}},
         {{"measurement.upload.max_realtime_events_per_day", int64_t{1}},
          {"measurement.upload.max_conversions_per_day", int64_t{1}}}},
        {"a custom conversion and a blocklisted name",
         {{"sign_up", 1, {}}, {"level_up", 2, {}}, {"banned", 3, {}}, {"level_up", 4, {}}},
         {},
         {{"sign_up", false, true}, {"banned", true, false}}},
        {"ad impressions are renamed, with and without a value",
         {{"ad_impression", 1, {{"value", Value(1.5)}, {"currency", Value("EUR")}}},
          {"ad_impression", 2, {{"value", Value(1.5)}}},
          {"_ai", 3, {}, 0, false, false, storedEventBytes({{"_o", "app"}, {"value", "x"}})},
          {"level_up", 4, {}}}},
        {"engagement, first-run engagement removed and a session start",
         {{"_e", 1, {{"_et", Value(1200)}}},
          {"_e", 2, {{"_et", Value(800)}, {"_fr", Value(1)}}},
          {"_s", 3, {}},
          {"_e", 4, {{"_et", Value(50)}}}},
         {{"measurement.collection.redundant_engagement_removal_enabled", int64_t{1}}},
         {},
         {{"level_up", -10}}},
        {"first-run engagement kept",
         {{"_e", 1, {{"_et", Value(800)}, {"_fr", Value(1)}}}, {"_e", 2, {{"_et", Value(30)}}}}},
        {"everything blocklisted",
         {{"level_up", 1, {}}, {"share", 2, {}}},
         {{"measurement.upload.blacklist_public", int64_t{1}}}},
        {"stored bytes with unsorted and repeated names",
         {{"level_up", 1, {}, 0, false, false, storedEventBytes({{"_o", "app"}, {"b", {}, 2}, {"a", "x"}})},
          {"level_up", 2, {}, 0, false, false, storedEventBytes({{"_o", "app"}, {"a", {}, 1}, {"a", {}, 2}})},
          {"level_up", 3, {}, 0, false, false, storedEventBytes({{"_o", "app"}, {"a", "x"}, {"b", {}, {}, 0.5}})}}},
        {"stored bytes that are not flat, or need cleaning",
         {{"level_up", 1, {}, 0, false, false, storedEventBytes({{"_o", "app"}, storedItems})},
          {"level_up", 2, {}, 0, false, false, storedEventBytes({{"_o", "app"}, {"bad-name", "x"}})},
          {"_x", 3, {}, 0, false, false, storedEventBytes({{"_o", "auto"}, {"t", std::string(400, 'y')}})},
          {"level_up", 4, {}, 0, false, false, storedEventBytes({{"_o", "app"}, {"a", "x"}}, 1000)}}},
        {"unreadable rows are deleted and end the run",
         {{"level_up", 1, {}},
          {"level_up", 2, {}, 0, false, false, storedEventBytes({{"a", "x"}})},
          {"level_up", 3, {}, 0, false, false, storedEventBytes({{"_o", {}, 5}})},
          {"level_up", 4, {}, 0, false, false, std::vector<uint8_t>{0xFF, 0x01}},
          {"bad name", 5, {}, 0, false, false, storedEventBytes({{"_o", "app"}})},
          {"level_up", 6, {}}}},
        {"the count limit and an hour boundary split the run",
         {{"a1", 1, {}}, {"a2", 2, {}}, {"a3", 3599, {}}, {"a1", 3600, {}}, {"a2", 3601, {}}, {"a3", 3602, {}}},
         {{"measurement.upload.max_events_per_bundle", int64_t{2}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        const Outcome objects = run(c, false);
        const Outcome bytes = run(c, true);
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
        EXPECT_EQ(bytes.state, objects.state);
        ASSERT_EQ(bytes.bundles.size(), objects.bundles.size());
        for (size_t i = 0; i < bytes.bundles.size(); ++i) {
            EXPECT_EQ(eventNames(bytes.bundles[i]), eventNames(objects.bundles[i])) << "bundle " << i;
            EXPECT_TRUE(bytes.bundles[i] == objects.bundles[i]) << "bundle " << i << " differs";
        }
    }
}

// Audience filters of every kind over a run that mixes rows taken as stored
// with events that bundling changes (renamed, counted as conversions and
// real-time) and events whose stored bytes are not in the simple form.
MSRPBFilter storedBytesParameterFilter(const std::string& name, int32_t stringType, const std::string& expression,
                            int32_t numberType = 0, const std::string& number = "") {
    MSRPBFilter filter;
    MSRPBSetString(filter, MSRFilterSlot::kParameterName, name);
    if (numberType) {
        MSRPBNumberFilter comparison;
        MSRPBSetInt32(comparison, MSRNumberFilterSlot::kComparisonType, numberType);
        MSRPBSetString(comparison, MSRNumberFilterSlot::kComparisonValue, number);
        MSRPBSetMessage(filter, MSRFilterSlot::kNumberFilter, comparison);
    } else {
        MSRPBStringFilter text;
        MSRPBSetInt32(text, MSRStringFilterSlot::kMatchType, stringType);
        MSRPBSetString(text, MSRStringFilterSlot::kExpression, expression);
        MSRPBSetMessage(filter, MSRFilterSlot::kStringFilter, text);
    }
    return filter;
}

std::vector<MSRPBAudience> storedBytesAudiences() {
    struct Spec {
        int32_t audience;
        const char* name;
        std::vector<MSRPBFilter> parameters;
        bool dynamic, sequence, sessionScoped;
        int32_t countAbove;
    };
    const Spec specs[] = {
        {1, "level_up", {storedBytesParameterFilter("steps", 0, "", 2, "12")}, false, false, false, 0},
        {1, "level_up", {storedBytesParameterFilter("form", 2, "KONOMIE")}, true, false, false, 0},
        {2, "kal_calculate", {storedBytesParameterFilter("ratio", 0, "", 4, "-1")}, false, true, false, 0},
        {2, "level_up", {storedBytesParameterFilter("text", 1, "^x+$")}, false, true, false, 0},
        {3, "_ai", {storedBytesParameterFilter("value", 0, "", 2, "1")}, false, false, true, 0},
        {3, "purchase", {}, false, false, false, 1},
        {4, "share", {storedBytesParameterFilter("p3", 1, "d{30}")}, true, false, false, 0},
    };
    std::map<int32_t, std::vector<MSRPBEventFilter>> byAudience;
    for (const Spec& spec : specs) {
        MSRPBEventFilter filter;
        MSRPBSetInt32(filter, MSREventFilterSlot::kFilterID, static_cast<int32_t>(byAudience[spec.audience].size()));
        MSRPBSetString(filter, MSREventFilterSlot::kEventName, spec.name);
        if (!spec.parameters.empty())
            MSRPBSetMessageArray(filter, MSREventFilterSlot::kParameterFilters, spec.parameters);
        if (spec.countAbove) {
            MSRPBNumberFilter count;
            MSRPBSetInt32(count, MSRNumberFilterSlot::kComparisonType, 2);
            MSRPBSetString(count, MSRNumberFilterSlot::kComparisonValue, std::to_string(spec.countAbove));
            MSRPBSetMessage(filter, MSREventFilterSlot::kCountFilter, count);
        }
        if (spec.dynamic) MSRPBSetBool(filter, MSREventFilterSlot::kDynamic, true);
        if (spec.sequence) MSRPBSetBool(filter, MSREventFilterSlot::kSequence, true);
        if (spec.sessionScoped) MSRPBSetBool(filter, MSREventFilterSlot::kSessionScoped, true);
        byAudience[spec.audience].push_back(std::move(filter));
    }
    std::vector<MSRPBAudience> audiences;
    for (auto& [id, filters] : byAudience) {
        MSRPBAudience audience;
        MSRPBSetInt32(audience, MSRAudienceSlot::kAudienceID, id);
        MSRPBSetMessageArray(audience, MSRAudienceSlot::kEventFilters, filters);
        audiences.push_back(std::move(audience));
    }
    return audiences;
}

TEST_F(BundlingFromStoredBytesTest, AudienceResultsAreTheSameWithOrWithoutEventObjects) {
    MSRObjectDictionary many;
    for (int i = 0; i < 20; ++i) many.emplace("p" + std::to_string(i), Value(std::string(30, 'a' + i)));
    const Case cases[] = {
        {"event filters over stored rows, renamed, converted and real-time events",
         {{"level_up", 1, typical(1)},
          {"kal_calculate", 2, typical(2), 1.5},
          {"ad_impression", 3, {{"value", Value(1.5)}, {"currency", Value("EUR")}}},
          {"purchase", 4, {}, 0, false, true},
          {"level_up", 5, typical(3), 0, true},
          {"share", 6, many},
          {"purchase", 7, {}, 0, false, true},
          {"level_up", 8, {}, 0, false, false, storedEventBytes({{"_o", "app"}, {"b", {}, 2}, {"a", "x"}})},
          {"level_up", 9, typical(0)}},
         {{"measurement.upload.max_realtime_events_per_day", int64_t{1}}},
         {{"sign_up", false, true}},
         {{"level_up", -30}, {"purchase", -20}},
         storedBytesAudiences()},
        {"a session start clears session-scoped results; the count limit splits the run",
         {{"_ai", 1, {}, 0, false, false, storedEventBytes({{"_o", "app"}, {"value", {}, 2}})},
          {"_s", 2, {}},
          {"_ai", 3, {}, 0, false, false, storedEventBytes({{"_o", "app"}, {"value", {}, 3}})},
          {"level_up", 4, typical(5)},
          {"level_up", 5, typical(6)}},
         {{"measurement.upload.max_events_per_bundle", int64_t{2}}},
         {},
         {},
         storedBytesAudiences()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        const Outcome objects = run(c, false);
        const Outcome bytes = run(c, true);
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
        EXPECT_EQ(bytes.state, objects.state);
        ASSERT_EQ(bytes.bundles.size(), objects.bundles.size());
        size_t results = 0;
        for (size_t i = 0; i < bytes.bundles.size(); ++i) {
            EXPECT_EQ(eventNames(bytes.bundles[i]), eventNames(objects.bundles[i])) << "bundle " << i;
            EXPECT_TRUE(bytes.bundles[i] == objects.bundles[i]) << "bundle " << i << " differs";
            std::optional<MSRPBMeasurementBundle> bundle = MSRPBMeasurementBundle::initWithBuffer(bytes.bundles[i]);
            ASSERT_TRUE(bundle);
            results += MSRPBGetMessageArray<MSRPBAudienceLeafFilterResult>(*bundle, Slot::kAudienceResults).size();
        }
        // The filters did see the events: results were sent.
        EXPECT_GT(results, 0u);
    }
}

// The road of objects is taken whenever something needs them: sampling and
// event filters see event objects.
class EventFilterAudience : public MSRAudience {
  public:
    using MSRAudience::MSRAudience;
    bool hasEventFilters() const override { return true; }
    bool evaluateFiltersForEvent(const MSREvent& event, const MSREventAggregates&,
                                 MSRAudienceTimestampsCache*) override {
        seen.push_back(event.name() + "@" + std::to_string(event.previousTimestamp()));
        return true;
    }
    std::vector<std::string> seen;
};

TEST_F(BundlingFromStoredBytesTest, EventFiltersStillSeeEveryEventWithItsPreviousTime) {
    // The audience comes in as every collaborator does: made by the registered
    // maker, over the engine's database, when the engine starts.
    std::shared_ptr<EventFilterAudience> audience;
    stopEngine();
    MSRComponentRegistry::registerMaker<MSRAudience>([&](const MSRComponentContext& context) {
        return audience = std::make_shared<EventFilterAudience>(context.database);
    });
    startEngine(options());
    MSRComponentRegistry::registerMaker<MSRAudience>({});
    ASSERT_EQ(engine().audience(), audience);
    ASSERT_TRUE(database().updateEventAggregates(
        *MSREventAggregates::initWithName("level_up", 1, 1, 1, kTenOClock - 5), nullptr));
    store({"level_up", 1, {}});
    store({"share", 2, {}});
    bool made = false;
    runOnWorkerQueue([&] { made = engine().bundleRawEvents(); });
    EXPECT_TRUE(made);
    EXPECT_EQ(audience->seen, (std::vector<std::string>{"level_up@" + std::to_string(kTenOClock - 5),
                                                         "share@" + std::to_string(0.0)}));
}

}  // namespace
