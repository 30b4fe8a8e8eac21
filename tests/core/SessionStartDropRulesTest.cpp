// Every rule that keeps a session's "_s" out of the store (the daily cap, a
// blocklist rule or switch, collection turned off, a program that renames
// it) leaves the session begun and counts its "_s" as dropped, so that the
// next start's backfill does not take it for one a kill took and begin the
// session again; what the rule itself stores (the cap's counts, a rule's
// "_err", the program's event) is stored as without a session.

#include <functional>
#include <string>
#include <vector>

#include "MeasurementEventsHarness.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/core/MSRStartUpAndWipe.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/model/MSREventAggregates.h"
#include "analytics/model/MSRPEventEditing.h"
#include "analytics/reporters/MSRSessionReporter.h"

namespace {

// A server's program that renames "_s" and leaves every other event alone.
class SessionRenamingEditing : public MSRPEventEditing {
  public:
    void setModuleCreator(ModuleCreator, const std::string&) override {}
    bool loadProgram(const MSRPBProgram&, MSRError*) override { return true; }
    bool handleEvent(const MSRPEvent& event, MSRError*) override {
        context_ = {};
        // Programs see the public name of an internal event.
        if (event.name() != "session_start" && event.name() != "_s") return false;
        MSRPEvent renamed = event;
        renamed.setName("_s_renamed");
        context_.outputEvent = renamed;
        return true;
    }
    bool hasEdits() const override { return context_.outputEvent.has_value(); }
    bool hasCreatedEvents() const override { return false; }
    const MSRPEventContext& eventContext() const override { return context_; }

  private:
    MSRPEventContext context_;
};

class SessionStartDropRulesTest : public MeasurementEventsHarness {
  protected:
    // As the application starts: the engine's sessions are the reporter's.
    SessionStartDropRulesTest() {
        MSRComponentRegistry::registerMaker<MSRSessionReporterInterface>([](const MSRComponentContext& context) {
            return MSRSessionReporter::makeForEngine(context.persistedConfig, context.engine);
        });
    }
    void TearDown() override {
        MSRComponentRegistry::registerMaker<MSRPEventEditing>({});
        MeasurementEventsHarness::TearDown();
    }
    // A configuration of this application with `eventConfigs` and, when
    // `withProgram`, one program.
    void serve(const std::vector<MSRPBEventConfig>& eventConfigs, bool withProgram) {
        MSRPBMeasurementConfig config;
        MSRPBSetInt64(config, 0, 1);
        MSRPBSetString(config, 1, engine().appID());
        MSRPBSetMessageArray(config, MSRConfigSlot::kEventConfigs, eventConfigs);
        if (withProgram)
            MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::vector<MSRPBProgram>{MSRPBProgram()});
        ASSERT_TRUE(remoteConfig().updateMeasurementConfig(config));
    }
    // The "_s" the store ever recorded: bundled or still stored.
    int64_t recordedSessionStarts() {
        auto aggregates = database().eventAggregatesWithName("_s", nullptr);
        return (aggregates ? aggregates->lifetimeCount() : 0) + database().rawEventCountWithName("_s", nullptr).value_or(-1);
    }
};

TEST_F(SessionStartDropRulesTest, EachRuleThatDropsTheSessionStartCountsItAsBegun) {
    struct Case {
        const char* label;
        std::function<void()> rule;  // set before the session begins
        std::function<void()> after;  // takes the rule away again
        int64_t stored;               // "_s" stored: 1, or 0 with one more dropped
        std::function<void()> alsoStored;
    };
    int32_t allBefore = 0;
    const std::vector<Case> cases = {
        {"no rule", [] {}, [] {}, 1,
         [&] { EXPECT_EQ(counts().allEventsCount(), allBefore + 1); }},
        {"the daily cap",
         [&] {
             remoteConfig().setServerSettings({{"measurement.upload.max_events_per_day", "5"}});
             setCounts(5, 0, 0);
             allBefore = 5;
         },
         [&] { remoteConfig().setServerSettings({}); }, 0,
         // Over the cap the event still counts toward the day.
         [&] { EXPECT_EQ(counts().allEventsCount(), allBefore + 1); }},
        {"a blocklist rule for _s",
         [&] {
             MSRPBEventConfig blocked;
             MSRPBSetString(blocked, MSREventConfigSlot::kName, "_s");
             MSRPBSetBool(blocked, MSREventConfigSlot::kBlocklisted, true);
             serve({blocked}, false);
         },
         [&] { serve({}, false); }, 0,
         [&] { EXPECT_EQ(takeErrorCodes(), std::vector<int64_t>{11}); }},
        {"the internal blocklist switch",
         [&] { remoteConfig().setServerSettings({{"measurement.upload.blacklist_internal", "1"}}); },
         [&] { remoteConfig().setServerSettings({}); }, 0,
         [&] { EXPECT_EQ(takeErrorCodes(), std::vector<int64_t>{}); }},
        {"collection turned off",
         [&] {
             engine().setEnabled(false);
             runUntilIdle();
         },
         [&] {
             engine().setEnabled(true);
             runUntilIdle();
         },
         0, [&] { EXPECT_EQ(counts().allEventsCount(), allBefore); }},
        {"a program that renames it",
         [&] {
             auto editing = std::make_shared<SessionRenamingEditing>();
             MSRComponentRegistry::registerMaker<MSRPEventEditing>(
                 [editing](const MSRComponentContext&) { return editing; });
             serve({}, true);
         },
         [&] {
             serve({}, false);
             MSRComponentRegistry::registerMaker<MSRPEventEditing>({});
         },
         0, [&] { EXPECT_EQ(stored("_s_renamed").size(), 1u); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        takeErrorCodes();
        allBefore = counts().allEventsCount();
        c.rule();
        // Every session so far recorded or counted as dropped, as the
        // backfill expects of a clean end.
        const int64_t numberBefore = persistedConfig().sessionNumber();
        const int64_t recordedBefore = recordedSessionStarts();
        ASSERT_GE(numberBefore, recordedBefore);
        persistedConfig().setDroppedSessionStarts(numberBefore - recordedBefore);
        const int64_t droppedBefore = persistedConfig().droppedSessionStarts();
        // The last session has ended: this one begins under the rule.
        persistedConfig().setLastSessionActivityClockTime(now() - 7200);
        onWorker([&] { engine().sessionReporter()->reportSessionStartOnWorkerQueueWithTimestamp(now(), false); });
        const double began = persistedConfig().lastSessionActivityClockTime();
        EXPECT_EQ(persistedConfig().sessionNumber(), numberBefore + 1);
        EXPECT_NEAR(began, now(), 1);
        EXPECT_EQ(recordedSessionStarts() - recordedBefore, c.stored);
        EXPECT_EQ(persistedConfig().droppedSessionStarts() - droppedBefore, 1 - c.stored);
        c.alsoStored();
        c.after();

        // The next start's backfill: the session stays begun, under its number.
        onWorker([&] { engine().backfillSessionNumber(); });
        EXPECT_EQ(persistedConfig().sessionNumber(), numberBefore + 1);
        EXPECT_EQ(persistedConfig().lastSessionActivityClockTime(), began) << "the session was begun again";
    }
}

}  // namespace
