// Per-event-name aggregates and the identifiers of subscriptions already
// reported, as MSRDatabase stores them.

#include "analytics/storage/MSRDatabase.h"

namespace {

constexpr const char* kEventsTable = "events";

bool isNumber(const MSRSqliteValue* value) {
    return value && (std::holds_alternative<int64_t>(*value) || std::holds_alternative<double>(*value));
}

// Rows written before the sampling and session columns existed read with the
// values a fresh record has.
std::optional<MSREventAggregates> aggregatesFromRow(const MSRSqliteRow& row) {
    const MSRSqliteValue* name = MSRSqliteColumn(row, "name");
    const auto* text = name ? std::get_if<std::string>(name) : nullptr;
    if (!text) return std::nullopt;
    std::optional<MSREventAggregates> aggregates =
        MSREventAggregates::initWithName(*text, MSRSqliteInt32Column(row, "lifetime_count", 0),
                                         MSRSqliteInt32Column(row, "current_bundle_count", 0),
                                         MSRSqliteInt32Column(row, "current_session_count", 0),
                                         MSRSqliteDoubleColumn(row, "last_fire_timestamp", 0));
    if (!aggregates) return std::nullopt;
    aggregates->setLastBundledTimestamp(MSRSqliteDoubleColumn(row, "last_bundled_timestamp", 0));
    const MSRSqliteValue* complexID = MSRSqliteColumn(row, "last_sampled_complex_event_id");
    if (isNumber(complexID)) aggregates->setLastSampledComplexEventID(MSRSqliteInt64(*complexID));
    aggregates->setLastSamplingRate(MSRSqliteInt32Column(row, "last_sampling_rate", 1));
    aggregates->setLastExemptFromSampling(MSRSqliteInt32Column(row, "last_exempt_from_sampling", 0) != 0);
    aggregates->setLastBundledDay(MSRSqliteInt32Column(row, "last_bundled_day", 0));
    return aggregates;
}

}  // namespace

std::optional<MSREventAggregates> MSRDatabase::eventAggregatesWithName(const std::string& name,
                                                                       MSRError* error) {
    return eventAggregatesWithName(name, kEventsTable, error);
}

std::optional<MSREventAggregates> MSRDatabase::eventAggregatesWithName(const std::string& name,
                                                                       const std::string& table, MSRError* error) {
    return firstDataTypeFromTable<MSREventAggregates>(table, "name", MSRSqliteValue(name), error, aggregatesFromRow);
}

std::optional<std::vector<MSREventAggregates>> MSRDatabase::allEventAggregates(MSRError* error) {
    std::vector<MSREventAggregates> all;
    auto made = allDataTypesFromTable(kEventsTable, kMaxEventAggregatesRows, error, [&](const MSRSqliteRow& row, MSRError*) {
        std::optional<MSREventAggregates> aggregates = aggregatesFromRow(row);
        if (!aggregates) return false;
        all.push_back(std::move(*aggregates));
        return true;
    });
    if (!made) return std::nullopt;
    return all;
}

bool MSRDatabase::deleteAllEventAggregates(MSRError* error) {
    namesWithAggregates_.clear();
    return sqliteStore_->deleteAllRecordsFromTable(kEventsTable, error);
}

// Writing an event only asks whether its name has a row; the row itself is
// read when bundling.
std::optional<bool> MSRDatabase::containsEventAggregatesWithName(const std::string& name, MSRError* error) {
    if (namesWithAggregates_.count(name)) return true;
    std::optional<bool> contains = answerForQuery("SELECT EXISTS (SELECT 1 FROM events WHERE name = ?)", {name}, error);
    if (contains.value_or(false)) namesWithAggregates_.insert(name);
    return contains;
}

bool MSRDatabase::updateEventAggregates(const MSREventAggregates& aggregates, MSRError* error) {
    if (aggregates.name().empty()) {
        return MSRCheckSuccess(
            false, error, kMSRSqliteErrorBadArgument,
            "Received event aggregates object with empty name for getting dictionary representation");
    }
    MSRSqliteRecord record = {
        {"name", aggregates.name()},
        {"lifetime_count", int64_t{aggregates.lifetimeCount()}},
        {"current_bundle_count", int64_t{aggregates.currentBundleCount()}},
        {"last_fire_timestamp", aggregates.lastFireTimestamp()},
        {"last_bundled_timestamp", aggregates.lastBundledTimestamp()},
        {"last_sampling_rate", int64_t{aggregates.lastSamplingRate()}},
        {"last_exempt_from_sampling", int64_t{aggregates.lastExemptFromSampling() ? 1 : 0}},
        {"last_bundled_day", int64_t{aggregates.lastBundledDay()}},
        {"current_session_count", int64_t{aggregates.currentSessionCount()}}};
    if (aggregates.lastSampledComplexEventID()) {
        record.emplace("last_sampled_complex_event_id", *aggregates.lastSampledComplexEventID());
    }
    return upsertDataType(record, kEventsTable, "name", MSRSqliteValue(aggregates.name()), kMaxEventAggregatesRows,
                          error);
}

std::optional<int64_t> MSRDatabase::publicEventCount(MSRError* error) {
    return sqliteStore_->integerForQuery("SELECT count(1) FROM events WHERE name NOT LIKE '!_%' ESCAPE '!'", {},
                                         error);
}

std::optional<bool> MSRDatabase::insertIfNotDuplicateSubscriptionID(const std::string& subscriptionID,
                                                                    MSRError* error) {
    if (subscriptionID.empty()) return false;
    std::optional<bool> exists =
        answerForQuery("SELECT EXISTS (SELECT 1 FROM subscriptions WHERE subscription_id = ? LIMIT 1)",
                       {subscriptionID}, error);
    if (!exists) return std::nullopt;
    if (*exists) return false;
    if (!sqliteStore_->upsertRecord({{"subscription_id", subscriptionID}}, "subscriptions", error))
        return std::nullopt;
    return true;
}

std::optional<int64_t> MSRDatabase::deleteSubscriptionsOverLimit(MSRError* error) {
    return sqliteStore_->deleteRecordsFromTable(
        "subscriptions", "rowid IN (SELECT rowid FROM subscriptions ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
        {kMaxSubscriptionRows}, error);
}

std::optional<bool> MSRDatabase::containsPurchaseFingerprint(const std::string& fingerprint, MSRError* error) {
    if (fingerprint.empty()) return false;
    return answerForQuery("SELECT EXISTS (SELECT 1 FROM purchase_transactions WHERE fingerprint = ? LIMIT 1)",
                          {fingerprint}, error);
}

std::optional<bool> MSRDatabase::insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint,
                                                                        MSRError* error) {
    if (fingerprint.empty()) return false;
    std::optional<bool> exists = containsPurchaseFingerprint(fingerprint, error);
    if (!exists) return std::nullopt;
    if (*exists) return false;
    if (!sqliteStore_->upsertRecord({{"fingerprint", fingerprint}}, "purchase_transactions", error))
        return std::nullopt;
    if (!sqliteStore_->deleteRecordsFromTable(
            "purchase_transactions",
            "rowid IN (SELECT rowid FROM purchase_transactions ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
            {kMaxPurchaseFingerprintRows}, error)) {
        return std::nullopt;
    }
    return true;
}
