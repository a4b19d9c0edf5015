#pragma once
// Marks the classes and functions that libDivUdurezevudoZE exports.
#include "ZrLib/Export.h"

#define DIVU_EXPORT ZR_EXPORT
