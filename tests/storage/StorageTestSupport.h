#pragma once

// A fresh data root per test, a monitor whose reports the test can read, a
// console sink, and a manual executor so that every queue runs in virtual time.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "analytics/support/MSRMemoryPreferenceStore.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRSqliteStore.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/foundation/FileSystem.h"
#include "tests/storage/StoredEventBytes.h"
#include "tests/support/SharedState.h"
#include "tests/support/TemporaryDataRoot.h"

// Records the codes of everything logged; also used for console lines.
class CapturingLogger : public MSRLogging {
  public:
    void logMessage(const std::string&, const std::string&, int64_t code, int64_t) override { add(code); }
    void add(int64_t code) {
        std::lock_guard lock(mutex_);
        codes_.push_back(code);
    }
    bool logged(int64_t code) const {
        std::lock_guard lock(mutex_);
        return std::find(codes_.begin(), codes_.end(), code) != codes_.end();
    }
    void clear() {
        std::lock_guard lock(mutex_);
        codes_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<int64_t> codes_;
};

inline void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

// What the sqlite3 shell prints for `sql` on the file, errors included: the
// file as any other reader sees it.
inline std::string shell(const std::string& path, const std::string& sql) {
    std::string out;
    if (FILE* pipe = popen(("sqlite3 '" + path + "' \"" + sql + "\" 2>&1").c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe)) out += buffer;
        pclose(pipe);
    }
    return out;
}

// The texts `sql` selects, one column a row, from the file at `path`, read
// as another program reads it.
inline std::multiset<std::string> selectedTexts(const std::string& path, const std::string& sql) {
    std::multiset<std::string> rows;
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_exec(
        db, sql.c_str(),
        [](void* into, int, char** values, char**) {
            static_cast<std::multiset<std::string>*>(into)->insert(values[0] ? values[0] : "");
            return 0;
        },
        &rows, nullptr);
    sqlite3_close(db);
    return rows;
}

class StorageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetSharedState();
        folder_.useAsHome("home");
        MSRMonitor::Environment environment;
        environment.appPreferences = std::make_shared<MSRMemoryPreferenceStore>();
        environment.monitorSuite = std::make_shared<MSRMemoryPreferenceStore>();
        MSRMonitor::setShared(MSRMonitor::initWithLogLevel(6, logger_, 110100, environment));
        // Console lines carry their code as "I-MSR" and six digits.
        MSRConsoleLogger::shared().setSink([this](const std::string& line) {
            if (auto at = line.find("I-MSR"); at != std::string::npos)
                console_.add(std::stoll(line.substr(at + 5, 6)));
        });
    }

    void TearDown() override {
        executor_.runUntilIdle();
        MSRConsoleLogger::shared().setSink({});
        MSRMonitor::setShared(nullptr);
        resetSharedState();
    }

    // Lets the monitor's queue deliver what was logged so far.
    bool logged(int64_t code) {
        executor_.runUntilIdle();
        return logger_->logged(code);
    }

    dispatch::ManualExecutor executor_;
    TemporaryDataRoot folder_{"storage"};
    const std::filesystem::path& root_ = folder_.path();
    std::shared_ptr<CapturingLogger> logger_ = std::make_shared<CapturingLogger>();
    CapturingLogger console_;
};

// The analytics database in the engine folder, open for every test.
class OpenDatabaseTest : public StorageTest {
  protected:
    void SetUp() override {
        StorageTest::SetUp();
        database_ = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
        ASSERT_TRUE(database_);
    }
    void TearDown() override {
        database_.reset();
        StorageTest::TearDown();
    }
    std::unique_ptr<MSRDatabase> database_;
};

// A SQLite store in the engine folder, open for every test.
class StoreTest : public StorageTest {
  protected:
    void SetUp() override {
        StorageTest::SetUp();
        ASSERT_TRUE(store_ = open());
    }

    std::string path() { return MSRSDKFilePath("test.sql"); }
    std::unique_ptr<MSRSqliteStore> open() { return MSRSqliteStore::create(path(), nullptr); }
    bool run(const std::string& sql) { return store_->executeSQL(sql, nullptr); }
    int64_t count(const char* table = "t") { return store_->rowCountForTable(table, nullptr).value_or(-1); }

    std::unique_ptr<MSRSqliteStore> store_;
};
