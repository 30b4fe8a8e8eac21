// An upload batch built by field index must read the same in protoc as in our
// decoder, and protoc must give back the very same bytes.

#include <gtest/gtest.h>

#include "MessageTestSupport.h"
#include "analytics/messages/MSRPBMessages.h"

namespace {

MSRPBEventParam param(const std::string& name)
{
    MSRPBEventParam p;
    MSRPBSetString(p, 0, name);
    return p;
}

MSRPBEventParam intParam(const std::string& name, int64_t value)
{
    MSRPBEventParam p = param(name);
    MSRPBSetInt64(p, 2, value);
    return p;
}

MSRPBEventParam stringParam(const std::string& name, const std::string& value)
{
    MSRPBEventParam p = param(name);
    MSRPBSetString(p, 1, value);
    return p;
}

MSRPBEvent event(const std::string& name, int64_t millis, const std::vector<MSRPBEventParam>& params)
{
    MSRPBEvent e;
    MSRPBSetMessageArray(e, 0, params);
    MSRPBSetString(e, 1, name);
    MSRPBSetInt64(e, 2, millis);
    return e;
}

MSRPBMeasurementBundle firstBundle()
{
    MSRPBEventParam value = param("value");
    MSRPBSetDouble(value, 4, 2.5);
    MSRPBEvent calculate = event("kal_calculate", 1700000000123,
                                 {intParam("steps", 12), value, stringParam("label", "log_a(x)"), intParam("zero", 0)});

    // An array parameter: one element per item, each carrying its own parameters.
    MSRPBEventParam first, second;
    MSRPBSetMessageArray(first, 5, std::vector<MSRPBEventParam>{stringParam("id", "a")});
    MSRPBSetMessageArray(second, 5, std::vector<MSRPBEventParam>{stringParam("id", "b"), intParam("n", -3)});
    MSRPBEventParam items = param("items");
    MSRPBSetMessageArray(items, 5, std::vector<MSRPBEventParam>{first, second});
    MSRPBEvent screen = event("_vs", 1700000000456, {items});
    MSRPBSetInt64(screen, 3, 1700000000000);

    MSRPBUserAttribute firstOpen, mode;
    MSRPBSetInt64(firstOpen, 0, 1690000000000);
    MSRPBSetString(firstOpen, 1, "_fot");
    MSRPBSetInt64(firstOpen, 3, 1690000000000);
    MSRPBSetInt64(mode, 0, 1690000000001);
    MSRPBSetString(mode, 1, "mode");
    MSRPBSetDouble(mode, 5, -0.25);

    MSRPBResultData current;
    MSRPBSetArray(current, 0, {uint64_t{1}, uint64_t{0x8000000000000000ull}});
    MSRPBSetArray(current, 1, {uint64_t{1}});
    MSRPBDynamicFilterResultTimestamp dynamic;
    MSRPBSetInt32(dynamic, 0, 0);
    MSRPBSetInt64(dynamic, 1, 1700000000);
    MSRPBSetMessageArray(current, 2, std::vector<MSRPBDynamicFilterResultTimestamp>{dynamic});
    MSRPBSequenceFilterResultTimestamp sequence;
    MSRPBSetInt32(sequence, 0, 70);
    MSRPBSetArray(sequence, 1, {int64_t{1}, int64_t{2}, int64_t{-3}});
    MSRPBSetMessageArray(current, 3, std::vector<MSRPBSequenceFilterResultTimestamp>{sequence});
    MSRPBAudienceLeafFilterResult audience;
    MSRPBSetInt32(audience, 0, 5);
    MSRPBSetMessage(audience, 1, current);
    MSRPBSetBool(audience, 3, true);

    MSRPBAdCampaignInfo campaign;
    MSRPBSetString(campaign, 0, "abc");
    MSRPBSetInt64(campaign, 3, 1700000000000);

    MSRPBMeasurementBundle bundle;
    MSRPBSetInt32(bundle, 0, 1);
    MSRPBSetMessageArray(bundle, 1, std::vector<MSRPBEvent>{calculate, screen});
    MSRPBSetMessageArray(bundle, 2, std::vector<MSRPBUserAttribute>{firstOpen, mode});
    MSRPBSetInt64(bundle, 4, 1700000000000);
    MSRPBSetInt64(bundle, 5, 1700000000999);
    MSRPBSetInt64(bundle, 6, 1699999990000);
    MSRPBSetInt64(bundle, 7, 1699999999000);
    MSRPBSetString(bundle, 8, "ios");
    MSRPBSetInt32(bundle, 12, -120);
    MSRPBSetString(bundle, 14, "de.calvaro.app");
    MSRPBSetBool(bundle, 21, false);
    MSRPBSetInt32(bundle, 24, 0);
    MSRPBSetMessageArray(bundle, 28, std::vector<MSRPBAudienceLeafFilterResult>{audience});
    MSRPBSetArray(bundle, 37, {uint32_t{0}, uint32_t{7}, uint32_t{4294967295u}});
    MSRPBSetInt32(bundle, 41, 3);
    MSRPBSetArray(bundle, 44, {std::string("os_version"), std::string("device_model"), std::string()});
    MSRPBSetInt32(bundle, 51, INT32_MIN);
    MSRPBSetMessage(bundle, 52, campaign);
    return bundle;
}

MSRPBMeasurementBundle secondBundle()
{
    MSRPBMeasurementBundle bundle;
    MSRPBSetInt32(bundle, 0, 1);
    MSRPBSetMessageArray(bundle, 1, std::vector<MSRPBEvent>{event("_s", 1700000100000, {intParam("_sid", 1700000100)})});
    MSRPBSetString(bundle, 14, "de.calvaro.app");
    MSRPBSetInt64(bundle, 23, 0);
    MSRPBSetInt32(bundle, 35, 2);
    MSRPBSetInt64(bundle, 38, -5);
    MSRPBSetString(bundle, 40, "G1--");
    return bundle;
}

MSRPBMeasurementBatch buildBatch()
{
    MSRPBMeasurementBatch batch;
    MSRPBSetMessageArray(batch, 0, std::vector<MSRPBMeasurementBundle>{firstBundle(), secondBundle()});
    return batch;
}

TEST(BatchRoundTrip, ProtocReadsAndReencodesTheSameBytes)
{
    LogCapture log;
    std::optional<std::vector<uint8_t>> bytes = buildBatch().protoBuffer();
    ASSERT_TRUE(bytes);
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
    expectMatchesGolden("batch.bin", *bytes);

    if (!protocAvailable()) GTEST_SKIP() << "protoc is not installed";
    std::optional<std::string> text = protocDecode("measurement.proto", "MeasurementBatch", *bytes);
    ASSERT_TRUE(text);
    expectMatchesGolden("batch.txt", std::vector<uint8_t>(text->begin(), text->end()));
    // Negative int32 values must be sign-extended to read back as negative.
    EXPECT_NE(text->find("timezone_offset_minutes: -120"), std::string::npos);
    EXPECT_NE(text->find("extra_77: -2147483648"), std::string::npos);
    EXPECT_NE(text->find("limited_ad_tracking: false"), std::string::npos);
    EXPECT_NE(text->find("bundle_sequential_index: 0"), std::string::npos);

    std::optional<std::vector<uint8_t>> again = protocEncode("measurement.proto", "MeasurementBatch", *text);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *bytes);
}

TEST(BatchRoundTrip, DecodesToTheSameFieldsAndBytes)
{
    std::vector<uint8_t> bytes = *buildBatch().protoBuffer();
    std::optional<MSRPBMeasurementBatch> batch = MSRPBMeasurementBatch::initWithBuffer(bytes);
    ASSERT_TRUE(batch);
    EXPECT_EQ(batch->protoBuffer(), bytes);

    std::vector<MSRPBMeasurementBundle> bundles = MSRPBGetMessageArray<MSRPBMeasurementBundle>(*batch, 0);
    ASSERT_EQ(bundles.size(), 2u);
    const MSRPBMeasurementBundle& first = bundles[0];
    EXPECT_EQ(MSRPBGetInt32(first, 12), -120);
    EXPECT_EQ(MSRPBGetInt32(first, 51), INT32_MIN);
    EXPECT_TRUE(MSRPBHasField(first, 24));
    EXPECT_EQ(MSRPBGetInt32(first, 24), 0);
    EXPECT_TRUE(MSRPBHasField(first, 21));
    EXPECT_FALSE(MSRPBGetBool(first, 21));
    EXPECT_FALSE(MSRPBHasField(first, 3));
    EXPECT_EQ(MSRPBGetInt64(first, 6), 1699999990000);
    EXPECT_EQ(MSRPBGetInt32(first, 41), 3);
    EXPECT_EQ(MSRPBGetArray(first, 37), (std::vector<MSRPBValue>{uint32_t{0}, uint32_t{7}, uint32_t{4294967295u}}));
    EXPECT_EQ(MSRPBGetArray(first, 44),
              (std::vector<MSRPBValue>{std::string("os_version"), std::string("device_model"), std::string()}));

    std::vector<MSRPBEvent> events = MSRPBGetMessageArray<MSRPBEvent>(first, 1);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(MSRPBGetString(events[0], 1), "kal_calculate");
    std::vector<MSRPBEventParam> params = MSRPBGetMessageArray<MSRPBEventParam>(events[0], 0);
    ASSERT_EQ(params.size(), 4u);
    EXPECT_EQ(MSRPBGetDouble(params[1], 4), 2.5);
    EXPECT_TRUE(MSRPBHasField(params[3], 2));
    EXPECT_EQ(MSRPBGetInt64(params[3], 2), 0);

    std::vector<MSRPBEventParam> items =
        MSRPBGetMessageArray<MSRPBEventParam>(MSRPBGetMessageArray<MSRPBEventParam>(events[1], 0).at(0), 5);
    ASSERT_EQ(items.size(), 2u);
    std::vector<MSRPBEventParam> secondItem = MSRPBGetMessageArray<MSRPBEventParam>(items[1], 5);
    ASSERT_EQ(secondItem.size(), 2u);
    EXPECT_EQ(MSRPBGetInt64(secondItem[1], 2), -3);

    std::optional<MSRPBAdCampaignInfo> campaign = MSRPBGetMessage<MSRPBAdCampaignInfo>(first, 52);
    ASSERT_TRUE(campaign);
    EXPECT_EQ(MSRPBGetString(*campaign, 0), "abc");

    std::vector<MSRPBAudienceLeafFilterResult> audiences =
        MSRPBGetMessageArray<MSRPBAudienceLeafFilterResult>(first, 28);
    ASSERT_EQ(audiences.size(), 1u);
    EXPECT_FALSE(MSRPBHasField(audiences[0], 2));
    std::optional<MSRPBResultData> current = MSRPBGetMessage<MSRPBResultData>(audiences[0], 1);
    ASSERT_TRUE(current);
    EXPECT_EQ(MSRPBGetArray(*current, 0), (std::vector<MSRPBValue>{uint64_t{1}, uint64_t{0x8000000000000000ull}}));
    std::vector<MSRPBSequenceFilterResultTimestamp> sequences =
        MSRPBGetMessageArray<MSRPBSequenceFilterResultTimestamp>(*current, 3);
    ASSERT_EQ(sequences.size(), 1u);
    EXPECT_EQ(MSRPBGetArray(sequences[0], 1), (std::vector<MSRPBValue>{int64_t{1}, int64_t{2}, int64_t{-3}}));

    EXPECT_EQ(MSRPBGetInt64(bundles[1], 38), -5);
    EXPECT_EQ(MSRPBGetInt32(bundles[1], 35), 2);
}

}  // namespace
