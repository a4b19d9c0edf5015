// How the engine ends a transaction when SQLite itself fails under it: the
// cases the fault sweep found, pinned one by one.
#include <gtest/gtest.h>

#include <filesystem>

#include "../TestSupport.h"
#include "Db/Engine/Backend.h"
#include "DivUdurezevudoZE/ApplicationDirsDB.h"
#include "SqliteFaults.h"

namespace divu::test {
namespace {

using fault::Kind;
using fault::Mode;

class EngineRecovery : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    {  // the schema, made without the fault layer
      auto plain = db::Database::open("sqlite:" + path(), &error);
      ASSERT_TRUE(plain) << error;
      ASSERT_EQ(createCatalogue(*plain, &error), db::kOk) << error;
    }
    m_db = db::Database::open("sqlite:file:" + path() + "?vfs=" + fault::kVfsName, &error);
    ASSERT_TRUE(m_db) << error;
    db::Database::setDefault(m_db);
  }
  void TearDown() override {
    fault::disarm();
    db::Database::setDefault(nullptr);
  }
  std::string path() const { return m_dir.file("recovery.sqlite"); }

  // Rows of client `client` seen by a new connection of its own.
  static unsigned int rowsOf(const std::string& file, int client) {
    std::string error;
    auto reader = db::Database::open("sqlite:" + file, &error);
    EXPECT_TRUE(reader) << error;
    if (!reader) return 0;
    auto previous = db::Database::getDefault();
    db::Database::setDefault(reader);
    unsigned int count = 0;
    EXPECT_TRUE(ApplicationDirsDB().getNRows(("clientId = " + std::to_string(client)).c_str(), count, nullptr));
    db::Database::setDefault(previous);
    return count;
  }

  TempDir m_dir;
  std::shared_ptr<db::Database> m_db;
};

TEST_F(EngineRecovery, ARollbackThatCannotRunClosesTheConnectionInsteadOfReusingIt) {
  ApplicationDirsDB dirs;
  DBtran tran;
  ASSERT_EQ(tran.begin(), db::kOk);
  YLApplicationDirs_t row = makeDir(7, "/written");
  ASSERT_TRUE(dirs.insert(row, &tran));

  // No memory from here on: ROLLBACK cannot even be compiled, twice.
  fault::arm(Kind::Memory, Mode::Persistent, 1);
  EXPECT_EQ(tran.rollback(), db::kNoMemory);
  fault::disarm();
  EXPECT_FALSE(tran.isActive());
  EXPECT_NE(tran.lastError().find("the connection was closed"), std::string::npos) << tran.lastError();

  // The thread's next connection starts clean: the row went with the closed
  // connection, a transaction begins, and autocommit work commits.
  db::engine::Connection* connection = nullptr;
  std::string error;
  ASSERT_EQ(m_db->autocommitConnection(connection, &error), db::kOk) << error;
  EXPECT_FALSE(connection->inTransaction());
  DBtran next;
  EXPECT_EQ(next.begin(), db::kOk) << next.lastError();
  EXPECT_EQ(next.rollback(), db::kOk);
  YLApplicationDirs_t later = makeDir(8, "/later");
  ASSERT_TRUE(dirs.insert(later, nullptr)) << dirs.m_dbError.m_errorText;
  EXPECT_EQ(rowsOf(path(), 7), 0u);
  EXPECT_EQ(rowsOf(path(), 8), 1u);
}

TEST_F(EngineRecovery, ARollbackThatFailsOnceIsRetriedOnTheSameConnection) {
  ApplicationDirsDB dirs;
  DBtran tran;
  ASSERT_EQ(tran.begin(), db::kOk);
  db::engine::Connection* used = tran.connection();
  YLApplicationDirs_t row = makeDir(7, "/written");
  ASSERT_TRUE(dirs.insert(row, &tran));
  fault::arm(Kind::Memory, Mode::Once, 1);
  EXPECT_EQ(tran.rollback(), db::kOk) << tran.lastError();
  EXPECT_EQ(fault::failed(), 1u);
  fault::disarm();
  DBtran next;
  ASSERT_EQ(next.begin(), db::kOk);
  EXPECT_EQ(next.connection(), used) << "the connection was kept";
  EXPECT_EQ(rowsOf(path(), 7), 0u);
}

TEST_F(EngineRecovery, ACommitWhoseLogSyncFailedIsInDoubtNotRolledBack) {
  // The first I/O call of COMMIT that is the log's sync, found by counting.
  unsigned long syncAt = 0;
  for (unsigned long at = 1; !syncAt && at < 100; ++at) {
    ApplicationDirsDB dirs;
    DBtran tran;
    ASSERT_EQ(tran.begin(), db::kOk);
    YLApplicationDirs_t row = makeDir(9, "/probe");
    ASSERT_TRUE(dirs.insert(row, &tran));
    fault::arm(Kind::Io, Mode::Once, at);
    int code = tran.commit();
    std::string call = fault::firstFailedCall();
    fault::disarm();
    if (tran.isActive()) tran.rollback();
    if (call == "xSync") {
      syncAt = at;
      EXPECT_EQ(code, db::kOutcomeInDoubt) << tran.lastError();
      EXPECT_NE(tran.lastError().find("may or may not have committed"), std::string::npos) << tran.lastError();
    }
    ASSERT_EQ(m_db->exec("DELETE FROM YLApplicationDirs"), db::kOk);
  }
  ASSERT_NE(syncAt, 0u) << "COMMIT never synced the log";

  // Why not "rolled back": the commit record is in the log, and a process
  // that crashed now would leave a database where the row is committed.
  ApplicationDirsDB dirs;
  DBtran tran;
  ASSERT_EQ(tran.begin(), db::kOk);
  YLApplicationDirs_t row = makeDir(10, "/in-doubt");
  ASSERT_TRUE(dirs.insert(row, &tran));
  fault::arm(Kind::Io, Mode::Once, syncAt);
  EXPECT_EQ(tran.commit(), db::kOutcomeInDoubt);
  fault::disarm();
  EXPECT_FALSE(tran.isActive());
  const std::string crashed = m_dir.file("crashed.sqlite");
  std::filesystem::copy_file(path(), crashed);
  std::filesystem::copy_file(path() + "-wal", crashed + "-wal");
  EXPECT_EQ(rowsOf(crashed, 10), 1u);
}

// The engine's own allocations while it compiles and caches a statement:
// each one failing in turn gives kNoMemory (no exception through the engine),
// leaks nothing, and leaves the cache usable for the same text.
TEST_F(EngineRecovery, AnAllocationFailureWhileCachingAStatementLeavesTheCacheWhole) {
  db::engine::Connection* connection = nullptr;
  std::string error;
  ASSERT_EQ(m_db->autocommitConnection(connection, &error), db::kOk) << error;
  for (bool nested : {false, true}) {  // nested: the cached one is leased, so a private one is made
    SCOPED_TRACE(nested ? "private statement" : "cached statement");
    unsigned long at = 1;
    for (;; ++at) {
      const std::string sql = "SELECT " + std::to_string(at) + (nested ? " + 0" : "");
      db::engine::Statement* held = nullptr;
      if (nested) {
        ASSERT_EQ(connection->prepare(sql, held), db::kOk);
      }
      db::engine::Statement* statement = nullptr;
      int code = -1;
      fault::arm(Kind::CppHeap, Mode::Once, at);
      try {
        code = connection->prepare(sql, statement);
      } catch (const std::bad_alloc&) {
        ADD_FAILURE() << "bad_alloc out of prepare at allocation " << at;
      }
      bool reached = fault::failed() > 0;
      fault::disarm();
      if (!reached) {
        EXPECT_EQ(code, db::kOk);
        connection->release(statement);
        connection->release(held);
        break;
      }
      EXPECT_TRUE(code == db::kOk || code == db::kNoMemory) << code;
      if (code == db::kOk) connection->release(statement);
      // Whatever happened, the same text compiles (or comes from the cache) and runs.
      db::engine::Statement* again = nullptr;
      ASSERT_EQ(connection->prepare(sql, again), db::kOk) << connection->lastErrorText();
      ASSERT_EQ(again->step(), db::kOk);
      EXPECT_EQ(again->columnInt64(0), static_cast<long long>(at));
      connection->release(again);
      connection->release(held);
    }
    EXPECT_GT(at, 1u) << "no allocation was failed";
  }
}

}  // namespace
}  // namespace divu::test
