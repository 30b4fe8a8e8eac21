#pragma once

// Copies what SQLite can still read of a damaged database file into a healthy
// one. SQLite stops a scan at the first page it cannot read; the copy instead
// reads each table row by row in rowid order and, when a row or a stretch of
// rows cannot be read, looks for the first rowid past it that can, so that one
// bad page costs the rows on it and no more.

#include <cstdint>
#include <memory>
#include <optional>
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
    // files stay as they were; the scratch copy goes with this object). When
    // SQLite does not take the copy for a database (its first page is
    // damaged, or the main file is empty beside its log), a valid header is
    // put on the copy first. The first page holds the schema: when no header
    // makes it readable, `freshFirstPage`, the first page of a fresh file
    // that the same code made, is put on the copy instead (a file made by the
    // same code keeps each table at the same page), and then only rows whose
    // values fit their columns' declarations are copied. Null when the
    // damaged file cannot be read at all, or when the scratch copy cannot be
    // written (a full disk): `lackOfRoom`, when given, tells the two apart.
    static std::unique_ptr<MSRDatabaseSalvage> open(const std::string& damagedPath,
                                                   const std::vector<uint8_t>& freshFirstPage = {},
                                                   bool* lackOfRoom = nullptr);

    // What waits in the kept copy at `damagedPath`, read without writing a
    // byte (its main file only: what its log holds is not counted): its rows
    // in `tables` and its bundle index, each nothing when it cannot be read
    // so. What a salvage that has no room says waits, and the index the
    // engine's new bundles go past meanwhile.
    struct Waiting {
        std::optional<int64_t> rows;
        std::optional<int64_t> lastBundleIndex;
    };
    static Waiting waitingInMainFile(const std::string& damagedPath, const std::vector<std::string>& tables);
    // The largest bundle index the damaged file's metadata holds.
    std::optional<int64_t> lastBundleIndex() const;
    ~MSRDatabaseSalvage();
    MSRDatabaseSalvage(const MSRDatabaseSalvage&) = delete;
    MSRDatabaseSalvage& operator=(const MSRDatabaseSalvage&) = delete;

    // Whether the damaged file's schema names `table` with its columns.
    bool hasTable(const std::string& table) const;
    // The largest rowid of `table` in the damaged file, or nothing when it
    // cannot be read; and the rows from rowid `from` on that a read counts.
    std::optional<int64_t> lastRowID(const std::string& table) const;
    std::optional<int64_t> rowsFrom(const std::string& table, int64_t from) const;

    // How much one call of copyRows copies, at most.
    struct Limits {
        int64_t rows = 5000;
        int64_t bytes = int64_t{4} << 20;
        // A row whose rowid the destination holds replaces it (else the
        // destination's row stays).
        bool replaceRows = false;
    };
    // Copies the readable rows of `table` whose rowid is `from` or more, in
    // rowid order and each with its rowid, into the table of the same name of
    // `destination` (the columns both declare), until the rows end or
    // `limits` are reached; `next` receives the rowid to go on from, nothing
    // once the table is done. Runs inside the caller's transaction, which
    // bounds the work a kill can undo; reading the same rows again copies
    // none twice. Adds to `result`. False when a write failed.
    bool copyRows(const std::string& table, MSRSqliteStore& destination, int64_t from, const Limits& limits,
                  TableResult* result, std::optional<int64_t>* next);

    // Removes scratch copies that a process ended while reading left beside
    // the copies of the database at `databasePath`.
    static void removeScratchCopies(const std::string& databasePath);

    // Puts a database header for pages of `pageSize` bytes on the first 100
    // bytes of the file at `path` (making it that long when shorter), keeping
    // the rest of the first page: what SQLite needs to read the pages behind
    // a damaged header. In write-ahead mode when `writeAheadLog`.
    static bool putHeader(const std::string& path, uint32_t pageSize, bool writeAheadLog);

  private:
    MSRDatabaseSalvage();
    struct Source;
    std::unique_ptr<Source> source_;
};
