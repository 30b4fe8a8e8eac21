#pragma once

// A request of the engine's own (a conversion-value fetch, an on-device
// conversion query, the deferred deep link) holds the engine's
// network-request-pending flag, which keeps uploads and every other request
// waiting. The network promises one completion per started request, but a
// request that never ends would hold them for ever; so each one is watched:
// it ends at its completion or, at the latest, once its time-out and a grace
// period have passed, and a completion that comes after that is ignored.
// Worker queue only.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class MSRAlarm;
class MSRMeasurement;

class MSRPendingRequest {
public:
    // Seconds past the network time-out before a request counts as lost.
    static constexpr double kGraceSeconds = 30;

    explicit MSRPendingRequest(MSRMeasurement& engine) : engine_(engine) {}
    ~MSRPendingRequest();
    MSRPendingRequest(const MSRPendingRequest&) = delete;
    MSRPendingRequest& operator=(const MSRPendingRequest&) = delete;

    // Sets the pending flag and starts the watch; `onLost` runs on the
    // worker queue when no completion came in time (after the flag is
    // cleared). Answers the request's number.
    uint64_t begin(const std::string& name, double timeoutSeconds, std::function<void(MSRMeasurement&)> onLost);
    // The completion of request `id`: true (flag cleared, watch ended) when it
    // is still the request in flight, false for one already given up.
    bool end(uint64_t id);

private:
    MSRMeasurement& engine_;
    uint64_t current_ = 0;
    uint64_t next_ = 0;
    std::unique_ptr<MSRAlarm> alarm_;
};
