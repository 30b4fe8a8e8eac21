#pragma once

// What other frameworks of the host (messaging, crash reporting, remote
// configuration...) use instead of the public interface. They ask the host's
// interop container for the protocol kInteropProtocol and get a new
// connector; through it they log events under their own origin, set and
// query user properties, manage conditional user properties and register one
// listener per origin for the events the engine logs.
//
// Every operation may be called from any thread. The listeners of all
// connectors live on one process-wide serial queue, the connector queue: only
// blocks on it read or change them. Listener calls arrive on the main queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/connector/MSRConditionalUserProperties.h"
#include "analytics/core/MSRAnalyticsState.h"
#include "platform/foundation/Value.h"

namespace dispatch {
class SerialQueue;
}

// The record and controller as the connector names them.
using DEDAConditionalUserProperty = MSRConditionalUserProperty;
using DEDAConditionalUserPropertyController = MSRConditionalUserProperties;

// A framework's listener for logged events.
class DEDAnalyticsInteropListener {
public:
    virtual ~DEDAnalyticsInteropListener() = default;
    virtual void messageTriggered(const std::string& name, const foundation::Value::Dictionary& parameters) = 0;
};

class DEDIzuraroveConnector : public std::enable_shared_from_this<DEDIzuraroveConnector> {
public:
    using Dictionary = foundation::Value::Dictionary;

    static constexpr const char* kInteropProtocol = "DEDIzuraroveInterop";
    static constexpr const char* kLibraryName = "vuzedezo-analytics";
    static constexpr const char* kLibraryVersion = "11.1.0";
    // How long maxUserProperties waits for the engine's answer.
    static constexpr double kMaxUserPropertiesTimeout = 10;

    // Announces the library to the host and offers a new connector for
    // kInteropProtocol on every request.
    static void registerWithHost();
    static std::shared_ptr<DEDIzuraroveConnector> make();
    // Takes its engine listener away, so that a dropped connector leaves
    // nothing behind in the facade.
    ~DEDIzuraroveConnector();
    // The process-wide queue that owns the listeners.
    static const std::shared_ptr<dispatch::SerialQueue>& connectorQueue();

    void logEventWithOrigin(const std::string& origin, const std::string& name,
                            const std::optional<Dictionary>& parameters);
    void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                   const std::optional<foundation::Value>& value);
    // The public user properties and "_fot", on the connector queue.
    void getUserPropertiesWithCallback(std::function<void(Dictionary)> callback);
    // 0 when the engine does not answer in time. On the queues the answer
    // passes through (the connector's, the facade's, the engine's worker) it
    // is worked out in place instead of waiting for them.
    int32_t maxUserProperties(const std::string& origin);
    // Keys are the record's property names; an unknown key, or a value of the
    // wrong kind, is left out with a log line.
    void setConditionalUserProperty(const Dictionary& property);
    void clearConditionalUserProperty(const std::string& userPropertyName, const std::string& origin,
                                      const std::string& clearEventName, const Dictionary& clearEventParameters);
    // {"name", "value"} of each property of `origin` whose name begins with
    // `prefix` and whose value is text.
    std::vector<Dictionary> conditionalUserProperties(const std::string& origin, const std::string& prefix);
    void registerAnalyticsListener(std::shared_ptr<DEDAnalyticsInteropListener> listener, const std::string& origin);
    void unregisterAnalyticsListenerWithOrigin(const std::string& origin);

    static std::optional<MSREvent> eventFromDictionary(const Dictionary& event);
    static std::optional<MSREvent> eventWithOrigin(const std::string& origin, const std::string& name,
                                                   const Dictionary& parameters);
    static Dictionary simplifiedParametersFromEventParameters(const MSRParameters& parameters);

private:
    DEDIzuraroveConnector() = default;
    // Connector queue only.
    void handleLoggedEvent(const MSREvent& event);

    // Connector queue only.
    std::optional<MSRAnalyticsState::ListenerToken> logEventListener_;
    std::map<std::string, std::shared_ptr<DEDAnalyticsInteropListener>> listeners_;
};
