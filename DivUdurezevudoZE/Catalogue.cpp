#include "DivUdurezevudoZE/Catalogue.h"

#include "Db/Tbl/JMBkpStats.h"
#include "Db/Tbl/JMJobDataLink.h"
#include "Db/Tbl/YLApplicationDirs.h"
#include "Db/Tbl/YLDevice.h"
#include "Db/Tbl/YLEVHistoryName.h"
#include "Db/Tbl/YLFLRApplication.h"
#include "Db/Tbl/YLFLRConsistencyPoint.h"
#include "Db/Tbl/YLFLRSnapMountPoint.h"
#include "Db/Tbl/YLFLRSnapNetworkShare.h"
#include "Db/Tbl/YLFLRSnapPair.h"
#include "Db/Tbl/YLFLRSnapshot.h"
#include "Db/Tbl/YLFile.h"
#include "Db/Tbl/YLJobVolumeHistory.h"
#include "Db/Tbl/YLMountPoint.h"
#include "Db/Tbl/YLPhysicalDevice.h"
#include "Db/Tbl/YLPhysicalVolume.h"
#include "Db/Tbl/YLPolicy.h"
#include "Db/Tbl/YLScratchPool.h"
#include "Db/Tbl/YLScratchVolume.h"
#include "Db/Tbl/YLSnapEngineInfo.h"
#include "Db/Tbl/YLSubclientYLVolumes.h"
#include "Db/Tbl/YLUserApplicationDef.h"
#include "Db/Tbl/YLVolSnapParams.h"
#include "Db/Tbl/YLVolume.h"

namespace divu {
namespace {
constexpr const db::TableDef* kTables[] = {
    &YLVolume_def::table,
    &YLPhysicalVolume_def::table,
    &YLPhysicalDevice_def::table,
    &YLMountPoint_def::table,
    &YLDevice_def::table,
    &YLPolicy_def::table,
    &YLScratchPool_def::table,
    &YLScratchVolume_def::table,
    &YLSnapEngineInfo_def::table,
    &YLVolSnapParams_def::table,
    &YLSubclientYLVolumes_def::table,
    &YLEVHistoryName_def::table,
    &YLFile_def::table,
    &YLApplicationDirs_def::table,
    &YLUserApplicationDef_def::table,
    &YLFLRConsistencyPoint_def::table,
    &YLFLRSnapshot_def::table,
    &YLFLRSnapPair_def::table,
    &YLFLRSnapMountPoint_def::table,
    &YLFLRSnapNetworkShare_def::table,
    &YLFLRApplication_def::table,
    &JMBkpStats_def::table,
    &JMJobDataLink_def::table,
    &YLJobVolumeHistory_def::table,
};
}  // namespace

std::span<const db::TableDef* const> catalogueTables() { return kTables; }

namespace {

// Checks the schema revision of an opened catalogue, upgrading it when asked.
int checkRevision(db::Database& database, OlderRevision older, std::string* error) {
  db::SchemaRevision revision;
  if (int code = database.readRevision(catalogueTables(), revision, error); code != db::kOk) return code;
  if (!revision.tablesExist || revision.recorded == revision.latest) return db::kOk;
  const std::string found = std::to_string(revision.recorded), ours = std::to_string(revision.latest);
  if (revision.recorded > revision.latest) {
    if (error)
      *error = "the catalogue is at schema revision " + found + ", newer than this library's revision " + ours +
               ": use a library of revision " + found + " or later";
    return db::kSchemaVersion;
  }
  if (older == OlderRevision::Accept) return db::kOk;
  if (older == OlderRevision::Upgrade || database.upgradeOnOpen()) return upgradeCatalogue(database, {}, nullptr, error);
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
