// Text work of the PostgreSQL backend that needs no server: the engine's "?"
// markers numbered as "$n". (Its URLs are read with every other, in
// DatabaseUrl.cpp.)
//
// Pure functions; thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace db::engine::pg {

// Writes `sql` to `out` with each "?" outside string literals, quoted
// identifiers, dollar quotes and comments replaced by $1, $2, ..., and a
// trailing ';' dropped; `count` receives the number of markers. Returns false
// with *error when a second statement follows a ';'.
bool numberPlaceholders(std::string_view sql, std::string& out, int& count, std::string* error);

}  // namespace db::engine::pg
