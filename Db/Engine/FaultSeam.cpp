#include "Db/Engine/FaultSeam.h"

#include <mutex>

namespace db::fault {
namespace detail {
std::atomic<bool> g_armed{false};
}

namespace {

struct Plan {
  bool active = false;
  int code = 0;
  int times = 0;  // < 0: for ever
  int skip = 0;
  unsigned long seen = 0;
  unsigned long injected = 0;
};

std::mutex g_mutex;
Plan g_plans[static_cast<int>(Call::kNumCalls)];
std::string g_lastTable;

}  // namespace

void inject(Call call, int code, int times, int skip) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Plan& plan = g_plans[static_cast<int>(call)];
  plan.active = true;
  plan.code = code;
  plan.times = times;
  plan.skip = skip;
  detail::g_armed.store(true, std::memory_order_relaxed);
}

void watch() { detail::g_armed.store(true, std::memory_order_relaxed); }

void clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (Plan& plan : g_plans) plan = Plan{};
  g_lastTable.clear();
  detail::g_armed.store(false, std::memory_order_relaxed);
}

unsigned long seen(Call call) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_plans[static_cast<int>(call)].seen;
}

unsigned long injected(Call call) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_plans[static_cast<int>(call)].injected;
}

std::string lastInjectedTable() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_lastTable;
}

int detail::checkSlow(Call call, const char* table) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Plan& plan = g_plans[static_cast<int>(call)];
  ++plan.seen;
  if (!plan.active) return 0;
  if (plan.skip > 0) {
    --plan.skip;
    return 0;
  }
  if (plan.times == 0) return 0;
  if (plan.times > 0) --plan.times;
  ++plan.injected;
  g_lastTable = table ? table : "";
  return plan.code;
}

}  // namespace db::fault

#include "Db/Engine/Trace.h"

namespace db::trace {
namespace detail {
std::atomic<bool> g_on{false};
namespace {
Callback g_callback;
}
void emit(const std::string& sql) {
  if (g_callback) g_callback(sql);
}
}  // namespace detail

void set(Callback callback) {
  detail::g_callback = std::move(callback);
  detail::g_on.store(static_cast<bool>(detail::g_callback), std::memory_order_relaxed);
}

}  // namespace db::trace
