// A database URL, read once into what it says: which backend, where the
// database is, and the settings that go with it.
//
//   sqlite:PATH[?busy_timeout=MS&synchronous=full|normal&cache_size=KIB&read_only=1]
//                                                            a file (WAL mode once the tables are made)
//   PATH                                                     the same
//   sqlite:file:URI                                          an SQLite URI filename: SQLite's own
//                                                            parameters as written (no shared cache,
//                                                            no mode=memory), ours as above, no others
//   sqlite::memory:                                          a private in-memory database
//   postgresql://... or postgres://...                       a PostgreSQL server (libpq URI;
//                                                            read_only=1 makes its transactions read only)
//   postgresql:KEYWORDS or postgres:KEYWORDS                 the same with a libpq keyword string
//
// Either backend takes upgrade=1 (open upgrades an older catalogue),
// read_only=1, max_connections=N, connection_wait=MS and statement_timeout=MS
// (each statement is stopped with kStatementTimeout once it has run this
// long; 0, the default: no limit); PostgreSQL takes
// lock_timeout=MS, max_lifetime=SECONDS, read_hosts=HOST:PORT,... and
// pooler=none|transaction, and passes everything else on to libpq as written. Where the URL does not set
// them, PostgreSQL connections get connect_timeout=5, TCP keepalives (idle
// 5 s, every 2 s, 3 probes) and tcp_user_timeout=10000, so that a dead server
// is noticed in seconds. A libpq multi-host URL with
// target_session_attrs=read-write finds the primary again after a failover.
//
//   read_hosts=h1:p1,h2:p2   reads go to these servers (standbys of the
//       primary): the URL's other settings with these hosts and
//       target_session_attrs=prefer-standby (a primary among them serves only
//       when no standby answers; a host without a port takes 5432). Routed
//       there: read-mode DBtrans and reads without a DBtran (one-row reads,
//       counts, lists and cursors). A standby lags behind the primary by its
//       replication delay, so those reads may miss a write committed just
//       before; a caller that must see its own committed writes reads in a
//       write-mode DBtran. Writes, write-mode DBtrans, Database::exec and the
//       schema's creation, checks and upgrades use the primary (the URL's own
//       hosts). SQLite refuses read_hosts.
//   max_connections=N        at most N connections to the primary, and N more
//       to the read hosts, across all threads (0, the default: no cap, a
//       connection per thread). Over the cap, an idle connection is handed
//       between threads; a thread that finds none waits connection_wait
//       (default 5000 ms) and then fails with kNoConnection.
//   max_lifetime=SECONDS     a connection older than this is opened anew
//       before its next transaction or autocommit statement (0: never).
//
// pooler=transaction: the server is reached through a pooler in transaction
// mode (pgbouncer's pool_mode = transaction), where consecutive transactions
// of one connection may run on different server sessions, so the library
// keeps nothing in the session: no named prepared statements (each statement
// is parsed, bound and run in one message batch), no session SET (lock_timeout,
// statement_timeout, the read-only mode and the settings below are set with SET LOCAL in every
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
  // PostgreSQL: a connection older than this is closed and opened again
  // before its next transaction or autocommit statement (0: kept for good).
  // Spreads the sessions anew over hosts and poolers as they change.
  int maxLifetimeSeconds = 0;
  // PostgreSQL: "host:port,..." of the servers that take reads (empty: the
  // primary takes them).
  std::string readHosts;

  // Connections per server across all threads (0: no cap), and how long a
  // thread waits for one over the cap.
  int maxConnections = 0;
  int connectionWaitMs = 5000;
  // How long a statement may run, its lock waits included, before it is
  // stopped with kStatementTimeout (0: no limit). A DBtran may set its own.
  int statementTimeoutMs = 0;
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
  // What libpq is given for the read hosts: `target` with their hosts and
  // ports and target_session_attrs=prefer-standby; empty without read hosts,
  // nothing with *error when they are malformed.
  std::optional<std::string> readTarget(std::string* error = nullptr) const;
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
