// A database whose first page or write-ahead log is damaged loses no more
// than SQLite itself reads back of the same files mended as by hand, and the
// damaged files are kept beside the fresh one as they were found.

#include <sqlite3.h>

#include <cctype>
#include <fstream>
#include <iterator>

#include "analytics/storage/MSRDatabase.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

namespace fs = std::filesystem;

constexpr int kSalvageEvents = 3000;
constexpr int kSalvageBundleIndex = 41;

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
};

TEST_F(DamagedFilesSalvageTest, KeepsWhatRecoveryReadsAndTheDamagedFilesBeside) {
    // The schema as the engine makes it.
    ASSERT_TRUE(open());
    std::string schema = shell(path(), "SELECT group_concat(sql, ';') FROM sqlite_master WHERE sql IS NOT NULL");
    ASSERT_FALSE(schema.empty());
    clearFolder();

    // Events written in 30 commits by a connection that never checkpoints:
    // the main file and the log as a killed process leaves them, then the
    // main file once everything is checkpointed into it.
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
    const std::string openMain = salvageBytes(path());
    const std::string fullLog = salvageBytes(path() + "-wal");
    sqlite3_close(writer);
    const std::string checkpointed = salvageBytes(path());
    ASSERT_GT(fullLog.size(), 32u + 30 * 4120);
    const size_t frame = 24 + 4096;
    const size_t frames = (fullLog.size() - 32) / frame;

    std::string badHeader = checkpointed;
    for (size_t i = 0; i < 100; ++i) badHeader[i] = static_cast<char>(0xa5 ^ i);
    std::string badFrame = fullLog;
    for (size_t i = 0; i < 64; ++i) badFrame[32 + (frames / 2) * frame + 24 + 1000 + i] ^= 0x5a;
    const std::string cutLog = fullLog.substr(0, 32 + (frames / 2) * frame + 1000);

    struct Case {
        const char* name;
        std::string main, log;                  // the files as found (no log when empty)
        std::string referenceMain, referenceLog;  // what recovery is given to read
        bool setAside;
        bool everything;  // all events come back
    };
    const Case cases[] = {
        {"a sound log left by a killed process", openMain, fullLog, openMain, fullLog, false, true},
        {"a damaged header", badHeader, "", checkpointed, "", true, true},
        {"a log cut inside a frame", openMain, cutLog, openMain, cutLog, true, false},
        {"a bad frame in the middle of the log", openMain, badFrame, openMain, badFrame, true, false},
        {"an empty main file beside its log", "", fullLog, openMain, fullLog, true, true},
    };
    const std::string reference = (root_ / "reference.sql").string();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clearFolder();
        salvageWrite(path(), c.main);
        if (!c.log.empty()) salvageWrite(path() + "-wal", c.log);
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(reference + suffix);
        salvageWrite(reference, c.referenceMain);
        if (!c.referenceLog.empty()) salvageWrite(reference + "-wal", c.referenceLog);
        const int64_t recovered = eventsSqliteReads(reference);
        ASSERT_GT(recovered, 0);
        EXPECT_EQ(recovered == kSalvageEvents, c.everything) << recovered;

        ASSERT_TRUE(open());
        EXPECT_EQ(shell(path(), "SELECT count(*) FROM raw_events"), std::to_string(recovered) + "\n");
        EXPECT_EQ(shell(path(), "PRAGMA integrity_check"), "ok\n");
        EXPECT_EQ(fs::exists(path() + ".damaged-1"), c.setAside);
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
