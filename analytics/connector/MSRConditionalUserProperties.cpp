#include "analytics/connector/MSRConditionalUserProperties.h"

#include <utility>

#include "analytics/core/MSRMeasurement.h"
#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/model/MSRNameTables.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRScheduler.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/TimedSemaphore.h"
#include "platform/foundation/SharedSlot.h"

namespace {

void log(int64_t level, int64_t code, std::string_view message, const std::vector<MSRLogContext>& contexts = {}) {
    MSRMonitor::shared()->logWithLevel(level, code, message, contexts);
}

bool isSet(const MSRError& error) { return error.code() != 0 || !error.domain().empty(); }

bool isWithinBounds(double seconds) {
    return seconds >= MSRConditionalUserProperties::kMinimumInterval &&
           seconds <= MSRConditionalUserProperties::kMaximumInterval;
}

// The event a requester supplied, logged under the property's origin.
std::optional<MSREvent> outcomeEvent(const std::string& origin, const MSREvent& supplied, double timestamp) {
    return MSREvent::initWithOrigin(origin, false, supplied.name(), timestamp, 0,
                                    MSRObjectsFromParameters(supplied.parameters()));
}

std::string valueText(const std::optional<MSRValue>& value) { return value ? value->description() : std::string(); }

foundation::SharedSlot<MSRConditionalUserProperties>& sharedSlot() {
    static foundation::SharedSlot<MSRConditionalUserProperties> slot;
    return slot;
}

}  // namespace

std::shared_ptr<MSRConditionalUserProperties> MSRConditionalUserProperties::sharedInstance() {
    return sharedSlot().getOrMake([] { return std::make_shared<MSRConditionalUserProperties>(); });
}

void MSRConditionalUserProperties::attachEngine(std::weak_ptr<MSRMeasurement> engine) {
    std::lock_guard lock(mutex_);
    engine_ = std::move(engine);
    knownEmpty_ = false;
    // Queued under the lock, so that a request made meanwhile goes behind
    // the ones that waited.
    auto held = engine_.lock();
    if (!held || !held->scheduler()) return;
    for (Waiting& waiting : std::exchange(waiting_, {})) scheduleOn(*held, waiting.blockID, std::move(waiting.work));
}

std::shared_ptr<MSRMeasurement> MSRConditionalUserProperties::engine() const {
    std::lock_guard lock(mutex_);
    return engine_.lock();
}

std::shared_ptr<MSRMeasurement> MSRConditionalUserProperties::engineOnWorkerQueue() const {
    auto held = engine();
    return held && held->hasComponentsOnWorkerQueue() ? held : nullptr;
}

// Before the engine has made its components (it attaches itself then), a
// request waits for them, as a logged event waits for the engine's start.
void MSRConditionalUserProperties::scheduleOnWorkerQueue(const char* blockID,
                                                         std::function<void(MSRConditionalUserProperties&)> work) {
    std::unique_lock lock(mutex_);
    auto held = engine_.lock();
    if (held && held->scheduler()) {
        lock.unlock();
        scheduleOn(*held, blockID, std::move(work));
        return;
    }
    if (waiting_.size() >= kMaxWaitingRequests) {
        lock.unlock();
        log(2, 11021, "Cannot set or clear conditional user property. Too many requests wait for Analytics to start");
        return;
    }
    waiting_.push_back({blockID, std::move(work)});
}

void MSRConditionalUserProperties::scheduleOn(MSRMeasurement& held, const char* blockID,
                                              std::function<void(MSRConditionalUserProperties&)> work) {
    std::weak_ptr<MSRConditionalUserProperties> weak = weak_from_this();
    held.scheduler()->scheduleOnWorkerQueueBlockID(blockID, [weak, work = std::move(work)] {
        if (auto self = weak.lock()) work(*self);
    });
}

// ---- any thread -------------------------------------------------------------

void MSRConditionalUserProperties::setConditionalUserProperty(
    const std::optional<MSRConditionalUserProperty>& property, const std::string& name) {
    if (!property) {
        log(2, 11002, "Cannot set nil conditional user property");
        return;
    }
    MSRConditionalUserProperty copy = *property;
    copy.setName(name);
    int64_t failure = 0;
    if (!MSRDataTypeValidator::isValidConditionalUserPropertyOrigin(copy.origin(), &failure)) return;
    if (!MSRDataTypeValidator::isValidConditionalUserPropertyName(copy.name(), &failure)) return;
    if (copy.value() && !MSRDataTypeValidator::isValidConditionalUserPropertyValue(&*copy.value(), &failure)) return;
    if (!isWithinBounds(copy.triggerTimeout())) {
        log(2, 11000, "Invalid conditional user property trigger timeout", {copy.triggerTimeout()});
        return;
    }
    if (!isWithinBounds(copy.timeToLive())) {
        log(2, 11001, "Invalid conditional user property time to live", {copy.timeToLive()});
        return;
    }
    copy.setCreationTimestamp(dispatch::Clock::now());
    scheduleOnWorkerQueue("MSRConditionalUserPropertyController:88", [copy](MSRConditionalUserProperties& self) {
        if (copy.value()) {
            self.setConditionalUserPropertyOnWorkerQueue(copy);
        } else {
            self.removeConditionalUserPropertyOnWorkerQueue(copy);
        }
    });
}

void MSRConditionalUserProperties::clearConditionalUserPropertyWithClearEvent(
    const std::optional<MSREvent>& clearEvent, const std::string& name) {
    int64_t failure = 0;
    if (!MSRDataTypeValidator::isValidConditionalUserPropertyName(name, &failure)) return;
    MSRConditionalUserProperty request;
    request.setName(name);
    request.setExpiredEvent(clearEvent);
    scheduleOnWorkerQueue("MSRConditionalUserPropertyController:113", [request](MSRConditionalUserProperties& self) {
        self.removeConditionalUserPropertyOnWorkerQueue(request);
    });
}

std::optional<std::vector<MSRConditionalUserProperty>> MSRConditionalUserProperties::conditionalUserPropertiesWithNamePrefix(
    const std::optional<std::string>& prefix, const std::optional<std::string>& origin) {
    auto held = engine();
    if (!held || !held->scheduler()) return std::nullopt;
    const std::string namePrefix = prefix.value_or("");
    const std::string originFilter = origin.value_or("");

    // A wait for a block queued behind the caller would never end on the
    // worker queue itself: there the read runs in place.
    if (held->scheduler()->workerQueue()->isCurrent()) {
        bool failed = false;
        return readWithNamePrefixOnWorkerQueue(namePrefix, originFilter, &failed);
    }

    struct Answer {
        std::mutex mutex;
        std::optional<std::vector<MSRConditionalUserProperty>> properties;
        bool failed = false;
    };
    auto answer = std::make_shared<Answer>();
    auto done = std::make_shared<dispatch::TimedSemaphore>();
    std::weak_ptr<MSRConditionalUserProperties> weak = weak_from_this();
    held->scheduler()->scheduleOnWorkerQueueBlockID(
        "MSRConditionalUserPropertyController:161", [weak, answer, done, namePrefix, originFilter] {
            if (auto self = weak.lock()) {
                bool failed = false;
                auto properties = self->readWithNamePrefixOnWorkerQueue(namePrefix, originFilter, &failed);
                std::lock_guard lock(answer->mutex);
                answer->properties = std::move(properties);
                answer->failed = failed;
            }
            done->signal();
        });
    held.reset();
    if (!done->wait(kQueryTimeout)) return std::nullopt;
    std::lock_guard lock(answer->mutex);
    return std::move(answer->properties);
}

std::optional<std::vector<MSRConditionalUserProperty>> MSRConditionalUserProperties::readWithNamePrefixOnWorkerQueue(
    const std::string& prefix, const std::string& origin, bool* failed) {
    auto held = engineOnWorkerQueue();
    if (!held) return std::nullopt;
    if (!held->isEnabled()) {
        log(3, 11005, "Cannot query for conditional user properties. Analytics is disabled");
        return std::nullopt;
    }
    MSRError error;
    auto properties = held->database()->conditionalUserPropertiesWithPrefix(prefix, origin, &error);
    if (!properties && isSet(error)) {
        *failed = true;
        log(2, 11006, "Cannot query for conditional user properties. Name prefix, origin, error", {prefix, origin, error});
    }
    return properties;
}

// ---- worker queue -----------------------------------------------------------

void MSRConditionalUserProperties::setConditionalUserPropertyOnWorkerQueue(
    const std::optional<MSRConditionalUserProperty>& given) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("setConditionalUserPropertyOnWorkerQueue");
    auto held = engineOnWorkerQueue();
    if (!held) return;
    if (!held->isEnabled()) {
        log(3, 11007, "Cannot set conditional user property. Analytics is disabled");
        return;
    }
    if (!given) {
        log(2, 11008, "Cannot set nil conditional user property on worker queue");
        return;
    }
    // The activation and its triggered event commit together.
    held->writeTogetherOnWorkerQueue([&] { storeOnWorkerQueue(*held, *given); });
}

void MSRConditionalUserProperties::storeOnWorkerQueue(MSRMeasurement& held, const MSRConditionalUserProperty& given) {
    MSRDatabase& database = *held.database();
    MSRConditionalUserProperty property = given;
    std::optional<MSREvent> triggered;
    // Any failed write undoes the whole step: a property never ends up
    // stored without its user property, or the other way round.
    const bool committed = database.performGroupedTransaction([&] {
        triggered.reset();
        MSRError error;
        std::optional<MSRConditionalUserProperty> stored =
            database.conditionalUserPropertyWithName(property.name(), &error);
        if (!stored && isSet(error)) {
            log(1, 11009, "Cannot query conditional user property. Name, origin, error",
                {property.name(), property.origin(), error});
            return false;
        }
        if (stored && stored->origin() != property.origin()) {
            log(5, 11010, "Updating a conditional user property with different origin. Name, origin, saved origin",
                {property.name(), property.origin(), stored->origin()});
        }
        const bool storedActive = stored && stored->isActive();
        bool newlyActivated = false;
        if (storedActive) {
            property.setOrigin(stored->origin());
            property.setCreationTimestamp(stored->creationTimestamp());
            property.setTriggerEventName(stored->triggerEventName());
            property.setTriggeredEvent(stored->triggeredEvent());
            property.setTriggerTimeout(stored->triggerTimeout());
        } else if (property.triggerEventName().empty()) {
            property.setActive(true);
            property.setTriggeredTimestamp(property.creationTimestamp());
            newlyActivated = true;
        }
        if (property.isActive()) {
            auto attribute = MSRUserAttribute::initWithOrigin(property.origin(), property.name(), *property.value(),
                                                              property.triggeredTimestamp());
            MSRError attributeError;
            if (!attribute || !database.updateUserAttribute(attribute, &attributeError)) {
                log(1, 11011, "Cannot update user property from conditional user property. Name, origin, error",
                    {property.name(), property.origin(), attributeError});
                return false;
            }
            log(7, 11012, "User property updated. Name, origin", {property.name(), property.origin()});
            if (newlyActivated && property.triggeredEvent())
                triggered = outcomeEvent(property.origin(), *property.triggeredEvent(), property.triggeredTimestamp());
        }
        if (storedActive) {
            property.setActive(true);
            property.setTriggeredTimestamp(stored->triggeredTimestamp());
        }
        MSRError storeError;
        if (!database.updateConditionalUserProperty(property, &storeError)) {
            log(1, 11014, "Cannot insert user property from conditional user property. Name, origin, error",
                {property.name(), property.origin(), storeError});
            return false;
        }
        log(7, 11013, "Conditional user property added. Name, origin", {property.name(), property.origin()});
        return true;
    });
    if (!committed) return;
    knownEmpty_ = false;
    if (triggered) held.writeEventOnWorkerQueue(std::move(*triggered));
}

void MSRConditionalUserProperties::removeConditionalUserPropertyOnWorkerQueue(
    const std::optional<MSRConditionalUserProperty>& request) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("removeConditionalUserPropertyOnWorkerQueue:");
    auto held = engineOnWorkerQueue();
    if (!held) return;
    if (!held->isEnabled()) {
        log(3, 11015, "Cannot remove conditional user property. Analytics is disabled");
        return;
    }
    if (!request) {
        log(0, 11016, "Cannot remove nil conditional user property on worker queue");
        return;
    }
    // The removal and its event commit together.
    held->writeTogetherOnWorkerQueue([&] { removeOnWorkerQueue(*held, *request); });
}

void MSRConditionalUserProperties::removeOnWorkerQueue(MSRMeasurement& held, const MSRConditionalUserProperty& request) {
    MSRDatabase& database = *held.database();
    const std::string& name = request.name();
    std::optional<MSREvent> cleared;
    const bool committed = database.performGroupedTransaction([&] {
        cleared.reset();
        MSRError error;
        std::optional<MSRConditionalUserProperty> stored = database.conditionalUserPropertyWithName(name, &error);
        if (!stored) {
            if (isSet(error)) {
                log(1, 11017, "Cannot query conditional user property to remove. Name, origin, error",
                    {name, request.origin(), error});
                return false;
            }
            log(4, 11018, "Cannot remove nonexistent conditional user property. Name, origin", {name, request.origin()});
            return true;
        }
        if (!database.deleteConditionalUserPropertyWithName(name, &error)) {
            log(1, 11019, "Cannot delete conditional user property. Name, origin, error", {name, stored->origin(), error});
            return false;
        }
        if (stored->isActive() && !database.deleteUserAttributeWithName(name, &error)) {
            log(1, 11020, "Cannot remove conditional user property. Failed to delete the user property. Name, origin, error",
                {name, stored->origin(), error});
            return false;
        }
        if (request.expiredEvent())
            cleared = outcomeEvent(stored->origin(), *request.expiredEvent(), dispatch::Clock::now());
        return true;
    });
    if (committed && cleared) held.writeEventOnWorkerQueue(std::move(*cleared));
}

std::optional<std::vector<MSREvent>> MSRConditionalUserProperties::processEventOnWorkerQueue(const MSREvent& event) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("processEventOnWorkerQueue:");
    auto held = engineOnWorkerQueue();
    if (!held) return std::vector<MSREvent>{};
    MSRDatabase& database = *held->database();
    if (!knownEmpty_) {
        MSRError error;
        std::optional<bool> any = database.hasConditionalUserProperties(&error);
        if (!any) return std::nullopt;
        knownEmpty_ = !*any;
    }
    if (knownEmpty_) return std::vector<MSREvent>{};

    std::vector<MSREvent> timedOut;
    std::vector<MSREvent> expired;
    std::optional<std::vector<MSREvent>> triggered;
    // The time-outs and expiries commit with their events, and, when the
    // caller writes them together too, the activations with theirs.
    held->writeTogetherOnWorkerQueue([&] {
        const bool committed = database.performGroupedTransaction([&] {
            timedOut.clear();
            expired.clear();
            if (!removeTimedOutCUPWithTimedOutEvents(&timedOut)) return false;
            if (!removeExpiredCUPWithExpiredEvents(&expired)) return false;
            triggered = updateConditionalUserPropertiesWithEventNameOnWorkerQueue(event.name());
            return triggered.has_value();
        });
        if (!committed) {
            triggered.reset();
            return;
        }
        for (MSREvent& next : timedOut) held->writeFilteredEventOnWorkerQueue(std::move(next));
        for (MSREvent& next : expired) held->writeFilteredEventOnWorkerQueue(std::move(next));
    });
    return triggered;
}

bool MSRConditionalUserProperties::removeTimedOutCUPWithTimedOutEvents(std::vector<MSREvent>* timedOutEvents) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("removeTimedOutCUPWithTimedOutEvents:");
    auto held = engineOnWorkerQueue();
    if (!held) return false;
    MSRDatabase& database = *held->database();
    MSRError error;
    auto properties = database.timedOutConditionalUserProperties(&error);
    if (!properties) {
        log(1, 10001, "Cannot fetch timed out conditional user properties. Error", {error});
        return false;
    }
    const double now = dispatch::Clock::now();
    for (const MSRConditionalUserProperty& property : *properties) {
        log(7, 10002, "Conditional user property has timed out. Name", {property.name()});
        if (!database.deleteConditionalUserPropertyWithName(property.name(), &error)) {
            log(1, 10003, "Cannot delete timed out condition user property. Name, error", {property.name(), error});
            return false;
        }
        if (property.timedOutEvent()) {
            if (auto made = outcomeEvent(property.origin(), *property.timedOutEvent(), now))
                timedOutEvents->push_back(std::move(*made));
        }
    }
    return true;
}

bool MSRConditionalUserProperties::removeExpiredCUPWithExpiredEvents(std::vector<MSREvent>* expiredEvents) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("removeExpiredCUPWithExpiredEvents:");
    auto held = engineOnWorkerQueue();
    if (!held) return false;
    MSRDatabase& database = *held->database();
    MSRError error;
    auto properties = database.expiredConditionalUserProperties(&error);
    if (!properties) {
        log(1, 10004, "Cannot fetch expired conditional user properties. Error", {error});
        return false;
    }
    const double now = dispatch::Clock::now();
    for (const MSRConditionalUserProperty& property : *properties) {
        log(7, 10005, "Conditional user property has expired. Name, expired event",
            {property.name(), property.expiredEvent() ? property.expiredEvent()->name() : std::string()});
        if (!database.deleteUserAttributeWithName(property.name(), &error)) {
            log(1, 10006, "Cannot remove conditional user property. Failed to delete the user property. Name, origin, error",
                {property.name(), property.origin(), error});
            return false;
        }
        if (!database.deleteConditionalUserPropertyWithName(property.name(), &error)) {
            log(1, 10007, "Cannot delete expired condition user property. Name, error", {property.name(), error});
            return false;
        }
        if (property.expiredEvent()) {
            if (auto made = outcomeEvent(property.origin(), *property.expiredEvent(), now))
                expiredEvents->push_back(std::move(*made));
        }
    }
    return true;
}

std::optional<std::vector<MSREvent>> MSRConditionalUserProperties::updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
    const std::string& eventName) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("updateConditionalUserPropertiesBasedOnEventNameOnWorkerQueue:");
    auto held = engineOnWorkerQueue();
    if (!held) return std::nullopt;
    MSRDatabase& database = *held->database();
    MSRError error;
    auto properties = database.triggeredConditionalUserPropertiesWithEventName(eventName, &error);
    if (properties && properties->empty()) {
        const MSRNameMap& reserved = MSRAllowedReservedEventNameMap();
        if (auto mapped = reserved.find(eventName); mapped != reserved.end())
            properties = database.triggeredConditionalUserPropertiesWithEventName(mapped->second, &error);
    }
    if (!properties) {
        log(1, 10008, "Cannot fetch triggering conditional user properties. Event name, error", {eventName, error});
        return std::nullopt;
    }
    const double now = dispatch::Clock::now();
    std::vector<MSREvent> triggered;
    for (MSRConditionalUserProperty& property : *properties) {
        std::optional<MSRUserAttribute> attribute;
        if (property.value())
            attribute = MSRUserAttribute::initWithOrigin(property.origin(), property.name(), *property.value(), now);
        MSRError attributeError;
        if (attribute && database.updateUserAttribute(attribute, &attributeError)) {
            log(7, 10010, "User property updated. Name, origin, value",
                {property.name(), property.origin(), valueText(property.value())});
        } else {
            log(1, 10009, "Cannot update user property from conditional user property. Name, origin, error",
                {property.name(), property.origin(), attributeError});
        }
        if (property.triggeredEvent()) {
            if (auto made = outcomeEvent(property.origin(), *property.triggeredEvent(), now))
                triggered.push_back(std::move(*made));
        }
        property.setActive(true);
        property.setTriggeredTimestamp(now);
        MSRError storeError;
        if (!database.updateConditionalUserProperty(property, &storeError)) {
            log(1, 10011, "Cannot update conditional user property. Name, origin, error",
                {property.name(), property.origin(), storeError});
            return std::nullopt;
        }
    }
    return triggered;
}
