#pragma once
// The most the engine reads back of each kind of thing it stores. Each bound
// is what the engine's own writers can write, so a stored value past it was
// written by something else (another program, a restored backup, a disk
// fault): readers size it in SQL (length() of the column) before they read
// it, drop it once with a code of its own and delete it, and writers refuse
// to store past it. A bound is counted in the bytes of the column as stored.

#include <cstddef>
#include <cstdint>
#include <string>

#include "analytics/messages/MSRPBWireBounds.h"

namespace MSRStoredMost {

// The stored configuration: an answer as it arrived (its encoding built
// again from what was decoded, which holds no more than the answer did) or,
// when the answer's program fails its load, that answer with the programs of
// the configuration before it in place of its own, and those came whole
// from an answer within the same bound.
inline constexpr size_t kConfigurationBytes = 2 * MSRPBWireMost::kConfigurationAnswerBytes;

// An experiments snapshot: one library's part of an answer that inflated to
// at most its bound, or the launched or activated part of such a part.
inline constexpr size_t kSnapshotBytes = MSRPBWireMost::kExperimentsInflatedBytes;

// A raw event's stored bytes: an event as cleaning leaves it holds at most
// 100 custom parameters besides the engine's own few and at most one list
// of 200 items, each with at most 35 custom parameters besides the 30 or so
// item parameter names; names run to 40 and texts to 500 code points, at most 4
// bytes each in UTF-8. That comes to about 29 MB at the very worst (real
// events take a few hundred bytes). The metadata rows the events share hold
// the identity and user properties, far less.
inline constexpr size_t kRawEventBytes = size_t{32} << 20;

// What the bundler puts in one bundle: the events of one read of raw events
// (at most kBundleEvents), the first taken whole and each later one only
// while the events' running size, the first's included, stays under the
// batch size, whose setting goes up to kBundleBatchBytes. So the events come
// to at most one raw event's bound or the batch size, whichever is larger,
// plus each event's key and length and what bundling adds to it (a renamed
// name, the previous time, a conversion or real-time mark: under 64 bytes).
inline constexpr int64_t kBundleEvents = 1000;
inline constexpr size_t kBundleBatchBytes = size_t{10} << 20;
inline constexpr size_t kBundleEventsBytes =
    (kRawEventBytes > kBundleBatchBytes ? kRawEventBytes : kBundleBatchBytes) + kBundleEvents * 64;

// The largest bundle Calvaro writes, as it inflates: its events, and beside
// them the metadata the engine writes (identity, user properties, audience
// results, the bundling's bookkeeping), a few kilobytes, for which half the
// events' bound is left as a margin (about 48 MiB in all). A queued row is
// never inflated past it: whatever inflates further is no bundle the engine
// wrote, and the writer refuses to queue one past it.
inline constexpr size_t kBundleBytes = kBundleEventsBytes + kBundleEventsBytes / 2;
static_assert(kBundleBytes < size_t{49} << 20, "a bundle's bound is what the bundler writes, with its margin");

// A queued bundle's row holds the bundle gzipped, which deflate grows by at
// most 5 bytes per 16 KiB stored block, plus its header and trailer.
inline constexpr size_t kQueuedBundleRowBytes = kBundleBytes + kBundleBytes / 1024 + 1024;

// What one pass over the queue may spend, whatever its rows turn out to be:
// the bytes it inflates (a bundle at its bound and one more), the rows it
// meets (the most an upload may take) and the rows it drops, which are
// deleted by their runs of rowids in one transaction as the pass ends. A
// pass at its budget ends, and the next one goes on from where the
// deletions left the queue.
inline constexpr size_t kQueuePassInflatedBytes = 2 * kBundleBytes;
inline constexpr int64_t kQueuePassRows = 10'000;
inline constexpr int64_t kQueuePassDroppedRows = 10'000;

// What the passes one upload chains may spend together (a start's upload
// or a scheduled one; the passes behind a spent budget wait for the next):
// a few passes' worth, about a second of a start's work however the rows
// turn out, so that the end of the process never waits for more.
inline constexpr size_t kQueueWorkInflatedBytes = 4 * kBundleBytes;
inline constexpr int64_t kQueueWorkRows = 50'000;
inline constexpr int64_t kQueueWorkDroppedRows = 50'000;

// How many rows of a kind the engine's writers can have stored, and what a
// read of many rows holds in total. Rows past these were put there by
// something else: they are dropped once, with a code of their own, before
// anything reads them.
//
// Raw events: the writers keep at most maxEventsStored, a setting that goes
// up to 1,000,000.
inline constexpr int64_t kRawEventRows = 1'000'000;
// Experiments snapshots of one table: one per client library, and a process
// holds a handful, all asked for in one request and answered in one answer,
// which holds at most 100 snapshots and inflates to at most a snapshot's
// bound. Rows of libraries an answer no longer names stay beside them until
// replaced: a table holds ten answers' rows, and one answer's bytes, since
// the start holds the three tables' snapshots at once. The newest are kept.
inline constexpr int64_t kSnapshotRowsPerTable = 1000;
inline constexpr size_t kSnapshotTableBytes = MSRPBWireMost::kExperimentsInflatedBytes;

// What `storedBytes` gives for a value that is not the blob a writer stores
// (text, a number): its length is never asked, since SQLite's length() of a
// text stops at its first zero byte and a cast would read it whole.
inline constexpr int64_t kNotABlob = -1;

// The bytes of a blob column as stored, sized in SQL without reading them:
// kNotABlob for any other type but NULL, which stays NULL.
inline std::string storedBytes(const std::string& column) {
    return "CASE typeof(" + column + ") WHEN 'blob' THEN length(" + column + ") WHEN 'null' THEN NULL ELSE " +
           std::to_string(kNotABlob) + " END";
}

// A blob column as reads take it, sized in SQL before any byte is fetched:
// its bytes within `bound` (and only as the blob a writer stores), NULL past
// it, and beside it `stored_length`, the length as stored (kNotABlob for
// another type), which tells the two apart.
inline std::string blobColumnWithinBound(const std::string& column, size_t bound) {
    return "CASE WHEN typeof(" + column + ") = 'blob' AND length(" + column + ") <= " + std::to_string(bound) +
           " THEN " + column + " END AS " + column + ", " + storedBytes(column) + " AS stored_length";
}

// The same in one column, for the reads that take many rows at a time: past
// `bound` the column comes as its length, and as kNotABlob when it is not a
// blob, numbers no writer stores there.
inline std::string blobOrLengthPastBound(const std::string& column, size_t bound) {
    return "CASE WHEN typeof(" + column + ") NOT IN ('blob', 'null') THEN " + std::to_string(kNotABlob) +
           " WHEN length(" + column + ") > " + std::to_string(bound) + " THEN length(" + column + ") ELSE " +
           column + " END AS " + column;
}

}  // namespace MSRStoredMost
