#include "analytics/storage/MSRSqliteStore.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <system_error>

#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRSalvageMark.h"
#include "analytics/storage/MSRSqliteErrorShorthands.h"
#include "analytics/storage/MSRStorageLog.h"
#include "analytics/storage/MSRWriteAheadLog.h"

namespace {

namespace fs = std::filesystem;

using MSRSqliteErrorShorthands::kArgument;
using MSRSqliteErrorShorthands::kState;
using MSRSqliteErrorShorthands::kDatabase;

// Every statement a store's connection began to run in the process
// (MSRSqliteStore::statementsRunInProcessForTesting).
std::atomic<uint64_t> sqliteStoreStatementsRun{0};

// SQLite's hook at the start of each statement run: the one place every
// statement passes, however it is stepped.
int sqliteStoreCountStatement(unsigned, void*, void*, void*) {
    sqliteStoreStatementsRun.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// Any non-null pointer will do for an empty blob: a null one would bind NULL.
const uint8_t kEmptyBlob = 0;

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string uppercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

std::string joined(const std::vector<std::string>& parts, const char* separator) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += separator;
        out += parts[i];
    }
    return out;
}

}  // namespace

bool MSRSqliteStore::refuse(MSRError* error, int64_t code, const char* description) {
    MSRSetError(error, code, description);
    return false;
}

bool MSRSqliteStore::checksPass(MSRError* error, std::initializer_list<Check> checks) {
    for (const Check& check : checks) {
        if (check.failed) return refuse(error, check.code, check.description);
    }
    return true;
}

int64_t MSRSqliteInt64(const MSRSqliteValue& value) {
    if (auto* i = std::get_if<int64_t>(&value)) return *i;
    if (auto* d = std::get_if<double>(&value)) return static_cast<int64_t>(*d);
    return 0;
}

const MSRSqliteValue* MSRSqliteColumn(const MSRSqliteRow& row, const char* column) {
    auto it = row.find(column);
    if (it == row.end() || std::holds_alternative<MSRSqliteNull>(it->second)) return nullptr;
    return &it->second;
}

std::string MSRSqliteTextColumn(const MSRSqliteRow& row, const char* column) {
    const MSRSqliteValue* value = MSRSqliteColumn(row, column);
    const auto* text = value ? std::get_if<std::string>(value) : nullptr;
    return text ? *text : std::string();
}

double MSRSqliteDoubleColumn(const MSRSqliteRow& row, const char* column, double fallback) {
    const MSRSqliteValue* value = MSRSqliteColumn(row, column);
    if (!value) return fallback;
    if (const auto* real = std::get_if<double>(value)) return *real;
    if (const auto* integer = std::get_if<int64_t>(value)) return static_cast<double>(*integer);
    return fallback;
}

int32_t MSRSqliteInt32Column(const MSRSqliteRow& row, const char* column, int32_t fallback) {
    const MSRSqliteValue* value = MSRSqliteColumn(row, column);
    if (!value || !(std::holds_alternative<int64_t>(*value) || std::holds_alternative<double>(*value)))
        return fallback;
    return static_cast<int32_t>(MSRSqliteInt64(*value));
}

std::vector<uint8_t> MSRSqliteBytesColumn(const MSRSqliteRow& row, const char* column) {
    const MSRSqliteValue* value = MSRSqliteColumn(row, column);
    if (!value) return {};
    if (const auto* blob = std::get_if<MSRSqliteBlob>(value)) return *blob;
    if (const auto* text = std::get_if<std::string>(value)) return {text->begin(), text->end()};
    return {};
}

// --- Connection -------------------------------------------------------------

MSRSqliteStore::MSRSqliteStore(std::string path) : databasePath_(std::move(path)) {}

MSRSqliteStore::~MSRSqliteStore() {
    closeDatabase();
}

std::unique_ptr<MSRSqliteStore> MSRSqliteStore::create(const std::string& path, MSRError* error) {
    return create(path, error, {});
}

std::unique_ptr<MSRSqliteStore> MSRSqliteStore::create(const std::string& path, MSRError* error,
                                                       const std::function<void(MSRSqliteStore&)>& beforeValidation,
                                                       const std::string& salvageMark) {
    if (path.empty()) {
        refuse(error, kArgument, "Received empty database path on init");
        return nullptr;
    }
    std::unique_ptr<MSRSqliteStore> store(new MSRSqliteStore(path));
    store->beforeValidation_ = beforeValidation;
    store->salvageMark_ = salvageMark;
    OpenResult result = store->openAndValidate(error);
    if (result == OpenResult::kOpened) return store;
    // Only a damaged file is replaced. A busy lock, an I/O or permission
    // failure says nothing about the data, which must survive until next time.
    if (result == OpenResult::kFailed) return nullptr;
    // A database with a few bad pages still reads back almost whole, and one
    // whose first page is damaged ("not a database") reads back once a valid
    // header is put on a copy: either is kept, with its journals, for the
    // owner to copy from rather than thrown away.
    if (!store->moveDatabaseAside(&store->damagedCopyPath_)) return nullptr;
    MSRStorageLog(4, result == OpenResult::kNotADatabase ? 34024 : 34023,
                  result == OpenResult::kNotADatabase
                      ? "Database file is not a database. Kept aside, starting a fresh one. Path, kept as"
                      : "Database file is damaged. Kept aside, starting a fresh one. Path, kept as",
                  {path, store->damagedCopyPath_});
    if (store->openAndValidate(error) != OpenResult::kOpened) return nullptr;
    return store;
}

// Every store with an open connection, so that the end of the process can
// close them all once the queues are done with them.
namespace {

struct OpenStores {
    std::mutex mutex;
    std::map<MSRSqliteStore*, std::function<void()>> stores;  // store -> what its owner finishes first
};

OpenStores& openStores() {
    static OpenStores* shared = new OpenStores();  // used by destructors that may run after static objects go
    return *shared;
}

}  // namespace

void MSRSqliteStore::setBeforeCloseAtEnd(std::function<void()> finish) {
    OpenStores& open = openStores();
    std::lock_guard lock(open.mutex);
    if (auto it = open.stores.find(this); it != open.stores.end()) it->second = std::move(finish);
}

size_t MSRSqliteStore::closeAllDatabases() {
    std::map<MSRSqliteStore*, std::function<void()>> stores;
    {
        OpenStores& open = openStores();
        std::lock_guard lock(open.mutex);
        stores = open.stores;
    }
    for (auto& [store, finish] : stores) {
        if (finish) finish();
        store->closeDatabase();
    }
    return stores.size();
}

void MSRSqliteStore::closeDatabase() {
    if (!handle_) return;
    {
        OpenStores& open = openStores();
        std::lock_guard lock(open.mutex);
        open.stores.erase(this);
    }
    for (auto& [sql, statement] : statementCache_) sqlite3_finalize(statement);
    statementCache_.clear();
    cachedStatements_.clear();
    literalTextsSeen_.clear();
    literalStatementsKept_ = 0;
    int result = sqlite3_close(handle_);
    if (result != SQLITE_OK) {
        MSRStorageLog(1, 34018, "Failed to close database. Got error code", {std::to_string(result)});
        // Statements prepared outside the cache may still be alive; let SQLite
        // finish the close once they are gone rather than leak the connection.
        sqlite3_close_v2(handle_);
    }
    handle_ = nullptr;
}

bool MSRSqliteStore::closeAndDeleteDatabase() {
    closeDatabase();
    std::error_code ec;
    if (!fs::exists(databasePath_, ec)) return true;
    MSRClearImmutableFlag(databasePath_);
    bool removed = fs::remove(databasePath_, ec);
    if (!removed || ec) {
        MSRStorageLog(1, 34019, "Failed to delete database. Error", {ec.message()});
        return false;
    }
    // The journal belongs to the file that is gone; left behind, SQLite would
    // replay it into the fresh database.
    fs::remove(databasePath_ + "-journal", ec);
    fs::remove(databasePath_ + "-wal", ec);
    fs::remove(databasePath_ + "-shm", ec);
    return true;
}

uint64_t MSRSqliteStore::statementsRunInProcessForTesting() {
    return sqliteStoreStatementsRun.load(std::memory_order_relaxed);
}

bool MSRSqliteStore::openAndValidateDatabase(MSRError* error) {
    return openAndValidate(error) == OpenResult::kOpened;
}

namespace {

const char* const kJournalSuffixes[] = {"-wal", "-shm", "-journal"};

// "<name>.damaged-<n>" of the copies kept of the file `name`: their numbers,
// ascending.
std::vector<long> damagedCopyNumbers(const fs::path& folder, const std::string& prefix) {
    std::vector<long> numbers;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        std::string number = name.substr(prefix.size());
        if (number.empty() || number.size() > 9 ||
            !std::all_of(number.begin(), number.end(), [](unsigned char c) { return std::isdigit(c); }))
            continue;
        numbers.push_back(std::stol(number));
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

}  // namespace

bool MSRSqliteStore::moveDatabaseAside(std::string* keptAs) {
    closeDatabase();
    const fs::path file(databasePath_);
    const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    const std::string prefix = file.filename().string() + ".damaged-";
    std::vector<long> kept = damagedCopyNumbers(folder, prefix);
    const std::string target = databasePath_ + ".damaged-" + std::to_string(kept.empty() ? 1 : kept.back() + 1);

    MSRClearImmutableFlag(databasePath_);
    std::error_code ec;
    // Named before it moves: a kill between the two leaves a mark naming a
    // copy that is not there, which the owner forgets, and the file still in
    // place. A salvage still pending goes on where it stood (what it copied
    // is in the file moved now), and the file moved now is read after it:
    // it may hold rows of its own, stored while the salvage waited.
    std::optional<MSRSalvageMark> mark;
    if (!salvageMark_.empty()) {
        mark = MSRSalvageMark::read(salvageMark_).value_or(MSRSalvageMark{});
        mark->forgetMissingCopies(folder.string());
        mark->append(fs::path(target).filename().string());
        std::string failure;
        if (!mark->write(salvageMark_, &failure)) {
            sayStaysInPlace("its salvage mark could not be written (" + failure + ")");
            return false;
        }
    }
    fs::rename(databasePath_, target, ec);
    if (ec) {
        sayStaysInPlace(ec.message());
        return false;
    }
    for (const char* suffix : kJournalSuffixes) {
        if (!fs::exists(databasePath_ + suffix, ec)) continue;
        fs::rename(databasePath_ + suffix, target + suffix, ec);
        // Left behind, a journal would be played into the fresh database.
        if (ec) fs::remove(databasePath_ + suffix, ec);
    }
    // A file that keeps being damaged must not fill the disk with copies;
    // a copy still to be read is kept whatever their number.
    for (size_t i = 0; i + kMaxDamagedCopies <= kept.size(); ++i) {
        const std::string old = databasePath_ + ".damaged-" + std::to_string(kept[i]);
        if (mark && mark->names(fs::path(old).filename().string())) continue;
        fs::remove(old, ec);
        for (const char* suffix : kJournalSuffixes) fs::remove(old + suffix, ec);
    }
    if (keptAs) *keptAs = target;
    return true;
}

void MSRSqliteStore::sayStaysInPlace(const std::string& cause) const {
    MSRStorageLog(1, 34025, "Failed to move damaged database aside. Error", {cause});
    // Said where a person sees it: what the file holds is neither lost nor
    // sent until a start can set it aside.
    if (salvageMark_.empty()) return;
    std::fprintf(stderr,
                 "analytics database: %s is damaged and stays where it is: %s; the events stored in it wait, and "
                 "a later start with room sets it aside and copies them\n",
                 databasePath_.c_str(), cause.c_str());
}

MSRSqliteStore::OpenResult MSRSqliteStore::damageOfCode(int code) {
    switch (code & 0xff) {
        case SQLITE_CORRUPT:
            return OpenResult::kDamaged;
        case SQLITE_NOTADB:
            return OpenResult::kNotADatabase;
        default:
            return OpenResult::kFailed;
    }
}

MSRSqliteStore::OpenResult MSRSqliteStore::openAndValidate(MSRError* error) {
    std::error_code ec;
    if (fs::exists(databasePath_, ec)) {
        if (!MSRClearImmutableFlag(databasePath_, error)) return OpenResult::kFailed;
    } else if (!MSRCreateOwnerOnlyDirectories(fs::path(databasePath_).parent_path().string(), error)) {
        return OpenResult::kFailed;
    }

    // SQLite throws away a write-ahead log found beside an empty main file,
    // and stops reading a log at its first bad frame, later writes then
    // overwriting the rest: both are set aside before SQLite sees them.
    if (std::optional<std::string> damage = MSRDamageOfWriteAheadLog(databasePath_)) {
        MSRStorageLog(4, 34026, "Write-ahead log is damaged. Path, damage", {databasePath_, *damage});
        refuse(error, kDatabase, "The database's write-ahead log is damaged");
        return OpenResult::kDamaged;
    }

    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    int rc = sqlite3_open_v2(databasePath_.c_str(), &handle_, flags, nullptr);
    if (rc != SQLITE_OK) {
        setDatabaseError(error, "initialize sqlite handle");
        closeDatabase();
        return damageOfCode(rc);
    }
    {
        OpenStores& open = openStores();
        std::lock_guard lock(open.mutex);
        open.stores.emplace(this, nullptr);
    }
    sqlite3_extended_result_codes(handle_, 1);
    sqlite3_trace_v2(handle_, SQLITE_TRACE_STMT, sqliteStoreCountStatement, nullptr);
    // Until the file is known to be sound, closing must not copy the
    // write-ahead log into it (and delete the log).
    sqlite3_db_config(handle_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    // A second guard beside the data root's lock: a connection that meets
    // another's lock waits for it instead of failing the write.
    sqlite3_busy_timeout(handle_, kBusyTimeoutMilliseconds);
    // SQLite creates the file with the umask's mode, and its journals with
    // the file's: owner-only here, they are owner-only too. Journals left by
    // older versions are narrowed as well.
    MSRRestrictFileToOwner(databasePath_);
    for (const char* suffix : kJournalSuffixes) MSRRestrictFileToOwner(databasePath_ + suffix);

    MSRError exclusionError;
    if (!MSRExcludePathFromBackup(databasePath_, &exclusionError)) {
        MSRStorageLog(4, 34017, "Failed to exclude database file from backup", {exclusionError});
    }

    if (beforeValidation_) beforeValidation_(*this);
    OpenResult result = validate(error);
    // A damaged file is kept as it was found; a sound one is checkpointed
    // into its main file when it is closed.
    if (result == OpenResult::kOpened) sqlite3_db_config(handle_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
    if (result != OpenResult::kOpened) closeDatabase();
    return result;
}

bool MSRSqliteStore::validateDatabase(MSRError* error) {
    return validate(error) == OpenResult::kOpened;
}

MSRSqliteStore::OpenResult MSRSqliteStore::validate(MSRError* error) {
    if (!handle_) {
        refuse(error, kState, "Validate database failed. Database not open.");
        return OpenResult::kFailed;
    }
    sqlite3_stmt* statement = prepareSQL("PRAGMA integrity_check", error);
    if (!statement) return damageOfCode(sqlite3_errcode(handle_));
    int rc = sqlite3_step(statement);
    bool answeredOk = false;
    bool answered = rc == SQLITE_ROW;
    if (answered && sqlite3_column_count(statement) == 1) {
        const unsigned char* text = sqlite3_column_text(statement, 0);
        answeredOk = text && std::string(reinterpret_cast<const char*>(text)) == "ok";
    }
    sqlite3_finalize(statement);
    if (answeredOk) return OpenResult::kOpened;
    setDatabaseError(error, "validate database");
    // The check answering anything but "ok" is a verdict on the file; a step
    // that could not run at all is damage only when SQLite says so.
    if (answered) return OpenResult::kDamaged;
    OpenResult damage = damageOfCode(rc);
    return damage != OpenResult::kFailed ? damage : damageOfCode(sqlite3_errcode(handle_));
}

// --- Errors -----------------------------------------------------------------

std::optional<std::string> MSRSqliteStore::lastErrorMessage() {
    if (!handle_) {
        MSRStorageLog(1, 34022, "Failed to get last error message. Database not open");
        return std::nullopt;
    }
    const char* message = sqlite3_errmsg(handle_);
    return message ? std::string(message) : std::string();
}

std::string MSRSqliteStore::monitorContextForDatabaseOperation(const std::string& operation) {
    std::string name = operation.empty() ? "Unknown operation" : operation;
    int code = handle_ ? sqlite3_errcode(handle_) : 0;
    bool writable = access(databasePath_.c_str(), W_OK) == 0;
    return name + "," + std::to_string(code) + "," + (writable ? "A" : "NA");
}

void MSRSqliteStore::setDatabaseError(MSRError* error, const std::string& operation) {
    if (!error) return;
    std::string context = monitorContextForDatabaseOperation(operation);
    std::string description;
    if (handle_) {
        description = "Database operation \"" + operation + "\" failed with sqlite code " +
                      std::to_string(sqlite3_errcode(handle_)) + " and error message \"" +
                      lastErrorMessage().value_or("") + "\"";
    }
    MSRSetErrorWithMonitorContext(error, kDatabase, description, context);
}

// --- Statements -------------------------------------------------------------

sqlite3_stmt* MSRSqliteStore::prepareSQL(const std::string& sql, MSRError* error) {
    if (!checksPass(error, {{sql.empty(), kArgument, "Received empty SQL string to prepare"},
                            {!handle_, kState, "Prepare SQL failed. Database not open."}}))
        return nullptr;
    sqlite3_stmt* statement = nullptr;
    const char* tail = nullptr;
    int rc = SQLITE_ERROR;
    if (sqlite3_libversion_number() >= 3020000) {
        rc = sqlite3_prepare_v3(handle_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, &tail);
    }
    if (rc != SQLITE_OK) {
        sqlite3_finalize(statement);
        statement = nullptr;
        rc = sqlite3_prepare_v2(handle_, sql.c_str(), -1, &statement, &tail);
        if (rc != SQLITE_OK) {
            setDatabaseError(error, "prepare statement");
            sqlite3_finalize(statement);
            return nullptr;
        }
    }
    if (tail && *tail != '\0') {
        refuse(error, kArgument, "Query contained more than one SQL statement.");
        sqlite3_finalize(statement);
        return nullptr;
    }
    return statement;
}

sqlite3_stmt* MSRSqliteStore::statementForQuery(const std::string& sql, MSRError* error) {
    return statementForQuery(sql, {}, error);
}

sqlite3_stmt* MSRSqliteStore::statementForQuery(const std::string& sql,
                                                const MSRSqliteValues& parameterValues, MSRError* error) {
    if (auto cached = statementCache_.find(sql); cached != statementCache_.end()) {
        if (!parameterValues.empty() && !bindValues(parameterValues, cached->second, error)) return nullptr;
        return cached->second;
    }
    bool parameterised = sql.find('?') != std::string::npos;
    if (!checksPass(error,
                    {{!handle_, kState, "Statement for query failed. Database not open."},
                     {parameterised && parameterValues.empty(), kArgument, "Received empty parameters"}}))
        return nullptr;
    sqlite3_stmt* statement = prepareSQL(sql, error);
    if (!statement) return nullptr;
    if (shouldKeepStatement(sql, parameterised)) {
        statementCache_[sql] = statement;
        cachedStatements_.insert(statement);
    }
    if (!parameterValues.empty() && !bindValues(parameterValues, statement, error)) {
        cleanUpStatement(statement, sql);
        return nullptr;
    }
    return statement;
}

// Conditions with literal values could fill the cache with one-off texts, so
// such a text is kept only once it comes back: the fixed checks made for every
// event do, while one-off texts do not.
bool MSRSqliteStore::shouldKeepStatement(const std::string& sql, bool parameterised) {
    if (parameterised || lowercased(sql).find("where") == std::string::npos) return true;
    if (literalStatementsKept_ >= kMaxLiteralStatementsKept) return false;
    if (literalTextsSeen_.erase(sql) == 0) {
        if (literalTextsSeen_.size() >= kMaxLiteralTextsRemembered) literalTextsSeen_.clear();
        literalTextsSeen_.insert(sql);
        return false;
    }
    ++literalStatementsKept_;
    return true;
}

void MSRSqliteStore::cleanUpStatement(sqlite3_stmt* statement, const std::string& sql) {
    if (!statement) return;
    // A kept statement handed back with its own text is the cache's entry for
    // that text; the busiest writes skip hashing it a second time.
    if (cachedStatements_.count(statement)) {
        const char* text = sqlite3_sql(statement);
        if (text && sql.compare(text) == 0) {
            sqlite3_reset(statement);
            sqlite3_clear_bindings(statement);
            return;
        }
    }
    auto cached = statementCache_.find(sql);
    if (cached == statementCache_.end()) {
        cachedStatements_.erase(statement);
        sqlite3_finalize(statement);
        return;
    }
    if (cached->second != statement) {
        MSRStorageLog(5, 34016, "Statement is not the same one in the cache");
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
}

bool MSRSqliteStore::bindValues(const MSRSqliteValues& values, sqlite3_stmt* statement, MSRError* error) {
    if (!statement) return refuse(error, kArgument, "Failed to bind to NULL statement");
    sqlite3_clear_bindings(statement);
    bool allBound = true;
    for (size_t i = 0; i < values.size(); ++i) {
        int index = static_cast<int>(i + 1);
        const MSRSqliteValue& value = values[i];
        int rc = SQLITE_OK;
        if (std::holds_alternative<MSRSqliteNull>(value)) {
            rc = sqlite3_bind_null(statement, index);
        } else if (auto* integer = std::get_if<int64_t>(&value)) {
            rc = sqlite3_bind_int64(statement, index, *integer);
        } else if (auto* real = std::get_if<double>(&value)) {
            rc = sqlite3_bind_double(statement, index, *real);
        } else if (auto* text = std::get_if<std::string>(&value)) {
            rc = sqlite3_bind_text(statement, index, text->c_str(), static_cast<int>(text->size()),
                                   SQLITE_TRANSIENT);
        } else if (auto* blob = std::get_if<MSRSqliteBlob>(&value)) {
            const void* bytes = blob->empty() ? &kEmptyBlob : static_cast<const void*>(blob->data());
            rc = sqlite3_bind_blob(statement, index, bytes, static_cast<int>(blob->size()), SQLITE_STATIC);
        }
        if (rc != SQLITE_OK) {
            setDatabaseError(error, "bind values");
            allBound = false;
        }
    }
    return allBound;
}

bool MSRSqliteStore::executeSQL(const std::string& sql, MSRError* error) {
    if (!checksPass(error, {{sql.empty(), kArgument, "Received empty SQL string to execute"},
                            {!handle_, kState, "Execute SQL failed. Database not open."}}))
        return false;
    sqlite3_stmt* statement = prepareSQL(sql, error);
    return statement && executeSQLStatement(statement, error);
}

bool MSRSqliteStore::executeSQLStatement(sqlite3_stmt* statement, MSRError* error) {
    if (!statement) return refuse(error, kArgument, "Execute SQL statement failed. Statement is NULL.");
    bool done = checksPass(error, {{!handle_, kState, "Execute SQL statement failed. Database not open."}}) &&
                stepDone(statement, "execute statement", error);
    sqlite3_finalize(statement);
    return done;
}

bool MSRSqliteStore::stepDone(sqlite3_stmt* statement, const char* operation, MSRError* error) {
    bool done = sqlite3_step(statement) == SQLITE_DONE;
    if (!done) setDatabaseError(error, operation);
    return done;
}

bool MSRSqliteStore::stepOnce(const std::string& sql, const MSRSqliteValues& parameters,
                              const char* operation, MSRError* error) {
    sqlite3_stmt* statement = statementForQuery(sql, parameters, error);
    if (!statement) return false;
    bool done = stepDone(statement, operation, error);
    cleanUpStatement(statement, sql);
    return done;
}

sqlite3_stmt* MSRSqliteStore::prepareBound(const std::string& sql, const MSRSqliteValues& parameters,
                                           MSRError* error) {
    sqlite3_stmt* statement = prepareSQL(sql, error);
    if (statement && !bindValues(parameters, statement, error)) {
        sqlite3_finalize(statement);
        return nullptr;
    }
    return statement;
}

std::optional<MSRSqliteValue> MSRSqliteStore::valueAtColumn(int column, sqlite3_stmt* statement) {
    if (!statement) return std::nullopt;
    switch (sqlite3_column_type(statement, column)) {
        case SQLITE_INTEGER:
            return MSRSqliteValue(static_cast<int64_t>(sqlite3_column_int64(statement, column)));
        case SQLITE_FLOAT:
            return MSRSqliteValue(sqlite3_column_double(statement, column));
        case SQLITE_TEXT: {
            const unsigned char* text = sqlite3_column_text(statement, column);
            if (!text) return std::nullopt;
            int length = sqlite3_column_bytes(statement, column);
            return MSRSqliteValue(
                std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(length)));
        }
        case SQLITE_BLOB: {
            const void* bytes = sqlite3_column_blob(statement, column);
            if (!bytes) return std::nullopt;
            const auto* begin = static_cast<const uint8_t*>(bytes);
            return MSRSqliteValue(MSRSqliteBlob(begin, begin + sqlite3_column_bytes(statement, column)));
        }
        case SQLITE_NULL:
        default:
            return MSRSqliteValue(MSRSqliteNull{});
    }
}

// --- Records ----------------------------------------------------------------

bool MSRSqliteStore::upsertRecord(const MSRSqliteRecord& record, const std::string& table, MSRError* error) {
    if (!checksPass(error, {{record.empty(), kArgument, "Received empty record for upsert"},
                            {table.empty(), kArgument, "Received empty table name for upsert"},
                            {!handle_, kState, "Upsert record failed. Database not open."}}))
        return false;
    std::vector<std::string> columns;
    MSRSqliteValues parameters;
    for (const auto& [column, value] : record) {
        columns.push_back(column);
        parameters.push_back(value);
    }
    std::vector<std::string> placeholders(columns.size(), "?");
    // Through the statement cache: the same few record shapes are written for every event.
    return stepOnce("INSERT OR REPLACE INTO " + table + " (" + joined(columns, ", ") + ") VALUES (" +
                        joined(placeholders, ", ") + ");",
                    parameters, "execute statement", error);
}

bool MSRSqliteStore::updateRecord(const MSRSqliteRecord& record, const std::string& table,
                                  const std::string& columnName,
                                  const std::optional<MSRSqliteValue>& columnValue, MSRError* error) {
    if (!checksPass(error, {{record.empty(), kArgument, "Empty record for update"},
                            {table.empty(), kArgument, "Empty table name for update"},
                            {columnName.empty(), kArgument, "Empty column name for update"},
                            {!columnValue, kArgument, "Nil column value for update"},
                            {!handle_, kState, "Update record failed. Database not open."}}))
        return false;
    std::vector<std::string> assignments;
    MSRSqliteValues parameters;
    for (const auto& [column, value] : record) {
        assignments.push_back(column + "=?");
        parameters.push_back(value);
    }
    parameters.push_back(*columnValue);
    return stepOnce("UPDATE " + table + " SET " + joined(assignments, ",") + " WHERE " + columnName + "=?",
                    parameters, "execute statement", error);
}

bool MSRSqliteStore::updateAllRecordsInTable(const std::string& table, const std::string& columnName,
                                             const std::optional<MSRSqliteValue>& columnValue,
                                             MSRError* error) {
    if (!checksPass(error, {{table.empty(), kArgument, "Empty table name for update"},
                            {columnName.empty(), kArgument, "Empty column name for update"},
                            {!columnValue, kArgument, "Nil column value for update"},
                            {!handle_, kState, "Update record failed. Database not open."}}))
        return false;
    return stepOnce("UPDATE " + table + " SET " + columnName + "=?", {*columnValue},
                    "update all records value", error);
}

bool MSRSqliteStore::increaseColumn(const std::string& column, int64_t byValue, const std::string& table,
                                    const std::string& condition, const MSRSqliteValues& parameterValues,
                                    MSRError* error) {
    if (!checksPass(error, {{table.empty(), kArgument, "Empty table name for increase column"},
                            {column.empty(), kArgument, "Empty column name for increase column"},
                            {condition.empty(), kArgument, "Empty condition for increase column"},
                            {!handle_, kState, "Increase column failed. Database not open."}}))
        return false;
    auto info = columnInfoForTable(table, error);
    if (!info) return false;
    auto declared = info->find(column);
    if (declared == info->end()) return refuse(error, kArgument, "Invalid column or table name");
    if (uppercased(declared->second) != "INTEGER")
        return refuse(error, kArgument, "Column type is not integer.");
    return stepOnce("UPDATE " + table + " SET " + column + " = " + column + " + " + std::to_string(byValue) +
                        " WHERE " + condition,
                    parameterValues, "increase records value", error);
}

bool MSRSqliteStore::deleteRecordFromTable(const std::string& table, const std::string& columnName,
                                           const std::optional<MSRSqliteValue>& columnValue,
                                           MSRError* error) {
    if (!checksPass(error, {{table.empty(), kArgument, "Received empty table name for delete record"},
                            {columnName.empty(), kArgument, "Received empty column for delete record"},
                            {!columnValue, kArgument, "Received nil value for delete record"},
                            {!handle_, kState, "Delete record failed. Database not open."}}))
        return false;
    return stepOnce("DELETE FROM " + table + " WHERE " + columnName + "=?", {*columnValue}, "delete record",
                    error);
}

std::optional<int64_t> MSRSqliteStore::deleteRecordsFromTable(const std::string& table,
                                                              const std::string& condition,
                                                              const MSRSqliteValues& parameterValues,
                                                              MSRError* error) {
    if (!checksPass(error, {{table.empty(), kArgument, "Received empty table name for delete record"},
                            {condition.empty(), kArgument, "Received empty condition for delete record"},
                            {!handle_, kState, "Delete records with condition failed. Database not open."}}))
        return std::nullopt;
    if (!stepOnce("DELETE FROM " + table + " WHERE " + condition, parameterValues,
                  "delete records with condition", error))
        return std::nullopt;
    return sqlite3_changes(handle_);
}

bool MSRSqliteStore::deleteAllRecordsFromTable(const std::string& table, MSRError* error) {
    if (!checksPass(error, {{table.empty(), kArgument, "Received empty table name for delete all records"},
                            {!handle_, kState, "Delete all records failed. Database not open."}}))
        return false;
    return stepOnce("DELETE FROM " + table, {}, "delete all records", error);
}

std::optional<int64_t> MSRSqliteStore::rowCountForTable(const std::string& table, MSRError* error) {
    return rowCountForTable(table, "", std::nullopt, error);
}

std::optional<int64_t> MSRSqliteStore::rowCountForTable(const std::string& table,
                                                        const std::string& columnName,
                                                        const std::optional<MSRSqliteValue>& columnValue,
                                                        MSRError* error) {
    if (!checksPass(error, {{table.empty(), kArgument, "Received empty table name for row count"},
                            {!handle_, kState, "Row count failed. Database not open."}}))
        return std::nullopt;
    std::string sql = "SELECT count(1) FROM " + table;
    MSRSqliteValues parameters;
    if (columnValue && !columnName.empty()) {
        sql += " WHERE " + columnName + "=?";
        parameters.push_back(*columnValue);
    }
    return integerForQuery(sql, parameters, error);
}

std::optional<int64_t> MSRSqliteStore::integerForQuery(const std::string& query,
                                                       const MSRSqliteValues& parameterValues, MSRError* error) {
    auto number = numberForQuery(query, parameterValues, error);
    if (!number) return std::nullopt;
    return MSRSqliteInt64(*number);
}

std::optional<bool> MSRSqliteStore::tableExists(const std::string& table, MSRError* error) {
    if (!checksPass(error, {{table.empty(), kArgument, "Received empty table name for table exists"},
                            {!handle_, kState, "Table exists failed. Database not open."}}))
        return std::nullopt;
    sqlite3_stmt* statement =
        prepareBound("SELECT name FROM sqlite_master WHERE type='table' AND name=?", {table}, error);
    if (!statement) return std::nullopt;
    int rc = sqlite3_step(statement);
    std::optional<bool> exists;
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
        exists = rc == SQLITE_ROW;
    } else {
        // A busy or broken file must not read as "no such table": the caller
        // would create it afresh over data it cannot see.
        setDatabaseError(error, "table exists");
    }
    sqlite3_finalize(statement);
    return exists;
}

std::optional<std::vector<MSRSqliteStore::ColumnDeclaration>> MSRSqliteStore::tableInfo(
    const std::string& table, const char* operation, MSRError* error) {
    std::string sql = "PRAGMA table_info(" + table + ")";
    sqlite3_stmt* statement = statementForQuery(sql, error);
    if (!statement) return std::nullopt;
    std::vector<ColumnDeclaration> columns;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        auto text = [&](int column) {
            const unsigned char* value = sqlite3_column_text(statement, column);
            return value ? std::string(reinterpret_cast<const char*>(value)) : std::string();
        };
        columns.push_back({text(1), text(2), sqlite3_column_int(statement, 3) != 0});
    }
    std::optional<std::vector<ColumnDeclaration>> result;
    if (rc == SQLITE_DONE) {
        result = std::move(columns);
    } else {
        setDatabaseError(error, operation);
    }
    cleanUpStatement(statement, sql);
    return result;
}

std::optional<std::vector<std::string>> MSRSqliteStore::columnsForTable(const std::string& table,
                                                                        MSRError* error) {
    if (!checksPass(error, {{table.empty(), kArgument, "Received empty table name for get columns"},
                            {!handle_, kState, "Get table columns failed. Database not open."}}))
        return std::nullopt;
    auto info = tableInfo(table, "get table columns", error);
    if (!info) return std::nullopt;
    std::vector<std::string> names;
    for (const auto& column : *info) {
        if (!column.name.empty()) names.push_back(column.name);
    }
    return names;
}

std::optional<std::map<std::string, std::string>> MSRSqliteStore::columnInfoForTable(const std::string& table,
                                                                                     MSRError* error) {
    if (!checksPass(error, {{table.empty(), kArgument, "Received empty table name for column info"},
                            {!handle_, kState, "Get table column info failed. Database not open."}}))
        return std::nullopt;
    auto info = tableInfo(table, "get table column info", error);
    if (!info) return std::nullopt;
    std::map<std::string, std::string> types;
    for (const auto& column : *info) {
        if (!column.name.empty() && !column.type.empty()) types[column.name] = column.type;
    }
    return types;
}

// --- Queries ----------------------------------------------------------------

std::optional<std::vector<MSRSqliteRow>> MSRSqliteStore::recordsForQuery(
    const std::string& query, const MSRSqliteValues& parameterValues, MSRError* error) {
    return recordsForQuery(query, parameterValues, error, [](size_t, const MSRSqliteRow&) { return true; });
}

std::optional<std::vector<MSRSqliteRow>> MSRSqliteStore::recordsForQuery(
    const std::string& query, const MSRSqliteValues& parameterValues, MSRError* error,
    const MSRSqliteRowFilter& filter) {
    if (!checksPass(error, {{query.empty(), kArgument, "Received empty query for records for query"},
                            {!filter, kArgument, "Received empty filter for selecting records"},
                            {!handle_, kState, "Query records failed. Database not open."},
                            {lowercased(query.substr(0, 6)) != "select", kArgument,
                             "Received invalid select query"}}))
        return std::nullopt;
    sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
    if (!statement) return std::nullopt;

    std::vector<MSRSqliteRow> rows;
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE) {
        cleanUpStatement(statement, query);
        return rows;
    }
    int columnCount = sqlite3_column_count(statement);
    while (rc == SQLITE_ROW) {
        MSRSqliteRow row;
        for (int column = 0; column < columnCount; ++column) {
            const char* name = sqlite3_column_name(statement, column);
            if (!name) {
                MSRStorageLog(4, 34003, "Failed to get column name");
                continue;
            }
            auto value = valueAtColumn(column, statement);
            if (!value) {
                MSRStorageLog(4, 34004, "Value is nil for column", {name});
                continue;
            }
            row[name] = std::move(*value);
        }
        if (!filter(rows.size(), row)) break;
        rows.push_back(std::move(row));
        rc = sqlite3_step(statement);
    }
    // A step that fails part-way leaves a result that only looks complete:
    // callers would delete or upload on the strength of it.
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        setDatabaseError(error, "query records");
        cleanUpStatement(statement, query);
        return std::nullopt;
    }
    if (rows.empty()) MSRStorageLog(4, 34005, "Database contains records that were all filtered out");
    cleanUpStatement(statement, query);
    return rows;
}

bool MSRSqliteStore::stepRecords(const std::string& query, const MSRSqliteValues& parameterValues, MSRError* error,
                                 const std::function<bool(const MSRSqliteRow&)>& visit) {
    if (!checksPass(error, {{query.empty(), kArgument, "Received empty query for records for query"},
                            {!handle_, kState, "Query records failed. Database not open."},
                            {lowercased(query.substr(0, 6)) != "select", kArgument,
                             "Received invalid select query"}}))
        return false;
    sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
    if (!statement) return false;
    const int columnCount = sqlite3_column_count(statement);
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        MSRSqliteRow row;
        for (int column = 0; column < columnCount; ++column) {
            const char* name = sqlite3_column_name(statement, column);
            std::optional<MSRSqliteValue> value = name ? valueAtColumn(column, statement) : std::nullopt;
            if (value) row[name] = std::move(*value);
        }
        if (!visit(row)) {
            rc = SQLITE_DONE;
            break;
        }
    }
    const bool done = rc == SQLITE_DONE;
    if (!done) setDatabaseError(error, "query records");
    cleanUpStatement(statement, query);
    return done;
}

std::optional<int64_t> MSRSqliteStore::deleteRowsUpTo(const std::string& table, int64_t lastRowID, MSRError* error,
                                                      int64_t* copied) {
    std::optional<std::vector<std::string>> columns = columnsForTable(table, error);
    if (!columns) return std::nullopt;
    std::string list;
    for (const std::string& column : *columns) list += ", \"" + column + "\"";
    const std::string kept = "temp.\"kept_" + table + "\"";
    std::optional<int64_t> deleted;
    auto trim = [&] {
        if (!executeSQL("DROP TABLE IF EXISTS " + kept, error) ||
            !executeSQL("CREATE TABLE " + kept + " AS SELECT rowid AS kept_rowid" + list + " FROM \"" + table +
                            "\" WHERE rowid > " + std::to_string(lastRowID),
                        error))
            return false;
        sqlite3_stmt* emptied = prepareSQL("DELETE FROM \"" + table + "\"", error);
        if (!emptied) return false;
        const int rc = sqlite3_step(emptied);
        sqlite3_finalize(emptied);
        if (rc != SQLITE_DONE) {
            setDatabaseError(error, "delete records");
            return false;
        }
        const int64_t all = sqlite3_changes64(handle_);
        if (!executeSQL("INSERT INTO \"" + table + "\" (rowid" + list + ") SELECT kept_rowid" + list + " FROM " +
                            kept + " ORDER BY kept_rowid",
                        error))
            return false;
        const int64_t putBack = sqlite3_changes64(handle_);
        deleted = all - putBack;
        if (copied) *copied = putBack;
        return executeSQL("DROP TABLE " + kept, error);
    };
    // Freed pages are zeroed only where that costs no extra write: a table of
    // millions of rows is emptied in seconds instead of minutes.
    const int64_t secureDelete = integerForQuery("PRAGMA secure_delete", {}, nullptr).value_or(1);
    executeSQL("PRAGMA secure_delete = FAST", nullptr);
    const bool trimmed = isInTransaction() ? performSavepoint(error, trim) : performTransaction(error, trim);
    executeSQL("PRAGMA secure_delete = " + std::to_string(secureDelete), nullptr);
    if (!trimmed) return std::nullopt;
    return deleted;
}

std::optional<MSRSqliteValue> MSRSqliteStore::numberForQuery(const std::string& query,
                                                             const MSRSqliteValues& parameterValues,
                                                             MSRError* error) {
    if (!checksPass(error, {{query.empty(), kArgument, "Received empty query to get numeric result"},
                            {!handle_, kState, "Query numeric result failed. Database not open."}}))
        return std::nullopt;
    sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
    if (!statement) return std::nullopt;
    std::optional<MSRSqliteValue> number;
    if (sqlite3_step(statement) == SQLITE_ROW) {
        auto value = valueAtColumn(0, statement);
        if (value && (std::holds_alternative<int64_t>(*value) || std::holds_alternative<double>(*value))) {
            number = std::move(value);
        } else if (!value || !std::holds_alternative<MSRSqliteNull>(*value)) {
            refuse(error, kArgument, "Found result that was not numeric");
        }
    } else {
        setDatabaseError(error, "query numeric result");
    }
    cleanUpStatement(statement, query);
    return number;
}

// --- Transactions -----------------------------------------------------------

// Every event is written in a savepoint or transaction of its own: parsing
// these statements afresh each time costs about as much as the insert, so they
// stay prepared in the statement cache like any other statement.
bool MSRSqliteStore::stepTransactionStatement(const std::string& sql) {
    if (!handle_) return false;
    sqlite3_stmt* statement = statementForQuery(sql, nullptr);
    if (!statement) return false;
    bool done = sqlite3_step(statement) == SQLITE_DONE;
    // Reset straight away: a failed END must leave the connection's error
    // code for the caller and no statement holding the transaction open.
    cleanUpStatement(statement, sql);
    return done;
}

bool MSRSqliteStore::beginTransaction() {
    static const std::string sql = "BEGIN EXCLUSIVE TRANSACTION";
    return stepTransactionStatement(sql);
}

bool MSRSqliteStore::endTransaction() {
    static const std::string sql = "END TRANSACTION";
    return stepTransactionStatement(sql);
}

bool MSRSqliteStore::rollbackTransaction() {
    static const std::string sql = "ROLLBACK";
    return stepTransactionStatement(sql);
}

bool MSRSqliteStore::isInTransaction() const { return handle_ && !sqlite3_get_autocommit(handle_); }

bool MSRSqliteStore::performSavepoint(MSRError* error, const std::function<bool()>& block) {
    if (!checksPass(error, {{!block, kArgument, "Received nil transaction block"},
                            {!handle_, kState, "Database not open"},
                            {!isInTransaction(), kState, "No transaction open"}}))
        return false;
    static const std::string begin = "SAVEPOINT write_step";
    static const std::string release = "RELEASE write_step";
    static const std::string undo = "ROLLBACK TO write_step";
    if (!stepTransactionStatement(begin)) return refuse(error, kDatabase, "Failed to begin transaction");
    // ROLLBACK TO keeps the savepoint on the stack; RELEASE takes it off. A
    // transaction SQLite has already rolled back has no savepoint left.
    auto undoStep = [this] {
        if (isInTransaction() && !(stepTransactionStatement(undo) && stepTransactionStatement(release))) {
            MSRStorageLog(1, 34011, "Failed to rollback transaction");
        }
    };
    bool succeeded;
    try {
        succeeded = block();
    } catch (...) {
        undoStep();
        throw;
    }
    if (!succeeded) {
        refuse(error, kDatabase, "Transaction failed");
        undoStep();
        return false;
    }
    if (!stepTransactionStatement(release)) {
        MSRSetErrorWithMonitorContext(error, kDatabase, "Failed to end transaction",
                                      monitorContextForDatabaseOperation("end transaction"));
        undoStep();
        return false;
    }
    return true;
}

bool MSRSqliteStore::performTransaction(MSRError* error, const std::function<bool()>& block) {
    if (!checksPass(error, {{!block, kArgument, "Received nil transaction block"},
                            {!handle_, kState, "Database not open"}}))
        return false;
    if (!beginTransaction()) return refuse(error, kDatabase, "Failed to begin transaction");
    bool succeeded;
    try {
        succeeded = block();
    } catch (...) {
        if (!rollbackTransaction()) {
            MSRStorageLog(1, 34009, "Failed to rollback transaction after exception");
        }
        throw;
    }
    if (!succeeded) {
        refuse(error, kDatabase, "Transaction failed");
        // A full disk or an interrupt may have made SQLite roll back already.
        if (!sqlite3_get_autocommit(handle_) && !rollbackTransaction()) {
            MSRStorageLog(1, 34011, "Failed to rollback transaction");
        }
        return false;
    }
    if (!endTransaction()) {
        MSRSetErrorWithMonitorContext(error, kDatabase, "Failed to end transaction",
                                      monitorContextForDatabaseOperation("end transaction"));
        // A commit that could not take its lock or write its journal leaves the
        // transaction open, and every later BEGIN of this connection would fail.
        if (!sqlite3_get_autocommit(handle_) && !rollbackTransaction()) {
            MSRStorageLog(1, 34011, "Failed to rollback transaction");
        }
        return false;
    }
    return true;
}

// --- Write-ahead log check ----------------------------------------------------

namespace {

// Whether a frame checks out when the checksum `before` is carried over its
// header and page; `after`, when given, then goes on to the frame's.
bool frameChecksOut(const MSRLogChecksum& before, const uint8_t* frame, uint32_t pageSize, MSRLogChecksum* after) {
    MSRLogChecksum next = before;
    next.add(frame, 8);
    next.add(frame + kMSRLogFrameHeaderSize, pageSize);
    const bool checksOut = MSRBigEndian32(frame) != 0 && next.first == MSRBigEndian32(frame + 16) &&
                           next.second == MSRBigEndian32(frame + 20);
    if (checksOut && after) *after = next;
    return checksOut;
}

}  // namespace

std::optional<std::string> MSRDamageOfWriteAheadLog(const std::string& path) {
    const std::string logPath = path + "-wal";
    std::error_code ec;
    const uintmax_t logSize = fs::file_size(logPath, ec);
    if (ec || logSize < kMSRLogHeaderSize) return std::nullopt;
    std::ifstream log(logPath, std::ios::binary);
    uint8_t header[kMSRLogHeaderSize];
    if (!log.read(reinterpret_cast<char*>(header), sizeof header)) return std::nullopt;
    // SQLite drops a log whose header it does not read, with every frame
    // behind it: damage only when a transaction committed there goes too.
    std::optional<MSRLogHeader> readable = MSRReadLogHeader(header);
    if (!readable) {
        if (logSize <= kMSRLogHeaderSize) return std::nullopt;
        std::optional<MSRLogFrames> frames = MSRReadLogFrames(logPath, 0);
        if (frames && !frames->frames.empty()) return std::string("the log's header cannot be read");
        return std::nullopt;
    }
    const uint32_t pageSize = readable->pageSize;
    MSRLogChecksum checksum;
    checksum.bigEndianWords = readable->bigEndianWords;
    checksum.first = MSRBigEndian32(header + 24);
    checksum.second = MSRBigEndian32(header + 28);

    const uint8_t* salts = header + 16;
    const size_t frameSize = kMSRLogFrameHeaderSize + pageSize;
    std::vector<uint8_t> frame(frameSize);
    auto saltsMatch = [&](const uint8_t* frameHeader) { return std::equal(salts, salts + 8, frameHeader + 8); };
    auto commits = [](const uint8_t* frameHeader) { return MSRBigEndian32(frameHeader + 4) != 0; };
    // SQLite's own reading: the chain of checksums from the header, up to the
    // first frame that breaks it; the log ends at the last commit frame read.
    uintmax_t offset = kMSRLogHeaderSize;
    int64_t committedFrames = 0;
    int64_t framesRead = 0;
    bool broken = false;
    for (; offset + frameSize <= logSize; offset += frameSize) {
        if (!log.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frameSize)))
            return std::nullopt;
        if (!saltsMatch(frame.data()) || !frameChecksOut(checksum, frame.data(), pageSize, &checksum)) {
            broken = true;
            break;
        }
        ++framesRead;
        if (commits(frame.data())) committedFrames = framesRead;
    }
    // Frames past the break are no damage unless SQLite needed them: SQLite
    // writes a transaction larger than its page cache into the log before
    // its commit, rewrites pages it already wrote there in place and mends
    // their checksums only at the commit, so a kill before it leaves frames
    // that do not check out, followed by frames of the same log, and no
    // commit; the next start writes over them from the last commit, and
    // what it does not overwrite stays behind. Damage is what a damaged
    // frame leaves: behind it, frames written one after another, each
    // checking out on the checksum its predecessor stores (the frame right
    // after the break may not, when the damage took the stored checksum),
    // with commit frames of transactions committed after the damaged one.
    // One commit frame is not enough: it may be the commit of the very
    // transaction the break lies in, cut by a kill while SQLite mended its
    // checksums (it had not returned), which SQLite drops as it should. A
    // frame that does not check out ends the run: frames of an attempt a kill
    // cut begin there, or pages rewritten in place.
    if (broken) {
        int64_t commitsBehind = 0;
        std::optional<MSRLogChecksum> stored;
        auto storedOf = [&](const uint8_t* frameHeader) {
            MSRLogChecksum sum = checksum;
            sum.first = MSRBigEndian32(frameHeader + 16);
            sum.second = MSRBigEndian32(frameHeader + 20);
            return sum;
        };
        if (saltsMatch(frame.data())) stored = storedOf(frame.data());
        bool first = true;
        for (offset += frameSize; offset + frameSize <= logSize; offset += frameSize, first = false) {
            if (!log.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frameSize))) break;
            if (!saltsMatch(frame.data())) break;
            const bool checksOut = stored && frameChecksOut(*stored, frame.data(), pageSize, nullptr);
            if (!checksOut && !first) break;
            if (checksOut && commits(frame.data()) && ++commitsBehind > 1) {
                return "frame " + std::to_string(framesRead + 1) +
                       " is damaged and transactions committed after it follow";
            }
            stored = storedOf(frame.data());
        }
    }
    // A log that ends inside a frame is not damage: SQLite writes a frame's
    // header and its page in two writes, and a process killed between them
    // leaves a header without its page. Such a frame belongs to a
    // transaction that never committed, which SQLite ignores, as it should.
    if (committedFrames > 0) {
        const uintmax_t mainSize = fs::file_size(path, ec);
        if (!ec && mainSize == 0)
            return std::to_string(committedFrames) + " committed frames beside an empty or missing main file";
    }
    return std::nullopt;
}
