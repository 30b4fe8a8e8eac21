// Every one of the 42 messages, with every field set by index, survives our
// decoder and protoc alike, byte for byte: a field whose tag or type differs
// between our tables and the proto files shows up here.

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

}  // namespace
