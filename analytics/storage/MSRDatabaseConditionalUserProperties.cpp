// Conditional user properties in the analytics database: one row per name in
// "conditional_properties", the value stored as its own SQLite kind and the
// three outcome events as the encodings of their wire form.

#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRDatabaseValues.h"
#include "analytics/storage/MSRStorageLog.h"
#include "platform/dispatch/Clock.h"

namespace {

constexpr const char* kConditionalPropertiesTable = "conditional_properties";
constexpr int64_t kConditionalPropertiesLimit = 1000;
constexpr int64_t kConditionError = 1;
constexpr int64_t kConversionError = 2;
constexpr int64_t kRecordError = 3;

bool isNull(const MSRSqliteValue* column) { return !column || std::holds_alternative<MSRSqliteNull>(*column); }

// "_" and "%" of a caller's text match only themselves.
std::string escapedLikePattern(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        if (c == '_' || c == '%' || c == '!') escaped.push_back('!');
        escaped.push_back(c);
    }
    return escaped;
}

std::optional<std::vector<uint8_t>> eventBytes(const MSREvent& event) { return event.protoEvent().protoBuffer(); }

}  // namespace

std::optional<MSREvent> MSRDatabase::eventFromStoredData(const MSRSqliteValue& data, MSRError* error) {
    const auto* bytes = std::get_if<MSRSqliteBlob>(&data);
    if (!bytes) {
        MSRSetError(error, kConversionError, "Failed to convert data to an event. Data must be a NSData instance");
        return std::nullopt;
    }
    std::optional<MSRPBEvent> proto = MSRPBEvent::initWithBuffer(*bytes);
    if (!proto) {
        MSRSetError(error, kConversionError, "Failed to parse event from data");
        return std::nullopt;
    }
    std::optional<MSREvent> event = MSREvent::initWithEventProto(*proto);
    if (!event) MSRSetError(error, kConversionError, "Failed to initialize event from proto data");
    return event;
}

std::optional<MSRConditionalUserProperty> MSRDatabase::conditionalUserPropertyFromRow(const MSRSqliteRow& row,
                                                                                     MSRError* error) {
    MSRConditionalUserProperty property;
    property.setName(MSRSqliteTextColumn(row, "name"));
    property.setOrigin(MSRSqliteTextColumn(row, "origin"));
    property.setValue(MSRValueFromColumn(MSRSqliteColumn(row, "value")));
    property.setTriggerTimeout(MSRSqliteDoubleColumn(row, "trigger_timeout"));
    property.setTimeToLive(MSRSqliteDoubleColumn(row, "time_to_live"));
    if (const MSRSqliteValue* trigger = MSRSqliteColumn(row, "trigger_event_name"); !isNull(trigger))
        property.setTriggerEventName(MSRSqliteTextColumn(row, "trigger_event_name"));
    struct EventColumn {
        const char* column;
        void (MSRConditionalUserProperty::*set)(std::optional<MSREvent>);
    };
    for (const EventColumn& entry : {EventColumn{"triggered_event", &MSRConditionalUserProperty::setTriggeredEvent},
                                     EventColumn{"timed_out_event", &MSRConditionalUserProperty::setTimedOutEvent},
                                     EventColumn{"expired_event", &MSRConditionalUserProperty::setExpiredEvent}}) {
        const MSRSqliteValue* column = MSRSqliteColumn(row, entry.column);
        if (isNull(column)) continue;
        std::optional<MSREvent> event = eventFromStoredData(*column, error);
        if (!event) return std::nullopt;
        (property.*entry.set)(std::move(event));
    }
    property.setActive(MSRSqliteDoubleColumn(row, "active") != 0);
    property.setCreationTimestamp(MSRSqliteDoubleColumn(row, "creation_timestamp"));
    property.setTriggeredTimestamp(MSRSqliteDoubleColumn(row, "triggered_timestamp"));
    return property;
}

std::optional<std::vector<MSRConditionalUserProperty>> MSRDatabase::conditionalUserPropertiesWithCondition(
    const std::string& condition, const MSRSqliteValues& parameterValues, MSRError* error) {
    if (condition.empty()) {
        MSRSetError(error, kConditionError, "Received empty condition for querying a conditional user property");
        return std::nullopt;
    }
    auto rows = sqliteStore_->recordsForQuery(std::string("SELECT rowid, * FROM ") + kConditionalPropertiesTable + " WHERE " + condition,
                                              parameterValues, error);
    if (!rows) return std::nullopt;
    std::vector<MSRConditionalUserProperty> properties;
    properties.reserve(rows->size());
    for (const MSRSqliteRow& row : *rows) {
        MSRError rowError;
        std::optional<MSRConditionalUserProperty> property = conditionalUserPropertyFromRow(row, &rowError);
        if (property) {
            properties.push_back(std::move(*property));
            continue;
        }
        // A row that can no longer be read would hide every other record
        // from the time-out, expiry and trigger checks for good: it goes, and
        // the rest are answered.
        const std::string name = MSRSqliteTextColumn(row, "name");
        MSRStorageLog(1, 12076, "Deleting conditional user property that cannot be read. Name, error",
                      {name, rowError});
        const MSRSqliteValue* rowID = MSRSqliteColumn(row, "rowid");
        if (rowID && std::holds_alternative<int64_t>(*rowID)) {
            sqliteStore_->deleteRecordsFromTable(kConditionalPropertiesTable, "rowid = ?", {*rowID}, nullptr);
        }
    }
    return properties;
}

std::optional<MSRConditionalUserProperty> MSRDatabase::conditionalUserPropertyWithName(const std::string& name,
                                                                                      MSRError* error) {
    auto found = conditionalUserPropertiesWithCondition("name = ? LIMIT 1", {name}, error);
    if (!found || found->empty()) return std::nullopt;
    return std::move(found->front());
}

bool MSRDatabase::updateConditionalUserProperty(const std::optional<MSRConditionalUserProperty>& property,
                                                MSRError* error) {
    const char* refusal =
        !property                  ? "Received empty conditional user property for getting dictionary representation"
        : property->name().empty() ? "Received conditional user property with empty name for getting dictionary "
                                     "representation"
        : property->origin().empty()
            ? "Received conditional user property with empty origin for getting dictionary representation"
        : !property->value() ? "Received conditional user property with nil value for getting dictionary representation"
                             : nullptr;
    if (refusal) return MSRCheckSuccess(false, error, kRecordError, refusal);
    MSRSqliteRecord record{{"name", property->name()},
                           {"origin", property->origin()},
                           {"value", MSRStorableObjectFromValue(*property->value())},
                           {"creation_timestamp", property->creationTimestamp()},
                           {"active", int64_t{property->isActive() ? 1 : 0}},
                           {"trigger_timeout", property->triggerTimeout()},
                           {"triggered_timestamp", property->triggeredTimestamp()},
                           {"time_to_live", property->timeToLive()}};
    if (!property->triggerEventName().empty()) record.emplace("trigger_event_name", property->triggerEventName());
    struct EventColumn {
        const char* column;
        const std::optional<MSREvent>& event;
    };
    for (const EventColumn& entry : {EventColumn{"triggered_event", property->triggeredEvent()},
                                     EventColumn{"timed_out_event", property->timedOutEvent()},
                                     EventColumn{"expired_event", property->expiredEvent()}}) {
        if (!entry.event) continue;
        std::optional<std::vector<uint8_t>> bytes = eventBytes(*entry.event);
        if (!bytes) return MSRCheckSuccess(false, error, kRecordError, "Cannot encode the event of a conditional user property");
        record.emplace(entry.column, std::move(*bytes));
    }
    return upsertDataType(record, kConditionalPropertiesTable, "name", MSRSqliteValue(property->name()), kConditionalPropertiesLimit, error);
}

bool MSRDatabase::deleteConditionalUserPropertyWithName(const std::string& name, MSRError* error) {
    return sqliteStore_->deleteRecordFromTable(kConditionalPropertiesTable, "name", MSRSqliteValue(name), error);
}

std::optional<std::vector<MSRConditionalUserProperty>> MSRDatabase::timedOutConditionalUserProperties(MSRError* error) {
    const double now = dispatch::Clock::now();
    return conditionalUserPropertiesWithCondition("active=0 and abs(? - creation_timestamp) > trigger_timeout", {now},
                                                  error);
}

std::optional<std::vector<MSRConditionalUserProperty>> MSRDatabase::expiredConditionalUserProperties(MSRError* error) {
    const double now = dispatch::Clock::now();
    return conditionalUserPropertiesWithCondition("active=1 and abs(? - triggered_timestamp) > time_to_live", {now},
                                                  error);
}

std::optional<std::vector<MSRConditionalUserProperty>> MSRDatabase::triggeredConditionalUserPropertiesWithEventName(
    const std::string& eventName, MSRError* error) {
    const double now = dispatch::Clock::now();
    if (eventName.empty()) {
        MSRSetError(error, kConditionError,
                    "Received nil/empty event name for querying triggered conditional user properties");
        return std::nullopt;
    }
    return conditionalUserPropertiesWithCondition(
        "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout", {eventName, now},
        error);
}

std::optional<std::vector<MSRConditionalUserProperty>> MSRDatabase::conditionalUserPropertiesWithPrefix(
    const std::string& prefix, const std::string& origin, MSRError* error) {
    std::string condition;
    // Values made in place: GCC's uninitialized-use analysis takes a moved-in
    // temporary for possibly uninitialized.
    MSRSqliteValues parameters;
    if (!origin.empty()) {
        condition = "origin LIKE ? ESCAPE '!'";
        parameters.emplace_back(escapedLikePattern(origin));
    }
    if (!prefix.empty()) {
        if (!condition.empty()) condition += " AND ";
        condition += "name LIKE ? || '%' ESCAPE '!'";
        parameters.emplace_back(escapedLikePattern(prefix));
    }
    if (condition.empty()) condition = "1 == 1";
    return conditionalUserPropertiesWithCondition(condition, parameters, error);
}

std::optional<bool> MSRDatabase::hasConditionalUserProperties(MSRError* error) {
    return answerForQuery("SELECT EXISTS (SELECT 1 FROM conditional_properties)", {}, error);
}
