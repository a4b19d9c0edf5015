// Facade of the FLR consistency points YLFLRConsistencyPoint. Removing points
// first ages the statistics of the jobs that produced them.
#pragma once

#include "Db/Tbl/YLFLRConsistencyPoint.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLFLRConsistencyPoint>;

class DIVU_EXPORT FLRConsistencyPointDB : public CStandardFacade<YLFLRConsistencyPoint> {
 public:
  // Ages the job of every point matching `where` (null: every point), then
  // deletes those points. No point is deleted unless every ageing succeeded.
  bool remove(const char* where, DBtran* tran);
  // The same for the one point with that id; a missing id fails.
  bool remove(int id, DBtran* tran);

 private:
  // Sets data status 2 and the current time on the job's statistics row,
  // when it has one.
  bool ageJob(const YLFLRConsistencyPoint_t& point, DBtran* tran);
};
