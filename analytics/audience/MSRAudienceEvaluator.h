#pragma once

// The server's audiences evaluated on the device. Each filter is evaluated on
// its own; per audience the evaluator keeps which filters have been evaluated
// and which held (with the times for dynamic, session-scoped and sequence
// filters), and hands that state to every bundle. Combining the filters into
// memberships is the server's work.
//
// Everything runs on the engine's worker queue inside the callers' database
// work. While one bundle is evaluated, the filters read and the results
// changed stay with the bundle's timestamp cache and are stored once, when
// the bundle's results are asked for: a bundle given up stores nothing.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/messages/MSRPBWireBounds.h"
#include "analytics/model/MSRFilterResult.h"
#include "analytics/model/MSRUserAttribute.h"

class MSRRegexCache;
class MSRRemoteConfig;

class MSRAudienceEvaluator : public MSRAudience {
  public:
    // The most that matching may cost for one event, or one user property,
    // in the work units of MSREventFilterWork: at most about 65 ms on a
    // desktop core (0.3 ns a unit at RE2's slowest, 0.5 ns for folding the
    // case of accented text; bench/core's BM_FilterMatchWork), a few times
    // that on a phone. The filters of the default limits (100
    // audiences of 10 filters with 25 parameter filters each) take about
    // two fifths of it without patterns, even were they all on one name.
    static constexpr int64_t kMaxMatchingWork = int64_t{1} << 27;
    // The most entries the expression lists of one configuration may hold
    // together (why: MSRPBWireBounds.h).
    static constexpr int64_t kMaxListEntries = static_cast<int64_t>(MSRPBWireMost::kExpressionListEntries);

    // Without settings of its own it reads the engine's.
    explicit MSRAudienceEvaluator(std::shared_ptr<MSRDatabase> database,
                                  std::shared_ptr<MSRRemoteConfig> remoteConfig = nullptr);

    // Replaces the stored definitions with the valid audiences (names made
    // internal); too many audiences, audiences whose matching would cost
    // more than kMaxMatchingWork for one event, or whose expression lists
    // hold more than kMaxListEntries entries, change nothing. False when a
    // database step failed.
    bool updateAudiences(const std::vector<MSRPBAudience>& audiences) override;
    bool hasEventFilters() const override;
    bool evaluateFiltersForEvent(const MSREvent& event, const MSREventAggregates& aggregates,
                                 MSRAudienceTimestampsCache* cache) override;
    // `aggregates`: those of the event's name after counting this event.
    bool evaluateFiltersForEventName(const std::string& name, const MSRParameters& parameters,
                                     const MSREventAggregates& aggregates, double timestamp,
                                     MSRAudienceTimestampsCache* cache);
    bool evaluateFiltersForUserProperty(const MSRUserAttribute& attribute, MSRAudienceTimestampsCache* cache,
                                        double evaluationTimestamp);
    bool evaluateFiltersForNanoUserProperty(const MSRPBUserAttribute& attribute, MSRAudienceTimestampsCache* cache,
                                            std::optional<double> evaluationTime) override;
    void clearEvaluationResultsForSessionScopedFilters() override;
    // The same, answering whether it succeeded.
    bool clearSessionScopedResults();
    std::optional<std::vector<MSRPBAudienceLeafFilterResult>> resultsForBundling(MSRAudienceTimestampsCache* cache,
                                                                                 MSRError* error) override;
    // Deletes the results of audiences gone from the configuration, once
    // more results are stored than the settings allow.
    bool maybeDeleteStaleFilterResults(const std::set<int32_t>& validAudienceIDs);

    // Whether the filter has been evaluated and its latest outcome is true.
    static bool isFilterResultTrueForFilterID(const MSRFilterResult* result, int32_t filterID);
    // The result with the filter's outcome recorded and the audience's
    // timestamps taken from `cache`; the previous data stay.
    static MSRFilterResult updatedFilterResult(int32_t filterID, int32_t audienceID, const MSRFilterResult* current,
                                               bool outcome, const MSRAudienceTimestampsCache& cache);
    // A property carried by a bundle as a user property; nothing (logged)
    // when it holds no usable value.
    static std::optional<MSRUserAttribute> userAttributeFromNanoUserAttribute(const MSRPBUserAttribute& attribute);

  private:
    MSRRemoteConfig& remoteConfig() const;
    // Stores what the cache's evaluations changed; false (logged with
    // `code` and `message`) when the store failed.
    bool storeChangedResults(MSRAudienceTimestampsCache& cache, int64_t code, const char* message,
                             const std::string& name, MSRError* error = nullptr);

    std::shared_ptr<MSRRemoteConfig> remoteConfig_;
    // The stored configuration's compiled expressions, kept from its check
    // (or from the first bundles after a start) for every bundle after.
    std::shared_ptr<MSRRegexCache> regexes_;
};

// Makes the engine evaluate audiences with MSRAudienceEvaluator; called once
// from the application's start, before the engine starts.
void MSRRegisterAudience();
