#include "DivUdurezevudoZE/YLJobVolumeHistoryDB.h"

#include <ctime>
#include <string>

namespace {
constexpr const char* kAnd = " AND ";
constexpr const char* kLive = "pruneTime = 0";

std::string keyCondition(int id) { return "id = " + std::to_string(id); }

bool isBlank(const char* text) {
  if (!text) return true;
  for (; *text; ++text)
    if (*text != ' ' && *text != '\t' && *text != '\n' && *text != '\r') return false;
  return true;
}
}  // namespace

// The caller's condition in parentheses, on lines of its own, and the
// live-row rule after it: no OR, comment or parenthesis of the caller's can
// reach the rule.
bool CYLJobVolumeHistoryDB::liveCondition(const char* where, DBtran* tran, const char* function,
                                          std::string& out) {
  if (isBlank(where)) {
    out = kLive;
    return true;
  }
  std::string why;
  if (checkCallerText(where, tran, &why) != db::kOk) {
    m_dbError.clear();
    m_dbError.m_errorCode = db::kError;
    m_dbError.m_function = function;
    m_dbError.m_errorText = std::string("WHERE text of YLJobVolumeHistory refused: ") + why + ": " + where;
    m_dbError.m_tableName = "YLJobVolumeHistory";
    return false;
  }
  out = std::string("(\n") + where + "\n)" + kAnd + kLive;
  return true;
}

CYLJobVolumeHistoryDB::CYLJobVolumeHistoryDB() : m_unprunedOnly(true) {}

bool CYLJobVolumeHistoryDB::getInfo(int id, YLJobVolumeHistory_t& row, DBtran* tran) {
  std::string where = keyCondition(id) + kAnd + kLive;
  YLJobVolumeHistory* binding = nullptr;
  return getRowForQuery<YLJobVolumeHistory_t, YLJobVolumeHistory>(row, binding, where.c_str(), tran);
}

bool CYLJobVolumeHistoryDB::getList(YLJobVolumeHistory_t*& rows, unsigned int& count, const char* where,
                                    const char* orderBy, DBtran* tran) {
  std::string text = where ? where : "";
  if (m_unprunedOnly && !liveCondition(where, tran, "CYLJobVolumeHistoryDB::getList()", text)) {
    rows = nullptr;
    count = 0;
    return false;
  }
  CRDBListQueryOp query;
  query.clear();
  query.setWhere(text.empty() ? nullptr : text.c_str());
  if (orderBy) query.setOrderBy(orderBy);
  YLJobVolumeHistory* binding = nullptr;
  return getListForQuery<YLJobVolumeHistory_t, YLJobVolumeHistory>(binding, rows, query, count, tran);
}

bool CYLJobVolumeHistoryDB::remove(const char* where, DBtran* tran) {
  YLJobVolumeHistory_t* rows = nullptr;
  unsigned int count = 0;
  if (!getList(rows, count, where, nullptr, tran)) return false;
  if (count == 0) return true;
  // Mark while the list is still ours; release it on every path after.
  bool marked = updatePruneTime(rows, count, tran);
  deleteList(rows);
  return marked;
}

bool CYLJobVolumeHistoryDB::remove(int id, DBtran* tran) {
  YLJobVolumeHistory_t row;
  if (getInfo(id, row, tran)) return updatePruneTime(&row, 1, tran);
  return m_dbError.m_errorCode == db::kNoRow;
}

bool CYLJobVolumeHistoryDB::insert(YLJobVolumeHistory_t& row, DBtran* tran) {
  row.pruneTime = 0;
  YLJobVolumeHistory* binding = nullptr;
  return insertRow<YLJobVolumeHistory_t, YLJobVolumeHistory>(row, binding, tran);
}

bool CYLJobVolumeHistoryDB::insertRows(YLJobVolumeHistory_t* rows, unsigned int count, DBtran* tran,
                                       unsigned int* failedRow) {
  for (unsigned int i = 0; i < count; ++i) rows[i].pruneTime = 0;
  return CStandardFacade::insertRows(rows, count, tran, failedRow);
}

bool CYLJobVolumeHistoryDB::getNRows(const char* where, unsigned int& count, DBtran* tran) {
  std::string text;
  if (!liveCondition(where, tran, "CYLJobVolumeHistoryDB::getNRows()", text)) {
    count = static_cast<unsigned int>(db::kCountFailed);
    return false;
  }
  YLJobVolumeHistory* binding = nullptr;
  return getRowsInTable<YLJobVolumeHistory>(binding, count, text.c_str(), tran);
}

bool CYLJobVolumeHistoryDB::updatePruneTime(YLJobVolumeHistory_t* rows, unsigned int count, DBtran* tran) {
  unsigned int now = static_cast<unsigned int>(time(nullptr));
  std::string set = "pruneTime = " + std::to_string(now) + ", modified = " + std::to_string(now);
  for (unsigned int i = 0; i < count; ++i) {
    if (rows[i].pruneTime != 0) continue;  // keeps its first prune time
    if (!Update(rows[i].id, set.c_str(), tran)) return false;
  }
  return true;
}

bool CYLJobVolumeHistoryDB::prune(int cutoff, DBtran* tran) {
  m_unprunedOnly = false;
  YLJobVolumeHistory_t* rows = nullptr;
  unsigned int count = 0;
  if (!getList(rows, count, "id > 0", "id asc", tran)) return false;
  if (count == 0) return true;
  for (unsigned int i = 0; i < count; ++i) {
    if (rows[i].pruneTime == 0 || cutoff < rows[i].pruneTime) continue;
    std::string where = keyCondition(rows[i].id);
    YLJobVolumeHistory* binding = nullptr;
    if (!deleteRow<YLJobVolumeHistory>(binding, where.c_str(), tran)) {
      deleteList(rows);
      return false;
    }
  }
  deleteList(rows);
  return true;
}
