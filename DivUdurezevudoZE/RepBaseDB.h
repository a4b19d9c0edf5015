// The base of every table facade: its error record and the generic row
// operations (read one, list, count, insert, update, delete) with their retry
// of the engine's retryable code 1025.
//
// Thread-safety: a facade, with its error record and retry budget, is used by
// one thread at a time; distinct facades may run concurrently.
#pragma once

#include <string>

#include "Db/DBtable.h"
#include "Db/DBtran.h"
#include "DivUdurezevudoZE/Export.h"

// Not used by any operation; every unit that includes this header has one.
static const std::string vmFatalError = "**FatalError**";

DIVU_EXPORT extern const std::string EmptyString;

// The last failure of a facade.
class DIVU_EXPORT CReplicationDBError {
 public:
  CReplicationDBError();
  ~CReplicationDBError();

  void clear();
  // Non-zero code: clear() and keep the code, return true. Zero: store 0,
  // keep the texts and the retry count, return false.
  bool isDBError(int code);
  // True (and one retry used) for 1025 while fewer than 5 retries were used.
  bool RetryOp(int code);
  // Takes the function name and the binding's texts; resets the retry count.
  void set(const std::string& function, DBtable& table);

  int m_errorCode;
  std::string m_function;
  std::string m_errorText;
  std::string m_tableDescribe;
  std::string m_tableName;
  unsigned int m_retryCount;
};

// Replaces the owned text *dst by a malloc'ed copy of src (null stays null).
// Returns 1, or 0 when memory runs out (then *dst is null).
int repDBStrCpy(char** dst, const char* src);

// The texts of a query op: its WHERE and one text more (the SET of an
// update, the ORDER BY of a list), each a malloc'ed copy or null. Owns them;
// not copyable.
class DIVU_EXPORT CRDBQueryTexts {
 public:
  CRDBQueryTexts(const CRDBQueryTexts&) = delete;
  CRDBQueryTexts& operator=(const CRDBQueryTexts&) = delete;

  void clear();
  int setWhere(const char* text);

  char* m_where = nullptr;

 protected:
  // `other`: the op's own text member.
  explicit CRDBQueryTexts(char** other) : m_other(other) {}
  ~CRDBQueryTexts() = default;
  int setOther(const char* text);

 private:
  char** m_other;
};

// SET and WHERE texts of an update.
class DIVU_EXPORT CRDBUpdateOp : public CRDBQueryTexts {
 public:
  CRDBUpdateOp() : CRDBQueryTexts(&m_update) {}
  ~CRDBUpdateOp() { clear(); }
  int setUpdate(const char* text) { return setOther(text); }

  char* m_update = nullptr;
};

// ORDER BY and WHERE texts of a list query.
class DIVU_EXPORT CRDBListQueryOp : public CRDBQueryTexts {
 public:
  CRDBListQueryOp() : CRDBQueryTexts(&m_orderBy) {}
  ~CRDBListQueryOp() { clear(); }
  int setOrderBy(const char* text) { return setOther(text); }

  char* m_orderBy = nullptr;
};

class DIVU_EXPORT CRepBaseDB {
 public:
  CRepBaseDB();
  ~CRepBaseDB();

  CReplicationDBError m_dbError;

  // Reads the first row matching `where` into `row`; `row` is unchanged on
  // failure.
  template <class Record, class Binding>
  bool getRowForQuery(Record& row, Binding*&, const char* where, DBtran* tran) {
    Binding binding(tran);
    binding.setWhere(where);
    return readOneRow(row, binding);
  }

  // getRowForQuery with the WHERE "<column> = <value>", which is spelt only
  // when a failure or a trace shows it.
  template <class Record, class Binding>
  bool getRowByKey(Record& row, const char* column, int value, DBtran* tran) {
    Binding binding(tran);
    binding.setWhereKey(column, value);
    return readOneRow(row, binding);
  }

  template <class Record, class Binding>
  bool readOneRow(Record& row, Binding& binding) {
    const bool inPlace = binding.readInto(&row);  // no copy when `row` stays as it was on failure
    int code = retry([&] { return getOneRow(&binding, false, -1, 0); });
    if (m_dbError.isDBError(code)) {
      m_dbError.set("CRepBaseDB::getRowForQuery()", binding);
      return false;
    }
    if (!inPlace) row = *binding.getDataPtr();
    return true;
  }

  // Lists the rows matching the query into a new array of exactly `count`
  // records (null when none). On failure `list` is null and `count` 0, except
  // that a failed count leaves 4294967295 in `count`.
  //
  // The count and the rows come from one read snapshot: without a
  // transaction the list runs in a read transaction of its own. A fetch that
  // gives 1025 ends its cursor, so the list starts over (within the retry
  // budget) rather than fetching again.
  template <class Record, class Binding>
  bool getListForQuery(Binding*& unused, Record*& list, CRDBListQueryOp& query, unsigned int& count, DBtran* tran) {
    list = nullptr;
    count = 0;
    if (tran) return listInSnapshot(unused, list, query, count, tran);
    DBtran read;
    int code = retry([&] { return read.begin(DBtran::Mode::Read); });
    if (m_dbError.isDBError(code)) {
      Binding named(nullptr);
      m_dbError.set("CRepBaseDB::getListForQuery()", named);
      m_dbError.m_errorText = read.lastError();
      return false;
    }
    bool ok = listInSnapshot(unused, list, query, count, &read);
    read.rollback();  // it only read
    return ok;
  }

  template <class Binding>
  bool deleteRow(Binding*&, const char* where, DBtran* tran) {
    Binding binding(tran);
    binding.setWhere(where);
    return deleteMatching(binding);
  }

  // deleteRow with the WHERE "<column> = <value>", spelt only when shown.
  template <class Binding>
  bool deleteRowByKey(const char* column, int value, DBtran* tran) {
    Binding binding(tran);
    binding.setWhereKey(column, value);
    return deleteMatching(binding);
  }

  template <class Binding>
  bool deleteMatching(Binding& binding) {
    int code = retry([&] { return binding.rowDelete(); });
    if (m_dbError.isDBError(code)) {
      m_dbError.set("CRepBaseDB::deleteRow()", binding);
      return false;
    }
    return true;
  }

  // Inserts `row`; on success `row` holds the stored row, assigned key included.
  template <class Record, class Binding>
  bool insertRow(Record& row, Binding*&, DBtran* tran) {
    Binding binding(tran);
    const bool inPlace = binding.insertFrom(&row);
    int code = retry([&] { return binding.rowInsert(true); });
    if (m_dbError.isDBError(code)) {
      m_dbError.set("CRepBaseDB::insertRow()", binding);
      return false;
    }
    if (!inPlace) row = *binding.getDataPtr();
    return true;
  }

  // Inserts rows[0..count) as one unit: all of them or none. Without `tran`
  // they are stored in a transaction of their own; in `tran` a failure undoes
  // the batch as a failed single insert is undone there. On success each row
  // holds its assigned key; on a failure the error text names the failing
  // row, and *failedRow (when given) is its index (count when none failed).
  template <class Record, class Binding>
  bool insertRows(Record* rows, unsigned int count, Binding*&, DBtran* tran, unsigned int* failedRow = nullptr) {
    Binding binding(tran);
    int code = retry([&] { return binding.rowsInsert(rows, sizeof(Record), count); });
    if (failedRow) *failedRow = static_cast<unsigned int>(code == db::kOk ? count : binding.failedRow());
    if (m_dbError.isDBError(code)) {
      m_dbError.set("CRepBaseDB::insertRows()", binding);
      return false;
    }
    return true;
  }

  // Deletes the rows whose key column holds one of keys[0..count), as one
  // unit as insertRows is. Keys without a row are no failure.
  template <class Binding>
  bool deleteRows(const int* keys, unsigned int count, Binding*&, DBtran* tran) {
    Binding binding(tran);
    int code = retry([&] { return binding.rowsDelete(keys, count); });
    if (m_dbError.isDBError(code)) {
      m_dbError.set("CRepBaseDB::deleteRows()", binding);
      return false;
    }
    return true;
  }

  // An update without SET text succeeds at once and touches nothing.
  template <class Binding>
  bool executeUpdateQuery(Binding*&, CRDBUpdateOp& update, DBtran* tran) {
    if (!update.m_update) return true;
    return updateWhere<Binding>(update.m_update, update.m_where, tran);
  }

  // The same with the caller's texts, copied nowhere (`where` null: every row).
  template <class Binding>
  bool updateWhere(const char* setText, const char* where, DBtran* tran) {
    Binding binding(tran);
    if (where) binding.setWhere(where);
    int code = retry([&] { return binding.rowUpdate(setText); });
    if (m_dbError.isDBError(code)) {
      m_dbError.set("CRepBaseDB::executeUpdateQuery()", binding);
      return false;
    }
    return true;
  }

  // The engine writes its code straight into m_dbError.m_errorCode; success
  // is decided by the count alone.
  template <class Binding>
  bool getRowsInTable(Binding*&, unsigned int& count, const char* where, DBtran* tran) {
    Binding binding(tran);
    binding.setWhere(where);
    count = static_cast<unsigned int>(binding.getRowsInTable(&m_dbError.m_errorCode, true));
    while (m_dbError.RetryOp(m_dbError.m_errorCode))
      count = static_cast<unsigned int>(binding.getRowsInTable(&m_dbError.m_errorCode, true));
    if (count == static_cast<unsigned int>(db::kCountFailed)) {
      m_dbError.set("CRepBaseDB::getRowsInTable()", binding);
      return false;
    }
    return true;
  }

  template <class Record>
  void deleteList(Record*& list) {
    if (!list) return;
    delete[] list;
    list = nullptr;
  }

  template <class Record, class Binding>
  bool listInSnapshot(Binding*&, Record*& list, CRDBListQueryOp& query, unsigned int& count, DBtran* tran) {
    for (;;) {
      Binding binding(tran);
      if (query.m_where) binding.setWhere(query.m_where);
      if (query.m_orderBy) binding.setOrderBy(query.m_orderBy);
      int code = retry([&] { return binding.openCursor(); });
      if (m_dbError.isDBError(code)) {
        m_dbError.set("CRepBaseDB::getListForQuery()", binding);
        return false;
      }
      Binding* counter = nullptr;
      if (!getRowsInTable(counter, count, query.m_where, tran)) {
        binding.closeCursor();
        return false;
      }
      if (count == 0) {
        binding.closeCursor();
        return true;
      }
      list = new Record[count];
      unsigned int fetched = 0;
      while (fetched < count) {
        code = binding.fetchCursor(true);
        if (code == db::kOk) {
          list[fetched++] = *binding.getDataPtr();
          continue;
        }
        binding.closeCursor();
        deleteList(list);
        count = 0;
        if (m_dbError.RetryOp(code)) break;  // from the start, on a new cursor
        m_dbError.isDBError(code);
        m_dbError.set("CRepBaseDB::getListForQuery()", binding);
        return false;
      }
      if (fetched == count) {
        binding.closeCursor();
        return true;
      }
    }
  }

 private:
  // Calls `engineCall` again at once while it returns 1025 and the retry
  // budget lasts.
  template <class Call>
  int retry(Call&& engineCall) {
    int code = engineCall();
    for (int attempt = 2; m_dbError.RetryOp(code); ++attempt) {
      db::observe::retryingLastStatement();
      db::observe::Attempt numbered(attempt);
      code = engineCall();
    }
    return code;
  }
};
