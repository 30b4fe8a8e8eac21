// Audience filters and results in the analytics database, the lifetime-value
// read and the aggregates reads beside the snapshot.

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/storage/MSRDatabase.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

std::vector<uint8_t> eventFilterBytes(int32_t filterID, const std::string& name, bool dynamic, bool sequence,
                                      bool session) {
    MSRPBEventFilter filter;
    MSRPBSetInt32(filter, MSREventFilterSlot::kFilterID, filterID);
    MSRPBSetString(filter, MSREventFilterSlot::kEventName, name);
    MSRPBSetBool(filter, MSREventFilterSlot::kDynamic, dynamic);
    MSRPBSetBool(filter, MSREventFilterSlot::kSequence, sequence);
    MSRPBSetBool(filter, MSREventFilterSlot::kSessionScoped, session);
    return filter.protoBuffer().value();
}

MSREventFilter eventFilter(int32_t audience, int32_t id, const std::string& name, bool session = false) {
    return MSREventFilter(audience, id, name, eventFilterBytes(id, name, false, false, session), session, false, false);
}

MSRPropertyFilter propertyFilter(int32_t audience, int32_t id, const std::string& name, bool session = false) {
    MSRPBPropertyFilter filter;
    MSRPBSetInt32(filter, MSRPropertyFilterSlot::kFilterID, id);
    MSRPBSetString(filter, MSRPropertyFilterSlot::kPropertyName, name);
    MSRPBSetBool(filter, MSRPropertyFilterSlot::kSessionScoped, session);
    return MSRPropertyFilter(audience, id, name, filter.protoBuffer().value(), session, false, false);
}

}  // namespace

using DatabaseAudiencesTest = OpenDatabaseTest;

TEST_F(DatabaseAudiencesTest, FiltersAreStoredReplacedListedAndDeletedByTheirIDs) {
    // The flags come from the message; bytes that do not decode keep them off.
    MSREventFilter flagged(7, 1, "_vs", eventFilterBytes(1, "_vs", true, true, true), false, false, false);
    MSREventFilter corrupt(7, 2, "_vs", {0xff, 0xff, 0xff}, true, true, true);
    ASSERT_TRUE(database_->updateEventFilters({flagged, corrupt, eventFilter(9, 1, "level_up", true)}, nullptr));
    ASSERT_TRUE(database_->updatePropertyFilters({propertyFilter(7, 3, "_id", true), propertyFilter(11, 0, "tier")},
                                                 nullptr));
    auto read = database_->eventFiltersForEventName("_vs", nullptr);
    ASSERT_TRUE(read);
    ASSERT_EQ(read->size(), 2u);
    for (const MSREventFilter& filter : *read) {
        const bool flags = filter.filterID() == 1;
        EXPECT_EQ(filter.isDynamic(), flags);
        EXPECT_EQ(filter.isSequence(), flags);
        EXPECT_EQ(filter.isSessionScoped(), flags);
    }
    // The same (audience, filter) written again replaces the row.
    ASSERT_TRUE(database_->updateEventFilters({eventFilter(7, 2, "other")}, nullptr));
    EXPECT_EQ(database_->eventFiltersForEventName("_vs", nullptr)->size(), 1u);

    auto ids = database_->allAudienceIDs(nullptr);
    ASSERT_TRUE(ids);
    EXPECT_EQ(std::set<int32_t>(ids->begin(), ids->end()), (std::set<int32_t>{7, 9, 11}));
    EXPECT_EQ(ids->size(), 3u);

    // The session column follows the model: only (9, 1) and (7, 3) are scoped.
    auto scoped = database_->allSessionScopedFilters(nullptr);
    ASSERT_TRUE(scoped);
    EXPECT_EQ(*scoped, (std::map<int32_t, std::vector<int32_t>>{{7, {3}}, {9, {1}}}));

    ASSERT_TRUE(database_->deleteEventFilters({eventFilter(7, 1, "_vs"), eventFilter(9, 1, "level_up")}, nullptr));
    EXPECT_TRUE(database_->eventFiltersForEventName("_vs", nullptr)->empty());
    EXPECT_EQ(database_->eventFiltersForEventName("other", nullptr)->size(), 1u);
    EXPECT_TRUE(database_->containsEventFilters(nullptr).value());
    ASSERT_TRUE(database_->deleteAllEventFilters(nullptr));
    EXPECT_FALSE(database_->containsEventFilters(nullptr).value());
}

TEST_F(DatabaseAudiencesTest, RefusedFiltersAndResultsSayWhy) {
    struct Case {
        const char* name;
        std::function<bool(MSRError*)> write;
        int64_t code;
        const char* description;
    };
    const Case cases[] = {
        {"no event filters", [&](MSRError* e) { return database_->updateEventFilters({}, e); }, 1,
         "Received empty event filters to update"},
        {"third without a name",
         [&](MSRError* e) {
             return database_->updateEventFilters({eventFilter(1, 0, "a"), eventFilter(1, 1, "b"), eventFilter(1, 2, "")},
                                                  e);
         },
         3, "Received event filter with empty event name for getting dictionary representation"},
        {"property without data",
         [&](MSRError* e) { return database_->updatePropertyFilters({MSRPropertyFilter(1, 0, "p", {}, false, false, false)}, e); },
         3, "Received property filter with empty data for getting dictionary representation"},
        {"no results", [&](MSRError* e) { return database_->updateFilterResults({}, e); }, 1,
         "Received empty filter results to update"},
        {"result without data", [&](MSRError* e) { return database_->updateFilterResults({MSRFilterResult(1, {}, {})}, e); },
         3, "Received filter result with empty data for getting dictionary representation"},
        {"no results to delete", [&](MSRError* e) { return database_->deleteFilterResults({}, e); }, 1,
         "Received empty filter results to delete"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MSRError error;
        EXPECT_FALSE(c.write(&error));
        EXPECT_EQ(error.code(), c.code);
        EXPECT_EQ(error.localizedDescription(), c.description);
    }
    // The elements before the refused one stay written.
    EXPECT_EQ(database_->eventFiltersForEventName("a", nullptr)->size(), 1u);
    EXPECT_EQ(database_->eventFiltersForEventName("b", nullptr)->size(), 1u);
}

TEST_F(DatabaseAudiencesTest, ResultsKeepTheirBytesAndAFailedReadIsAFailure) {
    ASSERT_TRUE(database_->updateFilterResults({MSRFilterResult(4, {1, 2}, {}), MSRFilterResult(5, {3}, {4, 5})}, nullptr));
    EXPECT_EQ(shell(database_->databasePath(), "SELECT audience_id, previous_results IS NULL FROM audience_filter_values"),
              "4|1\n5|0\n");
    auto one = database_->filterResultForAudienceID(5, nullptr);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->currentResults(), (std::vector<uint8_t>{3}));
    EXPECT_EQ(one->previousResults(), (std::vector<uint8_t>{4, 5}));
    MSRError none;
    EXPECT_FALSE(database_->filterResultForAudienceID(6, &none));
    EXPECT_EQ(none.code(), 0);

    auto all = database_->allFilterResults(nullptr);
    ASSERT_TRUE(all);
    EXPECT_TRUE(all->at(4).previousResults().empty());

    // Two results of one audience delete its row once.
    ASSERT_TRUE(database_->deleteFilterResults({MSRFilterResult(4, {1}, {}), MSRFilterResult(4, {2}, {})}, nullptr));
    EXPECT_EQ(database_->allFilterResults(nullptr)->size(), 1u);

    // A read that fails is not "no results": callers must not take it for an
    // empty table and drop what is stored.
    ASSERT_TRUE(std::system(("sqlite3 '" + database_->databasePath() +
                             "' 'ALTER TABLE audience_filter_values RENAME TO moved'")
                                .c_str()) == 0);
    MSRError error;
    EXPECT_FALSE(database_->allFilterResults(&error));
    EXPECT_NE(error.code(), 0);
}

TEST_F(DatabaseAudiencesTest, LifetimeValuesAreTheExactPrefixNewestFirst) {
    auto set = [&](const std::string& name, double time) {
        auto attribute = MSRUserAttribute::initWithOrigin("auto", name, MSRValue(1.5), time);
        ASSERT_TRUE(attribute) << name;
        ASSERT_TRUE(database_->updateUserAttribute(attribute, nullptr));
    };
    set("_ltv_EUR", 10);
    set("_ltv_USD", 30);
    set("xltvy_q", 40);   // a LIKE pattern's wildcards would take these three
    set("_LTV_GBP", 50);
    set("_ltvXJPY", 60);
    set("level", 70);
    auto read = database_->allLifetimeValueUserAttributes(nullptr);
    ASSERT_TRUE(read);
    std::vector<std::string> names;
    for (const MSRUserAttribute& attribute : *read) names.push_back(attribute.name());
    EXPECT_EQ(names, (std::vector<std::string>{"_ltv_USD", "_ltv_EUR"}));
}

TEST_F(DatabaseAudiencesTest, AggregatesReadFromEitherTableAndEmpty) {
    for (const char* name : {"a", "b", "_f"}) {
        ASSERT_TRUE(database_->updateEventAggregates(*MSREventAggregates::initWithName(name, 3, 1, 2, 9), nullptr));
    }
    EXPECT_FALSE(database_->eventAggregatesSnapshotWithName("a", nullptr));  // no snapshot table yet
    ASSERT_TRUE(database_->createEventsSnapshotTable(nullptr));
    ASSERT_TRUE(database_->updateEventAggregates(*MSREventAggregates::initWithName("a", 4, 2, 3, 10), nullptr));
    EXPECT_EQ(database_->eventAggregatesSnapshotWithName("a", nullptr)->lifetimeCount(), 3);
    EXPECT_EQ(database_->eventAggregatesWithName("a", nullptr)->lifetimeCount(), 4);
    EXPECT_EQ(database_->allEventAggregates(nullptr)->size(), 3u);

    ASSERT_TRUE(database_->deleteAllEventAggregatesInSnapshot(nullptr));
    EXPECT_FALSE(database_->eventAggregatesSnapshotWithName("a", nullptr));
    ASSERT_TRUE(database_->deleteAllEventAggregates(nullptr));
    EXPECT_TRUE(database_->allEventAggregates(nullptr)->empty());
}

TEST_F(DatabaseAudiencesTest, RestoringTheSnapshotKeepsAFirstOpenCountedMeanwhile) {
    struct Case {
        const char* what;
        std::optional<int32_t> snapshotFirstOpens;  // the "_f" count when storage was denied; none: no row
        std::optional<int32_t> currentFirstOpens;   // counted while denied
        std::optional<int32_t> restored;            // "_f" afterwards
    };
    const Case cases[] = {
        {"no first open before, one meanwhile", std::nullopt, 1, 1},
        {"a zero count before, one meanwhile", 0, 1, 1},
        {"the snapshot's own count wins", 2, 5, 2},
        {"none meanwhile", 2, std::nullopt, 2},
        {"none at all", std::nullopt, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(database_->deleteAllEventAggregates(nullptr));
        ASSERT_TRUE(database_->updateEventAggregates(*MSREventAggregates::initWithName("a", 3, 1, 2, 9), nullptr));
        if (c.snapshotFirstOpens) {
            ASSERT_TRUE(database_->updateEventAggregates(
                *MSREventAggregates::initWithName("_f", *c.snapshotFirstOpens, 0, 0, 9), nullptr));
        }
        ASSERT_TRUE(database_->createEventsSnapshotTable(nullptr));
        ASSERT_TRUE(database_->deleteAllEventAggregates(nullptr));
        ASSERT_TRUE(database_->updateEventAggregates(*MSREventAggregates::initWithName("b", 1, 1, 1, 10), nullptr));
        if (c.currentFirstOpens) {
            ASSERT_TRUE(database_->updateEventAggregates(
                *MSREventAggregates::initWithName("_f", *c.currentFirstOpens, 1, 1, 10), nullptr));
        }

        ASSERT_TRUE(database_->restoreFromEventsSnapshotTable(nullptr));
        auto firstOpen = database_->eventAggregatesWithName("_f", nullptr);
        EXPECT_EQ(firstOpen ? std::optional<int32_t>(firstOpen->lifetimeCount()) : std::nullopt, c.restored);
        EXPECT_EQ(database_->eventAggregatesWithName("a", nullptr)->lifetimeCount(), 3);
        EXPECT_FALSE(database_->eventAggregatesWithName("b", nullptr));
        EXPECT_FALSE(database_->eventAggregatesSnapshotWithName("a", nullptr));  // emptied, kept
    }
}

TEST_F(DatabaseAudiencesTest, ASnapshotThatCannotBeMadeIsReported) {
    ASSERT_TRUE(database_->updateEventAggregates(*MSREventAggregates::initWithName("a", 3, 1, 2, 9), nullptr));
    // An index holds the snapshot's name, so no table of that name can be made.
    const std::string path = MSRSDKFilePath(MSRDatabase::kDatabaseName);
    ASSERT_EQ(shell(path, "CREATE INDEX events_snapshot ON events(name);"), "");
    MSRError error;
    EXPECT_FALSE(database_->createEventsSnapshotTable(&error));
    EXPECT_NE(error.code(), 0);
    EXPECT_TRUE(logged(12058));
    EXPECT_EQ(database_->eventAggregatesWithName("a", nullptr)->lifetimeCount(), 3);
}
