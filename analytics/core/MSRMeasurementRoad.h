#pragma once

// What the engine's roads (MSRStartUpAndWipe, MSREventWriter, MSRBundler,
// MSRUploader, MSRConfigurationFetcher, MSRDeepLinks, MSRConversionValues,
// MSROnDeviceConversion) stand on: the engine that owns them,
// whose state they work on, and the types their operations speak of.

#include <cstdint>
#include <utility>

#include "analytics/messages/MSRPBMessages.h"
#include "analytics/model/MSRDailyCounts.h"
#include "analytics/model/MSREvent.h"
#include "analytics/model/MSRRawEventData.h"
#include "platform/net/Network.h"

class MSRAudienceTimestampsCache;
class MSRMeasurement;
struct MSRRawEventRow;
struct MSRBundleRawEntry;
struct MSRBundleEvent;
struct MSRBundleIdentity;
// A queued bundle and its row id (the analytics database's alias).
using MSRQueuedBundle = std::pair<MSRPBMeasurementBundle, int64_t>;

// The engine is made of its roads: each is a base of MSRMeasurement, so its
// operations are the engine's operations, and holds the engine it is part of.
class MSRMeasurementRoad {
public:
    explicit MSRMeasurementRoad(MSRMeasurement& engine) : engine_(engine) {}
    MSRMeasurementRoad(const MSRMeasurementRoad&) = delete;
    MSRMeasurementRoad& operator=(const MSRMeasurementRoad&) = delete;

protected:
    MSRMeasurement& engine_;
};
