// The row descriptor of a table, derived from its table definition: every
// `<Table>_t2` class is this template. Class-wide data (name, struct
// definition, foreign keys, column names) is filled by the first descriptor
// of the class, under ZRDBRowBase::s_semColumnVec; the flag that says it is
// complete is read with acquire and written with release ordering, last.
#pragma once

#include <atomic>
#include <memory>

#include "Db/TableDef.h"
#include "Db/ZRDBRowBase.h"
#include "ZrLib/Export.h"

namespace db {

// A new column object of the class that the column's type names.
ZR_EXPORT ZRDBDataTypeBase* makeColumnObject(ColumnType type);

template <class Def>
class ZR_EXPORT RowDescriptor : public ZRDBRowBase {
 public:
  RowDescriptor() {
    m_isDescriptor = true;
    m_columnVec.reserve(Def::table.columns.size());
    for (const ColumnDef& column : Def::table.columns) {
      std::unique_ptr<ZRDBDataTypeBase> object(makeColumnObject(column.type));
      m_columnMap[column.name] = object.get();
      m_columnVec.push_back(object.release());  // owned from here, freed by the base
    }
    if (!s_isInitialized.load(std::memory_order_acquire)) {
      lock();
      try {
        if (!s_isInitialized.load(std::memory_order_relaxed)) initializeClass();
      } catch (...) {
        unLock();
        throw;
      }
      unLock();
    }
    for (const char* key : Def::table.primaryKey) m_primaryKeys.emplace_back(key);
    if (*Def::table.serialColumn) m_serialColumn = Def::table.serialColumn;
  }

  // Back to the state a new descriptor has, for the next binding of this
  // thread; false when its columns are no longer the ones it was made with.
  bool renew() {
    const size_t n = Def::table.columns.size();
    if (m_columnVec.size() != n || m_columnMap.size() != n || m_primaryKeys.size() != Def::table.primaryKey.size())
      return false;
    size_t index = 0;
    for (const ColumnDef& column : Def::table.columns) {
      ZRDBDataTypeBase* object = m_columnVec[index++];
      switch (column.type) {
        case ColumnType::Int32:
          if (!object || object->getDataType() != 1) return false;
          static_cast<ZRDBInt*>(object)->m_value = 0;
          break;
        case ColumnType::Int64:
        case ColumnType::Time64:
          if (!object || object->getDataType() != 4) return false;
          static_cast<ZRDBInt64*>(object)->m_value = 0;
          break;
        case ColumnType::Text:
        case ColumnType::OwnedText:
          if (!object || object->getDataType() != 6) return false;
          static_cast<ZRDB_string*>(object)->m_value.clear();
          break;
      }
      object->m_isNull = true;
      object->m_updated = ZRDB_NOT_UPDATED;
      object->m_auxFlag = false;
      object->m_str.clear();
      object->m_auxText.clear();
      object->m_strCurrent = false;
      object->m_auxValue = nullptr;
    }
    m_isDescriptor = true;
    index = 0;
    for (const char* key : Def::table.primaryKey) m_primaryKeys[index++] = key;
    m_serialColumn = Def::table.serialColumn;
    m_auxPtr1 = m_auxPtr2 = m_auxPtr3 = nullptr;
    return true;
  }

  int getSerialColNum() override {
    for (size_t i = 0; i < m_staticColumnVec.size(); ++i)
      if (m_staticColumnVec[i] == m_serialColumn) return static_cast<int>(i);
    return -1;
  }
  std::string getTableName() override { return m_name; }
  std::string getPrimaryWhere() override {
    std::string where;
    for (size_t i = 0; i < m_primaryKeys.size(); ++i) {
      where += m_primaryKeys[i];
      where += " = ?";
      if (i + 1 < m_primaryKeys.size()) where += "AND ";
    }
    return where;
  }
  std::vector<ZRDBDataTypeBase*> getPrimaryData() override {
    std::vector<ZRDBDataTypeBase*> data;
    for (const std::string& key : m_primaryKeys) data.push_back(m_columnMap[key]);
    return data;
  }
  std::string getStructDef() override { return structSchema; }
  void setTableName(std::string name) override { m_name = std::move(name); }
  const char* getColumnName_t2(const int& index) const override {
    if (index < 0 || static_cast<size_t>(index) >= m_staticColumnVec.size()) return nullptr;
    return m_staticColumnVec[static_cast<size_t>(index)].c_str();
  }
  void pushColumnName(const char* name) override { m_staticColumnVec.emplace_back(name ? name : ""); }
  int getHeaderType() override { return m_type; }
  virtual std::map<std::string, std::map<std::string, std::string>> getForeignKeyMap() { return m_foreignKeyMap; }

  static std::string m_name;
  static int m_type;
  static std::string structSchema;
  static std::map<std::string, std::map<std::string, std::string>> m_foreignKeyMap;
  static std::vector<std::string> m_staticColumnVec;
  static std::atomic<bool> s_isInitialized;

 private:
  void initializeClass() {
    setTableName(Def::table.name);
    m_type = 1;
    structSchema = fillForTime(makeTableTexts(Def::table).structDef.c_str());
    std::map<std::string, std::string> pairs;
    for (const ForeignKeyDef& key : Def::table.foreignKeys) {
      for (const ForeignKeyPair& pair : key.pairs)
        if (pair.column) pairs[pair.column] = pair.refColumn;
      m_foreignKeyMap[key.refTable] = pairs;  // a later registration replaces an earlier one
      pairs.clear();
    }
    for (const ColumnDef& column : Def::table.columns) pushColumnName(column.name);
    s_isInitialized.store(true, std::memory_order_release);
  }
};

template <class Def>
std::string RowDescriptor<Def>::m_name;
template <class Def>
int RowDescriptor<Def>::m_type = 0;
template <class Def>
std::string RowDescriptor<Def>::structSchema;
template <class Def>
std::map<std::string, std::map<std::string, std::string>> RowDescriptor<Def>::m_foreignKeyMap;
template <class Def>
std::vector<std::string> RowDescriptor<Def>::m_staticColumnVec;
template <class Def>
std::atomic<bool> RowDescriptor<Def>::s_isInitialized{false};

}  // namespace db
