// The upload queue, stale-data deletion, the daily counters and the stored
// measurement configuration of MSRDatabase.

#include <sqlite3.h>

#include <cmath>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/storage/MSRSqliteErrorShorthands.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/storage/MSRStorageLog.h"
#include "analytics/storage/MSRStoredBounds.h"
#include "platform/dispatch/Clock.h"
#include "platform/security/Compression.h"

namespace {

using MSRSqliteErrorShorthands::kArgument;
using MSRSqliteErrorShorthands::kState;
using MSRSqliteErrorShorthands::kConversion;

// A queued bundle's events go to the wire as they were stored: they are
// checked while reading but kept encoded, never built as messages.
constexpr uint32_t kBundleFieldsKeptEncoded[] = {MSRBundleSlot::kEvents};

const MSRSqliteValue kQueueAppMetadataRowID = std::string("1");

// The columns of a queued bundle as reads take them: data stored longer
// than a row's bound comes as its length, a number no writer stores as a
// bundle, and is never read.
const std::string& queuedBundleColumns() {
    static const std::string columns =
        "rowid, " + MSRStoredMost::blobOrLengthPastBound("data", MSRStoredMost::kQueuedBundleRowBytes) +
        ", retry_count";
    return columns;
}

bool fail(MSRError* error, int64_t code, const std::string& description) {
    MSRSetError(error, code, description);
    return false;
}

}  // namespace

// --- Upload queue ---------------------------------------------------------------------

std::optional<std::string> MSRDatabase::rowIDCondition(const std::vector<int64_t>& rowIDs, MSRError* error) {
    if (rowIDs.empty()) {
        fail(error, kConversion, "Received empty row IDs to process");
        return std::nullopt;
    }
    std::string placeholders = "?";
    for (size_t i = 1; i < rowIDs.size(); ++i) placeholders += ",?";
    return "rowid IN (" + placeholders + ")";
}

bool MSRDatabase::insertBundle(const MSRPBMeasurementBundle& bundle, bool isRealtime, MSRError* error) {
    std::vector<uint8_t> encoded = bundle.protoBuffer().value_or(std::vector<uint8_t>{});
    if (encoded.empty()) return fail(error, kArgument, "Failed to insert nil bundle");
    if (encoded.size() > MSRStoredMost::kBundleBytes) {
        return fail(error, kArgument, "Failed to insert bundle larger than a queued bundle may be");
    }
    if (MSRPBGetString(bundle, MSRBundleSlot::kAppID).value_or("").empty()) {
        return fail(error, kArgument, "Failed to insert bundle without App ID");
    }
    int64_t endMillis = MSRPBGetInt64(bundle, MSRBundleSlot::kEndTimestamp);
    if (endMillis < 1) return fail(error, kArgument, "Failed to insert bundle without valid timestamp");
    if (!maybeDeleteStaleData(error)) return false;

    double endTime = static_cast<double>(endMillis) / 1000.0;
    if (std::fabs(dispatch::Clock::now() - endTime) > remoteConfig().maxQueueTime()) {
        MSRStorageLog(4, 12016, "Storing bundle outside of the max uploading time span");
    }
    // A queued bundle waits here only until the next upload, which inflates
    // it again: fast compression is worth more than the last bytes.
    std::optional<std::vector<uint8_t>> compressed = security::gzip(encoded, nullptr, security::GzipEffort::kFastest);
    if (!compressed) return fail(error, kState, "Failed to compress bundle");
    MSRStorageLog(7, 12018, "Saving bundle. size (bytes)", {std::to_string(compressed->size())});
    MSRSqliteRecord record = {{"bundle_end_timestamp", endTime},
                              {"data", std::move(*compressed)},
                              {"is_realtime", int64_t{isRealtime ? 1 : 0}},
                              {"retry_count", int64_t{MSRPBGetInt32(bundle, MSRBundleSlot::kRetryCount)}}};
    return sqliteStore_->upsertRecord(record, "queue", error);
}

std::optional<MSRQueuedBundle> MSRDatabase::queuedBundleFromRow(const MSRSqliteRow& row, MSRError* error,
                                                                size_t* encodedSize) {
    if (row.empty()) {
        fail(error, kConversion, "Cannot process empty rowData");
        return std::nullopt;
    }
    const MSRSqliteValue* data = MSRSqliteColumn(row, "data");
    const auto* blob = data ? std::get_if<MSRSqliteBlob>(data) : nullptr;
    if (!blob || blob->empty()) {
        fail(error, kConversion, "Cannot decompress an empty bundle data");
        return std::nullopt;
    }
    std::string inflateError;
    std::optional<std::vector<uint8_t>> inflated =
        security::inflate(*blob, &inflateError, MSRStoredMost::kBundleBytes);
    if (!inflated) {
        fail(error, kState, inflateError);
        return std::nullopt;
    }
    std::optional<NANOMessageBase> decoded = NANOMessageBase::initWithBufferKeepingEncoded(
        MSRPBMeasurementBundle::type(), *inflated, kBundleFieldsKeptEncoded);
    std::optional<MSRPBMeasurementBundle> bundle;
    if (decoded) bundle.emplace(std::move(*decoded));
    if (!bundle) {
        fail(error, kState, "Unable to parse bundle from decompressed data");
        return std::nullopt;
    }
    // The stored bytes are this bundle's own encoding, so their length is the
    // encoded size, unless the retry count column has moved on since.
    bool changed = false;
    if (const MSRSqliteValue* retries = MSRSqliteColumn(row, "retry_count"); retries && MSRSqliteInt64(*retries) >= 1) {
        const auto count = static_cast<int32_t>(MSRSqliteInt64(*retries));
        changed = !MSRPBHasField(*bundle, MSRBundleSlot::kRetryCount) || MSRPBGetInt32(*bundle, MSRBundleSlot::kRetryCount) != count;
        if (changed) MSRPBSetInt32(*bundle, MSRBundleSlot::kRetryCount, count);
    }
    if (encodedSize) {
        *encodedSize = changed ? bundle->protoBuffer().value_or(std::vector<uint8_t>{}).size() : inflated->size();
    }
    const MSRSqliteValue* rowID = MSRSqliteColumn(row, "rowid");
    if (!rowID) return std::nullopt;
    return MSRQueuedBundle(std::move(*bundle), MSRSqliteInt64(*rowID));
}

// Walks the rows oldest first: the first bundle is always taken, each later
// one while the running size of the uncompressed encodings stays within the
// limit; the first that does not fit ends the walk. Rows that do not convert
// are skipped, so a damaged bundle never holds back the ones behind it.
std::optional<std::vector<MSRQueuedBundle>> MSRDatabase::queuedBundlesForQuery(const std::string& query,
                                                                               const MSRSqliteValues& parameters,
                                                                               int64_t sizeLimit, MSRError* error) {
    auto rows = sqliteStore_->recordsForQuery(query, parameters, error);
    if (!rows) return std::nullopt;
    std::vector<MSRQueuedBundle> bundles;
    std::vector<int64_t> pastBound;
    int64_t runningSize = 0;
    for (const MSRSqliteRow& row : *rows) {
        if (std::optional<int64_t> rowID = queuedRowPastBound(row)) {
            pastBound.push_back(*rowID);
            continue;
        }
        size_t encodedSize = 0;
        std::optional<MSRQueuedBundle> pair = queuedBundleFromRow(row, nullptr, &encodedSize);
        if (!pair) continue;
        const auto size = static_cast<int64_t>(encodedSize);
        if (!bundles.empty() && runningSize + size > sizeLimit) break;
        runningSize += size;
        bundles.push_back(std::move(*pair));
        if (runningSize > sizeLimit) break;
    }
    // Kept, such a row would be read again at every upload; the bundles
    // beside it go on as they were.
    if (!pastBound.empty()) {
        MSRError deleteError;
        if (!deleteBundlesWithRowIDs(pastBound, &deleteError)) {
            MSRStorageLog(1, 12079, "Cannot delete queued bundles larger than a bundle may be. Error",
                          {deleteError});
        }
    }
    return bundles;
}

std::optional<int64_t> MSRDatabase::queuedRowPastBound(const MSRSqliteRow& row) {
    const MSRSqliteValue* rowID = MSRSqliteColumn(row, "rowid");
    const MSRSqliteValue* data = MSRSqliteColumn(row, "data");
    if (!rowID || !data) return std::nullopt;
    const auto* length = std::get_if<int64_t>(data);
    const auto* blob = std::get_if<MSRSqliteBlob>(data);
    const bool past = (length && *length > static_cast<int64_t>(MSRStoredMost::kQueuedBundleRowBytes)) ||
                      (blob && security::inflatesPast(*blob, MSRStoredMost::kBundleBytes));
    if (!past) return std::nullopt;
    const int64_t storedLength = length ? *length : static_cast<int64_t>(blob->size());
    MSRStorageLog(1, 12078, "Dropping a queued bundle larger than a bundle may be. Row ID, stored bytes",
                  {std::to_string(MSRSqliteInt64(*rowID)), std::to_string(storedLength)});
    return MSRSqliteInt64(*rowID);
}

std::optional<std::vector<MSRQueuedBundle>> MSRDatabase::queryBundlesWithCountLimit(int64_t countLimit,
                                                                                    int64_t sizeLimit,
                                                                                    MSRError* error) {
    return queuedBundlesForQuery("SELECT " + queuedBundleColumns() + " FROM queue ORDER BY rowid ASC LIMIT ?",
                                 {countLimit}, sizeLimit, error);
}

std::optional<std::vector<MSRQueuedBundle>> MSRDatabase::queryBundlesWithRowIDs(const std::vector<int64_t>& rowIDs,
                                                                                MSRError* error) {
    std::optional<std::string> condition = rowIDCondition(rowIDs, error);
    if (!condition) return std::nullopt;
    return queuedBundlesForQuery("SELECT " + queuedBundleColumns() + " FROM queue WHERE " + *condition,
                                 MSRSqliteValues(rowIDs.begin(), rowIDs.end()), INT64_MAX, error);
}

bool MSRDatabase::incrementRetryCounterForBundlesWithIDs(const std::vector<int64_t>& rowIDs, MSRError* error) {
    if (rowIDs.empty()) return fail(error, kArgument, "Failed to increment retry counter");
    if (answerForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE retry_count = ? LIMIT 1)",
                       {int64_t{kMaxRetryCount}}, nullptr)
            .value_or(false)) {
        MSRStorageLog(1, 12054, "The number of upload retries exceeds the limit. Will remain unchanged.");
    }
    std::optional<std::string> condition = rowIDCondition(rowIDs, error);
    if (!condition) return false;
    std::vector<int64_t> values = rowIDs;
    values.push_back(kMaxRetryCount);
    MSRSqliteValues parameters(values.begin(), values.end());
    return sqliteStore_->increaseColumn("retry_count", 1, "queue", *condition + " AND retry_count < ?", parameters,
                                        error);
}

bool MSRDatabase::deleteBundlesWithRowIDs(const std::vector<int64_t>& rowIDs, MSRError* error) {
    std::optional<std::string> condition = rowIDCondition(rowIDs, error);
    return condition && sqliteStore_
                            ->deleteRecordsFromTable("queue", *condition,
                                                     MSRSqliteValues(rowIDs.begin(), rowIDs.end()), error)
                            .has_value();
}

std::optional<bool> MSRDatabase::maybeDeleteStaleData(MSRError* error) {
    double now = dispatch::Clock::now();
    double last = persistedConfig_ ? persistedConfig_->lastDeleteStaleBundlesTimestamp() : 0.0;
    if (std::fabs(now - last) <= remoteConfig().databaseDeleteStaleBundlesInterval()) return false;
    double maxAge = remoteConfig().maxQueueTime();
    if (!deleteStaleRawEventsDataOlderThanMaxAge(maxAge, error) || !deleteStaleBundlesOlderThanMaxAge(maxAge, error)) {
        return std::nullopt;
    }
    if (persistedConfig_) persistedConfig_->setLastDeleteStaleBundlesTimestamp(now);
    return true;
}

bool MSRDatabase::deleteStaleBundlesOlderThanMaxAge(double maxAge, MSRError* error) {
    if (maxAge < 0) return fail(error, kArgument, "Cannot delete stale bundles after negative time period");
    return sqliteStore_
        ->deleteRecordsFromTable("queue", "abs(bundle_end_timestamp - cast(? as REAL)) > cast(? as REAL)",
                                 {dispatch::Clock::now(), maxAge}, error)
        .has_value();
}

std::optional<bool> MSRDatabase::isQueuedBundleTableEmpty(MSRError* error) {
    return isTableEmpty("queue", error);
}

std::optional<bool> MSRDatabase::containsRealtimeBundles(MSRError* error) {
    return containsRealtimeRows("queue", error);
}

std::optional<double> MSRDatabase::queryLatestBundleTime(MSRError* error) {
    return timeForQuery("SELECT MAX(bundle_end_timestamp) FROM queue", error);
}

// --- Daily counts and stored configuration -----------------------------------------------

// Every event reads and writes the counts, so both go straight to their
// columns with statements kept prepared, never through the whole row (which
// also holds the stored configuration).
std::optional<MSRDailyCounts> MSRDatabase::dailyCounts(MSRError* error) {
    if (groupOpen_ && groupDailyCounts_) return groupDailyCounts_;
    static const std::string query =
        "SELECT day, daily_conversions_count, daily_events_count, daily_public_events_count, "
        "daily_error_events_count, daily_real_time_conversion_events_count, daily_real_time_dcu_events_count "
        "FROM app_metadata WHERE rowid = 1";
    double offset = persistedConfig_ ? persistedConfig_->midnightOffset() : 0.0;
    int32_t today = MSRDailyCounts::dayForTime(dispatch::Clock::now(), offset);
    std::optional<MSRDailyCounts> counts;
    bool read = stepCachedQuery(query, {}, "query daily counts", error, [&](sqlite3_stmt* statement) {
        if (counts) return;
        auto number = [statement](int column, int32_t fallback) {
            int type = sqlite3_column_type(statement, column);
            return type == SQLITE_INTEGER || type == SQLITE_FLOAT
                       ? static_cast<int32_t>(sqlite3_column_int64(statement, column))
                       : fallback;
        };
        counts.emplace(number(0, today), number(1, 0), number(2, 0), number(3, 0), number(4, 0), number(5, 0),
                       number(6, 0));
    });
    if (read && counts && groupOpen_) groupDailyCounts_ = counts;
    return read ? counts : std::nullopt;
}

bool MSRDatabase::updateDailyCounts(const std::optional<MSRDailyCounts>& counts, MSRError* error) {
    if (!counts) return fail(error, kConversion, "Received empty daily counts for getting dictionary representation");
    // Only a group that has read its counts knows the row is there; the
    // first write of a group checks it.
    if (groupOpen_ && groupDailyCounts_) {
        groupDailyCounts_ = counts;
        groupDailyCountsChanged_ = true;
        return true;
    }
    if (!writeDailyCounts(*counts, error)) return false;
    if (groupOpen_) groupDailyCounts_ = counts;
    return true;
}

bool MSRDatabase::writeDailyCounts(const MSRDailyCounts& counts, MSRError* error) {
    static const std::string update =
        "UPDATE app_metadata SET day = ?, daily_conversions_count = ?, daily_events_count = ?, "
        "daily_public_events_count = ?, daily_error_events_count = ?, daily_real_time_conversion_events_count = ?, "
        "daily_real_time_dcu_events_count = ? WHERE rowid = 1";
    MSRSqliteValues values = {int64_t{counts.day()},
                              int64_t{counts.conversionsCount()},
                              int64_t{counts.allEventsCount()},
                              int64_t{counts.publicEventsCount()},
                              int64_t{counts.errorEventsCount()},
                              int64_t{counts.realtimeCount()},
                              int64_t{counts.dcuRealtimeCount()}};
    if (!stepCachedStatement(update, values, "update daily counts", error)) return false;
    if (sqlite3_changes(sqliteStore_->sqliteHandle()) == 0) {
        return fail(error, kState, "Failed to update record. Item doesn't exist");
    }
    return true;
}

bool MSRDatabase::updateRemoteConfig(const MSRPBMeasurementConfig& config, MSRError* error) {
    std::vector<uint8_t> encoded = config.protoBuffer().value_or(std::vector<uint8_t>{});
    if (encoded.empty()) return fail(error, kArgument, "Invalid measurement config data");
    if (MSRPBGetString(config, MSRConfigSlot::kAppID).value_or("").empty()) {
        return fail(error, kArgument, "Missing Zevure app ID in measurement configuration");
    }
    return updateRemoteConfigData(std::move(encoded), error);
}

bool MSRDatabase::updateRemoteConfigData(std::vector<uint8_t> encoded, MSRError* error) {
    if (encoded.empty()) return fail(error, kArgument, "Invalid measurement config data");
    if (encoded.size() > MSRStoredMost::kConfigurationBytes) {
        return fail(error, kArgument, "Measurement config data is larger than a stored configuration may be");
    }
    MSRSqliteRecord record = {{"remote_config_data", std::move(encoded)},
                              {"remote_config_timestamp", dispatch::Clock::now()}};
    return updateDataType(record, "app_metadata", "rowid", kQueueAppMetadataRowID, error);
}

// The validators go first, and are on disk before the row changes: a kill
// between the two leaves the configuration without them (it is dropped
// again at the next start), never validators that name a configuration
// this database no longer holds, which the server would answer with 304.
bool MSRDatabase::deleteRemoteConfig(MSRError* error) {
    if (persistedConfig_ && hasRemoteConfigValidators()) {
        persistedConfig_->setConfigServerETag(std::nullopt);
        persistedConfig_->setConfigServerLastModifiedString(std::nullopt);
        persistedConfig_->synchronizeToDisk();
    }
    MSRSqliteRecord record = {{"remote_config_data", MSRSqliteNull{}}, {"remote_config_timestamp", MSRSqliteNull{}}};
    return updateDataType(record, "app_metadata", "rowid", kQueueAppMetadataRowID, error);
}

bool MSRDatabase::updateRemoteConfigSuccessfulTimestamp(double timestamp, MSRError* error) {
    return updateDataType(MSRSqliteRecord{{"remote_config_timestamp", timestamp}}, "app_metadata", "rowid",
                          kQueueAppMetadataRowID, error);
}

std::optional<MSRPBMeasurementConfig> MSRDatabase::queryMeasurementConfig(MSRError* error) {
    std::optional<std::vector<uint8_t>> blob = queryMeasurementConfigData(error);
    if (!blob) return std::nullopt;
    std::optional<MSRPBMeasurementConfig> config = MSRPBMeasurementConfig::initWithBuffer(*blob);
    if (!config) fail(error, kState, "Remote config data is corrupted");
    return config;
}

std::optional<std::vector<uint8_t>> MSRDatabase::queryMeasurementConfigData(MSRError* error,
                                                                          int64_t* lengthPastBound) {
    static const std::string query =
        "SELECT " + MSRStoredMost::blobColumnWithinBound("remote_config_data", MSRStoredMost::kConfigurationBytes) +
        " FROM app_metadata LIMIT 1";
    auto rows = sqliteStore_->recordsForQuery(query, {}, error);
    if (!rows || rows->empty()) return std::nullopt;
    if (const MSRSqliteValue* length = MSRSqliteColumn(rows->front(), "stored_length");
        length && MSRSqliteInt64(*length) > static_cast<int64_t>(MSRStoredMost::kConfigurationBytes)) {
        if (lengthPastBound) *lengthPastBound = MSRSqliteInt64(*length);
        return std::nullopt;
    }
    auto data = rows->front().find("remote_config_data");
    if (data == rows->front().end()) return std::nullopt;
    auto* blob = std::get_if<MSRSqliteBlob>(&data->second);
    if (!blob) return std::nullopt;
    return std::move(*blob);
}

bool MSRDatabase::hasRemoteConfigValidators() {
    if (!persistedConfig_) return false;
    return !persistedConfig_->configServerETag().value_or("").empty() ||
           !persistedConfig_->configServerLastModifiedString().value_or("").empty();
}

std::optional<double> MSRDatabase::lastRemoteConfigUpdateTimestamp(MSRError* error) {
    return timeForQuery("SELECT remote_config_timestamp FROM app_metadata LIMIT 1", error);
}
