// Lists of messages moved into or taken out of a message instead of copied:
// the result must be the message a copy would have given, and a refused list
// must not lose the caller's messages.

#include <gtest/gtest.h>

#include "MessageTestSupport.h"

namespace {

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
