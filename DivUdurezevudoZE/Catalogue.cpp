#include "DivUdurezevudoZE/Catalogue.h"

#include "DivUdurezevudoZE/Tables.h"

namespace divu {
namespace {
#define DIVU_TABLE_DEF(Binding, ...) &Binding::Definition::table,
constexpr const db::TableDef* kTables[] = {DIVU_TABLES(DIVU_TABLE_DEF, DIVU_TABLE_DEF, DIVU_TABLE_DEF)};
#undef DIVU_TABLE_DEF
}  // namespace

std::span<const db::TableDef* const> catalogueTables() { return kTables; }

namespace {

// Checks the schema revision of an opened catalogue, upgrading it when asked.
int checkRevision(db::Database& database, OlderRevision older, std::string* error) {
  db::SchemaRevision revision;
  if (int code = database.readRevision(catalogueTables(), revision, error); code != db::kOk) return code;
  if (!revision.tablesExist) return db::kOk;
  const bool upgrade = older == OlderRevision::Upgrade || database.upgradeOnOpen();
  if (revision.recorded == revision.latest) {
    // Tables listed after the catalogue was made: an upgrade creates them.
    if (revision.missingTables > 0 && upgrade) return upgradeCatalogue(database, {}, nullptr, error);
    return db::kOk;
  }
  const std::string found = std::to_string(revision.recorded), ours = std::to_string(revision.latest);
  if (revision.recorded > revision.latest) {
    if (error)
      *error = "the catalogue is at schema revision " + found + ", newer than this library's revision " + ours +
               ": use a library of revision " + found + " or later";
    return db::kSchemaVersion;
  }
  if (older == OlderRevision::Accept) return db::kOk;
  if (upgrade) return upgradeCatalogue(database, {}, nullptr, error);
  if (error)
    *error = "the catalogue is at schema revision " + found + " and this library needs revision " + ours +
             ": upgrade it with 'repdb upgrade' (divu::upgradeCatalogue), or open it with upgrade=1 in the URL";
  return db::kSchemaVersion;
}

}  // namespace

namespace {

// The checks of openCatalogue on a database just opened (null: not opened).
std::shared_ptr<db::Database> checkCatalogue(std::shared_ptr<db::Database> database, std::string* error,
                                             OlderRevision older) {
  if (!database) return nullptr;
  if (database->verifySchema(catalogueTables(), error) != db::kOk) return nullptr;
  if (checkRevision(*database, older, error) != db::kOk) return nullptr;
  return database;
}

// The checks of openExistingCatalogue.
std::shared_ptr<db::Database> checkExistingCatalogue(std::shared_ptr<db::Database> database, std::string* error,
                                                     OlderRevision older) {
  if (!database) return nullptr;
  std::string why;
  int code = database->verifySchema(catalogueTables(), &why, true);
  if (code == db::kOk) code = checkRevision(*database, older, &why);
  if (code == db::kOk) return database;
  if (error) {
    if (code == db::kNoSchema)
      *error = "not a catalogue: " + database->url() +
               " holds none of its tables (repdb init, or divu::createCatalogue, creates them)";
    else
      *error = "cannot open " + database->url() + ": " + db::redactUrl(database->options().url, why);
  }
  return nullptr;
}

}  // namespace

std::shared_ptr<db::Database> openCatalogue(std::string_view url, std::string* error, OlderRevision older) {
  return checkCatalogue(db::Database::open(url, error), error, older);
}

std::shared_ptr<db::Database> openCatalogue(const db::DatabaseOptions& options, std::string* error,
                                            OlderRevision older) {
  return checkCatalogue(db::Database::open(options, error), error, older);
}

std::shared_ptr<db::Database> openExistingCatalogue(std::string_view url, std::string* error, OlderRevision older) {
  return checkExistingCatalogue(db::Database::open(url, error), error, older);
}

std::shared_ptr<db::Database> openExistingCatalogue(const db::DatabaseOptions& options, std::string* error,
                                                    OlderRevision older) {
  return checkExistingCatalogue(db::Database::open(options, error), error, older);
}

int upgradeCatalogue(db::Database& database, const db::UpgradeOptions& options, db::UpgradeResult* result,
                     std::string* error) {
  return database.upgradeSchema(catalogueTables(), options, result, error);
}

int createCatalogue(db::Database& database, std::string* error) {
  return database.createSchema(catalogueTables(), error);
}

}  // namespace divu
