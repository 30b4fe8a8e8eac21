#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/foundation/NotificationCenter.h"

using foundation::Notification;
using foundation::NotificationCenter;
using foundation::Value;

TEST(NotificationCenter, DeliversByNameAndSenderWithUserInfo) {
    NotificationCenter center;
    std::vector<std::string> seen;
    int sender = 0, otherSender = 0;
    auto byName = center.addObserver("didLoadMenu", [&](const Notification& n) {
        seen.push_back("name:" + n.name + (n.userInfo ? ":" + *Value(*n.userInfo)["k"].string() : ""));
    });
    auto bySender = center.addObserver(
        "didLoadMenu", [&](const Notification&) { seen.push_back("sender"); }, &sender);
    auto all = center.addObserver("", [&](const Notification& n) { seen.push_back("all:" + n.name); });

    center.post("didLoadMenu", &otherSender, Value::Dictionary{{"k", "v"}});
    center.post("didLoadMenu", &sender);
    center.post("other");
    EXPECT_EQ(seen, (std::vector<std::string>{"name:didLoadMenu:v", "all:didLoadMenu", "name:didLoadMenu",
                                              "sender", "all:didLoadMenu", "all:other"}));
}

TEST(NotificationCenter, TokenEndsTheObservationEvenFromInsideDelivery) {
    NotificationCenter center;
    int first = 0, second = 0;
    NotificationCenter::Token secondToken;
    auto firstToken = center.addObserver("n", [&](const Notification&) {
        ++first;
        secondToken.reset();  // removed before its turn in this very post
    });
    secondToken = center.addObserver("n", [&](const Notification&) { ++second; });
    center.post("n");
    firstToken.reset();
    center.post("n");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
}

TEST(NotificationCenter, WeakOwnerIsNeverCalledAfterItIsGone) {
    NotificationCenter center;
    auto screen = std::make_shared<int>(0);
    int calls = 0;
    center.addObserver(screen, "didLoadMenu", [&, raw = screen.get()](const Notification&) {
        ++*raw;  // would touch freed memory if called after the owner died
        ++calls;
    });
    center.post("didLoadMenu");
    screen.reset();
    center.post("didLoadMenu");
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, RemoveObserverByOwnerAndTokensOutlivingTheCentre) {
    auto owner = std::make_shared<int>(0);
    NotificationCenter::Token token;
    {
        NotificationCenter center;
        int calls = 0;
        center.addObserver(owner, "n", [&](const Notification&) { ++calls; });
        center.removeObserver(owner.get());
        center.post("n");
        EXPECT_EQ(calls, 0);
        token = center.addObserver("n", [](const Notification&) {});
    }
    token.reset();  // the centre is gone; must not crash
    EXPECT_FALSE(token);
}

TEST(NotificationCenter, ObserverMayPostAndAddObserversWhileDelivering) {
    NotificationCenter center;
    std::vector<std::string> order;
    std::vector<NotificationCenter::Token> tokens;
    tokens.push_back(center.addObserver("outer", [&](const Notification&) {
        order.push_back("outer");
        tokens.push_back(center.addObserver("outer", [&](const Notification&) { order.push_back("late"); }));
        center.post("inner");
    }));
    tokens.push_back(center.addObserver("inner", [&](const Notification&) { order.push_back("inner"); }));
    center.post("outer");
    EXPECT_EQ(order, (std::vector<std::string>{"outer", "inner"}));
}
