// The commands of repdb. Building a command checks its whole command line
// (a UsageError, exit 2) before the database is touched; running it opens
// the database and runs it in one transaction.
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Db/DatabaseUrl.h"
#include "Output.h"
#include "Registry.h"

namespace db {
class Database;
}

namespace repdb {

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoRow = 3;     // the row named by ID (or the snapshot name) does not exist
inline constexpr int kExitFindings = 4;  // check found problems

struct Globals {
  std::string database;  // --db; empty: $REPDB_DB, else ./repdb.sqlite
  Format format = Format::Human;
  // The database URL those name, read once (readDatabaseUrl): nothing in
  // `options` when it cannot be read, with the reason in `urlError`.
  std::string url;
  std::optional<db::DatabaseOptions> options;
  std::string urlError;
  // Called once the command is done with the database it opened (--stats).
  std::function<void(const db::Database&)> afterCommand;
};

struct Session {
  db::Database* database;
  DBtran* tran;  // null for init, demo, maintenance and offline commands
  std::ostream& out;
  Format format;
  int exitCode = 0;  // a maintenance command's verdict (check: kExitFindings)
};

// Raised inside a command: the transaction is rolled back and the tool exits
// with exitCode (1 unless said otherwise). With a facade's error record,
// `what` names the action that failed.
class CommandFailure : public std::runtime_error {
 public:
  CommandFailure(const std::string& what, const CReplicationDBError& record, int exitCode = kExitFailure)
      : std::runtime_error(what), m_record(record), m_hasRecord(true), m_exitCode(exitCode) {}
  explicit CommandFailure(const std::string& what, int exitCode = kExitFailure)
      : std::runtime_error(what), m_exitCode(exitCode) {}

  void print(std::ostream& err) const;
  int exitCode() const { return m_exitCode; }
  // The engine's code behind the failure; 0 when the tool itself refused.
  int engineCode() const { return m_hasRecord ? m_record.m_errorCode : 0; }

 private:
  CReplicationDBError m_record;
  bool m_hasRecord = false;
  int m_exitCode = kExitFailure;
};

struct Command {
  enum class Kind {
    Read,     // one read transaction
    Write,    // one write transaction; may be a dry run
    Schema,   // creates the database and its tables
    Demo,     // creates the database, then its own transactions
    Maintenance,  // opens an existing database read only, its schema unchecked
    Upgrade,  // opens an existing database as it is, to bring its schema forward
    Offline,  // needs no database
  };
  Kind kind = Kind::Read;
  bool dryRun = false;
  std::function<void(Session&)> body;
};

// Sets the URL of `globals` (--db, else $REPDB_DB, else ./repdb.sqlite) and
// reads it.
void readDatabaseUrl(Globals& globals);
int execute(const Command& command, const Globals& globals);

using Text = std::optional<std::string>;

Command initCommand();
Command tablesCommand();
Command listCommand(const std::string& table, const Text& where, const Text& orderBy, const std::vector<std::string>& columns);
Command getCommand(const std::string& table, const std::vector<std::string>& args, const Text& where);
Command countCommand(const std::string& table, const Text& where);
Command insertCommand(const std::string& table, const std::vector<std::string>& assignments);
// Rows of `file` as list writes them, JSON or CSV, stored in one transaction.
Command importCommand(const std::string& table, const std::string& file);
Command updateCommand(const std::string& table, const std::vector<std::string>& args, const Text& where);
Command removeCommand(const std::string& table, const std::vector<std::string>& args, const Text& where);
Command pruneHistoryCommand(const std::string& before);
Command snapshotUpdateCommand(const std::string& name, const std::string& setText);
Command mountPathCommand(const std::string& path);
Command demoCommand();
Command checkCommand();
// Brings the catalogue's schema to this library's revision; a dry run lists
// the steps and the rows that block them.
Command upgradeCommand(bool dryRun);
// The source is the database of `globals`, known before anything is opened.
Command backupCommand(const Globals& globals, const std::string& file);

// Builds the demo catalogue and walks through a volume removal and a prune.
void runDemo(db::Database& database, std::ostream& out);

}  // namespace repdb
