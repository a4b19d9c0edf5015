// Schema creation, table limits and the table version check.
#include <cinttypes>
#include <cstring>
#include <map>

#include "Db/DBtran.h"
#include "Db/Database.h"
#include "Db/Engine/Lease.h"
#include "Db/Engine/SchemaDdl.h"

namespace db {
namespace engine {

ColumnLimit columnLimit(const TableDef& def, const ColumnDef& column, SqlDialect dialect) {
  ColumnLimit limit{&column, {}, {}, {}};
  const std::string name = column.name;
  std::string rule;
  const bool sqlite = dialect == SqlDialect::Sqlite;
  switch (column.type) {
    case ColumnType::Int32:
      limit.rule = "a 32-bit integer";
      // A PostgreSQL integer column is the limit itself.
      if (sqlite) rule = "typeof(" + name + ") = 'integer' AND " + name + " BETWEEN -2147483648 AND 2147483647";
      break;
    case ColumnType::Int64:
    case ColumnType::Time64:
      limit.rule = "a 64-bit integer";
      if (sqlite) rule = "typeof(" + name + ") = 'integer'";
      break;
    case ColumnType::Text: {
      // Bytes, as the record holds them, the terminating NUL excluded.
      const std::string most = std::to_string(column.size - 1);
      limit.rule = "at most " + most + " bytes";
      rule = sqlite ? "typeof(" + name + ") = 'text' AND length(CAST(" + name + " AS BLOB)) <= " + most
                    : "octet_length(" + name + ") <= " + most;
      break;
    }
    case ColumnType::OwnedText:
      limit.rule = "a text";
      if (sqlite) rule = "typeof(" + name + ") = 'text'";
      break;
  }
  if (!rule.empty()) limit.expression = name + " IS NULL OR (" + rule + ")";
  limit.name = std::string(def.name) + "." + column.name + ": " + limit.rule;
  return limit;
}

std::string keyList(const TableDef& def) {
  std::string keys;
  for (const char* key : def.primaryKey) keys += (keys.empty() ? "" : ", ") + std::string(key);
  return keys;
}

std::string tableDdl(const TableDef& def, const Connection& connection, const char* name, bool limits) {
  // The scratch table of a rebuild must be new: no IF NOT EXISTS there.
  std::string sql = name ? std::string("CREATE TABLE ") + name : std::string("CREATE TABLE IF NOT EXISTS ") + def.name;
  sql += " (";
  bool first = true;
  for (const ColumnDef& column : def.columns) {
    if (!first) sql += ", ";
    first = false;
    bool serial = def.isSerial(column);
    if (serial) {
      sql += connection.serialColumnDdl(column.name);
    } else {
      sql += column.name;
      sql += " ";
      sql += connection.ddlType(column.type, false);
    }
  }
  if (!*def.serialColumn && !def.primaryKey.empty()) sql += ", PRIMARY KEY (" + keyList(def) + ")";
  for (const ColumnDef& column : limits ? def.columns : std::span<const ColumnDef>{}) {
    ColumnLimit limit = columnLimit(def, column, connection.dialect());
    if (!limit.expression.empty())
      sql += ", CONSTRAINT \"" + limit.name + "\" CHECK (" + limit.expression + ")";
  }
  sql += ")";
  return sql;
}

int tableExists(Connection& connection, const char* table, bool& exists, std::string* error) {
  Statement* statement = nullptr;
  int code = connection.prepare(connection.tableExistsSql(), statement);
  if (code == kOk) {
    statement->bindText(1, table, strlen(table));
    code = statement->step();
    exists = code == kOk && statement->columnInt64(0) > 0;
    connection.release(statement);
  }
  if (code != kOk && error) *error = connection.lastErrorText();
  return code;
}

// A version table that cannot be read as ours is a failure, never "nothing
// of ours yet".
int readVersions(Connection& connection, std::map<std::string, std::string>& versions, std::string* error,
                 bool* missing) {
  bool exists = false;
  if (int code = tableExists(connection, kVersionTable, exists, error); code != kOk) return code;
  if (missing) *missing = !exists;
  if (!exists) return kOk;
  Statement* statement = nullptr;
  std::string sql = std::string("SELECT tableName, version FROM ") + kVersionTable;
  int code = connection.prepare(sql, statement);
  if (code == kOk) {
    while ((code = statement->step()) == kOk)
      versions[std::string(statement->columnText(0))] = std::string(statement->columnText(1));
    connection.release(statement);
    if (code == kNoRow) return kOk;
  }
  if (code == kError) {
    if (error)
      *error = std::string("the version table ") + kVersionTable +
               " has a layout this library cannot read (" + connection.lastErrorText() + ")";
    return kSchemaVersion;
  }
  if (error) *error = connection.lastErrorText();
  return code;
}

int checkVersions(const std::map<std::string, std::string>& versions, Tables tables, std::string* error) {
  for (const TableDef* def : tables) {
    auto found = versions.find(def->name);
    if (found == versions.end() || found->second == def->version) continue;
    if (error)
      *error = std::string("table ") + def->name + " has version " + found->second +
               " in this database, but this library reads version " + def->version +
               "; use a matching library or migrate the database";
    return kSchemaVersion;
  }
  return kOk;
}

}  // namespace engine

using engine::Tables;

int Database::verifySchema(Tables tables, std::string* error, bool mustExist) {
  engine::Lease* lease = nullptr;
  if (int code = autocommitLease(lease, error); code != kOk) return code;
  engine::GiveBackOnExit giveBack(lease);
  engine::Connection* connection = &lease->connection();
  std::map<std::string, std::string> versions;
  bool missing = false;
  if (int code = engine::readVersions(*connection, versions, error, &missing); code != kOk) return code;
  if (missing && mustExist) {
    if (error)
      *error = std::string("the database has no ") + engine::kVersionTable + " table: none of its tables were created";
    return kNoSchema;
  }
  return engine::checkVersions(versions, tables, error);
}

int Database::readRevision(Tables tables, SchemaRevision& out, std::string* error) {
  engine::Lease* lease = nullptr;
  if (int code = autocommitLease(lease, error); code != kOk) return code;
  engine::GiveBackOnExit giveBack(lease);
  return engine::readRevision(lease->connection(), tables, out, error);
}

namespace {

// The work of createSchema inside `tran`, under the schema lock.
int createSchemaIn(DBtran& tran, Tables tables, std::string* error) {
  engine::Connection& connection = *tran.connection();
  auto failed = [&](int code) {
    if (error) *error = connection.lastErrorText();
    return code;
  };
  if (int code = connection.lockSchema(); code != kOk) return failed(code);
  // Tables made now carry the latest revision's constraints; tables of an
  // older revision are brought forward only by an upgrade, never here.
  SchemaRevision revision;
  if (int code = engine::readRevision(connection, tables, revision, error); code != kOk) return code;
  const bool made = revision.tablesExist || revision.recorded > 0;
  if (made && revision.recorded != revision.latest) {
    if (error)
      *error = "the database is at schema revision " + std::to_string(revision.recorded) +
               " and this library creates tables at revision " + std::to_string(revision.latest) +
               (revision.recorded < revision.latest ? "; upgrade it first" : "; use a newer library");
    return kSchemaVersion;
  }
  std::string sql = std::string("CREATE TABLE IF NOT EXISTS ") + engine::kVersionTable +
                    " (tableName TEXT PRIMARY KEY, version TEXT NOT NULL)";
  if (int code = connection.exec(sql.c_str()); code != kOk) return failed(code);
  std::map<std::string, std::string> versions;
  if (int code = engine::readVersions(connection, versions, error); code != kOk) return code;
  if (int code = engine::checkVersions(versions, tables, error); code != kOk) return code;

  for (const TableDef* def : tables) {
    if (int code = connection.exec(engine::tableDdl(*def, connection).c_str()); code != kOk) return failed(code);
    for (const IndexDef& index : def->indexes) {
      sql = std::string("CREATE INDEX IF NOT EXISTS ") + index.name + " ON " + def->name + " (" + index.columns + ")";
      if (int code = connection.exec(sql.c_str()); code != kOk) return failed(code);
    }
    if (versions.count(def->name)) continue;
    engine::Statement* statement = nullptr;
    sql = std::string("INSERT INTO ") + engine::kVersionTable + " (tableName, version) VALUES (?, ?)";
    if (int code = connection.prepare(sql, statement); code != kOk) return failed(code);
    statement->bindText(1, def->name, strlen(def->name));
    statement->bindText(2, def->version, strlen(def->version));
    int code = statement->step();
    connection.release(statement);
    if (code != kNoRow) return failed(code);
  }
  if (!made) return engine::recordAllSteps(connection, tables, error);
  return kOk;
}

}  // namespace

int Database::createSchema(Tables tables, std::string* error) {
  // On a server, a creator's snapshot can predate the schema lock it waits
  // for, so a concurrent creator's commit ends it with the restart code; it
  // then starts again and finds the work done. Each round lets one through.
  constexpr int kAttempts = 8;
  {
    engine::Lease* lease = nullptr;
    if (int code = autocommitLease(lease, error); code != kOk) return code;
    engine::GiveBackOnExit giveBack(lease);  // before the transaction takes one
    engine::Connection* connection = &lease->connection();
    if (int code = connection->prepareForWrites(); code != kOk) {
      if (error) *error = connection->lastErrorText();
      return code;
    }
  }
  int code = kOk;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    DBtran tran(shared_from_this());
    code = tran.begin();
    if (code != kOk) {
      if (error) *error = tran.lastError();
    } else if ((code = createSchemaIn(tran, tables, error)) != kOk) {
      tran.rollback();
    } else if ((code = tran.commit()) != kOk) {
      if (error) *error = tran.lastError();
    }
    if (!DBtran::isTransient(code)) break;
  }
  return code;
}

}  // namespace db
