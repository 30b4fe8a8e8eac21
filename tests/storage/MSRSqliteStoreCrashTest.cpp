// A writer process killed at random points must leave a database that opens,
// passes the integrity check and holds exactly the transactions it committed.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRSqliteStore.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

constexpr int64_t kRowsPerTransaction = 400;
constexpr int kChildFd = 3;
constexpr const char* kChildDatabaseVariable = "CALVARO_CRASH_DATABASE";

// The writer's progress, sent whole after every step: writes this small to a
// pipe are atomic, so the reader always gets complete reports.
struct Progress {
    int64_t inserted = 0;   // last batch whose rows are all inserted
    int64_t committed = 0;  // last batch whose commit returned
};

// The writer, run as its own process by the test below; skipped otherwise.
TEST(SqliteCrashChild, WriteUntilKilled) {
    const char* path = std::getenv(kChildDatabaseVariable);
    if (!path) GTEST_SKIP() << "runs only as the writer of the crash test";
    MSRError error;
    auto store = MSRSqliteStore::create(path, &error);
    ASSERT_TRUE(store) << error.description();
    ASSERT_TRUE(store->ensureTable("events", {{"id", "INTEGER PRIMARY KEY"}, {"batch", "INTEGER NOT NULL"}},
                                   {{"payload", "BLOB"}}, {}, &error));
    Progress progress;
    auto report = [&] { (void)!write(kChildFd, &progress, sizeof progress); };
    for (int64_t batch = 1;; ++batch) {
        ASSERT_TRUE(store->performTransaction(&error, [&] {
            for (int64_t i = 0; i < kRowsPerTransaction; ++i) {
                if (!store->upsertRecord({{"batch", batch}, {"payload", MSRSqliteBlob(300, 0x42)}}, "events",
                                         nullptr))
                    return false;
            }
            progress.inserted = batch;
            report();
            return true;
        })) << error.description();
        progress.committed = batch;
        report();
    }
}

class SqliteCrashTest : public StorageTest {};

TEST_F(SqliteCrashTest, AKilledWriterLeavesExactlyTheCommittedRows) {
    std::string path = MSRSDKFilePath("crash.sql");
    // Inherited by the writers only: this process has run its writer test already.
    setenv(kChildDatabaseVariable, path.c_str(), 1);
    int roundsWithOpenTransaction = 0;
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        std::filesystem::remove(path);
        std::filesystem::remove(path + "-journal");
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        std::string filter = "--gtest_filter=SqliteCrashChild.WriteUntilKilled";
        char* arguments[] = {const_cast<char*>("storage_tests"), filter.data(), nullptr};
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            dup2(fds[1], kChildFd);
            int quiet = open("/dev/null", O_WRONLY);
            if (quiet >= 0) dup2(quiet, STDOUT_FILENO);
            execv("/proc/self/exe", arguments);
            _exit(127);
        }
        close(fds[1]);

        // Kill after a few commits: right after a commit (inside the next
        // transaction's inserts) or right after the last insert (inside the
        // commit itself).
        int64_t target = round % 3 + 1;
        bool duringCommit = round % 2 == 1;
        Progress progress;
        while (duringCommit ? progress.inserted <= target : progress.committed < target) {
            pollfd waiting{fds[0], POLLIN, 0};
            ASSERT_EQ(poll(&waiting, 1, 30000), 1) << "writer stopped reporting";
            ASSERT_EQ(read(fds[0], &progress, sizeof progress), ssize_t{sizeof progress}) << "writer exited";
        }
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        while (read(fds[0], &progress, sizeof progress) == sizeof progress) continue;
        close(fds[0]);

        // A journal left behind means the kill interrupted a transaction.
        if (std::filesystem::exists(path + "-journal")) ++roundsWithOpenTransaction;

        logger_->clear();
        MSRError error;
        auto store = MSRSqliteStore::create(path, &error);
        ASSERT_TRUE(store) << error.description();
        EXPECT_FALSE(logged(34023)) << "the database was recreated";
        EXPECT_TRUE(store->validateDatabase(nullptr));
        // Killed between the last insert and the report of its commit, the
        // batch may or may not be there; nothing else is uncertain.
        int64_t rows = store->rowCountForTable("events", nullptr).value_or(-1);
        EXPECT_TRUE(rows == progress.committed * kRowsPerTransaction ||
                    rows == progress.inserted * kRowsPerTransaction)
            << rows << " rows";
        EXPECT_EQ(store->numberForQuery(
                      "SELECT count(1) FROM (SELECT batch FROM events GROUP BY batch HAVING count(1) != ?)",
                      {kRowsPerTransaction}, nullptr),
                  MSRSqliteValue(int64_t{0}));
    }
    unsetenv(kChildDatabaseVariable);
    EXPECT_GE(roundsWithOpenTransaction, 6);
}

}  // namespace
