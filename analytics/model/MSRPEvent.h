#pragma once
// The event as the event-editing interpreter sees it: a name, a time and the
// parameters as plain values. The interpreter owns the type; the measurement
// engine only converts its events to and from it (MSREvent::editEvent and
// MSREvent::eventFromEditEvent).

#include "platform/foundation/Value.h"

#include <string>
#include <utility>

class MSRPEvent {
  public:
    MSRPEvent(std::string name, double timestamp, foundation::Value::Dictionary parameters)
        : name_(std::move(name)), timestamp_(timestamp), parameters_(std::move(parameters)) {}

    const std::string& name() const { return name_; }
    double timestamp() const { return timestamp_; }
    const foundation::Value::Dictionary& parameters() const { return parameters_; }

    // The interpreter edits its working copy in place.
    void setName(std::string name) { name_ = std::move(name); }
    void setTimestamp(double timestamp) { timestamp_ = timestamp; }
    foundation::Value::Dictionary& mutableParameters() { return parameters_; }

  private:
    std::string name_;
    double timestamp_;
    foundation::Value::Dictionary parameters_;
};
