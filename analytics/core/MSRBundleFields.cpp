#include "analytics/core/MSRBundleFields.h"

#include <algorithm>

namespace {

namespace Slot = MSRBundleSlot;

constexpr const char* kNPAAttributeName = "_npa";
constexpr const char* kUserIDAttributeName = "_id";
constexpr const char* kFirstOpenEventName = "_f";

bool isDeniedMark(char c) {
    return c == '0' || c == 'D' || c == 'd';
}

bool nonEmpty(const std::optional<std::string>& text) {
    return text && !text->empty();
}

void setStringIfUnset(MSRPBMeasurementBundle& bundle, uint32_t slot, const std::string& value) {
    if (!MSRPBHasField(bundle, slot)) MSRPBSetString(bundle, slot, value);
}

std::optional<std::string> attributeName(const MSRPBUserAttribute& attribute) {
    return MSRPBGetString(attribute, MSRUserAttributeSlot::kName);
}

std::vector<MSRPBUserAttribute> userAttributes(const MSRPBMeasurementBundle& bundle) {
    return MSRPBGetMessageArray<MSRPBUserAttribute>(bundle, Slot::kUserAttributes);
}

int64_t integerValue(const MSRPBUserAttribute& attribute) {
    return MSRPBHasField(attribute, MSRUserAttributeSlot::kIntValue)
               ? MSRPBGetInt64(attribute, MSRUserAttributeSlot::kIntValue)
               : 0;
}

}  // namespace

bool MSRIsAdStorageDeniedInSignals(std::string_view signals) {
    return signals.size() >= 4 && isDeniedMark(signals[2]);
}

bool MSRIsAnalyticsStorageDeniedInSignals(std::string_view signals) {
    return signals.size() >= 4 && isDeniedMark(signals[3]);
}

void MSRApplyIdentityFields(MSRPBMeasurementBundle& bundle, const std::string& consentSignals,
                            bool gateOnTrackingAuthorization, const MSRBundleIdentity& identity,
                            bool overwrite) {
    bool adStorageDenied = false;
    bool analyticsStorageDenied = false;
    if (consentSignals.size() < 4) {
        if (consentSignals.empty() && MSRPBHasField(bundle, Slot::kConsentSignals))
            MSRPBClearField(bundle, Slot::kConsentSignals);
    } else {
        // Without overwrite the bundle keeps the consent of its own moment and
        // its identifiers are judged by that.
        std::string signals = consentSignals;
        if (overwrite || !MSRPBHasField(bundle, Slot::kConsentSignals)) {
            MSRPBSetString(bundle, Slot::kConsentSignals, consentSignals);
        } else {
            signals = MSRPBGetString(bundle, Slot::kConsentSignals).value_or("");
        }
        adStorageDenied = MSRIsAdStorageDeniedInSignals(signals);
        analyticsStorageDenied = MSRIsAnalyticsStorageDeniedInSignals(signals);
    }

    bool gated = false;
    if (identity.iOS14OrAbove) {
        if (identity.appleConsentStatus != 6)
            MSRPBSetInt32(bundle, Slot::kTrackingAuthorizationStatus, identity.appleConsentStatus);
        gated = gateOnTrackingAuthorization && identity.appleConsentStatus != 3;
    }

    const bool useAdvertisingID =
        identity.hasLimitedAdTracking && nonEmpty(identity.resettableDeviceID) && !adStorageDenied && !gated;
    if (useAdvertisingID) {
        setStringIfUnset(bundle, Slot::kResettableDeviceID, *identity.resettableDeviceID);
        MSRPBClearField(bundle, Slot::kVendorDeviceID);
    } else if (analyticsStorageDenied || !nonEmpty(identity.identifierForVendor)) {
        MSRPBClearField(bundle, Slot::kResettableDeviceID);
        MSRPBClearField(bundle, Slot::kVendorDeviceID);
    } else {
        setStringIfUnset(bundle, Slot::kVendorDeviceID, *identity.identifierForVendor);
        MSRPBClearField(bundle, Slot::kResettableDeviceID);
    }

    if (!analyticsStorageDenied && nonEmpty(identity.appInstanceID))
        setStringIfUnset(bundle, Slot::kAppInstanceID, *identity.appInstanceID);
    if (adStorageDenied) MSRPBClearField(bundle, Slot::kResettableDeviceID);
    if (analyticsStorageDenied) {
        MSRPBClearField(bundle, Slot::kVendorDeviceID);
        MSRPBClearField(bundle, Slot::kAppInstanceID);
        MSRPBClearField(bundle, Slot::kSessionStitchingToken);
        MSRPBClearField(bundle, Slot::kAudienceResults);
    }
    if (identity.hasLimitedAdTracking)
        MSRPBSetBool(bundle, Slot::kLimitedAdTracking, identity.limitedAdTracking);
}

void MSRApplyDMAConsentFields(MSRPBMeasurementBundle& bundle, const std::string& consentDiagnostics,
                              bool isAdUserDataDenied, const std::optional<MSRPBUserAttribute>& npaAttribute,
                              bool isDMARegion, std::vector<std::string> corePlatformServices,
                              bool overwrite) {
    if (overwrite || !MSRPBHasField(bundle, Slot::kConsentDiagnostics))
        MSRPBSetString(bundle, Slot::kConsentDiagnostics, consentDiagnostics);
    if (overwrite || !MSRPBHasField(bundle, Slot::kDMARegion))
        MSRPBSetBool(bundle, Slot::kDMARegion, isDMARegion);
    if (overwrite || !MSRPBHasField(bundle, Slot::kCorePlatformServices)) {
        std::sort(corePlatformServices.begin(), corePlatformServices.end());
        if (isAdUserDataDenied || corePlatformServices.empty()) {
            MSRPBSetString(bundle, Slot::kCorePlatformServices, "-");
        } else if (!MSRPBGetBool(bundle, Slot::kDMARegion)) {
            MSRPBClearField(bundle, Slot::kCorePlatformServices);
        } else {
            std::string joined;
            for (const std::string& service : corePlatformServices) joined += service;
            MSRPBSetString(bundle, Slot::kCorePlatformServices, joined);
        }
    }
    if (!npaAttribute) return;
    std::vector<MSRPBUserAttribute> attributes = userAttributes(bundle);
    auto existing = std::find_if(
        attributes.begin(), attributes.end(),
        [](const MSRPBUserAttribute& attribute) { return attributeName(attribute) == kNPAAttributeName; });
    if (existing == attributes.end()) {
        attributes.push_back(*npaAttribute);
    } else if (overwrite) {
        *existing = *npaAttribute;
    } else {
        return;
    }
    MSRPBSetMessageArray(bundle, Slot::kUserAttributes, attributes);
}

void MSRApplyDataControls(MSRPBMeasurementBundle& bundle, const std::vector<std::string>& dataControls,
                          const MSRBundleIdentity& identity) {
    for (const std::string& control : dataControls) {
        if (control == "app_instance_id") {
            MSRPBClearField(bundle, Slot::kAppInstanceID);
            const std::string signals = MSRPBGetString(bundle, Slot::kConsentSignals).value_or("");
            std::optional<std::string> ephemeral;
            if (!MSRIsAnalyticsStorageDeniedInSignals(signals) && identity.ephemeralAppInstanceID)
                ephemeral = identity.ephemeralAppInstanceID();
            MSRPBSetString(bundle, Slot::kEphemeralAppInstanceID, ephemeral);
        }
        if (control == "user_id") {
            std::vector<MSRPBUserAttribute> attributes = userAttributes(bundle);
            std::erase_if(attributes, [](const MSRPBUserAttribute& attribute) {
                return attributeName(attribute) == kUserIDAttributeName;
            });
            MSRPBSetMessageArray(bundle, Slot::kUserAttributes, attributes);
        }
        if (control == "os_version" || control == "device_info") {
            if (auto version = MSRPBGetString(bundle, Slot::kOSVersion)) {
                MSRPBSetString(bundle, Slot::kOSVersion, version->substr(0, version->find('.')));
            }
        }
        if (control == "device_model" || control == "device_info")
            MSRPBClearField(bundle, Slot::kDeviceModel);
        if (control == "enhanced_user_id") MSRPBClearField(bundle, Slot::kSessionStitchingToken);
    }
    if (!dataControls.empty()) {
        std::vector<MSRPBValue> names(dataControls.begin(), dataControls.end());
        MSRPBSetArray(bundle, Slot::kDataControls, names);
    }
}

bool MSRBundlesHaveSameConsent(const MSRPBMeasurementBundle* first, const MSRPBMeasurementBundle* second) {
    if (!first || !second) return false;
    for (uint32_t slot : {Slot::kConsentSignals, Slot::kConsentDiagnostics, Slot::kCorePlatformServices}) {
        if (MSRPBGetString(*first, slot) != MSRPBGetString(*second, slot)) return false;
    }
    if (MSRPBGetBool(*first, Slot::kDMARegion) != MSRPBGetBool(*second, Slot::kDMARegion)) return false;
    std::optional<MSRPBUserAttribute> firstNPA = MSRNPAUserAttributeOfBundle(*first);
    std::optional<MSRPBUserAttribute> secondNPA = MSRNPAUserAttributeOfBundle(*second);
    if (!firstNPA && !secondNPA) return true;
    if (!firstNPA || !secondNPA) return false;
    return integerValue(*firstNPA) == integerValue(*secondNPA);
}

std::optional<MSRPBUserAttribute> MSRNPAUserAttributeOfBundle(const MSRPBMeasurementBundle& bundle) {
    for (MSRPBUserAttribute& attribute : userAttributes(bundle)) {
        if (attributeName(attribute) == kNPAAttributeName) return std::move(attribute);
    }
    return std::nullopt;
}

bool MSRBundleContainsFirstOpen(const MSRPBMeasurementBundle* bundle) {
    if (!bundle) return false;
    // Queued bundles hold their events encoded: the names are read from the
    // encodings rather than building every event to look at one field.
    if (MSRPBIsEncodedMessageArray(*bundle, Slot::kEvents)) {
        bool found = false;
        MSRPBVisitEncodedElements(*bundle, Slot::kEvents, [&found](std::span<const uint8_t> event) {
            if (!found) found = MSRPBReadEncodedString(event, MSRPBEvent::type(), MSREventSlot::kName) == kFirstOpenEventName;
        });
        return found;
    }
    for (const MSRPBEvent& event : MSRPBGetMessageArray<MSRPBEvent>(*bundle, Slot::kEvents)) {
        if (MSRPBGetString(event, MSREventSlot::kName) == kFirstOpenEventName) return true;
    }
    return false;
}
