#include <gtest/gtest.h>

#include <random>

#include "analytics/reporters/MSRReceiptReading.h"
#include "tests/reporters/ReceiptBytes.h"

using namespace receipt;

namespace {

std::vector<MSRInAppPurchaseItem> scanReceipt(const Bytes& data) {
    return MSRInAppPurchaseItemsFromReceiptData(data).value_or(std::vector<MSRInAppPurchaseItem>{});
}

}  // namespace

TEST(ReceiptReadingTest, ItemsAndTheirFields) {
    const Bytes coins = item({productIdentifier("coins"), transactionID("1000"), originalTransactionID("1000"),
                              purchaseType(1), purchaseDate("2023-01-31T10:00:00Z")});
    const Bytes monthly = item({productIdentifier("monthly"), transactionID("2001"), originalTransactionID("2000"),
                                purchaseType(3), webOrderLineItemID({0x01, 0x00}), freeTrial(1),
                                introductoryOffer(0), purchaseDate("2023-02-28T10:00:00Z")});
    const Bytes noProduct = item({transactionID("3000"), purchaseType(1)});

    struct Case {
        const char* name;
        Bytes data;
        std::vector<std::string> productIDs;  // "" for an item without one
    };
    const std::vector<Case> cases = {
        {"two items in file order", originalVersion("1.2.3") + coins + monthly, {"coins", "monthly"}},
        {"an item without product id before another is dropped", noProduct + coins, {"coins"}},
        {"a trailing item without product id is kept", coins + noProduct, {"coins", ""}},
        {"nothing before the first marker counts", productIdentifier("stray") + coins, {"coins"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto items = scanReceipt(c.data);
        ASSERT_EQ(items.size(), c.productIDs.size());
        for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i].productID.value_or(""), c.productIDs[i]);
    }

    const auto items = scanReceipt(coins + monthly);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].purchaseType, 1);
    EXPECT_EQ(items[0].transactionID, "1000");
    EXPECT_FALSE(items[0].webOrderLineItemID);
    EXPECT_EQ(items[1].webOrderLineItemID, 256u);
    EXPECT_EQ(items[1].originalTransactionID, "2000");
    EXPECT_TRUE(items[1].freeTrial);
    EXPECT_FALSE(items[1].introductoryOffer);
    EXPECT_EQ(items[1].purchaseDateIA5String, "2023-02-28T10:00:00Z");
}

TEST(ReceiptReadingTest, OddContentsOfOneByteFields) {
    struct Case {
        const char* name;
        Bytes field;
        bool freeTrial;
        std::optional<uint64_t> webOrder;
    };
    const std::vector<Case> cases = {
        {"free-trial byte 2 stays NO", freeTrial(2), false, std::nullopt},
        {"free-trial byte 1", freeTrial(1), true, std::nullopt},
        {"web order 00 is none", webOrderLineItemID({0x00}), false, std::nullopt},
        {"web order 01 00 is 256", webOrderLineItemID({0x01, 0x00}), false, 256},
        {"web order keeps the last eight bytes", webOrderLineItemID({0xFF, 0, 0, 0, 0, 0, 0, 0, 0x02}), false, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto items = scanReceipt(item({productIdentifier("p"), c.field}));
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].freeTrial, c.freeTrial);
        EXPECT_EQ(items[0].webOrderLineItemID, c.webOrder);
    }
}

TEST(ReceiptReadingTest, DamagedFilesGiveNoItemsAndNoCrash) {
    const Bytes whole = item({productIdentifier("coins"), transactionID("1000"), purchaseType(1)});
    EXPECT_FALSE(MSRInAppPurchaseItemsFromReceiptData(Bytes{}));
    // Cut anywhere: never a product id read past the end.
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        const auto items = scanReceipt(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
        for (const auto& found : items) {
            if (found.productID) {
                EXPECT_EQ(*found.productID, "coins");
            }
        }
    }
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        Bytes noise(static_cast<size_t>(random() % 512));
        for (uint8_t& byte : noise) byte = static_cast<uint8_t>(random());
        (void)MSRInAppPurchaseItemsFromReceiptData(noise);
    }
    // A length that reaches past the data matches nothing.
    Bytes overlong = item({productIdentifier("coins")});
    overlong[overlong.size() - 6] = 0x7F;
    const auto items = scanReceipt(overlong);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_FALSE(items[0].productID);
}

TEST(ReceiptReadingTest, MatchingComparesWholeSeconds) {
    std::vector<MSRInAppPurchaseItem> items(3);
    items[0].productID = "a";
    items[0].purchaseDateIA5String = "2023-03-01T10:00:00Z";
    items[1].productID = "a";
    items[1].purchaseDateIA5String = "2023-01-01T10:00:00Z";
    items[2].productID = "b";
    items[2].purchaseDateIA5String = "2023-01-01T10:00:00Z";
    const double january = *MSRDateFromIA5String("2023-01-01T10:00:00Z");

    auto ids = [](const std::optional<std::vector<MSRInAppPurchaseItem>>& found) {
        std::string text;
        for (const auto& item : found.value_or(std::vector<MSRInAppPurchaseItem>{}))
            text += *item.productID + item.purchaseDateIA5String->substr(5, 2) + " ";
        return text;
    };
    EXPECT_EQ(ids(MSRPurchaseItemsMatching(items, "a", std::nullopt)), "a01 a03 ");
    // A transaction date with its fraction of a second still finds the item.
    EXPECT_EQ(ids(MSRPurchaseItemsMatching(items, std::nullopt, january + 0.734)), "a01 b01 ");
    EXPECT_EQ(ids(MSRPurchaseItemsMatching(items, "a", january + 0.5)), "a01 ");
    EXPECT_FALSE(MSRPurchaseItemsMatching(items, std::nullopt, std::nullopt));
    EXPECT_FALSE(MSRPurchaseItemsMatching({}, "a", std::nullopt));
    EXPECT_EQ(MSRIA5StringFromDate(january + 0.9), "2023-01-01T10:00:00Z");
    EXPECT_EQ(MSRDateFromIA5String("2023-01-01T11:00:00+01:00"), january);
}

TEST(ReceiptReadingTest, OriginalVersion) {
    const Bytes coins = item({productIdentifier("coins")});
    struct Case {
        const char* name;
        Bytes data;
        bool same;
    };
    const std::vector<Case> cases = {
        {"same version", coins + originalVersion("1.2.3"), true},
        {"other version", originalVersion("1.2.4") + coins, false},
        {"wrong inner tag still compares the text", originalVersion("1.2.3", 0x13), true},
        {"no version record", coins, false},
        {"too short", originalVersion("1"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MSRReceiptOriginalVersionMatches(c.data, "1.2.3"), c.same);
    }
}
