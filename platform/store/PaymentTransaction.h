#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace store {

// The states a payment goes through, with the platform's numbers.
enum class TransactionState : int { Purchasing = 0, Purchased = 1, Failed = 2, Restored = 3, Deferred = 4 };

struct Payment {
    std::string productIdentifier;
    int64_t quantity = 1;
};

// One transaction as the payment queue delivers it. Dates are seconds since
// 1970 with their fractions, as the platform keeps them.
struct PaymentTransaction {
    TransactionState state = TransactionState::Purchased;
    Payment payment;
    std::optional<std::string> transactionIdentifier;
    // The transaction this one restores or renews, when there is one.
    std::shared_ptr<const PaymentTransaction> originalTransaction;
    std::optional<double> transactionDate;
    // The code of the transaction's error (0: none).
    int64_t errorCode = 0;
};

}  // namespace store
