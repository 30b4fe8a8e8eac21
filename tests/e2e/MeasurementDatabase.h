#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// The folder the engine keeps its databases in under a data root's `home`.
inline std::filesystem::path measurementFolder(const std::filesystem::path& home) {
    return home / "Library/Application Support/Zevure/Measurement";
}

// The analytics database's file name, and the file under `home`.
inline constexpr const char* kMeasurementDatabaseName = "zevure-app-measurement.sql";
inline std::filesystem::path measurementDatabase(const std::filesystem::path& home) {
    return measurementFolder(home) / kMeasurementDatabaseName;
}

// The first column of the first row `sql` selects from the analytics database
// under `home`, read as another program reads the file; -1 when nothing reads.
inline int64_t storedCount(const std::filesystem::path& home, const std::string& sql) {
    sqlite3* db = nullptr;
    int64_t value = -1;
    if (sqlite3_open_v2(measurementDatabase(home).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            value = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return value;
}

// Runs one statement on the database file at `path`, with `blob` bound as its
// one parameter, as another program would between two runs.
inline void runSql(const std::filesystem::path& path, const std::string& sql,
                   const std::vector<uint8_t>* blob = nullptr) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    if (blob) sqlite3_bind_blob64(statement, 1, blob->data(), blob->size(), SQLITE_STATIC);
    EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE) << sqlite3_errmsg(db);
    sqlite3_finalize(statement);
    sqlite3_close(db);
}

// `count` copies of `row` queued under `home` ahead of everything queued, by
// rowids below 0, each stamped `now`.
inline void queueAhead(const std::filesystem::path& home, const std::vector<uint8_t>& row, int count,
                       double now) {
    runSql(measurementDatabase(home),
           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(count) +
               ") INSERT INTO queue (rowid, bundle_end_timestamp, data, is_realtime, retry_count) "
               "SELECT i - " + std::to_string(count + 1) + ", " + std::to_string(now) + ", ?, 0, 0 FROM n",
           &row);
}
