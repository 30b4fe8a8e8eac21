// Raw-event rows and their parameters read back, the stored-event limit at its edges, the generic
// row operations and durability of committed rows through a killed process.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/storage/MSRDatabase.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

enum : uint32_t { kRowEventParams = 0, kMetadataAppID = 14 };
enum : uint32_t { kParamName = 0, kParamString = 1, kParamInt = 2 };

MSRPBEventParam param(const char* name) {
    MSRPBEventParam p;
    MSRPBSetString(p, kParamName, name);
    return p;
}

MSRSqliteRow rowWith(const std::vector<MSRPBEventParam>& params) {
    MSRPBEvent event;
    MSRPBSetMessageArray(event, kRowEventParams, params);
    return {{"rowid", int64_t{4}},
            {"data", *event.protoBuffer()},
            {"metadata_fingerprint", int64_t{-9}},
            {"name", std::string("level_up")},
            {"timestamp", 1.25}};
}

MSREvent rowEvent(const std::string& name, double timestamp) {
    return *MSREvent::initWithOrigin("app", false, name, timestamp, 0, {});
}

}  // namespace

class DatabaseRowsTest : public OpenDatabaseTest {
  protected:
    void SetUp() override {
        OpenDatabaseTest::SetUp();
        if (database_) database_->setRemoteConfig(settings_);
    }
    int64_t count() {
        int64_t rows = 0;
        database_->allDataTypesFromTable("raw_events", -1, nullptr, [&](const MSRSqliteRow&, MSRError*) {
            ++rows;
            return true;
        });
        return rows;
    }
    std::shared_ptr<MSRRemoteConfig> settings_ = std::make_shared<MSRRemoteConfig>();
};

TEST_F(DatabaseRowsTest, RowConversionNamesWhatIsWrong) {
    MSRPBEventParam origin = param("_o"), number = param("n"), badOrigin = param("_o");
    MSRPBSetString(origin, kParamString, "auto");
    MSRPBSetInt64(number, kParamInt, -5);
    // name "f" and only the float field (tag 4, 1.5f), which is never read.
    const std::vector<uint8_t> floatWire = {0x0a, 0x01, 'f', 0x25, 0x00, 0x00, 0xc0, 0x3f};
    MSRPBEventParam floatOnly = *MSRPBEventParam::initWithBuffer(floatWire);
    MSRPBSetInt64(badOrigin, kParamInt, 1);
    MSRSqliteRow noData = rowWith({origin});
    noData.erase("data");
    MSRSqliteRow undecodable = rowWith({origin});
    undecodable["data"] = MSRSqliteBlob{0xff};
    struct Case {
        MSRSqliteRow row;
        const char* error;
    } cases[] = {
        {noData, "Unable to find event data in the database dictionary"},
        {undecodable, "Failed to parse event from data"},
        {rowWith({number}), "Cannot create an event from database. Missing origin parameter"},
        {rowWith({origin, floatOnly}), "Failed to parse event params from data"},
        {rowWith({badOrigin}), "Cannot create an event from database. Origin parameter is not a string"},
        {rowWith({origin, number}), nullptr},
    };
    for (const Case& c : cases) {
        MSRError error;
        auto raw = database_->rawEventDataFromDictionary(&c.row, &error);
        if (!c.error) {
            ASSERT_TRUE(raw);
            EXPECT_EQ(raw->rawEvent().origin(), "auto");
            EXPECT_EQ(raw->rawEvent().timestamp(), 1.25);
            EXPECT_EQ(raw->rawEvent().parameters().at("n"), MSRValue(int64_t{-5}));
            EXPECT_EQ(raw->rowID(), 4);
            EXPECT_EQ(static_cast<int64_t>(raw->metadataFingerprint()), -9);
            continue;
        }
        EXPECT_FALSE(raw);
        EXPECT_EQ(error.localizedDescription(), c.error);
    }
}

// Which value field of a stored parameter wins, what a repeated name does and
// which parameters refuse the whole row.
TEST_F(DatabaseRowsTest, ParametersReadBackByTheFirstSetValueField) {
    const MSRValueList item = {{{"id", MSRValue("sku")}}};
    struct Case {
        const char* what;
        std::vector<StoredParam> params;
        std::optional<MSRValue> expected;  // of "p"; nothing: the row is refused
    };
    const Case cases[] = {
        {"text wins over a number", {{"p", "t", 3, 1.5, {}}}, MSRValue("t")},
        {"integer wins over a double", {{"p", {}, 3, 1.5, {}}}, MSRValue(int64_t{3})},
        {"double alone", {{"p", {}, {}, 1.5, {}}}, MSRValue(1.5)},
        {"a later scalar replaces an earlier one", {{"p", "a", {}, {}, {}}, {"p", {}, 9, {}, {}}},
         MSRValue(int64_t{9})},
        {"a later list replaces a scalar",
         {{"p", "a", {}, {}, {}}, {"p", {}, {}, {}, {{{}, {}, {}, {}, {{"id", "sku", {}, {}, {}}}}}}},
         MSRValue(item)},
        {"text that is not UTF-8", {{"p", std::string("\xff\xfe"), {}, {}, {}}}, std::nullopt},
        {"nameless parameter", {{std::nullopt, "t", {}, {}, {}}}, std::nullopt},
        {"no value at all", {{"p", {}, {}, {}, {}}}, std::nullopt},
    };
    for (const Case& c : cases) {
        std::vector<MSRPBEventParam> params = {wireParam({"_o", "app"})};
        for (const StoredParam& p : c.params) params.push_back(wireParam(p));
        const MSRSqliteRow stored = rowWith(params);
        MSRError error;
        std::optional<MSRRawEventData> read = database_->rawEventDataFromDictionary(&stored, &error);
        if (!c.expected) {
            EXPECT_FALSE(read) << c.what;
            EXPECT_EQ(error.localizedDescription(), "Failed to parse event params from data") << c.what;
            continue;
        }
        ASSERT_TRUE(read) << c.what;
        const MSRParameters& parameters = read->rawEvent().parameters();
        ASSERT_TRUE(parameters.contains("p")) << c.what;
        EXPECT_EQ(parameters.at("p"), *c.expected) << c.what;
        EXPECT_EQ(parameters.at("_o"), MSRValue("app")) << c.what;
    }
}

TEST_F(DatabaseRowsTest, StoredEventLimitAtItsEdges) {
    struct Case {
        const char* limit;
        int64_t kept;
    } cases[] = {{"0", 0}, {"1", 0}, {"3", 2}, {"10", 5}};
    for (const Case& c : cases) {
        ASSERT_TRUE(database_->reset(nullptr));
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(database_->insertRawEvent(rowEvent("e", i), 1, false, nullptr));
        settings_->setServerSettings({{"measurement.store.max_stored_events_per_app", std::string(c.limit)}});
        EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(nullptr), 5 - c.kept) << c.limit;
        EXPECT_EQ(count(), c.kept) << c.limit;
    }
}

TEST_F(DatabaseRowsTest, ReadsStopWhereTheFilterSaysAndEmptyTablesAnswerNothing) {
    MSRError error;
    EXPECT_FALSE(database_->nextMetadataFingerprintToProcess(&error));
    EXPECT_FALSE(database_->queryLatestRawEventTime(&error));
    EXPECT_EQ(error.code(), 0);
    MSRPBMeasurementBundle metadata;
    MSRPBSetString(metadata, kMetadataAppID, "app");
    ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(metadata, nullptr));
    const int64_t fingerprint = static_cast<int64_t>(msr_64LSBMD5(*metadata.protoBuffer()));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(database_->insertRawEvent(rowEvent("e", i), fingerprint, false, nullptr));
    auto run = database_->rawEventsWithMetadataFingerprint(fingerprint, nullptr, [](size_t taken, const MSRSqliteRow&) {
        return taken < 2;
    });
    ASSERT_TRUE(run);
    EXPECT_EQ(run->size(), 2u);
}

TEST_F(DatabaseRowsTest, GenericRowsKeepTheirLimitsAndTransactionsRollBack) {
    MSRError error;
    auto row = [](const char* name) { return MSRSqliteRecord{{"subscription_id", std::string(name)}}; };
    ASSERT_TRUE(database_->upsertDataType(row("a"), "subscriptions", "subscription_id", std::string("a"), 1, &error));
    EXPECT_TRUE(database_->upsertDataType(row("a"), "subscriptions", "subscription_id", std::string("a"), 1, &error));
    EXPECT_FALSE(database_->upsertDataType(row("b"), "subscriptions", "subscription_id", std::string("b"), 1, &error));
    EXPECT_EQ(error.localizedDescription(), "Failed to insert data type. Table is full");
    EXPECT_FALSE(database_->dataTypesFromTable("subscriptions", "subscription_id", std::string("a"), &error,
                                               [](const MSRSqliteRow&, MSRError*) { return false; }));
    EXPECT_EQ(error.localizedDescription(), "Failed to initialize data types from dictionaries");

    EXPECT_FALSE(database_->performTransaction([&] {
        return database_->insertRawEvent(rowEvent("e", 1), 1, false, nullptr) && false;
    }));
    EXPECT_TRUE(logged(12056));
    EXPECT_EQ(database_->isRawEventsTableEmpty(nullptr), true);
}

TEST_F(DatabaseRowsTest, CommittedEventsSurviveAKilledProcess) {
    database_.reset();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto database = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
        for (int i = 0; i < 200; ++i) {
            database->performTransaction([&] { return database->insertRawEvent(rowEvent("e", i), 1, false, nullptr); });
        }
        kill(getpid(), SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    database_ = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
    ASSERT_TRUE(database_);
    EXPECT_EQ(count(), 200);
    EXPECT_EQ(database_->queryLatestRawEventTime(nullptr), 199.0);
}
