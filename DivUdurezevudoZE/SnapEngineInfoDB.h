// Facade of the snapshot engines table YLSnapEngineInfo.
#pragma once

#include "Db/Tbl/YLSnapEngineInfo.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLSnapEngineInfo>;

class DIVU_EXPORT CSnapEngineInfoDB : public CStandardFacade<YLSnapEngineInfo> {};
