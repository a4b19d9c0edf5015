// The seven standard facade operations over one table, shared by every
// facade. A facade names its binding and, where it differs from "<key> = ",
// the text that starts the WHERE of its Update.
#pragma once

#include <charconv>
#include <cstring>
#include <string_view>

#include "DivUdurezevudoZE/RepBaseDB.h"

// How a facade's Update writes its key condition.
enum class UpdateKeyText {
  Plain,         // "<key> = <id>"
  LeadingBlank,  // " id = <id>"
  DoubleBlank,   // "id  = <id>"
};

// The condition that selects row `id` by its key column, "<key> = <id>" as
// snprintf("%s = %d") writes it (or spelt as `spelling` says), within 255
// bytes and without allocating: the by-id operations build one per call.
class KeyCondition {
 public:
  KeyCondition(const char* key, int id, UpdateKeyText spelling = UpdateKeyText::Plain) {
    char* at = m_text;
    char* const last = m_text + sizeof m_text - 1;
    if (spelling == UpdateKeyText::LeadingBlank) *at++ = ' ';
    size_t length = strnlen(key, sizeof m_text - 20);
    at = static_cast<char*>(memcpy(at, key, length)) + length;
    const std::string_view equals = spelling == UpdateKeyText::DoubleBlank ? "  = " : " = ";
    at = static_cast<char*>(memcpy(at, equals.data(), equals.size())) + equals.size();
    *std::to_chars(at, last, id).ptr = '\0';
  }
  const char* c_str() const { return m_text; }

 private:
  char m_text[255];
};

template <class Binding, UpdateKeyText kUpdateKey = UpdateKeyText::Plain>
class CStandardFacade : public CRepBaseDB {
 public:
  using Record = typename Binding::RecordType;
  using BindingType = Binding;

  bool getInfo(int id, Record& row, DBtran* tran) {
    return getRowByKey<Record, Binding>(row, keyColumn(), id, tran);
  }

  // `where` null: all rows; `orderBy` null: the table's default order.
  bool getList(Record*& list, unsigned int& count, const char* where, const char* orderBy, DBtran* tran) {
    CRDBListQueryOp query;
    query.clear();
    if (where) query.setWhere(where);
    if (orderBy) query.setOrderBy(orderBy);
    Binding* binding = nullptr;
    return getListForQuery<Record, Binding>(binding, list, query, count, tran);
  }

  // `where` null removes every row.
  bool remove(const char* where, DBtran* tran) {
    Binding* binding = nullptr;
    return deleteRow<Binding>(binding, where, tran);
  }

  bool remove(int id, DBtran* tran) {
    return deleteRowByKey<Binding>(keyColumn(), id, tran);
  }

  bool insert(Record& row, DBtran* tran) {
    Binding* binding = nullptr;
    return insertRow<Record, Binding>(row, binding, tran);
  }

  // `count` rows at once, all or none; see CRepBaseDB::insertRows.
  bool insertRows(Record* rows, unsigned int count, DBtran* tran, unsigned int* failedRow = nullptr) {
    Binding* binding = nullptr;
    return CRepBaseDB::insertRows<Record, Binding>(rows, count, binding, tran, failedRow);
  }

  // The rows with these ids, all or none: the rows only, without what a
  // facade's own remove(id) does beyond them.
  bool deleteRows(const int* ids, unsigned int count, DBtran* tran) {
    Binding* binding = nullptr;
    return CRepBaseDB::deleteRows<Binding>(ids, count, binding, tran);
  }

  // False without any engine call (and without touching m_dbError) for id -1
  // or a null or empty SET text.
  bool Update(int id, const char* setText, DBtran* tran) {
    if (id == -1 || !setText || !*setText) return false;
    return updateWhere<Binding>(setText, KeyCondition(keyColumn(), id, kUpdateKey).c_str(), tran);
  }

  // `where` null counts every row.
  bool getNRows(const char* where, unsigned int& count, DBtran* tran) {
    Binding* binding = nullptr;
    return getRowsInTable<Binding>(binding, count, where, tran);
  }

  // The column the by-id operations select on.
  static const char* keyColumn() { return Binding::Definition::table.primaryKey[0]; }
};
