// A data root where every store the engine reads at start is at its bound at
// once: each preference suite, the keychain and the persistent dictionary
// filled to the bound Calvaro states for it, the application's preferences
// to theirs, the stored configuration at its bytes bound, a snapshot of its
// bound in each snapshot table, 1,000,000 raw events and 8 queued rows of
// 60 MiB. The bounds add up to one budget: a start holds under 300 MB and
// spends under 10 s of CPU time up to a burst of 200 events stored, ends
// cleanly, and the burst is uploaded once.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <fstream>
#include <ostream>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "analytics/messages/MSRPBMessages.h"
#include "analytics/reporters/MSRStoredFileBounds.h"
#include "analytics/storage/MSRStoredBounds.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/PropertyListCharge.h"
#include "platform/security/Compression.h"
#include "tests/e2e/ProcessCpu.h"
#include "tests/e2e/BundleLookingRows.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/MeasurementDatabase.h"

namespace {

namespace fs = std::filesystem;
using foundation::PropertyListBounds;
using foundation::Value;
using tools::DriverProcess;

// What the start may hold: under AddressSanitizer its shadow and quarantine
// come on top. A start that read the stores at the readers' old bounds held
// 1.1-1.2 GB (and spent 41 s of CPU time, where one within them spends
// 1.0-1.4 s: its memory tells it).
constexpr int64_t kAtBoundPeakLimit = kUnderAddressSanitizer ? int64_t{1536} << 20 : int64_t{300} << 20;

// The application's preferences: four times the history's bound.
constexpr PropertyListBounds kAtBoundStandard{foundation::kSalvagedListBound.values * 4,
                                              foundation::kSalvagedListBound.bytes * 4};

// `items` padded with texts until its XML form, as a list `depth` levels
// deep, stands within `room` of values and bytes and at it within a text.
void atBoundFill(Value::List& items, uint64_t depth, PropertyListBounds room) {
    const uint64_t count = room.values;
    const uint64_t perItem = room.bytes / std::max<uint64_t>(count, 1);
    const uint64_t text = perItem > foundation::plistxml::stringBytes(depth, 0)
                              ? perItem - foundation::plistxml::stringBytes(depth, 0)
                              : 0;
    for (uint64_t i = 0; i < count; ++i) items.emplace_back(std::string(text, 'j'));
}

// The dictionary `kept` with "junk", a list filling what is left of `bound`.
std::string atBoundDictionary(Value::Dictionary kept, PropertyListBounds bound) {
    const auto used = foundation::propertyListSize(Value(kept));
    const uint64_t listBytes = foundation::plistxml::keyBytes(1, 4) + foundation::plistxml::containerBytes(1, false, false);
    Value::List junk;
    atBoundFill(junk, 2, {bound.values - used.values - 2, bound.bytes - used.bytes - listBytes});
    kept["junk"] = Value(std::move(junk));
    auto xml = foundation::propertyListXml(Value(kept));
    return xml ? *xml : std::string();
}

// The keychain's list of items with texts filling what is left of its bound.
std::string atBoundList(Value::List items, PropertyListBounds bound) {
    const auto used = foundation::propertyListSize(Value(items));
    atBoundFill(items, 1, {bound.values - used.values, bound.bytes - used.bytes});
    auto xml = foundation::propertyListXml(Value(items));
    return xml ? *xml : std::string();
}

// The dictionary `kept` with "junk", a list of texts filling what is left
// of the readers' own bounds, written as the writer lays it out but without
// building it (a million values would take the writer minutes under the
// sanitizers): the files another program could leave at a start.
std::string atReadersBoundDictionary(const Value::Dictionary& kept) {
    const PropertyListBounds bound{foundation::kMaximumPropertyListValues, foundation::kMaximumPropertyListBytes};
    auto xml = foundation::propertyListXml(Value(kept));
    if (!xml) return {};
    // An empty dictionary is written as one tag.
    if (const size_t empty = xml->find("<dict/>"); empty != std::string::npos) xml->replace(empty, 7, "<dict>\n</dict>");
    const size_t close = xml->rfind("</dict>");
    if (close == std::string::npos) return {};
    const std::string head = "\t<key>junk</key>\n\t<array>\n", tail = "\t</array>\n";
    const uint64_t count = bound.values - foundation::propertyListSize(Value(kept)).values - 2;
    const uint64_t room = bound.bytes - xml->size() - head.size() - tail.size();
    const std::string item = "\t\t<string>" + std::string(room / count - 20, 'j') + "</string>\n";
    std::string junk = head;
    junk.reserve(head.size() + count * item.size() + tail.size());
    for (uint64_t i = 0; i < count; ++i) junk += item;
    junk += tail;
    xml->insert(close, junk);
    return *xml;
}

std::optional<Value> atBoundRead(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return foundation::parsePropertyList(bytes);
}

// A queued row that inflates to 60 MiB and is no bundle: a bundle's first
// field, a text that claims more than the zeros behind it hold, so that it
// shows only once inflated whole. Compressed once per binary.
const std::vector<uint8_t>& everyStoreNoBundleRow() {
    static const std::vector<uint8_t> row = [] {
        std::vector<uint8_t> bytes{0x42, 0x80, 0x80, 0x80, 0x20};
        bytes.resize(size_t{60} << 20, 0);
        return *security::gzip(bytes);
    }();
    return row;
}

class EveryStoreAtItsBoundProcessTest : public DriverTest {
  protected:
    EveryStoreAtItsBoundProcessTest() : DriverTest("every-store-at-bound") {}

    // Every property-list file the start reads, at its owner's bound, or
    // with `readersBounds` at the bounds its readers take at most.
    void fillPropertyLists(bool readersBounds) {
        const fs::path preferences = root.path() / "Library/Preferences";
        const std::vector<std::string> suites{"MSRAnalyticsSuiteName", "MSRExperimentSuiteName",
                                              "app.calvaro.analytics.monitor",
                                              "app.calvaro.analytics.tcf.userdefaults"};
        // The application's own preferences, which the engine reads too
        // (the consent platform's values, campaign links).
        const fs::path standard = preferences / "org.calvaro.Calvaro.plist";
        if (!fs::exists(standard))
            std::ofstream(standard) << *foundation::propertyListXml(Value(Value::Dictionary{{"isDsgvoAccepted", true}}));
        std::vector<std::pair<fs::path, PropertyListBounds>> files;
        for (const auto& suite : suites) files.emplace_back(preferences / (suite + ".plist"), kMSREngineFileBound);
        for (const auto& entry : fs::directory_iterator(preferences)) {
            const std::string name = entry.path().stem().string();
            if (entry.path().extension() == ".plist" && std::find(suites.begin(), suites.end(), name) == suites.end())
                files.emplace_back(entry.path(), kAtBoundStandard);
        }
        files.emplace_back(measurementFolder(root.path()) / "app.calvaro.analytics.measurement.plist",
                           kMSREngineFileBound);
        for (const auto& [file, bound] : files) {
            auto read = atBoundRead(file);
            const Value::Dictionary kept = read && read->dictionary() ? *read->dictionary() : Value::Dictionary{};
            const std::string xml = readersBounds ? atReadersBoundDictionary(kept) : atBoundDictionary(kept, bound);
            ASSERT_FALSE(xml.empty()) << file;
            std::ofstream(file, std::ios::binary | std::ios::trunc) << xml;
            std::printf("  %s: %zu bytes\n", file.filename().c_str(), xml.size());
        }
        const fs::path keychain = keychainFolder() / "keychain.plist";
        auto items = atBoundRead(keychain);
        ASSERT_TRUE(items && items->list()) << keychain;
        const std::string xml = atBoundList(*items->list(), kMSREngineFileBound);
        ASSERT_FALSE(xml.empty());
        std::ofstream(keychain, std::ios::binary | std::ios::trunc) << xml;
    }

    // The configuration at its bytes bound (what the engine's own would be,
    // padded by a field it does not know), a snapshot of a table's bound in
    // each table, 1,000,000 raw events and 8 queued rows of 60 MiB: with
    // `unreadable`, raw events that cannot be read and rows that inflate to
    // 60 MiB and are no bundle, else readable events and texts.
    void fillDatabases(bool unreadable, bool bombs = false, bool bundleLooking = false) {
        std::vector<uint8_t> configuration = *tools::MeasurementCollector::makeConfig(
            kDriverApp, 1, {{"measurement.upload.initial_upload_delay_time", "1000"}}).protoBuffer();
        // Field 1000, length-delimited, of four length bytes.
        const size_t pad = MSRStoredMost::kConfigurationBytes - configuration.size() - 6;
        configuration.insert(configuration.end(), {0xC2, 0x3E, static_cast<uint8_t>((pad & 0x7F) | 0x80),
                                                   static_cast<uint8_t>(((pad >> 7) & 0x7F) | 0x80),
                                                   static_cast<uint8_t>(((pad >> 14) & 0x7F) | 0x80),
                                                   static_cast<uint8_t>(pad >> 21)});
        configuration.resize(MSRStoredMost::kConfigurationBytes, 'c');
        runSql(measurementDatabase(root.path()),
                   "UPDATE app_metadata SET remote_config_data = ?, remote_config_timestamp = " +
                       std::to_string(dispatch::Clock::now()),
                   &configuration);

        // A snapshot whose library name pads it to the table's bound: its key
        // and a length of four varint bytes before the name.
        const int64_t name = static_cast<int64_t>(MSRStoredMost::kSnapshotTableBytes) - 5;
        char hex[9];
        std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", static_cast<unsigned>((name & 0x7f) | 0x80),
                      static_cast<unsigned>(((name >> 7) & 0x7f) | 0x80),
                      static_cast<unsigned>(((name >> 14) & 0x7f) | 0x80), static_cast<unsigned>(name >> 21));
        const fs::path experiments = measurementFolder(root.path()) / "zevure_experimentation_database.sql";
        for (const char* table : {"pending_snapshot_table", "activated_snapshot_table", "launched_snapshot_table"}) {
            runSql(experiments, std::string("INSERT INTO ") + table +
                                        " (sdk_name, snapshotProto, timestamp, manually_activated) SELECT 'junk', "
                                        "CAST(x'0a" + hex + "' || printf('%.*c', " + std::to_string(name) +
                                        ", 's') AS BLOB), " + std::to_string(dispatch::Clock::now()) + ", 1");
        }

        const fs::path database = measurementDatabase(root.path());
        const int64_t fingerprint =
            storedCount(root.path(), "SELECT metadata_fingerprint FROM raw_events_metadata LIMIT 1");
        runSql(database,
                   "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                       std::to_string(MSRStoredMost::kRawEventRows) +
                       ") INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
                       "SELECT 'junk', " + std::to_string(dispatch::Clock::now()) + ", " +
                       std::to_string(fingerprint) + ", " + (unreadable ? "x'ff'" : "x'0a090a025f6f1203617070'") +
                       ", 0 FROM n");
        if (!unreadable) {
            runSql(database,
                   "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 8) "
                   "INSERT INTO queue (rowid, bundle_end_timestamp, data, is_realtime, retry_count) "
                   "SELECT i - 10, " + std::to_string(dispatch::Clock::now()) + ", CAST(zeroblob(62914560) AS TEXT), 0, 0 FROM n");
            return;
        }
        // Rows that inflate to 60 MiB and are no bundle.
        const std::vector<uint8_t>& row = everyStoreNoBundleRow();
        runSql(database,
               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 8) "
               "INSERT INTO queue (rowid, bundle_end_timestamp, data, is_realtime, retry_count) "
               "SELECT i - 10, " + std::to_string(dispatch::Clock::now()) + ", ?, 0, 0 FROM n",
               &row);
        if (bundleLooking) {
            // Ahead of them, 100 rows of each shape that begins as a bundle.
            int first = -1000;
            for (const auto shape : {BundleLookingShape::kOneField, BundleLookingShape::kUnknownField,
                                     BundleLookingShape::kSmallEventsThenZeros}) {
                runSql(database,
                       "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100) "
                       "INSERT INTO queue (rowid, bundle_end_timestamp, data, is_realtime, retry_count) "
                       "SELECT i + " + std::to_string(first) + ", " + std::to_string(dispatch::Clock::now()) +
                           ", ?, 0, 0 FROM n",
                       &bundleLookingRow(shape));
                first += 100;
            }
        }
        if (!bombs) return;
        // Ahead of them, 300 rows of 63 MiB of `0a 00` and 300 of 65 MiB of
        // zeros, 64-66 KB each as stored.
        for (const auto& [bomb, first] : {std::pair{&gzippedRepeat({0x0a, 0x00}, size_t{63} << 20), -1000},
                                          std::pair{&gzippedRepeat({0x00}, size_t{65} << 20), -700}}) {
            runSql(database,
                   "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
                   "INSERT INTO queue (rowid, bundle_end_timestamp, data, is_realtime, retry_count) "
                   "SELECT i + " + std::to_string(first) + ", " + std::to_string(dispatch::Clock::now()) +
                       ", ?, 0, 0 FROM n",
                   bomb);
        }
    }
};

// Each store at its bound, or the property lists at the readers' own
// bounds, 64 MiB and 1,048,576 values each, where a start once held
// 1.1-1.2 GB: the start stays within its budget and its burst arrives once.
// Or each store at its bound with raw events that cannot be read and queued
// rows that inflate to 60 MiB and are no bundle, where a start once spent
// 35 s and exited 1: the whole start, the burst uploaded, inflates those
// rows once and little else. With 300 queued rows of 63 MiB of `0a 00` and
// 300 of 65 MiB of zeros ahead of those, where a start once spent 34.5 s and
// exited 1: the same, each of those told from its first inflated bytes.
struct EveryStoreRow {
    const char* name;
    bool readersBounds;
    bool unreadable;
    bool bombs = false;
    bool bundleLooking = false;
};

void PrintTo(const EveryStoreRow& row, std::ostream* out) { *out << row.name; }

class EveryStoreAtItsBoundRows : public EveryStoreAtItsBoundProcessTest,
                                 public testing::WithParamInterface<EveryStoreRow> {};

INSTANTIATE_TEST_SUITE_P(Bounds, EveryStoreAtItsBoundRows,
                         testing::Values(EveryStoreRow{"OwnersBounds", false, false},
                                         EveryStoreRow{"ReadersBounds", true, false},
                                         EveryStoreRow{"OwnersBoundsUnreadableRows", false, true},
                                         EveryStoreRow{"OwnersBoundsUnreadableRowsAndBombs", false, true, true},
                                         EveryStoreRow{"OwnersBoundsUnreadableRowsAndBundleLookingRows", false, true,
                                                       false, true}),
                         [](const testing::TestParamInfo<EveryStoreRow>& info) { return std::string(info.param.name); });

// What the whole run may inflate: the eight rows that are no bundle once
// each, to a bundle's bound at most, and two bundles' bounds beside them for
// the backlog's and the burst's own bundles, however often their uploads are
// tried. A pass that inflated the bombs whole (38 GiB), or the eight rows
// again at the next upload, passes it.
constexpr int64_t kEveryStoreInflatedBound = 10 * static_cast<int64_t>(MSRStoredMost::kBundleBytes);

TEST_P(EveryStoreAtItsBoundRows, AStartStaysWithinItsBudgetAndItsEventsArrive) {
    logAndEnd(1, 3);
    fillPropertyLists(GetParam().readersBounds);
    fillDatabases(GetParam().unreadable, GetParam().bombs, GetParam().bundleLooking);
    if (HasFatalFailure()) return;

    auto ours = [](const tools::CollectedEvent& event) {
        const auto n = event.intParam("n");
        return event.name == "e2e_event" && n && *n >= 100 && *n < 300;
    };
    DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--first", "100", "--count", "200"}));
    // The waits count the driver's own time: they only catch a hang.
    ASSERT_TRUE(waitOnDriver(driver, 480, [&] { return driver.handledCount() >= 200; })) << consoleTail();
    // The start: every store read (or dropped) and the burst stored.
    const double started = cpuSecondsOf(driver.pid());
    const int64_t startPeak = peakResidentBytes(driver.pid());
    EXPECT_TRUE(waitOnDriver(driver, 480, [&] { return acceptedCount(measurement.uploads(), ours) >= 200; }))
        << consoleTail();
    const double cpu = cpuSecondsOf(driver.pid());
    const int64_t peak = endWithinPeak(driver, kAtBoundPeakLimit);
    const int64_t inflated = driver.inflatedAtEnd().value_or(-1);
    std::printf("  every store at its bound: the burst stored at %lld MiB and %.2f s of CPU time; uploaded behind "
                "the backlog at %lld MiB and %.2f s, %.1f MiB inflated\n",
                static_cast<long long>(startPeak >> 20), started, static_cast<long long>(peak >> 20), cpu,
                static_cast<double>(inflated) / (1 << 20));
    // What cannot be read costs what it holds, once.
    EXPECT_GE(inflated, 0) << "the driver did not say what it inflated";
    EXPECT_LE(inflated, kEveryStoreInflatedBound) << consoleTail();
    if (GetParam().unreadable) {
        EXPECT_EQ(storedCount(root.path(), "SELECT count(*) FROM queue WHERE rowid < 0"), 0);
        // The rows that cannot be read are said in a line per read, not one each.
        EXPECT_GE(consoleLinesWith(12071), 1u);
        EXPECT_LE(consoleLinesWith(12071), 20u);
    }
    // Rows that begin as a bundle cost each the bytes that show they are
    // none, as each pass says of its first.
    if (GetParam().bundleLooking) {
        const auto costs = bundleLookingRowCosts(root.path() / "console.log");
        EXPECT_GE(costs.size(), 1u);
        for (const auto& cost : costs) {
            EXPECT_LE(cost.value_or(UINT64_MAX), uint64_t{512} << 10) << "a drop said without its cost, or past it";
        }
    }
    expectEachAcceptedOnce(ours, 200);
    // The persistent dictionary at its bound took the engine's changes.
    EXPECT_EQ(consoleLinesWith(43007), 0u) << consoleTail();
}

}  // namespace
