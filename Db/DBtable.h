// The engine's table cursor. A binding (a DBtable subclass generated from a
// table definition, Db/TableBinding.h) carries one row record; the engine
// reads rows into it and writes rows from it.
//
// Thread-safety: a DBtable is used by one thread, the thread of its
// transaction (or, without one, the thread that constructed it).
// DBtable::DBCriticalSection is process-wide.
//
// WHERE, ORDER BY and SET texts are SQL fragments taken as plain text: they
// are never used as printf formats.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "Db/Database.h"
#include "Db/EngineCodes.h"
#include "Db/FXCriticalSection.h"
#include "Db/TableDef.h"
#include "ZrLib/Export.h"

class DBtran;
class DBtable;
class ZRDBRowBase;

namespace db::engine {
class Connection;
class Lease;
class Statement;
struct ThreadScratch;
}  // namespace db::engine

// Per-binding link to the connection: the indicator array of the newer access
// path, and the connection the binding runs on once known.
class ZR_EXPORT ZRSimpleDBConnObject final {
 public:
  void setExtIndicatorArray(void* indicators) { m_indicators = indicators; }
  void* extIndicatorArray() const { return m_indicators; }

 private:
  friend class DBtable;
  friend class DBtran;
  void* m_indicators = nullptr;
  db::engine::Connection* m_connection = nullptr;
};

// Reads the first row matching the binding's WHERE (in its order) into the
// binding's record. Returns 0, 100 when nothing matches, or a failure code.
ZR_EXPORT int getOneRow(DBtable* table, bool forUpdate, int timeout, int flags);

// Checks a caller's WHERE, ORDER BY or SET text as the engine checks each one
// before it encloses it in a statement (it must close every comment, quote and
// parenthesis it opens, and close none it did not open): 0, or db::kError with
// the reason in *why. The SQL dialect is that of `tran`'s database, or of the
// default database without one. For callers that build a condition around
// a text of their own caller's.
ZR_EXPORT int checkCallerText(const char* text, DBtran* tran, std::string* why);

class ZR_EXPORT DBtable {
 public:
  DBtable(const char* tableName, int flags, DBtran* tran);
  virtual ~DBtable();
  DBtable(const DBtable&) = delete;
  DBtable& operator=(const DBtable&) = delete;

  static bool b_newDBBase;                   // the newer access path
  static FXCriticalSection DBCriticalSection;  // held around registrations

  const char* getpDescribe() const { return m_describe; }
  const char* getTableName() const { return m_tableName; }
  DBtran* getTran() const { return m_tran; }
  // The row descriptor on the newer access path, else null.
  ZRDBRowBase* getRowDescriptor() const { return m_rowDescriptor; }

  // Restricts later operations; null or "" means no restriction. Returns 0.
  int setWhere(const char* where);
  // Restricts later operations to the rows whose `column` is `value`: the
  // same as setWhere("<column> = <value>"), that text spelt only when
  // something shows it. `column` must outlive the binding. Returns 0.
  int setWhereKey(const char* column, int value);
  // Orders later list reads; the later call wins; null or "" means no order.
  int setOrderBy(const char* orderBy);

  // A cursor holds a statement, and with it a read snapshot, on one
  // connection until its end, a failure, closeCursor() or the end of its
  // transaction (commit and rollback close the cursors of the transaction).
  int openCursor();
  // Next row into the record: 0, 100 at the end, or a failure code. After
  // 100 or a failure every fetch gives that code again until openCursor();
  // a fetch after the cursor's transaction ended gives kMisuse. A 1025 from a
  // fetch is answered by opening the cursor again, not by fetching again.
  int fetchCursor(bool next);
  int closeCursor();

  // Inserts the record; on 0 the record holds the stored row with its
  // assigned serial key.
  int rowInsert(bool returnRow);
  // UPDATE <table> SET <setText> [WHERE ...].
  int rowUpdate(const char* setText);
  int rowDelete();
  // Inserts `count` records of this binding's record type, laid out `stride`
  // bytes apart, as one unit: all of them or, on a failure, none (without a
  // transaction, in one of its own; in the caller's, undone as one failed
  // statement is). On 0 each record holds its assigned serial key; on a
  // failure failedRow() tells which record failed (count when none did).
  int rowsInsert(void* records, size_t stride, size_t count);
  // Deletes the rows whose one-column key is among `keys`, as one unit as
  // rowsInsert is; keys that match no row are no failure.
  int rowsDelete(const int* keys, size_t count);
  size_t failedRow() const { return m_failedRow; }
  // Number of matching rows, or -1 with the failure code in *code.
  int getRowsInTable(int* code, bool exact);

  // Text of the last failure (the database's message and the failing SQL)
  // when `code` is the last code; otherwise a fixed description of `code`.
  const char* getErrorStr(int code);

  void setExtIndicatorArray(void* indicators) {
    if (b_newDBBase) m_connObject->setExtIndicatorArray(indicators);
  }

  // Set by the transaction's addObject.
  void attachConnection(db::engine::Connection* connection) { m_connObject->m_connection = connection; }

 protected:
  // Column binding of the generated table code: the engine reads and writes
  // `record` column by column as `def` says.
  void bindRecord(const db::TableDef* def, void* record, const db::TableTexts* texts) {
    m_def = def;
    m_record = record;
    m_texts = texts;
  }
  void unbindRecord();
  // The default order of the table's definition: a text that lives as long
  // as the program, so it is pointed at rather than copied.
  void setDefaultOrder(const char* orderBy) {
    m_orderBy = orderBy ? std::string_view(orderBy) : std::string_view();
  }

  const char* m_describe = "";
  const char* m_tableName;
  const char* m_columnList = "";
  const char* m_version = "";
  const char* m_keyColumn = "";
  int* m_keyValue = nullptr;
  int m_bindState = 0;
  DBtran* m_tran;
  ZRSimpleDBConnObject* m_connObject;
  ZRDBRowBase* m_rowDescriptor = nullptr;

 private:
  friend int getOneRow(DBtable*, bool, int, int);
  friend class db::engine::Lease;

 public:
  enum class Kind { OneRow, Cursor, Count, Update, Delete, Insert };

 private:
  // The connection a call of `kind` runs on: its transaction's, or without
  // one an autocommit connection (for reads, on the read hosts when the
  // database has them).
  int resolveConnection(db::engine::Lease*& lease, Kind kind);
  int fail(int code, std::string text);
  int failFrom(db::engine::Connection* connection, int code);
  // The statement of `kind` from the binding's texts; with `params`, the
  // integer literals of caller texts become parameters collected there.
  void buildSql(Kind kind, const char* setText, std::string& sql, std::vector<long long>* params,
                db::SqlDialect dialect) const;
  std::string plainSql(Kind kind, const char* setText) const;
  int checkTexts(Kind kind, const char* setText, db::SqlDialect dialect, db::engine::ThreadScratch& thread);
  // `thread` is the calling thread's scratch (DBtable.cpp).
  int prepareStatement(db::engine::Connection* connection, Kind kind, const char* setText,
                       db::engine::Statement*& statement, db::engine::ThreadScratch& thread);
  int runStatement(Kind kind, const char* setText, long long* serialOut);
  int runBatch(const std::string& sql, size_t rows,
               const std::function<void(db::engine::Statement&, size_t)>& bind, long long* returned, Kind kind);
  void releaseCursor();
  // The WHERE text, spelt from the key condition when setWhereKey set one.
  const std::string& whereText() const;
  // Releases the cursor's statement; later fetches give `code` with `text`.
  void endCursor(int code, std::string text);
  long long* indicators() const { return static_cast<long long*>(m_connObject->extIndicatorArray()); }

  ZRSimpleDBConnObject m_connStorage;
  const db::TableDef* m_def = nullptr;
  void* m_record = nullptr;
  const db::TableTexts* m_texts = nullptr;
  mutable std::string m_where;  // spelt on demand while m_whereKey is set
  const char* m_whereKey = nullptr;  // the key column of setWhereKey, else null
  int m_whereKeyValue = 0;
  mutable bool m_whereSpelt = false;
  std::string m_orderByText;
  std::string_view m_orderBy;  // NUL-terminated: m_orderByText or a default order
  std::string m_errorText;
  int m_lastCode = 0;
  size_t m_failedRow = 0;
  db::engine::Statement* m_cursor = nullptr;
  db::engine::Lease* m_cursorLease = nullptr;
  int m_cursorEnd = 0;  // the code every fetch gives once the cursor ended
  std::string m_cursorEndText;
};
