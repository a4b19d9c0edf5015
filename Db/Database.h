// A database named by a URL (see Db/DatabaseUrl.h for the forms), and the
// process's default database.
//
// A Database is shared by threads; each thread works on connections of its
// own, opened on first use and closed when the thread ends, or once the
// Database is destroyed: at once on the destroying thread, at their next
// engine call on the others. With max_connections set, a connection is a
// thread's only while it is in use (a transaction holds it, a cursor is open
// on it, an autocommit call runs on it); then it goes back to the database's
// pool for any thread, and the pool's idle connections close with the
// Database. With read_hosts, reads have connections of their own, to the
// standbys (see Db/DatabaseUrl.h for what goes where).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "Db/DatabaseUrl.h"
#include "Db/EngineCodes.h"
#include "Db/TableDef.h"
#include "ZrLib/Export.h"

namespace db {

// The SQL a backend speaks, where caller texts are read.
enum class SqlDialect { Sqlite, Postgres };

namespace engine {
class Backend;
class Connection;
class Lease;
struct Pool;
struct Stats;
}  // namespace engine

// What a database has done since it was opened, summed over its threads (a
// snapshot of counters each thread bumps on its own; they need not agree
// with each other to the last statement).
struct Counters {
  unsigned long long statements = 0;   // statements run through bindings (a batch is one)
  unsigned long long prepares = 0;     // statements compiled
  unsigned long long cacheHits = 0;    // statements found compiled in the connection's cache
  unsigned long long cacheMisses = 0;  // statements that had to be compiled
  unsigned long long retries = 0;      // tries again after 1025 (the facades' retry, DBtran::run)
  unsigned long long restarts = 0;     // DBtran::run beginning again after 2003
  unsigned long long outcomesInDoubt = 0;  // 2009 from a commit or an autocommit statement
  unsigned long long reconnects = 0;   // DBtran::run beginning again after the server could not be reached
  unsigned long long connectionWaits = 0;  // waits for a connection at max_connections
  int connectionsOpen = 0;             // open now, primary and read hosts
};

// The schema revision of a database: how many of the engine's upgrade steps
// its tables have been through. Table versions say what a table holds; the
// revision says which constraints and layout the steps gave it.
struct SchemaRevision {
  int recorded = 0;       // steps recorded in the database (0: none, or no tables yet)
  int latest = 0;         // steps this library knows
  bool tablesExist = false;  // the database holds tables of ours
  // Tables asked about that it lacks, while it holds others (tables listed
  // after it was made): an upgrade creates them.
  int missingTables = 0;
};

// What an upgrade reports as it goes, for a person watching it.
struct UpgradeEvent {
  enum class Kind {
    Waiting,  // another upgrade (or writer) holds the database; waiting for it
    Planned,  // a step that will run (or, in a dry run, would run)
    Started,  // a step begins
    Table,    // progress of a step on one table: rows of totalRows done
    Finished, // a step is done (recorded with the transaction's commit)
  };
  Kind kind;
  int step = 0;
  const char* stepName = "";
  const char* table = "";
  long long rows = 0;
  long long totalRows = 0;
};

struct UpgradeOptions {
  bool dryRun = false;  // report the steps and the rows that block them; change nothing
  std::function<void(const UpgradeEvent&)> progress;
  // How long to wait for another process's upgrade or write transaction.
  int waitSeconds = 600;
};

struct UpgradeResult {
  int from = 0;  // the revision found
  int to = 0;    // the revision left (from, after a dry run or a failure)
  int latest = 0;  // this library's revision
};

class ZR_EXPORT Database final : public std::enable_shared_from_this<Database> {
 public:
  // Where an engine call runs: on the primary, or on the read hosts (the
  // primary when the URL names none).
  enum class Route { Primary, Reads };

  // Opens (creating a file when missing, unless read_only) and checks that a
  // connection can be made. Null on failure, with "cannot open URL: reason"
  // in *error (the URL's password hidden).
  static std::shared_ptr<Database> open(std::string_view url, std::string* error = nullptr);
  // The same for a URL read already, its fields perhaps changed since.
  static std::shared_ptr<Database> open(const DatabaseOptions& options, std::string* error = nullptr);

  // The database of bindings and transactions that name none. Replace or
  // clear it only while no other thread is running engine calls on it.
  static void setDefault(std::shared_ptr<Database> database);
  static std::shared_ptr<Database> getDefault();
  // The default without taking a reference: the engine's per-call path.
  static Database* defaultForThisThread();

  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // The URL as opened, its password shown as "***".
  const std::string& url() const { return m_url; }
  // What it was opened with.
  const DatabaseOptions& options() const { return m_options; }
  const char* backendName() const;
  SqlDialect dialect() const;

  // Runs SQL text (several statements allowed) on the calling thread's
  // autocommit connection. Returns 0 or a failure code with *error filled.
  int exec(const char* sql, std::string* error = nullptr);

  // Creates the tables, keys and indexes that are missing and records their
  // versions, in one transaction. Idempotent. Fails with kSchemaVersion when a
  // table exists with another version.
  int createSchema(std::span<const TableDef* const> tables, std::string* error = nullptr);
  // Checks the recorded versions against `tables`. A database without the
  // version table (no tables of ours yet) passes, or with `mustExist` fails
  // with kNoSchema. A version table of another layout fails with
  // kSchemaVersion.
  int verifySchema(std::span<const TableDef* const> tables, std::string* error = nullptr, bool mustExist = false);

  // The recorded revision. A recorded step whose checksum differs from this
  // library's step of that number fails with kSchemaVersion: it ran other SQL.
  int readRevision(std::span<const TableDef* const> tables, SchemaRevision& out, std::string* error = nullptr);
  // Brings the database to the latest revision, each step in one transaction
  // that also records it: a failed or interrupted upgrade leaves the revision
  // before it, as it was. Rows that a step cannot keep (a value past a new
  // limit) are listed in *error, with kConstraint, and nothing changes.
  // Concurrent upgraders wait for each other; the later one finds the work
  // done. Tables of `tables` that the database lacks (listed after it was
  // made) are created once the steps are done. A database at a newer
  // revision fails with kSchemaVersion.
  int upgradeSchema(std::span<const TableDef* const> tables, const UpgradeOptions& options,
                    UpgradeResult* result = nullptr, std::string* error = nullptr);
  // Whether the URL asked to upgrade on open (upgrade=1).
  bool upgradeOnOpen() const { return m_options.upgradeOnOpen; }

  // Whether reads have servers of their own (read_hosts).
  bool hasReadHosts() const { return m_readBackend != nullptr; }
  // Connections of `route` open now across all threads and in the pool, and
  // the most that were ever open at once (for tests and monitoring).
  int openConnections(Route route = Route::Primary) const;
  int peakConnections(Route route = Route::Primary) const;
  // Its counters now; a relaxed read of each, no lock taken.
  Counters counters() const;
  // Engine side: where the counters are kept.
  engine::Stats& stats() const { return *m_stats; }

  // Engine side: a free connection of the calling thread (no transaction
  // holds it, no cursor is open on it), for a transaction to hold or for
  // autocommit work; the lease says who holds it. Over the cap, waits
  // connection_wait for one and then fails with kNoConnection, or with
  // kStatementTimeout at a transaction's `deadline` when that comes first.
  // autocommitConnection is the primary's.
  int acquireForTransaction(engine::Lease*& out, std::string* error, Route route = Route::Primary,
                            std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
  int autocommitLease(engine::Lease*& out, std::string* error, Route route = Route::Primary);
  int autocommitConnection(engine::Connection*& out, std::string* error);
  // Closes a connection of the calling thread that must not be used again
  // (its transaction could not be ended); closing rolls back what it held.
  void discardConnection(engine::Lease* lease);

 private:
  Database(DatabaseOptions options, std::unique_ptr<engine::Backend> backend,
           std::unique_ptr<engine::Backend> readBackend);
  static std::shared_ptr<Database> openUnchecked(const DatabaseOptions& options, std::string* error);
  int openConnection(std::unique_ptr<engine::Connection>& out, std::string* error);
  int freeLease(engine::Lease*& out, std::string* error, Route route,
                std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
  int routeIndex(Route route) const;
  int newLease(int route, std::unique_ptr<engine::Lease>& out, std::string* error,
               std::chrono::steady_clock::time_point deadline);

  const uint64_t m_id;
  const DatabaseOptions m_options;
  std::string m_url;
  std::unique_ptr<engine::Backend> m_backend;
  std::unique_ptr<engine::Backend> m_readBackend;  // null: reads use m_backend
  // Per route (primary, reads): the count of connections, and with a cap the
  // idle ones.
  std::shared_ptr<engine::Pool> m_pools[2];
  std::shared_ptr<engine::Stats> m_stats;
  // Keeps an in-memory database alive between thread connections.
  std::unique_ptr<engine::Connection> m_keeper;
};

}  // namespace db
