#pragma once

#include <optional>
#include <string>

#include "analytics/model/MSREvent.h"
#include "analytics/model/MSRValue.h"

// A user property that another framework of the host asks to be set later or
// only for a while: it becomes an ordinary user property at once, or when its
// trigger event is logged within the trigger timeout, stays set for its time
// to live and is then removed. Each outcome may log the event the requester
// supplied. A clear request carries its clear event as the expired event.
// Times are seconds (since 1970 for the timestamps). A plain value: copies
// are independent.
class MSRConditionalUserProperty {
public:
    bool isActive() const { return active_; }
    void setActive(bool active) { active_ = active; }
    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }
    const std::string& origin() const { return origin_; }
    void setOrigin(std::string origin) { origin_ = std::move(origin); }
    const std::optional<MSRValue>& value() const { return value_; }
    void setValue(std::optional<MSRValue> value) { value_ = std::move(value); }
    // Empty: active at once.
    const std::string& triggerEventName() const { return triggerEventName_; }
    void setTriggerEventName(std::string name) { triggerEventName_ = std::move(name); }
    double triggerTimeout() const { return triggerTimeout_; }
    void setTriggerTimeout(double seconds) { triggerTimeout_ = seconds; }
    double timeToLive() const { return timeToLive_; }
    void setTimeToLive(double seconds) { timeToLive_ = seconds; }
    const std::optional<MSREvent>& triggeredEvent() const { return triggeredEvent_; }
    void setTriggeredEvent(std::optional<MSREvent> event) { triggeredEvent_ = std::move(event); }
    const std::optional<MSREvent>& timedOutEvent() const { return timedOutEvent_; }
    void setTimedOutEvent(std::optional<MSREvent> event) { timedOutEvent_ = std::move(event); }
    const std::optional<MSREvent>& expiredEvent() const { return expiredEvent_; }
    void setExpiredEvent(std::optional<MSREvent> event) { expiredEvent_ = std::move(event); }
    double creationTimestamp() const { return creationTimestamp_; }
    void setCreationTimestamp(double timestamp) { creationTimestamp_ = timestamp; }
    double triggeredTimestamp() const { return triggeredTimestamp_; }
    void setTriggeredTimestamp(double timestamp) { triggeredTimestamp_ = timestamp; }

private:
    bool active_ = false;
    std::string name_;
    std::string origin_;
    std::optional<MSRValue> value_;
    std::string triggerEventName_;
    double triggerTimeout_ = 0;
    double timeToLive_ = 0;
    std::optional<MSREvent> triggeredEvent_;
    std::optional<MSREvent> timedOutEvent_;
    std::optional<MSREvent> expiredEvent_;
    double creationTimestamp_ = 0;
    double triggeredTimestamp_ = 0;
};
