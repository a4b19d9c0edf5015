// Facade of the applications of FLR sets table YLFLRApplication.
// The standard operations only: the class is declared, with the other such
// facades, from the table's entry in Tables.h.
#pragma once

#include "DivUdurezevudoZE/Tables.h"
