// A connection of one thread as the engine hands it out, with who holds it:
// the transaction that has it from begin to commit or rollback, and the
// bindings with a cursor open on it. The backends know nothing of these.
//
// Thread-safety: owned by one thread's connection list (Database.cpp) and
// used by that thread only; the abandoned flag alone is shared.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "Db/Engine/Backend.h"

class DBtable;

namespace db::engine {

class Lease {
 public:
  explicit Lease(std::unique_ptr<Connection> connection) : m_connection(std::move(connection)) {}
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  Connection& connection() const { return *m_connection; }

  // A connection with an open cursor holds that cursor's read snapshot, so it
  // is handed to no other work.
  bool isFree() const { return !m_held && m_cursors.empty(); }

  // Taken by a transaction that has begun on it, until its commit or
  // rollback. `abandoned` is set by the transaction when it is destroyed on
  // another thread: this thread then rolls it back at its next engine call.
  void hold(std::shared_ptr<std::atomic<bool>> abandoned) {
    m_held = true;
    m_abandoned = std::move(abandoned);
  }
  void release() {
    m_held = false;
    m_abandoned.reset();
  }
  bool isAbandoned() const { return m_held && m_abandoned && m_abandoned->load(); }

  void addCursor(DBtable* table) { m_cursors.push_back(table); }
  void removeCursor(DBtable* table);
  // Closes the cursors open on this connection; their next fetch gives
  // `code` with `why`.
  void closeCursors(int code, const std::string& why);

 private:
  std::unique_ptr<Connection> m_connection;
  bool m_held = false;
  std::shared_ptr<std::atomic<bool>> m_abandoned;
  std::vector<DBtable*> m_cursors;
};

}  // namespace db::engine
