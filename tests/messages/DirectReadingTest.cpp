// The direct reader must end every input as nanopb's decoder ends it: the same
// cells where it succeeds, failure with the same log lines where it fails.
// Hand-made inputs aim at the decoder's corners; mutated encodings of filled
// messages of every type cover the rest.

#include <gtest/gtest.h>

#include "MessageTestSupport.h"

namespace {

// Whether the reader succeeded, for the tests that also check the outcome.
bool expectSameOutcome(MSRPBMessageID id, const Bytes& bytes, const std::string& label) {
    return expectSameDecode(NANOMessageInfoDecodeWithNanopb, NANOMessageInfoDecode, MSRPBMessageTypeFor(id), bytes,
                            label)
        .ok;
}

TEST(DirectReading, CornersEndAsInNanopb) {
    using ID = MSRPBMessageID;
    const Bytes tenByteMinusOne{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
    auto field = [](Bytes key, const Bytes& value) {
        key.insert(key.end(), value.begin(), value.end());
        return key;
    };
    const struct {
        const char* label;
        ID id;
        Bytes bytes;
        bool decodes;
    } cases[] = {
        {"empty input", ID::Filter, {}, true},
        {"zero tag", ID::Filter, {0x00}, false},
        {"unknown tags of each wire type are skipped",
         ID::Setting,
         {0x48, 0x96, 0x01, 0x51, 1, 2, 3, 4, 5, 6, 7, 8, 0x5A, 0x02, 'a', 'b', 0x65, 1, 2, 3, 4},
         true},
        {"unknown tag of a group wire type", ID::Setting, {0x4B}, false},
        {"truncated varint", ID::StringFilter, {0x08, 0x80}, false},
        {"length past the end", ID::Setting, {0x0A, 0x05, 'a'}, false},
        {"tag as an overlong varint", ID::Setting, {0x8A, 0x80, 0x80, 0x80, 0x00, 0x01, 'a'}, true},
        {"tag varint past 32 bits", ID::Setting, {0x8A, 0x80, 0x80, 0x80, 0x10, 0x01, 'a'}, false},
        {"bool as a sign-extended ten-byte varint", ID::StringFilter, field({0x18}, tenByteMinusOne), true},
        {"bool past 32 bits", ID::StringFilter, {0x18, 0x80, 0x80, 0x80, 0x80, 0x10}, false},
        {"bool of value two", ID::StringFilter, {0x18, 0x02}, true},
        {"uint32 of 2^32", ID::StringFilter, {0x08, 0x80, 0x80, 0x80, 0x80, 0x10}, false},
        {"uint32 of 2^32 - 1", ID::StringFilter, {0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, true},
        {"negative int32", ID::DynamicFilterResultTimestamp, field({0x08}, tenByteMinusOne), true},
        {"int64 varint of eleven bytes",
         ID::EventParam,
         {0x18, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01},
         false},
        {"double given as a varint", ID::EventParam, {0x29, 1, 2, 3, 4, 5, 6, 7, 8, 0x28, 0x01}, false},
        {"float and double",
         ID::EventParam,
         {0x25, 0, 0, 0x80, 0x3F, 0x29, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F},
         true},
        {"scalar repeated: last wins", ID::EventParam, {0x18, 0x01, 0x18, 0x02}, true},
        {"string repeated: first wins", ID::Setting, {0x0A, 0x01, 'a', 0x0A, 0x01, 'b'}, true},
        {"string given as a varint takes its raw bytes", ID::Setting, {0x08, 0x96, 0x01}, true},
        {"string given as fixed32", ID::Setting, {0x0D, 'a', 'b', 'c', 'd'}, true},
        {"string given as a varint of eleven bytes",
         ID::Setting,
         {0x08, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01},
         false},
        {"element given as fixed32 is read from its raw bytes",
         ID::EventParam,
         {0x35, 0x18, 0x05, 0x18, 0x07},
         true},
        {"element given as a varint never decodes", ID::EventParam, {0x30, 0x88, 0x01}, false},
        {"packed repeated uint64", ID::ResultData, {0x0A, 0x04, 0x01, 0x96, 0x01, 0x7F, 0x08, 0x05}, true},
        {"packed repeated uint64 cut short", ID::ResultData, {0x0A, 0x02, 0x01, 0x96}, false},
        {"repeated uint64 given as fixed64", ID::ResultData, {0x09, 0x81, 0x01, 0, 0, 0, 0, 0, 0x80}, true},
        {"repeated string and an empty one", ID::StringFilter, {0x22, 0x01, 'x', 0x22, 0x00}, true},
        {"nested message twice merges",
         ID::Filter,
         {0x0A, 0x04, 0x08, 0x01, 0x12, 0x00, 0x0A, 0x06, 0x12, 0x01, 'z', 0x22, 0x01, 'y', 0x18, 0x01},
         true},
        {"nested message with a bad field", ID::Filter, {0x0A, 0x02, 0x08, 0x80}, false},
        {"nested message given as a varint", ID::Filter, {0x08, 0x01}, false},
        {"element whose field fails", ID::EventParam, {0x32, 0x03, 0x32, 0x01, 0x00}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(expectSameOutcome(c.id, c.bytes, c.label), c.decodes) << c.label;
    }
}

// Flips, inserts, deletes and cuts bytes of an encoding of every message
// type; whatever comes of it, both decoders must agree.
TEST(DirectReading, MutatedEncodingsEndAsInNanopb) {
    uint64_t state = 0x2545F4914F6CDD1Dull;
    for (size_t id = 0; id < kMSRPBMessageCount; ++id) {
        const MSRPBMessageType& type = MSRPBMessageTypeFor(static_cast<MSRPBMessageID>(id));
        NANOMessageInfoPtr info = NANOMessageInfoCreate(type);
        fill(*info, Profile{"", id + 1, "ab", 2}, 2);
        const Bytes encoded = *NANOMessageInfoEncode(*info);
        const std::string name = type.name;
        ASSERT_TRUE(expectSameOutcome(type.id, encoded, name + " as encoded"));
        if (encoded.empty()) continue;
        for (int round = 0; round < 300; ++round) {
            expectSameOutcome(type.id, mutated(encoded, state, round), name + " mutation " + std::to_string(round));
            if (::testing::Test::HasFailure()) return;
        }
    }
}

}  // namespace
