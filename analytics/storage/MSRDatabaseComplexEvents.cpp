// The main events of complex events, kept for audience evaluation until
// their children have been processed.

#include "analytics/storage/MSRDatabase.h"

#include "analytics/storage/MSRSqliteStore.h"

namespace {

constexpr int64_t kComplexEventInputError = 1;
constexpr int64_t kComplexEventRowError = 3;
constexpr const char* kComplexEventsTable = "main_event_params";

}  // namespace

std::optional<std::pair<MSREvent, int64_t>> MSRDatabase::mainEventAndChildCountPairWithEventID(int64_t eventID,
                                                                                              MSRError* error) {
    auto rows = sqliteStore_->recordsForQuery(
        std::string("SELECT * FROM ") + kComplexEventsTable + " WHERE event_id=? LIMIT 1", {eventID}, error);
    if (!rows || rows->empty()) return std::nullopt;
    const MSRSqliteRow& row = rows->front();
    const MSRSqliteValue* blob = MSRSqliteColumn(row, "main_event");
    std::optional<MSREvent> event = blob ? eventFromStoredData(*blob, nullptr) : std::nullopt;
    if (!event) {
        MSRSetError(error, kComplexEventRowError, "Main event blob is nil in database");
        return std::nullopt;
    }
    const MSRSqliteValue* count = MSRSqliteColumn(row, "children_to_process");
    if (!count || !std::holds_alternative<int64_t>(*count)) {
        MSRSetError(error, kComplexEventRowError, "Complex event does not have children count in database");
        return std::nullopt;
    }
    return std::make_pair(std::move(*event), std::get<int64_t>(*count));
}

bool MSRDatabase::updateComplexEventForAudienceEvaluationWithEventID(int64_t eventID, int64_t childEventCount,
                                                                     const std::optional<MSREvent>& mainEvent,
                                                                     MSRError* error) {
    if (!mainEvent) {
        MSRSetError(error, kComplexEventInputError, "Received nil main event");
        return false;
    }
    std::optional<std::vector<uint8_t>> blob = mainEvent->protoEvent().protoBuffer();
    if (!blob) {
        MSRSetError(error, kComplexEventInputError, "Cannot create the main event blob");
        return false;
    }
    return sqliteStore_->upsertRecord(
        {{"main_event", *blob}, {"event_id", eventID}, {"children_to_process", childEventCount}}, kComplexEventsTable,
        error);
}

bool MSRDatabase::deleteComplexEventForAudienceEvaluationWithEventID(int64_t eventID, MSRError* error) {
    return sqliteStore_->deleteRecordsFromTable(kComplexEventsTable, "event_id=?", {eventID}, error).has_value();
}
