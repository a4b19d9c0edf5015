// Facade of the FLR consistency points table YLFLRConsistencyPoint.
#pragma once

#include "Db/Tbl/YLFLRConsistencyPoint.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLFLRConsistencyPoint>;

class DIVU_EXPORT FLRConsistencyPointDB : public CStandardFacade<YLFLRConsistencyPoint> {};
