// Raw events and the bundle metadata they share, as MSRDatabase stores them.

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/storage/MSRSqliteErrorShorthands.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBFlatEvent.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRStorageLog.h"
#include "analytics/storage/MSRStoredBounds.h"
#include "platform/dispatch/Clock.h"

namespace {

// What a read says of the raw events it deleted as unreadable, by code.
const char* unreadableRawEventsText(int64_t code) {
    return code == 12084   ? "Deleted raw events not stored as bytes. Rows, first row ID, why"
           : code == 12080 ? "Deleted raw events larger than an event may be stored. Rows, first row ID, why"
                           : "Deleted raw events that cannot be read. Rows, first row ID, why";
}

using MSRSqliteErrorShorthands::kArgument;
using MSRSqliteErrorShorthands::kState;
using MSRSqliteErrorShorthands::kConversion;

constexpr const char* kRawEvents = "raw_events";
constexpr const char* kMetadata = "raw_events_metadata";

// A raw event's data as reads take it: every row of a run goes through
// here, so the size takes no column of its own. Data longer than the bound
// comes as its length, a number no writer stores as an event's data, and
// is never read.
const std::string& rawEventDataColumn() {
    static const std::string column = MSRStoredMost::blobOrLengthPastBound("data", MSRStoredMost::kRawEventBytes);
    return column;
}

// The same of the metadata the events share, which the same bound holds.
const std::string& rawEventMetadataColumns() {
    static const std::string columns =
        MSRStoredMost::blobColumnWithinBound("metadata", MSRStoredMost::kRawEventBytes);
    return columns;
}

// Why a row's stored data is no event's, from its size alone: the code it is
// said with, and the stored bytes; nothing when the size is an event's.
std::optional<std::pair<int64_t, std::string>> rawEventPastBound(int64_t storedLength) {
    if (storedLength == MSRStoredMost::kNotABlob) return std::make_pair(int64_t{12084}, std::string("not bytes"));
    if (storedLength <= static_cast<int64_t>(MSRStoredMost::kRawEventBytes)) return std::nullopt;
    return std::make_pair(int64_t{12080}, std::to_string(storedLength) + " stored bytes");
}

bool failRawEvents(MSRError* error, int64_t code, const char* description) {
    MSRSetError(error, code, description);
    return false;
}

// One wire parameter as {name: value}. At the top level a parameter must be
// named; nested ones are the items of a list and their named children.
std::optional<MSRParameters> parameterDictionaryFromEventParam(const MSRPBEventParam& param, bool nested,
                                                               MSRError* error) {
    std::optional<std::string> name = MSRPBGetString(param, MSREventParamSlot::kName);
    if (!nested && !name) {
        failRawEvents(error, kArgument, "Event parameter name is empty");
        return std::nullopt;
    }
    std::optional<MSRValue> value;
    if (MSRPBHasField(param, MSREventParamSlot::kStringValue)) {
        if (auto text = MSRPBGetString(param, MSREventParamSlot::kStringValue)) value = MSRValue(std::move(*text));
    } else if (MSRPBHasField(param, MSREventParamSlot::kIntValue)) {
        value = MSRValue(MSRPBGetInt64(param, MSREventParamSlot::kIntValue));
    } else if (MSRPBHasField(param, MSREventParamSlot::kDoubleValue)) {
        value = MSRValue(MSRPBGetDouble(param, MSREventParamSlot::kDoubleValue));
    } else {
        std::vector<MSRPBEventParam> children = MSRPBGetMessageArray<MSRPBEventParam>(param, MSREventParamSlot::kParamValue);
        if (children.empty()) {
            failRawEvents(error, kState, "Failed to parse invalid event params data");
            return std::nullopt;
        }
        if (!nested) {
            MSRValueList items;
            for (const MSRPBEventParam& child : children) {
                if (auto item = parameterDictionaryFromEventParam(child, true, error)) items.push_back(std::move(*item));
            }
            return MSRParameters{{*name, MSRValue(std::move(items))}};
        }
        MSRParameters item;
        for (const MSRPBEventParam& child : children) {
            std::optional<MSRParameters> entry = parameterDictionaryFromEventParam(child, true, error);
            std::optional<std::string> childName = MSRPBGetString(child, MSREventParamSlot::kName);
            if (entry && childName && !entry->empty() && entry->begin()->first == *childName) {
                item.insert_or_assign(*childName, entry->begin()->second);
            }
        }
        return item;
    }
    if (!value || !name) return std::nullopt;
    return MSRParameters{{*name, std::move(*value)}};
}

// The origin and parameters of a stored event read in the flat form; false
// when its origin is not a text, which the full decode (readEventParams)
// then refuses with the reason.
bool flatEventContents(const MSRPBFlatEvent& flat, std::string& origin, MSRParameters& parameters,
                       double& previousTimestamp) {
    using Kind = MSRPBFlatEventParam::Kind;
    for (const MSRPBFlatEventParam& param : flat.params) {
        if (param.name == "_o") {
            if (param.kind != Kind::kText) return false;
            origin.assign(param.text);
            continue;
        }
        MSRValue value = param.kind == Kind::kText      ? MSRValue(std::string(param.text))
                         : param.kind == Kind::kInteger ? MSRValue(param.integer)
                                                        : MSRValue(param.real);
        parameters.insert_or_assign(std::string(param.name), std::move(value));
    }
    previousTimestamp = static_cast<double>(flat.previousTimestampMillis) / 1000.0;
    return true;
}

// The origin of a flat stored event as reading takes it (the last "_o"),
// or nothing when an "_o" is not a text.
std::optional<std::string_view> flatOrigin(const MSRPBFlatEvent& flat) {
    std::string_view origin;
    for (const MSRPBFlatEventParam& param : flat.params) {
        if (param.name != "_o") continue;
        if (param.kind != MSRPBFlatEventParam::Kind::kText) return std::nullopt;
        origin = param.text;
    }
    return origin;
}

// The origin ("_o") and the other parameters of a decoded stored event.
bool readEventParams(MSRPBEvent& proto, std::string& origin, MSRParameters& parameters, MSRError* error) {
    for (MSRPBEventParam& param : MSRPBTakeMessageArray<MSRPBEventParam>(proto, MSREventSlot::kParams)) {
        std::optional<std::string> paramName = MSRPBGetString(param, MSREventParamSlot::kName);
        if (paramName && *paramName == "_o") {
            std::optional<std::string> text =
                MSRPBHasField(param, MSREventParamSlot::kStringValue) ? MSRPBGetString(param, MSREventParamSlot::kStringValue) : std::nullopt;
            if (!text) return failRawEvents(error, kState, "Cannot create an event from database. Origin parameter is not a string");
            origin = std::move(*text);
            continue;
        }
        // Nearly every parameter is a named scalar: it goes straight in.
        if (paramName) {
            std::optional<MSRValue> scalar;
            if (MSRPBHasField(param, MSREventParamSlot::kStringValue)) {
                std::optional<std::string> text = MSRPBGetString(param, MSREventParamSlot::kStringValue);
                if (!text) return failRawEvents(error, kState, "Failed to parse event params from data");
                scalar = MSRValue(std::move(*text));
            } else if (MSRPBHasField(param, MSREventParamSlot::kIntValue)) {
                scalar = MSRValue(MSRPBGetInt64(param, MSREventParamSlot::kIntValue));
            } else if (MSRPBHasField(param, MSREventParamSlot::kDoubleValue)) {
                scalar = MSRValue(MSRPBGetDouble(param, MSREventParamSlot::kDoubleValue));
            }
            if (scalar) {
                parameters.insert_or_assign(std::move(*paramName), std::move(*scalar));
                continue;
            }
        }
        std::optional<MSRParameters> entry = parameterDictionaryFromEventParam(param, false, error);
        if (!entry || !paramName || !entry->count(*paramName)) {
            return failRawEvents(error, kState, "Failed to parse event params from data");
        }
        parameters.insert_or_assign(*paramName, std::move(entry->at(*paramName)));
    }
    return true;
}

}  // namespace

// --- Metadata ---------------------------------------------------------------------

// Nearly every event carries the same metadata as the one before; its digest
// is remembered rather than worked out again per event.
void MSRDatabase::rememberRawEventMetadata(std::vector<uint8_t> encoded) {
    if (encoded == lastMetadataBytes_) return;
    lastMetadataKnownStored_ = false;
    lastMetadataFingerprint_ = static_cast<int64_t>(msr_64LSBMD5(encoded));
    lastMetadataBytes_ = std::move(encoded);
}

std::optional<bool> MSRDatabase::isLastMetadataStored(MSRError* error) {
    // Every event asks this, so the stored bytes are compared rather than
    // decoded; a stored copy that differs (damaged) counts as not stored.
    if (lastMetadataKnownStored_) return true;
    // The length first: a stored copy of another length is never read.
    static const std::string storedAlready =
        "SELECT 1 FROM raw_events_metadata WHERE metadata_fingerprint = ? AND length(metadata) = ? AND metadata = ?";
    bool stored = false;
    const MSRSqliteValues parameters = {lastMetadataFingerprint_, static_cast<int64_t>(lastMetadataBytes_.size()),
                                        lastMetadataBytes_};
    if (!stepCachedQuery(storedAlready, parameters, "query metadata", error,
                         [&](sqlite3_stmt*) { stored = true; }))
        return std::nullopt;
    lastMetadataKnownStored_ = stored;
    return stored;
}

std::optional<bool> MSRDatabase::isRawEventMetadataStored(const std::vector<uint8_t>& encoded,
                                                         int64_t* fingerprint, MSRError* error) {
    if (encoded.empty()) {
        failRawEvents(error, kConversion, "Received empty measurement bundle metadata for getting dictionary representation");
        return std::nullopt;
    }
    if (encoded != lastMetadataBytes_) rememberRawEventMetadata(encoded);
    if (fingerprint) *fingerprint = lastMetadataFingerprint_;
    return isLastMetadataStored(error);
}

bool MSRDatabase::insertIfNotExistsRawEventMetadata(const MSRPBMeasurementBundle& metadata, MSRError* error,
                                                     int64_t* fingerprint) {
    return insertIfNotExistsRawEventMetadata(metadata.protoBuffer().value_or(std::vector<uint8_t>{}), error,
                                             fingerprint);
}

bool MSRDatabase::insertIfNotExistsRawEventMetadata(const std::vector<uint8_t>& encoded, MSRError* error,
                                                     int64_t* fingerprint) {
    if (encoded.empty()) {
        return failRawEvents(error, kConversion,
                             "Received empty measurement bundle metadata for getting dictionary representation");
    }
    if (encoded.size() > MSRStoredMost::kRawEventBytes) {
        return failRawEvents(error, kArgument, "Event metadata is larger than metadata may be stored");
    }
    if (encoded != lastMetadataBytes_) rememberRawEventMetadata(encoded);
    if (fingerprint) *fingerprint = lastMetadataFingerprint_;
    // A failed read only costs a rewrite of the same row.
    if (isLastMetadataStored(nullptr).value_or(false)) return true;
    MSRSqliteRecord record = {{"metadata_fingerprint", lastMetadataFingerprint_}, {"metadata", lastMetadataBytes_}};
    lastMetadataKnownStored_ = upsertDataType(record, kMetadata, "metadata_fingerprint", lastMetadataFingerprint_,
                                              kMaxRawEventMetadataRows, error);
    return lastMetadataKnownStored_;
}

std::optional<MSRPBMeasurementBundle> MSRDatabase::queryRawEventsMetadataWithFingerprint(int64_t fingerprint,
                                                                                        MSRError* error) {
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT " + rawEventMetadataColumns() + " FROM raw_events_metadata WHERE metadata_fingerprint = ?",
        {fingerprint}, error);
    if (!rows) return std::nullopt;
    for (const MSRSqliteRow& row : *rows) {
        const MSRSqliteValue* bytes = MSRSqliteColumn(row, "metadata");
        const auto* blob = bytes ? std::get_if<MSRSqliteBlob>(bytes) : nullptr;
        if (!blob || blob->empty()) continue;
        if (std::optional<MSRPBMeasurementBundle> metadata = MSRPBMeasurementBundle::initWithBuffer(*blob))
            return metadata;
    }
    if (!rows->empty()) failRawEvents(error, kState, "Failed to initialize data types from dictionaries");
    return std::nullopt;
}

bool MSRDatabase::deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint, MSRError* error) {
    lastMetadataKnownStored_ = false;
    return sqliteStore_->deleteRecordsFromTable(kMetadata, "metadata_fingerprint == ?", {fingerprint}, error)
        .has_value();
}

bool MSRDatabase::deleteUnusedRawEventsMetadata(MSRError* error) {
    lastMetadataKnownStored_ = false;
    return sqliteStore_
        ->deleteRecordsFromTable(kMetadata,
                                 "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM raw_events)",
                                 {}, error)
        .has_value();
}

// --- Writing and counting raw events ------------------------------------------------

bool MSRDatabase::insertRawEvent(const std::optional<MSREvent>& rawEvent, int64_t metadataFingerprint,
                                 bool isRealtime, MSRError* error) {
    if (!rawEvent) return failRawEvents(error, kArgument, "Received empty event for inserting in the database");
    return insertRawEvent(*rawEvent, metadataFingerprint, isRealtime, error);
}

bool MSRDatabase::insertRawEvent(const MSREvent& rawEvent, int64_t metadataFingerprint, bool isRealtime,
                                 MSRError* error) {
    std::vector<uint8_t> data = rawEvent.encodedWithoutName();
    if (data.size() > MSRStoredMost::kRawEventBytes) {
        return failRawEvents(error, kArgument, "Event is larger than an event may be stored");
    }
    // The engine's busiest write: one statement kept prepared instead of an
    // insert built and parsed for every event.
    std::optional<int64_t> count = rawEventCount_;
    static const std::string insert =
        "INSERT OR REPLACE INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) VALUES (?, ?, ?, ?, "
        "?)";
    if (!stepCachedStatement(insert,
                             {rawEvent.name(), rawEvent.timestamp(), metadataFingerprint, std::move(data),
                              int64_t{isRealtime ? 1 : 0}},
                             "insert raw event", error)) {
        rawEventCount_.reset();
        return false;
    }
    if (count) rawEventCount_ = *count + 1;
    return true;
}

std::optional<int64_t> MSRDatabase::rawEventCountWithName(const std::string& name, MSRError* error) {
    return sqliteStore_->integerForQuery("SELECT count(1) FROM raw_events WHERE name = ?", {name}, error);
}

std::optional<int64_t> MSRDatabase::rawEventCount(MSRError* error) {
    if (!rawEventCount_) {
        auto counted = sqliteStore_->rowCountForTable(kRawEvents, error);
        if (!counted) return std::nullopt;
        rawEventCount_ = *counted;
    }
    return rawEventCount_;
}

bool MSRDatabase::deleteRawEventsWithMaxRowID(int64_t rowID, MSRError* error) {
    // A run that reaches the newest row, as the last bundle of an upload
    // does, empties the table: SQLite then drops the table's and its
    // indexes' pages instead of visiting every row and its index entries.
    static const std::string newer = "SELECT EXISTS (SELECT 1 FROM raw_events WHERE rowid > ?)";
    bool hasNewer = true;
    if (stepCachedQuery(newer, {rowID}, "query records", nullptr,
                        [&](sqlite3_stmt* statement) { hasNewer = sqlite3_column_int64(statement, 0) != 0; }) &&
        !hasNewer) {
        static const std::string all = "DELETE FROM raw_events";
        if (!stepCachedStatement(all, {}, "delete records with condition", error)) {
            rawEventCount_.reset();
            return false;
        }
        rawEventCount_ = 0;
        return true;
    }
    auto deleted = sqliteStore_->deleteRecordsFromTable(kRawEvents, "rowid <= ?", {rowID}, error);
    if (!deleted) {
        rawEventCount_.reset();
        return false;
    }
    if (rawEventCount_) *rawEventCount_ -= *deleted;
    return true;
}

// Keeps the newest maxEventsStored - 1 rows. With the count known, the rows
// to go are the oldest (count - keep) ones, found from the front of the table
// instead of by stepping over every row that stays. At the limit this runs for
// every event written, so it reads and deletes through kept statements only.
std::optional<bool> MSRDatabase::isRawEventStoreFull(MSRError* error) {
    std::optional<int64_t> count = rawEventCount(error);
    if (!count) return std::nullopt;
    return *count > std::max<int64_t>(0, int64_t{remoteConfig().maxEventsStored()} - 1);
}

std::optional<int64_t> MSRDatabase::deleteRawEventsOverAbsoluteLimit(MSRError* error) {
    int64_t keep = std::max<int64_t>(0, int64_t{remoteConfig().maxEventsStored()} - 1);
    std::optional<int64_t> count = rawEventCount(error);
    if (!count) return std::nullopt;
    int64_t excess = *count - keep;
    if (excess <= 0) return int64_t{0};

    // Far more rows to go than to keep (the setting lowered, or rows put
    // there by something else): the kept ones are copied aside instead of
    // visiting every row that goes, and the metadata left unused goes after.
    if (excess > keep) {
        static const std::string lastToGo = "SELECT rowid FROM raw_events ORDER BY rowid ASC LIMIT 1 OFFSET ?";
        std::optional<int64_t> last = sqliteStore_->integerForQuery(lastToGo, {excess - 1}, error);
        if (!last) return std::nullopt;
        std::optional<int64_t> deleted = sqliteStore_->deleteRowsUpTo(kRawEvents, *last, error);
        rawEventCount_.reset();
        if (!deleted || !deleteUnusedRawEventsMetadata(error)) return std::nullopt;
        return deleted;
    }
    // The rows to go are exactly those up to the last of the oldest `excess`.
    static const std::string oldestRows =
        "SELECT rowid, metadata_fingerprint FROM raw_events ORDER BY rowid ASC LIMIT ?";
    std::set<int64_t> fingerprints;
    int64_t lastRowID = 0;
    bool read = stepCachedQuery(oldestRows, {excess}, "query records", error, [&](sqlite3_stmt* statement) {
        lastRowID = std::max<int64_t>(lastRowID, sqlite3_column_int64(statement, 0));
        if (sqlite3_column_type(statement, 1) != SQLITE_NULL) fingerprints.insert(sqlite3_column_int64(statement, 1));
    });
    if (!read) return std::nullopt;
    // One row goes per event written at the limit: deleting it by its rowid
    // needs neither the row set nor the statement journal of a range delete.
    static const std::string deleteOne = "DELETE FROM raw_events WHERE rowid = ?";
    static const std::string deleteOldest = "DELETE FROM raw_events WHERE rowid <= ?";
    if (!stepCachedStatement(excess == 1 ? deleteOne : deleteOldest, {lastRowID}, "delete records with condition",
                             error)) {
        rawEventCount_.reset();
        return std::nullopt;
    }
    int64_t deleted = sqlite3_changes(sqliteStore_->sqliteHandle());
    rawEventCount_ = *count - deleted;
    // Metadata whose last events were pushed out would otherwise stay until
    // the metadata table is full and refuses every new kind of event.
    static const std::string deleteIfUnused =
        "DELETE FROM raw_events_metadata WHERE metadata_fingerprint = ? AND NOT EXISTS (SELECT 1 FROM raw_events "
        "WHERE metadata_fingerprint = ?)";
    if (!fingerprints.empty()) lastMetadataKnownStored_ = false;
    for (int64_t fingerprint : fingerprints) {
        if (!stepCachedStatement(deleteIfUnused, {fingerprint, fingerprint}, "delete records with condition", error))
            return std::nullopt;
    }
    return deleted;
}

void MSRDatabase::dropRawEventsPastWriterBound(MSRSqliteStore& store) {
    // The newest rows the writers can have kept stay; a row before them
    // marks where the excess ends. No such row (or no table yet): nothing to do.
    std::optional<int64_t> last = store.integerForQuery(
        "SELECT rowid FROM raw_events ORDER BY rowid DESC LIMIT 1 OFFSET ?", {MSRStoredMost::kRawEventRows}, nullptr);
    if (!last) return;
    MSRError error;
    // Each road costs what it touches: a delete by row the rows that go, the
    // copy the rows kept. A few rows past the bound go by row; a table many
    // times the bound is copied. Either is one transaction, which a kill
    // undoes whole: the next start finds the rows as they were and does it
    // again.
    std::optional<int64_t> excess =
        store.integerForQuery("SELECT count(*) FROM raw_events WHERE rowid <= ?", {*last}, &error);
    std::optional<int64_t> deleted;
    int64_t copied = 0;
    if (excess && *excess <= MSRStoredMost::kRawEventRows) {
        // Freed pages are zeroed only where that costs no extra write.
        const int64_t secureDelete = store.integerForQuery("PRAGMA secure_delete", {}, nullptr).value_or(1);
        store.executeSQL("PRAGMA secure_delete = FAST", nullptr);
        deleted = store.deleteRecordsFromTable(kRawEvents, "rowid <= ?", {*last}, &error);
        store.executeSQL("PRAGMA secure_delete = " + std::to_string(secureDelete), nullptr);
    } else if (excess) {
        deleted = store.deleteRowsUpTo(kRawEvents, *last, &error, &copied);
    }
    if (!deleted) {
        MSRStorageLog(1, 12086, "Cannot drop raw events past what may be stored. Error", {error});
        return;
    }
    MSRStorageLog(1, 12085,
                  "Dropped raw events past what the engine may have stored. Rows dropped, rows kept, rows copied",
                  {std::to_string(*deleted), std::to_string(MSRStoredMost::kRawEventRows), std::to_string(copied)});
}

bool MSRDatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, MSRError* error) {
    if (maxAge < 0) return failRawEvents(error, kArgument, "Cannot delete stale raw events given negative time period");
    auto deleted = sqliteStore_->deleteRecordsFromTable(kRawEvents,
                                                        "abs(timestamp - cast(? as REAL)) > cast(? as REAL)",
                                                        {dispatch::Clock::now(), maxAge}, error);
    if (!deleted) {
        rawEventCount_.reset();
        return false;
    }
    if (rawEventCount_) *rawEventCount_ -= *deleted;
    if (*deleted == 0) return true;
    return deleteUnusedRawEventsMetadata(error);
}

// --- Reading raw events back ----------------------------------------------------------

std::optional<int64_t> MSRDatabase::nextMetadataFingerprintToProcess(MSRError* error) {
    auto rows = sqliteStore_->recordsForQuery("SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", {}, error);
    if (!rows) return std::nullopt;
    if (rows->size() != 1) {
        failRawEvents(error, kState, "Only one event metadata should be processed");
        return std::nullopt;
    }
    const MSRSqliteValue* fingerprint = MSRSqliteColumn(rows->front(), "metadata_fingerprint");
    if (!fingerprint) return std::nullopt;
    return MSRSqliteInt64(*fingerprint);
}

bool MSRDatabase::setAsideEventsWithUnreadableMetadata(int64_t fingerprint, MSRError* error) {
    // A failed read says nothing about the stored bytes: nothing is deleted.
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT " + rawEventMetadataColumns() + " FROM raw_events_metadata WHERE metadata_fingerprint = ?",
        {fingerprint}, nullptr);
    if (!rows) return false;
    if (const MSRSqliteValue* length = rows->empty() ? nullptr : MSRSqliteColumn(rows->front(), "stored_length");
        length && MSRSqliteInt64(*length) > static_cast<int64_t>(MSRStoredMost::kRawEventBytes)) {
        MSRStorageLog(1, 12081, "Raw event metadata larger than metadata may be stored is dropped. Fingerprint, "
                                "stored bytes",
                      {std::to_string(fingerprint), std::to_string(MSRSqliteInt64(*length))});
    }
    const MSRSqliteValue* bytes = rows->empty() ? nullptr : MSRSqliteColumn(rows->front(), "metadata");
    const auto* blob = bytes ? std::get_if<MSRSqliteBlob>(bytes) : nullptr;
    if (blob && !blob->empty() && MSRPBMeasurementBundle::initWithBuffer(*blob)) return false;
    // The events themselves are readable (a damaged page of the metadata
    // table costs only its rows): they go out with the metadata of the
    // current identity, which differs from theirs at most in what changed
    // since they were logged, rather than not at all.
    if (currentMetadata_) {
        if (std::optional<std::vector<uint8_t>> current = currentMetadata_(); current && !current->empty()) {
            MSRStorageLog(4, 12077,
                          "Raw events whose metadata is missing or cannot be read take the current metadata. "
                          "Fingerprint",
                          {std::to_string(fingerprint)});
            lastMetadataKnownStored_ = false;
            // A failed write deletes nothing either: the events wait for the next run.
            stepCachedStatement("INSERT OR REPLACE INTO raw_events_metadata (metadata_fingerprint, metadata) "
                                "VALUES (?, ?)",
                                {fingerprint, MSRSqliteBlob(std::move(*current))}, "insert or replace record",
                                error);
            return false;
        }
    }
    MSRStorageLog(1, 12072, "Deleting raw events whose metadata is missing or cannot be read. Fingerprint",
                  {std::to_string(fingerprint)});
    auto deleted = sqliteStore_->deleteRecordsFromTable(kRawEvents, "metadata_fingerprint = ?", {fingerprint}, error);
    if (!deleted) {
        rawEventCount_.reset();
        return false;
    }
    if (rawEventCount_) *rawEventCount_ -= *deleted;
    return deleteRawEventMetadataWithMetadataFingerprint(fingerprint, error);
}

// A window of nothing but unreadable rows, once deleted, is followed by the
// next: a pass never ends on them while readable ones wait behind them. What
// the windows deleted is said once, with its count.
std::optional<std::vector<MSRRawEventData>> MSRDatabase::rawEventsWithMetadataFingerprint(
    int64_t fingerprint, MSRError* error, const MSRSqliteRowFilter& eventFilter) {
    UnreadableRows unreadable;
    for (;;) {
        const int64_t before = unreadable.count;
        auto events = rawEventsOfOneWindow(fingerprint, error, eventFilter, unreadable);
        if (!events || !events->empty() || unreadable.count - before < kMaxRawEventsReadPerCall) {
            unreadable.say(unreadableRawEventsText);
            return events;
        }
    }
}

std::optional<std::vector<MSRRawEventRow>> MSRDatabase::rawEventRowsWithMetadataFingerprint(
    int64_t fingerprint, MSRError* error, const MSRRawEventRowFilter& eventFilter) {
    UnreadableRows unreadable;
    for (;;) {
        const int64_t before = unreadable.count;
        auto rows = rawEventRowsOfOneWindow(fingerprint, error, eventFilter, unreadable);
        if (!rows || !rows->empty() || unreadable.count - before < kMaxRawEventsReadPerCall) {
            unreadable.say(unreadableRawEventsText);
            return rows;
        }
    }
}

void MSRDatabase::UnreadableRows::met(int64_t code, int64_t rowID, const std::string& why) {
    ++count;
    Kind& kind = kinds[code];
    if (kind.rows++ == 0) {
        kind.firstRowID = rowID;
        kind.firstWhy = why;
    }
}

void MSRDatabase::UnreadableRows::say(const char* (*textFor)(int64_t code)) const {
    for (const auto& [code, kind] : kinds)
        MSRStorageLog(1, code, textFor(code), {std::to_string(kind.rows), std::to_string(kind.firstRowID), kind.firstWhy});
}

std::optional<std::vector<MSRRawEventData>> MSRDatabase::rawEventsOfOneWindow(
    int64_t fingerprint, MSRError* error, const MSRSqliteRowFilter& eventFilter, UnreadableRows& said) {
    // Events that can never be bundled must not stay the oldest: every run
    // would pick them again and nothing behind them would ever be sent.
    if (setAsideEventsWithUnreadableMetadata(fingerprint, error)) return std::vector<MSRRawEventData>{};

    std::vector<MSRRawEventData> events;
    UnreadableRowRuns unreadable;
    static const std::string query = "SELECT rowid, name, timestamp, metadata_fingerprint, " + rawEventDataColumn() +
                                     ", is_realtime FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid "
                                     "ASC LIMIT ?";
    auto rows = sqliteStore_->recordsForQuery(
        query, {fingerprint, kMaxRawEventsReadPerCall}, error, [&](size_t, const MSRSqliteRow& row) {
            const MSRSqliteValue* data = MSRSqliteColumn(row, "data");
            const auto* length = data ? std::get_if<int64_t>(data) : nullptr;
            const MSRSqliteValue* rowID = MSRSqliteColumn(row, "rowid");
            if (const auto past = rowID && length ? rawEventPastBound(*length) : std::nullopt) {
                said.met(past->first, MSRSqliteInt64(*rowID), past->second);
                unreadable.add(MSRSqliteInt64(*rowID), true);
                return true;
            }
            MSRError rowError;
            std::optional<MSRRawEventData> event = rawEventDataFromDictionary(&row, &rowError);
            if (!event) {
                if (rowID) {
                    said.met(12071, MSRSqliteInt64(*rowID), rowError.description());
                    unreadable.add(MSRSqliteInt64(*rowID), true);
                }
                return true;
            }
            if (eventFilter && !eventFilter(events.size(), row)) return false;
            if (rowID) unreadable.add(MSRSqliteInt64(*rowID), false);
            events.push_back(std::move(*event));
            return true;
        });
    if (!rows) return std::nullopt;
    if (!deleteUnreadableRawEvents(fingerprint, unreadable, error)) return std::nullopt;
    return events;
}

std::optional<std::vector<MSRRawEventRow>> MSRDatabase::rawEventRowsOfOneWindow(
    int64_t fingerprint, MSRError* error, const MSRRawEventRowFilter& eventFilter, UnreadableRows& said) {
    if (setAsideEventsWithUnreadableMetadata(fingerprint, error)) return std::vector<MSRRawEventRow>{};

    static const std::string query = "SELECT rowid, name, timestamp, " + rawEventDataColumn() +
                                     " FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?";
    sqlite3_stmt* statement = sqliteStore_->statementForQuery(query, {fingerprint, kMaxRawEventsReadPerCall}, error);
    if (!statement) return std::nullopt;
    std::vector<MSRRawEventRow> rows;
    UnreadableRowRuns unreadable;
    // The last origin and name that an event could be made of (empty names
    // never can).
    std::string acceptedOrigin, acceptedName;
    size_t lastParamCount = 0;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        MSRRawEventRow row;
        row.rowID = sqlite3_column_int64(statement, 0);
        if (sqlite3_column_type(statement, 1) == SQLITE_TEXT) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
            if (text) row.name.assign(text, static_cast<size_t>(sqlite3_column_bytes(statement, 1)));
        }
        std::optional<double> time;
        switch (sqlite3_column_type(statement, 2)) {
            case SQLITE_FLOAT:
                time = sqlite3_column_double(statement, 2);
                break;
            case SQLITE_INTEGER:
                time = static_cast<double>(sqlite3_column_int64(statement, 2));
                break;
            default:
                break;
        }
        row.timestamp = time.value_or(0);
        if (const auto past = sqlite3_column_type(statement, 3) == SQLITE_INTEGER
                                  ? rawEventPastBound(sqlite3_column_int64(statement, 3))
                                  : std::nullopt) {
            said.met(past->first, row.rowID, past->second);
            unreadable.add(row.rowID, true);
            continue;
        }
        // Data that is absent, empty or not a BLOB is refused as the row
        // dictionary's reading refuses it.
        const int dataType = sqlite3_column_type(statement, 3);
        const auto* bytes =
            dataType == SQLITE_BLOB ? static_cast<const uint8_t*>(sqlite3_column_blob(statement, 3)) : nullptr;
        MSRError rowError;
        bool readable = false;
        if (bytes) {
            row.data.assign(bytes, bytes + sqlite3_column_bytes(statement, 3));
            // The flat form is taken as it stands when reading it in full
            // would make an event of it; every doubt goes to the full
            // reading, which says why a row cannot be read.
            // Rows of a run mostly have as many parameters as the one before.
            row.flat.params.reserve(lastParamCount);
            if (MSRPBReadFlatEvent(row.data, row.flat)) {
                lastParamCount = row.flat.params.size();
                const std::optional<std::string_view> origin = flatOrigin(row.flat);
                const double previous = static_cast<double>(row.flat.previousTimestampMillis) / 1000.0;
                readable = origin && !origin->empty() && row.rowID >= 0 && previous <= row.timestamp &&
                           std::isfinite(row.timestamp);
                // With finite times the answer depends on origin and name
                // alone, and a run mostly repeats them.
                if (readable && (*origin != acceptedOrigin || row.name != acceptedName)) {
                    readable = MSREvent::acceptsStoredFields(*origin, row.name, row.timestamp, previous);
                    if (readable) {
                        acceptedOrigin.assign(*origin);
                        acceptedName = row.name;
                    }
                }
            }
            if (!readable) {
                row.decoded =
                    rawEventDataFromColumns(row.rowID, fingerprint, row.name, row.timestamp, &row.data, &rowError);
                readable = row.decoded.has_value();
            }
        } else if (dataType == SQLITE_NULL || dataType == SQLITE_BLOB) {
            failRawEvents(&rowError, kArgument, "Unable to find event data in the database dictionary");
        } else {
            failRawEvents(&rowError, kConversion, "Failed to parse event from data");
        }
        if (!readable) {
            said.met(12071, row.rowID, rowError.description());
            unreadable.add(row.rowID, true);
            continue;
        }
        if (eventFilter && !eventFilter(rows.size(), row.rowID, time, row.data.size())) {
            rc = SQLITE_DONE;
            break;
        }
        unreadable.add(row.rowID, false);
        rows.push_back(std::move(row));
    }
    const bool done = rc == SQLITE_DONE;
    if (!done) sqliteStore_->setDatabaseError(error, "query records");
    sqliteStore_->cleanUpStatement(statement, query);
    if (!done) return std::nullopt;
    if (!deleteUnreadableRawEvents(fingerprint, unreadable, error)) return std::nullopt;
    return rows;
}

void MSRDatabase::UnreadableRowRuns::add(int64_t rowID, bool unreadable) {
    if (!unreadable) {
        open = false;
        return;
    }
    if (open) {
        runs.back().second = rowID;
    } else {
        runs.emplace_back(rowID, rowID);
        open = true;
    }
}

// A run of unreadable rows (no readable row of the fingerprint between its
// ends, in the read's rowid order) goes in one statement by its range: a
// window of nothing but unreadable rows costs one statement, not one per row.
bool MSRDatabase::deleteUnreadableRawEvents(int64_t fingerprint, const UnreadableRowRuns& unreadable,
                                            MSRError* error) {
    static const std::string deleteRun =
        "DELETE FROM raw_events WHERE metadata_fingerprint = ? AND rowid BETWEEN ? AND ?";
    for (const auto& [first, last] : unreadable.runs) {
        if (!stepCachedStatement(deleteRun, {fingerprint, first, last}, "delete records with condition", error)) {
            rawEventCount_.reset();
            return false;
        }
        if (rawEventCount_) *rawEventCount_ -= sqlite3_changes(sqliteStore_->sqliteHandle());
    }
    return true;
}

std::optional<MSRRawEventData> MSRDatabase::rawEventDataFromDictionary(const MSRSqliteRow* row, MSRError* error) {
    auto refuse = [&](int64_t code, const char* description) -> std::optional<MSRRawEventData> {
        failRawEvents(error, code, description);
        return std::nullopt;
    };
    if (!row) return refuse(kArgument, "Received empty dictionary for getting raw event data");
    const MSRSqliteValue* rowID = MSRSqliteColumn(*row, "rowid");
    if (!rowID) return refuse(kArgument, "Unable to find row ID in the database dictionary");
    const MSRSqliteValue* data = MSRSqliteColumn(*row, "data");
    const auto* blob = data ? std::get_if<MSRSqliteBlob>(data) : nullptr;
    if (!data) return refuse(kArgument, "Unable to find event data in the database dictionary");
    const MSRSqliteValue* fingerprint = MSRSqliteColumn(*row, "metadata_fingerprint");
    if (!fingerprint) return refuse(kArgument, "Unable to find event metadata in the database dictionary");

    if (!blob) return refuse(kConversion, "Failed to parse event from data");
    const MSRSqliteValue* nameValue = MSRSqliteColumn(*row, "name");
    const std::string* name = nameValue ? std::get_if<std::string>(nameValue) : nullptr;
    double timestamp = 0;
    if (const MSRSqliteValue* time = MSRSqliteColumn(*row, "timestamp")) {
        timestamp = std::holds_alternative<double>(*time) ? std::get<double>(*time)
                                                          : static_cast<double>(MSRSqliteInt64(*time));
    }
    return rawEventDataFromColumns(MSRSqliteInt64(*rowID), MSRSqliteInt64(*fingerprint),
                                   name ? *name : std::string(), timestamp, blob, error);
}

std::optional<MSRRawEventData> MSRDatabase::rawEventDataFromColumns(int64_t rowID, int64_t fingerprint,
                                                                    const std::string& name, double timestamp,
                                                                    const std::vector<uint8_t>* data,
                                                                    MSRError* error, const MSRPBFlatEvent* flat) {
    auto refuse = [&](int64_t code, const char* description) -> std::optional<MSRRawEventData> {
        failRawEvents(error, code, description);
        return std::nullopt;
    };
    if (!data) return refuse(kConversion, "Failed to parse event from data");
    std::string origin;
    MSRParameters parameters;
    double previousTimestamp = 0;
    MSRPBFlatEvent read;
    if (!flat && MSRPBReadFlatEvent(*data, read)) flat = &read;
    if (!flat || !flatEventContents(*flat, origin, parameters, previousTimestamp)) {
        origin.clear();
        parameters.clear();
        std::optional<MSRPBEvent> proto = MSRPBEvent::initWithBuffer(*data);
        if (!proto) return refuse(kConversion, "Failed to parse event from data");
        previousTimestamp = static_cast<double>(MSRPBGetInt64(*proto, MSREventSlot::kPreviousTimestamp)) / 1000.0;
        if (!readEventParams(*proto, origin, parameters, error)) return std::nullopt;
    }
    if (origin.empty()) return refuse(kState, "Cannot create an event from database. Missing origin parameter");
    // The parameters were cleaned when the event was made; they are cleaned
    // again only where that could change them (default parameters are laid
    // over the cleaned ones, and the limits may have changed since).
    std::optional<MSREvent> event =
        MSREvent::initWithStoredParameters(origin, name, timestamp, previousTimestamp, std::move(parameters));
    std::optional<MSRRawEventData> rawEventData =
        MSRRawEventData::initWithRawEvent(std::move(event), rowID, static_cast<uint64_t>(fingerprint));
    if (!rawEventData) return refuse(kState, "Failed to initialize raw event data from dictionary");
    return rawEventData;
}

std::optional<MSRRawEventData> MSRDatabase::rawEventDataFromRow(const MSRRawEventRow& row, int64_t fingerprint,
                                                                MSRError* error) {
    if (row.decoded) return row.decoded;
    // A row the read did not decode was read in the flat form.
    return rawEventDataFromColumns(row.rowID, fingerprint, row.name, row.timestamp, &row.data, error, &row.flat);
}

// --- Questions ------------------------------------------------------------------------

std::optional<bool> MSRDatabase::containsRawEventWithMetadataFingerprint(int64_t fingerprint, MSRError* error) {
    return answerForQuery("SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)",
                          {fingerprint}, error);
}

std::optional<bool> MSRDatabase::isRawEventsTableEmpty(MSRError* error) {
    return isTableEmpty(kRawEvents, error);
}

std::optional<bool> MSRDatabase::containsRealtimeRawEvents(MSRError* error) {
    return containsRealtimeRows(kRawEvents, error);
}

std::optional<double> MSRDatabase::queryLatestRawEventTime(MSRError* error) {
    return timeForQuery("SELECT MAX(timestamp) FROM raw_events", error);
}
