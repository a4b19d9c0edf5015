// A database URL, read once into what it says: which backend, where the
// database is, and the settings that go with it.
//
//   sqlite:PATH[?busy_timeout=MS&synchronous=full|normal&cache_size=KIB&read_only=1]
//                                                            a file (WAL mode once the tables are made)
//   PATH                                                     the same
//   sqlite:file:URI                                          an SQLite URI filename, as it is
//                                                            (no shared cache, no mode=memory)
//   sqlite::memory:                                          a private in-memory database
//   postgresql://... or postgres://...                       a PostgreSQL server (libpq URI;
//                                                            read_only=1 makes its transactions read only)
//   postgresql:KEYWORDS or postgres:KEYWORDS                 the same with a libpq keyword string
//
// Either backend takes upgrade=1 (open upgrades an older catalogue) and
// read_only=1; PostgreSQL takes lock_timeout=MS and pooler=none|transaction,
// and passes everything else on to libpq as written.
//
// pooler=transaction: the server is reached through a pooler in transaction
// mode (pgbouncer's pool_mode = transaction), where consecutive transactions
// of one connection may run on different server sessions, so the library
// keeps nothing in the session: no named prepared statements (each statement
// is parsed, bound and run in one message batch), no session SET (lock_timeout,
// the read-only mode and the settings below are set with SET LOCAL in every
// transaction and in the implicit transaction of every autocommit
// statement), no session locks. The "-c name=value" settings of libpq's
// `options` (options=-csearch_path%3Dmyschema) are taken out of it and set
// that way too, since the pooler refuses the startup parameter (pgbouncer
// 1.18 refuses `options`, or with ignore_startup_parameters drops it
// silently); other switches stay in `options`. The server must keep its
// default standard_conforming_strings = on, which is checked. pooler=none
// (the default) holds one session per connection.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ZrLib/Export.h"

namespace db {

struct ZR_EXPORT DatabaseOptions {
  enum class Location {
    File,         // `target` is a file path
    UriFilename,  // `target` is an SQLite URI filename ("file:..."), handed to SQLite as written
    Memory,       // a private in-memory database; `target` is empty
    Server,       // `target` is what libpq is given: a URI or a keyword string, our options taken out
  };

  // The URL as given, password included: show it only through redactUrl.
  // Changing a field below does not change it.
  std::string url;
  // The backend that opens it ("sqlite", "postgresql"); backends register by it.
  std::string scheme;
  Location location = Location::File;
  std::string target;

  bool readOnly = false;       // read_only=1: never creates or changes anything
  bool upgradeOnOpen = false;  // upgrade=1: the catalogue's open upgrades an older revision

  // SQLite.
  int busyTimeoutMs = 5000;
  long cacheKiB = 0;  // 0: SQLite's own page cache size
  std::string synchronous = "FULL";
  bool memdb = false;  // a URI filename of the memdb VFS: in memory, shared by the connections

  // PostgreSQL: how long a statement waits for a locked row (0: no limit).
  int lockTimeoutMs = 5000;
  // PostgreSQL: what stands between the library and the server (pooler=).
  enum class Pooler {
    None,         // a session per connection
    Transaction,  // a transaction pooler: no session state across transactions
  };
  Pooler pooler = Pooler::None;

  // Reads `url`; nothing, with the reason in *error, when it is malformed or
  // names a scheme this build does not know.
  static std::optional<DatabaseOptions> parse(std::string_view url, std::string* error = nullptr);

  // Whether the settings are ones the backends take (parse checks them; a
  // value changed since is checked again when it is opened); false with the
  // reason in *error.
  bool check(std::string* error = nullptr) const;

  bool isServer() const { return location == Location::Server; }
  bool inMemory() const { return location == Location::Memory || memdb; }
  // Opening creates the database when it is missing.
  bool createIfMissing() const { return !readOnly && !isServer(); }
  // The file it names (a URI filename's path decoded); nothing for an
  // in-memory or server database.
  std::optional<std::string> file() const;
};

// `text` with every password that `url` holds (user:PASSWORD@ in a URI,
// password=... as a query option or keyword) replaced by "***"; the one-
// argument form redacts the URL itself.
ZR_EXPORT std::string redactUrl(std::string_view url, std::string text);
ZR_EXPORT std::string redactUrl(std::string_view url);

}  // namespace db
