// Facade of the replication policies table YLPolicy.
#pragma once

#include "Db/Tbl/YLPolicy.h"
#include "DivUdurezevudoZE/StandardFacade.h"

extern template class DIVU_EXPORT CStandardFacade<YLPolicy>;

class DIVU_EXPORT CReplicationPolicyDB : public CStandardFacade<YLPolicy> {};
