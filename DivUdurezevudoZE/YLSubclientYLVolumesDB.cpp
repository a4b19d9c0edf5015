#include "DivUdurezevudoZE/YLSubclientYLVolumesDB.h"

template class CStandardFacade<YLSubclientYLVolumes>;
