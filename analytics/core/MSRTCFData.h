#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

class MSRUserDefaults;

// What a consent-management platform following the IAB Transparency and
// Consent Framework (version 2, in-app form) left in the application's
// standard preferences under "IABTCF_" keys, read fresh by readFromUserDefaults.
// A missing value, or one of another type, reads as nothing and counts as
// "no consent".
class MSRTCFData {
  public:
    static constexpr const char* kTCFDataEnabledKey = "ZEVURE_ANALYTICS_TCF_DATA_ENABLED";
    static constexpr const char* kAdvertiserConsentModeKey = "IABTCF_EnableAdvertiserConsentMode";
    static constexpr const char* kVendorConsentsKey = "IABTCF_VendorConsents";
    static constexpr const char* kCmpSdkIDKey = "IABTCF_CmpSdkID";
    static constexpr const char* kGdprAppliesKey = "IABTCF_gdprApplies";
    static constexpr const char* kPolicyVersionKey = "IABTCF_PolicyVersion";
    static constexpr const char* kPurposeConsentsKey = "IABTCF_PurposeConsents";

    // Reads the Info.plist switch; the preferences are read by readFromUserDefaults.
    MSRTCFData();
    explicit MSRTCFData(std::shared_ptr<MSRUserDefaults> userDefaults);

    // Info.plist: missing reads yes, a number its truth, anything else no.
    static bool readTCFDataEnabledStateFromPlist();
    void readFromUserDefaults();

    bool isTCFDataEnabled() const { return isTCFDataEnabled_; }
    const foundation::Value& isAdvertiserConsentModeEnabled() const { return advertiserConsentMode_; }
    const foundation::Value& vendorConsents() const { return vendorConsents_; }
    const foundation::Value& cmpSDKID() const { return cmpSDKID_; }
    const foundation::Value& gdprApplies() const { return gdprApplies_; }
    const foundation::Value& policyVersion() const { return policyVersion_; }
    const foundation::Value& purposeConsents() const { return purposeConsents_; }

    // Vendor 755 has consent.
    bool hasZevureInVendorConsents() const;
    bool isAdStoragePurposeGranted() const;          // purpose 1
    bool isAdPersonalizationPurposeGranted() const;  // purposes 3 and 4
    bool canAccessAdUserDataPurpose() const;         // policy version 4 or later
    bool isAdUserDataPurposeGranted() const;         // that, purposes 1 and 7

    // A number's truth and integer part; nothing for another kind of value.
    static std::optional<bool> numberTruth(const foundation::Value& value);
    static std::optional<int64_t> numberInteger(const foundation::Value& value);
    // Character `index` (0-based) of a bit string is "1".
    static bool isBitEnabledAtIndex(const foundation::Value& bits, int64_t index);

  private:
    std::shared_ptr<MSRUserDefaults> userDefaults_;
    bool isTCFDataEnabled_ = true;
    foundation::Value advertiserConsentMode_;
    foundation::Value vendorConsents_;
    foundation::Value cmpSDKID_;
    foundation::Value gdprApplies_;
    foundation::Value policyVersion_;
    foundation::Value purposeConsents_;
};
