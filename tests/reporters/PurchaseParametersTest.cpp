// The purchase classification on its own: receipt items against one
// transaction, the cases the store road does not reach.

#include <gtest/gtest.h>

#include "analytics/reporters/MSRInAppPurchaseTransactionReporter.h"
#include "analytics/reporters/MSRReceiptReading.h"

namespace {

constexpr double kBase = 1'700'000'000;

MSRInAppPurchaseItem receiptItem(const std::string& t, const std::string& o, int64_t type, double day,
                                 std::optional<uint64_t> webOrder = std::nullopt) {
    MSRInAppPurchaseItem item;
    item.productID = "p";
    item.transactionID = t;
    item.originalTransactionID = o;
    item.purchaseType = type;
    item.webOrderLineItemID = webOrder;
    item.purchaseDateIA5String = MSRIA5StringFromDate(kBase + day * 86400);
    return item;
}

}  // namespace

TEST(PurchaseParametersTest, ClassificationByTheReceiptsTypes) {
    store::Product product;
    product.productIdentifier = "p";
    product.price = "2.50";
    product.currencyCode = "EUR";
    struct Case {
        const char* name;
        std::vector<MSRInAppPurchaseItem> items;
        std::string t, o;
        double day;
        std::string event;
        bool subscription;
        int64_t did;  // 0: any digest, -2: none
    };
    const int64_t second = MSRPurchaseItemDigest(std::string("11"), std::nullopt, std::string("p"));
    const std::vector<Case> cases = {
        // A consumable bought twice is no subscription renewal.
        {"consumable bought again", {receiptItem("10", "10", 1, 0), receiptItem("11", "11", 1, 1)}, "11", "11", 1,
         "_iap", false, second},
        {"consumable, no item at that date", {receiptItem("10", "10", 1, 0), receiptItem("11", "11", 1, 1)}, "12",
         "12", 2, "_iap", false, -2},
        {"non-consumable with a web order is a subscription", {receiptItem("20", "20", 0, 0, 5)}, "20", "20", 0,
         "_iap", true, 0},
        {"renewal of an auto-renewable", {receiptItem("30", "30", 3, 0), receiptItem("31", "30", 3, 30)}, "31", "30",
         30, "_assr", false, 0},
        {"two receipt items at the transaction's second", {receiptItem("40", "40", 3, 0), receiptItem("41", "40", 3, 0)},
         "41", "40", 0, "_iapx", true, -2},
        {"purchase missing from the receipt", {}, "50", "50", 0, "_iapx", false, -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<MSRParameters> parameters =
            MSRInAppPurchaseEventParameters(product, 1, c.t, c.o, kBase + c.day * 86400 + 0.6, c.items);
        ASSERT_TRUE(parameters);
        EXPECT_EQ(MSRInAppPurchaseEventName(*parameters, false), c.event);
        EXPECT_EQ(parameters->count("subscription"), c.subscription ? 1u : 0u);
        EXPECT_EQ(parameters->at("price"), MSRValue(int64_t{2'500'000}));
        for (const char* marker : {"invalid", "sub_renew", "sub_convert"}) EXPECT_FALSE(parameters->count(marker));
        if (c.did == -2) {
            EXPECT_FALSE(parameters->count("_did"));
        } else if (c.did != 0) {
            EXPECT_EQ(parameters->at("_did"), MSRValue(c.did));
        }
    }
}

TEST(PurchaseParametersTest, MicrosAreExact) {
    struct Case {
        const char* price;
        int64_t quantity;
        std::optional<int64_t> micros;
    };
    const std::vector<Case> cases = {
        {"1.99", 3, 5'970'000}, {"0.99", 2, 1'980'000}, {"9.99", 1, 9'990'000}, {"0.0000009", 1, 0},
        {"-1.5", 1, -1'500'000}, {"12", 0, 0}, {"abc", 1, std::nullopt}, {"1e3", 1, std::nullopt},
        {"99999999999999", 1, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(MSRPurchaseValueInMicros(c.price, c.quantity), c.micros) << c.price;
}
