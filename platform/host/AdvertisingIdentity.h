#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace host {

// The device's advertising-identifier service and its tracking-authorization
// service. Neither exists on this host, so both answer "not available" until
// a test (or a launcher that wants to pretend) says otherwise. The answers are
// the raw facts the phone OS would give; the engine's identity support turns
// them into its own codes.
class AdvertisingIdentity {
public:
    // The platform's tracking-authorization numbers.
    static constexpr uint32_t kNotDetermined = 0;
    static constexpr uint32_t kRestricted = 1;
    static constexpr uint32_t kDenied = 2;
    static constexpr uint32_t kAuthorized = 3;

    // The major version of the simulated phone OS. The application's oldest
    // supported system is 15, so that is what runs unless a test says otherwise.
    static constexpr int kDefaultSystemMajorVersion = 15;

    static AdvertisingIdentity& shared();

    // The identifier manager: present or not, its identifier (canonical
    // upper-case UUID text; the all-zero UUID while tracking is not allowed)
    // and whether advertising tracking is enabled.
    bool hasIdentifierManager() const;
    std::optional<std::string> advertisingIdentifier() const;
    bool isAdvertisingTrackingEnabled() const;

    // The tracking manager: present or not, and its authorization number.
    bool hasTrackingManager() const;
    uint32_t trackingAuthorizationStatus() const;

    int systemMajorVersion() const;
    // The minor version beside it (features that came with a point release).
    int systemMinorVersion() const;

    // Test controls. A nothing identifier with a present manager stands for a
    // service that answers no identifier at all.
    void setIdentifierManagerForTesting(std::optional<std::string> identifier, bool trackingEnabled);
    void removeIdentifierManagerForTesting();
    void setTrackingManagerForTesting(uint32_t status);
    void removeTrackingManagerForTesting();
    void setSystemMajorVersionForTesting(int version);
    void setSystemMinorVersionForTesting(int version);
    // Runs on every identifier read, before it answers; lets a test make the
    // service slow. Empty: no hook.
    void setReadHookForTesting(std::function<void()> hook);
    // Everything absent again, the default system version.
    void resetForTesting();

private:
    mutable std::mutex mutex_;
    bool hasIdentifierManager_ = false;
    std::optional<std::string> identifier_;
    bool trackingEnabled_ = false;
    bool hasTrackingManager_ = false;
    uint32_t status_ = kNotDetermined;
    int systemMajorVersion_ = kDefaultSystemMajorVersion;
    int systemMinorVersion_ = 0;
    std::function<void()> readHook_;
};

// The vendor identifier of the device: one UUID per data root, made on first
// request and kept in "<home>/Library/VendorIdentifier", so it stays the same
// across runs and changes only when the data root is wiped (the phone OS keeps
// it until the vendor's last application is removed). Nothing when the file
// can be neither read nor written.
std::optional<std::string> identifierForVendor();

// A new random (version 4) UUID in its canonical upper-case text form.
std::string makeUUIDString();

}  // namespace host
