// The salvage of a damaged database works in bounded commits, and one that
// has no room to commit gives nothing up: its mark and the kept copy stay,
// standard error says how many rows wait, and a later start with room goes
// on with it, the engine's rows written meanwhile kept beside the kept ones.
// Setting a file aside checks every write before the file moves: a file that
// cannot be named in the mark stays where it is, and a copy set aside while a
// salvage waits is read after the one before it.

#include <sqlite3.h>

#include <dlfcn.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>

#include "analytics/storage/MSRDatabase.h"
#include "tests/storage/FullDisk.h"
#include "tests/storage/StorageTestSupport.h"

// While set, flushing a folder fails as a disk's EIO would; files flush as
// they do.
std::atomic<bool> gFolderFlushFails{false};

extern "C" int fsync(int fd) {
    using Real = int (*)(int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "fsync"));
    struct stat status {};
    if (gFolderFlushFails && fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}

namespace {

namespace fs = std::filesystem;

// Rows each commit changed on every connection opened while it is installed:
// the largest since the last take.
struct SalvageCommitRows {
    static std::atomic<int64_t>& pending() {
        static std::atomic<int64_t> rows{0};
        return rows;
    }
    static std::atomic<int64_t>& largest() {
        static std::atomic<int64_t> rows{0};
        return rows;
    }
    static int hook(sqlite3* db, char**, const sqlite3_api_routines*) {
        sqlite3_update_hook(db, [](void*, int, const char*, const char*, sqlite3_int64) { ++pending(); }, nullptr);
        sqlite3_commit_hook(db, [](void*) {
            int64_t rows = pending().exchange(0);
            int64_t seen = largest().load();
            while (rows > seen && !largest().compare_exchange_weak(seen, rows)) {
            }
            return 0;
        }, nullptr);
        sqlite3_rollback_hook(db, [](void*) { pending() = 0; }, nullptr);
        return SQLITE_OK;
    }
    SalvageCommitRows() {
        pending() = 0;
        largest() = 0;
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(hook));
    }
    ~SalvageCommitRows() { sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(hook)); }
};

// For its life every file the process writes holds at most `bytes`, as on a
// full disk (SIGXFSZ ignored), and standard error goes into a pipe, read by
// said() (a file would be held to the limit too).
class SetAsideFileLimit {
  public:
    explicit SetAsideFileLimit(rlim_t bytes) {
        fflush(stderr);
        if (pipe(pipe_) == 0) {
            saved_ = dup(STDERR_FILENO);
            dup2(pipe_[1], STDERR_FILENO);
        }
        getrlimit(RLIMIT_FSIZE, &savedLimit_);
        previous_ = signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes, savedLimit_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~SetAsideFileLimit() { said(); }
    SetAsideFileLimit(const SetAsideFileLimit&) = delete;
    SetAsideFileLimit& operator=(const SetAsideFileLimit&) = delete;

    // Lifts the limit and answers what was said on standard error.
    std::string said() {
        if (saved_ < 0) return said_;
        setrlimit(RLIMIT_FSIZE, &savedLimit_);
        signal(SIGXFSZ, previous_);
        fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        close(pipe_[1]);
        saved_ = -1;
        char buffer[4096];
        ssize_t got;
        while ((got = read(pipe_[0], buffer, sizeof buffer)) > 0) said_.append(buffer, static_cast<size_t>(got));
        close(pipe_[0]);
        return said_;
    }

  private:
    int pipe_[2] = {-1, -1};
    int saved_ = -1;
    rlimit savedLimit_{};
    sighandler_t previous_ = SIG_DFL;
    std::string said_;
};

std::string salvageRoomBytes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class SalvageRoomTest : public StorageTest {
  protected:
    void SetUp() override {
        StorageTest::SetUp();
        FullDisk::install();
    }
    void TearDown() override {
        FullDisk::setFileLimit(0);
        StorageTest::TearDown();
    }
    std::string path() const { return MSRSDKFilePath(MSRDatabase::kDatabaseName); }
    std::unique_ptr<MSRDatabase> open() const {
        return MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
    }
    // The engine's file with `events` raw events of `bytes` bytes each,
    // written in commits of 1,000 into the main file, and its first page
    // then damaged: the next open sets it aside and salvages it. Answers the
    // events as "timestamp:hex(data)".
    std::multiset<std::string> damagedWithEvents(int events, int bytes) {
        EXPECT_TRUE(open());
        storeEvents(0, events, bytes);
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
        exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
        sqlite3_close(db);
        std::multiset<std::string> rows = eventRows();
        damageFirstPage();
        return rows;
    }
    // Raw events at timestamps `first` on, stored into the engine's file as
    // another program would, in commits of 1,000.
    void storeEvents(int first, int count, int bytes) const {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
        exec(db, "INSERT OR IGNORE INTO raw_events_metadata VALUES (1, x'0a00')");
        for (int from = first; from < first + count; from += 1000) {
            exec(db, "WITH RECURSIVE n(i) AS (SELECT " + std::to_string(from) + " UNION ALL SELECT i + 1 FROM n "
                     "WHERE i < " + std::to_string(std::min(from + 1000, first + count) - 1) +
                     ") INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
                     "SELECT 'e', i, 1, randomblob(" + std::to_string(bytes) + "), 0 FROM n");
        }
        sqlite3_close(db);
    }
    // The file's first 100 bytes overwritten: SQLite takes it for no database.
    void damageFirstPage() const {
        std::fstream file(path(), std::ios::in | std::ios::out | std::ios::binary);
        file.write(std::string(100, '\x5a').data(), 100);
    }
    std::multiset<std::string> eventRows() const {
        return selectedTexts(path(), "SELECT timestamp || ':' || hex(data) FROM raw_events");
    }
    static void exec(sqlite3* db, const std::string& sql) {
        char* message = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
        sqlite3_free(message);
    }
};

// 40,000 events of 200 bytes (8 MB, twice what a commit of the salvage may
// copy): each commit changes at most a part's rows and appends at most a
// part's bytes (and the pages around them) to the log, and every event is
// copied once.
TEST_F(SalvageRoomTest, EachCommitOfTheSalvageIsBoundedInRowsAndLogBytes) {
    const std::multiset<std::string> kept = damagedWithEvents(40000, 200);
    ASSERT_EQ(kept.size(), 40000u);
    FullDisk::takeLargestCommitFrames();
    {
        SalvageCommitRows rows;
        ASSERT_TRUE(open());
        const int64_t pageSize = std::atoll(shell(path(), "PRAGMA page_size").c_str());
        const int64_t logBytes = FullDisk::takeLargestCommitFrames() * (pageSize + 24);
        std::printf("  the largest commit of the salvage: %lld rows, %lld log bytes\n",
                    static_cast<long long>(SalvageCommitRows::largest().load()), static_cast<long long>(logBytes));
        EXPECT_GT(SalvageCommitRows::largest().load(), 0);
        // A part's rows and its progress, one row replaced.
        EXPECT_LE(SalvageCommitRows::largest().load(), 5002);
        EXPECT_GT(logBytes, 0);
        EXPECT_LE(logBytes, int64_t{6} << 20);
    }
    EXPECT_EQ(eventRows(), kept);
    EXPECT_FALSE(fs::exists(path() + ".salvage"));
}

// The disk fills up at the salvage: the fresh file opens, the copy cannot
// commit. The mark and the copy stay, standard error says how many rows
// wait, the engine writes events of its own meanwhile (at rowids the kept
// rows have), and the next start with room copies every kept event once
// beside them.
TEST_F(SalvageRoomTest, ASalvageWithoutRoomWaitsAndALaterStartCopiesEveryKeptRowOnce) {
    const std::multiset<std::string> kept = damagedWithEvents(3000, 600);
    FullDisk::setFileLimit(1 << 20);
    testing::internal::CaptureStderr();
    const bool opened = open() != nullptr;
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(opened) << said;
    const size_t at = said.find("waits for room to write: ");
    ASSERT_NE(at, std::string::npos) << said;
    EXPECT_GE(std::atoll(said.c_str() + at + 25), 3000) << said;
    EXPECT_TRUE(fs::exists(path() + ".salvage"));
    EXPECT_TRUE(fs::exists(path() + ".damaged-1"));

    // The engine's own events, written while the salvage waits.
    std::multiset<std::string> own;
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
        exec(db, "INSERT OR IGNORE INTO raw_events_metadata VALUES (1, x'0a00')");
        exec(db, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20) "
                 "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
                 "SELECT 'own', 100000 + i, 1, x'0a0b', 0 FROM n");
        sqlite3_close(db);
        own = eventRows();
        ASSERT_EQ(own.size(), 20u);
        ASSERT_EQ(shell(path(), "SELECT min(rowid) FROM raw_events"), "1\n");
    }

    FullDisk::setFileLimit(0);
    ASSERT_TRUE(open());
    std::multiset<std::string> expected = kept;
    expected.insert(own.begin(), own.end());
    EXPECT_EQ(eventRows(), expected);
    EXPECT_FALSE(fs::exists(path() + ".salvage"));
    // The kept rows come first, as they were logged first.
    EXPECT_EQ(shell(path(), "SELECT name FROM raw_events ORDER BY rowid LIMIT 1"), "e\n");
}

// What a power loss may leave at synchronous=NORMAL, where a commit is not
// waited on to reach the disk: damage inside the log's last committed
// transaction. SQLite reads the log up to the transaction before it and
// drops that one, and so does the engine, without a word: the file stays
// where it is, nothing is set aside, and the events of every earlier
// transaction are there.
TEST_F(SalvageRoomTest, DamageInsideTheLastCommittedTransactionDropsItAsSQLiteDoes) {
    ASSERT_TRUE(open());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
    exec(db, "PRAGMA wal_checkpoint(TRUNCATE); PRAGMA wal_autocheckpoint=0;"
             "INSERT INTO raw_events_metadata VALUES (1, x'0a00')");
    for (int commit = 0; commit < 10; ++commit) {
        exec(db, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100) "
                 "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
                 "SELECT 'e', " + std::to_string(commit) + ", 1, randomblob(60), 0 FROM n");
    }
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_close(db);
    const std::string log = path() + "-wal";
    const int64_t pageSize = std::atoll(shell(path(), "PRAGMA page_size").c_str());
    const auto logSize = static_cast<int64_t>(fs::file_size(log));
    {
        // The page of the last frame, the last transaction's commit frame.
        std::fstream file(log, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(logSize - pageSize + 100);
        file.write(std::string(16, '\x5a').data(), 16);
    }
    logger_->clear();
    ASSERT_TRUE(open());
    EXPECT_FALSE(fs::exists(path() + ".damaged-1"));
    EXPECT_FALSE(logged(34023) || logged(34024) || logged(34026));
    EXPECT_EQ(shell(path(), "SELECT count(*), max(timestamp) FROM raw_events"), "900|8.0\n");
}

// A damaged file met by two starts without room, then by one with room. With
// no room at all the mark cannot be written and the file stays as it was;
// with room for the mark and not for a fresh file's tables the file moves
// and the fresh one waits for its tables. Either way the start fails, says
// so on standard error, and the start with room copies every stored event.
TEST_F(SalvageRoomTest, ADamagedFileMetWithoutRoomLosesNoStoredEvent) {
    struct Case {
        const char* name;
        rlim_t room;
        bool folderFlushFails;
        bool moves;
        const char* said;
    } cases[] = {
        {"no room at all", 0, false, false, "is damaged and stays where it is: its salvage mark could not be written"},
        {"room for the mark only", 4096, false, true, "a later start with room goes on"},
        // The mark is in place but may not outlive a power loss: the file it
        // names must not move yet.
        {"the mark's folder not flushed", RLIM_INFINITY, true, false, "could not be written (flush folder: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(fs::path(path()).parent_path());
        const std::multiset<std::string> kept = damagedWithEvents(2000, 200);
        ASSERT_EQ(kept.size(), 2000u);
        const std::string damagedBytes = salvageRoomBytes(path());
        for (int start = 0; start < 2; ++start) {
            SetAsideFileLimit limit(c.room);
            gFolderFlushFails = c.folderFlushFails;
            const bool opened = open() != nullptr;
            gFolderFlushFails = false;
            const std::string said = limit.said();
            EXPECT_FALSE(opened);
            EXPECT_NE(said.find(c.said), std::string::npos) << start << ": " << said;
        }
        if (!c.moves) {
            EXPECT_TRUE(salvageRoomBytes(path()) == damagedBytes);
            // A mark in place names a copy that is not there, which the next
            // start forgets.
            EXPECT_EQ(fs::exists(path() + ".salvage"), c.folderFlushFails);
        }
        EXPECT_EQ(fs::exists(path() + ".damaged-1"), c.moves);
        EXPECT_FALSE(fs::exists(path() + ".damaged-2")) << "a fresh file without its tables is no damage";

        ASSERT_TRUE(open());
        EXPECT_EQ(eventRows(), kept);
        EXPECT_FALSE(fs::exists(path() + ".salvage"));
    }
}

// A salvage waits for room; each start stores events of its own in the new
// file, which is damaged in turn and set aside by the next start. Each copy
// joins the salvage behind the one before, none goes to the cap of copies
// kept, and the start with room copies the kept events and every start's
// own once each.
TEST_F(SalvageRoomTest, ACopySetAsideWhileASalvageWaitsIsReadAfterIt) {
    const std::multiset<std::string> kept = damagedWithEvents(3000, 600);
    FullDisk::setFileLimit(1 << 20);
    constexpr int kStarts = 4;
    for (int start = 0; start < kStarts; ++start) {
        SCOPED_TRACE(start);
        testing::internal::CaptureStderr();
        const bool opened = open() != nullptr;
        const std::string said = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(opened) << said;
        EXPECT_NE(said.find("waits for room to write: "), std::string::npos) << said;
        ASSERT_TRUE(fs::exists(path() + ".damaged-" + std::to_string(start + 1)));
        // What this start stores, at rowids the kept rows have.
        storeEvents(100000 + 100 * start, 20, 16);
        damageFirstPage();
    }
    FullDisk::setFileLimit(0);
    ASSERT_TRUE(open());
    std::multiset<std::string> keptBack;
    size_t own = 0;
    for (const std::string& row : eventRows()) {
        if (std::stod(row) < 100000) {
            keptBack.insert(row);
        } else {
            ++own;
        }
    }
    EXPECT_EQ(keptBack, kept);
    EXPECT_EQ(own, size_t{20} * kStarts);
    EXPECT_FALSE(fs::exists(path() + ".salvage"));
}

// A reset while a salvage waits for room throws the kept events away with
// the rest: the salvage does not bring them back into the fresh file.
TEST_F(SalvageRoomTest, AResetForgetsASalvageThatWaits) {
    damagedWithEvents(3000, 600);
    FullDisk::setFileLimit(1 << 20);
    testing::internal::CaptureStderr();
    std::unique_ptr<MSRDatabase> database = open();
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(database);
    ASSERT_TRUE(fs::exists(path() + ".salvage"));
    FullDisk::setFileLimit(0);
    ASSERT_TRUE(database->reset(nullptr));
    EXPECT_TRUE(eventRows().empty());
    EXPECT_FALSE(fs::exists(path() + ".salvage"));
    EXPECT_FALSE(fs::exists(path() + ".damaged-1")) << "a copy no salvage reads is the user's data all the same";
    database.reset();
    ASSERT_TRUE(open());
    EXPECT_TRUE(eventRows().empty());
}

// A part of the salvage commits, and the mark that should follow it cannot
// be written; the next part finds no room. The engine sends the rows of the
// part committed and deletes them; the next start, with room, goes on past
// that part and copies none of its rows again.
TEST_F(SalvageRoomTest, APartCommittedWhoseMarkCouldNotBeWrittenIsNotCopiedAgain) {
    const std::multiset<std::string> kept = damagedWithEvents(12000, 100);
    ASSERT_EQ(kept.size(), 12000u);
    // Set aside, and no room for the first part of the events.
    FullDisk::setFileLimit(512 << 10);
    {
        testing::internal::CaptureStderr();
        const bool opened = open() != nullptr;
        const std::string said = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(opened) << said;
        ASSERT_NE(said.find("waits for room to write: "), std::string::npos) << said;
    }
    ASSERT_TRUE(eventRows().empty());
    // Room for one part of the events, not two, and every write of the mark
    // fails: a folder with a file in it stands where its new copy is made.
    const std::string blocked = path() + ".salvage.writing";
    ASSERT_TRUE(fs::create_directory(blocked));
    std::ofstream(blocked + "/taken") << "x";
    const std::string markBefore = salvageRoomBytes(path() + ".salvage");
    FullDisk::setFileLimit(1 << 20);
    {
        testing::internal::CaptureStderr();
        const bool opened = open() != nullptr;
        const std::string said = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(opened) << said;
        ASSERT_NE(said.find("waits for room to write: "), std::string::npos) << said;
    }
    EXPECT_EQ(salvageRoomBytes(path() + ".salvage"), markBefore) << "the mark could not follow the part";
    const std::multiset<std::string> copied = eventRows();
    ASSERT_GT(copied.size(), 0u);
    ASSERT_LT(copied.size(), kept.size());
    // The progress beside the tables keeps the schema on the first page,
    // which stands in for a kept file's destroyed one.
    shell(path(), "PRAGMA wal_checkpoint(TRUNCATE)");
    EXPECT_EQ(salvageRoomBytes(path()).substr(100, 1), "\x0d") << "a leaf page of the schema";
    // Sent and deleted, as the engine does with what it stored.
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
        exec(db, "DELETE FROM raw_events");
        sqlite3_close(db);
    }
    fs::remove_all(blocked);
    FullDisk::setFileLimit(0);
    ASSERT_TRUE(open());
    std::multiset<std::string> rest = kept;
    for (const std::string& row : copied) rest.erase(rest.find(row));
    EXPECT_EQ(eventRows().size(), rest.size()) << "of " << kept.size() << ", " << copied.size() << " were sent";
    EXPECT_EQ(eventRows(), rest);
    EXPECT_FALSE(fs::exists(path() + ".salvage"));
    EXPECT_EQ(shell(path(), "SELECT count(*) FROM sqlite_master WHERE name = 'salvaged'"), "0\n");
}

// A mark of a version that kept no progress in the file: the start goes on
// where the mark says and finishes the salvage once.
TEST_F(SalvageRoomTest, ASalvageMarkedByAnEarlierVersionIsFinishedOnce) {
    const std::multiset<std::string> kept = damagedWithEvents(12000, 100);
    FullDisk::setFileLimit(1 << 20);
    {
        testing::internal::CaptureStderr();
        const bool opened = open() != nullptr;
        const std::string said = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(opened) << said;
    }
    const std::multiset<std::string> copied = eventRows();
    ASSERT_GT(copied.size(), 0u);
    ASSERT_LT(copied.size(), kept.size());
    // What an earlier version leaves: the mark, and no progress in the file.
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
        exec(db, "DROP TABLE IF EXISTS salvaged");
        sqlite3_close(db);
    }
    FullDisk::setFileLimit(0);
    ASSERT_TRUE(open());
    EXPECT_EQ(eventRows(), kept);
    EXPECT_FALSE(fs::exists(path() + ".salvage"));
}

// A wipe stopped anywhere is finished by the next one: a file it cannot
// remove (a folder with a file in it stands in its place) stops it with
// what it could not remove said, the mark kept while a copy it names is
// there; once the file can go, the wipe finishes, and nothing the kept
// file held comes back.
TEST_F(SalvageRoomTest, AWipeThatCouldNotFinishKeepsWhatLetsTheNextOneFinish) {
    struct Case {
        const char* name;
        const char* stuck;  // appended to the database's path
        bool markStays;
    } cases[] = {
        {"a copy the mark names", ".damaged-1", true},
        {"the copy's log", ".damaged-1-wal", true},
        {"the database's log", "-wal", false},
        {"nothing", nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(fs::path(path()).parent_path());
        damagedWithEvents(3000, 600);
        FullDisk::setFileLimit(1 << 20);
        testing::internal::CaptureStderr();
        ASSERT_TRUE(open());
        testing::internal::GetCapturedStderr();
        FullDisk::setFileLimit(0);
        ASSERT_TRUE(fs::exists(path() + ".salvage"));
        ASSERT_TRUE(fs::exists(path() + ".damaged-1"));
        if (c.stuck) {
            const std::string stuck = path() + c.stuck;
            fs::remove(stuck);
            ASSERT_TRUE(fs::create_directory(stuck));
            std::ofstream(stuck + "/taken") << "x";
            std::string failure;
            EXPECT_FALSE(MSRDatabase::wipeFiles(path(), &failure));
            EXPECT_NE(failure.find(stuck), std::string::npos) << failure;
            EXPECT_EQ(fs::exists(path() + ".salvage"), c.markStays);
            fs::remove_all(stuck);
        }
        EXPECT_TRUE(MSRDatabase::wipeFiles(path()));
        for (const char* gone : {"", "-wal", "-shm", ".salvage", ".damaged-1", ".damaged-1-wal"})
            EXPECT_FALSE(fs::exists(path() + gone)) << gone;
        ASSERT_TRUE(open());
        EXPECT_TRUE(eventRows().empty());
    }
}

}  // namespace
