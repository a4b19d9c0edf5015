#include "DivUdurezevudoZE/FLRApplicationDB.h"

template class CStandardFacade<YLFLRApplication>;
