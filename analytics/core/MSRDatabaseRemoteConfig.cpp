#include "analytics/core/MSRDatabaseRemoteConfig.h"

#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/model/MSRNameTables.h"
#include "analytics/model/MSRPEventEditing.h"
#include "analytics/support/MSRConstants.h"
#include "analytics/support/MSRError.h"
#include "analytics/support/MSRLogContext.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRScheduler.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/storage/MSRDatabase.h"
#include "platform/foundation/Bundle.h"

#include <map>
#include <mutex>
#include <charconv>
#include <sstream>

namespace {

std::optional<std::string> consentTypeName(int32_t type) {
    switch (type) {
    case 1: return "ad_storage";
    case 2: return "analytics_storage";
    case 3: return "ad_user_data";
    case 4: return "ad_personalization";
    default: return std::nullopt;
    }
}

std::optional<std::string> consentStatusName(int32_t status) {
    switch (status) {
    case 1: return "granted";
    case 2: return "denied";
    default: return std::nullopt;
    }
}

// type -> status of the valid entries of a default list; the rest is skipped.
std::map<std::string, std::string> consentStatuses(const std::vector<MSRPBConsentDefaultEntry>& entries) {
    std::map<std::string, std::string> out;
    for (const auto& entry : entries) {
        auto type = consentTypeName(MSRPBGetInt32(entry, MSRConsentDefaultSlot::kConsentType));
        auto status = consentStatusName(MSRPBGetInt32(entry, MSRConsentDefaultSlot::kStatus));
        if (type && status) out[*type] = *status;
    }
    return out;
}

bool hasRemoteConfigError(const MSRError& error) { return !error.domain().empty() || error.code() != 0; }

std::string settingValueText(const MSRSettingValue& value) {
    if (auto text = std::get_if<std::string>(&value)) return *text;
    if (auto integer = std::get_if<int64_t>(&value)) return std::to_string(*integer);
    // The shortest text that reads back as the same double: programs see
    // the setting at full precision.
    char buffer[64];
    auto [end, failure] = std::to_chars(buffer, buffer + sizeof(buffer), std::get<double>(value));
    if (failure != std::errc()) return {};
    return std::string(buffer, end);
}

}  // namespace

// ---- creation ----------------------------------------------------------------------

MSRDatabaseRemoteConfig::MSRDatabaseRemoteConfig(std::shared_ptr<MSRMonitor> monitor,
                                                 std::shared_ptr<MSRDatabase> database,
                                                 std::shared_ptr<MSREManager> experimentManager)
    : MSRRemoteConfig(std::move(monitor)), database_(database), experimentManager_(std::move(experimentManager)) {}

std::shared_ptr<MSRDatabaseRemoteConfig> MSRDatabaseRemoteConfig::initWithAppID(
    const std::string& appID, std::shared_ptr<MSRDatabase> database, std::shared_ptr<MSREManager> experimentManager,
    std::shared_ptr<MSRMonitor> monitor) {
    MSRMonitor& log = monitor ? *monitor : *MSRMonitor::shared();
    if (appID.empty()) {
        log.logWithLevel(1, 29000, "Cannot init remote configuration without valid Zevure App ID");
        return nullptr;
    }
    if (!database) {
        log.logWithLevel(1, 29001, "Cannot init remote configuration without valid database");
        return nullptr;
    }
    return initWithAppID(appID, std::move(database), std::nullopt, std::move(experimentManager), std::move(monitor));
}

std::shared_ptr<MSRDatabaseRemoteConfig> MSRDatabaseRemoteConfig::initWithAppID(
    const std::string& appID, std::shared_ptr<MSRDatabase> database,
    const std::optional<MSRPBMeasurementConfig>& measurementConfig, std::shared_ptr<MSREManager> experimentManager,
    std::shared_ptr<MSRMonitor> monitor) {
    loadMeasurementURLFromBundle();
    auto instance =
        std::make_shared<MSRDatabaseRemoteConfig>(std::move(monitor), std::move(database), std::move(experimentManager));
    instance->setAppID(appID);
    instance->linkExperimentsClient();
    // Settings from the last fetch apply from the first event on.
    if (measurementConfig) {
        instance->updateMeasurementConfig(*measurementConfig);
    } else {
        std::optional<MSRPBMeasurementConfig> stored = instance->measurementConfigFromDatabase();
        // Parsed, then kept: one message of it, not two.
        if (stored) instance->parseRemoteConfigFromMeasurementConfig(*stored);
        std::lock_guard lock(instance->protoMutex_);
        instance->remoteConfigProto_ = std::move(stored);
    }
    return instance;
}

void MSRDatabaseRemoteConfig::linkExperimentsClient() {
    if (!experimentManager_) return;
    std::shared_ptr<MSRExperimentClient> client = experimentManager_->registerSDKProperty(
        kMSRExperimentsMeasurementSDKName, MSRIdentity::rovIdarurozaroLibraryVersion(),
        std::weak_ptr<MSRExperimentClientDelegate>(shared_from_this()));
    if (!client) return;
    setExperimentClient(client);
    MSRError error;
    if (!client->activateLatestSnapshot(&error) && hasRemoteConfigError(error)) {
        monitorRef().logWithLevel(2, 29023, "Cannot activate stale snapshot. Error", {MSRLogContext(error)});
    }
    updateCachedExperimentFlags();
}

bool MSRDatabaseRemoteConfig::shouldFetchExperimentsForClient() {
    std::shared_ptr<MSRMeasurement> engine = MSRMeasurement::sharedInstance();
    return engine && engine->isEnabled();
}

void MSRDatabaseRemoteConfig::loadMeasurementURLFromBundle() {
    static std::once_flag once;
    std::call_once(once, [] {
        foundation::Value value = foundation::Bundle::main().objectForInfoDictionaryKey("CalvaroMeasurementURL");
        if (const std::string* text = value.string()) setBundleMeasurementURL(*text);
    });
}

void MSRDatabaseRemoteConfig::setOrigin(std::string origin) {
    std::lock_guard lock(protoMutex_);
    origin_ = std::move(origin);
}

void MSRDatabaseRemoteConfig::setAppVersionProvider(std::function<std::optional<std::string>()> provider) {
    std::lock_guard lock(protoMutex_);
    appVersionProvider_ = std::move(provider);
}

std::optional<MSRPBMeasurementConfig> MSRDatabaseRemoteConfig::remoteConfigProto() const {
    std::lock_guard lock(protoMutex_);
    return remoteConfigProto_;
}

// ---- storing a fetched configuration -----------------------------------------------

bool MSRDatabaseRemoteConfig::updateMeasurementConfig(const MSRPBMeasurementConfig& config) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig", &monitorRef());
    if (!config.messageInfo()) {
        monitorRef().logWithLevel(5, 29003, "Cannot set empty measurement config to database");
        return false;
    }
    const std::string appID = this->appID();
    std::string origin;
    {
        std::lock_guard lock(protoMutex_);
        origin = origin_;
    }
    if (origin == "am" && MSRPBGetString(config, MSRConfigSlot::kAdzevAppID).value_or("") != appID) {
        monitorRef().logWithLevel(2, 29022, "Cannot set measurement config when Adzev App ID does not match");
        return false;
    }
    if (MSRPBGetString(config, MSRConfigSlot::kAppID).value_or("") != appID) {
        monitorRef().logWithLevel(2, 29004, "Cannot set measurement config when Zevure App ID does not match");
        return false;
    }
    std::shared_ptr<MSRDatabase> database = database_.lock();
    MSRError error;
    if (!database || !database->updateRemoteConfig(config, &error)) {
        monitorRef().logWithLevel(1, 29005, "Cannot store config into the database", {MSRLogContext(error)});
        return false;
    }
    {
        std::lock_guard lock(protoMutex_);
        remoteConfigProto_ = config;
    }
    parseRemoteConfigFromMeasurementConfig(config);
    return true;
}

std::optional<MSRPBMeasurementConfig> MSRDatabaseRemoteConfig::measurementConfigFromDatabase() {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("measurementConfigFromDatabase", &monitorRef());
    std::shared_ptr<MSRDatabase> database = database_.lock();
    if (!database) return std::nullopt;
    MSRError error;
    std::optional<MSRPBMeasurementConfig> stored = database->queryMeasurementConfig(&error);
    if (!stored) {
        if (hasRemoteConfigError(error)) {
            monitorRef().logWithLevel(2, 29016, "Cannot retrieve configuration data from database. Error",
                                      {MSRLogContext(error)});
        } else {
            monitorRef().logWithLevel(7, 29017,
                                      "Configuration was not found in database. The configuration will be "
                                      "fetched from the network when necessary");
        }
    }
    return stored;
}

double MSRDatabaseRemoteConfig::lastRemoteConfigUpdateTimestamp() {
    std::shared_ptr<MSRDatabase> database = database_.lock();
    if (!database) return 0;
    MSRError error;
    std::optional<double> timestamp = database->lastRemoteConfigUpdateTimestamp(&error);
    if (!timestamp && hasRemoteConfigError(error)) {
        monitorRef().logWithLevel(4, 29009, "Failed to query last configuration update timestamp. Error",
                                  {MSRLogContext(error)});
    }
    return timestamp.value_or(0);
}

std::vector<int64_t> MSRDatabaseRemoteConfig::experimentIDs() {
    return experimentManager_ ? experimentManager_->activeExperimentIDs() : std::vector<int64_t>{};
}

void MSRDatabaseRemoteConfig::reset() {
    MSRRemoteConfig::reset();
    {
        std::lock_guard lock(protoMutex_);
        remoteConfigProto_.reset();
    }
    setStoredConfigurationFacts(std::nullopt, std::nullopt);
    if (experimentManager_) experimentManager_->reset();
}

void MSRDatabaseRemoteConfig::reloadFromDatabase() {
    std::optional<MSRPBMeasurementConfig> stored = measurementConfigFromDatabase();
    if (stored) {
        // Nothing of the refused configuration may outlive the parse.
        resetParsedConfiguration();
        parseRemoteConfigFromMeasurementConfig(*stored);
        std::lock_guard lock(protoMutex_);
        remoteConfigProto_ = std::move(stored);
    } else {
        {
            std::lock_guard lock(protoMutex_);
            remoteConfigProto_.reset();
        }
        MSRRemoteConfig::reset();
        setStoredConfigurationFacts(std::nullopt, std::nullopt);
    }
}

// ---- parsing -------------------------------------------------------------------------

void MSRDatabaseRemoteConfig::parseRemoteConfigFromMeasurementConfig(const MSRPBMeasurementConfig& config) {
    if (!config.messageInfo()) {
        monitorRef().logWithLevel(2, 29012, "Cannot parse empty measurement config. Using default values");
        return;
    }
    if (MSRPBGetString(config, MSRConfigSlot::kAppID).value_or("") != appID()) return;

    std::optional<int64_t> version;
    if (MSRPBHasField(config, MSRConfigSlot::kVersion))
        version = MSRPBGetInt64(config, MSRConfigSlot::kVersion);
    setStoredConfigurationFacts(version, MSRPBGetString(config, MSRConfigSlot::kUploadSubdomain));

    // The whole list replaces the cache at once, so that a getter never sees
    // half of it; a later duplicate wins.
    std::map<std::string, MSRSettingValue> settings;
    for (const auto& setting : MSRPBGetMessageArray<MSRPBSetting>(config, MSRConfigSlot::kSettings)) {
        std::optional<std::string> name = MSRPBGetString(setting, MSRSettingSlot::kName);
        std::optional<std::string> value = MSRPBGetString(setting, MSRSettingSlot::kValue);
        if (!name || name->empty() || !value) {
            monitorRef().logWithLevel(5, 29019, "Cannot cache empty configuration value");
            continue;
        }
        settings.insert_or_assign(*name, *value);
    }
    setServerSettings(settings);

    std::map<std::string, MSREventConfig> eventConfigs;
    const MSRNameMap& internalNames = MSRInternalEventNameMap();
    for (const auto& entry : MSRPBGetMessageArray<MSRPBEventConfig>(config, MSRConfigSlot::kEventConfigs)) {
        std::string name = MSRPBGetString(entry, MSREventConfigSlot::kName).value_or("");
        if (name.empty()) {
            monitorRef().logWithLevel(5, 29013, "Cannot cache event configuration with an empty configuration name");
            continue;
        }
        if (auto it = internalNames.find(name); it != internalNames.end()) name = it->second;
        MSREventConfig eventConfig;
        eventConfig.name = name;
        eventConfig.blocklisted = MSRPBGetBool(entry, MSREventConfigSlot::kBlocklisted);
        if (MSRPBHasField(entry, MSREventConfigSlot::kCustomConversion)) {
            eventConfig.customConversion = MSRPBGetBool(entry, MSREventConfigSlot::kCustomConversion);
        }
        if (MSRPBHasField(entry, MSREventConfigSlot::kSamplingRate)) {
            eventConfig.samplingRate = MSRPBGetInt32(entry, MSREventConfigSlot::kSamplingRate);
        }
        eventConfigs.insert_or_assign(name, std::move(eventConfig));
    }
    setEventConfigs(std::move(eventConfigs));

    if (version) {
        monitorRef().logWithLevel(7, 29014, "Successfully parsed a configuration. Version", {MSRLogContext(*version)});
    }

    // A program that fails to load is dropped on its own; the data controls
    // and consent settings after it still apply.
    loadEventEditingPrograms(config);

    std::vector<std::string> dataControls;
    for (const auto& control : MSRPBGetMessageArray<MSRPBDataControl>(config, MSRConfigSlot::kDataControls)) {
        if (auto text = MSRPBGetString(control, MSRDataControlSlot::kName)) dataControls.push_back(*text);
    }
    setDataControls(std::move(dataControls));

    if (auto consentConfig = MSRPBGetMessage<MSRPBConsentConfig>(config, MSRConfigSlot::kConsentConfig)) {
        ConsentConfiguration consent;
        consent.defaults = consentStatuses(
            MSRPBGetMessageArray<MSRPBConsentDefaultEntry>(*consentConfig, MSRConsentConfigSlot::kDefaults));
        for (const auto& entry : MSRPBGetMessageArray<MSRPBConsentDelegationEntry>(
                 *consentConfig, MSRConsentConfigSlot::kDelegations)) {
            auto type = consentTypeName(MSRPBGetInt32(entry, MSRConsentDelegationSlot::kConsentType));
            auto delegate = consentTypeName(MSRPBGetInt32(entry, MSRConsentDelegationSlot::kDelegateType));
            if (type && delegate) consent.delegations[*type] = *delegate;
        }
        for (const auto& entry : MSRPBGetMessageArray<MSRPBCorePlatformServiceEntry>(
                 *consentConfig, MSRConsentConfigSlot::kCorePlatformServices)) {
            if (auto text = MSRPBGetString(entry, MSRCorePlatformServiceSlot::kName))
                consent.corePlatformServices.insert(*text);
        }
        consent.isDMARegion = MSRPBGetBool(*consentConfig, MSRConsentConfigSlot::kIsDMARegion);
        consent.regionalDefaults = consentStatuses(MSRPBGetMessageArray<MSRPBConsentDefaultEntry>(
            *consentConfig, MSRConsentConfigSlot::kEnforcedDefaults));
        setConsentConfiguration(std::move(consent));
    }

    // These arrive as numbers, and numbers skip the range check.
    if (auto psm = MSRPBGetMessage<MSRPBPsmSetting>(config, MSRConfigSlot::kPsmSetting)) {
        const std::pair<uint32_t, const char*> fields[] = {
            {MSRPsmSettingSlot::kPrefixEmail, "measurement.psm_prefix_email"},
            {MSRPsmSettingSlot::kPrefixPhone, "measurement.psm_prefix_phone"},
            {MSRPsmSettingSlot::kSignInDelay, "measurement.psm_signin_delay"},
        };
        for (const auto& [field, key] : fields) {
            if (MSRPBHasField(*psm, field)) cacheValue(int64_t{MSRPBGetInt32(*psm, field)}, key);
        }
    }
}

bool MSRDatabaseRemoteConfig::loadEventEditingPrograms(const MSRPBMeasurementConfig& config) {
    const size_t programs = MSRPBMessageView(config).elementCount(MSRConfigSlot::kPrograms);
    if (programs == 0) return true;
    // A new editor from the registered interpreter; none without one.
    std::shared_ptr<MSRPEventEditing> editing = MSRComponentRegistry::make<MSRPEventEditing>();
    // Without an interpreter in this build the programs cannot run; the rest
    // of the configuration still applies.
    if (!editing) return true;

    std::weak_ptr<MSRDatabaseRemoteConfig> weakSelf = weak_from_this();
    editing->setModuleCreator(
        [weakSelf]() -> std::shared_ptr<MSRPModule> {
            return std::make_shared<MSRPKeyValueStore>("internal.remoteConfig",
                                                       [weakSelf](const std::string& key) -> std::optional<std::string> {
                                                           auto self = weakSelf.lock();
                                                           return self ? self->settingText(key) : std::nullopt;
                                                       });
        },
        "internal.remoteConfig");
    editing->setModuleCreator(
        [weakSelf]() -> std::shared_ptr<MSRPModule> {
            return std::make_shared<MSRPObjectProvider>("internal.appMetadata", [weakSelf]() {
                auto self = weakSelf.lock();
                return self ? self->appMetadata() : foundation::Value::Dictionary{};
            });
        },
        "internal.appMetadata");
    editing->setModuleCreator(
        []() -> std::shared_ptr<MSRPModule> {
            return std::make_shared<MSRPMessageLogger>(std::make_shared<MSRPicoLogger>());
        },
        "internal.logger");

    // The first program is loaded where it is: a copy of it would cost as
    // much as the configuration's message again.
    MSRError error;
    bool loaded = false;
    MSRPBMessageView(config).forEachElement(MSRConfigSlot::kPrograms, [&](MSRPBMessageView first) {
        loaded = editing->loadProgramInPlace(first, &error);
        return false;
    });
    if (!loaded) {
        std::vector<MSRLogContext> contexts{MSRLogContext(error)};
        if (std::string reason = editing->failureReason(); !reason.empty()) contexts.emplace_back(reason);
        monitorRef().logWithLevel(1, 29026, "Failed to initiate event editing instance", contexts);
        setEventEditing(nullptr);
        return false;
    }
    monitorRef().logWithLevel(7, 29027, "Loading Event Modification and Creation programs",
                              {MSRLogContext(static_cast<int64_t>(programs))});
    setEventEditing(std::move(editing));
    return true;
}

std::optional<std::string> MSRDatabaseRemoteConfig::settingText(const std::string& name) const {
    std::optional<MSRSettingValue> value = cachedValueForKey(name);
    if (!value) return std::nullopt;
    return settingValueText(*value);
}

foundation::Value::Dictionary MSRDatabaseRemoteConfig::appMetadata() const {
    foundation::Value::Dictionary metadata;
    metadata["platform"] = "ios";
    metadata["package_name"] = foundation::Bundle::main().bundleIdentifier().value_or("");
    metadata["zmp_version"] = static_cast<int64_t>(kMSRLibraryVersion);
    std::function<std::optional<std::string>()> provider;
    {
        std::lock_guard lock(protoMutex_);
        provider = appVersionProvider_;
    }
    if (provider) {
        if (auto version = provider()) metadata["app_version"] = *version;
    }
    return metadata;
}
