// Queued bundles reach the upload run with their events encoded. Whatever the
// run does to a bundle must come out as it would for the same bundle with its
// events as messages: the first-open check reads names from the encodings,
// and the restamped, redacted, checksummed bundle encodes byte for byte alike.

#include <gtest/gtest.h>

#include <functional>

#include "analytics/core/MSRBundleFields.h"
#include "analytics/core/model/MSRFoundationAdditions.h"

namespace {

namespace Slot = MSRBundleSlot;
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

MSRPBUserAttribute attribute(const std::string& name, int64_t value) {
    MSRPBUserAttribute out;
    MSRPBSetString(out, MSRUserAttributeSlot::kName, name);
    MSRPBSetInt64(out, MSRUserAttributeSlot::kIntValue, value);
    return out;
}

TEST(BundleFieldsEncodedEventsTest, UploadStepsGiveTheSameBytesWhicheverFormTheEventsHave) {
    MSRBundleIdentity identity;
    identity.hasLimitedAdTracking = true;
    identity.resettableDeviceID = "AD-ID";
    identity.identifierForVendor = "VENDOR-ID";
    identity.appInstanceID = "APP-INSTANCE";
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
