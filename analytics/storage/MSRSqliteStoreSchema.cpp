// Making a table match its declaration: create what is missing, add add-on
// columns, rebuild tables whose column types change, refuse tables that the
// declaration cannot account for.

#include <set>

#include "analytics/storage/MSRSqliteErrorShorthands.h"
#include "analytics/storage/MSRSqliteStore.h"

namespace {

constexpr const char* kPrimaryKey = "PRIMARY KEY";
using MSRSqliteErrorShorthands::kArgument;
using MSRSqliteErrorShorthands::kState;

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
    if (!checksPass(error, {{table.empty(), kArgument, "Received empty table name for ensure table"},
                            {elementaryColumnInfo.empty(), kArgument,
                             "Received empty elementary column info for ensure table"}}))
        return false;
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
    if (!checksPass(error,
                    {{table.empty(), kArgument, "Received empty table name for ensure table"},
                     {requiredColumnNames.empty(), kArgument, "Received no table columns for ensure table"},
                     {createSQL.empty(), kArgument, "Received empty create statement for ensure table"},
                     {!handle_, kState, "Ensure table failed. Database not open."}}))
        return false;
    auto exists = tableExists(table, error);
    if (!exists) return false;
    if (!*exists && !executeSQL(createSQL, error)) return false;
    return validateTable(table, requiredColumnNames, addOnColumns, error).value_or(false);
}

std::optional<bool> MSRSqliteStore::validateTable(const std::string& table,
                                                  const std::vector<std::string>& requiredColumnNames,
                                                  const std::map<std::string, std::string>& addOnColumns,
                                                  MSRError* error) {
    if (!checksPass(error,
                    {{table.empty(), kArgument, "Received empty table name for validate table"},
                     {requiredColumnNames.empty(), kArgument, "Received no table columns for validate table"},
                     {!handle_, kState, "Validate table failed. Database not open."}}))
        return std::nullopt;
    auto columns = columnsForTable(table, error);
    if (!columns || columns->empty()) return std::nullopt;
    std::set<std::string> remaining(columns->begin(), columns->end());

    for (const auto& name : requiredColumnNames) {
        if (!remaining.count(name)) return refuse(error, kState, "Table is missing required columns");
    }
    for (const auto& name : requiredColumnNames) remaining.erase(name);

    for (const auto& [name, statement] : addOnColumns) {
        if (remaining.erase(name)) continue;
        if (statement.empty() || !executeSQL(statement, error)) return false;
    }

    if (remaining.empty()) return true;
    // Columns nobody declares are harmless while they may stay NULL; a NOT
    // NULL one would make every insert of ours fail.
    auto info = tableInfo(table, "get table columns", error);
    if (!info) return false;
    for (const auto& column : *info) {
        if (column.notNull && remaining.count(column.name)) {
            return refuse(error, kState, "Table contains unknown non-optional columns");
        }
    }
    return true;
}

bool MSRSqliteStore::ensureSchemaOfTable(const std::string& table, const MSRColumnInfo& elementaryColumnInfo,
                                         const MSRColumnInfo& addOnColumnInfo, MSRError* error) {
    if (!checksPass(error, {{table.empty(), kArgument, "Received empty table name for ensure table schema"},
                            {elementaryColumnInfo.empty(), kArgument,
                             "Received empty column info for ensure table schema"}}))
        return false;
    auto current = columnInfoForTable(table, error);
    if (!current || current->empty())
        return refuse(error, kState, "Table does not exist for ensure table schema");
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
    if (table.empty()) return refuse(error, kArgument, "Received empty table name for drop table");
    return executeSQL("DROP TABLE " + table, error);
}

bool MSRSqliteStore::renameTable(const std::string& oldName, const std::string& newName, MSRError* error) {
    return checksPass(error, {{oldName.empty(), kArgument, "Received empty old name for rename table"},
                              {newName.empty(), kArgument, "Received empty new name for rename table"},
                              {oldName == newName, kArgument, "Received duplicate name for rename table"}}) &&
           executeSQL("ALTER TABLE " + oldName + " RENAME TO " + newName, error);
}

bool MSRSqliteStore::copyContentsFromTable(const std::string& source, const std::string& destination,
                                           MSRError* error) {
    return checksPass(error,
                      {{source.empty(), kArgument, "Received empty source name for copy table"},
                       {destination.empty(), kArgument, "Received empty destination name for copy table"},
                       {source == destination, kArgument, "Received duplicate name for copy table"}}) &&
           executeSQL("INSERT INTO " + destination + " SELECT * FROM " + source, error);
}

bool MSRSqliteStore::createEmptyTable(const std::string& newTable, const std::string& source,
                                      MSRError* error) {
    return checksPass(error,
                      {{source.empty(), kArgument, "Received empty source name for create empty copy"},
                       {newTable.empty(), kArgument, "Received empty destination name for create empty copy"},
                       {newTable == source, kArgument, "Received duplicate name for create empty copy"}}) &&
           executeSQL(
               "CREATE TABLE IF NOT EXISTS " + newTable + " AS SELECT * FROM " + source + " WHERE false",
               error);
}
