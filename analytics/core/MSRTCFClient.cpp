#include "analytics/core/MSRTCFClient.h"

#include "analytics/core/MSRAnalytics.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "analytics/support/MSRConstants.h"

namespace {

constexpr const char* kAlphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";

bool truthOf(const foundation::Value& value) {
    return MSRTCFData::numberTruth(value).value_or(false);
}

}  // namespace

MSRTCFClient::MSRTCFClient()
    : MSRTCFClient(MSRUserDefaults::sharedUserDefaults(),
                   std::make_shared<MSRUserDefaults>(snapshotSuiteName())) {}

MSRTCFClient::MSRTCFClient(std::shared_ptr<MSRUserDefaults> standard,
                           std::shared_ptr<MSRUserDefaults> snapshot)
    : tcfData_(std::move(standard)), userDefaults_(std::move(snapshot)) {}

std::string MSRTCFClient::snapshotSuiteName() {
    return std::string(kMSRReverseDomainRoot) + ".tcf.userdefaults";
}

bool MSRTCFClient::shouldApplyTCFData() const {
    return tcfData_.isTCFDataEnabled() && truthOf(tcfData_.isAdvertiserConsentModeEnabled()) &&
           tcfData_.hasZevureInVendorConsents() && truthOf(tcfData_.gdprApplies());
}

void MSRTCFClient::setConsentFromTCFData() {
    readTCFData();
    if (persistedValuesEqualCurrentData()) return;
    logTCFChangedEvent();
    storeCurrentData();
    MSRConsentSettingsUtil::Settings settings;
    if (shouldApplyTCFData()) {
        settings[MSRConsentSettingsUtil::kAdStorage] =
            consentStatusFromEnabled(tcfData_.isAdStoragePurposeGranted());
        settings[MSRConsentSettingsUtil::kAdPersonalization] =
            consentStatusFromEnabled(tcfData_.isAdPersonalizationPurposeGranted());
        settings[MSRConsentSettingsUtil::kAdUserData] =
            consentStatusFromEnabled(tcfData_.isAdUserDataPurposeGranted());
    } else if (MSRConsentSettingsUtil::consentSource() == 5) {
        // The consent in force came from earlier TCF data that no longer
        // grants it (the vendor's consent withdrawn, advertiser mode or GDPR
        // switched off): the latest state wins over the earlier grant.
        for (const char* type :
             {MSRConsentSettingsUtil::kAdStorage, MSRConsentSettingsUtil::kAdPersonalization,
              MSRConsentSettingsUtil::kAdUserData}) {
            settings[type] = consentStatusFromEnabled(false);
        }
    } else {
        return;
    }
    MSRAnalytics::setConsent(settings, "consent_settings_tcf");
}

void MSRTCFClient::logTCFChangedEvent() {
    MSRAnalytics::logInternalEventWithOrigin("auto", "_tcf",
                                             {{"_tcfd", MSRValue(tcfBundleParameterValue())}});
}

void MSRTCFClient::storeCurrentData() {
    userDefaults_->setObject(foundation::Value(tcfData_.isTCFDataEnabled()), MSRTCFData::kTCFDataEnabledKey);
    userDefaults_->setObject(tcfData_.isAdvertiserConsentModeEnabled(),
                             MSRTCFData::kAdvertiserConsentModeKey);
    userDefaults_->setObject(tcfData_.cmpSDKID(), MSRTCFData::kCmpSdkIDKey);
    userDefaults_->setObject(tcfData_.vendorConsents(), MSRTCFData::kVendorConsentsKey);
    userDefaults_->setObject(tcfData_.gdprApplies(), MSRTCFData::kGdprAppliesKey);
    userDefaults_->setObject(tcfData_.policyVersion(), MSRTCFData::kPolicyVersionKey);
    userDefaults_->setObject(tcfData_.purposeConsents(), MSRTCFData::kPurposeConsentsKey);
    userDefaults_->setObject(foundation::Value(stringRepresentationFromTCFData()), kStringRepresentationKey);
}

std::string MSRTCFClient::stringRepresentationFromTCFData() const {
    auto integer = [](const foundation::Value& value) {
        return std::to_string(MSRTCFData::numberInteger(value).value_or(0));
    };
    std::string text = "isTCFDataEnabled=" + std::string(tcfData_.isTCFDataEnabled() ? "1" : "0");
    if (!tcfData_.isAdvertiserConsentModeEnabled().isAbsent())
        text += ",isAdvertiserConsentModeEnabled=" +
                std::string(truthOf(tcfData_.isAdvertiserConsentModeEnabled()) ? "1" : "0");
    if (!tcfData_.cmpSDKID().isAbsent()) text += ",cmpSDKID=" + integer(tcfData_.cmpSDKID());
    if (!tcfData_.vendorConsents().isAbsent())
        text += ",hasZevureInVendorConsents=" + std::string(tcfData_.hasZevureInVendorConsents() ? "1" : "0");
    if (!tcfData_.gdprApplies().isAbsent())
        text += ",gdprApplies=" + std::string(truthOf(tcfData_.gdprApplies()) ? "1" : "0");
    if (!tcfData_.policyVersion().isAbsent()) text += ",policyVersion=" + integer(tcfData_.policyVersion());
    if (const std::string* purposes = tcfData_.purposeConsents().string())
        text += ",purposeConsents=" + *purposes;
    return text;
}

bool MSRTCFClient::persistedValuesEqualCurrentData() const {
    const std::string current = stringRepresentationFromTCFData();
    const foundation::Value persisted = userDefaults_->objectForKey(kStringRepresentationKey);
    // TCF reading on and no TCF data on the device: nothing to tell anyone.
    if (!persisted.string()) return current == "isTCFDataEnabled=1";
    return *persisted.string() == current;
}

std::string MSRTCFClient::tcfBundleParameterValue() const {
    std::string value = "1";
    const int64_t cmp = MSRTCFData::numberInteger(tcfData_.cmpSDKID()).value_or(0);
    if (cmp >= 0 && cmp < 4096) {
        value += kAlphabet[(cmp >> 6) & 63];
        value += kAlphabet[cmp & 63];
    } else {
        value += "00";
    }
    const int64_t version = MSRTCFData::numberInteger(tcfData_.policyVersion()).value_or(0);
    value += version >= 0 && version < 64 ? kAlphabet[version] : '0';
    const int flags = (isDMARegion_ ? 1 : 0) + (truthOf(tcfData_.gdprApplies()) ? 2 : 0) +
                      (tcfData_.isTCFDataEnabled() ? 4 : 0) +
                      (truthOf(tcfData_.isAdvertiserConsentModeEnabled()) ? 8 : 0);
    value += kAlphabet[flags];
    return value;
}

void MSRTCFClient::clearPersistedValues() {
    userDefaults_->clearAllData();
}
