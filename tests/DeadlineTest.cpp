// Deadlines: a statement that would run on (a recursive query without end,
// a wait for a lock another connection holds) is stopped with
// kStatementTimeout soon after its deadline, however the deadline was given,
// and what was around it goes on as after any failed statement.
#include <gtest/gtest.h>

#ifdef DIVU_WITH_POSTGRESQL
#include <libpq-fe.h>
#endif
#include <signal.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "Db/DBtran.h"
#include "Db/Engine/Backend.h"
#include "DivUdurezevudoZE/ApplicationDirsDB.h"
#include "TestSupport.h"

namespace divu::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kDeadlineMs = 200;
// How late after its deadline a statement may stop. Each backend checks
// far more often (SQLite every 1,000 steps and within its lock waits, the
// server's own timer); this is the headroom for a loaded machine.
constexpr int kLateMs = 50;

// Never ends: no x is below 0, and the recursion goes on counting.
constexpr const char* kRunaway =
    "id IN (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) SELECT x FROM c WHERE x < 0)";

// Another connection, not the library's, holding the table's write lock.
class LockHolder {
 public:
  LockHolder(bool postgres, const std::string& sqlitePath, const PostgresSchema* schema) {
#ifdef DIVU_WITH_POSTGRESQL
    if (postgres) {
      m_pg = PQconnectdb(schema->rawUrl().c_str());
      PGresult* result = PQexec(
          m_pg, ("BEGIN; " + schema->rawPrelude() + "LOCK TABLE YLApplicationDirs IN ACCESS EXCLUSIVE MODE").c_str());
      m_held = PQresultStatus(result) == PGRES_COMMAND_OK;
      PQclear(result);
      return;
    }
#endif
    (void)postgres;
    (void)schema;
    {
      sqlite3_open(sqlitePath.c_str(), &m_sqlite);
      m_held = sqlite3_exec(m_sqlite, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
  }
  ~LockHolder() { release(); }
  bool held() const { return m_held; }
  void release() {
#ifdef DIVU_WITH_POSTGRESQL
    if (m_pg) PQclear(PQexec(m_pg, "ROLLBACK"));
    if (m_pg) PQfinish(m_pg);
#endif
    if (m_sqlite) sqlite3_close(m_sqlite);  // rolls back
    m_pg = nullptr;
    m_sqlite = nullptr;
  }

 private:
#ifdef DIVU_WITH_POSTGRESQL
  PGconn* m_pg = nullptr;
#else
  void* m_pg = nullptr;
#endif
  sqlite3* m_sqlite = nullptr;
  bool m_held = false;
};

class Deadlines : public StorageTest {};

TEST_P(Deadlines, ARunawayQueryOrALockWaitStopsAtTheDeadlineAndTheTransactionGoesOn) {
  enum class Way { Url, Transaction, Run };
  enum class Obstacle { Runaway, Lock };
  // The runaway query needs a row to test.
  ApplicationDirsDB dirs;
  YLApplicationDirs_t first = makeDir(1, "/first");
  ASSERT_TRUE(dirs.insert(first, nullptr)) << dirs.m_dbError.m_errorText;
  // The URL way: the same database opened again with statement_timeout.
  std::string timedUrl = onPostgres() ? withOption(m_url, "statement_timeout", std::to_string(kDeadlineMs))
                                      : m_url + "?statement_timeout=" + std::to_string(kDeadlineMs);
  std::string error;
  std::shared_ptr<db::Database> timed = db::Database::open(timedUrl, &error);
  ASSERT_TRUE(timed) << error;

  int added = 0;  // rows stored after a stop
  for (Way way : {Way::Url, Way::Transaction, Way::Run}) {
    for (Obstacle obstacle : {Obstacle::Runaway, Obstacle::Lock}) {
      SCOPED_TRACE(testing::Message() << "way " << static_cast<int>(way) << ", obstacle " << static_cast<int>(obstacle));
      std::optional<LockHolder> lock;
      if (obstacle == Obstacle::Lock) {
        lock.emplace(onPostgres(), dbPath(), m_schema.get());
        ASSERT_TRUE(lock->held());
      }
      // The statement that meets the obstacle.
      auto meet = [&](DBtran* tran) {
        if (obstacle == Obstacle::Runaway) {
          unsigned int count = 0;
          return dirs.getNRows(kRunaway, count, tran) ? db::kOk : dirs.m_dbError.m_errorCode;
        }
        YLApplicationDirs_t row = makeDir(2, "/blocked");
        return dirs.insert(row, tran) ? db::kOk : dirs.m_dbError.m_errorCode;
      };
      int code = db::kOk;
      Clock::time_point start;
      DBtran tran;
      if (way == Way::Url) {
        db::Database::setDefault(timed);
        start = Clock::now();
        code = meet(nullptr);
        db::Database::setDefault(m_db);
      } else if (way == Way::Transaction) {
        // Set before begin (SQLite waits for the lock there) or after.
        if (obstacle == Obstacle::Lock) tran.setStatementTimeout(milliseconds(kDeadlineMs));
        start = Clock::now();
        code = tran.begin();
        if (code == db::kOk) {
          if (obstacle == Obstacle::Runaway) {
            YLApplicationDirs_t kept = makeDir(3, "/kept");
            ASSERT_TRUE(dirs.insert(kept, &tran)) << dirs.m_dbError.m_errorText;
            ++added;
            tran.setStatementTimeout(milliseconds(kDeadlineMs));
            start = Clock::now();
          }
          code = meet(&tran);
        }
      } else {
        int bodies = 0;
        db::RetryPolicy policy;
        policy.deadlineMs = kDeadlineMs;
        start = Clock::now();
        code = DBtran::run([&](DBtran& in) { return ++bodies, meet(&in); }, policy);
        EXPECT_LE(bodies, 1);
      }
      const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
      EXPECT_EQ(code, db::kStatementTimeout) << dirs.m_dbError.m_errorText << tran.lastError();
      EXPECT_GE(took, kDeadlineMs - 1);
      EXPECT_LE(took, kDeadlineMs + kLateMs);
      std::cout << "[ stopped  ] " << storageLabel(GetParam()) << " way " << static_cast<int>(way) << " obstacle "
                << static_cast<int>(obstacle) << ": " << took << " ms\n";
      if (lock) lock->release();

      // Afterwards, as after any failed statement: the transaction goes on
      // (its earlier write kept) unless the database ended it.
      if (tran.isActive()) {
        YLApplicationDirs_t after = makeDir(4, "/after");
        if (tran.isAborted()) {
          EXPECT_FALSE(dirs.insert(after, &tran));
          EXPECT_EQ(dirs.m_dbError.m_errorCode, db::kTransactionAborted);
          EXPECT_EQ(tran.rollback(), db::kOk);
          if (obstacle == Obstacle::Runaway) --added;
        } else {
          ASSERT_TRUE(dirs.insert(after, &tran)) << dirs.m_dbError.m_errorText;
          ASSERT_EQ(tran.commit(), db::kOk) << tran.lastError();
          ++added;
        }
      } else if (way == Way::Url) {
        db::Database::setDefault(timed);
        YLApplicationDirs_t after = makeDir(4, "/after");
        EXPECT_TRUE(dirs.insert(after, nullptr)) << dirs.m_dbError.m_errorText;
        db::Database::setDefault(m_db);
        ++added;
      }
    }
  }
  unsigned int count = 0;
  ASSERT_TRUE(dirs.getNRows("clientId <> 2", count, nullptr));
  EXPECT_EQ(count, 1u + added) << "a stopped write was stored, or a kept one lost";
  ASSERT_TRUE(dirs.getNRows("clientId = 2", count, nullptr));
  EXPECT_EQ(count, 0u);
}

INSTANTIATE_TEST_SUITE_P(Storages, Deadlines, fileAndServer(), storageName);

// In a session of its own, and as behind a transaction pooler (where a new
// text is described in a pipeline instead of prepared by name).
class ServerDeadlines : public DatabaseTest, public testing::WithParamInterface<const char*> {};

// A server process stopped (SIGSTOP) while this lives, resumed at its end or
// after 5 s at the latest.
class StoppedServer {
 public:
  explicit StoppedServer(pid_t server) : m_server(server) {
    m_stopped = kill(server, SIGSTOP) == 0;
    m_resume = std::thread([this] {
      for (int i = 0; i < 500 && !m_done; ++i) std::this_thread::sleep_for(milliseconds(10));
      kill(m_server, SIGCONT);
    });
  }
  ~StoppedServer() {
    m_done = true;
    m_resume.join();
  }
  bool stopped() const { return m_stopped; }

 private:
  pid_t m_server;
  bool m_stopped = false;
  std::atomic<bool> m_done{false};
  std::thread m_resume;
};

// The server process behind `connection`.
pid_t serverOf(db::engine::Connection& connection) {
  db::engine::Statement* statement = nullptr;
  EXPECT_EQ(connection.prepare("SELECT pg_backend_pid()", statement), db::kOk) << connection.lastErrorText();
  if (!statement) return 0;
  EXPECT_EQ(statement->step(), db::kOk);
  const pid_t server = static_cast<pid_t>(statement->columnInt64(0));
  connection.release(statement);
  return server;
}

// Runs `call` against a stopped server: it must fail with kStatementTimeout
// after the deadline, the margin before the cancel (25 ms) and the wait for
// its answer (1 s), with the connection dropped.
void expectDropped(pid_t server, const char* stopped, const std::function<bool()>& call, CReplicationDBError& error) {
  StoppedServer stop(server);
  ASSERT_TRUE(stop.stopped());
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(call());
  const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(error.m_errorCode, db::kStatementTimeout) << error.m_errorText;
  EXPECT_NE(error.m_errorText.find("the connection was dropped"), std::string::npos) << error.m_errorText;
  EXPECT_GE(took, kDeadlineMs + 1000);
  EXPECT_LE(took, kDeadlineMs + 25 + 1000 + kLateMs);
  std::cout << "[ stopped  ] a server stopped " << stopped << ": " << took << " ms\n";
}

// A server that cannot stop the statement (its process stopped, as it looks
// behind a stalled network): the wait ends after the deadline with a cancel,
// and when that is not answered either, with the connection dropped. In a
// transaction, that is then over, as after a lost connection. Alike whether
// the server stops while the statement runs or before it runs: in a
// transaction a text new to the connection waits first for its savepoint, in
// autocommit for its prepare (or describe), which no write follows.
TEST_P(ServerDeadlines, AStatementTheServerDoesNotStopIsCancelledAndItsConnectionDropped) {
  m_direct = true;  // the session's own server process
  openDatabase(Storage::Postgres, GetParam());
  if (IsSkipped()) return;
  ApplicationDirsDB dirs;
  struct Case {
    const char* stopped;
    const char* where;  // the count's condition: new to the connection when not prepared before the stop
    bool preparedBefore;
  } cases[] = {{"while it runs", nullptr, true}, {"before a new text runs", "Flags >= 0 AND clientId >= 0", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stopped);
    DBtran tran;
    ASSERT_EQ(tran.begin(), db::kOk);
    tran.setStatementTimeout(milliseconds(kDeadlineMs));
    const pid_t server = serverOf(*tran.connection());
    unsigned int count = 0;
    if (c.preparedBefore) {
      ASSERT_TRUE(dirs.getNRows(c.where, count, &tran)) << dirs.m_dbError.m_errorText;
    }
    expectDropped(server, c.stopped, [&] { return dirs.getNRows(c.where, count, &tran); }, dirs.m_dbError);
    EXPECT_TRUE(tran.isAborted());
    EXPECT_EQ(tran.rollback(), db::kOk);
    // The next transaction runs on a new connection.
    ASSERT_EQ(tran.begin(), db::kOk);
    EXPECT_TRUE(dirs.getNRows(c.where, count, &tran)) << dirs.m_dbError.m_errorText;
    EXPECT_EQ(tran.commit(), db::kOk);
  }

  // An insert in autocommit, the URL's deadline on it, stopped at its
  // prepare: nothing was written, and it says so (not in doubt).
  std::string error;
  std::shared_ptr<db::Database> timed =
      db::Database::open(withOption(m_url, "statement_timeout", std::to_string(kDeadlineMs)), &error);
  ASSERT_TRUE(timed) << error;
  db::Database::setDefault(timed);
  db::engine::Connection* connection = nullptr;
  ASSERT_EQ(timed->autocommitConnection(connection, &error), db::kOk) << error;
  YLApplicationDirs_t row = makeDir(5, "/stopped");
  expectDropped(serverOf(*connection), "before an insert is prepared", [&] { return dirs.insert(row, nullptr); },
                dirs.m_dbError);
  unsigned int count = 0;
  ASSERT_TRUE(dirs.getNRows("clientId = 5", count, nullptr)) << dirs.m_dbError.m_errorText;
  EXPECT_EQ(count, 0u);
  ASSERT_TRUE(dirs.insert(row, nullptr)) << dirs.m_dbError.m_errorText;
  ASSERT_TRUE(dirs.getNRows("clientId = 5", count, nullptr)) << dirs.m_dbError.m_errorText;
  EXPECT_EQ(count, 1u);
  db::Database::setDefault(m_db);
}

INSTANTIATE_TEST_SUITE_P(Sessions, ServerDeadlines, testing::Values("", "pooler=transaction"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return *info.param ? "TransactionPooler" : "OwnSession";
                         });

}  // namespace
}  // namespace divu::test
