// Setting a damaged database aside on a disk without room: every write of the
// road is checked before the file moves, a file that cannot be named in the
// salvage mark stays where it is, and a copy set aside while a salvage waits
// is read after the one before it, so that every stored event comes back
// once a start has room.

#include <sqlite3.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

#include "analytics/storage/MSRDatabase.h"
#include "tests/storage/FullDisk.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

namespace fs = std::filesystem;

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

class SetAsideRoomTest : public StorageTest {
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
    std::string mark() const { return path() + ".salvage"; }
    std::unique_ptr<MSRDatabase> open() const {
        return MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
    }
    static void exec(sqlite3* db, const std::string& sql) {
        char* message = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
        sqlite3_free(message);
    }
    // Raw events named `name` stored into the engine's file at `path()`, in
    // its log; `bytes` each.
    void store(const std::string& name, int first, int count, int bytes) const {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
        exec(db, "INSERT OR IGNORE INTO raw_events_metadata VALUES (1, x'0a00')");
        exec(db, "WITH RECURSIVE n(i) AS (SELECT " + std::to_string(first) + " UNION ALL SELECT i + 1 FROM n WHERE i < " +
                     std::to_string(first + count - 1) +
                     ") INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
                     "SELECT '" + name + "', i, 1, randomblob(" + std::to_string(bytes) + "), 0 FROM n");
        sqlite3_close(db);
    }
    // The file's first 100 bytes overwritten: SQLite takes it for no database.
    void damage() const {
        std::fstream file(path(), std::ios::in | std::ios::out | std::ios::binary);
        file.write(std::string(100, '\x5a').data(), 100);
    }
    // The raw events of the engine's file as "name:timestamp:hex(data)".
    std::multiset<std::string> eventRows() const {
        std::multiset<std::string> rows;
        sqlite3* db = nullptr;
        sqlite3_open_v2(path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_exec(
            db, "SELECT name || ':' || timestamp || ':' || hex(data) FROM raw_events",
            [](void* into, int, char** values, char**) {
                static_cast<std::multiset<std::string>*>(into)->insert(values[0] ? values[0] : "");
                return 0;
            },
            &rows, nullptr);
        sqlite3_close(db);
        return rows;
    }
    static std::string bytesOf(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

// A damaged file met by two starts without room, then by one with room. With
// no room at all the mark cannot be written and the file stays as it was;
// with room for the mark and not for a fresh file's tables the file moves
// and the fresh one waits for its tables. Either way the start fails, says
// so on standard error, and the start with room copies every stored event.
TEST_F(SetAsideRoomTest, ADamagedFileMetWithoutRoomLosesNoStoredEvent) {
    struct Case {
        const char* name;
        rlim_t room;
        bool moves;
        const char* said;
    } cases[] = {
        {"no room at all", 0, false, "is damaged and stays where it is: its salvage mark could not be written"},
        {"room for the mark only", 4096, true, "a later start with room goes on"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(fs::path(path()).parent_path());
        ASSERT_TRUE(open());
        store("kept", 0, 2000, 200);
        const std::multiset<std::string> kept = eventRows();
        ASSERT_EQ(kept.size(), 2000u);
        damage();
        const std::string damagedBytes = bytesOf(path());
        for (int start = 0; start < 2; ++start) {
            SetAsideFileLimit limit(c.room);
            const bool opened = open() != nullptr;
            const std::string said = limit.said();
            EXPECT_FALSE(opened);
            EXPECT_NE(said.find(c.said), std::string::npos) << start << ": " << said;
        }
        if (!c.moves) {
            EXPECT_TRUE(bytesOf(path()) == damagedBytes);
            EXPECT_FALSE(fs::exists(mark()));
        }
        EXPECT_EQ(fs::exists(path() + ".damaged-1"), c.moves);
        EXPECT_FALSE(fs::exists(path() + ".damaged-2")) << "a fresh file without its tables is no damage";

        ASSERT_TRUE(open());
        EXPECT_EQ(eventRows(), kept);
        EXPECT_FALSE(fs::exists(mark()));
    }
}

// A salvage waits for room; the start stores events of its own in the new
// file, which is damaged in turn and set aside, and the file after it too.
// Each copy joins the salvage behind the one before, none goes to the cap of
// copies kept, and the start with room copies the kept events and the
// start's own once each.
TEST_F(SetAsideRoomTest, ACopySetAsideWhileASalvageWaitsIsReadAfterIt) {
    ASSERT_TRUE(open());
    store("kept", 0, 3000, 600);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
    exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
    sqlite3_close(db);
    std::multiset<std::string> expected = eventRows();
    damage();

    FullDisk::setFileLimit(1 << 20);
    for (int start = 0; start < 4; ++start) {
        SCOPED_TRACE(start);
        testing::internal::CaptureStderr();
        const bool opened = open() != nullptr;
        const std::string said = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(opened) << said;
        EXPECT_NE(said.find("waits for room to write: "), std::string::npos) << said;
        ASSERT_TRUE(fs::exists(path() + ".damaged-" + std::to_string(start + 1)));
        // What this start stores, at rowids the kept rows have.
        store("own" + std::to_string(start), 100000, 20, 16);
        damage();
    }
    FullDisk::setFileLimit(0);
    ASSERT_TRUE(open());
    const std::multiset<std::string> rows = eventRows();
    for (int start = 0; start < 4; ++start) {
        const std::string name = "own" + std::to_string(start) + ":";
        EXPECT_EQ(std::count_if(rows.begin(), rows.end(), [&](const std::string& row) { return row.rfind(name, 0) == 0; }),
                  20)
            << name;
    }
    std::multiset<std::string> keptBack;
    for (const std::string& row : rows)
        if (row.rfind("kept:", 0) == 0) keptBack.insert(row);
    EXPECT_EQ(keptBack, expected);
    EXPECT_EQ(rows.size(), expected.size() + 80);
    EXPECT_FALSE(fs::exists(mark()));
}

}  // namespace
