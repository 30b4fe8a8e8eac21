// The salvage of a damaged database works in bounded commits, and one that
// has no room to commit gives nothing up: its mark and the kept copy stay,
// standard error says how many rows wait, and a later start with room goes
// on with it, the engine's rows written meanwhile kept beside the kept ones.

#include <sqlite3.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>

#include "analytics/storage/MSRDatabase.h"
#include "tests/storage/FullDisk.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

namespace fs = std::filesystem;

// Rows each commit changed on every connection opened while it is installed:
// the largest since the last take.
struct SalvageCommitRows {
    static std::atomic<int64_t>& pending() {
        static std::atomic<int64_t> rows{0};
        return rows;
    }
    static std::atomic<int64_t>& largest() {
        static std::atomic<int64_t> rows{0};
        return rows;
    }
    static int hook(sqlite3* db, char**, const sqlite3_api_routines*) {
        sqlite3_update_hook(db, [](void*, int, const char*, const char*, sqlite3_int64) { ++pending(); }, nullptr);
        sqlite3_commit_hook(db, [](void*) {
            int64_t rows = pending().exchange(0);
            int64_t seen = largest().load();
            while (rows > seen && !largest().compare_exchange_weak(seen, rows)) {
            }
            return 0;
        }, nullptr);
        sqlite3_rollback_hook(db, [](void*) { pending() = 0; }, nullptr);
        return SQLITE_OK;
    }
    SalvageCommitRows() {
        pending() = 0;
        largest() = 0;
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(hook));
    }
    ~SalvageCommitRows() { sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(hook)); }
};

class SalvageRoomTest : public StorageTest {
  protected:
    void SetUp() override {
        StorageTest::SetUp();
        FullDisk::install();
    }
    void TearDown() override {
        FullDisk::setFileLimit(0);
        StorageTest::TearDown();
    }
    std::string path() const { return MSRSDKFilePath(MSRDatabase::kDatabaseName); }
    std::unique_ptr<MSRDatabase> open() const {
        return MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
    }
    // The engine's file with `events` raw events of `bytes` bytes each,
    // written in commits of 1,000 into the main file, and its first page
    // then damaged: the next open sets it aside and salvages it. Answers the
    // events as "timestamp:hex(data)".
    std::multiset<std::string> damagedWithEvents(int events, int bytes) {
        EXPECT_TRUE(open());
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
        exec(db, "INSERT INTO raw_events_metadata VALUES (1, x'0a00')");
        for (int first = 0; first < events; first += 1000) {
            exec(db, "WITH RECURSIVE n(i) AS (SELECT " + std::to_string(first) + " UNION ALL SELECT i + 1 FROM n "
                     "WHERE i < " + std::to_string(std::min(first + 1000, events) - 1) +
                     ") INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
                     "SELECT 'e', i, 1, randomblob(" + std::to_string(bytes) + "), 0 FROM n");
        }
        exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
        sqlite3_close(db);
        std::multiset<std::string> rows = eventRows();
        std::fstream file(path(), std::ios::in | std::ios::out | std::ios::binary);
        file.write(std::string(100, '\x5a').data(), 100);
        return rows;
    }
    std::multiset<std::string> eventRows() const {
        std::multiset<std::string> rows;
        sqlite3* db = nullptr;
        sqlite3_open_v2(path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_exec(
            db, "SELECT timestamp || ':' || hex(data) FROM raw_events",
            [](void* into, int, char** values, char**) {
                static_cast<std::multiset<std::string>*>(into)->insert(values[0] ? values[0] : "");
                return 0;
            },
            &rows, nullptr);
        sqlite3_close(db);
        return rows;
    }
    static void exec(sqlite3* db, const std::string& sql) {
        char* message = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
        sqlite3_free(message);
    }
};

// 40,000 events of 200 bytes (8 MB, twice what a commit of the salvage may
// copy): each commit changes at most a part's rows and appends at most a
// part's bytes (and the pages around them) to the log, and every event is
// copied once.
TEST_F(SalvageRoomTest, EachCommitOfTheSalvageIsBoundedInRowsAndLogBytes) {
    const std::multiset<std::string> kept = damagedWithEvents(40000, 200);
    ASSERT_EQ(kept.size(), 40000u);
    FullDisk::takeLargestCommitFrames();
    {
        SalvageCommitRows rows;
        ASSERT_TRUE(open());
        const int64_t pageSize = std::atoll(shell(path(), "PRAGMA page_size").c_str());
        const int64_t logBytes = FullDisk::takeLargestCommitFrames() * (pageSize + 24);
        std::printf("  the largest commit of the salvage: %lld rows, %lld log bytes\n",
                    static_cast<long long>(SalvageCommitRows::largest().load()), static_cast<long long>(logBytes));
        EXPECT_GT(SalvageCommitRows::largest().load(), 0);
        EXPECT_LE(SalvageCommitRows::largest().load(), 5000);
        EXPECT_GT(logBytes, 0);
        EXPECT_LE(logBytes, int64_t{6} << 20);
    }
    EXPECT_EQ(eventRows(), kept);
    EXPECT_FALSE(fs::exists(path() + ".salvage"));
}

// The disk fills up at the salvage: the fresh file opens, the copy cannot
// commit. The mark and the copy stay, standard error says how many rows
// wait, the engine writes events of its own meanwhile (at rowids the kept
// rows have), and the next start with room copies every kept event once
// beside them.
TEST_F(SalvageRoomTest, ASalvageWithoutRoomWaitsAndALaterStartCopiesEveryKeptRowOnce) {
    const std::multiset<std::string> kept = damagedWithEvents(3000, 600);
    FullDisk::setFileLimit(1 << 20);
    testing::internal::CaptureStderr();
    const bool opened = open() != nullptr;
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(opened) << said;
    const size_t at = said.find("waits for room to write: ");
    ASSERT_NE(at, std::string::npos) << said;
    EXPECT_GE(std::atoll(said.c_str() + at + 25), 3000) << said;
    EXPECT_TRUE(fs::exists(path() + ".salvage"));
    EXPECT_TRUE(fs::exists(path() + ".damaged-1"));

    // The engine's own events, written while the salvage waits.
    std::multiset<std::string> own;
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
        exec(db, "INSERT OR IGNORE INTO raw_events_metadata VALUES (1, x'0a00')");
        exec(db, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20) "
                 "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
                 "SELECT 'own', 100000 + i, 1, x'0a0b', 0 FROM n");
        sqlite3_close(db);
        own = eventRows();
        ASSERT_EQ(own.size(), 20u);
        ASSERT_EQ(shell(path(), "SELECT min(rowid) FROM raw_events"), "1\n");
    }

    FullDisk::setFileLimit(0);
    ASSERT_TRUE(open());
    std::multiset<std::string> expected = kept;
    expected.insert(own.begin(), own.end());
    EXPECT_EQ(eventRows(), expected);
    EXPECT_FALSE(fs::exists(path() + ".salvage"));
    // The kept rows come first, as they were logged first.
    EXPECT_EQ(shell(path(), "SELECT name FROM raw_events ORDER BY rowid LIMIT 1"), "e\n");
}

// What a power loss may leave at synchronous=NORMAL, where a commit is not
// waited on to reach the disk: damage inside the log's last committed
// transaction. SQLite reads the log up to the transaction before it and
// drops that one, and so does the engine, without a word: the file stays
// where it is, nothing is set aside, and the events of every earlier
// transaction are there.
TEST_F(SalvageRoomTest, DamageInsideTheLastCommittedTransactionDropsItAsSQLiteDoes) {
    ASSERT_TRUE(open());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
    exec(db, "PRAGMA wal_checkpoint(TRUNCATE); PRAGMA wal_autocheckpoint=0;"
             "INSERT INTO raw_events_metadata VALUES (1, x'0a00')");
    for (int commit = 0; commit < 10; ++commit) {
        exec(db, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100) "
                 "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
                 "SELECT 'e', " + std::to_string(commit) + ", 1, randomblob(60), 0 FROM n");
    }
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_close(db);
    const std::string log = path() + "-wal";
    const int64_t pageSize = std::atoll(shell(path(), "PRAGMA page_size").c_str());
    const auto logSize = static_cast<int64_t>(fs::file_size(log));
    {
        // The page of the last frame, the last transaction's commit frame.
        std::fstream file(log, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(logSize - pageSize + 100);
        file.write(std::string(16, '\x5a').data(), 16);
    }
    logger_->clear();
    ASSERT_TRUE(open());
    EXPECT_FALSE(fs::exists(path() + ".damaged-1"));
    EXPECT_FALSE(logged(34023) || logged(34024) || logged(34026));
    EXPECT_EQ(shell(path(), "SELECT count(*), max(timestamp) FROM raw_events"), "900|8.0\n");
}

}  // namespace
