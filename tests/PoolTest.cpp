// Where connections come from: a cap shared by all threads of a database,
// and reads sent to a standby. Their own executable, so that the suite's
// re-registrations do not repeat these thread-heavy cases.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <thread>
#include <tuple>
#include <vector>

#include "Db/DBtran.h"
#include "DivUdurezevudoZE/ApplicationDirsDB.h"
#include "TestSupport.h"

#ifdef DIVU_WITH_POSTGRESQL
#include <libpq-fe.h>
#endif

namespace divu::test {
namespace {

// A database of `storage` with `options` ("k=v&k=v"), its catalogue made, as
// the default. Null (the test skipped) without a server for PostgreSQL.
std::shared_ptr<db::Database> openWith(Storage storage, const std::vector<std::pair<std::string, std::string>>& options,
                                       const TempDir& dir, std::unique_ptr<PostgresSchema>& schema) {
  std::string url;
  if (storage == Storage::Postgres) {
    schema = std::make_unique<PostgresSchema>();
    if (!schema->create().empty()) return nullptr;
    url = schema->url();
    for (const auto& [key, value] : options) url = withOption(url, key, value);
  } else {
    url = "sqlite:" + dir.file("pool.sqlite") + "?synchronous=normal";
    for (const auto& [key, value] : options) url += "&" + key + "=" + value;
  }
  std::string error;
  std::shared_ptr<db::Database> database = db::Database::open(url, &error);
  EXPECT_TRUE(database) << error;
  if (database && createCatalogue(*database, &error) != db::kOk) {
    ADD_FAILURE() << error;
    return nullptr;
  }
  return database;
}

class ConnectionCap : public testing::TestWithParam<Storage> {
 protected:
  void SetUp() override {
    if (GetParam() == Storage::Postgres && postgresTestUrl().empty())
      GTEST_SKIP() << "no PostgreSQL server given (DIVU_TEST_POSTGRES_URL)";
  }
  void TearDown() override {
    db::Database::setDefault(nullptr);
    m_db.reset();
    m_schema.reset();
  }
  TempDir m_dir;
  std::unique_ptr<PostgresSchema> m_schema;
  std::shared_ptr<db::Database> m_db;
};

// 64 threads on 8 connections: every write lands once, every thread reads
// its own committed rows without a transaction, and no more than 8
// connections were ever open.
TEST_P(ConnectionCap, ManyThreadsShareFewConnections) {
  constexpr int kThreads = 64, kCap = 8, kWrites = 6;
  m_db = openWith(GetParam(), {{"max_connections", std::to_string(kCap)}, {"connection_wait", "60000"}}, m_dir,
                  m_schema);
  ASSERT_TRUE(m_db);
  db::Database::setDefault(m_db);
  std::atomic<int> failures{0};
  std::vector<std::string> errors(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      ApplicationDirsDB dirs;
      const std::string mine = "clientId = " + std::to_string(1000 + t);
      for (int i = 0; i < kWrites; ++i) {
        int code = DBtran::run(
            [&](DBtran& tran) {
              YLApplicationDirs_t row = makeDir(1000 + t, ("/t" + std::to_string(t) + "/" + std::to_string(i)).c_str());
              return dirs.insert(row, &tran) ? db::kOk : dirs.m_dbError.m_errorCode;
            },
            db::RetryPolicy{40, 2, 100}, m_db);
        unsigned int count = 0;
        YLApplicationDirs_t* list = nullptr;
        unsigned int listed = 0;
        bool read = code == db::kOk && dirs.getNRows(mine.c_str(), count, nullptr) &&
                    dirs.getList(list, listed, mine.c_str(), nullptr, nullptr);
        dirs.deleteList(list);
        if (!read || count != static_cast<unsigned>(i + 1) || listed != count) {
          errors[t] = "write " + std::to_string(i) + ": code " + std::to_string(code) + ", counted " +
                      std::to_string(count) + ", listed " + std::to_string(listed) + ": " + dirs.m_dbError.m_errorText;
          ++failures;
          return;
        }
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(errors[t], "") << "thread " << t;
  ApplicationDirsDB dirs;
  unsigned int total = 0;
  ASSERT_TRUE(dirs.getNRows("clientId >= 1000", total, nullptr)) << dirs.m_dbError.m_errorText;
  EXPECT_EQ(total, static_cast<unsigned>(kThreads * kWrites));
  printf("connection cap (%s): %u rows from %d threads, at most %d connections open at once (cap %d)\n",
         storageLabel(GetParam()), total, kThreads, m_db->peakConnections(), kCap);
  EXPECT_LE(m_db->peakConnections(), kCap);
  EXPECT_GE(m_db->peakConnections(), 2) << "the threads never ran side by side";
}

// With one connection, a second thread's transaction waits for it and gives
// up with kNoConnection while the first holds it, or with kStatementTimeout
// at its own deadline when that comes first; each wait is counted. Once
// committed, the connection serves the other thread.
TEST_P(ConnectionCap, AThreadOverTheCapWaitsThenGivesUp) {
  constexpr int kWaitMs = 1000;
  m_db = openWith(GetParam(), {{"max_connections", "1"}, {"connection_wait", std::to_string(kWaitMs)}}, m_dir,
                  m_schema);
  ASSERT_TRUE(m_db);
  DBtran held(m_db);
  ASSERT_EQ(held.begin(), db::kOk) << held.lastError();
  // The code, the error text and the milliseconds a begin on another thread took.
  auto beginElsewhere = [&](int deadlineMs) {
    int code = -1;
    std::string text;
    long long ms = 0;
    std::thread([&] {
      const auto start = std::chrono::steady_clock::now();
      DBtran other(m_db);
      if (deadlineMs) other.setDeadline(start + std::chrono::milliseconds(deadlineMs));
      code = other.begin(DBtran::Mode::Read);
      text = other.lastError();
      ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    }).join();
    return std::tuple{code, text, ms};
  };
  struct Case {
    int deadlineMs;  // 0: none
    int code;
    const char* says;
  } cases[] = {{0, db::kNoConnection, "no connection came free"},
               {150, db::kStatementTimeout, "deadline passed while it waited"}};
  unsigned long long waits = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.deadlineMs);
    auto [code, text, ms] = beginElsewhere(c.deadlineMs);
    EXPECT_EQ(code, c.code) << text;
    EXPECT_NE(text.find(c.says), std::string::npos) << text;
    EXPECT_NE(text.find("max_connections"), std::string::npos) << text;
    // Given up at whichever came first, not at the other.
    EXPECT_GE(ms, c.deadlineMs ? c.deadlineMs : kWaitMs);
    if (c.deadlineMs) {
      EXPECT_LT(ms, kWaitMs);
    }
    EXPECT_EQ(m_db->counters().connectionWaits, ++waits);
  }
  EXPECT_FALSE(DBtran::isTransient(db::kNoConnection));
  ASSERT_EQ(held.commit(), db::kOk) << held.lastError();
  auto [code, text, ms] = beginElsewhere(0);
  EXPECT_EQ(code, db::kOk) << text;
  EXPECT_EQ(m_db->peakConnections(), 1);
  EXPECT_EQ(m_db->counters().connectionWaits, waits);  // a free connection is no wait
}

INSTANTIATE_TEST_SUITE_P(Storages, ConnectionCap, fileAndServer(), storageName);

// A connection opened on one thread and handed to another writes for that
// other thread now: a write of the first thread waits for it as for any
// other writer, instead of taking it for a lock of its own (2018).
TEST(ConnectionCapSqlite, AHandedOverConnectionIsAnotherThreadsWriter) {
  TempDir dir;
  std::unique_ptr<PostgresSchema> none;
  auto database = openWith(Storage::File, {{"max_connections", "2"}}, dir, none);
  ASSERT_TRUE(database);
  db::Database::setDefault(database);
  std::atomic<bool> begun{false};
  std::thread writer([&] {
    DBtran tran(database);  // takes the idle connection this thread opened
    ASSERT_EQ(tran.begin(), db::kOk) << tran.lastError();
    begun = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(tran.commit(), db::kOk) << tran.lastError();
  });
  while (!begun) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ApplicationDirsDB dirs;
  YLApplicationDirs_t row = makeDir(3, "/after/the/writer");
  EXPECT_TRUE(dirs.insert(row, nullptr)) << dirs.m_dbError.m_errorText;
  writer.join();
  db::Database::setDefault(nullptr);
}

#ifdef DIVU_WITH_POSTGRESQL
// "host:port" of a libpq URL, for read_hosts.
std::string hostAndPort(const char* url) {
  char* problem = nullptr;
  PQconninfoOption* options = PQconninfoParse(url, &problem);
  PQfreemem(problem);
  std::string host, port = "5432";
  for (PQconninfoOption* o = options; o && o->keyword; ++o) {
    if (!o->val) continue;
    if (strcmp(o->keyword, "host") == 0) host = o->val;
    if (strcmp(o->keyword, "port") == 0) port = o->val;
  }
  PQconninfoFree(options);
  return host + ":" + port;
}

// What libpq itself reads from the read hosts' target: their hosts and ports
// in place of the URL's, the rest of the URL kept.
TEST(ReadHosts, LibpqReadsTheStandbysFromTheReadTarget) {
  struct Case {
    const char* url;
    const char* hosts;  // null: refused
    const char* ports;
  } cases[] = {
      {"postgresql://u:pw@primary:5433/cat?sslmode=disable&read_hosts=s1:6000,s2", "s1,s2", "6000,5432"},
      {"postgres://u@p1:1,p2:2/cat?read_hosts=%5B::1%5D:7000&target_session_attrs=read-write", "::1", "7000"},
      {"postgresql:host=primary dbname=cat user=u read_hosts=/run/standby,10.0.0.2:6001", "/run/standby,10.0.0.2",
       "5432,6001"},
      {"postgresql://u@p/cat?read_hosts=s1:0", nullptr, nullptr},
      {"postgresql://u@p/cat?read_hosts=s1,", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    std::string error;
    std::optional<db::DatabaseOptions> options = db::DatabaseOptions::parse(c.url, &error);
    if (!c.hosts) {
      EXPECT_FALSE(options);
      EXPECT_NE(error.find("read_hosts item"), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(options) << error;
    std::optional<std::string> target = options->readTarget(&error);
    ASSERT_TRUE(target) << error;
    char* problem = nullptr;
    PQconninfoOption* parsed = PQconninfoParse(target->c_str(), &problem);
    ASSERT_TRUE(parsed) << (problem ? problem : "") << " in " << *target;
    std::map<std::string, std::string> values;
    for (PQconninfoOption* o = parsed; o->keyword; ++o)
      if (o->val) values[o->keyword] = o->val;
    PQconninfoFree(parsed);
    EXPECT_EQ(values["host"], c.hosts);
    EXPECT_EQ(values["port"], c.ports);
    EXPECT_EQ(values["target_session_attrs"], "prefer-standby");
    EXPECT_EQ(values["dbname"], "cat");
    EXPECT_EQ(values["user"], "u");
    EXPECT_EQ(values.count("read_hosts"), 0u);
  }
}

// On a replicated pair: which server ran each kind of call, as the server
// itself reports it (pg_is_in_recovery() is true on a standby only), in the
// caller's WHERE or SET text.
TEST(ReadHosts, ReadsGoToTheStandbyAndWritesToThePrimary) {
  const char* primaryUrl = getenv("DIVU_TEST_HA_URL");
  const char* standbyUrl = getenv("DIVU_TEST_HA_STANDBY_URL");
  if (!primaryUrl || !standbyUrl) GTEST_SKIP() << "no replicated pair given (DIVU_TEST_HA_URL, DIVU_TEST_HA_STANDBY_URL)";
  const std::string schema = "divu_ha_" + std::to_string(getpid());
  std::string error;
  auto admin = db::Database::open(primaryUrl, &error);
  ASSERT_TRUE(admin) << error;
  ASSERT_EQ(admin->exec(("DROP SCHEMA IF EXISTS " + schema + " CASCADE; CREATE SCHEMA " + schema).c_str(), &error),
            db::kOk)
      << error;
  const std::string url = withOption(withOption(primaryUrl, "options", "-csearch_path=" + schema), "read_hosts",
                                     hostAndPort(standbyUrl));
  auto database = db::Database::open(url, &error);
  ASSERT_TRUE(database) << error;
  ASSERT_TRUE(database->hasReadHosts());
  ASSERT_EQ(createCatalogue(*database, &error), db::kOk) << error;  // on the primary: the standby refuses DDL
  db::Database::setDefault(database);

  ApplicationDirsDB dirs;
  YLApplicationDirs_t row = makeDir(7, "/ha/first");
  ASSERT_TRUE(dirs.insert(row, nullptr)) << dirs.m_dbError.m_errorText;  // a standby would refuse it
  const int id = row.id;
  // The standby replays it within its replication delay.
  unsigned int seen = 0;
  for (int i = 0; i < 200; ++i) {
    if (dirs.getNRows("clientId = 7", seen, nullptr) && seen == 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(seen, 1u) << "the standby never showed the row written on the primary: " << dirs.m_dbError.m_errorText;

  const char* onStandby = "pg_is_in_recovery()";
  // Marks the row with the server that ran the update.
  const char* markServer = "path = CASE WHEN pg_is_in_recovery() THEN 'standby' ELSE 'primary' END";
  // The mark, read where it was written.
  auto markOf = [&](DBtran* tran) {
    YLApplicationDirs_t read;
    return dirs.getInfo(id, read, tran) ? std::string(read.path) : "unread: " + dirs.m_dbError.m_errorText;
  };
  // Where a count in a transaction of `mode` ran.
  auto countIn = [&](DBtran::Mode mode) {
    DBtran tran;
    if (tran.begin(mode) != db::kOk) return "failed: " + tran.lastError();
    unsigned int n = 0;
    bool ok = dirs.getNRows(onStandby, n, &tran);
    tran.rollback();
    return ok ? std::string(n ? "standby" : "primary") : "failed: " + dirs.m_dbError.m_errorText;
  };
  struct Case {
    const char* call;
    std::function<std::string()> server;  // "standby", "primary", or what went wrong
  } cases[] = {
      {"count without a transaction",
       [&] {
         unsigned int n = 0;
         if (!dirs.getNRows(onStandby, n, nullptr)) return "failed: " + dirs.m_dbError.m_errorText;
         return std::string(n ? "standby" : "primary");
       }},
      {"one-row read without a transaction",
       [&] {
         YLApplicationDirs_t read;
         YLApplicationDirs* binding = nullptr;
         bool found = dirs.getRowForQuery<YLApplicationDirs_t, YLApplicationDirs>(read, binding, onStandby, nullptr);
         return std::string(found ? "standby" : dirs.m_dbError.m_errorCode == db::kNoRow ? "primary" : "failed");
       }},
      {"cursor without a transaction",
       [&] {
         YLApplicationDirs binding(nullptr);
         binding.setWhere(onStandby);
         if (int code = binding.openCursor(); code != db::kOk) return "failed: " + std::string(binding.getErrorStr(code));
         int code = binding.fetchCursor(true);
         binding.closeCursor();
         return std::string(code == db::kOk ? "standby" : code == db::kNoRow ? "primary" : "failed");
       }},
      {"list without a transaction (a read transaction of its own)",
       [&] {
         YLApplicationDirs_t* list = nullptr;
         unsigned int n = 0;
         bool ok = dirs.getList(list, n, onStandby, nullptr, nullptr);
         dirs.deleteList(list);
         return ok ? std::string(n ? "standby" : "primary") : "failed: " + dirs.m_dbError.m_errorText;
       }},
      {"count in a read transaction", [&] { return countIn(DBtran::Mode::Read); }},
      {"count in a write transaction", [&] { return countIn(DBtran::Mode::Write); }},
      {"update without a transaction",
       [&] {
         if (!dirs.Update(id, markServer, nullptr)) return "failed: " + dirs.m_dbError.m_errorText;
         DBtran tran;
         tran.begin();
         return markOf(&tran);
       }},
      {"update in a write transaction, read back in it",
       [&] {
         if (!dirs.Update(id, "path = 'unmarked'", nullptr)) return "failed: " + dirs.m_dbError.m_errorText;
         DBtran tran;
         if (tran.begin() != db::kOk) return "failed: " + tran.lastError();
         if (!dirs.Update(id, markServer, &tran)) return "failed: " + dirs.m_dbError.m_errorText;
         std::string mark = markOf(&tran);  // its own uncommitted write
         tran.commit();
         return mark;
       }},
  };
  const char* expected[] = {"standby", "standby", "standby", "standby", "standby", "primary", "primary", "primary"};
  size_t index = 0;
  for (const Case& c : cases) EXPECT_EQ(c.server(), expected[index++]) << c.call;

  db::Database::setDefault(nullptr);
  database.reset();
  admin->exec(("DROP SCHEMA " + schema + " CASCADE").c_str());
}
#endif

}  // namespace
}  // namespace divu::test
