#pragma once

// Copies what SQLite can still read of a damaged database file into a healthy
// one. SQLite stops a scan at the first page it cannot read; the copy instead
// reads each table row by row in rowid order and, when a row or a stretch of
// rows cannot be read, looks for the first rowid past it that can, so that one
// bad page costs the rows on it and no more.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "analytics/storage/MSRSqliteStore.h"

class MSRDatabaseSalvage {
  public:
    // What the copy of one table came to.
    struct TableResult {
        std::string table;
        // False when the damaged file's schema did not name the table or its
        // columns: nothing of it could be read.
        bool found = false;
        int64_t copied = 0;
        // Rows read that the healthy table refused (a NULL in a NOT NULL
        // column, a duplicate key).
        int64_t refused = 0;
        // Places where reading had to skip rows it could not read.
        int64_t unreadableStretches = 0;
    };

    // Reads a scratch copy of `damagedPath` and its write-ahead log (the kept
    // files stay as they were) and copies the rows of each of `tables`, in the
    // given order, into the table of the same name of `destination`: the
    // columns both declare, the rows in their rowid order, with new rowids.
    // When SQLite does not take the copy for a database (its first page is
    // damaged, or the main file is empty beside its log), a valid header is
    // put on the copy first. Runs inside the caller's transaction, if any.
    // `alsoRead`, when given, then reads what else it needs of the copy.
    // The first page holds the schema: when no header makes it readable,
    // `freshFirstPage`, the first page of a fresh file that the same code
    // made, is put on the copy instead (a file made by the same code keeps
    // each table at the same page), and then only rows whose values fit
    // their columns' declarations are copied. Empty when the damaged file
    // cannot be read at all.
    static std::vector<TableResult> copyReadableRows(const std::string& damagedPath, MSRSqliteStore& destination,
                                                     const std::vector<std::string>& tables,
                                                     const std::function<void(sqlite3* damaged)>& alsoRead = {},
                                                     const std::vector<uint8_t>& freshFirstPage = {});

    // Puts a database header for pages of `pageSize` bytes on the first 100
    // bytes of the file at `path` (making it that long when shorter), keeping
    // the rest of the first page: what SQLite needs to read the pages behind
    // a damaged header. In write-ahead mode when `writeAheadLog`.
    static bool putHeader(const std::string& path, uint32_t pageSize, bool writeAheadLog);
};
