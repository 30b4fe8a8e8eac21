// Purchases from the payment queue to the uploaded bundle, in virtual time:
// the store's products and the receipt written byte for byte tell what kind
// of purchase each transaction was; every event is stored and uploaded (and
// protoc reads the upload); a purchase is reported once.

#include <cstdlib>
#include <fstream>

#include "MeasurementEventsHarness.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/reporters/MSRInAppPurchaseTransactionReporter.h"
#include "analytics/reporters/MSRReceiptReading.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "platform/store/AppReceipt.h"
#include "platform/store/PaymentQueue.h"
#include "platform/store/ProductsRequest.h"
#include "tests/reporters/ReceiptBytes.h"
#include "tests/support/TestPaths.h"
#include "tools/collector/MeasurementCollector.h"

namespace {

constexpr const char* kPurchaseEndpoint = "http://127.0.0.1:9";
constexpr double kDay = 86400;
constexpr double kBase = 1'700'000'000;  // whole seconds, as the receipt keeps dates

std::string receiptDate(double days) { return MSRIA5StringFromDate(kBase + days * kDay); }

store::Product product(const std::string& id, const std::string& price, std::optional<std::string> currency = "USD") {
    store::Product made;
    made.productIdentifier = id;
    made.price = price;
    made.currencyCode = std::move(currency);
    made.localizedTitle = id + " title";
    return made;
}

store::PaymentTransaction purchase(const std::string& productID, const std::string& id, double days,
                                   int64_t quantity = 1, const std::optional<std::string>& original = std::nullopt) {
    store::PaymentTransaction transaction;
    transaction.payment = {productID, quantity};
    transaction.transactionIdentifier = id;
    transaction.transactionDate = kBase + days * kDay;
    if (original) {
        auto first = std::make_shared<store::PaymentTransaction>();
        first->transactionIdentifier = original;
        transaction.originalTransaction = first;
    }
    return transaction;
}

}  // namespace

class PurchaseRoadTest : public MeasurementEventsHarness {
  protected:
    PurchaseRoadTest() {
        store::PaymentQueue::defaultQueue().reset();
        store::ProductCatalog::reset();
        MSRRegisterPurchaseReporting();
    }
    void SetUp() override {
        MSRRemoteConfig::setMeasurementURL(std::string(kPurchaseEndpoint));
        MeasurementEventsHarness::SetUp();
        store::AppReceipt::setPathOverride(root_.path() / "receipt");
        MSRAnalytics::setAnalyticsEnabled(true, false);
        const std::vector<uint8_t> config =
            tools::MeasurementCollector::makeConfig(options_.appID, 2, {}).protoBuffer().value();
        network().setResponder([this, config](const net::FakeNetwork::Request& request) {
            net::FakeNetwork::Reply reply;
            reply.statusCode = request.method == "GET" ? 200 : 204;
            if (request.method == "GET") reply.body = config;
            else payloads.push_back(request.payload);
            return reply;
        });
        runUntilIdle();
    }
    void TearDown() override {
        MeasurementEventsHarness::TearDown();
        store::PaymentQueue::defaultQueue().reset();
        store::ProductCatalog::reset();
        store::AppReceipt::setPathOverride(std::nullopt);
        MSRRemoteConfig::setMeasurementURL(std::nullopt);
    }
    void writeReceipt(const std::vector<receipt::Bytes>& items) {
        receipt::Bytes data = receipt::originalVersion("1.0");
        for (const auto& item : items) data = receipt::operator+(data, item);
        ASSERT_TRUE(store::AppReceipt::write(root_.path() / "receipt", data));
    }
    void deliver(const std::vector<store::PaymentTransaction>& batch) {
        store::PaymentQueue::defaultQueue().deliver(batch);
        runUntilIdle();
    }
    // The stored purchase events by product.
    std::map<std::string, std::vector<StoredEvent>> purchaseEvents() {
        std::map<std::string, std::vector<StoredEvent>> byProduct;
        for (const StoredEvent& event : stored()) {
            auto id = event.parameters.find("product_id");
            if (id != event.parameters.end() && id->second.stringValue())
                byProduct[*id->second.stringValue()].push_back(event);
        }
        return byProduct;
    }

    std::vector<std::vector<uint8_t>> payloads;
};

TEST_F(PurchaseRoadTest, ClassificationStorageAndUpload) {
    using namespace receipt;
    for (const auto& made : {product("coins", "0.99"), product("premium", "4.99"), product("trial_monthly", "4.99"),
                             product("monthly", "2.99"), product("weekly", "0.99"), product("gems", "1.99"),
                             product("nocurrency", "1.00", std::nullopt)}) {
        store::ProductCatalog::addProduct(made);
    }
    store::Product intro = product("intro_yearly", "9.99");
    intro.introductoryPrice = store::ProductDiscount{"0.99", store::DiscountPaymentMode::PayAsYouGo};
    store::ProductCatalog::addProduct(intro);

    auto entry = [](const std::string& productID, const std::string& t, const std::string& o, uint8_t type,
                    double days, std::vector<Bytes> more = {}) {
        std::vector<Bytes> fields = {productIdentifier(productID), transactionID(t), originalTransactionID(o),
                                     purchaseType(type), purchaseDate(receiptDate(days))};
        fields.insert(fields.end(), more.begin(), more.end());
        return item(fields);
    };
    writeReceipt({
        entry("coins", "1000", "1000", 1, 0),
        entry("premium", "2000", "2000", 0, -1),
        entry("trial_monthly", "3000", "3000", 3, 2, {webOrderLineItemID({0x01, 0x00}), freeTrial(1)}),
        entry("intro_yearly", "4000", "4000", 3, 3, {introductoryOffer(1)}),
        entry("monthly", "5000", "5000", 3, 4, {freeTrial(1)}),
        entry("monthly", "5001", "5000", 3, 5),
        entry("weekly", "6000", "6000", 3, 6),
        entry("weekly", "6001", "6000", 3, 7),
        entry("nocurrency", "7000", "7000", 1, 8),
        entry("gems", "8000", "8000", 1, 9),
    });

    // Transaction dates carry fractions of a second; the receipt's do not.
    deliver({purchase("coins", "1000", 0 + 0.734 / kDay), purchase("premium", "2001", 1, 1, "2000"),
             purchase("trial_monthly", "3000", 2 + 0.25 / kDay), purchase("intro_yearly", "4000", 3 + 0.5 / kDay, 2),
             purchase("monthly", "5001", 5 + 0.9 / kDay, 1, "5000"), purchase("weekly", "6001", 7 + 0.1 / kDay, 1, "6000"),
             purchase("nocurrency", "7000", 8), purchase("gems", "8000", 9, 3)});
    // The queue delivers the first purchase again.
    deliver({purchase("coins", "1000", 0 + 0.734 / kDay)});
    EXPECT_TRUE(logged(23141));

    struct Expected {
        const char* product;
        const char* name;
        int64_t price, value;
        std::vector<std::pair<const char*, int64_t>> flags;
        std::vector<const char*> absent;
    };
    const std::vector<Expected> table = {
        {"coins", "_iap", 990'000, 990'000, {}, {"subscription", "free_trial"}},
        {"premium", "_iapx", 4'990'000, 4'990'000, {}, {"invalid", "subscription"}},
        {"trial_monthly", "_iap", 0, 0,
         {{"subscription", 1}, {"free_trial", 1}, {"price_is_discounted", 1}, {"original_price", 4'990'000}}, {}},
        {"intro_yearly", "_iap", 990'000, 1'980'000,
         {{"subscription", 1}, {"price_is_discounted", 1}, {"original_price", 9'990'000}, {"quantity", 2}}, {}},
        {"monthly", "_assc", 2'990'000, 2'990'000, {}, {"subscription", "sub_convert", "sub_renew"}},
        {"weekly", "_assr", 990'000, 990'000, {}, {"subscription", "sub_convert", "sub_renew"}},
        {"gems", "_iap", 1'990'000, 5'970'000, {{"quantity", 3}}, {}},
    };
    auto events = purchaseEvents();
    EXPECT_FALSE(events.count("nocurrency"));
    for (const Expected& expected : table) {
        SCOPED_TRACE(expected.product);
        ASSERT_EQ(events[expected.product].size(), 1u);
        const StoredEvent& event = events[expected.product][0];
        EXPECT_EQ(event.origin, "auto");
        EXPECT_EQ(event.name, expected.name);
        EXPECT_TRUE(event.has("price", MSRValue(expected.price)));
        EXPECT_TRUE(event.has("value", MSRValue(expected.value)));
        EXPECT_TRUE(event.has("currency", MSRValue("USD")));
        for (const auto& [key, value] : expected.flags) EXPECT_TRUE(event.has(key, MSRValue(value))) << key;
        for (const char* key : expected.absent) EXPECT_FALSE(event.parameters.count(key)) << key;
        EXPECT_EQ(event.parameters.count("_did"), std::string(expected.name) == "_iapx" ? 0u : 1u);
    }

    // Uploaded, and protoc reads the batch.
    engine().fetchRemoteConfig();
    runUntilIdle();
    advanceBy(24 * 3600);
    ASSERT_FALSE(payloads.empty());
    const TemporaryDataRoot scratch("purchase-protoc");
    const std::string in = (scratch.path() / "batch.bin").string();
    const std::string out = (scratch.path() / "batch.txt").string();
    std::string decoded;
    for (const auto& payload : payloads) {
        std::ofstream(in, std::ios::binary | std::ios::trunc) << std::string(payload.begin(), payload.end());
        const std::string command = "protoc --decode=msr.MeasurementBatch -I '" + std::string(CALVARO_PROTO_DIR) +
                                    "' measurement.proto < '" + in + "' > '" + out + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::ifstream text(out);
        decoded += std::string((std::istreambuf_iterator<char>(text)), std::istreambuf_iterator<char>());
    }
    for (const char* name : {"\"_iap\"", "\"_iapx\"", "\"_assc\"", "\"_assr\""})
        EXPECT_NE(decoded.find(name), std::string::npos) << name;
    EXPECT_NE(decoded.find("int_value: 5970000"), std::string::npos);
    EXPECT_NE(decoded.find("string_value: \"coins\""), std::string::npos);
}

TEST_F(PurchaseRoadTest, AFailedProductLookupLosesNothing) {
    writeReceipt({receipt::item({receipt::productIdentifier("boost"), receipt::transactionID("9000"),
                                 receipt::originalTransactionID("9000"), receipt::purchaseType(1)})});
    store::ProductCatalog::addProduct(product("boost", "0.49"));
    store::ProductCatalog::setFailure("The store cannot be reached");
    deliver({purchase("boost", "9000", 0)});
    EXPECT_TRUE(logged(21027));
    EXPECT_TRUE(purchaseEvents()["boost"].empty());

    // The next delivery reports it, and only once.
    store::ProductCatalog::setFailure(std::nullopt);
    deliver({purchase("boost", "9000", 0)});
    deliver({purchase("boost", "9000", 0)});
    EXPECT_EQ(purchaseEvents()["boost"].size(), 1u);
    EXPECT_EQ(sql("SELECT count(*) FROM purchase_transactions"), std::vector<std::string>{"1"});
}

TEST_F(PurchaseRoadTest, NewerTransactionsAreReportedFromTheirOwnValues) {
    // No receipt: each transaction stands in for its own receipt item.
    store::ProductCatalog::addProduct(product("lives", "0.49"));
    store::ProductCatalog::addProduct(product("pro_monthly", "3.99"));
    auto transaction = [](const std::string& productID, uint64_t id, store::ProductType type,
                          std::optional<store::TransactionOffer> offer) {
        store::StoreTransaction made;
        made.productID = productID;
        made.id = made.originalID = id;
        made.productType = type;
        made.offer = offer;
        made.purchaseDate = made.originalPurchaseDate = kBase + id + 0.5;
        return made;
    };
    const store::TransactionOffer trial{store::TransactionOffer::Type::Introductory,
                                        store::TransactionOffer::PaymentMode::FreeTrial};
    struct Case {
        const char* name;
        store::StoreTransaction transaction;
        bool offersSupported;
        int64_t price;
        bool freeTrial;
    };
    const std::vector<Case> cases = {
        {"consumable", transaction("lives", 11, store::ProductType::Consumable, std::nullopt), true, 490'000, false},
        {"free trial", transaction("pro_monthly", 12, store::ProductType::AutoRenewable, trial), true, 0, true},
        {"offer unknown to the system", transaction("pro_monthly", 13, store::ProductType::AutoRenewable, trial),
         false, 3'990'000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store::setOffersSupported(c.offersSupported);
        logTransaction(c.transaction);
        runUntilIdle();
        const auto events = purchaseEvents()[c.transaction.productID];
        ASSERT_FALSE(events.empty());
        const StoredEvent& event = events.back();
        EXPECT_EQ(event.name, "_iap");
        EXPECT_TRUE(event.has("price", MSRValue(c.price)));
        EXPECT_EQ(event.parameters.count("free_trial"), c.freeTrial ? 1u : 0u);
        EXPECT_EQ(event.parameters.count("subscription"),
                  c.transaction.productType == store::ProductType::AutoRenewable ? 1u : 0u);
    }
    store::setOffersSupported(true);
}

TEST_F(PurchaseRoadTest, ATransactionDeliveredAgainWhileBeingReportedCountsOnce) {
    writeReceipt({receipt::item({receipt::productIdentifier("coins"), receipt::transactionID("1000"),
                                 receipt::originalTransactionID("1000"), receipt::purchaseType(1),
                                 receipt::purchaseDate(receiptDate(0))})});
    store::ProductCatalog::addProduct(product("coins", "0.99"));
    // The second delivery comes while the first waits for its product.
    store::PaymentQueue::defaultQueue().deliver({purchase("coins", "1000", 0)});
    store::PaymentQueue::defaultQueue().deliver({purchase("coins", "1000", 0)});
    runUntilIdle();
    deliver({purchase("coins", "1000", 0)});  // and once more after it was reported

    EXPECT_EQ(purchaseEvents()["coins"].size(), 1u);
    auto lifetime = database().userAttributeWithName("_ltv_USD", nullptr);
    ASSERT_TRUE(lifetime);
    EXPECT_EQ(lifetime->value(), MSRValue(int64_t{990'000}));
    EXPECT_EQ(sql("SELECT count(*) FROM purchase_transactions"), std::vector<std::string>{"1"});
}

// What the public entry hands the purchase reporter.
class RecordingTransactionReporter : public MSRTransactionReporterInterface {
  public:
    struct Values {
        std::optional<std::string> webOrderLineItemID;
        int64_t productType = -1;
        std::optional<double> expiration, revocation;
    };
    void reportTransactionWithProductID(const std::string&, const std::optional<std::string>&,
                                        const std::optional<std::string>&,
                                        const std::optional<std::string>& webOrderLineItemID, int64_t productType,
                                        bool, bool, int64_t, std::optional<double>, std::optional<double>,
                                        std::optional<double> subscriptionExpirationDate,
                                        std::optional<double> cancellationDate) override {
        calls.push_back({webOrderLineItemID, productType, subscriptionExpirationDate, cancellationDate});
    }
    std::vector<Values> calls;
};

TEST_F(PurchaseRoadTest, NewerTransactionsPassAbsentValuesAsAbsent) {
    auto recorder = std::make_shared<RecordingTransactionReporter>();
    MSRComponentRegistry::registerInstance<MSRTransactionReporterInterface>(recorder);
    // Collection off: the reporter still hears of it (its event meets the check).
    MSRAnalytics::setAnalyticsEnabled(false, false);
    runUntilIdle();
    store::StoreTransaction plain;
    plain.productID = "lives";
    plain.id = plain.originalID = 21;
    plain.productType = store::ProductType::NonRenewable;
    plain.purchaseDate = plain.originalPurchaseDate = kBase;
    store::StoreTransaction renewing = plain;
    renewing.productType = store::ProductType::AutoRenewable;
    renewing.webOrderLineItemID = "4711";
    renewing.expirationDate = kBase + kDay;
    renewing.revocationDate = kBase + 2 * kDay;
    logTransaction(plain);
    logTransaction(renewing);
    ASSERT_EQ(recorder->calls.size(), 2u);
    EXPECT_FALSE(recorder->calls[0].webOrderLineItemID || recorder->calls[0].expiration ||
                 recorder->calls[0].revocation);
    EXPECT_EQ(recorder->calls[0].productType, 2);
    EXPECT_EQ(recorder->calls[1].webOrderLineItemID, "4711");
    EXPECT_EQ(recorder->calls[1].expiration, kBase + kDay);
    EXPECT_EQ(recorder->calls[1].revocation, kBase + 2 * kDay);
    EXPECT_EQ(recorder->calls[1].productType, 3);

    // The purchase reaches the engine, which drops it while collection is off.
    MSRComponentRegistry::registerInstance<MSRTransactionReporterInterface>(
        MSRInAppPurchaseTransactionReporter::sharedInstance());
    store::ProductCatalog::addProduct(product("lives", "0.49"));
    logTransaction(plain);
    runUntilIdle();
    EXPECT_TRUE(purchaseEvents()["lives"].empty());
}
