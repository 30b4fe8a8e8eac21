#include <sqlite3.h>

#include "tests/storage/StorageTestSupport.h"

namespace fs = std::filesystem;

namespace {

class SqliteStoreTest : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        ASSERT_TRUE(run(
            "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, amount integer, ratio REAL, payload BLOB)"));
    }

    bool insert(int64_t id, MSRSqliteRecord record = {}) {
        record["id"] = id;
        return store_->upsertRecord(record, "t", nullptr);
    }
};

TEST_F(SqliteStoreTest, CreatesTheEngineFolderAndAFileTheShellCanRead) {
    EXPECT_TRUE(fs::is_directory(root_ / "home/Library/Application Support/Zevure/Measurement"));
    EXPECT_TRUE(MSRIsPathExcludedFromBackup(path()));
    ASSERT_TRUE(insert(1, {{"name", std::string("x")}}));
    store_->closeDatabase();
    EXPECT_EQ(shell(path(), "PRAGMA integrity_check; SELECT name FROM t;"), "ok\nx\n");
    MSRError error;
    EXPECT_FALSE(store_->recordsForQuery("SELECT 1", {}, &error));
    EXPECT_EQ(error.localizedDescription(), "Query records failed. Database not open.");
    EXPECT_TRUE(store_->closeAndDeleteDatabase());
    EXPECT_FALSE(fs::exists(path()));
}

TEST_F(SqliteStoreTest, DamagedFilesAndFilesThatAreNoDatabaseAreKeptAside) {
    // 3,000 rows, the last ten only in the write-ahead log, as a process
    // killed before a checkpoint leaves them; then pages of the file torn.
    auto tearPages = [](const std::string& file) {
        for (const char* suffix : {"", "-wal", "-shm", ".writing", ".writing-wal", ".writing-shm"})
            fs::remove(file + suffix);
        sqlite3* writer = nullptr;
        ASSERT_EQ(sqlite3_open((file + ".writing").c_str(), &writer), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(writer,
                               "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;"
                               "CREATE TABLE big (a INTEGER, b TEXT); CREATE INDEX big_a ON big (a);"
                               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2990)"
                               " INSERT INTO big SELECT i, hex(randomblob(40)) FROM n;"
                               "PRAGMA wal_checkpoint(TRUNCATE);"
                               "WITH RECURSIVE n(i) AS (SELECT 2991 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)"
                               " INSERT INTO big SELECT i, 'late' FROM n;",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        fs::copy_file(file + ".writing", file);
        fs::copy_file(file + ".writing-wal", file + "-wal");
        sqlite3_close(writer);
        std::fstream out(file, std::ios::in | std::ios::out | std::ios::binary);
        for (int page = 3; page < 40; page += 2) out.seekp(page * 4096 + 100) << std::string(300, '\x7f');
    };
    store_.reset();
    for (bool garbage : {true, false}) {
        SCOPED_TRACE(garbage ? "not a database" : "torn pages");
        logger_->clear();
        garbage ? writeFile(path(), std::string(8192, '\x5a')) : tearPages(path());
        auto store = open();
        ASSERT_TRUE(store);
        EXPECT_EQ(store->tableExists("big", nullptr), false);
        store->closeDatabase();
        EXPECT_EQ(shell(path(), "PRAGMA integrity_check;"), "ok\n");
        EXPECT_EQ(logged(34024), garbage);
        EXPECT_EQ(logged(34023), !garbage);
        // Even a file SQLite does not take for a database is kept: its
        // pages may still hold rows behind a damaged first page.
        if (garbage) {
            EXPECT_EQ(store->damagedCopyPath(), path() + ".damaged-1");
            std::ifstream kept(path() + ".damaged-1", std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), std::string(8192, '\x5a'));
            continue;
        }
        // The damaged file is kept with its log: what SQLite reads of it is
        // still there, the rows only the log held included.
        EXPECT_EQ(store->damagedCopyPath(), path() + ".damaged-2");
        EXPECT_TRUE(fs::exists(path() + ".damaged-2-wal"));
        EXPECT_EQ(shell(store->damagedCopyPath(), "SELECT count(*) FROM big WHERE rowid > 2990"), "10\n");
        EXPECT_NE(shell(store->damagedCopyPath(), "PRAGMA integrity_check;"), "ok\n");
    }

    // A file damaged again and again keeps only the newest copies.
    for (int i = 0; i < MSRSqliteStore::kMaxDamagedCopies + 1; ++i) {
        tearPages(path());
        ASSERT_TRUE(open());
    }
    std::vector<std::string> kept;
    for (const auto& entry : fs::directory_iterator(fs::path(path()).parent_path())) {
        std::string name = entry.path().filename().string();
        if (name.find(".damaged-") != std::string::npos) kept.push_back(name);
    }
    std::sort(kept.begin(), kept.end());
    std::vector<std::string> newest;
    for (const char* copy : {"test.sql.damaged-4", "test.sql.damaged-5", "test.sql.damaged-6"})
        for (const char* suffix : {"", "-shm", "-wal"}) newest.push_back(std::string(copy) + suffix);
    EXPECT_EQ(kept, newest);
}

TEST_F(SqliteStoreTest, FailuresThatAreNotDamageDeleteNothing) {
    writeFile(root_ / "blocker", "not a folder");
    MSRError error;
    EXPECT_FALSE(MSRSqliteStore::create("", &error));
    EXPECT_EQ(error.localizedDescription(), "Received empty database path on init");
    EXPECT_FALSE(MSRSqliteStore::create((root_ / "blocker" / "db.sql").string(), &error));
    EXPECT_TRUE(fs::is_regular_file(root_ / "blocker"));

    // A lock held by another connection.
    ASSERT_TRUE(insert(7));
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(other, "BEGIN EXCLUSIVE; INSERT INTO t (id) VALUES (8);", nullptr, nullptr, nullptr),
        SQLITE_OK);
    MSRError busy;
    EXPECT_FALSE(store_->performTransaction(&busy, [] { return true; }));
    EXPECT_EQ(busy.localizedDescription(), "Failed to begin transaction");
    EXPECT_FALSE(MSRSqliteStore::create(path(), &error));
    EXPECT_EQ(error.code(), 3);
    EXPECT_FALSE(logged(34023));

    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    store_.reset();
    ASSERT_TRUE(store_ = open());
    EXPECT_EQ(count(), 2);
}

TEST_F(SqliteStoreTest, QueryTextsAreCheckedBeforeUse) {
    struct Case {
        std::string sql;
        MSRSqliteValues parameters;
        std::string description;  // "" when accepted
    };
    std::vector<Case> cases = {
        {"SELECT 1; SELECT 2", {}, "Query contained more than one SQL statement."},
        {"SELECT 1; ", {}, "Query contained more than one SQL statement."},
        {"SELECT 1;", {}, ""},
        {"SELECT * FROM t WHERE id = ?", {}, "Received empty parameters"},
        {"SELECT * FROM t WHERE id = ?", {int64_t{1}}, ""},
        {" SELECT 1", {}, "Received invalid select query"},
        {"select 1", {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sql);
        MSRError error;
        EXPECT_EQ(store_->recordsForQuery(c.sql, c.parameters, &error).has_value(), c.description.empty());
        EXPECT_EQ(error.localizedDescription(), c.description);
    }
}

TEST_F(SqliteStoreTest, ValuesReadBackExactly) {
    ASSERT_TRUE(run("CREATE TABLE v (k INTEGER PRIMARY KEY, x)"));
    // The last, an empty blob, reads as a missing column.
    // clang-format off
    std::vector<MSRSqliteValue> values = {
        int64_t{INT64_MAX}, int64_t{INT64_MIN}, 0.1, 1.7976931348623157e308, 5e-324,
        std::string("gr\xC3\xBC\xC3\x9F 'quoted' ; DROP TABLE t"), MSRSqliteBlob{0, 1, 0, 255}, MSRSqliteNull{},
        MSRSqliteBlob{}};
    // clang-format on
    std::vector<MSRSqliteRow> expected;
    for (size_t i = 0; i < values.size(); ++i) {
        ASSERT_TRUE(store_->upsertRecord({{"k", int64_t(i)}, {"x", values[i]}}, "v", nullptr));
        expected.push_back(i + 1 < values.size() ? MSRSqliteRow{{"x", values[i]}} : MSRSqliteRow{});
    }
    EXPECT_EQ(store_->recordsForQuery("SELECT x FROM v ORDER BY k", {}, nullptr), expected);
    EXPECT_TRUE(logged(34004));
    EXPECT_EQ(count(), 0);  // the quoted text did not run
}

TEST_F(SqliteStoreTest, RecordOperations) {
    for (int64_t id = 1; id <= 5; ++id) {
        ASSERT_TRUE(insert(id, {{"name", "n" + std::to_string(id)}, {"amount", id * 10}}));
    }
    ASSERT_TRUE(insert(1, {{"name", std::string("one")}}));  // replaces the row
    EXPECT_EQ(count(), 5);
    EXPECT_EQ(store_->rowCountForTable("t", "name", MSRSqliteValue(std::string("one")), nullptr), 1);

    ASSERT_TRUE(store_->increaseColumn("amount", 7, "t", "id >= ?", {int64_t{4}}, nullptr));  // "integer"
    ASSERT_TRUE(run("CREATE TABLE c (small INT)"));
    MSRError notInteger, missing;
    EXPECT_FALSE(store_->increaseColumn("small", 1, "c", "1 = 1", {}, &notInteger));
    EXPECT_FALSE(store_->increaseColumn("id", 1, "absent", "1 = 1", {}, &missing));
    EXPECT_EQ(notInteger.localizedDescription(), "Column type is not integer.");
    EXPECT_EQ(missing.localizedDescription(), "Invalid column or table name");
    EXPECT_EQ(store_->numberForQuery("SELECT sum(amount) FROM t", {}, nullptr), MSRSqliteValue(int64_t{154}));

    EXPECT_EQ(store_->deleteRecordsFromTable("t", "id > ?", {int64_t{3}}, nullptr), 2);
    EXPECT_EQ(store_->deleteRecordsFromTable("t", "id > ?", {int64_t{3}}, nullptr), 0);
    ASSERT_TRUE(store_->deleteRecordFromTable("t", "id", MSRSqliteValue(int64_t{1}), nullptr));
    ASSERT_TRUE(store_->updateAllRecordsInTable("t", "name", MSRSqliteValue(std::string("same")), nullptr));
    EXPECT_EQ(store_->rowCountForTable("t", "name", MSRSqliteValue(std::string("same")), nullptr), 2);
    MSRError notNumeric, noRow, nullResult;
    EXPECT_FALSE(store_->numberForQuery("SELECT name FROM t", {}, &notNumeric));
    EXPECT_EQ(notNumeric.localizedDescription(), "Found result that was not numeric");
    ASSERT_TRUE(store_->deleteAllRecordsFromTable("t", nullptr));
    // NULL (no error) is told apart from no row at all (a database error).
    EXPECT_FALSE(store_->numberForQuery("SELECT max(id) FROM t", {}, &nullResult));
    EXPECT_FALSE(store_->numberForQuery("SELECT id FROM t", {}, &noRow));
    EXPECT_EQ(std::pair(nullResult.code(), noRow.code()), std::pair(int64_t{0}, int64_t{3}));
}

TEST_F(SqliteStoreTest, CachedStatementsAndFiltersGiveTheRightRows) {
    for (int64_t id = 1; id <= 5; ++id) ASSERT_TRUE(insert(id));
    // A cached statement carries no bindings into the next call.
    for (int64_t from : {1, 5, 2}) {
        auto rows = store_->recordsForQuery("SELECT id FROM t WHERE id >= ? ORDER BY id", {from}, nullptr);
        ASSERT_TRUE(rows);
        EXPECT_EQ(rows->size(), static_cast<size_t>(6 - from));
        EXPECT_EQ(rows->front().at("id"), MSRSqliteValue(from));
    }
    for (size_t refuseAt : {0, 2, 9}) {
        SCOPED_TRACE(refuseAt);
        logger_->clear();
        auto rows = store_->recordsForQuery(
            "SELECT id FROM t ORDER BY id", {}, nullptr,
            [&](size_t accepted, const MSRSqliteRow&) { return accepted < refuseAt; });
        ASSERT_TRUE(rows);
        EXPECT_EQ(rows->size(), std::min<size_t>(refuseAt, 5));
        EXPECT_EQ(logged(34005), refuseAt == 0);
    }
}

// Fails the step of the row whose argument equals the function's user data.
void failAtRow(sqlite3_context* context, int, sqlite3_value** arguments) {
    if (sqlite3_value_int64(arguments[0]) != reinterpret_cast<intptr_t>(sqlite3_user_data(context)))
        return sqlite3_result_value(context, arguments[0]);
    sqlite3_result_error(context, "row cannot be read", -1);
}

TEST_F(SqliteStoreTest, AFailedStepInsideARowQueryIsReported) {
    for (int64_t id = 1; id <= 5; ++id) ASSERT_TRUE(insert(id));
    for (intptr_t failAt : {1, 3, 99}) {
        SCOPED_TRACE(failAt);
        sqlite3_create_function(store_->sqliteHandle(), "fail_at", 1, SQLITE_UTF8,
                                reinterpret_cast<void*>(failAt), failAtRow, nullptr, nullptr);
        MSRError error;
        auto rows = store_->recordsForQuery("SELECT fail_at(id) AS id FROM t ORDER BY id", {}, &error);
        // The statement was reset after a failure: the same text runs normally again.
        EXPECT_EQ(rows ? rows->size() : 0u, failAt == 99 ? 5u : 0u);
        EXPECT_EQ(error.localizedDescription().find("row cannot be read") != std::string::npos, failAt != 99);
    }
}

TEST_F(SqliteStoreTest, TransactionsCommitOrLeaveNoTrace) {
    EXPECT_TRUE(store_->performTransaction(nullptr, [&] { return insert(1) && insert(2); }));
    MSRError error;
    EXPECT_FALSE(store_->performTransaction(&error, [&] { return insert(3) && false; }));
    EXPECT_EQ(error.localizedDescription(), "Transaction failed");
    EXPECT_THROW(store_->performTransaction(nullptr,
                                            [&]() -> bool {
                                                insert(4);
                                                throw std::runtime_error("block failed");
                                            }),
                 std::runtime_error);
    MSRError nested;
    EXPECT_TRUE(store_->performTransaction(nullptr, [&] {
        EXPECT_FALSE(store_->performTransaction(&nested, [] { return true; }));
        return insert(5);
    }));
    EXPECT_EQ(nested.localizedDescription(), "Failed to begin transaction");
    EXPECT_EQ(count(), 3);
}

TEST_F(SqliteStoreTest, AFailedCommitIsRolledBackSoLaterTransactionsWork) {
    ASSERT_TRUE(run("PRAGMA foreign_keys = ON"));
    ASSERT_TRUE(
        run("CREATE TABLE child (id INTEGER PRIMARY KEY, parent INTEGER REFERENCES t(id) "
            "DEFERRABLE INITIALLY DEFERRED)"));
    auto child = [&] {
        return store_->upsertRecord({{"id", int64_t{1}}, {"parent", int64_t{42}}}, "child", nullptr);
    };
    // The foreign key is checked only at commit, so END TRANSACTION fails and
    // SQLite keeps the transaction open.
    MSRError error;
    EXPECT_FALSE(store_->performTransaction(&error, child));
    EXPECT_EQ(error.localizedDescription(), "Failed to end transaction");
    EXPECT_EQ(count("child"), 0);
    EXPECT_TRUE(store_->performTransaction(nullptr, [&] { return insert(42) && child(); }));
    EXPECT_EQ(count("child"), 1);
}

TEST_F(SqliteStoreTest, AFullDiskFailsWritesUntilSpaceIsBack) {
    auto pages = MSRSqliteInt64(*store_->numberForQuery("PRAGMA page_count", {}, nullptr));
    ASSERT_TRUE(store_->numberForQuery("PRAGMA max_page_count = " + std::to_string(pages + 2), {}, nullptr));
    auto fill = [&] {
        return store_->performTransaction(nullptr, [&] {
            for (int64_t id = 1; id <= 50; ++id) {
                if (!insert(id, {{"payload", MSRSqliteBlob(4000, 0xab)}})) return false;
            }
            return true;
        });
    };
    EXPECT_FALSE(fill());
    EXPECT_EQ(count(), 0);
    MSRError error;
    EXPECT_FALSE(
        store_->upsertRecord({{"id", int64_t{1}}, {"payload", MSRSqliteBlob(20000, 1)}}, "t", &error));
    EXPECT_NE(error.monitorContext().find("execute statement,13,"), std::string::npos);

    ASSERT_TRUE(store_->numberForQuery("PRAGMA max_page_count = 1000000", {}, nullptr));
    EXPECT_TRUE(fill());
    EXPECT_EQ(count(), 50);
    EXPECT_TRUE(store_->validateDatabase(nullptr));
}

}  // namespace

// SQLite's locks are POSIX locks, which the process loses when it closes any
// descriptor of the file. Opening a second store on the same file must not
// open one, or another process could write into a transaction in progress.
TEST_F(SqliteStoreTest, OpeningASecondStoreKeepsTheFirstOnesLock) {
    ASSERT_TRUE(store_->beginTransaction());
    ASSERT_TRUE(insert(1));
    open();  // refused while the first one writes, which is fine; it must not unlock the file
    EXPECT_NE(shell(path(), "INSERT INTO t (id) VALUES (2);").find("locked"),
              std::string::npos);
    ASSERT_TRUE(store_->endTransaction());
}
