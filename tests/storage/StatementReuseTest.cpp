#include <string>
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

    std::string rows() {
        std::string text;
        auto all = store_->recordsForQuery("SELECT id, name, n FROM r ORDER BY id", {}, nullptr);
        if (!all) return "error";
        for (const auto& row : *all) {
            text += std::to_string(MSRSqliteInt64(row.at("id"))) + ":";
            if (const auto* name = std::get_if<std::string>(&row.at("name"))) text += *name;
            text += ":";
            if (const auto* n = std::get_if<int64_t>(&row.at("n"))) text += std::to_string(*n);
            text += " ";
        }
        return text;
    }
};

MSRSqliteValue id(int64_t value) { return MSRSqliteValue(value); }
MSRSqliteValue text(const char* value) { return MSRSqliteValue(std::string(value)); }

// The same record writes, repeated through kept statements: each answers for
// its own values, a refused write leaves the next one working, and a value
// missing from one call never comes from the call before.
TEST_F(StatementReuseTest, RepeatedRecordWritesUseOnlyTheirOwnValues) {
    enum class Op { Upsert, Update, Delete };
    struct Step {
        Op op;
        MSRSqliteRecord record;
        int64_t key;
        bool ok;
        std::string after;
    };
    const std::vector<Step> steps = {
        {Op::Upsert, {{"id", id(1)}, {"name", text("a")}, {"n", id(1)}}, 0, true, "1:a:1 "},
        {Op::Upsert, {{"id", id(2)}, {"name", text("b")}, {"n", id(2)}}, 0, true, "1:a:1 2:b:2 "},
        // Same text, no value for n this time: NULL, not the 2 bound before.
        {Op::Upsert, {{"id", id(3)}, {"name", text("c")}, {"n", MSRSqliteNull{}}}, 0, true, "1:a:1 2:b:2 3:c: "},
        {Op::Upsert, {{"id", id(4)}, {"name", text("d")}, {"n", id(-1)}}, 0, false, "1:a:1 2:b:2 3:c: "},
        {Op::Upsert, {{"id", id(4)}, {"name", text("d")}, {"n", id(4)}}, 0, true, "1:a:1 2:b:2 3:c: 4:d:4 "},
        {Op::Update, {{"n", id(10)}}, 1, true, "1:a:10 2:b:2 3:c: 4:d:4 "},
        {Op::Update, {{"n", id(-5)}}, 2, false, "1:a:10 2:b:2 3:c: 4:d:4 "},
        {Op::Update, {{"n", id(20)}}, 2, true, "1:a:10 2:b:20 3:c: 4:d:4 "},
        {Op::Update, {{"name", MSRSqliteNull{}}}, 3, false, "1:a:10 2:b:20 3:c: 4:d:4 "},
        {Op::Update, {{"name", text("cc")}}, 3, true, "1:a:10 2:b:20 3:cc: 4:d:4 "},
        {Op::Delete, {}, 4, true, "1:a:10 2:b:20 3:cc: "},
        {Op::Delete, {}, 1, true, "2:b:20 3:cc: "},
        {Op::Delete, {}, 9, true, "2:b:20 3:cc: "},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        SCOPED_TRACE(i);
        MSRError error;
        bool ok = false;
        switch (step.op) {
            case Op::Upsert:
                ok = store_->upsertRecord(step.record, "r", &error);
                break;
            case Op::Update:
                ok = store_->updateRecord(step.record, "r", "id", id(step.key), &error);
                break;
            case Op::Delete:
                ok = store_->deleteRecordFromTable("r", "id", id(step.key), &error);
                break;
        }
        EXPECT_EQ(ok, step.ok);
        if (!step.ok) {
            EXPECT_NE(error.localizedDescription().find("execute statement"), std::string::npos);
        }
        EXPECT_EQ(rows(), step.after);
    }
    // A write held open by nothing: the table can be changed and dropped.
    EXPECT_TRUE(run("DROP TABLE r"));
}

// Texts with literal conditions, asked again and again as the data and even the
// table change, answer for the data of the moment — also past the number of
// such texts the store keeps, and after the connection is opened again.
TEST_F(StatementReuseTest, RepeatedLiteralQueriesFollowTheData) {
    const std::string realtime = "SELECT EXISTS (SELECT 1 FROM r WHERE is_realtime = 1 LIMIT 1)";
    const std::string named = "SELECT count(1) FROM r WHERE name = 'x'";
    auto answer = [&](const std::string& sql) {
        auto value = store_->numberForQuery(sql, {}, nullptr);
        return value ? MSRSqliteInt64(*value) : -1;
    };
    struct Step {
        const char* change;
        int64_t realtimeRows;
        int64_t named;
    };
    const std::vector<Step> steps = {
        {"", 0, 0},
        {"INSERT INTO r (id, name, is_realtime) VALUES (1, 'x', 0)", 0, 1},
        {"UPDATE r SET is_realtime = 1 WHERE id = 1", 1, 1},
        {"ALTER TABLE r ADD COLUMN extra TEXT", 1, 1},
        {"INSERT INTO r (id, name, is_realtime, extra) VALUES (2, 'x', 0, 'e')", 1, 2},
        {"DELETE FROM r WHERE id = 1", 0, 1},
        {"CLOSE", 0, 1},
        {"INSERT INTO r (id, name, is_realtime) VALUES (3, 'y', 1)", 1, 1},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.change);
        if (std::string(step.change) == "CLOSE") {
            store_->closeDatabase();
            ASSERT_TRUE(store_->openAndValidateDatabase(nullptr));
        } else if (*step.change) {
            ASSERT_TRUE(run(step.change));
        }
        for (int ask = 0; ask < 3; ++ask) {
            EXPECT_EQ(answer(realtime), step.realtimeRows);
            EXPECT_EQ(answer(named), step.named);
        }
    }
    // Many distinct literal texts, each asked twice: all answer right.
    for (int64_t limit = 0; limit < 150; ++limit) {
        const std::string sql = "SELECT count(1) FROM r WHERE id <= " + std::to_string(limit);
        const int64_t expected = limit >= 3 ? 2 : limit >= 2 ? 1 : 0;
        EXPECT_EQ(answer(sql), expected) << sql;
        EXPECT_EQ(answer(sql), expected) << sql;
    }
}

}  // namespace
