// Work a start keeps pending is done once: each pending update has a record
// of its own, handed over again only when its own event was never committed,
// and a parked campaign link is reported once whatever its mark says, as is
// every link of a later launch waiting behind it. In virtual time, over
// restarts of the engine on one data root.

#include <sqlite3.h>

#include <map>
#include <utility>
#include <string>
#include <vector>

#include "MeasurementEventsHarness.h"
#include "analytics/core/MSRDeepLinks.h"
#include "analytics/core/MSRStartUpAndWipe.h"
#include "analytics/model/MSREventAggregates.h"
#include "analytics/storage/MSRUserDefaults.h"

namespace {

using foundation::Value;

class PendingWorkOnceTest : public MeasurementEventsHarness {
  protected:
    MeasurementOptions options() const override {
        MeasurementOptions options;
        options.infoPlist["CFBundleShortVersionString"] = Value("1.0");
        return options;
    }
    // The "_pv" of each "_au" stored, with how often.
    std::map<std::string, int> updatesFrom() {
        std::map<std::string, int> versions;
        for (const StoredEvent& event : stored("_au")) {
            auto found = event.parameters.find("_pv");
            ++versions[found != event.parameters.end() && found->second.stringValue() ? *found->second.stringValue()
                                                                                       : "(none)"];
        }
        return versions;
    }
    // The store as if `committed` events of `name` had been bundled.
    void commitBundled(const std::string& name, int32_t committed) {
        execute("DELETE FROM raw_events; DELETE FROM events;");
        if (committed == 0) return;
        ASSERT_TRUE(database().updateEventAggregates(
            MSREventAggregates::initWithName(name, committed, 0, 0, now()).value(), nullptr));
    }
    static Value pendingUpdate(const char* previous, double timestamp, int64_t recorded, bool olderBuild) {
        Value::Dictionary record{{"parameters", Value(Value::Dictionary{{"_pv", Value(previous)}})},
                                 {"timestamp", Value(timestamp)},
                                 {"recorded", Value(recorded)}};
        if (!olderBuild) record.emplace("name", Value("_au"));
        return Value(std::move(record));
    }
    std::shared_ptr<MSRUserDefaults> defaults() { return MSRUserDefaults::sharedUserDefaults(); }
};

// Records kept by older builds (one per name, under the name) and by this
// one (one per update): each is handed over again exactly when the store
// holds no more events of its name than it did just before that record's
// event; a second start hands nothing over again.
TEST_F(PendingWorkOnceTest, EachPendingUpdateIsHandedOverAgainOnlyWhenItsOwnEventWasLost) {
    struct Record {
        const char* key;
        const char* previous;
        int64_t recorded;
        bool olderBuild;
    };
    struct Case {
        const char* label;
        std::vector<Record> records;
        int32_t committed;
        std::map<std::string, int> expected;
    };
    const std::vector<Case> cases = {
        {"an older build's record, lost", {{"_au", "0.9", 0, true}}, 0, {{"0.9", 1}}},
        {"an older build's record, committed", {{"_au", "0.9", 0, true}}, 1, {}},
        {"two updates, both lost", {{"_au 1", "0.9", 0, false}, {"_au 2", "0.95", 1, false}}, 0,
         {{"0.9", 1}, {"0.95", 1}}},
        {"two updates, the first committed", {{"_au 1", "0.9", 0, false}, {"_au 2", "0.95", 1, false}}, 1,
         {{"0.95", 1}}},
        {"two updates, both committed", {{"_au 1", "0.9", 0, false}, {"_au 2", "0.95", 1, false}}, 2, {}},
        {"an older build's record beside a newer one", {{"_au", "0.9", 0, true}, {"_au 2", "0.95", 1, false}}, 0,
         {{"0.9", 1}, {"0.95", 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        commitBundled("_au", c.committed);
        Value::Dictionary pending;
        for (const Record& record : c.records)
            pending.emplace(record.key, pendingUpdate(record.previous, now() - 30, record.recorded, record.olderBuild));
        persistedConfig().setPendingAutomaticEvents(pending);
        restartEngine();
        EXPECT_EQ(updatesFrom(), c.expected);
        EXPECT_FALSE(persistedConfig().pendingAutomaticEvents()) << "a record outlived its commit";
        restartEngine();
        EXPECT_EQ(updatesFrom(), c.expected) << "handed over a second time";
    }
}

// A start resumes a lost update and reports a second one; the second one's
// commit fails (SQLite rolls the whole transaction back, as a kill before it
// would leave it). Its record alone stays: the next start hands over the
// second update, and the first is not lost with it.
TEST_F(PendingWorkOnceTest, ASecondUpdateWhoseCommitFailsLeavesTheFirstOneStored) {
    commitBundled("_au", 0);
    persistedConfig().setPendingAutomaticEvents(Value::Dictionary{{"_au", pendingUpdate("0.9", now() - 30, 0, true)}});
    persistedConfig().setAppVersion(std::string("0.95"));
    execute(
        "CREATE TRIGGER second_update_fails BEFORE INSERT ON raw_events WHEN NEW.name = '_au' AND "
        "(SELECT count(*) FROM raw_events WHERE name = '_au') >= 1 BEGIN SELECT RAISE(ROLLBACK, 'disk gone'); END;");
    restartEngine();
    execute("DROP TRIGGER second_update_fails;");
    EXPECT_EQ(persistedConfig().appVersion(), std::optional<std::string>("1.0"));
    restartEngine();
    EXPECT_EQ(updatesFrom(), (std::map<std::string, int>{{"0.9", 1}, {"0.95", 1}}));
    EXPECT_FALSE(persistedConfig().pendingAutomaticEvents());
}

// Whether the engine's open transaction holds an "_au": set by a trigger on
// its insert, so that exactly the commits of updates fail (as a kill before
// each would leave them).
bool& pendingWorkUpdateInTransaction() {
    static bool holds = false;
    return holds;
}

void pendingWorkMarkUpdate(sqlite3_context* context, int, sqlite3_value**) {
    pendingWorkUpdateInTransaction() = true;
    sqlite3_result_null(context);
}

int pendingWorkFailUpdateCommit(void*) { return std::exchange(pendingWorkUpdateInTransaction(), false) ? 1 : 0; }

// Gives every connection opened while it is registered the mark and the
// commit hook.
int pendingWorkHookCommits(sqlite3* handle, const char**, const sqlite3_api_routines*) {
    sqlite3_commit_hook(handle, pendingWorkFailUpdateCommit, nullptr);
    return sqlite3_create_function_v2(handle, "pending_work_mark_update", 0, SQLITE_UTF8, nullptr,
                                      pendingWorkMarkUpdate, nullptr, nullptr, nullptr);
}

// A start resumes an update an older build kept pending and reports a
// second one; each is written, and neither commit is made (a kill before
// each would leave the same). Each keeps its own record until its own
// commit, so the next start hands both over again.
TEST_F(PendingWorkOnceTest, TwoUpdatesWhoseCommitsAreNeverMadeAreBothHandedOverAgain) {
    commitBundled("_au", 0);
    persistedConfig().setPendingAutomaticEvents(Value::Dictionary{{"_au", pendingUpdate("0.9", now() - 30, 0, true)}});
    persistedConfig().setAppVersion(std::string("0.95"));
    sqlite3_auto_extension(reinterpret_cast<void (*)()>(pendingWorkHookCommits));
    execute(
        "CREATE TRIGGER update_commits_fail AFTER INSERT ON raw_events WHEN NEW.name = '_au' "
        "BEGIN SELECT pending_work_mark_update(); END;");
    restartEngine();
    execute("DROP TRIGGER update_commits_fail;");
    sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(pendingWorkHookCommits));
    pendingWorkUpdateInTransaction() = false;
    EXPECT_EQ(updatesFrom(), (std::map<std::string, int>{})) << "a commit of an update was made";
    const std::optional<Value::Dictionary> kept = persistedConfig().pendingAutomaticEvents();
    EXPECT_EQ(kept ? kept->size() : 0u, 2u) << "a record gone before its commit, or in the place of another"
                                            << (kept ? Value(*kept).jsonText() : std::string());
    restartEngine();
    EXPECT_EQ(updatesFrom(), (std::map<std::string, int>{{"0.9", 1}, {"0.95", 1}}));
    EXPECT_FALSE(persistedConfig().pendingAutomaticEvents());
}

// A parked link whose mark says its campaign event was committed before a
// kill (the store holds more campaign events than the mark counted) is only
// removed; any other parked link is reported, once; the link and its mark go
// with the commit.
TEST_F(PendingWorkOnceTest, AParkedLinkIsReportedUnlessItsMarkSaysItsEventWasCommitted) {
    const std::string link = "https://calvaro.example/p?utm_source=parked&utm_medium=mark";
    struct Case {
        const char* label;
        std::optional<std::string> markedLink;  // none: no mark
        double markedAge;                       // of the marked link, against the parked one's
        int64_t markedCount;
        const char* committedAs;
        int32_t committed;  // campaign events in the store
        size_t reported;
    };
    const std::vector<Case> cases = {
        {"no mark", std::nullopt, 0, 0, "_cmp", 0, 1},
        {"marked, its event never committed", link, 0, 0, "_cmp", 0, 1},
        {"marked, its event committed", link, 0, 0, "_cmp", 1, 0},
        {"marked, its event committed as expired", link, 0, 3, "_cmpx", 4, 0},
        {"a mark of another link", std::string("https://calvaro.example/other?utm_source=x"), 0, 0, "_cmp", 1, 1},
        {"a mark of the same link parked earlier", link, 60, 0, "_cmp", 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        commitBundled(c.committedAs, c.committed);
        const double parkedAt = now() - 3600;
        defaults()->setObject(Value(link), MSRDeepLinks::kDeepLinkKey);
        defaults()->setObject(Value(parkedAt), MSRDeepLinks::kDeepLinkTimestampKey);
        defaults()->setObject(c.markedLink ? Value(Value::Dictionary{{"link", Value(*c.markedLink)},
                                                                     {"timestamp", Value(parkedAt - c.markedAge)},
                                                                     {"recorded", Value(c.markedCount)}})
                                           : Value(),
                              MSRDeepLinks::kDeepLinkReportedKey);
        onWorker([&] { engine().startUp().reportStoredCampaignEventOnWorkerQueue(std::nullopt); });
        EXPECT_EQ(stored("_cmp").size(), c.reported);
        for (const char* key :
             {MSRDeepLinks::kDeepLinkKey, MSRDeepLinks::kDeepLinkTimestampKey, MSRDeepLinks::kDeepLinkReportedKey})
            EXPECT_TRUE(defaults()->objectForKey(key).isAbsent()) << key;
    }
}

// What a kill can leave of the parked link and the links of later launches
// waiting behind it (each parked at its own time, an hour apart): every link
// is reported once, in the order of its launch, and nothing is left behind.
TEST_F(PendingWorkOnceTest, EveryLinkParkedOrWaitingIsReportedOnceWhateverAKillLeft) {
    auto linkOf = [](const std::string& source) { return "https://calvaro.example/w?utm_source=" + source; };
    const double first = now() - 4 * 3600;
    auto timeOf = [&](const std::string& source) { return first + 3600 * (source[0] - 'a'); };
    auto entry = [&](const std::string& source) {
        return Value(Value::Dictionary{{"link", Value(linkOf(source))}, {"timestamp", Value(timeOf(source))}});
    };
    struct Case {
        const char* label;
        const char* parked;          // "" when no link is parked
        bool parkedTimeOnly;         // the parked time written, not its link
        std::vector<Value> waiting;  // the list as stored
        std::vector<std::string> reported;
    };
    const std::vector<Case> cases = {
        {"a link parked, one waiting", "a", false, {entry("b")}, {"a", "b"}},
        {"a link parked, two waiting", "a", false, {entry("b"), entry("c")}, {"a", "b", "c"}},
        {"the place handed over, the entry still in the list", "b", false, {entry("b"), entry("c")}, {"b", "c"}},
        {"the parked link removed, none in its place yet", "", false, {entry("b"), entry("c")}, {"b", "c"}},
        {"the next link's time in its place, not its link", "b", true, {entry("b")}, {"b"}},
        {"an entry no engine wrote", "", false, {Value("junk"), Value(Value::Dictionary{}), entry("d")}, {"d"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        commitBundled("_cmp", 0);
        const std::string parked = c.parked;
        defaults()->setObject(parked.empty() ? Value() : Value(timeOf(parked)), MSRDeepLinks::kDeepLinkTimestampKey);
        defaults()->setObject(parked.empty() || c.parkedTimeOnly ? Value() : Value(linkOf(parked)),
                              MSRDeepLinks::kDeepLinkKey);
        defaults()->setObject(Value(c.waiting), MSRDeepLinks::kDeepLinksWaitingKey);
        restartEngine();
        // Each link's place goes to the next one with its commit.
        for (int commits = 0; commits < 8; ++commits) onWorker([&] { database().commitPendingWrites(); });
        std::vector<std::string> sources;
        for (const StoredEvent& event : stored("_cmp")) {
            auto found = event.parameters.find("source");
            sources.push_back(found != event.parameters.end() && found->second.stringValue()
                                  ? *found->second.stringValue()
                                  : "(none)");
        }
        EXPECT_EQ(sources, c.reported);
        for (const char* key : {MSRDeepLinks::kDeepLinkKey, MSRDeepLinks::kDeepLinkTimestampKey,
                                MSRDeepLinks::kDeepLinkReportedKey, MSRDeepLinks::kDeepLinksWaitingKey})
            EXPECT_TRUE(defaults()->objectForKey(key).isAbsent()) << key;
        restartEngine();
        EXPECT_EQ(stored("_cmp").size(), c.reported.size()) << "reported a second time";
    }
}

// A launch's link waits behind a parked one, up to a bound; one past it is
// not kept, with its line.
TEST_F(PendingWorkOnceTest, ALaunchLinkWaitsBehindTheParkedOneUpToItsBound) {
    defaults()->setObject(Value("https://calvaro.example/p?utm_source=parked"), MSRDeepLinks::kDeepLinkKey);
    for (size_t launch = 0; launch <= MSRDeepLinks::kMaxWaitingDeepLinks; ++launch)
        MSRDeepLinks::parkLaunchLink("https://calvaro.example/l?utm_source=" + std::to_string(launch), now());
    const Value waiting = defaults()->objectForKey(MSRDeepLinks::kDeepLinksWaitingKey);
    ASSERT_TRUE(waiting.list());
    ASSERT_EQ(waiting.list()->size(), size_t{16});
    EXPECT_EQ(*waiting.list()->front()["link"].string(), "https://calvaro.example/l?utm_source=0");
    EXPECT_EQ(*waiting.list()->back()["link"].string(), "https://calvaro.example/l?utm_source=15");
    EXPECT_TRUE(logged(23271));
    EXPECT_EQ(*defaults()->objectForKey(MSRDeepLinks::kDeepLinkKey).string(),
              "https://calvaro.example/p?utm_source=parked");
}

}  // namespace
