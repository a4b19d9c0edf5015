// Removing a replicated volume: the history cascade, job ageing, and what a
// failure at any step leaves behind.
#include <gtest/gtest.h>

#include <thread>

#include "CascadeSupport.h"

namespace divu::test {
namespace {

constexpr int kCell = kSeedCell;

class VolumeRemoval : public StorageTest {
 protected:

  int addVolume(int role, int physical) { return seedVolume(role, physical); }
  int addHistory(int job, int destination, int cell = kCell, int pruneTime = 0) {
    return seedHistory(job, destination, cell, pruneTime);
  }
  void addJob(int job, int links, int cell = kCell) { seedJob(job, links, cell); }
  JMBkpStats_t stats(int job, int cell = kCell) {
    auto rows = readAll<JMBkpStats>(("jobId = " + std::to_string(job) + " AND zorbCellId = " + std::to_string(cell)).c_str());
    EXPECT_EQ(rows.size(), 1u);
    return rows.empty() ? JMBkpStats_t() : rows[0];
  }
  size_t links(int job, int cell = kCell) {
    return readAll<JMJobDataLink>(("childJobId = " + std::to_string(job) + " AND zorbCellId = " + std::to_string(cell)).c_str())
        .size();
  }
  YLJobVolumeHistory_t historyRow(int id) {
    auto rows = readAll<YLJobVolumeHistory>(("id = " + std::to_string(id)).c_str());
    EXPECT_EQ(rows.size(), 1u);
    return rows.empty() ? YLJobVolumeHistory_t() : rows[0];
  }
  bool volumeExists(int id) {
    YLVolume_t volume;
    return CReplicationVolumeDB().getInfo(id, volume, nullptr);
  }

  CReplicationVolumeDB m_volumes;
  CYLJobVolumeHistoryDB m_history;
};

TEST_P(VolumeRemoval, RolesOutsideTheCascadeDeleteOnlyTheVolume) {
  addJob(101, 1);
  addHistory(101, 500);
  for (int role : {0, 4, 6, -1}) {
    int id = addVolume(role, 500);
    std::string before = dumpDatabase();
    traceStatements();
    ASSERT_TRUE(m_volumes.remove(id, nullptr)) << role;
    EXPECT_EQ(m_statements.size(), 2u) << "read and delete only";
    for (const std::string& sql : m_statements)
      EXPECT_EQ(sql.find("YLJobVolumeHistory"), std::string::npos) << "role " << role << ": " << sql;
    EXPECT_FALSE(volumeExists(id));
  }
  EXPECT_EQ(historyRow(1).pruneTime, 0);
}

TEST_P(VolumeRemoval, CascadeRolesWithoutLiveHistoryTouchNoJobTable) {
  addJob(101, 1);
  addHistory(101, 500, kCell, 1700000000);  // marked already: never listed
  for (int role : {1, 2, 3, 5}) {
    int id = addVolume(role, 500);
    traceStatements();
    ASSERT_TRUE(m_volumes.remove(id, nullptr));
    EXPECT_FALSE(volumeExists(id));
    EXPECT_EQ(statementsWith("JMBkpStats") + statementsWith("JMJobDataLink"), 0) << role;
    EXPECT_EQ(statementsWith("FROM YLJobVolumeHistory WHERE (\nDstVolId = 500\n) AND pruneTime = 0 ORDER BY id ASC"), 1);
    EXPECT_EQ(statementsWith("SELECT COUNT(*) FROM YLJobVolumeHistory WHERE (\nDstVolId = 500\n) AND pruneTime = 0"), 1);
  }
  EXPECT_EQ(stats(101).dataStatus, 1);
  EXPECT_EQ(links(101), 1u);
}

TEST_P(VolumeRemoval, AgesEachJobOnceWhenItsLastLiveHistoryRowGoes) {
  for (int role : {1, 2, 3, 5}) {
    SCOPED_TRACE("role " + std::to_string(role));
    ASSERT_EQ(m_db->exec("DELETE FROM YLJobVolumeHistory; DELETE FROM JMBkpStats; DELETE FROM JMJobDataLink;"), db::kOk);
    addJob(101, 2);           // one live row on the volume, two child links
    addJob(101, 1, kCell + 1);  // same job id in another cell: must stay as it is
    addJob(102, 1);           // two live rows on the volume
    addJob(103, 1);           // rows on two volumes
    addJob(104, 0);           // no child links
    addJob(105, 1);           // only a marked row
    int h101 = addHistory(101, 500);
    int h102a = addHistory(102, 500), h102b = addHistory(102, 500);
    int h103a = addHistory(103, 500), h103b = addHistory(103, 600);
    int h104 = addHistory(104, 500);
    addHistory(105, 500, kCell, 1600000000);
    int first = addVolume(role, 500), second = addVolume(2, 600);

    traceStatements();
    ASSERT_TRUE(m_volumes.remove(first, nullptr)) << m_volumes.m_dbError.m_errorText;
    EXPECT_FALSE(volumeExists(first));

    for (int id : {h101, h102a, h102b, h103a, h104}) {
      YLJobVolumeHistory_t row = historyRow(id);
      EXPECT_GT(row.pruneTime, 0) << id;
      EXPECT_EQ(row.modified, row.pruneTime) << id;
    }
    EXPECT_EQ(historyRow(h103b).pruneTime, 0);

    JMBkpStats_t aged = stats(101);
    EXPECT_EQ(aged.dataStatus, 3);
    EXPECT_GT(aged.agedTime, 0);
    EXPECT_EQ(aged.mediaDeletedTime, aged.agedTime);
    EXPECT_EQ(aged.modifiedTime, aged.agedTime);
    EXPECT_EQ(aged.totalBackupSize, 1LL << 40);
    EXPECT_EQ(links(101), 0u);
    EXPECT_EQ(links(101, kCell + 1), 1u);
    EXPECT_EQ(stats(101, kCell + 1).dataStatus, 1);

    EXPECT_EQ(stats(102).dataStatus, 3);
    EXPECT_EQ(statementsWith("UPDATE JMBkpStats SET dataStatus = 3, AgedTime = " + std::to_string(aged.agedTime) +
                             ", mediaDeletedTime = " + std::to_string(aged.agedTime) +
                             ", modifiedTime = " + std::to_string(aged.agedTime) + " WHERE zorbCellId = 2 AND JobId = 102"),
              1);
    EXPECT_EQ(stats(103).dataStatus, 1);  // still live on the other volume
    EXPECT_EQ(links(103), 1u);
    EXPECT_EQ(stats(104).dataStatus, 3);  // aged without links to delete
    EXPECT_EQ(statementsWith("DELETE FROM JMJobDataLink WHERE zorbCellId = 2 AND childJobId = 104"), 0);
    EXPECT_EQ(stats(105).dataStatus, 1);
    EXPECT_EQ(statementsWith("JobId = 105"), 0);

    ASSERT_TRUE(m_volumes.remove(second, nullptr));
    EXPECT_EQ(stats(103).dataStatus, 3);
    EXPECT_EQ(links(103), 0u);
  }
}

TEST_P(VolumeRemoval, AFailedStatisticsUpdateStopsAndRollsBackWhole) {
  addJob(101, 2);
  int row = addHistory(101, 500);
  int volume = addVolume(1, 500);
  const std::string before = dumpDatabase();

  DBtran tran;
  ASSERT_EQ(tran.begin(), db::kOk);
  db::fault::inject(db::fault::Call::Update, db::kIoError, 1, 1);  // the mark passes, the ageing fails
  EXPECT_FALSE(m_volumes.remove(volume, &tran));
  EXPECT_EQ(m_volumes.m_dbError.m_function, "CRepBaseDB::executeUpdateQuery()");
  EXPECT_EQ(m_volumes.m_dbError.m_tableName, "JMBkpStats");
  EXPECT_EQ(m_volumes.m_dbError.m_errorCode, db::kIoError);

  auto marked = readAll<YLJobVolumeHistory>(("id = " + std::to_string(row)).c_str(), &tran);
  ASSERT_EQ(marked.size(), 1u);
  EXPECT_GT(marked[0].pruneTime, 0);
  EXPECT_EQ(readAll<JMJobDataLink>("childJobId = 101", &tran).size(), 0u);
  YLVolume_t kept;
  EXPECT_TRUE(m_volumes.getInfo(volume, kept, &tran));

  ASSERT_EQ(tran.rollback(), db::kOk);
  EXPECT_EQ(dumpDatabase(), before);
}

TEST_P(VolumeRemoval, AFailureAtEveryEngineCallIsReportedAndRollsBackExactly) {
  addJob(101, 2);
  addJob(102, 1);
  addHistory(101, 500);
  addHistory(102, 500);
  addHistory(102, 500);
  int volume = addVolume(3, 500);

  std::unique_ptr<CReplicationVolumeDB> facade;
  int swept = sweepEveryCall(
      [&](DBtran& tran) {
        facade = std::make_unique<CReplicationVolumeDB>();
        return facade->remove(volume, &tran);
      },
      [&](db::fault::Call call, const std::string& table) {
        // A failed history step is recorded here too, as the step recorded it.
        const CReplicationDBError& error = facade->m_dbError;
        EXPECT_EQ(error.m_errorCode, db::kError) << table;
        EXPECT_EQ(error.m_function, functionOf(call)) << table;
        EXPECT_EQ(error.m_tableName, table);
        EXPECT_NE(error.m_errorText.find("injected"), std::string::npos) << table;
      });
  // read, list (open, count, 3 fetches), per row: count, read, mark; two
  // ageings (link count, link delete, stats update); final delete.
  EXPECT_EQ(swept, 1 + 5 + 9 + 6 + 1);
  RecordProperty("fault_points_volume_removal", swept);
}

TEST_P(VolumeRemoval, HistoryThatChangesBetweenItsListAndItsCountIsAFailureWithACode) {
  addJob(101, 1);
  addHistory(101, 500);
  int volume = addVolume(1, 500);
  // Another connection prunes the listed row just before the job's rows are counted.
  bool pruned = false;
  db::trace::set([&](const std::string& sql) {
    if (pruned || sql.find("COUNT") == std::string::npos || sql.find("JobId = 101") == std::string::npos) return;
    pruned = true;
    std::thread([&] { EXPECT_EQ(m_db->exec("UPDATE YLJobVolumeHistory SET pruneTime = 7"), db::kOk); }).join();
  });
  EXPECT_FALSE(m_volumes.remove(volume, nullptr));
  db::trace::set(nullptr);
  ASSERT_TRUE(pruned);
  EXPECT_EQ(m_volumes.m_dbError.m_errorCode, db::kError);
  EXPECT_EQ(m_volumes.m_dbError.m_function, "CReplicationVolumeDB::remove()");
  EXPECT_NE(m_volumes.m_dbError.m_errorText.find("counted 0"), std::string::npos) << m_volumes.m_dbError.m_errorText;
  EXPECT_TRUE(volumeExists(volume));
}

INSTANTIATE_TEST_SUITE_P(Storages, VolumeRemoval, fileAndServer(), storageName);

}  // namespace
}  // namespace divu::test
