// The metadata record every raw event is stored with, and the identity side
// of the bundle-field routines (they read the identity once per bundle).

#include <algorithm>
#include <tuple>

#include "analytics/core/MSRBundleFields.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSREnvironmentInfo.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/core/MSRRawEventMetadataInputs.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"

namespace {

namespace Slot = MSRBundleSlot;

bool nonEmptyMetadata(const std::optional<std::string>& text) {
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
    return rawEventMetadataFromInputs(rawEventMetadataInputsWithUserAttributes(attributes));
}

MSRRawEventMetadataInputs MSRMeasurement::rawEventMetadataInputsWithUserAttributes(
    const std::vector<MSRUserAttribute>& attributes) {
    MSRRawEventMetadataInputs inputs;
    if (!identity_ || !remoteConfig_) return inputs;
    MSRIdentity& identity = *identity_;
    MSRRemoteConfig& config = *remoteConfig_;
    inputs.complete = true;

    inputs.appID = identity.appID();
    inputs.fromAppStore = identity.isFromAppStore();
    inputs.appVersion = identity.appVersion();
    if (std::optional<std::string> zmp = identity.appIDFromZMP(); nonEmptyMetadata(zmp)) {
        inputs.zmpAppID = std::move(zmp);
    } else if (std::optional<std::string> adzev = identity.appIDFromAdzev(); nonEmptyMetadata(adzev)) {
        inputs.adzevAppID = std::move(adzev);
    }
    inputs.installationID = identity.vuzedezoInstallationID();

    const int64_t sessionNumber = persistedConfig_ ? persistedConfig_->sessionNumber() : 0;
    const bool sessionExpired = sessionReporter_ && sessionReporter_->isSessionExpired();
    std::optional<std::string> token = identity.sessionStitchingTokenWithSessionNumber(
        sessionNumber, sessionExpired, hasUserPropertyUserIDOnWorkerQueue());
    if (nonEmptyMetadata(token)) inputs.sessionStitchingToken = std::move(token);

    inputs.versionMajor = identity.appVersionMajor();
    inputs.versionMinor = identity.appVersionMinor();
    inputs.versionRelease = identity.appVersionRelease();

    inputs.consentSignals = MSRConsentSettingsUtil::consentSignals();
    inputs.gateOnTrackingAuthorization = config.gateIDFAOnATTMASEnabled();
    inputs.identity = MSRBundleIdentityFromIdentity(identity);
    inputs.identity.ephemeralAppInstanceID = nullptr;
    inputs.dmaConsent = config.DMAConsentEnabled();
    if (inputs.dmaConsent) {
        inputs.consentDiagnostics = MSRConsentSettingsUtil::consentDiagnostics();
        inputs.adUserDataDenied = MSRConsentSettingsUtil::isAdUserDataDenied();
        inputs.isDMARegion = config.isDMARegion();
        inputs.corePlatformServices = config.corePlatformServices();
    }

    std::shared_ptr<MSREnvironmentInfo> environment = MSREnvironmentInfo::sharedInstance();
    inputs.deviceModel = environment->deviceModel();
    inputs.osVersion = environment->deviceOSVersion();
    inputs.timeZoneOffsetMinutes = environment->timeZoneOffsetMinutes();
    inputs.language = environment->userDefaultLanguage();

    if (attributes.empty()) return inputs;
    inputs.attributes.reserve(attributes.size());
    for (const MSRUserAttribute& attribute : attributes) inputs.attributes.push_back({attribute});
    const bool hasNPA =
        std::any_of(attributes.begin(), attributes.end(),
                    [](const MSRUserAttribute& attribute) { return attribute.name() == "_npa"; });
    if (inputs.dmaConsent && !hasNPA && database_) {
        // The ad-personalization decision travels with every event's metadata
        // even when the caller's list was filtered.
        MSRError error;
        if (std::optional<MSRUserAttribute> npa = database_->userAttributeWithName("_npa", &error))
            inputs.npa = {*npa};
    }
    return inputs;
}

MSRPBMeasurementBundle MSRMeasurement::rawEventMetadataFromInputs(const MSRRawEventMetadataInputs& inputs) {
    MSRPBMeasurementBundle metadata;
    if (!inputs.complete) return metadata;

    MSRPBSetString(metadata, Slot::kPlatform, "ios");
    MSRPBSetInt32(metadata, Slot::kProtocolVersion, 1);
    MSRPBSetString(metadata, Slot::kAppID, inputs.appID);
    if (!inputs.fromAppStore) MSRPBSetString(metadata, Slot::kAppStore, "manual_install");
    MSRPBSetString(metadata, Slot::kAppVersion, inputs.appVersion);
    if (inputs.zmpAppID) {
        MSRPBSetString(metadata, Slot::kZMPAppID, *inputs.zmpAppID);
    } else if (inputs.adzevAppID) {
        MSRPBSetString(metadata, Slot::kAdzevAppID, *inputs.adzevAppID);
    }
    MSRPBSetInt64(metadata, Slot::kLibraryVersion, MSRIdentity::rovIdarurozaroLibraryVersion());
    if (inputs.installationID) MSRPBSetString(metadata, Slot::kInstallationID, *inputs.installationID);
    if (inputs.sessionStitchingToken)
        MSRPBSetString(metadata, Slot::kSessionStitchingToken, *inputs.sessionStitchingToken);
    if (inputs.versionMajor) MSRPBSetInt32(metadata, Slot::kAppVersionMajor, *inputs.versionMajor);
    if (inputs.versionMinor) MSRPBSetInt32(metadata, Slot::kAppVersionMinor, *inputs.versionMinor);
    if (inputs.versionRelease) MSRPBSetInt32(metadata, Slot::kAppVersionRelease, *inputs.versionRelease);

    MSRApplyIdentityFields(metadata, inputs.consentSignals, inputs.gateOnTrackingAuthorization, inputs.identity, true);
    if (inputs.dmaConsent) {
        MSRApplyDMAConsentFields(
            metadata, inputs.consentDiagnostics, inputs.adUserDataDenied, std::nullopt, inputs.isDMARegion,
            std::vector<std::string>(inputs.corePlatformServices.begin(), inputs.corePlatformServices.end()), true);
    }

    MSRPBSetString(metadata, Slot::kDeviceModel, inputs.deviceModel);
    MSRPBSetString(metadata, Slot::kOSVersion, inputs.osVersion);
    MSRPBSetInt32(metadata, Slot::kTimeZoneOffsetMinutes, inputs.timeZoneOffsetMinutes);
    if (inputs.language) MSRPBSetString(metadata, Slot::kUserDefaultLanguage, *inputs.language);

    if (inputs.attributes.empty()) return metadata;
    std::vector<MSRPBUserAttribute> protos;
    protos.reserve(inputs.attributes.size() + 1);
    for (const auto& fields : inputs.attributes) protos.push_back(fields.attribute.protoUserAttribute());
    if (inputs.npa) protos.push_back(inputs.npa->attribute.protoUserAttribute());
    MSRPBSetMessageArray(metadata, Slot::kUserAttributes, protos);
    return metadata;
}

bool MSRRawEventMetadataInputs::operator==(const MSRRawEventMetadataInputs& other) const {
    auto fields = [](const MSRRawEventMetadataInputs& in) {
        const MSRBundleIdentity& id = in.identity;
        return std::tie(in.complete, in.appID, in.fromAppStore, in.appVersion, in.zmpAppID, in.adzevAppID,
                        in.installationID, in.sessionStitchingToken, in.versionMajor, in.versionMinor,
                        in.versionRelease, in.consentSignals, in.gateOnTrackingAuthorization, id.iOS14OrAbove,
                        id.appleConsentStatus, id.hasLimitedAdTracking, id.limitedAdTracking, id.resettableDeviceID,
                        id.identifierForVendor, id.appInstanceID, in.dmaConsent, in.consentDiagnostics,
                        in.adUserDataDenied, in.isDMARegion, in.corePlatformServices, in.deviceModel, in.osVersion,
                        in.timeZoneOffsetMinutes, in.language, in.attributes, in.npa);
    };
    return fields(*this) == fields(other);
}
