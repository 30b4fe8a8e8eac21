#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "analytics/core/MSRSequenceTimestampsCache.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/model/MSRAudienceFilter.h"
#include "analytics/model/MSRFilterResult.h"

// What the audience evaluator keeps for the length of one bundle beside the
// timestamps (filters read, results not yet stored). Owned by the cache, so
// that it goes with the bundle: a bundle given up takes it along unstored.
class MSRAudienceBundleState {
  public:
    virtual ~MSRAudienceBundleState() = default;
};

// The times at which audience filters held, collected while one bundle is
// evaluated; they reach storage only inside the result data built from them.
class MSRAudienceTimestampsCache {
  public:
    MSRAudienceTimestampsCache() = default;
    virtual ~MSRAudienceTimestampsCache() = default;
    MSRAudienceTimestampsCache(const MSRAudienceTimestampsCache&) = delete;
    MSRAudienceTimestampsCache& operator=(const MSRAudienceTimestampsCache&) = delete;

    // Loads the stored timestamps of one audience, once: later calls for the
    // same audience keep what the cache holds.
    void populateCachedTimestamps(const MSRFilterResult* result, int32_t audienceID);
    // Records that the filter held at `timestamp` (seconds).
    void addEvaluationTimestamp(double timestamp, const MSRAudienceFilter& filter);
    // One entry per dynamic or session-scoped filter, by ascending filter ID.
    std::vector<MSRPBDynamicFilterResultTimestamp> dynamicTimestampsForAudienceID(int32_t audienceID) const;
    // Nothing when the audience has no sequence cache.
    std::optional<std::vector<MSRPBSequenceFilterResultTimestamp>> sequenceTimestampsForAudienceID(
        int32_t audienceID) const;

    const std::map<int32_t, std::map<int32_t, double>>& cachedDynamicFilterEvaluationTimestamps() const {
        return dynamic_;
    }
    const std::map<int32_t, MSRSequenceTimestampsCache>& cachedSequenceEvaluationTimestamps() const {
        return sequence_;
    }

    // The evaluator's own state for this bundle; null until it sets one.
    MSRAudienceBundleState* bundleState() const { return bundleState_.get(); }
    void setBundleState(std::unique_ptr<MSRAudienceBundleState> state) { bundleState_ = std::move(state); }

  private:
    std::map<int32_t, std::map<int32_t, double>> dynamic_;
    std::map<int32_t, MSRSequenceTimestampsCache> sequence_;
    std::unique_ptr<MSRAudienceBundleState> bundleState_;
};
