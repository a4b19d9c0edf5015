// A connection of one thread as the engine hands it out, with who holds it:
// the transaction that has it from begin to commit or rollback, and the
// bindings with a cursor open on it. The backends know nothing of these.
//
// Thread-safety: owned by one thread's connection list (Database.cpp) and
// used by that thread only; the abandoned flag alone is shared. With a cap on
// connections, a free lease passes through its Pool (under the pool's mutex)
// to another thread, which then owns it alone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Db/Engine/Backend.h"
#include "Db/Engine/Stats.h"

class DBtable;

namespace db::engine {

class Lease;

// The connections of one backend (primary or read hosts) of a Database:
// counted always; with a cap, the idle ones wait here for any thread. Kept
// alive by its leases, which may outlive the Database on other threads.
struct Pool {
  Pool(int cap, int waitMs, uint64_t databaseId, int route)
      : cap(cap), waitMs(waitMs), databaseId(databaseId), route(route) {}
  const int cap;  // 0: no cap, each thread keeps its own connections
  const int waitMs;
  const uint64_t databaseId;
  const int route;  // which of the database's connection lists its leases live in
  std::atomic<int> open{0};  // connections open now (and being opened)
  std::atomic<int> peak{0};  // the most open at once
  std::mutex mutex;
  std::condition_variable freed;  // an idle lease came back, or a connection closed
  std::vector<std::unique_ptr<Lease>> idle;  // guarded by mutex
  bool dead = false;                         // guarded by mutex: the Database is gone
  std::shared_ptr<Stats> stats;              // the database's counters, set before any lease

  bool capped() const { return cap > 0; }
  void counted() {
    int now = open.fetch_add(1) + 1;
    for (int seen = peak.load(); seen < now && !peak.compare_exchange_weak(seen, now);) {
    }
  }
};

class Lease {
 public:
  // `pool` has counted the connection already; the lease counts it out.
  Lease(std::unique_ptr<Connection> connection, std::shared_ptr<Pool> pool)
      : m_connection(std::move(connection)), m_pool(std::move(pool)) {}
  ~Lease();
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  Connection& connection() const { return *m_connection; }
  Pool* pool() const { return m_pool.get(); }
  // Its cursors are being closed: it stays where it is meanwhile.
  bool closing() const { return m_closing; }

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
  std::shared_ptr<Pool> m_pool;
  bool m_closing = false;
  bool m_held = false;
  std::shared_ptr<std::atomic<bool>> m_abandoned;
  std::vector<DBtable*> m_cursors;
};

// Hands `lease` from the calling thread to its pool when the database caps
// its connections and the lease is free (no transaction holds it, no cursor is
// open on it), so that another thread may take it. Nothing otherwise: without
// a cap a thread keeps its connections. Defined in Database.cpp.
void giveBack(Lease* lease);

// Gives a lease back when the autocommit call that took it ends.
class GiveBackOnExit {
 public:
  explicit GiveBackOnExit(Lease* lease) : m_lease(lease) {}
  ~GiveBackOnExit() {
    if (m_lease) giveBack(m_lease);
  }
  GiveBackOnExit(const GiveBackOnExit&) = delete;
  GiveBackOnExit& operator=(const GiveBackOnExit&) = delete;

 private:
  Lease* m_lease;
};

// While one lives on a thread, that thread's reads go to the primary too:
// schema checks and upgrades read what they are about to change.
class PrimaryOnly {
 public:
  PrimaryOnly();
  ~PrimaryOnly();
  PrimaryOnly(const PrimaryOnly&) = delete;
  PrimaryOnly& operator=(const PrimaryOnly&) = delete;
};

}  // namespace db::engine
