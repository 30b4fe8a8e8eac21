#include "analytics/core/MSRDatabaseRemoteConfig.h"

#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/core/MSRStoredConfigurationPrograms.h"
#include "analytics/model/MSRNameTables.h"
#include "analytics/model/MSRPEventEditing.h"
#include "analytics/support/MSRConstants.h"
#include "analytics/support/MSRError.h"
#include "analytics/support/MSRLogContext.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRScheduler.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessageView.h"
#include "analytics/messages/MSRPBWireCount.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRStoredBounds.h"
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
std::map<std::string, std::string> consentStatuses(MSRPBMessageView consentConfig, uint32_t list) {
    std::map<std::string, std::string> out;
    consentConfig.forEachElement(list, [&](MSRPBMessageView entry) {
        auto type = consentTypeName(entry.int32(MSRConsentDefaultSlot::kConsentType));
        auto status = consentStatusName(entry.int32(MSRConsentDefaultSlot::kStatus));
        if (type && status) out[*type] = *status;
        return true;
    });
    return out;
}

// The lists of a stored configuration stay encoded when it is read back and
// are read an element at a time: none of their elements is built beside
// another.
constexpr uint32_t kDatabaseRemoteConfigListsKeptEncoded[] = {
    MSRConfigSlot::kSettings, MSRConfigSlot::kEventConfigs, MSRConfigSlot::kAudiences,
    MSRConfigSlot::kPrograms, MSRConfigSlot::kDataControls,
};

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
        instance->applyStoredConfiguration(ProgramLoadRoad::kStart);
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
    // Encoded once: what is stored is what the parse reads the program of.
    std::vector<uint8_t> encoded = config.protoBuffer().value_or(std::vector<uint8_t>{});
    // The programs stored so far stay stored if the new one fails its load.
    std::string storedPrograms;
    if (database && MSRPBMessageView(config).elementCount(MSRConfigSlot::kPrograms) > 0) {
        if (std::optional<std::vector<uint8_t>> stored = database->queryMeasurementConfigData(nullptr))
            storedPrograms = MSRStoredConfigurationPrograms::programFields(*stored).value_or("");
    }
    if (!database || !database->updateRemoteConfigData(encoded, &error)) {
        monitorRef().logWithLevel(1, 29005, "Cannot store config into the database", {MSRLogContext(error)});
        return false;
    }
    if (parse(config, encoded, ProgramLoadRoad::kArrival) == ProgramLoadOutcome::kFailed) {
        std::optional<std::vector<uint8_t>> kept =
            MSRStoredConfigurationPrograms::withProgramFields(encoded, storedPrograms);
        if (!kept || !database->updateRemoteConfigData(std::move(*kept), &error)) {
            monitorRef().logWithLevel(1, 29005, "Cannot store config into the database", {MSRLogContext(error)});
            return false;
        }
    }
    return true;
}

std::optional<MSRPBMeasurementConfig> MSRDatabaseRemoteConfig::measurementConfigFromDatabase() {
    std::vector<uint8_t> encoded;
    return readStoredConfiguration(encoded);
}

std::optional<MSRPBMeasurementConfig> MSRDatabaseRemoteConfig::readStoredConfiguration(std::vector<uint8_t>& encoded) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("measurementConfigFromDatabase", &monitorRef());
    std::shared_ptr<MSRDatabase> database = database_.lock();
    if (!database) return std::nullopt;
    MSRError error;
    int64_t lengthPastBound = 0;
    std::optional<std::vector<uint8_t>> stored = database->queryMeasurementConfigData(&error, &lengthPastBound);
    // What the engine never stores is not read at all: another program, a
    // restored backup or a disk fault put it there.
    if (lengthPastBound > 0) {
        dropStoredConfiguration(
            *database, 29031,
            "Stored configuration is larger than a stored configuration may be. It is dropped and the defaults "
            "apply. Bytes, max bytes",
            {MSRLogContext(lengthPastBound), MSRLogContext(static_cast<int64_t>(MSRStoredMost::kConfigurationBytes))});
        return std::nullopt;
    }
    if (!stored) {
        if (hasRemoteConfigError(error)) {
            monitorRef().logWithLevel(2, 29016, "Cannot retrieve configuration data from database. Error",
                                      {MSRLogContext(error)});
            dropUnusableStoredConfiguration(*database);
        } else if (database->hasRemoteConfigValidators()) {
            // Validators without the configuration they name: the database
            // was begun afresh, or a kill came between a drop's two writes.
            dropUnusableStoredConfiguration(*database);
        } else {
            monitorRef().logWithLevel(7, 29017,
                                      "Configuration was not found in database. The configuration will be "
                                      "fetched from the network when necessary");
        }
        return std::nullopt;
    }
    // A build before the bounds stored what an arriving configuration may
    // no longer hold: it is counted before any of it is built, and dropped,
    // so that it costs nothing at the next start and the next upload run
    // fetches the server's configuration again.
    if (std::optional<MSRPBWireRefusal> refusal = MSRPBWireRefusalOf(*stored, MSRPBMessageID::MeasurementConfig)) {
        dropStoredConfiguration(
            *database, 29028,
            "Stored configuration holds more than a configuration may. It is dropped and the defaults apply. Field, "
            "count, max count",
            {MSRLogContext(refusal->fieldPath), MSRLogContext(static_cast<int64_t>(refusal->count)),
             MSRLogContext(static_cast<int64_t>(refusal->bound))});
        return std::nullopt;
    }
    std::optional<NANOMessageBase> decoded = NANOMessageBase::initWithBufferKeepingEncoded(
        MSRPBMeasurementConfig::type(), *stored, kDatabaseRemoteConfigListsKeptEncoded);
    if (!decoded) {
        monitorRef().logWithLevel(2, 29016, "Cannot retrieve configuration data from database. Error",
                                  {MSRLogContext(MSRError::msr_errorWithCode(2, "Remote config data is corrupted"))});
        dropUnusableStoredConfiguration(*database);
        return std::nullopt;
    }
    encoded = std::move(*stored);
    return MSRPBMeasurementConfig(std::move(*decoded));
}

// Every stored configuration that is dropped goes this one way, after the
// line that says why. Kept, an unusable configuration would keep its
// validators, to which the server answers 304 for as long as its own
// configuration stays the same, and its fetch time, which holds the next
// fetch back: the engine would run on the defaults all that while without a
// word.
void MSRDatabaseRemoteConfig::dropStoredConfiguration(MSRDatabase& database, int64_t code, std::string_view text,
                                                      const std::vector<MSRLogContext>& contexts) {
    monitorRef().logWithLevel(1, code, text, contexts);
    dropUnusableStoredConfiguration(database);
}

void MSRDatabaseRemoteConfig::dropUnusableStoredConfiguration(MSRDatabase& database) {
    MSRError error;
    if (!database.deleteRemoteConfig(&error)) {
        monitorRef().logWithLevel(1, 29029, "Cannot delete the stored configuration. Error", {MSRLogContext(error)});
    }
    monitorRef().logWithLevel(3, kUnusableStoredConfigurationCode,
                              "Stored configuration cannot be used. The defaults apply until the server's "
                              "configuration is fetched again");
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
    setStoredConfigurationFacts(std::nullopt, std::nullopt);
    if (experimentManager_) experimentManager_->reset();
}

void MSRDatabaseRemoteConfig::reloadFromDatabase() { applyStoredConfiguration(ProgramLoadRoad::kReload); }

void MSRDatabaseRemoteConfig::applyStoredConfiguration(ProgramLoadRoad road) {
    std::vector<uint8_t> encoded;
    std::optional<MSRPBMeasurementConfig> stored = readStoredConfiguration(encoded);
    if (road != ProgramLoadRoad::kReload) {
        if (stored) parse(*stored, encoded, road);
        return;
    }
    if (stored) {
        // Nothing of the refused configuration may outlive the parse.
        resetParsedConfiguration();
        parse(*stored, encoded, road);
    } else {
        MSRRemoteConfig::reset();
        setStoredConfigurationFacts(std::nullopt, std::nullopt);
    }
}

// ---- parsing -------------------------------------------------------------------------

void MSRDatabaseRemoteConfig::parseRemoteConfigFromMeasurementConfig(const MSRPBMeasurementConfig& config) {
    parse(config, {}, ProgramLoadRoad::kArrival);
}

// Every list is read an element at a time, in place: nothing of the
// message is copied, and a list held encoded builds one element at a time.
MSRDatabaseRemoteConfig::ProgramLoadOutcome MSRDatabaseRemoteConfig::parse(const MSRPBMeasurementConfig& config,
                                                                           std::span<const uint8_t> encoded,
                                                                           ProgramLoadRoad road) {
    if (!config.messageInfo()) {
        monitorRef().logWithLevel(2, 29012, "Cannot parse empty measurement config. Using default values");
        return ProgramLoadOutcome::kNone;
    }
    if (MSRPBGetString(config, MSRConfigSlot::kAppID).value_or("") != appID()) return ProgramLoadOutcome::kNone;
    const MSRPBMessageView view(config);

    std::optional<int64_t> version;
    if (MSRPBHasField(config, MSRConfigSlot::kVersion))
        version = MSRPBGetInt64(config, MSRConfigSlot::kVersion);
    setStoredConfigurationFacts(version, MSRPBGetString(config, MSRConfigSlot::kUploadSubdomain));

    // The whole list replaces the cache at once, so that a getter never sees
    // half of it; a later duplicate wins.
    std::map<std::string, MSRSettingValue> settings;
    view.forEachElement(MSRConfigSlot::kSettings, [&](MSRPBMessageView setting) {
        std::optional<std::string_view> name = setting.text(MSRSettingSlot::kName);
        std::optional<std::string_view> value = setting.text(MSRSettingSlot::kValue);
        if (!name || name->empty() || !value) {
            monitorRef().logWithLevel(5, 29019, "Cannot cache empty configuration value");
            return true;
        }
        settings.insert_or_assign(std::string(*name), std::string(*value));
        return true;
    });
    setServerSettings(settings);

    std::map<std::string, MSREventConfig> eventConfigs;
    const MSRNameMap& internalNames = MSRInternalEventNameMap();
    view.forEachElement(MSRConfigSlot::kEventConfigs, [&](MSRPBMessageView entry) {
        std::string name(entry.text(MSREventConfigSlot::kName).value_or(""));
        if (name.empty()) {
            monitorRef().logWithLevel(5, 29013, "Cannot cache event configuration with an empty configuration name");
            return true;
        }
        if (auto it = internalNames.find(name); it != internalNames.end()) name = it->second;
        MSREventConfig eventConfig;
        eventConfig.name = name;
        eventConfig.blocklisted = entry.boolean(MSREventConfigSlot::kBlocklisted);
        if (entry.hasField(MSREventConfigSlot::kCustomConversion)) {
            eventConfig.customConversion = entry.boolean(MSREventConfigSlot::kCustomConversion);
        }
        if (entry.hasField(MSREventConfigSlot::kSamplingRate)) {
            eventConfig.samplingRate = entry.int32(MSREventConfigSlot::kSamplingRate);
        }
        eventConfigs.insert_or_assign(name, std::move(eventConfig));
        return true;
    });
    setEventConfigs(std::move(eventConfigs));

    if (version) {
        monitorRef().logWithLevel(7, 29014, "Successfully parsed a configuration. Version", {MSRLogContext(*version)});
    }

    // A program that fails to load is refused on its own (what it leaves
    // running is the road's); the data controls and consent settings after
    // it still apply.
    const ProgramLoadOutcome program = loadEventEditingPrograms(config, encoded, road);

    std::vector<std::string> dataControls;
    view.forEachElement(MSRConfigSlot::kDataControls, [&](MSRPBMessageView control) {
        if (auto text = control.text(MSRDataControlSlot::kName)) dataControls.emplace_back(*text);
        return true;
    });
    setDataControls(std::move(dataControls));

    if (const MSRPBMessageView consentConfig = view.message(MSRConfigSlot::kConsentConfig); !consentConfig.isEmpty()) {
        ConsentConfiguration consent;
        consent.defaults = consentStatuses(consentConfig, MSRConsentConfigSlot::kDefaults);
        consentConfig.forEachElement(MSRConsentConfigSlot::kDelegations, [&](MSRPBMessageView entry) {
            auto type = consentTypeName(entry.int32(MSRConsentDelegationSlot::kConsentType));
            auto delegate = consentTypeName(entry.int32(MSRConsentDelegationSlot::kDelegateType));
            if (type && delegate) consent.delegations[*type] = *delegate;
            return true;
        });
        consentConfig.forEachElement(MSRConsentConfigSlot::kCorePlatformServices, [&](MSRPBMessageView entry) {
            if (auto text = entry.text(MSRCorePlatformServiceSlot::kName)) consent.corePlatformServices.emplace(*text);
            return true;
        });
        consent.isDMARegion = consentConfig.boolean(MSRConsentConfigSlot::kIsDMARegion);
        consent.regionalDefaults = consentStatuses(consentConfig, MSRConsentConfigSlot::kEnforcedDefaults);
        setConsentConfiguration(std::move(consent));
    }

    // These arrive as numbers, and numbers skip the range check.
    if (const MSRPBMessageView psm = view.message(MSRConfigSlot::kPsmSetting); !psm.isEmpty()) {
        const std::pair<uint32_t, const char*> fields[] = {
            {MSRPsmSettingSlot::kPrefixEmail, "measurement.psm_prefix_email"},
            {MSRPsmSettingSlot::kPrefixPhone, "measurement.psm_prefix_phone"},
            {MSRPsmSettingSlot::kSignInDelay, "measurement.psm_signin_delay"},
        };
        for (const auto& [field, key] : fields) {
            if (psm.hasField(field)) cacheValue(int64_t{psm.int32(field)}, key);
        }
    }
    return program;
}

MSRDatabaseRemoteConfig::ProgramLoadOutcome MSRDatabaseRemoteConfig::loadEventEditingPrograms(
    const MSRPBMeasurementConfig& config, std::span<const uint8_t> encoded, ProgramLoadRoad road) {
    const size_t programs = MSRPBMessageView(config).elementCount(MSRConfigSlot::kPrograms);
    if (programs == 0) return ProgramLoadOutcome::kNone;
    const std::optional<uint64_t> digest = MSRStoredConfigurationPrograms::firstProgramDigest(encoded);
    // The stored program read again is the one at work: it goes on as it is.
    if (road == ProgramLoadRoad::kReload && digest && digest == workingProgramDigest_ && eventEditing())
        return ProgramLoadOutcome::kKept;
    // A new editor from the registered interpreter; none without one.
    std::shared_ptr<MSRPEventEditing> editing = MSRComponentRegistry::make<MSRPEventEditing>();
    // Without an interpreter in this build the programs cannot run; the rest
    // of the configuration still applies.
    if (!editing) return ProgramLoadOutcome::kNone;

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
        // An arriving program that fails is refused: the one at work goes on
        // (and its configuration's programs stay stored). Read back from
        // storage, a failing program leaves none at work: the one there may
        // belong to a configuration that was taken back.
        if (road != ProgramLoadRoad::kArrival) {
            setEventEditing(nullptr);
            workingProgramDigest_.reset();
        }
        return ProgramLoadOutcome::kFailed;
    }
    monitorRef().logWithLevel(7, 29027, "Loading Event Modification and Creation programs",
                              {MSRLogContext(static_cast<int64_t>(programs))});
    setEventEditing(std::move(editing));
    workingProgramDigest_ = digest;
    return ProgramLoadOutcome::kLoaded;
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
