#include "DivUdurezevudoZE/ReplicationVolumeDB.h"

#include <cstring>
#include <ctime>
#include <string>

#include "Db/Tbl/JMBkpStats.h"
#include "Db/Tbl/JMJobDataLink.h"
#include "DivUdurezevudoZE/YLJobVolumeHistoryDB.h"

namespace {
bool startsCascade(int role) { return role == 1 || role == 2 || role == 3 || role == 5; }

// A failed history step is the removal's failure too: its record gets the
// step's code, function and texts (the history facade keeps its own).
bool failedStep(CReplicationDBError& record, const CReplicationDBError& step) {
  record.clear();
  record.m_errorCode = step.m_errorCode;
  record.m_function = step.m_function;
  record.m_errorText = step.m_errorText;
  record.m_tableDescribe = step.m_tableDescribe;
  record.m_tableName = step.m_tableName;
  return false;
}
}  // namespace

bool CReplicationVolumeDB::remove(int volumeId, DBtran* tran) {
  long long now = static_cast<long long>(time(nullptr));
  YLVolume_t volume;
  memset(static_cast<void*>(&volume), 0, sizeof volume);
  if (!getInfo(volumeId, volume, tran)) return false;

  if (startsCascade(volume.CurrentRole)) {
    CYLJobVolumeHistoryDB history;
    YLJobVolumeHistory_t* rows = nullptr;
    unsigned int count = 0;
    std::string selection = "DstVolId = " + std::to_string(volume.PhysicalVolumeId);
    if (!history.getList(rows, count, selection.c_str(), "id ASC", tran)) return failedStep(m_dbError, history.m_dbError);

    for (unsigned int i = 0; i < count; ++i) {
      const YLJobVolumeHistory_t& row = rows[i];
      unsigned int live = 0;
      std::string jobCount = "JobId = " + std::to_string(row.JobId);
      if (!history.getNRows(jobCount.c_str(), live, tran) || (live != 0 && !history.remove(row.id, tran))) {
        deleteList(rows);
        return failedStep(m_dbError, history.m_dbError);
      }
      if (live == 0) {
        // The row was just listed as live, so its job cannot have no live
        // rows: the history changed between the list and the count.
        m_dbError.clear();
        m_dbError.m_errorCode = db::kError;
        m_dbError.m_function = "CReplicationVolumeDB::remove()";
        m_dbError.m_tableName = "YLJobVolumeHistory";
        m_dbError.m_errorText = "history row " + std::to_string(row.id) + " of job " + std::to_string(row.JobId) +
                                " was listed as live, but the job's live rows then counted 0 (the history changed under the removal)";
        deleteList(rows);  // `row` points into it
        return false;
      }
      if (live != 1) continue;  // the job still has live history elsewhere

      // The row just marked was the job's last: age the job.
      std::string links = "zorbCellId = " + std::to_string(row.zorbCellId) +
                          " AND childJobId = " + std::to_string(row.JobId);
      unsigned int linkCount = 0;
      JMJobDataLink* linkBinding = nullptr;
      if (!getRowsInTable<JMJobDataLink>(linkBinding, linkCount, links.c_str(), tran) ||
          (linkCount != 0 && !deleteRow<JMJobDataLink>(linkBinding, links.c_str(), tran))) {
        deleteList(rows);
        return false;
      }
      CRDBUpdateOp update;
      update.clear();
      std::string stamp = std::to_string(now);
      std::string set = "dataStatus = 3, AgedTime = " + stamp + ", mediaDeletedTime = " + stamp +
                        ", modifiedTime = " + stamp;
      std::string where = "zorbCellId = " + std::to_string(row.zorbCellId) + " AND JobId = " + std::to_string(row.JobId);
      update.setUpdate(set.c_str());
      update.setWhere(where.c_str());
      JMBkpStats* statsBinding = nullptr;
      if (!executeUpdateQuery<JMBkpStats>(statsBinding, update, tran)) {
        deleteList(rows);
        return false;
      }
    }
    deleteList(rows);
  }

  return deleteRowByKey<YLVolume>(keyColumn(), volumeId, tran);
}
