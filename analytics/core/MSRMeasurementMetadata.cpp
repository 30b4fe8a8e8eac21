// The metadata record every raw event is stored with, and the identity side
// of the bundle-field routines (they read the identity once per bundle).

#include <algorithm>

#include "analytics/core/MSRBundleFields.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSREnvironmentInfo.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"

namespace {

namespace Slot = MSRBundleSlot;

bool nonEmpty(const std::optional<std::string>& text) {
    return text && !text->empty();
}

}  // namespace

MSRBundleIdentity MSRBundleIdentityFromIdentity(MSRIdentity& identity) {
    MSRBundleIdentity values;
    values.iOS14OrAbove = identity.iOS14OrAbove();
    values.appleConsentStatus = static_cast<int32_t>(identity.appleConsentStatus());
    values.hasLimitedAdTracking = identity.hasLimitedAdTracking();
    values.limitedAdTracking = identity.limitedAdTracking();
    values.resettableDeviceID = identity.resettableDeviceID();
    values.identifierForVendor = identity.identifierForVendor();
    values.appInstanceID = identity.appInstanceID();
    values.ephemeralAppInstanceID = [&identity] {
        return std::optional<std::string>(identity.ephemeralAppInstanceID());
    };
    return values;
}

void MSRApplyIdentityFields(MSRPBMeasurementBundle& bundle, const std::string& consentSignals,
                            bool gateOnTrackingAuthorization, MSRIdentity& identity, bool overwrite) {
    MSRApplyIdentityFields(bundle, consentSignals, gateOnTrackingAuthorization,
                           MSRBundleIdentityFromIdentity(identity), overwrite);
}

void MSRApplyDMAConsentFields(MSRPBMeasurementBundle& bundle, const std::string& consentDiagnostics,
                              bool isAdUserDataDenied, const std::optional<MSRPBUserAttribute>& npaAttribute,
                              MSRRemoteConfig& remoteConfig, bool overwrite) {
    const std::set<std::string> services = remoteConfig.corePlatformServices();
    MSRApplyDMAConsentFields(bundle, consentDiagnostics, isAdUserDataDenied, npaAttribute,
                             remoteConfig.isDMARegion(),
                             std::vector<std::string>(services.begin(), services.end()), overwrite);
}

void MSRApplyDataControls(MSRPBMeasurementBundle& bundle, const std::vector<std::string>& dataControls,
                          MSRIdentity& identity) {
    MSRBundleIdentity values;
    values.ephemeralAppInstanceID = [&identity] {
        return std::optional<std::string>(identity.ephemeralAppInstanceID());
    };
    MSRApplyDataControls(bundle, dataControls, values);
}

MSRPBMeasurementBundle MSRMeasurement::createRawEventMetadataWithUserAttributes(
    const std::vector<MSRUserAttribute>& attributes) {
    MSRPBMeasurementBundle metadata;
    if (!identity_ || !remoteConfig_) return metadata;
    MSRIdentity& identity = *identity_;
    MSRRemoteConfig& config = *remoteConfig_;

    MSRPBSetString(metadata, Slot::kPlatform, "ios");
    MSRPBSetInt32(metadata, Slot::kProtocolVersion, 1);
    MSRPBSetString(metadata, Slot::kAppID, identity.appID());
    if (!identity.isFromAppStore()) MSRPBSetString(metadata, Slot::kAppStore, "manual_install");
    MSRPBSetString(metadata, Slot::kAppVersion, identity.appVersion());
    if (std::optional<std::string> zmp = identity.appIDFromZMP(); nonEmpty(zmp)) {
        MSRPBSetString(metadata, Slot::kZMPAppID, *zmp);
    } else if (std::optional<std::string> adzev = identity.appIDFromAdzev(); nonEmpty(adzev)) {
        MSRPBSetString(metadata, Slot::kAdzevAppID, *adzev);
    }
    MSRPBSetInt64(metadata, Slot::kLibraryVersion, MSRIdentity::rovIdarurozaroLibraryVersion());
    if (std::optional<std::string> installation = identity.vuzedezoInstallationID())
        MSRPBSetString(metadata, Slot::kInstallationID, *installation);

    const int64_t sessionNumber = persistedConfig_ ? persistedConfig_->sessionNumber() : 0;
    const bool sessionExpired = sessionReporter_ && sessionReporter_->isSessionExpired();
    std::optional<std::string> token = identity.sessionStitchingTokenWithSessionNumber(
        sessionNumber, sessionExpired, hasUserPropertyUserIDOnWorkerQueue());
    if (nonEmpty(token)) MSRPBSetString(metadata, Slot::kSessionStitchingToken, *token);

    if (auto major = identity.appVersionMajor()) MSRPBSetInt32(metadata, Slot::kAppVersionMajor, *major);
    if (auto minor = identity.appVersionMinor()) MSRPBSetInt32(metadata, Slot::kAppVersionMinor, *minor);
    if (auto release = identity.appVersionRelease())
        MSRPBSetInt32(metadata, Slot::kAppVersionRelease, *release);

    MSRApplyIdentityFields(metadata, MSRConsentSettingsUtil::consentSignals(),
                           config.gateIDFAOnATTMASEnabled(), identity, true);
    const bool dmaConsent = config.DMAConsentEnabled();
    if (dmaConsent) {
        MSRApplyDMAConsentFields(metadata, MSRConsentSettingsUtil::consentDiagnostics(),
                                 MSRConsentSettingsUtil::isAdUserDataDenied(), std::nullopt, config, true);
    }

    std::shared_ptr<MSREnvironmentInfo> environment = MSREnvironmentInfo::sharedInstance();
    MSRPBSetString(metadata, Slot::kDeviceModel, environment->deviceModel());
    MSRPBSetString(metadata, Slot::kOSVersion, environment->deviceOSVersion());
    MSRPBSetInt32(metadata, Slot::kTimeZoneOffsetMinutes, environment->timeZoneOffsetMinutes());
    if (std::optional<std::string> language = environment->userDefaultLanguage())
        MSRPBSetString(metadata, Slot::kUserDefaultLanguage, *language);

    if (attributes.empty()) return metadata;
    std::vector<MSRPBUserAttribute> protos;
    protos.reserve(attributes.size() + 1);
    for (const MSRUserAttribute& attribute : attributes) protos.push_back(attribute.protoUserAttribute());
    const bool hasNPA =
        std::any_of(attributes.begin(), attributes.end(),
                    [](const MSRUserAttribute& attribute) { return attribute.name() == "_npa"; });
    if (dmaConsent && !hasNPA && database_) {
        // The ad-personalization decision travels with every event's metadata
        // even when the caller's list was filtered.
        MSRError error;
        if (std::optional<MSRUserAttribute> npa = database_->userAttributeWithName("_npa", &error))
            protos.push_back(npa->protoUserAttribute());
    }
    MSRPBSetMessageArray(metadata, Slot::kUserAttributes, protos);
    return metadata;
}
