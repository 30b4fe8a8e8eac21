// The recovery roads of the analytics database agree with SQLite's own
// reading: a transaction a kill cut is no damage, whatever it left in the
// write-ahead log, and a database SQLite opens with every committed row stays
// where it is.

#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRWriteAheadLog.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

namespace fs = std::filesystem;

std::string recoveryBytes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void recoveryWrite(const std::string& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

bool recoveryExec(sqlite3* db, const std::string& sql) {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Frames of `log` past the header that do not check out on the checksum their
// predecessor stores: what SQLite's rewriting in place leaves before a commit.
int64_t framesNotCheckingOut(const std::string& log, uint32_t pageSize) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(log.data());
    const std::optional<MSRLogHeader> header = MSRReadLogHeader(bytes);
    if (!header) return -1;
    const size_t frameSize = kMSRLogFrameHeaderSize + pageSize;
    int64_t bad = 0;
    uint32_t first = MSRBigEndian32(bytes + 24), second = MSRBigEndian32(bytes + 28);
    for (size_t offset = kMSRLogHeaderSize; offset + frameSize <= log.size(); offset += frameSize) {
        MSRLogChecksum sum{header->bigEndianWords, first, second};
        sum.add(bytes + offset, 8);
        sum.add(bytes + offset + kMSRLogFrameHeaderSize, pageSize);
        first = MSRBigEndian32(bytes + offset + 16);
        second = MSRBigEndian32(bytes + offset + 20);
        bad += sum.first != first || sum.second != second;
    }
    return bad;
}

class RecoveryRoadsTest : public StorageTest {
  protected:
    std::string path() const { return MSRSDKFilePath(MSRDatabase::kDatabaseName); }
    std::unique_ptr<MSRDatabase> open() const {
        return MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
    }
    int64_t count(const std::string& sql) const {
        const std::string out = shell(path(), sql);
        return out.empty() || !std::isdigit(static_cast<unsigned char>(out[0])) ? -1 : std::atoll(out.c_str());
    }
};

// A transaction larger than the engine's page cache, cut at several sizes
// before its commit (the files copied while it is open are what a kill
// leaves), and cut after its commit frame while SQLite mends the checksums of
// the pages it rewrote (the last commit frame's checksum chain broken where
// the rewrites are): SQLite reads every row committed before it and nothing
// of it, and the engine opens the file where it is, no copy set aside.
TEST_F(RecoveryRoadsTest, ATransactionAKillCutIsNoDamage) {
    {
        ASSERT_TRUE(open());
    }
    ASSERT_EQ(shell(path(), "INSERT INTO raw_events_metadata VALUES (1, x'0a00');"
                            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) "
                            "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
                            "SELECT 'kept', i, 1, randomblob(60), 0 FROM n"),
              "");
    const std::string checkpointed = recoveryBytes(path());
    struct Cut {
        const char* name;
        int rows;            // rows the cut transaction wrote
        bool atCommit;       // cut after its commit frame, before the checksums were mended
    };
    const Cut cuts[] = {
        {"20,000 rows written", 20000, false},
        {"60,000 rows written", 60000, false},
        {"the commit of 20,000 rows", 20000, true},
    };
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.name);
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path() + suffix);
        recoveryWrite(path(), checkpointed);
        sqlite3* writer = nullptr;
        ASSERT_EQ(sqlite3_open(path().c_str(), &writer), SQLITE_OK);
        // The engine's own settings: the log, and a page cache of 512 KiB.
        ASSERT_TRUE(recoveryExec(writer, "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; "
                                         "PRAGMA cache_size=-512; INSERT INTO purchase_transactions VALUES ('a')"));
        ASSERT_TRUE(recoveryExec(writer, "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                                         "WHERE i < " + std::to_string(cut.rows) +
                                             ") INSERT INTO raw_events (name, timestamp, metadata_fingerprint, "
                                             "data, is_realtime) SELECT 'cut', random(), 1, randomblob(60), 0 FROM "
                                             "n; UPDATE raw_events SET is_realtime = 1 WHERE name = 'cut'"));
        std::string main = recoveryBytes(path()), log = recoveryBytes(path() + "-wal");
        ASSERT_GT(framesNotCheckingOut(log, 4096), 0) << "SQLite rewrote frames in place";
        if (cut.atCommit) {
            // What the log holds when the commit frame is written and the
            // checksums not yet mended: every page as committed, the frames
            // written before the commit with the headers they were written
            // with, and those the commit appended going on from them.
            ASSERT_TRUE(recoveryExec(writer, "COMMIT"));
            std::string committed = recoveryBytes(path() + "-wal");
            const size_t frameSize = kMSRLogFrameHeaderSize + 4096;
            const size_t before = (log.size() - kMSRLogHeaderSize) / frameSize;
            const size_t frames = (committed.size() - kMSRLogHeaderSize) / frameSize;
            ASSERT_GT(frames, before);
            auto* bytes = reinterpret_cast<uint8_t*>(committed.data());
            const bool bigEndianWords = MSRReadLogHeader(bytes)->bigEndianWords;
            for (size_t f = 0; f < frames; ++f) {
                uint8_t* frame = bytes + kMSRLogHeaderSize + f * frameSize;
                if (f < before) {
                    std::copy_n(log.data() + kMSRLogHeaderSize + f * frameSize, kMSRLogFrameHeaderSize, frame);
                    continue;
                }
                MSRLogChecksum sum{bigEndianWords, MSRBigEndian32(frame - frameSize + 16),
                                   MSRBigEndian32(frame - frameSize + 20)};
                sum.add(frame, 8);
                sum.add(frame + kMSRLogFrameHeaderSize, 4096);
                for (int i = 0; i < 4; ++i) {
                    frame[16 + i] = static_cast<uint8_t>(sum.first >> (24 - 8 * i));
                    frame[20 + i] = static_cast<uint8_t>(sum.second >> (24 - 8 * i));
                }
            }
            ASSERT_NE(MSRBigEndian32(bytes + kMSRLogHeaderSize + (frames - 1) * frameSize + 4), 0u);
            log = committed;
        }
        sqlite3_db_config(writer, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_close(writer);
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path() + suffix);
        recoveryWrite(path(), main);
        recoveryWrite(path() + "-wal", log);

        const std::string reference = (root_ / "reference.sql").string();
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(reference + suffix);
        recoveryWrite(reference, main);
        recoveryWrite(reference + "-wal", log);
        EXPECT_EQ(shell(reference, "PRAGMA quick_check"), "ok\n");
        EXPECT_EQ(shell(reference, "SELECT count(*) FROM raw_events"), "2000\n") << "SQLite reads the commits only";

        EXPECT_EQ(MSRDamageOfWriteAheadLog(path()), std::nullopt);
        logger_->clear();
        ASSERT_TRUE(open());
        EXPECT_FALSE(fs::exists(path() + ".damaged-1"));
        EXPECT_FALSE(logged(34023));
        EXPECT_FALSE(logged(34026));
        EXPECT_EQ(count("SELECT count(*) FROM raw_events WHERE name = 'kept'"), 2000);
        EXPECT_EQ(count("SELECT count(*) FROM raw_events WHERE name = 'cut'"), 0);
        EXPECT_EQ(count("SELECT count(*) FROM purchase_transactions"), 1);
    }
}

}  // namespace
