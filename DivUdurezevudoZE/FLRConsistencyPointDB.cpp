#include "DivUdurezevudoZE/FLRConsistencyPointDB.h"

#include <cstring>
#include <ctime>
#include <string>

#include "Db/Tbl/JMBkpStats.h"

bool FLRConsistencyPointDB::ageJob(const YLFLRConsistencyPoint_t& point, DBtran* tran) {
  std::string where = "zorbCellId = " + std::to_string(point.zorbCellId) + " AND JobId = " + std::to_string(point.JobId);
  unsigned int count = 0;
  JMBkpStats* binding = nullptr;
  if (!getRowsInTable<JMBkpStats>(binding, count, where.c_str(), tran)) return false;
  if (count == 0) return true;
  std::string now = std::to_string(static_cast<long long>(time(nullptr)));
  std::string set = "datastatus = 2, AgedTime = " + now + ", mediaDeletedTime = " + now;
  CRDBUpdateOp update;
  update.clear();
  update.setWhere(where.c_str());
  update.setUpdate(set.c_str());
  return executeUpdateQuery<JMBkpStats>(binding, update, tran);
}

bool FLRConsistencyPointDB::remove(const char* where, DBtran* tran) {
  YLFLRConsistencyPoint_t* points = nullptr;
  unsigned int count = 0;
  if (!getList(points, count, where, nullptr, tran)) return false;
  for (unsigned int i = 0; i < count; ++i) {
    if (!ageJob(points[i], tran)) {
      deleteList(points);
      return false;
    }
  }
  deleteList(points);
  YLFLRConsistencyPoint* binding = nullptr;
  return deleteRow<YLFLRConsistencyPoint>(binding, where, tran);
}

bool FLRConsistencyPointDB::remove(int id, DBtran* tran) {
  YLFLRConsistencyPoint_t point;
  memset(static_cast<void*>(&point), 0, sizeof point);
  if (!getInfo(id, point, tran)) return false;
  if (!ageJob(point, tran)) return false;
  std::string where = "id = " + std::to_string(id);
  YLFLRConsistencyPoint* binding = nullptr;
  return deleteRow<YLFLRConsistencyPoint>(binding, where.c_str(), tran);
}
