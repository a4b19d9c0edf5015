// Text work of the PostgreSQL backend that needs no server: the engine's "?"
// markers numbered as "$n", and the engine's own options taken out of a
// connection URL before libpq sees it.
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

inline constexpr int kDefaultLockTimeoutMs = 5000;

struct ConnectionSettings {
  std::string conninfo;  // what libpq is given: a URI or a keyword string
  int lockTimeoutMs = kDefaultLockTimeoutMs;
  bool readOnly = false;  // read_only=1: every transaction is read only
  bool upgradeOnOpen = false;  // upgrade=1: for the catalogue's open
};

// Parses "postgresql://..." and "postgres://..." URIs and "postgresql:" or
// "postgres:" followed by a libpq keyword string ("host=/tmp dbname=x").
// lock_timeout=MS (0 to 3600000; 0 waits without limit), read_only=1|0 and
// upgrade=1|0 are ours and leave the text; everything else goes to libpq as written. Returns false with
// *error when lock_timeout has a bad value or the text is not such a URL.
bool parseUrl(std::string_view url, ConnectionSettings& settings, std::string* error);

}  // namespace db::engine::pg
