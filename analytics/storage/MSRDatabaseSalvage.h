#pragma once

// Copies what SQLite can still read of a damaged database file into a healthy
// one. SQLite stops a scan at the first page it cannot read; the copy instead
// reads each table row by row in rowid order and, when a row or a stretch of
// rows cannot be read, looks for the first rowid past it that can, so that one
// bad page costs the rows on it and no more.

#include <cstdint>
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

    // Opens `damagedPath` read-only (the kept copy stays as it was) and copies
    // the rows of each of `tables`, in the given order, into the table of the
    // same name of `destination`: the columns both declare, the rows in their
    // rowid order, with new rowids. Runs inside the caller's transaction, if
    // any. Empty when the damaged file cannot be opened at all.
    static std::vector<TableResult> copyReadableRows(const std::string& damagedPath, MSRSqliteStore& destination,
                                                     const std::vector<std::string>& tables);
};
