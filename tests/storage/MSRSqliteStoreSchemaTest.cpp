
#include "tests/storage/StorageTestSupport.h"

using Types = std::map<std::string, std::string>;

class SchemaTest : public StoreTest {
  protected:
    Types types() { return store_->columnInfoForTable("t", nullptr).value_or(Types{}); }
    bool insert(MSRSqliteRecord record) { return store_->upsertRecord(record, "t", nullptr); }
    // An index dies with its table, so it tells whether the table was rebuilt.
    bool mark() { return run("CREATE INDEX mark ON t (a)"); }
    bool marked() {
        return store_->rowCountForTable("sqlite_master", "name", MSRSqliteValue("mark"), nullptr) == 1;
    }

    const MSRColumnInfo elementary_ = {{"a", "INTEGER NOT NULL"}, {"b", "TEXT"}, {"PRIMARY KEY", "(a, b)"}};
    const MSRColumnInfo addOn_ = {{"c", "REAL"}, {"d", "INTEGER NOT NULL DEFAULT 5"}};
};

TEST_F(SchemaTest, NewAndOldTablesEndWithTheSameColumnsAndKeepTheirRows) {
    for (bool old : {false, true}) {
        SCOPED_TRACE(old ? "old table" : "new table");
        ASSERT_TRUE(run("DROP TABLE IF EXISTS t"));
        if (old) {
            ASSERT_TRUE(run("CREATE TABLE t (a INTEGER NOT NULL, b TEXT, PRIMARY KEY (a, b))"));
            ASSERT_TRUE(insert({{"a", int64_t{1}}, {"b", std::string("old")}}));
        }
        ASSERT_TRUE(store_->ensureTable("t", elementary_, addOn_, {}, nullptr));
        EXPECT_EQ(types(), (Types{{"a", "INTEGER"}, {"b", "TEXT"}, {"c", "REAL"}, {"d", "INTEGER"}}));
        EXPECT_EQ(count(), old ? 1 : 0);
        ASSERT_TRUE(mark());
        ASSERT_TRUE(store_->ensureTable("t", elementary_, addOn_, {}, nullptr));
        EXPECT_TRUE(marked());
        // The table-level key is in force: the same pair replaces the row.
        ASSERT_TRUE(insert({{"a", int64_t{1}}, {"b", std::string("old")}, {"c", 2.0}}));
        auto rows = store_->recordsForQuery("SELECT * FROM t", {}, nullptr);
        ASSERT_TRUE(rows && rows->size() == 1);
        EXPECT_EQ(rows->front().at("d"), MSRSqliteValue(int64_t{5}));
    }
}

TEST_F(SchemaTest, TablesTheDeclarationCannotAccountForAreRefused) {
    struct Case {
        const char* create;
        const char* description;  // "" when accepted
    };
    for (Case c : {Case{"CREATE TABLE t (a INTEGER NOT NULL, c REAL)", "Table is missing required columns"},
                   Case{"CREATE TABLE t (a INTEGER NOT NULL, b TEXT, extra TEXT)", ""},
                   Case{"CREATE TABLE t (a INTEGER NOT NULL, b TEXT, extra TEXT NOT NULL)",
                        "Table contains unknown non-optional columns"}}) {
        SCOPED_TRACE(c.create);
        ASSERT_TRUE(run("DROP TABLE IF EXISTS t") && run(c.create));
        MSRError error;
        EXPECT_EQ(store_->ensureTable("t", elementary_, addOn_, {}, &error), *c.description == '\0');
        EXPECT_EQ(error.localizedDescription(), c.description);
    }
}

TEST_F(SchemaTest, ChangedColumnTypesRebuildTheTableOnceWithItsRows) {
    const MSRColumnInfo elementary = {{"a", "INTEGER NOT NULL"}, {"b", "INTEGER"}};
    const MSRColumnInfo addOn = {{"c", "TEXT"}};
    ASSERT_TRUE(store_->ensureTable("t", elementary, addOn, {}, nullptr));
    for (int64_t i = 1; i <= 100; ++i)
        ASSERT_TRUE(insert({{"a", i}, {"b", i * 3}, {"c", std::to_string(i)}}));
    ASSERT_TRUE(mark());
    Types modify = {{"b", "REAL NOT NULL"}};
    ASSERT_TRUE(store_->ensureTable("t", elementary, addOn, modify, nullptr));
    EXPECT_FALSE(marked());
    EXPECT_EQ(types().at("b"), "REAL");
    EXPECT_EQ(store_->numberForQuery("SELECT sum(b) FROM t", {}, nullptr), MSRSqliteValue(3.0 * 5050));
    EXPECT_EQ(store_->tableExists("t_old", nullptr), false);

    // Equal types, and constraints after the same first word, are no change.
    ASSERT_TRUE(mark());
    ASSERT_TRUE(store_->ensureTable("t", elementary, addOn, modify, nullptr));
    ASSERT_TRUE(store_->ensureTable("t", elementary, addOn, {{"b", "REAL DEFAULT 0"}}, nullptr));
    EXPECT_TRUE(marked());
}

TEST_F(SchemaTest, ARebuildCopiesColumnsByName) {
    // Columns created in another order than declared.
    ASSERT_TRUE(run("CREATE TABLE t (b TEXT, a INTEGER NOT NULL, c BLOB)"));
    ASSERT_TRUE(insert({{"a", int64_t{1}}, {"b", std::string("kept")}, {"c", MSRSqliteBlob{9}}}));
    ASSERT_TRUE(store_->ensureTable("t", {{"a", "INTEGER NOT NULL"}, {"b", "TEXT"}}, {{"c", "BLOB"}},
                                    {{"a", "REAL NOT NULL"}}, nullptr));
    auto rows = store_->recordsForQuery("SELECT * FROM t", {}, nullptr);
    ASSERT_TRUE(rows && rows->size() == 1);
    EXPECT_EQ(rows->front(), (MSRSqliteRow{{"a", 1.0}, {"b", std::string("kept")}, {"c", MSRSqliteBlob{9}}}));
}

TEST_F(SchemaTest, AFailedRebuildLeavesTheTableAsItWas) {
    const MSRColumnInfo elementary = {{"a", "INTEGER NOT NULL"}, {"b", "INTEGER"}};
    ASSERT_TRUE(store_->ensureTable("t", elementary, {}, {}, nullptr));
    ASSERT_TRUE(insert({{"a", int64_t{1}}, {"b", int64_t{2}}}) &&
                insert({{"a", int64_t{2}}, {"b", MSRSqliteNull{}}}));
    ASSERT_TRUE(mark());
    // The old NULL cannot enter the new NOT NULL column, so the copy fails.
    MSRError error;
    EXPECT_FALSE(store_->ensureTable("t", elementary, {}, {{"b", "TEXT NOT NULL"}}, &error));
    EXPECT_EQ(error.localizedDescription(), "Transaction failed");
    EXPECT_TRUE(marked());
    EXPECT_EQ(types().at("b"), "INTEGER");
    EXPECT_EQ(count(), 2);
    EXPECT_EQ(store_->tableExists("t_old", nullptr), false);
}

TEST_F(SchemaTest, RenamesAndCopiesOntoItselfAreRefused) {
    ASSERT_TRUE(store_->ensureTable("t", elementary_, addOn_, {}, nullptr) && insert({{"a", int64_t{1}}}));
    MSRError error;
    EXPECT_FALSE(store_->renameTable("t", "t", &error));
    EXPECT_FALSE(store_->copyContentsFromTable("t", "t", &error));
    EXPECT_EQ(error.localizedDescription(), "Received duplicate name for copy table");
    EXPECT_EQ(count(), 1);
}
