// Facade of the device names of physical volumes table YLPhysicalDevice.
#pragma once

#include "Db/Tbl/YLPhysicalDevice.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLPhysicalDevice>;

class DIVU_EXPORT CSNRVolumeDeviceNameDB : public CStandardFacade<YLPhysicalDevice> {};
