// `calvaro` on a data root whose preferences file is compact and large: 56 MB
// of eight million trues beside the consent, the tour, the rating and a
// history. Every start, which solves an exercise and so rewrites the file,
// must stay small (the file is counted before anything is built, set aside
// whole, and what fits is kept), and the consent and the history must still
// be in the live file after three starts: a rewrite past the reader's own
// bound once made the next start begin afresh without them.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/e2e/FirstStartProcess.h"
#include "tests/support/Sanitizer.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

namespace fs = std::filesystem;

// What one start may hold; under AddressSanitizer its shadow and quarantine
// come on top.
constexpr long kPreferencesPeakKilobytes = kUnderAddressSanitizer ? 1536 * 1024 : 300 * 1024;

constexpr const char* kRecordXml =
    "<dict><key>inputParameters</key><dict><key>aTextField</key><string>2</string><key>bTextField</key>"
    "<string>1</string><key>cTextField</key><string>0</string><key>dTextField</key><string>0</string>"
    "<key>xTextField</key><string>1</string><key>zTextField</key><string>1</string></dict>"
    "<key>latexString</key><string>f(x) = 1 \\cdot \\log_{2}(1 x + 0) + 0</string><key>setupParameter</key>"
    "<dict><key>appKey</key><string>CLV</string><key>inputCalculationSelection</key><integer>0</integer></dict>"
    "<key>solutionSteps</key><array/></dict>";

// The usual keys around eight million trues, written without a blank.
std::string compactPreferences() {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>";
    xml += "<key>Calculations</key><array>";
    for (int i = 0; i < 3; ++i) xml += kRecordXml;
    xml += "</array><key>didSeedExampleCalculation</key><true/><key>flags</key><array>";
    xml.reserve(xml.size() + 8'000'000 * 7 + 400);
    for (int i = 0; i < 8'000'000; ++i) xml += "<true/>";
    xml += "</array><key>isDsgvoAccepted</key><true/><key>isOnboardingFinished</key><true/>"
           "<key>isRatingAlreadyDone</key><true/></dict></plist>";
    return xml;
}

long preferencesPeakKilobytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

struct PreferencesStart {
    long peakKilobytes = 0;
    bool shown = false;  // the script's snapshot was written
    int status = -1;
    double seconds = 0;  // from the spawn to the snapshot
};

}  // namespace

class PreferencesBoundsProcessTest : public testing::Test {
  protected:
    // One start to its first screen; its peak memory read there, then ended
    // by a signal.
    PreferencesStart startOnce() {
        PreferencesStart run;
        const fs::path script = root.path() / "wait.txt", out = root.path() / "out.txt";
        // A calculation writes the history, and with it the whole file.
        std::ofstream(script) << "tap toolbarRemoveButton\ntap #aTextField\ntype 3\ntap bTextField\ntype 2\n"
                                 "tap calculateButton\nsnapshot shown\nwait 600\n";
        fs::remove(out);
        const auto began = std::chrono::steady_clock::now();
        const pid_t pid = spawnCalvaroInGroup(home(), script);
        if (pid <= 0) return run;
        auto running = [pid] {
            siginfo_t info{};
            return waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
        };
        const auto deadline = began + std::chrono::seconds(120);
        while (!(run.shown = firstStartFileText(out).find("=== snapshot 1: shown ===") != std::string::npos) &&
               std::chrono::steady_clock::now() < deadline && running())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        run.peakKilobytes = preferencesPeakKilobytes(pid);
        kill(-pid, SIGTERM);
        run.status = waitForCalvaro(pid, std::chrono::seconds(60));
        return run;
    }
    fs::path home() const { return root.path() / "home"; }
    fs::path preferences() const { return home() / "Library/Preferences/org.calvaro.Calvaro.plist"; }
    std::string said() const { return "\n" + firstStartFileText(root.path() / "err.txt"); }

    TemporaryDataRoot root{"preferences-bounds"};
};

TEST_F(PreferencesBoundsProcessTest, ACompactFilePastTheBoundsCostsLittleAndKeepsTheConsent) {
    fs::create_directories(preferences().parent_path());
    const std::string original = compactPreferences();
    std::ofstream(preferences(), std::ios::binary) << original;

    for (int start = 1; start <= 3; ++start) {
        SCOPED_TRACE("start " + std::to_string(start));
        const PreferencesStart run = startOnce();
        ASSERT_TRUE(run.shown) << run.seconds << " s" << said();
        EXPECT_NE(run.status, -1) << said();
        EXPECT_GT(run.peakKilobytes, 0);
        EXPECT_LT(run.peakKilobytes, kPreferencesPeakKilobytes) << run.seconds << " s" << said();
        std::printf("start %d: %ld kB at most, first screen after %.2f s\n", start, run.peakKilobytes, run.seconds);

        const std::string live = firstStartFileText(preferences());
        EXPECT_LT(live.size(), size_t{8} << 20);
        for (const char* key : {"isDsgvoAccepted", "isOnboardingFinished", "isRatingAlreadyDone"}) {
            const size_t at = live.find(std::string("<key>") + key + "</key>");
            ASSERT_NE(at, std::string::npos) << key << said();
            EXPECT_EQ(live.find_first_not_of("\t\n", at + std::strlen(key) + 11), live.find("<true/>", at)) << key;
        }
        // The three records it had and one more for each start.
        size_t records = 0;
        for (size_t at = live.find("<key>latexString</key>"); at != std::string::npos;
             at = live.find("<key>latexString</key>", at + 1))
            ++records;
        EXPECT_EQ(records, size_t(3 + start)) << said();
    }
    // The whole file, as it was, for whoever wants it back.
    EXPECT_TRUE(firstStartFileText(preferences().string() + ".damaged") == original) << said();
    EXPECT_FALSE(fs::exists(preferences().string() + ".damaged-1")) << said();
}
