// Facade of the application directories table YLApplicationDirs.
#pragma once

#include "Db/Tbl/YLApplicationDirs.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLApplicationDirs, UpdateKeyText::LeadingBlank>;

class DIVU_EXPORT ApplicationDirsDB : public CStandardFacade<YLApplicationDirs, UpdateKeyText::LeadingBlank> {};
