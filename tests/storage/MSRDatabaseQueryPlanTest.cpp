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
