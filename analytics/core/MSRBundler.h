#pragma once

// The engine's bundling: one run of raw events of one metadata record becomes
// one upload bundle, in one transaction with the counts, aggregates, audiences
// and bookkeeping it changes. It works on the engine's state; its operations are
// the engine's (MSRMeasurementRoad.h).

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "analytics/core/MSRMeasurementRoad.h"

class MSRBundler : public MSRMeasurementRoad {
public:
    using MSRMeasurementRoad::MSRMeasurementRoad;

    // Makes at most one bundle of the oldest run of raw events in one
    // transaction; true when a bundle was stored or raw events were removed
    // (the caller may call again).
    bool bundleRawEvents();
    // The oldest run of one metadata record: consecutive rows within one
    // clock hour, bounded by count and encoded size. Nothing on failure.
    std::optional<std::vector<MSRRawEventData>> rawEventsWithMetadataFingerprint(int64_t metadataFingerprint);
    // Filtered, renamed and counted events; empty when all were rejected (and
    // deleted), nothing on failure.
    std::optional<std::vector<MSREvent>> processRawEvents(const std::vector<MSRRawEventData>& rawEvents,
                                                          int64_t metadataFingerprint);
    MSRRawEventData internalEventFromPublicEvent(const MSRRawEventData& rawEvent);
    // Each answers whether the counts changed.
    bool checkConversion(MSREvent& event, MSRDailyCounts& dailyCounts);
    bool checkRealtime(MSREvent& event, MSRDailyCounts& dailyCounts);
    // Session start and engagement of the run.
    void evaluationTimeFromRawEvents(const std::vector<MSRRawEventData>& rawEvents, MSRPBMeasurementBundle& bundle);
    std::optional<std::vector<MSREvent>> eventsAfterUpdatingEventAggregates(const std::vector<MSREvent>& events,
                                                                            MSRAudienceTimestampsCache* cache,
                                                                            bool allowEventFilterEvaluation);
    bool updateAppMetadataForBundle(MSRPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                    double bundleEndTimestamp);
    // `engagementMillis` added to "_se" (session-scoped) or "_lte".
    bool updateUserEngagement(int64_t engagementMillis, MSRPBMeasurementBundle& bundle, bool sessionScoped);
    void addBundleMetadataIntoBundle(MSRPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                     double bundleEndTimestamp);
    void handleAnalyticsStorageConsentTransitions(MSRPBMeasurementBundle& bundle);

private:
    // Persisted values that a bundle's transaction decides on are written
    // only once it has committed; outside a transaction at once.
    void applyAfterBundleCommit(std::function<void()> write);
    // MSRBundleRawEntry (a raw event of the run) and MSRBundleEvent (an event
    // on its way into the bundle) are each either an event object or a
    // stored row taken as it stands.
    //
    // The run read as rows, filtered as rawEventsWithMetadataFingerprint.
    std::optional<std::vector<MSRRawEventRow>> rawEventRowsWithMetadataFingerprint(int64_t metadataFingerprint);
    // The steps of processRawEvents, evaluationTimeFromRawEvents and
    // eventsAfterUpdatingEventAggregates over both kinds.
    std::optional<std::vector<MSRBundleEvent>> processRawEntries(const std::vector<MSRBundleRawEntry>& entries,
                                                                 int64_t metadataFingerprint);
    void evaluationTimeFromRawEntries(const std::vector<MSRBundleRawEntry>& entries, MSRPBMeasurementBundle& bundle);
    // `metadataFingerprint`: the run's, for rows read into objects for the
    // event filters.
    bool updateEventAggregates(std::vector<MSRBundleEvent>& events, MSRAudienceTimestampsCache* cache,
                               bool allowEventFilterEvaluation, int64_t metadataFingerprint = 0);
};
