// Queued rows that are no bundle, however they begin and however many, never
// hold the run's own events past that run.
// - 300 rows whose inflated bytes begin as a bundle's (a field claiming
//   63 MiB, a field no bundle has claiming as much, 9,999 small events and
//   then zeros) ahead of a real bundle: the start's events and the bundle
//   arrive at that start, each once, the run exits 0, the rows are gone
//   within three starts, and each row cost the bytes that showed it was no
//   bundle, as the console says, not the 63 MiB it inflates to;
// - 1,000,000 rows of 22 bytes that are no bundle ahead of a run's burst: the
//   burst arrives in that run after as many upload runs of the schedule as
//   on the same root without them: the passes over the rows go on at once,
//   not one upload interval after another (an hour each in a run without
//   debug mode).

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/security/Compression.h"
#include "tests/e2e/BundleLookingRows.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/MeasurementDatabase.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

namespace fs = std::filesystem;
using tools::DriverProcess;

// Replaces the contents of `folder` with those of `from`.
void bundleLookingRestore(const fs::path& from, const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) fs::remove_all(entry.path());
    fs::copy(from, folder, fs::copy_options::recursive);
}

bool bundleLookingBurst(const tools::CollectedEvent& event) {
    const auto n = event.intParam("n");
    return event.name == "e2e_event" && n && *n >= 100 && *n < 300;
}

// What a row that is no bundle may cost before it shows it: its first
// 256 KiB walked in small steps, what follows in steps of 64 KiB, and the
// 9,999 small events (270 KB) the costliest shape holds before its zeros.
constexpr uint64_t kBundleLookingMostCost = 512 << 10;

class BundleLookingRowsProcessTest : public DriverTest {
  protected:
    BundleLookingRowsProcessTest() : DriverTest("bundle-looking") {}


    int64_t rowsAhead() const { return storedCount(root.path(), "SELECT count(*) FROM queue WHERE rowid < 0"); }
};

struct BundleLookingRow {
    const char* name;
    BundleLookingShape shape;
};

void PrintTo(const BundleLookingRow& row, std::ostream* out) { *out << row.name; }

class BundleLookingBombRows : public BundleLookingRowsProcessTest,
                              public testing::WithParamInterface<BundleLookingRow> {};

INSTANTIATE_TEST_SUITE_P(Shapes, BundleLookingBombRows,
                         testing::Values(BundleLookingRow{"OneField", BundleLookingShape::kOneField},
                                         BundleLookingRow{"UnknownField", BundleLookingShape::kUnknownField},
                                         BundleLookingRow{"SmallEventsThenZeros",
                                                          BundleLookingShape::kSmallEventsThenZeros}),
                         [](const testing::TestParamInfo<BundleLookingRow>& info) { return info.param.name; });

TEST_P(BundleLookingBombRows, TheStartsEventsArriveAtThatStartAndTheRowsGoWithinThreeStarts) {
    queueABundleOfThreeAndKill();
    if (HasFatalFailure()) return;
    queueAhead(root.path(), bundleLookingRow(GetParam().shape), 300, dispatch::Clock::now());
    if (HasFatalFailure()) return;

    auto ours = [](const tools::CollectedEvent& event) {
        const auto n = event.intParam("n");
        return event.name == "e2e_event" && n && ((*n >= 1 && *n <= 3) || (*n >= 100 && *n < 300));
    };
    startUntilArrived(ours, 203);
    expectEachAcceptedOnce(ours, 203);
    for (int start = 1; start < 3 && rowsAhead() > 0; ++start) {
        logAndEnd(400 + start * 10, 3);
        if (HasFatalFailure()) return;
    }
    EXPECT_EQ(rowsAhead(), 0) << consoleTail();
    // Each pass says the first row it dropped and what it cost.
    const auto costs = bundleLookingRowCosts(root.path() / "console.log");
    ASSERT_GE(costs.size(), 1u) << consoleTail();
    for (const auto& cost : costs) {
        ASSERT_TRUE(cost) << "a drop without its cost" << consoleTail();
        EXPECT_LE(*cost, kBundleLookingMostCost);
    }
    std::printf("  300 rows of %s: %zu passes said their drops, the first costing %llu inflated bytes\n",
                GetParam().name, costs.size(), static_cast<unsigned long long>(*costs.front()));
}

TEST_F(BundleLookingRowsProcessTest, AMillionTinyRowsAheadOfARunsBurstLetItArriveInThatRun) {
    logAndEnd(1, 3);
    if (HasFatalFailure()) return;
    TemporaryDataRoot clean("bundle-looking-clean"), junk("bundle-looking-junk");
    fs::copy(root.path(), clean.path(), fs::copy_options::recursive);
    const std::vector<uint8_t> tiny = *security::gzip({0x0a, 0x00});
    ASSERT_EQ(tiny.size(), 22u);
    queueAhead(root.path(), tiny, 1'000'000, dispatch::Clock::now());
    if (HasFatalFailure()) return;
    fs::copy(root.path(), junk.path(), fs::copy_options::recursive);

    // The upload runs the schedule started (its timer fired), each of which
    // waits an upload interval in a run without debug mode.
    size_t scheduled[2] = {0, 0};
    for (const bool withJunk : {false, true}) {
        SCOPED_TRACE(withJunk ? "with the tiny rows" : "without");
        bundleLookingRestore(withJunk ? junk.path() : clean.path(), root.path());
        measurement.clear();
        startUntilArrived(bundleLookingBurst, 200);
        expectEachAcceptedOnce(bundleLookingBurst, 200);
        if (HasFailure()) return;
        scheduled[withJunk] = consoleLinesWith(2001);
    }
    std::printf("  a burst uploaded behind 1,000,000 rows that are no bundle after %zu scheduled upload runs, "
                "%zu without them\n", scheduled[1], scheduled[0]);
    // Beside the runs the burst's own timing starts (a few either way), the
    // rows alone took twenty, an upload's queue work each.
    EXPECT_LE(scheduled[1], scheduled[0] + 4) << consoleTail();
    // Dropped a pass at a time, each said in one line: 10,000 rows a pass.
    const int64_t dropped = 1'000'000 - rowsAhead();
    EXPECT_EQ(dropped, 1'000'000);
    EXPECT_GE(consoleLinesWith(12083), 1u);
    EXPECT_LE(consoleLinesWith(12083), static_cast<size_t>(dropped / 10'000 + 10)) << consoleTail();
}

}  // namespace
