#pragma once

// The engine's conditional user properties: records kept in the analytics
// database, turned into user properties when they activate, and checked
// against every event the engine writes (time-outs and expiries are found
// only then, never by a timer).
//
// One shared instance per process, bound to the engine that made it through
// the component registry. The public operations may be called from any
// thread: they copy their input and hand the work to the engine's worker
// queue, or, before the engine has made its components, keep it until then.
// The "OnWorkerQueue" operations and the time-out and expiry sweeps run on
// the worker queue only, each inside one database transaction that is undone
// as a whole when a write fails; an event made by a step is written in the
// same write group, so that the step and its event commit together.

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/model/MSRConditionalUserProperty.h"

class MSRMeasurement;

class MSRConditionalUserProperties : public MSRConditionalUserPropertyController,
                                     public std::enable_shared_from_this<MSRConditionalUserProperties> {
public:
    // Trigger timeouts and times to live lie within these bounds (seconds).
    static constexpr double kMinimumInterval = 0.001;
    static constexpr double kMaximumInterval = 15552000;  // 180 days
    // How long a query from outside the worker queue waits for its answer.
    static constexpr double kQueryTimeout = 30;
    // Sets and clears made before the engine has started wait for it; past
    // this many, further ones are refused with a log line.
    static constexpr size_t kMaxWaitingRequests = 1000;

    static std::shared_ptr<MSRConditionalUserProperties> sharedInstance();

    // The engine whose worker queue, database and event road the controller
    // uses from now on (held weakly); the requests that waited for it go to
    // its worker queue in their order.
    void attachEngine(std::weak_ptr<MSRMeasurement> engine);

    // Any thread.
    void setConditionalUserProperty(const std::optional<MSRConditionalUserProperty>& property,
                                    const std::string& name);
    void clearConditionalUserPropertyWithClearEvent(const std::optional<MSREvent>& clearEvent,
                                                    const std::string& name);
    // The records whose name begins with `prefix`, of `origin` when one is
    // given. Nothing when measurement is off, the read failed or no answer
    // came within kQueryTimeout. Called on the worker queue itself, it reads
    // in place instead of waiting for a block queued behind its caller.
    std::optional<std::vector<MSRConditionalUserProperty>> conditionalUserPropertiesWithNamePrefix(
        const std::optional<std::string>& prefix, const std::optional<std::string>& origin);

    // Worker queue only.
    void setConditionalUserPropertyOnWorkerQueue(const std::optional<MSRConditionalUserProperty>& property);
    void removeConditionalUserPropertyOnWorkerQueue(const std::optional<MSRConditionalUserProperty>& request);
    // Writes the time-out and expiry events it finds and answers the events
    // that `event` triggered, for the caller to write after it; nothing when
    // the step was rolled back.
    std::optional<std::vector<MSREvent>> processEventOnWorkerQueue(const MSREvent& event) override;
    bool removeTimedOutCUPWithTimedOutEvents(std::vector<MSREvent>* timedOutEvents);
    bool removeExpiredCUPWithExpiredEvents(std::vector<MSREvent>* expiredEvents);
    std::optional<std::vector<MSREvent>> updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
        const std::string& eventName);

private:
    // The steps of setConditionalUserPropertyOnWorkerQueue and
    // removeConditionalUserPropertyOnWorkerQueue once their checks passed.
    void storeOnWorkerQueue(MSRMeasurement& held, const MSRConditionalUserProperty& property);
    void removeOnWorkerQueue(MSRMeasurement& held, const MSRConditionalUserProperty& request);
    std::shared_ptr<MSRMeasurement> engine() const;
    // The engine when it can do database work on its worker queue now.
    std::shared_ptr<MSRMeasurement> engineOnWorkerQueue() const;
    void scheduleOnWorkerQueue(const char* blockID,
                               std::function<void(MSRConditionalUserProperties&)> work);
    void scheduleOn(MSRMeasurement& held, const char* blockID,
                    std::function<void(MSRConditionalUserProperties&)> work);
    std::optional<std::vector<MSRConditionalUserProperty>> readWithNamePrefixOnWorkerQueue(
        const std::string& prefix, const std::string& origin, bool* failed);

    mutable std::mutex mutex_;
    std::weak_ptr<MSRMeasurement> engine_;
    struct Waiting {
        const char* blockID;
        std::function<void(MSRConditionalUserProperties&)> work;
    };
    std::vector<Waiting> waiting_;
    // Worker queue only: true once the table was seen empty and nothing was
    // stored since, so that the events of an application without conditional
    // properties cost one flag test.
    bool knownEmpty_ = false;
};
