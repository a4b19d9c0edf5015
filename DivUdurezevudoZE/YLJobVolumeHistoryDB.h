// Facade of the job volume history YLJobVolumeHistory. Rows are not deleted
// by remove: they are marked pruned (pruneTime and modified set to the time
// of removal) and left out of reads; prune() deletes marked rows later.
#pragma once

#include <string>

#include "Db/Tbl/YLJobVolumeHistory.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLJobVolumeHistory>;

class DIVU_EXPORT CYLJobVolumeHistoryDB : public CStandardFacade<YLJobVolumeHistory> {
 public:
  CYLJobVolumeHistoryDB();

  // Reads a live row; a marked row is never found.
  bool getInfo(int id, YLJobVolumeHistory_t& row, DBtran* tran);
  // Lists rows matching `where`, only live ones while m_unprunedOnly is true.
  bool getList(YLJobVolumeHistory_t*& rows, unsigned int& count, const char* where, const char* orderBy,
               DBtran* tran);
  // Marks the listed rows matching `where` pruned.
  bool remove(const char* where, DBtran* tran);
  // Marks one row pruned; a missing or already marked row succeeds (code 100
  // stays in m_dbError).
  bool remove(int id, DBtran* tran);
  // Stores the row live (pruneTime 0, also in the caller's record).
  bool insert(YLJobVolumeHistory_t& row, DBtran* tran);
  // Stores the rows live, as insert does, all or none.
  bool insertRows(YLJobVolumeHistory_t* rows, unsigned int count, DBtran* tran, unsigned int* failedRow = nullptr);
  // Not offered: history rows are marked by remove and deleted by prune, so
  // a batch delete by key would drop live rows unmarked.
  bool deleteRows(const int* ids, unsigned int count, DBtran* tran) = delete;
  // Counts live rows matching `where` (all live rows for null or "").
  bool getNRows(const char* where, unsigned int& count, DBtran* tran);
  // Marks the given rows that are still live, all with one time.
  bool updatePruneTime(YLJobVolumeHistory_t* rows, unsigned int count, DBtran* tran);
  // Deletes marked rows whose pruneTime is not later than `cutoff`; from
  // then on this facade's lists include marked rows.
  bool prune(int cutoff, DBtran* tran);

  bool m_unprunedOnly;

 private:
  // `where` (null or blank: every row) restricted to live rows, into `out`;
  // false with the error record filled when `where` would not stay in place.
  bool liveCondition(const char* where, DBtran* tran, const char* function, std::string& out);
};
