// What a start meets in the queue and the raw events costs it a bounded
// pass at a time, whatever the rows turn out to be, counted in the work the
// driver says it did:
// - 300 queued rows, each the gzip of 63 MiB of zeros (64 KiB stored), ahead
//   of a real bundle: the bundle and the start's burst arrive at that start,
//   each once, the start ends cleanly having inflated less than a bundle's
//   bound in all, and the rows are gone;
// - 1,000,000 raw events that cannot be read (the table's bound): the start
//   ends cleanly, its burst arrives once, it runs a few thousand SQLite
//   statements more than the same start without them, not one a row, and
//   the deletion is said in a few lines, not one per row.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "analytics/storage/MSRStoredBounds.h"
#include "platform/dispatch/Clock.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/MeasurementDatabase.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

namespace fs = std::filesystem;
using tools::DriverProcess;

// Replaces the contents of `folder` with those of `from`.
void passBudgetRestore(const fs::path& from, const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) fs::remove_all(entry.path());
    fs::copy(from, folder, fs::copy_options::recursive);
}

bool passBudgetBurst(const tools::CollectedEvent& event) {
    const auto n = event.intParam("n");
    return event.name == "e2e_event" && n && *n >= 100 && *n < 300;
}

class PassBudgetProcessTest : public DriverTest {
  protected:
    PassBudgetProcessTest() : DriverTest("pass-budget") {}
};

// What the start over the rows of zeros may inflate in all: less than a
// bundle's bound, the room a row is inflated into before it is judged by its
// length. Each row is told from its first inflated bytes (a few KiB), and
// the bundles that arrive are small; a pass that inflated one row to its
// room before judging it passes the bound alone.
constexpr int64_t kPassBudgetInflatedBound = static_cast<int64_t>(MSRStoredMost::kBundleBytes);

// What the junk may cost the start in SQLite statements beside the same
// start without it: the rows past the stored events' setting (100,000
// unless served otherwise) go in one statement, those left a window of a
// thousand at a time (its read, the deletion of its runs by their ranges and
// the checks around them), and each event of the burst, logged into a full
// table, makes its own room: about 1,500 in all. A statement or a read per
// row would run a hundred thousand more.
constexpr int64_t kPassBudgetJunkStatements = 10'000;
constexpr int64_t kPassBudgetJunkRows = 1'000'000;

TEST_F(PassBudgetProcessTest, QueuedRowsOfZerosAheadOfABundleGoAndTheBundleArrivesAtThatStart) {
    queueABundleOfThreeAndKill();
    if (HasFatalFailure()) return;

    const std::vector<uint8_t>& zeros = gzippedRepeat({0x00}, size_t{63} << 20);
    ASSERT_EQ(zeros.size(), 64234u);
    runSql(measurementDatabase(root.path()),
           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
           "INSERT INTO queue (rowid, bundle_end_timestamp, data, is_realtime, retry_count) "
           "SELECT i - 1000, " + std::to_string(dispatch::Clock::now()) + ", ?, 0, 0 FROM n",
           &zeros);
    if (HasFatalFailure()) return;

    auto ours = [](const tools::CollectedEvent& event) {
        const auto n = event.intParam("n");
        return event.name == "e2e_event" && n && ((*n >= 1 && *n <= 3) || (*n >= 100 && *n < 300));
    };
    int64_t inflated = -1;
    const double cpu = startUntilArrived(ours, 203, nullptr, kPeakLimit, &inflated);
    std::printf("  300 queued rows of zeros ahead of a bundle: its events and the burst arrived, %.2f MiB "
                "inflated, %.2f s of processor time\n",
                static_cast<double>(inflated) / (1 << 20), cpu);
    EXPECT_GE(inflated, 0) << "the driver did not say what it inflated";
    EXPECT_LT(inflated, kPassBudgetInflatedBound) << consoleTail();
    expectEachAcceptedOnce(ours, 203);
    EXPECT_EQ(storedCount(root.path(), "SELECT count(*) FROM queue WHERE rowid < 0"), 0) << consoleTail();
}

TEST_F(PassBudgetProcessTest, AMillionUnreadableRawEventsCostAStartAFewThousandStatementsNotOneARow) {
    logAndEnd(1, 3);
    if (HasFatalFailure()) return;
    TemporaryDataRoot clean("pass-budget-clean"), junk("pass-budget-junk");
    fs::copy(root.path(), clean.path(), fs::copy_options::recursive);
    const int64_t fingerprint =
        storedCount(root.path(), "SELECT metadata_fingerprint FROM raw_events_metadata LIMIT 1");
    runSql(measurementDatabase(root.path()),
           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
               std::to_string(kPassBudgetJunkRows) +
               ") INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) SELECT 'junk', " +
               std::to_string(dispatch::Clock::now()) + ", " + std::to_string(fingerprint) + ", x'ff', 0 FROM n");
    if (HasFatalFailure()) return;
    fs::copy(root.path(), junk.path(), fs::copy_options::recursive);

    // The same start from the same state, without the junk and with it.
    int64_t statements[2] = {-1, -1};
    double cpu[2] = {0, 0};
    for (const int withJunk : {0, 1}) {
        SCOPED_TRACE(withJunk ? "with the junk" : "without");
        passBudgetRestore(withJunk ? junk.path() : clean.path(), root.path());
        measurement.clear();
        cpu[withJunk] = startUntilArrived(passBudgetBurst, 200, nullptr, kPeakLimit, nullptr, &statements[withJunk]);
        expectEachAcceptedOnce(passBudgetBurst, 200);
        EXPECT_GE(statements[withJunk], 0) << "the driver did not say what it ran";
        if (withJunk) {
            // Said in a line per read that met them, not one per row.
            EXPECT_GE(consoleLinesWith(12071), 1u) << consoleTail();
            EXPECT_LE(consoleLinesWith(12071), 20u) << consoleTail();
            EXPECT_EQ(storedCount(root.path(), "SELECT count(*) FROM raw_events WHERE name = 'junk'"), 0);
        }
        if (HasFatalFailure()) return;
    }
    std::printf("  to the burst arrived: %lld SQLite statements and %.2f s of processor time without, %lld and "
                "%.2f s over %lld unreadable raw events\n",
                static_cast<long long>(statements[0]), cpu[0], static_cast<long long>(statements[1]), cpu[1],
                static_cast<long long>(kPassBudgetJunkRows));
    EXPECT_LE(statements[1] - statements[0], kPassBudgetJunkStatements) << consoleTail();
}

}  // namespace
