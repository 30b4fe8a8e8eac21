#pragma once

// The fields of a measurement bundle that say who is measured and under which
// consent: filled when the metadata of a raw event is made, stamped again on
// queued bundles before upload, compared to keep bundles of different consent
// apart, and redacted by the server's data controls.
//
// Fields are addressed by slot, the position in the bundle's field table (not
// the wire tag); the names below are the only place that knows the numbers.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/messages/MSRPBMessages.h"

class MSRIdentity;
class MSRRemoteConfig;

namespace MSRBundleSlot {
constexpr uint32_t kProtocolVersion = 0;
constexpr uint32_t kEvents = 1;
constexpr uint32_t kUserAttributes = 2;
constexpr uint32_t kUploadTimestamp = 3;
constexpr uint32_t kStartTimestamp = 4;
constexpr uint32_t kEndTimestamp = 5;
constexpr uint32_t kPreviousBundleStartTimestamp = 6;
constexpr uint32_t kPreviousBundleEndTimestamp = 7;
constexpr uint32_t kPlatform = 8;
constexpr uint32_t kOSVersion = 9;
constexpr uint32_t kDeviceModel = 10;
constexpr uint32_t kUserDefaultLanguage = 11;
constexpr uint32_t kTimeZoneOffsetMinutes = 12;
constexpr uint32_t kAppStore = 13;
constexpr uint32_t kAppID = 14;
constexpr uint32_t kAppVersion = 16;
constexpr uint32_t kLibraryVersion = 17;
constexpr uint32_t kUploadingLibraryVersion = 18;
constexpr uint32_t kResettableDeviceID = 19;
constexpr uint32_t kVendorDeviceID = 20;
constexpr uint32_t kLimitedAdTracking = 21;
constexpr uint32_t kAppInstanceID = 22;
constexpr uint32_t kBundleIndex = 24;
constexpr uint32_t kMonitoringSample = 25;
constexpr uint32_t kZMPAppID = 26;
constexpr uint32_t kAudienceResults = 28;
constexpr uint32_t kInstallationID = 29;
constexpr uint32_t kAppVersionMajor = 30;
constexpr uint32_t kAppVersionMinor = 31;
constexpr uint32_t kAppVersionRelease = 32;
constexpr uint32_t kConfigVersion = 34;
constexpr uint32_t kAdzevAppID = 36;
constexpr uint32_t kExperimentIDs = 37;
constexpr uint32_t kChecksum = 38;
constexpr uint32_t kConsentSignals = 40;
constexpr uint32_t kTrackingAuthorizationStatus = 41;
constexpr uint32_t kSessionStitchingToken = 43;
constexpr uint32_t kDataControls = 44;
constexpr uint32_t kEphemeralAppInstanceID = 45;
constexpr uint32_t kConsentDiagnostics = 47;
constexpr uint32_t kDMARegion = 48;
constexpr uint32_t kCorePlatformServices = 49;
constexpr uint32_t kAdCampaignInfo = 52;
}  // namespace MSRBundleSlot

// Slots of a user attribute and of an event inside a bundle.
namespace MSRUserAttributeSlot {
constexpr uint32_t kSetTimestamp = 0;
constexpr uint32_t kName = 1;
constexpr uint32_t kStringValue = 2;
constexpr uint32_t kIntValue = 3;
constexpr uint32_t kDoubleValue = 5;
}  // namespace MSRUserAttributeSlot
namespace MSREventSlot {
constexpr uint32_t kParams = 0;
constexpr uint32_t kName = 1;
constexpr uint32_t kTimestamp = 2;
constexpr uint32_t kPreviousTimestamp = 3;
}  // namespace MSREventSlot

// The identity's answers that the identity fields need, read once per bundle.
// The tracking-authorization status 6 means "no such support"; it is never
// written into a bundle.
struct MSRBundleIdentity {
    bool iOS14OrAbove = true;
    int32_t appleConsentStatus = 6;
    bool hasLimitedAdTracking = false;
    bool limitedAdTracking = false;
    std::optional<std::string> resettableDeviceID;
    std::optional<std::string> identifierForVendor;
    std::optional<std::string> appInstanceID;
    // Asked only when a data control needs it, since asking creates one.
    std::function<std::optional<std::string>()> ephemeralAppInstanceID;
};
// Reads the answers above from the identity (each getter once).
MSRBundleIdentity MSRBundleIdentityFromIdentity(MSRIdentity& identity);

// Whether consent-signal text denies ad storage (third character) or
// analytics storage (fourth): "0", "D" or "d". Shorter text denies nothing.
bool MSRIsAdStorageDeniedInSignals(std::string_view signals);
bool MSRIsAnalyticsStorageDeniedInSignals(std::string_view signals);

// Consent signals, tracking authorization, advertising or vendor identifier,
// app instance id and limited ad tracking. With `overwrite` false, fields
// already present (the consent of an event's own moment) are kept and the
// denials are read from the bundle's own signals.
void MSRApplyIdentityFields(MSRPBMeasurementBundle& bundle, const std::string& consentSignals,
                            bool gateOnTrackingAuthorization, const MSRBundleIdentity& identity,
                            bool overwrite);
void MSRApplyIdentityFields(MSRPBMeasurementBundle& bundle, const std::string& consentSignals,
                            bool gateOnTrackingAuthorization, MSRIdentity& identity, bool overwrite);

// Consent diagnostics, the DMA-region flag and the core platform services;
// then the "_npa" attribute when one is given (an existing one is replaced
// only with `overwrite`).
void MSRApplyDMAConsentFields(MSRPBMeasurementBundle& bundle, const std::string& consentDiagnostics,
                              bool isAdUserDataDenied, const std::optional<MSRPBUserAttribute>& npaAttribute,
                              bool isDMARegion, std::vector<std::string> corePlatformServices,
                              bool overwrite);
void MSRApplyDMAConsentFields(MSRPBMeasurementBundle& bundle, const std::string& consentDiagnostics,
                              bool isAdUserDataDenied, const std::optional<MSRPBUserAttribute>& npaAttribute,
                              MSRRemoteConfig& remoteConfig, bool overwrite);

// Redacts what the server's data controls name ("app_instance_id",
// "user_id", "os_version", "device_model", "device_info",
// "enhanced_user_id") and records a non-empty list in the bundle.
void MSRApplyDataControls(MSRPBMeasurementBundle& bundle, const std::vector<std::string>& dataControls,
                          const MSRBundleIdentity& identity);
void MSRApplyDataControls(MSRPBMeasurementBundle& bundle, const std::vector<std::string>& dataControls,
                          MSRIdentity& identity);

// Equal consent signals, diagnostics, core platform services and DMA region,
// and equal "_npa" values (or none on both sides). False when either is null.
bool MSRBundlesHaveSameConsent(const MSRPBMeasurementBundle* first, const MSRPBMeasurementBundle* second);
// The first attribute named "_npa", if any.
std::optional<MSRPBUserAttribute> MSRNPAUserAttributeOfBundle(const MSRPBMeasurementBundle& bundle);
// Whether one of the bundle's events is the first open "_f"; false for null.
bool MSRBundleContainsFirstOpen(const MSRPBMeasurementBundle* bundle);
