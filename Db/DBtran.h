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
#include <memory>
#include <string>
#include <thread>

#include "Db/EngineCodes.h"
#include "ZrLib/Export.h"

class DBtable;

namespace db {
class Database;

// Attempts and pauses of DBtran::run.
struct RetryPolicy {
  int maxAttempts = 5;
  int firstDelayMs = 2;
  int maxDelayMs = 200;
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
  // maxAttempts times. Returns the last code.
  //
  // The body should leave ending the transaction to run. If it commits
  // itself, the outcome is that commit's code, whatever the body returns (a
  // stored write is never reported as a failure, nor run again); if it rolls
  // back itself and returns 0, run gives kMisuse, as nothing was stored.
  template <class Body>
  static int run(Body&& body, db::RetryPolicy policy = {}, std::shared_ptr<db::Database> database = nullptr) {
    int code = db::kOk;
    for (int attempt = 1; attempt <= policy.maxAttempts; ++attempt) {
      DBtran tran(database);
      code = tran.begin();
      if (code == db::kOk) {
        code = body(tran);
        if (tran.m_ended == End::Committed)
          code = tran.m_endCode;
        else if (tran.m_ended == End::RolledBack)
          code = code != db::kOk ? code : tran.fail(db::kMisuse, "the body rolled the transaction back");
        else if (code == db::kOk)
          code = tran.commit();
        else
          tran.rollback();
      }
      if (!isTransient(code)) return code;
      if (attempt < policy.maxAttempts) pause(attempt, policy);
    }
    return code;
  }

  static bool isTransient(int code) { return code == db::kRetry || code == db::kRestartTransaction; }

 private:
  // How the caller ended the transaction (for run).
  enum class End { None, Committed, RolledBack };

  static void pause(int attempt, const db::RetryPolicy& policy);
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
};
