#include "Db/DBtran.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <stdexcept>

#include "Db/DBtable.h"
#include "Db/Database.h"
#include "Db/Engine/Backend.h"
#include "Db/Engine/FaultSeam.h"
#include "Db/Engine/Lease.h"

DBtran::DBtran(std::shared_ptr<db::Database> database) : m_database(std::move(database)) {}

DBtran::~DBtran() {
  if (!m_lease) return;
  if (onOwnThread()) {
    rollback();
    return;
  }
  // The connection belongs to the beginning thread (and is gone with it when
  // that thread ended): that thread rolls back at its next engine call.
  m_abandoned->store(true);
}

bool DBtran::onOwnThread() const { return std::this_thread::get_id() == m_thread; }

int DBtran::refuseOffThread(const char* call) {
  return fail(db::kMisuse, std::string(call) + " from a thread other than the one that began the transaction");
}

int DBtran::fail(int code, std::string text) {
  m_lastError = std::move(text);
  return code;
}

int DBtran::begin(Mode mode) {
  if (m_lease) return fail(db::kMisuse, "the transaction is already active");
  if (!m_database) m_database = db::Database::getDefault();
  if (!m_database) return fail(db::kNoDatabase, "no database given and no default database set");
  if (int injected = db::fault::check(db::fault::Call::Begin)) return fail(injected, "injected fault at begin");

  db::engine::Lease* lease = nullptr;
  std::string error;
  // A read transaction reads on the read hosts when the database has them.
  const auto route = mode == Mode::Read ? db::Database::Route::Reads : db::Database::Route::Primary;
  if (int code = m_database->acquireForTransaction(lease, &error, route, m_deadline); code != db::kOk)
    return fail(code, error);
  db::engine::Connection& connection = lease->connection();
  // BEGIN is a statement of the transaction: a lock wait there ends by the deadline too.
  connection.limitTransaction(m_statementTimeoutMs, m_deadline);
  const bool spent = std::chrono::steady_clock::now() >= m_deadline;
  int code = spent ? db::kStatementTimeout : connection.begin(mode == Mode::Write);
  if (code != db::kOk) {
    int failed = fail(code, spent ? "the transaction's deadline had passed before it began" : connection.lastErrorText());
    connection.clearTransactionLimits();
    db::engine::giveBack(lease);
    return failed;
  }
  m_abandoned = std::make_shared<std::atomic<bool>>(false);
  lease->hold(m_abandoned);
  m_lease = lease;
  m_thread = std::this_thread::get_id();
  m_aborted = false;
  m_ended = End::None;
  m_endCode = db::kOk;
  m_lastError.clear();
  return db::kOk;
}

void DBtran::release() {
  m_lease->connection().clearTransactionLimits();
  m_lease->release();
  db::engine::giveBack(m_lease);
  m_lease = nullptr;
}

db::engine::Connection* DBtran::connection() const { return m_lease ? &m_lease->connection() : nullptr; }

bool DBtran::isAborted() const {
  // The database may have ended it in work done on the connection directly,
  // before the engine's next call noticed. Only the beginning thread may
  // look at the connection.
  return m_aborted || (m_lease && onOwnThread() && m_lease->connection().transactionEnded());
}

void DBtran::noteIfEnded() {
  if (m_aborted || !m_lease || !onOwnThread()) return;
  const db::engine::Connection& connection = m_lease->connection();
  if (connection.transactionEnded()) markAborted(connection.lastErrorText());
}

int DBtran::commit() {
  if (!m_lease) return fail(db::kMisuse, "commit without an active transaction");
  if (!onOwnThread()) return refuseOffThread("commit");
  noteIfEnded();
  if (m_aborted) return fail(db::kTransactionAborted, "the transaction was aborted: " + m_lastError);
  if (int injected = db::fault::check(db::fault::Call::Commit)) return fail(injected, "injected fault at commit");
  // A cursor left open would keep its statement, and its snapshot, past the end.
  m_lease->closeCursors(db::kMisuse, "fetch after the transaction of the cursor was committed");
  db::engine::Connection& connection = m_lease->connection();
  int code = connection.commit();
  if (code == db::kOk) {
    release();
    m_ended = End::Committed;
    m_endCode = db::kOk;
    return db::kOk;
  }
  std::string text = connection.lastErrorText();
  if (!connection.inTransaction()) {
    // The database ended the transaction while committing; the backend's
    // code tells whether it is known to have rolled back (or is in doubt).
    release();
    m_aborted = false;
    m_ended = End::Committed;
    m_endCode = code == db::kRetry ? db::kRestartTransaction : code;
    if (m_endCode == db::kOutcomeInDoubt) db::engine::Stats::bump(m_database->stats().outcomesInDoubt);
    return fail(m_endCode, text);
  }
  // Still open (a busy commit): the caller may commit again or roll back.
  noteIfEnded();
  return fail(code, text);
}

int DBtran::rollback() {
  if (!m_lease) return fail(db::kMisuse, "rollback without an active transaction");
  if (!onOwnThread()) return refuseOffThread("rollback");
  m_lease->closeCursors(db::kMisuse, "fetch after the transaction of the cursor was rolled back");
  db::engine::Connection& connection = m_lease->connection();
  int code = connection.rollback();
  std::string text = code == db::kOk ? std::string() : connection.lastErrorText();
  if (code != db::kOk && connection.inTransaction()) {
    // A failed ROLLBACK (out of memory, an I/O error) can leave the
    // transaction open. Once more; if it is still open, the connection is
    // closed, which rolls back, rather than handed to the next caller inside
    // this transaction.
    if (connection.rollback() != db::kOk && connection.inTransaction()) {
      m_database->discardConnection(m_lease);
      m_lease = nullptr;
      text += "; the connection was closed, which rolled the transaction back";
    } else {
      code = db::kOk;
    }
  }
  if (m_lease) release();
  m_aborted = false;
  m_ended = End::RolledBack;
  m_endCode = code;
  if (code != db::kOk) return fail(code, text);
  return db::kOk;
}

void DBtran::addObject(DBtable* table) {
  if (!m_lease) throw std::logic_error("DBtran::addObject: the transaction is not active");
  if (!onOwnThread())
    throw std::logic_error("DBtran::addObject: the transaction belongs to another thread");
  table->attachConnection(&m_lease->connection());
}

void DBtran::setStatementTimeout(std::chrono::milliseconds timeout) {
  m_statementTimeoutMs = static_cast<int>(std::clamp<long long>(timeout.count(), 0, 3600000));
  applyLimits();
}

void DBtran::setDeadline(std::chrono::steady_clock::time_point deadline) {
  m_deadline = deadline;
  applyLimits();
}

void DBtran::applyLimits() {
  if (m_lease && onOwnThread()) m_lease->connection().limitTransaction(m_statementTimeoutMs, m_deadline);
}

std::chrono::steady_clock::time_point DBtran::deadlineOf(const db::RetryPolicy& policy) {
  if (policy.deadlineMs <= 0) return std::chrono::steady_clock::time_point::max();
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(policy.deadlineMs);
}

void DBtran::markAborted(const std::string& why) {
  m_aborted = true;
  m_lastError = why;
}

bool DBtran::waitToReconnect(const DBtran& tran, int code, const db::RetryPolicy& policy,
                             std::chrono::steady_clock::time_point& since) {
  // Only a server comes back: a file that cannot be opened stays so.
  if (code != db::kConnection || policy.reconnectMs <= 0 || !tran.m_database || !tran.m_database->options().isServer())
    return false;
  auto now = std::chrono::steady_clock::now();
  if (since == std::chrono::steady_clock::time_point{}) since = now;
  auto left = std::min<std::chrono::steady_clock::duration>(std::chrono::milliseconds(policy.reconnectMs) - (now - since),
                                                            tran.m_deadline - std::min(now, tran.m_deadline));
  if (left <= std::chrono::milliseconds(0)) return false;
  // Each try of a multi-host URL already takes a round of connection
  // attempts; a short, jittered pause keeps many waiting threads apart.
  thread_local std::minstd_rand random(std::random_device{}());
  std::uniform_int_distribution<int> pick(50, 150);
  std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(std::chrono::milliseconds(pick(random)), left));
  db::engine::Stats::bump(tran.m_database->stats().reconnects);
  return true;
}

void DBtran::countAgain(int code, db::Database* database) {
  if (!database) database = db::Database::defaultForThisThread();
  if (!database) return;
  db::engine::Stats& stats = database->stats();
  db::engine::Stats::bump(code == db::kRetry ? stats.retries : stats.restarts);
}

bool DBtran::pause(int attempt, const db::RetryPolicy& policy, std::chrono::steady_clock::time_point deadline) {
  thread_local std::minstd_rand random(std::random_device{}());
  long long ceiling = policy.firstDelayMs;
  for (int i = 1; i < attempt && ceiling < policy.maxDelayMs; ++i) ceiling *= 2;
  if (ceiling > policy.maxDelayMs) ceiling = policy.maxDelayMs;
  const auto now = std::chrono::steady_clock::now();
  if (now >= deadline) return false;
  if (ceiling <= 0) return true;
  // Full jitter: a random pause up to the ceiling, so that competing writers
  // do not retry in step.
  std::uniform_int_distribution<long long> pick(ceiling / 2, ceiling);
  std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(std::chrono::milliseconds(pick(random)),
                                                                            deadline - now));
  return true;
}
