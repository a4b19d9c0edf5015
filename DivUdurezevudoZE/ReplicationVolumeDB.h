// Facade of the replicated volumes table YLVolume.
#pragma once

#include "Db/Tbl/YLVolume.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLVolume>;

class DIVU_EXPORT CReplicationVolumeDB : public CStandardFacade<YLVolume> {};
