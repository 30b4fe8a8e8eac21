// A start's automatic events are stored once: a session whose "_s" a rule
// dropped is not begun again, one whose "_s" the store never got is, and an
// update event kept as pending is handed over again only when the store never
// recorded it. In virtual time, over restarts of the engine on one data root.

#include <string>
#include <vector>

#include "MeasurementEventsHarness.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/core/MSRStartUpAndWipe.h"
#include "analytics/model/MSREventAggregates.h"
#include "analytics/reporters/MSRSessionReporter.h"

namespace {

using foundation::Value;

class StartEventsOnceTest : public MeasurementEventsHarness {
  protected:
    // As the application starts: the engine's sessions are the reporter's.
    // (Again at every start: a restart resets the registry.)
    StartEventsOnceTest() { registerSessionReporter(); }
    static void registerSessionReporter() {
        MSRComponentRegistry::registerMaker<MSRSessionReporterInterface>([](const MSRComponentContext& context) {
            return MSRSessionReporter::makeForEngine(context.persistedConfig, context.engine);
        });
    }
    void restart(const MeasurementOptions& options) {
        stopEngine();
        registerSessionReporter();
        startEngine(options);
    }
    void restart() { restart(options_); }
    // The events of `name` the store ever recorded: bundled or still stored.
    int64_t recorded(const std::string& name) {
        auto aggregates = database().eventAggregatesWithName(name, nullptr);
        return (aggregates ? aggregates->lifetimeCount() : 0) + database().rawEventCountWithName(name, nullptr).value_or(-1);
    }
    MeasurementOptions withAllowlist(std::optional<std::vector<std::string>> allowed) const {
        MeasurementOptions options = options_;
        options.safelistedEvents = std::move(allowed);
        return options;
    }
    // "_au" kept as pending, as a start writes it before handing it over,
    // with the count of "_au" recorded before it.
    void keepPendingUpdate(const std::string& previous, double timestamp, int64_t recordedBefore) {
        persistedConfig().setPendingAutomaticEvents(Value::Dictionary{
            {"_au", Value(Value::Dictionary{{"parameters", Value(Value::Dictionary{{"_pv", Value(previous)}})},
                                             {"timestamp", Value(timestamp)},
                                             {"recorded", Value(recordedBefore)}})}});
    }
};

// Two starts within the session's time are one session whatever rule keeps
// its "_s" out of the store; with no rule the "_s" is stored once.
TEST_F(StartEventsOnceTest, AStartWithinTheTimeoutBeginsNoSessionWhenARuleDroppedTheLastStart) {
    struct Case {
        const char* label;
        std::optional<std::vector<std::string>> allowed;
        int64_t sessionStartsStored;
    };
    const std::vector<Case> cases = {
        {"no allowlist", std::nullopt, 1},
        {"an allowlist without _s", std::vector<std::string>{"level_up"}, 0},
        {"an allowlist with _s", std::vector<std::string>{"level_up", "_s"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const int64_t recordedBefore = recorded("_s");
        // The last session has ended: the next start begins one under the rule.
        persistedConfig().setLastSessionActivityClockTime(now() - 7200);
        restart(withAllowlist(c.allowed));
        const int64_t number = persistedConfig().sessionNumber();
        const double began = persistedConfig().lastSessionActivityClockTime();
        ASSERT_EQ(recorded("_s") - recordedBefore, c.sessionStartsStored);
        ASSERT_NEAR(began, now(), 1);

        advanceBy(60);
        restart(withAllowlist(c.allowed));
        EXPECT_EQ(persistedConfig().sessionNumber(), number);
        EXPECT_EQ(persistedConfig().lastSessionActivityClockTime(), began) << "a second session began";
        EXPECT_EQ(recorded("_s") - recordedBefore, c.sessionStartsStored);
    }
}

// The backfill begins the last session again only when its "_s" is missing
// and no rule dropped it; sessions whose "_s" a rule dropped count as begun.
TEST_F(StartEventsOnceTest, TheBackfillBeginsAgainOnlyASessionTheStoreNeverGot) {
    struct Case {
        int64_t kept, counted, dropped, expected;
        bool ended;
    };
    const std::vector<Case> cases = {
        {5, 4, 0, 4, true},   // lost: begun again under its number
        {5, 4, 1, 5, false},  // a rule dropped it (or one before it)
        {5, 3, 1, 4, true},   // lost, after one a rule dropped
        {5, 5, 0, 5, false},  // recorded
        {5, 3, 0, 5, false},  // fewer than the dictionary knows of: not the last alone
        {1, 0, 1, 1, false},  // the first session, dropped
        {1, 0, 0, 0, true},   // the first session, lost
    };
    execute("DELETE FROM raw_events;");
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.kept << " kept, " << c.counted << " counted, " << c.dropped
                                        << " dropped");
        persistedConfig().setSessionNumber(c.kept);
        persistedConfig().setDroppedSessionStarts(c.dropped);
        persistedConfig().setLastSessionActivityClockTime(now());
        ASSERT_TRUE(database().updateEventAggregates(
            MSREventAggregates::initWithName("_s", static_cast<int32_t>(c.counted), 0, 0, now()).value(), nullptr));
        onWorker([&] { engine().backfillSessionNumber(); });
        EXPECT_EQ(persistedConfig().sessionNumber(), c.expected);
        EXPECT_EQ(persistedConfig().lastSessionActivityClockTime(), c.ended ? 0 : now());
    }
}

// Each "_s" a rule drops is counted as a session begun; a stored one is not.
TEST_F(StartEventsOnceTest, ADroppedSessionStartIsCountedAsBegun) {
    struct Case {
        const char* label;
        std::optional<std::vector<std::string>> allowed;
        int64_t droppedMore;
    };
    const std::vector<Case> cases = {{"an allowlist without _s", std::vector<std::string>{"level_up"}, 1},
                                     {"no allowlist", std::nullopt, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        restart(withAllowlist(c.allowed));
        const int64_t recordedBefore = recorded("_s");
        const int64_t droppedBefore = persistedConfig().droppedSessionStarts();
        const int64_t numberBefore = persistedConfig().sessionNumber();
        persistedConfig().setLastSessionActivityClockTime(now() - 7200);
        onWorker([&] { engine().sessionReporter()->reportSessionStartOnWorkerQueueWithTimestamp(now(), false); });
        EXPECT_EQ(persistedConfig().sessionNumber(), numberBefore + 1);
        EXPECT_EQ(recorded("_s") - recordedBefore, 1 - c.droppedMore);
        EXPECT_EQ(persistedConfig().droppedSessionStarts() - droppedBefore, c.droppedMore);
    }
}

// An update event kept as pending is handed over again, once, with its own
// parameters and time, only when the store recorded no event of its name
// since; either way the record goes.
TEST_F(StartEventsOnceTest, APendingUpdateIsHandedOverAgainOnlyWhenTheStoreNeverGotIt) {
    struct Case {
        const char* label;
        int64_t bundledSince;  // "_au" recorded after the record was kept
        size_t handedAgain;
    };
    const std::vector<Case> cases = {{"lost by a kill", 0, 1}, {"committed, then bundled", 1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        execute("DELETE FROM raw_events; DELETE FROM events;");
        const double updatedAt = now() - 30;
        keepPendingUpdate("1.9", updatedAt, 0);
        if (c.bundledSince > 0) {
            ASSERT_TRUE(database().updateEventAggregates(
                MSREventAggregates::initWithName("_au", static_cast<int32_t>(c.bundledSince), 0, 0, now()).value(),
                nullptr));
        }
        restart();
        const auto updates = stored("_au");
        ASSERT_EQ(updates.size(), c.handedAgain);
        if (!updates.empty()) {
            EXPECT_TRUE(updates[0].has("_pv", MSRValue(std::string("1.9"))));
        }
        EXPECT_FALSE(persistedConfig().pendingAutomaticEvents());
        restart();
        EXPECT_EQ(stored("_au").size(), c.handedAgain) << "handed over a second time";
    }
}

// An update writes its version and its pending "_au" before the event, and
// its commit ends the record: the next start neither repeats nor loses it.
TEST_F(StartEventsOnceTest, AnUpdateKeepsItsEventPendingUntilItsCommit) {
    MeasurementOptions updated = options_;
    updated.infoPlist["CFBundleShortVersionString"] = Value("2.2");
    restart(updated);
    ASSERT_EQ(stored("_au").size(), 1u);
    EXPECT_FALSE(persistedConfig().pendingAutomaticEvents()) << "the record outlived the commit";
    // A kill after the commit and before the record's removal was written.
    keepPendingUpdate("2.1", now(), 0);
    restart(updated);
    EXPECT_EQ(stored("_au").size(), 1u);
    EXPECT_FALSE(persistedConfig().pendingAutomaticEvents());
}

}  // namespace
