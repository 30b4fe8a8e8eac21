#pragma once

// The experiments of one client library at one time, as fetched, stored and
// activated. Stored as the encoded Snapshot message.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBMessages.h"
#include "analytics/reporters/MSREExperiment.h"

class MSRESnapshot {
  public:
    // Nothing (logged) for an empty SDK name. A later experiment with the same
    // ID replaces an earlier one. The timestamp is now.
    static std::optional<MSRESnapshot> initWithSDKName(const std::string& SDKName,
                                                       const std::vector<MSREExperiment>& experiments);
    // Nothing for a message without an SDK name.
    static std::optional<MSRESnapshot> initWithProtobuf(const MSRPBSnapshot& message);

    const std::string& SDKName() const { return SDKName_; }
    // In ascending ID order.
    std::vector<MSREExperiment> experiments() const;
    bool isEmpty() const { return experimentsByID_.empty(); }

    double timestamp() const { return timestamp_; }
    void setTimestamp(double timestamp) { timestamp_ = timestamp; }
    // Set for a snapshot its client activates itself: the start does not
    // activate it automatically.
    bool manuallyActivated() const { return manuallyActivated_; }
    void setManuallyActivated(bool manuallyActivated) { manuallyActivated_ = manuallyActivated; }

    // The first flag of that name in any experiment (lowest ID first).
    std::optional<MSRPBFlag> flagByName(const std::string& name) const;
    // Adds the flag to the experiment of that ID, made when missing. False
    // (logged) for a flag without a name.
    bool addFlag(const MSRPBFlag& flag, int64_t experimentID);
    void addFlags(const std::vector<MSRPBFlag>& flags, int64_t experimentID);

    // A copy stamped now and not marked manually activated.
    MSRESnapshot copy() const;
    MSRPBSnapshot proto() const;

  private:
    MSRESnapshot() = default;

    std::string SDKName_;
    std::map<int64_t, MSREExperiment> experimentsByID_;
    double timestamp_ = 0;
    bool manuallyActivated_ = false;
};
