#pragma once

// What one client library holds of the experiments feature: it reads flag
// values through it, activates the newest fetched snapshot, asks whether its
// active snapshot is stale and resets to its defaults. Every call goes to the
// manager with the client's SDK name.

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/reporters/MSREExperiment.h"
#include "analytics/support/MSRError.h"

namespace dispatch {
class Queue;
}
class MSREClient;
class MSREManagerImpl;
class MSRESDKProperty;

// Told of a client's new snapshots and fetch errors.
class MSREExperimentObserverDelegate {
  public:
    virtual ~MSREExperimentObserverDelegate() = default;
    // False: the client does not take new snapshots itself, and they are
    // activated automatically at the next start.
    virtual bool receivesNewSnapshots() const { return true; }
    virtual void clientDidReceiveNewSnapshot(MSREClient& client) = 0;
    virtual void clientDidReceiveFetchError(MSREClient& client, const MSRError& error) = 0;
    // Nothing: no opinion, which counts as yes.
    virtual std::optional<bool> shouldFetchExperimentsForClient(MSREClient& client) = 0;
    // Where new-snapshot calls go; null: the main queue.
    virtual std::shared_ptr<dispatch::Queue> queue() { return nullptr; }
};

class MSREClient : public MSRExperimentClient {
  public:
    // Null (logged) without a record.
    static std::shared_ptr<MSREClient> initWithSDKProperty(std::shared_ptr<MSRESDKProperty> property,
                                                           std::map<std::string, MSRPBFlag> defaultFlags,
                                                           std::weak_ptr<MSREManagerImpl> manager);

    std::optional<MSREFlagValue> valueForFlag(const std::string& name) const;
    std::optional<MSREFlagValue> operator[](const std::string& name) const { return valueForFlag(name); }
    bool activateLatestSnapshot(MSRError* error) override;
    // The flag as a switch: a number is on when not zero; a text is no switch.
    std::optional<bool> flagValue(const std::string& name) override;
    bool hasStaleSnapshot() const;
    void resetToDefaults();

    std::string SDKName() const;
    const std::map<std::string, MSRPBFlag>& defaultFlags() const { return defaultFlags_; }
    const std::shared_ptr<MSRESDKProperty>& SDKProperty() const { return property_; }
    std::shared_ptr<MSREExperimentObserverDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<MSREExperimentObserverDelegate> delegate) {
        delegate_ = std::move(delegate);
    }
    // A delegate the client keeps alive (an adapter made for it).
    void setOwnedDelegate(std::shared_ptr<MSREExperimentObserverDelegate> delegate) {
        ownedDelegate_ = delegate;
        delegate_ = ownedDelegate_;
    }

    MSREClient(std::shared_ptr<MSRESDKProperty> property, std::map<std::string, MSRPBFlag> defaultFlags,
               std::weak_ptr<MSREManagerImpl> manager);

  private:
    std::shared_ptr<MSRESDKProperty> property_;
    std::map<std::string, MSRPBFlag> defaultFlags_;
    std::weak_ptr<MSREManagerImpl> manager_;
    std::weak_ptr<MSREExperimentObserverDelegate> delegate_;
    std::shared_ptr<MSREExperimentObserverDelegate> ownedDelegate_;
};
