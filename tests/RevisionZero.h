// A catalogue as the release before schema revisions made it: the tables
// without their limits, their indexes and versions, no revision record.
#pragma once

#include <string>

#include "Db/Database.h"
#include "Db/Engine/Backend.h"
#include "Db/Engine/SchemaDdl.h"
#include "DivUdurezevudoZE/Catalogue.h"

namespace divu::test {

// "" or the failure's text.
inline std::string makeRevisionZero(db::Database& database) {
  db::engine::Connection* connection = nullptr;
  std::string error;
  if (database.autocommitConnection(connection, &error) != db::kOk) return error;
  std::string sql = std::string("CREATE TABLE ") + db::engine::kVersionTable +
                    " (tableName TEXT PRIMARY KEY, version TEXT NOT NULL);\n";
  for (const db::TableDef* def : catalogueTables()) {
    sql += db::engine::tableDdl(*def, *connection, nullptr, /*limits*/ false) + ";\n";
    for (const db::IndexDef& index : def->indexes)
      sql += std::string("CREATE INDEX ") + index.name + " ON " + def->name + " (" + index.columns + ");\n";
    sql += std::string("INSERT INTO ") + db::engine::kVersionTable + " VALUES ('" + def->name + "', '" + def->version +
           "');\n";
  }
  return database.exec(sql.c_str(), &error) == db::kOk ? "" : error;
}

}  // namespace divu::test
