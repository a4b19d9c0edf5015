// The PostgreSQL backend: how it reads statement texts and URLs, and what a
// real server's row locks, deadlocks and lost connections become.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>
#include <tuple>

#include <libpq-fe.h>

#include "Db/Engine/Backend.h"
#include "Db/Engine/Postgres/PostgresText.h"
#include "DivUdurezevudoZE/ApplicationDirsDB.h"
#include "TestSupport.h"

namespace divu::test {
namespace {

TEST(PostgresText, PlaceholdersAreNumberedOnlyOutsideLiteralsIdentifiersAndComments) {
  struct Case {
    const char* sql;
    const char* expected;  // null: refused
    int count;
  } cases[] = {
      {"UPDATE t SET a = ? WHERE b = ?", "UPDATE t SET a = $1 WHERE b = $2", 2},
      {"a = '?' AND b = 'it''s ?' AND c = ?", "a = '?' AND b = 'it''s ?' AND c = $1", 1},
      {"a = E'\\'?' AND b = ?", "a = E'\\'?' AND b = $1", 1},
      {"a = 'x\\' AND b = ?", "a = 'x\\' AND b = $1", 1},  // standard strings: the backslash is plain
      {"\"odd?\"\"name\" = ?", "\"odd?\"\"name\" = $1", 1},
      {"a = $$?'$$ AND b = $q$ ? $q$ AND c = ?", "a = $$?'$$ AND b = $q$ ? $q$ AND c = $1", 1},
      {"a$b = ? AND c = $1", "a$b = $1 AND c = $1", 1},
      {"a = ? -- why?\n AND b = ?", "a = $1 -- why?\n AND b = $2", 2},
      {"a = /* ? /* ? */ ? */ ?", "a = /* ? /* ? */ ? */ $1", 1},
      {"a = 'x;y' AND b = ?", "a = 'x;y' AND b = $1", 1},
      {"INSERT INTO t (a) VALUES (?);  ; -- done\n", "INSERT INTO t (a) VALUES ($1)", 1},
      {"a = 'open ?", "a = 'open ?", 0},  // the server reports it
      {"a = ?; DELETE FROM t", nullptr, 0},
      {"a = 1; /* then */ b", nullptr, 0},
  };
  for (const Case& c : cases) {
    std::string out, error;
    int count = -1;
    bool taken = db::engine::pg::numberPlaceholders(c.sql, out, count, &error);
    if (!c.expected) {
      EXPECT_FALSE(taken) << c.sql;
      EXPECT_EQ(error, "more than one SQL statement in one text") << c.sql;
      continue;
    }
    EXPECT_TRUE(taken) << c.sql << ": " << error;
    EXPECT_EQ(out, c.expected) << c.sql;
    EXPECT_EQ(count, c.count) << c.sql;
  }
}

TEST(PostgresText, UrlsKeepTheirLibpqPartsAndGiveUpOurOptions) {
  struct Case {
    const char* url;
    const char* conninfo;  // null: refused with `reason`
    int lockTimeoutMs;
    const char* reason;
    int maxLifetimeSeconds = 0;
  } cases[] = {
      {"postgresql://user@db.example:5433/catalogue", "postgresql://user@db.example:5433/catalogue", 5000,
       ""},
      {"postgres://h/db?lock_timeout=250&sslmode=disable", "postgres://h/db?sslmode=disable", 250, ""},
      {"postgresql:///db?host=/run/pg&lock_timeout=0", "postgresql:///db?host=/run/pg", 0, ""},
      {"postgresql:host=/tmp dbname=x", "host=/tmp dbname=x", 5000, ""},
      {"postgres: host = /tmp lock_timeout = '70' password='a b\\'c'", "host = /tmp password='a b\\'c'", 70,
       ""},
      {"postgresql://a:1,b:2/db?max_lifetime=600&target_session_attrs=read-write",
       "postgresql://a:1,b:2/db?target_session_attrs=read-write", 5000, "", 600},
      {"postgresql:host=a,b max_lifetime=0", "host=a,b", 5000, ""},
      {"postgresql://h/db?max_lifetime=604801", nullptr, 0, "max_lifetime takes seconds"},
      {"postgresql://h/db?lock_timeout=soon", nullptr, 0, "lock_timeout takes milliseconds"},
      {"postgresql:lock_timeout=3600001", nullptr, 0, "lock_timeout takes milliseconds"},
      {"postgresql:dbname", nullptr, 0, "missing '=' after 'dbname'"},
      {"postgresql:password='open", nullptr, 0, "unterminated quoted value"},
  };
  for (const Case& c : cases) {
    std::string error;
    std::optional<db::DatabaseOptions> settings = db::DatabaseOptions::parse(c.url, &error);
    bool taken = settings.has_value();
    if (!c.conninfo) {
      EXPECT_FALSE(taken) << c.url;
      EXPECT_NE(error.find(c.reason), std::string::npos) << c.url << ": " << error;
      continue;
    }
    EXPECT_TRUE(taken) << c.url << ": " << error;
    if (!taken) continue;
    EXPECT_EQ(settings->target, c.conninfo) << c.url;
    EXPECT_EQ(settings->lockTimeoutMs, c.lockTimeoutMs) << c.url;
    EXPECT_EQ(settings->maxLifetimeSeconds, c.maxLifetimeSeconds) << c.url;
  }
  for (auto [url, pooler] : {std::pair{"postgresql://h/db?pooler=transaction&sslmode=disable", true},
                             {"postgresql:host=h pooler=none", false}}) {
    std::optional<db::DatabaseOptions> settings = db::DatabaseOptions::parse(url);
    ASSERT_TRUE(settings) << url;
    EXPECT_EQ(settings->pooler == db::DatabaseOptions::Pooler::Transaction, pooler) << url;
    EXPECT_EQ(settings->target.find("pooler"), std::string::npos) << url;
  }
  std::string error;
  EXPECT_FALSE(db::DatabaseOptions::parse("postgresql://h/db?pooler=session", &error));
  EXPECT_NE(error.find("pooler takes none or transaction"), std::string::npos) << error;
  EXPECT_FALSE(db::Database::open("postgresql:colour=blue", &error));
  EXPECT_NE(error.find("bad PostgreSQL URL: invalid connection option \"colour\""), std::string::npos)
      << error;
}

// Behind a pooler, libpq's options give up their settings, each set as
// "-c name=value" sets it.
TEST(PostgresText, OptionsSettingsBecomeSetLocalWithTheSameMeaning) {
  struct Case {
    const char* options;
    const char* statements;  // null: refused
    const char* rest;
  } cases[] = {
      {"-csearch_path=s1", "SET LOCAL search_path = 's1'", ""},
      {"-c search_path=Mixed,\\ \"Quoted\"\"Name\" --lock-timeout=7s -c x.y=it's",
       "SET LOCAL search_path = 'mixed', 'Quoted\"Name'; SET LOCAL lock_timeout = '7s'; SET LOCAL x.y = 'it''s'", ""},
      {"-c geqo=off -e -c work_mem=64MB", "SET LOCAL geqo = 'off'; SET LOCAL work_mem = '64MB'", "-e"},
      {"-c nothing", nullptr, ""},
      {"-c bad;name=1", nullptr, ""},
  };
  for (const Case& c : cases) {
    std::vector<db::engine::pg::Setting> settings;
    std::string rest, statements;
    const bool taken = db::engine::pg::takeSettings(c.options, settings, rest, nullptr);
    EXPECT_EQ(taken, c.statements != nullptr) << c.options;
    if (!taken || !c.statements) continue;
    for (const auto& setting : settings) statements += (statements.empty() ? "" : "; ") + db::engine::pg::setLocal(setting);
    EXPECT_EQ(statements, c.statements) << c.options;
    EXPECT_EQ(rest, c.rest) << c.options;
  }
}

class PostgresServer : public DatabaseTest {
 protected:
  // The server process of a transaction's connection.
  long long backendPid(DBtran& tran) {
    db::engine::Statement* statement = nullptr;
    long long pid = 0;
    if (tran.connection()->prepare("SELECT pg_backend_pid()", statement) == db::kOk &&
        statement->step() == db::kOk)
      pid = statement->columnInt64(0);
    tran.connection()->release(statement);
    return pid;
  }
  // Ends that process from another connection, as an administrator or a
  // failing server would, and waits until it is gone.
  void terminate(long long pid) {
    ASSERT_GT(pid, 0);
    EXPECT_EQ(runOnTestServer("SELECT pg_terminate_backend(" + std::to_string(pid) + ", 5000)"), "");
  }
  unsigned int count(const char* where) {
    unsigned int n = 0;
    EXPECT_TRUE(m_dirs.getNRows(where, n, nullptr)) << m_dirs.m_dbError.m_errorText;
    return n;
  }
  ApplicationDirsDB m_dirs;
};

TEST_F(PostgresServer, ALockedRowWaitsForTheLockTimeoutThenGivesTheRetryCodeAndTheTransactionGoesOn) {
  constexpr int kLockTimeoutMs = 200;
  openDatabase(Storage::Postgres, "lock_timeout=" + std::to_string(kLockTimeoutMs));
  if (IsSkipped() || HasFatalFailure()) return;
  YLApplicationDirs_t locked = makeDir(1, "/locked");
  ASSERT_TRUE(m_dirs.insert(locked, nullptr));

  DBtran holder;  // another connection of this thread holds the row lock
  ASSERT_EQ(holder.begin(), db::kOk);
  ASSERT_TRUE(m_dirs.Update(locked.id, "Flags = 1", &holder));

  DBtran waiter;
  ASSERT_EQ(waiter.begin(), db::kOk);
  YLApplicationDirs_t before = makeDir(2, "/before");
  ASSERT_TRUE(m_dirs.insert(before, &waiter));
  db::fault::watch();
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(m_dirs.Update(locked.id, "Flags = 2", &waiter));
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(m_dirs.m_dbError.m_errorCode, db::kRetry);
  EXPECT_EQ(db::fault::seen(db::fault::Call::Update), 6u) << "the statement is repeated as it is";
  EXPECT_GE(waited, std::chrono::milliseconds(6 * kLockTimeoutMs * 9 / 10));
  EXPECT_NE(m_dirs.m_dbError.m_errorText.find("lock timeout [SQLSTATE 55P03]"), std::string::npos)
      << m_dirs.m_dbError.m_errorText;

  // Only the statement was undone: the transaction keeps its work and goes on.
  EXPECT_FALSE(waiter.isAborted());
  YLApplicationDirs_t after = makeDir(3, "/after");
  ASSERT_TRUE(m_dirs.insert(after, &waiter)) << m_dirs.m_dbError.m_errorText;
  ASSERT_EQ(holder.rollback(), db::kOk);
  ASSERT_TRUE(m_dirs.Update(locked.id, "Flags = 2", &waiter)) << m_dirs.m_dbError.m_errorText;
  ASSERT_EQ(waiter.commit(), db::kOk) << waiter.lastError();
  EXPECT_EQ(count("clientId IN (2, 3)"), 2u);
  EXPECT_EQ(count("Flags = 2"), 1u);
}

TEST_F(PostgresServer, ADeadlockEndsOneTransactionWithTheRestartCodeAndTheRetryHelperCompletesIt) {
  openDatabase(Storage::Postgres);  // the lock timeout (5 s) outlasts the server's deadlock check (1 s)
  if (IsSkipped() || HasFatalFailure()) return;
  YLApplicationDirs_t a = makeDir(1, "/a"), b = makeDir(2, "/b");
  ASSERT_TRUE(m_dirs.insert(a, nullptr));
  ASSERT_TRUE(m_dirs.insert(b, nullptr));

  std::latch bothHoldOneRow(2);
  std::atomic<int> bodies{0}, restarts{0};
  auto increment = [&](int first, int second, int& result) {
    ApplicationDirsDB dirs;
    bool waited = false;
    result = DBtran::run([&](DBtran& tran) {
      ++bodies;
      auto failed = [&] {
        if (dirs.m_dbError.m_errorCode == db::kRestartTransaction && tran.isAborted()) ++restarts;
        return dirs.m_dbError.m_errorCode;
      };
      if (!dirs.Update(first, "Flags = Flags + 1", &tran)) return failed();
      if (!waited) {  // the first attempts cross: each then waits for the other's row
        waited = true;
        bothHoldOneRow.arrive_and_wait();
      }
      if (!dirs.Update(second, "Flags = Flags + 1", &tran)) return failed();
      return db::kOk;
    });
  };
  int resultA = -1, resultB = -1;
  std::thread one(increment, a.id, b.id, std::ref(resultA));
  std::thread two(increment, b.id, a.id, std::ref(resultB));
  one.join();
  two.join();
  EXPECT_EQ(resultA, db::kOk);
  EXPECT_EQ(resultB, db::kOk);
  // One of the first two is the victim; its retry may meet the other still
  // finishing (a second deadlock, or a write that conflicts with the other's
  // commit), which is resolved the same way.
  EXPECT_GE(restarts.load(), 1);
  EXPECT_EQ(bodies.load(), 2 + restarts.load()) << "each restart runs its body once more";
  EXPECT_EQ(count("Flags = 2"), 2u) << "each increment counted once";
}

TEST_F(PostgresServer, IntegersBoundWhereTheServerCannotPlaceThemStayIntegers) {
  openDatabase(Storage::Postgres);
  if (IsSkipped() || HasFatalFailure()) return;
  db::engine::Connection* connection = nullptr;
  ASSERT_EQ(m_db->autocommitConnection(connection, nullptr), db::kOk);
  // Untyped, the server would compare '10' and '9' as texts.
  for (auto [left, right, expected] : {std::tuple{10, 9, "t"}, {2, 10, "f"}}) {
    db::engine::Statement* statement = nullptr;
    ASSERT_EQ(connection->prepare("SELECT ? > ?, ? || 'x'", statement), db::kOk)
        << connection->lastErrorText();
    statement->bindInt64(1, left);
    statement->bindInt64(2, right);
    statement->bindText(3, "a", 1);
    ASSERT_EQ(statement->step(), db::kOk) << connection->lastErrorText();
    EXPECT_EQ(statement->columnText(0), expected) << left << " > " << right;
    EXPECT_EQ(statement->columnText(1), "ax");
    connection->release(statement);
  }
}

TEST_F(PostgresServer, ALostConnectionFailsItsTransactionAndACommitOnItIsInDoubt) {
  openDatabase(Storage::Postgres);
  if (IsSkipped() || HasFatalFailure()) return;
  {
    DBtran tran;
    ASSERT_EQ(tran.begin(), db::kOk);
    YLApplicationDirs_t row = makeDir(1, "/lost");
    ASSERT_TRUE(m_dirs.insert(row, &tran));
    terminate(backendPid(tran));
    EXPECT_FALSE(m_dirs.insert(row, &tran));
    // Nothing of it is stored: DBtran::run begins it again.
    EXPECT_EQ(m_dirs.m_dbError.m_errorCode, db::kRestartTransaction) << m_dirs.m_dbError.m_errorText;
    EXPECT_TRUE(tran.isAborted());
    EXPECT_EQ(tran.commit(), db::kTransactionAborted);
    EXPECT_EQ(tran.rollback(), db::kOk);
  }
  {
    DBtran tran;
    ASSERT_EQ(tran.begin(), db::kOk);
    YLApplicationDirs_t row = makeDir(2, "/in doubt");
    ASSERT_TRUE(m_dirs.insert(row, &tran));
    terminate(backendPid(tran));
    EXPECT_EQ(tran.commit(), db::kOutcomeInDoubt) << tran.lastError();
    EXPECT_FALSE(tran.isActive());
  }
  // The lost connection is opened again when next used.
  DBtran first, second;
  ASSERT_EQ(first.begin(), db::kOk) << first.lastError();
  ASSERT_EQ(second.begin(), db::kOk) << second.lastError();
  YLApplicationDirs_t row = makeDir(3, "/after");
  ASSERT_TRUE(m_dirs.insert(row, &second)) << m_dirs.m_dbError.m_errorText;
  ASSERT_EQ(second.commit(), db::kOk);
  ASSERT_EQ(first.commit(), db::kOk);
  EXPECT_EQ(count(nullptr), 1u);
  EXPECT_EQ(count("clientId = 3"), 1u);
}

// A write refused as on a standby (SQLSTATE 25006) where no read-only
// transaction was asked for: the server was demoted under the connection. The
// session is left (its settings with it), the work can be done again, and run
// does it on a new session.
TEST_F(PostgresServer, AWriteRefusedAsOnAStandbyLeavesTheSessionAndIsDoneAgain) {
  // It sets a session default, which a pooler would leave to the next client.
  m_direct = true;
  openDatabase(Storage::Postgres);
  if (IsSkipped() || HasFatalFailure()) return;
  for (bool inTransaction : {true, false}) {
    SCOPED_TRACE(inTransaction ? "in a transaction" : "autocommit");
    // The thread's one connection: its session now refuses writes.
    std::string error;
    ASSERT_EQ(db::Database::getDefault()->exec("SET default_transaction_read_only = on", &error), db::kOk) << error;
    YLApplicationDirs_t row = makeDir(inTransaction ? 1 : 2, "/demoted");
    int bodies = 0;
    auto write = [&](DBtran* tran) {
      ++bodies;
      if (m_dirs.insert(row, tran)) return db::kOk;
      EXPECT_EQ(m_dirs.m_dbError.m_errorCode, db::kRestartTransaction) << m_dirs.m_dbError.m_errorText;
      return m_dirs.m_dbError.m_errorCode;
    };
    if (inTransaction) {
      EXPECT_EQ(DBtran::run([&](DBtran& tran) { return write(&tran); }), db::kOk);
    } else {
      EXPECT_EQ(write(nullptr), db::kRestartTransaction);
      EXPECT_EQ(write(nullptr), db::kOk);
    }
    EXPECT_EQ(bodies, 2);
  }
  EXPECT_EQ(count(nullptr), 2u);
}

// A connection past max_lifetime is replaced between transactions, never
// inside one.
TEST_F(PostgresServer, AConnectionPastItsLifetimeIsReplacedBetweenTransactions) {
  // Server sessions tell connections apart; a pooler may hand back the same.
  m_direct = true;
  openDatabase(Storage::Postgres, "max_lifetime=1");
  if (IsSkipped() || HasFatalFailure()) return;
  DBtran tran;
  ASSERT_EQ(tran.begin(), db::kOk);
  const long long first = backendPid(tran);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(backendPid(tran), first);
  ASSERT_EQ(tran.commit(), db::kOk);
  ASSERT_EQ(tran.begin(), db::kOk);
  EXPECT_NE(backendPid(tran), first);
  EXPECT_EQ(tran.rollback(), db::kOk);
}

TEST_F(PostgresServer, ALostIdleConnectionFailsOneStatementButNotABegin) {
  // A pooler would hide the idle session's end from the connection.
  m_direct = true;
  openDatabase(Storage::Postgres);
  if (IsSkipped() || HasFatalFailure()) return;
  auto pidOfThisThreadsConnection = [&] {
    DBtran probe;  // takes the thread's one connection while no one else holds it
    EXPECT_EQ(probe.begin(), db::kOk);
    long long pid = backendPid(probe);
    EXPECT_EQ(probe.rollback(), db::kOk);
    return pid;
  };
  terminate(pidOfThisThreadsConnection());
  YLApplicationDirs_t row = makeDir(1, "/again");
  EXPECT_FALSE(m_dirs.insert(row, nullptr));  // its outcome unknown: not repeated
  EXPECT_EQ(m_dirs.m_dbError.m_errorCode, db::kConnection) << m_dirs.m_dbError.m_errorText;
  EXPECT_TRUE(m_dirs.insert(row, nullptr)) << m_dirs.m_dbError.m_errorText;

  terminate(pidOfThisThreadsConnection());
  DBtran tran;
  ASSERT_EQ(tran.begin(), db::kOk) << tran.lastError();  // nothing had begun: connected again
  ASSERT_TRUE(m_dirs.insert(row, &tran)) << m_dirs.m_dbError.m_errorText;
  ASSERT_EQ(tran.commit(), db::kOk);
  EXPECT_EQ(count(nullptr), 2u);
}

// Behind a transaction pooler one server session serves many connections in
// turn: each connection's settings (its schema, given in options, and its
// lock timeout) hold in every transaction and autocommit statement, and
// nothing of them, nor a prepared statement, stays in the sessions.
// Named apart from the PostgreSQL cases: it runs only through a pooler, and
// `./dev.sh postgres` counts every case it names as one that must run.
class PooledServer : public PostgresServer {};

TEST_F(PooledServer, BehindATransactionPoolerEachConnectionKeepsItsOwnSettingsAndLeavesNone) {
  std::optional<db::DatabaseOptions> test = db::DatabaseOptions::parse(postgresTestUrl());
  if (!test || test->pooler != db::DatabaseOptions::Pooler::Transaction)
    GTEST_SKIP() << "no pooler URL given (DIVU_TEST_POSTGRES_URL with pooler=transaction: ./dev.sh pooler test)";
  struct Client {
    PostgresSchema schema;
    int lockTimeoutMs = 0;
    std::shared_ptr<db::Database> database;
    std::string where;  // true only with its own settings
  };
  std::vector<std::unique_ptr<Client>> clients;
  std::string error;
  for (int i = 0; i < 5; ++i) {
    auto client = std::make_unique<Client>();
    ASSERT_EQ(client->schema.create(), "");
    client->lockTimeoutMs = 1010 + 10 * i;  // shown as "1010ms" (a whole second as "1s")
    client->database =
        db::Database::open(withOption(client->schema.url(), "lock_timeout", std::to_string(client->lockTimeoutMs)), &error);
    ASSERT_TRUE(client->database) << error;
    ASSERT_EQ(createCatalogue(*client->database, &error), db::kOk) << error;
    db::Database::setDefault(client->database);
    for (int row = 0; row <= i; ++row) {
      YLApplicationDirs_t dir = makeDir(i, "/own");
      ASSERT_TRUE(m_dirs.insert(dir, nullptr)) << m_dirs.m_dbError.m_errorText;
    }
    client->where = "current_setting('lock_timeout') = '" + std::to_string(client->lockTimeoutMs) +
                    "ms' AND current_setting('search_path') = '" + client->schema.name() + "'";
    clients.push_back(std::move(client));
  }
  // Each client's count is its own number of rows only where its settings hold.
  const struct {
    const char* name;
    bool transaction;
    DBtran::Mode mode;
  } modes[] = {{"autocommit", false, DBtran::Mode::Write},
               {"write transaction", true, DBtran::Mode::Write},
               {"read transaction", true, DBtran::Mode::Read}};
  for (int round = 0; round < 3; ++round) {
    for (const auto& mode : modes) {
      // All transactions open at once (one session each), then ended in
      // another order, so that sessions change hands.
      std::vector<std::unique_ptr<DBtran>> open;
      for (auto& client : clients) {
        std::unique_ptr<DBtran> tran;
        if (mode.transaction) {
          tran = std::make_unique<DBtran>(client->database);
          ASSERT_EQ(tran->begin(mode.mode), db::kOk) << tran->lastError();
        }
        db::Database::setDefault(client->database);
        unsigned int n = 0;
        EXPECT_TRUE(m_dirs.getNRows(client->where.c_str(), n, tran.get())) << m_dirs.m_dbError.m_errorText;
        EXPECT_EQ(n, &client - &clients[0] + 1u) << mode.name << ", round " << round;
        open.push_back(std::move(tran));
      }
      for (size_t i = open.size(); i-- > 0;)
        if (DBtran* tran = open[(i + round) % open.size()].get()) {
          EXPECT_EQ(tran->commit(), db::kOk) << tran->lastError();
        }
    }
  }
  // The sessions the pooler holds, each taken at once by a raw client of
  // its own, have the server's defaults and no statement of ours.
  std::vector<PGconn*> raws;
  for (size_t i = 0; i < clients.size(); ++i) {
    raws.push_back(PQconnectdb(clients[0]->schema.rawUrl().c_str()));
    PGresult* result = PQexec(raws.back(),
                              "BEGIN; SELECT current_setting('lock_timeout') || '|' || current_setting('search_path') || "
                              "'|' || (SELECT count(*) FROM pg_prepared_statements)");
    EXPECT_EQ(PQresultStatus(result), PGRES_TUPLES_OK) << PQerrorMessage(raws.back());
    if (PQresultStatus(result) == PGRES_TUPLES_OK) {
      EXPECT_EQ(std::string(PQgetvalue(result, 0, 0)), "0|\"$user\", public|0");
    }
    PQclear(result);
  }
  for (PGconn* raw : raws) PQfinish(raw);
  db::Database::setDefault(m_db);
  for (auto& client : clients) client->database.reset();  // before the schemas are dropped
}

}  // namespace
}  // namespace divu::test
