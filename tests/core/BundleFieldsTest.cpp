// What an upload says about who is measured follows the consent in force, or
// that of the event's own moment when a queued bundle is stamped again.

#include <gtest/gtest.h>

#include "analytics/core/MSRBundleFields.h"
#include "analytics/core/MSRConsentSettingsUtil.h"

namespace {

namespace Slot = MSRBundleSlot;
using Settings = MSRConsentSettingsUtil::Settings;
using Text = std::optional<std::string>;

MSRPBUserAttribute attribute(const std::string& name, int64_t value) {
    MSRPBUserAttribute out;
    MSRPBSetString(out, MSRUserAttributeSlot::kName, name);
    MSRPBSetInt64(out, MSRUserAttributeSlot::kIntValue, value);
    return out;
}

void setAttributes(MSRPBMeasurementBundle& bundle, const std::vector<MSRPBUserAttribute>& attributes) {
    MSRPBSetMessageArray(bundle, Slot::kUserAttributes, attributes);
}

std::vector<std::string> attributeNames(const MSRPBMeasurementBundle& bundle) {
    std::vector<std::string> names;
    for (const auto& a : MSRPBGetMessageArray<MSRPBUserAttribute>(bundle, Slot::kUserAttributes))
        names.push_back(MSRPBGetString(a, MSRUserAttributeSlot::kName).value_or(""));
    return names;
}

MSRBundleIdentity identityWithStatus(int32_t status) {
    MSRBundleIdentity identity;
    identity.appleConsentStatus = status;
    identity.hasLimitedAdTracking = true;
    identity.resettableDeviceID = "AD-ID";
    identity.identifierForVendor = "VENDOR-ID";
    identity.appInstanceID = "APP-INSTANCE";
    return identity;
}

TEST(BundleFieldsTest, IdentityFieldsFollowConsentAndTrackingAuthorization) {
    struct Case {
        const char* name;
        std::string signals;
        bool gate;
        int32_t status;
        Text adID, vendorID;
        bool appInstanceTokenAndAudiences;
    };
    const Case cases[] = {
        {"all granted", "G111", false, 3, "AD-ID", {}, true},
        {"analytics denied 0", "G110", false, 3, "AD-ID", {}, false},
        {"both denied d", "G1dd", false, 3, {}, {}, false},
        {"ad storage denied though authorized", "G1D1", false, 3, {}, "VENDOR-ID", true},
        {"gate on, tracking denied", "G111", true, 2, {}, "VENDOR-ID", true},
        {"gate on, no support", "G111", true, 6, {}, "VENDOR-ID", true},
        {"short signals deny nothing", "G1", false, 3, "AD-ID", {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MSRPBMeasurementBundle bundle;
        MSRPBSetString(bundle, Slot::kSessionStitchingToken, "TOKEN");
        MSRPBSetMessageArray(bundle, Slot::kAudienceResults, std::vector<MSRPBAudienceLeafFilterResult>(1));
        MSRApplyIdentityFields(bundle, c.signals, c.gate, identityWithStatus(c.status), true);
        EXPECT_EQ(MSRPBGetString(bundle, Slot::kResettableDeviceID), c.adID);
        EXPECT_EQ(MSRPBGetString(bundle, Slot::kVendorDeviceID), c.vendorID);
        EXPECT_EQ(MSRPBHasField(bundle, Slot::kAppInstanceID), c.appInstanceTokenAndAudiences);
        EXPECT_EQ(MSRPBHasField(bundle, Slot::kSessionStitchingToken), c.appInstanceTokenAndAudiences);
        EXPECT_EQ(MSRPBGetMessageArray<MSRPBAudienceLeafFilterResult>(bundle, Slot::kAudienceResults).size(),
                  c.appInstanceTokenAndAudiences ? 1u : 0u);
        EXPECT_EQ(MSRPBHasField(bundle, Slot::kTrackingAuthorizationStatus), c.status != 6);
        EXPECT_EQ(MSRPBGetString(bundle, Slot::kConsentSignals),
                  c.signals.size() >= 4 ? Text(c.signals) : Text());
    }
}

TEST(BundleFieldsTest, RestampingKeepsTheConsentOfTheEventsMoment) {
    // Denied when stored, granted by upload time: no app instance id is gained.
    MSRPBMeasurementBundle bundle;
    MSRPBSetString(bundle, Slot::kConsentSignals, "G110");
    MSRApplyIdentityFields(bundle, "G111", false, identityWithStatus(3), false);
    EXPECT_EQ(MSRPBGetString(bundle, Slot::kConsentSignals), "G110");
    EXPECT_FALSE(MSRPBHasField(bundle, Slot::kAppInstanceID));
    // Empty signals clear what the bundle carried.
    MSRApplyIdentityFields(bundle, "", false, identityWithStatus(3), true);
    EXPECT_FALSE(MSRPBHasField(bundle, Slot::kConsentSignals));
}

TEST(BundleFieldsTest, DMAFieldsAndTheNPAAttribute) {
    // (ad user data denied, DMA region, services) -> the services field.
    const std::tuple<bool, bool, std::vector<std::string>, Text> cases[] = {
        {false, true, {"zz", "ab", "mm"}, "abmmzz"},
        {true, true, {"ab"}, "-"},
        {false, true, {}, "-"},
        {false, false, {"ab"}, {}}};
    for (const auto& [adUserDataDenied, isDMARegion, services, expected] : cases) {
        MSRPBMeasurementBundle bundle;
        MSRApplyDMAConsentFields(bundle, "19999", adUserDataDenied, std::nullopt, isDMARegion, services, true);
        EXPECT_EQ(MSRPBGetString(bundle, Slot::kCorePlatformServices), expected) << expected.value_or("(none)");
    }
    // Without overwrite the stored fields and "_npa" stay; with it "_npa" is replaced in place.
    MSRPBMeasurementBundle bundle;
    setAttributes(bundle, {attribute("a", 1), attribute("_npa", 0)});
    MSRApplyDMAConsentFields(bundle, "10000", false, std::nullopt, true, {"x"}, true);
    MSRApplyDMAConsentFields(bundle, "15555", false, attribute("_npa", 1), true, {"y"}, false);
    EXPECT_EQ(MSRPBGetString(bundle, Slot::kConsentDiagnostics), "10000");
    EXPECT_EQ(MSRPBGetString(bundle, Slot::kCorePlatformServices), "x");
    EXPECT_EQ(MSRPBGetInt64(*MSRNPAUserAttributeOfBundle(bundle), MSRUserAttributeSlot::kIntValue), 0);
    MSRApplyDMAConsentFields(bundle, "15555", false, attribute("_npa", 1), true, {"y"}, true);
    EXPECT_EQ(MSRPBGetInt64(*MSRNPAUserAttributeOfBundle(bundle), MSRUserAttributeSlot::kIntValue), 1);
    EXPECT_EQ(attributeNames(bundle), (std::vector<std::string>{"a", "_npa"}));
}

TEST(BundleFieldsTest, DataControlsRedactWhatTheyName) {
    MSRBundleIdentity identity;
    identity.ephemeralAppInstanceID = [] { return Text("EPHEMERAL"); };
    struct Case {
        std::vector<std::string> controls;
        const char* signals;
        Text osVersion, deviceModel, appInstanceID, ephemeral, token;
        std::vector<std::string> attributes;
    };
    const Case cases[] = {
        {{"device_info"}, "G111", "17", {}, "AI", {}, "T", {"_id", "x"}},
        {{"os_version"}, "G111", "17", "iPhone15,2", "AI", {}, "T", {"_id", "x"}},
        {{"app_instance_id", "user_id", "enhanced_user_id"}, "G111", "17.4.1", "iPhone15,2", {}, "EPHEMERAL", {},
         {"x"}},
        {{"app_instance_id"}, "G11D", "17.4.1", "iPhone15,2", {}, {}, "T", {"_id", "x"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.controls[0]);
        MSRPBMeasurementBundle bundle;
        MSRPBSetString(bundle, Slot::kOSVersion, "17.4.1");
        MSRPBSetString(bundle, Slot::kDeviceModel, "iPhone15,2");
        MSRPBSetString(bundle, Slot::kAppInstanceID, "AI");
        MSRPBSetString(bundle, Slot::kSessionStitchingToken, "T");
        MSRPBSetString(bundle, Slot::kConsentSignals, c.signals);
        setAttributes(bundle, {attribute("_id", 1), attribute("x", 2)});
        MSRApplyDataControls(bundle, c.controls, identity);
        EXPECT_EQ(MSRPBGetString(bundle, Slot::kOSVersion), c.osVersion);
        EXPECT_EQ(MSRPBGetString(bundle, Slot::kDeviceModel), c.deviceModel);
        EXPECT_EQ(MSRPBGetString(bundle, Slot::kAppInstanceID), c.appInstanceID);
        EXPECT_EQ(MSRPBGetString(bundle, Slot::kEphemeralAppInstanceID), c.ephemeral);
        EXPECT_EQ(MSRPBGetString(bundle, Slot::kSessionStitchingToken), c.token);
        EXPECT_EQ(attributeNames(bundle), c.attributes);
        EXPECT_EQ(MSRPBGetArray(bundle, Slot::kDataControls).size(), c.controls.size());
    }
}

TEST(BundleFieldsTest, SameConsentComparesSignalsDiagnosticsServicesRegionAndNPA) {
    using Change = void (*)(MSRPBMeasurementBundle&);
    const std::pair<Change, bool> cases[] = {
        {[](MSRPBMeasurementBundle&) {}, true},
        {[](MSRPBMeasurementBundle& b) { MSRPBSetString(b, Slot::kConsentSignals, "G110"); }, false},
        {[](MSRPBMeasurementBundle& b) { MSRPBSetString(b, Slot::kConsentDiagnostics, "1"); }, false},
        {[](MSRPBMeasurementBundle& b) { MSRPBSetString(b, Slot::kCorePlatformServices, "-"); }, false},
        {[](MSRPBMeasurementBundle& b) { MSRPBSetBool(b, Slot::kDMARegion, false); }, false},
        {[](MSRPBMeasurementBundle& b) { setAttributes(b, {attribute("_npa", 0)}); }, false},
        {[](MSRPBMeasurementBundle& b) { setAttributes(b, {attribute("_npa", 1)}); }, true},
        {[](MSRPBMeasurementBundle& b) { setAttributes(b, {attribute("_npa", 1), attribute("x", 5)}); }, true},
        {[](MSRPBMeasurementBundle& b) { setAttributes(b, {attribute("_npa", 0)}); }, false},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        MSRPBMeasurementBundle first, second;
        for (MSRPBMeasurementBundle* b : {&first, &second}) {
            MSRPBSetString(*b, Slot::kConsentSignals, "G111");
            MSRPBSetString(*b, Slot::kConsentDiagnostics, "15555");
            MSRPBSetBool(*b, Slot::kDMARegion, true);
        }
        setAttributes(first, {attribute("_npa", 1)});
        // Unset and absent "_npa" on both sides also compare equal.
        if (i < 6) setAttributes(first, {});
        cases[i].first(second);
        EXPECT_EQ(MSRBundlesHaveSameConsent(&first, &second), cases[i].second);
        EXPECT_EQ(MSRBundlesHaveSameConsent(&second, &first), cases[i].second);
    }
    MSRPBMeasurementBundle bundle;
    EXPECT_FALSE(MSRBundlesHaveSameConsent(&bundle, nullptr));
}

TEST(BundleFieldsTest, ConsentSignalsAndDiagnostics) {
    struct Case {
        const char* name;
        void (*setUp)();
        const char* signals;
        const char* diagnostics;
    };
    using Util = MSRConsentSettingsUtil;
    const Case cases[] = {
        {"nothing set", [] {}, "G1--", "19999"},
        {"public interface, any case",
         [] { Util::updateSettings({{"ad_storage", "DENIED"}, {"analytics_storage", "granted"}}, 10); }, "G101",
         "15599"},
        {"regional policy beside a server default",
         [] {
             Util::setDefaultSettings(Settings{{"ad_personalization", "denied"}});
             Util::updateSettings({{"ad_user_data", "eu_consent_policy"}}, 40);
         },
         "G1--", "19981"},
        {"delegated ad user data",
         [] {
             Util::setDelegatedSettings(Settings{{"ad_user_data", "ad_storage"}});
             Util::updateSettings({{"ad_storage", "denied"}}, 20);
         },
         "G10-", "13929"},
        {"a new source recodes what is set",
         [] {
             Util::updateSettings({{"analytics_storage", "denied"}}, 30);
             Util::setConsentSource(40);
         },
         "G1-0", "19499"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Util::clearAllSettings();
        c.setUp();
        EXPECT_EQ(Util::consentSignals(), c.signals);
        EXPECT_EQ(Util::consentDiagnostics(), c.diagnostics);
    }
    Util::clearAllSettings();
}

}  // namespace
