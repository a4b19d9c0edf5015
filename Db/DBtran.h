// The caller's transaction.
//
// A DBtran is begun on a connection of the calling thread and ended only by
// the caller's commit() or rollback(); destroyed while active, it rolls back.
// Bindings learn their connection through addObject. If the database ends the
// transaction by itself after a failure, the DBtran is marked aborted: no
// further statement runs on it, and every call fails with
// db::kTransactionAborted until the caller rolls back.
//
// Thread-safety: one thread, the one that began it. From another thread,
// commit() and rollback() refuse with db::kMisuse and touch nothing; destroyed
// there while active, it is rolled back by the beginning thread at that
// thread's next engine call on the database (or when that thread ends).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <type_traits>
#include <string>
#include <thread>

#include "Db/EngineCodes.h"
#include "Db/Observe.h"
#include "ZrLib/Export.h"

class DBtable;

namespace db {
class Database;

// Attempts and pauses of DBtran::run.
struct RetryPolicy {
  int maxAttempts = 5;
  int firstDelayMs = 2;
  int maxDelayMs = 200;
  // How long run keeps beginning again while a server database cannot be
  // reached (kConnection at begin, when nothing has started): long enough
  // for a failover to a standby to finish. These waits use no attempts;
  // 0 gives up at once.
  int reconnectMs = 30000;
  // The whole run ends by this many milliseconds from its start (0: no
  // limit): attempts, pauses, reconnect waits, waits for a connection at
  // max_connections, and each statement, which
  // gets at most the time left and is stopped with kStatementTimeout at the
  // deadline. Not a statement's own limit: see DBtran::setStatementTimeout.
  int deadlineMs = 0;
};

namespace engine {
class Connection;
class Lease;
}  // namespace engine
}  // namespace db

class ZR_EXPORT DBtran final {
 public:
  enum class Mode {
    Write,  // takes the write lock at begin, so it never has to upgrade later
    Read,   // a read snapshot; a write in it may need a restart. With
            // read_hosts it runs on a standby: it may lag, and cannot write
  };

  // `database` null: the process's default database.
  explicit DBtran(std::shared_ptr<db::Database> database = nullptr);
  ~DBtran();
  DBtran(const DBtran&) = delete;
  DBtran& operator=(const DBtran&) = delete;

  int begin(Mode mode = Mode::Write);
  // A lost connection at commit gives db::kOutcomeInDoubt, never 0; so does a
  // commit that failed and that the database ended (an I/O error, a full
  // disk, no memory), as its record may already be in the log. A failed
  // commit that leaves the transaction open can be committed again or rolled back.
  int commit();
  int rollback();

  // Each statement of the transaction (its BEGIN and lock waits included,
  // not its COMMIT or ROLLBACK: stopping those would leave the outcome in
  // doubt) is stopped with db::kStatementTimeout once it has run `timeout`;
  // 0 restores the database's statement_timeout. Before or after begin; kept
  // for later begins of this DBtran.
  void setStatementTimeout(std::chrono::milliseconds timeout);
  // No statement of the transaction runs past `deadline`: one that would
  // is stopped with db::kStatementTimeout, and begin fails with it once the
  // deadline has passed (max(), the default: none). DBtran::run sets it.
  void setDeadline(std::chrono::steady_clock::time_point deadline);

  bool isActive() const { return m_lease != nullptr; }
  bool isAborted() const;
  const std::string& lastError() const { return m_lastError; }
  // The connection it holds while active, else null.
  db::engine::Connection* connection() const;

  // Registers a binding: it will run on this transaction's connection.
  // Throws std::logic_error when the transaction is not active or belongs to
  // another thread.
  void addObject(DBtable* table);

  // Called by the engine when the database ended the transaction.
  void markAborted(const std::string& why);

  // Engine side: the lease of the connection it holds while active, else
  // null; and the check the engine makes after a failure on that connection
  // and before each call of the transaction: when the database has ended
  // the transaction, it is marked aborted.
  db::engine::Lease* lease() const { return m_lease; }
  void noteIfEnded();

  // Runs body(tran) in a new transaction, committing when it returns 0 and
  // rolling back otherwise. Starts again, after a capped, jittered pause, when
  // begin, body or commit gives kRetry or kRestartTransaction, up to
  // maxAttempts times; while a server database cannot be reached at begin,
  // it keeps trying for policy.reconnectMs. All of it ends by
  // policy.deadlineMs when set. Returns the last code; kStatementTimeout is
  // never run again (the deadline is spent).
  //
  // The body should leave ending the transaction to run. If it commits
  // itself, the outcome is that commit's code, whatever the body returns (a
  // stored write is never reported as a failure, nor run again); if it rolls
  // back itself and returns 0, run gives kMisuse, as nothing was stored.
  //
  // kOutcomeInDoubt is never run again by this form: the connection was lost
  // after the COMMIT (or an autocommit write) was sent, and the work may be
  // stored. Doing it again could store it twice; whether it may be done again
  // is the caller's business. Look before you redo: the form below does.
  template <class Body>
  static int run(Body&& body, db::RetryPolicy policy = {}, std::shared_ptr<db::Database> database = nullptr) {
    return runLooking(body, static_cast<std::nullptr_t*>(nullptr), policy, std::move(database));
  }

  // The same, for work that can be recognised once stored (a unique name or
  // marker it writes): when a commit's outcome is in doubt, found(tran) looks
  // for it in a new write transaction (on the primary, never a replica that
  // may lag) and answers db::kOk when it is there, db::kNoRow when it is not,
  // or a failure code. Found: run returns kOk, as the work is stored once.
  // Not found: the work is run again, as an attempt. A look that itself
  // fails leaves kOutcomeInDoubt.
  template <class Body, class Found>
    requires std::is_invocable_r_v<int, Found&, DBtran&>
  static int run(Body&& body, Found&& found, db::RetryPolicy policy = {},
                 std::shared_ptr<db::Database> database = nullptr) {
    return runLooking(body, &found, policy, std::move(database));
  }

  static bool isTransient(int code) { return code == db::kRetry || code == db::kRestartTransaction; }

 private:
  // How the caller ended the transaction (for run).
  enum class End { None, Committed, RolledBack };

  // When a server could not be reached at begin: whether to try again,
  // pausing first; `since` is when the waiting began (set on the first call).
  static bool waitToReconnect(const DBtran& tran, int code, const db::RetryPolicy& policy,
                              std::chrono::steady_clock::time_point& since);
  // The end of a run of `policy` that starts now (max(): none).
  static std::chrono::steady_clock::time_point deadlineOf(const db::RetryPolicy& policy);

  // One attempt: begin, body, and the end the body left to run.
  template <class Body>
  static int attempt(DBtran& tran, Body& body) {
    int code = body(tran);
    if (tran.m_ended == End::Committed) return tran.m_endCode;
    if (tran.m_ended == End::RolledBack)
      return code != db::kOk ? code : tran.fail(db::kMisuse, "the body rolled the transaction back");
    if (code == db::kOk) return tran.commit();
    tran.rollback();
    return code;
  }

  // found null: the plain run.
  template <class Body, class Found>
  static int runLooking(Body& body, Found* found, const db::RetryPolicy& policy,
                        std::shared_ptr<db::Database> database) {
    int code = db::kOk;
    std::chrono::steady_clock::time_point since{};
    const auto deadline = deadlineOf(policy);
    for (int attempts = 1;;) {
      {
        DBtran tran(database);  // ended before a look, which needs a connection of its own
        db::observe::Attempt numbered(attempts);
        tran.setDeadline(deadline);
        code = tran.begin();
        if (code != db::kOk) {
          if (waitToReconnect(tran, code, policy, since)) continue;
        } else {
          since = {};
          code = attempt(tran, body);
        }
      }
      if constexpr (!std::is_same_v<Found, std::nullptr_t>) {
        if (code == db::kOutcomeInDoubt && found) {
          int looked = look(*found, policy, database, deadline);
          if (looked != db::kNoRow) return looked == db::kOk ? db::kOk : db::kOutcomeInDoubt;
          code = db::kRestartTransaction;  // not stored: doing it again is safe
        }
      }
      if (!isTransient(code) || attempts >= policy.maxAttempts || !pause(attempts++, policy, deadline)) return code;
      countAgain(code, database.get());
    }
  }

  // found(tran) in write transactions until it answers kOk or kNoRow, through
  // the same waits and attempts as run, by the same deadline.
  template <class Found>
  static int look(Found& found, const db::RetryPolicy& policy, const std::shared_ptr<db::Database>& database,
                  std::chrono::steady_clock::time_point deadline) {
    std::chrono::steady_clock::time_point since{};
    for (int attempts = 1;;) {
      DBtran tran(database);
      tran.setDeadline(deadline);
      int code = tran.begin(Mode::Write);
      if (code != db::kOk) {
        if (waitToReconnect(tran, code, policy, since)) continue;
      } else {
        since = {};
        code = found(tran);
        tran.rollback();
        if (code == db::kOk || code == db::kNoRow) return code;
      }
      if (!isTransient(code) || attempts >= policy.maxAttempts || !pause(attempts++, policy, deadline)) return code;
    }
  }

  // The pause before another attempt, ended by the deadline; false when the
  // deadline has passed, so that no attempt is made.
  static bool pause(int attempt, const db::RetryPolicy& policy, std::chrono::steady_clock::time_point deadline);
  // Counts run's new try after `code` (a retry or a restart) on `database`
  // (null: the default).
  static void countAgain(int code, db::Database* database);
  // Puts the statement limits in force on the held connection.
  void applyLimits();
  int fail(int code, std::string text);
  void release();
  bool onOwnThread() const;
  int refuseOffThread(const char* call);

  std::shared_ptr<db::Database> m_database;
  db::engine::Lease* m_lease = nullptr;
  std::thread::id m_thread;
  bool m_aborted = false;
  std::string m_lastError;
  // Shared with the lease: set when destroyed off its thread.
  std::shared_ptr<std::atomic<bool>> m_abandoned;
  End m_ended = End::None;
  int m_endCode = db::kOk;  // of the commit or rollback that ended it
  int m_statementTimeoutMs = 0;  // 0: the database's
  std::chrono::steady_clock::time_point m_deadline = std::chrono::steady_clock::time_point::max();
};
