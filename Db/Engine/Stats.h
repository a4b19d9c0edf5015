// The counters of one database and the scope that reports one statement to
// them and to the hook (Db/Observe.h).
//
// Thread-safety: the counters are relaxed atomics, bumped by every thread
// that runs statements on the database; a scope lives on one thread. Stats
// are shared by the database and its pools, which may outlive it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Db/Observe.h"

namespace db::engine {

class Connection;
class Lease;

struct Stats {
  std::string name;    // db.name
  std::string system;  // db.system
  std::atomic<uint64_t> statements{0};
  std::atomic<uint64_t> prepares{0};
  std::atomic<uint64_t> cacheHits{0};
  std::atomic<uint64_t> cacheMisses{0};
  std::atomic<uint64_t> retries{0};
  std::atomic<uint64_t> restarts{0};
  std::atomic<uint64_t> outcomesInDoubt{0};
  std::atomic<uint64_t> reconnects{0};
  std::atomic<uint64_t> connectionWaits{0};

  static void bump(std::atomic<uint64_t>& counter, uint64_t by = 1) {
    counter.fetch_add(by, std::memory_order_relaxed);
  }
};

// One statement of a binding, from the moment its connection is known to the
// return of the call. The call's code is read at the end from `code` (the
// binding's last code, which every return path sets); set `rows` where they
// are known.
class StatementScope {
 public:
  StatementScope(Lease& lease, const char* table, observe::Operation operation, const int& code,
                 bool batch = false);
  ~StatementScope();
  StatementScope(const StatementScope&) = delete;
  StatementScope& operator=(const StatementScope&) = delete;

  // The statement is prepared and about to run: its text and the integers
  // bound in place of caller literals.
  void prepared(std::string_view sql, std::span<const long long> parameters) {
    m_prepared = true;
    if (m_info) start(sql, parameters);
  }

  long long rows = -1;

 private:
  void begin(const char* table, observe::Operation operation, bool batch);
  void start(std::string_view sql, std::span<const long long> parameters);
  void finish();

  const std::shared_ptr<Stats>& m_owner;  // the pool's, alive while the lease is
  Stats& m_stats;
  const Connection& m_connection;
  const int& m_code;
  const unsigned long m_compiled;
  bool m_prepared = false;
  bool m_started = false;
  std::optional<observe::Statement> m_info;  // only while a hook is set
  std::chrono::steady_clock::time_point m_begin;
};

}  // namespace db::engine
