// Facade of the physical volumes behind replicated volumes table YLPhysicalVolume.
#pragma once

#include "Db/Tbl/YLPhysicalVolume.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLPhysicalVolume>;

class DIVU_EXPORT CSNRVolumeDB : public CStandardFacade<YLPhysicalVolume> {};
