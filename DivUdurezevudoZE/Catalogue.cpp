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

std::shared_ptr<db::Database> openCatalogue(std::string_view url, std::string* error) {
  std::shared_ptr<db::Database> database = db::Database::open(url, error);
  if (!database) return nullptr;
  if (database->verifySchema(catalogueTables(), error) != db::kOk) return nullptr;
  return database;
}

std::shared_ptr<db::Database> openExistingCatalogue(std::string_view url, std::string* error) {
  std::shared_ptr<db::Database> database = db::Database::open(url, error);
  if (!database) return nullptr;
  std::string why;
  int code = database->verifySchema(catalogueTables(), &why, true);
  if (code == db::kOk) return database;
  if (error) {
    if (code == db::kNoSchema)
      *error = "not a catalogue: " + database->url() +
               " holds none of its tables (repdb init, or divu::createCatalogue, creates them)";
    else
      *error = "cannot open " + database->url() + ": " + db::redactUrl(url, why);
  }
  return nullptr;
}

int createCatalogue(db::Database& database, std::string* error) {
  return database.createSchema(catalogueTables(), error);
}

}  // namespace divu
