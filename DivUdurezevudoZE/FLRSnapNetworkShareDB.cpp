#include "DivUdurezevudoZE/FLRSnapNetworkShareDB.h"

template class CStandardFacade<YLFLRSnapNetworkShare>;
