#include "DivUdurezevudoZE/SNRVolumeDeviceNameDB.h"

template class CStandardFacade<YLPhysicalDevice>;
