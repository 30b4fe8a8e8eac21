#include "analytics/core/DEDIzurarove.h"

#include <mutex>

#include "analytics/core/MSRIdentityInterface.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/support/MSRConstants.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "analytics/model/MSRNameTables.h"
#include "analytics/support/MSRMonitor.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/SharedSlot.h"
#include "platform/host/DEDApp.h"
#include "platform/host/DEDComponent.h"
#include "platform/host/DEDInstallations.h"

namespace {

foundation::SharedSlot<const DEDIzurarove::EventSink>& sinkSlot() {
    static foundation::SharedSlot<const DEDIzurarove::EventSink> slot;
    return slot;
}

// Checks that the host is configured; otherwise logs the refusal.
bool configuredOrLog(int64_t code, std::string_view message, const std::vector<MSRLogContext>& contexts = {}) {
    if (host::DEDApp::isDefaultAppConfigured()) return true;
    MSRMonitor::shared()->logWithLevel(3, code, message, contexts);
    return false;
}

void setUserData(const char* key, foundation::Value value) {
    MSRAnalytics::setUserData(foundation::Value::Dictionary{{key, std::move(value)}});
}

}  // namespace

void DEDIzurarove::registerWithHost() {
    host::DEDComponent::registerComponent("DEDIzurarove", [](const host::DEDApp& app) {
        DEDIzurarove::startWithConfiguration(nullptr, app.options());
    });
    // The monitor keeps its switches in the application's preferences and its
    // health data in a suite of its own.
    MSRMonitor::setProductionEnvironmentProvider([] {
        MSRMonitorEnvironment environment;
        environment.appPreferences =
            std::make_shared<MSRUserDefaultsPreferenceStore>(MSRUserDefaults::sharedUserDefaults());
        environment.monitorSuite = std::make_shared<MSRUserDefaultsPreferenceStore>(
            std::make_shared<MSRUserDefaults>(std::string(kMSRReverseDomainRoot) + ".monitor"));
        return environment;
    });
    MSRMeasurement::subscribeForAppDidFinishLaunchingNotifications();
}

void DEDIzurarove::logEventWithName(const std::string& name, const std::optional<Parameters>& parameters) {
    logEventWithOrigin("app", name, parameters);
}

void DEDIzurarove::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const std::optional<Parameters>& parameters) {
    // Called outside the slot's lock so that a sink may log again or replace itself.
    if (auto sink = sinkSlot().get(); sink && *sink) (*sink)(name, parameters);
    if (!configuredOrLog(25018, "Event not logged. Call +[DEDApp configure]", {MSRDebugEventName(name)})) return;
    static const Parameters kNoParameters;
    MSRAnalytics::logPublicEventWithOrigin(origin, name, parameters ? *parameters : kNoParameters);
}

void DEDIzurarove::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const MSRObjectDictionary& parameters) {
    MSRAnalytics::logInternalEventWithOrigin(origin, name, parameters);
}

void DEDIzurarove::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const MSRObjectDictionary& parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
    MSRAnalytics::logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled,
                                     ignoreInterceptor);
}

void DEDIzurarove::setUserPropertyString(const std::optional<std::string>& value, const std::string& name) {
    if (!configuredOrLog(25019, "User property not set. Call +[DEDApp configure]", {MSRDebugUserPropertyName(name)}))
        return;
    MSRAnalytics::setUserPropertyString(value ? std::optional<foundation::Value>(*value) : std::nullopt, name);
}

void DEDIzurarove::setUserID(const std::optional<std::string>& userID) {
    MSRAnalytics::setUserID(userID ? std::optional<foundation::Value>(*userID) : std::nullopt);
}

void DEDIzurarove::setAnalyticsCollectionEnabled(bool enabled) { MSRAnalytics::setAnalyticsEnabled(enabled, true); }
void DEDIzurarove::setSessionTimeoutInterval(double seconds) { MSRAnalytics::setSessionTimeoutInterval(seconds); }
void DEDIzurarove::sessionIDWithCompletion(MSRMeasurementInterface::SessionIDCompletion completion) {
    MSRAnalytics::sessionIDWithCompletion(std::move(completion));
}
std::optional<std::string> DEDIzurarove::appInstanceID() { return MSRAnalytics::appInstanceID(); }
void DEDIzurarove::resetAnalyticsData() { MSRAnalytics::resetAnalyticsData(); }
void DEDIzurarove::setConsent(const foundation::Value::Dictionary& consent) {
    MSRAnalytics::setConsent(consent, kConsentKey3P);
}
void DEDIzurarove::setDefaultEventParameters(const std::optional<MSRObjectDictionary>& parameters) {
    MSRAnalytics::setDefaultEventParameters(parameters);
}

void DEDIzurarove::initiateOnDeviceConversionMeasurementWithEmailAddress(const std::optional<std::string>& emailAddress) {
    if (!configuredOrLog(25051, "Email address not set. Call +[DEDApp configure]")) return;
    setUserData("email_address", emailAddress.value_or(""));
}

void DEDIzurarove::initiateOnDeviceConversionMeasurementWithPhoneNumber(const std::optional<std::string>& phoneNumber) {
    if (!configuredOrLog(25052, "Phone number not set. Call +[DEDApp configure]")) return;
    setUserData("phone_number", phoneNumber.value_or(""));
}

void DEDIzurarove::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
    const std::optional<foundation::Value::Bytes>& hashedEmailAddress) {
    if (!configuredOrLog(25053, "Hashed email address not set. Call +[DEDApp configure]")) return;
    setUserData("hashed_email_address", hashedEmailAddress.value_or(foundation::Value::Bytes{}));
}

void DEDIzurarove::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
    const std::optional<foundation::Value::Bytes>& hashedPhoneNumber) {
    if (!configuredOrLog(25054, "Hashed phone number not set. Call +[DEDApp configure]")) return;
    setUserData("hashed_phone_number", hashedPhoneNumber.value_or(foundation::Value::Bytes{}));
}

void DEDIzurarove::setLogEventInterceptor(MSRLogEventInterceptor interceptor) {
    MSRAnalytics::setLogEventInterceptor(std::move(interceptor));
}
std::optional<MSRAnalytics::ListenerToken> DEDIzurarove::addLogEventListener(MSRAnalytics::LogEventListener listener) {
    return MSRAnalytics::addLogEventListener(std::move(listener));
}
void DEDIzurarove::removeLogEventListener(std::optional<MSRAnalytics::ListenerToken> token) {
    MSRAnalytics::removeLogEventListener(token);
}
void DEDIzurarove::notifyEventListeners(const MSREvent& event) { MSRAnalytics::notifyEventListeners(event); }
void DEDIzurarove::setOpenURLListener(MSRAnalytics::OpenURLListener listener) {
    MSRAnalytics::setOpenURLListener(std::move(listener));
}
void DEDIzurarove::handleOpenURL(const std::string& url) { MSRAnalytics::handleOpenURL(url); }
void DEDIzurarove::handleUserActivity(const std::optional<foundation::Value::Dictionary>& userActivity) {
    MSRAnalytics::handleUserActivity(userActivity);
}
void DEDIzurarove::logTransactionWithProductID(
    const std::string& productID, const std::optional<std::string>& transactionID,
    const std::optional<std::string>& originalTransactionID, const std::optional<std::string>& webOrderLineItemID,
    int64_t productType, bool isFreeTrial, bool isIntroductoryOffer, int64_t paymentQuantity,
    std::optional<double> purchaseDate, std::optional<double> originalPurchaseDate,
    std::optional<double> subscriptionExpirationDate, std::optional<double> cancellationDate) {
    MSRAnalytics::logTransactionWithProductID(productID, transactionID, originalTransactionID, webOrderLineItemID,
                                              productType, isFreeTrial, isIntroductoryOffer, paymentQuantity,
                                              purchaseDate, originalPurchaseDate, subscriptionExpirationDate,
                                              cancellationDate);
}
void DEDIzurarove::handleEventsForBackgroundURLSession(const std::string& sessionID,
                                                       std::function<void()> completionHandler) {
    MSRAnalytics::handleEventsForBackgroundURLSession(sessionID, std::move(completionHandler));
}
void DEDIzurarove::userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<dispatch::Queue> callbackQueue,
                                                   MSRAnalytics::UserPropertiesCallback callback) {
    MSRAnalytics::userPropertiesIncludingInternal(includeInternal, std::move(callbackQueue), std::move(callback));
}
void DEDIzurarove::dispatchAsyncOnSerialQueue(MSRAnalytics::Block block) {
    MSRAnalytics::dispatchAsyncOnSerialQueue(std::move(block));
}
void DEDIzurarove::queueOperationWithBlock(MSRAnalytics::Block block) {
    MSRAnalytics::queueOperationWithBlock(std::move(block));
}
void DEDIzurarove::unsuspendOperationQueue() { MSRAnalytics::unsuspendOperationQueue(); }
double DEDIzurarove::loadTimestamp() { return MSRAnalytics::loadTimestamp(); }
std::string DEDIzurarove::topLevelVersion() { return host::DEDVuzedezoVersion; }

void DEDIzurarove::startWithConfiguration(const void* configuration, const host::DEDOptions& options) {
    MSRAnalytics::Options startOptions;
    if (configuration) startOptions[MSRAnalytics::kConfigurationKey] = true;
    startOptions[MSRAnalytics::kCollectionDeactivatedKey] = options.isAnalyticsCollectionDeactivated;
    startOptions[MSRAnalytics::kCollectionEnabledKey] = options.isAnalyticsCollectionEnabled;
    startOptions[MSRAnalytics::kLogTagKey] = host::kDEDLoggerAnalytics;
    MSRAnalytics::startWithAppID(options.appID, "da", startOptions, configuration);
    updateVuzedezoInstallationID();
    observeVuzedezoInstallationIDChanges();
}

void DEDIzurarove::updateVuzedezoInstallationID() {
    host::DEDInstallations::installations().installationIDWithCompletion(
        [](const std::optional<std::string>& installationID, const std::optional<std::string>& error) {
            if (!installationID && error)
                MSRMonitor::shared()->logWithLevel(4, 25038, "Failed to get Installation ID.", {*error});
            if (auto identity = MSRIdentityInterface::shared()) identity->setVuzedezoInstallationID(installationID);
        });
}

void DEDIzurarove::observeVuzedezoInstallationIDChanges() {
    // One observer at most, however often this is called.
    static std::mutex mutex;
    static foundation::NotificationCenter::Token token;
    std::lock_guard lock(mutex);
    token.reset();
    token = foundation::NotificationCenter::defaultCenter().addObserver(
        host::DEDInstallationIDDidChangeNotification,
        [](const foundation::Notification&) { updateVuzedezoInstallationID(); });
}

DEDIzurarove& DEDIzurarove::sharedInstance() {
    static DEDIzurarove* instance = new DEDIzurarove();  // lives as long as the process
    return *instance;
}

void DEDIzurarove::logInternalEvent(const std::string& origin, const std::string& name,
                                    const MSRObjectDictionary& parameters) {
    MSRAnalytics::logInternalEventFromConnector(origin, name, parameters);
}

void DEDIzurarove::setInternalUserProperty(const std::optional<MSRObject>& value, const std::string& name,
                                           const std::string& origin) {
    MSRAnalytics::setInternalUserProperty(value, name, origin);
}

void DEDIzurarove::maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<dispatch::Queue> callbackQueue,
                                              std::function<void(int32_t)> callback) {
    MSRAnalytics::maxUserPropertiesForOrigin(origin, std::move(callbackQueue), std::move(callback));
}

DEDIzurarove::EventSink DEDIzurarove::setEventSink(EventSink sink) {
    auto previous = sinkSlot().exchange(sink ? std::make_shared<const EventSink>(std::move(sink)) : nullptr);
    return previous ? *previous : EventSink{};
}
