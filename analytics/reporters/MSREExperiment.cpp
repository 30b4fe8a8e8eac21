#include "analytics/reporters/MSREExperiment.h"

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/reporters/MSREMonitor.h"

namespace {

std::string flagName(const MSRPBFlag& flag) {
    return MSRPBGetString(flag, MSRFlagSlot::kName).value_or("");
}

}  // namespace

std::optional<MSREFlagValue> MSRPBFlagValue(const std::optional<MSRPBFlag>& flag) {
    if (!flag) return std::nullopt;
    if (MSRPBHasField(*flag, MSRFlagSlot::kIntValue)) return MSRPBGetInt64(*flag, MSRFlagSlot::kIntValue);
    if (MSRPBHasField(*flag, MSRFlagSlot::kDoubleValue))
        return MSRPBGetDouble(*flag, MSRFlagSlot::kDoubleValue);
    if (auto text = MSRPBGetString(*flag, MSRFlagSlot::kStringValue)) return *text;
    if (MSRPBHasField(*flag, MSRFlagSlot::kBoolValue)) return MSRPBGetBool(*flag, MSRFlagSlot::kBoolValue);
    return std::nullopt;
}

std::optional<MSRPBFlag> MSRPBFlagWithNameAndValue(const std::string& name, const MSREFlagValue& value) {
    if (name.empty()) {
        MSRELog(1, 850000, "Flag name must not be nil");
        return std::nullopt;
    }
    MSRPBFlag flag;
    MSRPBSetString(flag, MSRFlagSlot::kName, name);
    if (const auto* text = std::get_if<std::string>(&value)) {
        MSRPBSetString(flag, MSRFlagSlot::kStringValue, *text);
    } else if (const auto* number = std::get_if<double>(&value)) {
        MSRPBSetDouble(flag, MSRFlagSlot::kDoubleValue, *number);
    } else if (const auto* integer = std::get_if<int64_t>(&value)) {
        MSRPBSetInt64(flag, MSRFlagSlot::kIntValue, *integer);
    } else {
        MSRPBSetInt64(flag, MSRFlagSlot::kIntValue, std::get<bool>(value) ? 1 : 0);
    }
    return flag;
}

std::optional<MSREExperiment> MSREExperiment::initWithExperimentID(int64_t experimentID,
                                                                   const std::vector<MSRPBFlag>& flags) {
    MSREExperiment experiment(experimentID);
    for (const MSRPBFlag& flag : flags) {
        if (flagName(flag).empty()) {
            MSRELog(2, 870003, "Cannot add non-flag into the experiment. Flag",
                    {MSRLogContext(std::to_string(experimentID))});
            return std::nullopt;
        }
        experiment.flagsByName_.insert_or_assign(flagName(flag), flag);
    }
    return experiment;
}

MSREExperiment MSREExperiment::initWithProtobuf(const MSRPBExperiment& message) {
    MSREExperiment experiment(MSRPBGetInt32(message, MSRExperimentSlot::kExperimentID));
    for (const MSRPBFlag& flag : MSRPBGetMessageArray<MSRPBFlag>(message, MSRExperimentSlot::kFlags))
        experiment.addFlag(flag);
    return experiment;
}

std::vector<MSRPBFlag> MSREExperiment::flags() const {
    std::vector<MSRPBFlag> out;
    out.reserve(flagsByName_.size());
    for (const auto& [name, flag] : flagsByName_) out.push_back(flag);
    return out;
}

bool MSREExperiment::addFlag(const MSRPBFlag& flag) {
    const std::string name = flagName(flag);
    if (name.empty()) {
        MSRELog(2, 870006, "Cannot add a flag without name into an experiment. ID",
                {MSRLogContext(std::to_string(experimentID_))});
        return false;
    }
    flagsByName_.insert_or_assign(name, flag);
    return true;
}

std::optional<MSRPBFlag> MSREExperiment::flagWithName(const std::string& name) const {
    if (name.empty()) {
        MSRELog(2, 870007, "Cannot retrieve a flag without a flag name");
        return std::nullopt;
    }
    auto found = flagsByName_.find(name);
    if (found == flagsByName_.end()) return std::nullopt;
    return found->second;
}

MSRPBExperiment MSREExperiment::proto() const {
    MSRPBExperiment message;
    MSRPBSetInt32(message, MSRExperimentSlot::kExperimentID, static_cast<int32_t>(experimentID_));
    MSRPBSetMessageArray(message, MSRExperimentSlot::kFlags, flags());
    return message;
}
