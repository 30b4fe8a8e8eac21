// Decoding with repeated message fields kept encoded must end every input as
// the full decode ends it: the same success or failure with the same log
// lines, and where it succeeds the same message, whose kept elements read
// back as the full decode's trees.

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

TEST(KeptEncodedDecode, CornersEndAsInTheFullDecode) {
    using ID = MSRPBMessageID;
    const Bytes big(kNANOMaxDecodedFieldBytes + 1, 'x');
    const Bytes eventNamedA = lengthDelimited(0x12, {'a'});
    const Bytes tenByteMinusOne{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
    const struct {
        const char* label;
        ID id;
        Bytes bytes;
        bool decodes;
    } cases[] = {
        {"no elements", ID::Event, {}, true},
        {"elements between other fields", ID::Event,
         concat({lengthDelimited(0x0A, lengthDelimited(0x0A, {'p'})), eventNamedA, lengthDelimited(0x0A, {}),
                 lengthDelimited(0x0A, lengthDelimited(0x12, {'v'}))}),
         true},
        {"element given as fixed32 is read from its raw bytes", ID::EventParam, {0x35, 0x18, 0x05, 0x18, 0x07}, true},
        {"element given as a varint never decodes", ID::EventParam, {0x30, 0x88, 0x01}, false},
        {"element whose field fails", ID::EventParam, {0x32, 0x03, 0x32, 0x01, 0x00}, false},
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
        const MSRPBMessageType& type = MSRPBMessageTypeFor(c.id);
        const std::vector<uint32_t> kept = repeatedMessageFields(type);
        EXPECT_EQ(expectSameAsFullDecode(type, c.bytes, kept, c.label), c.decodes) << c.label;
    }
}

TEST(KeptEncodedDecode, OnlyTheNamedFieldsAreKeptAndCanonicalBytesComeBackUnchanged) {
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
// type that has repeated message fields, all of them kept.
TEST(KeptEncodedDecode, MutatedEncodingsEndAsInTheFullDecode) {
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (size_t id = 0; id < kMSRPBMessageCount; ++id) {
        const MSRPBMessageType& type = MSRPBMessageTypeFor(static_cast<MSRPBMessageID>(id));
        const std::vector<uint32_t> kept = repeatedMessageFields(type);
        if (kept.empty()) continue;
        NANOMessageInfoPtr info = NANOMessageInfoCreate(type);
        fill(*info, Profile{"", id + 1, "ab", 2}, 3);
        const Bytes encoded = *NANOMessageInfoEncode(*info);
        for (int round = 0; round < 400; ++round) {
            expectSameAsFullDecode(type, mutated(encoded, state, round), kept,
                                   std::string(type.name) + " mutation " + std::to_string(round));
            if (::testing::Test::HasFailure()) return;
        }
    }
}

}  // namespace
