// A database whose first page or write-ahead log is damaged loses no more
// than SQLite itself reads back of the same files mended as by hand, and the
// damaged files are kept beside the fresh one as they were found.

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRWriteAheadLog.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

namespace fs = std::filesystem;

constexpr int kSalvageEvents = 3000;
constexpr int kSalvageBundleIndex = 41;
constexpr const char* kSalvageEventRows = "SELECT timestamp || ':' || hex(data) FROM raw_events";

std::string salvageBytes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void salvageWrite(const std::string& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

bool salvageExec(sqlite3* db, const std::string& sql) {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// The waiting events SQLite itself reads out of `file` and its log, through
// the shell. (Its `.recover` would say the same of these files, whose pages
// are sound; Debian's shell is built without the page table `.recover` needs.)
int64_t eventsSqliteReads(const std::string& file) {
    const std::string count = shell(file, "SELECT count(*) FROM raw_events");
    return count.empty() || !std::isdigit(static_cast<unsigned char>(count[0])) ? -1 : std::atoll(count.c_str());
}

class DamagedFilesSalvageTest : public StorageTest {
  protected:
    std::string path() const { return MSRSDKFilePath(MSRDatabase::kDatabaseName); }
    std::unique_ptr<MSRDatabase> open() const {
        return MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
    }
    void clearFolder() const {
        for (const auto& entry : fs::directory_iterator(fs::path(path()).parent_path())) fs::remove(entry.path());
    }
    // The schema as the engine makes it.
    std::string engineSchema() const {
        EXPECT_TRUE(open());
        return shell(path(), "SELECT group_concat(sql, ';') FROM sqlite_master WHERE sql IS NOT NULL");
    }
    // kSalvageEvents events written in 30 commits by a connection with
    // `schema` that never checkpoints. Hands over the main file and the log as
    // a killed process leaves them and, when asked, every event as
    // "timestamp:data" in hex, before the connection closes.
    void writeEventsToLog(const std::string& schema, std::string* openMain, std::string* log,
                          std::set<std::string>* events = nullptr) const {
        sqlite3* writer = nullptr;
        ASSERT_EQ(sqlite3_open(path().c_str(), &writer), SQLITE_OK);
        ASSERT_TRUE(salvageExec(writer, "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;" + schema));
        ASSERT_TRUE(salvageExec(writer,
                                "INSERT INTO raw_events_metadata VALUES (1, x'0a00');"
                                "INSERT INTO app_metadata (rowid, last_bundle_index, last_bundle_end_timestamp) "
                                "VALUES (1, " + std::to_string(kSalvageBundleIndex) + ", 0)"));
        for (int commit = 0; commit < kSalvageEvents / 100; ++commit) {
            ASSERT_TRUE(salvageExec(writer, "WITH RECURSIVE n(i) AS (SELECT " + std::to_string(commit * 100) +
                                                " UNION ALL SELECT i + 1 FROM n WHERE i < " +
                                                std::to_string(commit * 100 + 99) +
                                                ") INSERT INTO raw_events (name, timestamp, metadata_fingerprint, "
                                                "data, is_realtime) SELECT 'e', i, 1, randomblob(60), 0 FROM n"));
        }
        *openMain = salvageBytes(path());
        *log = salvageBytes(path() + "-wal");
        if (events) {
            auto add = [](void* into, int, char** values, char**) {
                static_cast<std::set<std::string>*>(into)->insert(values[0]);
                return 0;
            };
            ASSERT_EQ(sqlite3_exec(writer, kSalvageEventRows, add, events, nullptr), SQLITE_OK);
        }
        sqlite3_close(writer);
    }
};

TEST_F(DamagedFilesSalvageTest, KeepsWhatRecoveryReadsAndTheDamagedFilesBeside) {
    const std::string schema = engineSchema();
    ASSERT_FALSE(schema.empty());
    // The same events in a file the engine made, checkpointed.
    EXPECT_EQ(shell(path(), "INSERT INTO raw_events_metadata VALUES (1, x'0a00');"
                            "UPDATE app_metadata SET last_bundle_index = " + std::to_string(kSalvageBundleIndex) + ";"
                            "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                            std::to_string(kSalvageEvents - 1) +
                            ") INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
                            "SELECT 'e', i, 1, randomblob(60), 0 FROM n"),
              "");
    const std::string engineMade = salvageBytes(path());
    clearFolder();

    // The main file and the log as a killed process leaves them, then the
    // main file once everything is checkpointed into it.
    std::string openMain, fullLog;
    ASSERT_NO_FATAL_FAILURE(writeEventsToLog(schema, &openMain, &fullLog));
    const std::string checkpointed = salvageBytes(path());
    ASSERT_GT(fullLog.size(), 32u + 30 * 4120);
    const size_t frame = 24 + 4096;
    const size_t frames = (fullLog.size() - 32) / frame;

    std::string badHeader = checkpointed;
    for (size_t i = 0; i < 100; ++i) badHeader[i] = static_cast<char>(0xa5 ^ i);
    // The whole first page, which holds the schema, of a file the engine
    // made destroyed: a fresh file of the engine keeps every table at the
    // same page, and its first page reads the rest.
    std::string badFirstPage = engineMade;
    for (size_t i = 0; i < 4096; ++i) badFirstPage[i] = static_cast<char>((i * 131 + 7) ^ 0x3c);
    std::string badFrame = fullLog;
    for (size_t i = 0; i < 64; ++i) badFrame[32 + (frames / 2) * frame + 24 + 1000 + i] ^= 0x5a;
    const std::string cutLog = fullLog.substr(0, 32 + (frames / 2) * frame + 1000);
    // A kill between the two writes of a frame: its header (a commit of page
    // 2, this log's salts) without its page.
    std::string tornHeader("\0\0\0\2\0\0\0\x20", 8);
    tornHeader += fullLog.substr(16, 8) + std::string(8, '\x77');
    const std::string tornLog = fullLog + tornHeader;
    std::string badLogHeader = fullLog;
    for (size_t i = 0; i < 32; ++i) badLogHeader[i] = static_cast<char>(0x3c ^ (i * 7));

    struct Case {
        const char* name;
        std::string main, log;                  // the files as found (no log when empty)
        std::string referenceMain, referenceLog;  // what recovery is given to read
        bool setAside;
        bool everything;  // all events come back
        // Events of the reference that may be missing: those on the pages of
        // frames that do not check out.
        int64_t lostAtMost = 0;
    };
    // Every frame of a damaged log that checks out on its own is read: SQLite
    // stops at the first bad frame, and drops a log whose header is damaged.
    const int64_t rowsOfTwoPages = 2 * 4096 / 80;
    const Case cases[] = {
        {"a sound log left by a killed process", openMain, fullLog, openMain, fullLog, false, true},
        {"a damaged header", badHeader, "", checkpointed, "", true, true},
        {"a destroyed first page", badFirstPage, "", engineMade, "", true, true},
        {"a log cut inside a frame", openMain, cutLog, openMain, cutLog, false, false},
        {"a frame header without its page after the last commit", openMain, tornLog, openMain, tornLog, false,
         true},
        {"a bad frame in the middle of the log", openMain, badFrame, openMain, fullLog, true, true, rowsOfTwoPages},
        {"a log whose header is damaged", openMain, badLogHeader, openMain, fullLog, true, true, rowsOfTwoPages},
        {"an empty main file beside its log", "", fullLog, openMain, fullLog, true, true},
    };
    const std::string reference = (root_ / "reference.sql").string();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clearFolder();
        logger_->clear();
        salvageWrite(path(), c.main);
        if (!c.log.empty()) salvageWrite(path() + "-wal", c.log);
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(reference + suffix);
        salvageWrite(reference, c.referenceMain);
        if (!c.referenceLog.empty()) salvageWrite(reference + "-wal", c.referenceLog);
        const int64_t recovered = eventsSqliteReads(reference);
        ASSERT_GT(recovered, 0);
        EXPECT_EQ(recovered == kSalvageEvents, c.everything) << recovered;

        ASSERT_TRUE(open());
        const int64_t salvaged = eventsSqliteReads(path());
        EXPECT_LE(salvaged, recovered);
        EXPECT_GE(salvaged, recovered - c.lostAtMost);
        EXPECT_EQ(shell(path(), "PRAGMA integrity_check"), "ok\n");
        EXPECT_EQ(fs::exists(path() + ".damaged-1"), c.setAside);
        EXPECT_EQ(logged(34026), c.setAside && !c.log.empty()) << "the log set aside is named on the console";
        if (!c.setAside) continue;
        EXPECT_TRUE(salvageBytes(path() + ".damaged-1") == c.main);
        EXPECT_EQ(fs::exists(path() + ".damaged-1-wal"), !c.log.empty());
        if (!c.log.empty()) {
            EXPECT_TRUE(salvageBytes(path() + ".damaged-1-wal") == c.log);
        }
        EXPECT_FALSE(fs::exists(path() + ".damaged-1.reading")) << "the scratch copy is gone";
        // New bundles go on numbering after the kept file's.
        EXPECT_EQ(shell(path(), "SELECT last_bundle_index FROM app_metadata"),
                  std::to_string(kSalvageBundleIndex) + "\n");
    }
}

// A frame of the log that does not check out is left out of a salvage even
// where it holds the last version of its page: the page's earlier version
// stands in, and an event it held is lost rather than carried with other bytes.
TEST_F(DamagedFilesSalvageTest, AFrameThatDoesNotCheckOutNeverReachesTheSalvage) {
    const std::string schema = engineSchema();
    ASSERT_FALSE(schema.empty());
    clearFolder();
    std::string openMain, log;
    std::set<std::string> written;
    ASSERT_NO_FATAL_FAILURE(writeEventsToLog(schema, &openMain, &log, &written));
    ASSERT_EQ(written.size(), static_cast<size_t>(kSalvageEvents));
    std::vector<uint8_t> bytes(log.begin(), log.end());
    const std::string logCopy = (root_ / "frames.sql-wal").string();
    salvageWrite(logCopy, log);
    std::optional<MSRLogFrames> frames = MSRReadLogFrames(logCopy, 4096);
    ASSERT_TRUE(frames);

    // One byte inside an event's data, on a page that no later frame writes,
    // before the last transaction (whose damage would read as a torn end).
    auto commits = [&](size_t f) { return MSRBigEndian32(bytes.data() + frames->frames[f].pageOffset - 20) != 0; };
    size_t beforeLast = frames->frames.size() - 1;
    while (beforeLast > 0 && !commits(--beforeLast)) continue;
    std::optional<size_t> flipped;
    for (size_t f = beforeLast + 1; f-- > 0 && !flipped;) {
        const MSRLogFrames::Frame& frame = frames->frames[f];
        bool rewritten = false;
        for (size_t later = f + 1; later < frames->frames.size(); ++later)
            rewritten = rewritten || frames->frames[later].pageNumber == frame.pageNumber;
        if (rewritten) continue;
        const auto page = bytes.begin() + static_cast<std::ptrdiff_t>(frame.pageOffset);
        for (const std::string& event : written) {
            const std::string hex = event.substr(event.find(':') + 1);
            std::vector<uint8_t> data;
            for (size_t i = 0; i + 1 < hex.size(); i += 2) data.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
            auto found = std::search(page, page + frames->pageSize, data.begin(), data.end());
            if (found == page + frames->pageSize) continue;
            flipped = static_cast<size_t>(found - bytes.begin()) + data.size() / 2;
            break;
        }
    }
    ASSERT_TRUE(flipped);
    log[*flipped] ^= 0x01;
    salvageWrite(path(), openMain);
    salvageWrite(path() + "-wal", log);

    ASSERT_TRUE(open());
    ASSERT_TRUE(fs::exists(path() + ".damaged-1"));
    const std::string salvaged = shell(path(), kSalvageEventRows);
    std::istringstream lines(salvaged);
    size_t kept = 0;
    for (std::string event; std::getline(lines, event); ++kept)
        EXPECT_TRUE(written.count(event)) << "an event with other bytes: " << event;
    const size_t rowsOfTwoPages = 2 * 4096 / 80;
    EXPECT_GE(kept, written.size() - rowsOfTwoPages);
}

// A salvage keeps every table, not only what waits to be sent: without the
// purchase fingerprints a purchase is reported twice, without the aggregates,
// audience values and conditional properties they start from nothing.
TEST_F(DamagedFilesSalvageTest, ASalvageCarriesEveryTableTheEngineKeeps) {
    {
        auto database = open();
        ASSERT_TRUE(database);
        ASSERT_TRUE(database->createEventsSnapshotTable(nullptr));
    }
    const char* const rows =
        "UPDATE app_metadata SET last_bundle_index = 7, day = 20000, daily_events_count = 12;"
        "INSERT INTO stored_config VALUES (x'0a0b');"
        "INSERT INTO raw_events_metadata VALUES (5, x'0a00');"
        "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data) VALUES ('e', 1.5, 5, x'01');"
        "INSERT INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp) "
        "VALUES ('level_up', 9, 2, 3.0);"
        "INSERT INTO events_snapshot (name, lifetime_count, current_bundle_count, last_fire_timestamp) "
        "VALUES ('level_up', 4, 0, 2.0);"
        "INSERT INTO user_attributes (name, set_timestamp, value) VALUES ('_fot', 1.0, 3600000);"
        "INSERT INTO queue (data, bundle_end_timestamp) VALUES (x'1f8b', 2.0);"
        "INSERT INTO event_filters VALUES (1, 2, 'level_up', x'08', 0);"
        "INSERT INTO property_filters VALUES (1, 3, 'tier', x'08', 1);"
        "INSERT INTO audience_filter_values VALUES (1, x'0a', x'0b');"
        "INSERT INTO purchase_transactions VALUES ('receipt-1');"
        "INSERT INTO subscriptions VALUES ('sub-1');"
        "INSERT INTO conditional_properties VALUES ('tier', 'app', 'gold', 1.0, 1, 60.0, 2.0, 3600.0, "
        "'level_up', NULL, x'0c', NULL);"
        "INSERT INTO main_event_params VALUES (77, 2, x'0d');";
    ASSERT_EQ(shell(path(), rows), "");
    const std::string tables = shell(path(), "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name");
    auto dump = [&] {
        std::string all;
        std::istringstream names(tables);
        for (std::string table; std::getline(names, table);)
            all += table + ": " + shell(path(), "SELECT * FROM " + table + " ORDER BY rowid");
        return all;
    };
    const std::string before = dump();
    ASSERT_NE(before.find("events_snapshot: level_up|4"), std::string::npos) << before;

    std::string damaged = salvageBytes(path());
    for (size_t i = 0; i < 100; ++i) damaged[i] = static_cast<char>(0xa5 ^ i);
    salvageWrite(path(), damaged);
    ASSERT_TRUE(open());
    ASSERT_TRUE(fs::exists(path() + ".damaged-1"));
    EXPECT_EQ(dump(), before);
}

}  // namespace

namespace {

// The orderly end: writes still grouped are committed, and closing moves the
// log into the main file, so that the main file alone holds every event.
TEST_F(DamagedFilesSalvageTest, TheEndCommitsAndCheckpointsEveryConnection) {
    auto database = open();
    ASSERT_TRUE(database);
    MSRPBMeasurementBundle metadata;
    MSRPBSetString(metadata, 14, "app");
    int64_t fingerprint = 0;
    ASSERT_TRUE(database->insertIfNotExistsRawEventMetadata(*metadata.protoBuffer(), nullptr, &fingerprint));
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(database->performGroupedWrite([&] {
            MSREvent event = *MSREvent::initWithOrigin("app", false, "level_up", 1000.0 + i, 0, {});
            return database->insertRawEvent(event, fingerprint, false, nullptr);
        }));
    }
    ASSERT_TRUE(database->hasPendingWrites());
    EXPECT_GE(MSRSqliteStore::closeAllDatabases(), 1u);
    EXPECT_FALSE(database->hasPendingWrites());
    EXPECT_FALSE(fs::exists(path() + "-wal"));
    const std::string onlyTheMainFile = (root_ / "main-only.sql").string();
    fs::copy_file(path(), onlyTheMainFile);
    EXPECT_EQ(shell(onlyTheMainFile, "SELECT count(*) FROM raw_events"), "50\n");
    EXPECT_EQ(MSRSqliteStore::closeAllDatabases(), 0u) << "nothing is left open";
}

}  // namespace
