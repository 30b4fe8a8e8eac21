#pragma once

// The engine's configuration fetch: a conditional GET of the server's
// configuration, applied in one database transaction. It works on the engine's
// state (its operations are the engine's, MSRMeasurementRoad.h) and
// hands the schedule back to the uploader once the answer is in.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "analytics/core/MSRMeasurementRoad.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/messages/MSRPBWireBounds.h"

class MSRConfigurationFetcher : public MSRMeasurementRoad {
public:
    using MSRMeasurementRoad::MSRMeasurementRoad;
    // A configuration answer larger than this is refused unread.
    static constexpr size_t kMaxRemoteConfigBytes = MSRPBWireMost::kConfigurationAnswerBytes;
    // The most event configurations and settings a configuration may hold
    // (why: MSRPBWireBounds.h). A configuration past any bound of the wire
    // table is refused whole, unbuilt, and the stored one stays.
    static constexpr size_t kMaxEventConfigsPerConfig = MSRPBWireMost::kEventConfigsPerConfig;
    static constexpr size_t kMaxSettingsPerConfig = MSRPBWireMost::kSettingsPerConfig;

    // A conditional GET of the configuration when an endpoint is configured
    // (worker queue).
    void fetchRemoteConfig();
    // The fetch's answer (worker queue).
    void networkRemoteConfigFetchCompletionHandler(const net::Response& response, const std::vector<uint8_t>& data,
                                                   const std::optional<net::Error>& error);
    void updateConsentSettingsUtilWithRemoteConfig();

private:
    // The fetched body decoded, when it is within the wire bounds, decodes
    // and is this application's; nothing with the refusal logged.
    std::optional<MSRPBMeasurementConfig> acceptedRemoteConfig(const std::vector<uint8_t>& data);
    // Stores and applies an accepted configuration (of `bytes` on the wire)
    // inside the caller's transaction; false rolls it back.
    bool applyRemoteConfig(MSRPBMeasurementConfig& config, size_t bytes);
    // After a rollback the settings in memory follow the stored ones again.
    void restoreStoredRemoteConfig();
};
