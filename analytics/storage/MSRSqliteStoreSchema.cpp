// Making a table match its declaration: create what is missing, add add-on
// columns, rebuild tables whose column types change, refuse tables that the
// declaration cannot account for.

#include <sqlite3.h>

#include <set>

#include "analytics/storage/MSRSqliteStore.h"

namespace {

constexpr const char* kPrimaryKey = "PRIMARY KEY";

std::string firstWord(const std::string& text) {
    return text.substr(0, text.find(' '));
}

// Copies the rows of `source` into `destination` column by name. A copy by
// position would quietly put values into the wrong columns of a table whose
// columns were created in another order.
bool copyNamedColumns(MSRSqliteStore& store, const std::string& source, const std::string& destination,
                      MSRError* error) {
    auto sourceColumns = store.columnsForTable(source, error);
    auto destinationColumns = store.columnsForTable(destination, error);
    if (!sourceColumns || !destinationColumns) return false;
    std::set<std::string> available(sourceColumns->begin(), sourceColumns->end());
    std::string list;
    for (const auto& column : *destinationColumns) {
        if (!available.count(column)) continue;
        if (!list.empty()) list += ", ";
        list += column;
    }
    if (list.empty()) return true;
    return store.executeSQL(
        "INSERT INTO " + destination + " (" + list + ") SELECT " + list + " FROM " + source, error);
}

}  // namespace

bool MSRSqliteStore::ensureTable(const std::string& table, const MSRColumnInfo& elementaryColumnInfo,
                                 const MSRColumnInfo& addOnColumnInfo, MSRError* error) {
    if (table.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received empty table name for ensure table");
        return false;
    }
    if (elementaryColumnInfo.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument,
                    "Received empty elementary column info for ensure table");
        return false;
    }
    std::string createSQL = "CREATE TABLE IF NOT EXISTS " + table + " ( ";
    for (const auto& [name, type] : elementaryColumnInfo) createSQL += name + " " + type + ", ";
    createSQL.replace(createSQL.size() - 2, 2, ");");

    std::map<std::string, std::string> addOnStatements;
    for (const auto& [name, type] : addOnColumnInfo) {
        if (name.empty()) continue;
        addOnStatements[name] = "ALTER TABLE " + table + " ADD COLUMN " + name + " " + type;
    }

    std::vector<std::string> required;
    for (const auto& [name, type] : elementaryColumnInfo) {
        if (name != kPrimaryKey) required.push_back(name);
    }
    return ensureTable(table, createSQL, required, addOnStatements, error);
}

bool MSRSqliteStore::ensureTable(const std::string& table, const std::string& createSQL,
                                 const std::vector<std::string>& requiredColumnNames,
                                 const std::map<std::string, std::string>& addOnColumns, MSRError* error) {
    if (table.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received empty table name for ensure table");
        return false;
    }
    if (requiredColumnNames.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received no table columns for ensure table");
        return false;
    }
    if (createSQL.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received empty create statement for ensure table");
        return false;
    }
    if (!handle_) {
        MSRSetError(error, kMSRSqliteErrorState, "Ensure table failed. Database not open.");
        return false;
    }
    auto exists = tableExists(table, error);
    if (!exists) return false;
    if (!*exists && !executeSQL(createSQL, error)) return false;
    return validateTable(table, requiredColumnNames, addOnColumns, error).value_or(false);
}

std::optional<bool> MSRSqliteStore::validateTable(const std::string& table,
                                                  const std::vector<std::string>& requiredColumnNames,
                                                  const std::map<std::string, std::string>& addOnColumns,
                                                  MSRError* error) {
    if (table.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received empty table name for validate table");
        return std::nullopt;
    }
    if (requiredColumnNames.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received no table columns for validate table");
        return std::nullopt;
    }
    if (!handle_) {
        MSRSetError(error, kMSRSqliteErrorState, "Validate table failed. Database not open.");
        return std::nullopt;
    }
    auto columns = columnsForTable(table, error);
    if (!columns || columns->empty()) return std::nullopt;
    std::set<std::string> remaining(columns->begin(), columns->end());

    for (const auto& name : requiredColumnNames) {
        if (!remaining.count(name)) {
            MSRSetError(error, kMSRSqliteErrorState, "Table is missing required columns");
            return false;
        }
    }
    for (const auto& name : requiredColumnNames) remaining.erase(name);

    for (const auto& [name, statement] : addOnColumns) {
        if (remaining.erase(name)) continue;
        if (statement.empty() || !executeSQL(statement, error)) return false;
    }

    if (remaining.empty()) return true;
    // Columns nobody declares are harmless while they may stay NULL; a NOT
    // NULL one would make every insert of ours fail.
    std::string sql = "PRAGMA table_info(" + table + ")";
    sqlite3_stmt* statement = statementForQuery(sql, error);
    if (!statement) return false;
    bool refused = false;
    while (!refused && sqlite3_step(statement) == SQLITE_ROW) {
        const unsigned char* name = sqlite3_column_text(statement, 1);
        if (name && remaining.count(reinterpret_cast<const char*>(name)) &&
            sqlite3_column_int(statement, 3) != 0) {
            refused = true;
        }
    }
    cleanUpStatement(statement, sql);
    if (refused) {
        MSRSetError(error, kMSRSqliteErrorState, "Table contains unknown non-optional columns");
        return false;
    }
    return true;
}

bool MSRSqliteStore::ensureSchemaOfTable(const std::string& table, const MSRColumnInfo& elementaryColumnInfo,
                                         const MSRColumnInfo& addOnColumnInfo, MSRError* error) {
    if (table.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received empty table name for ensure table schema");
        return false;
    }
    if (elementaryColumnInfo.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received empty column info for ensure table schema");
        return false;
    }
    auto current = columnInfoForTable(table, error);
    if (!current || current->empty()) {
        MSRSetError(error, kMSRSqliteErrorState, "Table does not exist for ensure table schema");
        return false;
    }
    std::map<std::string, std::string> expected;
    for (const auto& [name, type] : elementaryColumnInfo) {
        std::string word = firstWord(type);
        if (name != kPrimaryKey && !name.empty() && !word.empty()) expected[name] = word;
    }
    for (const auto& [name, type] : addOnColumnInfo) {
        if (!name.empty() && !type.empty()) expected[name] = type;
    }
    if (*current == expected) return true;

    std::string oldTable = table + "_old";
    MSRError stepError;
    bool stepFailed = false;
    bool rebuilt = performTransaction(error, [&] {
        stepFailed =
            !(renameTable(table, oldTable, &stepError) &&
              ensureTable(table, elementaryColumnInfo, addOnColumnInfo, &stepError) &&
              copyNamedColumns(*this, oldTable, table, &stepError) && dropTable(oldTable, &stepError));
        return !stepFailed;
    });
    if (!rebuilt && error && error->code() == 0 && stepFailed) *error = stepError;
    return rebuilt;
}

bool MSRSqliteStore::ensureTable(const std::string& table, const MSRColumnInfo& elementaryColumnInfo,
                                 const MSRColumnInfo& addOnColumnInfo,
                                 const std::map<std::string, std::string>& modifyColumnInfo,
                                 MSRError* error) {
    if (!ensureTable(table, elementaryColumnInfo, addOnColumnInfo, error)) return false;
    if (modifyColumnInfo.empty()) return true;
    auto merged = [&](const MSRColumnInfo& list) {
        MSRColumnInfo out;
        for (const auto& [name, type] : list) {
            if (name == kPrimaryKey) continue;
            auto changed = modifyColumnInfo.find(name);
            out.emplace_back(name, changed == modifyColumnInfo.end() ? type : changed->second);
        }
        return out;
    };
    return ensureSchemaOfTable(table, merged(elementaryColumnInfo), merged(addOnColumnInfo), error);
}

bool MSRSqliteStore::dropTable(const std::string& table, MSRError* error) {
    if (table.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received empty table name for drop table");
        return false;
    }
    return executeSQL("DROP TABLE " + table, error);
}

bool MSRSqliteStore::renameTable(const std::string& oldName, const std::string& newName, MSRError* error) {
    if (oldName.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received empty old name for rename table");
        return false;
    }
    if (newName.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received empty new name for rename table");
        return false;
    }
    if (oldName == newName) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received duplicate name for rename table");
        return false;
    }
    return executeSQL("ALTER TABLE " + oldName + " RENAME TO " + newName, error);
}

bool MSRSqliteStore::copyContentsFromTable(const std::string& source, const std::string& destination,
                                           MSRError* error) {
    if (source.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received empty source name for copy table");
        return false;
    }
    if (destination.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received empty destination name for copy table");
        return false;
    }
    if (source == destination) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received duplicate name for copy table");
        return false;
    }
    return executeSQL("INSERT INTO " + destination + " SELECT * FROM " + source, error);
}

bool MSRSqliteStore::createEmptyTable(const std::string& newTable, const std::string& source,
                                      MSRError* error) {
    if (source.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received empty source name for create empty copy");
        return false;
    }
    if (newTable.empty()) {
        MSRSetError(error, kMSRSqliteErrorBadArgument,
                    "Received empty destination name for create empty copy");
        return false;
    }
    if (newTable == source) {
        MSRSetError(error, kMSRSqliteErrorBadArgument, "Received duplicate name for create empty copy");
        return false;
    }
    return executeSQL(
        "CREATE TABLE IF NOT EXISTS " + newTable + " AS SELECT * FROM " + source + " WHERE false", error);
}
