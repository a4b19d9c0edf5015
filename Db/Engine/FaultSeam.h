// Test seam of the engine: makes chosen engine calls return a chosen code
// without reaching the database. Unused, it costs one relaxed atomic load.
//
// Thread-safety: the plan is process-wide and guarded by a mutex; arm it while
// no other thread runs engine calls you do not mean to fail.
#pragma once

#include <atomic>
#include <string>

#include "ZrLib/Export.h"

namespace db::fault {

enum class Call : int {
  Open,    // DBtable::openCursor
  Fetch,   // DBtable::fetchCursor
  Insert,  // DBtable::rowInsert
  Update,  // DBtable::rowUpdate
  Delete,  // DBtable::rowDelete
  Count,   // DBtable::getRowsInTable
  OneRow,  // getOneRow
  Begin,   // DBtran::begin
  Commit,  // DBtran::commit
  kNumCalls
};

// Lets `skip` calls of `call` pass, then makes the next `times` calls return
// `code` (times < 0: every later call). Replaces an earlier plan for `call`.
ZR_EXPORT void inject(Call call, int code, int times = 1, int skip = 0);
// Counts calls (see seen()) without failing any.
ZR_EXPORT void watch();
// Removes every plan and resets the counters.
ZR_EXPORT void clear();
// Calls of `call` that reached the seam while a plan was armed, and of those,
// how many were failed on purpose.
ZR_EXPORT unsigned long seen(Call call);
ZR_EXPORT unsigned long injected(Call call);
// The table of the call that was last failed on purpose ("" for none).
ZR_EXPORT std::string lastInjectedTable();

namespace detail {
ZR_EXPORT extern std::atomic<bool> g_armed;
ZR_EXPORT int checkSlow(Call call, const char* table);
}  // namespace detail

// Engine side: 0, or the code to return instead of running the call on `table`.
inline int check(Call call, const char* table = "") {
  if (!detail::g_armed.load(std::memory_order_relaxed)) return 0;
  return detail::checkSlow(call, table);
}

}  // namespace db::fault
