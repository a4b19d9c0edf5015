// The table binding generated from a table definition: a DBtable that carries
// one row record and tells the engine the table's name, columns, key, order
// and version. Every table's binding is this template; a table header only
// names it.
//
// Thread-safety: a binding is used by one thread; its constructor takes
// DBtable::DBCriticalSection exactly around the registration with the
// transaction.
#pragma once

#include <cstdint>

#include "Db/DBtable.h"
#include "Db/DBtran.h"
#include "Db/RowDescriptor.h"
#include "Db/TableDef.h"
#include "ZrLib/Export.h"
#include "ZrLib/ZrLib.h"

namespace db {

template <class Record, class Def, class Descriptor>
class ZR_EXPORT TableBinding : public DBtable {
 public:
  using RecordType = Record;
  using Definition = Def;
  using DescriptorType = Descriptor;
  static constexpr size_t kColumns = Def::table.columns.size();

  explicit TableBinding(DBtran* tran) : DBtable(Def::table.name, 0, tran) {
    const TableTexts& facts = texts();
    m_bindState = 1;
    m_columnList = facts.columnList.c_str();
    m_version = Def::table.version;
    m_keyColumn = Def::table.keyColumn;
    if constexpr (Def::table.keyValueIsId)
      m_keyValue = &m_data.id;
    else
      m_keyValue = nullptr;
    m_describe = facts.describe.c_str();
    setDefaultOrder(Def::table.defaultOrder);
    dataBindClearFirstTime();
    DBtable::setExtIndicatorArray(m_indicators);
    // On the newer access path the row descriptor is created here; if that
    // throws, the record and the DBtable base are released on the way out.
    m_rowDescriptor = DBtable::b_newDBBase ? takeDescriptor() : nullptr;
    DBtable::DBCriticalSection.Lock();
    if (m_tran && m_bindState != 2) {
      try {
        m_tran->addObject(this);
      } catch (...) {
        // The binding stays unregistered: its operations then fail instead
        // of running outside the caller's transaction.
        log_error(Def::table.headerPath, Def::table.logLine, facts.logFormat.c_str(),
                  static_cast<unsigned int>(reinterpret_cast<uintptr_t>(this)));
      }
    }
    DBtable::DBCriticalSection.Unlock();
  }

  ~TableBinding() override {
    dataBindClear();
    keepDescriptor(static_cast<Descriptor*>(m_rowDescriptor));
  }

  // Has a one-row read fill `row` itself rather than the binding's record,
  // when that can leave `row` as it was on every failure: the classic path
  // checks every value before writing any, and writes numbers and fixed
  // texts only (no allocation that could fail halfway). True when it does;
  // otherwise the caller copies getDataPtr() after a successful read.
  bool readInto(Record* row) {
    if constexpr (hasOwnedText(Def::table)) {
      return false;
    } else {
      if (m_rowDescriptor) return false;
      bindRecord(&Def::table, row, &texts());
      return true;
    }
  }

  void setValues(Record* row) { m_data = *row; }

  // Has an insert write `row` itself rather than a copy in the binding's
  // record, on the classic path of a record without owned texts: the engine
  // binds its values and, on success only, writes its assigned key into it,
  // so `row` ends as a copy back would leave it. True when it does;
  // otherwise the values are copied in and the caller copies getDataPtr()
  // back after a successful insert.
  bool insertFrom(Record* row) {
    if constexpr (!hasOwnedText(Def::table)) {
      if (!m_rowDescriptor) {
        bindRecord(&Def::table, row, &texts());
        return true;
      }
    }
    setValues(row);
    return false;
  }
  Record* getDataPtr() { return &m_data; }
  const long long* getIndicators() const { return m_indicators; }

  // Texts derived from the definition, built once per process.
  static const TableTexts& texts() {
    static const TableTexts facts = makeTableTexts(Def::table);
    return facts;
  }

 private:
  // A descriptor allocates an object per column and a map of their names:
  // each thread keeps its last one for its next binding of the table.
  static inline thread_local Descriptor* t_spare = nullptr;
  static inline thread_local bool t_threadEnded = false;
  struct SpareReaper {
    ~SpareReaper() {
      delete t_spare;
      t_spare = nullptr;
      t_threadEnded = true;
    }
  };

  static Descriptor* takeDescriptor() {
    if (Descriptor* spare = t_spare) {
      t_spare = nullptr;
      if (spare->renew()) return spare;
      delete spare;
    }
    return new Descriptor();
  }

  static void keepDescriptor(Descriptor* descriptor) {
    if (!descriptor) return;
    if (t_spare || t_threadEnded) {
      delete descriptor;
      return;
    }
    static thread_local SpareReaper reaper;
    (void)&reaper;  // frees the spare when the thread ends
    t_spare = descriptor;
  }

 protected:
  void dataBindClearFirstTime() { bindRecord(&Def::table, &m_data, &texts()); }
  void dataBindClear() { unbindRecord(); }

  Record m_data;
  long long m_indicators[kColumns] = {};
};

}  // namespace db
