// Whole data roots, each read by one start of `calvaro` that types and
// calculates an exercise: what the user keeps, not only what the start
// costs. A few input bytes describe the files a start reads, large ones
// included: the application's preferences (XML or binary) with the consent,
// the collection switch, a history of exercises and Calvaro's other keys
// among foreign keys, before or after them, with values under the owners'
// prefixes (IABTCF_*, ZEVURE_ANALYTICS_*, /zevure/*); one of Calvaro's keys
// holding a value of any type and size, up to past its bound; one key met
// many times; the file cut at any byte or one value in it damaged; the
// engine's suites; the keychain with Calvaro's first-open count among other
// applications' items or Calvaro's own; and the persistent dictionary with
// its stored times and counters at their edges (0, negative, ahead of the
// clock, 1e308, not a number, infinite, the type's maximum) among foreign
// keys. The engine's database comes from one start made when the target
// starts, which fetched the configuration from a collector on a loopback
// port (uploads a second after the newest event), with nothing left in it
// to upload.
//
// Aborts unless the start stays within its CPU time and memory, every
// consent, tour and rating mark, the collection switch and every exercise
// the input held whole in a form Calvaro writes is still in the preferences
// file (which reads back, well-formed), the new exercise is stored (or,
// where it is not, a start that ends by itself exits 1 saying why),
// Calvaro's first-open count is in the keychain within its bound, and the
// collector received the start's events, each once, while it ran (it is
// then ended by SIGTERM, and must end so) or, with the collection switched
// off, none, the start saying so. One damaged value costs that value
// alone: a flipped bit the entry that holds it (and the one after, whose
// beginning it may hide), a nested or oversized record that record, a
// moved offset nothing. Where no reset was asked for, the app instance id
// and the first-open time are kept; where one was, or the app ID is new,
// no event of the salvage waiting beside it arrives, at that start or the
// next. With a consent change at the start, no event logged after a denial
// goes out stamped granted, and each arrives once over that run and the next.
//
// The input, each field big-endian, missing bytes 0:
//
//   flags(1)              1 binary preferences, 2 foreign keys sort first,
//                         4 an entry of the history that is no record,
//                         8 Calvaro's first-open count in the keychain,
//                         16 the keychain's other items Calvaro's own
//   exercises(2)          records in the history, at most 2,000
//   foreign(3) size(2)    foreign values of `size` bytes (one text shared
//                         in the binary form), at most 24 MiB in all
//   large(1) units(1)     large foreign texts of `units` x 64 KiB
//   prefix(1) count(3) size(2) units(1)
//                         values under an owner's prefix (1 IABTCF_,
//                         2 ZEVURE_ANALYTICS_, 3 /zevure/), and one text of
//                         `units` x 64 KiB under it
//   suites(2) size(1)     foreign values in each engine suite
//   items(2) size(1)      foreign keychain items of `size` x 16 bytes
//   times(10)             each stored time picks one of kDataRootTimes
//   keys(2) size(1)       foreign keys of the persistent dictionary
//   switch(1)             the collection switch stored: none, on, off
//   odd(1) kind(1) count(4)
//                         one of Calvaro's keys (odd - 1, 0 none) holding
//                         a value of kDataRootKinds[(kind & 15) % 9] of `count`
//                         items or bytes; with kind & 128, its bound's
//                         items or bytes plus (int8_t) count
//   repeat(1) times(3)    one of Calvaro's keys (repeat - 1, 0 none) met
//                         `times` times before the others
//   cut(3)                the preferences cut at cut / 2^24 of their length
//   damage(1) at(2)       1 a byte that is no UTF-8 in the text of exercise
//                         `at`, 2 its record damaged, 3 the switch's value,
//                         4 a key of its record that is no UTF-8 (in the
//                         binary form the key's text every record shares)
//   counter(1) edge(1) others(1)
//                         one stored counter (counter - 1, 0 none) at
//                         kDataRootCounters[edge], every other at [others]
//   rows(3) shape(1) units(1) pattern(2)
//                         queued rows ahead of the engine's own, made of
//                         the two bytes of `pattern` by shape % 6: 0 a gzip
//                         stream inflating to `units` MiB of them (at most
//                         80; 300 rows), 1 the gzip of them alone (a row
//                         that is no bundle), 2 them raw, 3 nothing; read
//                         as a bundle (300 rows): 4 one field numbered
//                         pattern[0] of `units` MiB of pattern[1], 5 small
//                         fields so numbered past 256 KiB, then zeros to
//                         `units` MiB
//   raw(3) size(1)        raw events of `size` + 1 bytes that read as none
//   limit(1) at(2)        a write limit of kDataRootWriteLimits[limit % 6]
//                         bytes set on the start `at` x 10 ms after it
//                         began; a next start with room then uploads every
//                         event the first stored, each once
//   flip(1) at(3)         XML: bit (flip - 1) % 8 of the byte at at / 2^24
//                         of the file flipped (0 none)
//   offset(2) by(1)       binary: the offset table's entry of the top
//                         object (1), the switch's value (2), the history
//                         (3) or object (offset - 4) moved by (int8_t) by
//                         bytes (0: one)
//   nest(1) depth(3)      lists nested `depth` deep (at most 100,000) under
//                         a foreign key first (1) or last (2), an owner's
//                         prefix (3), exercise `record`'s setup (4) or one
//                         of Calvaro's keys (5, record % their count)
//   record(2) past(1) size(1)
//                         exercise record % exercises past the history's
//                         bound: 1 its text (size + 1) MiB long, 2 with
//                         (size + 1) x 4,096 more fields
//   engine(1)             a text that is no UTF-8 in the persistent
//                         dictionary: 1 under a foreign key, 2 its
//                         application version, 3 its configuration's tag
//   wipe(1) retries(1)    a salvage waits (a copy set aside, named by its
//                         mark, holding events of an earlier start): 1 on
//                         its own, 2 beside a reset left to retry
//                         (retries % 9 + 1), 3 beside a new app ID; the
//                         wiped events never arrive, at that start or the
//                         next
//   consent(1) moment(1) before(1) after(2)
//                         after the start, the event driver on the same data
//                         root grants both storage types and logs `before`
//                         events; a next run denies analytics storage
//                         (consent % 3 == 1) or ad storage (2), ahead of the
//                         engine's start (moment & 1) or behind it, through
//                         the facade's call (moment & 2) or the public
//                         interface, logs `after` events (at most 1,000) on
//                         two threads and is ended by SIGINT; a third run
//                         logs a marker

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "analytics/reporters/MSRStoredFileBounds.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "app/StoredFileBounds.h"
#include "fuzz/FuzzScratchFolder.h"
#include "fuzz/ProcessWatch.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/StoredFileBounds.h"
#include "platform/security/Compression.h"
#include "tests/e2e/ConsentAfterADenial.h"
#include "tests/e2e/SettledPreferences.h"
#include "tests/support/SpawnInGroup.h"
#include "tests/support/BinaryPropertyListBytes.h"
#include "tools/collector/MeasurementCollector.h"
#include "tools/eventdriver/DriverProcess.h"

extern char** environ;

namespace fs = std::filesystem;
using foundation::Value;

namespace {

constexpr const char* kDataRootApp = "1:530418276190:ios:7c0a9e2d4b1f6a35";  // the bundle's
constexpr const char* kDataRootBundle = "org.calvaro.Calvaro";
constexpr const char* kDataRootOtherApp = "1:530418276190:ios:0000000000000001";
constexpr size_t kDataRootMostExercises = 2000;
constexpr uint64_t kDataRootMostForeignBytes = uint64_t{24} << 20;
constexpr uint64_t kDataRootMostValues = 300'000;

// A start reads files at their bounds in 2-4 s and 25-60 MB in the release
// tree; under the sanitizers ten times the time, and their shadow and
// quarantine on top of the memory.
#if defined(CALVARO_FUZZ_ASAN)
constexpr double kDataRootCpuSeconds = 120;
constexpr int64_t kDataRootPeakBytes = int64_t{2048} << 20;
#else
constexpr double kDataRootCpuSeconds = 20;
constexpr int64_t kDataRootPeakBytes = int64_t{400} << 20;
#endif
// Only a hung start comes near it.
constexpr double kDataRootHangSeconds = 300;

// The exercise, then a wait that only the end cuts short: the start is
// ended by SIGTERM once the exercise is shown and an event of the start
// arrived, as a person leaves it.
constexpr const char* kDataRootCalculate =
    "tap toolbarRemoveButton\ntap #aTextField\ntype 3\ntap bTextField\ntype 2\ntap calculateButton\n";
// How long an event may take to arrive: only a schedule that holds it back
// comes near it (a second after the newest event, as configured; later
// events after a success wait the upload interval, an hour).
#if defined(CALVARO_FUZZ_ASAN)
constexpr double kDataRootUploadSeconds = 180;
#else
constexpr double kDataRootUploadSeconds = 60;
#endif
// How long after the exercise no upload means none comes: the first is due
// a second after the newest event.
constexpr double kDataRootQuietSeconds = kDataRootUploadSeconds / 20;

const char* const kDataRootConsent[] = {"isDsgvoAccepted", "isOnboardingFinished", "isRatingAlreadyDone"};

// ---- the input ----------------------------------------------------------------------

struct DataRootInput {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint64_t take(int bytes) {
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i, ++at) value = (value << 8) | (at < size ? data[at] : 0);
        return value;
    }
};

// The stored times a byte picks, as seconds relative to now, or as they are
// where `absolute`.
struct DataRootTime {
    double value;
    bool absolute;
    bool absent;
};
constexpr double kDataRootInf = std::numeric_limits<double>::infinity();
const DataRootTime kDataRootTimes[] = {
    {0, false, true},
    {-86400 * 30.0, false, false},
    {std::numeric_limits<double>::quiet_NaN(), true, false},
    {kDataRootInf, true, false},
    {-kDataRootInf, true, false},
    {86400 * 365.0, false, false},
    {1e308, true, false},
    {0, true, false},
    {-1e308, true, false},
    {60, false, false},
    {std::numeric_limits<double>::max(), true, false},
    {-1, true, false},
};
constexpr size_t kDataRootTimeCount = sizeof kDataRootTimes / sizeof kDataRootTimes[0];

// One value to write: its type, and its items or bytes.
struct DataRootEntry {
    enum Kind { kTrue, kFalse, kInteger, kReal, kText, kData, kDate, kList, kDictionary, kHistory, kNested } kind;
    uint64_t length = 0;
    char fill = 'x';
    int64_t integer = 0;
    double real = 0;
    // An integer whose text (XML) or marker (binary) is damaged.
    bool damaged = false;
};
using DataRootEntries = std::vector<std::pair<std::string, DataRootEntry>>;

// The types the odd value picks from, each of `count` items or bytes where
// it has any.
const DataRootEntry::Kind kDataRootKinds[] = {
    DataRootEntry::kTrue, DataRootEntry::kFalse, DataRootEntry::kInteger,    DataRootEntry::kReal,
    DataRootEntry::kText, DataRootEntry::kData,  DataRootEntry::kDictionary, DataRootEntry::kDate,
    DataRootEntry::kList,
};
constexpr size_t kDataRootKindCount = sizeof kDataRootKinds / sizeof kDataRootKinds[0];

// The stored counters a byte picks: integers at their edges, and what no
// counter is.
const std::optional<DataRootEntry> kDataRootCounters[] = {
    std::nullopt,
    DataRootEntry{DataRootEntry::kInteger, 0, 'x', 0},
    DataRootEntry{DataRootEntry::kInteger, 0, 'x', -1},
    DataRootEntry{DataRootEntry::kInteger, 0, 'x', 1},
    DataRootEntry{DataRootEntry::kInteger, 0, 'x', std::numeric_limits<int64_t>::max()},
    DataRootEntry{DataRootEntry::kInteger, 0, 'x', std::numeric_limits<int64_t>::max() - 1},
    DataRootEntry{DataRootEntry::kInteger, 0, 'x', std::numeric_limits<int64_t>::min()},
    DataRootEntry{DataRootEntry::kInteger, 0, 'x', (int64_t{1} << 53) + 1},
    DataRootEntry{DataRootEntry::kReal, 0, 'x', 0, 1e300},
    DataRootEntry{DataRootEntry::kReal, 0, 'x', 0, std::numeric_limits<double>::quiet_NaN()},
    DataRootEntry{DataRootEntry::kReal, 0, 'x', 0, -kDataRootInf},
    DataRootEntry{DataRootEntry::kText, 2, '7'},
};
constexpr size_t kDataRootCounterCount = sizeof kDataRootCounters / sizeof kDataRootCounters[0];
constexpr const char* kDataRootSwitchKey = "/zevure/measurement/measurement_enabled_state";
constexpr const char* kDataRootHistoryKey = "Calculations";
// The persistent dictionary's stored times, each with its unit in seconds.
const std::pair<const char*, double> kDataRootTimeKeys[] = {
    {"last_failed_upload", 1},
    {"last_backoff", 1},
    {"last_successful_upload", 1},
    {"first_open_timestamp_ms", 1000},
    {"last_engagement_end", 1},
    {"last_delete_stale", 1},
    {"search_ad_last_attempt_timestamp", 1},
    {"last_monitor_data_sampled_timestamp", 1},
    {"load_timestamp", 1},
    {"skan_evaluation_event_time_millis", 1000},
};

// One of Calvaro's keys of the application's preferences, with the type and
// the most items and bytes the application states for it.
struct DataRootKey {
    std::string key;
    Value::Type type;
    uint64_t items;
    uint64_t bytes;
};

// What the application states of every file a start reads (the table its
// readers read): the keys of its preferences that the odd value and the
// repeated key pick from, every one but those the start is checked to keep
// (a family by one key of it), and every stored counter by its file.
struct DataRootTable {
    std::vector<DataRootKey> keys;
    std::vector<std::pair<std::string, std::string>> counters;
};

const DataRootTable& dataRootTable() {
    static const DataRootTable table = [] {
        app::stateStoredFileBounds();
        DataRootTable t;
        auto checked = [](const std::string& key) {
            return key == kDataRootSwitchKey || key == kDataRootHistoryKey ||
                   std::find(std::begin(kDataRootConsent), std::end(kDataRootConsent), key) !=
                       std::end(kDataRootConsent);
        };
        auto time = [](const std::string& key) {
            return std::any_of(std::begin(kDataRootTimeKeys), std::end(kDataRootTimeKeys), [&](const auto& time) {
                return key == std::string(MSRPersistedConfig::kKeyPrefix) + time.first;
            });
        };
        for (const auto& [name, bound] : foundation::storedFileBounds()) {
            for (const foundation::StoredKey& stored : bound.keys) {
                std::string key = stored.key;
                const bool family = !key.empty() && key.back() == '*';
                if (family) key.back() = 'z';
                if (name == foundation::kStandardDomainBoundName && !checked(key)) {
                    const foundation::PropertyListBounds entry = bound.entryBound(key);
                    t.keys.push_back({key, stored.type, entry.values, entry.bytes});
                }
                // The user's own switches of the engine's files are no counters.
                const bool users = name != foundation::kStandardDomainBoundName &&
                                   std::find(bound.userKeys.begin(), bound.userKeys.end(), key) !=
                                       bound.userKeys.end();
                if (stored.type == Value::Type::Integer && !family && !users && !checked(key) && !time(key))
                    t.counters.emplace_back(name, key);
            }
        }
        if (t.keys.empty() || t.counters.empty()) std::abort();
        return t;
    }();
    return table;
}
// The most queued rows or raw events, and of gzip streams that inflate far.
constexpr uint64_t kDataRootMostRows = 1'000'000;
constexpr uint64_t kDataRootMostBombs = 300;
// The write limits a byte picks, in bytes (none first).
const std::optional<uint64_t> kDataRootWriteLimits[] = {std::nullopt,        0,          4096,
                                                        uint64_t{64} << 10,  uint64_t{1} << 20,
                                                        uint64_t{16} << 20};
constexpr size_t kDataRootWriteLimitCount = std::size(kDataRootWriteLimits);
// The most items of a list or dictionary an odd value holds.
constexpr uint64_t kDataRootMostItems = 600'000;
// The deepest nesting, and the most fields a record past its bound holds.
constexpr uint64_t kDataRootMostNesting = 100'000;
constexpr uint64_t kDataRootMostRecordFields = uint64_t{1} << 20;
// The most events logged after a consent denial.
constexpr uint64_t kDataRootMostAfterADenial = 1000;

struct DataRootDescription {
    bool binary = false, foreignFirst = false, junkEntry = false, ownItem = false, ownItems = false;
    size_t exercises = 0;
    uint64_t foreign = 0, foreignBytes = 0, large = 0, largeBytes = 0;
    std::string prefix;
    uint64_t prefixed = 0, prefixedBytes = 0, prefixedLarge = 0;
    uint64_t suiteValues = 0, suiteBytes = 0;
    uint64_t items = 0, itemBytes = 0;
    size_t times[10] = {};
    uint64_t dictionaryKeys = 0, dictionaryBytes = 0;
    int switchState = 0;
    std::optional<size_t> odd;
    DataRootEntry oddValue{DataRootEntry::kTrue};
    std::optional<size_t> repeated;
    uint64_t repeats = 0;
    uint64_t cut = 0;
    int damage = 0;
    size_t damagedExercise = 0;
    // One counter of the table (counter - 1) at one edge, every other at
    // another.
    std::optional<size_t> counter;
    size_t counterEdge = 0, otherCounters = 0;
    // Queued rows and raw events that are no run's of the engine.
    uint64_t queueRows = 0, queueUnits = 0;
    int queueShape = 0;
    uint8_t pattern[2] = {};
    uint64_t rawRows = 0, rawBytes = 0;
    size_t limit = 0;
    uint64_t limitAtMillis = 0;
    // One bit of the XML flipped, an offset of the binary table moved.
    int flip = 0;
    uint64_t flipAt = 0;
    uint64_t offset = 0;
    int offsetBy = 1;
    // Lists nested deep, and where.
    int nest = 0;
    uint64_t nestDepth = 0;
    // The exercise that nests or passes the bound, and how.
    size_t record = 0, nestKey = 0;
    int past = 0;
    uint64_t pastSize = 0;
    int engineText = 0;
    int wipe = 0;
    int retries = 0;
    // A consent denial at the start of the event driver's run (0 none).
    int consent = 0, moment = 0;
    uint64_t before = 0, after = 0;

    std::string describe() const {
        char text[768];
        std::snprintf(
            text, sizeof text,
            "%s preferences, %zu exercises%s, %llu foreign values of %llu bytes %s, %llu of %llu bytes, "
            "%llu under '%s' of %llu bytes and one of %llu; suites %llu of %llu; keychain %llu %s items "
            "of %llu bytes%s; dictionary %llu keys of %llu bytes; switch %d; odd %s kind %d of %llu; "
            "repeated %s %llu times; cut %llu / 2^24; damage %d at %zu; times",
            binary ? "binary" : "XML", exercises, junkEntry ? " and one that is no record" : "",
            (unsigned long long)foreign, (unsigned long long)foreignBytes, foreignFirst ? "first" : "last",
            (unsigned long long)large, (unsigned long long)largeBytes, (unsigned long long)prefixed,
            prefix.c_str(), (unsigned long long)prefixedBytes, (unsigned long long)prefixedLarge,
            (unsigned long long)suiteValues, (unsigned long long)suiteBytes, (unsigned long long)items,
            ownItems ? "own" : "foreign", (unsigned long long)itemBytes, ownItem ? " and Calvaro's" : "",
            (unsigned long long)dictionaryKeys, (unsigned long long)dictionaryBytes, switchState,
            odd ? dataRootTable().keys[*odd].key.c_str() : "none", static_cast<int>(oddValue.kind),
            (unsigned long long)oddValue.length, repeated ? dataRootTable().keys[*repeated].key.c_str() : "none",
            (unsigned long long)repeats, (unsigned long long)cut, damage, damagedExercise);
        std::string out = text;
        for (size_t t : times) out += " " + std::to_string(t);
        out += "; counter " + (counter ? dataRootTable().counters[*counter].second : "none") + " at " +
               std::to_string(counterEdge) + ", the others at " + std::to_string(otherCounters);
        char rows[256];
        std::snprintf(rows, sizeof rows,
                      "; queued %llu rows of shape %d, %llu MiB of %02x %02x; raw %llu of %llu bytes; "
                      "write limit %zu after %llu ms",
                      (unsigned long long)queueRows, queueShape, (unsigned long long)queueUnits, pattern[0],
                      pattern[1], (unsigned long long)rawRows, (unsigned long long)rawBytes, limit,
                      (unsigned long long)limitAtMillis);
        char more[320];
        std::snprintf(more, sizeof more,
                      "; flip %d at %llu / 2^24; offset %llu by %d; nest %d of %llu; record %zu past %d "
                      "of %llu; engine text %d; wipe %d retries %d",
                      flip, (unsigned long long)flipAt, (unsigned long long)offset, offsetBy, nest,
                      (unsigned long long)nestDepth, record, past, (unsigned long long)pastSize, engineText,
                      wipe, retries);
        char denial[160];
        std::snprintf(denial, sizeof denial, "; consent %d at moment %d, %llu events before, %llu after", consent,
                      moment, (unsigned long long)before, (unsigned long long)after);
        return out + rows + more + denial;
    }
};

DataRootDescription dataRootDescription(const uint8_t* data, size_t size) {
    DataRootInput in{data, size};
    DataRootDescription d;
    const uint64_t flags = in.take(1);
    d.binary = flags & 1;
    d.foreignFirst = flags & 2;
    d.junkEntry = flags & 4;
    d.ownItem = flags & 8;
    d.ownItems = flags & 16;
    d.exercises = std::min<size_t>(in.take(2), kDataRootMostExercises);
    d.foreign = std::min<uint64_t>(in.take(3), kDataRootMostValues);
    d.foreignBytes = in.take(2);
    if (d.foreign * d.foreignBytes > kDataRootMostForeignBytes)
        d.foreignBytes = kDataRootMostForeignBytes / d.foreign;
    d.large = std::min<uint64_t>(in.take(1), 8);
    d.largeBytes =
        std::min<uint64_t>(in.take(1) << 16, kDataRootMostForeignBytes / std::max<uint64_t>(1, d.large));
    static const char* const prefixes[] = {"", "IABTCF_", "ZEVURE_ANALYTICS_", "/zevure/"};
    d.prefix = prefixes[in.take(1) % 4];
    d.prefixed = std::min<uint64_t>(in.take(3), kDataRootMostValues);
    d.prefixedBytes = in.take(2);
    if (d.prefixed * d.prefixedBytes > kDataRootMostForeignBytes)
        d.prefixedBytes = kDataRootMostForeignBytes / d.prefixed;
    d.prefixedLarge = std::min<uint64_t>(in.take(1) << 16, kDataRootMostForeignBytes);
    if (d.prefix.empty()) d.prefixed = d.prefixedLarge = 0;
    d.suiteValues = std::min<uint64_t>(in.take(2), 20'000);
    d.suiteBytes = in.take(1);
    d.items = std::min<uint64_t>(in.take(2), 5000);
    d.itemBytes = in.take(1) * 16;
    for (size_t i = 0; i < 10; ++i) d.times[i] = in.take(1) % kDataRootTimeCount;
    // A success just now holds the next upload for its interval: one a
    // minute ahead reads as that, and is left out.
    if (d.times[2] == 9) d.times[2] = 5;
    d.dictionaryKeys = std::min<uint64_t>(in.take(2), 20'000);
    d.dictionaryBytes = in.take(1);
    d.switchState = static_cast<int>(in.take(1) % 3);
    const DataRootTable& table = dataRootTable();
    if (const uint64_t odd = in.take(1)) d.odd = (odd - 1) % table.keys.size();
    const uint64_t kind = in.take(1);
    const uint64_t count = in.take(4);
    d.oddValue.kind = kDataRootKinds[(kind & 15) % kDataRootKindCount];
    d.oddValue.fill = 'o';
    d.oddValue.integer = static_cast<int64_t>(count);
    d.oddValue.real = static_cast<double>(count) / 3;
    const bool items = d.oddValue.kind == DataRootEntry::kList || d.oddValue.kind == DataRootEntry::kDictionary;
    if (d.odd && (kind & 128)) {
        // Near the bound of what Calvaro writes under the key.
        const uint64_t bound = items ? table.keys[*d.odd].items : table.keys[*d.odd].bytes;
        d.oddValue.length = static_cast<uint64_t>(std::max<int64_t>(
            0, static_cast<int64_t>(bound) + static_cast<int8_t>(static_cast<uint8_t>(count))));
    } else {
        d.oddValue.length = count;
    }
    d.oddValue.length = std::min(d.oddValue.length, items ? kDataRootMostItems : kDataRootMostForeignBytes);
    if (const uint64_t repeated = in.take(1)) d.repeated = (repeated - 1) % table.keys.size();
    d.repeats = std::min<uint64_t>(in.take(3), kDataRootMostValues);
    if (!d.repeated) d.repeats = 0;
    d.cut = in.take(3);
    d.damage = static_cast<int>(in.take(1) % 5);
    d.damagedExercise = in.take(2);
    if (d.damage == 1 || d.damage == 2 || d.damage == 4) {
        if (d.exercises == 0) d.damage = 0;
        else d.damagedExercise %= d.exercises;
    }
    if (d.damage == 3 && d.switchState == 0) d.damage = 0;
    if (const uint64_t counter = in.take(1)) d.counter = (counter - 1) % table.counters.size();
    d.counterEdge = in.take(1) % kDataRootCounterCount;
    d.otherCounters = in.take(1) % kDataRootCounterCount;
    d.queueRows = std::min<uint64_t>(in.take(3), kDataRootMostRows);
    d.queueShape = static_cast<int>(in.take(1) % 6);
    d.queueUnits = std::min<uint64_t>(in.take(1), 80);
    const uint64_t pattern = in.take(2);
    d.pattern[0] = static_cast<uint8_t>(pattern >> 8);
    d.pattern[1] = static_cast<uint8_t>(pattern);
    if (d.queueShape == 0 || d.queueShape >= 4) d.queueRows = std::min<uint64_t>(d.queueRows, kDataRootMostBombs);
    d.rawRows = std::min<uint64_t>(in.take(3), kDataRootMostRows);
    d.rawBytes = in.take(1);
    d.limit = in.take(1) % kDataRootWriteLimitCount;
    d.limitAtMillis = in.take(2) * 10;
    d.flip = static_cast<int>(in.take(1));
    d.flipAt = in.take(3);
    if (d.binary) d.flip = 0;
    d.offset = in.take(2);
    d.offsetBy = static_cast<int8_t>(static_cast<uint8_t>(in.take(1)));
    if (d.offsetBy == 0) d.offsetBy = 1;
    if (!d.binary) d.offset = 0;
    d.nest = static_cast<int>(in.take(1) % 6);
    d.nestDepth = std::min<uint64_t>(in.take(3), kDataRootMostNesting);
    if (d.nestDepth == 0) d.nest = 0;
    const uint64_t record = in.take(2);
    d.record = record;
    d.past = static_cast<int>(in.take(1) % 3);
    d.pastSize = in.take(1);
    if (d.exercises == 0) {
        d.past = 0;
        if (d.nest == 4) d.nest = 0;
    } else {
        d.record %= d.exercises;
    }
    d.nestKey = record % table.keys.size();
    d.engineText = static_cast<int>(in.take(1) % 4);
    d.wipe = static_cast<int>(in.take(1) % 4);
    d.retries = static_cast<int>(in.take(1) % 9) + 1;
    d.consent = static_cast<int>(in.take(1) % 3);
    d.moment = static_cast<int>(in.take(1) & 3);
    d.before = in.take(1);
    d.after = std::min<uint64_t>(in.take(2), kDataRootMostAfterADenial);
    return d;
}

// ---- the mutator ---------------------------------------------------------------------

// The input's fields in order, each with its width in bytes, the number of
// values that differ in meaning (0 where every value of its width does) and
// the values at its edges; a field that `joins` the one before describes
// the same thing with it (a count and its size). A start costs seconds, so
// only a few hundred inputs fit a run: the mutator sets one thing at a time
// whole, and takes whole fields from another input, so that "switched off"
// and "cut" meet in a few steps rather than by chance among byte flips.
struct DataRootField {
    int width;
    uint64_t most;
    std::vector<uint64_t> edges;
    bool joins = false;
};

const std::vector<DataRootField>& dataRootFields() {
    static const std::vector<DataRootField> fields = [] {
        const DataRootTable& table = dataRootTable();
        const std::vector<uint64_t> sizes = {0, 1, 64, 1024, 65535};
        const std::vector<uint64_t> units = {0, 1, 16, 64, 255};
        const std::vector<uint64_t> values = {0, 1, 1000, 262145};
        std::vector<DataRootField> f = {
            {1, 32, {}},                             // flags
            {2, kDataRootMostExercises + 1, {0, 1, 3, 40, 200, kDataRootMostExercises}},
            {3, kDataRootMostValues + 1, values},    // foreign values
            {2, 0, sizes, true},
            {1, 9, {0, 1, 5, 8}},                    // large texts
            {1, 0, units, true},
            {1, 4, {}},                              // owner's prefix
            {3, kDataRootMostValues + 1, values, true},
            {2, 0, sizes, true},
            {1, 0, units, true},
            {2, 20'001, {0, 1, 1000, 20'000}},       // suites
            {1, 0, {0, 1, 255}, true},
            {2, 5001, {0, 10, 600, 5000}},           // keychain items
            {1, 0, {0, 1, 255}, true},
        };
        for (size_t i = 0; i < std::size(kDataRootTimeKeys); ++i) f.push_back({1, kDataRootTimeCount, {}, i > 0});
        const std::vector<DataRootField> rest = {
            {2, 20'001, {0, 1, 1000, 20'000}},       // dictionary keys
            {1, 0, {0, 1, 255}, true},
            {1, 3, {0, 1, 2}},                       // the switch
            {1, table.keys.size() + 1, {0}},         // the odd value
            {1, 0, {0, 2, 4, 6, 8, 128 | 4, 128 | 6, 128 | 8}, true},
            {4, 0, {0, 1, 3, 255, 262145, uint64_t{1} << 24}, true},
            {1, table.keys.size() + 1, {0}},         // the repeated key
            {3, kDataRootMostValues + 1, {0, 1, 3, 262144}, true},
            {3, 0, {0, 1 << 23, (1 << 24) - 1}},     // the cut
            {1, 5, {0, 1, 2, 3, 4}},                 // the damage
            {2, 0, {0}, true},
            {1, table.counters.size() + 1, {0}},     // the counters
            {1, kDataRootCounterCount, {}, true},
            {1, kDataRootCounterCount, {}, true},
            {3, kDataRootMostRows + 1, {0, 1, 300, 1'000'000}},  // queued rows
            {1, 6, {}, true},
            {1, 81, {0, 1, 63, 65, 80}, true},
            {2, 0, {0x0000, 0x0a00, 0x0a0a, 0xffff}, true},
            {3, kDataRootMostRows + 1, {0, 1, 1000, 1'000'000}},  // raw events
            {1, 0, {0, 1, 255}, true},
            {1, kDataRootWriteLimitCount, {}},                     // the write limit
            {2, 0, {0, 10, 50, 100, 300}, true},
            // Bits 1 and 3 make '<' of '>', '4' and '8'.
            {1, 0, {0, 2, 4, 7}},                                   // the flipped bit
            {3, 0, {0, 1 << 20, 1 << 23, (1 << 24) - 1}, true},
            {2, 0, {0, 1, 2, 3, 4, 5}},                             // the moved offset
            {1, 0, {0, 1, 255, 128}, true},
            {1, 6, {}},                                             // the nesting
            {3, kDataRootMostNesting + 1, {0, 511, 512, 513, kDataRootMostNesting}, true},
            {2, 0, {0, 1, 199}},                                    // the record past its bound
            {1, 3, {}, true},
            {1, 0, {0, 15, 255}, true},
            {1, 4, {}},                                             // the engine's text
            {1, 4, {}},                                             // the wipe
            {1, 9, {}, true},
            {1, 3, {}},                                             // the consent denial
            {1, 4, {}, true},
            {1, 0, {0, 1, 200, 255}, true},
            {2, kDataRootMostAfterADenial + 1, {0, 1, 800, kDataRootMostAfterADenial}, true},
        };
        f.insert(f.end(), rest.begin(), rest.end());
        return f;
    }();
    return fields;
}

std::vector<uint64_t> dataRootFieldValues(const uint8_t* data, size_t size) {
    DataRootInput in{data, size};
    std::vector<uint64_t> values;
    for (const DataRootField& field : dataRootFields()) values.push_back(in.take(field.width));
    return values;
}

size_t dataRootWriteFields(const std::vector<uint64_t>& values, uint8_t* out, size_t maxSize) {
    size_t at = 0;
    for (size_t i = 0; i < values.size(); ++i)
        for (int b = dataRootFields()[i].width; b-- > 0; ++at)
            if (at < maxSize) out[at] = static_cast<uint8_t>(values[i] >> (8 * b));
    return std::min(at, maxSize);
}

uint64_t dataRootFieldValue(const DataRootField& field, std::minstd_rand& random) {
    if (!field.edges.empty() && random() % 2 == 0) return field.edges[random() % field.edges.size()];
    const uint64_t drawn = (uint64_t{random()} << 31) ^ random();
    if (field.most) return drawn % field.most;
    return field.width >= 8 ? drawn : drawn & ((uint64_t{1} << (8 * field.width)) - 1);
}

}  // namespace

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed) {
    std::minstd_rand random(seed);
    // Now and then a byte's worth, for what no whole field reaches.
    if (random() % 8 == 0) return LLVMFuzzerMutate(data, size, maxSize);
    const std::vector<DataRootField>& fields = dataRootFields();
    std::vector<size_t> things;
    for (size_t i = 0; i < fields.size(); ++i)
        if (!fields[i].joins) things.push_back(i);
    std::vector<uint64_t> values = dataRootFieldValues(data, size);
    for (unsigned changes = 1 + random() % 2; changes-- > 0;) {
        const size_t first = things[random() % things.size()];
        const std::vector<uint64_t> before = values;
        for (int tries = 0; tries < 4 && values == before; ++tries) {
            // One of its fields, or all of them.
            const bool all = random() % 2;
            for (size_t i = first; i == first || (i < fields.size() && fields[i].joins); ++i)
                if (all || i == first) values[i] = dataRootFieldValue(fields[i], random);
        }
    }
    return dataRootWriteFields(values, data, maxSize);
}

extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t* one, size_t oneSize, const uint8_t* other,
                                            size_t otherSize, uint8_t* out, size_t maxSize, unsigned int seed) {
    std::minstd_rand random(seed);
    std::vector<uint64_t> values = dataRootFieldValues(one, oneSize);
    const std::vector<uint64_t> others = dataRootFieldValues(other, otherSize);
    for (size_t i = 0; i < values.size(); ++i)
        if (random() % 2) values[i] = others[i];
    return dataRootWriteFields(values, out, maxSize);
}

namespace {

// ---- the files -----------------------------------------------------------------------

std::string dataRootExerciseText(size_t i) {
    return "fuzz-exercise-" + std::to_string(i);
}

const char* const kDataRootRecordKeys[] = {"inputParameters", "latexString", "setupParameter",
                                           "solutionSteps"};

std::string dataRootNumber(const char* format, auto value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string dataRootRealText(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "+infinity" : "-infinity";
    return dataRootNumber("%.17g", value);
}

// The XML of one value that is not the history.
void dataRootXmlValue(std::string& xml, const DataRootEntry& entry) {
    switch (entry.kind) {
        case DataRootEntry::kTrue:
            xml += "<true/>";
            break;
        case DataRootEntry::kFalse:
            xml += "<false/>";
            break;
        case DataRootEntry::kInteger:
            xml += "<integer>" + dataRootNumber("%lld", static_cast<long long>(entry.integer)) +
                   (entry.damaged ? "z" : "") + "</integer>";
            break;
        case DataRootEntry::kReal:
            xml += "<real>" + dataRootRealText(entry.real) + "</real>";
            break;
        case DataRootEntry::kText:
            xml += "<string>";
            xml.append(entry.length, entry.fill);
            xml += "</string>";
            break;
        case DataRootEntry::kData:
            // Base64 of `length` bytes of 0xFF.
            xml += "<data>";
            xml.append((entry.length + 2) / 3 * 4, '/');
            xml += "</data>";
            break;
        case DataRootEntry::kDate:
            xml += "<date>2026-01-01T00:00:00Z</date>";
            break;
        case DataRootEntry::kList:
            xml += "<array>";
            for (uint64_t i = 0; i < entry.length; ++i) xml += "<true/>";
            xml += "</array>";
            break;
        case DataRootEntry::kDictionary:
            xml += "<dict>";
            for (uint64_t i = 0; i < entry.length; ++i) xml += "<key>k" + std::to_string(i) + "</key><true/>";
            xml += "</dict>";
            break;
        case DataRootEntry::kNested:
            for (uint64_t i = 0; i < entry.length; ++i) xml += "<array>";
            xml += "<true/>";
            for (uint64_t i = 0; i < entry.length; ++i) xml += "</array>";
            break;
        case DataRootEntry::kHistory:
            std::abort();
    }
}

// The keys every record of the history holds that are no text of its own,
// one of which the damage makes no UTF-8.
const char* const kDataRootSharedKeys[] = {"inputParameters", "setupParameter", "solutionSteps", "aTextField",
                                           "bTextField"};

std::string dataRootRecordKey(const DataRootDescription& d, size_t i, const char* key, bool shared) {
    const bool damaged = d.damage == 4 && (shared || i == d.damagedExercise) &&
                         std::string(key) == kDataRootSharedKeys[d.damagedExercise % std::size(kDataRootSharedKeys)];
    return std::string(key) + (damaged ? "\xFF" : "");
}

// The text of exercise `i`, as long as the input makes it.
std::string dataRootRecordText(const DataRootDescription& d, size_t i) {
    std::string text = dataRootExerciseText(i);
    if (d.past == 1 && i == d.record) text.append((d.pastSize + 1) << 20, 'L');
    return text;
}

uint64_t dataRootRecordFields(const DataRootDescription& d, size_t i) {
    return d.past == 2 && i == d.record ? std::min((d.pastSize + 1) * 4096, kDataRootMostRecordFields) : 0;
}

// Where each of the file's entries begins and ends, by key (the first of a
// key met more than once).
using DataRootSpans = std::map<std::string, std::pair<size_t, size_t>>;
// The same in the file's order, and each record of the history, by its
// exercise.
struct DataRootSpan {
    std::string key;
    size_t begin, end;
};
struct DataRootLayout {
    DataRootSpans spans;
    std::vector<DataRootSpan> entries;
    std::vector<std::pair<size_t, std::pair<size_t, size_t>>> records;
};

std::string dataRootXml(const DataRootEntries& entries, const DataRootDescription& d, DataRootLayout& layout) {
    DataRootSpans& spans = layout.spans;
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
    for (const auto& [key, entry] : entries) {
        const size_t begin = xml.size();
        xml += "\t<key>" + key + "</key>\n\t";
        if (entry.kind != DataRootEntry::kHistory) {
            dataRootXmlValue(xml, entry);
        } else {
            xml += "<array>\n";
            if (d.junkEntry) xml += "\t\t<integer>7</integer>\n";
            // Newest first, as the history keeps them.
            for (size_t i = d.exercises; i-- > 0;) {
                const bool damaged = d.damage && i == d.damagedExercise;
                const size_t recordBegin = xml.size();
                auto key = [&](const char* name) {
                    return "<key>" + dataRootRecordKey(d, i, name, false) + "</key>";
                };
                xml += "\t\t<dict>" + key("inputParameters") + "<dict>" + key("aTextField") + "<string>3</string>" +
                       key("bTextField") + "<string>2</string></dict><key>latexString</key><string>" +
                       dataRootRecordText(d, i) + (damaged && d.damage == 1 ? "\xFF" : "") +
                       (damaged && d.damage == 2 ? "</strin>" : "</string>") + key("setupParameter");
                if (d.nest == 4 && i == d.record) dataRootXmlValue(xml, {DataRootEntry::kNested, d.nestDepth});
                else xml += "<dict/>";
                xml += key("solutionSteps") + "<array/>";
                for (uint64_t f = 0, fields = dataRootRecordFields(d, i); f < fields; ++f)
                    xml += "<key>f" + std::to_string(f) + "</key><true/>";
                xml += "</dict>\n";
                layout.records.push_back({i, {recordBegin, xml.size()}});
            }
            xml += "\t</array>";
        }
        xml += "\n";
        spans.try_emplace(key, begin, xml.size());
        layout.entries.push_back({key, begin, xml.size()});
    }
    return xml + "</dict>\n</plist>\n";
}

// The binary form, every equal text one shared object.
class DataRootBinary {
  public:
    std::string file(const DataRootEntries& entries, const DataRootDescription& d) {
        objects_.assign(1, std::string());
        std::vector<uint64_t> keys, values;
        for (const auto& [key, entry] : entries) {
            keys.push_back(text(key));
            values.push_back(value(entry, d));
            objectOf.try_emplace(key, values.back());
        }
        objects_[0] = marker(0xD, keys.size()) + refs(keys) + refs(values);
        return binaryPropertyListFile(objects_, 4);
    }
    // The object of each key's value (the first of a key met more than once).
    std::map<std::string, uint64_t> objectOf;

  private:
    static std::string marker(uint8_t kind, uint64_t length) { return binaryPropertyListMarker(kind, length); }
    static std::string refs(const std::vector<uint64_t>& list) { return binaryPropertyListRefs(list, 4); }
    static std::string bigEndian(uint64_t value) {
        std::string bytes(8, '\0');
        for (int b = 0; b < 8; ++b) bytes[b] = static_cast<char>((value >> (8 * (7 - b))) & 0xFF);
        return bytes;
    }
    uint64_t add(std::string object) {
        objects_.push_back(std::move(object));
        return objects_.size() - 1;
    }
    uint64_t text(const std::string& value) {
        auto [at, fresh] = texts_.try_emplace(value, 0);
        if (fresh) at->second = add(marker(0x5, value.size()) + value);
        return at->second;
    }
    uint64_t trueObject() {
        if (!true_) true_ = add("\x09");
        return *true_;
    }
    uint64_t dictionary(const std::vector<uint64_t>& keys, const std::vector<uint64_t>& values) {
        return add(marker(0xD, keys.size()) + refs(keys) + refs(values));
    }
    // A record whose marker names no kind of object.
    static constexpr char kDamagedMarker = '\x70';

    uint64_t value(const DataRootEntry& entry, const DataRootDescription& d) {
        switch (entry.kind) {
            case DataRootEntry::kTrue:
                return trueObject();
            case DataRootEntry::kFalse:
                return add("\x08");
            case DataRootEntry::kInteger:
                return add(std::string(1, entry.damaged ? kDamagedMarker : '\x13') +
                           bigEndian(static_cast<uint64_t>(entry.integer)));
            case DataRootEntry::kReal:
                return add("\x23" + bigEndian(std::bit_cast<uint64_t>(entry.real)));
            case DataRootEntry::kText:
                return text(std::string(entry.length, entry.fill));
            case DataRootEntry::kData:
                return add(marker(0x4, entry.length) + std::string(entry.length, '\xFF'));
            case DataRootEntry::kDate:
                return add("\x33" + bigEndian(std::bit_cast<uint64_t>(8e8)));
            case DataRootEntry::kList:
                return add(marker(0xA, entry.length) + refs(std::vector<uint64_t>(entry.length, trueObject())));
            case DataRootEntry::kDictionary: {
                std::vector<uint64_t> keys;
                for (uint64_t i = 0; i < entry.length; ++i) keys.push_back(text("k" + std::to_string(i)));
                return dictionary(keys, std::vector<uint64_t>(entry.length, trueObject()));
            }
            case DataRootEntry::kNested: {
                uint64_t inner = trueObject();
                for (uint64_t i = 0; i < entry.length; ++i) inner = add(marker(0xA, 1) + refs({inner}));
                return inner;
            }
            case DataRootEntry::kHistory:
                break;
        }
        std::vector<uint64_t> records;
        if (d.junkEntry) records.push_back(add("\x10\x07"));
        auto key = [&](const char* name) { return text(dataRootRecordKey(d, 0, name, true)); };
        const uint64_t inputs = dictionary({key("aTextField"), key("bTextField")}, {text("3"), text("2")});
        const uint64_t empty = dictionary({}, {});
        const uint64_t steps = add(marker(0xA, 0));
        for (size_t i = d.exercises; i-- > 0;) {
            const bool damaged = d.damage && i == d.damagedExercise;
            std::vector<uint64_t> recordKeys;
            for (const char* k : kDataRootRecordKeys) recordKeys.push_back(key(k));
            const uint64_t latex = text(dataRootRecordText(d, i) + (damaged && d.damage == 1 ? "\xFF" : ""));
            const uint64_t setup =
                d.nest == 4 && i == d.record ? value({DataRootEntry::kNested, d.nestDepth}, d) : empty;
            std::vector<uint64_t> fields = {inputs, latex, setup, steps};
            for (uint64_t f = 0, more = dataRootRecordFields(d, i); f < more; ++f) {
                recordKeys.push_back(text("f" + std::to_string(f)));
                fields.push_back(trueObject());
            }
            records.push_back(dictionary(recordKeys, fields));
            if (damaged && d.damage == 2) objects_[records.back()][0] = kDamagedMarker;
        }
        return add(marker(0xA, records.size()) + refs(records));
    }

    std::vector<std::string> objects_;
    std::map<std::string, uint64_t> texts_;
    std::optional<uint64_t> true_;
};

// The stored counters of one file, named as the table names it, as the
// input picks them.
DataRootEntries dataRootCounters(const DataRootDescription& d, const std::string& file) {
    DataRootEntries entries;
    const auto& counters = dataRootTable().counters;
    for (size_t i = 0; i < counters.size(); ++i) {
        if (counters[i].first != file) continue;
        if (const auto& value = kDataRootCounters[d.counter == i ? d.counterEdge : d.otherCounters])
            entries.emplace_back(counters[i].second, *value);
    }
    return entries;
}

// What the start is checked to keep of the preferences: whatever the input
// held whole in a form Calvaro writes.
struct DataRootKept {
    bool consent = true;
    bool switchState = true;
    bool history = true;
    // The exercises that are not checked, damaged.
    std::set<size_t> damaged;
};

// Moves the offset-table entry of object `index` of a binary file by `by`
// bytes; its objects stay whole where they are.
void dataRootMoveOffset(std::string& file, uint64_t index, int by) {
    if (file.size() < 40) return;
    auto field = [&](size_t at, int width) {
        uint64_t value = 0;
        for (int b = 0; b < width; ++b) value = (value << 8) | static_cast<uint8_t>(file[at + b]);
        return value;
    };
    const size_t trailer = file.size() - 32;
    const uint64_t count = field(trailer + 8, 8), table = field(trailer + 24, 8);
    if (count == 0) return;
    const size_t at = table + 4 * (index % count);
    const uint32_t moved = static_cast<uint32_t>(field(at, 4) + static_cast<int64_t>(by));
    for (int b = 0; b < 4; ++b) file[at + b] = static_cast<char>(moved >> (8 * (3 - b)));
}

// The application's preferences: Calvaro's keys among the foreign ones.
std::string dataRootPreferences(const DataRootDescription& d, DataRootKept& kept) {
    DataRootEntries calvaro, foreign;
    if (d.switchState) {
        DataRootEntry state{DataRootEntry::kInteger, 0, 'x', d.switchState};
        state.damaged = d.damage == 3;
        calvaro.push_back({kDataRootSwitchKey, state});
    }
    for (const char* key : kDataRootConsent) calvaro.push_back({key, {DataRootEntry::kTrue}});
    calvaro.push_back({"didSeedExampleCalculation", {DataRootEntry::kTrue}});
    for (const auto& counter : dataRootCounters(d, foundation::kStandardDomainBoundName)) calvaro.push_back(counter);
    calvaro.push_back({"Calculations", {DataRootEntry::kHistory}});
    // The odd value in the place of the key's own, or after the history.
    if (d.odd) {
        const std::string& key = dataRootTable().keys[*d.odd].key;
        auto at = std::find_if(calvaro.begin(), calvaro.end(), [&](const auto& entry) { return entry.first == key; });
        if (at != calvaro.end()) at->second = d.oddValue;
        else calvaro.push_back({key, d.oddValue});
    }
    // Sorting before "Calculations" and the consent, or after every key.
    const std::string lead = d.foreignFirst ? "A" : "~";
    for (uint64_t i = 0; i < d.foreign; ++i)
        foreign.push_back({lead + "foreign" + std::to_string(i), {DataRootEntry::kText, d.foreignBytes}});
    for (uint64_t i = 0; i < d.large; ++i)
        foreign.push_back({lead + "large" + std::to_string(i), {DataRootEntry::kText, d.largeBytes, 'l'}});
    for (uint64_t i = 0; i < d.prefixed; ++i)
        foreign.push_back(
            {d.prefix + "value" + std::to_string(i), {DataRootEntry::kText, d.prefixedBytes, 'p'}});
    if (d.prefixedLarge)
        foreign.push_back({d.prefix + "large", {DataRootEntry::kText, d.prefixedLarge, 'q'}});
    const DataRootEntry nested{DataRootEntry::kNested, d.nestDepth};
    if (d.nest == 3) foreign.push_back({(d.prefix.empty() ? "IABTCF_" : d.prefix) + "nested", nested});
    if (d.nest == 5) calvaro.push_back({dataRootTable().keys[d.nestKey].key, nested});
    DataRootEntries all;
    // The repeated key first, each time a list of three true.
    if (d.repeated)
        all.assign(d.repeats, {dataRootTable().keys[*d.repeated].key, {DataRootEntry::kList, 3}});
    if (d.nest == 1) all.push_back({"Anested", nested});
    all.insert(all.end(), (d.foreignFirst ? foreign : calvaro).begin(), (d.foreignFirst ? foreign : calvaro).end());
    const DataRootEntries& rest = d.foreignFirst ? calvaro : foreign;
    all.insert(all.end(), rest.begin(), rest.end());
    if (d.nest == 2) all.push_back({"~nested", nested});

    DataRootLayout layout;
    const DataRootSpans& spans = layout.spans;
    std::string file;
    if (d.binary) {
        DataRootBinary binary;
        file = binary.file(all, d);
        if (d.offset) {
            // Every object is still whole: only the table points amiss.
            const auto of = [&](const std::string& key) {
                const auto at = binary.objectOf.find(key);
                return at == binary.objectOf.end() ? uint64_t{0} : at->second;
            };
            const uint64_t index = d.offset == 1   ? 0
                                   : d.offset == 2 ? of(kDataRootSwitchKey)
                                   : d.offset == 3 ? of(kDataRootHistoryKey)
                                                   : d.offset - 4;
            dataRootMoveOffset(file, index, d.offsetBy);
        }
    } else {
        file = dataRootXml(all, d, layout);
    }
    kept.switchState = d.damage != 3;
    // One damaged value costs that value: a record of the history whose
    // text, key or markup is damaged, that record; in XML, whose markup
    // may be read as the next value's, the next record too.
    if (d.damage == 1 || d.damage == 2 || (d.damage == 4 && !d.binary)) {
        kept.damaged.insert(d.damagedExercise);
        if (d.damage == 2 && !d.binary && d.damagedExercise > 0) kept.damaged.insert(d.damagedExercise - 1);
    }
    if (d.nest == 4 || d.past) kept.damaged.insert(d.record);
    size_t whole = file.size();
    if (d.flip && !file.empty()) {
        const size_t at = static_cast<size_t>(file.size() * d.flipAt >> 24);
        file[at] = static_cast<char>(file[at] ^ (1 << ((d.flip - 1) % 8)));
        // The entry that holds the byte is lost, and the one after it
        // whose beginning the damage may hide; outside every entry, the
        // file's frame: nothing is checked.
        const auto& entries = layout.entries;
        const auto holder = std::find_if(entries.begin(), entries.end(),
                                         [&](const DataRootSpan& span) { return at >= span.begin && at < span.end; });
        auto lose = [&](const std::string& key) {
            if (key == kDataRootSwitchKey) kept.switchState = false;
            if (key == kDataRootHistoryKey) kept.history = false;
            if (std::find(std::begin(kDataRootConsent), std::end(kDataRootConsent), key) != std::end(kDataRootConsent))
                kept.consent = false;
        };
        const auto record = std::find_if(layout.records.begin(), layout.records.end(), [&](const auto& span) {
            return at >= span.second.first && at < span.second.second;
        });
        if (holder == entries.end()) {
            whole = 0;
        } else if (record != layout.records.end()) {
            kept.damaged.insert(record->first);
            if (record->first > 0) kept.damaged.insert(record->first - 1);
        } else {
            lose(holder->key);
            if (holder + 1 != entries.end()) lose((holder + 1)->key);
        }
    }
    if (d.cut) {
        const size_t at = static_cast<size_t>(file.size() * d.cut >> 24);
        file.resize(at);
        whole = std::min(whole, at);
        // Nothing of a binary file cut short is checked.
        if (d.binary) whole = 0;
    }
    if (whole < file.size() || d.cut) {
        auto before = [&](const std::string& key) {
            const auto at = spans.find(key);
            return at != spans.end() && at->second.second <= whole;
        };
        kept.consent = kept.consent && std::all_of(std::begin(kDataRootConsent), std::end(kDataRootConsent), before);
        kept.switchState = kept.switchState && (!d.switchState || before(kDataRootSwitchKey));
        kept.history = kept.history && before("Calculations");
    }
    return file;
}

std::string dataRootSuite(uint64_t values, uint64_t bytes, const std::string& extra = {}) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + extra;
    for (uint64_t i = 0; i < values; ++i)
        xml += "\t<key>foreign" + std::to_string(i) + "</key>\n\t<string>" + std::string(bytes, 's') +
               "</string>\n";
    return xml + "</dict>\n</plist>\n";
}

std::string dataRootReal(const DataRootTime& time, double now, double scale) {
    return dataRootRealText(time.absolute ? time.value : (now + time.value) * scale);
}

// The entries of a file Calvaro reads that are no preferences of the
// application, in XML.
std::string dataRootXmlEntries(const DataRootEntries& entries) {
    std::string xml;
    for (const auto& [key, entry] : entries) {
        xml += "\t<key>" + key + "</key>\n\t";
        dataRootXmlValue(xml, entry);
        xml += "\n";
    }
    return xml;
}

// The persistent dictionary of the start made at the target's start, its
// stored times and counters as the input picks them and foreign keys after
// them.
std::string dataRootDictionary(const std::string& stored, const DataRootDescription& d, double now) {
    std::string xml = stored;
    const size_t close = xml.rfind("</dict>");
    if (close == std::string::npos) std::abort();
    // What the first start stored under a key goes first.
    auto forget = [&xml](const std::string& key) {
        if (const size_t at = xml.find(key); at != std::string::npos) {
            const size_t end = xml.find("</", xml.find('<', at + key.size()) + 1);
            const size_t next = xml.find('>', end);
            xml.erase(at, next + 1 - at);
        }
    };
    std::string added;
    for (size_t i = 0; i < 10; ++i) {
        const std::string key =
            "<key>" + std::string(MSRPersistedConfig::kKeyPrefix) + kDataRootTimeKeys[i].first + "</key>";
        forget(key);
        const DataRootTime& time = kDataRootTimes[d.times[i]];
        if (time.absent) continue;
        added += "\t" + key + "\n\t<real>" + dataRootReal(time, now, kDataRootTimeKeys[i].second) + "</real>\n";
    }
    for (const auto& [key, _] : dataRootTable().counters)
        if (key.rfind(MSRPersistedConfig::kKeyPrefix, 0) == 0) forget("<key>" + key + "</key>");
    added += dataRootXmlEntries(dataRootCounters(d, MSRPersistedConfig::kSuiteName));
    for (uint64_t i = 0; i < d.dictionaryKeys; ++i)
        added += "\t<key>foreign" + std::to_string(i) + "</key>\n\t<string>" +
                 std::string(d.dictionaryBytes, 'd') + "</string>\n";
    // One text that is no UTF-8, and the app ID of another application.
    auto replace = [&](const char* suffix, const std::string& value) {
        const std::string key = "<key>" + std::string(MSRPersistedConfig::kKeyPrefix) + suffix + "</key>";
        forget(key);
        added += "\t" + key + "\n\t<string>" + value + "</string>\n";
    };
    if (d.engineText == 1) added += "\t<key>foreign-text</key>\n\t<string>d\xFF</string>\n";
    if (d.engineText == 2) replace("app_version", "1.0\xFF");
    if (d.engineText == 3) replace("config_etag", "\"e\xFF\"");
    if (d.wipe == 3) replace("zmp_app_id", kDataRootOtherApp);
    xml.insert(xml.rfind("</dict>"), added);
    return xml;
}

Value dataRootItem(const std::string& service, const std::string& account, const std::string& data) {
    Value::Dictionary attributes;
    attributes.emplace("class", Value("genp"));
    attributes.emplace("service", Value(service));
    attributes.emplace("account", Value(account));
    attributes.emplace("generic", Value(account));
    attributes.emplace("accessible", Value("dku"));
    Value::Dictionary item;
    item.emplace("attributes", Value(std::move(attributes)));
    item.emplace("data", Value(Value::Bytes(data.begin(), data.end())));
    return Value(std::move(item));
}

constexpr int64_t kDataRootFirstOpenCount = 4;

std::string dataRootKeychain(const DataRootDescription& d) {
    Value::List items;
    for (uint64_t i = 0; i < d.items; ++i)
        items.push_back(dataRootItem(d.ownItems ? kDataRootBundle : "org.example.other",
                                     "item" + std::to_string(i), std::string(d.itemBytes + 1, 'k')));
    if (d.ownItem)
        items.insert(items.begin() + static_cast<std::ptrdiff_t>(d.items / 2),
                     dataRootItem(kDataRootBundle, "_pfo", std::to_string(kDataRootFirstOpenCount)));
    auto xml = foundation::propertyListXml(Value(std::move(items)));
    if (!xml) std::abort();
    return *xml;
}

// Whether an XML file Calvaro wrote is well-formed as far as its characters
// go: UTF-8 throughout, and no control character XML refuses.
bool dataRootWellFormedText(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') return false;
            ++i;
            continue;
        }
        const size_t length = byte >= 0xF0 && byte <= 0xF4 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 && byte < 0xE0 ? 2 : 0;
        if (length == 0 || i + length > text.size()) return false;
        uint32_t point = byte & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3F);
        }
        if ((length == 3 && (point < 0x800 || (point >= 0xD800 && point < 0xE000) || point >= 0xFFFE)) ||
            (length == 4 && (point < 0x10000 || point > 0x10FFFF)))
            return false;
        i += length;
    }
    return true;
}

// ---- the start -----------------------------------------------------------------------

// The tree's own `calvaro`, or the one CALVARO_FUZZ_CALVARO names (the
// release tree's, where the target is built in the sanitizer tree only).
fs::path dataRootExecutable() {
    if (const char* named = std::getenv("CALVARO_FUZZ_CALVARO"); named && *named) return named;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) std::abort();
    return self.parent_path().parent_path() / "app" / "calvaro";
}

struct DataRootRun {
    int status = -1;
    double cpuSeconds = 0;
    int64_t peakBytes = 0;
    bool hung = false;
};

// A limit on the bytes a file may hold, set on a start after it began.
struct DataRootWriteLimit {
    std::optional<uint64_t> bytes;
    double afterSeconds = 0;
};

// `calvaro --home HOME --script SCRIPT [STOP]` with its outputs in `folder`;
// with `stop`, it is ended by SIGTERM once `stop` answers true.
DataRootRun dataRootStart(const fs::path& home, const fs::path& folder, const std::string& script,
                          const std::function<bool()>& stop = {}, const DataRootWriteLimit& limit = {}) {
    DataRootRun run;
    const fs::path scriptFile = folder / "script.txt";
    std::ofstream(scriptFile) << script;
    std::vector<std::string> words{dataRootExecutable().string(), "--home", home.string(), "--script",
                                   scriptFile.string()};
    const pid_t pid = calvaro::test::spawnInGroup(std::move(words), folder / "out.txt", folder / "err.txt");
    if (pid < 0) std::abort();
    const auto began = std::chrono::steady_clock::now();
    bool stopped = false, limited = false;
    for (;;) {
        // Past it a write fails as on a full disk (SIGXFSZ is ignored).
        if (limit.bytes && !limited &&
            std::chrono::steady_clock::now() - began >= std::chrono::duration<double>(limit.afterSeconds)) {
            const rlimit bytes{*limit.bytes, *limit.bytes};
            limited = prlimit(pid, RLIMIT_FSIZE, &bytes, nullptr) == 0;
        }
        int status = 0;
        rusage used{};
        const pid_t done = wait4(pid, &status, WNOHANG, &used);
        if (done == pid) {
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            run.cpuSeconds = static_cast<double>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
                             static_cast<double>(used.ru_utime.tv_usec + used.ru_stime.tv_usec) * 1e-6;
            return run;
        }
        run.peakBytes = std::max(run.peakBytes, fuzz::statusBytes("VmHWM", std::to_string(pid)));
        if (stop && !stopped && stop()) {
            stopped = true;
            ::kill(-pid, SIGTERM);
        }
        if (std::chrono::steady_clock::now() - began > std::chrono::duration<double>(kDataRootHangSeconds)) {
            run.hung = true;
            ::kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            return run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string dataRootText(const fs::path& file) {
    std::string bytes;
    (void)foundation::FileSystem::readFile(file, bytes);
    return bytes;
}

fs::path dataRootKeychainFile(const fs::path& home) {
    return home.parent_path() / (home.filename().string() + ".keychain") / "keychain.plist";
}
fs::path dataRootMeasurementFolder(const fs::path& home) {
    return home / "Library/Application Support/Zevure/Measurement";
}
fs::path dataRootDatabaseFile(const fs::path& home) {
    return dataRootMeasurementFolder(home) / "zevure-app-measurement.sql";
}
fs::path dataRootDictionaryFile(const fs::path& home) {
    return dataRootMeasurementFolder(home) / "app.calvaro.analytics.measurement.plist";
}

// The collector, and the engine's files of one start that fetched its
// configuration (the first upload a second after the newest event).
struct DataRootWorld {
    tools::Collector server;
    tools::MeasurementCollector measurement{server};
    fs::path template_;
    // The installation's identity the template stored.
    std::string instanceID;
    // A database holding the events of a start whose uploads all failed,
    // logged between these times (in milliseconds): the copy set aside
    // that a waiting salvage would bring back.
    fs::path waiting;
    int64_t waitingFrom = 0, waitingTo = 0;

    DataRootWorld() {
        if (!server.start()) std::abort();
        // The starts inherit it: under a write limit, a write past it fails.
        ::signal(SIGXFSZ, SIG_IGN);
        measurement.setConfig(
            kDataRootApp, tools::MeasurementCollector::makeConfig(
                              kDataRootApp, 1, {{"measurement.upload.initial_upload_delay_time", "1000"}}));
        setenv("CALVARO_MEASUREMENT_URL", server.baseURL().c_str(), 1);
        template_ = fuzz::scratchFolder() / "template";
        fs::create_directories(template_ / "home/Library/Preferences");
        fs::permissions(template_ / "home", fs::perms::owner_all, fs::perm_options::replace);
        std::ofstream(template_ / "home/Library/Preferences/org.calvaro.Calvaro.plist")
            << kSettledPreferences;
        auto fetched = [this] {
            for (const auto& request : server.requests())
                if (request.path.find("config") != std::string::npos) return true;
            return false;
        };
        std::optional<std::chrono::steady_clock::time_point> seen;
        const DataRootRun run = dataRootStart(template_ / "home", template_, "wait 120\n", [&] {
            if (!seen && fetched()) seen = std::chrono::steady_clock::now();
            return seen && std::chrono::steady_clock::now() - *seen > std::chrono::seconds(2);
        });
        if (run.hung || !seen) {
            std::fprintf(stderr, "== the first start fetched no configuration\n%s\n",
                         dataRootText(template_ / "err.txt").c_str());
            std::abort();
        }
        // Nothing waits to be uploaded: an upload at the start, which runs
        // whatever the stored times say, would wipe them before they count.
        sqlite3* database = nullptr;
        const fs::path file = dataRootDatabaseFile(template_ / "home");
        if (sqlite3_open_v2(file.c_str(), &database, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
            sqlite3_exec(database, "DELETE FROM raw_events; DELETE FROM queue;", nullptr, nullptr, nullptr) !=
                SQLITE_OK) {
            std::fprintf(stderr, "== the first start's database: %s\n", sqlite3_errmsg(database));
            std::abort();
        }
        sqlite3_close(database);
        const auto dictionary = foundation::parsePropertyList(dataRootText(dataRootDictionaryFile(template_ / "home")));
        const std::string* id =
            dictionary ? (*dictionary)[std::string(MSRPersistedConfig::kKeyPrefix) + "app_instance_id"].string()
                       : nullptr;
        if (!id || id->empty()) {
            std::fprintf(stderr, "== the first start stored no app instance id\n");
            std::abort();
        }
        instanceID = *id;
        holdEvents();
    }

    static int64_t nowMillis() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }

    // A start of the template whose every upload is refused: its events
    // stay in its database, copied whole to `waiting`.
    void holdEvents() {
        tools::Collector refusing;
        tools::MeasurementCollector refused{refusing};
        if (!refusing.start()) std::abort();
        refused.setConfig(kDataRootApp, tools::MeasurementCollector::makeConfig(
                                            kDataRootApp, 1, {{"measurement.upload.initial_upload_delay_time", "1000"}}));
        for (int i = 0; i < 1000; ++i) refusing.scriptReply(tools::MeasurementCollector::kUploadPath, tools::ScriptedReply{503, {}, {}, 0});
        const fs::path held = fuzz::scratchFolder() / "held";
        std::error_code ec;
        fs::remove_all(held, ec);
        fs::create_directories(held);
        fs::copy(template_ / "home", held / "home", fs::copy_options::recursive, ec);
        if (ec) std::abort();
        // No upload of the template holds the next for its interval.
        const double now =
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        if (!foundation::FileSystem::writeAtomically(
                dataRootDictionaryFile(held / "home"),
                dataRootDictionary(dataRootText(dataRootDictionaryFile(template_ / "home")), DataRootDescription{}, now)))
            std::abort();
        setenv("CALVARO_MEASUREMENT_URL", refusing.baseURL().c_str(), 1);
        waitingFrom = nowMillis();
        const auto began = std::chrono::steady_clock::now();
        const DataRootRun run = dataRootStart(
            held / "home", held, std::string(kDataRootCalculate) + "snapshot shown\nwait 600\n", [&] {
                bool refusedOne = false;
                for (const auto& request : refusing.requests())
                    refusedOne = refusedOne || request.path == tools::MeasurementCollector::kUploadPath;
                return (refusedOne &&
                        dataRootText(held / "out.txt").find("=== snapshot 1: shown ===") != std::string::npos) ||
                       std::chrono::steady_clock::now() - began > std::chrono::duration<double>(kDataRootUploadSeconds);
            });
        waitingTo = nowMillis();
        setenv("CALVARO_MEASUREMENT_URL", server.baseURL().c_str(), 1);
        waiting = fuzz::scratchFolder() / "waiting.sql";
        fs::remove(waiting, ec);
        sqlite3* database = nullptr;
        sqlite3_stmt* statement = nullptr;
        int64_t rows = 0;
        const bool copied =
            !run.hung &&
            sqlite3_open_v2(dataRootDatabaseFile(held / "home").c_str(), &database, SQLITE_OPEN_READWRITE, nullptr) ==
                SQLITE_OK &&
            sqlite3_prepare_v2(database, "SELECT (SELECT count(*) FROM raw_events) + (SELECT count(*) FROM queue)",
                               -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW && (rows = sqlite3_column_int64(statement, 0)) > 0 &&
            sqlite3_finalize(std::exchange(statement, nullptr)) == SQLITE_OK &&
            sqlite3_exec(database, ("VACUUM INTO '" + waiting.string() + "'").c_str(), nullptr, nullptr, nullptr) ==
                SQLITE_OK;
        const std::string error = database ? sqlite3_errmsg(database) : "";
        sqlite3_finalize(statement);
        sqlite3_close(database);
        if (!copied) {
            std::fprintf(stderr, "== the start with its uploads refused kept no events (%lld rows: %s)\n%s\n",
                         static_cast<long long>(rows), error.c_str(), dataRootText(held / "err.txt").c_str());
            std::abort();
        }
        fs::remove_all(held, ec);
    }
};

// `sql` run over the engine's database, with `blob` bound to its `?`.
void dataRootSql(const fs::path& home, const std::string& sql, const std::vector<uint8_t>& blob = {}) {
    sqlite3* database = nullptr;
    sqlite3_stmt* statement = nullptr;
    const bool done =
        sqlite3_open_v2(dataRootDatabaseFile(home).c_str(), &database, SQLITE_OPEN_READWRITE, nullptr) ==
            SQLITE_OK &&
        sqlite3_prepare_v2(database, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        (sqlite3_bind_parameter_count(statement) == 0 ||
         sqlite3_bind_blob64(statement, 1, blob.data(), blob.size(), SQLITE_STATIC) == SQLITE_OK) &&
        sqlite3_step(statement) == SQLITE_DONE;
    if (!done) {
        std::fprintf(stderr, "== the engine's database: %s\n", sqlite3_errmsg(database));
        std::abort();
    }
    sqlite3_finalize(statement);
    sqlite3_close(database);
}

constexpr const char* kDataRootUnreadableEvent = "fuzz_unreadable";

void dataRootVarint(std::vector<uint8_t>& out, uint64_t value) {
    for (; value >= 0x80; value >>= 7) out.push_back(static_cast<uint8_t>(value | 0x80));
    out.push_back(static_cast<uint8_t>(value));
}

// What reads as a bundle at its head: one field numbered pattern[0] of
// `units` MiB of pattern[1], or small fields so numbered past 256 KiB and
// then zeros.
std::vector<uint8_t> dataRootBundleBomb(const DataRootDescription& d) {
    const size_t size = std::max<size_t>(d.queueUnits << 20, 1024);
    const uint64_t tag = (uint64_t{std::max<uint8_t>(d.pattern[0], 1)} << 3) | 2;
    std::vector<uint8_t> plain;
    plain.reserve(size + 16);
    if (d.queueShape == 4) {
        dataRootVarint(plain, tag);
        dataRootVarint(plain, size);
        plain.resize(plain.size() + size, d.pattern[1]);
        return plain;
    }
    while (plain.size() < (size_t{512} << 10)) {
        dataRootVarint(plain, tag);
        dataRootVarint(plain, 16);
        plain.resize(plain.size() + 16, d.pattern[1]);
    }
    plain.resize(std::max(plain.size(), size), 0);
    return plain;
}

// The names the engine gives a database set aside and the mark of its
// salvage, beside the database.
constexpr const char* kDataRootSetAside = "zevure-app-measurement.sql.damaged-1";
constexpr const char* kDataRootSalvageMark = "zevure-app-measurement.sql.salvage";

// The input's queued rows ahead of the engine's own (rowids below 0), and
// its raw events that read as none.
void dataRootFillDatabase(const fs::path& home, const DataRootDescription& d, double now,
                          const fs::path& waiting) {
    // A salvage that waits: the copy set aside and its mark.
    if (d.wipe) {
        std::error_code ec;
        fs::copy_file(waiting, dataRootMeasurementFolder(home) / kDataRootSetAside, ec);
        if (ec) std::abort();
        std::ofstream(dataRootMeasurementFolder(home) / kDataRootSalvageMark) << kDataRootSetAside << "\n";
    }
    auto rows = [](uint64_t count) {
        return "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
               std::to_string(count) + ") ";
    };
    if (d.queueRows) {
        std::vector<uint8_t> row(d.pattern, d.pattern + 2);
        if (d.queueShape == 0) {
            // Doubled by copies of what is there: a byte at a time is slow
            // under the sanitizers.
            std::vector<uint8_t> plain(std::max<size_t>(d.queueUnits << 20, 2));
            std::copy(row.begin(), row.end(), plain.begin());
            for (size_t filled = 2; filled < plain.size(); filled *= 2)
                std::copy_n(plain.begin(), std::min(filled, plain.size() - filled), plain.begin() + filled);
            row = *security::gzip(plain);
        } else if (d.queueShape == 1) {
            row = *security::gzip(row);
        } else if (d.queueShape == 3) {
            row.clear();
        } else {
            row = *security::gzip(dataRootBundleBomb(d));
        }
        dataRootSql(home,
                    rows(d.queueRows) +
                        "INSERT INTO queue (rowid, bundle_end_timestamp, data, is_realtime, retry_count) "
                        "SELECT i - " + std::to_string(d.queueRows + 1) + ", " + dataRootNumber("%.3f", now) +
                        ", ?, 0, 0 FROM n",
                    row);
    }
    // A first byte that starts no field of an event.
    if (d.rawRows)
        dataRootSql(home,
                    rows(d.rawRows) +
                        "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
                        "SELECT '" + kDataRootUnreadableEvent + "', " +
                        dataRootNumber("%.3f", now) + ", 0, ?, 0 FROM n",
                    std::vector<uint8_t>(d.rawBytes + 1, 0xFF));
}

// The events the engine's database holds, by name and second: what the
// start stored, the input's unreadable ones aside.
std::multiset<std::pair<std::string, int64_t>> dataRootStoredEvents(const fs::path& home) {
    std::multiset<std::pair<std::string, int64_t>> events;
    sqlite3* database = nullptr;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_open_v2(dataRootDatabaseFile(home).c_str(), &database, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK &&
        sqlite3_prepare_v2(database, "SELECT name, timestamp FROM raw_events WHERE name != ?", -1, &statement,
                           nullptr) == SQLITE_OK &&
        sqlite3_bind_text(statement, 1, kDataRootUnreadableEvent, -1, SQLITE_STATIC) == SQLITE_OK)
        while (sqlite3_step(statement) == SQLITE_ROW)
            events.emplace(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)),
                           sqlite3_column_int64(statement, 1));
    sqlite3_finalize(statement);
    sqlite3_close(database);
    return events;
}

// Whether the engine's state asks the start for a reset: one left to retry.
bool dataRootResetAsked(const DataRootDescription& d) {
    for (const auto& [key, entry] : dataRootCounters(d, "MSRAnalyticsSuiteName"))
        if (key == "reset_retry_count" && entry.kind == DataRootEntry::kInteger && entry.integer >= 1 &&
            entry.integer <= 9)
            return true;
    return false;
}

[[noreturn]] void dataRootFinding(const std::string& what, const DataRootDescription& d,
                                  const fs::path& folder) {
    std::fprintf(stderr, "== %s\n%s\n-- its standard error:\n%s\n", what.c_str(), d.describe().c_str(),
                 dataRootText(folder / "err.txt").c_str());
    std::abort();
}

// The tree's own event driver, or the one CALVARO_FUZZ_EVENT_DRIVER names.
fs::path dataRootEventDriver() {
    if (const char* named = std::getenv("CALVARO_FUZZ_EVENT_DRIVER"); named && *named) return named;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) std::abort();
    return self.parent_path().parent_path() / "tools" / "eventdriver" / "event_driver";
}

// The application's consent call at the start of a run, on the data root the
// start left: an earlier run granted both storage types and logged events 1
// to `before`; this one denies one type, ahead of or behind the engine's
// start, logs events 1001 on, on two threads, and is ended by SIGINT once
// they are stored; a next run logs a marker and uploads what is left. No
// event logged after the denial goes out stamped granted, or with the app
// instance id under a denial of analytics storage, and each arrives once.
void dataRootConsentDenial(const fs::path& home, const fs::path& folder, const DataRootDescription& d,
                           DataRootWorld& world) {
    const std::string type = d.consent == 1 ? "analytics_storage" : "ad_storage";
    const char* call = d.moment & 2 ? "--facade-consent" : "--consent";
    auto arguments = [&](std::vector<std::string> more) {
        std::vector<std::string> all{"--home", home.string(), "--url",  world.server.baseURL(), "--app-id",
                                     kDataRootApp, "--log", (folder / "err.txt").string(), "--debug"};
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    // The bounds only catch a hang: under the sanitizers on a crowded core a
    // run takes many times its quiet length.
    {
        tools::DriverProcess granting(
            dataRootEventDriver(),
            arguments({call, "ad_storage=granted,analytics_storage=granted", "--consent-behind-the-engine",
                       "--first", "1", "--count", std::to_string(d.before)}));
        if (!granting.readUntil([](const auto& r) { return r.kind == tools::DriverProcess::kAllLogged; }, 300))
            dataRootFinding("the run that granted consent did not log its events", d, folder);
        if (granting.exitAndWait(150) < 0) dataRootFinding("the run that granted consent did not end", d, folder);
    }
    const int64_t after = static_cast<int64_t>(d.after);
    {
        tools::DriverProcess denying(
            dataRootEventDriver(),
            arguments({call, type + "=denied",
                       d.moment & 1 ? "--consent-ahead-of-the-engine" : "--consent-behind-the-engine", "--first",
                       "1001", "--count", std::to_string(after), "--threads", "2", "--end-on-signal"}));
        // Every event stored: the end then has no more than an upload to let go.
        if (!denying.readUntil(
                [&](const auto&) { return denying.allLogged() && denying.handledCount() >= after; },
                300) &&
            denying.handledCount() < after)
            dataRootFinding("the run that denied consent stored " + std::to_string(denying.handledCount()) +
                                " of its " + std::to_string(after) + " events",
                            d, folder);
        ::kill(denying.pid(), SIGINT);
        if (denying.waitForEnd(150) < 0) dataRootFinding("the run that denied consent did not end on SIGINT", d, folder);
    }
    {
        // Its marker's upload, in debug mode, does not wait out the retry
        // after an upload the end let go unanswered.
        tools::DriverProcess next(dataRootEventDriver(), arguments({"--count", "0", "--marker", "1"}));
        if (next.exitAndWait(150) < 0) dataRootFinding("the run after the denial did not end", d, folder);
    }
    const ConsentAfterADenial seen =
        consentAfterADenial(world.measurement.uploads(), consentSignalMark(type), 1000);
    if (seen.notDenied)
        dataRootFinding(std::to_string(seen.notDenied) + " events logged after a denial of " + type +
                            " arrived stamped otherwise (" + seen.firstStamp + ")",
                        d, folder);
    if (seen.withInstanceID)
        dataRootFinding(std::to_string(seen.withInstanceID) +
                            " events logged after a denial of analytics storage arrived with the app instance id",
                        d, folder);
    if (seen.twice())
        dataRootFinding(std::to_string(seen.twice()) + " events logged after a denial arrived twice", d, folder);
    if (seen.arrived.size() != d.after)
        dataRootFinding(std::to_string(seen.arrived.size()) + " of the " + std::to_string(after) +
                            " events logged after a denial arrived",
                        d, folder);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static DataRootWorld world;
    const DataRootDescription d = dataRootDescription(data, size);
    const fs::path folder = fuzz::scratchFolder() / "run";
    const fs::path home = folder / "home";
    std::error_code ec;
    fs::remove_all(folder, ec);
    fs::remove_all(dataRootKeychainFile(home).parent_path(), ec);
    fs::create_directories(home / "Library/Preferences");
    fs::copy(world.template_ / "home/Library/Application Support", home / "Library/Application Support",
             fs::copy_options::recursive, ec);
    if (ec) std::abort();
    fs::permissions(home, fs::perms::owner_all, fs::perm_options::replace);
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const fs::path preferences = home / "Library/Preferences/org.calvaro.Calvaro.plist";
    auto write = [](const fs::path& file, const std::string& bytes) {
        if (!foundation::FileSystem::writeAtomically(file, bytes)) std::abort();
    };
    DataRootKept kept;
    write(preferences, dataRootPreferences(d, kept));
    for (const char* suite : {"MSRAnalyticsSuiteName", "MSRExperimentSuiteName",
                              "app.calvaro.analytics.monitor", "app.calvaro.analytics.tcf.userdefaults"}) {
        std::string extra;
        if (std::string(suite) == "MSRExperimentSuiteName") {
            const char* keys[] = {"MSRExperimentFetchFailureTimestamp",
                                  "MSRExperimentFetchFirstFailureTimestamp",
                                  "MSRExperimentFetchSuccessTimestamp"};
            for (size_t i = 0; i < 3; ++i)
                if (!kDataRootTimes[d.times[(i + 7) % 10]].absent)
                    extra += std::string("\t<key>") + keys[i] + "</key>\n\t<real>" +
                             dataRootReal(kDataRootTimes[d.times[(i + 7) % 10]], now, 1) + "</real>\n";
        }
        DataRootEntries counters = dataRootCounters(d, suite);
        // A reset left to retry by an earlier start.
        if (d.wipe == 2 && std::string(suite) == "MSRAnalyticsSuiteName") {
            std::erase_if(counters, [](const auto& entry) { return entry.first == "reset_retry_count"; });
            counters.push_back({"reset_retry_count", {DataRootEntry::kInteger, 0, 'x', d.retries}});
        }
        extra += dataRootXmlEntries(counters);
        write(home / "Library/Preferences" / (std::string(suite) + ".plist"),
              dataRootSuite(d.suiteValues, d.suiteBytes, extra));
    }
    write(dataRootKeychainFile(home), dataRootKeychain(d));
    fs::permissions(dataRootKeychainFile(home).parent_path(), fs::perms::owner_all,
                    fs::perm_options::replace);
    write(dataRootDictionaryFile(home),
          dataRootDictionary(dataRootText(dataRootDictionaryFile(world.template_ / "home")), d, now));
    dataRootFillDatabase(home, d, now, world.waiting);

    // What the start is expected to do: with the consent, show the
    // exercise; with the collection on (or never switched), upload the
    // start's events; switched off, upload none and say so.
    const bool off = kept.switchState && d.switchState == 2;
    const bool uploads = kept.consent && kept.switchState && d.switchState != 2;
    // Under a write limit, whatever the start writes may fail, its output
    // included: it is held only to keeping what the files held, and a next
    // start with room to uploading every event the first stored, once.
    const DataRootWriteLimit limit{kDataRootWriteLimits[d.limit], static_cast<double>(d.limitAtMillis) / 1000};
    const bool room = !limit.bytes;
    // What the collector kept of earlier starts goes: its uploads and the
    // requests with their bodies.
    world.measurement.clear();
    world.server.clearRequests();
    const auto began = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::time_point> shownAt;
    bool uploaded = false;
    const DataRootRun run =
        dataRootStart(home, folder, std::string(kDataRootCalculate) + "snapshot shown\nwait 600\n", [&] {
            const auto moment = std::chrono::steady_clock::now();
            uploaded = uploaded || world.measurement.acceptedEventCount() > 0;
            if (!shownAt &&
                dataRootText(folder / "out.txt").find("=== snapshot 1: shown ===") != std::string::npos)
                shownAt = moment;
            if (moment - began > std::chrono::duration<double>(kDataRootUploadSeconds / (room ? 1 : 16)))
                return true;
            if (uploads && room) return uploaded && shownAt.has_value();
            // Long enough after the exercise for an upload a second after it.
            return shownAt && moment - *shownAt > std::chrono::duration<double>(kDataRootQuietSeconds);
        },
                      limit);
    const bool shown = shownAt.has_value();
    if (run.hung) dataRootFinding("the start did not end", d, folder);
    if (run.cpuSeconds > kDataRootCpuSeconds || run.peakBytes > kDataRootPeakBytes) {
        char text[128];
        std::snprintf(text, sizeof text, "the start cost %.1f s of CPU time and %.0f MiB", run.cpuSeconds,
                      static_cast<double>(run.peakBytes) / (1 << 20));
        dataRootFinding(text, d, folder);
    }
    const std::string said = dataRootText(folder / "err.txt");
    // A sanitizer's report ends the start with exit 1.
    for (const char* report : {"runtime error:", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer"})
        if (said.find(report) != std::string::npos) dataRootFinding(report, d, folder);
    if (world.measurement.repeatedEventCount() > 0)
        dataRootFinding(std::to_string(world.measurement.repeatedEventCount()) + " events uploaded twice", d,
                        folder);

    // What the user keeps. Under a write limit, a salvage that could not
    // write what it kept leaves the file as it found it, for a start with
    // room to salvage again: that start's file is what is kept.
    std::string written = dataRootText(preferences);
    auto live = foundation::parsePropertyList(written);
    if (!room && (!live || !live->dictionary())) {
        if (dataRootStart(home, folder, kDataRootCalculate).hung)
            dataRootFinding("the start with room after the write limit did not end", d, folder);
        written = dataRootText(preferences);
        live = foundation::parsePropertyList(written);
    }
    if (!live || !live->dictionary()) dataRootFinding("the preferences file does not read", d, folder);
    if (written.rfind("<?xml", 0) == 0 && !dataRootWellFormedText(written))
        dataRootFinding("the preferences file is written back with text XML refuses", d, folder);
    if (kept.consent)
        for (const char* key : kDataRootConsent)
            if ((*live)[key].boolValue() != true)
                dataRootFinding(std::string("the consent mark ") + key + " is lost", d, folder);
    if (kept.switchState && d.switchState && (*live)[kDataRootSwitchKey].integerValue() != d.switchState)
        dataRootFinding("the collection switch stored as " + std::to_string(d.switchState) + " is lost", d,
                        folder);
    std::vector<bool> held(kept.history ? d.exercises : 0, false);
    for (const size_t damaged : kept.damaged)
        if (damaged < held.size()) held[damaged] = true;
    size_t fresh = 0;
    if (const Value::List* history = (*live)["Calculations"].list()) {
        for (const Value& record : *history) {
            const std::string* text = record["latexString"].string();
            if (!text) continue;
            if (text->rfind("fuzz-exercise-", 0) != 0) {
                ++fresh;
                continue;
            }
            const size_t i = std::strtoull(text->c_str() + 14, nullptr, 10);
            if (i < held.size()) held[i] = true;
        }
    }
    if (const auto lost = std::count(held.begin(), held.end(), false))
        dataRootFinding(
            std::to_string(lost) + " of the " + std::to_string(d.exercises) + " exercises are lost", d,
            folder);
    if (kept.consent && !shown && room) dataRootFinding("the exercise was not shown", d, folder);
    if (uploads && !uploaded && room) {
        std::string answers;
        for (const auto& upload : world.measurement.uploads()) answers += " " + std::to_string(upload.status);
        std::string times;
        const std::string dictionary = dataRootText(dataRootDictionaryFile(home));
        for (const char* key : {"last_failed_upload", "last_backoff", "last_successful_upload"}) {
            const size_t at = dictionary.find(std::string("measurement/") + key + "<");
            const size_t open = at == std::string::npos ? at : dictionary.find("<real>", at);
            if (open != std::string::npos)
                times += std::string(key) + " " +
                         dictionary.substr(open + 6, dictionary.find("</real>", open) - open - 6) + "; ";
        }
        dataRootFinding("no event of the start was uploaded while it ran (uploads answered" + answers +
                            "; stored " + times + ")",
                        d, folder);
    }
    // Where the consent may be lost, the start may end by itself where the
    // script meets the consent's alert, with exit 1; under a write limit,
    // where a write it needs fails.
    if (run.status != 128 + SIGTERM && (run.status > 1 || (kept.consent && room)))
        dataRootFinding("exit " + std::to_string(run.status) + " on SIGTERM", d, folder);
    if (off) {
        if (world.measurement.acceptedEventCount() > 0)
            dataRootFinding("events were uploaded with the collection switched off", d, folder);
        if (room && (said.find("I-MSR023013") == std::string::npos ||
                     said.find("I-MSR023012") != std::string::npos))
            dataRootFinding("the start did not say the collection is switched off", d, folder);
    }

    // Not stored: a start that ends by itself says so and exits 1.
    if (kept.consent && fresh == 0 && room) {
        const DataRootRun again = dataRootStart(home, folder, kDataRootCalculate);
        if (again.status != 1 || dataRootText(folder / "err.txt").empty())
            dataRootFinding("the new exercise is not stored, and a start that ends by itself exits " +
                                std::to_string(again.status),
                            d, folder);
    }
    // A start that collects reads the count, and stores one where none is:
    // it is there after the start, in a keychain within its bound that the
    // next start can read, and the input's own count is kept whatever the
    // start does.
    const std::string keychain = dataRootText(dataRootKeychainFile(home));
    const auto items = foundation::parsePropertyList(keychain);
    const auto itemsSize = items ? foundation::propertyListSize(*items) : foundation::PropertyListSize{};
    if (uploads && room && (!items || itemsSize.values > kMSREngineFileBound.values ||
                    itemsSize.bytes > kMSREngineFileBound.bytes))
        dataRootFinding("the keychain is past its bound after the start", d, folder);
    std::optional<int64_t> count;
    if (const Value::List* list = items ? items->list() : nullptr)
        for (const Value& item : *list)
            if (const std::string* account = item["attributes"]["account"].string(); account && *account == "_pfo")
                if (const Value::Bytes* bytes = item["data"].bytes())
                    count = std::strtoll(std::string(bytes->begin(), bytes->end()).c_str(), nullptr, 10);
    if (!count && (d.ownItem || (uploads && room)))
        dataRootFinding("Calvaro's first-open count is not in the keychain", d, folder);
    if (d.ownItem && *count < kDataRootFirstOpenCount)
        dataRootFinding("Calvaro's first-open count " + std::to_string(kDataRootFirstOpenCount) + " became " +
                            std::to_string(*count),
                        d, folder);

    // The installation's identity and its first open, where nothing asked
    // for a reset: one damaged value of the engine's files costs that value.
    if (room && d.wipe < 2 && !dataRootResetAsked(d)) {
        const auto dictionary = foundation::parsePropertyList(dataRootText(dataRootDictionaryFile(home)));
        const Value none;
        const Value& stored = dictionary ? *dictionary : none;
        const std::string prefix = MSRPersistedConfig::kKeyPrefix;
        const std::string* id = stored[prefix + "app_instance_id"].string();
        if (!id || *id != world.instanceID)
            dataRootFinding("the app instance id " + world.instanceID + " became " + (id ? *id : "none"), d, folder);
        const DataRootTime& firstOpen = kDataRootTimes[d.times[3]];
        if (d.ownItem && !firstOpen.absent && !firstOpen.absolute && std::isfinite(firstOpen.value) &&
            firstOpen.value < 0) {
            const double written = (now + firstOpen.value) * 1000;
            const auto read = stored[prefix + "first_open_timestamp_ms"].doubleValue();
            if (!read || std::abs(*read - written) > 1)
                dataRootFinding("the first-open time " + dataRootRealText(written) + " became " +
                                    (read ? dataRootRealText(*read) : "none"),
                                d, folder);
        }
    }
    // Events a wipe took: none arrives, at this start or the next.
    auto wipedArrived = [&] {
        size_t count = 0;
        for (const auto& event : world.measurement.acceptedEvents())
            count += event.timestampMillis >= world.waitingFrom && event.timestampMillis <= world.waitingTo;
        return count;
    };
    const bool wiped = d.wipe >= 2 || (d.wipe && dataRootResetAsked(d));
    if (wiped && wipedArrived())
        dataRootFinding(std::to_string(wipedArrived()) + " events the start wiped arrived", d, folder);

    // What the start stored under a write limit, a next start with room
    // uploads: every event, each once over both starts.
    if (!room && uploads) {
        const auto stored = dataRootStoredEvents(home);
        auto missing = [&] {
            std::multiset<std::pair<std::string, int64_t>> accepted;
            for (const auto& event : world.measurement.acceptedEvents())
                accepted.emplace(event.name, event.timestampMillis / 1000);
            size_t count = 0;
            for (const auto& event : stored) {
                const auto at = accepted.find(event);
                if (at == accepted.end()) ++count;
                else accepted.erase(at);
            }
            return count;
        };
        const auto second = std::chrono::steady_clock::now();
        const DataRootRun next = dataRootStart(home, folder, std::string(kDataRootCalculate) + "wait 600\n", [&] {
            return missing() == 0 ||
                   std::chrono::steady_clock::now() - second > std::chrono::duration<double>(kDataRootUploadSeconds);
        });
        if (next.hung) dataRootFinding("the next start with room did not end", d, folder);
        if (const size_t lost = missing())
            dataRootFinding(std::to_string(lost) + " of the " + std::to_string(stored.size()) +
                                " events stored under the write limit were not uploaded by a next start with room",
                            d, folder);
        if (world.measurement.repeatedEventCount() > 0)
            dataRootFinding(std::to_string(world.measurement.repeatedEventCount()) +
                                " events uploaded twice over the start and the next",
                            d, folder);
        if (next.status != 128 + SIGTERM)
            dataRootFinding("the next start with room exits " + std::to_string(next.status), d, folder);
    } else if (wiped) {
        // Long enough after the exercise for the next start's upload.
        std::optional<std::chrono::steady_clock::time_point> seen;
        const auto nextBegan = std::chrono::steady_clock::now();
        const DataRootRun next = dataRootStart(home, folder, std::string(kDataRootCalculate) + "snapshot shown\nwait 600\n", [&] {
            const auto moment = std::chrono::steady_clock::now();
            if (!seen && dataRootText(folder / "out.txt").find("=== snapshot 1: shown ===") != std::string::npos)
                seen = moment;
            return (seen && moment - *seen > std::chrono::duration<double>(kDataRootQuietSeconds)) ||
                   moment - nextBegan > std::chrono::duration<double>(kDataRootUploadSeconds);
        });
        if (next.hung) dataRootFinding("the start after the wipe did not end", d, folder);
    }
    if (wiped && wipedArrived())
        dataRootFinding(std::to_string(wipedArrived()) + " events wiped at the start arrived by the next", d, folder);
    // Where the start collects with room, so does a run of the application
    // that changes consent as it starts.
    if (d.consent && uploads && room) dataRootConsentDenial(home, folder, d, world);
    return 0;
}

#if defined(CALVARO_FUZZ_ASAN)
// Freed blocks wait in a quarantine of 16 MiB rather than 256 MiB.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}
#endif
