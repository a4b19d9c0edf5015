// Facade of the snapshots of FLR consistency points table YLFLRSnapshot.
#pragma once

#include "Db/Tbl/YLFLRSnapshot.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLFLRSnapshot>;

class DIVU_EXPORT FLRSnapshotDB : public CStandardFacade<YLFLRSnapshot> {};
