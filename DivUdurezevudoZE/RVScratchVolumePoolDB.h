// Facade of the scratch volume pools table YLScratchPool.
#pragma once

#include "Db/Tbl/YLScratchPool.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLScratchPool>;

class DIVU_EXPORT CRVScratchVolumePoolDB : public CStandardFacade<YLScratchPool> {};
