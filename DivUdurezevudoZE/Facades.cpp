// The standard operations of every facade, compiled once for the library:
// the facade headers declare them extern template, so callers use these.
#include <type_traits>

#include "DivUdurezevudoZE/Tables.h"

#define DIVU_INSTANTIATE(Binding, Facade, KeyText) template class CStandardFacade<Binding, UpdateKeyText::KeyText>;
DIVU_TABLES(DIVU_INSTANTIATE, DIVU_INSTANTIATE, DIVU_TABLE_SKIP)

// A facade with its own header names its base there too: it must be the one
// instantiated here, or callers would compile another one of their own.
#define DIVU_CHECK_BASE(Binding, Facade, KeyText)                                        \
  static_assert(std::is_base_of_v<CStandardFacade<Binding, UpdateKeyText::KeyText>, Facade>, \
                #Facade " does not derive from the standard facade its entry in Tables.h names");
DIVU_TABLES(DIVU_TABLE_SKIP, DIVU_CHECK_BASE, DIVU_TABLE_SKIP)
