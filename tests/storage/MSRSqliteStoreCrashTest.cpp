// A writer process killed at random points must leave a database that opens,
// passes the integrity check and holds exactly the transactions it committed.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRSqliteStore.h"
#include "tests/storage/StorageTestSupport.h"

extern char** environ;

namespace {

constexpr int64_t kRowsPerTransaction = 400;
constexpr int kChildFd = 3;
constexpr const char* kChildDatabaseVariable = "CALVARO_CRASH_DATABASE";

void report(const char* what, int64_t batch) {
    std::string line = std::string(what) + " " + std::to_string(batch) + "\n";
    (void)!write(kChildFd, line.data(), line.size());
}

// The writer, run as its own process by the test below; skipped otherwise.
TEST(SqliteCrashChild, WriteUntilKilled) {
    const char* path = std::getenv(kChildDatabaseVariable);
    if (!path) GTEST_SKIP() << "runs only as the writer of the crash test";
    MSRError error;
    auto store = MSRSqliteStore::create(path, &error);
    ASSERT_TRUE(store) << error.description();
    ASSERT_TRUE(store->ensureTable("events", {{"id", "INTEGER PRIMARY KEY"}, {"batch", "INTEGER NOT NULL"}},
                                   {{"payload", "BLOB"}}, {}, &error));
    MSRSqliteBlob payload(300, 0x42);
    for (int64_t batch = 1;; ++batch) {
        bool committed = store->performTransaction(&error, [&] {
            for (int64_t i = 0; i < kRowsPerTransaction; ++i) {
                if (!store->upsertRecord({{"batch", batch}, {"payload", payload}}, "events", nullptr))
                    return false;
            }
            report("P", batch);
            return true;
        });
        ASSERT_TRUE(committed) << error.description();
        report("C", batch);
    }
}

// Reads the writer's "P <batch>" (inserted) and "C <batch>" (committed) lines.
struct ChildLog {
    int64_t lastPrepared = 0;
    int64_t lastCommitted = 0;
    std::string pending;  // a line cut by the read's end

    void take(const char* bytes, ssize_t size) {
        pending.append(bytes, static_cast<size_t>(size));
        size_t end = pending.rfind('\n');
        if (end == std::string::npos) return;
        std::istringstream lines(pending.substr(0, end));
        pending.erase(0, end + 1);
        std::string what;
        int64_t batch;
        while (lines >> what >> batch) (what == "P" ? lastPrepared : lastCommitted) = batch;
    }
};

class SqliteCrashTest : public StorageTest {};

TEST_F(SqliteCrashTest, AKilledWriterLeavesExactlyTheCommittedRows) {
    std::string path = MSRSDKFilePath("crash.sql");
    std::string variable = std::string(kChildDatabaseVariable) + "=" + path;
    int roundsWithOpenTransaction = 0;
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        std::filesystem::remove(path);
        std::filesystem::remove(path + "-journal");
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);

        std::vector<char*> environment;
        for (char** entry = environ; *entry; ++entry) environment.push_back(*entry);
        environment.push_back(variable.data());
        environment.push_back(nullptr);
        std::string filter = "--gtest_filter=SqliteCrashChild.WriteUntilKilled";
        char* arguments[] = {const_cast<char*>("storage_tests"), filter.data(), nullptr};

        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            dup2(fds[1], kChildFd);
            int quiet = open("/dev/null", O_WRONLY);
            if (quiet >= 0) dup2(quiet, STDOUT_FILENO);
            execve("/proc/self/exe", arguments, environment.data());
            _exit(127);
        }
        close(fds[1]);

        // Kill after a few commits: right after a commit (inside the next
        // transaction's inserts) or right after the last insert (inside the
        // commit itself).
        int64_t target = round % 3 + 1;
        bool duringCommit = round % 2 == 1;
        ChildLog log;
        char buffer[256];
        while (true) {
            pollfd waiting{fds[0], POLLIN, 0};
            ASSERT_EQ(poll(&waiting, 1, 30000), 1) << "writer stopped reporting";
            ssize_t n = read(fds[0], buffer, sizeof buffer);
            ASSERT_GT(n, 0) << "writer exited early";
            log.take(buffer, n);
            if (duringCommit ? log.lastPrepared > target : log.lastCommitted >= target) break;
        }
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) log.take(buffer, n);
        close(fds[0]);

        // A journal left behind means the kill interrupted a transaction.
        if (std::filesystem::exists(path + "-journal")) ++roundsWithOpenTransaction;

        logger_->clear();
        MSRError error;
        auto store = MSRSqliteStore::create(path, &error);
        ASSERT_TRUE(store) << error.description();
        EXPECT_FALSE(logged(34023)) << "the database was recreated";
        EXPECT_TRUE(store->validateDatabase(nullptr));
        int64_t rows = store->rowCountForTable("events", nullptr).value_or(-1);
        if (log.lastPrepared > log.lastCommitted) {
            // Killed between the last insert and the report of the commit.
            EXPECT_TRUE(rows == log.lastCommitted * kRowsPerTransaction ||
                        rows == log.lastPrepared * kRowsPerTransaction)
                << rows << " rows";
        } else {
            EXPECT_EQ(rows, log.lastCommitted * kRowsPerTransaction);
        }
        auto partial = store->numberForQuery(
            "SELECT count(1) FROM (SELECT batch FROM events GROUP BY batch HAVING count(1) != ?)",
            {kRowsPerTransaction}, nullptr);
        ASSERT_TRUE(partial);
        EXPECT_EQ(MSRSqliteInt64(*partial), 0);
    }
    EXPECT_GE(roundsWithOpenTransaction, 6);
}

}  // namespace
