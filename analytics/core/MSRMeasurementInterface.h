#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/core/MSREventBacklog.h"
#include "analytics/core/MSRPackedEvent.h"
#include "analytics/model/MSRUserAttribute.h"
#include "analytics/model/MSRValue.h"
#include "analytics/support/MSRError.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "platform/foundation/Value.h"

// Called instead of storing a public event while set: origin, name, the
// parameters merged with the screen parameters, and the event time.
using MSRLogEventInterceptor = std::function<void(const std::string& origin, const std::string& name,
                                                  const MSRObjectDictionary& parameters, double timestamp)>;

// What the facade hands the engine when it starts it.
struct MSRMeasurementStartParameters {
    std::string appID;
    bool isAnalyticsCollectionEnabled = true;
    bool isAnalyticsCollectionDeactivated = false;
    std::optional<std::vector<std::string>> safelistedEvents;
};

// The measurement engine as the facade sees it. The facade calls these only on
// its serial queue "MSRAnalyticsQueue". The engine proper implements it and is
// what the component registry makes by default; tests may register another
// maker, or a null instance, and then no engine exists and the facade drops
// what it would hand on.
class MSRMeasurementInterface {
public:
    using SessionIDCompletion = std::function<void(int64_t sessionID, std::optional<MSRError> error)>;

    virtual ~MSRMeasurementInterface() = default;

    // Makes the shared engine through the component registry, once; later
    // calls keep the first engine. A maker that answers none makes nothing.
    static void initializeSharedInstance(const MSRMeasurementStartParameters& parameters);
    static std::shared_ptr<MSRMeasurementInterface> sharedInstance();
    static bool hasSharedInstance() { return sharedInstance() != nullptr; }
    // Drops the shared engine and leaves none to be made (tests).
    static void resetForTesting();

    virtual bool wasEnabledDuringInitialization() = 0;
    virtual bool didInitializeComponents() = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual void logEvent(const std::string& origin, bool isPublicEvent, const std::string& name,
                          const MSRObjectDictionary& parameters, double timestamp, bool enabled,
                          bool ignoreEnabled, bool ignoreInterceptor, const MSRLogEventInterceptor& interceptor,
                          const std::optional<MSRParameters>& addedScreenParameters) = 0;
    // As logEvent, for an event that holds a place in the facade's backlog:
    // the place is given back once the event has been handled.
    virtual void logAdmittedEvent(const std::string& origin, bool isPublicEvent, const std::string& name,
                                  const MSRObjectDictionary& parameters, double timestamp, bool enabled,
                                  bool ignoreEnabled, bool ignoreInterceptor, const MSRLogEventInterceptor& interceptor,
                                  const std::optional<MSRParameters>& addedScreenParameters,
                                  MSREventBacklog::Ticket place) {
        logEvent(origin, isPublicEvent, name, parameters, timestamp, enabled, ignoreEnabled, ignoreInterceptor,
                 interceptor, addedScreenParameters);
        place.release();
    }
    // As logAdmittedEvent, for an event the facade packed when it was logged:
    // an engine that keeps it packed until its worker needs it copies nothing.
    virtual void logAdmittedPackedEvent(MSRPackedEvent event, bool isPublicEvent, bool enabled, bool ignoreEnabled,
                                        bool ignoreInterceptor, const MSRLogEventInterceptor& interceptor,
                                        const std::optional<MSRParameters>& addedScreenParameters,
                                        MSREventBacklog::Ticket place) {
        logAdmittedEvent(event.origin(), isPublicEvent, event.name(), event.parameters(), event.timestamp(), enabled,
                         ignoreEnabled, ignoreInterceptor, interceptor, addedScreenParameters, std::move(place));
    }
    virtual void setSessionTimeoutInterval(double seconds) = 0;
    virtual void sessionIDWithCompletion(SessionIDCompletion completion) = 0;
    // Nothing clears every default.
    virtual void setDefaultEventParameters(const std::optional<MSRObjectDictionary>& parameters) = 0;
    virtual void setUserData(const foundation::Value::Dictionary& userData) = 0;
    virtual void setUserAttribute(const MSRUserAttribute& attribute) = 0;
    virtual void removeUserAttribute(const MSRUserAttribute& attribute) = 0;
    virtual void userPropertiesIncludingInternal(bool includeInternal,
                                                 std::function<void(foundation::Value::Dictionary)> callback) = 0;
    virtual void maxUserPropertiesForOrigin(const std::string& origin, std::function<void(int32_t)> callback) = 0;
    virtual bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID) = 0;
    // Nothing when the engine cannot tell.
    virtual std::optional<bool> shouldDisableAdPersonalization() = 0;
    virtual void handleNonFirstOpenEventURL(const std::string& url, double timestamp) = 0;
    // The application's background-session events, handed to the network
    // component; without one there is nothing to finish and the handler runs.
    virtual void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                       const std::function<void()>& completionHandler) {
        (void)sessionID;
        if (completionHandler) completionHandler();
    }
    // The engine's remote settings, and whether the server sent consent defaults.
    virtual std::shared_ptr<MSRRemoteConfig> remoteConfig() = 0;
    virtual bool hasConsentDefaults() = 0;
};
