#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>

#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRSqliteStore.h"
#include "tests/storage/StorageTestSupport.h"

namespace fs = std::filesystem;

namespace {

std::string runShell(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return output;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
    pclose(pipe);
    return output;
}

void writeFile(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

class SqliteStoreTest : public StorageTest {
  protected:
    std::string databasePath() { return MSRSDKFilePath("test.sql"); }

    std::unique_ptr<MSRSqliteStore> open() {
        MSRError error;
        auto store = MSRSqliteStore::create(databasePath(), &error);
        EXPECT_TRUE(store) << error.description();
        return store;
    }

    std::unique_ptr<MSRSqliteStore> openWithTable() {
        auto store = open();
        if (store) {
            EXPECT_TRUE(
                store->executeSQL("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, amount integer, ratio "
                                  "REAL, payload BLOB)",
                                  nullptr));
        }
        return store;
    }

    int64_t count(MSRSqliteStore& store, const std::string& table = "t") {
        return store.rowCountForTable(table, nullptr).value_or(-1);
    }
};

TEST_F(SqliteStoreTest, CreatesTheEngineFolderAndAFileTheShellCanRead) {
    auto store = openWithTable();
    ASSERT_TRUE(store);
    EXPECT_TRUE(fs::is_directory(root_ / "home/Library/Application Support/Zevure/Measurement"));
    EXPECT_TRUE(MSRIsPathExcludedFromBackup(databasePath()));
    ASSERT_TRUE(store->upsertRecord({{"id", int64_t{1}}, {"name", std::string("x")}}, "t", nullptr));
    store->closeDatabase();
    std::string output =
        runShell("sqlite3 '" + databasePath() + "' 'PRAGMA integrity_check; SELECT name FROM t;'");
    EXPECT_EQ(output, "ok\nx\n");
}

TEST_F(SqliteStoreTest, EmptyPathFailsWithoutCreatingAnything) {
    MSRError error;
    EXPECT_FALSE(MSRSqliteStore::create("", &error));
    EXPECT_EQ(error.code(), 1);
    EXPECT_EQ(error.localizedDescription(), "Received empty database path on init");
    EXPECT_FALSE(fs::exists(root_ / "home"));
}

TEST_F(SqliteStoreTest, DamagedFilesAreReplacedWithAFreshDatabase) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> damage;
    };
    std::vector<Case> cases = {
        {"garbage", [](const std::string& path) { writeFile(path, std::string(8192, '\x5a')); }},
        {"torn pages",
         [](const std::string& path) {
             sqlite3* db = nullptr;
             sqlite3_open(path.c_str(), &db);
             sqlite3_exec(db,
                          "CREATE TABLE big (a INTEGER, b TEXT); CREATE INDEX big_a ON big (a);"
                          "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)"
                          " INSERT INTO big SELECT i, hex(randomblob(40)) FROM n;",
                          nullptr, nullptr, nullptr);
             sqlite3_close(db);
             std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
             for (int page = 3; page < 40; page += 2) {
                 file.seekp(page * 4096 + 100);
                 file << std::string(300, '\x7f');
             }
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(databasePath());
        logger_->clear();
        c.damage(databasePath());
        MSRError error;
        auto store = MSRSqliteStore::create(databasePath(), &error);
        ASSERT_TRUE(store) << error.description();
        EXPECT_TRUE(logged(34023));
        EXPECT_EQ(store->tableExists("big", nullptr), std::optional<bool>(false));
        EXPECT_TRUE(store->validateDatabase(nullptr));
        store->closeDatabase();
        EXPECT_EQ(runShell("sqlite3 '" + databasePath() + "' 'PRAGMA integrity_check;'"), "ok\n");
    }
}

TEST_F(SqliteStoreTest, ALockHeldByAnotherConnectionKeepsTheFile) {
    {
        auto store = openWithTable();
        ASSERT_TRUE(store->upsertRecord({{"id", int64_t{7}}}, "t", nullptr));
    }
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(databasePath().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(other, "BEGIN EXCLUSIVE; INSERT INTO t (id) VALUES (8);", nullptr, nullptr, nullptr),
        SQLITE_OK);

    MSRError error;
    EXPECT_FALSE(MSRSqliteStore::create(databasePath(), &error));
    EXPECT_EQ(error.code(), 3);
    EXPECT_FALSE(logged(34023));

    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    auto store = open();
    ASSERT_TRUE(store);
    EXPECT_EQ(count(*store), 2);
}

TEST_F(SqliteStoreTest, AnUnusableDirectoryFailsWithoutDeletingAnything) {
    writeFile(root_ / "blocker", "not a folder");
    MSRError error;
    EXPECT_FALSE(MSRSqliteStore::create((root_ / "blocker" / "db.sql").string(), &error));
    EXPECT_NE(error.code(), 0);
    EXPECT_TRUE(fs::is_regular_file(root_ / "blocker"));
}

TEST_F(SqliteStoreTest, StatementTextsAreCheckedBeforeUse) {
    auto store = openWithTable();
    struct Case {
        std::string sql;
        MSRSqliteValues parameters;
        bool accepted;
        std::string description;
    };
    std::vector<Case> cases = {
        {"SELECT 1; SELECT 2", {}, false, "Query contained more than one SQL statement."},
        {"SELECT 1; ", {}, false, "Query contained more than one SQL statement."},
        {"SELECT 1;", {}, true, ""},
        {"SELECT * FROM t WHERE id = ?", {}, false, "Received empty parameters"},
        {"SELECT * FROM t WHERE id = ?", {int64_t{1}}, true, ""},
        {" SELECT 1", {}, false, "Received invalid select query"},
        {"select 1", {}, true, ""},
        {"DELETE FROM t", {}, false, "Received invalid select query"},
        {"SELECT * FROM missing", {}, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sql);
        MSRError error;
        auto rows = store->recordsForQuery(c.sql, c.parameters, &error);
        EXPECT_EQ(rows.has_value(), c.accepted);
        if (!c.accepted && !c.description.empty()) {
            EXPECT_EQ(error.localizedDescription(), c.description);
        }
        if (!c.accepted && c.description.empty()) {
            EXPECT_EQ(error.code(), 3);
        }
    }
}

TEST_F(SqliteStoreTest, ValuesReadBackExactly) {
    auto store = openWithTable();
    ASSERT_TRUE(store->executeSQL("CREATE TABLE v (k INTEGER PRIMARY KEY, x)", nullptr));
    std::vector<MSRSqliteValue> values = {
        MSRSqliteValue(int64_t{INT64_MAX}),
        MSRSqliteValue(int64_t{INT64_MIN}),
        MSRSqliteValue(0.1),
        MSRSqliteValue(1.7976931348623157e308),
        MSRSqliteValue(5e-324),
        MSRSqliteValue(std::string("gr\xC3\xBC\xC3\x9F 'quoted' ; DROP TABLE t")),
        MSRSqliteValue(MSRSqliteBlob{0, 1, 0, 255}),
        MSRSqliteValue(MSRSqliteNull{}),
    };
    for (size_t i = 0; i < values.size(); ++i) {
        ASSERT_TRUE(store->upsertRecord({{"k", int64_t(i)}, {"x", values[i]}}, "v", nullptr));
    }
    for (size_t i = 0; i < values.size(); ++i) {
        SCOPED_TRACE(i);
        auto rows = store->recordsForQuery("SELECT x FROM v WHERE k = ?", {int64_t(i)}, nullptr);
        ASSERT_TRUE(rows);
        ASSERT_EQ(rows->size(), 1u);
        EXPECT_EQ(rows->front().at("x"), values[i]);
    }
    EXPECT_TRUE(store->tableExists("t", nullptr).value_or(false));
}

TEST_F(SqliteStoreTest, AnEmptyBlobReadsAsAMissingColumn) {
    auto store = openWithTable();
    ASSERT_TRUE(store->upsertRecord({{"id", int64_t{1}}, {"payload", MSRSqliteBlob{}}}, "t", nullptr));
    auto rows = store->recordsForQuery("SELECT id, payload FROM t", {}, nullptr);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ(rows->front().count("payload"), 0u);
    EXPECT_TRUE(logged(34004));
}

TEST_F(SqliteStoreTest, RecordOperations) {
    auto store = openWithTable();
    for (int64_t id = 1; id <= 5; ++id) {
        ASSERT_TRUE(store->upsertRecord(
            {{"id", id}, {"name", std::string("n") + std::to_string(id)}, {"amount", id * 10}}, "t",
            nullptr));
    }
    // Upsert replaces the row with the same key.
    ASSERT_TRUE(store->upsertRecord({{"id", int64_t{1}}, {"name", std::string("one")}}, "t", nullptr));
    EXPECT_EQ(count(*store), 5);
    EXPECT_EQ(store->rowCountForTable("t", "name", MSRSqliteValue(std::string("one")), nullptr), 1);

    ASSERT_TRUE(store->updateRecord({{"ratio", 0.5}}, "t", "id", MSRSqliteValue(int64_t{2}), nullptr));
    auto ratio = store->numberForQuery("SELECT ratio FROM t WHERE id = ?", {int64_t{2}}, nullptr);
    ASSERT_TRUE(ratio);
    EXPECT_EQ(std::get<double>(*ratio), 0.5);

    ASSERT_TRUE(store->increaseColumn("amount", 7, "t", "id >= ?", {int64_t{4}}, nullptr));
    EXPECT_EQ(MSRSqliteInt64(*store->numberForQuery("SELECT sum(amount) FROM t", {}, nullptr)),
              0 + 20 + 30 + 47 + 57);

    EXPECT_EQ(store->deleteRecordsFromTable("t", "id > ?", {int64_t{3}}, nullptr), 2);
    EXPECT_EQ(store->deleteRecordsFromTable("t", "id > ?", {int64_t{3}}, nullptr), 0);
    ASSERT_TRUE(store->deleteRecordFromTable("t", "id", MSRSqliteValue(int64_t{1}), nullptr));
    EXPECT_EQ(count(*store), 2);
    ASSERT_TRUE(store->updateAllRecordsInTable("t", "name", MSRSqliteValue(std::string("same")), nullptr));
    EXPECT_EQ(store->rowCountForTable("t", "name", MSRSqliteValue(std::string("same")), nullptr), 2);
    ASSERT_TRUE(store->deleteAllRecordsFromTable("t", nullptr));
    EXPECT_EQ(count(*store), 0);
}

TEST_F(SqliteStoreTest, IncreaseColumnChecksTheDeclaredType) {
    auto store = openWithTable();
    ASSERT_TRUE(store->executeSQL("CREATE TABLE c (id INTEGER, small INT, big BIGINT)", nullptr));
    struct Case {
        std::string table, column;
        bool succeeds;
        std::string description;
    };
    std::vector<Case> cases = {
        {"t", "amount", true, ""},  // declared in lower case
        {"c", "small", false, "Column type is not integer."},
        {"c", "big", false, "Column type is not integer."},
        {"c", "nothing", false, "Invalid column or table name"},
        {"absent", "id", false, "Invalid column or table name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table + "." + c.column);
        MSRError error;
        EXPECT_EQ(store->increaseColumn(c.column, 1, c.table, "1 = 1", {}, &error), c.succeeds);
        if (!c.succeeds) {
            EXPECT_EQ(error.localizedDescription(), c.description);
        }
    }
}

TEST_F(SqliteStoreTest, NumberForQueryTellsNullFromMissingRow) {
    auto store = openWithTable();
    MSRError error;
    EXPECT_FALSE(store->numberForQuery("SELECT max(id) FROM t", {}, &error));
    EXPECT_EQ(error.code(), 0);
    EXPECT_FALSE(store->numberForQuery("SELECT id FROM t", {}, &error));
    EXPECT_EQ(error.code(), 3);
    ASSERT_TRUE(store->upsertRecord({{"id", int64_t{1}}, {"name", std::string("x")}}, "t", nullptr));
    MSRError textError;
    EXPECT_FALSE(store->numberForQuery("SELECT name FROM t", {}, &textError));
    EXPECT_EQ(textError.localizedDescription(), "Found result that was not numeric");
}

TEST_F(SqliteStoreTest, ACachedStatementCarriesNoBindingsToTheNextCall) {
    auto store = openWithTable();
    for (int64_t id = 1; id <= 3; ++id) ASSERT_TRUE(store->upsertRecord({{"id", id}}, "t", nullptr));
    const std::string sql = "SELECT id FROM t WHERE id >= ? ORDER BY id";
    for (int64_t from : {1, 3, 2, 1}) {
        auto rows = store->recordsForQuery(sql, {from}, nullptr);
        ASSERT_TRUE(rows);
        EXPECT_EQ(rows->size(), static_cast<size_t>(4 - from));
        EXPECT_EQ(rows->front().at("id"), MSRSqliteValue(from));
    }
}

TEST_F(SqliteStoreTest, FiltersStopReadingAtTheFirstRefusedRow) {
    auto store = openWithTable();
    for (int64_t id = 1; id <= 5; ++id) ASSERT_TRUE(store->upsertRecord({{"id", id}}, "t", nullptr));
    struct Case {
        size_t refuseAt;
        size_t expected;
    };
    for (Case c : {Case{0, 0}, Case{2, 2}, Case{9, 5}}) {
        SCOPED_TRACE(c.refuseAt);
        logger_->clear();
        auto rows = store->recordsForQuery(
            "SELECT id FROM t ORDER BY id", {}, nullptr,
            [&](size_t accepted, const MSRSqliteRow&) { return accepted < c.refuseAt; });
        ASSERT_TRUE(rows);
        EXPECT_EQ(rows->size(), c.expected);
        EXPECT_EQ(logged(34005), c.expected == 0);
    }
}

// Fails the step of the row whose argument equals the function's user data.
void failAtRow(sqlite3_context* context, int, sqlite3_value** arguments) {
    int64_t failAt = reinterpret_cast<intptr_t>(sqlite3_user_data(context));
    if (sqlite3_value_int64(arguments[0]) == failAt) {
        sqlite3_result_error(context, "row cannot be read", -1);
        return;
    }
    sqlite3_result_value(context, arguments[0]);
}

TEST_F(SqliteStoreTest, AFailedStepInsideARowQueryIsReported) {
    auto store = openWithTable();
    for (int64_t id = 1; id <= 5; ++id) ASSERT_TRUE(store->upsertRecord({{"id", id}}, "t", nullptr));
    for (intptr_t failAt : {1, 3}) {
        SCOPED_TRACE(failAt);
        sqlite3_create_function(store->sqliteHandle(), "fail_at", 1, SQLITE_UTF8,
                                reinterpret_cast<void*>(failAt), failAtRow, nullptr, nullptr);
        MSRError error;
        auto rows = store->recordsForQuery("SELECT fail_at(id) AS id FROM t ORDER BY id", {}, &error);
        EXPECT_FALSE(rows);
        EXPECT_EQ(error.code(), 3);
        EXPECT_NE(error.localizedDescription().find("row cannot be read"), std::string::npos);
    }
    // The statement was reset: the next query on the same text runs normally.
    sqlite3_create_function(store->sqliteHandle(), "fail_at", 1, SQLITE_UTF8, reinterpret_cast<void*>(99),
                            failAtRow, nullptr, nullptr);
    auto rows = store->recordsForQuery("SELECT fail_at(id) AS id FROM t ORDER BY id", {}, nullptr);
    ASSERT_TRUE(rows);
    EXPECT_EQ(rows->size(), 5u);
}

TEST_F(SqliteStoreTest, TransactionsCommitOrLeaveNoTrace) {
    auto store = openWithTable();
    auto insert = [&](int64_t id) { return store->upsertRecord({{"id", id}}, "t", nullptr); };

    EXPECT_TRUE(store->performTransaction(nullptr, [&] { return insert(1) && insert(2); }));
    EXPECT_EQ(count(*store), 2);

    MSRError error;
    EXPECT_FALSE(store->performTransaction(&error, [&] { return insert(3) && false; }));
    EXPECT_EQ(error.localizedDescription(), "Transaction failed");
    EXPECT_EQ(count(*store), 2);

    EXPECT_THROW(store->performTransaction(nullptr,
                                           [&]() -> bool {
                                               insert(4);
                                               throw std::runtime_error("block failed");
                                           }),
                 std::runtime_error);
    EXPECT_EQ(count(*store), 2);

    MSRError nested;
    EXPECT_TRUE(store->performTransaction(nullptr, [&] {
        EXPECT_FALSE(store->performTransaction(&nested, [] { return true; }));
        return insert(5);
    }));
    EXPECT_EQ(nested.localizedDescription(), "Failed to begin transaction");
    EXPECT_EQ(count(*store), 3);
}

TEST_F(SqliteStoreTest, AFailedCommitIsRolledBackSoLaterTransactionsWork) {
    auto store = openWithTable();
    ASSERT_TRUE(store->executeSQL("PRAGMA foreign_keys = ON", nullptr));
    ASSERT_TRUE(
        store->executeSQL("CREATE TABLE child (id INTEGER PRIMARY KEY, parent INTEGER REFERENCES t(id) "
                          "DEFERRABLE INITIALLY DEFERRED)",
                          nullptr));
    MSRError error;
    // The foreign key is checked only at commit, so END TRANSACTION fails and
    // SQLite keeps the transaction open.
    EXPECT_FALSE(store->performTransaction(&error, [&] {
        return store->upsertRecord({{"id", int64_t{1}}, {"parent", int64_t{42}}}, "child", nullptr);
    }));
    EXPECT_EQ(error.localizedDescription(), "Failed to end transaction");
    EXPECT_EQ(count(*store, "child"), 0);
    EXPECT_TRUE(store->performTransaction(nullptr, [&] {
        return store->upsertRecord({{"id", int64_t{42}}}, "t", nullptr) &&
               store->upsertRecord({{"id", int64_t{1}}, {"parent", int64_t{42}}}, "child", nullptr);
    }));
    EXPECT_EQ(count(*store, "child"), 1);
}

TEST_F(SqliteStoreTest, AFullDiskFailsWritesUntilSpaceIsBack) {
    auto store = openWithTable();
    auto pages = store->numberForQuery("PRAGMA page_count", {}, nullptr);
    ASSERT_TRUE(pages);
    ASSERT_TRUE(store->numberForQuery("PRAGMA max_page_count = " + std::to_string(MSRSqliteInt64(*pages) + 2),
                                      {}, nullptr));
    MSRSqliteBlob payload(4000, 0xab);
    MSRError error;
    int64_t written = 0;
    bool committed = store->performTransaction(&error, [&] {
        for (int64_t id = 1; id <= 50; ++id) {
            if (!store->upsertRecord({{"id", id}, {"payload", payload}}, "t", nullptr)) return false;
            ++written;
        }
        return true;
    });
    EXPECT_FALSE(committed);
    EXPECT_LT(written, 50);
    EXPECT_EQ(count(*store), 0);
    MSRError single;
    EXPECT_FALSE(
        store->upsertRecord({{"id", int64_t{1}}, {"payload", MSRSqliteBlob(20000, 1)}}, "t", &single));
    EXPECT_EQ(single.code(), 3);
    EXPECT_NE(single.monitorContext().find("execute statement,13,"), std::string::npos);

    ASSERT_TRUE(store->numberForQuery("PRAGMA max_page_count = 1000000", {}, nullptr));
    EXPECT_TRUE(store->performTransaction(nullptr, [&] {
        for (int64_t id = 1; id <= 50; ++id) {
            if (!store->upsertRecord({{"id", id}, {"payload", payload}}, "t", nullptr)) return false;
        }
        return true;
    }));
    EXPECT_EQ(count(*store), 50);
    EXPECT_TRUE(store->validateDatabase(nullptr));
}

TEST_F(SqliteStoreTest, ATransactionOfAnotherConnectionMakesWritesBusyNotLost) {
    auto store = openWithTable();
    ASSERT_TRUE(store->upsertRecord({{"id", int64_t{1}}}, "t", nullptr));
    MSRError error;
    auto second = MSRSqliteStore::create(databasePath(), &error);
    ASSERT_TRUE(second) << error.description();
    ASSERT_TRUE(second->beginTransaction());
    MSRError busy;
    EXPECT_FALSE(store->performTransaction(&busy, [] { return true; }));
    EXPECT_EQ(busy.localizedDescription(), "Failed to begin transaction");
    ASSERT_TRUE(second->rollbackTransaction());
    EXPECT_EQ(count(*store), 1);
}

TEST_F(SqliteStoreTest, ClosedStoresRefuseWork) {
    auto store = openWithTable();
    store->closeDatabase();
    MSRError error;
    EXPECT_FALSE(store->upsertRecord({{"id", int64_t{1}}}, "t", &error));
    EXPECT_EQ(error.code(), 2);
    EXPECT_FALSE(store->recordsForQuery("SELECT 1", {}, &error));
    EXPECT_EQ(error.localizedDescription(), "Query records failed. Database not open.");
    EXPECT_FALSE(store->lastErrorMessage());
    EXPECT_TRUE(store->closeAndDeleteDatabase());
    EXPECT_FALSE(fs::exists(databasePath()));
}

}  // namespace
