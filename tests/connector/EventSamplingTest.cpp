// Event sampling: the kept share over many events, the first event of a new
// account day, the state written back to the aggregates, and bundling that
// samples only outside debug mode.

#include <cmath>

#include "MeasurementFixture.h"
#include "analytics/connector/MSRConnector.h"
#include "analytics/connector/MSRMeasurementEventSampler.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "platform/security/Random.h"

namespace {

// 2026-03-02 10:00:00 UTC.
constexpr double kMorning = 1772445600;
constexpr int32_t kDay = static_cast<int32_t>(kMorning / 86400);

MSRPBEvent wireEvent(const std::string& name, double time, const MSRObjectDictionary& parameters = {},
                     double previous = 0) {
    return MSREvent::initWithOrigin("app", false, name, time, previous, parameters)->protoEvent();
}

std::vector<std::pair<std::string, int64_t>> integerParameters(const MSRPBEvent& event) {
    std::vector<std::pair<std::string, int64_t>> found;
    for (const MSRPBEventParam& param : MSRPBGetMessageArray<MSRPBEventParam>(event, MSREventSlot::kParams)) {
        const std::string name = MSRPBGetString(param, MSREventParamSlot::kName).value_or("");
        if (name == "_sr" || name == "_efs") found.emplace_back(name, MSRPBGetInt64(param, MSREventParamSlot::kIntValue));
    }
    return found;
}

using Marks = std::vector<std::pair<std::string, int64_t>>;

// Rolls scripted one draw at a time: a draw of 1000 wins at rate 1000, 1001
// loses (draws below 296 would be drawn again).
class ScriptedRolls {
public:
    explicit ScriptedRolls(const std::vector<bool>& wins) {
        for (bool win : wins) source_.append32(win ? 1000 : 1001);
        security::setRandomSource(&source_);
    }
    ~ScriptedRolls() { security::setRandomSource(nullptr); }

private:
    security::ScriptedRandomSource source_;
};

}  // namespace

class EventSamplingTest : public MeasurementFixture {
protected:
    EventSamplingTest() { MSRRegisterConnector(); }

    void SetUp() override {
        MeasurementFixture::SetUp();
        configure(true, {{"tap", 1000}});
        sampler_ = std::make_unique<MSRMeasurementEventSampler>(enginePointer()->database(),
                                                                enginePointer()->remoteConfigInstance());
    }
    // A measurement configuration as the server sends it.
    void configure(bool enabled, const std::map<std::string, std::optional<int32_t>>& rates,
                   const std::string& timeZoneOffsetMinutes = "0") {
        MSRPBMeasurementConfig config;
        MSRPBSetString(config, MSRConfigSlot::kAppID, options_.appID);
        std::vector<MSRPBSetting> settings;
        for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
                 {"measurement.event_sampling_enabled", enabled ? "1" : "0"},
                 {"measurement.account.time_zone_offset_minutes", timeZoneOffsetMinutes}}) {
            MSRPBSetting setting;
            MSRPBSetString(setting, MSRSettingSlot::kName, name);
            MSRPBSetString(setting, MSRSettingSlot::kValue, value);
            settings.push_back(setting);
        }
        MSRPBSetMessageArray(config, MSRConfigSlot::kSettings, settings);
        std::vector<MSRPBEventConfig> events;
        for (const auto& [name, rate] : rates) {
            MSRPBEventConfig event;
            MSRPBSetString(event, MSREventConfigSlot::kName, name);
            if (rate) MSRPBSetInt32(event, MSREventConfigSlot::kSamplingRate, *rate);
            events.push_back(event);
        }
        MSRPBSetMessageArray(config, MSRConfigSlot::kEventConfigs, events);
        bool updated = false;
        runOnWorkerQueue([&] { updated = remoteConfig().updateMeasurementConfig(config); });
        ASSERT_TRUE(updated);
    }
    void aggregates(const std::string& name, int32_t lastBundledDay) {
        auto row = MSREventAggregates::initWithName(name, 1, 1, 0, kMorning - 3600);
        row->setLastBundledDay(lastBundledDay);
        ASSERT_TRUE(database().updateEventAggregates(*row, nullptr));
    }
    MSREventAggregates stored(const std::string& name) { return *database().eventAggregatesWithName(name, nullptr); }
    std::vector<MSRPBEvent> sample(const std::vector<MSRPBEvent>& events) {
        std::optional<std::vector<MSRPBEvent>> kept;
        runOnWorkerQueue([&] { kept = sampler_->sampleEvents(events, nullptr); });
        EXPECT_TRUE(kept);
        return kept.value_or(std::vector<MSRPBEvent>{});
    }

    std::unique_ptr<MSRMeasurementEventSampler> sampler_;
};

// Over 100,000 events at rate 10 about one in ten is kept: the count lies
// within six standard deviations (about 570) of 10,000, and each kept event
// says which rate applied.
TEST_F(EventSamplingTest, KeptShareMatchesTheRate) {
    configure(true, {{"tap", 10}});
    aggregates("tap", kDay);
    std::vector<MSRPBEvent> events;
    events.reserve(100000);
    for (int i = 0; i < 100000; ++i) events.push_back(wireEvent("tap", kMorning + i * 0.1, {}, kMorning));
    std::vector<MSRPBEvent> kept = sample(events);
    const double expected = 10000;
    const double deviation = std::sqrt(100000 * 0.1 * 0.9);
    EXPECT_NEAR(static_cast<double>(kept.size()), expected, 6 * deviation);
    for (const MSRPBEvent& event : kept) ASSERT_EQ(integerParameters(event), (Marks{{"_sr", 10}}));
    EXPECT_EQ(stored("tap").lastSamplingRate(), 10);
    EXPECT_EQ(stored("tap").lastBundledDay(), kDay);
}

TEST_F(EventSamplingTest, EventsWithoutAUsableRateAreAllKeptUnmarked) {
    struct Case {
        const char* label;
        bool enabled;
        std::optional<int32_t> rate;
    };
    for (const Case& c : {Case{"sampling off", false, 1000}, Case{"no rate", true, std::nullopt},
                          Case{"rate 0", true, 0}, Case{"rate 1", true, 1}, Case{"rate 65536", true, 65536}}) {
        SCOPED_TRACE(c.label);
        configure(c.enabled, {{"tap", c.rate}});
        ScriptedRolls rolls({false, false, false});
        std::vector<MSRPBEvent> kept = sample({wireEvent("tap", kMorning), wireEvent("tap", kMorning + 1)});
        ASSERT_EQ(kept.size(), 2u);
        for (const MSRPBEvent& event : kept) EXPECT_TRUE(integerParameters(event).empty());
    }
}

TEST_F(EventSamplingTest, FirstEventOfANewDayIsKeptAndTheRestDropped) {
    struct Case {
        const char* label;
        int32_t lastBundledDay;
        size_t kept;
    };
    for (const Case& c : {Case{"bundled earlier today", kDay, 0}, Case{"bundled yesterday", kDay - 1, 1}}) {
        SCOPED_TRACE(c.label);
        aggregates("tap", c.lastBundledDay);
        ScriptedRolls rolls({false, false, false});
        std::vector<MSRPBEvent> kept =
            sample({wireEvent("tap", kMorning), wireEvent("tap", kMorning + 60), wireEvent("tap", kMorning + 120)});
        ASSERT_EQ(kept.size(), c.kept);
        if (c.kept) {
            EXPECT_EQ(integerParameters(kept[0]), (Marks{{"_sr", 1000}, {"_efs", 1}}));
        }
        EXPECT_EQ(stored("tap").lastSamplingRate(), 1000);
        EXPECT_EQ(stored("tap").lastBundledDay(), kDay);
        EXPECT_EQ(stored("tap").lastExemptFromSampling(), c.kept == 1);
    }
}

TEST_F(EventSamplingTest, DroppedComplexEventIsRememberedUntilTheNextKeptOne) {
    aggregates("tap", kDay);
    {
        ScriptedRolls rolls({false});
        EXPECT_TRUE(sample({wireEvent("tap", kMorning, {{"_eid", MSRValue(int64_t{42})}})}).empty());
    }
    EXPECT_EQ(stored("tap").lastSampledComplexEventID(), 42);
    {
        // A kept event keeps an "_sr" it already carries, without a second one.
        ScriptedRolls rolls({true});
        std::vector<MSRPBEvent> kept = sample({wireEvent("tap", kMorning + 1, {{"_sr", MSRValue(int64_t{7})}})});
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_EQ(integerParameters(kept[0]), (Marks{{"_sr", 7}}));
    }
    EXPECT_EQ(stored("tap").lastSampledComplexEventID(), std::nullopt);
    EXPECT_EQ(stored("tap").lastBundledTimestamp(), kMorning + 1);
}

TEST_F(EventSamplingTest, AccountTimeZoneSetsTheDayBoundary) {
    const double halfPastEleven = kDay * 86400.0 + 23.5 * 3600;
    EXPECT_EQ(sampler_->dayNumber(halfPastEleven), kDay);
    configure(true, {{"tap", 1000}}, "60");
    EXPECT_EQ(sampler_->dayNumber(halfPastEleven), kDay + 1);
}

// Bundling samples the stored events, except in debug mode.
TEST_F(EventSamplingTest, BundlingSamplesOutsideDebugModeOnly) {
    configure(true, {{"tap", 4}});
    for (bool debug : {false, true}) {
        SCOPED_TRACE(debug ? "debug" : "normal");
        monitor().setDebugModeEnabled(debug);
        MSRPBMeasurementBundle meta;
        MSRPBSetInt32(meta, MSRBundleSlot::kProtocolVersion, 1);
        MSRPBSetString(meta, MSRBundleSlot::kAppID, "app.calvaro");
        ASSERT_TRUE(database().insertIfNotExistsRawEventMetadata(meta, nullptr));
        const int64_t fingerprint = static_cast<int64_t>(msr_64LSBMD5(*meta.protoBuffer()));
        for (int i = 0; i < 800; ++i) {
            auto event = MSREvent::initWithOrigin("app", true, "tap", now() - 100 + i * 0.1, 0, {});
            ASSERT_TRUE(database().insertRawEvent(event, fingerprint, false, nullptr));
        }
        ASSERT_TRUE(database().commitPendingWrites());
        runOnWorkerQueue([&] { engine().bundleRawEvents(); });
        size_t events = 0, marked = 0;
        std::vector<MSRQueuedBundle> queued =
            database().queryBundlesWithCountLimit(1000, 1 << 30, nullptr).value_or(std::vector<MSRQueuedBundle>{});
        for (auto& [bundle, rowID] : queued) {
            for (const MSRPBEvent& event : MSRPBGetMessageArray<MSRPBEvent>(bundle, MSRBundleSlot::kEvents)) {
                ++events;
                if (!integerParameters(event).empty()) ++marked;
            }
            database().deleteBundlesWithRowIDs({rowID}, nullptr);
        }
        if (debug) {
            EXPECT_EQ(events, 800u);
            EXPECT_EQ(marked, 0u);
        } else {
            // One in four of 800 (deviation about 12); the first of the day
            // may be kept as exempt.
            EXPECT_NEAR(static_cast<double>(events), 200, 6 * 12.3);
            EXPECT_EQ(marked, events);
        }
    }
}
