// User properties in the analytics database: one row per name in
// "user_attributes", the value stored as its own SQLite kind (text, integer or
// real) rather than as an encoded message.

#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRDatabaseValues.h"

#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/model/MSRNameTables.h"

namespace {

constexpr const char* kTable = "user_attributes";
constexpr int64_t kTableLimit = 1000;

// A row that gives no property (unreadable value, refused name) is skipped by
// the callers; it sets no error of its own.
std::optional<MSRUserAttribute> userAttributeFromRow(const MSRSqliteRow& row) {
    auto value = row.find("value");
    if (value == row.end()) return std::nullopt;
    auto typed = MSRValueFromColumn(&value->second);
    if (!typed) return std::nullopt;
    return MSRUserAttribute::initWithOrigin(MSRSqliteTextColumn(row, "origin"),
                                            MSRSqliteTextColumn(row, "name"), std::move(*typed),
                                            MSRSqliteDoubleColumn(row, "set_timestamp"));
}

bool isReportedToCallers(const MSRUserAttribute& attribute) {
    const std::string& name = attribute.name();
    if (name.empty() || name[0] == '_') return false;
    if (MSRDataTypeValidator::hasReservedPrefixes(name)) return false;
    return MSRReservedUserPropertyNameMap().count(name) == 0;
}

}  // namespace

std::optional<int64_t> MSRDatabase::publicUserAttributeCount(MSRError* error) {
    return sqliteStore_->integerForQuery(
        "SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error);
}

std::optional<int64_t> MSRDatabase::userAttributeCountForOrigin(const std::string& origin, MSRError* error) {
    if (origin.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received empty user property origin for count query");
        return std::nullopt;
    }
    return sqliteStore_->integerForQuery("SELECT count(1) FROM user_attributes WHERE origin = ?", {origin}, error);
}

std::optional<bool> MSRDatabase::containsUserAttributeWithName(const std::string& name, MSRError* error) {
    if (name.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received empty user property name for exists query");
        return std::nullopt;
    }
    return answerForQuery("SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)", {name}, error);
}

std::optional<MSRUserAttribute> MSRDatabase::userAttributeWithName(const std::string& name, MSRError* error) {
    return firstDataTypeFromTable<MSRUserAttribute>(kTable, "name", MSRSqliteValue(name), error,
                                                    userAttributeFromRow);
}

void MSRDatabase::userAttributesChanged() {
    storedUserAttributes_.reset();
    ++userAttributesGeneration_;
}

// Rows that give no property are skipped, as by every reader of the table;
// a failed read is not kept.
const std::vector<MSRUserAttribute>* MSRDatabase::storedUserAttributes(MSRError* error) {
    if (storedUserAttributes_) return &*storedUserAttributes_;
    std::vector<MSRUserAttribute> attributes;
    auto made = allDataTypesFromTable(kTable, kTableLimit, error, [&](const MSRSqliteRow& row, MSRError*) {
        auto attribute = userAttributeFromRow(row);
        if (!attribute) return false;
        attributes.push_back(std::move(*attribute));
        return true;
    });
    if (!made) return nullptr;
    storedUserAttributes_ = std::move(attributes);
    return &*storedUserAttributes_;
}

std::optional<std::vector<MSRUserAttribute>> MSRDatabase::userAttributesIncludingInternal(bool includeInternal,
                                                                                         MSRError* error) {
    const std::vector<MSRUserAttribute>* stored = storedUserAttributes(error);
    if (includeInternal) {
        if (!stored) return std::nullopt;
        return *stored;
    }
    // Callers that ask for the public properties get an empty list, never
    // nothing, when the read failed.
    std::vector<MSRUserAttribute> reported;
    if (stored) {
        for (const auto& attribute : *stored) {
            if (isReportedToCallers(attribute)) reported.push_back(attribute);
        }
    }
    return reported;
}

// The prefix is compared as it is: as a LIKE pattern its underscores would
// match any character (and its letters any case), taking in properties that
// merely look like lifetime values.
std::optional<std::vector<MSRUserAttribute>> MSRDatabase::allLifetimeValueUserAttributes(MSRError* error) {
    static const std::string kPrefix = "_ltv_";
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT * FROM user_attributes WHERE substr(name, 1, length(?1)) = ?1 ORDER BY set_timestamp DESC",
        {kPrefix}, error);
    if (!rows) return std::nullopt;
    std::vector<MSRUserAttribute> attributes;
    for (const MSRSqliteRow& row : *rows) {
        std::optional<MSRUserAttribute> attribute = userAttributeFromRow(row);
        if (!attribute) {
            MSRSetError(error, kMSRSqliteErrorState, "Failed to initialize data types from dictionaries");
            return std::nullopt;
        }
        attributes.push_back(std::move(*attribute));
    }
    return attributes;
}

bool MSRDatabase::updateUserAttribute(const std::optional<MSRUserAttribute>& attribute, MSRError* error) {
    if (!attribute) {
        return MSRCheckSuccess(false, error, kMSRSqliteErrorDatabase,
                               "Received empty user property for getting dictionary representation");
    }
    if (attribute->origin().empty()) {
        return MSRCheckSuccess(false, error, kMSRSqliteErrorDatabase,
                               "Received user property with empty origin for getting dictionary representation");
    }
    if (attribute->name().empty()) {
        return MSRCheckSuccess(false, error, kMSRSqliteErrorBadArgument,
                               "Received user property with empty name for getting dictionary representation");
    }
    if (const auto* text = attribute->value().stringValue(); text && text->empty()) {
        return MSRCheckSuccess(false, error, kMSRSqliteErrorBadArgument, "Received empty string value for user property");
    }
    MSRSqliteRecord record{{"origin", attribute->origin()},
                           {"name", attribute->name()},
                           {"value", MSRStorableObjectFromValue(attribute->value())},
                           {"set_timestamp", attribute->lastSetTimestamp()}};
    userAttributesChanged();
    return upsertDataType(record, kTable, "name", MSRSqliteValue(attribute->name()), kTableLimit, error);
}

bool MSRDatabase::deleteUserAttributeWithName(const std::string& name, MSRError* error) {
    userAttributesChanged();
    return sqliteStore_->deleteRecordFromTable(kTable, "name", MSRSqliteValue(name), error);
}
