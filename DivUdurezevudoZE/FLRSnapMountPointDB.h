// Facade of the mount points of FLR snapshots table YLFLRSnapMountPoint.
#pragma once

#include "Db/Tbl/YLFLRSnapMountPoint.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLFLRSnapMountPoint>;

class DIVU_EXPORT FLRSnapMountPointDB : public CStandardFacade<YLFLRSnapMountPoint> {};
