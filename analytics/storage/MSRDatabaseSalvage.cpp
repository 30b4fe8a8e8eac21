#include "analytics/storage/MSRDatabaseSalvage.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <set>

namespace {

std::string quoted(const std::string& name) {
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

// The column names of `table` in the damaged file; nothing when its schema
// cannot be read.
std::optional<std::vector<std::string>> damagedColumns(sqlite3* handle, const std::string& table) {
    Statement info(handle, "PRAGMA table_info(" + quoted(table) + ")");
    if (!info) return std::nullopt;
    std::vector<std::string> columns;
    int rc;
    while ((rc = sqlite3_step(info.get())) == SQLITE_ROW) {
        const unsigned char* name = sqlite3_column_text(info.get(), 1);
        if (name) columns.emplace_back(reinterpret_cast<const char*>(name));
    }
    if (rc != SQLITE_DONE || columns.empty()) return std::nullopt;
    return columns;
}

// Reads one table of the damaged file in rowid order, stepping over what
// SQLite cannot read.
class RowReader {
  public:
    RowReader(sqlite3* handle, const std::string& table, const std::vector<std::string>& columns)
        : select_(handle, selectText(table, columns)) {}

    explicit operator bool() const { return static_cast<bool>(select_); }

    // Hands every readable row to `row` (the statement positioned on it, the
    // columns from 1); the number of stretches it had to skip.
    template <typename RowHandler>
    int64_t readAll(RowHandler&& row) {
        int64_t skipped = 0;
        std::optional<int64_t> from = std::numeric_limits<int64_t>::min();
        while (from) {
            sqlite3_reset(select_.get());
            sqlite3_bind_int64(select_.get(), 1, *from);
            int rc;
            while ((rc = sqlite3_step(select_.get())) == SQLITE_ROW) {
                const int64_t rowID = sqlite3_column_int64(select_.get(), 0);
                // A damaged tree can hand back a row out of order; reading on
                // from it could loop.
                if (rowID < *from) break;
                row(select_.get());
                if (rowID == std::numeric_limits<int64_t>::max()) {
                    sqlite3_reset(select_.get());
                    return skipped;
                }
                from = rowID + 1;
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
        for (const std::string& column : columns) sql += ", " + quoted(column);
        return sql + " FROM " + quoted(table) + " WHERE rowid >= ?1 ORDER BY rowid";
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

}  // namespace

std::vector<MSRDatabaseSalvage::TableResult> MSRDatabaseSalvage::copyReadableRows(
    const std::string& damagedPath, MSRSqliteStore& destination, const std::vector<std::string>& tables) {
    sqlite3* source = nullptr;
    if (sqlite3_open_v2(damagedPath.c_str(), &source, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(source);
        return {};
    }
    std::vector<TableResult> results;
    for (const std::string& table : tables) {
        TableResult& result = results.emplace_back();
        result.table = table;
        std::optional<std::vector<std::string>> sourceColumns = damagedColumns(source, table);
        std::optional<std::vector<std::string>> ownColumns = destination.columnsForTable(table, nullptr);
        if (!sourceColumns || !ownColumns) continue;
        // Columns the damaged file has and this table declares: a column of
        // another version is left behind, a missing one takes its default.
        std::set<std::string> own(ownColumns->begin(), ownColumns->end());
        std::vector<std::string> columns;
        for (const std::string& column : *sourceColumns) {
            if (own.count(column)) columns.push_back(column);
        }
        if (columns.empty()) continue;

        RowReader reader(source, table, columns);
        std::string insertText = "INSERT OR IGNORE INTO " + quoted(table) + " (";
        std::string placeholders;
        for (size_t i = 0; i < columns.size(); ++i) {
            insertText += (i ? ", " : "") + quoted(columns[i]);
            placeholders += i ? ", ?" : "?";
        }
        insertText += ") VALUES (" + placeholders + ")";
        sqlite3_stmt* insert = nullptr;
        if (!reader || sqlite3_prepare_v2(destination.sqliteHandle(), insertText.c_str(), -1, &insert, nullptr) !=
                           SQLITE_OK) {
            sqlite3_finalize(insert);
            continue;
        }
        result.found = true;
        result.unreadableStretches = reader.readAll([&](sqlite3_stmt* row) {
            for (size_t i = 0; i < columns.size(); ++i) {
                sqlite3_bind_value(insert, static_cast<int>(i + 1), sqlite3_column_value(row, static_cast<int>(i + 1)));
            }
            const bool inserted = sqlite3_step(insert) == SQLITE_DONE && sqlite3_changes(destination.sqliteHandle()) > 0;
            sqlite3_reset(insert);
            sqlite3_clear_bindings(insert);
            (inserted ? result.copied : result.refused) += 1;
        });
        sqlite3_finalize(insert);
    }
    sqlite3_close(source);
    return results;
}
