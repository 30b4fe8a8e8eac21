// The message runtime: field access by index with its checks, the decoding
// limits and the wire rules every message shares.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "MessageTestSupport.h"

namespace {

// Field indices at or beyond the count used to address memory past the
// message's tables; every accessor now refuses them.
TEST(FieldChecks, IndexBeyondTheFieldCountIsRefused) {
    MSRPBEvent event = build<MSRPBEvent>({{1, "e"}});
    const Bytes before = *event.protoBuffer();
    for (uint32_t i : {5u, 6u, 0xFFFFFFFFu}) {
        LogCapture log;
        EXPECT_FALSE(MSRPBHasField(event, i) || MSRPBGetBool(event, i) || MSRPBGetString(event, i) ||
                     MSRPBGetMessage<MSRPBEventParam>(event, i));
        EXPECT_EQ(MSRPBGetInt32(event, i) + MSRPBGetInt64(event, i) + MSRPBGetDouble(event, i), 0);
        EXPECT_TRUE(MSRPBGetArray(event, i).empty() &&
                    MSRPBGetMessageArray<MSRPBEventParam>(event, i).empty());
        MSRPBClearField(event, i);
        MSRPBSetBool(event, i, true);
        MSRPBSetInt32(event, i, 1);
        MSRPBSetInt64(event, i, 1);
        MSRPBSetDouble(event, i, 1);
        MSRPBSetString(event, i, "x");
        MSRPBSetMessage(event, i, MSRPBEventParam());
        MSRPBSetArray(event, i, {int64_t{1}});
        MSRPBSetMessageArray(event, i, std::vector<MSRPBEventParam>(1));
        EXPECT_EQ(*event.protoBuffer(), before);
        EXPECT_EQ(log.lines().size(), 18u) << "each access refused with a report";
        EXPECT_TRUE(log.contains("47001 <Nano/Failure> Field index " + std::to_string(i) +
                                 " is beyond the 5 fields of message Event. GetBool can't be performed"));
    }
}

// A nested message of another type than the field declares used to be stored
// and then encoded through the wrong field table.
TEST(FieldChecks, SubMessageOfAnotherTypeIsRefused) {
    LogCapture log;
    const MSRPBAdCampaignInfo campaign = build<MSRPBAdCampaignInfo>({{0, "click"}});
    const MSRPBEvent event = build<MSRPBEvent>({{1, "_s"}});
    MSRPBMeasurementBundle bundle =
        build<MSRPBMeasurementBundle>({{52, campaign}, {1, std::vector<NANOMessageBase>{event}}});
    const Bytes before = *bundle.protoBuffer();

    MSRPBSetMessage(bundle, 52, event);
    EXPECT_TRUE(log.contains(
        "47003 <Nano/Failure> Field 52 of message MeasurementBundle holds AdCampaignInfo, not Event"));
    EXPECT_EQ(*bundle.protoBuffer(), before) << "a refused SetMessage leaves the message unchanged";
    EXPECT_FALSE(MSRPBGetMessage<MSRPBEvent>(bundle, 52));
    EXPECT_TRUE(MSRPBGetMessageArray<MSRPBUserAttribute>(bundle, 1).empty());
    // All or nothing: one element of another type among right ones empties the field.
    const NANOMessageBase* mixed[] = {&event, &campaign};
    MSRPBSetMessageArray(bundle, 1, mixed);
    EXPECT_TRUE(MSRPBGetMessageArray<MSRPBEvent>(bundle, 1).empty());
    // Taking a message over as another wrapper type is refused too.
    MSRPBEventParam taken{NANOMessageBase(event)};
    EXPECT_FALSE(MSRPBHasField(taken, 0));
    EXPECT_TRUE(log.contains("46000 <ERROR> Message Event can't be taken as EventParam"));
    EXPECT_TRUE(
        log.contains("47000 ProtocolBuffer message hasn't been initialized. HasField operation can't be "
                     "performed. Message name EventParam"));
}

// `levels` messages nested through the repeated field `key`, each parent
// holding `prefix` before its child.
Bytes nested(int levels, uint8_t key, const Bytes& prefix, Bytes inner) {
    for (int level = 1; level < levels; ++level) {
        const Bytes child = lengthDelimited(key, inner);
        inner = prefix;
        inner.insert(inner.end(), child.begin(), child.end());
    }
    return inner;
}

// Nested entities and parameters used to decode to any depth, so a hostile
// server message could exhaust the stack.
TEST(Decoding, NestingIsCappedAtSixtyFourLevels) {
    const int cap = kNANOMaxNestingDepth;
    // A program whose statement is a statement of a statement ... of a string; parameters in parameters.
    const std::function<Bytes(int)> program = [](int levels) {
        return lengthDelimited(0x0A, nested(levels, 0x12, {0x08, 0x04}, {0x08, 0x01}));
    };
    const std::tuple<MSRPBMessageID, Bytes, Bytes, const char*> cases[] = {
        {MSRPBMessageID::Program, program(cap), program(cap + 1), "RuntimeEntity"},
        {MSRPBMessageID::EventParam, nested(cap + 1, 0x32, {}, {}), nested(cap + 2, 0x32, {}, {}),
         "EventParam"},
    };
    for (const auto& [id, atCap, beyond, name] : cases) {
        LogCapture log;
        EXPECT_EQ(NANOMessageBase::initWithBuffer(MSRPBMessageTypeFor(id), atCap)->protoBuffer(), atCap);
        EXPECT_TRUE(log.lines().empty());
        EXPECT_FALSE(NANOMessageBase::initWithBuffer(MSRPBMessageTypeFor(id), beyond));
        EXPECT_TRUE(log.contains(std::string("45001 <ERROR> ") + name +
                                 " decoder failed: nesting deeper than 64 levels"));
    }
}

TEST(Decoding, StringFieldLimits) {
    LogCapture log;
    std::optional<MSRPBSetting> large =
        MSRPBSetting::initWithBuffer(lengthDelimited(0x0A, Bytes(kNANOMaxDecodedFieldBytes, 'x')));
    ASSERT_TRUE(large);
    EXPECT_EQ(MSRPBGetString(*large, 0)->size(), kNANOMaxDecodedFieldBytes);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(
        MSRPBSetting::initWithBuffer(lengthDelimited(0x0A, Bytes(kNANOMaxDecodedFieldBytes + 1, 'x'))));
    EXPECT_TRUE(log.contains("45000 Unable to process proto stream. Buffer is too big. 1048577 > 1048576"));
    // The same limit holds for each element of a repeated string field.
    EXPECT_FALSE(
        MSRPBStringFilter::initWithBuffer(lengthDelimited(0x22, Bytes(kNANOMaxDecodedFieldBytes + 1, 'x'))));
}

TEST(Accessors, KindChecksPresenceAndText) {
    LogCapture log;
    MSRPBEventParam param;
    EXPECT_TRUE(MSRPBHasField(param, 5)) << "repeated fields are always present";
    EXPECT_EQ(MSRPBGetDouble(param, 3), 0.0) << "float is not a double";
    EXPECT_TRUE(log.contains(
        "47002 <Nano/Failure> Field type isn't a scalar DOUBLE. Message: EventParam, field ID: 3"));
    MSRPBSetInt64(param, 0, 5);
    EXPECT_FALSE(MSRPBHasField(param, 0));
    EXPECT_EQ(MSRPBGetInt32(build<MSRPBSkAdNetworkConversionValueResponse>({{3, 2}}), 3), 2) << "an enum";

    MSRPBSetString(param, 0, "name");
    MSRPBSetString(param, 0, std::nullopt);
    EXPECT_FALSE(MSRPBHasField(param, 0));
    // Text that is not UTF-8 is kept and encoded but not handed out as a string.
    for (const std::string bad : {"\xC3\x28", "\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80"}) {
        MSRPBSetString(param, 1, bad);
        EXPECT_TRUE(MSRPBHasField(param, 1) && !MSRPBGetString(param, 1));
    }
    EXPECT_EQ(param.protoBuffer(), (Bytes{0x12, 0x04, 0xF4, 0x90, 0x80, 0x80}));
    MSRPBSetString(param, 1, "\xF0\x9F\x98\x80 \xC3\xA4");
    EXPECT_EQ(MSRPBGetString(param, 1), "\xF0\x9F\x98\x80 \xC3\xA4");
}

TEST(Accessors, SetArrayIsAllOrNothing) {
    LogCapture log;
    MSRPBStringFilter filter;
    MSRPBSetArray(filter, 3, {std::string("a"), std::string("b")});
    MSRPBSetArray(filter, 3, {std::string("a"), std::string("b"), int64_t{3}});
    EXPECT_TRUE(MSRPBGetArray(filter, 3).empty());
    EXPECT_TRUE(log.contains("47008 <ERROR> Invalid object type. String fields expect text"));
    MSRPBSetArray(filter, 3, {});
    EXPECT_TRUE(MSRPBHasField(filter, 3));

    MSRPBResultData data;
    MSRPBSetArray(data, 0, {int32_t{1}, uint64_t{2}, std::string("3")});
    EXPECT_TRUE(MSRPBGetArray(data, 0).empty());
    // Any number fits a numeric field; floating point saturates into integers.
    MSRPBSetArray(data, 0, {int32_t{-1}, true, 2.9, 1e300, -1e300, std::nan("")});
    EXPECT_EQ(MSRPBGetArray(data, 0),
              (std::vector<MSRPBValue>{~uint64_t{0}, uint64_t{1}, uint64_t{2}, uint64_t{INT64_MAX},
                                       uint64_t{1} << 63, uint64_t{0}}));
}

TEST(Wrappers, CopiesAreDeepAndEmptyMessagesEncodeToNothing) {
    LogCapture log;
    MSRPBEventParam param = build<MSRPBEventParam>({{0, "p"}});
    const MSRPBEvent event = build<MSRPBEvent>({{0, std::vector<NANOMessageBase>{param}}});
    MSRPBSetString(param, 0, "changed");
    MSRPBEvent copy = event;
    MSRPBSetString(copy, 1, "copy");
    EXPECT_EQ(MSRPBEvent::initWithMessageInfo(event.messageInfo())->protoBuffer(),
              (Bytes{0x0A, 0x03, 0x0A, 0x01, 'p'}));
    EXPECT_FALSE(MSRPBEventParam::initWithMessageInfo(event.messageInfo()));

    std::optional<MSRPBMeasurementBatch> empty = MSRPBMeasurementBatch::initWithBuffer({});
    ASSERT_TRUE(empty && MSRPBHasField(*empty, 0));
    EXPECT_EQ(empty->protoBuffer(), Bytes{});
    MSRPBMeasurementBundle bundle;
    MSRPBClearField(bundle, 53);
    EXPECT_TRUE(log.contains("45005 <ERROR> MeasurementBundle: Cannot deallocate field 53: Unknown field"));

    MSRPBEvent moved = std::move(copy);
    EXPECT_FALSE(copy.protoBuffer());  // NOLINT(bugprone-use-after-move): a moved-from wrapper holds nothing
    MSRPBClearField(copy, 1);
    EXPECT_TRUE(
        log.contains("47000 ProtocolBuffer message hasn't been initialized. ClearField can't be performed"));
    EXPECT_EQ(MSRPBGetString(moved, 1), "copy");
}

}  // namespace

namespace {

// Text is checked eight bytes at a time while it is ASCII; a byte that is
// not must be found at every place of a word, and in the tail after it.
TEST(Accessors, UTF8CheckFindsABadByteAnywhere) {
    struct UTF8Case {
        size_t length;
        std::optional<size_t> badAt;  // where "\xFF" goes
        bool valid;
    };
    const UTF8Case cases[] = {
        {0, std::nullopt, true}, {7, std::nullopt, true}, {8, std::nullopt, true}, {23, std::nullopt, true},
        {1, 0, false},           {8, 0, false},           {8, 7, false},           {9, 8, false},
        {16, 15, false},         {17, 16, false},         {23, 12, false},         {40, 39, false},
    };
    for (const UTF8Case& c : cases) {
        std::string text(c.length, 'a');
        if (c.badAt) text[*c.badAt] = '\xFF';
        EXPECT_EQ(MSRPBIsUTF8(text), c.valid) << c.length << " " << c.badAt.value_or(999);
    }
    // Well-formed sequences after a run of ASCII, and a cut one at the end.
    EXPECT_TRUE(MSRPBIsUTF8("abcdefghij\xC3\xA4klmnop\xE6\xBC\xA2"));
    EXPECT_FALSE(MSRPBIsUTF8("abcdefghijklmnop\xE6\xBC"));
}

}  // namespace
