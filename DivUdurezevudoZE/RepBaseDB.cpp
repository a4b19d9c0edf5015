#include "DivUdurezevudoZE/RepBaseDB.h"

#include <cstdlib>
#include <cstring>

#include "ZrLib/ZrLib.h"

const std::string EmptyString;

namespace {
constexpr unsigned int MaxRetryCount = 5;

std::string textOrEmpty(const char* text) { return text && *text ? std::string(text) : EmptyString; }

void freeText(char*& text) {
  if (!text) return;
  free(text);
  text = nullptr;
}
}  // namespace

CReplicationDBError::CReplicationDBError()
    : m_errorCode(0),
      m_function(EmptyString),
      m_errorText(EmptyString),
      m_tableDescribe(EmptyString),
      m_tableName(EmptyString),
      m_retryCount(0) {}

CReplicationDBError::~CReplicationDBError() = default;

void CReplicationDBError::clear() {
  m_errorCode = 0;
  m_errorText = EmptyString;
  m_tableDescribe = EmptyString;
  m_tableName = EmptyString;
  m_function = EmptyString;
  m_retryCount = 0;
}

bool CReplicationDBError::isDBError(int code) {
  if (code != 0) {
    clear();
    m_errorCode = code;
    return true;
  }
  m_errorCode = 0;
  return false;
}

bool CReplicationDBError::RetryOp(int code) {
  if (code == db::kRetry && m_retryCount < MaxRetryCount) {
    ++m_retryCount;
    return true;
  }
  return false;
}

void CReplicationDBError::set(const std::string& function, DBtable& table) {
  // Read everything first: the texts may come from the binding's own buffers.
  std::string errorText = textOrEmpty(table.getErrorStr(m_errorCode));
  std::string describe = textOrEmpty(table.getpDescribe());
  std::string name = textOrEmpty(table.getTableName());
  m_function = function;
  m_errorText = std::move(errorText);
  m_tableDescribe = std::move(describe);
  m_tableName = std::move(name);
  m_retryCount = 0;
}

int repDBStrCpy(char** dst, const char* src) {
  // Copy before freeing: src may be the descriptor's own current text.
  char* copy = nullptr;
  if (src) {
    size_t length = strlen(src);
    copy = static_cast<char*>(malloc(length + 1));
    if (copy) {
      memset(copy, 0, length + 1);
      strcpy_s(copy, length + 1, src);
    }
  }
  freeText(*dst);
  if (src && !copy) return 0;
  *dst = copy;
  return 1;
}

void CRDBQueryTexts::clear() {
  freeText(*m_other);
  freeText(m_where);
}

int CRDBQueryTexts::setWhere(const char* text) { return repDBStrCpy(&m_where, text); }
int CRDBQueryTexts::setOther(const char* text) { return repDBStrCpy(m_other, text); }

CRepBaseDB::CRepBaseDB() = default;
CRepBaseDB::~CRepBaseDB() = default;
