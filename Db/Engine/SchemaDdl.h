// The engine's schema texts, shared by schema creation and upgrades.
#pragma once

#include <map>
#include <span>
#include <string>

#include "Db/Engine/Backend.h"

namespace db::engine {

using Tables = std::span<const TableDef* const>;

inline constexpr const char* kVersionTable = "ZrSchemaVersion";
inline constexpr const char* kRevisionTable = "ZrSchemaRevision";

// What a column may hold: a boolean SQL expression true for every value its
// record field can take (NULL included), and its name, which says the table,
// the column and the rule ("YLDevice.Name: at most 256 bytes"). The
// expression is empty where the column's type alone is the limit.
struct ColumnLimit {
  const ColumnDef* column;
  std::string expression;
  std::string rule;  // "at most 256 bytes"
  std::string name;  // "YLDevice.Name: " + rule
};
ColumnLimit columnLimit(const TableDef& def, const ColumnDef& column, SqlDialect dialect);

// The primary key's columns, "a, b".
std::string keyList(const TableDef& def);

// CREATE TABLE IF NOT EXISTS for `def`, or CREATE TABLE under `name`, each
// limit a named CHECK constraint (without them: the table as schema revision
// 0 made it).
std::string tableDdl(const TableDef& def, const Connection& connection, const char* name = nullptr,
                     bool limits = true);

// Whether `table` exists (name as written unquoted in DDL).
int tableExists(Connection& connection, const char* table, bool& exists, std::string* error);

// Table versions as recorded; *missing when the version table does not exist.
int readVersions(Connection& connection, std::map<std::string, std::string>& versions, std::string* error,
                 bool* missing = nullptr);
int checkVersions(const std::map<std::string, std::string>& versions, Tables tables, std::string* error);

// The revision recorded, its steps checked against this library's.
int readRevision(Connection& connection, Tables tables, SchemaRevision& out, std::string* error);
// Records every step as applied: for a database whose tables were just made
// at the latest revision.
int recordAllSteps(Connection& connection, Tables tables, std::string* error);

}  // namespace db::engine
