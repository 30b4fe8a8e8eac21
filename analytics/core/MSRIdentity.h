#pragma once

// Who and what is measured: the application's IDs and version, the app
// instance ID (this installation's analytics identifier, kept in the
// persisted configuration), the advertising and vendor identifiers with the
// tracking-authorization status, the session stitching token and a few
// derived keys.
//
// Every field lives on the serial queue "MSRIdentityWorkerQueue": readers wait
// for it, writers post to it. A getter first posts a refresh of the
// advertising state, which therefore runs before its read. Every operation
// may be called from any thread, the engine's worker queue included, and
// from blocks already on the identity queue (those run in place).

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/core/MSRIdentityInterface.h"
#include "platform/foundation/Bundle.h"

namespace dispatch {
class Queue;
}
namespace foundation {
class Bundle;
}
class MSRIdentitySupport;
class MSRPersistedConfig;
class MSRRemoteConfig;

// Where an identity reads its facts. Members left empty get the production
// default.
struct MSRIdentityEnvironment {
    // The application bundle (Info.plist, service configuration file); the
    // main bundle when null.
    std::shared_ptr<const foundation::Bundle> bundle;
    // The advertising identity; the shared MSRDefaultIdentitySupport when null.
    std::shared_ptr<MSRIdentitySupport> identitySupport;
    // The server's settings (refresh interval, identifier gate); the default
    // instance when null, until setRemoteConfig gives the engine's.
    std::shared_ptr<MSRRemoteConfig> remoteConfig;
};

class MSRIdentity : public MSRIdentityInterface, public std::enable_shared_from_this<MSRIdentity> {
public:
    static constexpr const char* kQueueLabel = "MSRIdentityWorkerQueue";
    static constexpr const char* kZeroResettableDeviceID = "00000000-0000-0000-0000-000000000000";
    static constexpr double kSessionStitchingTokenLifetime = 86400;

    // Tracking-authorization status codes (appleConsentStatus).
    static constexpr uint32_t kStatusRestricted = 1;
    static constexpr uint32_t kStatusDenied = 2;
    static constexpr uint32_t kStatusAuthorized = 3;
    static constexpr uint32_t kStatusNotDetermined = 4;
    // No tracking-authorization support, or a platform value above 3.
    static constexpr uint32_t kStatusNoTrackingSupport = 5;
    // No advertising-identifier support, or a system older than 14.
    static constexpr uint32_t kStatusNoAdvertisingSupport = 6;

    // Created once with the shared persisted configuration; null (logged on
    // every call) when that failed.
    static std::shared_ptr<MSRIdentity> sharedInstance();
    // Replaces the shared instance (also as the facade's identity); the next
    // sharedInstance() makes a new one when given null.
    static void setSharedInstanceForTesting(std::shared_ptr<MSRIdentity> identity);
    static void resetSharedInstanceForTesting() { setSharedInstanceForTesting(nullptr); }

    // Null (logged) without a persisted configuration.
    static std::shared_ptr<MSRIdentity> initWithPersistedConfig(std::shared_ptr<MSRPersistedConfig> persistedConfig,
                                                                MSRIdentityEnvironment environment = {});
    ~MSRIdentity() override;
    MSRIdentity(const MSRIdentity&) = delete;
    MSRIdentity& operator=(const MSRIdentity&) = delete;

    // The engine's version number: its version text without the last three
    // characters (0 for a text shorter than 4).
    static int64_t rovIdarurozaroLibraryVersion();
    static int64_t libraryVersionFromText(std::string_view versionText);
    // The numbers of a dotted version text; a component with other characters
    // gives the number of its digits joined.
    static std::vector<int32_t> numericFieldsFromAppVersionNumeric(const std::string& version);
    // A new UUID without its dashes: 32 upper-case hexadecimal characters.
    static std::string newRandomAppInstanceID();

    // ---- facts read at creation ---------------------------------------------
    const std::string& appID() const { return appID_; }
    const std::string& appVersion() const { return appVersion_; }
    std::optional<int32_t> appVersionMajor() const { return appVersionMajor_; }
    std::optional<int32_t> appVersionMinor() const { return appVersionMinor_; }
    std::optional<int32_t> appVersionRelease() const { return appVersionRelease_; }
    bool isFromAppStore() const;
    bool iOS14OrAbove() const;
    const std::shared_ptr<MSRPersistedConfig>& persistedConfig() const { return persistedConfig_; }
    // The application bundle the identity reads (the main bundle unless the
    // environment named another).
    const foundation::Bundle& bundle() const { return bundle_ ? *bundle_ : foundation::Bundle::main(); }

    // The engine hands over its own settings once it has them.
    void setRemoteConfig(std::shared_ptr<MSRRemoteConfig> remoteConfig);

    // ---- application IDs and installation --------------------------------
    std::optional<std::string> appIDFromZMP() override;
    std::optional<std::string> appIDFromAdzev() override;
    // Only the first non-empty value of the process is taken; empty is refused (logged).
    void setAppIDFromZMP(const std::string& appID) override;
    void setAppIDFromAdzev(const std::string& appID) override;
    bool hasZevureServiceInfoPlist() override;
    void setOrigin(const std::string& origin) override;
    std::optional<std::string> vuzedezoInstallationID();
    void setVuzedezoInstallationID(const std::optional<std::string>& installationID) override;

    // ---- app instance ID and advertising state ---------------------------
    std::string randomAppInstanceID() override { return newRandomAppInstanceID(); }
    // Nothing while analytics storage is denied.
    std::optional<std::string> appInstanceID() override;
    void setAppInstanceID(const std::optional<std::string>& appInstanceID);
    // MD5 text of the advertising identifier; nothing while ad storage is denied.
    std::optional<std::string> hashedResettableDeviceID();
    std::optional<std::string> resettableDeviceID();
    bool limitedAdTracking();
    uint32_t appleConsentStatus();
    bool hasLimitedAdTracking();
    // Nothing while an advertising identifier is known, when the Info.plist
    // switches collection off, or while analytics storage is denied.
    std::optional<std::string> identifierForVendor();
    void updateIdentifiers();
    void updateIdentifiersAndWait();
    bool shouldSetLastAdvertisingIDResetUserProperty();
    void setShouldSetLastAdvertisingIDResetUserProperty(bool value);

    // ---- what the stored metadata of events is made of --------------------
    // Moves on with every change of the answers above (the application IDs,
    // the installation ID, the advertising state, the vendor identifier, the
    // session stitching token) made by this identity. The answers also
    // depend on the persisted configuration and the consent settings, which
    // count their own changes.
    uint64_t answersGeneration() const { return answersGeneration_.load(std::memory_order_acquire); }
    // True while neither a refresh of the advertising state nor the session
    // stitching token's expiry is due at `now`: the answers given since then
    // stay the same until a generation moves.
    bool answersCurrentAt(double now) const;

    // ---- session stitching, diversion key, ephemeral ID ------------------
    std::optional<std::string> sessionStitchingTokenWithSessionNumber(int64_t sessionNumber, bool sessionExpired,
                                                                      bool userIDAvailable);
    void resetSessionStitchingToken();
    // Runs on the identity queue (in place when already there).
    void resetSessionStitchingTokenOnWorkerQueue();
    // Five characters, made once and kept.
    std::string diversionKey();
    std::string ephemeralAppInstanceID();
    void resetEphemeralAppInstanceID();
    void resetEphemeralAppInstanceIDOnWorkerQueue();

private:
    MSRIdentity(std::shared_ptr<MSRPersistedConfig> persistedConfig, MSRIdentityEnvironment environment);

    // Runs `block` on the queue and waits for it (in place when on the queue).
    void runSync(const std::function<void()>& block);
    void runAsync(std::function<void()> block);
    std::optional<std::string> readOnQueue(const std::optional<std::string>& field);
    // An application ID is taken once; an empty one is refused with `emptyCode`.
    void setAppIDOnce(std::atomic<bool>& didSet, std::optional<std::string>& field, const std::string& appID,
                      int64_t emptyCode, const char* emptyMessage);
    // Refreshes the identifiers, then runs `read`, in one visit to the queue.
    void refreshThenRead(const std::function<void()>& read);
    std::shared_ptr<MSRRemoteConfig> remoteConfig();
    void updateIdentifiersOnQueue();
    void answersChanged() { answersGeneration_.fetch_add(1, std::memory_order_acq_rel); }
    // True when a refresh now would stop on its throttle.
    bool refreshIsThrottledAt(double now) const;

    // Fields, in the order of the identity's record; all on queue_.
    std::optional<double> lastAppInstanceIDUpdateTimestamp_;
    uint32_t appleConsentStatus_ = kStatusNoAdvertisingSupport;
    std::optional<std::string> resettableDeviceID_;
    bool limitedAdTracking_ = false;
    std::optional<std::string> identifierForVendorString_;
    std::shared_ptr<MSRPersistedConfig> persistedConfig_;
    std::optional<std::string> appIDFromZMP_;
    std::optional<std::string> appIDFromAdzev_;
    std::optional<bool> isIDFVCollectionEnabledNumber_;
    std::optional<std::string> vuzedezoInstallationID_;
    std::optional<std::string> sessionStitchingToken_;
    int64_t lastSessionNumber_ = 0;
    bool lastIsSessionExpired_ = false;
    std::optional<double> sessionStitchingTokenExpirationTime_;
    std::shared_ptr<dispatch::Queue> queue_;
    std::optional<std::string> ephemeralAppInstanceID_;
    std::string appID_;
    std::string appVersion_;
    std::optional<int32_t> appVersionMajor_;
    std::optional<int32_t> appVersionMinor_;
    std::optional<int32_t> appVersionRelease_;

    // Collaborators.
    std::shared_ptr<const foundation::Bundle> bundle_;
    std::shared_ptr<MSRIdentitySupport> identitySupport_;
    std::shared_ptr<MSRRemoteConfig> remoteConfig_;  // on queue_
    std::atomic<bool> didSetAppIDFromZMP_{false};
    // Read off the queue: the answers' generation; the last refresh, when the
    // next is due and the persisted configuration's generation it saw; the
    // session stitching token's expiry.
    std::atomic<uint64_t> answersGeneration_{0};
    std::atomic<double> refreshedAt_{0};
    std::atomic<double> refreshDue_{0};
    std::atomic<uint64_t> refreshedConfigGeneration_{~uint64_t{0}};
    std::atomic<double> tokenExpiry_{std::numeric_limits<double>::infinity()};
    std::atomic<bool> didSetAppIDFromAdzev_{false};
};
