// Every one of the 42 messages, with every field set by index, survives our
// decoder and protoc alike, byte for byte.

#include <gtest/gtest.h>

#include <set>

#include "MessageTestSupport.h"
#include "analytics/messages/MSRPBMessages.h"

namespace {

std::string protoFileOf(const MSRPBMessageType& type)
{
    static const std::set<std::string> experiment{"ExperimentRequest", "AppProperty", "ClientProperty",
                                                  "CustomProperty", "ExperimentResponse", "SdkResponse",
                                                  "Snapshot", "Experiment", "Flag"};
    static const std::set<std::string> measurement{"MeasurementBatch", "MeasurementBundle", "Event", "EventParam",
                                                   "UserAttribute", "AdCampaignInfo", "AudienceLeafFilterResult",
                                                   "ResultData", "DynamicFilterResultTimestamp",
                                                   "SequenceFilterResultTimestamp",
                                                   "SkAdNetworkConversionValueRequest",
                                                   "SkAdNetworkConversionValueResponse"};
    if (experiment.count(type.name)) return "experiment.proto";
    if (measurement.count(type.name)) return "measurement.proto";
    return "config.proto";
}

// Sets every field the accessors can reach (all but single floats) to a value
// that differs from its zero; nested messages get their own fields filled
// down to `depth` levels.
NANOMessageBase filled(const MSRPBMessageType& type, int depth)
{
    NANOMessageBase message(type);
    for (uint32_t index = 0; index < type.fieldCount; ++index) {
        const MSRPBFieldSpec& field = type.field(index);
        const uint32_t kind = field.word & ~(kMSRPBLabelSingle | kMSRPBLabelRepeated);
        const int32_t small = -static_cast<int32_t>(index) - 1;
        if (field.word & kMSRPBLabelRepeated) {
            if (kind == kMSRPBKindMessage) {
                if (depth == 0) continue;
                NANOMessageBase element = filled(MSRPBMessageTypeFor(field.element), depth - 1);
                std::vector<const NANOMessageBase*> elements{&element, &element};
                MSRPBSetMessageArray(message, index, std::span<const NANOMessageBase* const>(elements));
            } else if (kind == kMSRPBKindString) {
                MSRPBSetArray(message, index, {std::string("first"), std::string()});
            } else {
                MSRPBSetArray(message, index, {int64_t{0}, int64_t{small}, int64_t{1} << 40});
            }
            continue;
        }
        switch (kind) {
        case kMSRPBKindBool: MSRPBSetBool(message, index, index % 2 == 0); break;
        case kMSRPBKindEnum: MSRPBSetInt32(message, index, static_cast<int32_t>(index) + 1); break;
        case kMSRPBKindInt32: MSRPBSetInt32(message, index, small); break;
        case kMSRPBKindInt64: MSRPBSetInt64(message, index, int64_t{small} * 1000000000000); break;
        case kMSRPBKindDouble: MSRPBSetDouble(message, index, small / 3.0); break;
        case kMSRPBKindString: MSRPBSetString(message, index, "f" + std::to_string(index) + " \xC3\xA4"); break;
        case kMSRPBKindMessage:
            if (depth > 0) MSRPBSetMessage(message, index, filled(MSRPBMessageTypeFor(field.element), depth - 1));
            break;
        default: break;
        }
    }
    return message;
}

TEST(AllMessages, EveryFieldRoundTripsThroughOurDecoderAndProtoc)
{
    for (size_t i = 0; i < kMSRPBMessageCount; ++i) {
        const MSRPBMessageType& type = MSRPBMessageTypeFor(static_cast<MSRPBMessageID>(i));
        SCOPED_TRACE(type.name);
        LogCapture log;
        const NANOMessageBase message = filled(type, 2);
        EXPECT_TRUE(log.lines().empty()) << log.lines().front();
        std::optional<std::vector<uint8_t>> bytes = message.protoBuffer();
        ASSERT_TRUE(bytes);
        ASSERT_FALSE(bytes->empty());

        std::optional<NANOMessageBase> decoded = NANOMessageBase::initWithBuffer(type, *bytes);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->protoBuffer(), bytes);
        for (uint32_t index = 0; index < type.fieldCount; ++index) {
            EXPECT_EQ(MSRPBHasField(*decoded, index), MSRPBHasField(message, index)) << "field " << index;
        }

        if (!protocAvailable()) continue;
        std::optional<std::string> text = protocDecode(protoFileOf(type), type.name, *bytes);
        ASSERT_TRUE(text);
        EXPECT_EQ(protocEncode(protoFileOf(type), type.name, *text), bytes);
    }
}

}  // namespace
