// Messages that arrive from a server: the configuration (settings, event
// configurations, consent tables, audiences and a program), the experiments
// response and the conversion-value response decode from their golden
// encodings, read field by field as protoc reads them, and encode back
// unchanged.

#include <gtest/gtest.h>

#include "MessageTestSupport.h"

namespace {

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
