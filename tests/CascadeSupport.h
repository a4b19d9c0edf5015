// Helpers for the multi-step operations: seeding job tables, reading the
// whole database as text, and sweeping a failure over every engine call.
#pragma once

#include <functional>
#include <string>

#include "Db/Engine/Backend.h"
#include "DivUdurezevudoZE/AllFacades.h"
#include "TestSupport.h"

namespace divu::test {

// Every row of every catalogue table of the default database, in full-row
// order, read in autocommit through the engine (so on any backend).
inline std::string dumpDatabase() {
  std::shared_ptr<db::Database> database = db::Database::getDefault();
  db::engine::Connection* connection = nullptr;
  std::string error;
  if (!database || database->autocommitConnection(connection, &error) != db::kOk) return "cannot read: " + error;
  std::string out;
  for (const db::TableDef* def : catalogueTables()) {
    out += std::string("[") + def->name + "]\n";
    std::string sql = "SELECT " + db::makeTableTexts(*def).columnList + " FROM " + def->name + " ORDER BY ";
    for (size_t i = 1; i <= def->columns.size(); ++i) sql += (i > 1 ? ", " : "") + std::to_string(i);
    db::engine::Statement* statement = nullptr;
    if (connection->prepare(sql, statement) != db::kOk) return connection->lastErrorText();
    int code;
    while ((code = statement->step()) == db::kOk) {
      for (int i = 0; i < static_cast<int>(def->columns.size()); ++i) {
        out += statement->columnIsNull(i) ? std::string("NULL") : std::string(statement->columnText(i));
        out += "|";
      }
      out += "\n";
    }
    connection->release(statement);
    if (code != db::kNoRow) return connection->lastErrorText();
  }
  return out;
}

// Inserts through the generic operations (the job tables have no facade).
template <class Binding>
bool insertGeneric(typename Binding::RecordType& row, DBtran* tran = nullptr) {
  CRepBaseDB base;
  Binding* binding = nullptr;
  return base.insertRow<typename Binding::RecordType, Binding>(row, binding, tran);
}

template <class Binding>
std::vector<typename Binding::RecordType> readAll(const char* where, DBtran* tran = nullptr) {
  CRepBaseDB base;
  Binding* binding = nullptr;
  CRDBListQueryOp query;
  if (where) query.setWhere(where);
  typename Binding::RecordType* list = nullptr;
  unsigned int count = 0;
  std::vector<typename Binding::RecordType> rows;
  if (!base.getListForQuery(binding, list, query, count, tran)) {
    ADD_FAILURE() << "reading " << Binding::Definition::table.name << ": " << base.m_dbError.m_errorText;
    return rows;
  }
  rows.assign(list, list + count);
  base.deleteList(list);
  return rows;
}

// Seeding of the cascade tables, shared by the cascade tests and the fault
// sweep. The default cell of the job tables is 2.
inline constexpr int kSeedCell = 2;

// A volume with `role` on physical volume `physical`; its id.
inline int seedVolume(int role, int physical) {
  YLVolume_t volume;
  volume.CurrentRole = role;
  volume.PhysicalVolumeId = physical;
  strcpy_s(volume.SourceGUID, sizeof volume.SourceGUID, "guid");
  EXPECT_TRUE(CReplicationVolumeDB().insert(volume, nullptr));
  return volume.id;
}

// A live history row of `job` to `destination`, marked at `pruneTime` when
// non-zero; its id.
inline int seedHistory(int job, int destination, int cell = kSeedCell, int pruneTime = 0) {
  CYLJobVolumeHistoryDB history;
  YLJobVolumeHistory_t row;
  row.JobId = job;
  row.zorbCellId = cell;
  row.DstVolId = destination;
  row.SrcBlockCount = 5'000'000'000LL;
  EXPECT_TRUE(history.insert(row, nullptr));
  if (pruneTime) {
    EXPECT_TRUE(history.Update(row.id, ("pruneTime = " + std::to_string(pruneTime)).c_str(), nullptr));
  }
  return row.id;
}

// Backup statistics of `job` (data status 1) and `links` child links to it.
inline void seedJob(int job, int links, int cell = kSeedCell) {
  JMBkpStats_t stats;
  stats.jobId = job;
  stats.zorbCellId = cell;
  stats.dataStatus = 1;
  stats.totalBackupSize = 1LL << 40;
  EXPECT_TRUE(insertGeneric<JMBkpStats>(stats));
  for (int i = 0; i < links; ++i) {
    JMJobDataLink_t link;
    link.zorbCellId = cell;
    link.parentJobId = 900 + i;
    link.childJobId = job;
    EXPECT_TRUE(insertGeneric<JMJobDataLink>(link));
  }
}

// A consistency point of `job`; its id.
inline int seedPoint(int job, int cell = kSeedCell) {
  YLFLRConsistencyPoint_t point;
  point.JobId = job;
  point.zorbCellId = cell;
  EXPECT_TRUE(FLRConsistencyPointDB().insert(point, nullptr));
  return point.id;
}

// The generic operation that records a failure of an engine call.
inline const char* functionOf(db::fault::Call call) {
  switch (call) {
    case db::fault::Call::Open:
    case db::fault::Call::Fetch: return "CRepBaseDB::getListForQuery()";
    case db::fault::Call::Count: return "CRepBaseDB::getRowsInTable()";
    case db::fault::Call::OneRow: return "CRepBaseDB::getRowForQuery()";
    case db::fault::Call::Update: return "CRepBaseDB::executeUpdateQuery()";
    case db::fault::Call::Delete: return "CRepBaseDB::deleteRow()";
    case db::fault::Call::Insert: return "CRepBaseDB::insertRow()";
    default: return "?";
  }
}

// Runs `operation` once to count its engine calls, then once more for each of
// them with that call failing. Each failing run must return false; `check`
// then sees the failed call and its table; the rollback must restore the
// database exactly. Returns the number of calls swept.
inline int sweepEveryCall(const std::function<bool(DBtran&)>& operation,
                          const std::function<void(db::fault::Call, const std::string&)>& check) {
  using db::fault::Call;
  const std::string before = dumpDatabase();
  unsigned long calls[static_cast<int>(Call::kNumCalls)] = {};
  db::fault::clear();
  db::fault::watch();
  {
    DBtran tran;
    EXPECT_EQ(tran.begin(), db::kOk);
    EXPECT_TRUE(operation(tran)) << "the operation must succeed without faults";
    for (int c = 0; c < static_cast<int>(Call::Begin); ++c) calls[c] = db::fault::seen(static_cast<Call>(c));
    tran.rollback();
  }
  int swept = 0;
  for (int c = 0; c < static_cast<int>(Call::Begin); ++c) {
    for (unsigned long k = 0; k < calls[c]; ++k) {
      Call call = static_cast<Call>(c);
      db::fault::clear();
      db::fault::inject(call, db::kError, 1, static_cast<int>(k));
      DBtran tran;
      EXPECT_EQ(tran.begin(), db::kOk);
      bool result = operation(tran);
      EXPECT_FALSE(result) << "call " << c << " #" << k;
      EXPECT_EQ(db::fault::injected(call), 1u);
      check(call, db::fault::lastInjectedTable());
      EXPECT_EQ(tran.rollback(), db::kOk);
      db::fault::clear();
      EXPECT_EQ(dumpDatabase(), before) << "call " << c << " #" << k;
      ++swept;
    }
  }
  return swept;
}

}  // namespace divu::test
