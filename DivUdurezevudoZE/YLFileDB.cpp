#include "DivUdurezevudoZE/YLFileDB.h"

template class CStandardFacade<YLFile>;
