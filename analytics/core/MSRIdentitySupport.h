#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace dispatch {
class Queue;
}

// The advertising identifier, limited ad tracking and the tracking-
// authorization status, as the identity asks for them.
class MSRIdentitySupport {
public:
    // The status when the platform cannot tell it.
    static constexpr uint64_t kUnavailableStatus = ~uint64_t{0};

    virtual ~MSRIdentitySupport() = default;

    virtual bool hasAppDataConsentStatus() = 0;
    // The platform's number: 0 not determined, 1 restricted, 2 denied,
    // 3 authorized; kUnavailableStatus without the tracking manager.
    virtual uint64_t appDataConsentStatus() = 0;
    virtual bool hasLimitedAdTracking() = 0;
    virtual bool limitedAdTracking() = 0;
    // Canonical UUID text, or nothing.
    virtual std::optional<std::string> resettableDeviceID() = 0;
};

// Straight answers of the device's advertising services (host::AdvertisingIdentity).
class MSRPlatformIdentitySupport : public MSRIdentitySupport {
public:
    static std::shared_ptr<MSRPlatformIdentitySupport> sharedInstance();

    bool hasAppDataConsentStatus() override;
    uint64_t appDataConsentStatus() override;
    bool hasLimitedAdTracking() override;
    bool limitedAdTracking() override;
    std::optional<std::string> resettableDeviceID() override;
};

// What the identity uses: the platform's answers with the identifier read
// bounded in time (identity questions come with every upload bundle and must
// not stall on the platform's service) and the system-version rule for
// limited ad tracking.
class MSRDefaultIdentitySupport : public MSRIdentitySupport,
                                  public std::enable_shared_from_this<MSRDefaultIdentitySupport> {
public:
    static constexpr const char* kQueueLabel = "MSRDefaultIdentitySupport";
    static constexpr const char* kZeroDeviceID = "00000000-0000-0000-0000-000000000000";
    // How long a caller waits for the platform's identifier.
    static constexpr double kReadTimeout = 0.010;

    // Created once over the shared platform support.
    static std::shared_ptr<MSRDefaultIdentitySupport> sharedInstance();
    static void resetSharedInstanceForTesting();
    // `platform` null: the platform support is not part of the program.
    static std::shared_ptr<MSRDefaultIdentitySupport> create(std::shared_ptr<MSRIdentitySupport> platform);

    static bool iOS14OrAbove();

    bool hasAppDataConsentStatus() override;
    uint64_t appDataConsentStatus() override;
    bool hasLimitedAdTracking() override;
    bool limitedAdTracking() override;
    // The identifier read within kReadTimeout; a slower read answers the
    // previous one (nothing the first time) and fills it in for the next call.
    std::optional<std::string> resettableDeviceID() override;

    // Waits until every identifier read queued so far has finished.
    void waitForPendingReadsForTesting();

private:
    explicit MSRDefaultIdentitySupport(std::shared_ptr<MSRIdentitySupport> platform);

    std::shared_ptr<MSRIdentitySupport> platformIdentitySupport_;
    std::mutex lock_;
    std::optional<std::string> resettableDeviceID_;  // under lock_
    std::shared_ptr<dispatch::Queue> queue_;
};
