// Cursors and what they hold: snapshots, the connections they keep from other
// work, their end, lists in one snapshot, databases destroyed under them, and
// transactions used from other threads or ended by their own body.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "DivUdurezevudoZE/ApplicationDirsDB.h"
#include "TestSupport.h"

namespace divu::test {
namespace {

void insertDirs(std::initializer_list<int> clients) {
  ApplicationDirsDB dirs;
  for (int client : clients) {
    YLApplicationDirs_t row = makeDir(client, "/row");
    ASSERT_TRUE(dirs.insert(row, nullptr)) << dirs.m_dbError.m_errorText;
  }
}

unsigned int countRows(const char* where = nullptr) {
  ApplicationDirsDB dirs;
  unsigned int count = 0;
  EXPECT_TRUE(dirs.getNRows(where, count, nullptr)) << dirs.m_dbError.m_errorText;
  return count;
}

// One long-lived thread that runs what it is given, as a pool thread would.
class Worker {
 public:
  Worker() : m_thread([this] { loop(); }) {}
  ~Worker() {
    run(nullptr);
    m_thread.join();
  }
  // Runs `task` on the worker and waits for it; null ends the worker.
  void run(std::function<void()> task) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_task = std::move(task);
    m_stop = !m_task;
    m_pending = true;
    m_wake.notify_all();
    m_wake.wait(lock, [this] { return !m_pending; });
  }

 private:
  void loop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      m_wake.wait(lock, [this] { return m_pending; });
      if (m_stop) {
        m_pending = false;
        m_wake.notify_all();
        return;
      }
      m_task();
      m_pending = false;
      m_wake.notify_all();
    }
  }
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::function<void()> m_task;
  bool m_pending = false;
  bool m_stop = false;
  std::thread m_thread;
};

int openFiles() {
  int n = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

class ConcurrentSnapshots : public StorageTest {};

TEST_P(ConcurrentSnapshots, AnOpenCursorKeepsItsConnectionFromOtherWorkAndEndsWithItsTransaction) {
  insertDirs({1, 2, 3});

  // A cursor stopped early inside a transaction is closed by the commit.
  DBtran tran;
  ASSERT_EQ(tran.begin(), db::kOk);
  YLApplicationDirs inTran(&tran);
  ASSERT_EQ(inTran.openCursor(), db::kOk);
  ASSERT_EQ(inTran.fetchCursor(true), db::kOk);
  ASSERT_EQ(tran.commit(), db::kOk);
  EXPECT_EQ(inTran.fetchCursor(true), db::kMisuse);
  EXPECT_NE(std::string(inTran.getErrorStr(db::kMisuse)).find("committed"), std::string::npos);

  // An autocommit cursor stopped early and left open.
  YLApplicationDirs open(nullptr);
  open.setOrderBy("id");
  ASSERT_EQ(open.openCursor(), db::kOk);
  ASSERT_EQ(open.fetchCursor(true), db::kOk);

  std::thread([] { insertDirs({4}); }).join();  // another connection commits

  // This thread's later work sees that row and is not held in the old snapshot.
  EXPECT_EQ(countRows(), 4u);
  DBtran next;
  ASSERT_EQ(next.begin(), db::kOk) << next.lastError();
  ApplicationDirsDB dirs;
  YLApplicationDirs_t row = makeDir(5, "/in-transaction");
  EXPECT_TRUE(dirs.insert(row, &next)) << dirs.m_dbError.m_errorText;
  EXPECT_EQ(next.commit(), db::kOk) << next.lastError();
  row = makeDir(6, "/autocommit");
  EXPECT_TRUE(dirs.insert(row, nullptr)) << dirs.m_dbError.m_errorText;
  EXPECT_EQ(countRows(), 6u);

  // The open cursor reads on in its own snapshot.
  int more = 0;
  while (open.fetchCursor(true) == db::kOk) ++more;
  EXPECT_EQ(more, 2);
}

INSTANTIATE_TEST_SUITE_P(Storages, ConcurrentSnapshots, fileAndServer(), storageName);

class CursorEnds : public StorageTest {};

TEST_P(CursorEnds, AfterTheEndOrAFailureAFetchAnswersTheSameUntilReopened) {
  insertDirs({1, 2, 3});
  // The third row makes abs() overflow while the rows are read, not when the
  // statement is prepared.
  const char* trap = "abs(CASE WHEN clientId = 3 THEN -9223372036854775807 + (2 - clientId) ELSE 1 END) > 0";
  struct Case {
    const char* name;
    const char* where;
    const char* orderBy;
    bool fails;
  } cases[] = {
      {"end of rows", "clientId > 0", "id", false},
      {"failure in the middle", trap, nullptr, true},
      {"failure in order", trap, "id", true},
  };
  for (const Case& c : cases) {
    YLApplicationDirs cursor(nullptr);
    cursor.setWhere(c.where);
    if (c.orderBy) cursor.setOrderBy(c.orderBy);
    ASSERT_EQ(cursor.openCursor(), db::kOk) << c.name;
    int rows = 0, code;
    while ((code = cursor.fetchCursor(true)) == db::kOk) ++rows;
    if (c.fails) {
      EXPECT_NE(code, db::kNoRow) << c.name;
      EXPECT_LT(rows, 3) << c.name;
    } else {
      EXPECT_EQ(code, db::kNoRow) << c.name;
      EXPECT_EQ(rows, 3) << c.name;
    }
    for (int again = 0; again < 2; ++again) EXPECT_EQ(cursor.fetchCursor(true), code) << c.name;
    cursor.setWhere("clientId > 0");
    ASSERT_EQ(cursor.openCursor(), db::kOk) << c.name;
    rows = 0;
    while (cursor.fetchCursor(true) == db::kOk) ++rows;
    EXPECT_EQ(rows, 3) << c.name << ": reopened";
  }

  // A 1025 in the middle of a list starts the list over: each row once.
  db::fault::inject(db::fault::Call::Fetch, db::kRetry, 1, 1);
  ApplicationDirsDB dirs;
  YLApplicationDirs_t* list = nullptr;
  unsigned int count = 0;
  ASSERT_TRUE(dirs.getList(list, count, nullptr, "id", nullptr)) << dirs.m_dbError.m_errorText;
  ASSERT_EQ(count, 3u);
  EXPECT_LT(list[0].id, list[1].id);
  EXPECT_LT(list[1].id, list[2].id);
  dirs.deleteList(list);
}

INSTANTIATE_TEST_SUITE_P(Storages, CursorEnds, everyStorage(), storageName);

// A writer changes the matching rows while a reader lists them without a
// transaction. The first row counts the matching rows as of each commit, so
// a list must hold exactly that many.
class ConcurrentLists : public StorageTest {};

TEST_P(ConcurrentLists, ANullTransactionListCountsAndFetchesInOneSnapshot) {
  ApplicationDirsDB setup;
  YLApplicationDirs_t sentinel = makeDir(5, "/sentinel");
  sentinel.Flags = 1;
  ASSERT_TRUE(setup.insert(sentinel, nullptr));

  std::atomic<bool> stop{false};
  std::atomic<int> writerFailures{0};
  std::thread writer([&] {
    ApplicationDirsDB dirs;
    int live = 0;
    bool growing = true;
    while (!stop) {
      if (live == 0) growing = true;
      if (live == 4) growing = false;
      int code = DBtran::run([&](DBtran& tran) {
        bool ok;
        if (growing) {
          YLApplicationDirs_t row = makeDir(5, "/r");
          ok = dirs.insert(row, &tran) && dirs.Update(sentinel.id, "Flags = Flags + 1", &tran);
        } else {
          ok = dirs.remove("path = '/r' AND id = (SELECT MIN(id) FROM YLApplicationDirs WHERE path = '/r')", &tran) &&
               dirs.Update(sentinel.id, "Flags = Flags - 1", &tran);
        }
        return ok ? db::kOk : dirs.m_dbError.m_errorCode;
      });
      if (code != db::kOk)
        ++writerFailures;
      else
        live += growing ? 1 : -1;
    }
  });

  ApplicationDirsDB dirs;
  int lists = 0, failed = 0, torn = 0;
  std::string firstProblem;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (std::chrono::steady_clock::now() < deadline && lists < 50000) {
    YLApplicationDirs_t* list = nullptr;
    unsigned int count = 0;
    ++lists;
    if (!dirs.getList(list, count, "clientId = 5", "id", nullptr)) {
      if (!failed++) firstProblem = std::to_string(dirs.m_dbError.m_errorCode) + " " + dirs.m_dbError.m_errorText;
      continue;
    }
    if (count == 0 || strcmp(list[0].path, "/sentinel") != 0 || list[0].Flags != static_cast<int>(count)) {
      if (!torn++)
        firstProblem = std::to_string(count) + " rows, sentinel says " + (count ? std::to_string(list[0].Flags) : "-");
    }
    dirs.deleteList(list);
  }
  stop = true;
  writer.join();
  EXPECT_GT(lists, 0);
  EXPECT_EQ(failed, 0) << firstProblem;
  EXPECT_EQ(torn, 0) << firstProblem;
  EXPECT_EQ(writerFailures.load(), 0);
  RecordProperty("concurrent_lists", lists);
}

INSTANTIATE_TEST_SUITE_P(Storages, ConcurrentLists, fileAndServer(), storageName);

class DestroyedDatabases : public StorageTest {};

TEST_P(DestroyedDatabases, ThreadConnectionsAndCursorsOfADestroyedDatabaseAreClosed) {
  insertDirs({1, 2});
  {
    // A binding with an open autocommit cursor outlives its database.
    std::shared_ptr<db::Database> other = db::Database::open(m_url);
    ASSERT_TRUE(other);
    db::Database::setDefault(other);
    YLApplicationDirs cursor(nullptr);
    ASSERT_EQ(cursor.openCursor(), db::kOk);
    ASSERT_EQ(cursor.fetchCursor(true), db::kOk);
    db::Database::setDefault(m_db);
    other.reset();
    EXPECT_EQ(cursor.fetchCursor(true), db::kMisuse);
  }

  // A pool thread that used 40 databases, each destroyed after use, keeps
  // none of their connections once it works again.
  Worker pool;
  pool.run([&] { EXPECT_EQ(countRows(), 2u); });
  const int before = openFiles();
  for (int i = 0; i < 40; ++i) {
    std::shared_ptr<db::Database> used = db::Database::open(m_url);
    ASSERT_TRUE(used);
    db::Database* raw = used.get();
    pool.run([raw] { EXPECT_EQ(raw->exec("SELECT 1"), db::kOk); });
  }
  pool.run([&] { EXPECT_EQ(countRows(), 2u); });
  EXPECT_LT(openFiles() - before, 6);
}

INSTANTIATE_TEST_SUITE_P(Storages, DestroyedDatabases, fileAndServer(), storageName);

class TransactionThreads : public StorageTest {};

TEST_P(TransactionThreads, OnlyTheBeginningThreadEndsATransaction) {
  ApplicationDirsDB dirs;
  {
    DBtran tran;
    ASSERT_EQ(tran.begin(), db::kOk);
    YLApplicationDirs_t row = makeDir(1, "/main");
    ASSERT_TRUE(dirs.insert(row, &tran));
    int commit = -5, rollback = -5;
    std::thread([&] {
      commit = tran.commit();
      rollback = tran.rollback();
    }).join();
    EXPECT_EQ(commit, db::kMisuse);
    EXPECT_EQ(rollback, db::kMisuse);
    EXPECT_TRUE(tran.isActive());
    EXPECT_EQ(tran.commit(), db::kOk);
  }
  EXPECT_EQ(countRows("clientId = 1"), 1u);

  // Its thread ended (and with it the connection): no call reaches it.
  auto orphan = std::make_unique<DBtran>();
  std::thread([&] {
    ASSERT_EQ(orphan->begin(), db::kOk);
    ApplicationDirsDB mine;
    YLApplicationDirs_t row = makeDir(2, "/orphan");
    ASSERT_TRUE(mine.insert(row, orphan.get()));
  }).join();
  EXPECT_EQ(orphan->commit(), db::kMisuse);
  orphan.reset();
  EXPECT_EQ(countRows("clientId = 2"), 0u);

  // Destroyed on another thread while its own thread goes on: that thread
  // rolls it back and writes again.
  Worker owner;
  std::unique_ptr<DBtran> abandoned;
  owner.run([&] {
    abandoned = std::make_unique<DBtran>();
    ASSERT_EQ(abandoned->begin(), db::kOk);
    ApplicationDirsDB mine;
    YLApplicationDirs_t row = makeDir(3, "/abandoned");
    ASSERT_TRUE(mine.insert(row, abandoned.get()));
  });
  abandoned.reset();
  owner.run([&] {
    ApplicationDirsDB mine;
    int code = DBtran::run([&](DBtran& tran) {
      YLApplicationDirs_t row = makeDir(4, "/after");
      return mine.insert(row, &tran) ? db::kOk : mine.m_dbError.m_errorCode;
    });
    EXPECT_EQ(code, db::kOk);
  });
  EXPECT_EQ(countRows("clientId = 3"), 0u);
  EXPECT_EQ(countRows("clientId = 4"), 1u);
}

TEST_P(TransactionThreads, RunTakesTheOutcomeOfACommitTheBodyMadeItself) {
  struct Case {
    const char* name;
    bool commit;  // else rolls back
    int returned;
    int expected;
    unsigned int stored;
  } cases[] = {
      {"commits, returns 0", true, db::kOk, db::kOk, 1},
      {"commits, returns 1025", true, db::kRetry, db::kOk, 1},
      {"rolls back, returns 0", false, db::kOk, db::kMisuse, 0},
      {"rolls back, returns 2002", false, db::kConstraint, db::kConstraint, 0},
  };
  int client = 10;
  for (const Case& c : cases) {
    ++client;
    int bodies = 0;
    ApplicationDirsDB dirs;
    int code = DBtran::run([&](DBtran& tran) {
      ++bodies;
      YLApplicationDirs_t row = makeDir(client, "/self");
      if (!dirs.insert(row, &tran)) return dirs.m_dbError.m_errorCode;
      int ended = c.commit ? tran.commit() : tran.rollback();
      return ended != db::kOk ? ended : c.returned;
    });
    EXPECT_EQ(code, c.expected) << c.name;
    EXPECT_EQ(bodies, 1) << c.name;
    EXPECT_EQ(countRows(("clientId = " + std::to_string(client)).c_str()), c.stored) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Storages, TransactionThreads, fileAndServer(), storageName);

}  // namespace
}  // namespace divu::test
