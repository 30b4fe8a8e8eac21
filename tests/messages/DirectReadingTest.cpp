// Every decoder must end every input as the reference ends it: the same cells
// where it succeeds, failure with the same log lines where it fails. The
// direct reader is held to nanopb's decoder, and the decode that keeps
// repeated message fields encoded to the full decode, whose trees its kept
// elements must read back as. Hand-made inputs aim at the corners; mutated
// encodings of filled messages of every type cover the rest.

#include <gtest/gtest.h>

#include "MessageTestSupport.h"

namespace {

// Whether the kept decode succeeded.
bool expectSameAsFullDecode(const MSRPBMessageType& type, const Bytes& bytes, std::span<const uint32_t> kept,
                            const std::string& label) {
    auto keeping = [&](NANOMessageInfo& info, const uint8_t* data, size_t size) {
        return NANOMessageInfoDecodeKeepingEncoded(info, data, size, kept);
    };
    const DecodeOutcome partial = expectSameDecode(NANOMessageInfoDecode, keeping, type, bytes, label);
    if (!partial.ok) return false;
    for (uint32_t index : repeatedMessageFields(type)) {
        // A kept field with elements holds them encoded; the others as trees.
        const NANOCell& cell = partial.info->fields[index];
        const bool isKept = std::find(kept.begin(), kept.end(), index) != kept.end();
        const auto* trees = std::get_if<std::vector<NANOMessageInfoPtr>>(&cell);
        EXPECT_TRUE(trees ? !isKept || trees->empty() : isKept) << label << " field " << index;
    }
    // The kept form encodes to bytes that decode to the same message.
    std::optional<Bytes> again = NANOMessageInfoEncode(*partial.info);
    NANOMessageInfoPtr reread = NANOMessageInfoCreate(type);
    EXPECT_TRUE(again && NANOMessageInfoDecode(*reread, again->data(), again->size())) << label;
    EXPECT_TRUE(NANOMessageInfoEquals(*reread, *partial.info)) << label;
    return true;
}

// EventParams nested `levels` deep through their repeated field 6 (key 0x32).
Bytes nestedParams(int levels) {
    Bytes inner;
    for (int i = 0; i < levels; ++i) inner = lengthDelimited(0x32, inner);
    return inner;
}

// Holds both decoders to their references, keeping every repeated message
// field; whether the direct reader succeeded.
bool expectSameOutcome(MSRPBMessageID id, const Bytes& bytes, const std::string& label) {
    const MSRPBMessageType& type = MSRPBMessageTypeFor(id);
    const bool ok = expectSameDecode(NANOMessageInfoDecodeWithNanopb, NANOMessageInfoDecode, type, bytes, label).ok;
    const std::vector<uint32_t> kept = repeatedMessageFields(type);
    EXPECT_EQ(expectSameAsFullDecode(type, bytes, kept, label), ok) << label;
    return ok;
}

TEST(DirectReading, CornersEndAsTheReferencesEndThem) {
    using ID = MSRPBMessageID;
    const Bytes tenByteMinusOne{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
    const Bytes big(kNANOMaxDecodedFieldBytes + 1, 'x');
    const Bytes eventNamedA = lengthDelimited(0x12, {'a'});
    auto field = [](Bytes key, const Bytes& value) { return concat({key, value}); };
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
        {"no elements", ID::Event, {}, true},
        {"elements between other fields", ID::Event,
         concat({lengthDelimited(0x0A, lengthDelimited(0x0A, {'p'})), eventNamedA, lengthDelimited(0x0A, {}),
                 lengthDelimited(0x0A, lengthDelimited(0x12, {'v'}))}),
         true},
        {"element with a wrong wire type deep inside", ID::Event,
         lengthDelimited(0x0A, lengthDelimited(0x32, lengthDelimited(0x32, {0x19, 0x01}))), false},
        {"element cut short", ID::Event, {0x0A, 0x05, 0x0A, 0x01}, false},
        {"negative integer in ten bytes", ID::Event, lengthDelimited(0x0A, concat({{0x18}, tenByteMinusOne})), true},
        {"integer of ten bytes past 64 bits", ID::Event,
         lengthDelimited(0x0A, {0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}), false},
        {"integer of eleven bytes", ID::Event,
         lengthDelimited(0x0A, {0x18, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}), false},
        {"unknown field inside an element", ID::Event, lengthDelimited(0x0A, {0x48, 0x96, 0x01, 0x0A, 0x01, 'n'}), true},
        {"element with a zero tag", ID::Event, lengthDelimited(0x0A, {0x00}), false},
        {"nesting at the limit", ID::EventParam, nestedParams(kNANOMaxNestingDepth), true},
        {"nesting past the limit", ID::EventParam, nestedParams(kNANOMaxNestingDepth + 1), false},
        {"element with a text over the limit", ID::Event, lengthDelimited(0x0A, lengthDelimited(0x0A, big)), false},
        {"element with a text over the limit after a first one, which wins", ID::Event,
         lengthDelimited(0x0A, concat({lengthDelimited(0x0A, {'n'}), lengthDelimited(0x0A, big)})), true},
        {"bundle with events and attributes", ID::MeasurementBundle,
         concat({{0x08, 0x01}, lengthDelimited(0x12, eventNamedA), lengthDelimited(0x1A, lengthDelimited(0x12, {'u'})),
                 lengthDelimited(0x12, {})}),
         true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(expectSameOutcome(c.id, c.bytes, c.label), c.decodes) << c.label;
    }
}

TEST(DirectReading, KeptDecodeKeepsOnlyTheNamedFieldsAndCanonicalBytesComeBackUnchanged) {
    for (size_t id = 0; id < kMSRPBMessageCount; ++id) {
        const MSRPBMessageType& type = MSRPBMessageTypeFor(static_cast<MSRPBMessageID>(id));
        const std::vector<uint32_t> fields = repeatedMessageFields(type);
        if (fields.empty()) continue;
        NANOMessageInfoPtr info = NANOMessageInfoCreate(type);
        fill(*info, Profile{"", id + 7, "text", 3}, 3);
        const Bytes encoded = *NANOMessageInfoEncode(*info);
        // Each field alone, then all of them, then an index that is no such field.
        std::vector<std::vector<uint32_t>> choices;
        for (uint32_t index : fields) choices.push_back({index});
        choices.push_back(fields);
        choices.push_back({type.fieldCount + 3});
        for (const std::vector<uint32_t>& kept : choices) {
            const std::string label = std::string(type.name) + " keeping " + std::to_string(kept.front());
            ASSERT_TRUE(expectSameAsFullDecode(type, encoded, kept, label));
            std::optional<NANOMessageBase> message = NANOMessageBase::initWithBufferKeepingEncoded(type, encoded, kept);
            ASSERT_TRUE(message) << label;
            EXPECT_EQ(message->protoBuffer(), encoded) << label;
        }
    }
}

// Flips, inserts, deletes and cuts bytes of an encoding of every message
// type; whatever comes of it, each decoder must agree with its reference.
TEST(DirectReading, MutatedEncodingsEndAsTheReferencesEndThem) {
    uint64_t state = 0x2545F4914F6CDD1Dull;
    for (size_t id = 0; id < kMSRPBMessageCount; ++id) {
        const MSRPBMessageType& type = MSRPBMessageTypeFor(static_cast<MSRPBMessageID>(id));
        NANOMessageInfoPtr info = NANOMessageInfoCreate(type);
        fill(*info, Profile{"", id + 1, "ab", 2}, 3);
        const Bytes encoded = *NANOMessageInfoEncode(*info);
        const std::string name = type.name;
        ASSERT_TRUE(expectSameOutcome(type.id, encoded, name + " as encoded"));
        if (encoded.empty()) continue;
        for (int round = 0; round < 400; ++round) {
            expectSameOutcome(type.id, mutated(encoded, state, round), name + " mutation " + std::to_string(round));
            if (::testing::Test::HasFailure()) return;
        }
    }
}

}  // namespace
