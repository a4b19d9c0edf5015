#include "DivUdurezevudoZE/Catalogue.h"

#include "Db/Tbl/YLApplicationDirs.h"

namespace divu {
namespace {
constexpr const db::TableDef* kTables[] = {
    &YLApplicationDirs_def::table,
};
}  // namespace

std::span<const db::TableDef* const> catalogueTables() { return kTables; }

std::shared_ptr<db::Database> openCatalogue(std::string_view url, std::string* error) {
  std::shared_ptr<db::Database> database = db::Database::open(url, error);
  if (!database) return nullptr;
  if (database->verifySchema(catalogueTables(), error) != db::kOk) return nullptr;
  return database;
}

int createCatalogue(db::Database& database, std::string* error) {
  return database.createSchema(catalogueTables(), error);
}

}  // namespace divu
