// Facade of the user-defined applications table YLUserApplicationDef.
#pragma once

#include "Db/Tbl/YLUserApplicationDef.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLUserApplicationDef, UpdateKeyText::DoubleBlank>;

class DIVU_EXPORT YLUserApplicationDefDB
    : public CStandardFacade<YLUserApplicationDef, UpdateKeyText::DoubleBlank> {};
