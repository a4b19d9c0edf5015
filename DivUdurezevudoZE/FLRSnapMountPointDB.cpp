#include "DivUdurezevudoZE/FLRSnapMountPointDB.h"

template class CStandardFacade<YLFLRSnapMountPoint>;
