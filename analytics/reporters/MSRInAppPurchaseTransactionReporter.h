#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/model/MSRValue.h"
#include "analytics/reporters/MSRInAppPurchaseItem.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/store/PaymentTransaction.h"
#include "platform/store/Product.h"
#include "platform/store/StoreTransaction.h"

// Turns store purchases into the automatic events "_iap", "_iapx", "_assr"
// and "_assc": the product's price with the receipt's items tell what kind of
// purchase it was. All its work, and the receipt items it reads, belong to
// its own serial queue.
class MSRInAppPurchaseTransactionReporter : public MSRTransactionReporterInterface,
                                            public std::enable_shared_from_this<MSRInAppPurchaseTransactionReporter> {
public:
    static std::shared_ptr<MSRInAppPurchaseTransactionReporter> sharedInstance();

    // The payment queue's purchases that the duplicate filter let through.
    void paymentQueueUpdatedFilteredTransactions(const std::vector<store::PaymentTransaction>& transactions);
    // The newer transaction interface's plain values (dates in seconds since 1970).
    void reportTransactionWithProductID(const std::string& productID, const std::optional<std::string>& transactionID,
                                        const std::optional<std::string>& originalTransactionID,
                                        const std::optional<std::string>& webOrderLineItemID, int64_t productType,
                                        bool isFreeTrial, bool isIntroductoryOffer, int64_t paymentQuantity,
                                        std::optional<double> purchaseDate, std::optional<double> originalPurchaseDate,
                                        std::optional<double> subscriptionExpirationDate,
                                        std::optional<double> cancellationDate) override;

    std::shared_ptr<dispatch::SerialQueue> queue() const { return queue_; }

private:
    MSRInAppPurchaseTransactionReporter();

    // Everything below runs on queue_.
    void reportTransactionsFromArray(const std::vector<store::PaymentTransaction>& transactions);
    void reportTransactionWithProduct(const std::optional<store::Product>& product, int64_t quantity,
                                      const std::optional<std::string>& transactionID,
                                      const std::optional<std::string>& originalTransactionID,
                                      std::optional<double> transactionDate,
                                      const std::optional<std::string>& fingerprint);
    void parsePurchasedItemsFromReceipt();

    std::shared_ptr<dispatch::SerialQueue> queue_;
    std::optional<std::vector<MSRInAppPurchaseItem>> allPurchaseItems_;
};

// The event parameters of one purchase, markers ("invalid", "sub_renew",
// "sub_convert") included; nothing when the purchase cannot be priced.
std::optional<MSRParameters> MSRInAppPurchaseEventParameters(
    const std::optional<store::Product>& product, int64_t quantity, const std::optional<std::string>& transactionID,
    const std::optional<std::string>& originalTransactionID, std::optional<double> transactionDate,
    const std::optional<std::vector<MSRInAppPurchaseItem>>& items);
// quantity x price (decimal text) in micros, truncated toward zero; nothing
// for a text that is not a decimal number or a result beyond 64 bits.
std::optional<int64_t> MSRPurchaseValueInMicros(const std::string& price, int64_t quantity);
// The "_did" digest; -1 without an original transaction or product identifier.
int64_t MSRPurchaseItemDigest(const std::optional<std::string>& originalTransactionID,
                              std::optional<uint64_t> webOrderLineItemID, const std::optional<std::string>& productID);
// The event's name from the markers, which it removes.
std::string MSRInAppPurchaseEventName(MSRParameters& parameters, bool sandboxReceipt);

// Plugs purchases into the engine: the lifetime-value recorder, the reporter
// of the newer store interface's transactions and the receipt reading through
// the component registry, and the watch of the default payment queue. Called
// once from the application's start.
void MSRRegisterPurchaseReporting();
// Watches the default payment queue: every batch goes, while collection is
// enabled, through the engine's duplicate filter to the reporter.
void MSRObservePaymentQueue();
// The newer transaction interface's entry: its twelve plain values go
// through the public interface, before the engine's start too.
void logTransaction(const store::StoreTransaction& transaction);
