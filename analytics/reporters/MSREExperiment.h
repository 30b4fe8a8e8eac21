#pragma once

// One remote experiment: its ID and its flags by name. ID 0 carries the
// launched flags (values rolled out to everyone).

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "analytics/messages/MSRPBMessages.h"

// A flag's value as clients read it: a number or a text.
using MSREFlagValue = std::variant<int64_t, double, std::string, bool>;

// The value a flag message carries: the first field present of integer,
// double, text, boolean; nothing when it carries none.
std::optional<MSREFlagValue> MSRPBFlagValue(const std::optional<MSRPBFlag>& flag);
// A flag message with `name` and `value`: a text goes to the text field, a
// double to the double field, every other number (booleans included) to the
// integer field. Nothing (logged) for an empty name.
std::optional<MSRPBFlag> MSRPBFlagWithNameAndValue(const std::string& name, const MSREFlagValue& value);

class MSREExperiment {
  public:
    // A later flag of the same name replaces an earlier one; a flag without a
    // name is refused (logged) and leaves no experiment.
    static std::optional<MSREExperiment> initWithExperimentID(int64_t experimentID,
                                                              const std::vector<MSRPBFlag>& flags);
    // The ID reads 0 when the message has none; flags without a name are skipped.
    static MSREExperiment initWithProtobuf(const MSRPBExperiment& message);

    int64_t experimentID() const { return experimentID_; }
    std::vector<MSRPBFlag> flags() const;
    // False (logged) for a flag without a name.
    bool addFlag(const MSRPBFlag& flag);
    // Nothing for an unknown name; an empty name is logged.
    std::optional<MSRPBFlag> flagWithName(const std::string& name) const;

    MSRPBExperiment proto() const;

  private:
    explicit MSREExperiment(int64_t experimentID) : experimentID_(experimentID) {}

    int64_t experimentID_ = 0;
    std::map<std::string, MSRPBFlag> flagsByName_;
};
