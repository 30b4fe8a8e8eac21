#pragma once

// The fields of a measurement bundle that say who is measured and under which
// consent: filled when the metadata of a raw event is made, stamped again on
// queued bundles before upload, compared to keep bundles of different consent
// apart, and redacted by the server's data controls.
//
// Fields are addressed by slot, the position in the bundle's field table (not
// the wire tag), named in MSRPBFieldIndex.h.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"

class MSRIdentity;
class MSRRemoteConfig;

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
