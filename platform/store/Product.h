#pragma once

#include <optional>
#include <string>

namespace store {

// How an introductory price is paid, with the platform's numbers.
enum class DiscountPaymentMode : int { PayAsYouGo = 0, PayUpFront = 1, FreeTrial = 2 };

struct ProductDiscount {
    std::string price;  // decimal text, exact ("0.99")
    DiscountPaymentMode paymentMode = DiscountPaymentMode::PayAsYouGo;
};

// A product as a products request answers it. Prices are decimal text so that
// they stay exact ("1.99").
struct Product {
    std::string productIdentifier;
    std::optional<std::string> price;
    // The price locale's currency code; none for a locale without one.
    std::optional<std::string> currencyCode;
    std::optional<std::string> localizedTitle;
    std::optional<ProductDiscount> introductoryPrice;
};

}  // namespace store
