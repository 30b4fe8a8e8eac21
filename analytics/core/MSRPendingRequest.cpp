#include "analytics/core/MSRPendingRequest.h"

#include "analytics/core/MSRMeasurement.h"
#include "analytics/support/MSRAlarm.h"
#include "analytics/support/MSRMonitor.h"

MSRPendingRequest::~MSRPendingRequest() = default;

uint64_t MSRPendingRequest::begin(const std::string& name, double timeoutSeconds,
                                  std::function<void(MSRMeasurement&)> onLost) {
    const uint64_t id = ++next_;
    current_ = id;
    engine_.setIsNetworkRequestPending(true);
    if (!alarm_) alarm_ = std::make_unique<MSRAlarm>(engine_.scheduler()->workerQueue(), "Network request watch");
    std::weak_ptr<MSRMeasurement> weak = engine_.weak_from_this();
    alarm_->runAfterDelay(timeoutSeconds + kGraceSeconds, [weak, id, name, onLost = std::move(onLost)] {
        auto engine = weak.lock();
        if (!engine || !engine->pendingRequest().end(id)) return;
        std::vector<MSRLogContext> contexts;
        contexts.emplace_back(name);
        MSRMeasurement::monitor()->logWithLevel(1, 23270, "Network request did not complete in time. Request", contexts);
        if (onLost) onLost(*engine);
    });
    return id;
}

bool MSRPendingRequest::end(uint64_t id) {
    if (id == 0 || id != current_) return false;
    current_ = 0;
    engine_.setIsNetworkRequestPending(false);
    if (alarm_) alarm_->cancel();
    return true;
}
