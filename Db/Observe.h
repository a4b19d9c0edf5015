// Watching the engine from the outside: a hook called at the start and the
// end of every statement the engine runs through a binding (one-row read,
// cursor open, count, insert, update, delete, the batch calls), and the
// attempt number of the retry loops those statements run in. The counters of
// a database are read with db::Database::counters().
//
// Unset, the hook costs one relaxed atomic load per statement. Set, each
// statement costs two clock reads and the callbacks: a Statement only views
// what the engine holds already, nothing is copied or allocated for it.
//
// Thread-safety: set the hook while no engine call runs; its callbacks are
// then called on every thread that runs statements, at the same time. The
// views of a Statement are valid during the callback only.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <span>
#include <string_view>

#include "ZrLib/Export.h"

namespace db::observe {

enum class Operation { Select, Count, Insert, Update, Delete };

// "select", "count", "insert", "update", "delete".
ZR_EXPORT const char* operationName(Operation operation);

// One attribute under the name OpenTelemetry's database conventions give it.
struct Attribute {
  std::string_view key;
  std::string_view value;
};

struct Statement {
  std::string_view database;  // file path or server database name; never a password
  std::string_view system;    // "sqlite" or "postgresql"
  std::string_view table;
  Operation operation = Operation::Select;
  std::string_view sql;  // as sent, with "?" markers; empty when it failed before it was built
  // Integers the engine took out of the caller's WHERE or SET text and bound
  // in their place, in marker order; only when the hook asked for them. The
  // record values an insert binds are not listed.
  std::span<const long long> parameters;
  bool batch = false;  // rowsInsert or rowsDelete: one statement text run for many rows
  // 1 for the first try; raised by the retry loops (the facades' retry of
  // 1025, DBtran::run) while they try again.
  int attempt = 1;

  // At the end only:
  std::chrono::nanoseconds duration{0};
  // Rows read (one-row read: 1 or 0; count: the number counted) or written
  // (insert: 1; batch: its rows); -1 when the engine does not know (update,
  // delete, cursor open, a failure).
  long long rows = -1;
  int code = 0;  // the engine code the call returns (Db/EngineCodes.h)

  // db.system, db.name, db.operation, db.sql.table, db.statement.
  std::array<Attribute, 5> attributes() const {
    return {{{"db.system", system},
             {"db.name", database},
             {"db.operation", operationName(operation)},
             {"db.sql.table", table},
             {"db.statement", sql}}};
  }
};

struct Hook {
  std::function<void(const Statement&)> start;  // either may be empty
  std::function<void(const Statement&)> end;
  bool withParameters = false;
};

// A hook with neither callback turns it off.
ZR_EXPORT void setHook(Hook hook);

// The attempt number statements of this thread carry (1 outside any retry).
ZR_EXPORT int attempt();

// While one lives, statements of this thread carry `attempt`; the one before
// comes back at its end. Set by the retry loops.
class ZR_EXPORT Attempt {
 public:
  explicit Attempt(int attempt);
  ~Attempt();
  Attempt(const Attempt&) = delete;
  Attempt& operator=(const Attempt&) = delete;

 private:
  int m_previous;
};

// A retry loop tries again after a 1025: counted as a retry of the database
// of this thread's last statement that gave 1025, if one did since the last
// retry counted (a 1025 from elsewhere, such as a begin, is not counted).
ZR_EXPORT void retryingLastStatement();

namespace detail {
ZR_EXPORT extern std::atomic<bool> g_on;
}  // namespace detail

inline bool enabled() { return detail::g_on.load(std::memory_order_relaxed); }

}  // namespace db::observe
