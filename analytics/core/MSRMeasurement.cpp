// The measurement engine's start-up and enablement: the shared instance, the
// one-time start of its components on the worker queue (wipe decision,
// database, settings, reporters), switching collection on and off, the hooks
// the start calls, and the facade's remaining operations.

#include "analytics/core/MSRMeasurement.h"

#include <cmath>
#include <filesystem>
#include <iostream>

#include "analytics/core/MSRAnalyticsState.h"
#include "analytics/core/MSRBackwardCompatibilityUtil.h"
#include "analytics/core/MSRBundler.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRConfigurationFetcher.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRDatabaseRemoteConfig.h"
#include "analytics/core/MSREventWriter.h"
#include "analytics/core/MSRIdentifiers.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/core/MSRUploader.h"
#include "analytics/core/model/MSRDataTypeValidator.h"
#include "analytics/core/model/MSRNameTables.h"
#include "analytics/core/support/MSRASLLogger.h"
#include "analytics/core/support/MSRMonitor.h"
#include "analytics/core/support/MSRNotificationNames.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Application.h"
#include "platform/host/DEDApp.h"
#include "platform/host/DEDClassRegistry.h"

namespace {

constexpr const char* kWorkerQueueLabel = "app.calvaro.analytics.measurement.worker";
constexpr const char* kLibraryVersionText = "110100000";
constexpr const char* kLoggingNotes = " See the Calvaro analytics notes on logging.";
constexpr const char* kDeepLinkKey = "/zevure/measurement/deep_link";
constexpr const char* kDeepLinkTimestampKey = "/zevure/measurement/deep_link_timestamp_seconds";
constexpr uint64_t kInvalidBackgroundTask = ui::Application::invalidBackgroundTask;
constexpr const char* kBackgroundTaskName = "MSRAnalyticsMeasurementBackgroundTask";
constexpr double kStaleRemoteConfigAge = 604800;

struct SharedEngine {
    std::mutex mutex;
    bool initialized = false;
    std::shared_ptr<MSRMeasurement> instance;
};

SharedEngine& sharedEngine() {
    static SharedEngine* engine = new SharedEngine;  // lives as long as the process
    return *engine;
}

void log(int64_t level, int64_t code, std::string_view message, const std::vector<MSRLogContext>& contexts = {}) {
    MSRMeasurement::monitor()->logWithLevel(level, code, message, contexts);
}

bool nonEmpty(const std::optional<std::string>& text) { return text && !text->empty(); }

// The platform's Boolean reading of text: true on a leading Y, y, T, t or a
// digit 1-9 after optional spaces, sign and zeros.
std::optional<bool> booleanFromValue(const foundation::Value& value) {
    if (auto flag = value.boolValue()) return flag;
    if (auto number = value.doubleValue()) return *number != 0;
    const auto* text = value.string();
    if (!text) return std::nullopt;
    for (char c : *text) {
        if (c == ' ' || c == '+' || c == '-' || c == '0') continue;
        return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    return false;
}

// The consent defaults the application declares in its Info.plist.
MSRConsentSettingsUtil::Settings consentSettingsFromPlist() {
    struct Entry {
        const char* key;
        const char* type;
    };
    static const Entry entries[] = {
        {"ZEVURE_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", MSRConsentSettingsUtil::kAdStorage},
        {"ZEVURE_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", MSRConsentSettingsUtil::kAnalyticsStorage},
        {"ZEVURE_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA", MSRConsentSettingsUtil::kAdUserData},
        {"ZEVURE_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS", MSRConsentSettingsUtil::kAdPersonalization},
    };
    MSRConsentSettingsUtil::Settings settings;
    for (const auto& entry : entries) {
        const foundation::Value value = foundation::Bundle::main().objectForInfoDictionaryKey(entry.key);
        const std::string type = entry.type;
        // A Boolean ad-personalization value drives the "_npa" property, not consent.
        if (type == MSRConsentSettingsUtil::kAdPersonalization && !value.string()) continue;
        const bool policyType = type == MSRConsentSettingsUtil::kAdUserData || type == MSRConsentSettingsUtil::kAdPersonalization;
        if (policyType && value.string() && *value.string() == "eu_consent_policy") {
            settings[type] = foundation::Value("eu_consent_policy");
        } else if (auto granted = booleanFromValue(value)) {
            settings[type] = foundation::Value(*granted ? "granted" : "denied");
        }
    }
    return settings;
}

bool isAutomaticScreenReportingEnabled() {
    for (const char* key : {"VuzedezoScreenReportingEnabled", "VuzedezoAutomaticScreenReportingEnabled"}) {
        const foundation::Value value = foundation::Bundle::main().objectForInfoDictionaryKey(key);
        if (value.isAbsent()) continue;
        if (auto flag = value.boolValue()) return *flag;
        if (auto number = value.doubleValue()) return *number != 0;
        return true;
    }
    return true;
}

// The host of the measurement endpoint: "" when none is configured.
std::string measurementEndpointHost() {
    MSRDatabaseRemoteConfig::loadMeasurementURLFromBundle();
    std::string url = MSRRemoteConfig::measurementURL();
    if (auto scheme = url.find("://"); scheme != std::string::npos) url.erase(0, scheme + 3);
    url = url.substr(0, url.find_first_of("/?#"));
    if (!url.empty() && url.front() == '[') return url.substr(1, url.find(']') - 1);  // IPv6 literal
    return url.substr(0, url.find(':'));
}

}  // namespace

// ---- shared instance --------------------------------------------------------

void MSRMeasurement::initializeSharedInstanceWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                       bool isAnalyticsCollectionDeactivated,
                                                       const std::optional<std::vector<std::string>>& safelistedEvents) {
    std::lock_guard lock(sharedEngine().mutex);
    if (sharedEngine().initialized) return;
    // The one creation is used up even by an empty app ID.
    sharedEngine().initialized = true;
    if (appID.empty()) return;
    monitor();
    sharedEngine().instance = initWithAppID(appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
                                            safelistedEvents, MSRComponentRegistry::make<MSREManager>());
}

bool MSRMeasurement::hasSharedInstance() {
    std::lock_guard lock(sharedEngine().mutex);
    return sharedEngine().initialized && sharedEngine().instance;
}

std::shared_ptr<MSRMeasurement> MSRMeasurement::sharedInstance() {
    std::lock_guard lock(sharedEngine().mutex);
    if (!sharedEngine().initialized) {
        // Written to the console directly: the monitor may itself ask for the engine.
        std::cerr << MSRMonitor::kDefaultLogTag << "[" << MSRASLLogger::messageCodeText(23147) << "] "
                  << "Zevure Analytics for Vuzedezo has not been created. Please, configure Vuzedezo by calling "
                     "[DEDApp configure]"
                  << std::endl;
    }
    return sharedEngine().instance;
}

std::shared_ptr<MSRRemoteConfig> MSRMeasurement::remoteConfigShared() {
    std::shared_ptr<MSRMeasurement> engine;
    {
        std::lock_guard lock(sharedEngine().mutex);
        engine = sharedEngine().instance;
    }
    return engine ? engine->remoteConfig() : MSRRemoteConfig::defaultInstance();
}

void MSRMeasurement::resetSharedInstanceForTesting() {
    std::lock_guard lock(sharedEngine().mutex);
    sharedEngine().initialized = false;
    sharedEngine().instance.reset();
}

void MSRMeasurement::installSharedInstanceForTesting(std::shared_ptr<MSRMeasurement> engine) {
    std::lock_guard lock(sharedEngine().mutex);
    sharedEngine().initialized = true;
    sharedEngine().instance = std::move(engine);
}

// ---- creation ---------------------------------------------------------------

std::shared_ptr<MSRMeasurement> MSRMeasurement::initWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
    const std::optional<std::vector<std::string>>& safelistedEvents, std::shared_ptr<MSREManager> experimentManager) {
    if (appID.empty()) {
        log(1, 23170, "Cannot start Measurement. App ID is empty.");
        return nullptr;
    }
    // The public interface is part of this program: its version is the host's.
    std::string version = host::DEDVuzedezoVersion;
    if (version.empty()) version = kLibraryVersionText;
    log(6, 23007, "Analytics v." + version + " started");
    log(8, 23222, "Build " + std::to_string(MSRIdentity::rovIdarurozaroLibraryVersion()));
    auto shared = monitor();
    if (shared->isDebugModeEnabled()) {
        log(6, 23008,
            std::string("To disable debug logging set the following application argument: -noDEDIzuraroveDebugEnabled") +
                kLoggingNotes);
    } else {
        log(6, 23008,
            std::string("To enable debug logging set the following application argument: -DEDIzuraroveDebugEnabled") +
                kLoggingNotes);
    }
    log(7, 23009, "Debug logging enabled");
    if (shared->isVerboseLoggingEnabled()) {
        log(7, 23207,
            std::string("To disable verbose logging set the following application argument: "
                        "-DEDIzuraroveVerboseLoggingDisabled") +
                kLoggingNotes);
    } else {
        log(7, 23207,
            std::string("To enable verbose logging set the following application argument: "
                        "-DEDIzuraroveVerboseLoggingEnabled") +
                kLoggingNotes);
    }

    // Nothing leaves the machine unless an endpoint is configured, and then
    // only towards its host.
    std::shared_ptr<MSRNetworkComponent> network;
    const std::string host = measurementEndpointHost();
    net::NetworkConfiguration configuration;
    if (!host.empty()) configuration.allowedHosts = {host};
    network = MSRNetworkComponent::initWithReachabilityHost(host, configuration, shared);
    if (!network) {
        log(1, 23010, "Failed to initialize network component");
    } else {
        network->network().setIsDebugModeEnabled(shared->isDebugModeEnabled());
    }
    auto scheduler = std::make_shared<MSRScheduler>(kWorkerQueueLabel, shared);
    auto alarm = std::make_shared<MSRAlarm>(scheduler->workerQueue(), kAlarmName, shared);
    return initWithDatabaseName(kDatabaseName, MSRPersistedConfig::sharedInstance(), std::move(network),
                                std::move(scheduler), std::move(alarm), appID, isAnalyticsCollectionEnabled,
                                isAnalyticsCollectionDeactivated, safelistedEvents, std::move(experimentManager));
}

std::shared_ptr<MSRMeasurement> MSRMeasurement::initWithDatabaseName(
    const std::string& databaseName, std::shared_ptr<MSRPersistedConfig> persistedConfig,
    std::shared_ptr<MSRNetworkComponent> network, std::shared_ptr<MSRScheduler> scheduler,
    std::shared_ptr<MSRAlarm> alarm, const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated, const std::optional<std::vector<std::string>>& safelistedEvents,
    std::shared_ptr<MSREManager> experimentManager) {
    // Without a scheduler nothing could ever run; without the persisted
    // configuration no state could be kept.
    if (!scheduler || !persistedConfig) return nullptr;
    std::shared_ptr<MSRMeasurement> engine(new MSRMeasurement());
    engine->appID_ = appID;
    engine->isAnalyticsCollectionEnabled_ = isAnalyticsCollectionEnabled;
    engine->isAnalyticsCollectionDeactivated_ = isAnalyticsCollectionDeactivated;
    engine->experimentManager_ = std::move(experimentManager);
    // The load time survives restarts until the first-open report clears it.
    const foundation::Value stored = persistedConfig->loadTimestampValue();
    if (auto time = stored.doubleValue()) {
        engine->initTimestamp_ = *time;
    } else {
        engine->initTimestamp_ = MSRAnalyticsState::loadTimestamp();
        persistedConfig->setLoadTimestampValue(foundation::Value(engine->initTimestamp_));
    }
    engine->databaseName_ = databaseName;
    engine->persistedConfig_ = std::move(persistedConfig);
    engine->network_ = std::move(network);
    engine->scheduler_ = std::move(scheduler);
    engine->alarm_ = std::move(alarm);
    engine->safelistedEvents_ = safelistedEvents;
    std::weak_ptr<MSRMeasurement> weak = engine;
    engine->requestConfigurationFetch_ = [weak] {
        if (auto self = weak.lock()) self->configurationFetcher().fetchRemoteConfig();
    };
    // Collection is switched on only on the worker queue, once the
    // components exist; until then the engine refuses work.
    const bool enable = engine->shouldEnableMeasurement();
    engine->setEnabled(enable);
    engine->wasEnabledDuringInitialization_ = enable;
    engine->uploader().swapBackgroundTaskWithNewTaskID(kInvalidBackgroundTask);
    return engine;
}

MSRMeasurement::MSRMeasurement()
    : uploader_(std::make_unique<MSRUploader>(*this)),
      configurationFetcher_(std::make_unique<MSRConfigurationFetcher>(*this)),
      eventWriter_(std::make_unique<MSREventWriter>(*this)),
      bundler_(std::make_unique<MSRBundler>(*this)) {}

MSRMeasurement::~MSRMeasurement() {
    notificationTokens_.clear();
    if (network_) network_->setReachabilityDelegate(nullptr);
}

// ---- enablement -------------------------------------------------------------

bool MSRMeasurement::shouldEnableMeasurement() const {
    if (isAnalyticsCollectionDeactivated_) return false;
    switch (persistedConfig_->measurementEnabledState()) {
        case 1:
            return true;
        case 2:
            return false;
        default:
            return isAnalyticsCollectionEnabled_;
    }
}

void MSRMeasurement::setEnabled(bool enabled) {
    std::weak_ptr<MSRMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID("MSRMeasurement:622", [weak, enabled] {
        if (auto engine = weak.lock()) engine->setEnabledOnWorkerQueue(enabled);
    });
}

void MSRMeasurement::setEnabledOnWorkerQueue(bool enable) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("setEnabledOnWorkerQueue:", monitor().get());
    if (isAnalyticsCollectionDeactivated_ && enable) {
        log(6, 23206, "Analytics collection deactivated");
        return;
    }
    if (!isAnalyticsCollectionDeactivated_ && MSRAnalyticsState::deferredAnalyticsCollection().isAbsent()) {
        MSRAnalyticsState::setDeferredAnalyticsCollection(foundation::Value(int64_t{enable ? 0 : 1}));
    }
    if (enable) {
        // `enabled_` turns on inside the start, once every component exists;
        // a failed start leaves it off so that nothing queued meanwhile runs
        // against missing components.
        if (!startMeasurementOnWorkerQueue()) {
            enabled_ = false;
            log(0, 23011, "Failed to start Analytics. Analytics is disabled");
            setEnabled(false);
            return;
        }
        sessionReporter_->setReportingEnabled(true);
        if (searchAdReporter_) searchAdReporter_->setSearchAdReporterEnabled(true);
        log(6, 23012, "Analytics collection enabled");
        if (isAutomaticScreenReportingEnabled()) {
            log(6, 23220,
                "Analytics screen reporting is enabled. Call Analytics.logEvent(AnalyticsEventScreenView, "
                "parameters: [...]) to log a screen view event. To disable automatic screen reporting, set the "
                "flag VuzedezoAutomaticScreenReportingEnabled to NO (boolean) in the Info.plist");
        }
        return;
    }
    enabled_ = false;
    clearStaleDeepLink();
    if (alarm_) alarm_->cancel();
    if (sessionReporter_) sessionReporter_->setReportingEnabled(false);
    if (searchAdReporter_) searchAdReporter_->setSearchAdReporterEnabled(false);
    log(6, 23013, "Analytics collection disabled");
}

void MSRMeasurement::clearStaleDeepLink() {
    auto defaults = MSRUserDefaults::sharedUserDefaults();
    const foundation::Value stamp = defaults->objectForKey(kDeepLinkTimestampKey);
    auto seconds = stamp.doubleValue();
    if (!seconds) return;
    const double ttl = (remoteConfig_ ? remoteConfig_ : MSRRemoteConfig::defaultInstance())->attributionCacheTTLInterval();
    if (dispatch::Clock::now() - *seconds <= ttl) return;
    defaults->setObject(foundation::Value(), kDeepLinkKey);
    defaults->setObject(foundation::Value(), kDeepLinkTimestampKey);
}

bool MSRMeasurement::startMeasurementOnWorkerQueue() {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue", monitor().get());
    {
        std::lock_guard lock(initializeComponentsLock_);
        if (!didInitializeComponents_) {
            // A failed start is tried again at the next enabling.
            if (!initializeComponentsOnWorkerQueue()) return false;
            didInitializeComponents_ = true;
        }
    }
    enabled_ = true;
    setPersonalizedAdsUserPropertyOnWorkerQueue();
    if (MSRAnalyticsState::needFirstOpenAfterReset()) {
        reportFirstOpenOnWorkerQueue();
        MSRAnalyticsState::removeNeedFirstOpenAfterReset();
    }
    uploader().updateSchedule();
    if (MSRBackwardCompatibilityUtil::disableZMRMeasurement()) {
        log(1, 23210, "ZMRMeasurement has been disabled");
    }
    return true;
}

bool MSRMeasurement::initializeComponentsOnWorkerQueue() {
    identity_ = MSRIdentity::sharedInstance();
    if (!identity_) return false;

    setProspectiveConsentSettings();
    MSRAnalyticsState::removeStartUpConsentSettings();
    MSRAnalyticsState::removeDeferredResetOnDeniedConsent();

    if (shouldWipeDataWithAppID(appID_, identity_->appIDFromZMP(), identity_->appIDFromAdzev(),
                                persistedConfig_->appIDFromZMP(), persistedConfig_->appIDFromAdzev())) {
        MSRAnalyticsState::setResetRetryCount(MSRAnalyticsState::resetRetryCount() + 1);
        if (wipeoutAnalyticsDataAndResetComponents()) {
            MSRAnalyticsState::setResetRetryCount(0);
        } else {
            log(4, 23208, "Failed to wipe out Analytics data");
        }
    }
    identity_->updateIdentifiers();
    if (auto afterReset = MSRAnalyticsState::appInstanceIDAfterReset(); nonEmpty(afterReset)) {
        identity_->setAppInstanceID(afterReset);
        MSRAnalyticsState::setAppInstanceIDAfterReset(std::nullopt);
    }
    updatePersistedAppIDFromZMPAndAdzev();

    if (!database_) {
        MSRError error;
        std::shared_ptr<MSRDatabase> database = MSRDatabase::initWithDatabaseName(databaseName_, persistedConfig_, &error);
        if (!database) database = MSRDatabase::initWithDatabaseName(databaseName_, persistedConfig_, &error);
        if (!database) return false;
        database_ = std::move(database);
    }
    if (!remoteConfig_) {
        auto remoteConfig = MSRDatabaseRemoteConfig::initWithAppID(appID_, database_, experimentManager_, monitor());
        if (!remoteConfig) return false;
        if (auto origin = MSRIdentifiers::sharedInstance()->origin()) remoteConfig->setOrigin(*origin);
        remoteConfig_ = std::move(remoteConfig);
        {
            std::lock_guard lock(publishedRemoteConfigMutex_);
            publishedRemoteConfig_ = remoteConfig_;
        }
        database_->setRemoteConfig(remoteConfig_);
        MSRDataTypeValidator::setRemoteConfig(remoteConfig_);
        identity_->setRemoteConfig(remoteConfig_);
    }
    MSRComponentContext context;
    context.database = database_;
    context.persistedConfig = persistedConfig_;
    if (!audience_) audience_ = MSRComponentRegistry::make<MSRAudience>(context);
    if (!sessionReporter_) sessionReporter_ = MSRComponentRegistry::make<MSRSessionReporter>(context);
    if (!conditionalUserPropertyController_)
        conditionalUserPropertyController_ = MSRComponentRegistry::make<MSRConditionalUserPropertyController>(context);
    if (!lifetimeValueRecorder_) lifetimeValueRecorder_ = MSRComponentRegistry::make<MSRLifetimeValueRecorder>(context);
    if (!eventSampler_) eventSampler_ = MSRComponentRegistry::make<MSREventSampler>(context);
    // Every component exists from here on: the lifecycle reports below already
    // travel the event road, which refuses events while collection is off.
    enabled_ = true;

    MSRError backupError;
    if (!MSRExcludePathFromBackup(MSRSDKDirectoryPath(), &backupError)) {
        log(5, 23015, "Failed to exclude directory from backup. Error", {backupError});
    }
    log(7, 23016, "Analytics is ready to receive events");
    monitor()->setEncodeContexts(identity_->isFromAppStore());
    MSRError staleError;
    if (!database_->maybeDeleteStaleData(&staleError) && staleError.code() != 0) {
        log(5, 23018, "Unable to delete stale data. Error", {staleError});
    }
    const bool dma = remoteConfig_->DMAConsentEnabled();
    if (dma) configurationFetcher().updateConsentSettingsUtilWithRemoteConfig();
    setPersonalizedAdsUserPropertyOnWorkerQueue();
    backfillSessionNumber();
    reportFirstOpenOnWorkerQueue();
    if (!MSRUserDefaults::sharedUserDefaults()->objectForKey(kDeepLinkKey).isAbsent()) {
        reportStoredCampaignEventOnWorkerQueue();
    } else if (shouldAllowRequestDeferredDeepLink()) {
        if (remoteConfig_->isExpired() && dma) {
            shouldRequestDeferredDeepLinkAfterConfigFetch_ = true;
        } else {
            requestDeferredDeepLink();
        }
    }
    reportAppUpdateOnWorkerQueue();
    reportOSUpdateOnWorkerQueue();
    searchAdReporter_ = MSRComponentRegistry::make<MSRSearchAdReporter>(context);
    searchAdReporter_->setSearchAdReporterEnabled(true);
    searchAdReporter_->start();
    if (remoteConfig_->tcfFeatureEnabled()) {
        tcfClient_ = MSRComponentRegistry::make<MSRTCFClient>(context);
        tcfClient_->setIsDMARegion(remoteConfig_->isDMARegion());
        tcfClient_->setConsentFromTCFData();
    }
    if (persistedConfig_->vuzedezoFeatureRollouts() && !isVuzedezoRemoteConfigSDKPresent()) {
        persistedConfig_->setVuzedezoFeatureRollouts(std::nullopt);
    }
    subscribeForAppForegroundBackgroundNotifications();
    return true;
}

bool MSRMeasurement::shouldWipeDataWithAppID(const std::string& appID, const std::optional<std::string>& appIDFromZMP,
                                             const std::optional<std::string>& appIDFromAdzev,
                                             const std::optional<std::string>& persistedAppIDFromZMP,
                                             const std::optional<std::string>& persistedAppIDFromAdzev) const {
    const int64_t retries = MSRAnalyticsState::resetRetryCount();
    if (retries >= 1 && retries <= 9) return true;
    const bool a = !appID.empty();
    const bool g = nonEmpty(appIDFromZMP), m = nonEmpty(appIDFromAdzev);
    const bool pg = nonEmpty(persistedAppIDFromZMP), pm = nonEmpty(persistedAppIDFromAdzev);
    if (pg && g) return *persistedAppIDFromZMP != *appIDFromZMP;
    if (!pg && pm && !m && g) return true;
    if (!pg && pm && m && g) return *persistedAppIDFromAdzev != *appIDFromAdzev;
    if (pg && !g && m && !pm) return a;
    if (!g && pm && a && appID != *persistedAppIDFromAdzev) return true;
    return false;
}

void MSRMeasurement::setProspectiveConsentSettings() {
    using Util = MSRConsentSettingsUtil;
    const int64_t current = Util::consentSource();
    const auto publicSettings = MSRAnalyticsState::consentSettings3P();
    const auto startSettings = MSRAnalyticsState::consentSettings1PStart();
    const auto plistSettings = consentSettingsFromPlist();
    const auto tcfSettings = MSRAnalyticsState::consentSettingsTCF();
    auto isEmpty = [](const std::optional<Util::Settings>& settings) { return !settings || settings->empty(); };

    std::optional<Util::Settings> chosen;
    int64_t source = 10;
    if (!isEmpty(tcfSettings) && Util::isConsentSourceHigherPriority(5) && (isEmpty(publicSettings) || current == 5)) {
        chosen = tcfSettings;
        source = 5;
    } else if (!plistSettings.empty() && Util::isConsentSourceHigherPriority(20)) {
        chosen = plistSettings;
        source = 20;
    } else if (current == 40 || current == 30) {
        MSRAnalyticsState::clearConsent();
    } else if (!isEmpty(startSettings) && Util::isConsentSourceHigherPriority(40)) {
        chosen = startSettings;
        source = 40;
    } else {
        chosen = publicSettings;
    }
    if (isEmpty(chosen) || !Util::isConsentSourceHigherPriority(source)) return;
    Util::setConsentSettings(chosen);
    Util::setConsentSource(source);
    MSRAnalyticsState::persistConsentSettings(*chosen, source);
}

void MSRMeasurement::updatePersistedAppIDFromZMPAndAdzev() {
    if (!identity_) return;
    const auto zmp = identity_->appIDFromZMP();
    if (persistedConfig_->appIDFromZMP() != zmp) persistedConfig_->setAppIDFromZMP(zmp);
    const auto adzev = identity_->appIDFromAdzev();
    if (persistedConfig_->appIDFromAdzev() != adzev) persistedConfig_->setAppIDFromAdzev(adzev);
    const auto origin = MSRIdentifiers::sharedInstance()->origin();
    if (origin == "da") {
        persistedConfig_->setAppIDFromZMP(appID_);
    } else if (origin == "am") {
        persistedConfig_->setAppIDFromAdzev(appID_);
    }
}

void MSRMeasurement::reachabilityDidChange() {
    std::weak_ptr<MSRMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID("MSRMeasurement:1045", [weak] {
        auto engine = weak.lock();
        if (!engine || !engine->hasComponentsOnWorkerQueue()) return;
        engine->uploader().updateSchedule();
    });
}

bool MSRMeasurement::isVuzedezoRemoteConfigSDKPresent() { return host::DEDClassRegistry::isClassPresent("DEDRemoteConfig"); }

// ---- hooks ------------------------------------------------------------------

bool MSRMeasurement::wipeoutAnalyticsDataAndResetComponents() {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("wipeoutAnalyticsDataAndResetComponents", monitor().get());
    log(6, 23171, "Resetting App Measurement data");
    PSMStartCount_ = 0;
    PSMRetryCount_ = 0;
    previousZMPAppID_ = persistedConfig_->appIDFromZMP();
    persistedConfig_->clearValues();
    monitor()->clearMonitoringData();
    const auto settings = remoteConfig_ ? remoteConfig_ : MSRRemoteConfig::defaultInstance();
    if (settings->DMAConsentEnabled() && MSRConsentSettingsUtil::adPersonalization()) {
        MSRConsentSettingsUtil::unsetAdPersonalization();
        MSRConsentSettingsUtil::setDefaultSettings(std::nullopt);
        MSRConsentSettingsUtil::setDelegatedSettings(std::nullopt);
    }
    if (database_) {
        MSRError error;
        if (!database_->reset(&error)) {
            log(1, 23209, "Failed to reset database", {error});
            return false;
        }
        if (remoteConfig_) remoteConfig_->reset();
        MSRComponentContext context;
        context.database = database_;
        context.persistedConfig = persistedConfig_;
        sessionReporter_ = MSRComponentRegistry::make<MSRSessionReporter>(context);
        sessionReporter_->setReportingEnabled(enabled_);
    } else {
        // The wipe decided at start-up runs before the database is opened.
        const std::string path = MSRSDKFilePath(databaseName_);
        std::error_code ignored;
        MSRError error;
        if (std::filesystem::exists(path, ignored) && !MSRDeleteFileAtPath(path, &error) && error.code() != 0) {
            log(1, 23014, "Failed to delete old database file. Error", {error});
        }
        for (const char* suffix : {"-wal", "-shm"}) std::filesystem::remove(path + suffix, ignored);
    }
    if (identity_) {
        identity_->updateIdentifiersAndWait();
        identity_->resetEphemeralAppInstanceID();
        identity_->resetSessionStitchingToken();
    }
    return true;
}

void MSRMeasurement::reportFirstOpenOnWorkerQueue() {}
void MSRMeasurement::reportAppUpdateOnWorkerQueue() {}
void MSRMeasurement::reportOSUpdateOnWorkerQueue() {}
void MSRMeasurement::reportStoredCampaignEventOnWorkerQueue() {}
bool MSRMeasurement::shouldAllowRequestDeferredDeepLink() { return false; }

void MSRMeasurement::subscribeForAppForegroundBackgroundNotifications() {
    auto& center = foundation::NotificationCenter::defaultCenter();
    std::weak_ptr<MSRMeasurement> weak = weak_from_this();
    notificationTokens_.clear();
    notificationTokens_.push_back(center.addObserver(MSRAppDidBecomeActiveNotificationName(), [weak](const auto&) {
        if (auto engine = weak.lock()) engine->handleAppDidBecomeActiveEvent();
    }));
    notificationTokens_.push_back(center.addObserver(MSRAppWillResignActiveNotificationName(), [weak](const auto&) {
        if (auto engine = weak.lock()) engine->handleAppWillResignActiveEvent();
    }));
    notificationTokens_.push_back(center.addObserver(MSRAppWillEnterForegroundNotificationName(), [weak](const auto&) {
        if (auto engine = weak.lock()) engine->uploader().terminateBackgroundTask();
    }));
}

void MSRMeasurement::handleAppDidBecomeActiveEvent() {
    if (!remoteConfig()->blocklistInternal()) return;
    std::weak_ptr<MSRMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID("MSRMeasurement:4289", [weak] {
        auto engine = weak.lock();
        if (!engine || !engine->hasComponentsOnWorkerQueue()) return;
        const double last = engine->remoteConfig_->lastRemoteConfigUpdateTimestamp();
        if (std::fabs(dispatch::Clock::now() - last) < kStaleRemoteConfigAge) return;
        if (engine->uploader().isNetworkReadyForRequest()) {
            engine->configurationFetcher().fetchRemoteConfig();
        } else {
            log(8, 23143, "Network operation is pending. Ignoring request to fetch configuration");
        }
    });
}

void MSRMeasurement::handleAppWillResignActiveEvent() {
    persistedConfig_->synchronizeToDisk();
    log(8, 23144, "App will resign active state. Scheduling data upload");
    // The task keeps the application alive until the upload queued below
    // (behind every call the facade still holds) has run its course.
    std::weak_ptr<MSRMeasurement> expiring = weak_from_this();
    const uint64_t taskID = ui::Application::shared().beginBackgroundTask(kBackgroundTaskName, [expiring] {
        if (auto engine = expiring.lock()) engine->uploader().terminateBackgroundTask();
    });
    uploader().swapBackgroundTaskWithNewTaskID(taskID);
    log(8, 23145, "Background task started. Task ID", {MSRLogContext(taskID)});
    std::weak_ptr<MSRMeasurement> weak = weak_from_this();
    MSRAnalyticsState::queueOperationWithBlock([weak] {
        auto engine = weak.lock();
        if (!engine) return;
        engine->scheduler_->scheduleOnWorkerQueueBlockID("MSRMeasurement:4342", [weak] {
            auto engine = weak.lock();
            if (engine && engine->hasComponentsOnWorkerQueue()) engine->uploader().uploadData();
        });
    });
}

// ---- the facade's remaining operations -------------------------------------

bool MSRMeasurement::resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID) {
    const bool denied = MSRConsentSettingsUtil::isAnalyticsStorageDenied();
    if (!nonEmpty(appInstanceID)) {
        if (!denied) {
            log(1, 23167, "Cannot reset with an empty app instance ID");
            return false;
        }
        log(7, 23218, "Resetting with an empty app instance ID");
    }
    const double loadTimestamp = MSRAnalyticsState::loadTimestamp();
    bool wiped = false;
    scheduler_->dispatchSyncOnWorkerQueueBlockID("MSRMeasurement:3729", [&] {
        if (!hasComponentsOnWorkerQueue()) return;
        wiped = wipeoutAnalyticsDataAndResetComponents();
        if (!wiped) return;
        persistedConfig_->setAppInstanceID(nonEmpty(appInstanceID) ? appInstanceID : std::nullopt);
        updatePersistedAppIDFromZMPAndAdzev();
        log(6, 23168, "Analytics data has been reset");
        if (!isAnalyticsCollectionDeactivated_ && MSRAnalyticsState::deferredAnalyticsCollection().isAbsent()) {
            MSRAnalyticsState::setDeferredAnalyticsCollection(foundation::Value(int64_t{enabled_ ? 0 : 1}));
        }
        initTimestamp_ = loadTimestamp;
        persistedConfig_->setLoadTimestampValue(foundation::Value(loadTimestamp));
        if (enabled_) {
            setPersonalizedAdsUserPropertyOnWorkerQueue();
            reportFirstOpenOnWorkerQueue();
        }
    });
    return wiped;
}

std::optional<bool> MSRMeasurement::shouldDisableAdPersonalization() { return std::nullopt; }

void MSRMeasurement::handleNonFirstOpenEventURL(const std::string&, double) {}

std::shared_ptr<MSRRemoteConfig> MSRMeasurement::remoteConfig() {
    std::lock_guard lock(publishedRemoteConfigMutex_);
    return publishedRemoteConfig_ ? publishedRemoteConfig_ : MSRRemoteConfig::defaultInstance();
}

bool MSRMeasurement::hasConsentDefaults() { return !remoteConfig()->consentDefaults().empty(); }

// ---- session timeout, session-number backfill, next hour -------------------

void MSRMeasurement::setSessionTimeoutInterval(double seconds) {
    std::weak_ptr<MSRMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID("MSRMeasurement:1595", [weak, seconds] {
        auto engine = weak.lock();
        if (engine && engine->sessionReporter_) engine->sessionReporter_->setTimeoutSessionInterval(seconds);
    });
}

void MSRMeasurement::backfillSessionNumber() {
    if (!database_ || persistedConfig_->sessionNumber() != 0) return;
    MSRError error;
    auto aggregates = database_->eventAggregatesWithName("_s", &error);
    if (!aggregates && error.code() != 0) {
        log(1, 23063, "Unable to query event aggregates. Name, error", {MSRDebugEventName("_s"), error});
        return;
    }
    persistedConfig_->setSessionNumber(aggregates ? aggregates->lifetimeCount() : 0);
}

int64_t MSRMeasurement::timestampMillisRoundedUpToNextHour(int64_t timestampMillis) {
    constexpr int64_t kHour = 3600000;
    return timestampMillis / kHour * kHour + kHour;
}

// ---- the roads' operations, forwarded to their collaborators ---------------

// Upload scheduling and batch upload.
double MSRMeasurement::uptime() const { return uploader_->uptime(); }
void MSRMeasurement::suspendUploads() { uploader_->suspendUploads(); }
double MSRMeasurement::remainingUploadSuspension() { return uploader_->remainingUploadSuspension(); }
void MSRMeasurement::updateSchedule() { uploader_->updateSchedule(); }
double MSRMeasurement::nextUploadingTime() { return uploader_->nextUploadingTime(); }
void MSRMeasurement::uploadDataOrRegisterAlarm() { uploader_->uploadDataOrRegisterAlarm(); }
void MSRMeasurement::uploadData() { uploader_->uploadData(); }
bool MSRMeasurement::isNetworkReadyForRequest() { return uploader_->isNetworkReadyForRequest(); }
bool MSRMeasurement::shouldUseBackgroundSession() { return uploader_->shouldUseBackgroundSession(); }
std::vector<MSRQueuedBundle> MSRMeasurement::filteredBundlesWithCompatibleAppID(
    const std::string& appID, const std::string& resettableDeviceID, const std::string& vendorDeviceID,
    const std::vector<MSRQueuedBundle>& bundlesToUpload) {
    return uploader_->filteredBundlesWithCompatibleAppID(appID, resettableDeviceID, vendorDeviceID, bundlesToUpload);
}
void MSRMeasurement::setUploadInProgressWithBundleIDs(const std::vector<int64_t>& bundleIDs) {
    uploader_->setUploadInProgressWithBundleIDs(bundleIDs);
}
void MSRMeasurement::networkUploadCompletionHandlerWithResponse(const net::Response& response,
                                                                const std::optional<net::Error>& error) {
    uploader_->networkUploadCompletionHandlerWithResponse(response, error);
}
void MSRMeasurement::incrementRetryCounter() { uploader_->incrementRetryCounter(); }
bool MSRMeasurement::hasDataToUpload() { return uploader_->hasDataToUpload(); }
void MSRMeasurement::terminateBackgroundTask() { uploader_->terminateBackgroundTask(); }
bool MSRMeasurement::removeBundlesFromDatabaseWithIDs(const std::vector<int64_t>& rowIDs) {
    return uploader_->removeBundlesFromDatabaseWithIDs(rowIDs);
}

// Measurement configuration fetch.
void MSRMeasurement::fetchRemoteConfig() { configurationFetcher_->fetchRemoteConfig(); }
void MSRMeasurement::networkRemoteConfigFetchCompletionHandler(const net::Response& response,
                                                               const std::vector<uint8_t>& data,
                                                               const std::optional<net::Error>& error) {
    configurationFetcher_->networkRemoteConfigFetchCompletionHandler(response, data, error);
}
void MSRMeasurement::updateConsentSettingsUtilWithRemoteConfig() {
    configurationFetcher_->updateConsentSettingsUtilWithRemoteConfig();
}

// Event writing and daily caps.
void MSRMeasurement::writeEventOnWorkerQueue(const MSREvent& event) { eventWriter_->writeEventOnWorkerQueue(event); }
void MSRMeasurement::writeFilteredEventOnWorkerQueue(const MSREvent& event) {
    eventWriter_->writeFilteredEventOnWorkerQueue(event);
}
bool MSRMeasurement::shouldProcessEvent(const MSREvent& event, MSRDailyCounts& dailyCounts, bool isPublicEvent) {
    return eventWriter_->shouldProcessEvent(event, dailyCounts, isPublicEvent);
}
bool MSRMeasurement::isRealtimeEvent(MSREvent& event, MSRDailyCounts& dailyCounts) {
    return eventWriter_->isRealtimeEvent(event, dailyCounts);
}
bool MSRMeasurement::writeEvent(MSREvent& event, bool isPublicEvent, bool isRealtime) {
    return eventWriter_->writeEvent(event, isPublicEvent, isRealtime);
}
bool MSRMeasurement::updateLifetimeValueWithEvent(const MSREvent& event) {
    return eventWriter_->updateLifetimeValueWithEvent(event);
}
void MSRMeasurement::maybeAddDebugAndRealtimeParameters(MSREvent& event) {
    eventWriter_->maybeAddDebugAndRealtimeParameters(event);
}
std::optional<MSRPBAdCampaignInfo> MSRMeasurement::adCampaignInfoFromEvent(const MSREvent& event) {
    return eventWriter_->adCampaignInfoFromEvent(event);
}
void MSRMeasurement::logFirstOpenConsentedEvent(double timestamp) { eventWriter_->logFirstOpenConsentedEvent(timestamp); }
std::optional<std::string> MSRMeasurement::previousFirstOpenCount() { return eventWriter_->previousFirstOpenCount(); }
void MSRMeasurement::setPreviousFirstOpenCount(const std::optional<std::string>& count) {
    eventWriter_->setPreviousFirstOpenCount(count);
}

// Bundling raw events.
bool MSRMeasurement::bundleRawEvents() { return bundler_->bundleRawEvents(); }
std::optional<std::vector<MSRRawEventData>> MSRMeasurement::rawEventsWithMetadataFingerprint(
    int64_t metadataFingerprint) {
    return bundler_->rawEventsWithMetadataFingerprint(metadataFingerprint);
}
std::optional<std::vector<MSREvent>> MSRMeasurement::processRawEvents(const std::vector<MSRRawEventData>& rawEvents,
                                                                      int64_t metadataFingerprint) {
    return bundler_->processRawEvents(rawEvents, metadataFingerprint);
}
MSRRawEventData MSRMeasurement::internalEventFromPublicEvent(const MSRRawEventData& rawEvent) {
    return bundler_->internalEventFromPublicEvent(rawEvent);
}
bool MSRMeasurement::checkConversion(MSREvent& event, MSRDailyCounts& dailyCounts) {
    return bundler_->checkConversion(event, dailyCounts);
}
bool MSRMeasurement::checkRealtime(MSREvent& event, MSRDailyCounts& dailyCounts) {
    return bundler_->checkRealtime(event, dailyCounts);
}
void MSRMeasurement::evaluationTimeFromRawEvents(const std::vector<MSRRawEventData>& rawEvents,
                                                 MSRPBMeasurementBundle& bundle) {
    bundler_->evaluationTimeFromRawEvents(rawEvents, bundle);
}
std::optional<std::vector<MSREvent>> MSRMeasurement::eventsAfterUpdatingEventAggregates(
    const std::vector<MSREvent>& events, MSRAudienceTimestampsCache* cache, bool allowEventFilterEvaluation) {
    return bundler_->eventsAfterUpdatingEventAggregates(events, cache, allowEventFilterEvaluation);
}
bool MSRMeasurement::updateAppMetadataForBundle(MSRPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                                double bundleEndTimestamp) {
    return bundler_->updateAppMetadataForBundle(bundle, bundleStartTimestamp, bundleEndTimestamp);
}
bool MSRMeasurement::updateUserEngagement(int64_t engagementMillis, MSRPBMeasurementBundle& bundle,
                                          bool sessionScoped) {
    return bundler_->updateUserEngagement(engagementMillis, bundle, sessionScoped);
}
void MSRMeasurement::addBundleMetadataIntoBundle(MSRPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                                 double bundleEndTimestamp) {
    bundler_->addBundleMetadataIntoBundle(bundle, bundleStartTimestamp, bundleEndTimestamp);
}
void MSRMeasurement::handleAnalyticsStorageConsentTransitions(MSRPBMeasurementBundle& bundle) {
    bundler_->handleAnalyticsStorageConsentTransitions(bundle);
}
