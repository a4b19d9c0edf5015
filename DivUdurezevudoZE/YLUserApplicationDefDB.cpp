#include "DivUdurezevudoZE/YLUserApplicationDefDB.h"

template class CStandardFacade<YLUserApplicationDef, UpdateKeyText::DoubleBlank>;
