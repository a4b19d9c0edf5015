// Facade of the replicated volumes table YLVolume. Removing a volume by id
// also retires the job volume history that names it as destination.
#pragma once

#include "Db/Tbl/YLVolume.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLVolume>;

class DIVU_EXPORT CReplicationVolumeDB : public CStandardFacade<YLVolume> {
 public:
  using CStandardFacade::remove;  // by WHERE text: the rows only

  // Removes volume `volumeId`. For a volume in role 1, 2, 3 or 5, first marks
  // each live history row on its physical volume pruned, and ages that row's
  // job (in the row's cell: its child links deleted, its statistics set to
  // data status 3 and the time of the call) when the row was the last live
  // one of its job id. The live rows are counted by job id alone, in every
  // cell, so a job id that also has live rows in another cell is not aged.
  // Stops with false at the first failed step, the failure in this facade's
  // error record; earlier steps stay in `tran`.
  bool remove(int volumeId, DBtran* tran);
};
