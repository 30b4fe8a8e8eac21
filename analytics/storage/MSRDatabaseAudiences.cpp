// Audience definitions and their evaluation state in the analytics database:
// the filters of each audience by the event or property name they look at
// ("event_filters", "property_filters"), and one row of results per audience
// ("audience_filter_values").

#include "analytics/storage/MSRDatabase.h"

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/storage/MSRSqliteErrorShorthands.h"

#include <algorithm>
#include <set>

namespace {

constexpr const char* kEventFilters = "event_filters";
constexpr const char* kPropertyFilters = "property_filters";
constexpr const char* kResults = "audience_filter_values";
using MSRSqliteErrorShorthands::kArgument;
using MSRSqliteErrorShorthands::kDatabase;

// The flags come from the filter message, not from the row: a message that
// does not decode keeps them all off.
struct FilterFlags {
    bool sessionScoped = false;
    bool dynamic = false;
    bool sequence = false;
};

FilterFlags eventFilterFlags(const std::vector<uint8_t>& data) {
    std::optional<MSRPBEventFilter> filter = MSRPBEventFilter::initWithBuffer(data);
    if (!filter) return {};
    return {MSRPBGetBool(*filter, MSREventFilterSlot::kSessionScoped), MSRPBGetBool(*filter, MSREventFilterSlot::kDynamic),
            MSRPBGetBool(*filter, MSREventFilterSlot::kSequence)};
}

FilterFlags propertyFilterFlags(const std::vector<uint8_t>& data) {
    std::optional<MSRPBPropertyFilter> filter = MSRPBPropertyFilter::initWithBuffer(data);
    if (!filter) return {};
    return {MSRPBGetBool(*filter, MSRPropertyFilterSlot::kSessionScoped),
            MSRPBGetBool(*filter, MSRPropertyFilterSlot::kDynamic),
            MSRPBGetBool(*filter, MSRPropertyFilterSlot::kSequence)};
}

MSREventFilter eventFilterFromRow(const MSRSqliteRow& row) {
    std::vector<uint8_t> data = MSRSqliteBytesColumn(row, "data");
    FilterFlags flags = eventFilterFlags(data);
    return MSREventFilter(MSRSqliteInt32Column(row, "audience_id"), MSRSqliteInt32Column(row, "filter_id"),
                          MSRSqliteTextColumn(row, "event_name"), std::move(data), flags.sessionScoped,
                          flags.dynamic, flags.sequence);
}

MSRPropertyFilter propertyFilterFromRow(const MSRSqliteRow& row) {
    std::vector<uint8_t> data = MSRSqliteBytesColumn(row, "data");
    FilterFlags flags = propertyFilterFlags(data);
    return MSRPropertyFilter(MSRSqliteInt32Column(row, "audience_id"), MSRSqliteInt32Column(row, "filter_id"),
                             MSRSqliteTextColumn(row, "property_name"), std::move(data), flags.sessionScoped,
                             flags.dynamic, flags.sequence);
}

MSRFilterResult filterResultFromRow(const MSRSqliteRow& row) {
    return MSRFilterResult(MSRSqliteInt32Column(row, "audience_id"),
                           MSRSqliteBytesColumn(row, "current_results"),
                           MSRSqliteBytesColumn(row, "previous_results"));
}

// "(audience_id=1 AND filter_id=2) OR ..." for the filters: the IDs are
// integers written as such, so no text of the caller enters the statement.
template <typename Filter>
std::string filterCondition(const std::vector<Filter>& filters) {
    std::string condition;
    for (const Filter& filter : filters) {
        if (!condition.empty()) condition += " OR ";
        condition += "(audience_id=" + std::to_string(filter.audienceID()) +
                     " AND filter_id=" + std::to_string(filter.filterID()) + ")";
    }
    return condition;
}

}  // namespace

std::optional<std::vector<MSREventFilter>> MSRDatabase::eventFiltersForEventName(const std::string& name,
                                                                                 MSRError* error) {
    if (name.empty()) {
        MSRSetError(error, kArgument, "Received empty event name for getting event filters");
        return std::nullopt;
    }
    std::vector<MSREventFilter> filters;
    auto made = dataTypesFromTable(kEventFilters, "event_name", MSRSqliteValue(name), error,
                                   [&](const MSRSqliteRow& row, MSRError*) {
                                       filters.push_back(eventFilterFromRow(row));
                                       return true;
                                   });
    if (!made) return std::nullopt;
    return filters;
}

std::optional<std::vector<MSRPropertyFilter>> MSRDatabase::propertyFiltersForPropertyName(const std::string& name,
                                                                                          MSRError* error) {
    if (name.empty()) {
        MSRSetError(error, kArgument, "Received empty property name for getting property filters");
        return std::nullopt;
    }
    std::vector<MSRPropertyFilter> filters;
    auto made = dataTypesFromTable(kPropertyFilters, "property_name", MSRSqliteValue(name), error,
                                   [&](const MSRSqliteRow& row, MSRError*) {
                                       filters.push_back(propertyFilterFromRow(row));
                                       return true;
                                   });
    if (!made) return std::nullopt;
    return filters;
}

bool MSRDatabase::updateEventFilters(const std::vector<MSREventFilter>& filters, MSRError* error) {
    if (filters.empty()) return MSRCheckSuccess(false, error, kArgument, "Received empty event filters to update");
    for (const MSREventFilter& filter : filters) {
        if (filter.eventName().empty()) {
            return MSRCheckSuccess(false, error, kDatabase,
                                   "Received event filter with empty event name for getting dictionary representation");
        }
        if (filter.data().empty()) {
            return MSRCheckSuccess(false, error, kDatabase,
                                   "Received event filter with empty data for getting dictionary representation");
        }
        MSRSqliteRecord record{{"audience_id", int64_t{filter.audienceID()}},
                               {"filter_id", int64_t{filter.filterID()}},
                               {"event_name", filter.eventName()},
                               {"data", filter.data()},
                               {"session_scoped", int64_t{filter.isSessionScoped() ? 1 : 0}}};
        if (!sqliteStore_->upsertRecord(record, kEventFilters, error)) return false;
    }
    return true;
}

bool MSRDatabase::updatePropertyFilters(const std::vector<MSRPropertyFilter>& filters, MSRError* error) {
    if (filters.empty()) return MSRCheckSuccess(false, error, kArgument, "Received empty property filters to update");
    for (const MSRPropertyFilter& filter : filters) {
        if (filter.propertyName().empty()) {
            return MSRCheckSuccess(
                false, error, kDatabase,
                "Received property filter with empty property name for getting dictionary representation");
        }
        if (filter.data().empty()) {
            return MSRCheckSuccess(false, error, kDatabase,
                                   "Received property filter with empty data for getting dictionary representation");
        }
        MSRSqliteRecord record{{"audience_id", int64_t{filter.audienceID()}},
                               {"filter_id", int64_t{filter.filterID()}},
                               {"property_name", filter.propertyName()},
                               {"data", filter.data()},
                               {"session_scoped", int64_t{filter.isSessionScoped() ? 1 : 0}}};
        if (!sqliteStore_->upsertRecord(record, kPropertyFilters, error)) return false;
    }
    return true;
}

bool MSRDatabase::deleteEventFilters(const std::vector<MSREventFilter>& filters, MSRError* error) {
    if (filters.empty()) return MSRCheckSuccess(false, error, kArgument, "Received empty event filters to delete");
    return sqliteStore_->deleteRecordsFromTable(kEventFilters, filterCondition(filters), {}, error).has_value();
}

bool MSRDatabase::deletePropertyFilters(const std::vector<MSRPropertyFilter>& filters, MSRError* error) {
    if (filters.empty()) return MSRCheckSuccess(false, error, kArgument, "Received empty property filters to delete");
    return sqliteStore_->deleteRecordsFromTable(kPropertyFilters, filterCondition(filters), {}, error).has_value();
}

bool MSRDatabase::deleteAllEventFilters(MSRError* error) {
    return sqliteStore_->deleteAllRecordsFromTable(kEventFilters, error);
}

bool MSRDatabase::deleteAllPropertyFilters(MSRError* error) {
    return sqliteStore_->deleteAllRecordsFromTable(kPropertyFilters, error);
}

std::optional<bool> MSRDatabase::containsEventFilters(MSRError* error) {
    return answerForQuery("SELECT EXISTS (SELECT 1 FROM event_filters)", {}, error);
}

std::optional<std::vector<int32_t>> MSRDatabase::allAudienceIDs(MSRError* error) {
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {}, error);
    if (!rows) return std::nullopt;
    std::vector<int32_t> ids;
    for (const MSRSqliteRow& row : *rows) {
        const MSRSqliteValue* id = MSRSqliteColumn(row, "audience_id");
        if (!id) {
            MSRSetError(error, kArgument, "Received nil audience ID for querying all audience IDs");
            return std::nullopt;
        }
        ids.push_back(static_cast<int32_t>(MSRSqliteInt64(*id)));
    }
    return ids;
}

std::optional<std::map<int32_t, std::vector<int32_t>>> MSRDatabase::allSessionScopedFilters(MSRError* error) {
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT audience_id, filter_id FROM event_filters WHERE session_scoped = 1 UNION "
        "SELECT audience_id, filter_id FROM property_filters WHERE session_scoped = 1",
        {}, error);
    if (!rows) return std::nullopt;
    std::map<int32_t, std::vector<int32_t>> filters;
    for (const MSRSqliteRow& row : *rows)
        filters[MSRSqliteInt32Column(row, "audience_id")].push_back(MSRSqliteInt32Column(row, "filter_id"));
    return filters;
}

std::optional<std::map<int32_t, MSRFilterResult>> MSRDatabase::allFilterResults(MSRError* error) {
    std::map<int32_t, MSRFilterResult> results;
    auto made = allDataTypesFromTable(kResults, -1, error, [&](const MSRSqliteRow& row, MSRError*) {
        MSRFilterResult result = filterResultFromRow(row);
        results.insert_or_assign(result.audienceID(), std::move(result));
        return true;
    });
    if (!made) return std::nullopt;
    return results;
}

std::optional<MSRFilterResult> MSRDatabase::filterResultForAudienceID(int32_t audienceID, MSRError* error) {
    return firstDataTypeFromTable<MSRFilterResult>(
        kResults, "audience_id", MSRSqliteValue(int64_t{audienceID}), error,
        [](const MSRSqliteRow& row) -> std::optional<MSRFilterResult> { return filterResultFromRow(row); });
}

bool MSRDatabase::updateFilterResults(const std::vector<MSRFilterResult>& results, MSRError* error) {
    if (results.empty()) return MSRCheckSuccess(false, error, kArgument, "Received empty filter results to update");
    for (const MSRFilterResult& result : results) {
        if (result.currentResults().empty()) {
            return MSRCheckSuccess(false, error, kDatabase,
                                   "Received filter result with empty data for getting dictionary representation");
        }
        MSRSqliteRecord record{
            {"audience_id", int64_t{result.audienceID()}},
            {"current_results", result.currentResults()},
            {"previous_results", result.previousResults().empty() ? MSRSqliteValue(MSRSqliteNull{})
                                                                  : MSRSqliteValue(result.previousResults())}};
        if (!sqliteStore_->upsertRecord(record, kResults, error)) return false;
    }
    return true;
}

bool MSRDatabase::deleteFilterResults(const std::vector<MSRFilterResult>& results, MSRError* error) {
    if (results.empty()) return MSRCheckSuccess(false, error, kArgument, "Received empty filter results to delete");
    std::set<int32_t> ids;
    for (const MSRFilterResult& result : results) ids.insert(result.audienceID());
    std::string list;
    for (int32_t id : ids) list += (list.empty() ? "" : ",") + std::to_string(id);
    return sqliteStore_->deleteRecordsFromTable(kResults, "audience_id IN (" + list + ")", {}, error).has_value();
}
