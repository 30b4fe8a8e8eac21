// A damaged database set aside at a start on a nearly full disk: the salvage
// has no room for the copy it reads from, keeps its mark and the set-aside
// copy, and says on standard error that its rows wait; the start's own
// events still arrive. The next start, with room, goes on with the salvage,
// and every event stored before the damage arrives once, beside the events
// of the start without room. The nearly full disk is a limit on the size of
// every file the driver writes (RLIMIT_FSIZE, with SIGXFSZ ignored): past it
// a write fails as on a full disk.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/FileSizeLimit.h"
#include "tests/e2e/MeasurementDatabase.h"

namespace {

namespace fs = std::filesystem;
using tools::DriverProcess;

class SalvageWithoutRoomProcessTest : public DriverTest {
  protected:
    SalvageWithoutRoomProcessTest() : DriverTest("salvage-room") {}
    void SetUp() override {
        DriverTest::SetUp();
        serveLargeDailyShares();
    }
    fs::path databaseFile() const { return measurementDatabase(root.path()); }
    std::string console() const {
        std::ifstream in(root.path() / "console.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(SalvageWithoutRoomProcessTest, EveryStoredEventArrivesOnceWhenRoomReturns) {
    constexpr int64_t kStored = 20000;
    // Stored and acknowledged, none sent: the uploads are held, and the run
    // is killed once every event is stored.
    ASSERT_NO_FATAL_FAILURE(storeAndKill(1, kStored));

    ASSERT_NO_FATAL_FAILURE(damageTheLogOfReceipts(databaseFile()));
    const uintmax_t keptBytes = fs::file_size(databaseFile());
    // Bundled or not when the run was killed, the events take more than a
    // fresh file and the start's own events do.
    ASSERT_GT(keptBytes, uintmax_t{1} << 20);
    // The console so far goes aside: the start without room appends to its own.
    fs::rename(root.path() / "console.log", root.path() / "console-stored.log");

    const fs::path copy = databaseFile().string() + ".damaged-1";
    const fs::path mark = databaseFile().string() + ".salvage";
    auto nearlyFull = numberedDriverEvents(100000, 20);
    {
        // Room for a fresh file and the start's own events, not for a copy
        // of the kept one; only the driver has the limit, from its start.
        std::optional<FileSizeLimitScope> limit(std::in_place, std::min<rlim_t>(keptBytes / 2, rlim_t{1} << 20));
        DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--first", "100000", "--count", "20"}));
        limit.reset();
        EXPECT_TRUE(measurement.waitUntil(
            [&](const std::vector<tools::CollectedUpload>& uploads) { return acceptedCount(uploads, nearlyFull) >= 20; },
            300))
            << consoleTail();
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
    }
    const std::string said = console();
    const size_t at = said.find("waits for room to write: ");
    EXPECT_NE(at, std::string::npos) << consoleTail();
    if (at != std::string::npos) {
        std::printf("  kept %.1f MiB; said: %s\n", static_cast<double>(keptBytes) / (1 << 20),
                    said.substr(said.rfind('\n', at) + 1, said.find('\n', at) - said.rfind('\n', at) - 1).c_str());
        const char* count = said.c_str() + at + 25;
        if (std::string_view(count).rfind("at least ", 0) == 0) count += 9;
        // Rows, not events: the events a bundle holds are one row.
        EXPECT_GT(std::atoll(count), 0) << said.substr(at, 200);
    }
    EXPECT_TRUE(fs::exists(copy)) << consoleTail();
    EXPECT_TRUE(fs::exists(mark)) << consoleTail();

    // Room again: the next start goes on with the salvage.
    auto stored = numberedDriverEvents(1, kStored);
    {
        DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--count", "0", "--marker", "1"}));
        EXPECT_TRUE(measurement.waitUntil(
            [&](const std::vector<tools::CollectedUpload>& uploads) {
                return acceptedCount(uploads, stored) >= static_cast<size_t>(kStored);
            },
            300))
            << "arrived: " << acceptedCount(measurement.uploads(), stored) << " of " << kStored << consoleTail();
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
    }
    expectEachAcceptedOnce(stored, kStored);
    expectEachAcceptedOnce(nearlyFull, 20);
    // Bundles the kept file had queued went out beside the new ones, none
    // taken for a repeat of a new one's index.
    EXPECT_EQ(measurement.repeatedBundleCount(), 0u);
    EXPECT_FALSE(fs::exists(mark)) << "the salvage is done";
    EXPECT_TRUE(fs::exists(copy));
}

}  // namespace
