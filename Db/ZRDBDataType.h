// Column objects: the typed value of one column of one row, with its NULL
// state, an update status and a text form. Row descriptors (Db/ZRDBRowBase.h)
// own them; the engine's newer access path stores fetched values into them.
//
// Thread-safety: none; a column object is used by the thread that owns its row.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "ZrLib/Export.h"

enum UpdatedStatus : int32_t {
  ZRDB_NOT_UPDATED = 0,
  ZRDB_UPDATED = 1,
};

// printf formats of the primitive column types.
ZR_EXPORT extern const char ZRDB_int_format[];
ZR_EXPORT extern const char ZRDB___int64_format[];

class ZR_EXPORT ZRDBDataTypeBase {
 public:
  ZRDBDataTypeBase() = default;
  ZRDBDataTypeBase(const ZRDBDataTypeBase&) = delete;
  ZRDBDataTypeBase& operator=(const ZRDBDataTypeBase&) = delete;

  // Virtual operations, in this slot order.
  virtual bool setData(const char* data, int offset, int length, bool flag) = 0;
  virtual void clearMemoryOnNULL() {}
  virtual void setString() const = 0;
  virtual const std::string& getStr() const { return m_str; }
  virtual ~ZRDBDataTypeBase() = default;
  virtual int getDataType() const = 0;
  // "NULL" for a NULL column, otherwise the text form, cut to maxLength
  // characters when maxLength > 0.
  virtual std::string toString(int maxLength) const;

  // Acts only on a change of state; becoming NULL runs clearMemoryOnNULL().
  void setInternalNull(bool isNull) {
    if (isNull == m_isNull) return;
    m_strCurrent = false;
    m_isNull = isNull;
    if (isNull) clearMemoryOnNULL();
  }
  void setUpdated(UpdatedStatus status) { m_updated = status; }
  bool isNull() const { return m_isNull; }

  bool m_isNull = true;
  UpdatedStatus m_updated = ZRDB_NOT_UPDATED;
  bool m_auxFlag = false;
  mutable std::string m_str;
  std::string m_auxText;
  bool m_strCurrent = false;
  void* m_auxValue = nullptr;
};

template <class T, const char (*F)[], int N>
class ZR_EXPORT ZRDBPrimitiveType : public ZRDBDataTypeBase {
 public:
  ZRDBPrimitiveType() {
    setInternalNull(true);
    setUpdated(ZRDB_NOT_UPDATED);
  }

  // Copies `length` raw bytes (host order) into the value at `offset`. Stores
  // nothing and returns false for a null source or a range outside the value.
  bool setData(const char* data, int offset, int length, bool) override {
    if (!data || offset < 0 || length < 0 || static_cast<size_t>(offset) + static_cast<size_t>(length) > sizeof(T))
      return false;
    memcpy(reinterpret_cast<char*>(&m_value) + offset, data, static_cast<size_t>(length));
    m_strCurrent = false;
    return true;
  }
  void setString() const override {
    char buffer[100];
    snprintf(buffer, sizeof buffer, getFormatString(), m_value);
    m_str = buffer;
  }
  int getDataType() const override { return N; }
  static const char* getFormatString() { return *F; }

  T m_value{};
};

template <class T, int N>
class ZR_EXPORT ZRDBCompositeType : public ZRDBDataTypeBase {
 public:
  ZRDBCompositeType() {
    setInternalNull(true);
    setUpdated(ZRDB_NOT_UPDATED);
  }
  bool setData(const char* data, int offset, int length, bool flag) override;
  void setString() const override;
  const std::string& getStr() const override { return m_str; }
  int getDataType() const override { return N; }

  T m_value{};
};

// The string instantiation's setData and setString come with the engine.
template <>
ZR_EXPORT bool ZRDBCompositeType<std::string, 6>::setData(const char* data, int offset, int length, bool flag);
template <>
ZR_EXPORT void ZRDBCompositeType<std::string, 6>::setString() const;

class ZR_EXPORT ZRDB_string : public ZRDBCompositeType<std::string, 6> {
 public:
  ZRDB_string() = default;
  void clearMemoryOnNULL() override { m_value = ""; }
};

using ZRDBInt = ZRDBPrimitiveType<int, &ZRDB_int_format, 1>;
using ZRDBInt64 = ZRDBPrimitiveType<long long, &ZRDB___int64_format, 4>;
