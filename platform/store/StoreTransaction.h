#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace store {

// The newer transaction interface: one verified transaction with plain values.
enum class ProductType { Consumable, NonConsumable, NonRenewable, AutoRenewable, Other };

struct TransactionOffer {
    enum class Type { Introductory, Promotional, Code };
    enum class PaymentMode { FreeTrial, PayAsYouGo, PayUpFront };
    Type type = Type::Introductory;
    PaymentMode paymentMode = PaymentMode::PayAsYouGo;
};

struct StoreTransaction {
    std::string productID;
    uint64_t id = 0;
    uint64_t originalID = 0;
    std::optional<std::string> webOrderLineItemID;
    ProductType productType = ProductType::Consumable;
    // Offers are only told by systems that know them (see offersSupported).
    std::optional<TransactionOffer> offer;
    int64_t purchasedQuantity = 1;
    double purchaseDate = 0;
    double originalPurchaseDate = 0;
    std::optional<double> expirationDate;
    std::optional<double> revocationDate;
};

// Whether the system tells a transaction's offer (the platform's 17.2 and
// later). True unless a test or option says otherwise.
bool offersSupported();
void setOffersSupported(bool supported);

}  // namespace store
