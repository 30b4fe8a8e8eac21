#pragma once

// One SQLite connection of the analytics engine: open with an integrity check,
// a cache of prepared statements, record-level operations built from table and
// column names (values always bound as parameters), row queries and exclusive
// transactions. Not thread-safe: each owner uses its store from one serial queue.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "analytics/support/MSRError.h"

struct sqlite3;
struct sqlite3_stmt;

// A value as SQLite stores it: NULL, 64-bit integer, double, UTF-8 text or blob.
using MSRSqliteNull = std::monostate;
using MSRSqliteBlob = std::vector<uint8_t>;
using MSRSqliteValue = std::variant<MSRSqliteNull, int64_t, double, std::string, MSRSqliteBlob>;

// A row read back, or a record to write: column name to value.
using MSRSqliteRecord = std::map<std::string, MSRSqliteValue>;
using MSRSqliteRow = MSRSqliteRecord;
using MSRSqliteValues = std::vector<MSRSqliteValue>;

// Ordered [column name, column declaration] pairs of a table declaration. A pair
// named "PRIMARY KEY" is a table constraint whose second text is the column list.
using MSRColumnInfo = std::vector<std::pair<std::string, std::string>>;

// Decides per row whether reading goes on: (rows accepted so far, row).
using MSRSqliteRowFilter = std::function<bool(size_t, const MSRSqliteRow&)>;

// The store's error codes.
enum MSRSqliteErrorCode : int64_t {
    kMSRSqliteErrorBadArgument = 1,
    kMSRSqliteErrorState = 2,
    kMSRSqliteErrorDatabase = 3,
};

class MSRSqliteStore {
  public:
    // Opens (creating the directory) and validates the file at `path`. A damaged
    // file (integrity check not "ok", SQLite reporting corruption, a file
    // SQLite does not take for a database, a write-ahead log that SQLite would
    // drop or read only in part: see MSRDamageOfWriteAheadLog) is moved aside
    // with its journal files (see moveDatabaseAside) and a fresh file is
    // opened once; nothing is deleted. Any other failure keeps the file and
    // gives null. The file, its journals and the folders made for it are
    // owner-only. Connections wait up to kBusyTimeoutMilliseconds for another
    // connection's lock.
    static constexpr int kBusyTimeoutMilliseconds = 5000;
    static std::unique_ptr<MSRSqliteStore> create(const std::string& path, MSRError* error);
    // The same, with `beforeValidation` run on the open connection before the
    // file's integrity check, which reads every row: it may drop, cheaply,
    // rows no writer of the owner can have stored, so that they cost the
    // check nothing. Should the file prove damaged, what it did stays in the
    // copy set aside.
    // With `salvageMark`, every copy set aside is named in that file before
    // the file moves (see moveDatabaseAside), so that a salvage of it that a
    // kill cuts, even before it began, is resumed by the next start.
    static std::unique_ptr<MSRSqliteStore> create(const std::string& path, MSRError* error,
                                                  const std::function<void(MSRSqliteStore&)>& beforeValidation,
                                                  const std::string& salvageMark = {});

    ~MSRSqliteStore();
    MSRSqliteStore(const MSRSqliteStore&) = delete;
    MSRSqliteStore& operator=(const MSRSqliteStore&) = delete;

    // The statements the stores' connections have begun to run in this
    // process, each run of a statement once: the work a read over many rows
    // did, which tells a statement per window of rows from one per row.
    static uint64_t statementsRunInProcessForTesting();

    sqlite3* sqliteHandle() const { return handle_; }
    const std::string& databasePath() const { return databasePath_; }

    // --- Connection ---
    // Closes the connection; closing the last connection of a sound file
    // copies its write-ahead log into it.
    void closeDatabase();
    // The orderly end of the process, once no queue runs any more: every
    // open connection is closed, after what its owner asked to finish first
    // (setBeforeCloseAtEnd). The number of connections closed.
    static size_t closeAllDatabases();
    // What closeAllDatabases runs before it closes this store (its owner's
    // pending commit); only while the connection is open.
    void setBeforeCloseAtEnd(std::function<void()> finish);
    // Closes and removes the file (clearing its immutable flag first); true when
    // no file is left.
    bool closeAndDeleteDatabase();
    bool openAndValidateDatabase(MSRError* error);
    bool validateDatabase(MSRError* error);
    // Closes the database and renames the file, with its -wal, -shm and
    // -journal, to "<path>.damaged-<n>" in the same folder, so that what
    // SQLite can still read of it is kept; the oldest of more than
    // kMaxDamagedCopies such copies goes, unless the salvage mark names it.
    // `keptAs` receives the new path. With a salvage mark (see create), the
    // copy is added to the copies the mark names before the file moves (a
    // salvage still pending goes on first). False (logged, and said on
    // standard error when there is a mark) when the mark could not be
    // written or the file could not be moved: the file then stays in place
    // and nothing is deleted.
    static constexpr int kMaxDamagedCopies = 3;
    bool moveDatabaseAside(std::string* keptAs);
    // The copy that create() set aside when it found the file damaged; empty
    // when it found none.
    const std::string& damagedCopyPath() const { return damagedCopyPath_; }

    // --- Statements ---
    sqlite3_stmt* prepareSQL(const std::string& sql, MSRError* error);
    sqlite3_stmt* statementForQuery(const std::string& sql, MSRError* error);
    sqlite3_stmt* statementForQuery(const std::string& sql, const MSRSqliteValues& parameterValues,
                                    MSRError* error);
    void cleanUpStatement(sqlite3_stmt* statement, const std::string& sql);
    // Blobs are bound without a copy: `values` must outlive the statement's use.
    bool bindValues(const MSRSqliteValues& values, sqlite3_stmt* statement, MSRError* error);
    bool executeSQL(const std::string& sql, MSRError* error);
    bool executeSQLStatement(sqlite3_stmt* statement, MSRError* error);
    static std::optional<MSRSqliteValue> valueAtColumn(int column, sqlite3_stmt* statement);

    // --- Records ---
    bool upsertRecord(const MSRSqliteRecord& record, const std::string& table, MSRError* error);
    bool updateRecord(const MSRSqliteRecord& record, const std::string& table, const std::string& columnName,
                      const std::optional<MSRSqliteValue>& columnValue, MSRError* error);
    bool updateAllRecordsInTable(const std::string& table, const std::string& columnName,
                                 const std::optional<MSRSqliteValue>& columnValue, MSRError* error);
    bool increaseColumn(const std::string& column, int64_t byValue, const std::string& table,
                        const std::string& condition, const MSRSqliteValues& parameterValues,
                        MSRError* error);
    bool deleteRecordFromTable(const std::string& table, const std::string& columnName,
                               const std::optional<MSRSqliteValue>& columnValue, MSRError* error);
    std::optional<int64_t> deleteRecordsFromTable(const std::string& table, const std::string& condition,
                                                  const MSRSqliteValues& parameterValues, MSRError* error);
    bool deleteAllRecordsFromTable(const std::string& table, MSRError* error);
    std::optional<int64_t> rowCountForTable(const std::string& table, MSRError* error);
    std::optional<int64_t> rowCountForTable(const std::string& table, const std::string& columnName,
                                            const std::optional<MSRSqliteValue>& columnValue,
                                            MSRError* error);
    std::optional<bool> tableExists(const std::string& table, MSRError* error);
    std::optional<std::vector<std::string>> columnsForTable(const std::string& table, MSRError* error);
    std::optional<std::map<std::string, std::string>> columnInfoForTable(const std::string& table,
                                                                         MSRError* error);

    // --- Queries ---
    // Rows of a SELECT in result order, or nullopt with the error (a failed step
    // included).
    std::optional<std::vector<MSRSqliteRow>> recordsForQuery(const std::string& query,
                                                             const MSRSqliteValues& parameterValues,
                                                             MSRError* error);
    std::optional<std::vector<MSRSqliteRow>> recordsForQuery(const std::string& query,
                                                             const MSRSqliteValues& parameterValues,
                                                             MSRError* error,
                                                             const MSRSqliteRowFilter& filter);
    // Steps the rows of a SELECT one at a time, each handed to `visit` and let
    // go, until `visit` answers false or the rows end: what a read of many
    // rows holds is what `visit` keeps. False (with the error) when a step
    // failed.
    bool stepRecords(const std::string& query, const MSRSqliteValues& parameterValues, MSRError* error,
                     const std::function<bool(const MSRSqliteRow&)>& visit);
    // Deletes every row of `table` whose rowid is at most `lastRowID` at the
    // cost of the rows kept, not of the rows deleted: the rows after it are
    // copied aside, the table emptied whole (SQLite then frees its pages
    // without visiting a row) and the copies put back with their rowids, in
    // one transaction (a savepoint within a caller's). The number of rows
    // deleted; the number of rows copied in `copied`, when given.
    std::optional<int64_t> deleteRowsUpTo(const std::string& table, int64_t lastRowID, MSRError* error,
                                          int64_t* copied = nullptr);

    // The first column of the first row as an int64 or double value. nullopt
    // without error when it is NULL; with an error when there is no row or it is
    // not a number.
    std::optional<MSRSqliteValue> numberForQuery(const std::string& query,
                                                 const MSRSqliteValues& parameterValues, MSRError* error);
    // The same number read as an integer (counts, flags).
    std::optional<int64_t> integerForQuery(const std::string& query, const MSRSqliteValues& parameterValues,
                                           MSRError* error);

    // --- Transactions ---
    // Runs `block` inside BEGIN EXCLUSIVE ... END. A block answering false rolls
    // back ("Transaction failed"); an exception rolls back and propagates; a
    // failed END is rolled back when SQLite left the transaction open.
    bool performTransaction(MSRError* error, const std::function<bool()>& block);
    // Runs `block` in a savepoint of the transaction that is open: its writes
    // stay when it answers true and are undone when it answers false or throws
    // (the exception propagates). The transaction stays open, unless SQLite
    // ended it on an error (see isInTransaction).
    bool performSavepoint(MSRError* error, const std::function<bool()>& block);
    bool isInTransaction() const;
    bool beginTransaction();
    bool endTransaction();
    bool rollbackTransaction();

    // --- Schema ensuring ---
    bool ensureTable(const std::string& table, const MSRColumnInfo& elementaryColumnInfo,
                     const MSRColumnInfo& addOnColumnInfo,
                     const std::map<std::string, std::string>& modifyColumnInfo, MSRError* error);
    bool ensureTable(const std::string& table, const MSRColumnInfo& elementaryColumnInfo,
                     const MSRColumnInfo& addOnColumnInfo, MSRError* error);
    // `addOnColumns`: column name to its ALTER TABLE statement.
    bool ensureTable(const std::string& table, const std::string& createSQL,
                     const std::vector<std::string>& requiredColumnNames,
                     const std::map<std::string, std::string>& addOnColumns, MSRError* error);
    std::optional<bool> validateTable(const std::string& table,
                                      const std::vector<std::string>& requiredColumnNames,
                                      const std::map<std::string, std::string>& addOnColumns,
                                      MSRError* error);
    bool ensureSchemaOfTable(const std::string& table, const MSRColumnInfo& elementaryColumnInfo,
                             const MSRColumnInfo& addOnColumnInfo, MSRError* error);
    bool dropTable(const std::string& table, MSRError* error);
    bool renameTable(const std::string& oldName, const std::string& newName, MSRError* error);
    bool copyContentsFromTable(const std::string& source, const std::string& destination, MSRError* error);
    bool createEmptyTable(const std::string& newTable, const std::string& source, MSRError* error);

    // --- Errors ---
    // Code 3 "Database operation "<op>" failed with sqlite code <n> and error
    // message "<msg>"", with the monitor context "<op>,<code>,A|NA".
    void setDatabaseError(MSRError* error, const std::string& operation);
    std::string monitorContextForDatabaseOperation(const std::string& operation);
    std::optional<std::string> lastErrorMessage();

  private:
    explicit MSRSqliteStore(std::string path);

    // One argument or state check of an operation, run in the listed order.
    struct Check {
        bool failed;
        int64_t code;
        const char* description;
    };
    // Reports the first failing check; true when all pass.
    static bool checksPass(MSRError* error, std::initializer_list<Check> checks);
    static bool refuse(MSRError* error, int64_t code, const char* description);

    // One step that must report done; otherwise the database error `operation`.
    bool stepDone(sqlite3_stmt* statement, const char* operation, MSRError* error);
    // `sql` through the statement cache, bound, stepped once and cleaned up.
    bool stepOnce(const std::string& sql, const MSRSqliteValues& parameters, const char* operation,
                  MSRError* error);
    // BEGIN, END, ROLLBACK and the savepoint statements through the statement
    // cache.
    bool stepTransactionStatement(const std::string& sql);
    // Whether the statement prepared for `sql` goes into the cache.
    bool shouldKeepStatement(const std::string& sql, bool parameterised);
    // `sql` prepared afresh (never cached) with `parameters` bound.
    sqlite3_stmt* prepareBound(const std::string& sql, const MSRSqliteValues& parameters, MSRError* error);

    struct ColumnDeclaration {
        std::string name;
        std::string type;
        bool notNull;
    };
    // The rows of PRAGMA table_info, read through the statement cache.
    std::optional<std::vector<ColumnDeclaration>> tableInfo(const std::string& table, const char* operation,
                                                            MSRError* error);

    // kDamaged: a database SQLite finds faults in; kNotADatabase: a file
    // SQLite does not take for a database at all.
    enum class OpenResult { kOpened, kDamaged, kNotADatabase, kFailed };
    OpenResult openAndValidate(MSRError* error);
    OpenResult validate(MSRError* error);
    // The kind of damage a result code reports, or kFailed for none.
    static OpenResult damageOfCode(int code);
    // Logs that the damaged file could not be set aside, for `cause`.
    void sayStaysInPlace(const std::string& cause) const;

    sqlite3* handle_ = nullptr;
    std::unordered_map<std::string, sqlite3_stmt*> statementCache_;
    // The statements held in statementCache_.
    std::unordered_set<sqlite3_stmt*> cachedStatements_;
    // Texts with literal conditions seen once and not kept yet, and how many
    // such texts the cache holds; both bounded.
    std::unordered_set<std::string> literalTextsSeen_;
    size_t literalStatementsKept_ = 0;
    static constexpr size_t kMaxLiteralTextsRemembered = 256;
    static constexpr size_t kMaxLiteralStatementsKept = 64;
    std::string databasePath_;
    std::string damagedCopyPath_;
    std::function<void(MSRSqliteStore&)> beforeValidation_;
    std::string salvageMark_;
};

// Why the write-ahead log beside the database at `path` must be set aside
// with it before SQLite opens them, or nothing when it may be opened: a log
// with committed frames beside an empty main file (SQLite would delete the
// log), a log whose header does not read while a committed transaction
// checks out behind it (SQLite would drop it), or a log whose frames break
// before a committed transaction that checks out on its own (SQLite would
// read only up to the break, and later writes overwrite the rest). Frames
// past the last commit SQLite reads belong to a transaction that never
// committed: a torn frame, and the frames a transaction larger than the
// page cache wrote and rewrote before a kill cut it (at its commit too), are
// no damage.
std::optional<std::string> MSRDamageOfWriteAheadLog(const std::string& path);

// Reads an integer out of a value that numberForQuery produced (a double is
// truncated); 0 for other kinds.
int64_t MSRSqliteInt64(const MSRSqliteValue& value);
// The value of `column` in a row, or null when the row lacks it or holds NULL.
const MSRSqliteValue* MSRSqliteColumn(const MSRSqliteRow& row, const char* column);
// Typed reads of `column`. A row that lacks it, holds NULL or holds another
// kind reads as empty, or as `fallback`; a number reads whether it was stored
// as an integer or a real.
std::string MSRSqliteTextColumn(const MSRSqliteRow& row, const char* column);
double MSRSqliteDoubleColumn(const MSRSqliteRow& row, const char* column, double fallback = 0);
int32_t MSRSqliteInt32Column(const MSRSqliteRow& row, const char* column, int32_t fallback = 0);
// Bytes columns; text written by hand into the file reads as its bytes too.
std::vector<uint8_t> MSRSqliteBytesColumn(const MSRSqliteRow& row, const char* column);
