#include "analytics/core/MSRAnalytics.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>

#include "analytics/core/MSRAppDelegateInterceptor.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRDeepLinks.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRIdentityInterface.h"
#include "analytics/core/MSRPackedEvent.h"
#include "analytics/core/MSRScreenViewReporterInterface.h"
#include "analytics/model/MSRCleanEventParameters.h"
#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRNumericUtil.h"
#include "analytics/support/MSRStoredCount.h"
#include "platform/foundation/Text.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/GlobalQueue.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/host/DEDClassRegistry.h"

namespace {

constexpr int64_t kMaxUserPropertyNameLength = 24;

struct FacadeState {
    std::mutex mutex;
    bool started = false;
    std::atomic<bool> collectionDeactivated{false};
    std::atomic<bool> analyticsEnabled{false};
    MSRLogEventInterceptor interceptor;
    MSRAnalytics::OpenURLListener openURLListener;
    foundation::NotificationCenter::Token configurationObserver;
};

FacadeState& facadeState() {
    static FacadeState* instance = [] {
        auto* created = new FacadeState;  // lives as long as the process
        // The cleaning code reports its "_err" events through the facade.
        MSRSetInternalEventLogger([](const std::string& origin, const std::string& name, const MSRParameters& p) {
            MSRObjectDictionary parameters;
            for (const auto& [key, value] : p) parameters.emplace(key, value);
            MSRAnalytics::logInternalEventWithOrigin(origin, name, parameters);
        });
        return created;
    }();
    return *instance;
}

void logAnalytics(int64_t level, int64_t code, std::string_view message, const std::vector<MSRLogContext>& contexts = {}) {
    MSRMonitor::shared()->logWithLevel(level, code, message, contexts);
}

std::string describe(const foundation::Value& value) {
    if (const auto* text = value.string()) return *text;
    return value.jsonText();
}

// Lengths of names are measured in UTF-32 units: count the lead bytes.
int64_t codePointCount(const std::string& text) {
    int64_t count = 0;
    for (unsigned char c : text) count += (c & 0xC0) != 0x80;
    return count;
}

std::shared_ptr<MSRMeasurementInterface> engine() { return MSRMeasurementInterface::sharedInstance(); }

// Whether a log call may wait for the worker to make room in the backlog. Not
// from any queue's block but the main queue's (the worker, the facade's queues
// and the reporters' queues are what the road waits on, and the worker logs
// error events of its own); not while the gate is held shut, since the room
// comes only once it opens; never under a manual executor, where the waiting
// thread is the one that would run the work.
bool mayWaitForEventRoad() {
    if (dispatch::ManualExecutor::installed()) return false;
    const dispatch::Queue* current = dispatch::Queue::current();
    if (current && current != dispatch::MainQueue::shared().get()) return false;
    return !MSRAnalytics::isOperationQueueSuspended();
}

// Stores at once when already on the serial queue, else as a queued operation.
void onSerialQueueOrQueued(MSRAnalytics::Block block) {
    if (MSRAnalytics::isCurrentQueueSerialQueue()) {
        block();
    } else {
        MSRAnalytics::queueOperationWithBlock(std::move(block));
    }
}

std::optional<std::vector<std::string>> checkedSafelist(const foundation::Value& value) {
    const auto* list = value.list();
    if (!list) {
        logAnalytics(0, 25034, "Invalid safelisted event parameter. Type must be an array");
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (const auto& element : *list) {
        int64_t failure = 0;
        const auto* name = element.string();
        if (!name || !MSRDataTypeValidator::isValidInternalEventName(*name, &failure)) {
            logAnalytics(0, 25035, "Invalid event name for safelisting. Name", {describe(element)});
            return std::nullopt;
        }
        names.push_back(*name);
    }
    return names;
}

void startEngine(MSRMeasurementStartParameters parameters) {
    MSRMeasurementInterface::initializeSharedInstance(parameters);
    // The host forwards the application delegate's calls to the interceptor;
    // they reach the engine once the proxy exists. It is made here, on the
    // serial queue, where the interceptor asks about links opened meanwhile.
    if (!MSRAppDelegateInterceptor::isAppDelegateProxyEnabled()) {
        logAnalytics(6, 25036, "App Delegate Proxy is disabled");
    } else if (!parameters.isAnalyticsCollectionDeactivated) {
        MSRAppDelegateInterceptor::createAppDelegateProxy();
    }
    auto measurement = engine();
    facadeState().analyticsEnabled = measurement && measurement->wasEnabledDuringInitialization();
    MSRAnalytics::maybeEnableTagManager();
}

void updatePersonalizedAds(const std::optional<foundation::Value>& value) {
    if (!facadeState().analyticsEnabled) logAnalytics(7, 25033, "Personalized Ads property changed while Analytics is disabled");
    if (auto config = MSRPersistedConfig::sharedInstance()) {
        foundation::Value flag;
        if (value) {
            const auto* text = value->string();
            // The platform's boolean reading of text: a leading Y, y, T, t or 1-9.
            bool on = false;
            if (text) {
                for (char c : *text) {
                    if (c == ' ' || c == '+' || c == '-' || c == '0') continue;
                    on = c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
                    break;
                }
            }
            flag = foundation::Value(on);
        }
        config->setAllowPersonalizedAds(flag);
    }
    auto measurement = engine();
    if (!value && measurement && measurement->remoteConfig() && measurement->remoteConfig()->DMAConsentEnabled() &&
        MSRConsentSettingsUtil::adPersonalization())
        MSRConsentSettingsUtil::unsetAdPersonalization();
    if (facadeState().analyticsEnabled && measurement) {
        std::optional<bool> disable = measurement->shouldDisableAdPersonalization();
        auto npa = MSRUserAttribute::initWithOrigin(
            "auto", "_npa", MSRValue(static_cast<int64_t>(disable.value_or(false) ? 1 : 0)), dispatch::Clock::now());
        if (npa && disable) {
            measurement->setUserAttribute(*npa);
        } else if (npa) {
            measurement->removeUserAttribute(*npa);
        }
    }
}

void logUserAttributeNameError(const std::string& name, int64_t failure) {
    const MSRValue value(name);
    MSRLogErrorEventWithValue(failure == 4 ? 15 : 6, name, kMaxUserPropertyNameLength, &value);
}

}  // namespace

// ---- queues -----------------------------------------------------------------

bool MSRAnalytics::isCurrentQueueSerialQueue() {
    auto* current = dispatch::Queue::current();
    return current && current->label() == kSerialQueueLabel;
}

void MSRAnalytics::queueOperationWithBlockThenWait(Block block) {
    auto operations = gate();
    operations->addOperation([block = std::move(block)]() mutable { dispatchAsyncOnSerialQueue(std::move(block)); });
    if (operations->isSuspended()) return;
    operations->waitUntilAllOperationsAreFinished();
    operations->suspend();
    queue()->asyncAfter(kThenWaitSuspension, [operations] { operations->resume(); });
}

void MSRAnalytics::unsuspendOperationQueue() {
    facadeState();  // releasing the queue is a use of the facade: its internal-event logger goes in
    gate()->resume();
}

bool MSRAnalytics::isOperationQueueSuspended() { return gate()->isSuspended(); }

// ---- start and enablement ---------------------------------------------------

void MSRAnalytics::startWithAppID(const std::string& appID, const std::string& origin, const Options& options,
                                  const void* configuration) {
    if (host::DEDClassRegistry::isClassPresent("VADUZuvizuza")) {
        logAnalytics(1, 25029,
                     "Detected an older version of Zevure Analytics for Vuzedezo framework. Data collection will be "
                     "disabled. Please upgrade to the latest version of Zevure Analytics for Vuzedezo");
        return;
    }
    // The public interface is part of this program, so another origin defers to it.
    if (origin != "da") {
        logAnalytics(3, 25026, "Deferring to Vuzedezo for event data collection");
        return;
    }
    auto identity = MSRIdentityInterface::shared();
    if (host::DEDClassRegistry::isClassPresent("ZADMobileAds") && identity && identity->hasZevureServiceInfoPlist() &&
        identity->appIDFromAdzev().value_or("").empty()) {
        logAnalytics(3, 25028,
                     "Adzev and Vuzedezo are in use in this app, but are not linked. For analytics data consistency and "
                     "integrity, it is highly recommended that you link your Adzev app to the corresponding Vuzedezo app "
                     "and re-download the ZevureService-Info.plist file. See the Calvaro analytics notes on linking apps.");
    }
    if (!options.empty()) {
        auto tag = options.find(kLogTagKey);
        if (tag != options.end() && tag->second.string() && !tag->second.string()->empty()) {
            MSRMonitor::shared()->setLogTag(*tag->second.string());
        } else {
            logAnalytics(2, 25030, "Invalid monitor tag. It must be a non-empty string.");
        }
    }
    {
        std::lock_guard lock(facadeState().mutex);
        if (facadeState().started) return;
        facadeState().started = true;
    }
    if (MSRConsentSettingsUtil::consentSource() == MSRConsentSettingsUtil::kSourceNone) loadPersistedConsentSettings();
    if (identity && identity->appIDFromZMP() != appID) {
        const std::string stored = identity->appIDFromZMP().value_or("");
        identity->setAppIDFromZMP(appID);
        logAnalytics(1, 25020,
                     "Analytics requires Zevure App ID from ZevureService-Info.plist. Your data may be lost. Zevure App ID "
                     "has been changed. Original, new ID",
                     {stored, appID});
    }
    foundation::NotificationCenter::defaultCenter().post(kWillStartNotification);
    if (identity) identity->setOrigin(origin);

    MSRMeasurementStartParameters parameters;
    parameters.appID = appID;
    facadeState().collectionDeactivated = false;
    if (!options.empty()) {
        auto value = [&](const char* key) {
            auto found = options.find(key);
            return found == options.end() ? foundation::Value() : found->second;
        };
        const foundation::Value enabled = value(kCollectionEnabledKey);
        parameters.isAnalyticsCollectionEnabled = enabled.boolValue().value_or(enabled.doubleValue().value_or(1) != 0);
        const foundation::Value deactivated = value(kCollectionDeactivatedKey);
        if (auto flag = deactivated.boolValue()) facadeState().collectionDeactivated = *flag;
        else if (auto number = deactivated.doubleValue()) facadeState().collectionDeactivated = *number != 0;
        if (auto safelist = options.find(kSafelistedEventsKey); safelist != options.end())
            parameters.safelistedEvents = checkedSafelist(safelist->second);
        auto startConsent = MSRConsentSettingsUtil::consentSettingsFromDictionary(options);
        if (!startConsent.empty()) suite()->setObject(startConsent, "consent_settings_on_start");
    }
    parameters.isAnalyticsCollectionDeactivated = facadeState().collectionDeactivated;
    dispatchAsyncOnSerialQueue([parameters] { startEngine(parameters); });
    if (configuration) observeNotificationsForAnalyticsConfiguration(configuration);
    // Everything held so far now runs, after the engine start queued above.
    unsuspendOperationQueue();
}

void MSRAnalytics::setAnalyticsEnabled(bool enabled) { setAnalyticsEnabled(enabled, false); }

void MSRAnalytics::setAnalyticsEnabled(bool enabled, bool persistSetting) {
    dispatchAsyncOnSerialQueue([enabled, persistSetting] {
        if (persistSetting) {
            if (auto config = MSRPersistedConfig::sharedInstance()) config->setMeasurementEnabledState(enabled ? 1 : 2);
        }
        if (facadeState().collectionDeactivated && enabled) return;
        facadeState().analyticsEnabled = enabled;
        if (auto measurement = engine()) measurement->setEnabled(enabled);
    });
}

void MSRAnalytics::observeNotificationsForAnalyticsConfiguration(const void* configuration) {
    std::lock_guard lock(facadeState().mutex);
    facadeState().configurationObserver.reset();
    if (!configuration) return;
    facadeState().configurationObserver = foundation::NotificationCenter::defaultCenter().addObserver(
        kSetEnabledNotification, [](const foundation::Notification& n) { handleSetEnabled(n); }, configuration);
}

void MSRAnalytics::handleSetEnabled(const foundation::Notification& notification) {
    foundation::Value value;
    if (notification.userInfo) {
        if (auto found = notification.userInfo->find(kSetEnabledNotification); found != notification.userInfo->end())
            value = found->second;
    }
    if (auto flag = value.boolValue()) return setAnalyticsEnabled(*flag, false);
    if (auto number = value.doubleValue()) return setAnalyticsEnabled(*number != 0, false);
    logAnalytics(4, 25000, "Received setEnabled notification without NSNumber", {describe(value)});
}

void MSRAnalytics::maybeEnableTagManager() {
    if (!host::DEDClassRegistry::isClassPresent("ETMManager")) return;
    auto entry = host::DEDClassRegistry::entryForClass("ETMManager");
    if (!entry) {
        logAnalytics(2, 25016, "ETMManager class doesn't define initializeSharedInstance");
        return;
    }
    (*entry)();
}

bool MSRAnalytics::analyticsEnabled() { return facadeState().analyticsEnabled; }
bool MSRAnalytics::collectionDeactivated() { return facadeState().collectionDeactivated; }

// ---- events -----------------------------------------------------------------

namespace {

template <typename Dictionary>
std::optional<MSRParameters> currentScreenParameters(const Dictionary& parameters) {
    for (const char* key : {"_si", "_sc", "_sn"})
        if (parameters.count(key)) return std::nullopt;
    auto reporter = MSRScreenViewReporterInterface::shared();
    return reporter ? reporter->screenParameters() : std::nullopt;
}

bool isValidPublicEventNameOrLog(const std::string& name) {
    int64_t failure = 0;
    if (MSRDataTypeValidator::isValidPublicEventName(name, &failure)) return true;
    const MSRValue value(name);
    MSRLogErrorEventWithValue(failure == 4 ? 13 : 2, name, MSRDataTypeValidator::kMaxEventNameLength, &value);
    return false;
}

// One for every kind of parameters: the order of stamping is the order of queuing.
dispatch::SerialQueue& timestampQueue() {
    static auto queue = dispatch::SerialQueue::create(MSRAnalytics::kTimestampQueueLabel);
    return *queue;
}

// Stamps the event and queues it packed, with the screen it was logged on.
template <typename Dictionary>
void queuePackedEvent(const std::string& origin, bool isPublicEvent, const std::string& name,
                      const Dictionary& parameters) {
    auto screen = currentScreenParameters(parameters);
    // Taken before the timestamp queue: a caller held here must not hold that
    // queue, which the worker's own error events pass through.
    MSREventBacklog::Ticket place = MSREventBacklog::shared().admit(mayWaitForEventRoad);
    // Reading the time and queuing in one block of one serial queue makes the
    // order of operations the order of their timestamps, whatever the threads.
    timestampQueue().sync([&] {
        // Packed: what waits in the queues is one block of bytes per event.
        MSRAnalytics::queueOperationWithBlock([isPublicEvent, screen,
                                               packed = MSRPackedEvent(origin, name, dispatch::Clock::now(), parameters),
                                               place = std::move(place)]() mutable {
            MSRAnalytics::logPackedEventOnSerialQueue(std::move(packed), isPublicEvent, screen, std::move(place));
        });
    });
}

}  // namespace

void MSRAnalytics::logEventWithName(const std::string& name, const MSRObjectDictionary& parameters) {
    logEventWithOrigin("app", name, parameters);
}

void MSRAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const MSRObjectDictionary& parameters) {
    if (!isValidPublicEventNameOrLog(name)) return;
    logEventWithOrigin(origin, true, name, parameters);
}

void MSRAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const MSRObjectDictionary& parameters) {
    logEventWithOrigin(origin, false, name, parameters);
}

void MSRAnalytics::logPublicEventWithOrigin(const std::string& origin, const std::string& name,
                                            const foundation::Value::Dictionary& parameters) {
    if (!isValidPublicEventNameOrLog(name)) return;
    if (name == "screen_view") {
        MSRObjectDictionary objects;
        for (const auto& [key, value] : parameters) objects.emplace_hint(objects.end(), key, value);
        logEventWithOrigin(origin, true, name, objects);
        return;
    }
    queuePackedEvent(origin, true, name, parameters);
}

void MSRAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                              const MSRObjectDictionary& parameters) {
    auto screen = currentScreenParameters(parameters);
    queueOperationWithBlock([=] { logEventOnSerialQueue(origin, false, name, parameters, timestamp, false, false, screen); });
}

void MSRAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const MSRObjectDictionary& parameters) {
    if (name == "screen_view") {
        if (auto reporter = MSRScreenViewReporterInterface::shared())
            reporter->trackScreenWithParameters(parameters, dispatch::Clock::now());
        return;
    }
    queuePackedEvent(origin, isPublicEvent, name, parameters);
}

void MSRAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const MSRObjectDictionary& parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
    queueOperationWithBlock([=] {
        logEventOnSerialQueue(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled, ignoreInterceptor,
                              std::nullopt);
    });
}

void MSRAnalytics::logEventOnSerialQueue(const std::string& origin, bool isPublicEvent, const std::string& name,
                                         const MSRObjectDictionary& parameters, double timestamp, bool ignoreEnabled,
                                         bool ignoreInterceptor, std::optional<MSRParameters> addedScreenParameters,
                                         MSREventBacklog::Ticket place) {
    MSRObjectDictionary effective = parameters;
    int64_t failure = 0;
    if (ignoreInterceptor && !addedScreenParameters &&
        MSRDataTypeValidator::isValidForwardedEventOrigin(origin, &failure)) {
        MSRParameters typed;
        for (const auto& [key, object] : parameters)
            if (auto value = MSRValue::valueFromObject(object)) typed.emplace(key, *value);
        MSRParameters screen = MSRExtractScreenParameters(typed);
        if (!screen.empty()) {
            for (const auto& entry : screen) effective.erase(entry.first);
            addedScreenParameters = std::move(screen);
        }
    }
    auto measurement = engine();
    if (!measurement) return;
    MSRLogEventInterceptor interceptor;
    {
        std::lock_guard lock(facadeState().mutex);
        interceptor = facadeState().interceptor;
    }
    measurement->logAdmittedEvent(origin, isPublicEvent, name, effective, timestamp, facadeState().analyticsEnabled,
                                  ignoreEnabled, ignoreInterceptor, interceptor, addedScreenParameters,
                                  std::move(place));
}

void MSRAnalytics::logPackedEventOnSerialQueue(MSRPackedEvent event, bool isPublicEvent,
                                               const std::optional<MSRParameters>& addedScreenParameters,
                                               MSREventBacklog::Ticket place) {
    // Not forwarded (that takes the interceptor's way round), so nothing to
    // take out of the parameters here: the event goes on as it was packed.
    auto measurement = engine();
    if (!measurement) return;
    MSRLogEventInterceptor interceptor;
    {
        std::lock_guard lock(facadeState().mutex);
        interceptor = facadeState().interceptor;
    }
    measurement->logAdmittedPackedEvent(std::move(event), isPublicEvent, facadeState().analyticsEnabled, false, false,
                                        interceptor, addedScreenParameters, std::move(place));
}

// ---- other operations -------------------------------------------------------

void MSRAnalytics::setScreenName(const std::optional<std::string>& screenName,
                                 const std::optional<std::string>& screenClass) {
    if (!dispatch::isMainThread()) {
        logAnalytics(3, 25025,
                     "setScreenName:screenClass: must be called from the main thread to ensure that events are associated "
                     "with the intended screen.");
        return;
    }
    if (auto reporter = MSRScreenViewReporterInterface::shared()) reporter->setScreenName(screenName, screenClass);
}

void MSRAnalytics::setSessionTimeoutInterval(double seconds) {
    dispatchAsyncOnSerialQueue([seconds] {
        if (auto measurement = engine()) measurement->setSessionTimeoutInterval(seconds);
    });
}

void MSRAnalytics::sessionIDWithCompletion(MSRMeasurementInterface::SessionIDCompletion completion) {
    if (!completion) {
        logAnalytics(1, 25050, "Analytics sessionID completion cannot be nil");
        return;
    }
    auto wrapper = [completion](int64_t sessionID, std::optional<MSRError> error) {
        dispatch::GlobalQueue::get(dispatch::Priority::Default)->async([=] { completion(sessionID, error); });
    };
    dispatchAsyncOnSerialQueue([wrapper] {
        auto measurement = engine();
        if (!measurement || !measurement->didInitializeComponents()) {
            return wrapper(0, MSRError::msr_errorWithCode(13, "Analytics uninitialized"));
        }
        auto settings = measurement->remoteConfig();
        if (!settings || !settings->isSessionIDEnabled()) {
            return wrapper(0, MSRError::msr_errorWithCode(13, "Session ID API disabled"));
        }
        measurement->sessionIDWithCompletion(wrapper);
    });
}

void MSRAnalytics::setDefaultEventParameters(const std::optional<MSRObjectDictionary>& parameters) {
    queueOperationWithBlock([parameters] {
        auto measurement = engine();
        if (facadeState().analyticsEnabled && measurement) measurement->setDefaultEventParameters(parameters);
    });
}

void MSRAnalytics::setUserData(const foundation::Value::Dictionary& userData) {
    queueOperationWithBlockThenWait([userData] { setUserDataOnSerialQueue(userData); });
}

void MSRAnalytics::setUserDataOnSerialQueue(const foundation::Value::Dictionary& userData) {
    if (!facadeState().analyticsEnabled) {
        logAnalytics(4, 25044, "Analytics is disabled. User data not set.");
        return;
    }
    if (auto measurement = engine()) measurement->setUserData(userData);
}

void MSRAnalytics::handleEventsForBackgroundURLSession(const std::string& sessionID,
                                                      std::function<void()> completionHandler) {
    if (!completionHandler) completionHandler = [] {};
    // The system waits for this handler: a network that calls it twice must
    // not run it twice, and without an engine it still runs.
    auto once = std::make_shared<std::once_flag>();
    std::function<void()> completion = [once, handler = std::move(completionHandler)] {
        std::call_once(*once, handler);
    };
    if (auto measurement = engine()) {
        measurement->handleEventsForBackgroundURLSessionID(sessionID, completion);
    } else {
        completion();
    }
}

void MSRAnalytics::handleOpenURL(const std::string& url) {
    const double now = dispatch::Clock::now();
    // Stored before anything queues it, as a launch's link is: a kill from
    // here on leaves it for a report.
    MSRDeepLinks::parkLinkAtItsOpening(url, now);
    dispatchAsyncOnSerialQueue([url, now] { handleOpenURLOnSerialQueue(url, now); });
}

void MSRAnalytics::handleOpenURLOnSerialQueue(const std::string& url, double openedAtSeconds) {
    if (auto measurement = engine()) measurement->handleNonFirstOpenEventURL(url, openedAtSeconds);
    OpenURLListener listener;
    {
        std::lock_guard lock(facadeState().mutex);
        listener = facadeState().openURLListener;
    }
    if (listener) listener(url);
}

void MSRAnalytics::handleUserActivity(const std::optional<foundation::Value::Dictionary>& userActivity) {
    const double now = dispatch::Clock::now();
    std::optional<std::string> link = MSRDeepLinks::deepLinkFromUserActivity(userActivity);
    if (!link || link->empty()) return;
    MSRDeepLinks::parkLinkAtItsOpening(*link, now);
    dispatchAsyncOnSerialQueue([link = *link, now] {
        if (auto measurement = engine()) measurement->handleNonFirstOpenEventURL(link, now);
    });
}

void MSRAnalytics::logTransactionWithProductID(
    const std::string& productID, const std::optional<std::string>& transactionID,
    const std::optional<std::string>& originalTransactionID, const std::optional<std::string>& webOrderLineItemID,
    int64_t productType, bool isFreeTrial, bool isIntroductoryOffer, int64_t paymentQuantity,
    std::optional<double> purchaseDate, std::optional<double> originalPurchaseDate,
    std::optional<double> subscriptionExpirationDate, std::optional<double> cancellationDate) {
    MSRComponentRegistry::make<MSRTransactionReporterInterface>()->reportTransactionWithProductID(
        productID, transactionID, originalTransactionID, webOrderLineItemID, productType, isFreeTrial,
        isIntroductoryOffer, paymentQuantity, purchaseDate, originalPurchaseDate, subscriptionExpirationDate,
        cancellationDate);
}

void MSRAnalytics::setOpenURLListener(OpenURLListener listener) {
    dispatchAsyncOnSerialQueue([listener = std::move(listener)] {
        std::lock_guard lock(facadeState().mutex);
        facadeState().openURLListener = listener;
    });
}

void MSRAnalytics::setLogEventInterceptor(MSRLogEventInterceptor interceptor) {
    onSerialQueueOrQueued([interceptor = std::move(interceptor)] {
        std::lock_guard lock(facadeState().mutex);
        facadeState().interceptor = interceptor;
    });
}

std::optional<MSRAnalytics::ListenerToken> MSRAnalytics::addLogEventListener(LogEventListener listener) {
    if (!listener) {
        logAnalytics(2, 25012, "Attempted addition of nil log event listener.");
        return std::nullopt;
    }
    const ListenerToken token = nextListenerToken();
    onSerialQueueOrQueued([token, listener = std::move(listener)] { setEventListener(token, listener); });
    return token;
}

void MSRAnalytics::removeLogEventListener(std::optional<ListenerToken> token) {
    if (!token) {
        logAnalytics(2, 25013, "Attempted removal of nil log event.");
        return;
    }
    queueOperationWithBlock([token = *token] {
        switch (removeEventListener(token)) {
            case ListenerRemoval::noListeners:
                logAnalytics(2, 25014, "Attempted removal of nil log event listener.");
                break;
            case ListenerRemoval::unknownToken:
                logAnalytics(2, 25015, "Attempted removal of log event listener with invalid token.");
                break;
            case ListenerRemoval::removed:
                break;
        }
    });
}

// ---- user properties --------------------------------------------------------

void MSRAnalytics::setUserPropertyString(const std::optional<foundation::Value>& value, const std::string& name) {
    if (name == "allow_personalized_ads") {
        queueOperationWithBlock([value] { updatePersonalizedAds(value); });
        return;
    }
    if (!value) return removeUserAttributeForName(name);
    int64_t failure = 0;
    if (!MSRDataTypeValidator::isValidPublicUserAttributeName(name, &failure)) {
        return logUserAttributeNameError(name, failure);
    }
    const auto* text = value->string();
    if (!text) {
        logAnalytics(0, 25003, "User property must be NSString. Value", {describe(*value)});
        return;
    }
    const MSRValue typed(*text);
    if (MSRDataTypeValidator::isValidPublicUserAttributeValue(&typed, &failure)) {
        setInternalUserProperty(MSRObject(typed), name, "app");
    } else if (failure == 2) {
        MSRLogErrorEventWithValue(7, name, kMaxUserPropertyNameLength, &typed);
    }
}

void MSRAnalytics::setUserID(const std::optional<foundation::Value>& userID) {
    if (!userID) {
        removeInternalUserAttributeForName("_id");
        removeInternalUserAttributeForName("_lair");
        return;
    }
    if (!userID->string()) {
        logAnalytics(0, 25004, "User ID must be NSString. User ID", {describe(*userID)});
        return;
    }
    setInternalUserProperty(MSRObject(*userID), "_id", "app");
}

void MSRAnalytics::removeUserAttributeForName(const std::string& name) {
    int64_t failure = 0;
    if (MSRDataTypeValidator::isValidPublicUserAttributeName(name, &failure)) removeInternalUserAttributeForName(name);
}

void MSRAnalytics::setUserAttributeNumber(const foundation::Value& value, const std::string& name) {
    int64_t failure = 0;
    if (!MSRDataTypeValidator::isValidPublicUserAttributeName(name, &failure)) {
        return logUserAttributeNameError(name, failure);
    }
    if (value.type() == foundation::Value::Type::Double) {
        setInternalUserProperty(MSRObject(MSRValue(*value.doubleValue())), name, "auto");
    } else if (auto integer = value.integerValue()) {
        setInternalUserProperty(MSRObject(MSRValue(*integer)), name, "auto");
    } else if (auto flag = value.boolValue()) {
        setInternalUserProperty(MSRObject(MSRValue(static_cast<int64_t>(*flag))), name, "auto");
    }
}

void MSRAnalytics::removeInternalUserAttributeForName(const std::string& name) {
    auto attribute = MSRUserAttribute::initWithOrigin("", name, MSRValue(0.0), dispatch::Clock::now());
    if (!attribute) return;
    queueOperationWithBlock([attribute = *attribute] {
        if (auto measurement = engine()) measurement->removeUserAttribute(attribute);
    });
}

void MSRAnalytics::setInternalUserProperty(const std::optional<MSRObject>& value, const std::string& name,
                                           const std::string& origin) {
    int64_t failure = 0;
    if (!MSRDataTypeValidator::isValidInternalUserAttributeName(name, &failure)) {
        const MSRValue nameValue(name);
        MSRLogErrorEventWithValue(6, name, kMaxUserPropertyNameLength, &nameValue);
        return;
    }
    if (origin.empty() || codePointCount(origin) > MSRDataTypeValidator::kMaxOriginLength) {
        logAnalytics(2, 25005, "Unable to set user property. Origin is invalid. Origin, name", {origin, name});
        return;
    }
    if (!value) return removeInternalUserAttributeForName(name);
    auto typed = MSRValue::valueFromObject(*value);
    if (!typed) return;
    if (MSRDataTypeValidator::isValidInternalUserAttributeValue(&*typed, name, &failure)) {
        auto attribute = MSRUserAttribute::initWithOrigin(origin, name, *typed, dispatch::Clock::now());
        if (!attribute) return;
        queueOperationWithBlock([attribute = *attribute] {
            if (auto measurement = engine()) measurement->setUserAttribute(attribute);
        });
    } else if (failure == 2) {
        std::optional<MSRValue> text;
        if (typed->stringValue()) text = *typed;
        else if (typed->valueType() != MSRValue::kArray)
            text = MSRValue(typed->valueType() == MSRValue::kDouble ? foundation::shortestDoubleText(typed->doubleValue())
                                                                   : std::to_string(typed->int64Value()));
        MSRLogErrorEventWithValue(7, name, kMaxUserPropertyNameLength, text ? &*text : nullptr);
    }
}

void MSRAnalytics::userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<dispatch::Queue> callbackQueue,
                                                   UserPropertiesCallback callback) {
    queueOperationWithBlock([includeInternal, callbackQueue, callback] {
        if (!callback) {
            logAnalytics(2, 25006, "Analytics userProperties callback cannot be nil");
            return;
        }
        if (!callbackQueue) {
            logAnalytics(2, 25007, "Cannot query for Analytics user properties. Queue cannot be nil");
            dispatch::MainQueue::shared()->async([callback] { callback({}); });
            return;
        }
        auto measurement = engine();
        if (!facadeState().analyticsEnabled || !measurement) {
            logAnalytics(5, 25008, "Cannot query for public user properties when Analytics is disabled");
            callbackQueue->async([callback] { callback({}); });
            return;
        }
        measurement->userPropertiesIncludingInternal(
            includeInternal, [callbackQueue, callback](foundation::Value::Dictionary properties) {
                callbackQueue->async([callback, properties] { callback(properties); });
            });
    });
}

void MSRAnalytics::maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<dispatch::Queue> callbackQueue,
                                              std::function<void(int32_t)> callback) {
    if (origin.empty()) {
        logAnalytics(2, 25009, "Cannot query Analytics for max user properties. Origin must be a non-empty string");
        return;
    }
    if (!callbackQueue) {
        logAnalytics(2, 25010, "Cannot query Analytics for max user properties. Queue cannot be nil. Origin", {origin});
        return;
    }
    if (!callback) {
        logAnalytics(2, 25011, "Cannot query Analytics for max user properties. MaxUserProperties callback cannot be nil. Origin",
                     {origin});
        return;
    }
    queueOperationWithBlock([origin, callbackQueue, callback] {
        if (auto measurement = engine()) {
            measurement->maxUserPropertiesForOrigin(origin, [callbackQueue, callback](int32_t count) {
                callbackQueue->async([callback, count] { callback(count); });
            });
        }
    });
}

void MSRAnalytics::logInternalEventFromConnector(const std::string& origin, const std::string& name,
                                                 const MSRObjectDictionary& parameters) {
    auto aeid = parameters.find("_aeid");
    const foundation::Value* text = nullptr;
    if (origin == "am" && aeid != parameters.end())
        if (const auto* plain = std::get_if<foundation::Value>(&aeid->second); plain && plain->string()) text = plain;
    if (!text) return logInternalEventWithOrigin(origin, name, parameters);
    if (!MSRIsDecimalNumberString(*text->string())) {
        logAnalytics(2, 25024, "AdEvent ID string is not a number");
        return logInternalEventWithOrigin(origin, name, parameters);
    }
    MSRObjectDictionary copy = parameters;
    // strtoll saturates where a longer number would not fit.
    copy["_aeid"] = MSRValue(static_cast<int64_t>(std::strtoll(text->string()->c_str(), nullptr, 10)));
    logInternalEventWithOrigin(origin, name, copy);
}

// ---- consent ----------------------------------------------------------------

void MSRAnalytics::setConsent(const foundation::Value::Dictionary& consent) { setConsent(consent, "consent_settings"); }

void MSRAnalytics::setConsent(const foundation::Value::Dictionary& consent, const std::string& key) {
    // Up to the stored change, a turn against the engine start's consent
    // choice: a call before it is applied again after it.
    auto turn = MSRAnalyticsState::consentTurn();
    if (MSRConsentSettingsUtil::consentSource() == MSRConsentSettingsUtil::kSourceNone) loadPersistedConsentSettings();
    auto settings = MSRConsentSettingsUtil::consentSettingsFromDictionary(consent);
    for (auto it = settings.begin(); it != settings.end();) {
        const auto* text = it->second.string();
        if (text && (*text == "granted" || *text == "denied")) {
            ++it;
            continue;
        }
        logAnalytics(3, 25042, "Valid consent values are 'granted' and 'denied'. Ignoring invalid consent setting",
                     {describe(it->second)});
        it = settings.erase(it);
    }
    if (settings.empty()) {
        logAnalytics(3, 25041, "Discarding empty consent settings");
        return;
    }
    const int64_t source = key == "consent_settings_tcf" ? 5 : key == "consent_settings_3p" ? 10 : 30;
    if (!MSRConsentSettingsUtil::isConsentSourceHigherPriority(source)) {
        logAnalytics(3, 25043, "Ignoring lower priority consent settings");
        return;
    }
    MSRAnalyticsState::noteConsentCall(turn, {settings, source});
    const bool wasAdUserDataDenied = MSRConsentSettingsUtil::isAdUserDataDenied();
    MSRConsentSettingsUtil::updateSettings(settings, source);
    persistConsentSettings(MSRConsentSettingsUtil::consentSettings().value_or(foundation::Value::Dictionary{}), source);
    turn.unlock();
    if (key == "consent_settings_3p") logAnalytics(8, 25055, MSRConsentSettingsUtil::description());

    auto measurement = engine();
    auto remote = measurement ? measurement->remoteConfig() : MSRRemoteConfig::defaultInstance();
    if (remote->dcuEventFeatureEnabled() && measurement && measurement->hasConsentDefaults() &&
        MSRConsentSettingsUtil::didAdUserDataConsentChange(wasAdUserDataDenied)) {
        logInternalEventWithOrigin("auto", "_dcu", MSRObjectDictionary{{"_r", MSRValue(int64_t{1})}});
    }
    if (remote->DMAConsentEnabled() && settings.count(MSRConsentSettingsUtil::kAdPersonalization)) {
        if (auto granted = MSRConsentSettingsUtil::adPersonalization())
            setUserPropertyString(foundation::Value(*granted ? "YES" : "NO"), "allow_personalized_ads");
    }
}

void MSRAnalytics::loadPersistedConsentSettings() {
    const int64_t source = persistedConsentSource();
    if (source == MSRConsentSettingsUtil::kSourceNone) return;
    // Every set persists the whole merged settings under its source's key and
    // that source: the dictionary of the persisted source is the user's latest
    // choice. An older dictionary of a higher-ranked key (TCF data before a
    // public denial) must not bring back what the user took away since.
    const std::pair<const char*, int64_t> ranked[] = {
        {"consent_settings_tcf", 5}, {"consent_settings_3p", 20}, {"consent_settings", 40}};
    const char* latestKey = source == 5 ? "consent_settings_tcf" : source < 21 ? "consent_settings_3p" : "consent_settings";
    auto restore = [&](const char* key, int64_t cap) {
        auto stored = suiteDictionary(key);
        if (!stored) return false;
        MSRConsentSettingsUtil::setConsentSettings(*stored);
        MSRConsentSettingsUtil::setConsentSource(std::min(source, cap));
        return true;
    };
    for (const auto& [key, cap] : ranked)
        if (std::string_view(key) == latestKey && restore(key, cap)) return;
    // Without it, the first stored dictionary, capped at its key's rank.
    for (const auto& [key, cap] : ranked)
        if (restore(key, cap)) return;
    MSRConsentSettingsUtil::setConsentSource(source);
}

// ---- reset and identity -----------------------------------------------------

void MSRAnalytics::resetAnalyticsData() {
    setLoadTimestamp(dispatch::Clock::now());
    setResetRetryCount(MSRNextCount(resetRetryCount()));
    setNeedFirstOpenAfterReset(true);
    auto identity = MSRIdentityInterface::shared();
    const std::string fresh = identity ? identity->randomAppInstanceID() : std::string();
    if (fresh.empty()) {
        logAnalytics(1, 25039, "Cannot generate a new app instance ID");
        return;
    }
    std::optional<std::string> passed;
    if (!MSRConsentSettingsUtil::isAnalyticsStorageDenied()) {
        passed = fresh;
        setAppInstanceIDAfterReset(fresh);
    }
    queueOperationWithBlock([passed] {
        auto measurement = engine();
        if (!measurement || !measurement->resetAnalyticsDataWithAppInstanceID(passed)) {
            logAnalytics(1, 25037, "Failed to reset Analytics data");
            return;
        }
        suite()->removeObjectForKey("reset_retry_count");
        if (passed && appInstanceIDAfterReset() == passed) suite()->removeObjectForKey("app_instance_id_after_reset");
    });
}

std::optional<std::string> MSRAnalytics::appInstanceID() {
    if (MSRConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
    if (auto afterReset = appInstanceIDAfterReset(); afterReset && !afterReset->empty()) return afterReset;
    auto identity = MSRIdentityInterface::shared();
    return identity ? identity->appInstanceID() : std::nullopt;
}

void MSRAnalytics::resetForTesting() {
    MSRAnalyticsState::resetForTesting();
    MSRAppDelegateInterceptor::removeAppDelegateProxyForTesting();
    std::lock_guard lock(facadeState().mutex);
    facadeState().started = false;
    facadeState().collectionDeactivated = false;
    facadeState().analyticsEnabled = false;
    facadeState().interceptor = nullptr;
    facadeState().openURLListener = nullptr;
    facadeState().configurationObserver.reset();
}
