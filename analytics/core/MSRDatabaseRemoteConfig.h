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
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/support/MSRLogContext.h"
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

    // The console line of a stored configuration that cannot be used.
    static constexpr int64_t kUnusableStoredConfigurationCode = 29040;

    bool isDefaultInstance() const override { return false; }
    // A configuration whose program fails its load run still applies, but
    // the program in force keeps running, and what is stored carries the
    // programs stored before in place of the failing one: it is logged
    // once, here, and not again at every start.
    bool updateMeasurementConfig(const MSRPBMeasurementConfig& config) override;
    void parseRemoteConfigFromMeasurementConfig(const MSRPBMeasurementConfig& config);
    // The stored configuration, counted on the wire against the bounds of
    // an arriving one before any of it is built, its lists left encoded to
    // be read an element at a time. One past a bound (stored by a build
    // that had none) or unreadable is logged and dropped, as are validators
    // kept without a configuration.
    std::optional<MSRPBMeasurementConfig> measurementConfigFromDatabase();
    // Drops a stored configuration that cannot be used with the validators
    // that name it and the time of its fetch, and says once on the console
    // that the defaults apply: the next upload run fetches the whole
    // configuration. Every road that finds the stored one unusable ends here.
    void dropUnusableStoredConfiguration(MSRDatabase& database);
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
    // The program in force keeps running when it is the one stored.
    void reloadFromDatabase();

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
    // Where a configuration's program is loaded, which decides what a load
    // run that fails leaves running.
    enum class ProgramLoadRoad {
        kArrival,  // a fetched configuration: the program in force stays
        kStart,    // the stored configuration at start: none is in force yet
        kReload,   // the stored one again: the program in force stays when it is the stored one, else goes
    };
    enum class ProgramLoadOutcome { kNone, kLoaded, kKept, kFailed };

    // Registers the engine as a client of the experiments manager and
    // activates the snapshot the last run left waiting.
    void linkExperimentsClient();
    // The stored configuration and its encoding, as measurementConfigFromDatabase
    // gives it.
    std::optional<MSRPBMeasurementConfig> readStoredConfiguration(std::vector<uint8_t>& encoded);
    // Logs why the stored configuration cannot be used (`code`, `text`,
    // `contexts`), then drops it as dropUnusableStoredConfiguration does.
    void dropStoredConfiguration(MSRDatabase& database, int64_t code, std::string_view text,
                                 const std::vector<MSRLogContext>& contexts);
    // Parses the stored configuration (defaults when none is stored or it
    // is refused).
    void applyStoredConfiguration(ProgramLoadRoad road);
    // The parse; `encoded` (empty when unknown) tells the program in force
    // from the configuration's.
    ProgramLoadOutcome parse(const MSRPBMeasurementConfig& config, std::span<const uint8_t> encoded,
                             ProgramLoadRoad road);
    // Loads the first of `config`'s programs, read in place, into a new
    // interpreter instance. A failure is logged; what it leaves running is
    // the road's.
    ProgramLoadOutcome loadEventEditingPrograms(const MSRPBMeasurementConfig& config,
                                                std::span<const uint8_t> encoded, ProgramLoadRoad road);

    std::weak_ptr<MSRDatabase> database_;
    std::shared_ptr<MSREManager> experimentManager_;
    mutable std::mutex protoMutex_;
    // The digest of the first program's bytes of the configuration whose
    // program is in force (worker queue).
    std::optional<uint64_t> workingProgramDigest_;
    std::string origin_;
    std::function<std::optional<std::string>()> appVersionProvider_;
};
