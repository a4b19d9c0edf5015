#include "DivUdurezevudoZE/FLRSnapshotDB.h"

template class CStandardFacade<YLFLRSnapshot>;
