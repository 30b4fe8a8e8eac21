#include <string>
#include <tuple>
#include <vector>

#include "tests/storage/StorageTestSupport.h"

namespace {

class StatementReuseTest : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        ASSERT_TRUE(run("CREATE TABLE r (id INTEGER PRIMARY KEY, name TEXT NOT NULL, n INTEGER CHECK (n >= 0),"
                        " is_realtime INTEGER)"));
    }

    // "id:name:n " per row, in id order.
    std::string rows() {
        auto all = store_->recordsForQuery("SELECT group_concat(id || ':' || name || ':' || ifnull(n, '') || ' ', '')"
                                           " AS t FROM (SELECT * FROM r ORDER BY id)", {}, nullptr);
        if (!all || all->size() != 1) return "error";
        const auto* t = std::get_if<std::string>(&all->front().at("t"));
        return t ? *t : "";
    }
};

MSRSqliteValue id(int64_t value) { return MSRSqliteValue(value); }
MSRSqliteValue text(const char* value) { return MSRSqliteValue(std::string(value)); }

// Record writes through kept statements: a refused write leaves the next one
// working, and a value missing from one call never comes from the call before.
TEST_F(StatementReuseTest, RepeatedRecordWritesUseOnlyTheirOwnValues) {
    enum class Op { Upsert, Update, Delete };
    struct Step { Op op; MSRSqliteRecord record; int64_t key; bool ok; std::string after; };
    const std::vector<Step> steps = {
        {Op::Upsert, {{"id", id(1)}, {"name", text("a")}, {"n", id(1)}}, 0, true, "1:a:1 "},
        {Op::Upsert, {{"id", id(3)}, {"name", text("c")}, {"n", MSRSqliteNull{}}}, 0, true, "1:a:1 3:c: "},
        {Op::Upsert, {{"id", id(4)}, {"name", text("d")}, {"n", id(-1)}}, 0, false, "1:a:1 3:c: "},
        {Op::Upsert, {{"id", id(4)}, {"name", text("d")}, {"n", id(4)}}, 0, true, "1:a:1 3:c: 4:d:4 "},
        {Op::Update, {{"n", id(10)}}, 1, true, "1:a:10 3:c: 4:d:4 "},
        {Op::Update, {{"n", id(-5)}}, 4, false, "1:a:10 3:c: 4:d:4 "},
        {Op::Update, {{"n", id(20)}}, 4, true, "1:a:10 3:c: 4:d:20 "},
        {Op::Delete, {}, 4, true, "1:a:10 3:c: "},
        {Op::Delete, {}, 9, true, "1:a:10 3:c: "},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        SCOPED_TRACE(i);
        bool ok = false;
        switch (step.op) {
            case Op::Upsert: ok = store_->upsertRecord(step.record, "r", nullptr); break;
            case Op::Update: ok = store_->updateRecord(step.record, "r", "id", id(step.key), nullptr); break;
            case Op::Delete: ok = store_->deleteRecordFromTable("r", "id", id(step.key), nullptr); break;
        }
        EXPECT_EQ(ok, step.ok);
        EXPECT_EQ(rows(), step.after);
    }
    // No write is left holding the table.
    EXPECT_TRUE(run("DROP TABLE r"));
}

// Texts with literal conditions, asked again as the data and even the table
// change, answer for the data of the moment — also past the number of such
// texts the store keeps, and after the connection is opened again.
TEST_F(StatementReuseTest, RepeatedLiteralQueriesFollowTheData) {
    const std::string realtime = "SELECT EXISTS (SELECT 1 FROM r WHERE is_realtime = 1 LIMIT 1)";
    const std::string named = "SELECT count(1) FROM r WHERE name = 'x'";
    auto answer = [&](const std::string& sql) {
        auto value = store_->numberForQuery(sql, {}, nullptr);
        return value ? MSRSqliteInt64(*value) : -1;
    };
    const std::vector<std::tuple<std::string, int64_t, int64_t>> steps = {
        {"", 0, 0},
        {"INSERT INTO r (id, name, is_realtime) VALUES (1, 'x', 0)", 0, 1},
        {"UPDATE r SET is_realtime = 1 WHERE id = 1", 1, 1},
        {"ALTER TABLE r ADD COLUMN extra TEXT", 1, 1},
        {"INSERT INTO r (id, name, is_realtime, extra) VALUES (2, 'x', 0, 'e')", 1, 2},
        {"DELETE FROM r WHERE id = 1", 0, 1},
        {"CLOSE", 0, 1},
        {"INSERT INTO r (id, name, is_realtime) VALUES (3, 'y', 1)", 1, 1},
    };
    for (const auto& [change, realtimeRows, namedRows] : steps) {
        SCOPED_TRACE(change);
        if (change == "CLOSE") {
            store_->closeDatabase();
            ASSERT_TRUE(store_->openAndValidateDatabase(nullptr));
        } else if (!change.empty()) {
            ASSERT_TRUE(run(change));
        }
        for (int ask = 0; ask < 3; ++ask) {
            EXPECT_EQ(answer(realtime), realtimeRows);
            EXPECT_EQ(answer(named), namedRows);
        }
    }
    for (int64_t limit = 0; limit < 150; ++limit) {
        const std::string sql = "SELECT count(1) FROM r WHERE id <= " + std::to_string(limit);
        const int64_t expected = limit >= 3 ? 2 : limit >= 2 ? 1 : 0;
        for (int ask = 0; ask < 2; ++ask) EXPECT_EQ(answer(sql), expected) << sql;
    }
}

}  // namespace
