// The identity and consent fields of measurement bundles: what an upload says
// about who is measured must follow the consent in force, or the consent of
// the event's own moment when a queued bundle is stamped again.

#include <gtest/gtest.h>

#include "analytics/core/MSRBundleFields.h"
#include "analytics/core/MSRConsentSettingsUtil.h"

namespace {

namespace Slot = MSRBundleSlot;
using Settings = MSRConsentSettingsUtil::Settings;

MSRPBUserAttribute attribute(const std::string& name, int64_t value) {
    MSRPBUserAttribute out;
    MSRPBSetString(out, MSRUserAttributeSlot::kName, name);
    MSRPBSetInt64(out, MSRUserAttributeSlot::kIntValue, value);
    return out;
}

std::vector<std::string> attributeNames(const MSRPBMeasurementBundle& bundle) {
    std::vector<std::string> names;
    for (const auto& a : MSRPBGetMessageArray<MSRPBUserAttribute>(bundle, Slot::kUserAttributes))
        names.push_back(MSRPBGetString(a, MSRUserAttributeSlot::kName).value_or(""));
    return names;
}

MSRBundleIdentity authorizedIdentity() {
    MSRBundleIdentity identity;
    identity.appleConsentStatus = 3;
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
        const char* expectedAdID;  // nullptr: absent
        const char* expectedVendorID;
        bool expectAppInstanceID;
        bool expectTokenAndAudiences;
        std::optional<int32_t> expectedStatus;
    };
    const Case cases[] = {
        {"all granted", "G111", false, 3, "AD-ID", nullptr, true, true, 3},
        {"analytics denied 0", "G110", false, 3, "AD-ID", nullptr, false, false, 3},
        {"analytics denied D", "G11D", false, 2, "AD-ID", nullptr, false, false, 2},
        {"analytics denied d, no ad id use", "G1dd", false, 3, nullptr, nullptr, false, false, 3},
        {"ad storage denied though authorized", "G1D1", false, 3, nullptr, "VENDOR-ID", true, true, 3},
        {"gate on, authorized", "G111", true, 3, "AD-ID", nullptr, true, true, 3},
        {"gate on, denied tracking", "G111", true, 2, nullptr, "VENDOR-ID", true, true, 2},
        {"no support status never written", "G111", true, 6, nullptr, "VENDOR-ID", true, true, std::nullopt},
        {"short signals deny nothing", "G1", false, 3, "AD-ID", nullptr, true, true, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MSRPBMeasurementBundle bundle;
        MSRPBSetString(bundle, Slot::kSessionStitchingToken, "TOKEN");
        MSRPBAudienceLeafFilterResult result;
        MSRPBSetMessageArray(bundle, Slot::kAudienceResults,
                             std::vector<MSRPBAudienceLeafFilterResult>{result});
        MSRBundleIdentity identity = authorizedIdentity();
        identity.appleConsentStatus = c.status;
        MSRApplyIdentityFields(bundle, c.signals, c.gate, identity, true);

        EXPECT_EQ(MSRPBGetString(bundle, Slot::kResettableDeviceID),
                  c.expectedAdID ? std::optional<std::string>(c.expectedAdID) : std::nullopt);
        EXPECT_EQ(MSRPBGetString(bundle, Slot::kVendorDeviceID),
                  c.expectedVendorID ? std::optional<std::string>(c.expectedVendorID) : std::nullopt);
        EXPECT_EQ(MSRPBHasField(bundle, Slot::kAppInstanceID), c.expectAppInstanceID);
        EXPECT_EQ(MSRPBHasField(bundle, Slot::kSessionStitchingToken), c.expectTokenAndAudiences);
        EXPECT_EQ(MSRPBGetMessageArray<MSRPBAudienceLeafFilterResult>(bundle, Slot::kAudienceResults).size(),
                  c.expectTokenAndAudiences ? 1u : 0u);
        EXPECT_EQ(MSRPBHasField(bundle, Slot::kTrackingAuthorizationStatus), c.expectedStatus.has_value());
        if (c.expectedStatus) {
            EXPECT_EQ(MSRPBGetInt32(bundle, Slot::kTrackingAuthorizationStatus), *c.expectedStatus);
        }
        EXPECT_EQ(MSRPBGetString(bundle, Slot::kConsentSignals),
                  c.signals.size() >= 4 ? std::optional<std::string>(c.signals) : std::nullopt);
        EXPECT_TRUE(MSRPBHasField(bundle, Slot::kLimitedAdTracking));
    }
}

TEST(BundleFieldsTest, RestampingKeepsTheConsentOfTheEventsMoment) {
    // Stored while analytics storage was denied; granted by upload time. The
    // bundle must not gain an app instance id it was never allowed to carry.
    MSRPBMeasurementBundle bundle;
    MSRPBSetString(bundle, Slot::kConsentSignals, "G110");
    MSRApplyIdentityFields(bundle, "G111", false, authorizedIdentity(), false);
    EXPECT_EQ(MSRPBGetString(bundle, Slot::kConsentSignals), "G110");
    EXPECT_FALSE(MSRPBHasField(bundle, Slot::kAppInstanceID));

    // Existing identifiers are kept rather than replaced.
    MSRPBMeasurementBundle stored;
    MSRPBSetString(stored, Slot::kAppInstanceID, "OLD");
    MSRApplyIdentityFields(stored, "G111", false, authorizedIdentity(), false);
    EXPECT_EQ(MSRPBGetString(stored, Slot::kAppInstanceID), "OLD");

    // Empty signals clear what the bundle carried.
    MSRApplyIdentityFields(stored, "", false, authorizedIdentity(), true);
    EXPECT_FALSE(MSRPBHasField(stored, Slot::kConsentSignals));
}

TEST(BundleFieldsTest, DMAFieldsAndTheNPAAttribute) {
    struct Case {
        const char* name;
        bool adUserDataDenied;
        bool isDMARegion;
        std::vector<std::string> services;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"sorted and joined", false, true, {"zz", "ab", "mm"}, "abmmzz"},
        {"ad user data denied", true, true, {"ab"}, "-"},
        {"no services", false, true, {}, "-"},
        {"not a DMA region", false, false, {"ab"}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MSRPBMeasurementBundle bundle;
        MSRApplyDMAConsentFields(bundle, "19999", c.adUserDataDenied, std::nullopt, c.isDMARegion, c.services,
                                 true);
        EXPECT_EQ(MSRPBGetString(bundle, Slot::kCorePlatformServices), c.expected);
        EXPECT_EQ(MSRPBGetString(bundle, Slot::kConsentDiagnostics), "19999");
        EXPECT_EQ(MSRPBGetBool(bundle, Slot::kDMARegion), c.isDMARegion);
    }

    // Without overwrite the stored fields and "_npa" stay; with it "_npa" is replaced.
    MSRPBMeasurementBundle bundle;
    MSRPBSetMessageArray(bundle, Slot::kUserAttributes,
                         std::vector<MSRPBUserAttribute>{attribute("a", 1), attribute("_npa", 0)});
    MSRApplyDMAConsentFields(bundle, "10000", false, std::nullopt, true, {"x"}, true);
    MSRApplyDMAConsentFields(bundle, "15555", false, attribute("_npa", 1), true, {"y"}, false);
    EXPECT_EQ(MSRPBGetString(bundle, Slot::kConsentDiagnostics), "10000");
    EXPECT_EQ(MSRPBGetString(bundle, Slot::kCorePlatformServices), "x");
    EXPECT_EQ(MSRPBGetInt64(*MSRNPAUserAttributeOfBundle(bundle), MSRUserAttributeSlot::kIntValue), 0);
    MSRApplyDMAConsentFields(bundle, "15555", false, attribute("_npa", 1), true, {"y"}, true);
    EXPECT_EQ(MSRPBGetInt64(*MSRNPAUserAttributeOfBundle(bundle), MSRUserAttributeSlot::kIntValue), 1);
    EXPECT_EQ(attributeNames(bundle), (std::vector<std::string>{"a", "_npa"}));

    MSRPBMeasurementBundle without;
    MSRApplyDMAConsentFields(without, "10000", false, attribute("_npa", 1), true, {}, false);
    EXPECT_EQ(attributeNames(without), (std::vector<std::string>{"_npa"}));
}

TEST(BundleFieldsTest, DataControlsRedactWhatTheyName) {
    auto fresh = [] {
        MSRPBMeasurementBundle bundle;
        MSRPBSetString(bundle, Slot::kOSVersion, "17.4.1");
        MSRPBSetString(bundle, Slot::kDeviceModel, "iPhone15,2");
        MSRPBSetString(bundle, Slot::kAppInstanceID, "APP-INSTANCE");
        MSRPBSetString(bundle, Slot::kSessionStitchingToken, "TOKEN");
        MSRPBSetString(bundle, Slot::kConsentSignals, "G111");
        MSRPBSetMessageArray(
            bundle, Slot::kUserAttributes,
            std::vector<MSRPBUserAttribute>{attribute("_id", 1), attribute("x", 2), attribute("_id", 3)});
        return bundle;
    };
    MSRBundleIdentity identity;
    int ephemeralAsked = 0;
    identity.ephemeralAppInstanceID = [&] {
        ++ephemeralAsked;
        return std::optional<std::string>("EPHEMERAL");
    };

    MSRPBMeasurementBundle info = fresh();
    MSRApplyDataControls(info, {"device_info"}, identity);
    EXPECT_EQ(MSRPBGetString(info, Slot::kOSVersion), "17");
    EXPECT_FALSE(MSRPBHasField(info, Slot::kDeviceModel));
    EXPECT_EQ(ephemeralAsked, 0);
    EXPECT_EQ(MSRPBGetArray(info, Slot::kDataControls),
              (std::vector<MSRPBValue>{std::string("device_info")}));

    MSRPBMeasurementBundle ids = fresh();
    MSRApplyDataControls(ids, {"app_instance_id", "user_id", "enhanced_user_id"}, identity);
    EXPECT_FALSE(MSRPBHasField(ids, Slot::kAppInstanceID));
    EXPECT_EQ(MSRPBGetString(ids, Slot::kEphemeralAppInstanceID), "EPHEMERAL");
    EXPECT_EQ(attributeNames(ids), (std::vector<std::string>{"x"}));
    EXPECT_FALSE(MSRPBHasField(ids, Slot::kSessionStitchingToken));
    EXPECT_EQ(MSRPBGetString(ids, Slot::kOSVersion), "17.4.1");

    MSRPBMeasurementBundle denied = fresh();
    MSRPBSetString(denied, Slot::kConsentSignals, "G11D");
    MSRPBSetString(denied, Slot::kEphemeralAppInstanceID, "STALE");
    MSRApplyDataControls(denied, {"app_instance_id"}, identity);
    EXPECT_FALSE(MSRPBHasField(denied, Slot::kEphemeralAppInstanceID));

    MSRPBMeasurementBundle none = fresh();
    MSRApplyDataControls(none, {}, identity);
    EXPECT_TRUE(MSRPBGetArray(none, Slot::kDataControls).empty());
    EXPECT_EQ(MSRPBGetString(none, Slot::kDeviceModel), "iPhone15,2");
}

TEST(BundleFieldsTest, SameConsentComparesSignalsDiagnosticsServicesRegionAndNPA) {
    auto base = [] {
        MSRPBMeasurementBundle bundle;
        MSRPBSetString(bundle, Slot::kConsentSignals, "G111");
        MSRPBSetString(bundle, Slot::kConsentDiagnostics, "15555");
        MSRPBSetBool(bundle, Slot::kDMARegion, true);
        return bundle;
    };
    struct Case {
        const char* name;
        std::function<void(MSRPBMeasurementBundle&)> change;
        bool same;
    };
    const Case cases[] = {
        {"identical", [](MSRPBMeasurementBundle&) {}, true},
        {"signals", [](MSRPBMeasurementBundle& b) { MSRPBSetString(b, Slot::kConsentSignals, "G110"); },
         false},
        {"diagnostics", [](MSRPBMeasurementBundle& b) { MSRPBSetString(b, Slot::kConsentDiagnostics, "1"); },
         false},
        {"services set on one side",
         [](MSRPBMeasurementBundle& b) { MSRPBSetString(b, Slot::kCorePlatformServices, "-"); }, false},
        {"region", [](MSRPBMeasurementBundle& b) { MSRPBSetBool(b, Slot::kDMARegion, false); }, false},
        {"npa on one side",
         [](MSRPBMeasurementBundle& b) {
             MSRPBSetMessageArray(b, Slot::kUserAttributes,
                                  std::vector<MSRPBUserAttribute>{attribute("_npa", 0)});
         },
         false},
        {"other attributes do not matter",
         [](MSRPBMeasurementBundle& b) {
             MSRPBSetMessageArray(b, Slot::kUserAttributes,
                                  std::vector<MSRPBUserAttribute>{attribute("x", 0)});
         },
         true},
        {"events do not matter",
         [](MSRPBMeasurementBundle& b) { MSRPBSetInt64(b, Slot::kStartTimestamp, 5); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MSRPBMeasurementBundle first = base();
        MSRPBMeasurementBundle second = base();
        c.change(second);
        EXPECT_EQ(MSRBundlesHaveSameConsent(&first, &second), c.same);
        EXPECT_EQ(MSRBundlesHaveSameConsent(&second, &first), c.same);
    }

    // Bundles differing only in the "_npa" value.
    MSRPBMeasurementBundle npa0 = base();
    MSRPBMeasurementBundle npa1 = base();
    MSRPBSetMessageArray(npa0, Slot::kUserAttributes, std::vector<MSRPBUserAttribute>{attribute("_npa", 0)});
    MSRPBSetMessageArray(npa1, Slot::kUserAttributes, std::vector<MSRPBUserAttribute>{attribute("_npa", 1)});
    EXPECT_FALSE(MSRBundlesHaveSameConsent(&npa0, &npa1));
    EXPECT_FALSE(MSRBundlesHaveSameConsent(&npa0, nullptr));
    EXPECT_FALSE(MSRBundlesHaveSameConsent(nullptr, nullptr));
}

TEST(BundleFieldsTest, FirstOpenIsFoundAmongTheEvents) {
    MSRPBMeasurementBundle bundle;
    EXPECT_FALSE(MSRBundleContainsFirstOpen(&bundle));
    EXPECT_FALSE(MSRBundleContainsFirstOpen(nullptr));
    std::vector<MSRPBEvent> events(2);
    MSRPBSetString(events[0], MSREventSlot::kName, "_e");
    MSRPBSetString(events[1], MSREventSlot::kName, "_f");
    MSRPBSetMessageArray(bundle, Slot::kEvents, events);
    EXPECT_TRUE(MSRBundleContainsFirstOpen(&bundle));
}

class ConsentCodesTest : public ::testing::Test {
  protected:
    void SetUp() override { MSRConsentSettingsUtil::clearAllSettings(); }
    void TearDown() override { MSRConsentSettingsUtil::clearAllSettings(); }
};

TEST_F(ConsentCodesTest, SignalsAndDiagnostics) {
    struct Case {
        const char* name;
        std::function<void()> setUp;
        const char* signals;
        const char* diagnostics;
    };
    const Case cases[] = {
        {"nothing set", [] {}, "G1--", "19999"},
        {"public interface, mixed case",
         [] {
             MSRConsentSettingsUtil::updateSettings(
                 {{"ad_storage", "DENIED"}, {"analytics_storage", "granted"}}, 10);
         },
         "G101", "15599"},
        {"TCF data",
         [] {
             MSRConsentSettingsUtil::updateSettings({{"ad_storage", "granted"}}, 5);
         },
         "G11-", "17999"},
        {"regional policy with a server default",
         [] {
             MSRConsentSettingsUtil::setDefaultSettings(Settings{{"ad_personalization", "denied"}});
             MSRConsentSettingsUtil::updateSettings({{"ad_user_data", "eu_consent_policy"}}, 40);
         },
         "G1--", "19981"},
        {"delegated ad user data",
         [] {
             MSRConsentSettingsUtil::setDelegatedSettings(Settings{{"ad_user_data", "ad_storage"}});
             MSRConsentSettingsUtil::updateSettings({{"ad_storage", "denied"}}, 20);
         },
         "G10-", "13929"},
        {"source change recodes what is set",
         [] {
             MSRConsentSettingsUtil::updateSettings({{"analytics_storage", "denied"}}, 30);
             MSRConsentSettingsUtil::setConsentSource(40);
         },
         "G1-0", "19499"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MSRConsentSettingsUtil::clearAllSettings();
        c.setUp();
        EXPECT_EQ(MSRConsentSettingsUtil::consentSignals(), c.signals);
        EXPECT_EQ(MSRConsentSettingsUtil::consentDiagnostics(), c.diagnostics);
    }
}

TEST_F(ConsentCodesTest, DeniedSignalsAreReadBackAsDenied) {
    MSRConsentSettingsUtil::updateSettings({{"ad_storage", "denied"}, {"analytics_storage", "denied"}}, 10);
    const std::string signals = MSRConsentSettingsUtil::consentSignals();
    EXPECT_TRUE(MSRIsAdStorageDeniedInSignals(signals));
    EXPECT_TRUE(MSRIsAnalyticsStorageDeniedInSignals(signals));
    MSRConsentSettingsUtil::updateSettings({{"ad_personalization", "granted"}});
    EXPECT_EQ(MSRConsentSettingsUtil::consentSource(), 10);
    EXPECT_EQ(MSRConsentSettingsUtil::adPersonalization(), true);
    MSRConsentSettingsUtil::unsetAdPersonalization();
    EXPECT_EQ(MSRConsentSettingsUtil::consentDiagnostics(), "15599");
}

}  // namespace
