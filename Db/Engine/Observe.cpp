// The statement hook and the counting scope of Db/Engine/Stats.h.
#include <memory>

#include "Db/Engine/Backend.h"
#include "Db/Engine/Lease.h"
#include "Db/Engine/Stats.h"
#include "Db/EngineCodes.h"
#include "Db/Observe.h"

namespace db::observe {

namespace detail {
std::atomic<bool> g_on{false};
}  // namespace detail

namespace {

Hook g_hook;  // replaced only while no engine call runs
thread_local int tl_attempt = 1;
// The stats of the database of this thread's last statement that gave 1025,
// until a retry loop counts its retry there; kept alive so that a retry
// counted after its database went away touches nothing freed. Set on 1025
// only: the statements that succeed never touch it.
thread_local std::shared_ptr<engine::Stats> tl_retryable;

}  // namespace

const char* operationName(Operation operation) {
  switch (operation) {
    case Operation::Select: return "select";
    case Operation::Count: return "count";
    case Operation::Insert: return "insert";
    case Operation::Update: return "update";
    case Operation::Delete: return "delete";
  }
  return "?";
}

void setHook(Hook hook) {
  const bool on = static_cast<bool>(hook.start) || static_cast<bool>(hook.end);
  detail::g_on.store(false, std::memory_order_relaxed);
  g_hook = std::move(hook);
  detail::g_on.store(on, std::memory_order_relaxed);
}

int attempt() { return tl_attempt; }

Attempt::Attempt(int attempt) : m_previous(tl_attempt) { tl_attempt = attempt; }
Attempt::~Attempt() { tl_attempt = m_previous; }

void retryingLastStatement() {
  if (std::shared_ptr<engine::Stats> stats = std::move(tl_retryable)) engine::Stats::bump(stats->retries);
}

}  // namespace db::observe

namespace db::engine {

StatementScope::StatementScope(Lease& lease, const char* table, observe::Operation operation, const int& code,
                               bool batch)
    : m_owner(lease.pool()->stats),
      m_stats(*m_owner),
      m_connection(lease.connection()),
      m_code(code),
      m_compiled(m_connection.compiledStatements()) {
  if (observe::enabled()) begin(table, operation, batch);
}

void StatementScope::begin(const char* table, observe::Operation operation, bool batch) {
  observe::Statement& info = m_info.emplace();
  info.database = m_stats.name;
  info.system = m_stats.system;
  info.table = table;
  info.operation = operation;
  info.batch = batch;
  info.attempt = observe::tl_attempt;
  m_begin = std::chrono::steady_clock::now();
}

void StatementScope::start(std::string_view sql, std::span<const long long> parameters) {
  m_started = true;
  observe::Statement& info = *m_info;
  info.sql = sql;
  if (observe::g_hook.withParameters) info.parameters = parameters;
  if (observe::g_hook.start) observe::g_hook.start(info);
}

void StatementScope::finish() {
  if (!m_started) start({}, {});  // every end follows a start
  observe::Statement& info = *m_info;
  info.duration = std::chrono::steady_clock::now() - m_begin;
  info.code = m_code;
  info.rows = rows;
  if (observe::g_hook.end) observe::g_hook.end(info);
}

StatementScope::~StatementScope() {
  Stats::bump(m_stats.statements);
  if (unsigned long compiled = m_connection.compiledStatements() - m_compiled) {
    Stats::bump(m_stats.prepares, compiled);
    Stats::bump(m_stats.cacheMisses);
  } else if (m_prepared) {
    Stats::bump(m_stats.cacheHits);
  }
  if (m_code == kOutcomeInDoubt) Stats::bump(m_stats.outcomesInDoubt);
  if (m_code == kRetry) observe::tl_retryable = m_owner;
  if (m_info) finish();
}

}  // namespace db::engine
