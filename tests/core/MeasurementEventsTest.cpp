// Handling logged events before they are written, and an engine whose start failed.

#include <algorithm>
#include <fstream>
#include <functional>

#include "MeasurementEventsHarness.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/model/MSRPEventEditing.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Application.h"

namespace {

// The server's program as the engine sees it, scripted per test.
class ScriptedEditing : public MSRPEventEditing {
  public:
    void setModuleCreator(ModuleCreator, const std::string&) override {}
    bool loadProgram(const MSRPBProgram&, MSRError*) override { return true; }
    bool handleEvent(const MSRPEvent& event, MSRError* error) override {
        handled.push_back(event.name());
        if (whileHandling) whileHandling();
        if (fails) *error = MSRError::msr_errorWithCode(1, "program failed");
        return !fails && (context.outputEvent || !context.eventsToLog.empty());
    }
    bool hasEdits() const override { return context.outputEvent.has_value(); }
    bool hasCreatedEvents() const override { return !context.eventsToLog.empty(); }
    const MSRPEventContext& eventContext() const override { return context; }
    int64_t refusedEventCount() const override { return refused; }
    void stopRunsWithin(double seconds) override { stops.push_back(seconds); }
    void limitNextRun(double seconds) override { limits.push_back(seconds); }
    std::function<void()> whileHandling;
    std::vector<double> stops;
    std::vector<double> limits;  // what each run was given by limitNextRun
    bool fails = false;
    int64_t refused = 0;
    MSRPEventContext context;
    std::vector<std::string> handled;
};

}  // namespace

class MeasurementEventsTest : public MeasurementEventsHarness {
  protected:
    foundation::Value::Dictionary setDefaults(const std::optional<MSRObjectDictionary>& parameters) {
        onWorker([&] { engine().handleSetDefaultEventParametersOnWorkerQueue(parameters, false); });
        return persistedConfig().defaultEventParameters().value_or(foundation::Value::Dictionary{});
    }
    // A scripted program in the engine's place, and a configuration that
    // serves it one, to be added to before it is handed over.
    std::pair<std::shared_ptr<ScriptedEditing>, MSRPBMeasurementConfig> scriptedProgram() {
        auto editing = std::make_shared<ScriptedEditing>();
        MSRComponentRegistry::registerMaker<MSRPEventEditing>([editing](const MSRComponentContext&) { return editing; });
        MSRPBMeasurementConfig config;
        MSRPBSetInt64(config, 0, 1);
        MSRPBSetString(config, 1, engine().appID());
        MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::vector<MSRPBProgram>{MSRPBProgram()});
        return {editing, config};
    }
};

TEST_F(MeasurementEventsTest, DefaultParameters) {
    setDefaults(MSRObjectDictionary{{"a", 1}, {"c", "text"}});
    log("level_up", {{"a", 2}, {"b", 3}});
    log("_err", {{"_err", 4}}, "auto");
    StoredEvent levelUp = stored("level_up").at(0), error = stored("_err").at(0);
    EXPECT_TRUE(levelUp.has("a", MSRValue(int64_t{2})) && levelUp.has("b", MSRValue(int64_t{3})) &&
                levelUp.has("c", MSRValue("text")));
    EXPECT_FALSE(error.parameters.count("a") || error.parameters.count("c"));

    // (new defaults, all defaults after, error codes reported)
    const std::tuple<std::optional<MSRObjectDictionary>, foundation::Value::Dictionary, std::vector<int64_t>>
        cases[] = {
            {MSRObjectDictionary{{"a", foundation::Value::null()}}, {{"c", "text"}}, {}},  // removes only "a"
            {MSRObjectDictionary{{"l", foundation::Value(foundation::Value::List{})}}, {{"c", "text"}}, {27}},
            {MSRObjectDictionary{{"_x", 1}}, {{"c", "text"}}, {}},
            {MSRObjectDictionary{{"d", MSRValue(2.5)}}, {{"c", "text"}, {"d", 2.5}}, {}},
            {std::nullopt, {}, {}},  // nothing clears them all
        };
    for (const auto& [parameters, expected, errorCodes] : cases) {
        EXPECT_EQ(setDefaults(parameters), expected);
        EXPECT_EQ(takeErrorCodes(), errorCodes);
    }

    // Beyond the parameter limit the alphabetically last names go.
    MSRObjectDictionary many;
    for (int i = 0; i < 101; ++i) many.emplace("p" + std::to_string(1000 + i), i);
    auto kept = setDefaults(many);
    EXPECT_EQ(kept.size(), 100u);
    EXPECT_FALSE(kept.count("p1100"));
    EXPECT_EQ(takeErrorCodes(), std::vector<int64_t>{26});
}

class MeasurementAllowlistTest : public MeasurementEventsHarness {
    MeasurementOptions options() const override {
        MeasurementOptions options;
        options.safelistedEvents = std::vector<std::string>{"level_up"};
        return options;
    }
};

TEST_F(MeasurementAllowlistTest, OnlyListedEventsAreKeptAndMarked) {
    log("post");
    log("level_up");
    ASSERT_EQ(stored().size(), 1u);
    EXPECT_TRUE(stored("level_up").at(0).has("za_safelisted", MSRValue(int64_t{1})));
}

TEST_F(MeasurementEventsTest, FeatureRolloutsAndSubscriptions) {
    struct Step {
        std::string name;
        MSRObjectDictionary parameters;
        std::vector<std::string> newlyStored;
        std::optional<std::string> rollouts;  // after the step
    };
    const Step steps[] = {
        {"_ssr", {}, {}, std::nullopt},  // no rollouts yet and none given: a duplicate
        {"_ssr", {{"_ffr", ""}}, {}, std::nullopt},
        {"_ssr", {{"_ffr", "r1"}}, {"_ssr"}, "r1"},
        {"_ssr", {{"_ffr", "r1"}}, {}, "r1"},
        {"_s", {}, {"_ssr", "_s"}, "r1"},  // a session start writes the rollouts first
        {"_ssr", {{"_ffr", 5}}, {"_ssr"}, std::nullopt},  // not a text: cleared
        {"_s", {}, {"_s"}, std::nullopt},
        {"_assc", {{"_did", 7}}, {"_assc"}, std::nullopt},
        {"_assr", {{"_did", 7}}, {}, std::nullopt},  // one identifier table for every kind
        {"_iap", {{"_did", 8}, {"subscription", 1}}, {"_iap"}, std::nullopt},
        {"_iap", {{"_did", 8}, {"subscription", 1}}, {}, std::nullopt},
        {"_iap", {{"_did", 8}}, {"_iap"}, std::nullopt},      // a one-off purchase is never deduplicated
        {"_assc", {{"_did", "7"}}, {"_assc"}, std::nullopt},  // only integer identifiers count
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name + " #" + std::to_string(&step - steps));
        size_t before = stored().size();
        log(step.name, step.parameters, "auto");
        auto all = stored();
        std::vector<std::string> added;
        for (size_t i = before; i < all.size(); ++i) added.push_back(all[i].name);
        EXPECT_EQ(added, step.newlyStored);
        EXPECT_EQ(persistedConfig().vuzedezoFeatureRollouts(), step.rollouts);
        EXPECT_TRUE(!step.rollouts || added.empty() || all[before].has("_ffr", MSRValue(*step.rollouts)));
    }
}

TEST_F(MeasurementEventsTest, ASubscriptionDroppedForAFailedTrimCanComeAgain) {
    ASSERT_TRUE(database().performTransaction([&] {
        for (int i = 0; i < 1000; ++i)
            database().insertIfNotDuplicateSubscriptionID(std::to_string(i), nullptr);
        return true;
    }));
    execute(
        "CREATE TRIGGER refuse BEFORE DELETE ON subscriptions BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    log("_assc", {{"_did", 5000}}, "auto");
    EXPECT_TRUE(stored("_assc").empty());
    execute("DROP TRIGGER refuse;");
    log("_assc", {{"_did", 5000}}, "auto");
    EXPECT_EQ(stored("_assc").size(), 1u);
}

TEST_F(MeasurementEventsTest, InterceptorAndListeners) {
    size_t notified = 0, intercepted = 0;
    auto token = MSRAnalytics::addLogEventListener([&](const MSREvent&) { ++notified; });
    MSRLogEventInterceptor interceptor = [&](const std::string&, const std::string&,
                                             const MSRObjectDictionary& p,
                                             double) { intercepted += p.count("_si") + p.count("v"); };
    // origin, enabled, ignoreEnabled, ignoreInterceptor, interceptor set -> kept, listeners told
    const std::tuple<std::string, bool, bool, bool, bool, bool, bool> cases[] = {
        {"app", true, false, false, true, false, false},  // to the interceptor only
        {"app", true, false, true, true, true, true},
        {"am", true, false, false, true, true, false},  // ad exposure is never intercepted
        {"app", false, false, false, false, true, false},
        {"app", false, true, false, false, true, true},
    };
    for (const auto& [origin, enabled, ignoreEnabled, ignoreInterceptor, intercepts, kept, told] : cases) {
        size_t before = stored().size();
        notified = intercepted = 0;
        engine().logEvent(origin, true, "level_up", {{"v", 1}}, now(), enabled, ignoreEnabled,
                          ignoreInterceptor, intercepts ? interceptor : MSRLogEventInterceptor{},
                          MSRParameters{{"_si", MSRValue(int64_t{5})}});
        runUntilIdle();
        ASSERT_EQ(stored().size(), before + (kept ? 1 : 0)) << origin << enabled << ignoreEnabled;
        EXPECT_EQ(notified, told ? 1u : 0u);
        EXPECT_EQ(intercepted, kept ? 0u : 2u);  // the interceptor sees the screen too
        EXPECT_TRUE(!kept || stored().back().has("_si", MSRValue(int64_t{5})));
    }
    MSRAnalytics::removeLogEventListener(token);
}

TEST_F(MeasurementEventsTest, EventEditingProgram) {
    auto [editing, config] = scriptedProgram();
    ASSERT_TRUE(remoteConfig().updateMeasurementConfig(config));

    // A failing program stores the event unedited (the first one below) and
    // the upload schedule is still recomputed.
    editing->fails = true;
    codes();
    log("level_up", {{"v", 1}});
    std::vector<int64_t> lines = codes();
    EXPECT_TRUE(
        std::any_of(lines.begin(), lines.end(), [](int64_t code) { return code >= 23023 && code <= 23028; }));
    editing->fails = false;
    editing->context = {MSRPEvent("screen_view", now(), {{"v", 2}}),
                        {MSRPEvent("made", now(), {{"_o", "auto"}}), MSRPEvent("made", now(), {{"k", 2}})}};
    log("level_up", {{"v", 1}});
    auto all = stored();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_TRUE(all[0].name == "level_up" && all[0].has("v", MSRValue(int64_t{1})));
    EXPECT_TRUE(all[1].name == "_vs" && all[1].has("v", MSRValue(int64_t{2})));
    EXPECT_EQ(std::tuple(all[2].origin, all[3].origin), std::tuple("auto", "app"));
    MSRComponentRegistry::registerMaker<MSRPEventEditing>({});
}

TEST_F(MeasurementEventsTest, ErrorsOfCreatedEventsAreStoredWithoutReachingTheProgram) {
    auto [editing, config] = scriptedProgram();
    MSRPBEventConfig blocked;
    MSRPBSetString(blocked, MSREventConfigSlot::kName, "made_blocked");
    MSRPBSetBool(blocked, MSREventConfigSlot::kBlocklisted, true);
    MSRPBSetMessageArray(config, MSRConfigSlot::kEventConfigs, std::vector<MSRPBEventConfig>{blocked});
    ASSERT_TRUE(remoteConfig().updateMeasurementConfig(config));

    // Each created event with a blocked name is an error: stored as such,
    // never handed to the program, which would create more from it.
    editing->context = {std::nullopt, {MSRPEvent("made_blocked", now(), {}), MSRPEvent("made_blocked", now(), {})}};
    editing->refused = 7;
    codes();
    log("level_up");
    EXPECT_EQ(editing->handled, std::vector<std::string>{"level_up"});
    EXPECT_TRUE(errorCodes.empty());
    auto errors = stored("_err");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_TRUE(errors[0].has("_err", MSRValue(int64_t{11})));
    EXPECT_EQ(stored("made_blocked").size(), 0u);
    // The events refused beyond the program's bound are said in the log.
    EXPECT_TRUE(logged(23297));
    MSRComponentRegistry::registerMaker<MSRPEventEditing>({});
}

// The program's time is bounded per batch of logged events, whatever one
// event costs: past the bound the rest of the batch is stored unedited and
// the failure is logged once; the next batch has the program again.
TEST_F(MeasurementEventsTest, ABatchPastTheProgramsTimeStoresTheRestUnedited) {
    auto [editing, config] = scriptedProgram();
    ASSERT_TRUE(remoteConfig().updateMeasurementConfig(config));
    // Each run takes what it wants or stops at the time its batch has left,
    // as the interpreter's runs do.
    const struct {
        double secondsPerEvent;
        size_t edited;  // of a batch of 10
        std::vector<double> limits;
    } cases[] = {{0, 10, std::vector<double>(10, 1.0)}, {0.4, 3, {1.0, 0.6, 0.2}}, {0.5, 2, {1.0, 0.5}}, {2, 1, {1.0}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.secondsPerEvent);
        editing->whileHandling = [&, scripted = editing.get()] {
            const double limit = scripted->limits.empty() ? c.secondsPerEvent : scripted->limits.back();
            executor().clock().advance(std::min(c.secondsPerEvent, limit));
        };
        editing->handled.clear();
        editing->limits.clear();
        const size_t before = stored("level_up").size();
        codes();
        for (int i = 0; i < 10; ++i)
            engine().logEvent("app", true, "level_up", {{"v", i}}, now(), true, false, false, {}, std::nullopt);
        runUntilIdle();
        EXPECT_EQ(editing->handled.size(), c.edited);
        ASSERT_EQ(editing->limits.size(), c.limits.size());
        for (size_t i = 0; i < c.limits.size(); ++i) EXPECT_NEAR(editing->limits[i], c.limits[i], 1e-9) << i;
        EXPECT_EQ(stored("level_up").size(), before + 10);
        std::vector<int64_t> lines = codes();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), 23223), c.edited < 10 ? 1 : 0);
        log("level_up");
        EXPECT_EQ(editing->handled.size(), c.edited + 1);
    }
    MSRComponentRegistry::registerMaker<MSRPEventEditing>({});
}

// Once the application ends, the program is told to stop soon, and it gets
// the events of that short while only: what comes after is stored unedited,
// with the failure logged once. An engine made while the application ends
// (a signal at the start) missed the notification and still knows.
TEST_F(MeasurementEventsTest, TheApplicationsEndStopsTheProgramAndStoresWhatFollowsUnedited) {
    for (const bool madeAfterTheEnd : {false, true}) {
        SCOPED_TRACE(madeAfterTheEnd);
        if (madeAfterTheEnd) {
            stopEngine();
            ui::Application::shared().terminate();
            startEngine(options());
        }
        auto [editing, config] = scriptedProgram();
        ASSERT_TRUE(remoteConfig().updateMeasurementConfig(config));
        if (!madeAfterTheEnd)
            foundation::NotificationCenter::defaultCenter().post(ui::Application::willTerminateNotification);
        const size_t before = stored("level_up").size();
        codes();
        log("level_up");
        EXPECT_EQ(editing->handled.size(), 1u);
        ASSERT_FALSE(editing->stops.empty());
        for (double seconds : editing->stops) EXPECT_TRUE(seconds > 0 && seconds <= editing->stops[0]) << seconds;
        advanceBy(editing->stops[0]);
        for (int i = 0; i < 3; ++i) log("level_up");
        EXPECT_EQ(editing->handled.size(), 1u);
        EXPECT_EQ(stored("level_up").size(), before + 4);
        std::vector<int64_t> lines = codes();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), 23223), 1);
    }
    MSRComponentRegistry::registerMaker<MSRPEventEditing>({});
}

TEST_F(MeasurementEventsTest, AnEngineWithoutStorageRefusesEventsCleanly) {
    stopEngine();
    // A file where the engine's folder must go: no database can open.
    std::filesystem::create_directories(home() / "Library");
    std::filesystem::remove_all(home() / "Library" / "Application Support");
    std::ofstream(home() / "Library" / "Application Support") << "not a folder";
    startEngine(options());
    ASSERT_FALSE(engine().database());
    MSREvent event = *MSREvent::initWithOrigin("app", false, "level_up", now(), 0, {});
    log("level_up");
    engine().logEvent(event);
    engine().setDefaultEventParameters(MSRObjectDictionary{{"a", 1}});
    onWorker([&] {
        engine().handleInternalEventOnWorkerQueue(event);
        engine().writeEventOnWorkerQueue(event);
        engine().handleSetDefaultEventParametersOnWorkerQueue(std::nullopt, false);
    });
    EXPECT_FALSE(persistedConfig().defaultEventParameters());
}
