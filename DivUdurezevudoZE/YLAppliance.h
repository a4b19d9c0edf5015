// Facade of the appliances table YLDevice.
#pragma once

#include "Db/Tbl/YLDevice.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLDevice>;

class DIVU_EXPORT CYLApplianceDB : public CStandardFacade<YLDevice> {};
