// Facade of the applications of FLR sets table YLFLRApplication.
#pragma once

#include "Db/Tbl/YLFLRApplication.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLFLRApplication>;

class DIVU_EXPORT FLRApplicationDB : public CStandardFacade<YLFLRApplication> {};
