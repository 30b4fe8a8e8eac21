// The compact read of a run of raw events takes, refuses and deletes exactly
// the rows that the read through row dictionaries does, and each row it
// takes stands for the same event.

#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/storage/MSRDatabase.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

struct StoredRow {
    std::string name;
    double timestamp;
    std::optional<std::vector<uint8_t>> data = std::nullopt;  // nothing: the engine's own bytes
    MSRObjectDictionary parameters = {};
};

class RawEventRowReadTest : public StorageTest {
  protected:
    std::unique_ptr<MSRDatabase> open(const std::string& name, const std::vector<StoredRow>& rows) {
        std::unique_ptr<MSRDatabase> database = MSRDatabase::initWithDatabaseName(name, nullptr, nullptr);
        EXPECT_TRUE(database);
        if (!database) return nullptr;
        MSRPBMeasurementBundle metadata;
        MSRPBSetString(metadata, 14, "app");  // the app ID
        EXPECT_TRUE(database->insertIfNotExistsRawEventMetadata(metadata, nullptr, &fingerprint_));
        for (const StoredRow& row : rows) {
            if (!row.data) {
                std::optional<MSREvent> event =
                    MSREvent::initWithOrigin("app", false, row.name, row.timestamp, 0, row.parameters);
                EXPECT_TRUE(database->insertRawEvent(event, fingerprint_, false, nullptr));
                continue;
            }
            MSRSqliteRecord record = {{"name", row.name},
                                      {"timestamp", row.timestamp},
                                      {"metadata_fingerprint", fingerprint_},
                                      {"data", *row.data},
                                      {"is_realtime", int64_t{0}}};
            EXPECT_TRUE(database->insertDataType(record, "raw_events", nullptr));
        }
        return database;
    }

    // The row ids in the table, read past the database's own reading.
    static std::string storedRowIDs(MSRDatabase& database) {
        return shell(database.databasePath(), "SELECT group_concat(rowid) FROM raw_events");
    }

    int64_t fingerprint_ = 0;
};

TEST_F(RawEventRowReadTest, TakesRefusesAndDeletesTheSameRowsAsTheDictionaryRead) {
    const std::vector<uint8_t> garbage = {0xFF, 0x01};
    struct Case {
        const char* title;
        std::vector<StoredRow> rows;
        size_t limit;  // rows the filter takes
    };
    const Case cases[] = {
        {"plain rows", {{"a", 10, {}, {{"x", foundation::Value(1)}}}, {"b", 11, {}}, {"c", 12, {}}}, 2},
        {"rows in other forms",
         {{"a", 10, {}, {{"items", foundation::Value(foundation::Value::List{foundation::Value(
                                        foundation::Value::Dictionary{{"id", foundation::Value("s")}})})}}},
          {"b", 11, storedEventBytes({{"_o", "app"}, {"z", "1"}, {"a", {}, 2}})},
          {"_c", 12, storedEventBytes({{"_o", "auto"}, {"bad-name", "x"}})}},
         5},
        {"unreadable rows are deleted, also between taken ones",
         {{"a", 10, {}},
          {"b", 11, storedEventBytes({{"x", "1"}})},
          {"c", 12, storedEventBytes({{"_o", {}, 3}})},
          {"d", 13, garbage},
          {"bad name", 14, storedEventBytes({{"_o", "app"}})},
          {"e", 15, storedEventBytes({{"_o", ""}})},
          {"f", 16, {}}},
         5},
        {"rows after the refusal stay, readable or not",
         {{"a", 10, {}}, {"b", 11, {}}, {"c", 12, garbage}, {"d", 13, {}}},
         1},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        const std::string suffix = std::to_string(round++);
        std::unique_ptr<MSRDatabase> byRows = open("rows" + suffix + ".sql", c.rows);
        std::unique_ptr<MSRDatabase> byDictionaries = open("dictionaries" + suffix + ".sql", c.rows);
        ASSERT_TRUE(byRows && byDictionaries);

        std::vector<int64_t> seenRowIDs, seenDictionaryRowIDs;
        auto rows = byRows->rawEventRowsWithMetadataFingerprint(
            fingerprint_, nullptr, [&](size_t index, int64_t rowID, std::optional<double>, size_t) {
                seenRowIDs.push_back(rowID);
                return index < c.limit;
            });
        auto events = byDictionaries->rawEventsWithMetadataFingerprint(
            fingerprint_, nullptr, [&](size_t index, const MSRSqliteRow& row) {
                seenDictionaryRowIDs.push_back(MSRSqliteInt64(*MSRSqliteColumn(row, "rowid")));
                return index < c.limit;
            });
        ASSERT_TRUE(rows && events);
        EXPECT_EQ(seenRowIDs, seenDictionaryRowIDs) << "the filter is asked about the same rows";
        ASSERT_EQ(rows->size(), events->size());
        for (size_t i = 0; i < rows->size(); ++i) {
            const MSRRawEventRow& row = (*rows)[i];
            std::optional<MSRRawEventData> data = byRows->rawEventDataFromRow(row, fingerprint_, nullptr);
            ASSERT_TRUE(data);
            const MSREvent& expected = (*events)[i].rawEvent();
            EXPECT_EQ(row.rowID, (*events)[i].rowID());
            EXPECT_EQ(row.name, expected.name());
            EXPECT_EQ(data->rowID(), (*events)[i].rowID());
            EXPECT_EQ(data->rawEvent().protoEvent().protoBuffer(), expected.protoEvent().protoBuffer()) << row.name;
        }
        // What is left behind: the same rows in both.
        EXPECT_EQ(storedRowIDs(*byRows), storedRowIDs(*byDictionaries));
    }
}

// A bundled run is deleted up to its last row; a run that reaches the newest
// row empties the table, and the count behind the stored-event limit follows
// either way.
TEST_F(RawEventRowReadTest, DeletingARunKeepsTheRowsAfterItAndTheStoredEventCount) {
    struct Case {
        int64_t upTo;  // row id
        std::string left;
        int64_t leftCount;
    };
    const Case cases[] = {{0, "1,2,3,4,5\n", 5}, {2, "3,4,5\n", 3}, {5, "\n", 0}};
    auto settings = std::make_shared<MSRRemoteConfig>();
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.upTo);
        std::unique_ptr<MSRDatabase> database = open("delete" + std::to_string(round++) + ".sql",
                                                     {{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}, {"e", 5}});
        ASSERT_TRUE(database);
        database->setRemoteConfig(settings);
        settings->setServerSettings({{"measurement.store.max_stored_events_per_app", std::string("100")}});
        ASSERT_TRUE(database->deleteRawEventsOverAbsoluteLimit(nullptr));  // counts the table
        ASSERT_TRUE(database->performTransaction([&] { return database->deleteRawEventsWithMaxRowID(c.upTo, nullptr); }));
        EXPECT_EQ(storedRowIDs(*database), c.left);
        // Two events more; with room for 3, one more event keeps the newest
        // 2 before it: those two.
        for (const char* name : {"f", "g"}) {
            ASSERT_TRUE(database->insertRawEvent(MSREvent::initWithOrigin("app", false, name, 6, 0, {}), fingerprint_,
                                                 false, nullptr));
        }
        settings->setServerSettings({{"measurement.store.max_stored_events_per_app", std::string("3")}});
        EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(nullptr), c.leftCount);
        EXPECT_EQ(shell(database->databasePath(), "SELECT count(*) FROM raw_events"), "2\n");
    }
}

}  // namespace
