// Optional trace of every SQL text the engine runs through a binding, for
// debugging and tests. Unused, it costs one relaxed atomic load per statement.
//
// Thread-safety: set the callback while no engine call runs; it is then called
// from every thread that runs statements.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "ZrLib/Export.h"

namespace db::trace {

using Callback = std::function<void(const std::string& sql)>;

// Null turns tracing off.
ZR_EXPORT void set(Callback callback);

namespace detail {
ZR_EXPORT extern std::atomic<bool> g_on;
ZR_EXPORT void emit(const std::string& sql);
}  // namespace detail

inline bool enabled() { return detail::g_on.load(std::memory_order_relaxed); }

inline void statement(const std::string& sql) {
  if (detail::g_on.load(std::memory_order_relaxed)) detail::emit(sql);
}

}  // namespace db::trace
