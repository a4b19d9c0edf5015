#include "DivUdurezevudoZE/RVScratchVolumeDB.h"

template class CStandardFacade<YLScratchVolume>;
