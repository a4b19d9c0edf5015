// What a caller sees of the engine from outside: the statement hook, the
// counters of a database, and log lines sent to the caller's logger.
#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <iterator>
#include <sstream>

#include "CascadeSupport.h"
#include "Db/Engine/SqlLiterals.h"
#include "Db/Observe.h"

namespace divu::test {
namespace {

using db::observe::Operation;

// What the hook reported of one statement.
struct Seen {
  std::string table;
  Operation operation;
  std::string sql;
  std::vector<long long> parameters;
  bool batch;
  int attempt;
  long long rows;
  int code;
  std::string system, name;
};

class Observe : public StorageTest {
 protected:
  void TearDown() override {
    db::observe::setHook({});
    StorageTest::TearDown();
  }
  // Records every statement's start and end from now on.
  void watch(bool withParameters = false) {
    m_starts.clear();
    m_ends.clear();
    auto copy = [](const db::observe::Statement& s) {
      return Seen{std::string(s.table), s.operation, std::string(s.sql),
                  std::vector<long long>(s.parameters.begin(), s.parameters.end()), s.batch, s.attempt, s.rows,
                  s.code, std::string(s.system), std::string(s.database)};
    };
    db::observe::setHook({[this, copy](const db::observe::Statement& s) { m_starts.push_back(copy(s)); },
                          [this, copy](const db::observe::Statement& s) { m_ends.push_back(copy(s)); },
                          withParameters});
  }
  db::Counters counters() const { return m_db->counters(); }

  std::vector<Seen> m_starts, m_ends;
};

// The operation and table a statement text names, read from the text.
std::pair<Operation, std::string> namedIn(const std::string& sql) {
  std::istringstream words(sql);
  std::string verb, table;
  words >> verb;
  if (verb == "UPDATE") {
    words >> table;
    return {Operation::Update, table};
  }
  if (verb == "SELECT") words.seekg(static_cast<std::streamoff>(sql.find(" FROM ")));
  words >> table >> table;  // INTO t, FROM t
  if (verb == "INSERT") return {Operation::Insert, table};
  if (verb == "DELETE") return {Operation::Delete, table};
  return {sql.starts_with("SELECT COUNT(") ? Operation::Count : Operation::Select, table};
}

TEST_P(Observe, TheHookSeesEachStatementOfAVolumeRemovalAsTheTraceDoes) {
  seedJob(101, 2);
  seedHistory(101, 500);
  const int volume = seedVolume(1, 500);
  traceStatements();
  watch();
  ASSERT_TRUE(CReplicationVolumeDB().remove(volume, nullptr));

  ASSERT_EQ(m_starts.size(), m_rawStatements.size());
  ASSERT_EQ(m_ends.size(), m_starts.size());
  int counted = 0;
  for (size_t i = 0; i < m_starts.size(); ++i) {
    SCOPED_TRACE(m_rawStatements[i]);
    auto [operation, table] = namedIn(m_rawStatements[i]);
    EXPECT_EQ(m_starts[i].operation, operation);
    EXPECT_EQ(m_starts[i].table, table);
    EXPECT_EQ(m_ends[i].table, table);
    EXPECT_EQ(m_ends[i].code, db::kOk);
    EXPECT_EQ(m_ends[i].attempt, 1);
    EXPECT_EQ(m_ends[i].system, onPostgres() ? "postgresql" : "sqlite");
    if (onPostgres())
      EXPECT_FALSE(m_ends[i].name.empty());
    else
      EXPECT_EQ(m_ends[i].name, dbPath());
    // The job's links are counted (2) before they go.
    if (operation == Operation::Count && table == "JMJobDataLink") {
      EXPECT_EQ(m_ends[i].rows, 2);
      ++counted;
    }
  }
  EXPECT_EQ(counted, 1);
  EXPECT_EQ(m_starts.front().table, "YLVolume");
  EXPECT_EQ(m_starts.back().operation, Operation::Delete);
  EXPECT_EQ(m_starts.back().table, "YLVolume");
}

TEST_P(Observe, EndsCarryTheCodeAndRowsOfEachKindOfCall) {
  ApplicationDirsDB dirs;
  YLApplicationDirs_t rows[3] = {makeDir(7, "/a"), makeDir(7, "/b"), makeDir(8, "/c")};
  ASSERT_TRUE(dirs.insertRows(rows, 3, nullptr));
  YLApplicationDirs_t read;
  unsigned int count = 0;
  struct Case {
    const char* name;
    std::function<void()> call;
    Operation operation;
    int code;
    long long rows;
    bool batch;
  } cases[] = {
      {"insert", [&] { YLApplicationDirs_t row = makeDir(7, "/d"); EXPECT_TRUE(dirs.insert(row, nullptr)); },
       Operation::Insert, db::kOk, 1, false},
      {"batch insert", [&] { YLApplicationDirs_t more[2] = {makeDir(9, "/e"), makeDir(9, "/f")};
                             EXPECT_TRUE(dirs.insertRows(more, 2, nullptr)); },
       Operation::Insert, db::kOk, 2, true},
      {"read by key", [&] { EXPECT_TRUE(dirs.getInfo(rows[1].id, read, nullptr)); }, Operation::Select, db::kOk, 1,
       false},
      {"read of a missing key", [&] { EXPECT_FALSE(dirs.getInfo(999999, read, nullptr)); }, Operation::Select,
       db::kNoRow, 0, false},
      {"count", [&] { EXPECT_TRUE(dirs.getNRows("clientId = 7", count, nullptr)); }, Operation::Count, db::kOk, 3,
       false},
      {"update", [&] { EXPECT_TRUE(dirs.Update(rows[0].id, "Flags = 4", nullptr)); }, Operation::Update, db::kOk,
       -1, false},
      {"refused WHERE text", [&] { EXPECT_FALSE(dirs.getNRows("clientId = 7)", count, nullptr)); },
       Operation::Count, db::kError, -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    watch();
    c.call();
    ASSERT_EQ(m_ends.size(), 1u);
    ASSERT_EQ(m_starts.size(), 1u);
    EXPECT_EQ(m_ends[0].operation, c.operation);
    EXPECT_EQ(m_ends[0].table, "YLApplicationDirs");
    EXPECT_EQ(m_ends[0].code, c.code);
    EXPECT_EQ(m_ends[0].rows, c.rows);
    EXPECT_EQ(m_ends[0].batch, c.batch);
    EXPECT_EQ(m_ends[0].sql.empty(), c.code == db::kError);
    EXPECT_TRUE(m_ends[0].parameters.empty());
  }
  // Asked for, the parameters are the literals taken out of the caller's
  // text (none when the engine sends texts as written).
  watch(true);
  EXPECT_TRUE(dirs.getNRows("clientId = 8", count, nullptr));
  ASSERT_EQ(m_ends.size(), 1u);
  const bool taken = db::engine::literalParameters();
  EXPECT_EQ(m_ends[0].parameters, taken ? std::vector<long long>{8} : std::vector<long long>{});
  EXPECT_NE(m_ends[0].sql.find(taken ? "clientId = ?" : "clientId = 8"), std::string::npos) << m_ends[0].sql;
}

TEST_P(Observe, CountersMatchWhatWasProvoked) {
  ApplicationDirsDB dirs;
  YLApplicationDirs_t row = makeDir(1, "/x");
  ASSERT_TRUE(dirs.insert(row, nullptr));
  YLApplicationDirs_t read;

  // A repeated statement is compiled once, then found in the cache.
  ASSERT_TRUE(dirs.getInfo(row.id, read, nullptr));
  db::Counters before = counters();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(dirs.getInfo(row.id, read, nullptr));
  db::Counters after = counters();
  EXPECT_EQ(after.statements - before.statements, 3u);
  EXPECT_EQ(after.cacheHits - before.cacheHits, 3u);
  EXPECT_EQ(after.cacheMisses - before.cacheMisses, 0u);
  EXPECT_EQ(after.prepares - before.prepares, 0u);
  unsigned int count = 0;
  ASSERT_TRUE(dirs.getNRows("path = '/never seen before'", count, nullptr));
  db::Counters fresh = counters();
  EXPECT_EQ(fresh.cacheMisses - after.cacheMisses, 1u);
  EXPECT_GE(fresh.prepares - after.prepares, 1u);
  EXPECT_GE(fresh.connectionsOpen, 1);

  // DBtran::run starting again after forced conflicts at commit.
  const struct {
    int code;
    int times;
    unsigned long long db::Counters::*counter;
  } conflicts[] = {{db::kRestartTransaction, 2, &db::Counters::restarts}, {db::kRetry, 3, &db::Counters::retries}};
  for (const auto& c : conflicts) {
    SCOPED_TRACE(c.code);
    db::Counters start = counters();
    db::fault::inject(db::fault::Call::Commit, c.code, c.times);
    std::vector<int> attempts;
    watch();
    EXPECT_EQ(DBtran::run([&](DBtran& tran) {
                YLApplicationDirs_t other = makeDir(2, "/y");
                return dirs.insert(other, &tran) ? db::kOk : dirs.m_dbError.m_errorCode;
              }),
              db::kOk);
    db::fault::clear();
    db::Counters end = counters();
    EXPECT_EQ(end.*c.counter - start.*c.counter, static_cast<unsigned long long>(c.times));
    EXPECT_EQ(end.restarts + end.retries - start.restarts - start.retries, static_cast<unsigned long long>(c.times));
    ASSERT_EQ(m_ends.size(), static_cast<size_t>(c.times + 1));
    for (size_t i = 0; i < m_ends.size(); ++i) EXPECT_EQ(m_ends[i].attempt, static_cast<int>(i + 1));
  }
}

// A write lock held by another connection: the facade retries five times,
// each counted, each statement with its attempt number.
TEST_P(Observe, RetriesOfABusyDatabaseAreCounted) {
  openDatabase(GetParam(), onPostgres() ? "lock_timeout=20" : "busy_timeout=5");
  std::shared_ptr<db::Database> other = db::Database::open(m_url);
  ASSERT_TRUE(other);
  ASSERT_EQ(other->exec(onPostgres() ? "BEGIN; LOCK TABLE YLApplicationDirs IN EXCLUSIVE MODE" : "BEGIN IMMEDIATE"),
            db::kOk);
  ApplicationDirsDB dirs;
  YLApplicationDirs_t row = makeDir(1, "/blocked");
  db::Counters before = counters();
  watch();
  EXPECT_FALSE(dirs.insert(row, nullptr));
  EXPECT_EQ(dirs.m_dbError.m_errorCode, db::kRetry);
  EXPECT_EQ(counters().retries - before.retries, 5u);
  ASSERT_EQ(m_ends.size(), 6u);
  for (size_t i = 0; i < m_ends.size(); ++i) {
    EXPECT_EQ(m_ends[i].attempt, static_cast<int>(i + 1));
    EXPECT_EQ(m_ends[i].code, db::kRetry);
  }
  EXPECT_EQ(db::observe::attempt(), 1);
  EXPECT_EQ(other->exec("ROLLBACK"), db::kOk);
}

// The by-id reads and deletes select by key without spelling "<key> = <id>":
// to every observer they must be the calls with that text, run one after
// the other for keys present, absent and at the ends of the range, in and
// out of a transaction, with the statement built first by either.
TEST_P(Observe, ReadsAndDeletesByKeyAreThoseOfTheirKeyText) {
  ApplicationDirsDB dirs;
  YLApplicationDirs_t rows[2] = {makeDir(3, "/p"), makeDir(4, "/q")};
  ASSERT_TRUE(dirs.insertRows(rows, 2, nullptr));
  const char* key = ApplicationDirsDB::keyColumn();
  auto describe = [](const std::vector<Seen>& seen) {
    std::string text;
    for (const Seen& s : seen) {
      text += s.sql + " [";
      for (long long value : s.parameters) text += std::to_string(value) + " ";
      text += "] " + std::to_string(s.attempt) + " " + std::to_string(s.rows) + " " + std::to_string(s.code) + "\n";
    }
    return text;
  };
  // Everything a caller and the observers see of one call; `rest` counts the
  // rows left in the transaction after a delete.
  auto outcome = [&](bool ok, const YLApplicationDirs_t& row, DBtran* tran) {
    std::string text = std::string(ok ? "ok " : "failed ") + std::to_string(row.id) + " " +
                       std::to_string(row.clientId) + " " + row.path + "\n";
    const CReplicationDBError& e = dirs.m_dbError;
    text += std::to_string(e.m_errorCode) + " " + e.m_function + " " + e.m_tableName + " " + e.m_tableDescribe +
            " " + std::to_string(e.m_retryCount) + "\n" + e.m_errorText + "\n";
    text += describe(m_starts) + describe(m_ends);
    for (const std::string& sql : m_rawStatements) text += sql + "\n";
    if (tran) {
      unsigned int rest = 0;
      EXPECT_TRUE(dirs.getNRows(nullptr, rest, tran));
      text += "rest " + std::to_string(rest);
    }
    return text;
  };
  enum class Via { Key, Text };
  auto read = [&](Via via, int id, DBtran* tran) {
    dirs.m_dbError.clear();
    m_rawStatements.clear();
    watch(true);
    YLApplicationDirs_t row = makeDir(77, "/untouched");
    YLApplicationDirs* unused = nullptr;
    bool ok = via == Via::Key ? dirs.getInfo(id, row, tran)
                              : dirs.getRowForQuery<YLApplicationDirs_t, YLApplicationDirs>(
                                    row, unused, KeyCondition(key, id).c_str(), tran);
    return outcome(ok, row, tran);
  };
  auto remove = [&](Via via, int id, DBtran* tran) {
    dirs.m_dbError.clear();
    m_rawStatements.clear();
    watch(true);
    YLApplicationDirs* unused = nullptr;
    bool ok = via == Via::Key ? dirs.remove(id, tran)
                              : dirs.deleteRow<YLApplicationDirs>(unused, KeyCondition(key, id).c_str(), tran);
    return outcome(ok, makeDir(0, ""), tran);
  };
  const int ids[] = {rows[0].id, 999999, rows[1].id, 0, -1, -42, INT_MAX, INT_MIN, rows[0].id};
  for (Via first : {Via::Key, Via::Text}) {
    const Via second = first == Via::Key ? Via::Text : Via::Key;
    for (bool inTransaction : {false, true}) {
      for (int id : ids) {
        const bool traced = id % 2 == 0;  // the trace spells the key text itself
        SCOPED_TRACE(std::to_string(id) + (inTransaction ? " in a transaction" : "") +
                     (first == Via::Key ? ", by key first" : ", by text first") + (traced ? ", traced" : ""));
        if (traced)
          traceStatements();
        else
          db::trace::set(nullptr);
        DBtran tran;
        DBtran* in = inTransaction ? &tran : nullptr;
        if (in) {
          ASSERT_EQ(tran.begin(), db::kOk);
        }
        const std::string a = read(first, id, in);
        EXPECT_EQ(read(second, id, in), a);
        if (!in) continue;
        const std::string removed = remove(first, id, in);
        ASSERT_EQ(tran.rollback(), db::kOk);
        ASSERT_EQ(tran.begin(), db::kOk);
        EXPECT_EQ(remove(second, id, in), removed);
        ASSERT_EQ(tran.rollback(), db::kOk);
      }
    }
  }
  db::trace::set(nullptr);
  // A delete by key out of a transaction deletes that row only.
  ASSERT_TRUE(dirs.remove(rows[1].id, nullptr));
  unsigned int count = 0;
  ASSERT_TRUE(dirs.getNRows(nullptr, count, nullptr));
  EXPECT_EQ(count, 1u);
  YLApplicationDirs_t row;
  EXPECT_TRUE(dirs.getInfo(rows[0].id, row, nullptr));
  EXPECT_FALSE(dirs.getInfo(rows[1].id, row, nullptr));
}

INSTANTIATE_TEST_SUITE_P(Storages, Observe, fileAndServer(), storageName);

TEST(LogHandler, ReceivesWhatLogErrorWritesAndTheLogComesBackWithout) {
  TempDir dir;
  const std::string file = dir.file("log.txt");
  ASSERT_TRUE(zrSetLogFile(file.c_str()));
  struct Line {
    ZrLogLevel level;
    std::string file;
    int line;
    std::string text;
  };
  std::vector<Line> lines;
  zrSetLogHandler([&](ZrLogLevel level, const char* where, int line, const char* text) {
    lines.push_back({level, where, line, text});
  });
  const int here = __LINE__ + 1;
  log_error(__FILE__, here, "volume %d: %s", 42, "gone");
  zrSetLogHandler(nullptr);
  log_error("after.cpp", 7, "back to the file");
  zrSetLogFile(nullptr);

  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, ZrLogLevel::Error);
  EXPECT_EQ(lines[0].file, __FILE__);
  EXPECT_EQ(lines[0].line, here);
  EXPECT_EQ(lines[0].text, "volume 42: gone");
  std::ifstream in(file);
  std::string logged((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(logged.find("volume 42"), std::string::npos) << "a handled line is not also written";
  EXPECT_NE(logged.find(" after.cpp:7 back to the file\n"), std::string::npos) << logged;
}

}  // namespace
}  // namespace divu::test
