// Messages that arrive from a server: the configuration, the experiments
// response and the conversion-value response decode from their golden
// encodings, keep every field (read or carried) and encode back unchanged.

#include <gtest/gtest.h>

#include <cmath>

#include "MessageTestSupport.h"
#include "analytics/messages/MSRPBMessages.h"

namespace {

struct GoldenMessage {
    const char* file;
    const char* protoFile;
    MSRPBMessageID id;
};

const GoldenMessage kGoldens[] = {
    {"config", "config.proto", MSRPBMessageID::MeasurementConfig},
    {"experiment_response", "experiment.proto", MSRPBMessageID::ExperimentResponse},
    {"conversion_value_response", "measurement.proto", MSRPBMessageID::SkAdNetworkConversionValueResponse},
};

TEST(ServerMessages, GoldenEncodingsDecodeAndEncodeBackUnchanged)
{
    for (const GoldenMessage& golden : kGoldens) {
        SCOPED_TRACE(golden.file);
        const MSRPBMessageType& type = MSRPBMessageTypeFor(golden.id);
        std::vector<uint8_t> bytes = readFile(goldenPath(std::string(golden.file) + ".bin"));
        ASSERT_FALSE(bytes.empty());
        std::optional<NANOMessageBase> message = NANOMessageBase::initWithBuffer(type, bytes);
        ASSERT_TRUE(message);
        EXPECT_EQ(message->protoBuffer(), bytes);
        EXPECT_EQ(NANOMessageBase(*message).protoBuffer(), bytes) << "a deep copy encodes the same";

        if (!protocAvailable()) continue;
        // The binary golden file is the protoc encoding of the text beside it.
        std::vector<uint8_t> text = readFile(goldenPath(std::string(golden.file) + ".txt"));
        EXPECT_EQ(protocEncode(golden.protoFile, type.name, std::string(text.begin(), text.end())), bytes);
    }
}

TEST(ServerMessages, ConfigurationFieldsReadByIndex)
{
    std::optional<MSRPBMeasurementConfig> config =
        MSRPBMeasurementConfig::initWithBuffer(readFile(goldenPath("config.bin")));
    ASSERT_TRUE(config);
    EXPECT_EQ(MSRPBGetInt64(*config, 0), 1712345678);
    EXPECT_EQ(MSRPBGetString(*config, 1), "1:1234567890:ios:calvaro");
    EXPECT_EQ(MSRPBGetString(*config, 6), "ca-app-pub-0000000000000000~0000000000");
    EXPECT_EQ(MSRPBGetString(*config, 10), "region1");
    EXPECT_TRUE(MSRPBHasField(*config, 7));
    EXPECT_FALSE(MSRPBGetBool(*config, 7));

    std::vector<MSRPBSetting> settings = MSRPBGetMessageArray<MSRPBSetting>(*config, 3);
    ASSERT_EQ(settings.size(), 3u);
    EXPECT_EQ(MSRPBGetString(settings[1], 0), "measurement.psm_prefix_email");
    EXPECT_EQ(MSRPBGetString(settings[1], 1), "40");
    EXPECT_FALSE(MSRPBHasField(settings[2], 1));

    std::vector<MSRPBEventConfig> events = MSRPBGetMessageArray<MSRPBEventConfig>(*config, 4);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(MSRPBHasField(events[0], 1));
    EXPECT_FALSE(MSRPBGetBool(events[0], 1));
    EXPECT_EQ(MSRPBGetInt32(events[0], 3), 65535);
    EXPECT_TRUE(MSRPBGetBool(events[1], 2));
    EXPECT_EQ(MSRPBGetInt32(events[1], 3), -5);

    std::vector<MSRPBDataControl> controls = MSRPBGetMessageArray<MSRPBDataControl>(*config, 9);
    ASSERT_EQ(controls.size(), 2u);
    EXPECT_EQ(MSRPBGetString(controls[1], 0), "device_model");
    EXPECT_EQ(MSRPBGetMessageArray<MSRPBRegion>(controls[0], 1).size(), 1u);

    std::optional<MSRPBConsentConfig> consent = MSRPBGetMessage<MSRPBConsentConfig>(*config, 12);
    ASSERT_TRUE(consent);
    std::vector<MSRPBConsentDefaultEntry> defaults = MSRPBGetMessageArray<MSRPBConsentDefaultEntry>(*consent, 0);
    ASSERT_EQ(defaults.size(), 2u);
    EXPECT_EQ(MSRPBGetInt32(defaults[1], 0), 2);
    EXPECT_EQ(MSRPBGetInt32(defaults[1], 1), 2);
    std::vector<MSRPBConsentDelegationEntry> delegations =
        MSRPBGetMessageArray<MSRPBConsentDelegationEntry>(*consent, 1);
    ASSERT_EQ(delegations.size(), 1u);
    EXPECT_EQ(MSRPBGetInt32(delegations[0], 1), 1);
    std::vector<MSRPBCorePlatformServiceEntry> services =
        MSRPBGetMessageArray<MSRPBCorePlatformServiceEntry>(*consent, 2);
    ASSERT_EQ(services.size(), 2u);
    EXPECT_EQ(MSRPBGetString(services[1], 0), "a");
    EXPECT_TRUE(MSRPBGetBool(*consent, 3));
    EXPECT_EQ(MSRPBGetMessageArray<MSRPBConsentDefaultEntry>(*consent, 4).size(), 1u);

    // Schema defaults never reach the message: absent fields read as 0.
    std::optional<MSRPBPsmSetting> psm = MSRPBGetMessage<MSRPBPsmSetting>(*config, 13);
    ASSERT_TRUE(psm);
    EXPECT_EQ(MSRPBGetInt32(*psm, 0), 40);
    EXPECT_FALSE(MSRPBHasField(*psm, 1));
    EXPECT_EQ(MSRPBGetInt32(*psm, 1), 0);
    EXPECT_FALSE(MSRPBHasField(*psm, 2));
}

TEST(ServerMessages, ConfigurationAudiencesAndProgram)
{
    MSRPBMeasurementConfig config = *MSRPBMeasurementConfig::initWithBuffer(readFile(goldenPath("config.bin")));

    std::vector<MSRPBAudience> audiences = MSRPBGetMessageArray<MSRPBAudience>(config, 5);
    ASSERT_EQ(audiences.size(), 1u);
    EXPECT_EQ(MSRPBGetInt32(audiences[0], 0), 3);
    std::vector<MSRPBPropertyFilter> properties = MSRPBGetMessageArray<MSRPBPropertyFilter>(audiences[0], 1);
    ASSERT_EQ(properties.size(), 1u);
    // Dynamic, sequence, session scoped sit at 3, 4, 5 here and at 5, 6, 7 in event filters.
    EXPECT_TRUE(MSRPBGetBool(properties[0], 3));
    EXPECT_FALSE(MSRPBGetBool(properties[0], 4));
    EXPECT_TRUE(MSRPBGetBool(properties[0], 5));
    std::optional<MSRPBFilter> filter = MSRPBGetMessage<MSRPBFilter>(properties[0], 2);
    ASSERT_TRUE(filter);
    EXPECT_FALSE(MSRPBHasField(*filter, 1));
    std::optional<MSRPBStringFilter> text = MSRPBGetMessage<MSRPBStringFilter>(*filter, 0);
    ASSERT_TRUE(text);
    EXPECT_EQ(MSRPBGetInt32(*text, 0), 6);
    EXPECT_EQ(MSRPBGetArray(*text, 3), (std::vector<MSRPBValue>{std::string("exp"), std::string("log")}));

    std::vector<MSRPBEventFilter> eventFilters = MSRPBGetMessageArray<MSRPBEventFilter>(audiences[0], 2);
    ASSERT_EQ(eventFilters.size(), 1u);
    EXPECT_EQ(MSRPBGetString(eventFilters[0], 1), "kal_calculate");
    EXPECT_FALSE(MSRPBGetBool(eventFilters[0], 5));
    EXPECT_TRUE(MSRPBGetBool(eventFilters[0], 6));
    std::optional<MSRPBNumberFilter> count = MSRPBGetMessage<MSRPBNumberFilter>(eventFilters[0], 4);
    ASSERT_TRUE(count);
    EXPECT_EQ(MSRPBGetInt32(*count, 0), 2);
    EXPECT_EQ(MSRPBGetString(*count, 2), "5");
    std::vector<MSRPBFilter> params = MSRPBGetMessageArray<MSRPBFilter>(eventFilters[0], 2);
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(MSRPBGetString(params[0], 3), "steps");
    std::optional<MSRPBNumberFilter> between = MSRPBGetMessage<MSRPBNumberFilter>(params[0], 1);
    ASSERT_TRUE(between);
    EXPECT_EQ(MSRPBGetString(*between, 3), "1");
    EXPECT_EQ(MSRPBGetString(*between, 4), "3");

    std::vector<MSRPBProgram> programs = MSRPBGetMessageArray<MSRPBProgram>(config, 8);
    ASSERT_EQ(programs.size(), 1u);
    std::vector<MSRPBRuntimeEntity> statements = MSRPBGetMessageArray<MSRPBRuntimeEntity>(programs[0], 0);
    ASSERT_EQ(statements.size(), 1u);
    EXPECT_EQ(MSRPBGetInt32(statements[0], 0), 4);
    EXPECT_EQ(MSRPBGetString(statements[0], 2), "0");
    std::vector<MSRPBRuntimeEntity> arguments = MSRPBGetMessageArray<MSRPBRuntimeEntity>(statements[0], 1);
    ASSERT_EQ(arguments.size(), 3u);
    EXPECT_EQ(MSRPBGetString(arguments[0], 3), "rules");
    EXPECT_EQ(MSRPBGetDouble(arguments[1], 5), 2.5);
    EXPECT_TRUE(MSRPBGetBool(arguments[2], 4));
    std::optional<MSRPBEdtActivities> activities = MSRPBGetMessage<MSRPBEdtActivities>(programs[0], 1);
    ASSERT_TRUE(activities);
    std::vector<MSRPBEdtActivity> list = MSRPBGetMessageArray<MSRPBEdtActivity>(*activities, 0);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(MSRPBGetString(list[0], 0), "register");
    EXPECT_EQ(MSRPBGetMessageArray<MSRPBRuntimeEntity>(list[0], 1).size(), 1u);

    // A stored configuration carries no audiences: clearing them must leave
    // everything else as it was.
    MSRPBClearField(config, 5);
    std::optional<MSRPBMeasurementConfig> stored = MSRPBMeasurementConfig::initWithBuffer(*config.protoBuffer());
    ASSERT_TRUE(stored);
    EXPECT_TRUE(MSRPBGetMessageArray<MSRPBAudience>(*stored, 5).empty());
    EXPECT_EQ(MSRPBGetMessageArray<MSRPBProgram>(*stored, 8).size(), 1u);
}

TEST(ServerMessages, ExperimentAndConversionValueResponses)
{
    std::optional<MSRPBExperimentResponse> response =
        MSRPBExperimentResponse::initWithBuffer(readFile(goldenPath("experiment_response.bin")));
    ASSERT_TRUE(response);
    std::vector<MSRPBSnapshot> snapshots = MSRPBGetMessageArray<MSRPBSnapshot>(*response, 0);
    ASSERT_EQ(snapshots.size(), 1u);
    std::vector<MSRPBExperiment> experiments = MSRPBGetMessageArray<MSRPBExperiment>(snapshots[0], 1);
    ASSERT_EQ(experiments.size(), 2u);
    EXPECT_FALSE(MSRPBHasField(experiments[0], 0));
    EXPECT_EQ(MSRPBGetInt32(experiments[1], 0), 42);
    std::vector<MSRPBFlag> flags = MSRPBGetMessageArray<MSRPBFlag>(experiments[0], 1);
    ASSERT_EQ(flags.size(), 2u);
    EXPECT_EQ(MSRPBGetInt64(flags[1], 1), 5);
    EXPECT_EQ(MSRPBGetString(flags[1], 2), "b");
    std::vector<MSRPBSdkResponse> sdks = MSRPBGetMessageArray<MSRPBSdkResponse>(*response, 1);
    ASSERT_EQ(sdks.size(), 1u);
    EXPECT_EQ(MSRPBGetInt32(sdks[0], 1), 2);
    std::optional<MSRPBSnapshot> inner = MSRPBGetMessage<MSRPBSnapshot>(sdks[0], 2);
    ASSERT_TRUE(inner);
    EXPECT_EQ(MSRPBGetInt32(MSRPBGetMessageArray<MSRPBExperiment>(*inner, 1).at(0), 0), -1);

    std::optional<MSRPBSkAdNetworkConversionValueResponse> value =
        MSRPBSkAdNetworkConversionValueResponse::initWithBuffer(readFile(goldenPath("conversion_value_response.bin")));
    ASSERT_TRUE(value);
    EXPECT_EQ(MSRPBGetInt32(*value, 0), 1);
    EXPECT_EQ(MSRPBGetString(*value, 1), "m1");
    EXPECT_TRUE(MSRPBHasField(*value, 2));
    EXPECT_EQ(MSRPBGetInt32(*value, 2), 0);
    EXPECT_EQ(MSRPBGetInt32(*value, 3), 2);
    EXPECT_TRUE(MSRPBHasField(*value, 4));
    EXPECT_EQ(MSRPBGetInt64(*value, 6), 1699999999000);
    EXPECT_TRUE(MSRPBHasField(*value, 7));

    // An absent response type is told apart from 0.
    std::optional<MSRPBSkAdNetworkConversionValueResponse> empty =
        MSRPBSkAdNetworkConversionValueResponse::initWithBuffer({});
    ASSERT_TRUE(empty);
    EXPECT_FALSE(MSRPBHasField(*empty, 0));
}

}  // namespace
