// Facade of the history names of devices table YLEVHistoryName.
#pragma once

#include "Db/Tbl/YLEVHistoryName.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLEVHistoryName>;

class DIVU_EXPORT CYLEVHistoryNameDB : public CStandardFacade<YLEVHistoryName> {};
