// The parsed server configuration held by MSRRemoteConfig: event rules, data
// controls, consent, the endpoints and the experiments link. Everything here
// answers from plain texts and numbers; reading the wire message and the
// database is the business of MSRDatabaseRemoteConfig in the engine.

#include "analytics/support/MSRRemoteConfig.h"

#include "analytics/support/MSRError.h"
#include "analytics/support/MSRLogContext.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRPercentEncoding.h"
#include "analytics/support/MSRStoredTime.h"
#include "platform/dispatch/Clock.h"

#include <cmath>

namespace {

std::mutex gEndpointMutex;
std::optional<std::string> gExplicitMeasurementURL;
std::optional<std::string> gBundleMeasurementURL;


// A base without trailing slashes, so that paths join with exactly one.
std::string trimmedBase(std::string base) {
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

}  // namespace

// ---- endpoints ---------------------------------------------------------------

void MSRRemoteConfig::setMeasurementURL(std::optional<std::string> baseURL) {
    std::lock_guard lock(gEndpointMutex);
    gExplicitMeasurementURL = std::move(baseURL);
}

void MSRRemoteConfig::setBundleMeasurementURL(std::optional<std::string> baseURL) {
    std::lock_guard lock(gEndpointMutex);
    gBundleMeasurementURL = std::move(baseURL);
}

std::string MSRRemoteConfig::measurementURL() {
    std::lock_guard lock(gEndpointMutex);
    if (gExplicitMeasurementURL) return trimmedBase(*gExplicitMeasurementURL);
    return trimmedBase(gBundleMeasurementURL.value_or(""));
}

std::string MSRRemoteConfig::uploadURL() const {
    std::string base = measurementURL();
    if (base.empty()) return {};
    std::optional<std::string> subdomain = uploadSubdomain();
    if (subdomain && !subdomain->empty()) {
        // The subdomain goes in front of the host, after the scheme.
        size_t hostStart = base.find("://");
        hostStart = hostStart == std::string::npos ? 0 : hostStart + 3;
        base.insert(hostStart, MSRPercentEncoded(*subdomain) + ".");
    }
    return base + "/a";
}

std::optional<std::string> MSRRemoteConfig::remoteConfigURLWithPlatform(const std::optional<std::string>& platform,
                                                                        int64_t SDKVersion,
                                                                        int64_t runtimeVersion) const {
    if (!platform) {
        monitor().logWithLevel(2, 29010, "Cannot create a URL to fetch a configuration with empty platform");
        return std::nullopt;
    }
    std::string base = measurementURL();
    if (base.empty()) return std::string();
    // Keys in the order a sorted dictionary gives them.
    return base + "/config/app/" + MSRPercentEncoded(appID(), ":@") + "?" + "platform=" + MSRPercentEncoded(*platform) +
           "&runtime_version=" + std::to_string(runtimeVersion) + "&zmp_version=" + std::to_string(SDKVersion);
}

// ---- what the default instance answers ----------------------------------------

std::string MSRRemoteConfig::appID() const {
    std::lock_guard lock(parsedMutex_);
    return appID_;
}

bool MSRRemoteConfig::updateMeasurementConfig(const MSRPBMeasurementConfig& /*config*/) {
    monitor().logWithLevel(2, 29002, "Cannot update the default measurement configuration");
    return false;
}

double MSRRemoteConfig::lastRemoteConfigUpdateTimestamp() {
    monitor().logWithLevel(2, 29008, "Cannot fetch the last configuration update timestamp from the default instance");
    return 0;
}

bool MSRRemoteConfig::isExpired() {
    if (isDefaultInstance()) {
        monitor().logWithLevel(2, 29007, "Cannot fetch the last update timestamp from the default configuration");
        return false;
    }
    // Absolute, so that a clock set backwards expires the configuration too;
    // a stored time that is no number is none (NaN would never expire).
    const double last = MSRFiniteStoredTime(lastRemoteConfigUpdateTimestamp());
    return std::fabs(dispatch::Clock::now() - last) >= remoteConfigCacheTimeInterval();
}

int64_t MSRRemoteConfig::version() const {
    std::lock_guard lock(parsedMutex_);
    return version_.value_or(-1);
}

std::optional<std::string> MSRRemoteConfig::uploadSubdomain() const {
    std::lock_guard lock(parsedMutex_);
    return uploadSubdomain_;
}

std::vector<int64_t> MSRRemoteConfig::experimentIDs() { return {}; }

// ---- event rules -----------------------------------------------------------------

std::optional<MSREventConfig> MSRRemoteConfig::eventConfigWithName(const std::string& name) const {
    if (name.empty()) {
        monitor().logWithLevel(5, 29006, "Cannot find event config with empty event name");
        return std::nullopt;
    }
    std::lock_guard lock(parsedMutex_);
    auto it = cachedEventConfigByEventName_.find(name);
    if (it == cachedEventConfigByEventName_.end()) return std::nullopt;
    return it->second;
}

bool MSRRemoteConfig::isEventBlocklisted(const std::string& name) {
    std::optional<MSREventConfig> config = eventConfigWithName(name);
    if (config && config->blocklisted) return true;
    // A rule that does not blocklist never lifts the general switch.
    return name.starts_with("_") ? blocklistInternal() : blocklistPublic();
}

bool MSRRemoteConfig::isEventCustomConversion(const std::string& name) const {
    std::optional<MSREventConfig> config = eventConfigWithName(name);
    return config && config->customConversion.value_or(false);
}

bool MSRRemoteConfig::eventHasSamplingRate(const std::string& name) const {
    std::optional<MSREventConfig> config = eventConfigWithName(name);
    return config && config->samplingRate.has_value();
}

int32_t MSRRemoteConfig::samplingRateForEvent(const std::string& name) const {
    std::optional<MSREventConfig> config = eventConfigWithName(name);
    if (!config || !config->samplingRate) return 1;
    const int32_t rate = *config->samplingRate;
    return rate >= 2 && rate <= 65535 ? rate : 1;
}

// ---- data controls and consent -----------------------------------------------------

std::vector<std::string> MSRRemoteConfig::dataControls() const {
    std::lock_guard lock(parsedMutex_);
    return cachedDataControls_;
}

std::map<std::string, std::string> MSRRemoteConfig::consentDefaults() const {
    std::lock_guard lock(parsedMutex_);
    return consent_.defaults;
}

std::map<std::string, std::string> MSRRemoteConfig::consentDelegations() const {
    std::lock_guard lock(parsedMutex_);
    return consent_.delegations;
}

std::map<std::string, std::string> MSRRemoteConfig::regionalDefaults() const {
    std::lock_guard lock(parsedMutex_);
    return consent_.regionalDefaults;
}

std::set<std::string> MSRRemoteConfig::corePlatformServices() const {
    std::lock_guard lock(parsedMutex_);
    return consent_.corePlatformServices;
}

bool MSRRemoteConfig::isDMARegion() const {
    std::lock_guard lock(parsedMutex_);
    return consent_.isDMARegion;
}

std::shared_ptr<MSRPEventEditing> MSRRemoteConfig::eventEditing() const {
    std::lock_guard lock(parsedMutex_);
    return eventEditing_;
}

// ---- written by the parse -------------------------------------------------------------

void MSRRemoteConfig::setAppID(std::string appID) {
    std::lock_guard lock(parsedMutex_);
    changed();
    appID_ = std::move(appID);
}

void MSRRemoteConfig::setStoredConfigurationFacts(std::optional<int64_t> version,
                                                  std::optional<std::string> uploadSubdomain) {
    std::lock_guard lock(parsedMutex_);
    changed();
    version_ = version;
    uploadSubdomain_ = std::move(uploadSubdomain);
}

void MSRRemoteConfig::setEventConfigs(std::map<std::string, MSREventConfig> configs) {
    std::lock_guard lock(parsedMutex_);
    changed();
    cachedEventConfigByEventName_ = std::move(configs);
}

void MSRRemoteConfig::setDataControls(std::vector<std::string> dataControls) {
    std::lock_guard lock(parsedMutex_);
    changed();
    cachedDataControls_ = std::move(dataControls);
}

void MSRRemoteConfig::setConsentConfiguration(ConsentConfiguration consent) {
    std::lock_guard lock(parsedMutex_);
    changed();
    consent_ = std::move(consent);
}

void MSRRemoteConfig::setEventEditing(std::shared_ptr<MSRPEventEditing> eventEditing) {
    std::lock_guard lock(parsedMutex_);
    changed();
    eventEditing_ = std::move(eventEditing);
}

void MSRRemoteConfig::resetParsedConfiguration() {
    std::lock_guard lock(parsedMutex_);
    changed();
    cachedEventConfigByEventName_.clear();
    cachedDataControls_.clear();
    consent_ = ConsentConfiguration{};
}

// ---- experiments -------------------------------------------------------------------------

void MSRRemoteConfig::setExperimentClient(std::shared_ptr<MSRExperimentClient> client) {
    {
        std::lock_guard lock(parsedMutex_);
        changed();
        experimentClient_ = client;
    }
    if (client) {
        std::weak_ptr<MSRExperimentClient> weakClient = client;
        setExperimentFlagProvider([weakClient](const std::string& name) -> std::optional<bool> {
            auto strong = weakClient.lock();
            return strong ? strong->flagValue(name) : std::nullopt;
        });
    } else {
        setExperimentFlagProvider({});
    }
}

void MSRRemoteConfig::clientDidReceiveNewSnapshot() {
    std::lock_guard lock(parsedMutex_);
    hasNewSnapshot_ = true;
}

void MSRRemoteConfig::clientDidReceiveFetchError(const MSRError* error) {
    if (!error) return;
    monitor().logWithLevel(2, 29025, "Cannot fetch experiment. Error", {MSRLogContext(*error)});
}

bool MSRRemoteConfig::activateNewSnapshot() {
    std::shared_ptr<MSRExperimentClient> client;
    {
        std::lock_guard lock(parsedMutex_);
        if (!hasNewSnapshot_) return false;
        client = experimentClient_;
    }
    if (!client) return false;
    MSRError error;
    if (!client->activateLatestSnapshot(&error)) {
        // The snapshot stays waiting for the next try.
        monitor().logWithLevel(2, 29024, "Cannot activate snapshot. Error", {MSRLogContext(error)});
        return false;
    }
    updateCachedExperimentFlags();
    std::lock_guard lock(parsedMutex_);
    hasNewSnapshot_ = false;
    return true;
}

void MSRRemoteConfig::updateCachedExperimentFlags() {
    std::shared_ptr<MSRExperimentClient> client;
    {
        std::lock_guard lock(parsedMutex_);
        client = experimentClient_;
    }
    std::map<std::string, bool> flags;
    if (client) {
        if (std::optional<bool> flag = client->flagValue("regional_defaults_enabled")) {
            flags["regional_defaults_enabled"] = *flag;
        }
    }
    setCachedExperimentFlags(std::move(flags));
}
