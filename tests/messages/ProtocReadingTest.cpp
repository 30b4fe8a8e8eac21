// protoc reads our encodings as our decoder does: every one of the 42
// messages with every field set by index, survives our decoder and protoc
// alike, byte for byte (a field whose tag or type differs between our tables
// and the proto files shows up here); an upload batch matches its golden
// encoding; and the messages that arrive from a server (the configuration,
// the experiments response and the conversion-value response) decode from
// their golden encodings, read field by field as protoc reads them, and encode
// back unchanged.

#include <gtest/gtest.h>

#include "MessageTestSupport.h"

namespace {

// Sets every field the accessors can reach (all but single floats) to a value
// that differs from its zero; nested messages get their own fields filled
// down to `depth` levels.
NANOMessageBase filled(const MSRPBMessageType& type, int depth) {
    Fields fields;
    for (uint32_t index = 0; index < type.fieldCount; ++index) {
        const uint32_t word = type.fields[index].word,
                       kind = word & ~(kMSRPBLabelSingle | kMSRPBLabelRepeated);
        const bool repeated = (word & kMSRPBLabelRepeated) != 0;
        const int64_t small = -static_cast<int64_t>(index) - 1;
        if (kind == kMSRPBKindMessage) {
            if (depth == 0) continue;
            const NANOMessageBase element =
                filled(MSRPBMessageTypeFor(type.fields[index].element), depth - 1);
            fields.emplace_back(index,
                                repeated ? FieldValue(std::vector{element, element}) : FieldValue(element));
        } else if (repeated && kind == kMSRPBKindString) {
            fields.emplace_back(index, std::vector<MSRPBValue>{std::string("first"), std::string()});
        } else if (repeated) {
            fields.emplace_back(index, std::vector<MSRPBValue>{int64_t{0}, small, int64_t{1} << 40});
        } else if (kind == kMSRPBKindDouble) {
            fields.emplace_back(index, small / 3.0);
        } else if (kind == kMSRPBKindString) {
            fields.emplace_back(index, "f" + std::to_string(index) + " \xC3\xA4");
        } else if (kind != kMSRPBKindFloat) {
            fields.emplace_back(index, kind == kMSRPBKindEnum    ? -small
                                       : kind == kMSRPBKindInt64 ? small * (int64_t{1} << 40)
                                                                 : small);
        }
    }
    return build(type, fields);
}

TEST(AllMessages, EveryFieldRoundTripsThroughOurDecoderAndProtoc) {
    LogCapture log;
    EXPECT_EQ(MSRPBMessageTableProblems(), std::vector<std::string>{})
        << "our tables against the generated ones";
    for (size_t i = 0; i < kMSRPBMessageCount; ++i) {
        const MSRPBMessageType& type = MSRPBMessageTypeFor(static_cast<MSRPBMessageID>(i));
        SCOPED_TRACE(type.name);
        const NANOMessageBase message = filled(type, 2);
        std::optional<Bytes> bytes = message.protoBuffer();
        ASSERT_TRUE(bytes && !bytes->empty());
        std::optional<NANOMessageBase> decoded = NANOMessageBase::initWithBuffer(type, *bytes);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->protoBuffer(), bytes);
        EXPECT_EQ(textFormat(*decoded), textFormat(message)) << "every field reads back as it was set";
        bool read = false;
        for (const char* file : {"measurement.proto", "config.proto", "experiment.proto"}) {
            const std::string binary(bytes->begin(), bytes->end());
            if (std::optional<std::string> text = protoc("decode", file, type.name, binary)) {
                EXPECT_EQ(protoc("encode", file, type.name, *text), binary);
                read = true;
                break;
            }
        }
        EXPECT_TRUE(read) << "protoc reads the message";
    }
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
}

// An upload batch built by field index must read the same in protoc as in our
// decoder, and protoc must give back the very same bytes.
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

struct Golden {
    const char* file;
    const char* protoFile;
    MSRPBMessageID id;
};
const Golden kGoldens[] = {
    {"config", "config.proto", MSRPBMessageID::MeasurementConfig},
    {"experiment_response", "experiment.proto", MSRPBMessageID::ExperimentResponse},
    {"conversion_value_response", "measurement.proto", MSRPBMessageID::SkAdNetworkConversionValueResponse},
};

TEST(ServerMessages, GoldenEncodingsReadAsProtocReadsThemAndEncodeBackUnchanged) {
    for (const Golden& golden : kGoldens) {
        SCOPED_TRACE(golden.file);
        const Bytes bytes = readGolden(std::string(golden.file) + ".bin");
        const std::string binary(bytes.begin(), bytes.end());
        std::optional<NANOMessageBase> message =
            NANOMessageBase::initWithBuffer(MSRPBMessageTypeFor(golden.id), bytes);
        ASSERT_TRUE(message && !bytes.empty());
        // Every field, present zero values and absent schema defaults included.
        EXPECT_EQ(textFormat(*message), protoc("decode", golden.protoFile, message->messageID(), binary));
        EXPECT_EQ(message->protoBuffer(), bytes);
        EXPECT_EQ(NANOMessageBase(*message).protoBuffer(), bytes) << "a deep copy encodes the same";
        // The binary golden file is the protoc encoding of the text beside it.
        const Bytes text = readGolden(std::string(golden.file) + ".txt");
        EXPECT_EQ(
            protoc("encode", golden.protoFile, message->messageID(), std::string(text.begin(), text.end())),
            binary);
    }
    // An absent response type is told apart from 0.
    EXPECT_FALSE(MSRPBHasField(*MSRPBSkAdNetworkConversionValueResponse::initWithBuffer({}), 0));
}

TEST(ServerMessages, StoredConfigurationLosesOnlyItsAudiences) {
    MSRPBMeasurementConfig config = *MSRPBMeasurementConfig::initWithBuffer(readGolden("config.bin"));
    const std::string before = textFormat(config);
    MSRPBClearField(config, 5);
    const std::string after = textFormat(*MSRPBMeasurementConfig::initWithBuffer(*config.protoBuffer()));
    const size_t start = before.find("audiences {"), end = before.find("adzev_app_id:");
    ASSERT_LT(start, end);
    EXPECT_EQ(after, before.substr(0, start) + before.substr(end));
}

}  // namespace
