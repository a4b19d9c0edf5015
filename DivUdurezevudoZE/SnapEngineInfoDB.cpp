#include "DivUdurezevudoZE/SnapEngineInfoDB.h"

template class CStandardFacade<YLSnapEngineInfo>;
