// Audiences evaluated over streams of events and properties, bundle by
// bundle, against a real database: what each bundle carries, what survives a
// reopening, and how sessions and new configurations change the state.

#include "analytics/audience/MSRAudienceEvaluator.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "tests/audience/AudienceBuilders.h"
#include "tests/storage/StorageTestSupport.h"

using namespace audience_test;

namespace {

// One audience's leaf result as a bundle carries it.
struct Leaf {
    std::vector<uint64_t> status, results;
    std::map<int32_t, int64_t> dynamic;
    std::map<int32_t, std::vector<int64_t>> sequence;
    bool hasPrevious = false;
    std::vector<uint64_t> previousResults;
    bool newAudience = false;
};

std::vector<uint64_t> words(const MSRPBResultData& data, uint32_t slot) {
    std::vector<uint64_t> out;
    for (const MSRPBValue& value : MSRPBGetArray(data, slot)) out.push_back(std::get<uint64_t>(value));
    return out;
}

Leaf leafOf(const MSRPBAudienceLeafFilterResult& message) {
    namespace L = MSRAudienceLeafFilterResultSlot;
    namespace R = MSRResultDataSlot;
    Leaf leaf;
    MSRPBResultData current = *MSRPBGetMessage<MSRPBResultData>(message, L::kCurrentData);
    leaf.status = words(current, R::kStatus);
    leaf.results = words(current, R::kResults);
    for (const auto& entry : MSRPBGetMessageArray<MSRPBDynamicFilterResultTimestamp>(current, R::kDynamicTimestamps))
        leaf.dynamic[MSRPBGetInt32(entry, 0)] = MSRPBGetInt64(entry, 1);
    for (const auto& entry : MSRPBGetMessageArray<MSRPBSequenceFilterResultTimestamp>(current, R::kSequenceTimestamps)) {
        for (const MSRPBValue& time : MSRPBGetArray(entry, 1))
            leaf.sequence[MSRPBGetInt32(entry, 0)].push_back(std::get<int64_t>(time));
    }
    if (auto previous = MSRPBGetMessage<MSRPBResultData>(message, L::kPreviousData)) {
        leaf.hasPrevious = true;
        leaf.previousResults = words(*previous, R::kResults);
    }
    leaf.newAudience = MSRPBGetBool(message, L::kNewAudience);
    return leaf;
}

MSRUserAttribute property(const std::string& name, MSRValue value) {
    return *MSRUserAttribute::initWithOrigin("app", name, std::move(value), 10);
}

}  // namespace

class AudienceEvaluatorTest : public OpenDatabaseTest {
  protected:
    void SetUp() override {
        OpenDatabaseTest::SetUp();
        shared_ = std::shared_ptr<MSRDatabase>(database_.get(), [](MSRDatabase*) {});
        evaluator_ = std::make_unique<MSRAudienceEvaluator>(shared_, config_);
    }
    void TearDown() override {
        evaluator_.reset();
        shared_.reset();
        OpenDatabaseTest::TearDown();
    }
    // As a new process on the same file.
    void reopen() {
        evaluator_.reset();
        shared_.reset();
        database_.reset();
        database_ = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
        ASSERT_TRUE(database_);
        shared_ = std::shared_ptr<MSRDatabase>(database_.get(), [](MSRDatabase*) {});
        evaluator_ = std::make_unique<MSRAudienceEvaluator>(shared_, config_);
    }

    // Counts the event as bundling does, then evaluates it.
    void event(const std::string& name, double time, MSRParameters parameters = {}) {
        int32_t& count = counts_[name];
        ++count;
        auto aggregates = MSREventAggregates::initWithName(name, count, 1, count, time);
        ASSERT_TRUE(evaluator_->evaluateFiltersForEventName(name, parameters, *aggregates, time, cache_.get()));
    }
    // The bundle's properties at its start time, then its results.
    std::map<int32_t, Leaf> bundle(const std::vector<MSRUserAttribute>& properties, double start) {
        for (const MSRUserAttribute& attribute : properties)
            EXPECT_TRUE(evaluator_->evaluateFiltersForUserProperty(attribute, cache_.get(), start));
        auto results = evaluator_->resultsForBundling(cache_.get(), nullptr);
        cache_ = std::make_unique<MSRAudienceTimestampsCache>();
        std::map<int32_t, Leaf> leaves;
        if (!results) {
            ADD_FAILURE() << "no results";
            return leaves;
        }
        for (const auto& message : *results) leaves[MSRPBGetInt32(message, 0)] = leafOf(message);
        return leaves;
    }

    std::shared_ptr<MSRRemoteConfig> config_ = std::make_shared<MSRRemoteConfig>();
    std::shared_ptr<MSRDatabase> shared_;
    std::unique_ptr<MSRAudienceEvaluator> evaluator_;
    std::unique_ptr<MSRAudienceTimestampsCache> cache_ = std::make_unique<MSRAudienceTimestampsCache>();
    std::map<std::string, int32_t> counts_;
};

TEST_F(AudienceEvaluatorTest, BundlesCarryWhatEachFilterDidOverTime) {
    const MSRPBFilter gold = valueFilter(stringFilter(5, "gold"));
    const MSRPBFilter aboveFive = valueFilter(std::nullopt, numberFilter(2, "5"));
    ASSERT_TRUE(evaluator_->updateAudiences({
        // Bought more than once; tier gold.
        audience(10, {eventFilter(0, "purchase", {}, numberFilter(2, "1"))}, {propertyFilter(1, "tier", gold)}),
        // Level above five while it lasts; opened, then bought, as a sequence.
        audience(20, {eventFilter(1, "open", {}, std::nullopt, {.sequence = true}),
                      eventFilter(2, "buy", {}, std::nullopt, {.sequence = true})},
                 {propertyFilter(0, "level", aboveFive, {.dynamic = true})}),
        // A bonus in this session.
        audience(30, {eventFilter(0, "bonus", {}, std::nullopt, {.session = true})}),
        // Searches for shoes (a server-sent expression).
        audience(40, {eventFilter(0, "search", {valueFilter(stringFilter(1, "^shoe"), std::nullopt, "term")})}),
    }));
    EXPECT_TRUE(evaluator_->hasEventFilters());

    event("purchase", 1000.9);  // one purchase: the count filter is evaluated false
    event("open", 1001.5);
    event("purchase", 1002);
    event("bonus", 1003);
    event("buy", 1004);
    event("search", 1005, {{"term", MSRValue("Shoelaces")}});
    event("unrelated", 1006);
    auto first = bundle({property("tier", MSRValue("silver")), property("level", MSRValue(int64_t{7}))}, 1000.9);
    ASSERT_EQ(first.size(), 4u);
    EXPECT_EQ(first[10].status, (std::vector<uint64_t>{0b11}));
    EXPECT_EQ(first[10].results, (std::vector<uint64_t>{0b01}));
    EXPECT_TRUE(first[10].dynamic.empty());
    EXPECT_TRUE(first[10].newAudience);
    EXPECT_FALSE(first[10].hasPrevious);
    EXPECT_EQ(first[20].results, (std::vector<uint64_t>{0b111}));
    EXPECT_EQ(first[20].dynamic, (std::map<int32_t, int64_t>{{0, 1000}}));
    EXPECT_EQ(first[20].sequence, (std::map<int32_t, std::vector<int64_t>>{{1, {1001}}, {2, {1004}}}));
    EXPECT_EQ(first[30].dynamic, (std::map<int32_t, int64_t>{{0, 1003}}));
    EXPECT_EQ(first[40].results, (std::vector<uint64_t>{1}));

    // The stored state is the database's, not the process's.
    reopen();
    event("purchase", 2000);  // held once: not evaluated again
    event("open", 2001);
    event("search", 2002, {{"term", MSRValue("hat")}});  // held once: stays true
    auto second = bundle({property("tier", MSRValue("gold")), property("level", MSRValue(int64_t{3}))}, 2000);
    ASSERT_EQ(second.size(), 4u);
    EXPECT_EQ(second[10].results, (std::vector<uint64_t>{0b11}));
    EXPECT_TRUE(second[10].hasPrevious);
    EXPECT_EQ(second[10].previousResults, (std::vector<uint64_t>{0b01}));
    EXPECT_FALSE(second[10].newAudience);
    // The dynamic level filter follows the property; its time stays the last
    // time it held.
    EXPECT_EQ(second[20].results, (std::vector<uint64_t>{0b110}));
    EXPECT_EQ(second[20].dynamic, (std::map<int32_t, int64_t>{{0, 1000}}));
    EXPECT_EQ(second[20].sequence, (std::map<int32_t, std::vector<int64_t>>{{1, {1001, 2001}}, {2, {1004}}}));
    // Unchanged audiences go again, without previous data or the new flag.
    EXPECT_FALSE(second[30].hasPrevious);
    EXPECT_FALSE(second[30].newAudience);
    EXPECT_EQ(second[40].results, (std::vector<uint64_t>{1}));
    EXPECT_FALSE(second[40].hasPrevious);

    // A new session clears the session-scoped bonus: audience 30 has no
    // evaluated filter left and goes into no further bundle.
    ASSERT_TRUE(evaluator_->clearSessionScopedResults());
    auto third = bundle({}, 3000);
    EXPECT_EQ(third.count(30), 0u);
    EXPECT_EQ(third.size(), 3u);
    // An unchanged sequence is sent again only by its last time.
    EXPECT_EQ(third[20].sequence, (std::map<int32_t, std::vector<int64_t>>{{1, {2001}}, {2, {1004}}}));
}

// Session-scoped filters hold through the session once they held, a dynamic
// property filter too, and the time each carries is the last time it held,
// not the last time it was looked at.
TEST_F(AudienceEvaluatorTest, SessionScopedFiltersKeepWhatHeldAndWhenItLastHeld) {
    ASSERT_TRUE(evaluator_->updateAudiences({
        audience(50, {},
                 {propertyFilter(0, "plan", valueFilter(stringFilter(5, "pro")),
                                 {.dynamic = true, .session = true})}),
        audience(60, {eventFilter(0, "bonus", {valueFilter(stringFilter(5, "gold"), std::nullopt, "kind")},
                                  std::nullopt, {.session = true})}),
    }));
    struct Step {
        const char* plan;
        const char* kind;
        double time;
        int64_t heldAt;  // the time both carry
    };
    const Step steps[] = {
        {"pro", "gold", 1000, 1000},
        {"free", "silver", 2000, 1000},  // no longer true, still held in this session
        {"pro", "gold", 3000, 3000},
        {"free", "silver", 4000, 3000},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.time);
        event("bonus", step.time, {{"kind", MSRValue(step.kind)}});
        auto leaves = bundle({property("plan", MSRValue(step.plan))}, step.time);
        for (int32_t id : {50, 60}) {
            EXPECT_EQ(leaves[id].results, (std::vector<uint64_t>{1})) << id;
            EXPECT_EQ(leaves[id].dynamic, (std::map<int32_t, int64_t>{{0, step.heldAt}})) << id;
        }
    }
    // The next session starts over.
    ASSERT_TRUE(evaluator_->clearSessionScopedResults());
    event("bonus", 5000, {{"kind", MSRValue("silver")}});
    auto next = bundle({property("plan", MSRValue("free"))}, 5000);
    for (int32_t id : {50, 60}) {
        EXPECT_EQ(next[id].results, (std::vector<uint64_t>{0})) << id;
        EXPECT_TRUE(next[id].dynamic.empty()) << id;
    }
}

TEST_F(AudienceEvaluatorTest, ABundleGivenUpStoresNothing) {
    ASSERT_TRUE(evaluator_->updateAudiences({audience(1, {eventFilter(0, "open")})}));
    event("open", 100);
    cache_.reset();  // the bundle failed before its results were asked for
    EXPECT_TRUE(database_->allFilterResults(nullptr)->empty());
    // Without a cache each call stores at once.
    auto aggregates = MSREventAggregates::initWithName("open", 1, 1, 1, 100);
    ASSERT_TRUE(evaluator_->evaluateFiltersForEventName("open", {}, *aggregates, 100, nullptr));
    EXPECT_EQ(database_->allFilterResults(nullptr)->size(), 1u);
}

TEST_F(AudienceEvaluatorTest, NewConfigurationsReplaceDefinitionsWithInternalNames) {
    const MSRPBFilter any = valueFilter(stringFilter(4, "a"), std::nullopt, "engagement_time_msec");
    ASSERT_TRUE(evaluator_->updateAudiences({
        audience(1, {eventFilter(0, "screen_view", {any})}, {propertyFilter(1, "user_id", valueFilter(stringFilter(4, "a")))}),
        audience(1, {eventFilter(0, "duplicate")}),  // the second audience 1 is skipped
        audience(2, {eventFilter(0, "")}),           // invalid
    }));
    auto screens = database_->eventFiltersForEventName("_vs", nullptr);
    ASSERT_TRUE(screens);
    ASSERT_EQ(screens->size(), 1u);
    auto stored = MSRPBEventFilter::initWithBuffer(screens->front().data());
    ASSERT_TRUE(stored);
    auto parameters = MSRPBGetMessageArray<MSRPBFilter>(*stored, MSREventFilterSlot::kParameterFilters);
    ASSERT_EQ(parameters.size(), 1u);
    EXPECT_EQ(MSRPBGetString(parameters[0], MSRFilterSlot::kParameterName), "_et");
    EXPECT_EQ(database_->propertyFiltersForPropertyName("_id", nullptr)->size(), 1u);
    EXPECT_TRUE(database_->eventFiltersForEventName("duplicate", nullptr)->empty());
    EXPECT_EQ(database_->allAudienceIDs(nullptr)->size(), 1u);

    // Too many audiences change nothing.
    std::vector<MSRPBAudience> many;
    for (int32_t id = 0; id <= config_->maxAudienceCount(); ++id) many.push_back(audience(id, {eventFilter(0, "e")}));
    ASSERT_TRUE(evaluator_->updateAudiences(many));
    EXPECT_EQ(database_->eventFiltersForEventName("_vs", nullptr)->size(), 1u);

    // None at all: every filter goes, the results stay until found stale.
    event("_vs", 5, {{"_et", MSRValue("abc")}});
    bundle({}, 5);
    ASSERT_TRUE(evaluator_->updateAudiences({}));
    EXPECT_FALSE(evaluator_->hasEventFilters());
    EXPECT_EQ(database_->allFilterResults(nullptr)->size(), 1u);
}

TEST_F(AudienceEvaluatorTest, OneFiltersOutcomeInItsWord) {
    MSRAudienceTimestampsCache cache;
    struct Case {
        const char* name;
        int32_t filterID;
        bool outcome;
        std::vector<uint64_t> status, results;
    };
    // Start: filter 1 evaluated true, in one word.
    const MSRFilterResult start = MSRAudienceEvaluator::updatedFilterResult(1, 5, nullptr, true, cache);
    const Case cases[] = {
        {"filter 64 grows a second word", 64, true, {0b10, 1}, {0b10, 1}},
        {"filter 0 false", 0, false, {0b11}, {0b10}},
        {"filter 1 turns false", 1, false, {0b10}, {0b00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MSRFilterResult updated = MSRAudienceEvaluator::updatedFilterResult(c.filterID, 5, &start, c.outcome, cache);
        auto data = MSRPBResultData::initWithBuffer(updated.currentResults());
        ASSERT_TRUE(data);
        EXPECT_EQ(words(*data, MSRResultDataSlot::kStatus), c.status);
        EXPECT_EQ(words(*data, MSRResultDataSlot::kResults), c.results);
        EXPECT_EQ(MSRAudienceEvaluator::isFilterResultTrueForFilterID(&updated, c.filterID), c.outcome);
    }
    EXPECT_FALSE(MSRAudienceEvaluator::isFilterResultTrueForFilterID(nullptr, 1));
    EXPECT_FALSE(MSRAudienceEvaluator::isFilterResultTrueForFilterID(&start, 130));
}

TEST_F(AudienceEvaluatorTest, AFailedReadOfResultsIsAFailureAndKeepsThem) {
    ASSERT_TRUE(evaluator_->updateAudiences({audience(1, {eventFilter(0, "open", {}, std::nullopt, {.session = true})})}));
    auto aggregates = MSREventAggregates::initWithName("open", 1, 1, 1, 100);
    ASSERT_TRUE(evaluator_->evaluateFiltersForEventName("open", {}, *aggregates, 100, nullptr));
    const std::string path = database_->databasePath();
    ASSERT_EQ(shell(path, "ALTER TABLE audience_filter_values RENAME TO set_aside"), "");
    // Neither bundling nor a new session may take the failed read for "no
    // results": the bundle is given up, nothing is cleared.
    MSRError error;
    EXPECT_FALSE(evaluator_->resultsForBundling(nullptr, &error));
    EXPECT_NE(error.code(), 0);
    EXPECT_FALSE(evaluator_->clearSessionScopedResults());
    ASSERT_EQ(shell(path, "ALTER TABLE set_aside RENAME TO audience_filter_values"), "");
    auto kept = database_->allFilterResults(nullptr);
    ASSERT_TRUE(kept);
    ASSERT_EQ(kept->size(), 1u);
    EXPECT_TRUE(MSRAudienceEvaluator::isFilterResultTrueForFilterID(&kept->at(1), 0));
}

// Results of audiences that left the configuration go once there are more
// than the configuration allows, but only when neither the previous nor the
// new configuration has the audience.
TEST_F(AudienceEvaluatorTest, StaleResultsGoOnceTheyAreTooMany) {
    config_->setServerSettings({{"measurement.audience.filter_result_max_count", int64_t{2}}});
    auto audiences = [](std::vector<int32_t> ids) {
        std::vector<MSRPBAudience> made;
        for (int32_t id : ids) made.push_back(audience(id, {eventFilter(0, "open")}));
        return made;
    };
    auto resultIDs = [&] {
        std::vector<int32_t> ids;
        const auto results = database_->allFilterResults(nullptr);
        if (results)
            for (const auto& [id, result] : *results) ids.push_back(id);
        return ids;
    };
    ASSERT_TRUE(evaluator_->updateAudiences(audiences({1, 2, 3})));
    auto aggregates = MSREventAggregates::initWithName("open", 1, 1, 1, 100);
    ASSERT_TRUE(evaluator_->evaluateFiltersForEventName("open", {}, *aggregates, 100, nullptr));
    EXPECT_FALSE(logged(6016));

    struct Step {
        const char* what;
        std::vector<int32_t> configured;
        std::vector<int32_t> kept;
    };
    const Step steps[] = {
        {"the previous configuration still has them", {4}, {1, 2, 3}},
        {"the new configuration has 3 again", {3}, {3}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        logger_->clear();
        ASSERT_TRUE(evaluator_->updateAudiences(audiences(step.configured)));
        EXPECT_TRUE(logged(6016));
        EXPECT_EQ(resultIDs(), step.kept);
    }
}

// When the stale results cannot be told or deleted, the new configuration is
// not stored: the old definitions and every result stay.
TEST_F(AudienceEvaluatorTest, StaleResultsThatCannotBeDeletedKeepTheOldConfiguration) {
    config_->setServerSettings({{"measurement.audience.filter_result_max_count", int64_t{1}}});
    ASSERT_TRUE(evaluator_->updateAudiences({audience(1, {eventFilter(0, "open")}), audience(2, {eventFilter(0, "open")})}));
    auto aggregates = MSREventAggregates::initWithName("open", 1, 1, 1, 100);
    ASSERT_TRUE(evaluator_->evaluateFiltersForEventName("open", {}, *aggregates, 100, nullptr));
    ASSERT_TRUE(evaluator_->updateAudiences({audience(3, {eventFilter(0, "open")})}));  // results 1, 2 kept
    const std::string path = database_->databasePath();
    struct Case {
        const char* what;
        const char* breaking;
        const char* mending;
        int64_t code;
    };
    const Case cases[] = {
        {"the stored audiences cannot be read", "ALTER TABLE property_filters RENAME TO set_aside",
         "ALTER TABLE set_aside RENAME TO property_filters", 6017},
        {"the results cannot be deleted",
         "CREATE TRIGGER refuse BEFORE DELETE ON audience_filter_values BEGIN SELECT RAISE(ABORT, 'refused'); END",
         "DROP TRIGGER refuse", 6018},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(shell(path, c.breaking), "");
        EXPECT_FALSE(evaluator_->updateAudiences({audience(4, {eventFilter(0, "close")})}));
        EXPECT_TRUE(logged(c.code));
        ASSERT_EQ(shell(path, c.mending), "");
        EXPECT_EQ(database_->allFilterResults(nullptr)->size(), 2u);
        EXPECT_EQ(database_->eventFiltersForEventName("open", nullptr)->size(), 1u);
        EXPECT_TRUE(database_->eventFiltersForEventName("close", nullptr)->empty());
    }
}

TEST_F(AudienceEvaluatorTest, UnreadableStoredFiltersAndPropertiesAreSkipped) {
    // A stored filter whose bytes do not decode is passed over; the next one
    // of the same event is still evaluated.
    MSRPBEventFilter good = eventFilter(0, "open");
    ASSERT_TRUE(database_->updateEventFilters(
        {MSREventFilter(1, 0, "open", {0xff, 0xff, 0xff}, false, false, false),
         MSREventFilter(2, 0, "open", good.protoBuffer().value(), false, false, false)},
        nullptr));
    auto aggregates = MSREventAggregates::initWithName("open", 1, 1, 1, 100);
    EXPECT_TRUE(evaluator_->evaluateFiltersForEventName("open", {}, *aggregates, 100, nullptr));
    EXPECT_TRUE(logged(6035));
    auto results = database_->allFilterResults(nullptr);
    ASSERT_TRUE(results);
    EXPECT_FALSE(results->count(1));
    ASSERT_TRUE(results->count(2));
    EXPECT_TRUE(MSRAudienceEvaluator::isFilterResultTrueForFilterID(&results->at(2), 0));

    // A bundle's user property without a value it can read.
    namespace Slot = MSRUserAttributeSlot;
    MSRPBUserAttribute valueless;
    MSRPBSetString(valueless, Slot::kName, "level");
    MSRPBSetInt64(valueless, Slot::kSetTimestamp, 5000);
    EXPECT_FALSE(evaluator_->evaluateFiltersForNanoUserProperty(valueless, nullptr, std::nullopt));
    MSRPBUserAttribute counted = valueless;
    MSRPBSetInt64(counted, Slot::kIntValue, 3);
    EXPECT_TRUE(evaluator_->evaluateFiltersForNanoUserProperty(counted, nullptr, std::nullopt));
}

namespace {

// `count` audiences from id 10 on, each with `filters` filters made by `make`
// from the filter ID.
template <typename Make>
std::vector<MSRPBAudience> audiencesOf(int32_t count, int32_t filters, Make make) {
    std::vector<MSRPBAudience> all;
    for (int32_t id = 10; id < 10 + count; ++id) {
        std::vector<MSRPBEventFilter> events;
        std::vector<MSRPBPropertyFilter> properties;
        for (int32_t filter = 0; filter < filters; ++filter) make(filter, events, properties);
        all.push_back(audience(id, std::move(events), std::move(properties)));
    }
    return all;
}

}  // namespace

// What matching may cost for one event is bounded per configuration: a cheap
// pattern within its budget, matched by every parameter filter of every
// audience, has the whole configuration refused (6044) and the stored one
// kept; the largest configurations of plain filters the default limits allow,
// and ordinary patterns, are taken.
TEST_F(AudienceEvaluatorTest, ConfigurationsPastTheMatchingWorkBoundAreRefused) {
    // 9,005 program instructions, about 5 ms on a text of 500 characters.
    const MSRPBFilter cheap = valueFilter(stringFilter(1, "(?:.?){1000}X"), std::nullopt, "_o", true);
    const MSRPBFilter plain = valueFilter(stringFilter(4, "gold"), std::nullopt, "tier", true);
    const MSRPBFilter number = valueFilter(std::nullopt, numberFilter(2, "5"), "level");
    const MSRPBFilter ordinary = valueFilter(stringFilter(1, "^calc.*controller$"), std::nullopt, "screen");
    const Flags dynamic{.dynamic = true};
    struct Case {
        const char* name;
        std::vector<MSRPBAudience> audiences;
        bool refused;
        const char* storedEvent;  // an event name the configuration's filters concern
    };
    const Case cases[] = {
        {"the cheap pattern in 25 parameter filters of 10 filters of 100 audiences",
         audiencesOf(100, 10,
                     [&](int32_t id, auto& events, auto&) {
                         events.push_back(eventFilter(id, "e", std::vector<MSRPBFilter>(25, cheap), std::nullopt, dynamic));
                     }),
         true, "e"},
        {"the cheap pattern in the property filters of 100 audiences",
         audiencesOf(100, 10,
                     [&](int32_t id, auto&, auto& properties) {
                         properties.push_back(propertyFilter(id, "level", cheap, dynamic));
                     }),
         true, nullptr},
        {"plain filters to the default limits, all on one event",
         audiencesOf(100, 10,
                     [&](int32_t id, auto& events, auto&) {
                         std::vector<MSRPBFilter> parameters(12, plain);
                         parameters.insert(parameters.end(), 13, number);
                         events.push_back(eventFilter(id, "e", parameters, numberFilter(2, "1"), dynamic));
                     }),
         false, "e"},
        {"ordinary patterns in each audience's filters on one event and property",
         audiencesOf(100, 10,
                     [&](int32_t id, auto& events, auto& properties) {
                         if (id % 2)
                             events.push_back(eventFilter(id, "e", {ordinary, plain, number}, std::nullopt, dynamic));
                         else
                             properties.push_back(propertyFilter(id, "screen", ordinary, dynamic));
                     }),
         false, "e"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(evaluator_->updateAudiences({audience(1, {eventFilter(0, "before")})}));
        logger_->clear();
        EXPECT_TRUE(evaluator_->updateAudiences(c.audiences));
        EXPECT_EQ(logged(6044), c.refused);
        // Not told as a pattern that does not compile: it has none.
        EXPECT_FALSE(logged(9004));
        EXPECT_EQ(database_->eventFiltersForEventName("before", nullptr)->size(), c.refused ? 1u : 0u);
        if (c.storedEvent) {
            EXPECT_EQ(database_->eventFiltersForEventName(c.storedEvent, nullptr)->empty(), c.refused);
        }
        EXPECT_EQ(database_->allAudienceIDs(nullptr)->size(), c.refused ? 1u : 100u);
    }
}

namespace {

// `entries` list entries of `length` bytes, told apart by their start.
std::vector<std::string> listEntries(int64_t entries, size_t length) {
    std::vector<std::string> list;
    list.reserve(static_cast<size_t>(entries));
    for (int64_t i = 0; i < entries; ++i) {
        std::string entry = std::to_string(i);
        entry.resize(std::max(length, entry.size()), 'x');
        list.push_back(std::move(entry));
    }
    return list;
}

MSRPBFilter inList(std::vector<std::string> list, const std::string& parameter) {
    return valueFilter(stringFilter(6, std::nullopt, false, std::move(list)), std::nullopt, parameter);
}

}  // namespace

// The entries of a configuration's expression lists are bounded together, in
// event and property filters alike, and each is charged to the matching work
// of its name: past either bound the configuration is refused whole with the
// bound's own code, and the stored one stays. The bound is written out here:
// read from the evaluator, it would follow any change made to it.
TEST_F(AudienceEvaluatorTest, ConfigurationsPastTheListEntryBoundAreRefused) {
    constexpr int64_t kBound = 65536;
    struct Case {
        const char* name;
        std::vector<MSRPBAudience> audiences;
        bool refused;
    };
    const Case cases[] = {
        {"as many entries as the bound in one list",
         {audience(10, {eventFilter(0, "e", {inList(listEntries(kBound, 1), "tier")})})},
         false},
        {"one entry more, over an event and a property filter of two audiences",
         {audience(10, {eventFilter(0, "e", {inList(listEntries(kBound / 2, 1), "tier")})}),
          audience(11, {}, {propertyFilter(0, "level", inList(listEntries(kBound / 2 + 1, 1), ""))})},
         true},
        {"one entry more, in the lists of two parameter filters of one filter",
         {audience(10, {eventFilter(0, "e", {inList(listEntries(kBound - 1, 1), "tier"),
                                               inList(listEntries(2, 1), "level")})})},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(evaluator_->updateAudiences({audience(1, {eventFilter(0, "before")})}));
        logger_->clear();
        EXPECT_TRUE(evaluator_->updateAudiences(c.audiences));
        EXPECT_EQ(logged(6045), c.refused);
        EXPECT_FALSE(logged(9004));
        EXPECT_EQ(database_->eventFiltersForEventName("before", nullptr)->size(), c.refused ? 1u : 0u);
        EXPECT_EQ(database_->eventFiltersForEventName("e", nullptr)->empty(), c.refused);
    }

    // Patterns on one name just within the work bound: the most of a cheap
    // one that a filter's parameters may hold and still be taken.
    const MSRPBFilter cheap = valueFilter(stringFilter(1, "(?:.?){1000}X"), std::nullopt, "_o", true);
    auto patterns = [&](size_t count) {
        return audience(10, {eventFilter(0, "e", std::vector<MSRPBFilter>(count, cheap))});
    };
    size_t within = 0;
    for (size_t count = 1; count <= 25; ++count) {
        logger_->clear();
        ASSERT_TRUE(evaluator_->updateAudiences({patterns(count)}));
        if (logged(6044)) break;
        within = count;
    }
    ASSERT_GT(within, 0u);
    ASSERT_LT(within, 25u) << "the patterns never reach the bound";
    // A list of 10,000 entries as long as the longest parameter text costs
    // more than the one pattern more that passed the bound: with the
    // patterns it is too much for the name, on a name of its own it is taken.
    const std::vector<std::string> longEntries =
        listEntries(10000, 4 * static_cast<size_t>(config_->maxInternalEventParameterValueLength()));
    for (const char* name : {"e", "other"}) {
        SCOPED_TRACE(name);
        logger_->clear();
        ASSERT_TRUE(evaluator_->updateAudiences({audience(1, {eventFilter(0, "before")})}));
        ASSERT_TRUE(evaluator_->updateAudiences(
            {patterns(within), audience(11, {eventFilter(0, name, {inList(longEntries, "tier")})})}));
        const bool refused = std::string(name) == "e";
        EXPECT_EQ(logged(6044), refused);
        EXPECT_FALSE(logged(6045));
        EXPECT_EQ(database_->eventFiltersForEventName("before", nullptr)->size(), refused ? 1u : 0u);
    }
}
