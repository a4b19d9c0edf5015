// The seven standard facade operations over one table, shared by every
// facade. A facade names its binding and, where it differs from "<key> = ",
// the text that starts the WHERE of its Update.
#pragma once

#include <charconv>
#include <cstring>
#include <string>

#include "DivUdurezevudoZE/RepBaseDB.h"

// How a facade's Update writes its key condition.
enum class UpdateKeyText {
  Plain,         // "<key> = <id>"
  LeadingBlank,  // " id = <id>"
  DoubleBlank,   // "id  = <id>"
};

template <class Binding, UpdateKeyText kUpdateKey = UpdateKeyText::Plain>
class CStandardFacade : public CRepBaseDB {
 public:
  using Record = typename Binding::RecordType;
  using BindingType = Binding;

  bool getInfo(int id, Record& row, DBtran* tran) {
    char where[255];
    keyWhere(where, id);
    Binding* binding = nullptr;
    return getRowForQuery<Record, Binding>(row, binding, where, tran);
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
    char where[255];
    keyWhere(where, id);
    Binding* binding = nullptr;
    return deleteRow<Binding>(binding, where, tran);
  }

  bool insert(Record& row, DBtran* tran) {
    Binding* binding = nullptr;
    return insertRow<Record, Binding>(row, binding, tran);
  }

  // False without any engine call (and without touching m_dbError) for id -1
  // or a null or empty SET text.
  bool Update(int id, const char* setText, DBtran* tran) {
    CRDBUpdateOp update;
    update.clear();
    if (id == -1 || !setText || !*setText) return false;
    std::string where = updateKeyPrefix();
    where += std::to_string(id);
    update.setWhere(where.c_str());
    update.setUpdate(setText);
    Binding* binding = nullptr;
    return executeUpdateQuery<Binding>(binding, update, tran);
  }

  // `where` null counts every row.
  bool getNRows(const char* where, unsigned int& count, DBtran* tran) {
    Binding* binding = nullptr;
    return getRowsInTable<Binding>(binding, count, where, tran);
  }

  // The column the by-id operations select on.
  static const char* keyColumn() { return Binding::Definition::table.primaryKey[0]; }

 protected:
  // "<key> = <id>", as snprintf("%s = %d") writes it, within 255 bytes.
  static void keyWhere(char (&where)[255], int id) {
    const char* key = keyColumn();
    size_t length = strnlen(key, sizeof where - 16);
    memcpy(where, key, length);
    memcpy(where + length, " = ", 3);
    char* end = std::to_chars(where + length + 3, where + sizeof where - 1, id).ptr;
    *end = '\0';
  }

  static std::string updateKeyPrefix() {
    switch (kUpdateKey) {
      case UpdateKeyText::LeadingBlank: return std::string(" ") + keyColumn() + " = ";
      case UpdateKeyText::DoubleBlank: return std::string(keyColumn()) + "  = ";
      case UpdateKeyText::Plain: break;
    }
    return std::string(keyColumn()) + " = ";
  }
};
