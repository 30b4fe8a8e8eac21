// Whole data roots, each read by one start of `calvaro` that types and
// calculates an exercise: what the user keeps, not only what the start
// costs. A few input bytes describe the files a start reads, large ones
// included: the application's preferences (XML or binary) with the consent,
// a history of exercises and Calvaro's other keys among foreign keys, before
// or after them, with values under the owners' prefixes (IABTCF_*,
// ZEVURE_ANALYTICS_*, /zevure/*); the engine's suites; the keychain with
// Calvaro's first-open count among other applications' items; and the
// persistent dictionary with its stored times (ahead of the clock, 1e308,
// not a number, infinite) among foreign keys. The engine's database comes
// from one start made when the target starts, which fetched the
// configuration from a collector on a loopback port (uploads a second
// after the newest event), with nothing left in it to upload.
//
// Aborts unless the start stays within its CPU time and memory, every
// consent mark and exercise of the input is still in the preferences file,
// the new exercise is stored (or, where it is not, a start that ends by
// itself exits 1 saying why), Calvaro's
// first-open count is in the keychain within its bound, and the collector
// received an event of the start while it ran (it is then ended by
// SIGTERM, and must end so).
//
// The input, each field big-endian, missing bytes 0:
//
//   flags(1)              1 binary preferences, 2 foreign keys sort first,
//                         4 an entry of the history that is no record,
//                         8 Calvaro's first-open count in the keychain
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

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "analytics/reporters/MSRStoredFileBounds.h"
#include "fuzz/FuzzScratchFolder.h"
#include "fuzz/ProcessWatch.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "tests/e2e/SettledPreferences.h"
#include "tests/support/SpawnInGroup.h"
#include "tests/support/BinaryPropertyListBytes.h"
#include "tools/collector/MeasurementCollector.h"

extern char** environ;

namespace fs = std::filesystem;
using foundation::Value;

namespace {

constexpr const char* kDataRootApp = "1:530418276190:ios:7c0a9e2d4b1f6a35";  // the bundle's
constexpr const char* kDataRootBundle = "org.calvaro.Calvaro";
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
// where `absolute`. None ahead of the clock holds uploads for a while by
// itself except last_backoff, which picks from the first five only.
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
};
constexpr size_t kDataRootTimeCount = sizeof kDataRootTimes / sizeof kDataRootTimes[0];

struct DataRootDescription {
    bool binary = false, foreignFirst = false, junkEntry = false, ownItem = false;
    size_t exercises = 0;
    uint64_t foreign = 0, foreignBytes = 0, large = 0, largeBytes = 0;
    std::string prefix;
    uint64_t prefixed = 0, prefixedBytes = 0, prefixedLarge = 0;
    uint64_t suiteValues = 0, suiteBytes = 0;
    uint64_t items = 0, itemBytes = 0;
    size_t times[10] = {};
    uint64_t dictionaryKeys = 0, dictionaryBytes = 0;

    std::string describe() const {
        char text[512];
        std::snprintf(
            text, sizeof text,
            "%s preferences, %zu exercises%s, %llu foreign values of %llu bytes %s, %llu of %llu bytes, "
            "%llu under '%s' of %llu bytes and one of %llu; suites %llu of %llu; keychain %llu items "
            "of %llu bytes%s; dictionary %llu keys of %llu bytes; times",
            binary ? "binary" : "XML", exercises, junkEntry ? " and one that is no record" : "",
            (unsigned long long)foreign, (unsigned long long)foreignBytes, foreignFirst ? "first" : "last",
            (unsigned long long)large, (unsigned long long)largeBytes, (unsigned long long)prefixed,
            prefix.c_str(), (unsigned long long)prefixedBytes, (unsigned long long)prefixedLarge,
            (unsigned long long)suiteValues, (unsigned long long)suiteBytes, (unsigned long long)items,
            (unsigned long long)itemBytes, ownItem ? " and Calvaro's" : "",
            (unsigned long long)dictionaryKeys, (unsigned long long)dictionaryBytes);
        std::string out = text;
        for (size_t t : times) out += " " + std::to_string(t);
        return out;
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
    // A back-off from the future holds uploads for its interval, as one
    // taken now does: not what this target asks about.
    d.times[1] %= 5;
    // A success just now holds the next upload for its interval: one a
    // minute ahead reads as that, and is left out too.
    if (d.times[2] == 9) d.times[2] = 5;
    d.dictionaryKeys = std::min<uint64_t>(in.take(2), 20'000);
    d.dictionaryBytes = in.take(1);
    return d;
}

// ---- the files -----------------------------------------------------------------------

std::string dataRootExerciseText(size_t i) {
    return "fuzz-exercise-" + std::to_string(i);
}

// One entry of a dictionary to write: true, a text of `length` bytes of
// `fill`, or the history.
struct DataRootEntry {
    enum Kind { kTrue, kText, kHistory } kind;
    uint64_t length = 0;
    char fill = 'x';
};
using DataRootEntries = std::vector<std::pair<std::string, DataRootEntry>>;

const char* const kDataRootRecordKeys[] = {"inputParameters", "latexString", "setupParameter",
                                           "solutionSteps"};

std::string dataRootXml(const DataRootEntries& entries, const DataRootDescription& d) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
    for (const auto& [key, entry] : entries) {
        xml += "\t<key>" + key + "</key>\n";
        switch (entry.kind) {
            case DataRootEntry::kTrue:
                xml += "\t<true/>\n";
                break;
            case DataRootEntry::kText:
                xml += "\t<string>";
                xml.append(entry.length, entry.fill);
                xml += "</string>\n";
                break;
            case DataRootEntry::kHistory:
                xml += "\t<array>\n";
                if (d.junkEntry) xml += "\t\t<integer>7</integer>\n";
                // Newest first, as the history keeps them.
                for (size_t i = d.exercises; i-- > 0;)
                    xml +=
                        "\t\t<dict><key>inputParameters</key><dict><key>aTextField</key><string>3</string>"
                        "<key>bTextField</key><string>2</string></dict><key>latexString</key><string>" +
                        dataRootExerciseText(i) +
                        "</string><key>setupParameter</key><dict/><key>solutionSteps</key><array/></dict>\n";
                xml += "\t</array>\n";
                break;
        }
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
            switch (entry.kind) {
                case DataRootEntry::kTrue:
                    values.push_back(trueObject());
                    break;
                case DataRootEntry::kText:
                    values.push_back(text(std::string(entry.length, entry.fill)));
                    break;
                case DataRootEntry::kHistory: {
                    std::vector<uint64_t> records;
                    if (d.junkEntry) records.push_back(add("\x10\x07"));
                    const uint64_t inputs =
                        dictionary({text("aTextField"), text("bTextField")}, {text("3"), text("2")});
                    const uint64_t empty = dictionary({}, {});
                    const uint64_t steps = add(marker(0xA, 0));
                    for (size_t i = d.exercises; i-- > 0;) {
                        std::vector<uint64_t> recordKeys;
                        for (const char* k : kDataRootRecordKeys) recordKeys.push_back(text(k));
                        records.push_back(
                            dictionary(recordKeys, {inputs, text(dataRootExerciseText(i)), empty, steps}));
                    }
                    values.push_back(add(marker(0xA, records.size()) + refs(records)));
                    break;
                }
            }
        }
        objects_[0] = marker(0xD, keys.size()) + refs(keys) + refs(values);
        return binaryPropertyListFile(objects_, 4);
    }

  private:
    static std::string marker(uint8_t kind, uint64_t length) { return binaryPropertyListMarker(kind, length); }
    static std::string refs(const std::vector<uint64_t>& list) { return binaryPropertyListRefs(list, 4); }
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

    std::vector<std::string> objects_;
    std::map<std::string, uint64_t> texts_;
    std::optional<uint64_t> true_;
};

// The application's preferences: Calvaro's keys among the foreign ones.
std::string dataRootPreferences(const DataRootDescription& d) {
    DataRootEntries calvaro, foreign;
    for (const char* key : kDataRootConsent) calvaro.push_back({key, {DataRootEntry::kTrue}});
    calvaro.push_back({"didSeedExampleCalculation", {DataRootEntry::kTrue}});
    calvaro.push_back({"Calculations", {DataRootEntry::kHistory}});
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
    DataRootEntries all = d.foreignFirst ? foreign : calvaro;
    const DataRootEntries& rest = d.foreignFirst ? calvaro : foreign;
    all.insert(all.end(), rest.begin(), rest.end());
    return d.binary ? DataRootBinary().file(all, d) : dataRootXml(all, d);
}

std::string dataRootSuite(uint64_t values, uint64_t bytes, const std::string& extra = {}) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + extra;
    for (uint64_t i = 0; i < values; ++i)
        xml += "\t<key>foreign" + std::to_string(i) + "</key>\n\t<string>" + std::string(bytes, 's') +
               "</string>\n";
    return xml + "</dict>\n</plist>\n";
}

std::string dataRootReal(const DataRootTime& time, double now, double scale) {
    const double value = time.absolute ? time.value : (now + time.value) * scale;
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "+infinity" : "-infinity";
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// The persistent dictionary of the start made at the target's start, its
// stored times as the input picks them and foreign keys after them.
std::string dataRootDictionary(const std::string& stored, const DataRootDescription& d, double now) {
    static const std::pair<const char*, double> keys[] = {
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
    std::string xml = stored;
    const size_t close = xml.rfind("</dict>");
    if (close == std::string::npos) std::abort();
    std::string added;
    for (size_t i = 0; i < 10; ++i) {
        const std::string key = std::string("<key>/zevure/measurement/") + keys[i].first + "</key>";
        // What the first start stored under the key goes first.
        if (const size_t at = xml.find(key); at != std::string::npos) {
            const size_t end = xml.find("</", xml.find('<', at + key.size()) + 1);
            const size_t next = xml.find('>', end);
            xml.erase(at, next + 1 - at);
        }
        const DataRootTime& time = kDataRootTimes[d.times[i]];
        if (time.absent) continue;
        added += "\t" + key + "\n\t<real>" + dataRootReal(time, now, keys[i].second) + "</real>\n";
    }
    for (uint64_t i = 0; i < d.dictionaryKeys; ++i)
        added += "\t<key>foreign" + std::to_string(i) + "</key>\n\t<string>" +
                 std::string(d.dictionaryBytes, 'd') + "</string>\n";
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

std::string dataRootKeychain(const DataRootDescription& d) {
    Value::List items;
    for (uint64_t i = 0; i < d.items; ++i)
        items.push_back(
            dataRootItem("org.example.other", "item" + std::to_string(i), std::string(d.itemBytes + 1, 'k')));
    if (d.ownItem)
        items.insert(items.begin() + static_cast<std::ptrdiff_t>(d.items / 2),
                     dataRootItem(kDataRootBundle, "_pfo", "4"));
    auto xml = foundation::propertyListXml(Value(std::move(items)));
    if (!xml) std::abort();
    return *xml;
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

// `calvaro --home HOME --script SCRIPT [STOP]` with its outputs in `folder`;
// with `stop`, it is ended by SIGTERM once `stop` answers true.
DataRootRun dataRootStart(const fs::path& home, const fs::path& folder, const std::string& script,
                          const std::function<bool()>& stop = {}) {
    DataRootRun run;
    const fs::path scriptFile = folder / "script.txt";
    std::ofstream(scriptFile) << script;
    std::vector<std::string> words{dataRootExecutable().string(), "--home", home.string(), "--script",
                                   scriptFile.string()};
    const pid_t pid = calvaro::test::spawnInGroup(std::move(words), folder / "out.txt", folder / "err.txt");
    if (pid < 0) std::abort();
    const auto began = std::chrono::steady_clock::now();
    bool stopped = false;
    for (;;) {
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
fs::path dataRootDictionaryFile(const fs::path& home) {
    return dataRootMeasurementFolder(home) / "app.calvaro.analytics.measurement.plist";
}

// The collector, and the engine's files of one start that fetched its
// configuration (the first upload a second after the newest event).
struct DataRootWorld {
    tools::Collector server;
    tools::MeasurementCollector measurement{server};
    fs::path template_;

    DataRootWorld() {
        if (!server.start()) std::abort();
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
        const fs::path file = dataRootMeasurementFolder(template_ / "home") / "zevure-app-measurement.sql";
        if (sqlite3_open_v2(file.c_str(), &database, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
            sqlite3_exec(database, "DELETE FROM raw_events; DELETE FROM queue;", nullptr, nullptr, nullptr) !=
                SQLITE_OK) {
            std::fprintf(stderr, "== the first start's database: %s\n", sqlite3_errmsg(database));
            std::abort();
        }
        sqlite3_close(database);
    }
};

[[noreturn]] void dataRootFinding(const std::string& what, const DataRootDescription& d,
                                  const fs::path& folder) {
    std::fprintf(stderr, "== %s\n%s\n-- its standard error:\n%s\n", what.c_str(), d.describe().c_str(),
                 dataRootText(folder / "err.txt").c_str());
    std::abort();
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
    write(preferences, dataRootPreferences(d));
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
        write(home / "Library/Preferences" / (std::string(suite) + ".plist"),
              dataRootSuite(d.suiteValues, d.suiteBytes, extra));
    }
    write(dataRootKeychainFile(home), dataRootKeychain(d));
    fs::permissions(dataRootKeychainFile(home).parent_path(), fs::perms::owner_all,
                    fs::perm_options::replace);
    write(dataRootDictionaryFile(home),
          dataRootDictionary(dataRootText(dataRootDictionaryFile(world.template_ / "home")), d, now));

    // What the collector kept of earlier starts goes: its uploads and the
    // requests with their bodies.
    world.measurement.clear();
    world.server.clearRequests();
    const auto began = std::chrono::steady_clock::now();
    bool uploaded = false, shown = false;
    const DataRootRun run =
        dataRootStart(home, folder, std::string(kDataRootCalculate) + "snapshot shown\nwait 600\n", [&] {
            uploaded = uploaded || world.measurement.acceptedEventCount() > 0;
            shown = shown ||
                    dataRootText(folder / "out.txt").find("=== snapshot 1: shown ===") != std::string::npos;
            return (uploaded && shown) || std::chrono::steady_clock::now() - began >
                                              std::chrono::duration<double>(kDataRootUploadSeconds);
        });
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
    // What the user keeps.
    const auto live = foundation::parsePropertyList(dataRootText(preferences));
    if (!live || !live->dictionary()) dataRootFinding("the preferences file does not read", d, folder);
    for (const char* key : kDataRootConsent)
        if ((*live)[key].boolValue() != true)
            dataRootFinding(std::string("the consent mark ") + key + " is lost", d, folder);
    std::vector<bool> kept(d.exercises, false);
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
            if (i < kept.size()) kept[i] = true;
        }
    }
    if (const auto lost = std::count(kept.begin(), kept.end(), false))
        dataRootFinding(
            std::to_string(lost) + " of the " + std::to_string(d.exercises) + " exercises are lost", d,
            folder);
    if (!shown) dataRootFinding("the exercise was not shown", d, folder);
    if (!uploaded) {
        std::string uploads;
        for (const auto& upload : world.measurement.uploads()) uploads += " " + std::to_string(upload.status);
        std::string times;
        const std::string dictionary = dataRootText(dataRootDictionaryFile(home));
        for (const char* key : {"last_failed_upload", "last_backoff", "last_successful_upload"}) {
            const size_t at = dictionary.find(std::string("measurement/") + key + "<");
            const size_t open = at == std::string::npos ? at : dictionary.find("<real>", at);
            if (open != std::string::npos)
                times += std::string(key) + " " +
                         dictionary.substr(open + 6, dictionary.find("</real>", open) - open - 6) + "; ";
        }
        dataRootFinding("no event of the start was uploaded while it ran (uploads answered" + uploads +
                            "; stored " + times + ")",
                        d, folder);
    }
    if (run.status != 128 + SIGTERM)
        dataRootFinding("exit " + std::to_string(run.status) + " on SIGTERM", d, folder);

    // Not stored: a start that ends by itself says so and exits 1.
    if (fresh == 0) {
        const DataRootRun again = dataRootStart(home, folder, kDataRootCalculate);
        if (again.status != 1 || dataRootText(folder / "err.txt").empty())
            dataRootFinding("the new exercise is not stored, and a start that ends by itself exits " +
                                std::to_string(again.status),
                            d, folder);
    }
    // The start reads the count, and stores one where none is: it is there
    // after the start, in a keychain the next start can read.
    const std::string keychain = dataRootText(dataRootKeychainFile(home));
    const auto items = foundation::parsePropertyList(keychain);
    const auto itemsSize = items ? foundation::propertyListSize(*items) : foundation::PropertyListSize{};
    if (!items || itemsSize.values > kMSREngineFileBound.values ||
        itemsSize.bytes > kMSREngineFileBound.bytes)
        dataRootFinding("the keychain is past its bound after the start", d, folder);
    if (keychain.find("<string>_pfo</string>") == std::string::npos)
        dataRootFinding("Calvaro's first-open count is not in the keychain", d, folder);
    return 0;
}

#if defined(CALVARO_FUZZ_ASAN)
// Freed blocks wait in a quarantine of 16 MiB rather than 256 MiB.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}
#endif
