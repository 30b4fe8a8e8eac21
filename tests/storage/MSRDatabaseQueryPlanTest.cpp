// The questions the upload schedule asks after every stored event must not
// read the whole raw-event table, or storing slows down with every stored row.

#include "analytics/storage/MSRDatabase.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

class DatabaseQueryPlanTest : public StorageTest {};

TEST_F(DatabaseQueryPlanTest, ScheduleQuestionsAreAnsweredThroughAnIndex) {
    auto database = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
    ASSERT_TRUE(database);
    for (double time : {30.0, 10.0, 20.0}) {
        auto event = MSREvent::initWithOrigin("app", true, "level_up", time, 0, {});
        ASSERT_TRUE(database->insertRawEvent(*event, 1, time == 10.0, nullptr));
    }
    EXPECT_EQ(database->queryLatestRawEventTime(nullptr), 30.0);
    EXPECT_EQ(database->containsRealtimeRawEvents(nullptr), true);

    // The file as any other reader sees it, e.g. the sqlite3 shell.
    for (const char* query : {"SELECT MAX(timestamp) FROM raw_events",
                              "SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)"}) {
        const std::string details = shell(database->databasePath(), std::string("EXPLAIN QUERY PLAN ") + query);
        EXPECT_EQ(details.find("SCAN raw_events"), std::string::npos) << query << "\n" << details;
        EXPECT_NE(details.find("INDEX"), std::string::npos) << query << "\n" << details;
    }
}

}  // namespace

// Files written before real-time rows had an index of their own carry an
// entry for every row; opening one replaces it and keeps every row.
TEST_F(DatabaseQueryPlanTest, OlderFileWithFullRealtimeIndexIsMigrated) {
    std::string path;
    {
        auto database = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
        ASSERT_TRUE(database);
        path = database->databasePath();
        for (double time : {10.0, 20.0}) {
            auto event = MSREvent::initWithOrigin("app", true, "level_up", time, 0, {});
            ASSERT_TRUE(database->insertRawEvent(*event, 1, time == 20.0, nullptr));
        }
    }
    shell(path, "DROP INDEX raw_events_realtime; CREATE INDEX raw_events_is_realtime ON raw_events (is_realtime);");
    ASSERT_NE(shell(path, ".indexes raw_events").find("raw_events_is_realtime"), std::string::npos);

    auto database = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
    ASSERT_TRUE(database);
    const std::string indexes = shell(path, "SELECT name || ':' || sql FROM sqlite_master WHERE type = 'index'");
    EXPECT_EQ(indexes.find("raw_events_is_realtime"), std::string::npos) << indexes;
    EXPECT_NE(indexes.find("WHERE is_realtime = 1"), std::string::npos) << indexes;
    EXPECT_EQ(shell(path, "SELECT count(*), sum(is_realtime) FROM raw_events"), "2|1\n");
    EXPECT_EQ(database->containsRealtimeRawEvents(nullptr), true);
}
