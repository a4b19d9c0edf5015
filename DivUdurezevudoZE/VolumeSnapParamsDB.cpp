#include "DivUdurezevudoZE/VolumeSnapParamsDB.h"

template class CStandardFacade<YLVolSnapParams>;
