// A link opened while the application runs is stored in one write of the
// preferences (the link, its time and its mark together), and reported once,
// as opened while running, whichever of the later writes a kill came after.
// A stored link time that is no time (NaN, an infinity, past the bound,
// before 1970) is junk: dropped with the list's code, and a start ends as a
// clean one does. In virtual time, over restarts on one data root.

#include <cmath>
#include <limits>

#include "MeasurementEventsHarness.h"
#include "analytics/core/MSRDeepLinks.h"
#include "analytics/storage/MSRUserDefaults.h"

namespace {

using foundation::Value;

constexpr const char* kRunningLink = "https://calvaro.example/r?utm_source=running&utm_medium=mail";

class RunningLinkStoredOnceTest : public MeasurementEventsHarness {
  protected:
    std::shared_ptr<MSRUserDefaults> defaults() { return MSRUserDefaults::sharedUserDefaults(); }
    void clearLinks() {
        execute("DELETE FROM raw_events; DELETE FROM events;");
        for (const char* key : kLinkKeys) defaults()->setObject(Value(), key);
    }
    // Runs the start and the commits that hand each link's place on.
    void startAndCommit() {
        restartEngine();
        for (int commits = 0; commits < 8; ++commits) onWorker([&] { database().commitPendingWrites(); });
    }
    std::vector<StoredEvent> campaigns() {
        auto events = stored("_cmp");
        for (auto& event : stored("_cmpx")) events.push_back(event);
        return events;
    }
    void expectNoLinkKeys() {
        for (const char* key : kLinkKeys) EXPECT_TRUE(defaults()->objectForKey(key).isAbsent()) << key;
    }
    static constexpr const char* kLinkKeys[] = {MSRDeepLinks::kDeepLinkKey, MSRDeepLinks::kDeepLinkTimestampKey,
                                                MSRDeepLinks::kDeepLinkReportedKey, MSRDeepLinks::kDeepLinksWaitingKey,
                                                MSRDeepLinks::kDeepLinksOpenedKey};
};

TEST_F(RunningLinkStoredOnceTest, AnOpenedLinkIsOneWriteAndIsReportedOnceWhicheverLaterWriteAKillCameAfter) {
    const double openedAt = now() - 60;
    const Value entry(Value::Dictionary{{"link", Value(kRunningLink)}, {"timestamp", Value(openedAt)}});
    // The writes that hand the waiting entry the parked place, in their
    // order: the mark, the time, the link; then the entry leaves the list.
    struct Case {
        const char* label;
        int writesAfterTheEntry;
    };
    const Case cases[] = {{"killed after the entry", 0},
                          {"after its mark", 1},
                          {"after its time", 2},
                          {"after its link, the entry still waiting", 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        clearLinks();
        MSRDeepLinks::parkOpenedLink(kRunningLink, openedAt);
        // One key written, holding all of it.
        const Value waiting = defaults()->objectForKey(MSRDeepLinks::kDeepLinksWaitingKey);
        ASSERT_TRUE(waiting.list());
        ASSERT_EQ(waiting.list()->size(), 1u);
        EXPECT_EQ(*waiting.list()->front()["link"].string(), kRunningLink);
        EXPECT_EQ(waiting.list()->front()["timestamp"].doubleValue(), openedAt);
        EXPECT_EQ(waiting.list()->front()["opened"].boolValue(), true);
        for (const char* key : {MSRDeepLinks::kDeepLinkKey, MSRDeepLinks::kDeepLinkTimestampKey,
                                MSRDeepLinks::kDeepLinksOpenedKey})
            EXPECT_TRUE(defaults()->objectForKey(key).isAbsent()) << key;

        if (c.writesAfterTheEntry >= 1)
            defaults()->setObject(Value(Value::List{entry}), MSRDeepLinks::kDeepLinksOpenedKey);
        if (c.writesAfterTheEntry >= 2) defaults()->setObject(Value(openedAt), MSRDeepLinks::kDeepLinkTimestampKey);
        if (c.writesAfterTheEntry >= 3) defaults()->setObject(Value(kRunningLink), MSRDeepLinks::kDeepLinkKey);
        startAndCommit();
        const auto events = campaigns();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].name, "_cmp");
        EXPECT_TRUE(events[0].has("source", MSRValue(std::string("running"))));
        EXPECT_EQ(events[0].parameters.count("_cc"), 0u) << "reported as a launch's link";
        expectNoLinkKeys();
        startAndCommit();
        EXPECT_EQ(campaigns().size(), 1u) << "reported a second time";
    }
}

// A link opened while a launch's link is parked waits behind it; one opened
// while links wait goes behind them, a launch's link too.
TEST_F(RunningLinkStoredOnceTest, LinksAreReportedInTheOrderTheyCame) {
    defaults()->setObject(Value(now() - 30), MSRDeepLinks::kDeepLinkTimestampKey);
    defaults()->setObject(Value("https://calvaro.example/p?utm_source=parked"), MSRDeepLinks::kDeepLinkKey);
    MSRDeepLinks::parkOpenedLink("https://calvaro.example/o?utm_source=opened", now() - 20);
    MSRDeepLinks::parkLaunchLink("https://calvaro.example/l?utm_source=launch", now() - 10);
    startAndCommit();
    std::vector<std::string> sources;
    for (const StoredEvent& event : campaigns())
        sources.push_back(event.parameters.count("source") ? *event.parameters.at("source").stringValue() : "");
    EXPECT_EQ(sources, (std::vector<std::string>{"parked", "opened", "launch"}));
    expectNoLinkKeys();
}

TEST_F(RunningLinkStoredOnceTest, ALinkTimeThatIsNoTimeIsJunkAndTheStartEndsAsACleanOne) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    struct Case {
        const char* label;
        bool parked;  // else waiting
        double time;
    };
    const Case cases[] = {
        {"parked, NaN", true, nan},
        {"parked, +infinity", true, infinity},
        {"parked, -infinity", true, -infinity},
        {"parked, one past the bound", true, std::nextafter(MSRDeepLinks::kLatestStoredLinkSeconds, infinity)},
        {"parked, before 1970", true, -1},
        {"waiting, NaN", false, nan},
        {"waiting, +infinity", false, infinity},
        {"waiting, one past the bound", false, std::nextafter(MSRDeepLinks::kLatestStoredLinkSeconds, infinity)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        clearLinks();
        codes();
        if (c.parked) {
            defaults()->setObject(Value(c.time), MSRDeepLinks::kDeepLinkTimestampKey);
            defaults()->setObject(Value(kRunningLink), MSRDeepLinks::kDeepLinkKey);
            // Its mark, as an opened link leaves it.
            defaults()->setObject(
                Value(Value::List{Value(Value::Dictionary{{"link", Value(kRunningLink)}, {"timestamp", Value(c.time)}})}),
                MSRDeepLinks::kDeepLinksOpenedKey);
        } else {
            defaults()->setObject(
                Value(Value::List{Value(Value::Dictionary{
                    {"link", Value(kRunningLink)}, {"timestamp", Value(c.time)}, {"opened", Value(true)}})}),
                MSRDeepLinks::kDeepLinksWaitingKey);
        }
        startAndCommit();
        EXPECT_TRUE(campaigns().empty());
        EXPECT_TRUE(logged(23275)) << "dropped without its line";
        expectNoLinkKeys();
    }
}

// The bound itself is a time. One ahead of the clock expires by its
// distance from it, as one that far behind does: an hour ahead is a campaign
// of now, the bound (centuries ahead) an expired one; each reported once.
TEST_F(RunningLinkStoredOnceTest, ALinkTimeAheadOfTheClockExpiresByItsDistanceFromIt) {
    const struct {
        double time;
        const char* event;
    } rows[] = {
        {now() + 3600, "_cmp"},
        {MSRDeepLinks::kLatestStoredLinkSeconds, "_cmpx"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.time);
        clearLinks();
        defaults()->setObject(Value(row.time), MSRDeepLinks::kDeepLinkTimestampKey);
        defaults()->setObject(Value(kRunningLink), MSRDeepLinks::kDeepLinkKey);
        startAndCommit();
        const auto events = campaigns();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].name, row.event);
        expectNoLinkKeys();
    }
}

}  // namespace
