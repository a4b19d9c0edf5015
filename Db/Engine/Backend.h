// The interface every database backend implements: connections, statements
// and the mapping of native errors to engine codes. Nothing above Db/Engine/
// sees a backend's own headers.
//
// Thread-safety: a Connection and its Statements are used by one thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Db/Database.h"
#include "Db/EngineCodes.h"
#include "Db/TableDef.h"

class DBtable;
class DBtran;

namespace db::engine {

class Statement {
 public:
  virtual ~Statement() = default;

  virtual void bindNull(int index) = 0;  // 1-based
  virtual void bindInt64(int index, long long value) = 0;
  virtual void bindText(int index, const char* text, size_t length) = 0;

  // The number of parameter markers the database found in the text.
  virtual int parameterCount() const = 0;

  // kOk: a row is available; kNoRow: done; otherwise a failure code (the
  // connection holds the text).
  virtual int step() = 0;

  virtual bool columnIsNull(int index) const = 0;  // 0-based
  virtual long long columnInt64(int index) const = 0;  // 0 for NULL
  virtual std::string_view columnText(int index) const = 0;  // empty for NULL

  const std::string& sql() const { return m_sql; }

 protected:
  std::string m_sql;
};

class Connection {
 public:
  virtual ~Connection() = default;

  // Leases a prepared statement for `sql`, whose parameters are written "?"
  // (a backend with other markers rewrites them), from the cache when one is free;
  // give it back with release(). On failure returns the code and out is null.
  virtual int prepare(const std::string& sql, Statement*& out) = 0;
  virtual void release(Statement* statement) = 0;

  // Runs SQL text that returns no rows (several statements allowed).
  virtual int exec(const char* sql) = 0;

  virtual int begin(bool write) = 0;
  virtual int commit() = 0;
  virtual int rollback() = 0;
  // Whether the database itself holds an open transaction on this connection.
  virtual bool inTransaction() const = 0;

  // Statements compiled so far (cache misses), for tests and statistics.
  unsigned long compiledStatements() const { return m_compiled; }

  // The last failure: the database's message, its native code and the SQL.
  const std::string& lastErrorText() const { return m_lastErrorText; }

  // The SQL it reads caller texts in.
  virtual SqlDialect dialect() const = 0;

  // Column type for DDL.
  virtual const char* ddlType(ColumnType type, bool serial) const = 0;
  // DDL of a serial key column, primary key included.
  virtual std::string serialColumnDdl(const char* name) const = 0;
  // A query with one "?" (a table name as written unquoted in DDL) that
  // returns one row holding 1 when that table exists, else 0.
  virtual const char* tableExistsSql() const = 0;
  // Makes schema creators of the open transaction wait for each other until
  // it ends (a write transaction that already excludes other writers needs
  // nothing more).
  virtual int lockSchema() { return kOk; }
  // Makes upgraders of the open transaction wait for each other, before the
  // transaction reads anything (a write transaction that already excludes
  // other writers needs nothing more).
  virtual int lockForUpgrade() { return kOk; }
  // Readies the database for the library's tables before they are created
  // (SQLite: WAL mode, which is stored in the file and so never set by merely
  // opening one).
  virtual int prepareForWrites() { return kOk; }

  // Bookkeeping of Database: the transaction that holds this connection and
  // the bindings with a cursor open on it. A connection with an open cursor
  // holds that cursor's read snapshot, so it is handed to no other work.
  DBtran* owner = nullptr;
  std::vector<DBtable*> cursors;
  // Set by the owner when it is destroyed on another thread: the owning
  // thread rolls the transaction back at its next engine call.
  std::shared_ptr<std::atomic<bool>> ownerAbandoned;
  bool isFree() const { return !owner && cursors.empty(); }
  // Closes the cursors leased on this connection; their next fetch gives
  // `code` with `why`.
  void closeCursors(int code, const std::string& why);

 protected:
  // Called by a backend after every failure: when the database ended the
  // caller's transaction, the owner is marked aborted.
  void noteFailure(bool transactionEnded);

  std::string m_lastErrorText;
  unsigned long m_compiled = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual const char* name() const = 0;
  virtual SqlDialect dialect() const = 0;
  virtual int connect(std::unique_ptr<Connection>& out, std::string* error) = 0;
  // Whether the database needs one connection kept open to stay alive.
  virtual bool needsKeeper() const { return false; }
};

// A URL switch ("1" or "0") named `name`; false with *error for other values.
bool parseSwitch(std::string_view name, std::string_view value, bool& out, std::string* error);

// How a backend is made for a parsed URL of its scheme. Each backend source
// defines one, k<Name>Backend; the list of those built in is generated by
// CMake (BuiltinBackends.cpp).
struct BackendFactory {
  const char* scheme;  // DatabaseOptions::scheme
  // Null with *error when the options name no database it can open.
  std::unique_ptr<Backend> (*make)(const DatabaseOptions& options, std::string* error);
};

// The built-in backend of `scheme`; null when this build has none.
const BackendFactory* findBackend(std::string_view scheme);
// The backend for `options`, from its scheme's factory; null with *error.
std::unique_ptr<Backend> makeBackend(const DatabaseOptions& options, std::string* error);

}  // namespace db::engine
