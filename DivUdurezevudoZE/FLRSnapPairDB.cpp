#include "DivUdurezevudoZE/FLRSnapPairDB.h"

template class CStandardFacade<YLFLRSnapPair>;
