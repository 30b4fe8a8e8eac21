// Work a start keeps pending survives SIGKILL at any moment, counted on the
// measurement server's side once a start has run to its end:
// - a second update, reported by the start that also hands over again the
//   first one a kill lost ("_au" from 0.9, then from 0.95), arrives with the
//   first, each once;
// - a campaign link calvaro is launched with arrives as one "_cmp" once it
//   was parked in the preferences, never two.
//
// Kills are aimed at each write on any machine (a start aimed at a write of
// the preferences stops itself after each one, through a preloaded library,
// until the test has looked at it; inotify tells when the dictionary is
// written; the database is read as the sqlite3 shell reads it) or come at a
// random moment; every other stretch of aimed rounds lets the process go on
// for up to 5 ms. What the files hold
// after the kill tells on which side of each write it came; rounds go on
// until every side was seen, within a budget.
//
// The moments are drawn from a printed seed; CALVARO_KILL_SEED=<seed> replays them.

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
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/FirstStartProcess.h"
#include "tests/e2e/StopsAfterRename.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

namespace fs = std::filesystem;
using PendingWorkClock = std::chrono::steady_clock;

constexpr int kPendingWorkLeastRounds = 20;
constexpr int kPendingWorkMostRounds = 60;
// Rounds stop being started past this; every round started is checked.
constexpr auto kPendingWorkBudget = std::chrono::seconds(300);

constexpr const char* kKilledCampaignLink = "https://calvaro.example/k?utm_source=killed&utm_medium=round";
constexpr const char* kNextCampaignLink = "https://calvaro.example/n?utm_source=next&utm_medium=round";

fs::path pendingWorkPreferences(const fs::path& home) {
    return home / "Library/Preferences/org.calvaro.Calvaro.plist";
}

// Whether the dictionary keeps an event pending whose parameter `parameter`
// says `value`.
bool keepsPendingParameter(const fs::path& home, const std::string& parameter, const std::string& value) {
    const std::string text = firstStartFileText(storedDictionaryFile(home));
    const std::string key = "<key>" + parameter + "</key>";
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
        const size_t open = text.find('<', at + key.size());
        if (open != std::string::npos && text.compare(open, 8 + value.size() + 9, "<string>" + value + "</string>") == 0)
            return true;
    }
    return false;
}

bool parksCampaignLink(const fs::path& home) {
    return firstStartFileText(pendingWorkPreferences(home)).find("<key>/zevure/measurement/deep_link</key>") !=
           std::string::npos;
}

// Makes the dictionary say the application was `version`, as a start of it
// would have left it.
bool storeApplicationVersion(const fs::path& home, const std::string& version) {
    return changeStoredDictionaryValue(home, "app_version", [&](const std::string&) { return version; });
}

enum PendingWorkSide { kPendingBeforeWrite, kPendingBetween, kPendingAfterBoth, kPendingSides };
constexpr std::array<const char*, kPendingSides> kPendingSideNames{"before its write", "between it and the commit",
                                                                    "after both"};

class KilledPendingWorkTest : public testing::Test {
  protected:
    enum Aim { kRandom, kAtFirstWrite, kAtSecondWrite, kAtCommit, kAims };

    void SetUp() override {
        // One first start, run to its end, that every round starts from.
        const FirstStartRound seed(root.path() / "seed");
        seedHome = seed.home;
        ASSERT_EQ(waitForCalvaro(spawnCalvaroInGroup(seed.home, seed.once), std::chrono::seconds(60)), 0)
            << seed.said();
        seedVersion = storedDictionaryValue(seed.home, "app_version").value_or("");
        ASSERT_FALSE(seedVersion.empty()) << seed.said();
        ASSERT_NE(seedVersion, "0.9");
        ASSERT_NE(seedVersion, "0.95");
    }

    FirstStartRound prepare(int round) {
        const FirstStartRound paths(root.path() / ("round-" + std::to_string(round)));
        copyDataRoot(seedHome, paths.home);
        return paths;
    }

    // Stops the start at a write of a file in `folder` (every 2 ms with no
    // folder) once `reached` holds.
    static bool stopWhen(pid_t start, const fs::path& folder, const std::function<bool()>& reached) {
        return stopCalvaroWhen(start, folder, reached, folder.empty() ? 0 : IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY);
    }

    // Starts as spawnCalvaroInGroup does, the start stopping itself after
    // each file it puts in place in its preferences folder, until it is
    // continued (see stopAtPreferencesWriteWhen).
    static pid_t spawnStoppingAtPreferencesWrites(const FirstStartRound& paths, const std::vector<std::string>& more) {
        const StopsAfterRenameInto stops(pendingWorkPreferences(paths.home).parent_path());
        return spawnCalvaroInGroup(paths.home, paths.waiting, more);
    }

    // Leaves a start from spawnStoppingAtPreferencesWrites stopped after the
    // first write of its preferences at which `reached` holds; every write
    // is looked at with the start stopped right after it, whatever the
    // machine's speed. False when the start ended or never wrote there
    // again (the minutes only catch a hang).
    static bool stopAtPreferencesWriteWhen(pid_t start, const std::function<bool()>& reached) {
        const auto deadline = PendingWorkClock::now() + std::chrono::minutes(5);
        while (PendingWorkClock::now() < deadline && waitpid(start, nullptr, WNOHANG) == 0) {
            if (stoppedAfterRename(start)) {
                if (reached()) return true;
                kill(-start, SIGCONT);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return false;
    }

    // Kills the start at a random moment of its first `randomMicros`, or
    // stops it where `aimed` says and kills it there or up to 5 ms later.
    // False when the aimed moment never came.
    bool killAt(pid_t start, int round, int64_t randomMicros, const std::function<bool()>& aimed) {
        bool reached = true;
        if (!aimed) {
            std::this_thread::sleep_for(
                std::chrono::microseconds(std::uniform_int_distribution<int64_t>(0, randomMicros)(random)));
        } else {
            reached = aimed();
            if ((round / (2 * kAims)) % 2 == 1) {
                kill(-start, SIGCONT);
                std::this_thread::sleep_for(
                    std::chrono::microseconds(std::uniform_int_distribution<int64_t>(0, 5000)(random)));
            }
        }
        kill(-start, SIGKILL);
        return reached;
    }

    // How often the starts of a round said they had handed over a start's
    // events: the search-ads reporter says it is off right after the
    // engine's start has handed over its update and campaign events.
    static int startsThatHandedOver(const FirstStartRound& paths) {
        const std::string said = firstStartFileText(paths.folder / "err.txt");
        int count = 0;
        for (size_t at = said.find("I-MSR032014"); at != std::string::npos; at = said.find("I-MSR032014", at + 1))
            ++count;
        return count;
    }

    // What a start under `home` uploads once it has handed over its start's
    // events and the database holds none left to upload (an upload commits
    // what was handed over before it), the start then ended by SIGTERM: the
    // events a collector of its own accepted (every round's data root is a
    // copy of one application instance, whose bundles a collector that saw
    // them already drops as repeats). Nothing when it did not get there or
    // end well.
    static std::optional<std::vector<tools::CollectedEvent>> uploadedByNextStart(
        const FirstStartRound& paths, const std::vector<std::string>& more = {}) {
        // Debug mode also prints what the reporter says.
        const int handedOverBefore = startsThatHandedOver(paths);
        return uploadedByOneStart(paths, [&] { return startsThatHandedOver(paths) > handedOverBefore; }, more);
    }

    // How many of `events` named `name` say each value of their text
    // parameter `parameter`.
    static std::map<std::string, int> arrived(const std::vector<tools::CollectedEvent>& events, const std::string& name,
                                              const std::string& parameter) {
        std::map<std::string, int> values;
        for (const auto& event : events) {
            if (event.name != name) continue;
            const auto* value = event.param(parameter);
            ++values[value && value->stringValue ? *value->stringValue : "(none)"];
        }
        return values;
    }

    bool everySideSeen() const {
        for (int count : sides)
            if (count == 0) return false;
        return true;
    }

    template <typename Round>
    void runRounds(const char* what, Round&& runRound) {
        const auto began = PendingWorkClock::now();
        const int least = killRounds(kPendingWorkLeastRounds);
        int rounds = 0;
        while ((rounds < least || (!everySideSeen() && rounds < kPendingWorkMostRounds)) &&
               PendingWorkClock::now() - began < kPendingWorkBudget) {
            SCOPED_TRACE("round " + std::to_string(rounds));
            runRound(rounds);
            ++rounds;
            // A lost or doubled event is counted and the rounds go on, so
            // that the figures tell how often; anything else ends them.
            if (HasFatalFailure()) break;
        }
        std::printf("%d rounds, %s killed: %d lost, %d doubled\n", rounds, what, lostRounds, doubledRounds);
        for (int side = 0; side < kPendingSides; ++side) std::printf("  %-28s %3d\n", kPendingSideNames[side], sides[side]);
        if (!HasFailure()) {
            EXPECT_TRUE(everySideSeen()) << "a side of the writes no kill came on";
        }
    }

    TemporaryDataRoot root{"killed-pending-work"};
    fs::path seedHome;
    std::string seedVersion;
    std::mt19937 random{killSeed()};
    std::array<int, kPendingSides> sides{};
    int lostRounds = 0, doubledRounds = 0;
};

// A launch's link, parked and still waiting for its "_cmp" when a kill came,
// keeps its place when the next launch comes with a link of its own: the
// next start reports both, each once. The kill is aimed at the moment the
// preferences first hold the link (or, every other round, up to 5 ms later).
TEST_F(KilledPendingWorkTest, ALinkParkedWhenKilledAndTheNextLaunchsLinkBothArriveOnce) {
    const int rounds = killRounds(4);
    int inWindow = 0;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const FirstStartRound paths = prepare(round);
        const fs::path& home = paths.home;
        auto said = [&] { return paths.said(); };
        const pid_t start = spawnStoppingAtPreferencesWrites(paths, {"--open", kKilledCampaignLink});
        ASSERT_GT(start, 0);
        EXPECT_TRUE(killAt(start, round * 2 * kAims, 0, [&] {
            return stopAtPreferencesWriteWhen(start, [&] { return parksCampaignLink(home); });
        })) << "the link was never parked" << said();
        ASSERT_EQ(waitForCalvaro(start, std::chrono::seconds(30)), 128 + SIGKILL) << said();
        const bool waiting = parksCampaignLink(home) && storedEventCount(home, "_cmp") <= 0;
        inWindow += waiting;

        const auto uploaded = uploadedByNextStart(paths, {"--open", kNextCampaignLink});
        ASSERT_TRUE(uploaded) << "the last start uploaded nothing or failed" << said();
        auto campaigns = arrived(*uploaded, "_cmp", "source");
        EXPECT_EQ(campaigns["killed"], 1) << "the killed launch's link (" << (waiting ? "" : "not ")
                                          << "waiting for its event at the kill)" << said();
        EXPECT_EQ(campaigns["next"], 1) << "the next launch's link" << said();
    }
    std::printf("%d rounds, %d killed while the link waited for its event\n", rounds, inWindow);
    EXPECT_GT(inWindow, 0) << "no kill came while the link waited for its event";
}

// The application was 0.9: a start (of the seed's version) is killed once
// the dictionary says the new version, which may leave its "_au" pending.
// The dictionary is then made to say 0.95, so the next start reports an
// update from 0.95 beside the pending one; it is killed on either side of
// the dictionary's write and of the commit. A last start leaves both.
TEST_F(KilledPendingWorkTest, ASecondUpdateKilledOnEverySideOfItsCommitLeavesBothUpdates) {
    runRounds("second updates", [&](int round) {
        const Aim aim = static_cast<Aim>(round % kAims);
        SCOPED_TRACE(testing::Message() << "aim " << aim);
        const FirstStartRound paths = prepare(round);
        const fs::path& home = paths.home;
        auto said = [&] { return paths.said(); };
        ASSERT_TRUE(storeApplicationVersion(home, "0.9"));

        pid_t start = spawnCalvaroInGroup(home, paths.waiting);
        ASSERT_GT(start, 0);
        EXPECT_TRUE(killAt(start, 0, 0, [&] {
            return stopWhen(start, measurementFolder(home),
                            [&] { return storedDictionaryValue(home, "app_version") == seedVersion; });
        })) << "the first update never reached the dictionary" << said();
        ASSERT_EQ(waitForCalvaro(start, std::chrono::seconds(30)), 128 + SIGKILL) << said();
        const int64_t firstKept = storedEventCount(home, "_au");
        ASSERT_TRUE(storeApplicationVersion(home, "0.95"));

        start = spawnCalvaroInGroup(home, paths.waiting);
        ASSERT_GT(start, 0);
        std::function<bool()> aimed;
        if (aim == kAtFirstWrite) {
            aimed = [&] { return stopWhen(start, measurementFolder(home), [] { return true; }); };
        } else if (aim == kAtSecondWrite) {
            aimed = [&] {
                return stopWhen(start, measurementFolder(home), [&] { return keepsPendingParameter(home, "_pv", "0.95"); });
            };
        } else if (aim == kAtCommit) {
            aimed = [&] { return stopWhen(start, {}, [&] { return storedEventCount(home, "_au") >= 2; }); };
        }
        EXPECT_TRUE(killAt(start, round, 100000, aimed)) << "the moment aimed at never came" << said();
        ASSERT_EQ(waitForCalvaro(start, std::chrono::seconds(30)), 128 + SIGKILL) << said();
        const bool versionKept = storedDictionaryValue(home, "app_version") == seedVersion;
        const int64_t updatesKilled = storedEventCount(home, "_au");
        EXPECT_FALSE(updatesKilled == 2 && !versionKept) << "an update stored before its dictionary" << said();
        ++sides[!versionKept ? kPendingBeforeWrite : updatesKilled == 2 ? kPendingAfterBoth : kPendingBetween];

        const auto uploaded = uploadedByNextStart(paths);
        ASSERT_TRUE(uploaded) << "the last start uploaded nothing or failed" << said();
        auto after = arrived(*uploaded, "_au", "_pv");
        lostRounds += after["0.9"] < 1 || after["0.95"] < 1;
        doubledRounds += after["0.9"] > 1 || after["0.95"] > 1;
        EXPECT_EQ(after["0.9"], 1) << "updates from 0.9 (first update " << (firstKept ? "committed" : "pending")
                                   << ", " << updatesKilled << " stored at the kill)" << said();
        EXPECT_EQ(after["0.95"], 1) << "updates from 0.95 (" << updatesKilled << " stored at the kill)" << said();
    });
}

// A start launched with a campaign link is killed before the link is
// parked, while it is, once its "_cmp" is committed or as soon as the
// preferences no longer hold it. A start run to its end leaves one "_cmp"
// of the link whenever it was parked, and never two.
TEST_F(KilledPendingWorkTest, ACampaignLinkKilledOnEverySideOfItsWritesArrivesOnce) {
    runRounds("campaign links", [&](int round) {
        const Aim aim = static_cast<Aim>(round % kAims);
        SCOPED_TRACE(testing::Message() << "aim " << aim);
        const FirstStartRound paths = prepare(round);
        const fs::path& home = paths.home;
        auto said = [&] { return paths.said(); };
        // A start aimed at a write of the preferences stops after each one
        // until it is looked at, so that neither write is missed.
        const bool atWrite = aim == kAtFirstWrite || aim == kAtSecondWrite;
        const std::vector<std::string> launch{"--open", kKilledCampaignLink};
        const pid_t start =
            atWrite ? spawnStoppingAtPreferencesWrites(paths, launch) : spawnCalvaroInGroup(home, paths.waiting, launch);
        ASSERT_GT(start, 0);
        bool seenParked = false;
        std::function<bool()> aimed;
        if (aim == kAtFirstWrite) {
            aimed = [&] { return stopAtPreferencesWriteWhen(start, [&] { return seenParked = parksCampaignLink(home); }); };
        } else if (aim == kAtSecondWrite) {
            aimed = [&] {
                return stopAtPreferencesWriteWhen(start, [&] {
                    seenParked = seenParked || parksCampaignLink(home);
                    return seenParked && !parksCampaignLink(home);
                });
            };
        } else if (aim == kAtCommit) {
            aimed = [&] { return stopWhen(start, {}, [&] { return storedEventCount(home, "_cmp") >= 1; }); };
        }
        // Every other random kill comes within the launch's first 2 ms, before
        // the link is parked on most machines.
        const int64_t randomMicros = (round / kAims) % 2 ? 2000 : 1000000;
        EXPECT_TRUE(killAt(start, round, randomMicros, aimed)) << "the moment aimed at never came" << said();
        ASSERT_EQ(waitForCalvaro(start, std::chrono::seconds(30)), 128 + SIGKILL) << said();
        const bool parkedNow = parksCampaignLink(home);
        const int64_t campaignsKilled = std::max<int64_t>(0, storedEventCount(home, "_cmp"));
        EXPECT_LE(campaignsKilled, 1) << said();
        const bool parked = seenParked || parkedNow || campaignsKilled > 0;
        ++sides[!parked ? kPendingBeforeWrite : campaignsKilled == 0 ? kPendingBetween : kPendingAfterBoth];

        const auto uploaded = uploadedByNextStart(paths);
        ASSERT_TRUE(uploaded) << "the last start uploaded nothing or failed" << said();
        const int campaigns = arrived(*uploaded, "_cmp", "source")["killed"];
        lostRounds += parked && campaigns == 0;
        doubledRounds += campaigns > 1;
        EXPECT_LE(campaigns, 1) << "the link arrived twice" << said();
        if (parked) {
            EXPECT_EQ(campaigns, 1) << "a parked link lost (" << (parkedNow ? "parked" : "not parked") << ", "
                                    << campaignsKilled << " stored at the kill)" << said();
        }
    });
}

}  // namespace
