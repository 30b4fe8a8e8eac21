// Events handed over together are committed together, and nobody hears of
// an event before what it wrote is on disk.

#include <set>

#include "MeasurementEventsHarness.h"

class GroupedEventWritesTest : public MeasurementEventsHarness {
  protected:
    // Raw events another connection sees: only what has been committed.
    int64_t committedRawEvents() { return std::stoll(sql("SELECT COUNT(*) FROM raw_events").at(0)); }
};

TEST_F(GroupedEventWritesTest, EventsLoggedTogetherShareOneCommitAndAreHeardAfterIt) {
    std::vector<std::string> heard;
    auto token = MSRAnalytics::addLogEventListener([&](const MSREvent& event) { heard.push_back(event.name()); });
    execute("CREATE TRIGGER refuse BEFORE INSERT ON raw_events WHEN NEW.name = 'refused' "
            "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    setCounts(0, 0, 0);
    for (const char* name : {"first", "refused", "last"}) {
        engine().logEvent("app", true, name, {}, now(), true, false, false, {}, std::nullopt);
    }

    std::set<int64_t> seen;
    while (executor().runOne()) {
        int64_t committed = committedRawEvents();
        seen.insert(committed);
        if (committed == 0) {
            EXPECT_TRUE(heard.empty()) << "an event was heard of before its commit";
        }
    }
    EXPECT_EQ(seen, (std::set<int64_t>{0, 2})) << "one commit for both stored events";
    // The refused event undid only its own writes, and, never stored, is
    // not heard of.
    EXPECT_EQ(heard, (std::vector<std::string>{"first", "last"}));
    EXPECT_EQ(stored().size(), 2u);
    EXPECT_EQ(counts().allEventsCount(), 2);
    // The schedule was worked out after the commit.
    EXPECT_TRUE(engine().alarm()->scheduledTimestamp());
    MSRAnalytics::removeLogEventListener(token);
}

// Events of known names and unchanged metadata are written without a
// savepoint and reach the worker in batches: a refused one still undoes only
// itself, and a property set between two events is in the later one's
// metadata only.
TEST_F(GroupedEventWritesTest, EventsOfKnownNamesUndoAloneAndKeepTheirPlaceAmongOtherWork) {
    std::vector<std::string> heard;
    auto token = MSRAnalytics::addLogEventListener([&](const MSREvent& event) { heard.push_back(event.name()); });
    setCounts(0, 0, 0);
    for (const char* name : {"known", "refused"}) {
        engine().logEvent("app", true, name, {}, now(), true, false, false, {}, std::nullopt);
    }
    runUntilIdle();
    execute("CREATE TRIGGER refuse BEFORE INSERT ON raw_events WHEN NEW.name = 'refused' "
            "BEGIN SELECT RAISE(ABORT, 'refused'); END;");

    auto logKnownOrRefused = [&](const char* name) {
        engine().logEvent("app", true, name, {}, now(), true, false, false, {}, std::nullopt);
    };
    logKnownOrRefused("known");
    logKnownOrRefused("refused");
    engine().setUserAttribute(MSRUserAttribute::initWithOrigin("app", "level", MSRValue("gold"), now()).value());
    logKnownOrRefused("known");
    runUntilIdle();

    EXPECT_EQ(heard, (std::vector<std::string>{"known", "refused", "known", "known"}));
    EXPECT_EQ(stored("known").size(), 3u);
    EXPECT_EQ(stored("refused").size(), 1u);
    EXPECT_EQ(counts().allEventsCount(), 4) << "the refused event's count went back with it";
    EXPECT_EQ(sql("SELECT COUNT(DISTINCT metadata_fingerprint) FROM raw_events WHERE name = 'known'"),
              (std::vector<std::string>{"2"}))
        << "the event after the property has metadata of its own";
    MSRAnalytics::removeLogEventListener(token);
}
