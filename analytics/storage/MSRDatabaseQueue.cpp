// The upload queue, stale-data deletion, the daily counters and the stored
// measurement configuration of MSRDatabase.

#include <sqlite3.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <iterator>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/messages/NANOLayout.h"
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

// The columns of a queued row as reads take them: its stored bytes sized in
// SQL (MSRStoredMost::kNotABlob for a value that is not a blob), never the
// bytes themselves, which are streamed (see inflateQueuedRow).
const std::string& queuedBundleColumns() {
    static const std::string columns =
        "rowid, " + MSRStoredMost::storedBytes("data") + " AS stored_bytes, retry_count";
    return columns;
}

// What reading one queued row's data came to: inflated, past the room
// left, no gzip stream (its bytes say so, or inflating them fails), not
// read at all (the file would not give the bytes, which says nothing of
// them), or inflating to what no bundle is.
enum class QueuedRowInflation { kInflated, kPastRoom, kNotInflating, kFailed, kNoBundle };

// The first bytes of every gzip stream: its magic and the deflate method.
constexpr uint8_t kQueuedRowGzipHead[] = {0x1f, 0x8b, 0x08};

// How much of a stored bundle is read at a time.
constexpr int kQueuedRowPiece = 256 << 10;

// The top level of a bundle's encoding, walked as the row inflates: every
// key one of a bundle's fields with its own wire type (or, for a field the
// bundle does not have, a wire type there is), a field that is not repeated
// met once, a repeated one no more often than a bundle holds, and no length
// past a bundle's bound. What fails this is no bundle the engine wrote,
// whatever it inflates to, and is told from the bytes that show it: a row of
// zeros, of one key repeated, of any pattern, or a bundle's head followed by
// anything of the kind.
class QueuedBundleHead {
  public:
    // The most elements of one repeated field a bundle holds: its events
    // come from one read of raw events, its user properties and audience
    // results are far fewer.
    static constexpr uint32_t kMostElements = 10'000;

    QueuedBundleHead() : layout_(NANOLayoutFor(MSRPBMeasurementBundle::type())), met_(layout_.fields.size(), 0) {}

    // Walks on through the `size` bytes inflated so far (growing between
    // calls); false once they can begin no bundle.
    bool walk(const uint8_t* data, size_t size) {
        while (at_ < size) {
            const uint8_t* const end = data + size;
            const uint8_t* in = data + at_;
            uint64_t key = 0;
            if (!varint(in, end, 5, key)) return cut_;
            const uint64_t tag = key >> 3;
            const uint64_t wireType = key & 7;
            if (tag == 0 || (wireType != 0 && wireType != 1 && wireType != 2 && wireType != 5)) return false;
            const int position = tag < layout_.positionByTag.size() ? layout_.positionByTag[tag] : -1;
            uint32_t most = 0;
            if (position >= 0) {
                const NANOField& field = layout_.fields[static_cast<size_t>(position)];
                const bool repeated = PB_HTYPE(field.type) == PB_HTYPE_REPEATED;
                const bool packed = repeated && wireType == 2 && (field.key & 7) != 2;
                if (wireType != (field.key & 7) && !packed) return false;
                most = repeated ? kMostElements : 1;
            }
            uint64_t length = 0;
            switch (wireType) {
                case 0:
                    if (!varint(in, end, 10, length)) return cut_;
                    length = 0;
                    break;
                case 1:
                    length = 8;
                    break;
                case 5:
                    length = 4;
                    break;
                default:
                    if (!varint(in, end, 10, length)) return cut_;
                    if (length > MSRStoredMost::kBundleBytes) return false;
                    break;
            }
            // An element not whole yet is walked again once more has come.
            if (length > static_cast<uint64_t>(end - in)) return true;
            if (position >= 0 && ++met_[static_cast<size_t>(position)] > most) return false;
            at_ = static_cast<size_t>(in + length - data);
        }
        return true;
    }

  private:
    // A varint of at most `most` bytes; false when it is cut by the end of
    // what came (`cut_`) or longer than that (malformed).
    bool varint(const uint8_t*& in, const uint8_t* end, int most, uint64_t& value) {
        value = 0;
        cut_ = false;
        for (int i = 0; i < most; ++i) {
            if (in == end) {
                cut_ = true;
                return false;
            }
            const uint8_t next = *in++;
            value |= static_cast<uint64_t>(next & 0x7F) << (7 * i);
            if ((next & 0x80) == 0) return true;
        }
        return false;
    }

    const NANOLayout& layout_;
    std::vector<uint32_t> met_;
    size_t at_ = 0;
    bool cut_ = false;
};

// The steps a row is inflated in, each walked before the next: small over
// its head, where most rows that are no bundle show it, larger behind it. A
// row that is no bundle costs the bytes that show it and at most one step
// more, one that passes its room a step past it at most.
constexpr size_t kQueuedRowHeadBytes = 256 << 10;
constexpr size_t kQueuedRowHeadStep = 4 << 10;
constexpr size_t kQueuedRowStep = 64 << 10;

// What a row's inflation holds while it runs: the zlib stream and the open
// row, both let go however the read ends.
struct QueuedRowStream {
    z_stream stream{};
    bool started = false;
    sqlite3_blob* blob = nullptr;
    ~QueuedRowStream() {
        if (started) inflateEnd(&stream);
        sqlite3_blob_close(blob);
    }
};

// Streams the stored bytes of queue row `rowID` through zlib a piece at a
// time, walking what comes out as it comes (QueuedBundleHead), so that a
// read holds neither the stored bytes whole nor more than `room` inflated
// ones, and stops at the step that shows the row is no bundle or passes
// `room`. `charged` receives what the row cost in inflated bytes: what it
// inflated to, or up to where it stopped (`room` when it passed it).
QueuedRowInflation inflateQueuedRow(sqlite3* handle, int64_t rowID, int64_t storedBytes, size_t room,
                                    std::vector<uint8_t>& inflated, std::string& why, size_t& charged) {
    QueuedRowStream row;
    if (sqlite3_blob_open(handle, "main", "queue", "data", rowID, 0, &row.blob) != SQLITE_OK) {
        why = sqlite3_errmsg(handle);
        return QueuedRowInflation::kFailed;
    }
    const int size = sqlite3_blob_bytes(row.blob);
    // What does not begin as a gzip stream is told from its first bytes,
    // before a byte of it is inflated.
    uint8_t head[sizeof kQueuedRowGzipHead] = {};
    if (size >= static_cast<int>(sizeof head) && sqlite3_blob_read(row.blob, head, sizeof head, 0) != SQLITE_OK) {
        why = sqlite3_errmsg(handle);
        return QueuedRowInflation::kFailed;
    }
    if (!std::equal(std::begin(head), std::end(head), std::begin(kQueuedRowGzipHead))) {
        why = "not a gzip stream";
        return QueuedRowInflation::kNotInflating;
    }
    // A gzip stream ends with its inflated length, which sizes the output
    // once the head has read as a bundle's.
    size_t stated = 0;
    uint8_t trailer[4];
    if (size >= 18 && sqlite3_blob_read(row.blob, trailer, 4, size - 4) == SQLITE_OK)
        stated = size_t{trailer[0]} | size_t{trailer[1]} << 8 | size_t{trailer[2]} << 16 | size_t{trailer[3]} << 24;
    const size_t expected = security::Inflater::expectedSize(static_cast<size_t>(storedBytes), stated);
    if (inflateInit2(&row.stream, 15 + 32) != Z_OK) {
        why = "cannot start the decompressor";
        return QueuedRowInflation::kFailed;
    }
    row.started = true;
    // One byte past the room tells a row of exactly `room` bytes from a
    // larger one.
    const size_t limit = room + 1;
    std::vector<uint8_t> piece(static_cast<size_t>(std::min(size, kQueuedRowPiece)));
    std::vector<uint8_t> out;
    QueuedBundleHead walk;
    size_t produced = 0;
    int offset = 0;
    bool sized = false;
    for (;;) {
        if (row.stream.avail_in == 0 && offset < size) {
            const int length = std::min(size - offset, kQueuedRowPiece);
            if (sqlite3_blob_read(row.blob, piece.data(), length, offset) != SQLITE_OK) {
                why = sqlite3_errmsg(handle);
                charged += produced;
                return QueuedRowInflation::kFailed;
            }
            offset += length;
            row.stream.next_in = piece.data();
            row.stream.avail_in = static_cast<uInt>(length);
        }
        if (!sized && produced >= kQueuedRowHeadBytes) {
            out.reserve(std::min(limit, std::max(expected + 1, produced + kQueuedRowStep)));
            sized = true;
        }
        const size_t wanted = std::min(limit, produced + (sized ? kQueuedRowStep : kQueuedRowHeadStep));
        // Grown by doubling, never past the limit: a row whose trailer
        // understates it is held once, not copied into twice its room.
        if (wanted > out.capacity()) out.reserve(std::min(limit, std::max(wanted, 2 * out.capacity())));
        out.resize(wanted);
        row.stream.next_out = out.data() + produced;
        row.stream.avail_out = static_cast<uInt>(wanted - produced);
        const uInt before = row.stream.avail_out;
        const int status = inflate(&row.stream, Z_NO_FLUSH);
        const size_t now = produced + (before - row.stream.avail_out);
        security::Inflater::countInflated(before - row.stream.avail_out);
        if (now > room) {
            charged += room;
            why = "inflates past its room";
            return QueuedRowInflation::kPastRoom;
        }
        if (now > produced && !walk.walk(out.data(), now)) {
            charged += now;
            why = "its first " + std::to_string(now) + " inflated bytes begin no bundle";
            return QueuedRowInflation::kNoBundle;
        }
        produced = now;
        if (status == Z_STREAM_END) break;
        // Z_BUF_ERROR: no progress without more input, which comes next
        // unless the stored bytes are all read.
        const bool cut = status == Z_BUF_ERROR && row.stream.avail_in == 0 && offset >= size;
        if ((status == Z_OK || status == Z_BUF_ERROR) && !cut) continue;
        charged += produced;
        why = cut ? "truncated compressed data" : row.stream.msg ? row.stream.msg : "corrupt compressed data";
        return QueuedRowInflation::kNotInflating;
    }
    charged += produced;
    if (produced == 0) {
        why = "inflated data is empty";
        return QueuedRowInflation::kNotInflating;
    }
    out.resize(produced);
    inflated = std::move(out);
    return QueuedRowInflation::kInflated;
}


// What a pass says of the queued rows it dropped, by code.
const char* droppedQueueRowsText(int64_t code) {
    switch (code) {
        case 12082: return "Dropped queued bundles not stored as bytes. Rows, first row ID, why";
        case 12078: return "Dropped queued bundles larger than a bundle may be. Rows, first row ID, why";
        case 12098: return "Dropped empty queued bundles. Rows, first row ID, why";
        case 12099: return "Dropped queued bundles that do not inflate. Rows, first row ID, why";
        default: return "Dropped queued bundles that inflate to what is no bundle. Rows, first row ID, why";
    }
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

std::optional<MSRQueuedBundle> MSRDatabase::queuedBundleFromInflated(const std::vector<uint8_t>& inflated,
                                                                     const MSRSqliteValue& retryCount, int64_t rowID,
                                                                     MSRError* error, size_t* encodedSize) {
    std::optional<NANOMessageBase> decoded = NANOMessageBase::initWithBufferKeepingEncoded(
        MSRPBMeasurementBundle::type(), inflated, kBundleFieldsKeptEncoded);
    std::optional<MSRPBMeasurementBundle> bundle;
    if (decoded) bundle.emplace(std::move(*decoded));
    if (!bundle) {
        fail(error, kState, "Unable to parse bundle from decompressed data");
        return std::nullopt;
    }
    // The stored bytes are this bundle's own encoding, so their length is the
    // encoded size, unless the retry count column has moved on since.
    bool changed = false;
    if (!std::holds_alternative<MSRSqliteNull>(retryCount) && MSRSqliteInt64(retryCount) >= 1) {
        const auto count = static_cast<int32_t>(MSRSqliteInt64(retryCount));
        changed = !MSRPBHasField(*bundle, MSRBundleSlot::kRetryCount) ||
                  MSRPBGetInt32(*bundle, MSRBundleSlot::kRetryCount) != count;
        if (changed) MSRPBSetInt32(*bundle, MSRBundleSlot::kRetryCount, count);
    }
    if (encodedSize) {
        *encodedSize = changed ? bundle->protoBuffer().value_or(std::vector<uint8_t>{}).size() : inflated.size();
    }
    return MSRQueuedBundle(std::move(*bundle), rowID);
}

// Steps the rows oldest first, one at a time: the first bundle is always
// taken (within a bundle's bound), each later one while the running size of
// the uncompressed encodings stays within the limit, and it is inflated only
// as far as the room left, so the walk holds at most what it returns and
// one bundle. The first that does not fit ends the walk, and so does the
// count limit, which counts bundles taken, not rows met. A row the walk
// cannot use (empty, stored as something other than a blob, no gzip stream,
// not inflating, stored or inflating past a bundle's bound, or inflating to
// what is no bundle) is dropped in the walk that meets it, said once with
// the others of its code and their count, and deleted: kept, it would cost every upload again, and rows of it at the
// head of the queue would hold back every bundle behind them. Only a row the
// file would not give is skipped, to be read again.
//
// Whatever the rows turn out to be, one walk is a pass of bounded work: the
// bytes it inflates, the rows it meets and the rows it drops are counted
// against the pass's budget (within what is left of its upload's), and a pass that reaches it ends where it is,
// deletes what it dropped and says so (queueReadEndedAtBudget), so that the
// caller's next pass goes on behind it. A row is inflated only within what
// is left of the budget; one that needs more waits for the next pass, which
// begins with the whole budget, more than a bundle's bound.
std::optional<std::vector<MSRQueuedBundle>> MSRDatabase::queuedBundlesForQuery(
    const std::string& query, const MSRSqliteValues& parameters, int64_t sizeLimit, MSRError* error,
    int64_t countLimit, bool everyRowInOrder) {
    queueReadEndedAtBudget_ = false;
    // The pass's budget, within what is left of the upload's.
    const QueuePassBudget budget{std::min(queuePassBudget_.inflatedBytes, queueWorkLeft_.inflatedBytes),
                                 std::min(queuePassBudget_.rows, queueWorkLeft_.rows),
                                 std::min(queuePassBudget_.droppedRows, queueWorkLeft_.droppedRows)};
    sqlite3_stmt* statement = sqliteStore_->statementForQuery(query, parameters, error);
    if (!statement) return std::nullopt;
    std::vector<MSRQueuedBundle> bundles;
    std::vector<int64_t> dropped;
    UnreadableRows said;
    UnreadableRowRuns runs;
    int64_t runningSize = 0;
    size_t inflatedInPass = 0;
    int64_t rowsMet = 0;
    auto atBudget = [&] {
        queueReadEndedAtBudget_ = inflatedInPass >= budget.inflatedBytes || rowsMet >= budget.rows ||
                                  static_cast<int64_t>(dropped.size()) >= budget.droppedRows;
        return queueReadEndedAtBudget_;
    };
    auto drop = [&](int64_t code, int64_t rowID, std::string why) {
        said.met(code, rowID, why);
        runs.add(rowID, true);
        dropped.push_back(rowID);
    };
    int rc = SQLITE_DONE;
    while (static_cast<int64_t>(bundles.size()) < countLimit && !atBudget() &&
           (rc = sqlite3_step(statement)) == SQLITE_ROW) {
        ++rowsMet;
        const int64_t rowID = sqlite3_column_int64(statement, 0);
        const bool hasData = sqlite3_column_type(statement, 1) != SQLITE_NULL;
        const int64_t storedBytes = sqlite3_column_int64(statement, 1);
        if (hasData && storedBytes == MSRStoredMost::kNotABlob) {
            drop(12082, rowID, "not stored as bytes");
            continue;
        }
        if (storedBytes > static_cast<int64_t>(MSRStoredMost::kQueuedBundleRowBytes)) {
            drop(12078, rowID, std::to_string(storedBytes) + " stored bytes");
            continue;
        }
        if (storedBytes <= 0) {
            drop(12098, rowID, "empty");
            continue;
        }
        size_t room = MSRStoredMost::kBundleBytes;
        if (!bundles.empty()) {
            if (runningSize >= sizeLimit) break;
            room = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(room), sizeLimit - runningSize));
        }
        // Within what is left of the pass's budget, but for the first row the
        // pass inflates, which has a bundle's room whatever the budget.
        const size_t budgetLeft = budget.inflatedBytes - inflatedInPass;
        const bool roomFromBudget = inflatedInPass > 0 && budgetLeft < room;
        if (roomFromBudget) room = budgetLeft;
        std::vector<uint8_t> inflated;
        std::string why;
        size_t charged = 0;
        const QueuedRowInflation inflation =
            inflateQueuedRow(sqliteStore_->sqliteHandle(), rowID, storedBytes, room, inflated, why, charged);
        inflatedInPass = std::min(inflatedInPass + charged, budget.inflatedBytes);
        if (inflation == QueuedRowInflation::kFailed) {
            runs.add(rowID, false);
            continue;
        }
        if (inflation == QueuedRowInflation::kNotInflating) {
            drop(12099, rowID, why);
            continue;
        }
        if (inflation == QueuedRowInflation::kPastRoom) {
            if (roomFromBudget) {
                // Judged by the next pass, with a bundle's room.
                queueReadEndedAtBudget_ = true;
                break;
            }
            if (room < MSRStoredMost::kBundleBytes) break;
            drop(12078, rowID, "inflates past a bundle's bound");
            continue;
        }
        size_t encodedSize = 0;
        const MSRSqliteValue retryCount = MSRSqliteStore::valueAtColumn(2, statement).value_or(MSRSqliteNull{});
        std::optional<MSRQueuedBundle> pair =
            inflation == QueuedRowInflation::kInflated
                ? queuedBundleFromInflated(inflated, retryCount, rowID, nullptr, &encodedSize)
                : std::nullopt;
        inflated = {};
        if (!pair) {
            drop(12083, rowID, inflation == QueuedRowInflation::kInflated ? "it does not decode as a bundle" : why);
            continue;
        }
        const auto size = static_cast<int64_t>(encodedSize);
        if (!bundles.empty() && runningSize + size > sizeLimit) break;
        runs.add(rowID, false);
        runningSize += size;
        bundles.push_back(std::move(*pair));
        if (runningSize > sizeLimit) break;
    }
    const bool failed = rc != SQLITE_ROW && rc != SQLITE_DONE;
    if (failed) sqliteStore_->setDatabaseError(error, "query records");
    sqliteStore_->cleanUpStatement(statement, query);
    queueWorkLeft_.inflatedBytes -= std::min(queueWorkLeft_.inflatedBytes, inflatedInPass);
    queueWorkLeft_.rows -= std::min(queueWorkLeft_.rows, rowsMet);
    queueWorkLeft_.droppedRows -= std::min(queueWorkLeft_.droppedRows, static_cast<int64_t>(dropped.size()));
    // A pass that only met rows the file would not give changed nothing: the
    // next one would meet them again, so it is not called for.
    if (dropped.empty() && bundles.empty()) queueReadEndedAtBudget_ = false;
    // The bundles beside a dropped row go on as they were. The rows a pass
    // drops are bounded by its budget, said once per code and deleted
    // together.
    if (!dropped.empty()) {
        said.say(droppedQueueRowsText);
        MSRError deleteError;
        if (!deleteDroppedQueueRows(runs, dropped, everyRowInOrder, &deleteError)) {
            MSRStorageLog(1, 12079, "Cannot delete queued bundles larger than a bundle may be. Error",
                          {deleteError});
            // The rows stay where they were: a pass at once behind this one
            // would meet them again.
            if (bundles.empty()) queueReadEndedAtBudget_ = false;
        }
    }
    if (failed) return std::nullopt;
    return bundles;
}

bool MSRDatabase::deleteDroppedQueueRows(const UnreadableRowRuns& runs, const std::vector<int64_t>& rowIDs,
                                         bool byRuns, MSRError* error) {
    return writeTogether(error, [&] {
        if (!byRuns) return deleteBundlesWithRowIDs(rowIDs, error);
        for (const auto& [first, last] : runs.runs) {
            if (!stepCachedStatement("DELETE FROM queue WHERE rowid BETWEEN ? AND ?", {first, last},
                                     "delete dropped queue rows", error))
                return false;
        }
        return true;
    });
}

std::optional<std::vector<MSRQueuedBundle>> MSRDatabase::queryBundlesWithCountLimit(int64_t countLimit,
                                                                                    int64_t sizeLimit,
                                                                                    MSRError* error) {
    // The window is counted in the walk: rows it drops take no place in it.
    return queuedBundlesForQuery("SELECT " + queuedBundleColumns() + " FROM queue ORDER BY rowid ASC", {},
                                 sizeLimit, error, countLimit, true);
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
    // The time stays in app_metadata (a few bytes); the encoding goes to its
    // own table, and a copy an older build left in the column goes with it.
    return writeTogether(error, [&] {
        return updateDataType(MSRSqliteRecord{{"remote_config_timestamp", dispatch::Clock::now()}},
                              "app_metadata", "rowid", kQueueAppMetadataRowID, error) &&
               stepCachedStatement(
                   "UPDATE app_metadata SET remote_config_data = NULL "
                   "WHERE rowid = 1 AND remote_config_data IS NOT NULL",
                   {}, "clear the configuration's old column", error) &&
               stepCachedStatement(
                   "INSERT OR REPLACE INTO stored_config (rowid, remote_config_data) VALUES (1, ?)",
                   {MSRSqliteBlob(std::move(encoded))}, "store the configuration", error);
    });
}

// Inside a transaction already open (a caller's, or the open group of
// writes) as a savepoint of it, else as a transaction of its own.
bool MSRDatabase::writeTogether(MSRError* error, const std::function<bool()>& block) {
    if (sqliteStore_->isInTransaction()) return sqliteStore_->performSavepoint(error, block);
    return performTransaction(block);
}

void MSRDatabase::moveStoredConfigurationToItsTable() {
    // Only what a read would take moves; anything else stays where the read
    // finds it first, to be sized and dropped there with its own line.
    static const std::string movable = "typeof(remote_config_data) = 'blob' AND length(remote_config_data) <= " +
                                       std::to_string(MSRStoredMost::kConfigurationBytes);
    MSRError error;
    if (!answerForQuery("SELECT EXISTS (SELECT 1 FROM app_metadata WHERE " + movable + ")", {}, &error)
             .value_or(false))
        return;
    // One transaction: a kill leaves it in the column, where it is read, or
    // in its table, never in neither.
    const bool moved = writeTogether(&error, [&] {
        return sqliteStore_->executeSQL("INSERT OR REPLACE INTO stored_config (rowid, remote_config_data) "
                                        "SELECT 1, remote_config_data FROM app_metadata WHERE " +
                                            movable + " LIMIT 1",
                                        &error) &&
               sqliteStore_->executeSQL("UPDATE app_metadata SET remote_config_data = NULL WHERE " + movable,
                                        &error);
    });
    if (moved) {
        MSRStorageLog(6, 12096, "Moved the stored configuration out of the app metadata row");
    } else {
        MSRStorageLog(1, 12097, "Failed to move the stored configuration out of the app metadata row. Error",
                      {error});
    }
}

// The validators go first, and are on disk before the rows change: a kill
// between the two leaves the configuration without them (it is dropped
// again at the next start), never validators that name a configuration
// this database no longer holds, which the server would answer with 304.
bool MSRDatabase::deleteRemoteConfig(MSRError* error) {
    if (persistedConfig_ && hasRemoteConfigValidators()) {
        persistedConfig_->setConfigServerETag(std::nullopt);
        persistedConfig_->setConfigServerLastModifiedString(std::nullopt);
        persistedConfig_->synchronizeToDisk();
    }
    return writeTogether(error, [&] {
        MSRSqliteRecord record = {{"remote_config_data", MSRSqliteNull{}},
                                  {"remote_config_timestamp", MSRSqliteNull{}}};
        return updateDataType(record, "app_metadata", "rowid", kQueueAppMetadataRowID, error) &&
               sqliteStore_->deleteAllRecordsFromTable("stored_config", error);
    });
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
    // A value in app_metadata's column is newer than the table's: every
    // write through here clears the column, so only a file written by
    // another hand (or one not moved) has one. Two reads, not one sorted:
    // a sort would copy the value whole before it is sized.
    static const std::string column =
        MSRStoredMost::blobColumnWithinBound("remote_config_data", MSRStoredMost::kConfigurationBytes);
    static const std::string inColumn =
        "SELECT " + column + " FROM app_metadata WHERE remote_config_data IS NOT NULL LIMIT 1";
    static const std::string inTable = "SELECT " + column + " FROM stored_config LIMIT 1";
    auto rows = sqliteStore_->recordsForQuery(inColumn, {}, error);
    if (rows && rows->empty()) rows = sqliteStore_->recordsForQuery(inTable, {}, error);
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
