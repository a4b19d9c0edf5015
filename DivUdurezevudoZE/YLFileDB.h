// Facade of the named file contents kept for physical volumes table YLFile.
#pragma once

#include "Db/Tbl/YLFile.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLFile>;

class DIVU_EXPORT CYLFileDB : public CStandardFacade<YLFile> {};
