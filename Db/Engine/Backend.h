// The interface every database backend implements: connections, statements
// and the mapping of native errors to engine codes. Nothing above Db/Engine/
// sees a backend's own headers.
//
// Thread-safety: a Connection and its Statements are used by one thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "Db/Database.h"
#include "Db/EngineCodes.h"
#include "Db/TableDef.h"

namespace db::engine {

// How many bytes of `text` a field of `capacity` bytes keeps: up to the
// first NUL and at most `capacity - 1`, and a text that has to be cut is cut
// before a character, never inside one (a field must hold valid UTF-8 for
// the record to be written back).
inline size_t fittingLength(std::string_view text, size_t capacity) {
  if (text.empty()) return 0;
  size_t n = strnlen(text.data(), std::min(text.size(), capacity - 1));
  if (n < text.size() && text[n] != '\0')
    for (int back = 0; back < 3 && n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80; ++back) --n;
  return n;
}

// A text field of `capacity` bytes set to what it keeps of `text`.
inline void storeText(char* field, size_t capacity, std::string_view text) {
  const size_t n = fittingLength(text, capacity);
  if (n) memcpy(field, text.data(), n);
  field[n] = '\0';
}

// An owned text replaced by a copy of `text` up to its first NUL, or by null
// for a NULL.
inline void storeOwnedText(char*& field, bool null, std::string_view text) {
  char* copy = nullptr;
  if (!null) {
    const size_t n = text.data() ? strnlen(text.data(), text.size()) : 0;
    copy = new char[n + 1];
    if (n) memcpy(copy, text.data(), n);
    copy[n] = '\0';
  }
  delete[] field;
  field = copy;
}

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

  // One column of the current row as readRow gives it.
  // Plain data: a row's worth sits uninitialised on the reader's stack.
  struct ColumnValue {
    long long integer;  // integer columns
    const char* text;   // text columns: `length` bytes, null for no text
    size_t length;
    bool null;          // text columns of owned texts; every column when asked for
    std::string_view view() const { return text ? std::string_view(text, length) : std::string_view(); }
  };
  // Reads the current row's columns for `def`'s columns, in one call: an
  // integer column with columnInt64, a text with columnText, an owned text
  // with columnIsNull and then, unless NULL, columnText; with `nulls`, every
  // column's columnIsNull first. `out` holds one value per column; texts
  // stay valid until the next step or release. False when the value of a
  // 32-bit column does not fit 32 bits.
  virtual bool readRow(const db::TableDef& def, bool nulls, ColumnValue* out) const;

  // The classic path's read: the current row straight into `record`, the
  // integers first, then the texts (cut to fit as fittingLength says; an
  // owned text NULL reads as null, a NULL otherwise as 0 or empty). -1, or
  // the index of a 32-bit column whose value does not fit, that value in
  // *value, and the record then as it was.
  virtual int readRecord(const db::TableDef& def, void* record, long long* value) const;
  // The most columns readRecord takes; wider tables go through readRow.
  static constexpr size_t kDirectColumns = 64;

  const std::string& sql() const { return m_sql; }

 protected:
  // readRecord through `statement`'s own accessors.
  template <class S>
  static int readRecordWith(const S& statement, const db::TableDef& def, void* record, long long* bad) {
    // Each integer field's value before this read, to put back when a later
    // 32-bit one does not fit: a failed read leaves the record as it was.
    long long before[kDirectColumns];
    int texts[kDirectColumns];  // the text columns, read once every number fits
    int textCount = 0;
    int index = 0;
    for (const db::ColumnDef& column : def.columns) {
      switch (column.type) {
        case db::ColumnType::Int32: {
          const long long value = statement.columnInt64(index);
          int& field = db::fieldAt<int>(record, column);
          if (value < INT32_MIN || value > INT32_MAX) [[unlikely]] {
            for (int back = 0; back < index; ++back) {
              const db::ColumnDef& earlier = def.columns[static_cast<size_t>(back)];
              if (earlier.type == db::ColumnType::Int32)
                db::fieldAt<int>(record, earlier) = static_cast<int>(before[back]);
              else if (earlier.type == db::ColumnType::Int64 || earlier.type == db::ColumnType::Time64)
                db::fieldAt<long long>(record, earlier) = before[back];
            }
            *bad = value;
            return index;
          }
          before[index] = field;
          field = static_cast<int>(value);
          break;
        }
        case db::ColumnType::Int64:
        case db::ColumnType::Time64: {
          long long& field = db::fieldAt<long long>(record, column);
          before[index] = field;
          field = statement.columnInt64(index);
          break;
        }
        case db::ColumnType::Text:
        case db::ColumnType::OwnedText:
          texts[textCount++] = index;
          break;
      }
      ++index;
    }
    for (int k = 0; k < textCount; ++k) {
      index = texts[k];
      const db::ColumnDef& column = def.columns[static_cast<size_t>(index)];
      if (column.type == db::ColumnType::Text) {
        storeText(&db::fieldAt<char>(record, column), column.size, statement.columnText(index));
      } else if (column.type == db::ColumnType::OwnedText) {
        const bool null = statement.columnIsNull(index);
        storeOwnedText(db::fieldAt<char*>(record, column), null, null ? std::string_view{} : statement.columnText(index));
      }
    }
    return -1;
  }

  // readRow through `statement`'s own accessors (a final class calls them directly).
  template <class S>
  static bool readRowWith(const S& statement, const db::TableDef& def, bool nulls, ColumnValue* out) {
    bool fit = true;
    int index = 0;
    for (const db::ColumnDef& column : def.columns) {
      ColumnValue& value = out[index];
      value.null = nulls && statement.columnIsNull(index);
      switch (column.type) {
        case db::ColumnType::Int32:
          value.integer = statement.columnInt64(index);
          fit &= value.integer >= INT32_MIN && value.integer <= INT32_MAX;
          break;
        case db::ColumnType::Int64:
        case db::ColumnType::Time64:
          value.integer = statement.columnInt64(index);
          break;
        case db::ColumnType::OwnedText:
        case db::ColumnType::Text: {
          if (!nulls && column.type == db::ColumnType::OwnedText) value.null = statement.columnIsNull(index);
          const std::string_view text = value.null ? std::string_view() : statement.columnText(index);
          value.text = text.data();
          value.length = text.size();
          break;
        }
      }
      ++index;
    }
    return fit;
  }

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

  // Binds the values of batch row `row` to the batch's statement.
  using BatchBinder = std::function<void(Statement& statement, size_t row)>;
  // Runs `sql` (one statement, "?" markers) once for each of `rows` rows,
  // inside a transaction begun with begin(), as one unit: every row, or none.
  // On a failure the rows already run are undone, *failedRow is the index of
  // the row that failed (rows when it was none of them), the connection holds
  // the text, and the transaction goes on as after one failed statement.
  // With `returned`, returned[row] receives the first column of the row's
  // first result row (a serial key from RETURNING).
  // The default runs one cached prepared statement per row under a savepoint.
  virtual int runBatch(const std::string& sql, size_t rows, const BatchBinder& bind, long long* returned,
                       size_t* failedRow);

  virtual int begin(bool write) = 0;
  virtual int commit() = 0;
  virtual int rollback() = 0;
  // Whether the database itself holds an open transaction on this connection.
  virtual bool inTransaction() const = 0;

  // The calling thread takes over the connection from another (a capped
  // pool hands idle connections between threads).
  virtual void adoptedByThisThread() {}

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

  // After a failure inside a transaction begun with begin(): whether the
  // database has ended that transaction by itself (rolled it back, lost the
  // connection), so that nothing more may run in it. Stays set until the
  // caller's commit() or rollback() ends the transaction, or the next begin().
  bool transactionEnded() const { return m_transactionEnded; }

  // Deadlines. Every statement is stopped with kStatementTimeout when it
  // runs past its own: its start plus the transaction's statement timeout
  // (0: the URL's statement_timeout, 0 there: none), and never later than
  // the transaction's deadline (max: none). Set by DBtran before begin() and
  // cleared when the transaction ends.
  using Clock = std::chrono::steady_clock;
  void limitTransaction(int statementTimeoutMs, Clock::time_point deadline) {
    m_transactionTimeoutMs = statementTimeoutMs;
    m_transactionDeadline = deadline;
  }
  void clearTransactionLimits() { limitTransaction(0, Clock::time_point::max()); }
  // Whether any statement has a deadline now: without one, nothing is timed.
  bool limited() const {
    return m_statementTimeoutMs || m_transactionTimeoutMs || m_transactionDeadline != Clock::time_point::max();
  }
  // The deadline of a statement starting at `now` (max: none).
  Clock::time_point statementDeadline(Clock::time_point now) const {
    const int ms = m_transactionTimeoutMs ? m_transactionTimeoutMs : m_statementTimeoutMs;
    const Clock::time_point own = ms ? now + std::chrono::milliseconds(ms) : Clock::time_point::max();
    return std::min(own, m_transactionDeadline);
  }

 protected:
  // Runs `body` under a savepoint that is undone when it fails, keeping the
  // failure's text; for runBatch.
  int underSavepoint(const std::function<int()>& body);

  // Kept by the backend's begin(), commit() and rollback(): a transaction
  // begun with begin() that the caller has not ended yet, even when the
  // database has (the caller still has to roll it back).
  bool m_begun = false;
  bool m_transactionEnded = false;
  void transactionOver() {
    m_begun = m_transactionEnded = false;
    clearTransactionLimits();
  }
  // A new transaction: its limits were set before it began.
  void transactionStarts() { m_begun = m_transactionEnded = false; }
  int m_statementTimeoutMs = 0;  // the URL's statement_timeout
  int m_transactionTimeoutMs = 0;
  Clock::time_point m_transactionDeadline = Clock::time_point::max();

  std::string m_lastErrorText;
  unsigned long m_compiled = 0;
};

// Gives a leased statement back to its connection when it goes out of scope.
class StatementLease {
 public:
  StatementLease(Connection& connection, Statement* statement) : m_connection(connection), m_statement(statement) {}
  ~StatementLease() { m_connection.release(m_statement); }
  StatementLease(const StatementLease&) = delete;
  StatementLease& operator=(const StatementLease&) = delete;

 private:
  Connection& m_connection;
  Statement* m_statement;
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual const char* name() const = 0;
  virtual SqlDialect dialect() const = 0;
  virtual int connect(std::unique_ptr<Connection>& out, std::string* error) = 0;
  // Whether the database needs one connection kept open to stay alive.
  virtual bool needsKeeper() const { return false; }
  // The database's name for observers: a file's path, or the server
  // database the URL names (empty when it leaves that to libpq's defaults);
  // never a password.
  virtual std::string databaseName() const = 0;
};

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
