// Row descriptors: a typed, self-describing view of one row (table name,
// columns with one column object each, struct definition, serial column,
// primary and foreign keys) for the engine's newer access path.
//
// Thread-safety: per-row members belong to the thread that owns the binding.
// Class-wide data of each descriptor class is filled once per process under
// the one process-wide semaphore ZRDBRowBase::s_semColumnVec.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Db/ZRDBDataType.h"
#include "ZrLib/Export.h"
#include "ZrLib/ZrLib.h"

// Owns a counting semaphore of the utility library.
class ZR_EXPORT ZrSemaphore {
 public:
  // Throws the text "Not enough memory to initialize ZrSemaphore" when no
  // semaphore can be had.
  explicit ZrSemaphore(int units);
  ~ZrSemaphore();
  ZrSemaphore(const ZrSemaphore&) = delete;
  ZrSemaphore& operator=(const ZrSemaphore&) = delete;

  void wait() { m_handle->wait(); }
  void release(int n) { m_handle->release(n); }

  ZrSemaphoreH* m_handle;
};

class ZR_EXPORT ZRSimpleDBSem {
 public:
  explicit ZRSimpleDBSem(int units) : m_sem(new ZrSemaphore(units)) {}
  ~ZRSimpleDBSem() { delete m_sem; }
  ZRSimpleDBSem(const ZRSimpleDBSem&) = delete;
  ZRSimpleDBSem& operator=(const ZRSimpleDBSem&) = delete;

  void wait() { m_sem->wait(); }
  // Gives back one unit, whatever n says.
  void release(int) { m_sem->release(1); }

  ZrSemaphore* m_sem;
};

class ZR_EXPORT ZRDBRowBase {
 public:
  ZRDBRowBase();
  ZRDBRowBase(const ZRDBRowBase&) = delete;

  // Virtual operations, in this slot order.
  virtual void lock();
  virtual void unLock();
  virtual ~ZRDBRowBase();
  // Empty for an index outside the column list.
  virtual std::string getColumnName(const int& index);
  virtual std::vector<ZRDBDataTypeBase*> getData();
  virtual int getSerialColNum() = 0;
  virtual std::string getTableName() = 0;
  virtual std::string getPrimaryWhere() = 0;
  virtual std::vector<ZRDBDataTypeBase*> getPrimaryData() = 0;
  virtual std::string getStructDef();
  virtual void setTableName(std::string name) = 0;
  // Null for an index outside the column list.
  virtual const char* getColumnName_t2(const int& index) const = 0;
  virtual void pushColumnName(const char* name) = 0;
  virtual int getHeaderType();
  virtual bool searchForeignKey(std::string table);
  // Copies nothing: a row's column objects are its own.
  virtual ZRDBRowBase& operator=(ZRDBRowBase&);

  // The definition with every "x" (time) turned into "b".
  std::string fillForTime(const char* definition);

  static ZRSimpleDBSem* s_semColumnVec;

  bool m_isDescriptor = false;
  std::map<std::string, ZRDBDataTypeBase*> m_columnMap;  // not owning
  std::vector<ZRDBDataTypeBase*> m_columnVec;            // owning, column order
  std::string m_serialColumn;
  std::vector<std::string> m_primaryKeys;
  ZRSimpleDBSem* m_rowSem;
  void* m_auxPtr1 = nullptr;
  void* m_auxPtr2 = nullptr;
  void* m_auxPtr3 = nullptr;
};
