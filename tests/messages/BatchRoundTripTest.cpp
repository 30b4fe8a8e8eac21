// An upload batch built by field index must read the same in protoc as in our
// decoder, and protoc must give back the very same bytes.

#include <gtest/gtest.h>

#include "MessageTestSupport.h"

namespace {

using Messages = std::vector<NANOMessageBase>;
using Scalars = std::vector<MSRPBValue>;

// A parameter (name, then int64, string or double value, or array items).
NANOMessageBase param(const std::string& name, uint32_t valueIndex, FieldValue value) {
    Fields fields{{valueIndex, std::move(value)}};
    if (!name.empty()) fields.insert(fields.begin(), {0, name});
    return build<MSRPBEventParam>(fields);
}

MSRPBMeasurementBatch buildBatch() {
    // An array parameter: one element per item, each carrying only its own parameters.
    const Messages items{param("", 5, Messages{param("id", 1, "a")}),
                         param("", 5, Messages{param("id", 1, "b"), param("n", 2, -3)})};
    const Messages events{
        build<MSRPBEvent>({{0, Messages{param("steps", 2, 12), param("value", 4, 2.5),
                                        param("label", 1, "log_a(x)"), param("zero", 2, 0)}},
                           {1, "kal_calculate"},
                           {2, 1700000000123}}),
        build<MSRPBEvent>(
            {{0, Messages{param("items", 5, items)}}, {1, "_vs"}, {2, 1700000000456}, {3, 1700000000000}})};
    const Messages attributes{
        build<MSRPBUserAttribute>({{0, 1690000000000}, {1, "_fot"}, {3, 1690000000000}}),
        build<MSRPBUserAttribute>({{0, 1690000000001}, {1, "mode"}, {5, -0.25}})};
    const MSRPBResultData current = build<MSRPBResultData>(
        {{0, Scalars{uint64_t{1}, uint64_t{0x8000000000000000ull}}},
         {1, Scalars{uint64_t{1}}},
         {2, Messages{build<MSRPBDynamicFilterResultTimestamp>({{0, 0}, {1, 1700000000}})}},
         {3, Messages{build<MSRPBSequenceFilterResultTimestamp>(
                 {{0, 70}, {1, Scalars{int64_t{1}, int64_t{2}, int64_t{-3}}}})}}});
    const Messages audiences{build<MSRPBAudienceLeafFilterResult>({{0, 5}, {1, current}, {3, 1}})};
    const Scalars experimentIds{uint32_t{0}, uint32_t{7}, uint32_t{4294967295u}};
    const Scalars redacted{std::string("os_version"), std::string("device_model"), std::string()};
    const MSRPBAdCampaignInfo campaign = build<MSRPBAdCampaignInfo>({{0, "abc"}, {3, 1700000000000}});
    // clang-format off
    const NANOMessageBase first = build<MSRPBMeasurementBundle>(
        {{0, 1}, {1, events}, {2, attributes}, {4, 1700000000000}, {5, 1700000000999}, {6, 1699999990000},
         {7, 1699999999000}, {8, "ios"}, {12, -120}, {14, "de.calvaro.app"}, {21, 0}, {24, 0}, {28, audiences},
         {37, experimentIds}, {41, 3}, {44, redacted}, {51, INT32_MIN}, {52, campaign}});
    // clang-format on
    const Messages sessionStart{
        build<MSRPBEvent>({{0, Messages{param("_sid", 2, 1700000100)}}, {1, "_s"}, {2, 1700000100000}})};
    const NANOMessageBase second = build<MSRPBMeasurementBundle>(
        {{0, 1}, {1, sessionStart}, {14, "de.calvaro.app"}, {23, 0}, {35, 2}, {38, -5}, {40, "G1--"}});
    return build<MSRPBMeasurementBatch>({{0, Messages{first, second}}});
}

TEST(BatchRoundTrip, ProtocAndOurDecoderReadTheSameBytes) {
    LogCapture log;
    const std::optional<Bytes> bytes = buildBatch().protoBuffer();
    ASSERT_TRUE(bytes);
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
    expectMatchesGolden("batch.bin", *bytes);

    const std::optional<std::string> text =
        protoc("decode", "measurement.proto", "MeasurementBatch", std::string(bytes->begin(), bytes->end()));
    ASSERT_TRUE(text);
    // Our decoder reads every field as protoc does, and its copy encodes the same bytes.
    const std::optional<MSRPBMeasurementBatch> decoded = MSRPBMeasurementBatch::initWithBuffer(*bytes);
    EXPECT_EQ(textFormat(*decoded), *text);
    EXPECT_EQ(decoded->protoBuffer(), bytes);
    expectMatchesGolden("batch.txt", Bytes(text->begin(), text->end()));
    // Negative int32 values are sign-extended; zero values that are set are written.
    for (const char* line : {"timezone_offset_minutes: -120", "extra_77: -2147483648",
                             "limited_ad_tracking: false", "bundle_sequential_index: 0"}) {
        EXPECT_NE(text->find(line), std::string::npos) << line;
    }
    const std::optional<std::string> again = protoc("encode", "measurement.proto", "MeasurementBatch", *text);
    EXPECT_EQ(again, std::string(bytes->begin(), bytes->end()));
}

}  // namespace
