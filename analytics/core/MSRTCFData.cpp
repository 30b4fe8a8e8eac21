#include "analytics/core/MSRTCFData.h"

#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "platform/foundation/Bundle.h"

namespace {

constexpr int64_t kZevureVendorIndex = 754;

foundation::Value numberOrAbsent(foundation::Value value) {
    return MSRTCFData::numberTruth(value) ? value : foundation::Value();
}

foundation::Value textOrAbsent(foundation::Value value) {
    return value.string() ? value : foundation::Value();
}

}  // namespace

MSRTCFData::MSRTCFData() : MSRTCFData(MSRUserDefaults::sharedUserDefaults()) {}

MSRTCFData::MSRTCFData(std::shared_ptr<MSRUserDefaults> userDefaults)
    : userDefaults_(std::move(userDefaults)), isTCFDataEnabled_(readTCFDataEnabledStateFromPlist()) {}

bool MSRTCFData::readTCFDataEnabledStateFromPlist() {
    const foundation::Value value = foundation::Bundle::main().objectForInfoDictionaryKey(kTCFDataEnabledKey);
    if (value.isAbsent()) return true;
    return numberTruth(value).value_or(false);
}

void MSRTCFData::readFromUserDefaults() {
    advertiserConsentMode_ = numberOrAbsent(userDefaults_->objectForKey(kAdvertiserConsentModeKey));
    vendorConsents_ = textOrAbsent(userDefaults_->objectForKey(kVendorConsentsKey));
    cmpSDKID_ = numberOrAbsent(userDefaults_->objectForKey(kCmpSdkIDKey));
    gdprApplies_ = numberOrAbsent(userDefaults_->objectForKey(kGdprAppliesKey));
    policyVersion_ = numberOrAbsent(userDefaults_->objectForKey(kPolicyVersionKey));
    purposeConsents_ = textOrAbsent(userDefaults_->objectForKey(kPurposeConsentsKey));
}

std::optional<bool> MSRTCFData::numberTruth(const foundation::Value& value) {
    return msr_truthOfNumber(value);
}

std::optional<int64_t> MSRTCFData::numberInteger(const foundation::Value& value) {
    if (auto flag = value.boolValue()) return *flag ? 1 : 0;
    if (auto integer = value.integerValue()) return integer;
    if (auto number = value.doubleValue()) {
        // Out of range reads as nothing rather than as an undefined integer.
        if (!(*number > -9.2e18 && *number < 9.2e18)) return std::nullopt;
        return static_cast<int64_t>(*number);
    }
    return std::nullopt;
}

bool MSRTCFData::isBitEnabledAtIndex(const foundation::Value& bits, int64_t index) {
    const std::string* text = bits.string();
    return text && ::isBitEnabledAtIndex(*text, index);
}

bool MSRTCFData::hasZevureInVendorConsents() const {
    return isBitEnabledAtIndex(vendorConsents_, kZevureVendorIndex);
}

bool MSRTCFData::isAdStoragePurposeGranted() const {
    return isBitEnabledAtIndex(purposeConsents_, 0);
}

bool MSRTCFData::isAdPersonalizationPurposeGranted() const {
    return isBitEnabledAtIndex(purposeConsents_, 2) && isBitEnabledAtIndex(purposeConsents_, 3);
}

bool MSRTCFData::canAccessAdUserDataPurpose() const {
    auto version = numberInteger(policyVersion_);
    return version && *version >= 4;
}

bool MSRTCFData::isAdUserDataPurposeGranted() const {
    return canAccessAdUserDataPurpose() && isBitEnabledAtIndex(purposeConsents_, 0) &&
           isBitEnabledAtIndex(purposeConsents_, 6);
}
