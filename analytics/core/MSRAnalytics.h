#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "analytics/core/MSRAnalyticsState.h"
#include "analytics/core/MSRMeasurementInterface.h"
#include "analytics/model/MSREvent.h"
#include "analytics/model/MSRValue.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "platform/dispatch/OperationGate.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Value.h"

// The static facade between the public interface and the measurement engine.
//
// Three queues carry every call: the timestamp queue stamps each logged event
// and queues its operation inside the same block, so call order equals time
// order; the width-1 operation queue holds every operation until the engine
// has started, then releases them in order; each operation only moves its work
// onto the serial queue "MSRAnalyticsQueue", where the facade's state lives and
// from where the engine is called. The queues, the stored preferences and the
// listeners it shares with the engine are MSRAnalyticsState's.
class MSRAnalytics : public MSRAnalyticsState {
public:
    using Options = foundation::Value::Dictionary;
    using UserPropertiesCallback = std::function<void(foundation::Value::Dictionary)>;
    using OpenURLListener = std::function<void(const std::string& url)>;

    static constexpr const char* kTimestampQueueLabel = "MSRAnalyticsTimestampQueue";
    static constexpr const char* kWillStartNotification = "kDEDIzuraroveWillStartNotification";
    static constexpr const char* kSetEnabledNotification = "DEDIzuraroveConfigurationSetEnabledNotification";
    static constexpr const char* kCollectionEnabledKey = "VUZEDEZO_ANALYTICS_COLLECTION_ENABLED";
    static constexpr const char* kCollectionDeactivatedKey = "VUZEDEZO_ANALYTICS_COLLECTION_DEACTIVATED";
    static constexpr const char* kConfigurationKey = "VUZEDEZO_ANALYTICS_CONFIGURATION";
    static constexpr const char* kLogTagKey = "rov_idarurozaro_log_tag";
    static constexpr const char* kSafelistedEventsKey = "safelisted_events";
    static constexpr double kThenWaitSuspension = 0.5;

    MSRAnalytics() = delete;

    // ---- queues ----
    static bool isCurrentQueueSerialQueue();
    // Queues the block, then (unless the operation queue is held) waits until
    // every queued operation has run and holds the queue for 0.5 s.
    static void queueOperationWithBlockThenWait(Block block);
    static void unsuspendOperationQueue();
    static bool isOperationQueueSuspended();

    // ---- start and enablement ----
    // `configuration` is the host's analytics configuration object (compared by
    // address, the sender of its set-enabled notification); the options
    // dictionary carries the flag under kConfigurationKey when one is given.
    static void startWithAppID(const std::string& appID, const std::string& origin, const Options& options,
                               const void* configuration = nullptr);
    static void setAnalyticsEnabled(bool enabled);
    static void setAnalyticsEnabled(bool enabled, bool persistSetting);
    static void observeNotificationsForAnalyticsConfiguration(const void* configuration);
    static void handleSetEnabled(const foundation::Notification& notification);
    static void maybeEnableTagManager();
    static bool analyticsEnabled();
    static bool collectionDeactivated();

    // ---- events ----
    static void logEventWithName(const std::string& name, const MSRObjectDictionary& parameters);
    static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                   const MSRObjectDictionary& parameters);
    // As logEventWithOrigin, for the plain values a public call gives: they are
    // packed as they are, with no dictionary of objects made on the way.
    static void logPublicEventWithOrigin(const std::string& origin, const std::string& name,
                                         const foundation::Value::Dictionary& parameters);
    static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                           const MSRObjectDictionary& parameters);
    static void logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                           const MSRObjectDictionary& parameters);
    static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                   const MSRObjectDictionary& parameters);
    static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                   const MSRObjectDictionary& parameters, double timestamp, bool ignoreEnabled,
                                   bool ignoreInterceptor);
    static void logEventOnSerialQueue(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const MSRObjectDictionary& parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor, std::optional<MSRParameters> addedScreenParameters,
                                      MSREventBacklog::Ticket place = {});
    // The same for a public call's event, packed when it was logged.
    static void logPackedEventOnSerialQueue(MSRPackedEvent event, bool isPublicEvent,
                                            const std::optional<MSRParameters>& addedScreenParameters,
                                            MSREventBacklog::Ticket place);

    // ---- other operations ----
    static void setScreenName(const std::optional<std::string>& screenName,
                              const std::optional<std::string>& screenClass);
    static void setSessionTimeoutInterval(double seconds);
    static void sessionIDWithCompletion(MSRMeasurementInterface::SessionIDCompletion completion);
    static void setDefaultEventParameters(const std::optional<MSRObjectDictionary>& parameters);
    static void setUserData(const foundation::Value::Dictionary& userData);
    static void setUserDataOnSerialQueue(const foundation::Value::Dictionary& userData);
    static void handleOpenURL(const std::string& url);
    // The same on the serial queue, with the time (seconds since 1970) the
    // link was opened.
    static void handleOpenURLOnSerialQueue(const std::string& url, double openedAtSeconds);
    // The application's background network session: the engine's network
    // component takes it over; the handler runs exactly once in any case.
    static void handleEventsForBackgroundURLSession(const std::string& sessionID,
                                                    std::function<void()> completionHandler);
    // A browsing user activity's link is a campaign link like an opened URL;
    // the open-URL listener does not hear of it.
    static void handleUserActivity(const std::optional<foundation::Value::Dictionary>& userActivity);
    static void setOpenURLListener(OpenURLListener listener);
    // Hands the transaction to the purchase reporter at once, whether or not
    // the engine has started or collection is on: its event waits in the
    // operation queue like any other and meets the engine's enabled check.
    static void logTransactionWithProductID(const std::string& productID, const std::optional<std::string>& transactionID,
                                            const std::optional<std::string>& originalTransactionID,
                                            const std::optional<std::string>& webOrderLineItemID, int64_t productType,
                                            bool isFreeTrial, bool isIntroductoryOffer, int64_t paymentQuantity,
                                            std::optional<double> purchaseDate,
                                            std::optional<double> originalPurchaseDate,
                                            std::optional<double> subscriptionExpirationDate,
                                            std::optional<double> cancellationDate);
    static void setLogEventInterceptor(MSRLogEventInterceptor interceptor);
    // Nothing for an empty listener.
    static std::optional<ListenerToken> addLogEventListener(LogEventListener listener);
    static void removeLogEventListener(std::optional<ListenerToken> token);

    // ---- user properties ----
    static void setUserPropertyString(const std::optional<foundation::Value>& value, const std::string& name);
    static void setUserID(const std::optional<foundation::Value>& userID);
    static void removeUserAttributeForName(const std::string& name);
    static void setUserAttributeNumber(const foundation::Value& value, const std::string& name);
    static void removeInternalUserAttributeForName(const std::string& name);
    static void setInternalUserProperty(const std::optional<MSRObject>& value, const std::string& name,
                                        const std::string& origin);
    // A null queue answers on the main queue (empty) after a log line.
    static void userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<dispatch::Queue> callbackQueue,
                                                UserPropertiesCallback callback);
    static void maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<dispatch::Queue> callbackQueue,
                                           std::function<void(int32_t)> callback);
    // The instance form used by the connector: "_aeid" of origin "am" as a number.
    static void logInternalEventFromConnector(const std::string& origin, const std::string& name,
                                              const MSRObjectDictionary& parameters);

    // ---- consent ----
    static void setConsent(const foundation::Value::Dictionary& consent);
    static void setConsent(const foundation::Value::Dictionary& consent, const std::string& key);
    static void loadPersistedConsentSettings();

    // ---- reset and identity ----
    static void resetAnalyticsData();
    static std::optional<std::string> appInstanceID();

    // A fresh facade as after a process start: the operation queue held again,
    // no start done, no listeners, the load timestamp now. Stored preferences
    // are kept.
    static void resetForTesting();
};
