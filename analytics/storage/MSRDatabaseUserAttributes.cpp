// User properties in the analytics database: one row per name in
// "user_attributes", the value stored as its own SQLite kind (text, integer or
// real) rather than as an encoded message.

#include "analytics/storage/MSRDatabase.h"

#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/model/MSRNameTables.h"

namespace {

constexpr const char* kTable = "user_attributes";
constexpr int64_t kTableLimit = 1000;

// The row's value as a typed value; nothing for NULL or a blob.
std::optional<MSRValue> valueFromColumn(const MSRSqliteValue& column) {
    if (const auto* text = std::get_if<std::string>(&column)) return MSRValue(*text);
    if (const auto* real = std::get_if<double>(&column)) return MSRValue(*real);
    if (const auto* integer = std::get_if<int64_t>(&column)) return MSRValue(*integer);
    return std::nullopt;
}

MSRSqliteValue storableObjectFromValue(const MSRValue& value) {
    if (const auto* text = value.stringValue()) return *text;
    if (value.isDouble()) return value.doubleValue();
    return value.int64Value();
}

std::string textColumn(const MSRSqliteRow& row, const char* column) {
    auto found = row.find(column);
    if (found == row.end()) return {};
    const auto* text = std::get_if<std::string>(&found->second);
    return text ? *text : std::string();
}

double realColumn(const MSRSqliteRow& row, const char* column) {
    auto found = row.find(column);
    if (found == row.end()) return 0;
    if (const auto* real = std::get_if<double>(&found->second)) return *real;
    if (const auto* integer = std::get_if<int64_t>(&found->second)) return static_cast<double>(*integer);
    return 0;
}

// A row that gives no property (unreadable value, refused name) is skipped by
// the callers; it sets no error of its own.
std::optional<MSRUserAttribute> userAttributeFromRow(const MSRSqliteRow& row) {
    auto value = row.find("value");
    if (value == row.end()) return std::nullopt;
    auto typed = valueFromColumn(value->second);
    if (!typed) return std::nullopt;
    return MSRUserAttribute::initWithOrigin(textColumn(row, "origin"), textColumn(row, "name"), std::move(*typed),
                                            realColumn(row, "set_timestamp"));
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

std::optional<std::vector<MSRUserAttribute>> MSRDatabase::userAttributesIncludingInternal(bool includeInternal,
                                                                                         MSRError* error) {
    std::vector<MSRUserAttribute> attributes;
    auto made = allDataTypesFromTable(kTable, kTableLimit, error, [&](const MSRSqliteRow& row, MSRError*) {
        auto attribute = userAttributeFromRow(row);
        if (!attribute) return false;
        attributes.push_back(std::move(*attribute));
        return true;
    });
    if (includeInternal) {
        if (!made) return std::nullopt;
        return attributes;
    }
    // Callers that ask for the public properties get an empty list, never
    // nothing, when the read failed.
    std::vector<MSRUserAttribute> reported;
    if (made) {
        for (auto& attribute : attributes) {
            if (isReportedToCallers(attribute)) reported.push_back(std::move(attribute));
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
                           {"value", storableObjectFromValue(attribute->value())},
                           {"set_timestamp", attribute->lastSetTimestamp()}};
    return upsertDataType(record, kTable, "name", MSRSqliteValue(attribute->name()), kTableLimit, error);
}

bool MSRDatabase::deleteUserAttributeWithName(const std::string& name, MSRError* error) {
    return sqliteStore_->deleteRecordFromTable(kTable, "name", MSRSqliteValue(name), error);
}
