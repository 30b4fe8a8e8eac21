#pragma once

#include <memory>

#include "analytics/core/MSRMeasurementComponents.h"

class MSRRemoteConfig;

// Keeps, per currency, the running total a user has spent as the automatic
// user property "_ltv_" + the upper-cased currency code, in micros. It runs
// inside the transaction that stores the event: answering false drops the
// event with everything it wrote.
class MSRCurrencyLifetimeValueRecorder : public MSRLifetimeValueRecorder {
public:
    explicit MSRCurrencyLifetimeValueRecorder(std::shared_ptr<MSRRemoteConfig> remoteConfig);

    // "_iap", or an e-commerce purchase ("ecommerce_purchase", "purchase", "refund").
    bool isPurchaseEvent(const MSREvent& event) override;
    static bool isEcommercePurchaseEvent(const MSREvent& event);
    // True when nothing had to be recorded, when the currency or value is
    // unusable (logged), or when the total was updated.
    bool recordLifetimeValueToDatabase(MSRDatabase& database, const MSREvent& event) override;

private:
    std::shared_ptr<MSRRemoteConfig> remoteConfig_;
};
