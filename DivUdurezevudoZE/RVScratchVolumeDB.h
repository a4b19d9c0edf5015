// Facade of the scratch volumes of the pools table YLScratchVolume.
// The standard operations only: the class is declared, with the other such
// facades, from the table's entry in Tables.h.
#pragma once

#include "DivUdurezevudoZE/Tables.h"
