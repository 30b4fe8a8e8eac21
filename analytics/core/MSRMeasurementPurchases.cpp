// Which purchases of the payment queue still need reporting.

#include <algorithm>

#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementLog.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/storage/MSRDatabase.h"
#include "platform/dispatch/GlobalQueue.h"

namespace {

using MSRMeasurementLog::log;

}  // namespace

std::optional<std::string> MSRMeasurement::transactionFingerprint(const store::PaymentTransaction& transaction) {
    if (transaction.state != store::TransactionState::Purchased) return std::nullopt;
    const int64_t code = transaction.errorCode;
    if (!transaction.transactionIdentifier) {
        log(2, 21015, "Transaction identifier is nil. Code", {code});
        return std::nullopt;
    }
    const std::string& identifier = *transaction.transactionIdentifier;
    if (identifier.empty()) {
        log(2, 21016, "Transaction identifier is empty. Code", {code});
        return std::nullopt;
    }
    if (std::all_of(identifier.begin(), identifier.end(), [](char c) { return c == '0' || c == '-'; })) {
        log(2, 21017, "Transaction identifier is only zeroes. Code", {code});
        return std::nullopt;
    }
    return msr_MD5String(identifier);
}

void MSRMeasurement::filterPurchaseTransactions(std::vector<store::PaymentTransaction> transactions,
                                                PurchaseTransactionsCallback callback) {
    onWorkerQueue("MSRMeasurement:4155", [transactions = std::move(transactions),
                                          callback = std::move(callback)](MSRMeasurement& engine) {
        std::vector<store::PaymentTransaction> kept;
        for (const store::PaymentTransaction& transaction : transactions) {
            if (transaction.state != store::TransactionState::Purchased) continue;
            const MSRLogContext product(transaction.payment.productIdentifier);
            std::optional<std::string> fingerprint = transactionFingerprint(transaction);
            if (!fingerprint || fingerprint->empty()) {
                log(2, 23139,
                           "Purchase has nil or empty fingerprint. Purchase will not be checked for duplicates. "
                           "Product ID",
                           {product});
                kept.push_back(transaction);
                continue;
            }
            // Only the check here: the fingerprint is stored once the event is
            // logged, so a purchase whose report fails or never happens (a
            // failed product lookup, the process ending) is reported when the
            // queue delivers it again.
            bool duplicate = engine.pendingPurchaseFingerprints_.count(*fingerprint) > 0;
            if (!duplicate) {
                MSRError error;
                std::optional<bool> stored =
                    engine.database_ ? engine.database_->containsPurchaseFingerprint(*fingerprint, &error)
                                     : std::nullopt;
                if (!stored) {
                    log(1, 23140,
                               "Failed to save purchase fingerprint. Purchase will not be checked for duplicates. "
                               "Product ID, error",
                               {product, error});
                    kept.push_back(transaction);
                    continue;
                }
                duplicate = *stored;
            }
            if (duplicate) {
                log(4, 23141, "Purchase is a duplicate and will not be reported. Product ID", {product});
                continue;
            }
            engine.pendingPurchaseFingerprints_.insert(*fingerprint);
            kept.push_back(transaction);
        }
        dispatch::GlobalQueue::get(dispatch::Priority::Default)->async(
            [callback, kept = std::move(kept)] {
                if (callback) callback(kept);
            });
    });
}

void MSRMeasurement::recordReportedPurchaseFingerprint(const std::string& fingerprint) {
    onWorkerQueue("MSRMeasurement:4156", [fingerprint](MSRMeasurement& engine) {
        engine.pendingPurchaseFingerprints_.erase(fingerprint);
        if (!engine.database_) return;
        MSRError error;
        if (!engine.database_->insertIfNotDuplicatePurchaseFingerprint(fingerprint, &error)) {
            log(1, 23140, "Failed to save purchase fingerprint. Purchase will not be checked for duplicates. "
                                 "Product ID, error",
                       {MSRLogContext(), error});
        }
    });
}

void MSRMeasurement::forgetPurchaseFingerprint(const std::string& fingerprint) {
    onWorkerQueue("MSRMeasurement:4157", [fingerprint](MSRMeasurement& engine) {
        engine.pendingPurchaseFingerprints_.erase(fingerprint);
    });
}
