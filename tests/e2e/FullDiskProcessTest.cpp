// `calvaro` on a disk that fills up during its run. A loop or tmpfs mount of
// a small size needs privileges a test does not have, so the full disk is a
// limit on the size of every file the process writes (RLIMIT_FSIZE, with
// SIGXFSZ ignored): past it each write fails as on a full disk. The run must
// not say "stored" of an event that was not, must say what it lost, and must
// exit non-zero.

#include <gtest/gtest.h>
#include "tests/support/TestPaths.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/e2e/FileSizeLimit.h"
#include "tests/e2e/MeasurementDatabase.h"
#include "tests/e2e/SettledPreferences.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

namespace fs = std::filesystem;

// What the end says of work queued after it.
constexpr const char* kDroppedWork = "after the end of the queues was dropped";

int64_t storedRows(const fs::path& home, const std::string& name) {
    return storedCount(home, "SELECT count(*) FROM raw_events WHERE name = '" + name + "'");
}

// The console lines that call a calculation's event stored.
int64_t saidStoredCalculations(const std::string& output) {
    int64_t said = 0;
    for (size_t at = output.find("Event logged"); at != std::string::npos;
         at = output.find("Event logged", at + 1)) {
        const size_t end = output.find('\n', at);
        if (output.substr(at, end - at).find("kal_calculate") != std::string::npos) ++said;
    }
    return said;
}

TEST(FullDiskProcessTest, NothingIsCalledStoredThatIsNotAndTheRunSaysWhatItLost) {
    TemporaryDataRoot root("full-disk");
    const fs::path home = root.path() / "home";
    fs::create_directories(home / "Library/Preferences");
    std::ofstream(home / "Library/Preferences/org.calvaro.Calvaro.plist") << kSettledPreferences;
    std::string calculations = "tap toolbarRemoveButton\n";
    for (int i = 2; i < 42; ++i) {
        calculations += "tap #aTextField\ntype " + std::to_string(i) + "\ntap bTextField\ntype 2\ntap calculateButton\n";
        calculations += "tap toolbarRemoveButton\n";
    }
    const fs::path script = root.path() / "calculations.txt";
    std::ofstream(script) << calculations;
    const std::vector<std::string> arguments{"--home", home.string(), "--script", script.string(),
                                             "-DEDIzuraroveDebugEnabled"};

    // A first run with room: every calculation stored, exit 0, nothing lost.
    const LimitedRun roomy = runWithFileLimit(CALVARO_EXECUTABLE, arguments, RLIM_INFINITY, 300);
    ASSERT_EQ(roomy.status, 0) << roomy.output;
    EXPECT_EQ(roomy.output.find("not stored"), std::string::npos) << roomy.output;
    const int64_t before = storedRows(home, "kal_calculate");
    ASSERT_EQ(before, 40) << roomy.output;
    // The end drops nothing of anyone's: no debug line is told as dropped work.
    EXPECT_EQ(roomy.output.find(kDroppedWork), std::string::npos) << roomy.output;
    EXPECT_EQ(saidStoredCalculations(roomy.output), 40) << "the debug console says what it stored\n"
                                                        << roomy.output;

    // Then the disk fills up in the middle of the run.
    const LimitedRun full = runWithFileLimit(CALVARO_EXECUTABLE, arguments, 64 * 1024, 300);
    EXPECT_NE(full.status, 0) << full.output;
    EXPECT_NE(full.output.find("calvaro: not stored: "), std::string::npos) << full.output;
    const int64_t stored = storedRows(home, "kal_calculate") - before;
    EXPECT_LT(stored, 40) << "the disk never filled up\n" << full.output;
    // Each "stored" said of a calculation is a row that is there.
    const int64_t saidStored = saidStoredCalculations(full.output);
    EXPECT_LE(saidStored, stored) << full.output.substr(0, 4000);

    // A disk too full for the history of exercises: the run names the file
    // whose changes it could not write.
    const LimitedRun noHistory = runWithFileLimit(CALVARO_EXECUTABLE, arguments, 2048, 300);
    EXPECT_NE(noHistory.status, 0) << noHistory.output;
    const size_t said = noHistory.output.find("calvaro: not stored: ");
    ASSERT_NE(said, std::string::npos) << noHistory.output;
    EXPECT_NE(noHistory.output.find("preferences file", said), std::string::npos)
        << noHistory.output.substr(said);
    EXPECT_NE(noHistory.output.find("org.calvaro.Calvaro.plist", said), std::string::npos)
        << noHistory.output.substr(said);
    // An engine that could not start held no one's data: its end, its
    // session reporter's timer with it, drops no work.
    EXPECT_EQ(noHistory.output.find(kDroppedWork), std::string::npos) << noHistory.output;
}

}  // namespace
