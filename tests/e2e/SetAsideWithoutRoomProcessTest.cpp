// A damaged database met by starts without room to set it aside, and a salvage
// waiting for room whose new file is damaged in turn: every event a start
// acknowledged as stored arrives once when a start has room. The full disk is
// a limit on the size of every file the driver writes (RLIMIT_FSIZE, with
// SIGXFSZ ignored): past it a write fails as on a full disk.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/FileSizeLimit.h"
#include "tests/e2e/MeasurementDatabase.h"

namespace {

namespace fs = std::filesystem;
using tools::DriverProcess;

class SetAsideWithoutRoomProcessTest : public DriverTest {
  protected:
    SetAsideWithoutRoomProcessTest() : DriverTest("set-aside-room") {}
    void SetUp() override {
        DriverTest::SetUp();
        serveLargeDailyShares();
    }
    fs::path databaseFile() const { return measurementDatabase(root.path()); }

    // A start with room that runs until `count` events from `first` have
    // arrived; each must arrive once.
    void startUntilArrived(int64_t first, int64_t count) {
        auto ours = numberedDriverEvents(first, count);
        DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--count", "0", "--marker", "1"}));
        EXPECT_TRUE(measurement.waitUntil(
            [&](const std::vector<tools::CollectedUpload>& uploads) {
                return acceptedCount(uploads, ours) >= static_cast<size_t>(count);
            },
            300))
            << "arrived: " << acceptedCount(measurement.uploads(), ours) << " of " << count << consoleTail();
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
        expectEachAcceptedOnce(ours, static_cast<size_t>(count));
    }
};

// No room at all (every write fails), twice: the damaged file cannot be named
// in a salvage mark, so it stays where it is, and each start says that the
// events stored in it wait. The start with room sets it aside and copies it.
TEST_F(SetAsideWithoutRoomProcessTest, ADamagedFileMetWithoutRoomWaitsForAStartWithRoom) {
    constexpr int64_t kStored = 2000;
    ASSERT_NO_FATAL_FAILURE(storeAndKill(1, kStored));
    ASSERT_NO_FATAL_FAILURE(damageTheLogOfReceipts(databaseFile()));
    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start);
        // The engine's start is all this start does: it stores nothing.
        const LimitedRun run = runWithFileLimit(CALVARO_EVENT_DRIVER, debugArguments({"--count", "0"}), 0, 120);
        EXPECT_NE(run.output.find("is damaged and stays where it is"), std::string::npos) << run.output;
        EXPECT_NE(run.status, -1) << run.output;
        EXPECT_TRUE(fs::exists(databaseFile()));
        EXPECT_FALSE(fs::exists(databaseFile().string() + ".salvage"));
    }
    ASSERT_NO_FATAL_FAILURE(startUntilArrived(1, kStored));
    EXPECT_FALSE(fs::exists(databaseFile().string() + ".salvage"));
}

// A salvage waits for room; the start stores events of its own in the new
// file meanwhile, and is killed before it sends them. That file is damaged in
// turn and set aside by the next start: it joins the salvage behind the
// first copy, and both copies' events arrive once.
TEST_F(SetAsideWithoutRoomProcessTest, AFileDamagedWhileItsSalvageWaitsJoinsTheSalvage) {
    constexpr int64_t kStored = 20000;
    ASSERT_NO_FATAL_FAILURE(storeAndKill(1, kStored));
    ASSERT_NO_FATAL_FAILURE(damageTheLogOfReceipts(databaseFile()));
    const uintmax_t keptBytes = fs::file_size(databaseFile());
    ASSERT_GT(keptBytes, uintmax_t{1} << 20);

    // Room for a fresh file and the start's own events, not for a copy of
    // the kept one; the events are stored and acknowledged, none sent.
    measurement.setUploadsHeld(true);
    {
        std::optional<FileSizeLimitScope> limit(std::in_place, std::min<rlim_t>(keptBytes / 2, rlim_t{1} << 20));
        DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--first", "100000", "--count", "20"}));
        limit.reset();
        ASSERT_TRUE(driver.readUntil([&](const auto&) { return driver.handledCount() >= 20; }, 300))
            << "the driver stopped after " << driver.handledCount() << " events" << consoleTail();
        driver.kill();
    }
    collector.releaseHeldReplies();
    measurement.setUploadsHeld(false);
    measurement.clear();
    ASSERT_TRUE(fs::exists(databaseFile().string() + ".salvage"));
    ASSERT_TRUE(fs::exists(databaseFile().string() + ".damaged-1"));

    // The new file damaged in turn: its first page overwritten.
    {
        std::fstream file(databaseFile(), std::ios::in | std::ios::out | std::ios::binary);
        file.write(std::string(100, '\x5a').data(), 100);
    }
    ASSERT_NO_FATAL_FAILURE(startUntilArrived(1, kStored));
    expectEachAcceptedOnce(numberedDriverEvents(100000, 20), 20);
    EXPECT_EQ(measurement.repeatedBundleCount(), 0u);
    EXPECT_FALSE(fs::exists(databaseFile().string() + ".salvage"));
}

}  // namespace
