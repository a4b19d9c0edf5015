// Facade of the replicated volumes of subclients table YLSubclientYLVolumes.
#pragma once

#include "Db/Tbl/YLSubclientYLVolumes.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLSubclientYLVolumes>;

class DIVU_EXPORT YLSubclientYLVolumesDB : public CStandardFacade<YLSubclientYLVolumes> {};
