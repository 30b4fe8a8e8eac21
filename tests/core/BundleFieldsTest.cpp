// What an upload says about who is measured follows the consent in force, or
// that of the event's own moment when a queued bundle is stamped again.

#include <gtest/gtest.h>

#include <functional>

#include "analytics/core/MSRBundleFields.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/model/MSRFoundationAdditions.h"

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

// Queued bundles reach the upload run with their events encoded. Whatever the
// run does to a bundle must come out as it would for the same bundle with its
// events as messages: the first-open check reads names from the encodings,
// and the restamped, redacted, checksummed bundle encodes byte for byte alike.

// An event's encoding written out by hand, for forms our encoder never makes.
using Bytes = std::vector<uint8_t>;

std::vector<uint8_t> named(const std::string& name) {
    MSRPBEvent event;
    MSRPBSetString(event, MSREventSlot::kName, name);
    MSRPBSetInt64(event, MSREventSlot::kTimestamp, 1700000000000);
    MSRPBEventParam param;
    MSRPBSetString(param, 0, "_f");  // a parameter named like the event looked for: not an event name
    MSRPBSetString(param, 1, "_f");
    MSRPBSetMessageArray(event, MSREventSlot::kParams, std::vector{param});
    return *event.protoBuffer();
}

MSRPBMeasurementBundle bundleWithEvents(const std::vector<std::vector<uint8_t>>& events, bool encoded) {
    MSRPBMeasurementBundle bundle;
    MSRPBSetString(bundle, Slot::kAppID, "app");
    if (encoded) {
        std::string elements;
        for (const auto& bytes : events) MSRPBAppendEncodedElement(elements, bytes);
        MSRPBSetEncodedMessageArray(bundle, Slot::kEvents, std::move(elements));
    } else {
        std::vector<MSRPBEvent> trees;
        for (const auto& bytes : events) trees.push_back(*MSRPBEvent::initWithBuffer(bytes));
        MSRPBSetMessageArray(bundle, Slot::kEvents, std::move(trees));
    }
    return bundle;
}

TEST(BundleFieldsEncodedEventsTest, FirstOpenIsFoundInEncodedEventsAsInMessages) {
    const struct {
        const char* label;
        std::vector<std::vector<uint8_t>> events;
        bool firstOpen;
    } cases[] = {
        {"no events", {}, false},
        {"first open among others", {named("_s"), named("_f"), named("_e")}, true},
        {"names that only start alike", {named("_fx"), named("_"), named("f")}, false},
        {"an event without a name", {Bytes({0x18, 0x01})}, false},
        {"the second of two names does not count", {Bytes({0x12, 0x02, '_', 'f', 0x12, 0x02, '_', 'e'})}, true},
        {"a name after a nested parameter", {Bytes({0x0A, 0x04, 0x0A, 0x02, '_', 'f', 0x12, 0x02, '_', 'f'})}, true},
        {"a name behind unknown fields", {Bytes({0x48, 0x96, 0x01, 0x5A, 0x01, 'z', 0x12, 0x02, '_', 'f'})}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        for (const auto& bytes : c.events) ASSERT_TRUE(MSRPBEvent::initWithBuffer(bytes)) << "a valid event";
        const MSRPBMeasurementBundle encoded = bundleWithEvents(c.events, true);
        const MSRPBMeasurementBundle trees = bundleWithEvents(c.events, false);
        EXPECT_EQ(MSRPBIsEncodedMessageArray(encoded, Slot::kEvents), !c.events.empty());
        EXPECT_EQ(MSRBundleContainsFirstOpen(&trees), c.firstOpen);
        EXPECT_EQ(MSRBundleContainsFirstOpen(&encoded), c.firstOpen);
        EXPECT_TRUE(MSRPBIsEncodedMessageArray(encoded, Slot::kEvents) || c.events.empty())
            << "the check leaves the events encoded";
    }
}

TEST(BundleFieldsEncodedEventsTest, UploadStepsGiveTheSameBytesWhicheverFormTheEventsHave) {
    MSRBundleIdentity identity = identityWithStatus(3);
    identity.ephemeralAppInstanceID = [] { return std::optional<std::string>("EPHEMERAL"); };
    const std::optional<MSRPBUserAttribute> npa = attribute("_npa", 1);
    const struct {
        const char* label;
        std::function<void(MSRPBMeasurementBundle&)> step;
    } steps[] = {
        {"identity, overwriting", [&](auto& b) { MSRApplyIdentityFields(b, "G100", false, identity, true); }},
        {"identity, keeping", [&](auto& b) { MSRApplyIdentityFields(b, "G111", true, identity, false); }},
        {"DMA fields and the npa attribute",
         [&](auto& b) { MSRApplyDMAConsentFields(b, "diag", false, npa, true, {"b", "a"}, true); }},
        {"data controls",
         [&](auto& b) { MSRApplyDataControls(b, {"app_instance_id", "user_id", "device_info"}, identity); }},
        {"checksum",
         [](auto& b) { MSRPBSetInt64(b, Slot::kChecksum, static_cast<int64_t>(msr_64LSBMD5(*b.protoBuffer()))); }},
    };
    const std::vector<std::vector<uint8_t>> events = {named("_f"), named("kal_calculate"), named("_e")};
    MSRPBMeasurementBundle encoded = bundleWithEvents(events, true);
    MSRPBMeasurementBundle trees = bundleWithEvents(events, false);
    for (MSRPBMeasurementBundle* bundle : {&encoded, &trees}) {
        MSRPBSetString(*bundle, Slot::kOSVersion, "17.2.1");
        MSRPBSetString(*bundle, Slot::kDeviceModel, "iPhone15,2");
        MSRPBSetMessageArray(*bundle, Slot::kUserAttributes,
                             std::vector{attribute("_id", 5), attribute("_fot", 1690000000000)});
    }
    for (const auto& s : steps) {
        SCOPED_TRACE(s.label);
        s.step(encoded);
        s.step(trees);
        EXPECT_TRUE(MSRPBIsEncodedMessageArray(encoded, Slot::kEvents));
        EXPECT_EQ(encoded.protoBuffer(), trees.protoBuffer());
        EXPECT_TRUE(MSRBundlesHaveSameConsent(&encoded, &trees));
    }
    // Handed to the batch by moving, the events stay encoded and the batch
    // encodes as the one made of messages.
    MSRPBMeasurementBatch fromEncoded, fromTrees;
    MSRPBSetMessageArray(fromEncoded, 0, std::vector{std::move(encoded)});
    MSRPBSetMessageArray(fromTrees, 0, std::vector{trees});
    EXPECT_EQ(fromEncoded.protoBuffer(), fromTrees.protoBuffer());
}

}  // namespace
