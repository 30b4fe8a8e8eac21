#include "analytics/connector/DEDIzuraroveConnector.h"

#include "analytics/connector/DEDConnectorUtils.h"
#include "analytics/core/DEDIzurarove.h"
#include "analytics/core/MSRAnalytics.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRScheduler.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/TimedSemaphore.h"
#include "platform/host/DEDInteropContainer.h"

namespace {

using Dictionary = DEDIzuraroveConnector::Dictionary;

void refuseKey(const std::string& key) {
    MSRMonitor::shared()->logWithLevel(2, 25070, "Conditional user property entry refused. Key", {key});
}

MSRObjectDictionary objects(const Dictionary& parameters) {
    MSRObjectDictionary result;
    for (const auto& [key, value] : parameters) result.emplace(key, value);
    return result;
}

// The queues the engine's answer passes through: waiting on one of them for
// that answer would wait for itself.
bool isOnAnswerRoad() {
    if (DEDIzuraroveConnector::connectorQueue()->isCurrent() || MSRAnalytics::isCurrentQueueSerialQueue()) return true;
    auto engine = MSRMeasurement::sharedInstance();
    return engine && engine->scheduler() && engine->scheduler()->workerQueue()->isCurrent();
}

}  // namespace

// ---- registration -----------------------------------------------------------

void DEDIzuraroveConnector::registerWithHost() {
    host::DEDInteropContainer::registerInternalLibrary(kLibraryName, kLibraryVersion);
    host::DEDInteropContainer::registerComponent(kInteropProtocol, [] { return std::shared_ptr<void>(make()); });
}

std::shared_ptr<DEDIzuraroveConnector> DEDIzuraroveConnector::make() {
    return std::shared_ptr<DEDIzuraroveConnector>(new DEDIzuraroveConnector());
}

// Blocks on the connector queue hold the connector only while they run, so
// none of them reads the token while the last holder lets go of it here.
DEDIzuraroveConnector::~DEDIzuraroveConnector() {
    if (logEventListener_) DEDIzurarove::removeLogEventListener(logEventListener_);
}

const std::shared_ptr<dispatch::SerialQueue>& DEDIzuraroveConnector::connectorQueue() {
    static const auto* queue = new std::shared_ptr<dispatch::SerialQueue>(  // lives as long as the process
        dispatch::SerialQueue::create("com.vuzedezo.analytics.connector"));
    return *queue;
}

// ---- events and user properties --------------------------------------------

void DEDIzuraroveConnector::logEventWithOrigin(const std::string& origin, const std::string& name,
                                               const std::optional<Dictionary>& parameters) {
    const Dictionary given = parameters.value_or(Dictionary{});
    if (!DEDConnectorUtils::isOriginAllowed(origin) || !DEDConnectorUtils::shouldLogEventWithName(name, given)) return;
    Dictionary copy = given;
    if (name == "_cmp") {
        if (origin == "dcm" || origin == "ddl" || origin == "diam" || origin == "drc")
            copy["_cis"] = foundation::Value(origin + "_integration");
    } else if (name == "_ae" && origin == "crx") {
        copy["_r"] = foundation::Value(int64_t{1});
    }
    DEDIzurarove::logInternalEventWithOrigin(origin, name, objects(copy));
}

void DEDIzuraroveConnector::setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                                      const std::optional<foundation::Value>& value) {
    if (!DEDConnectorUtils::isOriginAllowed(origin) || !DEDConnectorUtils::isUserPropertyAllowed(name, origin)) return;
    std::optional<MSRObject> object;
    if (value) object = MSRObject(*value);
    DEDIzurarove::sharedInstance().setInternalUserProperty(object, name, origin);
}

void DEDIzuraroveConnector::getUserPropertiesWithCallback(std::function<void(Dictionary)> callback) {
    DEDIzurarove::userPropertiesIncludingInternal(true, connectorQueue(), [callback](Dictionary properties) {
        Dictionary allowed;
        for (auto& [name, value] : properties) {
            if (DEDConnectorUtils::isUserPropertyAllowedForQuery(name)) allowed.emplace(name, std::move(value));
        }
        if (callback) callback(std::move(allowed));
    });
}

int32_t DEDIzuraroveConnector::maxUserProperties(const std::string& origin) {
    if (isOnAnswerRoad()) {
        // What the engine answers, without the trip through its queues.
        return !origin.empty() && MSRMeasurement::sharedInstance() ? MSRMeasurement::kMaxUserPropertiesPerOrigin : 0;
    }
    struct Answer {
        std::atomic<int32_t> value{0};
        dispatch::TimedSemaphore done;
    };
    auto answer = std::make_shared<Answer>();
    DEDIzurarove::sharedInstance().maxUserPropertiesForOrigin(origin, connectorQueue(), [answer](int32_t count) {
        answer->value = count;
        answer->done.signal();
    });
    if (!answer->done.wait(kMaxUserPropertiesTimeout)) return 0;
    return answer->value;
}

// ---- conditional user properties -------------------------------------------

std::optional<MSREvent> DEDIzuraroveConnector::eventFromDictionary(const Dictionary& event) {
    auto text = [&](const char* key) {
        auto found = event.find(key);
        const std::string* value = found == event.end() ? nullptr : found->second.string();
        return value ? *value : std::string();
    };
    double timestamp = dispatch::Clock::now();
    if (auto found = event.find("timestamp"); found != event.end() && found->second.doubleValue())
        timestamp = *found->second.doubleValue();
    Dictionary parameters;
    if (auto found = event.find("parameters"); found != event.end() && found->second.dictionary())
        parameters = *found->second.dictionary();
    return MSREvent::initWithOrigin(text("origin"), false, text("name"), timestamp, 0, objects(parameters));
}

std::optional<MSREvent> DEDIzuraroveConnector::eventWithOrigin(const std::string& origin, const std::string& name,
                                                              const Dictionary& parameters) {
    return MSREvent::initWithOrigin(origin, false, name, dispatch::Clock::now(), 0, objects(parameters));
}

void DEDIzuraroveConnector::setConditionalUserProperty(const Dictionary& dictionary) {
    if (dictionary.empty()) return;
    DEDAConditionalUserProperty property;
    for (const auto& [key, value] : dictionary) {
        const std::string* text = value.string();
        const std::optional<double> number = value.doubleValue();
        if (key == "expiredEvent" || key == "timedOutEvent" || key == "triggeredEvent") {
            if (!value.dictionary()) {
                refuseKey(key);
                continue;
            }
            std::optional<MSREvent> event = eventFromDictionary(*value.dictionary());
            if (key == "expiredEvent") property.setExpiredEvent(std::move(event));
            else if (key == "timedOutEvent") property.setTimedOutEvent(std::move(event));
            else property.setTriggeredEvent(std::move(event));
        } else if (key == "value" && text) {
            property.setValue(MSRValue(*text));
        } else if (key == "creationTimestamp" && number) {
            property.setCreationTimestamp(*number);
        } else if (key == "name" && text) {
            property.setName(*text);
        } else if (key == "origin" && text) {
            property.setOrigin(*text);
        } else if (key == "triggerEventName" && text) {
            property.setTriggerEventName(*text);
        } else if (key == "triggerTimeout" && number) {
            property.setTriggerTimeout(*number);
        } else if (key == "timeToLive" && number) {
            property.setTimeToLive(*number);
        } else if (key == "triggeredTimestamp" && number) {
            property.setTriggeredTimestamp(*number);
        } else if (key == "active" && (value.boolValue() || value.integerValue())) {
            property.setActive(value.boolValue() ? *value.boolValue() : *value.integerValue() != 0);
        } else {
            // A key the record does not have, or a value of the wrong kind.
            refuseKey(key);
        }
    }
    const std::string name = property.name();
    DEDAConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(property, name);
}

void DEDIzuraroveConnector::clearConditionalUserProperty(const std::string& /*userPropertyName*/,
                                                         const std::string& origin, const std::string& clearEventName,
                                                         const Dictionary& clearEventParameters) {
    if (clearEventParameters.empty()) return;
    const auto& [key, value] = *clearEventParameters.begin();
    if (key.empty() || value.isAbsent()) return;
    std::optional<MSREvent> clearEvent = eventWithOrigin(origin, clearEventName, Dictionary{{key, value}});
    DEDAConditionalUserPropertyController::sharedInstance()->clearConditionalUserPropertyWithClearEvent(clearEvent,
                                                                                                       key);
}

std::vector<Dictionary> DEDIzuraroveConnector::conditionalUserProperties(const std::string& origin,
                                                                        const std::string& prefix) {
    std::vector<Dictionary> answer;
    auto properties = DEDAConditionalUserPropertyController::sharedInstance()->conditionalUserPropertiesWithNamePrefix(
        prefix, origin);
    if (!properties) return answer;
    for (const DEDAConditionalUserProperty& property : *properties) {
        const std::string* text = property.value() ? property.value()->stringValue() : nullptr;
        if (property.name().empty() || !text) continue;
        answer.push_back(Dictionary{{"name", foundation::Value(property.name())}, {"value", foundation::Value(*text)}});
    }
    return answer;
}

// ---- listeners ----------------------------------------------------------------

Dictionary DEDIzuraroveConnector::simplifiedParametersFromEventParameters(const MSRParameters& parameters) {
    Dictionary simplified;
    for (const auto& [name, value] : parameters) {
        if (value.isDouble()) simplified.emplace(name, foundation::Value(value.doubleValue()));
        else if (value.isInt64()) simplified.emplace(name, foundation::Value(static_cast<long long>(value.int64Value())));
        else if (const std::string* text = value.stringValue()) simplified.emplace(name, foundation::Value(*text));
    }
    return simplified;
}

void DEDIzuraroveConnector::registerAnalyticsListener(std::shared_ptr<DEDAnalyticsInteropListener> listener,
                                                      const std::string& origin) {
    if (!listener || !DEDConnectorUtils::isListenerOriginAllowed(origin)) return;
    std::weak_ptr<DEDIzuraroveConnector> weak = weak_from_this();
    connectorQueue()->async([weak, listener = std::move(listener), origin] {
        auto self = weak.lock();
        if (!self) return;
        self->listeners_.insert_or_assign(origin, listener);
        if (self->logEventListener_) return;
        self->logEventListener_ = DEDIzurarove::addLogEventListener([weak](const MSREvent& event) {
            if (!DEDConnectorUtils::isEventNameAllowedForListeners(event.name())) return;
            connectorQueue()->async([weak, event] {
                if (auto connector = weak.lock()) connector->handleLoggedEvent(event);
            });
        });
    });
}

void DEDIzuraroveConnector::handleLoggedEvent(const MSREvent& event) {
    std::vector<std::shared_ptr<DEDAnalyticsInteropListener>> receivers;
    if (auto found = listeners_.find(event.origin()); found != listeners_.end()) {
        receivers.push_back(found->second);
    } else if (DEDConnectorUtils::isAppOrigin(event.origin())) {
        for (const auto& [origin, listener] : listeners_) receivers.push_back(listener);
    }
    if (receivers.empty()) return;
    Dictionary parameters = simplifiedParametersFromEventParameters(event.parameters());
    dispatch::MainQueue::shared()->async([receivers = std::move(receivers), name = event.name(), parameters] {
        for (const auto& listener : receivers) listener->messageTriggered(name, parameters);
    });
}

void DEDIzuraroveConnector::unregisterAnalyticsListenerWithOrigin(const std::string& origin) {
    std::weak_ptr<DEDIzuraroveConnector> weak = weak_from_this();
    connectorQueue()->async([weak, origin] {
        auto self = weak.lock();
        if (!self) return;
        self->listeners_.erase(origin);
        if (!self->listeners_.empty()) return;
        DEDIzurarove::removeLogEventListener(std::exchange(self->logEventListener_, std::nullopt));
    });
}
