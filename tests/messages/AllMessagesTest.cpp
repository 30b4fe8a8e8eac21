// Every one of the 42 messages, with every field set by index, survives our
// decoder and protoc alike, byte for byte: a field whose tag or type differs
// between our tables and the proto files shows up here.

#include <gtest/gtest.h>

#include "MessageTestSupport.h"

namespace {

// Sets every field the accessors can reach (all but single floats) to a value
// that differs from its zero; nested messages get their own fields filled
// down to `depth` levels.
NANOMessageBase filled(const MSRPBMessageType& type, int depth)
{
    NANOMessageBase message(type);
    for (uint32_t index = 0; index < type.fieldCount; ++index) {
        const MSRPBFieldSpec& field = type.fields[index];
        const uint32_t kind = field.word & ~(kMSRPBLabelSingle | kMSRPBLabelRepeated);
        const int32_t small = -static_cast<int32_t>(index) - 1;
        if (kind == kMSRPBKindMessage && depth == 0) continue;
        if (field.word & kMSRPBLabelRepeated) {
            if (kind == kMSRPBKindMessage) {
                const NANOMessageBase element = filled(MSRPBMessageTypeFor(field.element), depth - 1);
                const NANOMessageBase* elements[] = {&element, &element};
                MSRPBSetMessageArray(message, index, elements);
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
        case kMSRPBKindMessage: MSRPBSetMessage(message, index, filled(MSRPBMessageTypeFor(field.element), depth - 1));
        }
    }
    return message;
}

TEST(AllMessages, EveryFieldRoundTripsThroughOurDecoderAndProtoc)
{
    LogCapture log;
    EXPECT_EQ(MSRPBMessageTableProblems(), std::vector<std::string>{}) << "our tables against the generated ones";
    for (size_t i = 0; i < kMSRPBMessageCount; ++i) {
        const MSRPBMessageType& type = MSRPBMessageTypeFor(static_cast<MSRPBMessageID>(i));
        SCOPED_TRACE(type.name);
        const NANOMessageBase message = filled(type, 2);
        std::optional<Bytes> bytes = message.protoBuffer();
        ASSERT_TRUE(bytes && !bytes->empty());
        std::optional<NANOMessageBase> decoded = NANOMessageBase::initWithBuffer(type, *bytes);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->protoBuffer(), bytes);
        for (uint32_t index = 0; index < type.fieldCount; ++index) {
            EXPECT_EQ(MSRPBHasField(*decoded, index), MSRPBHasField(message, index)) << "field " << index;
        }
        if (!protocAvailable()) continue;
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

}  // namespace
