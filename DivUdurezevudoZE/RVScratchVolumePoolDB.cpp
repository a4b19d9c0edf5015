#include "DivUdurezevudoZE/RVScratchVolumePoolDB.h"

template class CStandardFacade<YLScratchPool>;
