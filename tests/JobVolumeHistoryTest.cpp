// Job volume history: marking instead of deleting, live-only reads, pruning.
#include <gtest/gtest.h>

#include "CascadeSupport.h"

namespace divu::test {
namespace {

class JobVolumeHistory : public StorageTest {
 protected:
  int add(int job, int destination = 500) { return seedHistory(job, destination); }
  int pruneTimeOf(int id) {
    auto rows = readAll<YLJobVolumeHistory>(("id = " + std::to_string(id)).c_str());
    return rows.empty() ? -1 : rows[0].pruneTime;
  }
  void setPruneTime(int id, int time) {
    ASSERT_TRUE(m_history.Update(id, ("pruneTime = " + std::to_string(time)).c_str(), nullptr));
  }
  std::string lastWhereOfList(CYLJobVolumeHistoryDB& history, const char* where) {
    YLJobVolumeHistory_t* rows = nullptr;
    unsigned int count = 0;
    traceStatements();
    EXPECT_TRUE(history.getList(rows, count, where, nullptr, nullptr));
    history.deleteList(rows);
    std::string select = m_statements.front();  // the cursor; the count follows
    size_t from = select.find(" FROM YLJobVolumeHistory");
    return select.substr(from + strlen(" FROM YLJobVolumeHistory"));
  }
  CYLJobVolumeHistoryDB m_history;
};

TEST_P(JobVolumeHistory, ListsSeeLiveRowsUntilThisFacadePrunes) {
  int live = add(1), marked = add(1);
  ASSERT_TRUE(m_history.remove(marked, nullptr));
  CYLJobVolumeHistoryDB history;
  struct Case {
    const char* where;
    const char* beforePrune;
    const char* afterPrune;
  } cases[] = {
      {nullptr, " WHERE pruneTime = 0 ORDER BY id", " ORDER BY id"},
      {"", " WHERE pruneTime = 0 ORDER BY id", " ORDER BY id"},
      {"JobId = 1", " WHERE (\nJobId = 1\n) AND pruneTime = 0 ORDER BY id", " WHERE JobId = 1 ORDER BY id"},
  };
  for (const Case& c : cases) EXPECT_EQ(lastWhereOfList(history, c.where), c.beforePrune);
  ASSERT_TRUE(history.prune(0, nullptr));  // deletes nothing: 0 is before every mark
  EXPECT_FALSE(history.m_unprunedOnly);
  for (const Case& c : cases) EXPECT_EQ(lastWhereOfList(history, c.where), c.afterPrune);

  // Reads by id never see a marked row, whatever the list filter says.
  YLJobVolumeHistory_t row;
  EXPECT_TRUE(history.getInfo(live, row, nullptr));
  EXPECT_FALSE(history.getInfo(marked, row, nullptr));
  EXPECT_EQ(history.m_dbError.m_errorCode, db::kNoRow);
}

TEST_P(JobVolumeHistory, MarkingKeepsTheFirstTimeAndMissingRowsRemoveAsSuccess) {
  int a = add(1), b = add(1), c = add(2);
  setPruneTime(b, 1234);
  unsigned int count = 0;
  ASSERT_TRUE(m_history.getNRows("JobId = 1", count, nullptr));
  EXPECT_EQ(count, 1u);  // only live rows count
  ASSERT_TRUE(m_history.getNRows(nullptr, count, nullptr));  // no condition: all live rows
  EXPECT_EQ(count, 2u);
  ASSERT_TRUE(m_history.getNRows("", count, nullptr));
  EXPECT_EQ(count, 2u);

  for (int id : {b, 99999}) {  // already marked, missing
    traceStatements();
    EXPECT_TRUE(m_history.remove(id, nullptr)) << id;
    EXPECT_EQ(m_history.m_dbError.m_errorCode, db::kNoRow) << id;
    EXPECT_EQ(statementsWith("UPDATE"), 0) << id;
  }
  EXPECT_EQ(pruneTimeOf(b), 1234);

  auto rows = readAll<YLJobVolumeHistory>("id > 0");
  ASSERT_EQ(rows.size(), 3u);
  traceStatements();
  ASSERT_TRUE(m_history.updatePruneTime(rows.data(), 3, nullptr));
  EXPECT_EQ(m_statements.size(), 2u);  // b is skipped
  EXPECT_EQ(pruneTimeOf(b), 1234);
  EXPECT_GT(pruneTimeOf(a), 1234);
  EXPECT_EQ(pruneTimeOf(c), pruneTimeOf(a));  // one time per call
  EXPECT_EQ(rows[0].pruneTime, 0);  // the records themselves are not changed

  m_statements.clear();
  EXPECT_TRUE(m_history.updatePruneTime(nullptr, 0, nullptr));
  EXPECT_TRUE(m_statements.empty());

  YLJobVolumeHistory_t fresh;
  fresh.pruneTime = 77;
  ASSERT_TRUE(m_history.insert(fresh, nullptr));
  EXPECT_EQ(fresh.pruneTime, 0);
  EXPECT_EQ(pruneTimeOf(fresh.id), 0);
}

TEST_P(JobVolumeHistory, RemoveByWhereMarksEveryListedLiveRow) {
  int a = add(1), b = add(2), c = add(3);
  EXPECT_TRUE(m_history.remove("JobId = 42", nullptr));  // nothing matches
  EXPECT_EQ(pruneTimeOf(a) + pruneTimeOf(b) + pruneTimeOf(c), 0);
  ASSERT_TRUE(m_history.remove("JobId >= 2", nullptr));
  EXPECT_EQ(pruneTimeOf(a), 0);
  EXPECT_GT(pruneTimeOf(b), 0);
  ASSERT_TRUE(m_history.remove(static_cast<const char*>(nullptr), nullptr));  // every live row
  EXPECT_GT(pruneTimeOf(a), 0);
  unsigned int count = 9;
  ASSERT_TRUE(m_history.getNRows(nullptr, count, nullptr));
  EXPECT_EQ(count, 0u);
}

TEST_P(JobVolumeHistory, PruneDeletesMarkedRowsUpToTheCutoffAndNeverLiveOnes) {
  int live = add(1), atCutoff = add(1), after = add(1), early = add(1);
  setPruneTime(atCutoff, 1000);
  setPruneTime(after, 1001);
  setPruneTime(early, 5);
  ASSERT_TRUE(m_history.prune(-1, nullptr));  // a negative cut-off deletes nothing
  EXPECT_EQ(readAll<YLJobVolumeHistory>("id > 0").size(), 4u);
  ASSERT_TRUE(m_history.prune(1000, nullptr));
  EXPECT_EQ(pruneTimeOf(live), 0);
  EXPECT_EQ(pruneTimeOf(atCutoff), -1);
  EXPECT_EQ(pruneTimeOf(early), -1);
  EXPECT_EQ(pruneTimeOf(after), 1001);
}

TEST_P(JobVolumeHistory, FailuresAtEveryEngineCallOfRemoveAndPruneRollBackExactly) {
  int a = add(1), b = add(2);
  add(3);
  setPruneTime(a, 10);
  setPruneTime(b, 20);

  struct Case {
    const char* name;
    std::function<bool(CYLJobVolumeHistoryDB&, DBtran&)> run;
    int expected;
  } cases[] = {
      // the one live row listed (open, count, fetch), then marked
      {"remove by WHERE", [](CYLJobVolumeHistoryDB& h, DBtran& t) { return h.remove("JobId >= 2", &t); }, 3 + 1},
      // three rows listed (open, count, 3 fetches), one deleted; then two listed, one deleted
      {"prune", [](CYLJobVolumeHistoryDB& h, DBtran& t) { return h.prune(15, &t) && h.prune(25, &t); }, 5 + 1 + 4 + 1},
  };
  for (const Case& c : cases) {
    std::unique_ptr<CYLJobVolumeHistoryDB> facade;
    int swept = sweepEveryCall(
        [&](DBtran& tran) {
          facade = std::make_unique<CYLJobVolumeHistoryDB>();
          return c.run(*facade, tran);
        },
        [&](db::fault::Call call, const std::string& table) {
          EXPECT_EQ(table, "YLJobVolumeHistory");
          EXPECT_EQ(facade->m_dbError.m_function, functionOf(call)) << c.name;
        });
    EXPECT_EQ(swept, c.expected) << c.name;
    RecordProperty(std::string("fault_points_history_") + (c.name[0] == 'p' ? "prune" : "remove"), swept);
  }
}

INSTANTIATE_TEST_SUITE_P(Storages, JobVolumeHistory, fileAndServer(), storageName);

}  // namespace
}  // namespace divu::test
