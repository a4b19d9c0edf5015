// Facade of the scratch volumes of the pools table YLScratchVolume.
#pragma once

#include "Db/Tbl/YLScratchVolume.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLScratchVolume>;

class DIVU_EXPORT CRVScratchVolumeDB : public CStandardFacade<YLScratchVolume> {};
