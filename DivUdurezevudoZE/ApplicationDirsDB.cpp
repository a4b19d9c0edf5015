#include "DivUdurezevudoZE/ApplicationDirsDB.h"

template class CStandardFacade<YLApplicationDirs, UpdateKeyText::LeadingBlank>;
