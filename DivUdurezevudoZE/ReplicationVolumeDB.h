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
  // each live history row on its physical volume pruned, and ages each job
  // whose last live history row that was (its child links deleted, its
  // statistics set to data status 3 and the time of the call). Stops with
  // false at the first failed step; earlier steps stay in `tran`.
  bool remove(int volumeId, DBtran* tran);
};
