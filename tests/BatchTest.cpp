// Batches of rows: insertRows and deleteRows against what the database then
// holds, read back with plain SQL.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "DivUdurezevudoZE/ReplicationVolumeDB.h"
#include "DivUdurezevudoZE/YLJobVolumeHistoryDB.h"
#include "TestSupport.h"

namespace divu::test {
namespace {

class Batch : public StorageTest {
 protected:
  // id -> (JobId, SourceGUID), as stored.
  std::map<int, std::pair<int, std::string>> stored() {
    std::map<int, std::pair<int, std::string>> rows;
    db::engine::Connection* connection = nullptr;
    EXPECT_EQ(m_db->autocommitConnection(connection, nullptr), db::kOk);
    db::engine::Statement* statement = nullptr;
    EXPECT_EQ(connection->prepare("SELECT id, JobId, SourceGUID FROM YLVolume", statement), db::kOk);
    while (statement->step() == db::kOk)
      rows[static_cast<int>(statement->columnInt64(0))] = {static_cast<int>(statement->columnInt64(1)),
                                                          std::string(statement->columnText(2))};
    connection->release(statement);
    return rows;
  }
  void exec(const char* sql) {
    db::engine::Connection* connection = nullptr;
    ASSERT_EQ(m_db->autocommitConnection(connection, nullptr), db::kOk);
    ASSERT_EQ(connection->exec(sql), db::kOk) << connection->lastErrorText();
  }
  std::vector<YLVolume_t> generate(std::mt19937& random, size_t count) {
    std::vector<YLVolume_t> rows(count);
    for (YLVolume_t& row : rows) {
      row.id = -7;  // assigned by the database, whatever the record held
      row.JobId = static_cast<int>(random() % 1000000);
      std::string guid(random() % 40, 'a');
      for (char& c : guid) c = static_cast<char>('!' + random() % 90);  // quotes and commas among them
      snprintf(row.SourceGUID, sizeof row.SourceGUID, "%s", guid.c_str());
    }
    return rows;
  }
  CReplicationVolumeDB m_volumes;
};

TEST_P(Batch, InsertedAndDeletedRowsAreExactlyWhatTheDatabaseHolds) {
  std::mt19937 random(20261209);
  std::map<int, std::pair<int, std::string>> expected;
  // Sizes around the pipeline's chunk, an empty batch among them.
  for (size_t count : {size_t{1}, size_t{0}, size_t{255}, size_t{256}, size_t{700}}) {
    std::vector<YLVolume_t> rows = generate(random, count);
    ASSERT_TRUE(m_volumes.insertRows(rows.data(), static_cast<unsigned>(count), nullptr)) << m_volumes.m_dbError.m_errorText;
    for (const YLVolume_t& row : rows) {
      EXPECT_TRUE(expected.emplace(row.id, std::make_pair(row.JobId, std::string(row.SourceGUID))).second)
          << "id " << row.id << " given twice";
    }
    ASSERT_EQ(stored(), expected) << count << " rows";
  }
  // Every third id, and ids of no row, deleted in one call; inside a
  // transaction of the caller's the same.
  for (bool inTransaction : {false, true}) {
    std::vector<int> keys{-1, 99999999};
    for (auto it = expected.begin(); it != expected.end();) {
      if (random() % 3 == 0) {
        keys.push_back(it->first);
        it = expected.erase(it);
      } else {
        ++it;
      }
    }
    DBtran tran;
    if (inTransaction) {
      ASSERT_EQ(tran.begin(), db::kOk);
    }
    ASSERT_TRUE(m_volumes.deleteRows(keys.data(), static_cast<unsigned>(keys.size()), inTransaction ? &tran : nullptr))
        << m_volumes.m_dbError.m_errorText;
    if (inTransaction) {
      ASSERT_EQ(tran.commit(), db::kOk);
    }
    EXPECT_EQ(stored(), expected);
  }
}

TEST_P(Batch, AFailingRowLeavesNoneOfItsBatch) {
  // The database's own rule rejects the row: a second JobId 42.
  exec("CREATE UNIQUE INDEX batch_job ON YLVolume (JobId)");
  std::mt19937 random(7);
  const auto before = stored();
  for (size_t failing : {size_t{0}, size_t{300}, size_t{599}}) {
    std::vector<YLVolume_t> rows = generate(random, 600);
    for (size_t i = 0; i < rows.size(); ++i) rows[i].JobId = static_cast<int>(1000 + i);
    rows[failing].JobId = 42;
    rows[failing == 0 ? 1 : 0].JobId = 42;
    // The one of the two that comes later fails.
    const size_t expectedFailure = failing == 0 ? 1 : failing;
    for (bool inTransaction : {false, true}) {
      DBtran tran;
      if (inTransaction) {
        ASSERT_EQ(tran.begin(), db::kOk);
      }
      unsigned int failedRow = 0;
      EXPECT_FALSE(m_volumes.insertRows(rows.data(), 600, inTransaction ? &tran : nullptr, &failedRow));
      EXPECT_EQ(m_volumes.m_dbError.m_errorCode, db::kConstraint) << m_volumes.m_dbError.m_errorText;
      EXPECT_EQ(failedRow, expectedFailure);
      EXPECT_NE(m_volumes.m_dbError.m_errorText.find("row " + std::to_string(expectedFailure + 1) + " of 600: "),
                std::string::npos)
          << m_volumes.m_dbError.m_errorText;
      if (inTransaction) {
        // The transaction goes on, as after one failed insert: a later batch
        // in it is stored.
        std::vector<YLVolume_t> later = generate(random, 3);
        for (size_t i = 0; i < later.size(); ++i) later[i].JobId = static_cast<int>(5000000 + failing * 10 + i);
        ASSERT_TRUE(m_volumes.insertRows(later.data(), 3, &tran)) << m_volumes.m_dbError.m_errorText;
        ASSERT_EQ(tran.commit(), db::kOk) << tran.lastError();
        auto now = stored();
        EXPECT_EQ(now.size(), before.size() + 3);
        for (const YLVolume_t& row : later) EXPECT_EQ(now.at(row.id).first, row.JobId);
        exec("DELETE FROM YLVolume WHERE JobId >= 5000000");
      }
      EXPECT_EQ(stored(), before);
    }
  }
}

// History rows go in live whatever the records hold, as single inserts do:
// a batch must not store rows that reads then hide as pruned.
TEST_P(Batch, HistoryRowsAreStoredLive) {
  CYLJobVolumeHistoryDB history;
  std::vector<YLJobVolumeHistory_t> rows(5);
  for (size_t i = 0; i < rows.size(); ++i) {
    rows[i].JobId = static_cast<int>(100 + i);
    rows[i].pruneTime = 12345;
  }
  ASSERT_TRUE(history.insertRows(rows.data(), 5, nullptr)) << history.m_dbError.m_errorText;
  unsigned int live = 0;
  ASSERT_TRUE(history.getNRows(nullptr, live, nullptr));
  EXPECT_EQ(live, 5u);
}

INSTANTIATE_TEST_SUITE_P(, Batch, fileAndServer(), storageName);

}  // namespace
}  // namespace divu::test
