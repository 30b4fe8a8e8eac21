// A repeated message field held as its elements' encodings must be the same
// message as the one holding them as trees: same encoding byte for byte
// (through both writers), equal both ways, the same elements through every
// accessor, and copies that stay so.

#include <gtest/gtest.h>

#include <functional>

#include "MessageTestSupport.h"
#include "tests/support/EventNames.h"

namespace {

// The field's elements, as MSRPBAppendEncodedElement collects them.
std::string encodedElements(const NANOMessageBase& message, uint32_t index) {
    const MSRPBMessageType& elementType = MSRPBMessageTypeFor(message.messageType().fields[index].element);
    std::string elements;
    for (const NANOMessageBase& element : MSRPBGetMessageArray(message, index, elementType))
        MSRPBAppendEncodedElement(elements, *element.protoBuffer());
    return elements;
}

// Filled, then read back from its encoding: the profiles put cells that no
// decode gives (a bool with high bits, say) and these compare only as bytes.
NANOMessageBase filledMessage(const MSRPBMessageType& type, const Profile& profile) {
    NANOMessageBase message(type);
    fill(*message.messageInfo(), profile, 3);
    return *NANOMessageBase::initWithBuffer(type, *message.protoBuffer());
}

TEST(EncodedElements, EveryRepeatedMessageFieldMatchesItsTreeForm) {
    LogCapture log;
    const Profile profiles[] = {
        {"one element, small values", 7, "a", 1},
        {"three elements (the middle one empty), wide values", 0xFFFFFFFFFFFFFF80u, std::string(200, 'x'), 3},
    };
    size_t fieldsChecked = 0;
    for (const Profile& profile : profiles) {
        for (size_t id = 0; id < kMSRPBMessageCount; ++id) {
            const MSRPBMessageType& type = MSRPBMessageTypeFor(static_cast<MSRPBMessageID>(id));
            for (uint32_t index : repeatedMessageFields(type)) {
                SCOPED_TRACE(std::string(profile.name) + ": " + type.name + " field " + std::to_string(index));
                ++fieldsChecked;
                const MSRPBMessageType& elementType = MSRPBMessageTypeFor(type.fields[index].element);
                const NANOMessageBase trees = filledMessage(type, profile);
                NANOMessageBase encoded = trees;
                MSRPBSetEncodedMessageArray(encoded, index, encodedElements(trees, index));
                ASSERT_TRUE(MSRPBIsEncodedMessageArray(encoded, index));

                EXPECT_EQ(encoded.protoBuffer(), trees.protoBuffer());
                EXPECT_EQ(NANOMessageInfoEncodeWithNanopb(*encoded.messageInfo()), trees.protoBuffer());
                EXPECT_TRUE(NANOMessageInfoEquals(*encoded.messageInfo(), *trees.messageInfo()));
                EXPECT_TRUE(NANOMessageInfoEquals(*trees.messageInfo(), *encoded.messageInfo()));

                const NANOMessageBase copy = encoded;
                EXPECT_TRUE(MSRPBIsEncodedMessageArray(copy, index));
                EXPECT_EQ(copy.protoBuffer(), trees.protoBuffer());
                EXPECT_TRUE(NANOMessageInfoEquals(*copy.messageInfo(), *encoded.messageInfo()));

                const std::vector<NANOMessageBase> expected = MSRPBGetMessageArray(trees, index, elementType);
                auto sameElements = [&](const std::vector<NANOMessageBase>& got) {
                    if (got.size() != expected.size()) return false;
                    for (size_t i = 0; i < got.size(); ++i)
                        if (!NANOMessageInfoEquals(*got[i].messageInfo(), *expected[i].messageInfo())) return false;
                    return true;
                };
                EXPECT_TRUE(sameElements(MSRPBGetMessageArray(encoded, index, elementType)));
                size_t visited = 0;
                MSRPBVisitEncodedElements(encoded, index, [&](std::span<const uint8_t> element) {
                    ASSERT_LT(visited, expected.size());
                    EXPECT_EQ(Bytes(element.begin(), element.end()), expected[visited++].protoBuffer());
                });
                EXPECT_EQ(visited, expected.size());

                NANOMessageBase taken = encoded;
                EXPECT_TRUE(sameElements(MSRPBTakeMessageArray(taken, index, elementType)));
                EXPECT_FALSE(MSRPBIsEncodedMessageArray(taken, index));
                EXPECT_TRUE(MSRPBGetMessageArray(taken, index, elementType).empty());
            }
        }
    }
    EXPECT_GE(fieldsChecked, 2 * 10u) << "the tables hold repeated message fields";
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
}

constexpr uint32_t kBundleProtocolVersion = 0, kBundleEvents = 1, kEventName = 1;

MSRPBEvent namedEvent(const std::string& name) {
    MSRPBEvent event;
    MSRPBSetString(event, kEventName, name);
    return event;
}

std::string eventElements(const std::vector<std::string>& names) {
    std::string elements;
    for (const std::string& name : names) MSRPBAppendEncodedElement(elements, *namedEvent(name).protoBuffer());
    return elements;
}

MSRPBMeasurementBundle bundleWithTreeEvents(const std::vector<std::string>& names) {
    MSRPBMeasurementBundle bundle;
    std::vector<MSRPBEvent> events;
    for (const std::string& name : names) events.push_back(namedEvent(name));
    MSRPBSetMessageArray(bundle, kBundleEvents, std::move(events));
    return bundle;
}

// The bundle's events field set encoded, then acted on.
TEST(EncodedElements, AccessorsOnAnEncodedField) {
    const struct {
        const char* label;
        std::function<void(MSRPBMeasurementBundle&)> act;
        std::vector<std::string> names;  // what the field then holds
        bool stillEncoded;
    } cases[] = {
        {"cleared", [](MSRPBMeasurementBundle& b) { MSRPBClearField(b, kBundleEvents); }, {}, false},
        {"set from trees",
         [](MSRPBMeasurementBundle& b) { MSRPBSetMessageArray(b, kBundleEvents, std::vector{namedEvent("x")}); },
         {"x"},
         false},
        {"moved into",
         [](MSRPBMeasurementBundle& b) {
             std::vector<MSRPBEvent> events{namedEvent("y"), namedEvent("z")};
             MSRPBSetMessageArray(b, kBundleEvents, std::move(events));
         },
         {"y", "z"},
         false},
        {"set encoded again", [](MSRPBMeasurementBundle& b) { MSRPBSetEncodedMessageArray(b, kBundleEvents, eventElements({"q"})); },
         {"q"},
         true},
        {"set to no elements", [](MSRPBMeasurementBundle& b) { MSRPBSetEncodedMessageArray(b, kBundleEvents, {}); }, {}, false},
        {"a refused tree list leaves it empty",
         [](MSRPBMeasurementBundle& b) {
             const MSRPBUserAttribute wrong;
             const NANOMessageBase* values[] = {&wrong};
             MSRPBSetMessageArray(b, kBundleEvents, values);
         },
         {},
         false},
        {"set to elements whose framing runs past the end",
         [](MSRPBMeasurementBundle& b) { MSRPBSetEncodedMessageArray(b, kBundleEvents, std::string("\x05\x0A\x01", 3)); },
         {},
         false},
        {"another field set", [](MSRPBMeasurementBundle& b) { MSRPBSetInt32(b, kBundleProtocolVersion, 4); }, {"a", "b", "c"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        LogCapture log;
        MSRPBMeasurementBundle bundle;
        MSRPBSetInt32(bundle, kBundleProtocolVersion, 4);
        MSRPBSetEncodedMessageArray(bundle, kBundleEvents, eventElements({"a", "b", "c"}));
        c.act(bundle);
        EXPECT_TRUE(MSRPBHasField(bundle, kBundleEvents));
        EXPECT_EQ(MSRPBIsEncodedMessageArray(bundle, kBundleEvents), c.stillEncoded);
        EXPECT_EQ(eventNamesOf(bundle), c.names);
        MSRPBMeasurementBundle expected = bundleWithTreeEvents(c.names);
        MSRPBSetInt32(expected, kBundleProtocolVersion, 4);
        EXPECT_EQ(bundle.protoBuffer(), expected.protoBuffer());
        EXPECT_TRUE(NANOMessageInfoEquals(*bundle.messageInfo(), *expected.messageInfo()));
    }
}

TEST(EncodedElements, EqualityComparesContentWhicheverFormEachSideHolds) {
    auto encoded = [](const std::vector<std::string>& names) {
        MSRPBMeasurementBundle bundle;
        MSRPBSetEncodedMessageArray(bundle, kBundleEvents, eventElements(names));
        return bundle;
    };
    const struct {
        const char* label;
        MSRPBMeasurementBundle left, right;
        bool equal;
    } cases[] = {
        {"same events, both encoded", encoded({"a", "b"}), encoded({"a", "b"}), true},
        {"same events, tree and encoded", bundleWithTreeEvents({"a", "b"}), encoded({"a", "b"}), true},
        {"one event differs, both encoded", encoded({"a", "b"}), encoded({"a", "c"}), false},
        {"one event more", bundleWithTreeEvents({"a"}), encoded({"a", "a"}), false},
        {"order differs", encoded({"b", "a"}), bundleWithTreeEvents({"a", "b"}), false},
        {"no events against some", MSRPBMeasurementBundle(), encoded({"a"}), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(NANOMessageInfoEquals(*c.left.messageInfo(), *c.right.messageInfo()), c.equal);
        EXPECT_EQ(NANOMessageInfoEquals(*c.right.messageInfo(), *c.left.messageInfo()), c.equal);
    }
}

// Reading one string from an encoding agrees with decoding it and asking,
// for every single string field of every message, on filled encodings and on
// mutations of them that still decode.
TEST(EncodedElements, StringsReadFromEncodingsAgreeWithTheDecodedMessage) {
    uint64_t state = 0x2545F4914F6CDD1Dull;
    LogCapture log;
    size_t compared = 0;
    for (size_t id = 0; id < kMSRPBMessageCount; ++id) {
        const MSRPBMessageType& type = MSRPBMessageTypeFor(static_cast<MSRPBMessageID>(id));
        NANOMessageInfoPtr info = NANOMessageInfoCreate(type);
        fill(*info, Profile{"", id + 3, "t\xC3\xA4", 2}, 1);
        const Bytes encoded = *NANOMessageInfoEncode(*info);
        for (int round = 0; round < 200 && !encoded.empty(); ++round) {
            const Bytes bytes = round == 0 ? encoded : mutated(encoded, state, round);
            std::optional<NANOMessageBase> decoded = NANOMessageBase::initWithBuffer(type, bytes);
            if (!decoded) continue;
            for (uint32_t index = 0; index <= type.fieldCount; ++index) {
                const bool text = index < type.fieldCount && (type.fields[index].word & kMSRPBKindString) &&
                                  !(type.fields[index].word & kMSRPBLabelRepeated);
                std::optional<std::string_view> read = MSRPBReadEncodedString(bytes, type, index);
                if (!text) {
                    EXPECT_FALSE(read) << type.name << " field " << index << " is no single string";
                    continue;
                }
                ++compared;
                std::optional<std::string> expected = MSRPBGetString(*decoded, index);
                EXPECT_EQ(read ? std::optional<std::string>(*read) : std::nullopt, expected)
                    << type.name << " field " << index << " round " << round;
            }
        }
    }
    EXPECT_GT(compared, 1000u);
}

// Lists of messages moved into or taken out of a message instead of copied:
// the result must be the message a copy would have given, and a refused list
// must not lose the caller's messages.
std::vector<MSRPBEventParam> params(std::initializer_list<const char*> names) {
    std::vector<MSRPBEventParam> out;
    for (const char* name : names) {
        MSRPBEventParam param;
        MSRPBSetString(param, 0, name);
        MSRPBSetInt64(param, 2, 7);
        out.push_back(std::move(param));
    }
    return out;
}

TEST(MessageMove, MovedListEncodesAsACopiedOne) {
    const std::vector<std::vector<MSRPBEventParam>> cases = {{}, params({"a"}), params({"a", "b", "c"})};
    for (const auto& list : cases) {
        MSRPBEvent copied;
        MSRPBSetString(copied, 1, "e");
        MSRPBEvent moved = copied;
        MSRPBSetMessageArray(copied, 0, list);
        std::vector<MSRPBEventParam> handed = list;
        MSRPBSetMessageArray(moved, 0, std::move(handed));
        EXPECT_EQ(*moved.protoBuffer(), *copied.protoBuffer()) << list.size() << " elements";
        // Taking the list out gives the same elements and leaves the field empty.
        std::vector<MSRPBEventParam> taken = MSRPBTakeMessageArray<MSRPBEventParam>(moved, 0);
        ASSERT_EQ(taken.size(), list.size());
        for (size_t i = 0; i < list.size(); ++i) EXPECT_EQ(*taken[i].protoBuffer(), *list[i].protoBuffer());
        EXPECT_TRUE(MSRPBGetMessageArray<MSRPBEventParam>(moved, 0).empty());
        EXPECT_EQ(MSRPBGetString(moved, 1), "e");
    }
}

TEST(MessageMove, RefusedListLeavesTheFieldEmptyAndTheCallersMessagesWhole) {
    struct Case {
        const char* name;
        bool emptyElement;  // a moved-from element among good ones
        bool otherType;     // an element of another message type
        const char* report;
    };
    const Case cases[] = {
        {"moved-from element", true, false, "47010"},
        {"element of another type", false, true, "47003"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        MSRPBEvent event;
        MSRPBSetMessageArray(event, 0, params({"old"}));
        std::vector<NANOMessageBase> list;
        list.push_back(params({"a"})[0]);
        if (c.emptyElement) {
            NANOMessageBase gone = params({"b"})[0];
            NANOMessageBase sink = std::move(gone);
            list.push_back(std::move(gone));
        }
        if (c.otherType) list.push_back(MSRPBUserAttribute());
        std::vector<NANOMessageBase*> pointers;
        for (NANOMessageBase& element : list) pointers.push_back(&element);
        MSRPBMoveMessageArray(event, 0, pointers);
        EXPECT_TRUE(MSRPBGetMessageArray<MSRPBEventParam>(event, 0).empty()) << c.name;
        EXPECT_TRUE(log.contains(c.report)) << c.name;
        ASSERT_NE(list[0].messageInfo(), nullptr) << c.name << ": a good element was taken anyway";
        EXPECT_EQ(MSRPBGetString(list[0], 0), "a") << c.name;
    }
}

}  // namespace
