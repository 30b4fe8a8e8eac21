// What a start meets in the queue and the raw events costs it a bounded
// pass at a time, whatever the rows turn out to be:
// - 300 queued rows, each the gzip of 63 MiB of zeros (64 KiB stored), ahead
//   of a real bundle: the bundle and the start's burst arrive at that start,
//   each once, the start ends cleanly having spent less processor time than
//   inflating a tenth of the rows takes, and the rows are gone;
// - 1,000,000 raw events that cannot be read (the table's bound): the start
//   ends cleanly, its burst arrives once, it spends less than twice the
//   processor time of a start without them and of SQLite's own deletion of
//   them, and the deletion is said in a few lines, not one per row.

#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/security/Compression.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/MeasurementDatabase.h"
#include "tests/e2e/ProcessCpu.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

namespace fs = std::filesystem;
using tools::DriverProcess;

// The processor time this thread has spent, in seconds.
double passBudgetThreadCpu() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

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

TEST_F(PassBudgetProcessTest, QueuedRowsOfZerosAheadOfABundleGoAndTheBundleArrivesAtThatStart) {
    queueABundleOfThreeAndKill();
    if (HasFatalFailure()) return;

    const std::vector<uint8_t> zeros = *security::gzip(std::vector<uint8_t>(size_t{63} << 20, 0));
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
    // What inflating a tenth of the rows costs, in this thread.
    double inflateTenth = passBudgetThreadCpu();
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(security::inflate(zeros, nullptr, size_t{64} << 20));
    inflateTenth = passBudgetThreadCpu() - inflateTenth;
    const double cpu = startUntilArrived(ours, 203);
    std::printf("  300 queued rows of zeros ahead of a bundle: its events and the burst arrived at %.2f s of "
                "processor time; inflating a tenth of the rows takes %.2f s\n", cpu, inflateTenth);
    // The rows are told from their first inflated byte: the start costs
    // less than inflating a tenth of them would.
    EXPECT_LT(cpu, inflateTenth) << consoleTail();
    expectEachAcceptedOnce(ours, 203);
    EXPECT_EQ(storedCount(root.path(), "SELECT count(*) FROM queue WHERE rowid < 0"), 0) << consoleTail();
}

TEST_F(PassBudgetProcessTest, AMillionUnreadableRawEventsCostAStartLessThanTwiceAStartWithoutThem) {
    logAndEnd(1, 3);
    if (HasFatalFailure()) return;
    TemporaryDataRoot clean("pass-budget-clean"), junk("pass-budget-junk");
    fs::copy(root.path(), clean.path(), fs::copy_options::recursive);
    const int64_t fingerprint =
        storedCount(root.path(), "SELECT metadata_fingerprint FROM raw_events_metadata LIMIT 1");
    runSql(measurementDatabase(root.path()),
           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000000) "
           "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) SELECT 'junk', " +
               std::to_string(dispatch::Clock::now()) + ", " + std::to_string(fingerprint) + ", x'ff', 0 FROM n");
    if (HasFatalFailure()) return;
    fs::copy(root.path(), junk.path(), fs::copy_options::recursive);
    // What SQLite itself spends deleting them, on a copy, in this thread.
    double sqliteDelete = 0;
    {
        TemporaryDataRoot scratch("pass-budget-delete");
        fs::copy(root.path(), scratch.path(), fs::copy_options::recursive);
        const double from = passBudgetThreadCpu();
        runSql(measurementDatabase(scratch.path()), "DELETE FROM raw_events WHERE name = 'junk'");
        sqliteDelete = passBudgetThreadCpu() - from;
    }

    // Alternated, twice each; the least of each is its cost.
    double least[2] = {1e9, 1e9};
    for (int run = 0; run < 4; ++run) {
        const int withJunk = run % 2;
        SCOPED_TRACE(withJunk ? "with the junk" : "without");
        passBudgetRestore(withJunk ? junk.path() : clean.path(), root.path());
        measurement.clear();
        least[withJunk] = std::min(least[withJunk], startUntilArrived(passBudgetBurst, 200));
        expectEachAcceptedOnce(passBudgetBurst, 200);
        if (withJunk) {
            // Said in a line per read that met them, not one per row.
            EXPECT_GE(consoleLinesWith(12071), 1u) << consoleTail();
            EXPECT_LE(consoleLinesWith(12071), 20u) << consoleTail();
        }
        if (HasFatalFailure()) return;
    }
    std::printf("  processor time to the burst arrived: %.2f s without, %.2f s over 1,000,000 unreadable raw "
                "events; SQLite deletes them in %.2f s\n", least[0], least[1], sqliteDelete);
    EXPECT_GT(least[0], 0);
    // The junk costs the start what deleting it in bulk costs, within a
    // factor of two, beside twice a start without it: a line, a read or a
    // statement per row would cost many times that. Under the sanitizers the
    // engine's reading of each row is slowed where SQLite's is not.
    const double factor = kUnderAddressSanitizer ? 4 : 2;
    EXPECT_LT(least[1], factor * (least[0] + sqliteDelete));
}

}  // namespace
