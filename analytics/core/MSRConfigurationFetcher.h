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

class MSRConfigurationFetcher : public MSRMeasurementRoad {
public:
    using MSRMeasurementRoad::MSRMeasurementRoad;
    // A configuration answer larger than this is refused unread.
    static constexpr size_t kMaxRemoteConfigBytes = 4 * 1024 * 1024;
    // The most event configurations and settings a configuration may hold.
    // An application logs a few hundred event names at most (the server
    // keeps 500 per project) and the engine reads about 70 settings; each
    // entry costs about 1 KB at every start, so these cost about 10 MB each.
    // A configuration with more is refused whole and the stored one stays.
    static constexpr size_t kMaxEventConfigsPerConfig = 10000;
    static constexpr size_t kMaxSettingsPerConfig = 10000;

    // A conditional GET of the configuration when an endpoint is configured
    // (worker queue).
    void fetchRemoteConfig();
    // The fetch's answer (worker queue).
    void networkRemoteConfigFetchCompletionHandler(const net::Response& response, const std::vector<uint8_t>& data,
                                                   const std::optional<net::Error>& error);
    void updateConsentSettingsUtilWithRemoteConfig();

private:
    // Checks, stores and applies a fetched body inside the caller's
    // transaction; false rolls it back.
    bool applyRemoteConfigData(const std::vector<uint8_t>& data);
    // After a rollback the settings in memory follow the stored ones again.
    void restoreStoredRemoteConfig();
};
