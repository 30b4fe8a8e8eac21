#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "analytics/core/MSRAnalytics.h"
#include "platform/foundation/Value.h"

namespace host {
struct DEDOptions;
}
class MSRIdentifiers;
class MSRMeasurement;
class MSRUserAttribute;

// The engine's types under the public prefix, for the host's frameworks.
using DEDAMeasurement = MSRMeasurement;
using DEDAEvent = MSREvent;
using DEDAValue = MSRValue;
using DEDAUserAttribute = MSRUserAttribute;
using DEDAIdentifiers = MSRIdentifiers;

// The public analytics interface: what the application's screens, the host's
// core framework and other host frameworks call. It keeps no state: each call
// checks, where noted, that the host's core framework is configured (refusals
// are logged and the call dropped) and hands the call to the facade.
class DEDIzurarove {
public:
    using Parameters = foundation::Value::Dictionary;
    // Sees every event logged through the interface, before any check (the
    // application's tests watch what the screens log through it, whether or
    // not the host has been configured).
    using EventSink = std::function<void(const std::string& name, const std::optional<Parameters>& parameters)>;

    static constexpr const char* kConsentKey3P = "consent_settings_3p";

    // The screens' entry: origin "app".
    static void logEventWithName(const std::string& name, const std::optional<Parameters>& parameters = std::nullopt);
    static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                   const std::optional<Parameters>& parameters);
    static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                           const MSRObjectDictionary& parameters);
    static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                   const MSRObjectDictionary& parameters, double timestamp, bool ignoreEnabled,
                                   bool ignoreInterceptor);
    static void setUserPropertyString(const std::optional<std::string>& value, const std::string& name);
    static void setUserID(const std::optional<std::string>& userID);
    // Persists the setting, unlike the facade's own switch.
    static void setAnalyticsCollectionEnabled(bool enabled);
    static void setSessionTimeoutInterval(double seconds);
    static void sessionIDWithCompletion(MSRMeasurementInterface::SessionIDCompletion completion);
    static std::optional<std::string> appInstanceID();
    static void resetAnalyticsData();
    static void setConsent(const foundation::Value::Dictionary& consent);
    // Nothing clears every default; a dictionary changes only the names it holds.
    static void setDefaultEventParameters(const std::optional<MSRObjectDictionary>& parameters);
    static void initiateOnDeviceConversionMeasurementWithEmailAddress(const std::optional<std::string>& emailAddress);
    static void initiateOnDeviceConversionMeasurementWithPhoneNumber(const std::optional<std::string>& phoneNumber);
    static void initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
        const std::optional<foundation::Value::Bytes>& hashedEmailAddress);
    static void initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
        const std::optional<foundation::Value::Bytes>& hashedPhoneNumber);
    // One transaction of the newer store interface, as plain values (dates in
    // seconds since 1970; the last two are absent for a transaction that
    // neither expires nor was revoked).
    static void logTransactionWithProductID(const std::string& productID, const std::optional<std::string>& transactionID,
                                            const std::optional<std::string>& originalTransactionID,
                                            const std::optional<std::string>& webOrderLineItemID, int64_t productType,
                                            bool isFreeTrial, bool isIntroductoryOffer, int64_t paymentQuantity,
                                            std::optional<double> purchaseDate,
                                            std::optional<double> originalPurchaseDate,
                                            std::optional<double> subscriptionExpirationDate,
                                            std::optional<double> cancellationDate);
    static void setLogEventInterceptor(MSRLogEventInterceptor interceptor);
    static std::optional<MSRAnalytics::ListenerToken> addLogEventListener(MSRAnalytics::LogEventListener listener);
    static void removeLogEventListener(std::optional<MSRAnalytics::ListenerToken> token);
    static void notifyEventListeners(const MSREvent& event);
    static void setOpenURLListener(MSRAnalytics::OpenURLListener listener);
    static void handleOpenURL(const std::string& url);
    // A user activity handed to the application ({"activityType", "webpageURL"}).
    static void handleUserActivity(const std::optional<foundation::Value::Dictionary>& userActivity);
    static void handleEventsForBackgroundURLSession(const std::string& sessionID,
                                                    std::function<void()> completionHandler);
    static void userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<dispatch::Queue> callbackQueue,
                                                MSRAnalytics::UserPropertiesCallback callback);
    static void dispatchAsyncOnSerialQueue(MSRAnalytics::Block block);
    static void queueOperationWithBlock(MSRAnalytics::Block block);
    static void unsuspendOperationQueue();
    static double loadTimestamp();
    static std::string topLevelVersion();

    // Makes the host's configuration start the engine. Called once from the
    // application's start, before the host is configured (a later call starts
    // the engine at once if the host already is).
    static void registerWithHost();
    // Called by the host's core framework once it is configured. A non-null
    // `configuration` is the host's analytics configuration object.
    static void startWithConfiguration(const void* configuration, const host::DEDOptions& options);
    static void updateVuzedezoInstallationID();
    static void observeVuzedezoInstallationIDChanges();
    static void notCalled() {}

    // The shared instance serves the connector of other host frameworks.
    static DEDIzurarove& sharedInstance();
    void logInternalEvent(const std::string& origin, const std::string& name, const MSRObjectDictionary& parameters);
    void setInternalUserProperty(const std::optional<MSRObject>& value, const std::string& name,
                                 const std::string& origin);
    void maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<dispatch::Queue> callbackQueue,
                                    std::function<void(int32_t)> callback);

    // Installs the watcher of logged events (null: none). Returns the previous one.
    static EventSink setEventSink(EventSink sink);

private:
    DEDIzurarove() = default;  // initInternal
};
