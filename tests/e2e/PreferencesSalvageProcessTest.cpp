// `calvaro` and the event driver over preferences that must be salvaged or
// cleaned, as a restored copy, another program or a damaged disk may leave
// them: a binary file of 1,000 entries that share one 33 MiB string, killed
// at random moments of its start; a binary file a byte past the read bound;
// a list of campaign links waiting to be reported that holds 50,000 entries
// of junk or 2,000 links. The consent and the history stay, every start
// reaches its first screen or exits cleanly, and no more links are reported
// than may wait.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/FirstStartProcess.h"
#include "tests/e2e/KillSeed.h"
#include "tests/e2e/SettledPreferences.h"
#include "tests/e2e/SolvingStart.h"
#include "tests/e2e/StopsAfterRename.h"
#include "tests/support/BinaryPropertyListBytes.h"
#include "tests/support/Sanitizer.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

namespace fs = std::filesystem;

// The first screen of a start whose salvage walks each object once costs
// about half a second of CPU time in the release tree, some twice a start
// over the settled file; a salvage that walks the shared string again for
// each entry took 41-52 s. The bound is ten times that start, measured
// beside it: a crowded machine makes both dearer, not their ratio.
constexpr double kSalvageFirstScreenTimes = 10;

// What a start over a binary file a byte past the read bound may hold: it
// salvages the file through a window and holds about 24 MB (80 MB under
// AddressSanitizer, its shadow and quarantine on top); one that also held the
// file whole held 83 MB (153 MB).
constexpr long kSalvagePeakKilobytes = kUnderAddressSanitizer ? 120 * 1024 : 56 * 1024;

// A binary root dictionary of the consent's three keys (true), `entries`
// keys "flag<i>" that each refer to one string of `length` bytes, placed
// after `padding` bytes of a data object under "pad" when `padding` is not 0.
// The consent's keys come last in the dictionary and in the file.
std::string salvageProcessFile(uint64_t entries, uint64_t length, uint64_t padding = 0) {
    std::vector<std::string> keys;
    for (uint64_t i = 0; i < entries; ++i) keys.push_back("flag" + std::to_string(i));
    if (padding) keys.push_back("pad");
    for (const char* key : {"isDsgvoAccepted", "isOnboardingFinished", "isRatingAlreadyDone"}) keys.push_back(key);
    const uint64_t first = 1 + keys.size();  // the shared string, then the pad, then true
    std::vector<uint64_t> refs;
    for (uint64_t i = 0; i < keys.size(); ++i) refs.push_back(1 + i);
    for (uint64_t i = 0; i < entries; ++i) refs.push_back(first);
    if (padding) refs.push_back(first + 1);
    for (int i = 0; i < 3; ++i) refs.push_back(first + (padding ? 2 : 1));
    std::vector<std::string> objects{binaryPropertyListMarker(0xD, keys.size()) + binaryPropertyListRefs(refs, 4)};
    for (const auto& key : keys) objects.push_back(binaryPropertyListMarker(0x5, key.size()) + key);
    objects.push_back(binaryPropertyListMarker(0x5, length) + std::string(length, 'x'));
    if (padding) objects.push_back(binaryPropertyListMarker(0x4, padding) + std::string(padding, 'p'));
    objects.push_back("\x09");
    return binaryPropertyListFile(objects, 4);
}

}  // namespace

class PreferencesSalvageProcessTest : public PreferencesFileStartTest {
  protected:
    PreferencesSalvageProcessTest() : PreferencesFileStartTest("preferences-salvage") {}
    // The live file holds the consent as the writer writes it; the number
    // of calculations its history holds.
    size_t expectKept() {
        const std::string live = firstStartFileText(preferences());
        for (const char* key : {"isDsgvoAccepted", "isOnboardingFinished", "isRatingAlreadyDone"}) {
            const std::string tag = std::string("<key>") + key + "</key>";
            const size_t at = live.find(tag);
            if (at == std::string::npos) {
                ADD_FAILURE() << key << " is gone" << said();
                return 0;
            }
            EXPECT_EQ(live.find_first_not_of("\t\n", at + tag.size()), live.find("<true/>", at)) << said();
        }
        size_t found = 0;
        for (size_t p = live.find("<key>latexString</key>"); p != std::string::npos;
             p = live.find("<key>latexString</key>", p + 1))
            ++found;
        return found;
    }

};

// 1,000 entries refer to one string of 33 MiB (34.6 MB): past the share a
// salvage keeps, it is walked once, not once for each entry.
TEST_F(PreferencesSalvageProcessTest, AFileOfSharedReferencesIsSalvagedAtOnce) {
    freshHome(kSettledPreferences);
    const SolvingStart usual = solveOnceAndStop(root.path(), home(), std::chrono::seconds(240));
    ASSERT_TRUE(usual.shown) << usual.seconds << " s" << said();
    const std::string file = salvageProcessFile(1000, uint64_t{33} << 20);
    freshHome(file);
    const SolvingStart run = solveOnceAndStop(root.path(), home(), std::chrono::seconds(240));
    ASSERT_TRUE(run.shown) << run.seconds << " s" << said();
    std::printf("%zu bytes: first screen after %.2f s, %.2f s of CPU (%.2f s over the settled file), %ld kB at most\n",
                file.size(), run.seconds, run.cpuSeconds, usual.cpuSeconds, run.peakKilobytes);
    EXPECT_GT(usual.cpuSeconds, 0) << "unread";
    EXPECT_LT(run.cpuSeconds, kSalvageFirstScreenTimes * calibrationCpuSeconds(usual.cpuSeconds)) << said();
    EXPECT_GT(expectKept(), 0u) << "the calculation is stored" << said();
}

// Killed at random moments of the start's first fifth of a second (three
// fifths under the sanitizers), its salvage among them: the live file is
// the file as it was or the salvaged one, never missing, and the consent is
// kept either way.
TEST_F(PreferencesSalvageProcessTest, AKillDuringTheSalvageKeepsTheConsent) {
    const std::string file = salvageProcessFile(1000, uint64_t{33} << 20);
    std::mt19937 random(killSeed());
    const int rounds = kUnderAddressSanitizer ? 6 : 12;
    const fs::path script = root.path() / "wait.txt";
    std::ofstream(script) << "wait 600\n";
    int salvaged = 0;
    for (int round = 0; round < rounds; ++round) {
        const int ms = std::uniform_int_distribution<int>(0, kUnderAddressSanitizer ? 600 : 200)(random);
        SCOPED_TRACE("killed after " + std::to_string(ms) + " ms");
        freshHome(file);
        const pid_t pid = spawnCalvaroInGroup(home(), script);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        kill(-pid, SIGKILL);
        waitForCalvaro(pid, std::chrono::seconds(60));
        ASSERT_TRUE(fs::exists(preferences())) << said();
        const std::string live = firstStartFileText(preferences());
        if (live == file) continue;
        ++salvaged;
        expectKept();
    }
    std::printf("%d of %d kills came after the salvaged file was written\n", salvaged, rounds);
    // The next start keeps the consent whatever the kill left.
    const SolvingStart run = solveOnceAndStop(root.path(), home(), std::chrono::seconds(240));
    ASSERT_TRUE(run.shown) << said();
    EXPECT_GT(expectKept(), 0u) << "the calculation is stored" << said();
}

// 64 MiB + 1 byte whose padding comes first: the consent lies past the first
// 64 MiB, its trailer at the end.
TEST_F(PreferencesSalvageProcessTest, ABinaryFileAByteLargerThanTheReadBoundKeepsTheConsent) {
    const uint64_t target = (uint64_t{64} << 20) + 1;
    const uint64_t padding = target - (salvageProcessFile(0, 8, 100).size() - 100);
    const std::string file = salvageProcessFile(0, 8, padding);
    ASSERT_EQ(file.size(), target);
    freshHome(file);
    size_t history = 0;
    for (int start = 1; start <= 2; ++start) {
        const SolvingStart run = solveOnceAndStop(root.path(), home(), std::chrono::seconds(240));
        ASSERT_TRUE(run.shown) << run.seconds << " s" << said();
        // The first start salvages the file through a window of it; held
        // whole, the file alone would cost it 64 MiB more.
        std::printf("start %d: %ld kB at most\n", start, run.peakKilobytes);
        EXPECT_GT(run.peakKilobytes, 0);
        EXPECT_LT(run.peakKilobytes, kSalvagePeakKilobytes) << "start " << start << said();
        const size_t now = expectKept();
        EXPECT_GT(now, history) << "start " << start << " stores its calculation" << said();
        history = now;
    }
}

// What each write of a preferences file holds of the waiting list (its
// links and its junk) while a driver, started to stop after each write,
// runs: its watcher looks at the file at each stop and continues the driver.
class WaitingListWrites {
  public:
    struct Held {
        size_t links = 0, junk = 0;
        bool operator==(const Held&) const = default;
    };

    WaitingListWrites(pid_t driver, fs::path file) : file_(std::move(file)), watcher_([this, driver] {
        while (!stopping_) {
            if (!stoppedAfterRename(driver)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            const std::string text = firstStartFileText(file_);
            const size_t listAt = text.find("<key>/zevure/measurement/deep_links_waiting</key>");
            const std::string list =
                listAt == std::string::npos ? "" : text.substr(listAt, text.find("</array>", listAt) - listAt);
            Held held;
            for (size_t p = list.find("<key>link</key>"); p != std::string::npos; p = list.find("<key>link</key>", p + 1))
                ++held.links;
            for (size_t p = list.find("<true/>"); p != std::string::npos; p = list.find("<true/>", p + 1)) ++held.junk;
            {
                std::lock_guard lock(mutex_);
                writes_.push_back(held);
            }
            kill(driver, SIGCONT);
        }
    }) {}
    ~WaitingListWrites() { stop(); }

    void stop() {
        stopping_ = true;
        if (watcher_.joinable()) watcher_.join();
    }
    std::vector<Held> writes() {
        std::lock_guard lock(mutex_);
        return writes_;
    }

  private:
    const fs::path file_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::vector<Held> writes_;
    std::thread watcher_;
};

class WaitingLinksProcessTest : public DriverTest {
  protected:
    WaitingLinksProcessTest() : DriverTest("waiting-links") {}

    fs::path preferences() const { return root.path() / "Library/Preferences/org.calvaro.Calvaro.plist"; }

    // Campaign events the collector accepted, and those the store still holds.
    size_t uploadedLinks() {
        size_t n = 0;
        for (const auto& event : measurement.acceptedEvents()) n += event.name == "_cmp" || event.name == "_cmpx";
        return n;
    }
    // The counts the console's lines of `code` end with, from its
    // `skipped`th such line on.
    std::vector<int64_t> consoleCounts(int64_t code, size_t skipped) const {
        char tag[16];
        std::snprintf(tag, sizeof tag, "I-MSR%06lld", static_cast<long long>(code));
        std::ifstream in(root.path() / "console.log");
        std::vector<int64_t> counts;
        size_t seen = 0;
        for (std::string line; std::getline(in, line);) {
            if (line.find(tag) == std::string::npos || seen++ < skipped) continue;
            const size_t digits = line.find_last_not_of("0123456789");
            counts.push_back(digits + 1 < line.size() ? std::stoll(line.substr(digits + 1)) : -1);
        }
        return counts;
    }
    size_t storedLinks() {
        size_t n = 0;
        for (const char* name : {"_cmp", "_cmpx"})
            n += static_cast<size_t>(std::max<int64_t>(0, storedEventCount(root.path(), name)));
        return n;
    }
};

// The waiting list as another program may leave it: 50,000 entries of junk
// (350 KB) before 2,000 links, 2,000 links alone, or 17 links of 1 MB. One
// start cleans it in one write, exits cleanly, uploads its events and
// reports at most the 16 links that may wait, none longer than a link may be.
TEST_F(WaitingLinksProcessTest, AnOverfullWaitingListCostsOneStartOneWrite) {
    const double now = static_cast<double>(std::chrono::duration_cast<std::chrono::seconds>(
                                               std::chrono::system_clock::now().time_since_epoch())
                                               .count());
    const struct {
        const char* name;
        size_t junk;
        size_t links;
        size_t campaignBytes;  // of each link's campaign name
        size_t atLeast, atMost;
    } rows[] = {
        {"50,000 entries of junk, then 2,000 links", 50'000, 2000, 8, 0, 16},
        {"2,000 links", 0, 2000, 8, 16, 16},
        // Longer than any link that waits: junk too.
        {"17 links of 1 MB", 0, 17, 1 << 20, 0, 0},
    };
    int64_t first = 1;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const size_t uploadedBefore = uploadedLinks();
        fs::remove_all(root.path() / "Library");
        fs::create_directories(preferences().parent_path());
        std::string list;
        list.reserve(row.junk * 8 + row.links * (160 + row.campaignBytes));
        for (size_t i = 0; i < row.junk; ++i) list += "<true/>";
        for (size_t i = 0; i < row.links; ++i)
            list += "<dict><key>link</key><string>calvaro://open?utm_source=s&amp;utm_medium=m&amp;utm_campaign=" +
                    std::to_string(i) + std::string(row.campaignBytes, 'c') + "</string><key>timestamp</key><real>" +
                    std::to_string(now - 60) + "</real></dict>";
        std::ofstream(preferences()) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                                        "<key>/zevure/measurement/deep_links_waiting</key><array>"
                                     << list << "</array></dict></plist>";
        const size_t notKeptBefore = consoleLinesWith(23275);
        // The driver stops after each write of the preferences until the
        // watcher below has counted what the write holds.
        std::optional<tools::DriverProcess> started;
        {
            const StopsAfterRenameInto stops(preferences().parent_path());
            started.emplace(CALVARO_EVENT_DRIVER, debugArguments({"--first", std::to_string(first), "--count", "3"}));
        }
        tools::DriverProcess& driver = *started;
        WaitingListWrites writes(driver.pid(), preferences());
        ASSERT_TRUE(driver.readUntil([](const auto& r) { return r.kind == tools::DriverProcess::kAllLogged; }, 120))
            << consoleTail();
        // Ended once its events and the links it must report have arrived:
        // what is left to upload at the end is then little on any machine.
        const auto isLink = [](const tools::CollectedEvent& event) {
            return event.name == "_cmp" || event.name == "_cmpx";
        };
        EXPECT_TRUE(measurement.waitUntil(
            [&](const std::vector<tools::CollectedUpload>& uploads) {
                return acceptedCount(uploads, [&](const tools::CollectedEvent& event) {
                           const auto n = event.intParam("n");
                           return event.name == "e2e_event" && n && *n >= first;
                       }) >= 3 &&
                       acceptedCount(uploads, isLink) >= uploadedBefore + row.atLeast;
            },
            kUnderAddressSanitizer ? 600 : 300))
            << consoleTail();
        // What the start read of the list and wrote by the time its links
        // arrived, counted (before its end, which a slip here holds): the first
        // read keeps at most the 16 links that may wait, whatever follows
        // them; the list is cleaned in its first write, and no write holds
        // more than 16 links or any junk.
        const std::vector<int64_t> notKept = consoleCounts(23275, notKeptBefore);
        if (row.junk + row.links > 16) {
            ASSERT_FALSE(notKept.empty()) << "the junk and links past the cap are not said to go" << consoleTail();
            EXPECT_GE(notKept.front(), static_cast<int64_t>(row.junk + row.links) - 16) << consoleTail();
        }
        // Writes of other values carry the list as it was until the start
        // cleans it; from then on each change of the list is a link that
        // left it.
        const std::vector<WaitingListWrites::Held> held = writes.writes();
        WaitingListWrites::Held last{row.links, row.junk};
        size_t changes = 0, mostLinks = 0, withJunk = 0;
        for (const auto& write : held) {
            if (write == last) continue;
            ++changes;
            mostLinks = std::max(mostLinks, write.links);
            withJunk += write.junk > 0;
            last = write;
        }
        EXPECT_GT(changes, 0u) << "the list was never cleaned" << consoleTail();
        EXPECT_LE(changes, 1 + row.atMost) << "writes that changed the list";
        EXPECT_LE(mostLinks, 16u) << "links in one write";
        EXPECT_EQ(withJunk, 0u) << "writes that kept junk";
        std::printf("%s: %zu writes of the preferences, %zu changed the list, at most %zu links in one; %lld "
                    "entries not kept at the first read\n",
                    row.name, held.size(), changes, mostLinks,
                    static_cast<long long>(notKept.empty() ? 0 : notKept.front()));
        ASSERT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
        writes.stop();
        std::set<int64_t> uploaded;
        for (const auto& event : measurement.acceptedEvents())
            if (auto n = event.intParam("n"); event.name == "e2e_event" && n && *n >= first) uploaded.insert(*n);
        EXPECT_EQ(uploaded.size(), 3u) << consoleTail();
        const size_t links = uploadedLinks() - uploadedBefore + storedLinks();
        std::printf("%s: %zu links reported\n", row.name, links);
        EXPECT_LE(links, row.atMost) << consoleTail();
        EXPECT_GE(links, row.atLeast) << consoleTail();
        // What is left waiting is no more than the cap, junk gone.
        const std::string left = firstStartFileText(preferences());
        size_t waiting = 0;
        for (size_t p = left.find("<key>link</key>"); p != std::string::npos; p = left.find("<key>link</key>", p + 1))
            ++waiting;
        EXPECT_LE(waiting, 16u);
        const size_t listAt = left.find("<key>/zevure/measurement/deep_links_waiting</key>");
        if (listAt != std::string::npos) {
            const std::string kept = left.substr(listAt, left.find("</array>", listAt) - listAt);
            EXPECT_EQ(kept.find("<true/>"), std::string::npos);
        }
        first += 3;
    }
}
