#include "analytics/reporters/MSRCurrencyLifetimeValueRecorder.h"

#include <cctype>
#include <cmath>

#include "analytics/core/MSRMeasurement.h"
#include "analytics/model/MSRNameTables.h"
#include "analytics/model/MSRUserAttribute.h"
#include "analytics/reporters/MSRReporterSupport.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "platform/dispatch/Clock.h"

namespace {

constexpr const char* kPrefix = "_ltv_";

MSRLogContext valueContext(const MSRParameters& parameters, const char* key) {
    auto found = parameters.find(key);
    return found == parameters.end() ? MSRLogContext() : MSRLogContext(found->second.description());
}

// Amount in currency units to micros, halves away from zero; nothing when the
// result leaves the signed 64-bit range.
std::optional<int64_t> microsOfAmount(double amount) {
    const double micros = std::round(amount * 1'000'000.0);
    // 2^63 is exact as a double; the range is [-2^63, 2^63).
    constexpr double kLimit = 9223372036854775808.0;
    if (!(micros >= -kLimit && micros < kLimit)) return std::nullopt;
    return static_cast<int64_t>(micros);
}

}  // namespace

MSRCurrencyLifetimeValueRecorder::MSRCurrencyLifetimeValueRecorder(std::shared_ptr<MSRRemoteConfig> remoteConfig)
    : remoteConfig_(std::move(remoteConfig)) {}

bool MSRCurrencyLifetimeValueRecorder::isEcommercePurchaseEvent(const MSREvent& event) {
    const std::string& name = event.name();
    return name == "ecommerce_purchase" || name == "purchase" || name == "refund";
}

bool MSRCurrencyLifetimeValueRecorder::isPurchaseEvent(const MSREvent& event) {
    return event.name() == "_iap" || isEcommercePurchaseEvent(event);
}

bool MSRCurrencyLifetimeValueRecorder::recordLifetimeValueToDatabase(MSRDatabase& database, const MSREvent& event) {
    if (!isPurchaseEvent(event)) return true;
    const MSRParameters& parameters = event.parameters();
    auto currency = parameters.find("currency");
    if (currency == parameters.end() || !currency->second.isString() ||
        currency->second.stringValue()->size() != 3) {
        MSRReporterLog(1, 22000, "Cannot record transaction with invalid currency code",
                       {valueContext(parameters, "currency")});
        return true;
    }
    auto value = parameters.find("value");
    if (value == parameters.end() || !(value->second.isDouble() || value->second.isInt64())) {
        MSRReporterLog(1, 22001, "Cannot record transaction with invalid transaction value",
                       {valueContext(parameters, "value")});
        return true;
    }

    int64_t micros = 0;
    if (isEcommercePurchaseEvent(event)) {
        const double amount =
            value->second.isDouble() ? value->second.doubleValue() : static_cast<double>(value->second.int64Value());
        std::optional<int64_t> converted = microsOfAmount(amount);
        if (!converted) {
            MSRReporterLog(1, 22002, "Cannot record transaction with value that is out of bounds");
            return false;
        }
        // The smallest total has no positive counterpart to refund.
        if (event.name() == "refund" && *converted == INT64_MIN) {
            MSRReporterLog(1, 22002, "Cannot record transaction with value that is out of bounds");
            return false;
        }
        micros = event.name() == "refund" ? -*converted : *converted;
    } else if (value->second.isInt64()) {
        micros = value->second.int64Value();  // already in micros
    } else {
        const double truncated = std::trunc(value->second.doubleValue());
        if (!(truncated >= -9223372036854775808.0 && truncated < 9223372036854775808.0)) {
            MSRReporterLog(1, 22002, "Cannot record transaction with value that is out of bounds");
            return false;
        }
        micros = static_cast<int64_t>(truncated);
    }

    std::string name = kPrefix;
    for (char c : *currency->second.stringValue()) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    MSRError error;
    std::optional<std::vector<MSRUserAttribute>> all = database.allLifetimeValueUserAttributes(&error);
    if (!all) {
        MSRReporterLog(1, 22003, "Failed to query all Lifetime Value User properties. Error", {error});
        return false;
    }
    int64_t total = micros;
    bool known = false;
    for (const MSRUserAttribute& attribute : *all) {
        if (attribute.name() != name) continue;
        known = true;
        // A total that would leave the 64-bit range is refused, not wrapped.
        if (__builtin_add_overflow(attribute.value().int64Value(), micros, &total)) {
            MSRReporterLog(1, 22002, "Cannot record transaction with value that is out of bounds");
            return false;
        }
        break;
    }
    const int64_t limit = remoteConfig_ ? remoteConfig_->maxTrackedCurrencies() : 4;
    if (!known && static_cast<int64_t>(all->size()) >= limit) {
        const std::string& oldest = all->back().name();
        if (!database.deleteUserAttributeWithName(oldest, &error)) {
            MSRReporterLog(1, 22004, "Unable to delete Lifetime Value User property. Name, error",
                           {MSRDebugUserPropertyName(oldest), error});
            return false;
        }
    }
    std::optional<MSRUserAttribute> property =
        MSRUserAttribute::initWithOrigin("auto", name, MSRValue(total), dispatch::Clock::now());
    if (!property || !database.updateUserAttribute(property, &error)) {
        MSRReporterLog(1, 22005, "Unable to upsert Lifetime Value User Attribute in database. Name, error",
                       {MSRDebugUserPropertyName(name), error});
        return false;
    }
    MSRReporterLog(7, 22006, "Lifetime value has been updated in database", {name});
    return true;
}
