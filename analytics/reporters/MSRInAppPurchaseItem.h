#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Purchase types of receipt items and of the newer transaction interface.
enum MSRPurchaseType : int64_t {
    kMSRPurchaseTypeNonConsumable = 0,
    kMSRPurchaseTypeConsumable = 1,
    kMSRPurchaseTypeNonRenewingSubscription = 2,
    kMSRPurchaseTypeAutoRenewableSubscription = 3,
};

// One purchase of the application's receipt. Dates stay in the receipt's
// text form ("2023-01-31T10:00:00Z").
struct MSRInAppPurchaseItem {
    bool freeTrial = false;
    bool introductoryOffer = false;
    std::optional<std::string> subscriptionExpirationDateIA5String;
    std::optional<std::string> productID;
    std::optional<std::string> originalTransactionID;
    std::optional<std::string> transactionID;
    std::optional<uint64_t> webOrderLineItemID;
    std::optional<std::string> originalPurchaseDateIA5String;
    std::optional<std::string> purchaseDateIA5String;
    std::optional<std::string> cancellationDateIA5String;
    // An item that carries no type counts as non-consumable.
    std::optional<int64_t> purchaseType;

    bool operator==(const MSRInAppPurchaseItem&) const = default;
};
