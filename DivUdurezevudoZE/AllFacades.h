// Every table facade of the library, and the bindings of the tables served
// without one, for callers that want them all.
#pragma once

#include "DivUdurezevudoZE/Tables.h"
