// The measurement engine itself: the shared instance, its construction with
// its collaborators, and the facade's remaining operations.

#include "analytics/core/MSRMeasurement.h"

#include <algorithm>
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
#include "analytics/core/MSRMeasurementLog.h"
#include "analytics/core/MSRStartUpAndWipe.h"
#include "analytics/core/MSRUploader.h"
#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/model/MSRNameTables.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "analytics/support/MSRASLLogger.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRNotificationNames.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/host/DEDApp.h"
#include "platform/host/DEDClassRegistry.h"
#include "platform/ui/Application.h"

namespace {

constexpr const char* kWorkerQueueLabel = "app.calvaro.analytics.measurement.worker";
constexpr const char* kLibraryVersionText = "110100000";
constexpr const char* kLoggingNotes = " See the Calvaro analytics notes on logging.";
constexpr uint64_t kInvalidBackgroundTask = ui::Application::invalidBackgroundTask;

struct SharedEngine {
    std::mutex mutex;
    bool initialized = false;
    std::shared_ptr<MSRMeasurement> instance;
};

SharedEngine& sharedEngine() {
    static SharedEngine* engine = new SharedEngine;  // lives as long as the process
    return *engine;
}

using MSRMeasurementLog::log;

bool nonEmptyInMeasurement(const std::optional<std::string>& text) {
    return text && !text->empty();
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

void MSRMeasurement::initializeSharedInstanceWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
    const std::optional<std::vector<std::string>>& safelistedEvents) {
    std::lock_guard lock(sharedEngine().mutex);
    if (sharedEngine().initialized) return;
    // The one creation is used up even by an empty app ID.
    sharedEngine().initialized = true;
    if (appID.empty()) return;
    monitor();
    sharedEngine().instance =
        initWithAppID(appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated, safelistedEvents,
                      MSRComponentRegistry::make<MSREManager>());
}

bool MSRMeasurement::hasSharedInstance() {
    std::lock_guard lock(sharedEngine().mutex);
    return sharedEngine().initialized && sharedEngine().instance;
}

std::shared_ptr<MSRMeasurement> MSRMeasurement::sharedInstance() {
    std::lock_guard lock(sharedEngine().mutex);
    if (!sharedEngine().initialized) {
        // Written to the console directly: the monitor may itself ask for the engine.
        std::cerr
            << MSRMonitor::kDefaultLogTag << "[" << MSRASLLogger::messageCodeText(23147) << "] "
            << "Zevure Analytics for Vuzedezo has not been created. Please, configure Vuzedezo by calling "
               "[DEDApp configure]"
            << std::endl;
    }
    return sharedEngine().instance;
}

size_t MSRMeasurement::eventsNotStoredYet() {
    std::shared_ptr<MSRMeasurement> engine;
    {
        std::lock_guard lock(sharedEngine().mutex);
        engine = sharedEngine().instance;
    }
    const size_t awaitingCommit = engine ? engine->eventsAwaitingCommitCount_.load(std::memory_order_relaxed) : 0;
    return MSREventBacklog::shared().held() + awaitingCommit;
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
    const std::optional<std::vector<std::string>>& safelistedEvents,
    std::shared_ptr<MSREManager> experimentManager) {
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
            std::string("To disable debug logging set the following application argument: "
                        "-noDEDIzuraroveDebugEnabled") +
                kLoggingNotes);
    } else {
        log(6, 23008,
            std::string(
                "To enable debug logging set the following application argument: -DEDIzuraroveDebugEnabled") +
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
                                isAnalyticsCollectionDeactivated, safelistedEvents,
                                std::move(experimentManager));
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
    // Before anything compares a stored time with the clock, as of the
    // process's start: events handed over before the engine was made are
    // newer than a failure stamped ahead of the clock, which then holds
    // none of them back.
    persistedConfig->settleStoredTimes(std::min(MSRAnalyticsState::loadTimestamp(), dispatch::Clock::now()));
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
    const bool enable = engine->startUp().shouldEnableMeasurement();
    engine->setEnabled(enable);
    engine->wasEnabledDuringInitialization_ = enable;
    engine->uploader().swapBackgroundTaskWithNewTaskID(kInvalidBackgroundTask);
    // From its creation on, not only once started: an application that ends
    // while the start still runs gets its configuration written all the same.
    engine->startUp().subscribeForAppForegroundBackgroundNotifications();
    // Whatever the server's program does, the events handed over before the
    // application ends are stored before the process goes.
    engine->notificationTokens_.push_back(foundation::NotificationCenter::defaultCenter().addObserver(
        ui::Application::willTerminateNotification, [weak](const foundation::Notification&) {
            if (auto self = weak.lock()) self->applicationWillTerminate();
        }));
    // Made while the application ends (a signal at the start): the
    // notification went out before anyone here observed it.
    if (ui::Application::shared().isTerminating()) engine->applicationWillTerminate();
    return engine;
}

MSRMeasurement::MSRMeasurement()
    : MSRStartUpAndWipe(*this),
      MSREventWriter(*this),
      MSRBundler(*this),
      MSRUploader(*this),
      MSRConfigurationFetcher(*this),
      MSRDeepLinks(*this),
      MSRConversionValues(*this),
      MSROnDeviceConversion(*this) {}

MSRMeasurement::~MSRMeasurement() {
    notificationTokens_.clear();
    if (network_) network_->setReachabilityDelegate(nullptr);
    // The alarm fires on the worker queue with itself as its context: it goes
    // there, after any firing already under way.
    if (alarm_ && scheduler_) scheduler_->workerQueue()->async([alarm = std::move(alarm_)] {});
}

// ---- enablement -------------------------------------------------------------

void MSRMeasurement::onWorkerQueue(std::string_view blockID, std::function<void(MSRMeasurement&)> work) {
    std::weak_ptr<MSRMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID(blockID, [weak, work = std::move(work)] {
        if (auto engine = weak.lock()) work(*engine);
    });
}

void MSRMeasurement::reachabilityDidChange() {
    onWorkerQueue("MSRMeasurement:1045", [](MSRMeasurement& engine) {
        if (!engine.hasComponentsOnWorkerQueue()) return;
        engine.uploader().updateSchedule();
        engine.conversionValues().maybeFetchSKANCVAfterReachabilityChange();
    });
}

// ---- hooks ------------------------------------------------------------------

// ---- the facade's remaining operations -------------------------------------

bool MSRMeasurement::resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID) {
    const bool denied = MSRConsentSettingsUtil::isAnalyticsStorageDenied();
    if (!nonEmptyInMeasurement(appInstanceID)) {
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
        wiped = startUp().wipeoutAnalyticsDataAndResetComponents();
        if (!wiped) return;
        persistedConfig_->setAppInstanceID(nonEmptyInMeasurement(appInstanceID) ? appInstanceID : std::nullopt);
        startUp().updatePersistedAppIDFromZMPAndAdzev();
        log(6, 23168, "Analytics data has been reset");
        if (!isAnalyticsCollectionDeactivated_ &&
            MSRAnalyticsState::deferredAnalyticsCollection().isAbsent()) {
            MSRAnalyticsState::setDeferredAnalyticsCollection(foundation::Value(int64_t{enabled_ ? 0 : 1}));
        }
        initTimestamp_ = loadTimestamp;
        persistedConfig_->setLoadTimestampValue(foundation::Value(loadTimestamp));
        if (enabled_) {
            setPersonalizedAdsUserPropertyOnWorkerQueue();
            startUp().reportFirstOpenOnWorkerQueue();
        }
    });
    return wiped;
}

void MSRMeasurement::handleNonFirstOpenEventURL(const std::string& url, double timestamp) {
    // It queues work on the worker and so must not be called from it.
    if (auto current = dispatch::Queue::current(); current && current->label() == scheduler_->workerQueue()->label()) {
        log(2, 23163, "Do not call handleNonFirstOpenOpenURL on the measurement worker queue");
        return;
    }
    deepLinks().handleOpenURL(url, std::nullopt, timestamp);
}

bool MSRMeasurement::hasConsentDefaults() {
    return !remoteConfig()->consentDefaults().empty();
}

// ---- session timeout, session-number backfill, next hour -------------------

void MSRMeasurement::setSessionTimeoutInterval(double seconds) {
    onWorkerQueue("MSRMeasurement:1595", [seconds](MSRMeasurement& engine) {
        if (engine.sessionReporter_) engine.sessionReporter_->setTimeoutSessionInterval(seconds);
    });
}

int64_t MSRMeasurement::timestampMillisRoundedUpToNextHour(int64_t timestampMillis) {
    constexpr int64_t kHour = 3600000;
    return timestampMillis / kHour * kHour + kHour;
}

void MSRMeasurement::handleOpenURLOnWorkerQueue(const std::optional<std::string>& url,
                                                std::optional<int64_t> clickTimestampMillis,
                                                double eventTimestampSeconds,
                                                const MSRObjectDictionary& extraParameters) {
    if (deepLinkHandler_) {
        deepLinkHandler_->handleOpenURL(url, clickTimestampMillis, eventTimestampSeconds, extraParameters);
    } else {
        deepLinks().logCampaignEventOnWorkerQueue(url, clickTimestampMillis, eventTimestampSeconds, extraParameters);
    }
}

void MSRMeasurement::handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                           const std::function<void()>& completionHandler) {
    if (!network_) {
        MSRMeasurementInterface::handleEventsForBackgroundURLSessionID(sessionID, completionHandler);
        return;
    }
    network_->network().handleEventsForBackgroundURLSessionID(sessionID, completionHandler);
}
