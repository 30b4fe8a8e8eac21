#pragma once

// The engine's live settings: an MSRRemoteConfig for one application that
// keeps the server's measurement configuration in the analytics database,
// parses it into the answers every module reads and loads its event-editing
// program. A configuration that fails a check is neither stored nor parsed;
// the previous one stays in force.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/messages/MSRPBMessages.h"
#include "platform/foundation/Value.h"

class MSRDatabase;
class MSREManager;

class MSRDatabaseRemoteConfig : public MSRRemoteConfig,
                                public MSRExperimentClientDelegate,
                                public std::enable_shared_from_this<MSRDatabaseRemoteConfig> {
public:
    // Null (logged 29000 / 29001) without an application id or a database.
    // Parses the configuration stored in the database at once.
    static std::shared_ptr<MSRDatabaseRemoteConfig> initWithAppID(const std::string& appID,
                                                                  std::shared_ptr<MSRDatabase> database,
                                                                  std::shared_ptr<MSREManager> experimentManager,
                                                                  std::shared_ptr<MSRMonitor> monitor = nullptr);
    // Designated: with a configuration, stores and applies it instead of
    // reading the stored one.
    static std::shared_ptr<MSRDatabaseRemoteConfig> initWithAppID(
        const std::string& appID, std::shared_ptr<MSRDatabase> database,
        const std::optional<MSRPBMeasurementConfig>& measurementConfig, std::shared_ptr<MSREManager> experimentManager,
        std::shared_ptr<MSRMonitor> monitor = nullptr);

    // Reads the endpoint base from the application bundle's Info.plist
    // ("CalvaroMeasurementURL") into MSRRemoteConfig, once per process.
    static void loadMeasurementURLFromBundle();

    bool isDefaultInstance() const override { return false; }
    bool updateMeasurementConfig(const MSRPBMeasurementConfig& config) override;
    void parseRemoteConfigFromMeasurementConfig(const MSRPBMeasurementConfig& config);
    std::optional<MSRPBMeasurementConfig> measurementConfigFromDatabase();
    double lastRemoteConfigUpdateTimestamp() override;
    std::vector<int64_t> experimentIDs() override;
    void reset() override;

    // As the delegate of the engine's experiments client.
    void clientDidReceiveNewSnapshot() override { MSRRemoteConfig::clientDidReceiveNewSnapshot(); }
    void clientDidReceiveFetchError(const MSRError& error) override {
        MSRRemoteConfig::clientDidReceiveFetchError(&error);
    }
    // Only while the shared engine exists and is enabled.
    bool shouldFetchExperimentsForClient() override;

    // Reads and parses the stored configuration again (defaults when none is
    // stored), e.g. after a transaction that stored another rolled back.
    void reloadFromDatabase();

    // The configuration last stored or read, if any.
    std::optional<MSRPBMeasurementConfig> remoteConfigProto() const;

    // The engine's origin; a configuration for origin "am" must carry this
    // application's id as its Adzev id.
    void setOrigin(std::string origin);
    // The application version offered to event-editing programs.
    void setAppVersionProvider(std::function<std::optional<std::string>()> provider);

    // The dictionary the "internal.appMetadata" module exposes.
    foundation::Value::Dictionary appMetadata() const;
    // A setting as the "internal.remoteConfig" module answers it.
    std::optional<std::string> settingText(const std::string& name) const;

    MSRDatabaseRemoteConfig(std::shared_ptr<MSRMonitor> monitor, std::shared_ptr<MSRDatabase> database,
                            std::shared_ptr<MSREManager> experimentManager);

private:
    // Registers the engine as a client of the experiments manager and
    // activates the snapshot the last run left waiting.
    void linkExperimentsClient();
    // Loads the first program into a new interpreter instance; false when
    // it failed (logged), true also when there is nothing to load.
    // The first of `config`'s programs, read in place.
    bool loadEventEditingPrograms(const MSRPBMeasurementConfig& config);

    std::weak_ptr<MSRDatabase> database_;
    std::shared_ptr<MSREManager> experimentManager_;
    mutable std::mutex protoMutex_;
    std::optional<MSRPBMeasurementConfig> remoteConfigProto_;
    std::string origin_;
    std::function<std::optional<std::string>()> appVersionProvider_;
};
