// Text work of the PostgreSQL backend that needs no server: the engine's "?"
// markers numbered as "$n", and the session settings of libpq's `options`
// rewritten as SET LOCAL statements for pooler=transaction. (Its URLs are read
// with every other, in DatabaseUrl.cpp.)
//
// Pure functions; thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace db::engine::pg {

// Writes `sql` to `out` with each "?" outside string literals, quoted
// identifiers, dollar quotes and comments replaced by $1, $2, ..., and a
// trailing ';' dropped; `count` receives the number of markers. Returns false
// with *error when a second statement follows a ';'.
bool numberPlaceholders(std::string_view sql, std::string& out, int& count, std::string* error);

// A server setting given as "-c name=value" in libpq's `options`.
struct Setting {
  std::string name;
  std::string value;
};

// Takes the settings ("-c name=value", "-cname=value", "--name=value") out of
// a libpq `options` value, read as the server reads it (blanks separate,
// a backslash keeps the next character); the other switches stay in `rest`,
// as written. False with *error for a setting without '=' or a name that is
// not one.
bool takeSettings(std::string_view options, std::vector<Setting>& settings, std::string& rest, std::string* error);

// `SET LOCAL name = ...` giving the setting the value "-c name=value" gives
// it. A list of names (search_path, temp_tablespaces) is split as the server
// splits it, each name quoted as it would be read.
std::string setLocal(const Setting& setting);

}  // namespace db::engine::pg
