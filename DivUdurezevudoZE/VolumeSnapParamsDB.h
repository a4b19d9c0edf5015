// Facade of the snapshot parameters of physical volumes table YLVolSnapParams.
#pragma once

#include "Db/Tbl/YLVolSnapParams.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLVolSnapParams>;

class DIVU_EXPORT CVolumeSnapParamsDB : public CStandardFacade<YLVolSnapParams> {};
