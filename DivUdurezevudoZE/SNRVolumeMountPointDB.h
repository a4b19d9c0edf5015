// Facade of the mount points of physical volume devices table YLMountPoint.
#pragma once

#include "Db/Tbl/YLMountPoint.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLMountPoint>;

class DIVU_EXPORT CSNRVolumeMountPointDB : public CStandardFacade<YLMountPoint> {};
