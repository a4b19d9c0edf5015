#include "DivUdurezevudoZE/SNRVolumeDB.h"

template class CStandardFacade<YLPhysicalVolume>;
