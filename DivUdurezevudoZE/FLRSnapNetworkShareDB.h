// Facade of the network shares of FLR snapshot mount points table YLFLRSnapNetworkShare.
#pragma once

#include "Db/Tbl/YLFLRSnapNetworkShare.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLFLRSnapNetworkShare>;

class DIVU_EXPORT FLRSnapNetworkShareDB : public CStandardFacade<YLFLRSnapNetworkShare> {};
