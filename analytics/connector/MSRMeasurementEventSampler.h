#pragma once

// Event sampling while raw events are bundled: for each event name with a
// sampling rate N in the measurement configuration only about one event in N
// is kept. Kept events carry the rate that applied ("_sr"); the first event of
// a name on a new account day is always kept and marked exempt ("_efs"). The
// per-name sampling state lives in the event-aggregates rows, so the next
// bundle goes on from it. Worker queue only, inside bundling's transaction.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "analytics/core/MSRMeasurementComponents.h"

class MSRDatabase;
class MSRRemoteConfig;

class MSRMeasurementEventSampler : public MSREventSampler {
public:
    MSRMeasurementEventSampler(std::shared_ptr<MSRDatabase> database, std::shared_ptr<MSRRemoteConfig> remoteConfig);

    // The kept events in their order, or nothing with the error when the
    // aggregates could not be read or written back.
    std::optional<std::vector<MSRPBEvent>> sampleEvents(const std::vector<MSRPBEvent>& events,
                                                        MSRError* error) override;
    // Sampling is on and the event's name has a rate above 1.
    bool canEventBeSampled(const MSRPBEvent& event) const;
    // A fair roll: true about once in `rate` calls.
    static bool isEventBundledAfterRoll(int32_t rate);
    // The account's day number of `seconds` (the account's time zone sets
    // the day boundary).
    int32_t dayNumber(double seconds) const;

private:
    std::shared_ptr<MSRDatabase> database_;
    std::shared_ptr<MSRRemoteConfig> remoteConfig_;
};
