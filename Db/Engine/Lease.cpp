#include "Db/Engine/Lease.h"

#include <algorithm>

#include "Db/DBtable.h"

namespace db::engine {

void Lease::removeCursor(DBtable* table) {
  auto found = std::find(m_cursors.begin(), m_cursors.end(), table);
  if (found != m_cursors.end()) m_cursors.erase(found);
}

void Lease::closeCursors(int code, const std::string& why) {
  // Each binding takes itself off the list.
  while (!m_cursors.empty()) m_cursors.back()->endCursor(code, why);
}

}  // namespace db::engine
