#include "analytics/core/MSRIdentitySupport.h"

#include <memory>

#include "analytics/support/MSRMonitor.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/TimedSemaphore.h"
#include "platform/foundation/SharedSlot.h"
#include "platform/host/AdvertisingIdentity.h"

namespace {

void logIdentitySupport(int64_t level, int64_t code, std::string_view message) {
    MSRMonitor::shared()->logWithLevel(level, code, message);
}

}  // namespace

// ---- the platform's answers -------------------------------------------------

std::shared_ptr<MSRPlatformIdentitySupport> MSRPlatformIdentitySupport::sharedInstance() {
    static auto instance = std::make_shared<MSRPlatformIdentitySupport>();
    return instance;
}

bool MSRPlatformIdentitySupport::hasAppDataConsentStatus() {
    return host::AdvertisingIdentity::shared().hasTrackingManager();
}

uint64_t MSRPlatformIdentitySupport::appDataConsentStatus() {
    auto& platform = host::AdvertisingIdentity::shared();
    return platform.hasTrackingManager() ? platform.trackingAuthorizationStatus() : kUnavailableStatus;
}

bool MSRPlatformIdentitySupport::hasLimitedAdTracking() {
    return host::AdvertisingIdentity::shared().hasIdentifierManager();
}

bool MSRPlatformIdentitySupport::limitedAdTracking() {
    auto& platform = host::AdvertisingIdentity::shared();
    return platform.hasIdentifierManager() && !platform.isAdvertisingTrackingEnabled();
}

std::optional<std::string> MSRPlatformIdentitySupport::resettableDeviceID() {
    return host::AdvertisingIdentity::shared().advertisingIdentifier();
}

// ---- the bounded default ----------------------------------------------------

namespace {

foundation::SharedSlot<MSRDefaultIdentitySupport>& identitySupportSlot() {
    static foundation::SharedSlot<MSRDefaultIdentitySupport> slot;
    return slot;
}

}  // namespace

std::shared_ptr<MSRDefaultIdentitySupport> MSRDefaultIdentitySupport::sharedInstance() {
    return identitySupportSlot().getOrMake([] { return create(MSRPlatformIdentitySupport::sharedInstance()); });
}

void MSRDefaultIdentitySupport::resetSharedInstanceForTesting() {
    identitySupportSlot().reset();
}

std::shared_ptr<MSRDefaultIdentitySupport> MSRDefaultIdentitySupport::create(
    std::shared_ptr<MSRIdentitySupport> platform) {
    return std::shared_ptr<MSRDefaultIdentitySupport>(new MSRDefaultIdentitySupport(std::move(platform)));
}

MSRDefaultIdentitySupport::MSRDefaultIdentitySupport(std::shared_ptr<MSRIdentitySupport> platform)
    : platformIdentitySupport_(std::move(platform)) {
    if (platformIdentitySupport_) {
        logIdentitySupport(7, 44000, "ZevureRovIdarurozaroIdentitySupport dependency is linked.");
        if (platformIdentitySupport_->hasLimitedAdTracking()) {
            logIdentitySupport(7, 44001, "The AdSupport Framework is linked.");
        } else {
            logIdentitySupport(4, 44002,
                               "The AdSupport Framework is not currently linked. Some features will not function properly. "
                               "Learn more at the Calvaro analytics notes on advertising identity.");
        }
    } else {
        logIdentitySupport(4, 44003,
                           "ZevureRovIdarurozaroIdentitySupport dependency is not currently linked. IDFA will not be accessible.");
    }
    queue_ = dispatch::SerialQueue::create(kQueueLabel);
}

bool MSRDefaultIdentitySupport::iOS14OrAbove() {
    return host::AdvertisingIdentity::shared().systemMajorVersion() >= 14;
}

bool MSRDefaultIdentitySupport::hasAppDataConsentStatus() {
    return platformIdentitySupport_ && platformIdentitySupport_->hasAppDataConsentStatus();
}

uint64_t MSRDefaultIdentitySupport::appDataConsentStatus() {
    return platformIdentitySupport_ ? platformIdentitySupport_->appDataConsentStatus() : kUnavailableStatus;
}

bool MSRDefaultIdentitySupport::hasLimitedAdTracking() {
    return platformIdentitySupport_ && platformIdentitySupport_->hasLimitedAdTracking();
}

// From 14 on the platform no longer reports the switch itself; an
// identifier that is missing or all zeros is what limited tracking looks like.
bool MSRDefaultIdentitySupport::limitedAdTracking() {
    if (iOS14OrAbove()) {
        auto identifier = resettableDeviceID();
        return !identifier || *identifier == kZeroDeviceID;
    }
    return platformIdentitySupport_ && platformIdentitySupport_->limitedAdTracking();
}

std::optional<std::string> MSRDefaultIdentitySupport::resettableDeviceID() {
    if (!platformIdentitySupport_) return std::nullopt;
    // The semaphore is shared with the block, which may outlive this wait.
    auto done = std::make_shared<dispatch::TimedSemaphore>();
    std::weak_ptr<MSRDefaultIdentitySupport> weakSelf = weak_from_this();
    queue_->async([weakSelf, done] {
        if (auto self = weakSelf.lock()) {
            auto identifier = self->platformIdentitySupport_->resettableDeviceID();
            std::lock_guard lock(self->lock_);
            self->resettableDeviceID_ = std::move(identifier);
        }
        done->signal();
    });
    done->wait(kReadTimeout);
    std::lock_guard lock(lock_);
    return resettableDeviceID_;
}

void MSRDefaultIdentitySupport::waitForPendingReadsForTesting() {
    queue_->sync([] {});
}
