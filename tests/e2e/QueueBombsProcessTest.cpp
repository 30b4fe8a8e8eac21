// Queued rows no run of the engine wrote, each a gzip stream that inflates
// far past what it stores, cost a start the few bytes that show what they
// are, whatever their bytes:
// - 300 rows of 63 MiB of `0a 00` (a key of the bundle's first field, of
//   another wire type), or of 65 MiB of zeros (past a bundle's bound), ahead
//   of a real bundle: every start ends cleanly, the bundle and the start's
//   burst arrive at that start, each once, the start inflates less than a
//   tenth of one row in all, and the rows are gone within three starts;
// - 1,000,000 rows of 22 bytes that are no bundle: the start ends cleanly
//   under 100 MB, its burst arrives once, and the drops are said once per
//   pass with their count, never a line per row.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "analytics/storage/MSRStoredBounds.h"
#include "platform/dispatch/Clock.h"
#include "platform/security/Compression.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/MeasurementDatabase.h"
#include "tests/e2e/ProcessCpu.h"

namespace {

using tools::DriverProcess;

bool queueBombsBurst(const tools::CollectedEvent& event) {
    const auto n = event.intParam("n");
    return event.name == "e2e_event" && n && *n >= 100 && *n < 300;
}

// A usual start holds about 25 MB; the sanitizers' shadow and quarantine
// come on top.
constexpr int64_t kQueueBombsPeakLimit = kUnderAddressSanitizer ? 768'000'000 : 100'000'000;

class QueueBombsProcessTest : public DriverTest {
  protected:
    QueueBombsProcessTest() : DriverTest("queue-bombs") {}

    // A start behind the queued rows `what`: the bundle of three before them
    // and the start's burst arrive; the bytes it inflated in all.
    int64_t startBehindRows(const char* what) {
        int64_t peak = 0, inflated = -1;
        const double cpu = startUntilArrived(bundleAndBurst, 203, &peak, kQueueBombsPeakLimit, &inflated);
        std::printf("  %s ahead of a bundle: its events and the burst arrived at %.2f s of processor time, peak "
                    "%lld MiB, %.2f MiB inflated\n",
                    what, cpu, static_cast<long long>(peak >> 20), static_cast<double>(inflated) / (1 << 20));
        return inflated;
    }

    static bool bundleAndBurst(const tools::CollectedEvent& event) {
        const auto n = event.intParam("n");
        return event.name == "e2e_event" && n && ((*n >= 1 && *n <= 3) || (*n >= 100 && *n < 300));
    }
};

struct QueueBombRow {
    const char* name;
    std::vector<uint8_t> unit;
    size_t inflatedBytes;
    size_t storedBytes;  // what the gzip of it holds, as another program stores it
};

void PrintTo(const QueueBombRow& row, std::ostream* out) { *out << row.name; }

class QueueBombRows : public QueueBombsProcessTest, public testing::WithParamInterface<QueueBombRow> {};

INSTANTIATE_TEST_SUITE_P(
    Bombs, QueueBombRows,
    testing::Values(QueueBombRow{"KeysOfAnotherWireType", {0x0a, 0x00}, size_t{63} << 20, 64'246},
                    QueueBombRow{"ZerosPastABundle", {0x00}, size_t{65} << 20, 66'279}),
    [](const testing::TestParamInfo<QueueBombRow>& info) { return info.param.name; });

TEST_P(QueueBombRows, EveryStartEndsCleanlyAndTheBundleBehindArrivesAtThatStart) {
    const QueueBombRow& row = GetParam();
    queueABundleOfThreeAndKill();
    if (HasFatalFailure()) return;

    const std::vector<uint8_t>& bomb = gzippedRepeat(row.unit, row.inflatedBytes);
    ASSERT_EQ(bomb.size(), row.storedBytes);
    queueAhead(root.path(), bomb, 300, dispatch::Clock::now());
    if (HasFatalFailure()) return;

    const int64_t inflated = startBehindRows((std::string("300 queued rows of ") + row.name).c_str());
    // The rows are told from their first inflated bytes: what the start
    // inflates in all is less than a tenth of one of them.
    EXPECT_GE(inflated, 0) << "the driver did not say what it inflated";
    EXPECT_LT(inflated, static_cast<int64_t>(row.inflatedBytes / 10)) << consoleTail();
    expectEachAcceptedOnce(bundleAndBurst, 203);
    // Gone within three starts, each ending cleanly.
    for (int start = 1; start < 3 && storedCount(root.path(), "SELECT count(*) FROM queue WHERE rowid < 0") > 0;
         ++start) {
        logAndEnd(400 + start * 10, 3);
        if (HasFatalFailure()) return;
    }
    EXPECT_EQ(storedCount(root.path(), "SELECT count(*) FROM queue WHERE rowid < 0"), 0) << consoleTail();
    // Said once a pass with their count, never a line a row.
    EXPECT_LE(consoleLinesWith(12083) + consoleLinesWith(12078), 3u) << consoleTail();
    EXPECT_EQ(consoleLinesWith(45003), 0u) << consoleTail();
}

// Three rows that read as a bundle all the way, a field no bundle has again
// and again, to 256 MiB each: only the room a bundle has tells them, and
// each costs the start that room, not what it inflates to. The bundle
// behind them and the start's burst arrive at that start, each once, and
// the rows are dropped as past a bundle's bound.
TEST_F(QueueBombsProcessTest, RowsThatReadAsABundlePastItsRoomCostTheRoom) {
    queueABundleOfThreeAndKill();
    if (HasFatalFailure()) return;
    // Field 1000, length-delimited, of 65,531 zeros: 64 KiB in all.
    std::vector<uint8_t> unit = {0xc2, 0x3e, 0xfb, 0xff, 0x03};
    unit.resize(size_t{64} << 10, 0);
    constexpr int kRows = 3;
    queueAhead(root.path(), gzippedRepeat(unit, size_t{256} << 20), kRows, dispatch::Clock::now());
    if (HasFatalFailure()) return;

    const int64_t inflated = startBehindRows("3 queued rows reading as a bundle to 256 MiB");
    EXPECT_GE(inflated, 0) << "the driver did not say what it inflated";
    // A row met with less of the pass's budget left than a bundle's room is
    // judged again by the next pass: at most twice its room each.
    EXPECT_LE(inflated, static_cast<int64_t>(kRows * 2 * (MSRStoredMost::kBundleBytes + (1 << 20))))
        << consoleTail();
    expectEachAcceptedOnce(bundleAndBurst, 203);
    EXPECT_EQ(storedCount(root.path(), "SELECT count(*) FROM queue WHERE rowid < 0"), 0) << consoleTail();
    EXPECT_GE(consoleLinesWith(12078), 1u) << consoleTail();
}

// A million rows of 22 bytes, each the gzip of `0a 00`: the start ends
// cleanly under 100 MB with its burst uploaded once, and says the rows it
// dropped once a pass, whatever their number.
TEST_F(QueueBombsProcessTest, AMillionTinyRowsThatAreNoBundleAreSaidOnceAPass) {
    logAndEnd(1, 3);
    if (HasFatalFailure()) return;
    const std::vector<uint8_t> tiny = *security::gzip({0x0a, 0x00});
    ASSERT_EQ(tiny.size(), 22u);
    queueAhead(root.path(), tiny, 1'000'000, dispatch::Clock::now());
    if (HasFatalFailure()) return;
    measurement.clear();

    int64_t peak = 0;
    const double cpu = startUntilArrived(queueBombsBurst, 200, &peak, kQueueBombsPeakLimit);
    const int64_t left = storedCount(root.path(), "SELECT count(*) FROM queue WHERE rowid < 0");
    const size_t said = consoleLinesWith(12083);
    std::printf("  1,000,000 queued rows of 22 bytes: the burst arrived at %.2f s of processor time, peak %lld "
                "MiB; %lld rows dropped, said in %zu lines\n",
                cpu, static_cast<long long>(peak >> 20), static_cast<long long>(1'000'000 - left), said);
    expectEachAcceptedOnce(queueBombsBurst, 200);
    EXPECT_LT(left, 1'000'000);
    // A line a pass, and a pass drops up to 10,000 rows.
    EXPECT_GE(said, 1u) << consoleTail();
    EXPECT_LE(said, static_cast<size_t>((1'000'000 - left) / 10'000 + 10)) << consoleTail();
    EXPECT_EQ(consoleLinesWith(45003), 0u) << consoleTail();
}

}  // namespace
