// The engine's start-up and wipe (see MSRStartUpAndWipe.h).

#include "analytics/core/MSRStartUpAndWipe.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>

#include "analytics/core/MSRAnalyticsState.h"
#include "analytics/core/MSRBackwardCompatibilityUtil.h"
#include "analytics/core/MSRBundler.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRAppEnvironment.h"
#include "analytics/core/MSRConfigurationFetcher.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRDatabaseRemoteConfig.h"
#include "analytics/core/MSREnvironmentInfo.h"
#include "analytics/core/MSREventWriter.h"
#include "analytics/core/MSRIdentifiers.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/core/MSRMeasurementLog.h"
#include "analytics/core/MSRScreenViewReporterInterface.h"
#include "analytics/core/MSRTCFClient.h"
#include "analytics/core/MSRUploader.h"
#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/model/MSRNameTables.h"
#include "analytics/support/MSRASLLogger.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRNotificationNames.h"
#include "analytics/support/MSRStoredCount.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "platform/foundation/DataLoss.h"
#include "platform/dispatch/Clock.h"
#include "platform/store/AdNetwork.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Application.h"
#include "platform/host/DEDApp.h"
#include "platform/host/DEDClassRegistry.h"

namespace {

constexpr const char* kDeepLinkKey = "/zevure/measurement/deep_link";
constexpr const char* kDeepLinkTimestampKey = "/zevure/measurement/deep_link_timestamp_seconds";
constexpr const char* kDeepLinkReportedKey = MSRDeepLinks::kDeepLinkReportedKey;
constexpr const char* kBackgroundTaskName = "MSRAnalyticsMeasurementBackgroundTask";
constexpr double kStaleRemoteConfigAge = 604800;

using MSRMeasurementLog::log;

bool nonEmptyAtStartUp(const std::optional<std::string>& text) { return text && !text->empty(); }

}  // namespace


bool MSRStartUpAndWipe::shouldEnableMeasurement() const {
    if (engine_.isAnalyticsCollectionDeactivated_) return false;
    switch (engine_.persistedConfig_->measurementEnabledState()) {
        case 1:
            return true;
        case 2:
            return false;
        default:
            return engine_.isAnalyticsCollectionEnabled_;
    }
}

void MSRStartUpAndWipe::setEnabledOnWorkerQueue(bool enable) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("setEnabledOnWorkerQueue:", engine_.monitor().get());
    if (engine_.isAnalyticsCollectionDeactivated_ && enable) {
        log(6, 23206, "Analytics collection deactivated");
        return;
    }
    if (!engine_.isAnalyticsCollectionDeactivated_ && MSRAnalyticsState::deferredAnalyticsCollection().isAbsent()) {
        MSRAnalyticsState::setDeferredAnalyticsCollection(foundation::Value(int64_t{enable ? 0 : 1}));
    }
    if (enable) {
        // `engine_.enabled_` turns on inside the start, once every component exists;
        // a failed start leaves it off so that nothing queued meanwhile runs
        // against missing components.
        if (!startMeasurementOnWorkerQueue()) {
            engine_.enabled_ = false;
            log(0, 23011, "Failed to start Analytics. Analytics is disabled");
            // Every event of the run is refused from here on.
            foundation::DataLoss::note("analytics events (the engine could not start on its storage)");
            engine_.setEnabled(false);
            return;
        }
        engine_.sessionReporter_->setReportingEnabled(true);
        if (engine_.searchAdReporter_) engine_.searchAdReporter_->setSearchAdReporterEnabled(true);
        log(6, 23012, "Analytics collection enabled");
        if (MSRIsScreenReportingEnabled()) {
            log(6, 23220,
                "Analytics screen reporting is enabled. Call Analytics.logEvent(AnalyticsEventScreenView, "
                "parameters: [...]) to log a screen view event. To disable automatic screen reporting, set the "
                "flag VuzedezoAutomaticScreenReportingEnabled to NO (boolean) in the Info.plist");
        }
        return;
    }
    engine_.enabled_ = false;
    clearStaleDeepLink();
    if (engine_.alarm_) engine_.alarm_->cancel();
    if (engine_.sessionReporter_) engine_.sessionReporter_->setReportingEnabled(false);
    if (engine_.searchAdReporter_) engine_.searchAdReporter_->setSearchAdReporterEnabled(false);
    log(6, 23013, "Analytics collection disabled");
}

void MSRStartUpAndWipe::clearStaleDeepLink() {
    auto defaults = MSRUserDefaults::sharedUserDefaults();
    const foundation::Value stamp = defaults->objectForKey(kDeepLinkTimestampKey);
    auto seconds = stamp.doubleValue();
    if (!seconds) return;
    const double ttl = (engine_.remoteConfig_ ? engine_.remoteConfig_ : MSRRemoteConfig::defaultInstance())->attributionCacheTTLInterval();
    if (dispatch::Clock::now() - *seconds <= ttl) return;
    defaults->setObject(foundation::Value(), kDeepLinkKey);
    defaults->setObject(foundation::Value(), kDeepLinkTimestampKey);
    defaults->setObject(foundation::Value(), kDeepLinkReportedKey);
}

bool MSRStartUpAndWipe::startMeasurementOnWorkerQueue() {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue", engine_.monitor().get());
    {
        std::lock_guard lock(engine_.initializeComponentsLock_);
        if (!engine_.didInitializeComponents_) {
            // A failed start is tried again at the next enabling.
            if (!initializeComponentsOnWorkerQueue()) return false;
            engine_.didInitializeComponents_ = true;
        }
    }
    engine_.enabled_ = true;
    engine_.setPersonalizedAdsUserPropertyOnWorkerQueue();
    if (MSRAnalyticsState::needFirstOpenAfterReset()) {
        reportFirstOpenOnWorkerQueue();
        MSRAnalyticsState::removeNeedFirstOpenAfterReset();
    }
    engine_.uploader().updateSchedule();
    if (MSRBackwardCompatibilityUtil::disableZMRMeasurement()) {
        log(1, 23210, "ZMRMeasurement has been disabled");
    }
    return true;
}

bool MSRStartUpAndWipe::initializeComponentsOnWorkerQueue() {
    engine_.identity_ = MSRIdentity::sharedInstance();
    if (!engine_.identity_) return false;

    setProspectiveConsentSettings();
    MSRAnalyticsState::removeStartUpConsentSettings();
    MSRAnalyticsState::removeDeferredResetOnDeniedConsent();

    if (shouldWipeDataWithAppID(engine_.appID_, engine_.identity_->appIDFromZMP(), engine_.identity_->appIDFromAdzev(),
                                engine_.persistedConfig_->appIDFromZMP(), engine_.persistedConfig_->appIDFromAdzev())) {
        MSRAnalyticsState::setResetRetryCount(MSRNextCount(MSRAnalyticsState::resetRetryCount()));
        if (wipeoutAnalyticsDataAndResetComponents()) {
            MSRAnalyticsState::setResetRetryCount(0);
        } else {
            log(4, 23208, "Failed to wipe out Analytics data");
            // What the wipe left (the database, a salvage's mark and copies)
            // is the data it was to take: opened now, it would be sent or
            // copied back. This start measures nothing; the next one, its
            // retry count still raised, wipes again first.
            return false;
        }
    }
    engine_.identity_->updateIdentifiers();
    if (auto afterReset = MSRAnalyticsState::appInstanceIDAfterReset(); nonEmptyAtStartUp(afterReset)) {
        engine_.identity_->setAppInstanceID(afterReset);
        MSRAnalyticsState::setAppInstanceIDAfterReset(std::nullopt);
    }
    updatePersistedAppIDFromZMPAndAdzev();

    if (!engine_.database_) {
        MSRError error;
        std::shared_ptr<MSRDatabase> database = MSRDatabase::initWithDatabaseName(engine_.databaseName_, engine_.persistedConfig_, &error);
        if (!database) database = MSRDatabase::initWithDatabaseName(engine_.databaseName_, engine_.persistedConfig_, &error);
        if (!database) return false;
        database->setCurrentMetadataSource(
            [weakEngine = engine_.weak_from_this()]() -> std::optional<std::vector<uint8_t>> {
                std::shared_ptr<MSRMeasurement> engine = weakEngine.lock();
                if (!engine || !engine->database_) return std::nullopt;
                MSRError error;
                std::optional<std::vector<MSRUserAttribute>> attributes =
                    engine->database_->userAttributesIncludingInternal(true, &error);
                if (!attributes) return std::nullopt;
                MSRRawEventMetadataInputs inputs = engine->rawEventMetadataInputsWithUserAttributes(*attributes);
                if (!inputs.complete) return std::nullopt;
                return MSRMeasurement::rawEventMetadataFromInputs(inputs).protoBuffer();
            });
        engine_.database_ = std::move(database);
    }
    if (!engine_.remoteConfig_) {
        auto remoteConfig = MSRDatabaseRemoteConfig::initWithAppID(engine_.appID_, engine_.database_, engine_.experimentManager_, engine_.monitor());
        if (!remoteConfig) return false;
        if (auto origin = MSRIdentifiers::sharedInstance()->origin()) remoteConfig->setOrigin(*origin);
        // The configuration request tells the server which application version asks.
        remoteConfig->setAppVersionProvider([identity = std::weak_ptr<MSRIdentity>(engine_.identity_)]() {
            auto held = identity.lock();
            return held && !held->appVersion().empty() ? std::optional<std::string>(held->appVersion()) : std::nullopt;
        });
        engine_.remoteConfig_ = std::move(remoteConfig);
        {
            std::lock_guard lock(engine_.publishedRemoteConfigMutex_);
            engine_.publishedRemoteConfig_ = engine_.remoteConfig_;
        }
        engine_.database_->setRemoteConfig(engine_.remoteConfig_);
        MSRDataTypeValidator::setRemoteConfig(engine_.remoteConfig_);
        engine_.identity_->setRemoteConfig(engine_.remoteConfig_);
    }
    MSRComponentContext context;
    context.database = engine_.database_;
    context.persistedConfig = engine_.persistedConfig_;
    context.remoteConfig = engine_.remoteConfig_;
    context.engine = engine_.weak_from_this();
    context.workerQueue = engine_.scheduler_->workerQueue();
    context.network = engine_.network_;
    if (!engine_.audience_) engine_.audience_ = MSRComponentRegistry::make<MSRAudience>(context);
    if (!engine_.sessionReporter_) engine_.sessionReporter_ = MSRComponentRegistry::make<MSRSessionReporterInterface>(context);
    if (!engine_.conditionalUserPropertyController_)
        engine_.conditionalUserPropertyController_ = MSRComponentRegistry::make<MSRConditionalUserPropertyController>(context);
    if (!engine_.lifetimeValueRecorder_) engine_.lifetimeValueRecorder_ = MSRComponentRegistry::make<MSRLifetimeValueRecorder>(context);
    if (!engine_.eventSampler_) engine_.eventSampler_ = MSRComponentRegistry::make<MSREventSampler>(context);
    if (!engine_.deepLinkHandler_) engine_.deepLinkHandler_ = MSRComponentRegistry::make<MSRDeepLinkHandler>(context);
    if (!engine_.receiptFacts_) engine_.receiptFacts_ = MSRComponentRegistry::make<MSRReceiptFacts>(context);
    // Every component exists from here on: the lifecycle reports below already
    // travel the event road, which refuses events while collection is off.
    engine_.enabled_ = true;

    MSRError backupError;
    if (!MSRExcludePathFromBackup(MSRSDKDirectoryPath(), &backupError)) {
        log(5, 23015, "Failed to exclude directory from backup. Error", {backupError});
    }
    log(7, 23016, "Analytics is ready to receive events");
    engine_.monitor()->setEncodeContexts(engine_.identity_->isFromAppStore());
    MSRError staleError;
    if (!engine_.database_->maybeDeleteStaleData(&staleError) && staleError.code() != 0) {
        log(5, 23018, "Unable to delete stale data. Error", {staleError});
    }
    const bool dma = engine_.remoteConfig_->DMAConsentEnabled();
    if (dma) engine_.configurationFetcher().updateConsentSettingsUtilWithRemoteConfig();
    engine_.onDeviceConversion().checkPSMDependencyOnWorkerQueue();
    engine_.onDeviceConversion().maybeDeleteExpiredPSMValueOnWorkerQueue();
    engine_.setPersonalizedAdsUserPropertyOnWorkerQueue();
    backfillSessionNumber();
    reportFirstOpenOnWorkerQueue();
    // A link the first open reported above is gone once its event is
    // committed: it keeps no deferred request from being made.
    if (hasUnreportedParkedLink()) {
        reportStoredCampaignEventOnWorkerQueue(std::nullopt);
    } else if (engine_.deepLinks().shouldAllowRequestDeferredDeepLink()) {
        if (engine_.remoteConfig_->isExpired() && dma) {
            engine_.shouldRequestDeferredDeepLinkAfterConfigFetch_ = true;
        } else {
            engine_.requestDeferredDeepLink();
        }
    }
    resumePendingAutomaticEvents();
    reportAppUpdateOnWorkerQueue();
    reportOSUpdateOnWorkerQueue();
    engine_.searchAdReporter_ = MSRComponentRegistry::make<MSRSearchAdReporter>(context);
    engine_.searchAdReporter_->setSearchAdReporterEnabled(true);
    engine_.searchAdReporter_->start();
    if (engine_.remoteConfig_->tcfFeatureEnabled()) {
        engine_.tcfClient_ = MSRComponentRegistry::make<MSRTCFClient>(context);
        engine_.tcfClient_->setIsDMARegion(engine_.remoteConfig_->isDMARegion());
        engine_.tcfClient_->setConsentFromTCFData();
    }
    if (engine_.persistedConfig_->vuzedezoFeatureRollouts() && !engine_.isVuzedezoRemoteConfigSDKPresent()) {
        engine_.persistedConfig_->setVuzedezoFeatureRollouts(std::nullopt);
    }
    return true;
}

bool MSRStartUpAndWipe::shouldWipeDataWithAppID(const std::string& appID, const std::optional<std::string>& appIDFromZMP,
                                             const std::optional<std::string>& appIDFromAdzev,
                                             const std::optional<std::string>& persistedAppIDFromZMP,
                                             const std::optional<std::string>& persistedAppIDFromAdzev) const {
    const int64_t retries = MSRAnalyticsState::resetRetryCount();
    if (retries >= 1 && retries <= 9) return true;
    const bool a = !appID.empty();
    const bool g = nonEmptyAtStartUp(appIDFromZMP), m = nonEmptyAtStartUp(appIDFromAdzev);
    const bool pg = nonEmptyAtStartUp(persistedAppIDFromZMP), pm = nonEmptyAtStartUp(persistedAppIDFromAdzev);
    if (pg && g) return *persistedAppIDFromZMP != *appIDFromZMP;
    if (!pg && pm && !m && g) return true;
    if (!pg && pm && m && g) return *persistedAppIDFromAdzev != *appIDFromAdzev;
    if (pg && !g && m && !pm) return a;
    if (!g && pm && a && appID != *persistedAppIDFromAdzev) return true;
    return false;
}

void MSRStartUpAndWipe::setProspectiveConsentSettings() {
    using Util = MSRConsentSettingsUtil;
    // The choice is about what an earlier run left. The application's calls
    // of this run that came before it are applied again after it, as when
    // they come later: a setting of this run holds from its call on.
    const auto turn = MSRAnalyticsState::consentTurn();
    std::vector<MSRAnalyticsState::ConsentCall> callsBefore;
    if (!MSRAnalyticsState::beginStartConsentChoice(turn, &callsBefore)) return;
    chooseProspectiveConsentSettings();
    for (const MSRAnalyticsState::ConsentCall& call : callsBefore) {
        if (!Util::isConsentSourceHigherPriority(call.source)) continue;
        Util::updateSettings(call.settings, call.source);
        MSRAnalyticsState::persistConsentSettings(Util::consentSettings().value_or(Util::Settings{}), call.source);
    }
}

void MSRStartUpAndWipe::chooseProspectiveConsentSettings() {
    using Util = MSRConsentSettingsUtil;
    const int64_t current = Util::consentSource();
    const auto publicSettings = MSRAnalyticsState::consentSettings3P();
    const auto startSettings = MSRAnalyticsState::consentSettings1PStart();
    const auto plistSettings = Util::consentSettingsFromPlist();
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

void MSRStartUpAndWipe::updatePersistedAppIDFromZMPAndAdzev() {
    if (!engine_.identity_) return;
    const auto zmp = engine_.identity_->appIDFromZMP();
    if (engine_.persistedConfig_->appIDFromZMP() != zmp) engine_.persistedConfig_->setAppIDFromZMP(zmp);
    const auto adzev = engine_.identity_->appIDFromAdzev();
    if (engine_.persistedConfig_->appIDFromAdzev() != adzev) engine_.persistedConfig_->setAppIDFromAdzev(adzev);
    const auto origin = MSRIdentifiers::sharedInstance()->origin();
    if (origin == "da") {
        engine_.persistedConfig_->setAppIDFromZMP(engine_.appID_);
    } else if (origin == "am") {
        engine_.persistedConfig_->setAppIDFromAdzev(engine_.appID_);
    }
}

bool MSRStartUpAndWipe::wipeoutAnalyticsDataAndResetComponents() {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("wipeoutAnalyticsDataAndResetComponents", engine_.monitor().get());
    log(6, 23171, "Resetting App Measurement data");
    // The database goes first: when it cannot be reset, the preferences and
    // counters stay as they are and still agree with the data it holds. Either
    // branch wipes the same files (the database, its logs, a salvage's mark
    // and its copies): a wipe that leaves a salvage behind sees the wiped rows
    // copied back into the fresh file. One that could not finish is said
    // where a person sees it and is run again by the next start (the reset's
    // retry count stays).
    static constexpr const char* kUnfinishedWipe = "analytics reset (unfinished; a later start finishes it)";
    auto sayUnfinished = [](const std::string& cause) {
        std::fprintf(stderr,
                     "analytics data: the reset could not finish (%s); what it wipes is neither sent nor brought back, "
                     "and a later start finishes it\n",
                     cause.c_str());
        foundation::DataLoss::note(kUnfinishedWipe);
    };
    if (engine_.database_) {
        MSRError error;
        if (!engine_.database_->reset(&error)) {
            log(1, 23209, "Failed to reset database", {error});
            sayUnfinished(error.localizedDescription());
            return false;
        }
    } else {
        // The wipe decided at start-up runs before the database is opened.
        std::string failure;
        if (!MSRDatabase::wipeFiles(MSRSDKFilePath(engine_.databaseName_), &failure)) {
            log(1, 23014, "Failed to delete old database file. Error", {failure});
            sayUnfinished(failure);
            return false;
        }
    }
    foundation::DataLoss::recovered(kUnfinishedWipe);
    engine_.onDeviceConversion().resetPSMCounts();
    engine_.previousZMPAppID_ = engine_.persistedConfig_->appIDFromZMP();
    engine_.persistedConfig_->clearValues();
    engine_.monitor()->clearMonitoringData();
    const auto settings = engine_.remoteConfig_ ? engine_.remoteConfig_ : MSRRemoteConfig::defaultInstance();
    if (settings->DMAConsentEnabled() && MSRConsentSettingsUtil::adPersonalization()) {
        MSRConsentSettingsUtil::unsetAdPersonalization();
        MSRConsentSettingsUtil::setDefaultSettings(std::nullopt);
        MSRConsentSettingsUtil::setDelegatedSettings(std::nullopt);
    }
    if (engine_.database_) {
        if (engine_.remoteConfig_) engine_.remoteConfig_->reset();
        MSRComponentContext context;
        context.database = engine_.database_;
        context.persistedConfig = engine_.persistedConfig_;
        engine_.sessionReporter_ = MSRComponentRegistry::make<MSRSessionReporterInterface>(context);
        engine_.sessionReporter_->setReportingEnabled(engine_.enabled_);
    }
    if (engine_.identity_) {
        engine_.identity_->updateIdentifiersAndWait();
        engine_.identity_->resetEphemeralAppInstanceID();
        engine_.identity_->resetSessionStitchingToken();
    }
    return true;
}

// ---- lifecycle reports -------------------------------------------------------

namespace {

std::optional<MSREvent> automaticEvent(const std::string& name, double timestamp, const MSRObjectDictionary& parameters,
                                       bool withScreen) {
    std::optional<MSREvent> event = MSREvent::initWithOrigin("auto", false, name, timestamp, 0, parameters);
    if (!event || !withScreen) return event;
    if (auto reporter = MSRScreenViewReporterInterface::shared()) {
        if (auto screen = reporter->screenParameters()) event->addScreenParameters(MSRObjectsFromParameters(*screen));
    }
    return event;
}

int64_t countFromTextAtStartUp(const std::optional<std::string>& text) {
    if (!text) return 0;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text->c_str(), &end, 10);
    if (errno != 0 || end == text->c_str()) return 0;
    return value;
}

bool isYes(const foundation::Value& value) { return msr_truthOfNumber(value).value_or(false); }

}  // namespace

bool MSRStartUpAndWipe::shouldAllowAdNetworkRegistration() {
    const foundation::Value value =
        foundation::Bundle::main().objectForInfoDictionaryKey("ZEVURE_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED");
    return msr_truthOfNumber(value).value_or(true);
}

// When the first open was recorded: the "_fot" property's time, else the
// oldest property's; 0 when neither can be told.
double MSRStartUpAndWipe::firstOpenTimestamp() {
    if (!engine_.hasComponentsOnWorkerQueue()) return 0;
    MSRError error;
    if (auto firstOpen = engine_.database_->userAttributeWithName("_fot", &error)) return firstOpen->lastSetTimestamp();
    auto attributes = engine_.database_->userAttributesIncludingInternal(true, &error);
    if (!attributes) {
        log(1, 23123, "Unable to query current user properties. Error", {error});
        return 0;
    }
    if (attributes->empty()) {
        log(2, 23124, "Cannot extract first open timestamp. Empty user properties");
        return 0;
    }
    double oldest = attributes->front().lastSetTimestamp();
    for (const MSRUserAttribute& attribute : *attributes) oldest = std::min(oldest, attribute.lastSetTimestamp());
    return oldest;
}

bool MSRStartUpAndWipe::isVersionSameAsOriginalVersion() {
    return engine_.receiptFacts_ && engine_.receiptFacts_->isVersionSameAsOriginalVersion();
}

std::optional<foundation::Value::Dictionary> MSRStartUpAndWipe::fileAttributesForPath(const std::string& path) {
    if (path.empty()) return std::nullopt;
    struct stat facts {};
    if (::stat(path.c_str(), &facts) != 0) {
        log(5, 23022, "Unable to read attributes of path. Path, error", {path, std::string(std::strerror(errno))});
        return std::nullopt;
    }
    const char* type = "NSFileTypeUnknown";
    if (S_ISREG(facts.st_mode)) type = "NSFileTypeRegular";
    else if (S_ISDIR(facts.st_mode)) type = "NSFileTypeDirectory";
    const double modified = static_cast<double>(facts.st_mtim.tv_sec) + facts.st_mtim.tv_nsec / 1e9;
    return foundation::Value::Dictionary{
        {"NSFileType", foundation::Value(type)},
        {"NSFileSize", foundation::Value(static_cast<int64_t>(facts.st_size))},
        {"NSFilePosixPermissions", foundation::Value(static_cast<int64_t>(facts.st_mode & 07777))},
        {"NSFileModificationDate", foundation::Value(foundation::Date{modified})},
    };
}

// Writes an internal user property and answers whether it is stored now;
// `queryCode` and `missingCode` report a failed check.
bool MSRStartUpAndWipe::writeCheckedProperty(const std::string& name, const MSRValue& value, double timestamp,
                                             int64_t queryCode, std::string_view queryMessage, int64_t missingCode,
                                             std::string_view missingMessage) {
    if (auto attribute = MSRUserAttribute::initWithOrigin("auto", name, value, timestamp)) {
        engine_.setUserAttributeOnWorkerQueue(*attribute);
    }
    MSRError error;
    std::optional<bool> stored = engine_.database_->containsUserAttributeWithName(name, &error);
    if (!stored) {
        log(1, queryCode, queryMessage, {error});
        return false;
    }
    if (!*stored) {
        log(1, missingCode, missingMessage);
        return false;
    }
    return true;
}

void MSRStartUpAndWipe::reportFirstOpenOnWorkerQueue() {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("reportFirstOpenOnWorkerQueue", engine_.monitor().get());
    if (!engine_.hasComponentsOnWorkerQueue()) return;
    MSRError error;
    std::optional<bool> opened = engine_.database_->containsUserAttributeWithName("_fot", &error);
    if (!opened) {
        log(1, 23019, "Failed to query first open property. Error", {error});
        return;
    }
    const int64_t previousCount = countFromTextAtStartUp(engine_.eventWriter().previousFirstOpenCount());
    const double initTimestamp = engine_.initTimestamp_;
    if (*opened) {
        if (previousCount < 1) engine_.eventWriter().setPreviousFirstOpenCount(std::string("1"));
        MSRAnalyticsState::setDeferredAnalyticsCollection(foundation::Value());
        // A prewarmed process runs before the person opens the application
        // (the platform's scenes are there on every system we run on): the
        // session begins when its scene connects.
        if (MSRIsActivePrewarm() && MSRHasSceneManifest(&engine_.identity_->bundle())) {
            reportSessionStartWhenSceneWillConnectOnWorkerQueue();
        } else {
            engine_.sessionReporter_->reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp, false);
        }
        engine_.persistedConfig_->setLoadTimestampValue(foundation::Value());
        return;
    }

    const bool same = previousCount >= 1 || isVersionSameAsOriginalVersion();
    const int64_t storedFirstOpen = engine_.persistedConfig_->firstOpenTimestampMilliseconds();
    const double installTime = storedFirstOpen != 0 ? static_cast<double>(storedFirstOpen) / 1000 : initTimestamp;
    if (!writeCheckedProperty("_fi", MSRValue(int64_t{same ? 1 : 0}), installTime, 23161,
                              "Failed to query first open after install property after setting it. Error", 23162,
                              "Failed to set first open after install property")) {
        return;
    }

    const auto millis = static_cast<int64_t>(initTimestamp * 1000);
    MSRObjectDictionary parameters;
    if (nonEmptyAtStartUp(engine_.previousZMPAppID_)) parameters["_pzmp"] = MSRValue(*engine_.previousZMPAppID_);
    parameters["_pfo"] = MSRValue(int64_t{previousCount < 1 ? 0 : previousCount});
    parameters["_uwa"] = MSRValue(int64_t{same ? 0 : 1});
    if (isYes(MSRAnalyticsState::deferredAnalyticsCollection())) parameters["_dac"] = MSRValue(int64_t{1});
    const bool efficient = engine_.remoteConfig_->efficientEngagementReportingEnabled();
    if (efficient) parameters["_et"] = MSRValue(int64_t{1});
    // Until now nothing on disk ties the database to this installation: the
    // app instance id and the first-open time are written at once, before
    // the first open is, so that a process killed from here on starts again
    // as the same installation with the same first open.
    engine_.persistedConfig_->setFirstOpenTimestampMilliseconds(millis);
    engine_.persistedConfig_->synchronizeToDisk();
    // "_fot" marks the first open as reported and belongs in the metadata of
    // "_f": both go in one write, so a first open whose event was lost (a
    // failed write, a process ended before the commit) is reported again at
    // the next start, and a stored "_f" always carries its "_fot".
    const bool firstOpenStored = engine_.database_->performGroupedTransaction([&] {
        if (!writeCheckedProperty("_fot", MSRValue(MSRMeasurement::timestampMillisRoundedUpToNextHour(millis)),
                                  initTimestamp, 23020, "Failed to query first open property after setting it. Error",
                                  23021, "Failed to set first open property")) {
            return false;
        }
        std::optional<MSREvent> firstOpen = automaticEvent("_f", initTimestamp, parameters, true);
        return firstOpen && engine_.handleInternalEventOnWorkerQueue(*firstOpen);
    });
    if (firstOpenStored) {
        // The first session and the first open's engagement go in the first
        // open's commit: a kill before it leaves a first open that the next
        // start reports again with both, a kill after it all three. (The
        // session is on disk before its "_s" is handed over, so the next
        // start begins a session the kill took once, under its number.)
        engine_.sessionReporter_->reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp, false);
        if (!engine_.remoteConfig_->redundantEngagementRemovalEnabled()) {
            MSRObjectDictionary engagement = {{"_et", MSRValue(int64_t{1})}};
            if (efficient) engagement["_fr"] = MSRValue(int64_t{1});
            if (auto event = automaticEvent("_e", initTimestamp, engagement, true)) {
                engine_.handleInternalEventOnWorkerQueue(*event);
            }
        }
    }
    if (!firstOpenStored || !engine_.database_->commitPendingWrites()) {
        // The next try dates the install as this one did.
        engine_.persistedConfig_->setFirstOpenTimestampMilliseconds(storedFirstOpen);
        return;
    }

    MSRAnalyticsState::setDeferredAnalyticsCollection(foundation::Value());
    engine_.persistedConfig_->setLoadTimestampValue(foundation::Value());
    engine_.persistedConfig_->synchronizeToDisk();
    reportStoredCampaignEventOnWorkerQueue(millis - 1);
    if (shouldAllowAdNetworkRegistration()) {
        store::AdNetwork::shared().registerAppForAdNetworkAttribution();
    } else {
        log(7, 23217, "Opted out of registration for ad network attribution");
    }
}

void MSRStartUpAndWipe::reportSessionStart() {
    engine_.onWorkerQueue("MSRMeasurement:1149", [](MSRMeasurement& engine) {
        if (!engine.hasComponentsOnWorkerQueue()) return;
        engine.sessionReporter_->reportSessionStartOnWorkerQueueWithTimestamp(engine.initTimestamp_, false);
    });
}

// The scene's notification comes on the thread that posts it, possibly while
// the worker is still adding the observer: the lock lets exactly one
// delivery end the wait.
struct MSRSceneWait {
    std::mutex mutex;
    foundation::NotificationCenter::Token token;
};

void MSRStartUpAndWipe::reportSessionStartWhenSceneWillConnectOnWorkerQueue() {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("reportSessionStartWhenSceneWillConnectOnWorkerQueue",
                                                        engine_.monitor().get());
    auto wait = std::make_shared<MSRSceneWait>();
    std::weak_ptr<MSRSceneWait> weakWait = wait;
    std::weak_ptr<MSRMeasurement> weakEngine = engine_.weak_from_this();
    {
        std::lock_guard lock(wait->mutex);
        wait->token = foundation::NotificationCenter::defaultCenter().addObserver(
            ui::Scene::willConnectNotification, [weakWait, weakEngine](const foundation::Notification&) {
                auto wait = weakWait.lock();
                if (!wait) return;
                {
                    std::lock_guard lock(wait->mutex);
                    if (!wait->token) return;
                    wait->token.reset();
                }
                if (auto engine = weakEngine.lock()) engine->startUp().reportSessionStart();
            });
    }
    // A wait begun again (a reset's first open) replaces the one before.
    engine_.sceneWait_ = std::move(wait);
}

// One version kept in the persisted configuration against the running one:
// a change logs `eventName` with the old version, except on the very first
// run, which only stores it.
void MSRStartUpAndWipe::reportVersionChange(const std::string& current, std::optional<std::string> stored,
                                            void (MSRPersistedConfig::*store)(const std::optional<std::string>&),
                                            const char* eventName, const char* parameterName) {
    if (!engine_.hasComponentsOnWorkerQueue() || stored == current) return;
    auto recordChange = [&] { ((*engine_.persistedConfig_).*store)(current); };
    if (!nonEmptyAtStartUp(stored)) {
        recordChange();
        return;
    }
    handOverOnce(eventName, dispatch::Clock::now(), {{parameterName, foundation::Value(*stored)}}, recordChange);
}

namespace {

constexpr const char* kPendingName = "name";
constexpr const char* kPendingParameters = "parameters";
constexpr const char* kPendingTimestamp = "timestamp";
constexpr const char* kPendingRecorded = "recorded";

std::optional<MSRPendingAutomaticEvent> pendingRecordAtStartUp(const std::string& key, const foundation::Value& stored) {
    const foundation::Value::Dictionary* record = stored.dictionary();
    if (!record) return std::nullopt;
    auto field = [&](const char* name) {
        auto found = record->find(name);
        return found == record->end() ? foundation::Value() : found->second;
    };
    const foundation::Value name = field(kPendingName);
    const foundation::Value parameters = field(kPendingParameters);
    const std::optional<double> timestamp = field(kPendingTimestamp).doubleValue();
    if (!parameters.dictionary() || !timestamp || (!name.isAbsent() && (!name.string() || name.string()->empty())))
        return std::nullopt;
    return MSRPendingAutomaticEvent{name.string() ? *name.string() : key, *timestamp, *parameters.dictionary(),
                                    field(kPendingRecorded).integerValue()};
}

foundation::Value pendingRecordValueAtStartUp(const MSRPendingAutomaticEvent& event) {
    foundation::Value::Dictionary record{{kPendingName, foundation::Value(event.name)},
                                         {kPendingParameters, foundation::Value(event.parameters)},
                                         {kPendingTimestamp, foundation::Value(event.timestamp)}};
    if (event.recorded) record.emplace(kPendingRecorded, foundation::Value(*event.recorded));
    return foundation::Value(std::move(record));
}

// The key of a new record names its work (the event, what it reports, when)
// and no other record's: an update reported while an earlier one still waits
// for its commit keeps a record of its own.
std::string pendingRecordKeyAtStartUp(const foundation::Value::Dictionary& pending, const MSRPendingAutomaticEvent& event) {
    std::string key = event.name;
    for (const auto& [parameter, value] : event.parameters) {
        key += " " + parameter + "=" + (value.string() ? *value.string() : value.jsonText());
    }
    char when[48];
    std::snprintf(when, sizeof when, " at %.6f", event.timestamp);
    key += when;
    std::string unique = key;
    for (int n = 2; pending.count(unique); ++n) unique = key + " #" + std::to_string(n);
    return unique;
}

}  // namespace

std::optional<int64_t> MSRStartUpAndWipe::recordedEventCount(const std::string& name) {
    MSRError error;
    auto aggregates = engine_.database_->eventAggregatesWithName(name, &error);
    if (!aggregates && error.code() != 0) {
        log(1, 23063, "Unable to query event aggregates. Name, error", {MSRDebugEventName(name), error});
        return std::nullopt;
    }
    auto stored = engine_.database_->rawEventCountWithName(name, &error);
    if (!stored) {
        log(1, 23063, "Unable to query event aggregates. Name, error", {MSRDebugEventName(name), error});
        return std::nullopt;
    }
    return (aggregates ? aggregates->lifetimeCount() : 0) + *stored;
}

std::optional<int64_t> MSRStartUpAndWipe::committedEventCount(const std::string& name) {
    // What the open group holds is this process's and has records of its
    // own: committed first, the count holds what a kill would leave.
    engine_.database_->commitPendingWrites();
    return recordedEventCount(name);
}

void MSRStartUpAndWipe::handOverOnce(const std::string& name, double timestamp,
                                     const foundation::Value::Dictionary& parameters,
                                     const std::function<void()>& recordChange) {
    MSRPendingAutomaticEvent event{name, timestamp, parameters, committedEventCount(name)};
    if (!event.recorded) {
        // Without a count the next start could not tell a lost event from a
        // stored one: it is handed over as it comes.
        recordChange();
        handOverPending(std::nullopt, event);
        return;
    }
    foundation::Value::Dictionary pending =
        engine_.persistedConfig_->pendingAutomaticEvents().value_or(foundation::Value::Dictionary{});
    const std::string key = pendingRecordKeyAtStartUp(pending, event);
    pending.insert_or_assign(key, pendingRecordValueAtStartUp(event));
    recordChange();
    engine_.persistedConfig_->setPendingAutomaticEvents(pending);
    // The change and its pending event are on disk before the event can be
    // committed: a kill before the commit leaves the event to hand over
    // again, a kill after it an event the next start finds recorded.
    engine_.persistedConfig_->synchronizeToDisk();
    handOverPending(key, event);
}

void MSRStartUpAndWipe::handOverPending(const std::optional<std::string>& key, const MSRPendingAutomaticEvent& pending) {
    MSRObjectDictionary objects;
    for (const auto& [parameter, value] : pending.parameters) {
        if (const std::string* text = value.string()) {
            objects.insert_or_assign(parameter, MSRValue(*text));
        } else if (auto integer = value.integerValue()) {
            objects.insert_or_assign(parameter, MSRValue(*integer));
        } else if (auto number = value.doubleValue()) {
            objects.insert_or_assign(parameter, MSRValue(*number));
        }
    }
    std::optional<MSREvent> event = automaticEvent(pending.name, pending.timestamp, objects, false);
    if (!event || !engine_.handleInternalEventOnWorkerQueue(*event) || !key) return;
    // Handed over (or dropped by a rule): once what it wrote is committed,
    // its own record has served, and no other. Its removal may wait for the
    // next write of the dictionary; a start that still finds it, finds the
    // event recorded.
    std::weak_ptr<MSRMeasurement> weak = engine_.weak_from_this();
    engine_.database_->runWhenPendingWritesEnd([weak, key = *key](bool committed) {
        auto engine = weak.lock();
        if (!engine || !committed || !engine->persistedConfig_) return;
        auto records = engine->persistedConfig_->pendingAutomaticEvents();
        if (!records || !records->erase(key)) return;
        engine->persistedConfig_->setPendingAutomaticEvents(records);
    });
}

void MSRStartUpAndWipe::resumePendingAutomaticEvents() {
    if (!engine_.hasComponentsOnWorkerQueue()) return;
    std::optional<foundation::Value::Dictionary> pending = engine_.persistedConfig_->pendingAutomaticEvents();
    if (!pending || pending->empty()) return;
    // Decided on what a kill would leave: nothing of this process's counts.
    engine_.database_->commitPendingWrites();
    std::vector<std::pair<std::string, MSRPendingAutomaticEvent>> lost;
    bool changed = false;
    for (auto entry = pending->begin(); entry != pending->end();) {
        std::optional<MSRPendingAutomaticEvent> event = pendingRecordAtStartUp(entry->first, entry->second);
        std::optional<int64_t> recorded = event ? recordedEventCount(event->name) : std::nullopt;
        if (event && !recorded) {
            ++entry;
            continue;
        }
        // Recorded since it was kept as pending: its commit was made.
        if (!event || !event->recorded || *recorded > *event->recorded) {
            entry = pending->erase(entry);
            changed = true;
            continue;
        }
        lost.emplace_back(entry->first, std::move(*event));
        ++entry;
    }
    if (changed) {
        engine_.persistedConfig_->setPendingAutomaticEvents(pending);
        engine_.persistedConfig_->synchronizeToDisk();
    }
    // The store never got these: a kill came between the dictionary's write
    // and their commit. Each goes over alone, counted from what the store
    // holds just before it (events of its name may have gone stale since),
    // so that a kill between two of their commits leaves only the later one
    // to hand over again.
    for (auto& [key, event] : lost) {
        if (auto recorded = committedEventCount(event.name); recorded && *recorded != *event.recorded) {
            event.recorded = recorded;
            auto records = engine_.persistedConfig_->pendingAutomaticEvents().value_or(foundation::Value::Dictionary{});
            records.insert_or_assign(key, pendingRecordValueAtStartUp(event));
            engine_.persistedConfig_->setPendingAutomaticEvents(records);
            engine_.persistedConfig_->synchronizeToDisk();
        }
        handOverPending(key, event);
    }
}

void MSRStartUpAndWipe::reportAppUpdateOnWorkerQueue() {
    if (!engine_.identity_) return;
    reportVersionChange(engine_.identity_->appVersion(), engine_.persistedConfig_->appVersion(),
                        &MSRPersistedConfig::setAppVersion, "_au", "_pv");
}

void MSRStartUpAndWipe::reportOSUpdateOnWorkerQueue() {
    reportVersionChange(MSREnvironmentInfo::sharedInstance()->deviceOSVersion(), engine_.persistedConfig_->osVersion(),
                        &MSRPersistedConfig::setOSVersion, "_ou", "_po");
}

std::optional<int64_t> MSRStartUpAndWipe::committedCampaignEventCount() {
    // A link reported as expired becomes "_cmpx": the next start may judge
    // its age otherwise.
    std::optional<int64_t> campaigns = committedEventCount("_cmp");
    std::optional<int64_t> unknown = campaigns ? recordedEventCount("_cmpx") : std::nullopt;
    return unknown ? std::optional<int64_t>(*campaigns + *unknown) : std::nullopt;
}

bool MSRStartUpAndWipe::hasUnreportedParkedLink() {
    if (!MSRDeepLinks::promoteWaitingLink()) return false;
    // The commit's end may remove the parked link and hand its place on.
    engine_.database_->commitPendingWrites();
    return MSRDeepLinks::promoteWaitingLink();
}

// The parked link stays where it is until its campaign event is committed,
// and that commit's end removes it: a kill before it leaves the link to
// report at the next start. Beside it, written before the event is handed
// over, a mark says which link went and how many campaign events the store
// held just before: a start that finds more, finds the link reported (a kill
// came between the commit and the link's removal).
void MSRStartUpAndWipe::reportStoredCampaignEventOnWorkerQueue(std::optional<int64_t> clickTimestampMillis) {
    auto defaults = MSRUserDefaults::sharedUserDefaults();
    if (!MSRDeepLinks::promoteWaitingLink()) return;
    // Counted first: it commits what an earlier report of this process
    // handed over, and that commit's end takes its link away.
    const std::optional<int64_t> recorded = committedCampaignEventCount();
    const foundation::Value link = defaults->objectForKey(kDeepLinkKey);
    if (!link.string() || link.string()->empty()) return;
    const double storedSeconds = defaults->objectForKey(kDeepLinkTimestampKey).doubleValue().value_or(0);
    auto isThisLink = [text = *link.string(), storedSeconds](const foundation::Value& otherLink, double otherSeconds) {
        return MSRDeepLinks::isSameParkedLink(otherLink, otherSeconds, text, storedSeconds);
    };
    std::weak_ptr<MSRMeasurement> weak = engine_.weak_from_this();
    // The link goes with its event's commit, and the first link waiting
    // behind it (a later launch's) takes its place and is reported in turn.
    auto removeOnCommit = [weak, text = *link.string(), storedSeconds](bool committed) {
        auto engine = weak.lock();
        if (!committed || !engine) return;
        if (!MSRDeepLinks::retireParkedLink(text, storedSeconds)) return;
        engine->onWorkerQueue("MSRMeasurement:447", [](MSRMeasurement& engine) {
            if (engine.didInitializeComponents() && engine.hasComponentsOnWorkerQueue())
                engine.startUp().reportStoredCampaignEventOnWorkerQueue(std::nullopt);
        });
    };
    const foundation::Value mark = defaults->objectForKey(kDeepLinkReportedKey);
    const std::optional<int64_t> markedCount = mark["recorded"].integerValue();
    if (recorded && markedCount && *recorded > *markedCount &&
        isThisLink(mark["link"], mark["timestamp"].doubleValue().value_or(0))) {
        engine_.database_->runWhenPendingWritesEnd(removeOnCommit);
        return;
    }
    if (recorded) {
        defaults->setObject(foundation::Value(foundation::Value::Dictionary{{"link", link},
                                                                            {"timestamp", foundation::Value(storedSeconds)},
                                                                            {"recorded", foundation::Value(*recorded)}}),
                            kDeepLinkReportedKey);
    }
    const double ttl = engine_.remoteConfig()->attributionCacheTTLInterval();
    MSRObjectDictionary parameters;
    std::optional<std::string> url = *link.string();
    // Expired by its distance from the clock either way: one stored ahead of
    // it (a clock set back since) is as old as one that far behind. Its
    // event is not dated ahead of the clock.
    const double now = dispatch::Clock::now();
    const double openedSeconds = std::min(storedSeconds, now);
    if (std::fabs(now - storedSeconds) > ttl) {
        // An expired link carries no URL: only that a campaign was not known.
        url.reset();
        parameters["utm_source"] = MSRValue(std::string("(not set)"));
        parameters["utm_medium"] = MSRValue(std::string("(not set)"));
        parameters["_cc"] = MSRValue(int64_t{1});
    } else if (!MSRDeepLinks::wasOpenedWhileRunning(*link.string(), storedSeconds)) {
        parameters["_cc"] = MSRValue(MSRPreviousHourStartMillis(static_cast<int64_t>(openedSeconds * 1000)));
    }
    engine_.handleOpenURLOnWorkerQueue(url, clickTimestampMillis, openedSeconds, parameters);
    engine_.database_->runWhenPendingWritesEnd(removeOnCommit);
}

void MSRMeasurement::subscribeForAppDidFinishLaunchingNotifications() {
    // Held for the life of the process, like the class that observes; a
    // token may outlive the centre.
    static const foundation::NotificationCenter::Token token = foundation::NotificationCenter::defaultCenter().addObserver(
        MSRAppDidFinishLaunchingNotificationName(), &MSRMeasurement::handleAppDidFinishLaunching);
}

void MSRMeasurement::handleAppDidFinishLaunching(const foundation::Notification& notification) {
    MSRScreenViewReporterInterface::shared();
    if (notification.userInfo) MSRDeepLinks::handleStoredURLAfterAppLaunchWithNotification(notification);
}

void MSRStartUpAndWipe::subscribeForAppForegroundBackgroundNotifications() {
    auto& center = foundation::NotificationCenter::defaultCenter();
    std::weak_ptr<MSRMeasurement> weak = engine_.weak_from_this();
    engine_.notificationTokens_.clear();
    engine_.notificationTokens_.push_back(center.addObserver(MSRAppDidBecomeActiveNotificationName(), [weak](const auto&) {
        if (auto engine = weak.lock()) engine->startUp().handleAppDidBecomeActiveEvent();
    }));
    engine_.notificationTokens_.push_back(center.addObserver(MSRAppWillResignActiveNotificationName(), [weak](const auto&) {
        if (auto engine = weak.lock()) engine->startUp().handleAppWillResignActiveEvent();
    }));
    engine_.notificationTokens_.push_back(center.addObserver(MSRAppWillEnterForegroundNotificationName(), [weak](const auto&) {
        if (auto engine = weak.lock()) engine->uploader().terminateBackgroundTask();
    }));
}

void MSRStartUpAndWipe::handleAppDidBecomeActiveEvent() {
    engine_.onWorkerQueue("MSRMeasurement:4296", [](MSRMeasurement& engine) {
        if (engine.hasComponentsOnWorkerQueue()) engine.conversionValues().fetchSKANCV();
    });
    if (!engine_.remoteConfig()->blocklistInternal()) return;
    engine_.onWorkerQueue("MSRMeasurement:4289", [](MSRMeasurement& engine) {
        if (!engine.hasComponentsOnWorkerQueue()) return;
        const double last = engine.remoteConfig_->lastRemoteConfigUpdateTimestamp();
        if (std::fabs(dispatch::Clock::now() - last) < kStaleRemoteConfigAge) return;
        if (engine.uploader().isNetworkReadyForRequest()) {
            engine.configurationFetcher().fetchRemoteConfig();
        } else {
            log(8, 23143, "Network operation is pending. Ignoring request to fetch configuration");
        }
    });
}

void MSRStartUpAndWipe::handleAppWillResignActiveEvent() {
    engine_.persistedConfig_->synchronizeToDisk();
    log(8, 23144, "App will resign active state. Scheduling data upload");
    // The task keeps the application alive until the upload queued below
    // (behind every call the facade still holds) has run its course.
    std::weak_ptr<MSRMeasurement> expiring = engine_.weak_from_this();
    const uint64_t taskID = ui::Application::shared().beginBackgroundTask(kBackgroundTaskName, [expiring] {
        if (auto engine = expiring.lock()) engine->uploader().terminateBackgroundTask();
    });
    engine_.uploader().swapBackgroundTaskWithNewTaskID(taskID);
    log(8, 23145, "Background task started. Task ID", {MSRLogContext(taskID)});
    std::weak_ptr<MSRMeasurement> weak = engine_.weak_from_this();
    MSRAnalyticsState::queueOperationWithBlock([weak] {
        auto engine = weak.lock();
        if (!engine) return;
        engine->scheduleOrderFreeOnWorkerQueue("MSRMeasurement:4342", [weak] {
            auto engine = weak.lock();
            if (!engine) return;
            // Off the main thread the configuration is written at once: the
            // main thread's synchronize above only schedules one, which a
            // process that ends soon after never runs.
            engine->persistedConfig_->synchronizeToDisk();
            if (engine->hasComponentsOnWorkerQueue()) engine->uploader().uploadData();
        });
    });
}

void MSRStartUpAndWipe::backfillSessionNumber() {
    if (!engine_.database_) return;
    const int64_t kept = engine_.persistedConfig_->sessionNumber();
    MSRError error;
    auto aggregates = engine_.database_->eventAggregatesWithName("_s", &error);
    if (!aggregates && error.code() != 0) {
        log(1, 23063, "Unable to query event aggregates. Name, error", {MSRDebugEventName("_s"), error});
        return;
    }
    const int64_t bundled = aggregates ? aggregates->lifetimeCount() : 0;
    if (kept == 0) {
        engine_.persistedConfig_->setSessionNumber(bundled);
        return;
    }
    // The dictionary keeps the session begun last before its "_s" is
    // committed: a process ended in between, or a write that failed, leaves
    // a session that the database never recorded, and that the dictionary
    // says is live. That session is begun again, under its own number, with
    // the time of this start: its number is given back and its time ended.
    // Recorded sessions are the "_s" already in bundles and those still
    // stored; only the last one can be missing so.
    auto stored = engine_.database_->rawEventCountWithName("_s", &error);
    if (!stored) {
        log(1, 23063, "Unable to query event aggregates. Name, error", {MSRDebugEventName("_s"), error});
        return;
    }
    // Sessions whose "_s" a rule dropped (an allowlist without it, the daily
    // cap, an editing program) were begun all the same: they count as
    // recorded, and the last of them lives on.
    const int64_t dropped = engine_.persistedConfig_->droppedSessionStarts();
    if (MSRCountPlus(MSRCountPlus(bundled, *stored), dropped) != MSRCountPlus(kept, -1)) return;
    engine_.persistedConfig_->setSessionNumber(MSRCountPlus(kept, -1));
    engine_.persistedConfig_->setLastSessionActivityClockTime(0);
}

// ---- the engine's own operations that the start-up calls -------------------

void MSRMeasurement::setEnabled(bool enabled) {
    onWorkerQueue("MSRMeasurement:622",
                  [enabled](MSRMeasurement& engine) { engine.startUp().setEnabledOnWorkerQueue(enabled); });
}

bool MSRMeasurement::isVuzedezoRemoteConfigSDKPresent() {
    return host::DEDClassRegistry::isClassPresent("DEDRemoteConfig");
}

std::shared_ptr<MSRRemoteConfig> MSRMeasurement::remoteConfig() {
    std::lock_guard lock(publishedRemoteConfigMutex_);
    return publishedRemoteConfig_ ? publishedRemoteConfig_ : MSRRemoteConfig::defaultInstance();
}
