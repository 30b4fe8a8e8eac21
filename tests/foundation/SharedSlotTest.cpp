#include "platform/foundation/SharedSlot.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

foundation::SharedSlot<std::string>& nameSlot() {
    static foundation::SharedSlot<std::string> slot;
    return slot;
}

foundation::SharedValue<std::map<std::string, int>>& countsValue() {
    static foundation::SharedValue<std::map<std::string, int>> value;
    return value;
}

TEST(SharedSlotTest, MadeOnceUntilResetAndSetReplaces) {
    int made = 0;
    auto make = [&] {
        ++made;
        return std::make_shared<std::string>("made");
    };
    auto first = nameSlot().getOrMake(make);
    EXPECT_EQ(nameSlot().getOrMake(make), first);
    EXPECT_EQ(made, 1);

    auto previous = nameSlot().exchange(std::make_shared<std::string>("set"));
    EXPECT_EQ(previous, first);
    EXPECT_EQ(*nameSlot().getOrMake(make), "set");

    nameSlot().reset();
    EXPECT_EQ(nameSlot().get(), nullptr);
    EXPECT_EQ(*nameSlot().getOrMake(make), "made");
    EXPECT_EQ(made, 2);
}

// One call empties every slot and value in use, the later ones first, so a
// later slot's instance never outlives one it was made from.
TEST(SharedSlotTest, ResetAllEmptiesEverySlotLaterOnesFirst) {
    static std::vector<std::string> order;
    struct Noted {
        std::string name;
        ~Noted() { order.push_back(name); }
    };
    static foundation::SharedSlot<Noted> earlier;
    static foundation::SharedSlot<Noted> later;
    earlier.set(std::make_shared<Noted>(Noted{"earlier"}));
    later.set(std::make_shared<Noted>(Noted{"later"}));
    nameSlot().set(std::make_shared<std::string>("kept until reset"));
    countsValue().with([](auto& counts) { counts["a"] = 1; });
    order.clear();

    foundation::resetAllSharedSlots();

    EXPECT_EQ(order, (std::vector<std::string>{"later", "earlier"}));
    EXPECT_EQ(nameSlot().get(), nullptr);
    EXPECT_TRUE(countsValue().with([](const auto& counts) { return counts.empty(); }));
}

}  // namespace
