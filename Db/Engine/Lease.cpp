#include "Db/Engine/Lease.h"

#include <algorithm>

#include "Db/DBtable.h"

namespace db::engine {

void Lease::removeCursor(DBtable* table) {
  auto found = std::find(m_cursors.begin(), m_cursors.end(), table);
  if (found != m_cursors.end()) m_cursors.erase(found);
}

Lease::~Lease() {
  m_connection.reset();
  if (!m_pool) return;
  m_pool->open.fetch_sub(1);
  if (m_pool->capped()) {
    // A waiter may open a connection in its place.
    std::lock_guard<std::mutex> lock(m_pool->mutex);
    m_pool->freed.notify_one();
  }
}

void Lease::closeCursors(int code, const std::string& why) {
  // Each binding takes itself off the list.
  bool was = m_closing;
  m_closing = true;
  while (!m_cursors.empty()) m_cursors.back()->endCursor(code, why);
  m_closing = was;
}

}  // namespace db::engine
