// The catalogue: every table's facts against their exact texts, the record
// rules of every table, and the standard operations of every facade on a real
// database.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "DivUdurezevudoZE/AllFacades.h"
#include "AllTables.h"
#include "TestSupport.h"

namespace divu::test {
namespace {

struct TableFacts {
  const char* name;
  const char* facade;
  const char* columnList;
  const char* structDef;
  const char* version;
  const char* keyColumn;
  bool keyValueIsId;
  const char* defaultOrder;
  int logLine;
  const char* infoWhere42;    // WHERE of getInfo and remove(int) for id 42
  const char* updateWhere42;  // WHERE of Update for id 42
};

const TableFacts kFacts[] = {
    {"YLVolume", "CReplicationVolumeDB",
     "id, PointInTime, CreationTime, ModifyTime, CurrentState, CurrentRole, PrimaryVolumeId, PhysicalVolumeId, ReplicationPolicyId, RVScratchVolumeId, Flags, JobId, SnapVolumeId, SnapEngineType, SnapvaultReplicaDir, SourceGUID",
     "i|i|i|i|i|i|i|i|i|i|i|i|i|i|s1025|s257|", "1.12.304.2", "id", true, "id", 614, "id = 42", "id = 42"},
    {"YLPhysicalVolume", "CSNRVolumeDB",
     "id, UniqueId, UniqueIdType, LUN, StartLBA, BlockCount, BlockSize, Flags, FSType, UniqueSnapshotID, ApplianceId, EVState, CostCategoryId, Type",
     "i|s257|i|i|b|b|i|i|s129|s2049|i|i|i|i|", "1.16.304.3", "id", true, "id", 574, "id = 42", "id = 42"},
    {"YLPhysicalDevice", "CSNRVolumeDeviceNameDB",
     "id, ClientId, SNRVolumeId, DeviceName, Flags, OSDeviceName, AccessPath, FilerClientId",
     "i|i|i|s1025|i|s1025|s129|i|", "1.10.304.3", "id", true, "id", 517, "id = 42", "id = 42"},
    {"YLMountPoint", "CSNRVolumeMountPointDB",
     "id, DeviceNameId, Path, Flags",
     "i|i|s1025|i|", "1.4.304.2", "id", true, "id", 461, "id = 42", "id = 42"},
    {"YLDevice", "CYLApplianceDB",
     "id, Name, Flags",
     "i|s257|i|", "1.2.304.3", "id", true, "id", 445, "id = 42", "id = 42"},
    {"YLPolicy", "CReplicationPolicyDB",
     "id, name, RetentionSeconds, Flags, CopyMgrCtrlId, SnapEngineInfoId, VolumeScratchPoolId, NSnapshot, CopyManagerType",
     "i|s129|i|i|i|i|i|i|i|", "1.12.304.3", "id", true, "id", 526, "id = 42", "id = 42"},
    {"YLScratchPool", "CRVScratchVolumePoolDB",
     "id, TotalVolumes, AvailableVolumes, name, Flags, SnapEngineInfoId, Type",
     "i|i|i|s129|i|i|i|", "1.10.304.3", "id", true, "id", 495, "id = 42", "id = 42"},
    {"YLScratchVolume", "CRVScratchVolumeDB",
     "id, PhysicalVolumeId, RVScratchVolumePoolId, Flags, LockedByJobId",
     "i|i|i|i|i|", "1.11.304.1", "id", true, "id", 476, "id = 42", "id = 42"},
    {"YLSnapEngineInfo", "CSnapEngineInfoDB",
     "id, name, Flags, MountCmdHint, UnmountCmdHint, SyncCmdHint, UnsyncCmdHint, SnapCmdHint, UnsnapCmdHint, OsType, Type, RollbackCmdHint",
     "i|s129|i|s257|s257|s257|s257|s257|s257|i|i|s257|", "1.34.304.3", "id", true, "id", 552, "id = 42", "id = 42"},
    {"YLVolSnapParams", "CVolumeSnapParamsDB",
     "SNRVolumeId, SnapEngineId, MountClientId, MountCmd, UnmountCmd, SyncClientId, SyncCmd, UnsyncCmd, SnapClientId, SnapCmd, UnsnapCmd, Flags, RollbackCmd",
     "i|i|i|s257|s257|i|s257|s257|i|s257|s257|i|s257|", "1.9.304.2", "SNRVolumeId", false, "SNRVolumeId", 582, "SNRVolumeId = 42", "SNRVolumeId = 42"},
    {"YLSubclientYLVolumes", "YLSubclientYLVolumesDB",
     "id, Scid, YLVolumeId, Flags",
     "i|i|i|i|", "1.1.304.1", "id", true, "id", 459, "id = 42", "id = 42"},
    {"YLEVHistoryName", "CYLEVHistoryNameDB",
     "DeviceId, GlobalHistoryName, Flags",
     "i|s1025|i|", "1.5.304.2", "", false, "DeviceId", 445, "DeviceId = 42", "DeviceId = 42"},
    {"YLFile", "CYLFileDB",
     "id, VolumeId, Name, Content, Flags",
     "i|i|s1025|s|i|", "1.3.304.4", "id", true, "id", 494, "id = 42", "id = 42"},
    {"YLApplicationDirs", "ApplicationDirsDB",
     "id, subclientId, clientId, pathType, objName, path, creationTime, modifyTime, ReplicationVolumeId, Flags",
     "i|i|i|i|s2049|s2049|i|i|i|i|", "1.6.304.1", "id", true, "id", 556, "id = 42", " id = 42"},
    {"YLUserApplicationDef", "YLUserApplicationDefDB",
     "id, ClientId, ApplicationName, AppTag, SuspendScript, ResumeScript",
     "i|i|s257|s33|s513|s513|", "1.2.304.2", "id", true, "id", 486, "id = 42", "id  = 42"},
    {"YLFLRConsistencyPoint", "FLRConsistencyPointDB",
     "id, CreationTime, FLRSetId, JobId, Flags, ClientId, zorbCellId, SrcClientId, Type",
     "i|i|i|i|i|i|i|i|i|", "1.9.300.1", "id", true, "id", 529, "id = 42", "id = 42"},
    {"YLFLRSnapshot", "FLRSnapshotDB",
     "id, ConsistencyPointId, Name, SnapVolumeName, VolumeGUID, CreationTime, Flags, Type, SnapshotPath, LastModifiedTime",
     "i|i|s129|s1025|s1025|i|i|i|s1025|i|", "1.12.300.2", "id", true, "id", 540, "id = 42", "id = 42"},
    {"YLFLRSnapPair", "FLRSnapPairDB",
     "id, SnapshotId, PairId, Flags",
     "i|i|i|i|", "1.2.304.1", "id", true, "id", 474, "id = 42", "id = 42"},
    {"YLFLRSnapMountPoint", "FLRSnapMountPointDB",
     "id, SnapshotId, MountPath, Flags",
     "i|i|s1025|i|", "1.1.304.2", "id", true, "id", 471, "id = 42", "id = 42"},
    {"YLFLRSnapNetworkShare", "FLRSnapNetworkShareDB",
     "id, MountPointId, NetShareName, Flags",
     "i|i|s1025|i|", "1.1.304.2", "id", true, "id", 471, "id = 42", "id = 42"},
    {"YLFLRApplication", "FLRApplicationDB",
     "id, Tag, ClientId, Type, FLRSetId, Flags",
     "i|s33|i|i|i|i|", "1.3.304.2", "id", true, "id", 488, "id = 42", "id = 42"},
    {"JMBkpStats", "none",
     "jobId, zorbCellId, appId, appType, numAttempts, dataArchGrpId, copyID, bkpLevel, indexOverride, status, duration, numStreams, servStartDate, servEndDate, opType, fullCycleNum, initFrom, failureReason, bkpOptions, scanFileFailures, scanFolderFailures, backupFileFailures, backupFolderFailures, oraSubLevel, username, totalWriteTime, priority, totalCompBytes, totalUncompBytes, totalNumOfFiles, bkpattributes, logArchGrpId, totalNumOfFolders, failureErrorCode, lastIncrJobTime, scanType, scanTypeChangeReason, numStreamsRequested, dataStatus, agedTime, mediaDeletedTime, modifiedTime, version, idaVersion, cIndexTime, cycleSequence, filesToXfer, cloudId, diffArchGrpId, totalBackupSize, percentageChange, targetClientId, totalUncompBytesToXfer, displayStatus, dataBackedUp, logsBackedUp, openChain, secondaryBkpLevel, jobIdPrepared, jobIdActedOn, fromTime, toTime, subTaskId, nwTransBytes, totSkippedObjects, bkpAttributesEx, jobReferenceTime",
     "i|i|i|i|i|i|i|i|i|i|i|i|x|x|i|i|i|s257|i|i|i|i|i|i|s511|i|i|b|b|b|b|i|b|i|i|i|s25|i|i|x|x|x|i|i|x|i|b|i|i|b|i|i|b|i|i|i|i|i|i|i|i|i|i|b|b|b|i|", "1.76.48.16", "", false, "jobId, zorbCellId", 1173, "id = 42", "id = 42"},
    {"JMJobDataLink", "none",
     "zorbCellId, parentJobId, childJobId, parentAppid, childAppid, linkType, childJobStatus",
     "i|i|i|i|i|i|i|", "1.13.302.2", "", false, "zorbCellId, parentJobId, childJobId", 515, "id = 42", "id = 42"},
    {"YLJobVolumeHistory", "CYLJobVolumeHistoryDB",
     "id, JobId, zorbCellId, SrcVolId, SrcClientId, SrcClientName, SrcBlockCount, SrcBlockSize, SrcDevName, DstVolId, DstClientId, DstClientName, DstBlockCount, DstBlockSize, DstDevName, CostCategoryId, UnitType, UnitCost, Flags, pruneTime, modified, copyMgrType, spaceUsed",
     "i|i|i|i|i|s256|b|i|s1025|i|i|s256|b|i|s1025|i|i|b|i|i|i|i|b|", "1.11.56.2", "id", true, "id", 676, "id = 42", "id = 42"}
};

const TableFacts& factsOf(const char* table) {
  for (const TableFacts& facts : kFacts)
    if (strcmp(facts.name, table) == 0) return facts;
  throw std::runtime_error(std::string("no facts for ") + table);
}

TEST(Catalogue, EveryTableStatesItsFactsExactly) {
  ASSERT_EQ(catalogueTables().size(), std::size(kFacts));
  size_t index = 0;
  for (const db::TableDef* def : catalogueTables()) {
    const TableFacts& expected = kFacts[index++];
    ASSERT_STREQ(def->name, expected.name);
    db::TableTexts texts = db::makeTableTexts(*def);
    EXPECT_EQ(texts.columnList, expected.columnList) << def->name;
    EXPECT_EQ(texts.structDef, expected.structDef) << def->name;
    EXPECT_EQ(texts.describe, std::string("Table ") + expected.name) << def->name;
    EXPECT_EQ(texts.logFormat, std::string(expected.name) + " Constructor [0x%08x], caught an exception");
    EXPECT_STREQ(def->version, expected.version) << def->name;
    EXPECT_STREQ(def->keyColumn, expected.keyColumn) << def->name;
    EXPECT_EQ(def->keyValueIsId, expected.keyValueIsId) << def->name;
    EXPECT_STREQ(def->defaultOrder, expected.defaultOrder) << def->name;
    EXPECT_EQ(def->headerPath, std::string("Db/Tbl/") + expected.name) << def->name;
    EXPECT_EQ(def->logLine, expected.logLine) << def->name;
    // The serial key is the record's first field, where the key value points.
    if (*def->serialColumn) {
      EXPECT_STREQ(def->serialColumn, "id");
      EXPECT_EQ(def->columns[0].offset, 0u);
    }
  }
}

// Record rules, through the table definition, for any record type.
template <class Record>
void fillRecord(Record& row, const db::TableDef& def, int seed) {
  int index = 0;
  for (const db::ColumnDef& column : def.columns) {
    ++index;
    switch (column.type) {
      case db::ColumnType::Int32:
        if (*def.serialColumn && strcmp(column.name, def.serialColumn) == 0) break;
        db::fieldAt<int>(&row, column) = seed * 100 + index;
        break;
      case db::ColumnType::Int64:
      case db::ColumnType::Time64:
        db::fieldAt<long long>(&row, column) = (1LL << 33) + seed * 1000LL + index;
        break;
      case db::ColumnType::Text:
        strcpy_s(&db::fieldAt<char>(&row, column), column.size,
                 std::string(column.size - 1, static_cast<char>('a' + (seed + index) % 26)).c_str());
        break;
      case db::ColumnType::OwnedText: {
        std::string text = "content " + std::to_string(seed) + std::string(1000, 'c');
        delete[] db::fieldAt<char*>(&row, column);
        db::fieldAt<char*>(&row, column) = db::duplicateOwnedText(text.c_str());
        break;
      }
    }
  }
}

// The columns in which two records differ ("" when none).
template <class Record>
std::string differences(const Record& a, const Record& b, const db::TableDef& def) {
  std::string out;
  for (const db::ColumnDef& column : def.columns) {
    bool same = true;
    switch (column.type) {
      case db::ColumnType::Int32: same = db::fieldAt<int>(&a, column) == db::fieldAt<int>(&b, column); break;
      case db::ColumnType::Int64:
      case db::ColumnType::Time64:
        same = db::fieldAt<long long>(&a, column) == db::fieldAt<long long>(&b, column);
        break;
      case db::ColumnType::Text: same = strcmp(&db::fieldAt<char>(&a, column), &db::fieldAt<char>(&b, column)) == 0; break;
      case db::ColumnType::OwnedText: {
        const char* x = db::fieldAt<char*>(&a, column);
        const char* y = db::fieldAt<char*>(&b, column);
        same = (!x && !y) || (x && y && strcmp(x, y) == 0);
        break;
      }
    }
    if (!same) out += std::string(out.empty() ? "" : ", ") + column.name;
  }
  return out;
}

template <class Binding>
class RecordRules : public testing::Test {};

TYPED_TEST_SUITE(RecordRules, AllBindings);

TYPED_TEST(RecordRules, StartEmptyAndAssignWithinEachField) {
  using Record = typename TypeParam::RecordType;
  const db::TableDef& def = TypeParam::Definition::table;
  Record fresh;
  for (const db::ColumnDef& column : def.columns) {
    switch (column.type) {
      case db::ColumnType::Int32: EXPECT_EQ(db::fieldAt<int>(&fresh, column), 0) << column.name; break;
      case db::ColumnType::Int64:
      case db::ColumnType::Time64: EXPECT_EQ(db::fieldAt<long long>(&fresh, column), 0) << column.name; break;
      case db::ColumnType::Text: EXPECT_STREQ(&db::fieldAt<char>(&fresh, column), "") << column.name; break;
      case db::ColumnType::OwnedText: EXPECT_EQ(db::fieldAt<char*>(&fresh, column), nullptr) << column.name; break;
    }
  }

  // Full texts (N - 1 characters) survive assignment whole, 64-bit values too.
  Record full;
  fillRecord(full, def, 3);
  struct Guarded {
    Record row;
    char guard[32];
  } target;
  memset(target.guard, '#', sizeof target.guard);
  target.row = full;
  EXPECT_EQ(differences(target.row, full, def), "");

  // A source field without terminator is cut to N - 1 characters and the
  // copy writes nothing past its field.
  Record unterminated;
  fillRecord(unterminated, def, 4);
  for (const db::ColumnDef& column : def.columns)
    if (column.type == db::ColumnType::Text) memset(&db::fieldAt<char>(&unterminated, column), 'z', column.size);
  target.row = unterminated;
  for (const db::ColumnDef& column : def.columns) {
    if (column.type != db::ColumnType::Text) continue;
    EXPECT_EQ(strlen(&db::fieldAt<char>(&target.row, column)), column.size - 1) << column.name;
  }
  EXPECT_EQ(std::string(target.guard, sizeof target.guard), std::string(32, '#'));
  for (const db::ColumnDef& column : def.columns)  // neighbours intact
    if (column.type == db::ColumnType::Int32 && !(*def.serialColumn && strcmp(column.name, "id") == 0)) {
      EXPECT_EQ(db::fieldAt<int>(&target.row, column), db::fieldAt<int>(&unterminated, column)) << column.name;
    }
}

// A facade on one storage: the typed suite runs each facade on each.
template <class F, Storage S>
struct OnStorage {
  using Facade = F;
  static constexpr Storage storage = S;
};

template <class Case>
class StandardOperations : public DatabaseTest {
 protected:
  using Facade = typename Case::Facade;
  using Binding = typename Facade::BindingType;
  void SetUp() override {
    DatabaseTest::SetUp();
    openDatabase(Case::storage);
  }
  using Record = typename Binding::RecordType;
  const db::TableDef& def() const { return Binding::Definition::table; }
  bool serial() const { return *def().serialColumn != '\0'; }
  const char* key() const { return Facade::keyColumn(); }
  int& keyOf(Record& row) const { return db::fieldAt<int>(&row, def().columns[0]); }
  // The last integer column outside the key: the one Update changes.
  const char* updatable() const {
    const char* name = nullptr;
    for (const db::ColumnDef& column : def().columns)
      if (column.type == db::ColumnType::Int32 && strcmp(column.name, key()) != 0) name = column.name;
    return name;
  }
  static std::string without42(const char* text) {
    std::string s = text;
    return s.substr(0, s.size() - 2);
  }
  Facade m_facade;
};

template <class... Facades>
using OnFileAndServer =
    testing::Types<OnStorage<Facades, Storage::File>..., OnStorage<Facades, Storage::Postgres>...>;
using AllFacades = StandardFacades::Into<OnFileAndServer>;
// "YLVolume_Postgres" rather than a number.
struct FacadeCaseName {
  template <class Case>
  static std::string GetName(int) {
    return std::string(Case::Facade::BindingType::Definition::table.name) + "_" + storageLabel(Case::storage);
  }
};
TYPED_TEST_SUITE(StandardOperations, AllFacades, FacadeCaseName);

TYPED_TEST(StandardOperations, RoundTripListUpdateCountAndRemove) {
  using Record = typename TestFixture::Record;
  const db::TableDef& def = this->def();
  const TableFacts& facts = factsOf(def.name);
  ASSERT_STREQ(this->key(), std::string(facts.infoWhere42).substr(0, strlen(this->key())).c_str());

  // Insert three rows; a table without serial key takes the caller's keys.
  const int callerKeys[] = {30, 10, 20};
  std::vector<Record> stored(3);
  for (int i = 0; i < 3; ++i) {
    fillRecord(stored[i], def, i + 1);
    if (!this->serial()) this->keyOf(stored[i]) = callerKeys[i];
    Record row = stored[i];
    ASSERT_TRUE(this->m_facade.insert(row, nullptr)) << this->m_facade.m_dbError.m_errorText;
    if (this->serial()) {
      EXPECT_GT(this->keyOf(row), 0);
      this->keyOf(stored[i]) = this->keyOf(row);
    } else {
      EXPECT_EQ(this->keyOf(row), callerKeys[i]);
    }
    EXPECT_EQ(differences(row, stored[i], def), "");
  }
  std::vector<int> ascending;
  for (Record& row : stored) ascending.push_back(this->keyOf(row));
  std::sort(ascending.begin(), ascending.end());

  // getInfo by key, with the facade's exact WHERE text.
  this->traceStatements();
  Record read;
  int second = this->keyOf(stored[1]);
  ASSERT_TRUE(this->m_facade.getInfo(second, read, nullptr)) << this->m_facade.m_dbError.m_errorText;
  EXPECT_EQ(differences(read, stored[1], def), "");
  ASSERT_FALSE(this->m_statements.empty());
  EXPECT_NE(this->m_statements.back().find(" WHERE " + this->without42(facts.infoWhere42) + std::to_string(second) +
                                           " ORDER BY " + facts.defaultOrder + " LIMIT 1"),
            std::string::npos)
      << this->m_statements.back();

  // Lists in the default order and in a given one.
  auto listKeys = [&](const char* order) {
    Record* list = nullptr;
    unsigned int count = 0;
    std::vector<int> keys;
    EXPECT_TRUE(this->m_facade.getList(list, count, nullptr, order, nullptr));
    for (unsigned int i = 0; i < count; ++i) keys.push_back(this->keyOf(list[i]));
    this->m_facade.deleteList(list);
    return keys;
  };
  EXPECT_EQ(listKeys(nullptr), ascending);
  std::string descending = std::string(this->key()) + " DESC";
  EXPECT_EQ(listKeys(descending.c_str()), std::vector<int>(ascending.rbegin(), ascending.rend()));

  // Update by key, with the facade's exact WHERE text.
  std::string set = std::string(this->updatable()) + " = 77";
  this->m_statements.clear();
  ASSERT_TRUE(this->m_facade.Update(second, set.c_str(), nullptr)) << this->m_facade.m_dbError.m_errorText;
  ASSERT_EQ(this->m_statements.size(), 1u);
  EXPECT_EQ(this->m_statements[0], std::string("UPDATE ") + def.name + " SET " + set + " WHERE " +
                                       this->without42(facts.updateWhere42) + std::to_string(second));
  ASSERT_TRUE(this->m_facade.getInfo(second, read, nullptr));
  for (const db::ColumnDef& column : def.columns)
    if (strcmp(column.name, this->updatable()) == 0) {
      EXPECT_EQ(db::fieldAt<int>(&read, column), 77);
    }

  // Count, then remove by key and by WHERE text.
  unsigned int count = 0;
  ASSERT_TRUE(this->m_facade.getNRows(nullptr, count, nullptr));
  EXPECT_EQ(count, 3u);
  std::string oneKey = std::string(this->key()) + " = " + std::to_string(second);
  ASSERT_TRUE(this->m_facade.getNRows(oneKey.c_str(), count, nullptr));
  EXPECT_EQ(count, 1u);
  ASSERT_TRUE(this->m_facade.remove(second, nullptr));
  ASSERT_TRUE(this->m_facade.getNRows(nullptr, count, nullptr));
  EXPECT_EQ(count, 2u);
  EXPECT_FALSE(this->m_facade.getInfo(second, read, nullptr));
  EXPECT_EQ(this->m_facade.m_dbError.m_errorCode, db::kNoRow);
  std::string rest = std::string(this->key()) + " > 0";
  ASSERT_TRUE(this->m_facade.remove(rest.c_str(), nullptr));
  ASSERT_TRUE(this->m_facade.getNRows(nullptr, count, nullptr));
  EXPECT_EQ(count, 0u);
}

}  // namespace
}  // namespace divu::test
