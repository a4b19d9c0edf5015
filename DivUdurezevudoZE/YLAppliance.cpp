#include "DivUdurezevudoZE/YLAppliance.h"

template class CStandardFacade<YLDevice>;
