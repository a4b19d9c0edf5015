// The engine's share of the typed row model: the format texts, the string
// column's value operations, toString, the semaphores and the row base.
#include <cstdio>
#include <new>

#include "Db/RowDescriptor.h"
#include "Db/ZRDBDataType.h"
#include "Db/ZRDBRowBase.h"

const char ZRDB_int_format[] = "%d";
const char ZRDB___int64_format[] = "%lld";

std::string ZRDBDataTypeBase::toString(int maxLength) const {
  if (m_isNull) return "NULL";
  setString();
  if (maxLength > 0 && m_str.size() > static_cast<size_t>(maxLength)) return m_str.substr(0, static_cast<size_t>(maxLength));
  return m_str;
}

// Stores `length` bytes at `offset` of the value, which grows as needed and
// ends after them. False for a null source with a length, or a bad range.
template <>
bool ZRDBCompositeType<std::string, 6>::setData(const char* data, int offset, int length, bool) {
  if (offset < 0 || length < 0 || (!data && length > 0)) return false;
  m_value.resize(static_cast<size_t>(offset), '\0');
  if (length > 0) m_value.append(data, static_cast<size_t>(length));
  m_strCurrent = false;
  return true;
}

template <>
void ZRDBCompositeType<std::string, 6>::setString() const {
  m_str = m_value;
}

ZrSemaphore::ZrSemaphore(int units) : m_handle(zrNewSemaphore(units)) {
  if (!m_handle) throw "Not enough memory to initialize ZrSemaphore";
}

ZrSemaphore::~ZrSemaphore() { delete m_handle; }

ZRSimpleDBSem* ZRDBRowBase::s_semColumnVec = new ZRSimpleDBSem(1);

ZRDBRowBase::ZRDBRowBase() : m_rowSem(new ZRSimpleDBSem(1)) {}

ZRDBRowBase::~ZRDBRowBase() {
  for (ZRDBDataTypeBase* column : m_columnVec) delete column;
  delete m_rowSem;
  m_rowSem = nullptr;
}

void ZRDBRowBase::lock() { s_semColumnVec->wait(); }
void ZRDBRowBase::unLock() { s_semColumnVec->release(1); }

std::string ZRDBRowBase::getColumnName(const int& index) {
  const char* name = getColumnName_t2(index);
  return name ? std::string(name) : std::string();
}

std::vector<ZRDBDataTypeBase*> ZRDBRowBase::getData() { return m_columnVec; }
std::string ZRDBRowBase::getStructDef() { return std::string(); }
int ZRDBRowBase::getHeaderType() { return -1; }
bool ZRDBRowBase::searchForeignKey(std::string) { return false; }
ZRDBRowBase& ZRDBRowBase::operator=(ZRDBRowBase&) { return *this; }

std::string ZRDBRowBase::fillForTime(const char* definition) {
  std::string text = definition ? definition : "";
  for (char& c : text)
    if (c == 'x') c = 'b';
  return text;
}

ZRDBDataTypeBase* db::makeColumnObject(ColumnType type) {
  switch (type) {
    case ColumnType::Int32: return new ZRDBInt();
    case ColumnType::Int64:
    case ColumnType::Time64: return new ZRDBInt64();
    case ColumnType::Text:
    case ColumnType::OwnedText: return new ZRDB_string();
  }
  return new ZRDB_string();
}
