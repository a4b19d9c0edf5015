#include "DivUdurezevudoZE/YLEVHistoryNameDB.h"

template class CStandardFacade<YLEVHistoryName>;
