// Facade of the applications paired with FLR snapshots table YLFLRSnapPair.
#pragma once

#include "Db/Tbl/YLFLRSnapPair.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLFLRSnapPair>;

class DIVU_EXPORT FLRSnapPairDB : public CStandardFacade<YLFLRSnapPair> {};
