#include "analytics/storage/MSRDatabaseSalvage.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <set>

#include "analytics/storage/MSRWriteAheadLog.h"

namespace {

std::string quotedName(const std::string& name) {
    std::string out = "\"";
    for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

// One statement of the damaged file, finalized with its reader.
class Statement {
  public:
    Statement(sqlite3* handle, const std::string& sql) {
        if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK) {
            sqlite3_finalize(statement_);
            statement_ = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return statement_; }
    explicit operator bool() const { return statement_ != nullptr; }

  private:
    sqlite3_stmt* statement_ = nullptr;
};

struct DamagedColumn {
    std::string name;
    std::string type;  // as declared, upper case
    bool notNull = false;
};

// The columns of `table` in the damaged file; nothing when its schema cannot
// be read.
std::optional<std::vector<DamagedColumn>> damagedColumns(sqlite3* handle, const std::string& table) {
    Statement info(handle, "PRAGMA table_info(" + quotedName(table) + ")");
    if (!info) return std::nullopt;
    std::vector<DamagedColumn> columns;
    int rc;
    while ((rc = sqlite3_step(info.get())) == SQLITE_ROW) {
        const unsigned char* name = sqlite3_column_text(info.get(), 1);
        const unsigned char* type = sqlite3_column_text(info.get(), 2);
        if (!name) continue;
        DamagedColumn& column = columns.emplace_back();
        column.name = reinterpret_cast<const char*>(name);
        if (type) column.type = reinterpret_cast<const char*>(type);
        for (char& c : column.type) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        column.notNull = sqlite3_column_int(info.get(), 3) != 0;
    }
    if (rc != SQLITE_DONE || columns.empty()) return std::nullopt;
    return columns;
}

// Whether a value read fits its column's declaration: under a schema that was
// put on the file rather than read from it, a page of another table reads as
// rows of the wrong shape, and those are not copied.
bool fitsDeclaration(sqlite3_value* value, const DamagedColumn& column) {
    const int type = sqlite3_value_type(value);
    if (type == SQLITE_NULL) return !column.notNull;
    if (column.type.find("INT") != std::string::npos) return type == SQLITE_INTEGER;
    if (column.type.find("TEXT") != std::string::npos) return type == SQLITE_TEXT;
    if (column.type.find("REAL") != std::string::npos) return type == SQLITE_FLOAT || type == SQLITE_INTEGER;
    return true;
}

// Reads one table of the damaged file in rowid order, stepping over what
// SQLite cannot read.
class RowReader {
  public:
    RowReader(sqlite3* handle, const std::string& table, const std::vector<std::string>& columns)
        : select_(handle, selectText(table, columns)) {}

    explicit operator bool() const { return static_cast<bool>(select_); }

    // Hands the readable rows from rowid `start` on to `row` (the statement
    // positioned on it, the columns from 1) until it answers false; `next`
    // then receives the rowid to go on from, and nothing once the rows end.
    // The number of stretches it had to skip.
    template <typename RowHandler>
    int64_t readFrom(int64_t start, RowHandler&& row, std::optional<int64_t>* next) {
        int64_t skipped = 0;
        std::optional<int64_t> from = start;
        *next = std::nullopt;
        while (from) {
            sqlite3_reset(select_.get());
            sqlite3_bind_int64(select_.get(), 1, *from);
            int rc;
            while ((rc = sqlite3_step(select_.get())) == SQLITE_ROW) {
                const int64_t rowID = sqlite3_column_int64(select_.get(), 0);
                // A damaged tree can hand back a row out of order; reading on
                // from it could loop.
                if (rowID < *from) break;
                const bool more = row(select_.get());
                if (rowID == std::numeric_limits<int64_t>::max()) {
                    sqlite3_reset(select_.get());
                    return skipped;
                }
                from = rowID + 1;
                if (!more) {
                    sqlite3_reset(select_.get());
                    *next = from;
                    return skipped;
                }
            }
            if (rc == SQLITE_DONE) break;
            ++skipped;
            from = firstReadableFrom(*from);
        }
        sqlite3_reset(select_.get());
        return skipped;
    }

  private:
    static std::string selectText(const std::string& table, const std::vector<std::string>& columns) {
        std::string sql = "SELECT rowid";
        for (const std::string& column : columns) sql += ", " + quotedName(column);
        return sql + " FROM " + quotedName(table) + " WHERE rowid >= ?1 ORDER BY rowid";
    }

    // Whether a read starting at `rowID` gets its first row, or the end.
    bool readsFrom(int64_t rowID) {
        sqlite3_reset(select_.get());
        sqlite3_bind_int64(select_.get(), 1, rowID);
        const int rc = sqlite3_step(select_.get());
        const bool readable = (rc == SQLITE_ROW && sqlite3_column_int64(select_.get(), 0) >= rowID) || rc == SQLITE_DONE;
        sqlite3_reset(select_.get());
        return readable;
    }

    // The first rowid after `failed` from which reading works: steps of
    // doubling length find one, halving between it and the last failure
    // finds the first. Nothing when no rowid past it reads. Distances are
    // unsigned: rowids span the whole signed range.
    std::optional<int64_t> firstReadableFrom(int64_t failed) {
        const uint64_t base = static_cast<uint64_t>(failed);
        const uint64_t room = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - base;
        if (room == 0) return std::nullopt;
        uint64_t bad = 0;  // distances from `failed`
        uint64_t good = 0;
        for (uint64_t step = 1; !good; step = step > room / 2 ? room : step * 2) {
            if (readsFrom(static_cast<int64_t>(base + step))) {
                good = step;
            } else if (step == room) {
                return std::nullopt;
            } else {
                bad = step;
            }
        }
        while (good - bad > 1) {
            const uint64_t middle = bad + (good - bad) / 2;
            if (readsFrom(static_cast<int64_t>(base + middle))) {
                good = middle;
            } else {
                bad = middle;
            }
        }
        return static_cast<int64_t>(base + good);
    }

    Statement select_;
};

namespace fs = std::filesystem;

const char* const kSalvagedJournalSuffixes[] = {"-wal", "-shm", "-journal"};

}  // namespace

// A copy of a kept database and its write-ahead log to read from: reading
// may change a file (SQLite rebuilds the log's index, a header may have to be
// put back), and the kept files stay as they were found. Removed with this
// object.
class MSRSalvageScratchCopy {
  public:
    explicit MSRSalvageScratchCopy(const std::string& kept) : path_(kept + ".reading") {
        removeAll();
        std::error_code ec;
        copied_ = fs::copy_file(kept, path_, ec) && !ec;
        if (copied_ && fs::exists(kept + "-wal", ec)) {
            copied_ = fs::copy_file(kept + "-wal", path_ + "-wal", ec) && !ec;
        }
    }
    ~MSRSalvageScratchCopy() { removeAll(); }
    MSRSalvageScratchCopy(const MSRSalvageScratchCopy&) = delete;
    MSRSalvageScratchCopy& operator=(const MSRSalvageScratchCopy&) = delete;

    explicit operator bool() const { return copied_; }
    const std::string& path() const { return path_; }
    bool hasLog() const {
        std::error_code ec;
        return fs::file_size(path_ + "-wal", ec) > 0 && !ec;
    }
    // The page size the log names, when it names a valid one.
    std::optional<uint32_t> logPageSize() const {
        std::ifstream log(path_ + "-wal", std::ios::binary);
        uint8_t header[12];
        if (!log.read(reinterpret_cast<char*>(header), sizeof header)) return std::nullopt;
        const uint32_t size = MSRBigEndian32(header + 8);
        if (!MSRValidPageSize(size)) return std::nullopt;
        return size;
    }
    void removeIndex() const {
        std::error_code ec;
        fs::remove(path_ + "-shm", ec);
    }
    // Puts the page of every committed frame of the log that checks out on
    // its own into the main file, in log order, and removes the log: SQLite
    // reads a damaged log only up to its first bad frame, or not at all when
    // its header is damaged.
    void takeIntactFrames() const {
        uint32_t pageSizeHint = 0;
        {
            std::ifstream main(path_, std::ios::binary);
            uint8_t header[18];
            if (main.read(reinterpret_cast<char*>(header), sizeof header)) {
                const uint32_t size = (uint32_t{header[16]} << 8) | header[17];
                pageSizeHint = size == 1 ? 65536 : size;
            }
        }
        std::vector<uint8_t> log;
        std::optional<MSRLogFrames> frames = MSRReadLogFrames(path_ + "-wal", pageSizeHint, &log);
        if (!frames) return;
        std::fstream main(path_, std::ios::in | std::ios::out | std::ios::binary);
        for (const MSRLogFrames::Frame& frame : frames->frames) {
            main.seekp(static_cast<std::streamoff>(frame.pageNumber - 1) * frames->pageSize);
            main.write(reinterpret_cast<const char*>(log.data() + frame.pageOffset), frames->pageSize);
        }
        // The page count in the header may be older than the pages put in:
        // without one, SQLite counts the file's size.
        std::error_code ec;
        if (fs::file_size(path_, ec) >= 100 && !ec) {
            const char none[4] = {};
            main.seekp(28);
            main.write(none, sizeof none);
        }
        main.close();
        if (!main) return;
        fs::remove(path_ + "-wal", ec);
        removeIndex();
    }

    // Scratch copies a process that ended while reading left beside the
    // copies of `databasePath`.
    static void removeLeftovers(const std::string& databasePath) {
        const fs::path file(databasePath);
        const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
        const std::string prefix = file.filename().string() + ".damaged-";
        std::error_code ec;
        std::vector<fs::path> leftovers;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.rfind(prefix, 0) == 0 && name.find(".reading") != std::string::npos)
                leftovers.push_back(it->path());
        }
        for (const fs::path& leftover : leftovers) fs::remove(leftover, ec);
    }

  private:
    void removeAll() const {
        std::error_code ec;
        fs::remove(path_, ec);
        for (const char* suffix : kSalvagedJournalSuffixes) fs::remove(path_ + suffix, ec);
    }

    std::string path_;
    bool copied_ = false;
};

namespace {

// A connection to the scratch copy, or null; closing it writes nothing back.
sqlite3* openCopy(const std::string& path) {
    sqlite3* handle = nullptr;
    if (sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(handle);
        return nullptr;
    }
    sqlite3_db_config(handle, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    return handle;
}

// Whether SQLite reads a schema naming at least one table.
bool readsSchema(sqlite3* handle) {
    Statement count(handle, "SELECT count(*) FROM sqlite_master WHERE type = 'table'");
    return count && sqlite3_step(count.get()) == SQLITE_ROW && sqlite3_column_int64(count.get(), 0) > 0;
}

// Puts `page`, the first page of a fresh file of the same schema, on the
// copy, keeping the copy's other pages; the page count is left to the file's
// size and nothing is taken for free.
bool putFirstPage(const MSRSalvageScratchCopy& copy, const std::vector<uint8_t>& page) {
    if (page.size() < 100) return false;
    std::vector<uint8_t> first = page;
    first[18] = first[19] = copy.hasLog() ? 2 : 1;  // file format versions
    std::fill(first.begin() + 28, first.begin() + 40, 0);  // page count, free list
    std::error_code ec;
    if (fs::file_size(copy.path(), ec) < first.size() && !ec) fs::resize_file(copy.path(), first.size(), ec);
    if (ec) return false;
    std::fstream file(copy.path(), std::ios::in | std::ios::out | std::ios::binary);
    file.write(reinterpret_cast<const char*>(first.data()), static_cast<std::streamsize>(first.size()));
    file.close();
    return static_cast<bool>(file);
}

// Opens the copy as it is, or, when SQLite does not read it as a database,
// with a header put back: with the page size its log names, else the sizes
// SQLite may have used, the default first. When no header makes its schema
// readable (the first page holds the schema), with `freshFirstPage` put on
// it, if given: `guessed` is then set.
sqlite3* openReadable(const MSRSalvageScratchCopy& copy, const std::vector<uint8_t>& freshFirstPage, bool* guessed) {
    std::error_code ec;
    // SQLite would delete the log of an empty main file.
    if (fs::file_size(copy.path(), ec) >= 512 && !ec) {
        if (sqlite3* handle = openCopy(copy.path())) {
            if (readsSchema(handle)) return handle;
            sqlite3_close(handle);
        }
    }
    std::vector<uint32_t> pageSizes;
    if (std::optional<uint32_t> logged = copy.logPageSize()) pageSizes.push_back(*logged);
    for (uint32_t size : kMSRPageSizes) {
        if (std::find(pageSizes.begin(), pageSizes.end(), size) == pageSizes.end()) pageSizes.push_back(size);
    }
    for (uint32_t size : pageSizes) {
        copy.removeIndex();
        if (!MSRDatabaseSalvage::putHeader(copy.path(), size, copy.hasLog())) return nullptr;
        if (sqlite3* handle = openCopy(copy.path())) {
            if (readsSchema(handle)) return handle;
            sqlite3_close(handle);
        }
    }
    copy.removeIndex();
    if (freshFirstPage.empty() || !putFirstPage(copy, freshFirstPage)) return nullptr;
    if (sqlite3* handle = openCopy(copy.path())) {
        if (readsSchema(handle)) {
            *guessed = true;
            return handle;
        }
        sqlite3_close(handle);
    }
    return nullptr;
}

void putBigEndian(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 24);
    bytes[1] = static_cast<uint8_t>(value >> 16);
    bytes[2] = static_cast<uint8_t>(value >> 8);
    bytes[3] = static_cast<uint8_t>(value);
}

}  // namespace

bool MSRDatabaseSalvage::putHeader(const std::string& path, uint32_t pageSize, bool writeAheadLog) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(path, ec);
    if (ec) return false;
    // Short of a whole first page SQLite would take the file for an empty database.
    if (size < pageSize) {
        fs::resize_file(path, pageSize, ec);
        if (ec) return false;
    }
    uint8_t header[100] = {};
    std::memcpy(header, "SQLite format 3", 16);
    header[16] = static_cast<uint8_t>(pageSize == 65536 ? 0 : pageSize >> 8);
    header[17] = static_cast<uint8_t>(pageSize == 65536 ? 1 : pageSize & 0xff);
    header[18] = header[19] = writeAheadLog ? 2 : 1;  // file format versions
    header[21] = 64;                                   // payload fractions, fixed
    header[22] = 32;
    header[23] = 32;
    putBigEndian(header + 24, 1);  // change counter; the page count below is then
    putBigEndian(header + 28, 0);  // taken from the file's size
    putBigEndian(header + 40, 1);  // schema cookie
    putBigEndian(header + 44, 4);  // schema format
    putBigEndian(header + 56, 1);  // UTF-8
    putBigEndian(header + 96, SQLITE_VERSION_NUMBER);
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.write(reinterpret_cast<const char*>(header), sizeof header);
    file.close();
    return static_cast<bool>(file);
}

struct MSRDatabaseSalvage::Source {
    MSRSalvageScratchCopy copy;
    sqlite3* handle = nullptr;
    bool guessed = false;
    explicit Source(const std::string& damagedPath) : copy(damagedPath) {}
    ~Source() { sqlite3_close(handle); }
};

MSRDatabaseSalvage::MSRDatabaseSalvage() = default;
MSRDatabaseSalvage::~MSRDatabaseSalvage() = default;

std::unique_ptr<MSRDatabaseSalvage> MSRDatabaseSalvage::open(const std::string& damagedPath,
                                                           const std::vector<uint8_t>& freshFirstPage,
                                                           bool* lackOfRoom) {
    std::unique_ptr<MSRDatabaseSalvage> salvage(new MSRDatabaseSalvage());
    salvage->source_ = std::make_unique<Source>(damagedPath);
    Source& source = *salvage->source_;
    // The kept copy is there (the caller saw it): a scratch copy that cannot
    // be made could not be written.
    if (!source.copy) {
        std::error_code ec;
        if (lackOfRoom) *lackOfRoom = fs::exists(damagedPath, ec);
        return nullptr;
    }
    if (source.copy.hasLog() && MSRDamageOfWriteAheadLog(source.copy.path())) source.copy.takeIntactFrames();
    source.handle = openReadable(source.copy, freshFirstPage, &source.guessed);
    if (!source.handle) return nullptr;
    return salvage;
}

void MSRDatabaseSalvage::removeScratchCopies(const std::string& databasePath) {
    MSRSalvageScratchCopy::removeLeftovers(databasePath);
}

bool MSRDatabaseSalvage::hasTable(const std::string& table) const {
    return damagedColumns(source_->handle, table).has_value();
}

namespace {

// The kept file's bundle index: its row may be unreadable where the largest
// index still reads.
constexpr const char* kLastBundleIndexQuery = "SELECT max(last_bundle_index) FROM app_metadata";

// The first column of the one row `sql` gives on `handle`, as an integer.
std::optional<int64_t> salvageInteger(sqlite3* handle, const std::string& sql, std::optional<int64_t> bound = {}) {
    Statement statement(handle, sql);
    if (!statement) return std::nullopt;
    if (bound) sqlite3_bind_int64(statement.get(), 1, *bound);
    if (sqlite3_step(statement.get()) != SQLITE_ROW || sqlite3_column_type(statement.get(), 0) != SQLITE_INTEGER)
        return std::nullopt;
    return sqlite3_column_int64(statement.get(), 0);
}

}  // namespace

std::optional<int64_t> MSRDatabaseSalvage::lastRowID(const std::string& table) const {
    if (!hasTable(table)) return std::nullopt;
    return salvageInteger(source_->handle, "SELECT max(rowid) FROM " + quotedName(table));
}

std::optional<int64_t> MSRDatabaseSalvage::rowsFrom(const std::string& table, int64_t from) const {
    if (!hasTable(table)) return std::nullopt;
    return salvageInteger(source_->handle, "SELECT count(*) FROM " + quotedName(table) + " WHERE rowid >= ?1", from);
}

MSRDatabaseSalvage::Waiting MSRDatabaseSalvage::waitingInMainFile(const std::string& damagedPath,
                                                                  const std::vector<std::string>& tables) {
    Waiting waiting;
    sqlite3* handle = nullptr;
    // Immutable: no lock, no index of the log, nothing written beside it.
    std::string uri = "file:";
    for (const char c : damagedPath) {
        if (c == '?' || c == '#' || c == '%') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
            uri += escaped;
        } else {
            uri += c;
        }
    }
    uri += "?immutable=1";
    if (sqlite3_open_v2(uri.c_str(), &handle, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
        sqlite3_close(handle);
        return waiting;
    }
    for (const std::string& table : tables) {
        if (!damagedColumns(handle, table)) continue;
        if (std::optional<int64_t> counted = salvageInteger(handle, "SELECT count(*) FROM " + quotedName(table)))
            waiting.rows = waiting.rows.value_or(0) + *counted;
    }
    waiting.lastBundleIndex = salvageInteger(handle, kLastBundleIndexQuery);
    sqlite3_close(handle);
    return waiting;
}

std::optional<int64_t> MSRDatabaseSalvage::lastBundleIndex() const {
    return salvageInteger(source_->handle, kLastBundleIndexQuery);
}

bool MSRDatabaseSalvage::copyRows(const std::string& table, MSRSqliteStore& destination, int64_t from,
                                  const Limits& limits, TableResult* result, std::optional<int64_t>* next) {
    *next = std::nullopt;
    result->table = table;
    std::optional<std::vector<DamagedColumn>> sourceColumns = damagedColumns(source_->handle, table);
    std::optional<std::vector<std::string>> ownColumns = destination.columnsForTable(table, nullptr);
    if (!sourceColumns || !ownColumns) return true;
    // Columns the damaged file has and this table declares: a column of
    // another version is left behind, a missing one takes its default.
    std::set<std::string> own(ownColumns->begin(), ownColumns->end());
    std::vector<std::string> columns;
    std::vector<DamagedColumn> declared;
    for (const DamagedColumn& column : *sourceColumns) {
        if (!own.count(column.name)) continue;
        columns.push_back(column.name);
        declared.push_back(column);
    }
    if (columns.empty()) return true;

    RowReader reader(source_->handle, table, columns);
    // Each row keeps its rowid: a row copied before a kill is not copied
    // twice when the next start reads the same rows again, and the tables
    // keep their order. The one row of the application metadata takes the
    // place of the fresh file's.
    std::string insertText = std::string(limits.replaceRows ? "INSERT OR REPLACE" : "INSERT OR IGNORE") +
                             " INTO " + quotedName(table) + " (rowid";
    std::string placeholders = "?";
    for (const std::string& column : columns) {
        insertText += ", " + quotedName(column);
        placeholders += ", ?";
    }
    insertText += ") VALUES (" + placeholders + ")";
    // A kept row whose rowid the destination already holds: the same row,
    // copied before a kill (2), or a row the engine wrote while the salvage
    // waited for room (1), which moves past every rowid of both files.
    std::string heldText = "SELECT CASE WHEN NOT EXISTS (SELECT 1 FROM " + quotedName(table) +
                           " WHERE rowid = ?1) THEN 0 WHEN EXISTS (SELECT 1 FROM " + quotedName(table) +
                           " WHERE rowid = ?1";
    for (size_t i = 0; i < columns.size(); ++i)
        heldText += " AND " + quotedName(columns[i]) + " IS ?" + std::to_string(i + 2);
    heldText += ") THEN 2 ELSE 1 END";
    const std::string moveText = "UPDATE " + quotedName(table) + " SET rowid = ?2 WHERE rowid = ?1";
    sqlite3_stmt* insert = nullptr;
    sqlite3_stmt* held = nullptr;
    sqlite3_stmt* move = nullptr;
    auto finalizeAll = [&] {
        sqlite3_finalize(insert);
        sqlite3_finalize(held);
        sqlite3_finalize(move);
    };
    if (!reader ||
        sqlite3_prepare_v2(destination.sqliteHandle(), insertText.c_str(), -1, &insert, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(destination.sqliteHandle(), heldText.c_str(), -1, &held, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(destination.sqliteHandle(), moveText.c_str(), -1, &move, nullptr) != SQLITE_OK) {
        finalizeAll();
        return true;
    }
    // Where the next row moved out of the way goes.
    std::optional<int64_t> movedTo;
    auto heldBy = [&](sqlite3_stmt* row, int64_t rowID) {
        sqlite3_bind_int64(held, 1, rowID);
        for (size_t i = 0; i < columns.size(); ++i)
            sqlite3_bind_value(held, static_cast<int>(i + 2), sqlite3_column_value(row, static_cast<int>(i + 1)));
        const int answer = sqlite3_step(held) == SQLITE_ROW ? sqlite3_column_int(held, 0) : 0;
        sqlite3_reset(held);
        sqlite3_clear_bindings(held);
        return answer;
    };
    auto moveAside = [&](int64_t rowID) {
        if (!movedTo) {
            const int64_t keptLast = lastRowID(table).value_or(rowID + (int64_t{1} << 40));
            const int64_t ownLast =
                destination.integerForQuery("SELECT max(rowid) FROM " + quotedName(table), {}, nullptr).value_or(0);
            const int64_t last = std::max(keptLast, ownLast);
            if (last == std::numeric_limits<int64_t>::max()) return false;
            movedTo = last + 1;
        }
        sqlite3_bind_int64(move, 1, rowID);
        sqlite3_bind_int64(move, 2, *movedTo);
        const int rc = sqlite3_step(move);
        sqlite3_reset(move);
        if (rc != SQLITE_DONE) return false;
        if (*movedTo < std::numeric_limits<int64_t>::max()) ++*movedTo;
        return true;
    };
    result->found = true;
    int64_t rows = 0;
    int64_t bytes = 0;
    bool failed = false;
    result->unreadableStretches += reader.readFrom(
        from,
        [&](sqlite3_stmt* row) {
            if (source_->guessed) {
                for (size_t i = 0; i < columns.size(); ++i) {
                    if (!fitsDeclaration(sqlite3_column_value(row, static_cast<int>(i + 1)), declared[i])) {
                        ++result->refused;
                        return ++rows < limits.rows;
                    }
                }
            }
            sqlite3_bind_int64(insert, 1, sqlite3_column_int64(row, 0));
            for (size_t i = 0; i < columns.size(); ++i) {
                sqlite3_bind_value(insert, static_cast<int>(i + 2), sqlite3_column_value(row, static_cast<int>(i + 1)));
                bytes += sqlite3_column_bytes(row, static_cast<int>(i + 1));
            }
            int rc = sqlite3_step(insert);
            bool inserted = rc == SQLITE_DONE && sqlite3_changes(destination.sqliteHandle()) > 0;
            sqlite3_reset(insert);
            if (rc == SQLITE_DONE && !inserted && heldBy(row, sqlite3_column_int64(row, 0)) == 1) {
                if (!moveAside(sqlite3_column_int64(row, 0))) {
                    sqlite3_clear_bindings(insert);
                    failed = true;
                    return false;
                }
                rc = sqlite3_step(insert);
                inserted = rc == SQLITE_DONE && sqlite3_changes(destination.sqliteHandle()) > 0;
                sqlite3_reset(insert);
            }
            sqlite3_clear_bindings(insert);
            // A write that fails (a full disk) ends the part: the caller's
            // transaction is rolled back.
            if (rc != SQLITE_DONE && (rc & 0xff) != SQLITE_CONSTRAINT) {
                failed = true;
                return false;
            }
            (inserted ? result->copied : result->refused) += 1;
            return ++rows < limits.rows && bytes < limits.bytes;
        },
        next);
    finalizeAll();
    if (failed) *next = std::nullopt;
    return !failed;
}
