// Removing FLR consistency points ages their jobs; snapshots update by name.
#include <gtest/gtest.h>

#include "CascadeSupport.h"

namespace divu::test {
namespace {

class ConsistencyPoints : public StorageTest {
 protected:
  int addPoint(int job, int cell = kSeedCell) { return seedPoint(job, cell); }
  void addStats(int job, int cell = kSeedCell) { seedJob(job, 0, cell); }
  int dataStatus(int job) {
    auto rows = readAll<JMBkpStats>(("jobId = " + std::to_string(job)).c_str());
    return rows.empty() ? -1 : rows[0].dataStatus;
  }
  unsigned int points() {
    unsigned int count = 0;
    EXPECT_TRUE(m_points.getNRows(nullptr, count, nullptr));
    return count;
  }
  FLRConsistencyPointDB m_points;
};

TEST_P(ConsistencyPoints, RemovalAgesEachPointsJobThenDeletes) {
  addStats(11);
  addStats(12);
  addPoint(11);
  addPoint(11);
  addPoint(12);
  int orphan = addPoint(13);

  traceStatements();
  ASSERT_TRUE(m_points.remove(orphan, nullptr));  // no statistics row: deleted without update
  EXPECT_EQ(statementsWith("UPDATE"), 0);
  EXPECT_EQ(statementsWith("DELETE FROM YLFLRConsistencyPoint WHERE id = " + std::to_string(orphan)), 1);

  m_statements.clear();
  ASSERT_TRUE(m_points.remove("JobId = 11", nullptr));
  EXPECT_EQ(statementsWith("UPDATE JMBkpStats SET datastatus = 2, AgedTime = "), 2);  // once per point
  EXPECT_EQ(statementsWith(" WHERE zorbCellId = 2 AND JobId = 11"), 4);  // two counts, two updates
  EXPECT_EQ(dataStatus(11), 2);
  EXPECT_EQ(dataStatus(12), 1);
  auto aged = readAll<JMBkpStats>("jobId = 11");
  EXPECT_EQ(aged[0].agedTime, aged[0].mediaDeletedTime);
  EXPECT_EQ(aged[0].modifiedTime, 0);  // not written by this ageing

  m_statements.clear();
  ASSERT_TRUE(m_points.remove("JobId = 999", nullptr));  // matches nothing, still deletes
  EXPECT_EQ(statementsWith("DELETE FROM YLFLRConsistencyPoint WHERE JobId = 999"), 1);

  EXPECT_FALSE(m_points.remove(orphan, nullptr));  // missing id: fails, updates nothing
  EXPECT_EQ(m_points.m_dbError.m_function, "CRepBaseDB::getRowForQuery()");

  ASSERT_TRUE(m_points.remove(static_cast<const char*>(nullptr), nullptr));  // every point
  EXPECT_EQ(points(), 0u);
  EXPECT_EQ(dataStatus(12), 2);
}

TEST_P(ConsistencyPoints, AFailedAgeingKeepsEveryPointAndEarlierAgeing) {
  addStats(11);
  addStats(12);
  addPoint(11);
  addPoint(12);
  DBtran tran;
  ASSERT_EQ(tran.begin(), db::kOk);
  db::fault::inject(db::fault::Call::Update, db::kIoError, 1, 1);
  EXPECT_FALSE(m_points.remove("JobId > 0", &tran));
  EXPECT_EQ(m_points.m_dbError.m_function, "CRepBaseDB::executeUpdateQuery()");
  EXPECT_EQ(readAll<JMBkpStats>("jobId = 11 AND dataStatus = 2", &tran).size(), 1u);
  EXPECT_EQ(readAll<YLFLRConsistencyPoint>(nullptr, &tran).size(), 2u);
  tran.rollback();
}

TEST_P(ConsistencyPoints, FailuresAtEveryEngineCallRollBackExactly) {
  addStats(11);
  addPoint(11);
  addPoint(11);
  addPoint(12);  // no statistics row
  std::unique_ptr<FLRConsistencyPointDB> facade;
  int swept = sweepEveryCall(
      [&](DBtran& tran) {
        facade = std::make_unique<FLRConsistencyPointDB>();
        return facade->remove("id > 0", &tran);
      },
      [&](db::fault::Call call, const std::string& table) {
        EXPECT_EQ(facade->m_dbError.m_function, functionOf(call)) << table;
        EXPECT_EQ(facade->m_dbError.m_tableName, table);
      });
  // list (open, count, 3 fetches), 3 counts, 2 updates, the delete
  EXPECT_EQ(swept, 5 + 3 + 2 + 1);
  RecordProperty("fault_points_consistency_point_removal", swept);
}

TEST_P(ConsistencyPoints, SnapshotUpdateByNameSendsTheNameAsGiven) {
  FLRSnapshotDB snapshots;
  YLFLRSnapshot_t snapshot;
  strcpy_s(snapshot.Name, sizeof snapshot.Name, "nightly");
  ASSERT_TRUE(snapshots.insert(snapshot, nullptr));
  ASSERT_TRUE(snapshots.insert(snapshot, nullptr));

  traceStatements();
  ASSERT_TRUE(snapshots.Update("'nightly'", "Flags = 8", nullptr));
  EXPECT_EQ(m_statements.back(), "UPDATE YLFLRSnapshot SET Flags = 8 WHERE Name = 'nightly'");
  EXPECT_EQ(readAll<YLFLRSnapshot>("Flags = 8").size(), 2u);

  EXPECT_FALSE(snapshots.Update("nightly", "Flags = 9", nullptr));  // unquoted: a column word to SQL
  EXPECT_EQ(m_statements.back(), "UPDATE YLFLRSnapshot SET Flags = 9 WHERE Name = nightly");
  EXPECT_NE(snapshots.m_dbError.m_errorText.find(backendText("no such column: nightly", "column \"nightly\" does not exist")),
            std::string::npos)
      << snapshots.m_dbError.m_errorText;

  m_statements.clear();
  snapshots.m_dbError.m_errorCode = 31337;
  EXPECT_FALSE(snapshots.Update("", "Flags = 1", nullptr));
  EXPECT_FALSE(snapshots.Update(static_cast<const char*>(nullptr), "Flags = 1", nullptr));
  EXPECT_FALSE(snapshots.Update("'nightly'", "", nullptr));
  EXPECT_FALSE(snapshots.Update("'nightly'", nullptr, nullptr));
  EXPECT_TRUE(m_statements.empty());
  EXPECT_EQ(snapshots.m_dbError.m_errorCode, 31337);
  ASSERT_TRUE(snapshots.Update(snapshot.id, "Flags = 1", nullptr));  // by id still there
}

INSTANTIATE_TEST_SUITE_P(Storages, ConsistencyPoints, fileAndServer(), storageName);

}  // namespace
}  // namespace divu::test
