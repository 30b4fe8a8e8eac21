// Lifetime value on the engine's event road: totals per currency written in
// the event's own transaction, and dropped with it.

#include "MeasurementEventsHarness.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/reporters/MSRCurrencyLifetimeValueRecorder.h"

namespace {

class LifetimeValueTest : public MeasurementEventsHarness {
  protected:
    LifetimeValueTest() {
        MSRComponentRegistry::registerMaker<MSRLifetimeValueRecorder>([](const MSRComponentContext& context) {
            return std::make_shared<MSRCurrencyLifetimeValueRecorder>(context.remoteConfig);
        });
    }
    std::optional<int64_t> total(const std::string& name) {
        auto attribute = database().userAttributeWithName(name, nullptr);
        if (!attribute) return std::nullopt;
        return attribute->value().int64Value();
    }
    void purchase(const std::string& name, const std::string& currency, foundation::Value value) {
        log(name, {{"currency", foundation::Value(currency)}, {"value", value}}, name[0] == '_' ? "auto" : "app");
        advanceBy(1);  // every update its own last-set time
    }
};

}  // namespace

TEST_F(LifetimeValueTest, TotalsPerCurrency) {
    struct Step {
        const char* name;
        const char* currency;
        foundation::Value value;
        const char* property;
        std::optional<int64_t> total;
        bool stored;
    };
    const std::vector<Step> steps = {
        {"purchase", "usd", foundation::Value(9.99), "_ltv_USD", 9'990'000, true},
        {"refund", "EUR", foundation::Value(int64_t{5}), "_ltv_EUR", -5'000'000, true},
        {"_iap", "USD", foundation::Value(int64_t{1'980'000}), "_ltv_USD", 11'970'000, true},
        {"ecommerce_purchase", "usd", foundation::Value(0.0000005), "_ltv_USD", 11'970'001, true},
        // Unusable currency or value: the event stays, no total changes.
        {"purchase", "USDX", foundation::Value(1.0), "_ltv_USDX", std::nullopt, true},
        {"purchase", "USD", foundation::Value("ten"), "_ltv_USD", 11'970'001, true},
        // Beyond 64 bits in micros: the event goes, the total stays.
        {"purchase", "USD", foundation::Value(1e13), "_ltv_USD", 11'970'001, false},
    };
    size_t storedBefore = stored().size();
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.name) + " " + step.currency);
        purchase(step.name, step.currency, step.value);
        EXPECT_EQ(total(step.property), step.total);
        const size_t now = stored().size();
        EXPECT_EQ(now, storedBefore + (step.stored ? 1 : 0));
        storedBefore = now;
    }
    EXPECT_TRUE(logged(22002));
}

TEST_F(LifetimeValueTest, OverflowingTotalIsRefusedAndTheEventRolledBack) {
    ASSERT_TRUE(database().updateUserAttribute(
        MSRUserAttribute::initWithOrigin("auto", "_ltv_USD", MSRValue(INT64_MAX - 10), now()), nullptr));
    const size_t before = stored("purchase").size();
    purchase("purchase", "USD", foundation::Value(1.0));
    EXPECT_EQ(total("_ltv_USD"), INT64_MAX - 10);
    EXPECT_EQ(stored("purchase").size(), before);
    EXPECT_TRUE(logged(22002));
    // A refund still lowers it.
    purchase("refund", "USD", foundation::Value(1.0));
    EXPECT_EQ(total("_ltv_USD"), INT64_MAX - 10 - 1'000'000);
}

TEST_F(LifetimeValueTest, AFifthCurrencyEvictsTheLeastRecentlySetAndNothingElse) {
    // Names that the pattern LIKE '_ltv_%' would take in, set longest ago.
    for (const char* name : {"xltvyAAA", "_ltvxAAA"}) {
        ASSERT_TRUE(database().updateUserAttribute(
            MSRUserAttribute::initWithOrigin(name[0] == '_' ? "auto" : "app", name, MSRValue(int64_t{7}), 1.0),
            nullptr));
    }
    for (const char* currency : {"AUD", "BRL", "CAD", "DKK"}) purchase("purchase", currency, foundation::Value(1.0));
    purchase("purchase", "BRL", foundation::Value(1.0));  // a known one evicts nothing
    EXPECT_TRUE(total("_ltv_AUD"));
    purchase("purchase", "EUR", foundation::Value(1.0));
    EXPECT_FALSE(total("_ltv_AUD"));
    for (const char* name : {"_ltv_BRL", "_ltv_CAD", "_ltv_DKK", "_ltv_EUR", "xltvyAAA", "_ltvxAAA"}) {
        EXPECT_TRUE(total(name)) << name;
    }
    EXPECT_EQ(total("_ltv_BRL"), 2'000'000);
}
