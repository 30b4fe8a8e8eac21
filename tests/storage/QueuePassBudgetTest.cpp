// One read of the queue is a pass of bounded work whatever its rows turn out
// to be: the bytes it inflates, the rows it meets and the rows it drops are
// counted, a pass at its budget ends (and says so) and deletes what it
// dropped, and the passes after it reach the bundle behind the junk.

#include <sqlite3.h>

#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/security/Compression.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

constexpr uint32_t kPassAppID = 14, kPassEnd = 5;

MSRPBMeasurementBundle passBundle() {
    MSRPBMeasurementBundle bundle;
    MSRPBSetString(bundle, kPassAppID, "app");
    MSRPBSetInt64(bundle, kPassEnd, static_cast<int64_t>(dispatch::Clock::now() * 1000));
    return bundle;
}

// What a junk row holds before it is gzipped: `bytes` of zeros (no bundle
// begins with one), or as many behind the key and length of a text field
// that claims more than follows (a bundle's first bytes, no bundle in the end),
// or `unit` repeated over them.
std::vector<uint8_t> junkBytes(size_t bytes, bool bundleHead, const std::vector<uint8_t>& unit = {},
                               const std::vector<uint8_t>& head = {}) {
    std::vector<uint8_t> out = head;
    if (!head.empty()) {
        out.resize(bytes, 0);
        return out;
    }
    if (!unit.empty()) {
        while (out.size() < bytes) out.insert(out.end(), unit.begin(), unit.end());
        return out;
    }
    if (bundleHead) {
        out.push_back(0x42);  // field 8, length-delimited
        for (uint64_t length = bytes + 100; ; length >>= 7) {
            out.push_back(static_cast<uint8_t>((length & 0x7f) | (length > 0x7f ? 0x80 : 0)));
            if (length <= 0x7f) break;
        }
    }
    out.resize(out.size() + bytes, 0);
    return out;
}

// The bytes a junk row begins with before its zeros: the key of field 8 (a
// text) claiming `length`, or `events` events of 25 bytes each.
std::vector<uint8_t> passFieldHead(uint64_t length) {
    std::vector<uint8_t> head{0x42};
    for (;; length >>= 7) {
        head.push_back(static_cast<uint8_t>((length & 0x7f) | (length > 0x7f ? 0x80 : 0)));
        if (length <= 0x7f) break;
    }
    return head;
}
std::vector<uint8_t> passEventsHead(int events) {
    std::vector<uint8_t> head;
    for (int i = 0; i < events; ++i) {
        head.insert(head.end(), {0x12, 0x19});
        head.resize(head.size() + 25, 0x2a);
    }
    return head;
}

// The rows of the queue, as another reader of the file counts them.
int64_t queuePassRowsLeft(const std::string& path) {
    sqlite3* db = nullptr;
    int64_t rows = -1;
    sqlite3_stmt* count = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT count(*) FROM queue", -1, &count, nullptr) == SQLITE_OK &&
        sqlite3_step(count) == SQLITE_ROW)
        rows = sqlite3_column_int64(count, 0);
    sqlite3_finalize(count);
    sqlite3_close(db);
    return rows;
}

struct QueuePassRow {
    const char* name;
    int junkRows;
    // What each junk row is: inflated bytes (0: a text, not bytes), and
    // whether it begins as a bundle.
    size_t junkBytes;
    bool bundleHead;
    MSRDatabase::QueuePassBudget budget;
    // The most rows one pass may delete, and the fewest and most passes it
    // takes.
    int64_t mostDroppedPerPass;
    int fewestPasses;
    int mostPasses = 10'000;
    std::vector<uint8_t> unit = {};
    std::vector<uint8_t> head = {};
};

void PrintTo(const QueuePassRow& row, std::ostream* out) { *out << row.name; }

class QueuePassBudgetTest : public StorageTest, public testing::WithParamInterface<QueuePassRow> {};

// 40 rows that inflate to 3 MiB each and are no bundle, under a budget of
// 8 MiB: two a pass (the third would pass what is left, and waits). 40 rows
// of 3 MiB of zeros, or of a key no bundle has that way (field 1 as a text),
// a field that is not repeated met again and again, more empty events than a
// bundle holds, a varint that never ends: each told from its head, all in
// one pass under a budget of 2 MiB. 40 rows of 3 MiB that begin as a bundle
// and are none: a field claiming one byte past a bundle's bound (50,427,648),
// told from its key and length; 9,999 small events (270 KB) and then zeros,
// told where the zeros begin, all 40 in one pass under 16 MiB. 2,500 texts
// under a budget of 1,000 dropped rows, and 120 under one of 50 rows met.
const QueuePassRow kQueuePassRows[] = {
    {"InflatedBytes", 40, 3 << 20, true, {8 << 20, 10'000, 1'000}, 2, 20},
    {"Zeros", 40, 3 << 20, false, {2 << 20, 10'000, 1'000}, 40, 1, 1},
    {"KeyOfAnotherWireType", 40, 3 << 20, false, {2 << 20, 10'000, 1'000}, 40, 1, 1, {0x0a, 0x00}},
    {"SingleFieldRepeated", 40, 3 << 20, false, {2 << 20, 10'000, 1'000}, 40, 1, 1, {0x08, 0x00}},
    {"MoreEventsThanABundleHolds", 40, 3 << 20, false, {2 << 20, 10'000, 1'000}, 40, 1, 1, {0x12, 0x00}},
    {"EndlessVarint", 40, 3 << 20, false, {2 << 20, 10'000, 1'000}, 40, 1, 1, {0xff}},
    {"FieldPastABundle", 40, 3 << 20, false, {2 << 20, 10'000, 1'000}, 40, 1, 1, {}, passFieldHead(50'427'649)},
    {"SmallEventsThenZeros", 40, 3 << 20, false, {16 << 20, 10'000, 1'000}, 40, 1, 1, {}, passEventsHead(9'999)},
    {"DroppedRows", 2'500, 0, false, {8 << 20, 10'000, 1'000}, 1'000, 3},
    {"RowsMet", 120, 0, false, {8 << 20, 50, 1'000}, 50, 3},
};

INSTANTIATE_TEST_SUITE_P(Budgets, QueuePassBudgetTest, testing::ValuesIn(kQueuePassRows),
                         [](const testing::TestParamInfo<QueuePassRow>& info) { return info.param.name; });

TEST_P(QueuePassBudgetTest, EachPassStaysWithinItsBudgetAndTheBundleBehindTheJunkIsReached) {
    const QueuePassRow& row = GetParam();
    auto config = MSRPersistedConfig::initWithSuiteName(std::string("test.queue.pass.") + row.name);
    auto database = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, config, nullptr);
    ASSERT_TRUE(database);
    database->setRemoteConfig(std::make_shared<MSRRemoteConfig>());
    ASSERT_TRUE(database->reset(nullptr));
    database->setQueuePassBudgetForTesting(row.budget);
    for (int i = 0; i <= row.junkRows; ++i) ASSERT_TRUE(database->insertBundle(passBundle(), false, nullptr));
    database->commitPendingWrites();

    // The junk goes over the rows before the last, as another program would.
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(database->databasePath().c_str(), &db), SQLITE_OK);
        sqlite3_stmt* update = nullptr;
        const std::vector<uint8_t> gzipped =
            row.junkBytes ? *security::gzip(junkBytes(row.junkBytes, row.bundleHead, row.unit, row.head)) : std::vector<uint8_t>{};
        ASSERT_EQ(sqlite3_prepare_v2(db,
                                     row.junkBytes ? "UPDATE queue SET data = ?1 WHERE rowid < ?2"
                                                   : "UPDATE queue SET data = 'text' WHERE rowid < ?2",
                                     -1, &update, nullptr),
                  SQLITE_OK);
        if (row.junkBytes) sqlite3_bind_blob64(update, 1, gzipped.data(), gzipped.size(), SQLITE_STATIC);
        sqlite3_bind_int64(update, 2, row.junkRows + 1);
        ASSERT_EQ(sqlite3_step(update), SQLITE_DONE) << sqlite3_errmsg(db);
        ASSERT_EQ(sqlite3_changes(db), row.junkRows);
        sqlite3_finalize(update);
        sqlite3_close(db);
    }

    int passes = 0;
    std::optional<std::vector<MSRQueuedBundle>> read;
    for (int64_t left = row.junkRows + 1; passes < 10'000; ++passes) {
        read = database->queryBundlesWithCountLimit(100, 65536, nullptr);
        ASSERT_TRUE(read);
        database->commitPendingWrites();
        const int64_t now = queuePassRowsLeft(database->databasePath());
        const int64_t dropped = left - now;
        EXPECT_LE(dropped, row.mostDroppedPerPass) << "pass " << passes;
        left = now;
        if (!read->empty()) break;
        // A pass that returns nothing ended at its budget, with rows behind it.
        ASSERT_TRUE(database->queueReadEndedAtBudget()) << "pass " << passes;
    }
    ++passes;
    ASSERT_EQ(read->size(), 1u);
    EXPECT_EQ(read->front().second, row.junkRows + 1);
    EXPECT_FALSE(database->queueReadEndedAtBudget());
    EXPECT_EQ(queuePassRowsLeft(database->databasePath()), 1);
    EXPECT_GE(passes, row.fewestPasses);
    EXPECT_LE(passes, row.mostPasses);
}

// The passes one upload chains draw on one budget: once it is spent a read
// does nothing, whatever waits, until the next upload refills it.
TEST_F(StorageTest, ThePassesOfOneUploadShareItsQueueWork) {
    auto config = MSRPersistedConfig::initWithSuiteName("test.queue.work");
    auto database = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, config, nullptr);
    ASSERT_TRUE(database);
    database->setRemoteConfig(std::make_shared<MSRRemoteConfig>());
    ASSERT_TRUE(database->reset(nullptr));
    database->setQueuePassBudgetForTesting({8 << 20, 10'000, 1'000});
    database->setQueueWorkForTesting({64 << 20, 100'000, 1'500});
    for (int i = 0; i <= 2'500; ++i) ASSERT_TRUE(database->insertBundle(passBundle(), false, nullptr));
    database->commitPendingWrites();
    ASSERT_EQ(shell(database->databasePath(), "UPDATE queue SET data = 'text' WHERE rowid <= 2500"), "");

    const struct {
        bool refill;
        int64_t left;      // rows left after the read
        bool spent;        // the upload's queue work after it
        size_t read;       // bundles it returned
    } reads[] = {
        {false, 1'501, false, 0}, {false, 1'001, true, 0}, {false, 1'001, true, 0},
        {true, 1, false, 0},      {false, 1, false, 1},
    };
    for (const auto& step : reads) {
        SCOPED_TRACE(&step - reads);
        if (step.refill) database->refillQueueWork();
        std::optional<std::vector<MSRQueuedBundle>> read = database->queryBundlesWithCountLimit(100, 65536, nullptr);
        ASSERT_TRUE(read);
        database->commitPendingWrites();
        EXPECT_EQ(read->size(), step.read);
        EXPECT_EQ(queuePassRowsLeft(database->databasePath()), step.left);
        EXPECT_EQ(database->queueWorkSpent(), step.spent);
    }
}

}  // namespace
