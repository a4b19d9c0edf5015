// Schema creation and the table version check.
#include <cstring>
#include <map>

#include "Db/DBtran.h"
#include "Db/Database.h"
#include "Db/Engine/Backend.h"

namespace db {
namespace {

constexpr const char* kVersionTable = "ZrSchemaVersion";

std::string tableDdl(const TableDef& def, const engine::Connection& connection) {
  std::string sql = "CREATE TABLE IF NOT EXISTS ";
  sql += def.name;
  sql += " (";
  bool first = true;
  for (const ColumnDef& column : def.columns) {
    if (!first) sql += ", ";
    first = false;
    bool serial = *def.serialColumn && strcmp(column.name, def.serialColumn) == 0;
    if (serial) {
      sql += connection.serialColumnDdl(column.name);
    } else {
      sql += column.name;
      sql += " ";
      sql += connection.ddlType(column.type, false);
    }
  }
  if (!*def.serialColumn && !def.primaryKey.empty()) {
    sql += ", PRIMARY KEY (";
    for (size_t i = 0; i < def.primaryKey.size(); ++i) {
      if (i) sql += ", ";
      sql += def.primaryKey[i];
    }
    sql += ")";
  }
  sql += ")";
  return sql;
}

// Whether the version table exists.
int versionTableExists(engine::Connection& connection, bool& exists, std::string* error) {
  engine::Statement* statement = nullptr;
  int code = connection.prepare(connection.tableExistsSql(), statement);
  if (code == kOk) {
    statement->bindText(1, kVersionTable, strlen(kVersionTable));
    code = statement->step();
    exists = code == kOk && statement->columnInt64(0) > 0;
    connection.release(statement);
  }
  if (code != kOk && error) *error = connection.lastErrorText();
  return code;
}

// Recorded versions, or an empty map with *missing set when the version
// table does not exist. A version table that cannot be read as ours is a
// failure, never "nothing of ours yet".
int readVersions(engine::Connection& connection, std::map<std::string, std::string>& versions,
                 std::string* error, bool* missing = nullptr) {
  bool exists = false;
  if (int code = versionTableExists(connection, exists, error); code != kOk) return code;
  if (missing) *missing = !exists;
  if (!exists) return kOk;
  engine::Statement* statement = nullptr;
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

int checkVersions(const std::map<std::string, std::string>& versions, std::span<const TableDef* const> tables,
                  std::string* error) {
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

}  // namespace

int Database::verifySchema(std::span<const TableDef* const> tables, std::string* error, bool mustExist) {
  engine::Connection* connection = nullptr;
  if (int code = autocommitConnection(connection, error); code != kOk) return code;
  std::map<std::string, std::string> versions;
  bool missing = false;
  if (int code = readVersions(*connection, versions, error, &missing); code != kOk) return code;
  if (missing && mustExist) {
    if (error) *error = std::string("the database has no ") + kVersionTable + " table: none of its tables were created";
    return kNoSchema;
  }
  return checkVersions(versions, tables, error);
}

namespace {

// The work of createSchema inside `tran`, under the schema lock.
int createSchemaIn(DBtran& tran, std::span<const TableDef* const> tables, std::string* error) {
  engine::Connection& connection = *tran.connection();
  auto failed = [&](int code) {
    if (error) *error = connection.lastErrorText();
    return code;
  };
  if (int code = connection.lockSchema(); code != kOk) return failed(code);
  std::string sql = std::string("CREATE TABLE IF NOT EXISTS ") + kVersionTable +
                    " (tableName TEXT PRIMARY KEY, version TEXT NOT NULL)";
  if (int code = connection.exec(sql.c_str()); code != kOk) return failed(code);
  std::map<std::string, std::string> versions;
  if (int code = readVersions(connection, versions, error); code != kOk) return code;
  if (int code = checkVersions(versions, tables, error); code != kOk) return code;

  for (const TableDef* def : tables) {
    if (int code = connection.exec(tableDdl(*def, connection).c_str()); code != kOk) return failed(code);
    for (const IndexDef& index : def->indexes) {
      sql = std::string("CREATE INDEX IF NOT EXISTS ") + index.name + " ON " + def->name + " (" + index.columns + ")";
      if (int code = connection.exec(sql.c_str()); code != kOk) return failed(code);
    }
    if (versions.count(def->name)) continue;
    engine::Statement* statement = nullptr;
    sql = std::string("INSERT INTO ") + kVersionTable + " (tableName, version) VALUES (?, ?)";
    if (int code = connection.prepare(sql, statement); code != kOk) return failed(code);
    statement->bindText(1, def->name, strlen(def->name));
    statement->bindText(2, def->version, strlen(def->version));
    int code = statement->step();
    connection.release(statement);
    if (code != kNoRow) return failed(code);
  }
  return kOk;
}

}  // namespace

int Database::createSchema(std::span<const TableDef* const> tables, std::string* error) {
  // On a server, a creator's snapshot can predate the schema lock it waits
  // for, so a concurrent creator's commit ends it with the restart code; it
  // then starts again and finds the work done. Each round lets one through.
  constexpr int kAttempts = 8;
  engine::Connection* connection = nullptr;
  if (int code = autocommitConnection(connection, error); code != kOk) return code;
  if (int code = connection->prepareForWrites(); code != kOk) {
    if (error) *error = connection->lastErrorText();
    return code;
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
