#include "DivUdurezevudoZE/ReplicationPolicyDB.h"

template class CStandardFacade<YLPolicy>;
