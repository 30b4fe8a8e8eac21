#include "analytics/reporters/MSRInAppPurchaseTransactionReporter.h"

#include <algorithm>
#include <cmath>

#include "analytics/core/DEDIzurarove.h"
#include "analytics/core/MSRAEU.h"
#include "analytics/core/MSRAnalytics.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/reporters/MSRCurrencyLifetimeValueRecorder.h"
#include "analytics/reporters/MSRInAppPurchaseProductCache.h"
#include "analytics/reporters/MSRReceiptReading.h"
#include "analytics/reporters/MSRReporterSupport.h"
#include "platform/foundation/SharedSlot.h"
#include "platform/store/AppReceipt.h"
#include "platform/store/PaymentQueue.h"

namespace {

foundation::SharedSlot<MSRInAppPurchaseTransactionReporter>& reporterSlot() {
    static foundation::SharedSlot<MSRInAppPurchaseTransactionReporter> slot;
    return slot;
}

bool nonEmpty(const std::optional<std::string>& text) { return text && !text->empty(); }

bool isOne(const MSRParameters& parameters, const char* key) {
    auto found = parameters.find(key);
    return found != parameters.end() && found->second.isInt64() && found->second.int64Value() == 1;
}

void setOne(MSRParameters& parameters, const char* key) { parameters.insert_or_assign(key, MSRValue(int64_t{1})); }

void builderLog(int64_t code, std::string_view message, const std::vector<MSRLogContext>& contexts = {}) {
    MSRReporterLog(8, code, message, contexts);
}

// The fingerprint the duplicate filter gave the transaction, without its log
// lines (the filter has logged them already).
std::optional<std::string> quietFingerprint(const store::PaymentTransaction& transaction) {
    const std::optional<std::string>& identifier = transaction.transactionIdentifier;
    if (transaction.state != store::TransactionState::Purchased || !nonEmpty(identifier)) return std::nullopt;
    if (std::all_of(identifier->begin(), identifier->end(), [](char c) { return c == '0' || c == '-'; }))
        return std::nullopt;
    return msr_MD5String(*identifier);
}

void forgetFingerprint(const std::optional<std::string>& fingerprint) {
    if (!fingerprint) return;
    if (auto engine = MSRMeasurement::sharedInstance()) engine->forgetPurchaseFingerprint(*fingerprint);
}

// The item before `item` in `items` is a free trial: the renewal converts it.
void addSubscriptionRenewalMarker(MSRParameters& parameters, const std::vector<MSRInAppPurchaseItem>& items,
                                  const MSRInAppPurchaseItem& item) {
    if (items.empty() || item.originalTransactionID == item.transactionID) return;
    auto at = std::find(items.begin(), items.end(), item);
    const bool previousIsFreeTrial = at != items.end() && at != items.begin() && std::prev(at)->freeTrial;
    setOne(parameters, previousIsFreeTrial ? "sub_convert" : "sub_renew");
}

void applyDiscount(MSRParameters& parameters, const store::Product& product, int64_t quantity) {
    auto freeTrial = [&] {
        if (auto price = parameters.find("price"); price != parameters.end())
            parameters.insert_or_assign("original_price", price->second);
        setOne(parameters, "price_is_discounted");
        parameters.insert_or_assign("price", MSRValue(int64_t{0}));
        parameters.insert_or_assign("value", MSRValue(int64_t{0}));
    };
    if (isOne(parameters, "free_trial")) {
        freeTrial();
        return;
    }
    if (!isOne(parameters, "price_is_discounted") || !product.introductoryPrice) return;
    const store::ProductDiscount& discount = *product.introductoryPrice;
    if (discount.paymentMode == store::DiscountPaymentMode::FreeTrial) {
        freeTrial();
        return;
    }
    std::optional<int64_t> price = MSRPurchaseValueInMicros(discount.price, 1);
    if (!price) return;
    if (auto listPrice = parameters.find("price"); listPrice != parameters.end())
        parameters.insert_or_assign("original_price", listPrice->second);
    parameters.insert_or_assign("price", MSRValue(*price));
    if (quantity != 0) {
        if (std::optional<int64_t> value = MSRPurchaseValueInMicros(discount.price, quantity))
            parameters.insert_or_assign("value", MSRValue(*value));
    }
}

}  // namespace

// ---- parameters ---------------------------------------------------------------

std::optional<int64_t> MSRPurchaseValueInMicros(const std::string& price, int64_t quantity) {
    // Exact decimal arithmetic: 1.99 x 3 is 5,970,000 micros, not one less.
    size_t at = 0;
    const bool negative = !price.empty() && price[0] == '-';
    if (!price.empty() && (price[0] == '-' || price[0] == '+')) at = 1;
    __int128 mantissa = 0;
    int scale = 0;
    bool digits = false, point = false;
    for (; at < price.size(); ++at) {
        const char c = price[at];
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        if (c < '0' || c > '9') return std::nullopt;
        digits = true;
        if (mantissa > (__int128(1) << 100)) return std::nullopt;
        mantissa = mantissa * 10 + (c - '0');
        if (point) ++scale;
    }
    if (!digits || scale > 30) return std::nullopt;
    if (mantissa != 0 && (quantity > INT32_MAX || quantity < INT32_MIN)) return std::nullopt;
    __int128 micros = mantissa * quantity * 1'000'000;
    for (int i = 0; i < scale; ++i) micros /= 10;  // truncation toward zero
    if (negative) micros = -micros;
    if (micros > INT64_MAX || micros < INT64_MIN) return std::nullopt;
    return static_cast<int64_t>(micros);
}

int64_t MSRPurchaseItemDigest(const std::optional<std::string>& originalTransactionID,
                              std::optional<uint64_t> webOrderLineItemID, const std::optional<std::string>& productID) {
    if (!nonEmpty(originalTransactionID) || !nonEmpty(productID)) return -1;
    std::string text = *originalTransactionID;
    if (webOrderLineItemID) text += std::to_string(*webOrderLineItemID);
    text += *productID;
    return static_cast<int64_t>(
        msr_64LSBMD5(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size())));
}

std::optional<MSRParameters> MSRInAppPurchaseEventParameters(
    const std::optional<store::Product>& product, int64_t quantity, const std::optional<std::string>& transactionID,
    const std::optional<std::string>& originalTransactionID, std::optional<double> transactionDate,
    const std::optional<std::vector<MSRInAppPurchaseItem>>& items) {
    if (!product) {
        builderLog(40026, "IAP Transaction cannot be created from nil product");
        return std::nullopt;
    }
    const std::string& productID = product->productIdentifier;
    if (productID.empty()) {
        builderLog(40027, "IAP Transaction cannot be created from empty or nil product ID");
        return std::nullopt;
    }
    MSRParameters parameters;
    parameters.emplace("product_id", MSRValue(productID));
    if (product->price) {
        if (std::optional<int64_t> price = MSRPurchaseValueInMicros(*product->price, 1)) {
            parameters.emplace("price", MSRValue(*price));
            if (quantity != 0) {
                if (std::optional<int64_t> value = MSRPurchaseValueInMicros(*product->price, quantity))
                    parameters.emplace("value", MSRValue(*value));
                parameters.emplace("quantity", MSRValue(quantity));
            }
        }
    }
    if (product->currencyCode) parameters.emplace("currency", MSRValue(*product->currencyCode));
    if (product->localizedTitle) parameters.emplace("product_name", MSRValue(*product->localizedTitle));
    if (!nonEmpty(transactionID)) builderLog(40003, "Transaction ID cannot be nil or empty.");

    const std::optional<std::vector<MSRInAppPurchaseItem>> matching =
        items ? MSRPurchaseItemsMatching(*items, productID, std::nullopt) : std::nullopt;
    const std::vector<MSRInAppPurchaseItem> M = matching.value_or(std::vector<MSRInAppPurchaseItem>{});
    const bool restoredUnderNewID =
        nonEmpty(transactionID) && nonEmpty(originalTransactionID) && *transactionID != *originalTransactionID;

    [&] {
        if (M.empty()) {
            builderLog(40020, "Transaction missing in receipt will be reported as invalid", {productID});
            setOne(parameters, "invalid");
            return;
        }
        const MSRInAppPurchaseItem& I = M.back();
        const int64_t type = I.purchaseType.value_or(kMSRPurchaseTypeNonConsumable);
        if (type == kMSRPurchaseTypeNonConsumable && restoredUnderNewID) {
            builderLog(40005, "Restore/repurchase of non-consumable item will be reported as invalid");
            setOne(parameters, "invalid");
            return;
        }
        // Only the subscription types lead into the subscription rules; a
        // web order line item marks a subscription on an item that tells no
        // consumable type.
        const bool autoRenewable = type == kMSRPurchaseTypeAutoRenewableSubscription ||
                                   (type == kMSRPurchaseTypeNonConsumable && I.webOrderLineItemID);
        const bool sub = type == kMSRPurchaseTypeNonRenewingSubscription || autoRenewable;
        auto plainPurchase = [&](const MSRInAppPurchaseItem& item) {
            if (type == kMSRPurchaseTypeConsumable) {
                builderLog(40021, "Transaction of consumable item will be reported");
            } else {
                builderLog(40022, "Transaction of non-consumable item will be reported");
            }
            parameters.insert_or_assign("_did", MSRValue(MSRPurchaseItemDigest(item.originalTransactionID,
                                                                               std::nullopt, item.productID)));
        };
        if (M.size() == 1 && !sub) {
            if (I.transactionID == I.originalTransactionID) {
                plainPurchase(I);
            } else {
                builderLog(40007, "Transaction with mismatched transaction ID and original transaction ID will be "
                                  "reported as consumable");
            }
            return;
        }
        const std::vector<MSRInAppPurchaseItem> D =
            transactionDate ? MSRPurchaseItemsMatching(M, std::nullopt, transactionDate)
                                  .value_or(std::vector<MSRInAppPurchaseItem>{})
                            : std::vector<MSRInAppPurchaseItem>{};
        if (!sub) {
            // A consumable bought more than once: the item of this purchase's
            // date, when the receipt has exactly one.
            if (D.size() == 1) plainPurchase(D.front());
            return;
        }
        if (D.empty()) {
            builderLog(40023, "Subscription transaction missing in receipt will be reported as invalid", {productID});
            setOne(parameters, "invalid");
            setOne(parameters, "subscription");
            return;
        }
        if (D.size() >= 2) {
            builderLog(40024, "Subscription transaction with duplicate transaction date will be reported as invalid",
                       {productID, static_cast<int64_t>(D.size())});
            setOne(parameters, "invalid");
            setOne(parameters, "subscription");
            return;
        }
        const MSRInAppPurchaseItem& J = D.front();
        if (type == kMSRPurchaseTypeNonRenewingSubscription) {
            setOne(parameters, "subscription");
            parameters.insert_or_assign(
                "_did", MSRValue(MSRPurchaseItemDigest(J.originalTransactionID, std::nullopt, J.productID)));
            builderLog(40025, "Transaction of non-renewing subscription will be reported");
            return;
        }
        if (J.originalTransactionID == J.transactionID) setOne(parameters, "subscription");
        parameters.insert_or_assign(
            "_did", MSRValue(MSRPurchaseItemDigest(J.originalTransactionID, J.webOrderLineItemID, J.productID)));
        if (!J.freeTrial && !J.introductoryOffer) {
            builderLog(40008, "Transaction of auto-renewable subscription will be reported");
            addSubscriptionRenewalMarker(parameters, M, J);
            return;
        }
        if (J.freeTrial) {
            setOne(parameters, "free_trial");
            if (restoredUnderNewID) {
                builderLog(40011, "Repurchase of free-trial auto-renewable subscription will be reported as invalid");
                setOne(parameters, "invalid");
                return;
            }
            builderLog(40009, "Transaction of free-trial auto-renewable subscription will be reported");
        }
        if (J.introductoryOffer) {
            setOne(parameters, "price_is_discounted");
            addSubscriptionRenewalMarker(parameters, M, J);
            builderLog(40018, "Transaction of introductory offer will be reported");
        }
        builderLog(40010, "Transaction of auto-renewable subscription renewal will be reported");
    }();

    applyDiscount(parameters, *product, quantity);
    for (const char* key : {"price", "value", "currency", "product_id"}) {
        if (!parameters.count(key)) return std::nullopt;
    }
    return parameters;
}

std::string MSRInAppPurchaseEventName(MSRParameters& parameters, bool sandboxReceipt) {
    std::string name = "_iap";
    if (isOne(parameters, "invalid")) {
        name = "_iapx";
        parameters.erase("invalid");
        if (sandboxReceipt) setOne(parameters, "sandbox");
    }
    if (isOne(parameters, "sub_renew")) {
        parameters.erase("sub_renew");
        name = "_assr";
    }
    if (isOne(parameters, "sub_convert")) {
        parameters.erase("sub_convert");
        name = "_assc";
    }
    return name;
}

// ---- the reporter -------------------------------------------------------------

MSRInAppPurchaseTransactionReporter::MSRInAppPurchaseTransactionReporter()
    : queue_(dispatch::SerialQueue::create("com.vuzedezo.measurement.purchases")) {}

std::shared_ptr<MSRInAppPurchaseTransactionReporter> MSRInAppPurchaseTransactionReporter::sharedInstance() {
    return reporterSlot().getOrMake([] {
        return std::shared_ptr<MSRInAppPurchaseTransactionReporter>(new MSRInAppPurchaseTransactionReporter());
    });
}

void MSRInAppPurchaseTransactionReporter::parsePurchasedItemsFromReceipt() {
    std::optional<std::string> url = MSRAEU::appStoreRURL();
    if (!url) return;
    std::optional<std::vector<uint8_t>> data = store::AppReceipt::read(*url);
    if (!data || data->empty()) return;
    allPurchaseItems_ = MSRInAppPurchaseItemsFromReceiptData(*data);
    MSRReporterLog(7, 21028, "Parsed purchase items from receipt");
}

void MSRInAppPurchaseTransactionReporter::paymentQueueUpdatedFilteredTransactions(
    const std::vector<store::PaymentTransaction>& transactions) {
    std::weak_ptr<MSRInAppPurchaseTransactionReporter> weak = weak_from_this();
    queue_->async([weak, transactions] {
        auto self = weak.lock();
        if (!self) return;
        std::vector<store::PaymentTransaction> kept;
        std::set<std::string> unknown;
        auto cache = MSRInAppPurchaseProductCache::sharedInstance();
        for (const store::PaymentTransaction& transaction : transactions) {
            if (transaction.state != store::TransactionState::Purchased) continue;
            const std::string productID = transaction.payment.productIdentifier;
            if (productID.empty()) {
                forgetFingerprint(quietFingerprint(transaction));
                continue;
            }
            kept.push_back(transaction);
            if (!cache->cachedProductForProductIdentifier(productID)) unknown.insert(productID);
        }
        if (kept.empty()) return;
        if (unknown.empty()) {
            self->reportTransactionsFromArray(kept);
            return;
        }
        cache->requestProductsWithProductIdentifiers(
            unknown, self->queue_,
            [weak, kept](const MSRInAppPurchaseProductCache::Products& products, const std::set<std::string>&,
                         const std::optional<std::string>& error) {
                auto reporter = weak.lock();
                if (error && products.empty()) {
                    MSRReporterLog(1, 21027, "Cannot request product information. Error", {*error});
                    // Not reported: the next delivery of these purchases tries again.
                    for (const store::PaymentTransaction& transaction : kept)
                        forgetFingerprint(quietFingerprint(transaction));
                    return;
                }
                if (reporter) reporter->reportTransactionsFromArray(kept);
            });
    });
}

void MSRInAppPurchaseTransactionReporter::reportTransactionsFromArray(
    const std::vector<store::PaymentTransaction>& transactions) {
    parsePurchasedItemsFromReceipt();
    auto cache = MSRInAppPurchaseProductCache::sharedInstance();
    for (const store::PaymentTransaction& transaction : transactions) {
        std::optional<std::string> original =
            transaction.originalTransaction ? transaction.originalTransaction->transactionIdentifier : std::nullopt;
        reportTransactionWithProduct(cache->cachedProductForProductIdentifier(transaction.payment.productIdentifier),
                                     transaction.payment.quantity, transaction.transactionIdentifier, original,
                                     transaction.transactionDate, quietFingerprint(transaction));
    }
    allPurchaseItems_.reset();
}

void MSRInAppPurchaseTransactionReporter::reportTransactionWithProduct(
    const std::optional<store::Product>& product, int64_t quantity, const std::optional<std::string>& transactionID,
    const std::optional<std::string>& originalTransactionID, std::optional<double> transactionDate,
    const std::optional<std::string>& fingerprint) {
    std::optional<MSRParameters> parameters = MSRInAppPurchaseEventParameters(
        product, quantity, transactionID, originalTransactionID, transactionDate, allPurchaseItems_);
    if (!parameters || parameters->empty()) {
        forgetFingerprint(fingerprint);
        return;
    }
    const std::string name = MSRInAppPurchaseEventName(*parameters, MSRAEU::isASRS());
    MSRAnalytics::logInternalEventWithOrigin("auto", name, MSRObjectsFromParameters(*parameters));
    if (!fingerprint) return;
    // Queued behind the event on the facade's queues, so the engine stores the
    // fingerprint only after the event.
    MSRAnalytics::queueOperationWithBlock([fingerprint = *fingerprint] {
        if (auto engine = MSRMeasurement::sharedInstance()) engine->recordReportedPurchaseFingerprint(fingerprint);
    });
}

void MSRInAppPurchaseTransactionReporter::reportTransactionWithProductID(
    const std::string& productID, const std::optional<std::string>& transactionID,
    const std::optional<std::string>& originalTransactionID, const std::optional<std::string>& webOrderLineItemID,
    int64_t productType, bool isFreeTrial, bool isIntroductoryOffer, int64_t paymentQuantity,
    std::optional<double> purchaseDate, std::optional<double> originalPurchaseDate,
    std::optional<double> subscriptionExpirationDate, std::optional<double> cancellationDate) {
    auto text = [](std::optional<double> date) {
        return date ? std::optional<std::string>(MSRIA5StringFromDate(*date)) : std::nullopt;
    };
    MSRInAppPurchaseItem item;
    item.freeTrial = isFreeTrial;
    item.introductoryOffer = isIntroductoryOffer;
    item.subscriptionExpirationDateIA5String = text(subscriptionExpirationDate);
    item.productID = productID;
    item.originalTransactionID = originalTransactionID;
    item.transactionID = transactionID;
    if (webOrderLineItemID) {
        try {
            item.webOrderLineItemID = std::stoull(*webOrderLineItemID);
        } catch (const std::exception&) {
        }
    }
    item.originalPurchaseDateIA5String = text(originalPurchaseDate);
    item.purchaseDateIA5String = text(purchaseDate);
    item.cancellationDateIA5String = text(cancellationDate);
    item.purchaseType = productType;
    // The receipt's dates are whole seconds.
    const std::optional<double> transactionDate =
        purchaseDate ? std::optional<double>(std::floor(*purchaseDate)) : std::nullopt;

    std::weak_ptr<MSRInAppPurchaseTransactionReporter> weak = weak_from_this();
    queue_->async([weak, item, productID, paymentQuantity, transactionID, originalTransactionID, transactionDate] {
        auto self = weak.lock();
        if (!self) return;
        self->parsePurchasedItemsFromReceipt();
        const bool inReceipt = self->allPurchaseItems_ &&
                               std::any_of(self->allPurchaseItems_->begin(), self->allPurchaseItems_->end(),
                                           [&](const MSRInAppPurchaseItem& known) {
                                               return known.transactionID == transactionID;
                                           });
        if (!inReceipt) {
            if (!self->allPurchaseItems_) self->allPurchaseItems_.emplace();
            self->allPurchaseItems_->insert(self->allPurchaseItems_->begin(), item);
        }
        auto report = [weak, paymentQuantity, transactionID, originalTransactionID,
                       transactionDate](const store::Product& product) {
            if (auto reporter = weak.lock())
                reporter->reportTransactionWithProduct(product, paymentQuantity, transactionID,
                                                       originalTransactionID, transactionDate, std::nullopt);
        };
        auto cache = MSRInAppPurchaseProductCache::sharedInstance();
        if (std::optional<store::Product> product = cache->cachedProductForProductIdentifier(productID)) {
            report(*product);
            return;
        }
        cache->requestProductsWithProductIdentifiers(
            {productID}, self->queue_,
            [report](const MSRInAppPurchaseProductCache::Products& products, const std::set<std::string>&,
                     const std::optional<std::string>& error) {
                if (products.empty()) {
                    MSRReporterLog(1, 21027, "Cannot request product information. Error",
                                   {error ? MSRLogContext(*error) : MSRLogContext()});
                    return;
                }
                report(products.begin()->second);
            });
    });
}

// ---- entries --------------------------------------------------------------------

void MSRRegisterPurchaseReporting() {
    MSRComponentRegistry::registerMaker<MSRLifetimeValueRecorder>([](const MSRComponentContext& context) {
        return std::make_shared<MSRCurrencyLifetimeValueRecorder>(context.remoteConfig);
    });
    MSRComponentRegistry::registerMaker<MSRTransactionReporterInterface>(
        [](const MSRComponentContext&) { return MSRInAppPurchaseTransactionReporter::sharedInstance(); });
    MSRRegisterReceiptReading();
    MSRObservePaymentQueue();
}

void MSRObservePaymentQueue() {
    store::PaymentQueue::defaultQueue().addTransactionObserver([](const std::vector<store::PaymentTransaction>& batch) {
        MSRAnalytics::queueOperationWithBlock([batch] {
            if (!MSRAnalytics::analyticsEnabled()) return;
            auto engine = MSRMeasurement::sharedInstance();
            if (!engine) return;
            engine->filterPurchaseTransactions(batch, [](std::vector<store::PaymentTransaction> kept) {
                MSRInAppPurchaseTransactionReporter::sharedInstance()->paymentQueueUpdatedFilteredTransactions(kept);
            });
        });
    });
}

void logTransaction(const store::StoreTransaction& transaction) {
    const bool offers = store::offersSupported();
    int64_t productType = kMSRPurchaseTypeNonConsumable;
    switch (transaction.productType) {
        case store::ProductType::Consumable: productType = kMSRPurchaseTypeConsumable; break;
        case store::ProductType::NonRenewable: productType = kMSRPurchaseTypeNonRenewingSubscription; break;
        case store::ProductType::AutoRenewable: productType = kMSRPurchaseTypeAutoRenewableSubscription; break;
        case store::ProductType::NonConsumable:
        case store::ProductType::Other: productType = kMSRPurchaseTypeNonConsumable; break;
    }
    const bool freeTrial = offers && transaction.offer &&
                           transaction.offer->paymentMode == store::TransactionOffer::PaymentMode::FreeTrial;
    const bool introductory =
        offers && transaction.offer && transaction.offer->type == store::TransactionOffer::Type::Introductory;
    DEDIzurarove::logTransactionWithProductID(
        transaction.productID, std::to_string(transaction.id), std::to_string(transaction.originalID),
        transaction.webOrderLineItemID, productType, freeTrial, introductory, transaction.purchasedQuantity,
        transaction.purchaseDate, transaction.originalPurchaseDate, transaction.expirationDate,
        transaction.revocationDate);
}
