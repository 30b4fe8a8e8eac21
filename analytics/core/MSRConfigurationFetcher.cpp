// The measurement configuration fetch: a conditional GET of the server's
// configuration, applied in one database transaction, whose answer feeds the
// same failure and back-off times that pace uploads.

#include "analytics/core/MSRDatabaseRemoteConfig.h"
#include "analytics/core/MSRUploader.h"
#include "analytics/core/MSRConfigurationFetcher.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/core/MSRTCFClient.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBWireCount.h"
#include "analytics/interpreter/MSRPRuntime.h"
#include "analytics/support/MSRConstants.h"
#include "analytics/support/MSRLogContext.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/dispatch/Clock.h"

namespace {

// Contexts are added one by one: an initializer list of them makes the
// optimizer of the sanitizer build report copies it cannot follow.
template <typename... Contexts>
void fetchLog(int64_t level, int64_t code, std::string_view message, Contexts&&... values) {
    auto monitor = MSRMeasurement::monitor();
    if (!monitor) return;
    std::vector<MSRLogContext> contexts;
    contexts.reserve(sizeof...(values));
    (contexts.emplace_back(std::forward<Contexts>(values)), ...);
    monitor->logWithLevel(level, code, message, contexts);
}

std::string errorText(const std::optional<net::Error>& error) {
    return error ? error->description : std::string();
}

// Whether an encoded configuration passes any bound of the wire table,
// counted before any of it is built (logged once when it does: the stored
// configuration stays and no transaction is begun for it).
bool refusedOnTheWire(const std::vector<uint8_t>& data) {
    const std::optional<MSRPBWireRefusal> refusal = MSRPBWireRefusalOf(data, MSRPBMessageID::MeasurementConfig);
    if (!refusal) return false;
    fetchLog(1, refusal->code, refusal->text, static_cast<int64_t>(refusal->count),
             static_cast<int64_t>(refusal->bound));
    return true;
}

}  // namespace

void MSRConfigurationFetcher::fetchRemoteConfig() {
    if (!engine_.hasComponentsOnWorkerQueue() || !engine_.network_ || !engine_.persistedConfig_ || !engine_.scheduler_) return;
    std::optional<std::string> url =
        engine_.remoteConfig_->remoteConfigURLWithPlatform("ios", kMSRLibraryVersion, MSRPRuntime::runtimeVersion());
    // Without a configured endpoint nothing leaves the machine.
    if (!url || url->empty()) {
        fetchLog(2, 23125, "Invalid server URL to get configuration");
        // Nothing will follow that needs the application kept alive.
        engine_.uploader().terminateBackgroundTask();
        return;
    }
    fetchLog(8, 23126, "Fetching configuration from the server");

    net::Headers headers;
    std::string lastModified = engine_.persistedConfig_->configServerLastModifiedString().value_or("");
    if (!lastModified.empty()) headers["If-Modified-Since"] = lastModified;
    std::string eTag = engine_.persistedConfig_->configServerETag().value_or("");
    if (!eTag.empty()) headers["If-None-Match"] = eTag;

    engine_.isNetworkRequestPending_ = true;
    std::weak_ptr<MSRMeasurement> weakSelf = engine_.weak_from_this();
    std::string sessionID =
        engine_.network_->getURL(*url, headers, kMaxRemoteConfigBytes, engine_.scheduler_->workerQueue(),
                                 engine_.uploader().shouldUseBackgroundSession(),
                         [weakSelf](const net::Response& response, const std::vector<uint8_t>& data,
                                    const std::optional<net::Error>& error) {
                             auto self = weakSelf.lock();
                             if (!self) return;
                             self->isNetworkRequestPending_ = false;
                             self->configurationFetcher().networkRemoteConfigFetchCompletionHandler(response, data, error);
                         });
    if (sessionID.empty()) {
        // No request was started, so no completion will ever clear the
        // pending flag; left set it would hold back every later upload.
        engine_.isNetworkRequestPending_ = false;
        engine_.persistedConfig_->setLastFailedUploadTimestamp(dispatch::Clock::now());
        fetchLog(3, 23129, "Network fetch failed. Will retry later. Code, error", int64_t{0},
                 std::string("No network session"));
        engine_.uploader().updateSchedule();
    }
}

void MSRConfigurationFetcher::networkRemoteConfigFetchCompletionHandler(const net::Response& response,
                                                               const std::vector<uint8_t>& data,
                                                               const std::optional<net::Error>& error) {
    if (!engine_.hasComponentsOnWorkerQueue() || !engine_.persistedConfig_) return;
    const int status = response.statusCode;
    fetchLog(8, 23127, "Fetched configuration. Status code", int64_t{status});
    // Applying a large answer takes a while: once the application ends, the
    // events handed over before the end are stored first.
    engine_.storeEventsHandedOverBeforeTheEnd();
    // A body past the limit arrives empty with its status: a 200 of it keeps
    // the stored configuration, as an undecodable one does.
    const bool tooLarge = error && error->code == net::Error::kResponseTooLarge;

    const MSRNetworkOutcome outcome = MSRNetworkComponent::configFetchOutcomeForStatusCode(status);
    if (outcome == MSRNetworkOutcome::kFailure || outcome == MSRNetworkOutcome::kFailureWithBackoff) {
        fetchLog(3, 23128, "Network request failed to fetch remote config. Code, Error", int64_t{status},
                 errorText(error));
        const double now = dispatch::Clock::now();
        engine_.persistedConfig_->setLastFailedUploadTimestamp(now);
        if (outcome == MSRNetworkOutcome::kFailureWithBackoff) engine_.persistedConfig_->setLastBackoffTimestamp(now);
        fetchLog(3, 23129, "Network fetch failed. Will retry later. Code, error", int64_t{status},
                 errorText(error));
        engine_.uploader().updateSchedule();
        return;
    }

    engine_.persistedConfig_->setLastFailedUploadTimestamp(0);
    engine_.persistedConfig_->setLastBackoffTimestamp(0);
    const double now = dispatch::Clock::now();
    MSRError timestampError;
    const bool timestampStored = engine_.database_->updateRemoteConfigSuccessfulTimestamp(now, &timestampError);

    if (outcome == MSRNetworkOutcome::kNotModified || outcome == MSRNetworkOutcome::kNotFound) {
        if (outcome == MSRNetworkOutcome::kNotModified) {
            fetchLog(8, 23131, "Configuration has not been modified. Using the same configuration. Code",
                     int64_t{status});
        } else {
            fetchLog(3, 23130, "Configuration not found. Using default configuration");
        }
        if (!timestampStored) {
            fetchLog(1, 23132, "Failed to update config last set timestamp. Error", timestampError);
            engine_.uploader().suspendUploads();
        } else {
            engine_.setSuspendedUploadTimestamp(0);
        }
    } else {
        fetchLog(8, 23133, "Successfully fetched configuration from the server. Code, size", int64_t{status},
                 static_cast<int64_t>(data.size()));
        if (!timestampStored) {
            fetchLog(1, 23134, "Failed to set last set timestamp in database. Error", timestampError);
            engine_.uploader().suspendUploads();
        } else {
            engine_.setSuspendedUploadTimestamp(0);
        }
        if (tooLarge) {
            fetchLog(2, 23135, "Configuration data is invalid.", errorText(error));
            restoreStoredRemoteConfig();
        } else if (!data.empty()) {
            // A refused answer is logged once, for why it is refused; only
            // an answer worth storing begins a transaction.
            std::optional<MSRPBMeasurementConfig> config = acceptedRemoteConfig(data);
            const bool committed = config && engine_.database_->performTransaction([this, &config, &data] {
                return applyRemoteConfig(*config, data.size());
            });
            if (committed) {
                // Validators only of an answer that is now in force.
                auto header = [&response](const char* name) -> std::optional<std::string> {
                    auto it = response.headers.find(name);
                    if (it == response.headers.end()) return std::nullopt;
                    return it->second;
                };
                engine_.persistedConfig_->setConfigServerLastModifiedString(header("Last-Modified"));
                engine_.persistedConfig_->setConfigServerETag(header("ETag"));
            } else if (config) {
                restoreStoredRemoteConfig();
            }
        }
    }

    if (engine_.remoteConfig_->DMAConsentEnabled() && engine_.shouldRequestDeferredDeepLinkAfterConfigFetch_) {
        engine_.shouldRequestDeferredDeepLinkAfterConfigFetch_ = false;
        engine_.requestDeferredDeepLink();
    } else {
        engine_.uploader().uploadDataOrRegisterAlarm();
    }
    if (engine_.tcfClient_) engine_.tcfClient_->setIsDMARegion(engine_.remoteConfig_->isDMARegion());
}

std::optional<MSRPBMeasurementConfig> MSRConfigurationFetcher::acceptedRemoteConfig(const std::vector<uint8_t>& data) {
    if (data.size() <= kMaxRemoteConfigBytes && refusedOnTheWire(data)) return std::nullopt;
    std::optional<MSRPBMeasurementConfig> config;
    if (data.size() <= kMaxRemoteConfigBytes) config = MSRPBMeasurementConfig::initWithBuffer(data);
    if (!config || !config->protoBuffer()) {
        fetchLog(2, 23135, "Configuration data is invalid.");
        return std::nullopt;
    }
    // Never apply another application's configuration.
    if (MSRPBGetString(*config, MSRConfigSlot::kAppID).value_or("") != engine_.appID_) {
        fetchLog(2, 23136, "Configuration does not have valid Zevure App ID.");
        return std::nullopt;
    }
    return config;
}

bool MSRConfigurationFetcher::applyRemoteConfig(MSRPBMeasurementConfig& config, size_t bytes) {
    // Audiences have their own tables; the stored configuration goes without them.
    std::vector<MSRPBAudience> audiences = MSRPBTakeMessageArray<MSRPBAudience>(config, MSRConfigSlot::kAudiences);
    if (!engine_.remoteConfig_->updateMeasurementConfig(config)) {
        fetchLog(2, 23138, "Failed to update configuration with new server configuration",
                 static_cast<int64_t>(bytes));
        return false;
    }
    updateConsentSettingsUtilWithRemoteConfig();
    if (!engine_.audience_->updateAudiences(audiences)) {
        fetchLog(2, 23137, "Failed to update audiences with new server configuration",
                 static_cast<int64_t>(bytes));
        return false;
    }
    return true;
}

void MSRConfigurationFetcher::restoreStoredRemoteConfig() {
    // The transaction rolled back what it stored; the settings in memory go
    // back to the stored configuration with it.
    if (auto stored = std::dynamic_pointer_cast<MSRDatabaseRemoteConfig>(engine_.remoteConfig_)) {
        stored->reloadFromDatabase();
    }
}

namespace {

MSRConsentSettingsUtil::Settings settingsOf(const std::map<std::string, std::string>& table) {
    MSRConsentSettingsUtil::Settings settings;
    for (const auto& [type, value] : table) settings[type] = foundation::Value(value);
    return settings;
}

}  // namespace

// The server's consent defaults, delegations and regional defaults go into
// the consent holder; a changed ad-personalization answer has the next
// bundle bring "_npa" up to date.
void MSRConfigurationFetcher::updateConsentSettingsUtilWithRemoteConfig() {
    if (!engine_.remoteConfig_) return;
    MSRRemoteConfig& settings = *engine_.remoteConfig_;
    const bool dma = settings.DMAConsentEnabled();
    const std::optional<bool> before = MSRConsentSettingsUtil::adPersonalization();
    if (dma) {
        const auto defaults = settings.consentDefaults();
        const auto delegations = settings.consentDelegations();
        if (!defaults.empty() || !delegations.empty()) {
            MSRConsentSettingsUtil::setDefaultSettings(settingsOf(defaults));
            MSRConsentSettingsUtil::setDelegatedSettings(settingsOf(delegations));
        }
    }
    if (!settings.regionalDefaultsEnabled()) {
        MSRConsentSettingsUtil::setRegionalDefaults(std::nullopt);
    } else if (const auto regional = settings.regionalDefaults(); !regional.empty()) {
        MSRConsentSettingsUtil::setRegionalDefaults(settingsOf(regional));
    }
    const std::optional<bool> after = MSRConsentSettingsUtil::adPersonalization();
    if (dma && after && after != before) engine_.setShouldUpdateNPAUserProperty(true);
    if (engine_.tcfClient_) engine_.tcfClient_->setIsDMARegion(settings.isDMARegion());
}
