// The message runtime: field access by index with its checks, the decoding
// limits and the wire rules every message shares.

#include <gtest/gtest.h>

#include <functional>

#include "MessageTestSupport.h"
#include "analytics/messages/MSRPBMessages.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes lengthDelimited(uint8_t key, const Bytes& payload)
{
    Bytes out{key};
    size_t length = payload.size();
    do {
        uint8_t byte = length & 0x7F;
        length >>= 7;
        out.push_back(static_cast<uint8_t>(byte | (length ? 0x80 : 0)));
    } while (length);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

TEST(MessageTables, MatchTheGeneratedNanopbTables)
{
    EXPECT_EQ(MSRPBMessageTableProblems(), std::vector<std::string>{});
    for (size_t i = 0; i < kMSRPBMessageCount; ++i) {
        const MSRPBMessageType& type = MSRPBMessageTypeFor(static_cast<MSRPBMessageID>(i));
        EXPECT_EQ(MSRPBMessageTypeNamed(type.name), &type);
    }
    EXPECT_EQ(MSRPBMessageTypeFor(MSRPBMessageID::MeasurementBundle).fieldCount, 53u);
    EXPECT_EQ(MSRPBMessageTypeNamed("NoSuchMessage"), nullptr);
}

// Field indices at or beyond the count used to address memory past the
// message's tables; every accessor now refuses them.
TEST(FieldChecks, IndexBeyondTheFieldCountIsRefused)
{
    struct Case {
        const char* name;
        std::function<bool(MSRPBEvent&, uint32_t)> neutral;  // true when the neutral answer came back
    };
    const Case cases[] = {
        {"HasField", [](MSRPBEvent& e, uint32_t i) { return !MSRPBHasField(e, i); }},
        {"GetBool", [](MSRPBEvent& e, uint32_t i) { return !MSRPBGetBool(e, i); }},
        {"GetInt32", [](MSRPBEvent& e, uint32_t i) { return MSRPBGetInt32(e, i) == 0; }},
        {"GetInt64", [](MSRPBEvent& e, uint32_t i) { return MSRPBGetInt64(e, i) == 0; }},
        {"GetDouble", [](MSRPBEvent& e, uint32_t i) { return MSRPBGetDouble(e, i) == 0.0; }},
        {"GetString", [](MSRPBEvent& e, uint32_t i) { return !MSRPBGetString(e, i); }},
        {"GetMessage", [](MSRPBEvent& e, uint32_t i) { return !MSRPBGetMessage<MSRPBEventParam>(e, i); }},
        {"GetArray", [](MSRPBEvent& e, uint32_t i) { return MSRPBGetArray(e, i).empty(); }},
        {"GetMessageArray", [](MSRPBEvent& e, uint32_t i) { return MSRPBGetMessageArray<MSRPBEventParam>(e, i).empty(); }},
        {"ClearField", [](MSRPBEvent& e, uint32_t i) { MSRPBClearField(e, i); return true; }},
        {"SetBool", [](MSRPBEvent& e, uint32_t i) { MSRPBSetBool(e, i, true); return true; }},
        {"SetInt32", [](MSRPBEvent& e, uint32_t i) { MSRPBSetInt32(e, i, 1); return true; }},
        {"SetInt64", [](MSRPBEvent& e, uint32_t i) { MSRPBSetInt64(e, i, 1); return true; }},
        {"SetDouble", [](MSRPBEvent& e, uint32_t i) { MSRPBSetDouble(e, i, 1); return true; }},
        {"SetString", [](MSRPBEvent& e, uint32_t i) { MSRPBSetString(e, i, "x"); return true; }},
        {"SetMessage", [](MSRPBEvent& e, uint32_t i) { MSRPBSetMessage(e, i, MSRPBEventParam()); return true; }},
        {"SetArray", [](MSRPBEvent& e, uint32_t i) { MSRPBSetArray(e, i, {int64_t{1}}); return true; }},
        {"SetMessageArray", [](MSRPBEvent& e, uint32_t i) {
             MSRPBSetMessageArray(e, i, std::vector<MSRPBEventParam>(1));
             return true;
         }},
    };
    for (const Case& c : cases) {
        for (uint32_t index : {5u, 6u, 0xFFFFFFFFu}) {
            SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(index));
            LogCapture log;
            MSRPBEvent event;
            MSRPBSetString(event, 1, "e");
            const Bytes before = *event.protoBuffer();
            EXPECT_TRUE(c.neutral(event, index));
            EXPECT_EQ(*event.protoBuffer(), before);
            EXPECT_TRUE(log.contains("beyond the 5 fields of message Event"));
        }
    }
}

// A nested message of another type than the field declares used to be stored
// and then encoded through the wrong field table.
TEST(FieldChecks, SubMessageOfAnotherTypeIsRefused)
{
    LogCapture log;
    MSRPBAdCampaignInfo campaign;
    MSRPBSetString(campaign, 0, "click");
    MSRPBMeasurementBundle bundle;
    MSRPBSetMessage(bundle, 52, campaign);
    MSRPBEvent event;
    MSRPBSetString(event, 1, "_s");
    MSRPBSetMessageArray(bundle, 1, std::vector<MSRPBEvent>{event});
    const Bytes before = *bundle.protoBuffer();

    MSRPBSetMessage(bundle, 52, event);
    EXPECT_TRUE(log.contains("holds AdCampaignInfo, not Event"));
    EXPECT_EQ(*bundle.protoBuffer(), before) << "a refused SetMessage leaves the message unchanged";
    EXPECT_FALSE(MSRPBGetMessage<MSRPBEvent>(bundle, 52));
    EXPECT_TRUE(MSRPBGetMessage<MSRPBAdCampaignInfo>(bundle, 52));
    EXPECT_TRUE(MSRPBGetMessageArray<MSRPBUserAttribute>(bundle, 1).empty());

    log.clear();
    MSRPBSetMessageArray(bundle, 1, std::vector<MSRPBUserAttribute>(2));
    EXPECT_TRUE(log.contains("holds Event, not UserAttribute"));
    EXPECT_TRUE(MSRPBGetMessageArray<MSRPBEvent>(bundle, 1).empty()) << "all or nothing: the field ends empty";

    // A single wrong element among right ones empties the field as well.
    std::vector<const NANOMessageBase*> mixed{&event, &campaign};
    MSRPBSetMessageArray(bundle, 1, std::span<const NANOMessageBase* const>(mixed));
    EXPECT_TRUE(MSRPBGetMessageArray<MSRPBEvent>(bundle, 1).empty());

    // Taking a decoded message over as another wrapper type is refused too.
    MSRPBEventParam taken{NANOMessageBase(event)};
    EXPECT_EQ(taken.messageInfo(), nullptr);
    EXPECT_FALSE(MSRPBHasField(taken, 0));
    EXPECT_TRUE(log.contains("hasn't been initialized"));
}

// A Program whose first statement nests `levels` RuntimeEntity messages, the
// statement itself being level 1 below the program; written by hand because
// our encoder refuses to write what the decoder would refuse to read.
Bytes programNesting(int levels)
{
    Bytes entity{0x08, 0x01};
    for (int level = 1; level < levels; ++level) {
        Bytes parent{0x08, 0x04};
        const Bytes child = lengthDelimited(0x12, entity);
        parent.insert(parent.end(), child.begin(), child.end());
        entity = std::move(parent);
    }
    return lengthDelimited(0x0A, entity);
}

MSRPBProgram builtProgramNesting(int levels)
{
    MSRPBRuntimeEntity entity;
    MSRPBSetInt32(entity, 0, 1);
    for (int level = 1; level < levels; ++level) {
        MSRPBRuntimeEntity parent;
        MSRPBSetInt32(parent, 0, 4);
        MSRPBSetMessageArray(parent, 1, std::vector<MSRPBRuntimeEntity>{entity});
        entity = std::move(parent);
    }
    MSRPBProgram program;
    MSRPBSetMessageArray(program, 0, std::vector<MSRPBRuntimeEntity>{entity});
    return program;
}

// Nested entities and parameters used to decode to any depth, so a hostile
// server message could exhaust the stack.
TEST(Decoding, NestingIsCappedAtSixtyFourLevels)
{
    LogCapture log;
    std::optional<MSRPBProgram> deepest = MSRPBProgram::initWithBuffer(programNesting(kNANOMaxNestingDepth));
    ASSERT_TRUE(deepest);
    EXPECT_EQ(deepest->protoBuffer(), programNesting(kNANOMaxNestingDepth));
    EXPECT_EQ(builtProgramNesting(kNANOMaxNestingDepth).protoBuffer(), programNesting(kNANOMaxNestingDepth));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(MSRPBProgram::initWithBuffer(programNesting(kNANOMaxNestingDepth + 1)));
    EXPECT_TRUE(log.contains("decoder failed: nesting deeper than 64 levels"));
    // Nor is such a tree written: it could not be read back.
    EXPECT_FALSE(builtProgramNesting(kNANOMaxNestingDepth + 1).protoBuffer());
    EXPECT_TRUE(log.contains("encoder failed: nesting deeper than 64 levels"));

    // Hand-made input far deeper than any builder would produce: tag 6 of
    // EventParam (its nested parameters) wrapped 200,000 times.
    // Written outside-in from the precomputed lengths of each level.
    std::vector<size_t> lengths{0};
    for (int level = 0; level < 200000; ++level) {
        const size_t inner = lengths.back();
        size_t header = 2;
        for (size_t rest = inner >> 7; rest != 0; rest >>= 7) ++header;
        lengths.push_back(inner + header);
    }
    Bytes deep;
    deep.reserve(lengths.back());
    for (size_t level = lengths.size() - 1; level > 0; --level) {
        size_t length = lengths[level - 1];
        deep.push_back(0x32);
        do {
            uint8_t byte = length & 0x7F;
            length >>= 7;
            deep.push_back(static_cast<uint8_t>(byte | (length ? 0x80 : 0)));
        } while (length);
    }
    ASSERT_EQ(deep.size(), lengths.back());
    EXPECT_FALSE(MSRPBEventParam::initWithBuffer(deep));
}

TEST(Decoding, StringFieldLimitsAndRepeats)
{
    LogCapture log;
    const Bytes first = lengthDelimited(0x0A, Bytes{'a'});
    Bytes twice = first;
    const Bytes second = lengthDelimited(0x0A, Bytes{'b'});
    twice.insert(twice.end(), second.begin(), second.end());
    std::optional<MSRPBSetting> setting = MSRPBSetting::initWithBuffer(twice);
    ASSERT_TRUE(setting);
    EXPECT_EQ(MSRPBGetString(*setting, 0), "a") << "the first occurrence of a string field is kept";

    const Bytes atLimit = lengthDelimited(0x0A, Bytes(kNANOMaxDecodedFieldBytes, 'x'));
    std::optional<MSRPBSetting> large = MSRPBSetting::initWithBuffer(atLimit);
    ASSERT_TRUE(large);
    EXPECT_EQ(MSRPBGetString(*large, 0)->size(), kNANOMaxDecodedFieldBytes);
    EXPECT_TRUE(log.lines().empty());

    EXPECT_FALSE(MSRPBSetting::initWithBuffer(lengthDelimited(0x0A, Bytes(kNANOMaxDecodedFieldBytes + 1, 'x'))));
    EXPECT_TRUE(log.contains("Buffer is too big. 1048577 > 1048576"));
    // The same limit holds for each element of a repeated string field.
    EXPECT_FALSE(MSRPBStringFilter::initWithBuffer(lengthDelimited(0x22, Bytes(kNANOMaxDecodedFieldBytes + 1, 'x'))));
}

TEST(Decoding, MalformedInputIsRefused)
{
    const struct {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"truncated varint", {0x08, 0x80}},
        {"length beyond the input", {0x0A, 0x05, 'a'}},
        {"nested message beyond the input", {0x0A, 0x04, 0x0A, 0x10}},
        {"overlong varint", {0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
        {"invalid wire type", {0x0F}},
        {"field number zero", {0x00, 0x01}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        EXPECT_FALSE(MSRPBExperimentResponse::initWithBuffer(c.bytes));
        EXPECT_FALSE(log.lines().empty());
    }
}

TEST(Decoding, PackedAndUnpackedVarintsBothRead)
{
    // ResultData.status as one packed run (1, 300) followed by an unpacked 7.
    const Bytes bytes{0x0A, 0x03, 0x01, 0xAC, 0x02, 0x08, 0x07};
    std::optional<MSRPBResultData> data = MSRPBResultData::initWithBuffer(bytes);
    ASSERT_TRUE(data);
    EXPECT_EQ(MSRPBGetArray(*data, 0), (std::vector<MSRPBValue>{uint64_t{1}, uint64_t{300}, uint64_t{7}}));
    // Written back one tag per element.
    EXPECT_EQ(*data->protoBuffer(), (Bytes{0x08, 0x01, 0x08, 0xAC, 0x02, 0x08, 0x07}));
}

TEST(Encoding, FieldsGoOutInTagOrderWhateverTheirIndex)
{
    const struct {
        const char* name;
        std::function<void(MSRPBMeasurementBundle&)> fill;
        Bytes expected;
    } cases[] = {
        {"start and end", [](auto& b) { MSRPBSetInt64(b, 4, 1); MSRPBSetInt64(b, 5, 2); }, {0x28, 0x01, 0x30, 0x02}},
        {"previous start (tag 26) after previous end (tag 7)",
         [](auto& b) { MSRPBSetInt64(b, 6, 3); MSRPBSetInt64(b, 7, 4); }, {0x38, 0x04, 0xD0, 0x01, 0x03}},
        {"zero values are present", [](auto& b) { MSRPBSetInt32(b, 0, 0); MSRPBSetBool(b, 21, false); },
         {0x08, 0x00, 0xA0, 0x01, 0x00}},
        {"negative int32 sign-extended", [](auto& b) { MSRPBSetInt32(b, 12, -1); },
         {0x60, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
        {"empty repeated field writes nothing", [](auto& b) { MSRPBSetArray(b, 44, {}); }, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MSRPBMeasurementBundle bundle;
        c.fill(bundle);
        EXPECT_EQ(bundle.protoBuffer(), c.expected);
    }
}

TEST(Accessors, KindChecksAndPresence)
{
    LogCapture log;
    MSRPBEventParam param;
    EXPECT_TRUE(MSRPBHasField(param, 5)) << "repeated fields are always present";
    EXPECT_EQ(MSRPBGetDouble(param, 3), 0.0) << "float is not a double";
    EXPECT_TRUE(log.contains("Field type isn't a scalar DOUBLE. Message: EventParam, field ID: 3"));
    log.clear();
    MSRPBSetInt64(param, 0, 5);
    EXPECT_FALSE(MSRPBHasField(param, 0));
    EXPECT_TRUE(log.contains("isn't a scalar INT64"));

    MSRPBSkAdNetworkConversionValueResponse response;
    MSRPBSetInt32(response, 3, 2);  // enum
    EXPECT_EQ(MSRPBGetInt32(response, 3), 2);

    MSRPBSetString(param, 0, "name");
    EXPECT_TRUE(MSRPBHasField(param, 0));
    MSRPBSetString(param, 0, std::nullopt);
    EXPECT_FALSE(MSRPBHasField(param, 0));

    // Text that is not UTF-8 is kept and encoded but not handed out as a string.
    MSRPBSetString(param, 1, std::string("\xC3\x28", 2));
    EXPECT_TRUE(MSRPBHasField(param, 1));
    EXPECT_FALSE(MSRPBGetString(param, 1));
    EXPECT_EQ(param.protoBuffer(), (Bytes{0x12, 0x02, 0xC3, 0x28}));
}

TEST(Accessors, SetArrayIsAllOrNothing)
{
    LogCapture log;
    MSRPBStringFilter filter;
    MSRPBSetArray(filter, 3, {std::string("a"), std::string("b"), int64_t{3}});
    EXPECT_TRUE(MSRPBGetArray(filter, 3).empty());
    EXPECT_TRUE(log.contains("String fields expect text"));

    MSRPBSetArray(filter, 3, {std::string("a"), std::string("b")});
    EXPECT_EQ(MSRPBGetArray(filter, 3).size(), 2u);
    MSRPBSetArray(filter, 3, {});
    EXPECT_TRUE(MSRPBHasField(filter, 3));
    EXPECT_TRUE(MSRPBGetArray(filter, 3).empty());

    MSRPBResultData data;
    MSRPBSetArray(data, 0, {int32_t{1}, uint64_t{2}, std::string("3")});
    EXPECT_TRUE(MSRPBGetArray(data, 0).empty());
    MSRPBSetArray(data, 0, {int32_t{1}, true, 2.0});
    EXPECT_EQ(MSRPBGetArray(data, 0), (std::vector<MSRPBValue>{uint64_t{1}, uint64_t{1}, uint64_t{2}}));
}

TEST(Wrappers, CopiesAreDeepAndEmptyMessagesEncodeToNothing)
{
    MSRPBEvent event;
    MSRPBEventParam param;
    MSRPBSetString(param, 0, "p");
    MSRPBSetMessageArray(event, 0, std::vector<MSRPBEventParam>{param});
    MSRPBSetString(param, 0, "changed");
    EXPECT_EQ(MSRPBGetString(MSRPBGetMessageArray<MSRPBEventParam>(event, 0).at(0), 0), "p");

    MSRPBEvent copy = event;
    MSRPBSetString(copy, 1, "copy");
    EXPECT_FALSE(MSRPBHasField(event, 1));

    std::optional<MSRPBEvent> fromInfo = MSRPBEvent::initWithMessageInfo(event.messageInfo());
    ASSERT_TRUE(fromInfo);
    EXPECT_EQ(fromInfo->protoBuffer(), event.protoBuffer());
    EXPECT_FALSE(MSRPBEventParam::initWithMessageInfo(event.messageInfo()));

    std::optional<MSRPBMeasurementBatch> empty = MSRPBMeasurementBatch::initWithBuffer({});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(MSRPBHasField(*empty, 0));
    EXPECT_TRUE(MSRPBGetMessageArray<MSRPBMeasurementBundle>(*empty, 0).empty());
    EXPECT_EQ(empty->protoBuffer(), Bytes{});

    LogCapture log;
    MSRPBEvent moved = std::move(copy);
    EXPECT_FALSE(copy.protoBuffer());  // NOLINT(bugprone-use-after-move): a moved-from wrapper holds nothing
    EXPECT_FALSE(MSRPBHasField(copy, 1));
    EXPECT_TRUE(log.contains("ProtocolBuffer message hasn't been initialized. HasField can't be performed"));
    EXPECT_EQ(MSRPBGetString(moved, 1), "copy");
}

}  // namespace
