#include "analytics/reporters/MSRESnapshot.h"

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/reporters/MSREMonitor.h"
#include "platform/dispatch/Clock.h"

std::optional<MSRESnapshot> MSRESnapshot::initWithSDKName(const std::string& SDKName,
                                                          const std::vector<MSREExperiment>& experiments) {
    if (SDKName.empty()) {
        MSRELog(2, 840000, "Cannot create snapshot with an invalid SDK name");
        return std::nullopt;
    }
    MSRESnapshot snapshot;
    snapshot.SDKName_ = SDKName;
    snapshot.timestamp_ = dispatch::Clock::now();
    for (const MSREExperiment& experiment : experiments)
        snapshot.experimentsByID_.insert_or_assign(experiment.experimentID(), experiment);
    return snapshot;
}

std::optional<MSRESnapshot> MSRESnapshot::initWithProtobuf(const MSRPBSnapshot& message) {
    std::vector<MSREExperiment> experiments;
    for (const MSRPBExperiment& experiment :
         MSRPBGetMessageArray<MSRPBExperiment>(message, MSRSnapshotSlot::kExperiments))
        experiments.push_back(MSREExperiment::initWithProtobuf(experiment));
    return initWithSDKName(MSRPBGetString(message, MSRSnapshotSlot::kSDKName).value_or(""), experiments);
}

std::vector<MSREExperiment> MSRESnapshot::experiments() const {
    std::vector<MSREExperiment> out;
    out.reserve(experimentsByID_.size());
    for (const auto& [id, experiment] : experimentsByID_) out.push_back(experiment);
    return out;
}

std::optional<MSRPBFlag> MSRESnapshot::flagByName(const std::string& name) const {
    for (const auto& [id, experiment] : experimentsByID_) {
        if (auto flag = experiment.flagWithName(name)) return flag;
    }
    return std::nullopt;
}

bool MSRESnapshot::addFlag(const MSRPBFlag& flag, int64_t experimentID) {
    auto found = experimentsByID_.find(experimentID);
    if (found != experimentsByID_.end()) return found->second.addFlag(flag);
    std::optional<MSREExperiment> experiment = MSREExperiment::initWithExperimentID(experimentID, {flag});
    if (!experiment) {
        MSRELog(2, 840004, "Cannot add an invalid flag into a snapshot");
        return false;
    }
    experimentsByID_.emplace(experimentID, std::move(*experiment));
    return true;
}

void MSRESnapshot::addFlags(const std::vector<MSRPBFlag>& flags, int64_t experimentID) {
    for (const MSRPBFlag& flag : flags) addFlag(flag, experimentID);
}

MSRESnapshot MSRESnapshot::copy() const {
    MSRESnapshot snapshot = *this;
    snapshot.timestamp_ = dispatch::Clock::now();
    snapshot.manuallyActivated_ = false;
    return snapshot;
}

MSRPBSnapshot MSRESnapshot::proto() const {
    MSRPBSnapshot message;
    MSRPBSetString(message, MSRSnapshotSlot::kSDKName, SDKName_);
    std::vector<MSRPBExperiment> experiments;
    for (const auto& [id, experiment] : experimentsByID_) experiments.push_back(experiment.proto());
    MSRPBSetMessageArray(message, MSRSnapshotSlot::kExperiments, std::move(experiments));
    return message;
}
