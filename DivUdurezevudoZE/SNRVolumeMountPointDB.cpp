#include "DivUdurezevudoZE/SNRVolumeMountPointDB.h"

template class CStandardFacade<YLMountPoint>;
