// The per-bundle caches of filter times: what is loaded once, what is added,
// replaced or kept, and the order in which the times leave.

#include "analytics/core/MSRAudienceTimestampsCache.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/model/MSREventFilter.h"
#include "analytics/model/MSRPropertyFilter.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

MSREventFilter eventFilter(int32_t id, bool dynamic, bool sequence, bool session = false) {
    return MSREventFilter(1, id, "e", {1}, session, dynamic, sequence);
}

MSRPropertyFilter propertyFilter(int32_t id, bool sequence) {
    return MSRPropertyFilter(1, id, "p", {1}, false, !sequence, sequence);
}

std::map<int32_t, int64_t> dynamicTimes(const MSRAudienceTimestampsCache& cache) {
    std::map<int32_t, int64_t> times;
    std::vector<int32_t> order;
    for (const auto& entry : cache.dynamicTimestampsForAudienceID(1)) {
        order.push_back(MSRPBGetInt32(entry, MSRDynamicFilterResultTimestampSlot::kFilterID));
        times[order.back()] = MSRPBGetInt64(entry, MSRDynamicFilterResultTimestampSlot::kTimestamp);
    }
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    return times;
}

std::map<int32_t, std::vector<int64_t>> sequenceTimes(const MSRAudienceTimestampsCache& cache) {
    std::map<int32_t, std::vector<int64_t>> times;
    for (const auto& entry : cache.sequenceTimestampsForAudienceID(1).value_or(
             std::vector<MSRPBSequenceFilterResultTimestamp>{})) {
        auto& list = times[MSRPBGetInt32(entry, MSRSequenceFilterResultTimestampSlot::kFilterID)];
        for (const MSRPBValue& time : MSRPBGetArray(entry, MSRSequenceFilterResultTimestampSlot::kTimestamps))
            list.push_back(std::get<int64_t>(time));
    }
    return times;
}

MSRFilterResult storedResult(int32_t dynamicFilter, int64_t dynamicTime, int32_t sequenceFilter,
                             std::vector<int64_t> sequence) {
    MSRPBResultData data;
    MSRPBDynamicFilterResultTimestamp dynamic;
    MSRPBSetInt32(dynamic, 0, dynamicFilter);
    MSRPBSetInt64(dynamic, 1, dynamicTime);
    MSRPBSetMessageArray(data, MSRResultDataSlot::kDynamicTimestamps, std::vector{dynamic});
    MSRPBSequenceFilterResultTimestamp entry;
    MSRPBSetInt32(entry, 0, sequenceFilter);
    MSRPBSetArray(entry, 1, {sequence.begin(), sequence.end()});
    MSRPBSetMessageArray(data, MSRResultDataSlot::kSequenceTimestamps, std::vector{entry});
    return MSRFilterResult(1, data.protoBuffer().value(), {});
}

}  // namespace

using AudienceTimestampsCacheTest = StorageTest;

TEST_F(AudienceTimestampsCacheTest, TimesAreLoadedOnceThenAddedReplacedOrKept) {
    MSRAudienceTimestampsCache cache;
    // Only the last stored time of a sequence is loaded.
    MSRFilterResult stored = storedResult(3, 40, 5, {10, 20});
    cache.populateCachedTimestamps(&stored, 1);
    EXPECT_EQ(dynamicTimes(cache), (std::map<int32_t, int64_t>{{3, 40}}));
    EXPECT_EQ(sequenceTimes(cache), (std::map<int32_t, std::vector<int64_t>>{{5, {20}}}));

    cache.addEvaluationTimestamp(50, eventFilter(2, true, false));
    // A second load for the audience keeps what the cache holds.
    MSRFilterResult other = storedResult(3, 99, 5, {99});
    cache.populateCachedTimestamps(&other, 1);
    EXPECT_EQ(dynamicTimes(cache), (std::map<int32_t, int64_t>{{2, 50}, {3, 40}}));

    // An earlier dynamic time is dropped.
    cache.addEvaluationTimestamp(45, eventFilter(2, true, false));
    cache.addEvaluationTimestamp(60, eventFilter(0, false, false, true));  // session-scoped records too
    cache.addEvaluationTimestamp(70, eventFilter(7, false, false));        // plain filters record nothing
    EXPECT_EQ(dynamicTimes(cache), (std::map<int32_t, int64_t>{{0, 60}, {2, 50}, {3, 40}}));

    // Event sequences add, unless the whole second is the last one's.
    cache.addEvaluationTimestamp(100.7, eventFilter(5, false, true));
    cache.addEvaluationTimestamp(100.2, eventFilter(5, false, true));
    cache.addEvaluationTimestamp(30, eventFilter(6, false, true));
    // Property sequences keep only their latest time, an earlier one too.
    cache.addEvaluationTimestamp(80, propertyFilter(4, true));
    cache.addEvaluationTimestamp(75, propertyFilter(4, true));
    EXPECT_EQ(sequenceTimes(cache), (std::map<int32_t, std::vector<int64_t>>{{4, {75}}, {5, {20, 100}}, {6, {30}}}));

    // An audience never loaded keeps no dynamic time and has no sequence.
    MSRAudienceTimestampsCache fresh;
    fresh.addEvaluationTimestamp(10, eventFilter(1, true, false));
    EXPECT_TRUE(fresh.dynamicTimestampsForAudienceID(1).empty());
    EXPECT_FALSE(fresh.sequenceTimestampsForAudienceID(1));
}
