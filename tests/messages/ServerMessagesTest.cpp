// Messages that arrive from a server: the configuration, the experiments
// response and the conversion-value response decode from their golden
// encodings, keep every field (read or carried), read right by field index
// and encode back unchanged.

#include <gtest/gtest.h>

#include <sstream>

#include "MessageTestSupport.h"

namespace {

struct Golden {
    const char* file;
    const char* protoFile;
    MSRPBMessageID id;
};
const Golden kConfig{"config", "config.proto", MSRPBMessageID::MeasurementConfig};
const Golden kExperiments{"experiment_response", "experiment.proto", MSRPBMessageID::ExperimentResponse};
const Golden kConversionValue{"conversion_value_response", "measurement.proto",
                              MSRPBMessageID::SkAdNetworkConversionValueResponse};

NANOMessageBase decodeGolden(const Golden& golden)
{
    return *NANOMessageBase::initWithBuffer(MSRPBMessageTypeFor(golden.id), readGolden(std::string(golden.file) + ".bin"));
}

// The field at `path` as text ("absent" when not set): every step but the last
// is a message field index, followed by an element position when the field is
// repeated; the last step is a scalar, string or repeated string field.
std::string at(const NANOMessageBase& message, const std::vector<uint32_t>& path)
{
    NANOMessageBase current = message;
    for (size_t i = 0; i + 1 < path.size(); ++i) {
        const MSRPBFieldSpec& field = current.messageType().fields[path[i]];
        const MSRPBMessageType& type = MSRPBMessageTypeFor(field.element);
        if (field.word & kMSRPBLabelRepeated) current = MSRPBGetMessageArray(current, path[i], type).at(path[i + 1]), ++i;
        else current = *MSRPBGetMessage(current, path[i], type);
    }
    const uint32_t index = path.back(), word = current.messageType().fields[index].word;
    std::ostringstream out;
    if (!MSRPBHasField(current, index)) out << "absent";
    else if (word & kMSRPBLabelRepeated) for (const MSRPBValue& text : MSRPBGetArray(current, index)) out << std::get<std::string>(text) << ";";
    else if (word & kMSRPBKindBool) out << std::boolalpha << MSRPBGetBool(current, index);
    else if (word & (kMSRPBKindInt32 | kMSRPBKindEnum)) out << MSRPBGetInt32(current, index);
    else if (word & kMSRPBKindInt64) out << MSRPBGetInt64(current, index);
    else if (word & kMSRPBKindDouble) out << MSRPBGetDouble(current, index);
    else out << MSRPBGetString(current, index).value_or("(not UTF-8)");
    return out.str();
}

TEST(ServerMessages, GoldenEncodingsDecodeAndEncodeBackUnchanged)
{
    for (const Golden& golden : {kConfig, kExperiments, kConversionValue}) {
        SCOPED_TRACE(golden.file);
        const Bytes bytes = readGolden(std::string(golden.file) + ".bin");
        const NANOMessageBase message = decodeGolden(golden);
        EXPECT_FALSE(bytes.empty());
        EXPECT_EQ(message.protoBuffer(), bytes);
        EXPECT_EQ(NANOMessageBase(message).protoBuffer(), bytes) << "a deep copy encodes the same";
        if (!protocAvailable()) continue;
        // The binary golden file is the protoc encoding of the text beside it.
        const Bytes text = readGolden(std::string(golden.file) + ".txt");
        EXPECT_EQ(protoc("encode", golden.protoFile, message.messageID(), std::string(text.begin(), text.end())),
                  std::string(bytes.begin(), bytes.end()));
    }
}

TEST(ServerMessages, FieldsReadByIndex)
{
    const struct {
        const Golden& golden;
        std::vector<uint32_t> path;
        const char* expected;
    } cases[] = {
        {kConfig, {0}, "1712345678"}, {kConfig, {1}, "1:1234567890:ios:calvaro"}, {kConfig, {7}, "false"},
        {kConfig, {3, 1, 0}, "measurement.psm_prefix_email"}, {kConfig, {3, 1, 1}, "40"}, {kConfig, {3, 2, 1}, "absent"},
        {kConfig, {4, 1, 3}, "-5"}, {kConfig, {9, 1, 0}, "device_model"},
        // Consent tables: a default (type 2, denied), a delegation, services, the DMA flag.
        {kConfig, {12, 0, 1, 0}, "2"}, {kConfig, {12, 0, 1, 1}, "2"}, {kConfig, {12, 1, 0, 1}, "1"},
        {kConfig, {12, 2, 1, 0}, "a"}, {kConfig, {12, 3}, "true"}, {kConfig, {12, 4, 0, 0}, "3"},
        // Schema defaults never reach the message: absent fields stay absent.
        {kConfig, {13, 0}, "40"}, {kConfig, {13, 1}, "absent"}, {kConfig, {13, 2}, "absent"},
        // Dynamic, sequence, session scoped: 3, 4, 5 in property filters, 5, 6, 7 in event filters.
        {kConfig, {5, 0, 1, 0, 3}, "true"}, {kConfig, {5, 0, 1, 0, 4}, "absent"}, {kConfig, {5, 0, 1, 0, 5}, "true"},
        {kConfig, {5, 0, 2, 0, 5}, "absent"}, {kConfig, {5, 0, 2, 0, 6}, "true"},
        {kConfig, {5, 0, 1, 0, 2, 0, 3}, "exp;log;"}, {kConfig, {5, 0, 2, 0, 2, 0, 3}, "steps"},
        {kConfig, {5, 0, 2, 0, 2, 0, 1, 4}, "3"}, {kConfig, {5, 0, 2, 0, 4, 2}, "5"},
        // The program: a statement with three literal children, and one activity.
        {kConfig, {8, 0, 0, 0, 0}, "4"}, {kConfig, {8, 0, 0, 0, 1, 1, 5}, "2.5"},
        {kConfig, {8, 0, 0, 0, 1, 2, 4}, "true"}, {kConfig, {8, 0, 1, 0, 0, 0}, "register"},
        {kExperiments, {0, 0, 1, 0, 0}, "absent"}, {kExperiments, {0, 0, 1, 1, 0}, "42"},
        {kExperiments, {0, 0, 1, 0, 1, 1, 1}, "5"}, {kExperiments, {0, 0, 1, 0, 1, 1, 2}, "b"},
        {kExperiments, {1, 0, 1}, "2"}, {kExperiments, {1, 0, 2, 1, 0, 0}, "-1"},
        {kConversionValue, {0}, "1"}, {kConversionValue, {1}, "m1"}, {kConversionValue, {2}, "0"},
        {kConversionValue, {3}, "2"}, {kConversionValue, {6}, "1699999999000"},
    };
    for (const auto& c : cases) {
        std::ostringstream path;
        for (uint32_t step : c.path) path << step << " ";
        EXPECT_EQ(at(decodeGolden(c.golden), c.path), c.expected) << c.golden.file << " at " << path.str();
    }
    // An absent response type is told apart from 0.
    EXPECT_FALSE(MSRPBHasField(*MSRPBSkAdNetworkConversionValueResponse::initWithBuffer({}), 0));
}

TEST(ServerMessages, StoredConfigurationLosesOnlyItsAudiences)
{
    NANOMessageBase config = decodeGolden(kConfig);
    MSRPBClearField(config, 5);
    const MSRPBMeasurementConfig stored = *MSRPBMeasurementConfig::initWithBuffer(*config.protoBuffer());
    EXPECT_TRUE(MSRPBGetMessageArray<MSRPBAudience>(stored, 5).empty());
    EXPECT_EQ(MSRPBGetMessageArray<MSRPBProgram>(stored, 8).size(), 1u);
    EXPECT_EQ(at(stored, {12, 0, 1, 1}), "2");
}

}  // namespace
