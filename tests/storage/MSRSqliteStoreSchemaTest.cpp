#include <gtest/gtest.h>

#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRSqliteStore.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

class SchemaTest : public StorageTest {
  protected:
    void SetUp() override {
        StorageTest::SetUp();
        MSRError error;
        store_ = MSRSqliteStore::create(MSRSDKFilePath("schema.sql"), &error);
        ASSERT_TRUE(store_) << error.description();
    }

    std::map<std::string, std::string> columns(const std::string& table) {
        return store_->columnInfoForTable(table, nullptr).value_or(std::map<std::string, std::string>{});
    }

    // An index dies with its table, so it tells whether a table was rebuilt.
    void markTable(const std::string& table) {
        ASSERT_TRUE(store_->executeSQL("CREATE INDEX mark_" + table + " ON " + table + " (a)", nullptr));
    }
    bool stillMarked(const std::string& table) {
        return store_->rowCountForTable("sqlite_master", "name", MSRSqliteValue("mark_" + table), nullptr) ==
               1;
    }

    std::unique_ptr<MSRSqliteStore> store_;
    const MSRColumnInfo elementary_ = {{"a", "INTEGER NOT NULL"}, {"b", "TEXT"}, {"PRIMARY KEY", "(a, b)"}};
    const MSRColumnInfo addOn_ = {{"c", "REAL"}, {"d", "BLOB"}};
};

TEST_F(SchemaTest, ANewTableGetsEveryColumnAndASecondRunChangesNothing) {
    ASSERT_TRUE(store_->ensureTable("t", elementary_, addOn_, {}, nullptr));
    std::map<std::string, std::string> expected = {
        {"a", "INTEGER"}, {"b", "TEXT"}, {"c", "REAL"}, {"d", "BLOB"}};
    EXPECT_EQ(columns("t"), expected);
    markTable("t");
    ASSERT_TRUE(store_->ensureTable("t", elementary_, addOn_, {}, nullptr));
    EXPECT_TRUE(stillMarked("t"));
    // The table-level key is in force: a duplicate pair is replaced, not added.
    ASSERT_TRUE(store_->upsertRecord({{"a", int64_t{1}}, {"b", std::string("x")}, {"c", 1.0}}, "t", nullptr));
    ASSERT_TRUE(store_->upsertRecord({{"a", int64_t{1}}, {"b", std::string("x")}, {"c", 2.0}}, "t", nullptr));
    EXPECT_EQ(store_->rowCountForTable("t", nullptr), 1);
}

TEST_F(SchemaTest, OldTablesGainAddOnColumnsAndKeepTheirRows) {
    ASSERT_TRUE(
        store_->executeSQL("CREATE TABLE t (a INTEGER NOT NULL, b TEXT, PRIMARY KEY (a, b))", nullptr));
    ASSERT_TRUE(store_->upsertRecord({{"a", int64_t{1}}, {"b", std::string("old")}}, "t", nullptr));
    ASSERT_TRUE(store_->ensureTable("t", elementary_, {{"c", "REAL"}, {"d", "INTEGER NOT NULL DEFAULT 5"}},
                                    {}, nullptr));
    auto rows = store_->recordsForQuery("SELECT * FROM t", {}, nullptr);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ(rows->front().at("b"), MSRSqliteValue(std::string("old")));
    EXPECT_EQ(rows->front().at("c"), MSRSqliteValue(MSRSqliteNull{}));
    EXPECT_EQ(rows->front().at("d"), MSRSqliteValue(int64_t{5}));
}

TEST_F(SchemaTest, TablesTheDeclarationCannotAccountForAreRefused) {
    struct Case {
        const char* create;
        bool accepted;
        const char* description;
    };
    std::vector<Case> cases = {
        {"CREATE TABLE t (a INTEGER NOT NULL, c REAL)", false, "Table is missing required columns"},
        {"CREATE TABLE t (a INTEGER NOT NULL, b TEXT, extra TEXT)", true, ""},
        {"CREATE TABLE t (a INTEGER NOT NULL, b TEXT, extra TEXT NOT NULL)", false,
         "Table contains unknown non-optional columns"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.create);
        ASSERT_TRUE(store_->executeSQL("DROP TABLE IF EXISTS t", nullptr));
        ASSERT_TRUE(store_->executeSQL(c.create, nullptr));
        MSRError error;
        EXPECT_EQ(store_->ensureTable("t", elementary_, addOn_, {}, &error), c.accepted);
        if (!c.accepted) {
            EXPECT_EQ(error.localizedDescription(), c.description);
        }
    }
}

TEST_F(SchemaTest, ChangedColumnTypesRebuildTheTableOnceWithItsRows) {
    const MSRColumnInfo elementary = {{"a", "INTEGER NOT NULL"}, {"b", "INTEGER"}};
    const MSRColumnInfo addOn = {{"c", "TEXT"}};
    ASSERT_TRUE(store_->ensureTable("t", elementary, addOn, {}, nullptr));
    for (int64_t i = 1; i <= 100; ++i) {
        ASSERT_TRUE(store_->upsertRecord({{"a", i}, {"b", i * 3}, {"c", std::to_string(i)}}, "t", nullptr));
    }
    markTable("t");
    std::map<std::string, std::string> modify = {{"b", "REAL NOT NULL"}};
    ASSERT_TRUE(store_->ensureTable("t", elementary, addOn, modify, nullptr));
    EXPECT_FALSE(stillMarked("t"));
    EXPECT_EQ(columns("t").at("b"), "REAL");
    EXPECT_EQ(store_->rowCountForTable("t", nullptr), 100);
    auto sum = store_->numberForQuery("SELECT sum(b) FROM t", {}, nullptr);
    ASSERT_TRUE(sum);
    EXPECT_EQ(std::get<double>(*sum), 3.0 * 5050);
    EXPECT_EQ(store_->tableExists("t_old", nullptr), std::optional<bool>(false));

    markTable("t");
    ASSERT_TRUE(store_->ensureTable("t", elementary, addOn, modify, nullptr));
    EXPECT_TRUE(stillMarked("t"));
    // Constraints after the same first word are no change of type.
    ASSERT_TRUE(store_->ensureTable("t", elementary, addOn, {{"b", "REAL DEFAULT 0"}}, nullptr));
    EXPECT_TRUE(stillMarked("t"));
}

TEST_F(SchemaTest, ARebuildCopiesColumnsByName) {
    // Columns created in another order than declared.
    ASSERT_TRUE(store_->executeSQL("CREATE TABLE t (b TEXT, a INTEGER NOT NULL, c BLOB)", nullptr));
    ASSERT_TRUE(store_->upsertRecord({{"a", int64_t{1}}, {"b", std::string("kept")}, {"c", MSRSqliteBlob{9}}},
                                     "t", nullptr));
    ASSERT_TRUE(store_->ensureTable("t", {{"a", "INTEGER NOT NULL"}, {"b", "TEXT"}}, {{"c", "BLOB"}},
                                    {{"a", "REAL NOT NULL"}}, nullptr));
    auto rows = store_->recordsForQuery("SELECT * FROM t", {}, nullptr);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ(rows->front().at("a"), MSRSqliteValue(1.0));
    EXPECT_EQ(rows->front().at("b"), MSRSqliteValue(std::string("kept")));
    EXPECT_EQ(rows->front().at("c"), MSRSqliteValue(MSRSqliteBlob{9}));
}

TEST_F(SchemaTest, AFailedRebuildLeavesTheTableAsItWas) {
    const MSRColumnInfo elementary = {{"a", "INTEGER NOT NULL"}, {"b", "INTEGER"}};
    ASSERT_TRUE(store_->ensureTable("t", elementary, {}, {}, nullptr));
    ASSERT_TRUE(store_->upsertRecord({{"a", int64_t{1}}, {"b", int64_t{2}}}, "t", nullptr));
    ASSERT_TRUE(store_->upsertRecord({{"a", int64_t{2}}, {"b", MSRSqliteNull{}}}, "t", nullptr));
    markTable("t");
    // The old NULL cannot enter the new NOT NULL column, so the copy fails.
    MSRError error;
    EXPECT_FALSE(store_->ensureTable("t", elementary, {}, {{"b", "TEXT NOT NULL"}}, &error));
    EXPECT_EQ(error.localizedDescription(), "Transaction failed");
    EXPECT_TRUE(stillMarked("t"));
    EXPECT_EQ(columns("t").at("b"), "INTEGER");
    EXPECT_EQ(store_->rowCountForTable("t", nullptr), 2);
    EXPECT_EQ(store_->tableExists("t_old", nullptr), std::optional<bool>(false));
}

TEST_F(SchemaTest, TableOperationsRefuseEqualNamesBeforeRunningSQL) {
    ASSERT_TRUE(store_->ensureTable("t", elementary_, addOn_, {}, nullptr));
    MSRError error;
    EXPECT_FALSE(store_->renameTable("t", "t", &error));
    EXPECT_EQ(error.localizedDescription(), "Received duplicate name for rename table");
    EXPECT_FALSE(store_->copyContentsFromTable("t", "t", &error));
    EXPECT_EQ(error.localizedDescription(), "Received duplicate name for copy table");
    ASSERT_TRUE(store_->upsertRecord({{"a", int64_t{1}}, {"b", std::string("x")}}, "t", nullptr));
    ASSERT_TRUE(store_->createEmptyTable("snapshot", "t", nullptr));
    EXPECT_EQ(store_->rowCountForTable("snapshot", nullptr), 0);
    ASSERT_TRUE(store_->copyContentsFromTable("t", "snapshot", nullptr));
    EXPECT_EQ(store_->rowCountForTable("snapshot", nullptr), 1);
    ASSERT_TRUE(store_->dropTable("snapshot", nullptr));
    EXPECT_EQ(store_->tableExists("snapshot", nullptr), std::optional<bool>(false));
}

}  // namespace
