#include "DivUdurezevudoZE/FLRConsistencyPointDB.h"

template class CStandardFacade<YLFLRConsistencyPoint>;
