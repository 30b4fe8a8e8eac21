// The questions the upload schedule asks after every stored event must not
// read the whole raw-event table, or storing slows down with every stored row.

#include <sqlite3.h>

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
    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open_v2(MSRSDKFilePath(MSRDatabase::kDatabaseName).c_str(), &reader,
                              SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    for (const char* query : {"SELECT MAX(timestamp) FROM raw_events",
                              "SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)"}) {
        SCOPED_TRACE(query);
        sqlite3_stmt* plan = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(reader, (std::string("EXPLAIN QUERY PLAN ") + query).c_str(), -1, &plan,
                                     nullptr),
                  SQLITE_OK);
        std::string details;
        while (sqlite3_step(plan) == SQLITE_ROW) {
            details += reinterpret_cast<const char*>(sqlite3_column_text(plan, 3));
            details += "; ";
        }
        sqlite3_finalize(plan);
        EXPECT_EQ(details.find("SCAN raw_events"), std::string::npos) << details;
        EXPECT_NE(details.find("INDEX"), std::string::npos) << details;
    }
    sqlite3_close(reader);
}

}  // namespace
