#pragma once

#include "analytics/model/MSRValue.h"
#include "analytics/messages/MSRPBMessages.h"

#include <optional>
#include <string>
#include <string_view>

// A user property: who set it, its name, its value and when it was last set
// (seconds since 1970).
class MSRUserAttribute {
  public:
    // Nothing when the name or the value fails the internal checks.
    static std::optional<MSRUserAttribute> initWithOrigin(std::string_view origin, std::string_view name,
                                                          MSRValue value, double lastSetTimestamp);

    const std::string& origin() const { return origin_; }
    const std::string& name() const { return name_; }
    const MSRValue& value() const { return value_; }
    double lastSetTimestamp() const { return lastSetTimestamp_; }
    // Set by the application: a name not starting with "_".
    bool isPublic() const { return !name_.empty() && name_[0] != '_'; }

    MSRPBUserAttribute protoUserAttribute() const;

  private:
    MSRUserAttribute(std::string origin, std::string name, MSRValue value, double lastSetTimestamp)
        : origin_(std::move(origin)),
          name_(std::move(name)),
          value_(std::move(value)),
          lastSetTimestamp_(lastSetTimestamp) {}

    std::string origin_;
    std::string name_;
    MSRValue value_;
    double lastSetTimestamp_;
};
