#pragma once

// The analytics engine's own database: raw events waiting to be bundled, the
// upload queue, the single application-metadata row (bundle bookkeeping, daily
// counters, the stored measurement configuration) and the tables of the later
// stages (aggregates, user properties, audiences, purchases). A typed layer
// over one MSRSqliteStore; used only from the measurement worker queue.

#include <unordered_set>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analytics/model/MSRConditionalUserProperty.h"
#include "analytics/model/MSRDailyCounts.h"
#include "analytics/model/MSREventAggregates.h"
#include "analytics/model/MSREventFilter.h"
#include "analytics/model/MSRFilterResult.h"
#include "analytics/model/MSRPropertyFilter.h"
#include "analytics/model/MSRRawEventData.h"
#include "analytics/model/MSRUserAttribute.h"
#include "analytics/support/MSRError.h"
#include "analytics/messages/MSRPBFlatEvent.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/storage/MSRSqliteStore.h"
#include "analytics/storage/MSRStoredBounds.h"

class MSRPersistedConfig;
class MSRRemoteConfig;
class MSRSalvageMark;

// The bookkeeping of the last bundle made.
class MSRAppMetadata {
  public:
    // Nothing (logged) for a negative index.
    static std::optional<MSRAppMetadata> initWithLastBundleIndex(int32_t lastBundleIndex,
                                                                 double lastBundleStartTimestamp,
                                                                 double lastBundleEndTimestamp);
    int32_t lastBundleIndex() const { return lastBundleIndex_; }
    double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
    double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
    // The next index; after the largest 32-bit index it starts again at 0
    // (logged), so the index never turns negative.
    void incrementLastBundleIndex();
    void setLastBundleStartTimestamp(double timestamp) { lastBundleStartTimestamp_ = timestamp; }
    void setLastBundleEndTimestamp(double timestamp) { lastBundleEndTimestamp_ = timestamp; }

  private:
    MSRAppMetadata(int32_t index, double start, double end)
        : lastBundleIndex_(index), lastBundleStartTimestamp_(start), lastBundleEndTimestamp_(end) {}
    int32_t lastBundleIndex_;
    double lastBundleStartTimestamp_;
    double lastBundleEndTimestamp_;
};

// A raw event as bundling reads it: its columns and its stored bytes, either
// read in the flat form (`flat`, whose texts are views into `data`) or, for
// bytes in any other form, decoded in full (`decoded`). Moving a row keeps
// the views valid; copying it would not, so it cannot be copied.
struct MSRRawEventRow {
    int64_t rowID = 0;
    std::string name;
    double timestamp = 0;
    std::vector<uint8_t> data;
    MSRPBFlatEvent flat;
    std::optional<MSRRawEventData> decoded;

    MSRRawEventRow() = default;
    MSRRawEventRow(MSRRawEventRow&&) noexcept = default;
    MSRRawEventRow& operator=(MSRRawEventRow&&) noexcept = default;
    MSRRawEventRow(const MSRRawEventRow&) = delete;
    MSRRawEventRow& operator=(const MSRRawEventRow&) = delete;
};

// Asked before each raw event row is taken: (rows taken so far, row id,
// time in seconds or nothing when the column holds no number, length of the
// stored bytes); the first refusal ends the read.
using MSRRawEventRowFilter =
    std::function<bool(size_t index, int64_t rowID, std::optional<double> timestamp, size_t dataSize)>;

// A queued bundle as read back: the bundle and its row in "queue".
using MSRQueuedBundle = std::pair<MSRPBMeasurementBundle, int64_t>;

// Turns one row into a model object that the block keeps; answers whether it
// made one (a row that makes none is skipped).
using MSRDataTypeBlock = std::function<bool(const MSRSqliteRow& row, MSRError* error)>;

class MSRDatabase {
  public:
    static constexpr const char* kDatabaseName = "zevure-app-measurement.sql";
    // The events of one bundle at most (see MSRStoredMost::kBundleBytes).
    static constexpr int64_t kMaxRawEventsReadPerCall = MSRStoredMost::kBundleEvents;
    static constexpr int64_t kMaxRawEventMetadataRows = 100000;
    static constexpr int32_t kMaxRetryCount = 2147483647;

    // Opens (creating when missing) `name` in the engine directory, ensures
    // every table and the metadata row. A file that is damaged, or whose
    // tables are refused, is set aside (kept) and replaced by a fresh one
    // into which the raw events, queued bundles and user properties that can
    // still be read are copied. Null with the error.
    static std::unique_ptr<MSRDatabase> initWithDatabaseName(const std::string& name,
                                                             std::shared_ptr<MSRPersistedConfig> persistedConfig,
                                                             MSRError* error);
    ~MSRDatabase();
    MSRDatabase(const MSRDatabase&) = delete;
    MSRDatabase& operator=(const MSRDatabase&) = delete;

    // The settings that bound the stored data (event limit, ages, intervals);
    // the default settings until the engine hands its own.
    void setRemoteConfig(std::shared_ptr<MSRRemoteConfig> remoteConfig);
    // The encoded metadata of the current identity, which raw events whose
    // own metadata is missing or unreadable take instead; nothing (or an
    // unset source) leaves them to be deleted. Called on the worker queue.
    void setCurrentMetadataSource(std::function<std::optional<std::vector<uint8_t>>()> source) {
        currentMetadata_ = std::move(source);
    }
    const std::string& databasePath() const;

    // --- Lifecycle ---
    // Deletes the file and starts afresh. A failure leaves the database closed:
    // every later operation fails with "Database not open".
    bool reset(MSRError* error);
    // Removes the database file at `path` (closed) with everything a later
    // start could bring back into a fresh one: its logs, its salvage mark
    // and every copy the mark names. Only removals, so it needs no room. A
    // removal that fails stops it where it stands, which a later call
    // finishes; false then, with the cause in `failure`.
    static bool wipeFiles(const std::string& path, std::string* failure = nullptr);
    // One exclusive transaction; false (logged 12056) when the block answers
    // false or the commit fails. Exceptions roll back and propagate. Writes
    // waiting in a group (below) are committed first; inside a grouped block
    // the transaction is a savepoint of the group's.
    bool performTransaction(const std::function<bool()>& block);

    // --- Grouped writes ---
    // Writes that come one after another (one per event) share one commit:
    // the first opens a transaction that stays open, each block runs in a
    // savepoint of its own, so a failure still undoes only that block's
    // writes, and `commitPendingWrites` ends the group. The owner commits once
    // the work waiting on its queue has run, and before anything outside may
    // depend on the data (a request, the end of a background task); a wipe
    // and the database's end commit it too. True when the block's writes are
    // kept (they are durable once the group commits); false logged as above.
    // A group commits by itself once it holds this many writes, which bounds
    // what a long burst keeps unwritten and what waits for its end.
    static constexpr int64_t kMaxGroupedWrites = 1000;
    bool performGroupedTransaction(const std::function<bool()>& block);
    // As performGroupedTransaction, without the savepoint, for a block whose
    // only write is one statement (a failed statement leaves nothing behind
    // in SQLite) and that has checked everything that may fail before it.
    // Nested transactions of the block still take savepoints of their own.
    bool performGroupedWrite(const std::function<bool()>& block);
    // Runs `block` with the group held: nothing commits while it runs, and a
    // transaction it starts while the group is open is a savepoint of the
    // group's. What its grouped blocks write is thus committed together, at
    // the group's next commit after it, or not at all: writes that only make
    // sense together (an event and what it set off) never reach the file one
    // without the other. Holds nest.
    void holdPendingWrites(const std::function<void()>& block);
    bool isHoldingPendingWrites() const { return pendingWritesHolds_ > 0; }
    bool hasPendingWrites() const;
    // Commits the group (true when none is open), then runs the blocks that
    // waited for its end. A failed commit undoes the whole group (logged 12056
    // with the number of writes lost); the blocks run all the same, told so.
    bool commitPendingWrites();
    // Runs `block` once the open group has ended, with whether its writes
    // were committed; at once with true when no group is open.
    void runWhenPendingWritesEnd(std::function<void(bool committed)> block);
    bool initializeDatabaseResources(const std::string& context, const std::string& path, MSRError* error);
    bool ensureAllTables();
    bool initializeAppMetadata();
    // A configuration stored in app_metadata's own column (by an older
    // build, or a salvage of its file) moves to its table, once.
    void moveStoredConfigurationToItsTable();
    // Nothing without an error when the row is missing.
    std::optional<MSRAppMetadata> queryAppMetadata(MSRError* error);
    bool updateAppMetadata(const std::optional<MSRAppMetadata>& appMetadata, MSRError* error);

    // --- Generic rows --- (the number of objects the block made, or nothing)
    std::optional<size_t> allDataTypesFromTable(const std::string& table, int64_t tableLimit, MSRError* error,
                                                const MSRDataTypeBlock& block);
    std::optional<size_t> dataTypesFromTable(const std::string& table, const std::string& columnName,
                                             const std::optional<MSRSqliteValue>& columnValue, MSRError* error,
                                             const MSRDataTypeBlock& block);
    // The object `make` makes of the first row whose `columnName` holds
    // `columnValue` that it can make one of; nothing when there is none (a
    // failed read, or rows none of which could be made, fill `error`).
    template <typename T>
    std::optional<T> firstDataTypeFromTable(const std::string& table, const std::string& columnName,
                                            const MSRSqliteValue& columnValue, MSRError* error,
                                            const std::function<std::optional<T>(const MSRSqliteRow&)>& make) {
        std::optional<T> found;
        auto fromRow = [&](const MSRSqliteRow& row, MSRError*) {
            if (found) return true;
            found = make(row);
            return found.has_value();
        };
        return dataTypesFromTable(table, columnName, columnValue, error, fromRow) ? found : std::nullopt;
    }
    bool insertDataType(const std::optional<MSRSqliteRecord>& record, const std::string& table, MSRError* error);
    bool upsertDataType(const std::optional<MSRSqliteRecord>& record, const std::string& table,
                        const std::string& columnName, const std::optional<MSRSqliteValue>& columnValue,
                        int64_t tableLimit, MSRError* error);
    bool updateDataType(const std::optional<MSRSqliteRecord>& record, const std::string& table,
                        const std::string& columnName, const std::optional<MSRSqliteValue>& columnValue,
                        MSRError* error);

    // --- Raw events and their metadata ---
    // Whether the encoded metadata is stored as it is (a read); `fingerprint`
    // receives its fingerprint either way.
    std::optional<bool> isRawEventMetadataStored(const std::vector<uint8_t>& encoded, int64_t* fingerprint,
                                                 MSRError* error);
    // `fingerprint`, when given, receives the record's fingerprint.
    bool insertIfNotExistsRawEventMetadata(const MSRPBMeasurementBundle& metadata, MSRError* error,
                                           int64_t* fingerprint = nullptr);
    // The same for metadata already encoded.
    bool insertIfNotExistsRawEventMetadata(const std::vector<uint8_t>& encoded, MSRError* error,
                                           int64_t* fingerprint = nullptr);
    // Nothing without an error when no row has the fingerprint.
    std::optional<MSRPBMeasurementBundle> queryRawEventsMetadataWithFingerprint(int64_t fingerprint,
                                                                               MSRError* error);
    bool deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint, MSRError* error);
    bool deleteUnusedRawEventsMetadata(MSRError* error);
    bool insertRawEvent(const std::optional<MSREvent>& rawEvent, int64_t metadataFingerprint, bool isRealtime,
                        MSRError* error);
    bool insertRawEvent(const MSREvent& rawEvent, int64_t metadataFingerprint, bool isRealtime, MSRError* error);
    // The fingerprint of the oldest raw event; nothing without an error when
    // there is none.
    std::optional<int64_t> nextMetadataFingerprintToProcess(MSRError* error);
    // Up to 1000 raw events of the fingerprint in insertion order; the filter
    // is asked (events taken so far, row) before each and its first refusal
    // ends the read. Rows that cannot be read, and every row of a fingerprint
    // whose metadata cannot be read, are deleted and logged rather than
    // handed out again and again.
    std::optional<std::vector<MSRRawEventData>> rawEventsWithMetadataFingerprint(int64_t fingerprint,
                                                                                MSRError* error,
                                                                                const MSRSqliteRowFilter& eventFilter);
    // As rawEventsWithMetadataFingerprint, the same rows taken, refused and
    // deleted, but read through one kept statement and, for the flat form,
    // not made into events.
    std::optional<std::vector<MSRRawEventRow>> rawEventRowsWithMetadataFingerprint(
        int64_t fingerprint, MSRError* error, const MSRRawEventRowFilter& eventFilter);
    // The event of a row of `fingerprint`: `decoded`, or what
    // rawEventDataFromDictionary makes of the row's columns.
    std::optional<MSRRawEventData> rawEventDataFromRow(const MSRRawEventRow& row, int64_t fingerprint,
                                                       MSRError* error);
    std::optional<MSRRawEventData> rawEventDataFromDictionary(const MSRSqliteRow* row, MSRError* error);
    std::optional<bool> containsRawEventWithMetadataFingerprint(int64_t fingerprint, MSRError* error);
    bool deleteRawEventsWithMaxRowID(int64_t rowID, MSRError* error);
    // Keeps the newest maxEventsStored - 1 raw events (so that the next insert
    // makes at most maxEventsStored) and the metadata they use. The number of
    // events deleted.
    std::optional<int64_t> deleteRawEventsOverAbsoluteLimit(MSRError* error);
    // Whether the next insert needs deleteRawEventsOverAbsoluteLimit to make
    // room first.
    std::optional<bool> isRawEventStoreFull(MSRError* error);
    bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, MSRError* error);
    // Drops, once and logged, the oldest raw events past the most the writers
    // can have stored (MSRStoredMost::kRawEventRows), before the file's check
    // reads them all.
    static void dropRawEventsPastWriterBound(MSRSqliteStore& store);
    std::optional<bool> isRawEventsTableEmpty(MSRError* error);
    // The number of stored raw events of `name` (not yet in a bundle).
    std::optional<int64_t> rawEventCountWithName(const std::string& name, MSRError* error);
    std::optional<bool> containsRealtimeRawEvents(MSRError* error);
    std::optional<double> queryLatestRawEventTime(MSRError* error);

    // --- Upload queue ---
    bool insertBundle(const MSRPBMeasurementBundle& bundle, bool isRealtime, MSRError* error);
    // The oldest bundles: at most `countLimit`, the first always, each later
    // one while the uncompressed sizes stay within `sizeLimit`. The rows are
    // stepped one at a time and a later one is inflated only as far as the
    // room left, so a read holds what it returns and one bundle at most. A
    // row stored as anything but bytes, stored or inflating past a bundle's
    // bound (MSRStoredBounds.h), or inflating to what is no bundle is
    // dropped, logged once and deleted; the others are read as if it were
    // not there; what one read drops is said once per code, with its count.
    // One read is a pass of bounded work (see
    // MSRStoredMost::kQueuePassInflatedBytes): one that reached its budget
    // having deleted what it dropped says so in queueReadEndedAtBudget(),
    // and the rows it did not reach wait for the next read. The passes draw together on the queue work of one
    // upload (refillQueueWork): once that is spent (queueWorkSpent()), a read
    // does no more until the next refill.
    std::optional<std::vector<MSRQueuedBundle>> queryBundlesWithCountLimit(int64_t countLimit, int64_t sizeLimit,
                                                                           MSRError* error);
    std::optional<std::vector<MSRQueuedBundle>> queryBundlesWithRowIDs(const std::vector<int64_t>& rowIDs,
                                                                       MSRError* error);
    bool queueReadEndedAtBudget() const { return queueReadEndedAtBudget_; }
    // What one read of the queue may spend (see MSRStoredBounds.h).
    struct QueuePassBudget {
        size_t inflatedBytes = MSRStoredMost::kQueuePassInflatedBytes;
        int64_t rows = MSRStoredMost::kQueuePassRows;
        int64_t droppedRows = MSRStoredMost::kQueuePassDroppedRows;
    };
    void setQueuePassBudgetForTesting(const QueuePassBudget& budget) { queuePassBudget_ = budget; }
    // The queue work an upload may spend across the passes it chains: a start
    // or a scheduled upload refills it, a pass chained behind one does not.
    void refillQueueWork() { queueWorkLeft_ = queueWork_; }
    bool queueWorkSpent() const {
        return queueWorkLeft_.inflatedBytes == 0 || queueWorkLeft_.rows == 0 || queueWorkLeft_.droppedRows == 0;
    }
    void setQueueWorkForTesting(const QueuePassBudget& budget) { queueWork_ = queueWorkLeft_ = budget; }
    bool incrementRetryCounterForBundlesWithIDs(const std::vector<int64_t>& rowIDs, MSRError* error);
    bool deleteBundlesWithRowIDs(const std::vector<int64_t>& rowIDs, MSRError* error);
    // True when the deletion ran, false when it was not yet due.
    std::optional<bool> maybeDeleteStaleData(MSRError* error);
    bool deleteStaleBundlesOlderThanMaxAge(double maxAge, MSRError* error);
    std::optional<bool> isQueuedBundleTableEmpty(MSRError* error);
    std::optional<bool> containsRealtimeBundles(MSRError* error);
    std::optional<double> queryLatestBundleTime(MSRError* error);

    // --- Daily counts and stored configuration ---
    // Inside a group the counts are read once and written once, just before
    // the group commits; a block that fails takes its changes back.
    std::optional<MSRDailyCounts> dailyCounts(MSRError* error);
    bool updateDailyCounts(const std::optional<MSRDailyCounts>& dailyCounts, MSRError* error);
    bool updateRemoteConfig(const MSRPBMeasurementConfig& config, MSRError* error);
    bool updateRemoteConfigSuccessfulTimestamp(double timestamp, MSRError* error);
    // Nothing without an error when none is stored.
    std::optional<MSRPBMeasurementConfig> queryMeasurementConfig(MSRError* error);
    // The stored configuration's encoding as it lies in the row, not
    // decoded: for a reader that counts it before it builds any of it.
    // Nothing without an error when none is stored, and nothing, unread,
    // when it is longer than a stored configuration may be
    // (MSRStoredBounds.h): `lengthPastBound`, when given, then receives its
    // length.
    std::optional<std::vector<uint8_t>> queryMeasurementConfigData(MSRError* error,
                                                                   int64_t* lengthPastBound = nullptr);
    // Stores an encoding the caller built and checked, with the time now;
    // one past the stored bound is refused.
    bool updateRemoteConfigData(std::vector<uint8_t> encoded, MSRError* error);
    // Forgets the stored configuration with the fetch validators that name
    // it (those first, durably) and the time of its fetch, so that the next
    // upload run asks the server for the whole configuration again.
    bool deleteRemoteConfig(MSRError* error);
    // Whether validators of a fetched configuration are kept: the server
    // answers 304 to them, so they must not outlive the configuration.
    bool hasRemoteConfigValidators();
    std::optional<double> lastRemoteConfigUpdateTimestamp(MSRError* error);

    // --- Session counts and the aggregates snapshot --- (MSRDatabaseSnapshots.cpp)
    // Sets the session count of every aggregates row to 0.
    bool clearCurrentSessionCounts(MSRError* error);
    // Replaces "events_snapshot" with a copy of the aggregates.
    bool createEventsSnapshotTable(MSRError* error);
    // Puts a non-empty snapshot back in place of the aggregates and empties
    // it; without one nothing changes.
    bool restoreFromEventsSnapshotTable(MSRError* error);
    // The aggregates of `name` in the snapshot; nothing (without an error)
    // when there is no snapshot table or no such row.
    std::optional<MSREventAggregates> eventAggregatesSnapshotWithName(const std::string& name, MSRError* error);
    bool deleteAllEventAggregatesInSnapshot(MSRError* error);

    // --- Event aggregates and subscriptions --- (MSRDatabaseEvents.cpp)
    // At most 1000 aggregates rows: a new name beyond that is refused while
    // existing ones can always be rewritten.
    static constexpr int64_t kMaxEventAggregatesRows = 1000;
    static constexpr int64_t kMaxSubscriptionRows = 1000;
    // Nothing without an error when the name has no row.
    std::optional<MSREventAggregates> eventAggregatesWithName(const std::string& name, MSRError* error);
    // The same from "events" or "events_snapshot".
    std::optional<MSREventAggregates> eventAggregatesWithName(const std::string& name, const std::string& table,
                                                              MSRError* error);
    // Up to 1000 rows; rows that make no aggregates are skipped.
    std::optional<std::vector<MSREventAggregates>> allEventAggregates(MSRError* error);
    bool deleteAllEventAggregates(MSRError* error);
    std::optional<bool> containsEventAggregatesWithName(const std::string& name, MSRError* error);
    bool updateEventAggregates(const MSREventAggregates& aggregates, MSRError* error);
    // The number of aggregates rows of public (not "_") names.
    std::optional<int64_t> publicEventCount(MSRError* error);
    // True when the identifier was new (and is now stored), false when it was
    // stored already or is empty.
    std::optional<bool> insertIfNotDuplicateSubscriptionID(const std::string& subscriptionID, MSRError* error);
    // Keeps the newest 1000 identifiers; the number deleted.
    std::optional<int64_t> deleteSubscriptionsOverLimit(MSRError* error);
    static constexpr int64_t kMaxPurchaseFingerprintRows = 1000;
    // True when the fingerprint was new (and is now stored, the newest 1000
    // kept), false when it was stored already or is empty.
    std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint, MSRError* error);
    std::optional<bool> containsPurchaseFingerprint(const std::string& fingerprint, MSRError* error);

    // --- User properties --- (MSRDatabaseUserAttributes.cpp)
    // Stored properties whose name does not begin with "_".
    std::optional<int64_t> publicUserAttributeCount(MSRError* error);
    std::optional<int64_t> userAttributeCountForOrigin(const std::string& origin, MSRError* error);
    std::optional<bool> containsUserAttributeWithName(const std::string& name, MSRError* error);
    // Nothing without an error when no property has the name.
    std::optional<MSRUserAttribute> userAttributeWithName(const std::string& name, MSRError* error);
    // Every stored property, or without "_" names, reserved prefixes and the
    // reserved public names unless `includeInternal`.
    std::optional<std::vector<MSRUserAttribute>> userAttributesIncludingInternal(bool includeInternal,
                                                                                MSRError* error);
    // The lifetime-value properties (names beginning with exactly "_ltv_"),
    // newest first; nothing when one of them cannot be read.
    std::optional<std::vector<MSRUserAttribute>> allLifetimeValueUserAttributes(MSRError* error);
    // Inserts or replaces by name; a new name beyond 1000 stored is refused.
    bool updateUserAttribute(const std::optional<MSRUserAttribute>& attribute, MSRError* error);
    // Deleting a name that is not stored succeeds.
    bool deleteUserAttributeWithName(const std::string& name, MSRError* error);
    // Moves on with every write of the user properties and with everything
    // that may have undone one: while it stays, so do the stored properties.
    uint64_t userAttributesGeneration() const { return userAttributesGeneration_; }

    // --- Conditional user properties --- (MSRDatabaseConditionalUserProperties.cpp)
    // "Now" is the clock's wall time. A row that can no longer be read is
    // deleted (logged) and the other rows are answered. Names and origins are
    // matched as given: "_" and "%" in them are no wildcards.
    // Nothing without an error when no property has the name.
    std::optional<MSRConditionalUserProperty> conditionalUserPropertyWithName(const std::string& name,
                                                                              MSRError* error);
    // Inserts or replaces by name (columns the record leaves out become
    // null); a new name beyond 1000 stored is refused.
    bool updateConditionalUserProperty(const std::optional<MSRConditionalUserProperty>& property, MSRError* error);
    bool deleteConditionalUserPropertyWithName(const std::string& name, MSRError* error);
    // Waiting properties whose trigger timeout has passed since their creation.
    std::optional<std::vector<MSRConditionalUserProperty>> timedOutConditionalUserProperties(MSRError* error);
    // Active properties whose time to live has passed since they were triggered.
    std::optional<std::vector<MSRConditionalUserProperty>> expiredConditionalUserProperties(MSRError* error);
    // Waiting properties for `eventName` still within their trigger timeout.
    std::optional<std::vector<MSRConditionalUserProperty>> triggeredConditionalUserPropertiesWithEventName(
        const std::string& eventName, MSRError* error);
    // Names beginning with `prefix` (ASCII letters in any case), of `origin`;
    // an empty text does not restrict.
    std::optional<std::vector<MSRConditionalUserProperty>> conditionalUserPropertiesWithPrefix(
        const std::string& prefix, const std::string& origin, MSRError* error);
    // `condition` is SQL over the table's columns with `parameterValues` bound.
    std::optional<std::vector<MSRConditionalUserProperty>> conditionalUserPropertiesWithCondition(
        const std::string& condition, const MSRSqliteValues& parameterValues, MSRError* error);
    std::optional<bool> hasConditionalUserProperties(MSRError* error);
    // The event of stored bytes (conditional properties, complex events).
    static std::optional<MSREvent> eventFromStoredData(const MSRSqliteValue& data, MSRError* error);

    // --- Complex events --- (MSRDatabaseComplexEvents.cpp)
    // The main event of a complex event and how many child events are still
    // to come; nothing without an error for an unknown identifier.
    std::optional<std::pair<MSREvent, int64_t>> mainEventAndChildCountPairWithEventID(int64_t eventID,
                                                                                     MSRError* error);
    bool updateComplexEventForAudienceEvaluationWithEventID(int64_t eventID, int64_t childEventCount,
                                                            const std::optional<MSREvent>& mainEvent,
                                                            MSRError* error);
    bool deleteComplexEventForAudienceEvaluationWithEventID(int64_t eventID, MSRError* error);

    // --- Audience filters and their results --- (MSRDatabaseAudiences.cpp)
    // The filters of one internal event or property name. A stored filter
    // whose message does not decode comes with all three flags off.
    std::optional<std::vector<MSREventFilter>> eventFiltersForEventName(const std::string& name, MSRError* error);
    std::optional<std::vector<MSRPropertyFilter>> propertyFiltersForPropertyName(const std::string& name,
                                                                                 MSRError* error);
    // Inserts or replaces by (audience, filter); stops at the first failure,
    // leaving the earlier ones written: callers run it in their transaction.
    bool updateEventFilters(const std::vector<MSREventFilter>& filters, MSRError* error);
    bool updatePropertyFilters(const std::vector<MSRPropertyFilter>& filters, MSRError* error);
    bool deleteEventFilters(const std::vector<MSREventFilter>& filters, MSRError* error);
    bool deletePropertyFilters(const std::vector<MSRPropertyFilter>& filters, MSRError* error);
    bool deleteAllEventFilters(MSRError* error);
    bool deleteAllPropertyFilters(MSRError* error);
    std::optional<bool> containsEventFilters(MSRError* error);
    // The audiences that have filters of either kind, each once.
    std::optional<std::vector<int32_t>> allAudienceIDs(MSRError* error);
    // Audience -> its session-scoped filters of both kinds.
    std::optional<std::map<int32_t, std::vector<int32_t>>> allSessionScopedFilters(MSRError* error);
    // Every stored result by audience; nothing with the error when the read
    // failed (an empty answer would read as "no audience has results").
    std::optional<std::map<int32_t, MSRFilterResult>> allFilterResults(MSRError* error);
    // Nothing without an error when the audience has no result.
    std::optional<MSRFilterResult> filterResultForAudienceID(int32_t audienceID, MSRError* error);
    bool updateFilterResults(const std::vector<MSRFilterResult>& results, MSRError* error);
    bool deleteFilterResults(const std::vector<MSRFilterResult>& results, MSRError* error);

  private:
    MSRDatabase() = default;

    MSRRemoteConfig& remoteConfig() const;
    // A question answered by one number: nothing with the error on failure.
    std::optional<bool> answerForQuery(const std::string& query, const MSRSqliteValues& parameters,
                                       MSRError* error);
    std::optional<double> timeForQuery(const std::string& query, MSRError* error);
    // The questions that raw events and queued bundles both answer.
    std::optional<bool> isTableEmpty(const std::string& table, MSRError* error);
    std::optional<bool> containsRealtimeRows(const std::string& table, MSRError* error);
    // Runs `block`'s writes as one: a savepoint of the transaction open, or
    // a transaction of their own.
    bool writeTogether(MSRError* error, const std::function<bool()>& block);
    // One step of a statement kept in the store's cache.
    bool stepCachedStatement(const std::string& sql, const MSRSqliteValues& parameters, const char* operation,
                             MSRError* error);
    // Steps a SELECT kept in the store's cache, handing each row to `row`.
    bool stepCachedQuery(const std::string& sql, const MSRSqliteValues& parameters, const char* operation,
                         MSRError* error, const std::function<void(sqlite3_stmt*)>& row);
    // "rowid IN (?,...)" for the rowids; nothing (with the error) for none.
    static std::optional<std::string> rowIDCondition(const std::vector<int64_t>& rowIDs, MSRError* error);
    // The bundle a queued row inflated to, with the row's retry count;
    // `encodedSize` receives the length of the bundle's encoding as read.
    std::optional<MSRQueuedBundle> queuedBundleFromInflated(const std::vector<uint8_t>& inflated,
                                                            const MSRSqliteValue& retryCount, int64_t rowID,
                                                            MSRError* error, size_t* encodedSize = nullptr);
    // One pass over the queue rows `query` gives; `everyRowInOrder` when it
    // gives every row in rowid order, so that what it drops goes by runs.
    std::optional<std::vector<MSRQueuedBundle>> queuedBundlesForQuery(const std::string& query,
                                                                      const MSRSqliteValues& parameters,
                                                                      int64_t sizeLimit, MSRError* error,
                                                                      int64_t countLimit = INT64_MAX,
                                                                      bool everyRowInOrder = false);
    // The event of a stored row's columns; `data` null when the row has none.
    // `flat`, when given, is `data` already read in the flat form.
    std::optional<MSRRawEventData> rawEventDataFromColumns(int64_t rowID, int64_t fingerprint,
                                                           const std::string& name, double timestamp,
                                                           const std::vector<uint8_t>* data, MSRError* error,
                                                           const MSRPBFlatEvent* flat = nullptr);
    // Gives raw events of a fingerprint whose metadata is missing or cannot
    // be read the current metadata (see setCurrentMetadataSource), or, with
    // none to give, deletes them; true when it deleted them.
    bool setAsideEventsWithUnreadableMetadata(int64_t fingerprint, MSRError* error);
    // The rows one read (of raw events or of the queue) deleted as
    // unreadable, by the code they are said with: said once per read, with
    // their count and the first of them, in the text `textFor` gives a code.
    struct UnreadableRows {
        struct Kind {
            int64_t rows = 0;
            int64_t firstRowID = 0;
            std::string firstWhy;
        };
        int64_t count = 0;
        std::map<int64_t, Kind> kinds;
        void met(int64_t code, int64_t rowID, const std::string& why);
        void say(const char* (*textFor)(int64_t code)) const;
    };
    // The unreadable rows of one window (or pass) as runs, first and last
    // rowid, with no readable row of it between them.
    struct UnreadableRowRuns {
        std::vector<std::pair<int64_t, int64_t>> runs;
        bool open = false;
        void add(int64_t rowID, bool unreadable);
    };
    // Deletes the raw events a read could not make anything of, keeping the
    // stored-event count right.
    bool deleteUnreadableRawEvents(int64_t fingerprint, const UnreadableRowRuns& unreadable,
                                   MSRError* error);
    // Deletes the rows a pass dropped: by their runs, or one by one.
    bool deleteDroppedQueueRows(const UnreadableRowRuns& runs, const std::vector<int64_t>& rowIDs,
                                bool byRuns, MSRError* error);
    // One window of the reads above; what it deleted as unreadable is added
    // to `said`.
    std::optional<std::vector<MSRRawEventData>> rawEventsOfOneWindow(int64_t fingerprint, MSRError* error,
                                                                     const MSRSqliteRowFilter& eventFilter,
                                                                     UnreadableRows& said);
    std::optional<std::vector<MSRRawEventRow>> rawEventRowsOfOneWindow(
        int64_t fingerprint, MSRError* error, const MSRRawEventRowFilter& eventFilter,
        UnreadableRows& said);
    std::optional<int64_t> rawEventCount(MSRError* error);
    static std::optional<MSRConditionalUserProperty> conditionalUserPropertyFromRow(const MSRSqliteRow& row,
                                                                                   MSRError* error);
    void useJournalMode();
    // Opens the store at `path` in place of the current one.
    bool openStore(const std::string& path, MSRError* error);
    // Copies every table SQLite can still read of the damaged copies that
    // the salvage mark beside the file names, in order, logging what came
    // across table by table (12073) or why nothing did (12074). It works in
    // bounded commits and notes in the mark how far it got, so that a
    // salvage a kill cuts is resumed by the next start, each copy read once,
    // no row copied twice; the mark goes once every copy has committed.
    void resumeSalvage();
    // What the salvage of the mark's first copy came to: done (or nothing
    // of it readable), or waiting for room with the rows still to copy
    // (counted in the copy's main file only when `mainFileOnly`) and the
    // copy's bundle index.
    struct SalvageOutcome {
        bool waiting = false;
        std::optional<int64_t> rows;
        bool mainFileOnly = false;
        std::optional<int64_t> lastBundleIndex;
    };
    SalvageOutcome salvageFirstCopy(MSRSalvageMark& mark, const std::string& markPath);
    // Numbers the engine's next bundles past `keptIndex`, a kept file's.
    void raiseBundleIndex(std::optional<int64_t> keptIndex);
    // The first page of this file while it is fresh; empty when it cannot be read.
    std::vector<uint8_t> freshFirstPage();

    std::unique_ptr<MSRSqliteStore> sqliteStore_;
    std::shared_ptr<MSRPersistedConfig> persistedConfig_;
    std::shared_ptr<MSRRemoteConfig> remoteConfig_;
    // The number of raw events, kept so that the stored-event limit needs no
    // count of the whole table per insert. Exact while every change of the
    // table goes through this class and commits; dropped (and counted afresh
    // when next needed) after anything that may have rolled back.
    std::optional<int64_t> rawEventCount_;
    // Whether the last read of the queue stopped at its pass's budget.
    bool queueReadEndedAtBudget_ = false;
    QueuePassBudget queuePassBudget_;
    QueuePassBudget queueWork_{MSRStoredMost::kQueueWorkInflatedBytes, MSRStoredMost::kQueueWorkRows,
                               MSRStoredMost::kQueueWorkDroppedRows};
    QueuePassBudget queueWorkLeft_ = queueWork_;
    // Every stored user property as last read, kept until the next write of
    // the table (or anything that may have undone one) so that the metadata
    // of each event needs no read of the table.
    std::optional<std::vector<MSRUserAttribute>> storedUserAttributes_;
    uint64_t userAttributesGeneration_ = 0;
    void userAttributesChanged();
    // What the event road would otherwise ask the file for each event: names
    // known to have aggregates, and whether the last metadata is stored.
    // Only facts confirmed by the file are kept; anything that may remove
    // rows (or undo their writing) drops them.
    std::unordered_set<std::string> namesWithAggregates_;
    bool lastMetadataKnownStored_ = false;
    std::function<std::optional<std::vector<uint8_t>>()> currentMetadata_;
    // After anything that may have undone writes: nothing above is trusted.
    void forgetRowsKnownInMemory();
    const std::vector<MSRUserAttribute>* storedUserAttributes(MSRError* error);
    // The open group: the blocks kept in it, the grouped blocks running now
    // (their nested transactions become savepoints), and what waits for its
    // end.
    bool groupOpen_ = false;
    int64_t pendingWriteCount_ = 0;
    int groupedBlockDepth_ = 0;
    int pendingWritesHolds_ = 0;
    std::vector<std::function<void(bool)>> blocksAfterPendingWrites_;
    // The group's daily counts once read or changed, and whether they still
    // have to be written.
    std::optional<MSRDailyCounts> groupDailyCounts_;
    bool groupDailyCountsChanged_ = false;
    // Ends the group: the daily counts and the commit when `commit`, and the
    // waiting blocks.
    bool endPendingWrites(bool commit);
    bool runGroupedBlock(const std::function<bool()>& block, bool savepoint);
    bool writeDailyCounts(const MSRDailyCounts& counts, MSRError* error);
    bool performTransaction(const std::function<bool()>& block, bool savepoint);
    void rememberRawEventMetadata(std::vector<uint8_t> encoded);
    std::optional<bool> isLastMetadataStored(MSRError* error);
    // The encoded metadata last stored and its fingerprint.
    std::vector<uint8_t> lastMetadataBytes_;
    int64_t lastMetadataFingerprint_ = 0;
};
