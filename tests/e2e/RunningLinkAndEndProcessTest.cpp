// A campaign link opened while calvaro runs, and the end, as a real process:
// - the link is killed on every side of its writes (the one write that
//   stores it, the parked place it takes, its "_cmp" committed, the link
//   gone with it) and at random moments: once the preferences named it, the
//   next start's upload carries its "_cmp" exactly once, never twice;
// - a parked or waiting link whose time is NaN or an infinity: a start ends
//   as a clean one does, with the junk gone;
// - an end that lets the engine's worker go with events not stored says how
//   many on standard error.
//
// Kills are aimed at each write (inotify tells when the preferences are
// written; the database is read as the sqlite3 shell reads it) or come at a
// random moment, drawn from a printed seed (CALVARO_KILL_SEED replays them).

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/FirstStartProcess.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

namespace fs = std::filesystem;
using RunningLinkClock = std::chrono::steady_clock;

// No "&": the link reads the same in the preferences' XML.
constexpr const char* kRunningLinkURL = "https://calvaro.example/r?utm_source=running";
constexpr int kRunningLinkLeastRounds = 15;
constexpr auto kRunningLinkBudget = std::chrono::seconds(300);

fs::path runningLinkPreferences(const fs::path& home) {
    return home / "Library/Preferences/org.calvaro.Calvaro.plist";
}

bool preferencesName(const fs::path& home, const std::string& text) {
    return firstStartFileText(runningLinkPreferences(home)).find(text) != std::string::npos;
}

// The settled preferences with `entries` (XML keys and values) added.
void writeRunningLinkPreferences(const fs::path& home, const std::string& entries) {
    std::string text = kSettledPreferences;
    text.insert(text.rfind("</dict>"), entries);
    std::ofstream(runningLinkPreferences(home), std::ios::trunc) << text;
}

class RunningLinkProcessTest : public testing::Test {
  protected:
    void SetUp() override {
        // One first start, run to its end, that every round starts from.
        const FirstStartRound seed(root.path() / "seed");
        seedHome = seed.home;
        ASSERT_EQ(waitForCalvaro(spawnCalvaroInGroup(seed.home, seed.once), std::chrono::seconds(120)), 0)
            << seed.said();
    }

    FirstStartRound prepare(const std::string& name) {
        const FirstStartRound paths(root.path() / name);
        copyDataRoot(seedHome, paths.home);
        return paths;
    }

    // The "_cmp" events of the running link that a start under `home`
    // uploads once it has handed over its start's events and the database
    // holds none left to upload, the start then ended by SIGTERM (a
    // collector of its own: every round's data root is a copy of one
    // application instance). Nothing when it did not get there or end well.
    static std::optional<int> runningLinkCampaignsUploaded(const FirstStartRound& paths) {
        // The start's own events and any link the kill left, all sent.
        const auto events = uploadedByOneStart(paths, [&] {
            return !preferencesName(paths.home, "<key>/zevure/measurement/deep_link</key>") &&
                   !preferencesName(paths.home, "<key>/zevure/measurement/deep_links_waiting</key>");
        });
        if (!events) return std::nullopt;
        int campaigns = 0;
        for (const auto& event : *events) {
            const auto* source = event.param("source");
            campaigns += event.name == "_cmp" && source && source->stringValue && *source->stringValue == "running";
        }
        return campaigns;
    }

    TemporaryDataRoot root{"running-link"};
    fs::path seedHome;
};

TEST_F(RunningLinkProcessTest, ALinkOpenedWhileRunningKilledAfterAnyOfItsWritesArrivesOnce) {
    enum Aim { kRandom, kAtItsWrite, kAtItsPlace, kAtItsCommit, kAtItsRemoval, kAims };
    constexpr std::array<const char*, kAims> kAimNames{"at random", "at its write", "at its parked place",
                                                       "at its commit", "at its removal"};
    std::mt19937 random{killSeed()};
    std::array<int, kAims> reached{};
    int rounds = 0, lost = 0, doubled = 0;
    const auto began = RunningLinkClock::now();
    while ((rounds < killRounds(kRunningLinkLeastRounds) ||
            std::find(reached.begin() + 1, reached.end(), 0) != reached.end()) &&
           RunningLinkClock::now() - began < kRunningLinkBudget) {
        const Aim aim = static_cast<Aim>(rounds % kAims);
        SCOPED_TRACE(testing::Message() << "round " << rounds << ", " << kAimNames[aim]);
        const FirstStartRound paths = prepare("round-" + std::to_string(rounds));
        ++rounds;
        const fs::path& home = paths.home;
        const fs::path script = paths.folder / "open.txt";
        std::ofstream(script) << "open " << kRunningLinkURL << "\nwait 600\n";
        const pid_t start = spawnCalvaroInGroup(home, script);
        ASSERT_GT(start, 0);
        bool named = false, parked = false;
        auto look = [&] {
            named = named || preferencesName(home, kRunningLinkURL);
            parked = parked || preferencesName(home, "<key>/zevure/measurement/deep_link</key>");
        };
        const fs::path folder = runningLinkPreferences(home).parent_path();
        constexpr uint32_t kWrites = IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY;
        // Stops at the aim, or once the link is done with (its "_cmp"
        // committed and the link gone): on a busy machine several writes
        // may pass between two looks, and the aim is missed that round.
        bool aimed = aim == kRandom;
        auto stopAt = [&](const fs::path& watched, const std::function<bool()>& hit) {
            stopCalvaroWhen(start, watched, [&] {
                look();
                aimed = aimed || hit();
                return aimed || (storedEventCount(home, "_cmp") >= 1 && !preferencesName(home, kRunningLinkURL));
            }, watched.empty() ? 0 : kWrites);
        };
        switch (aim) {
            case kRandom:
                // Within the launch and the link's first moments.
                std::this_thread::sleep_for(
                    std::chrono::microseconds(std::uniform_int_distribution<int64_t>(0, 1500000)(random)));
                kill(-start, SIGSTOP);
                break;
            case kAtItsWrite: stopAt(folder, [&] { return named; }); break;
            case kAtItsPlace: stopAt(folder, [&] { return parked; }); break;
            case kAtItsCommit: stopAt({}, [&] { return storedEventCount(home, "_cmp") >= 1; }); break;
            case kAtItsRemoval:
                stopAt(folder, [&] { return named && !preferencesName(home, kRunningLinkURL); });
                break;
            case kAims: break;
        }
        look();
        const int64_t committed = std::max<int64_t>(0, storedEventCount(home, "_cmp"));
        kill(-start, SIGKILL);
        ASSERT_EQ(waitForCalvaro(start, std::chrono::seconds(30)), 128 + SIGKILL) << paths.said();
        reached[aim] += aimed;
        const bool stored = named || committed > 0;

        const std::optional<int> campaigns = runningLinkCampaignsUploaded(paths);
        ASSERT_TRUE(campaigns) << "the next start uploaded nothing or failed" << paths.said()
                               << firstStartFileText(runningLinkPreferences(home));
        lost += stored && *campaigns == 0;
        doubled += *campaigns > 1;
        EXPECT_LE(*campaigns, 1) << "the link arrived twice" << paths.said();
        if (stored) {
            EXPECT_EQ(*campaigns, 1) << "a stored link lost (parked: " << parked << ")" << paths.said();
        }
        if (HasFatalFailure()) break;
    }
    std::printf("%d rounds: %d lost, %d doubled\n", rounds, lost, doubled);
    for (int aim = 0; aim < kAims; ++aim) {
        std::printf("  %-22s %3d\n", kAimNames[aim], reached[aim]);
        EXPECT_GT(reached[aim], 0) << "no kill came " << kAimNames[aim];
    }
}

TEST_F(RunningLinkProcessTest, ALinkTimeThatIsNoTimeLeavesAStartLikeACleanOne) {
    const std::string link = std::string("<string>") + kRunningLinkURL + "</string>";
    auto parkedAt = [&](const char* time) {
        return "<key>/zevure/measurement/deep_link</key>" + link +
               "<key>/zevure/measurement/deep_link_timestamp_seconds</key><real>" + time + "</real>";
    };
    auto waitingAt = [&](const char* time) {
        return std::string("<key>/zevure/measurement/deep_links_waiting</key><array><dict><key>link</key>") + link +
               "<key>timestamp</key><real>" + time + "</real></dict></array>";
    };
    struct Case {
        const char* label;
        std::string entries;
    };
    const Case cases[] = {
        {"clean", ""},
        {"parked, NaN", parkedAt("nan")},
        {"parked, +infinity", parkedAt("+infinity")},
        {"waiting, NaN", waitingAt("nan")},
        {"waiting, +infinity", waitingAt("+infinity")},
    };
    int64_t cleanEvents = -1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const FirstStartRound paths = prepare(std::string("junk-") + std::to_string(&c - cases));
        writeRunningLinkPreferences(paths.home, c.entries);
        const int64_t before = storedCount(paths.home, "SELECT count(*) FROM raw_events");
        // A generous guard: a start that loops on the link never ends by itself.
        ASSERT_EQ(waitForCalvaro(spawnCalvaroInGroup(paths.home, paths.once), std::chrono::seconds(120)), 0)
            << paths.said();
        const int64_t events = storedCount(paths.home, "SELECT count(*) FROM raw_events") - before;
        EXPECT_EQ(storedEventCount(paths.home, "_cmp") + storedEventCount(paths.home, "_cmpx"), 0);
        EXPECT_FALSE(preferencesName(paths.home, kRunningLinkURL)) << "the junk link kept";
        if (cleanEvents < 0) {
            cleanEvents = events;
        } else {
            EXPECT_EQ(events, cleanEvents) << "events stored beside a clean start's";
        }
    }
}

class EndLeavesEventsTest : public DriverTest {
  protected:
    EndLeavesEventsTest() : DriverTest("end-leaves-events") {}
};

// The worker is held at the end past the end's deadline, with events handed
// over behind it: the end lets it go, exits 4 and says how many it left.
TEST_F(EndLeavesEventsTest, AnEndThatLeavesEventsBehindSaysHowMany) {
    constexpr int64_t kLeft = 300;
    tools::DriverProcess driver(CALVARO_EVENT_DRIVER,
                                driverArguments({"--count", "2", "--end-on-signal", "--hold-worker-at-end",
                                                 "--log-at-end", std::to_string(kLeft)}));
    ASSERT_TRUE(driver.readUntil([&](const auto&) { return driver.handledCount() == 2; }, 120)) << consoleTail();
    const SignalledEnd end = endBySignal(driver);
    EXPECT_EQ(end.status, 4) << consoleTail();
    const std::string said = consoleTail();
    const std::string tail = " events handed over were left behind, not stored";
    const size_t at = said.find(tail);
    ASSERT_NE(at, std::string::npos) << said;
    const size_t number = said.rfind(' ', at - 1) + 1;
    EXPECT_GE(std::stoll(said.substr(number, at - number)), kLeft) << said;
}

}  // namespace
