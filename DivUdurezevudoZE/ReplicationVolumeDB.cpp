#include "DivUdurezevudoZE/ReplicationVolumeDB.h"

template class CStandardFacade<YLVolume>;
