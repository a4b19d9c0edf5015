// The generic row operations: retry budget, error capture, list cleanup, and
// the descriptors that carry SQL texts.
#include <gtest/gtest.h>

#include <cstring>

#include "DivUdurezevudoZE/ApplicationDirsDB.h"
#include "TestSupport.h"

namespace divu::test {
namespace {

using db::fault::Call;

class GenericOperations : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    if (IsSkipped()) return;
    for (int i = 1; i <= 4; ++i) {
      YLApplicationDirs_t row;
      row.clientId = i;
      snprintf(row.path, sizeof row.path, "/data/%d", i);
      ASSERT_TRUE(m_dirs.insert(row, nullptr));
    }
  }
  ApplicationDirsDB m_dirs;
};

// One call per engine operation, so that each can be made to fail.
struct Operation {
  const char* name;
  Call call;
  const char* function;
  std::function<bool(ApplicationDirsDB&)> run;
};

std::vector<Operation> operations() {
  return {
      {"getInfo", Call::OneRow, "CRepBaseDB::getRowForQuery()",
       [](ApplicationDirsDB& d) { YLApplicationDirs_t r; return d.getInfo(1, r, nullptr); }},
      {"getList", Call::Open, "CRepBaseDB::getListForQuery()",
       [](ApplicationDirsDB& d) {
         YLApplicationDirs_t* l = nullptr;
         unsigned n = 0;
         bool ok = d.getList(l, n, nullptr, nullptr, nullptr);
         d.deleteList(l);
         return ok;
       }},
      {"remove", Call::Delete, "CRepBaseDB::deleteRow()", [](ApplicationDirsDB& d) { return d.remove(99, nullptr); }},
      {"insert", Call::Insert, "CRepBaseDB::insertRow()",
       [](ApplicationDirsDB& d) { YLApplicationDirs_t r; return d.insert(r, nullptr); }},
      {"Update", Call::Update, "CRepBaseDB::executeUpdateQuery()",
       [](ApplicationDirsDB& d) { return d.Update(1, "Flags = 2", nullptr); }},
      {"getNRows", Call::Count, "CRepBaseDB::getRowsInTable()",
       [](ApplicationDirsDB& d) { unsigned n; return d.getNRows(nullptr, n, nullptr); }},
  };
}

TEST_P(GenericOperations, RetryableCodeIsTriedSixTimesThenRecorded) {
  for (const Operation& op : operations()) {
    ApplicationDirsDB dirs;
    db::fault::clear();
    db::fault::inject(op.call, db::kRetry, -1);
    EXPECT_FALSE(op.run(dirs)) << op.name;
    EXPECT_EQ(db::fault::seen(op.call), 6u) << op.name;
    EXPECT_EQ(dirs.m_dbError.m_errorCode, db::kRetry) << op.name;
    EXPECT_EQ(dirs.m_dbError.m_function, op.function) << op.name;
    EXPECT_EQ(dirs.m_dbError.m_tableName, "YLApplicationDirs") << op.name;
    EXPECT_EQ(dirs.m_dbError.m_tableDescribe, "Table YLApplicationDirs") << op.name;
    EXPECT_EQ(dirs.m_dbError.m_retryCount, 0u) << op.name;
  }
}

TEST_P(GenericOperations, OtherFailuresAreNotRetried) {
  for (const Operation& op : operations()) {
    ApplicationDirsDB dirs;
    db::fault::clear();
    db::fault::inject(op.call, db::kIoError, -1);
    EXPECT_FALSE(op.run(dirs)) << op.name;
    EXPECT_EQ(db::fault::seen(op.call), 1u) << op.name;
    EXPECT_EQ(dirs.m_dbError.m_errorCode, db::kIoError) << op.name;
    EXPECT_EQ(dirs.m_dbError.m_function, op.function) << op.name;
    EXPECT_NE(dirs.m_dbError.m_errorText.find("injected"), std::string::npos) << op.name;
  }
}

TEST_P(GenericOperations, RetriesUsedBySuccessesAreNotGivenBack) {
  ApplicationDirsDB dirs;
  YLApplicationDirs_t row;
  db::fault::inject(Call::OneRow, db::kRetry, 3);
  ASSERT_TRUE(dirs.getInfo(1, row, nullptr));  // succeeded on the fourth attempt
  EXPECT_EQ(dirs.m_dbError.m_retryCount, 3u);
  EXPECT_EQ(dirs.m_dbError.m_errorCode, 0);

  db::fault::clear();
  db::fault::inject(Call::Delete, db::kRetry, -1);
  EXPECT_FALSE(dirs.remove(1, nullptr));
  EXPECT_EQ(db::fault::seen(Call::Delete), 3u);  // only two retries were left

  db::fault::clear();
  db::fault::inject(Call::Delete, db::kRetry, 5);  // the failure restored the budget
  EXPECT_TRUE(dirs.remove(1, nullptr));
}

TEST_P(GenericOperations, FailuresInsideAListLeaveNoListBehind) {
  struct Case {
    const char* name;
    Call call;
    int skip;
    unsigned int count;
    const char* function;
  } cases[] = {
      {"fetch fails on the third row", Call::Fetch, 2, 0, "CRepBaseDB::getListForQuery()"},
      {"count fails", Call::Count, 0, 4294967295u, "CRepBaseDB::getRowsInTable()"},
      {"open fails", Call::Open, 0, 0, "CRepBaseDB::getListForQuery()"},
  };
  for (const Case& c : cases) {
    db::fault::clear();
    db::fault::inject(c.call, db::kError, 1, c.skip);
    ApplicationDirsDB dirs;
    YLApplicationDirs_t* list = reinterpret_cast<YLApplicationDirs_t*>(&dirs);  // garbage to be replaced
    unsigned int count = 77;
    EXPECT_FALSE(dirs.getList(list, count, nullptr, nullptr, nullptr)) << c.name;
    EXPECT_EQ(list, nullptr) << c.name;
    EXPECT_EQ(count, c.count) << c.name;
    EXPECT_EQ(dirs.m_dbError.m_function, c.function) << c.name;
  }
  db::fault::clear();
  db::fault::inject(Call::Count, db::kError, -1);
  unsigned int count = 0;
  EXPECT_FALSE(m_dirs.getNRows("clientId > 0", count, nullptr));
  EXPECT_EQ(count, 4294967295u);
}

TEST_P(GenericOperations, ListsCountThenFetchExactlyThatMany) {
  YLApplicationDirs_t* list = nullptr;
  unsigned int count = 0;
  ASSERT_TRUE(m_dirs.getList(list, count, "clientId > 1", "clientId DESC", nullptr));
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(list[0].clientId, 4);
  EXPECT_EQ(list[2].clientId, 2);
  EXPECT_STREQ(list[2].path, "/data/2");
  m_dirs.deleteList(list);
  EXPECT_EQ(list, nullptr);
  m_dirs.deleteList(list);  // a null list is left alone
}

INSTANTIATE_TEST_SUITE_P(Storages, GenericOperations, everyStorage(), storageName);

TEST(ErrorRecord, IsDBErrorAndSetFollowTheirRules) {
  CReplicationDBError error;
  EXPECT_EQ(error.m_errorCode, 0);
  EXPECT_TRUE(error.m_function.empty());
  error.m_retryCount = 3;
  error.m_errorText = "old";
  EXPECT_FALSE(error.isDBError(0));  // success keeps texts and retries
  EXPECT_EQ(error.m_errorText, "old");
  EXPECT_EQ(error.m_retryCount, 3u);
  EXPECT_TRUE(error.isDBError(2001));  // failure clears, then keeps the code
  EXPECT_EQ(error.m_errorCode, 2001);
  EXPECT_TRUE(error.m_errorText.empty());
  EXPECT_EQ(error.m_retryCount, 0u);

  for (int i = 0; i < 5; ++i) EXPECT_TRUE(error.RetryOp(1025));
  EXPECT_FALSE(error.RetryOp(1025));
  EXPECT_FALSE(CReplicationDBError().RetryOp(100));

  YLApplicationDirs binding(nullptr);
  error.m_errorCode = 100;
  error.set("CRepBaseDB::getRowForQuery()", binding);
  EXPECT_EQ(error.m_errorCode, 100);
  EXPECT_EQ(error.m_function, "CRepBaseDB::getRowForQuery()");
  EXPECT_EQ(error.m_tableName, "YLApplicationDirs");
  EXPECT_EQ(error.m_retryCount, 0u);
}

TEST(Descriptors, OwnTheirTextsAndCopyTheirOwnTextSafely) {
  CRDBListQueryOp query;
  EXPECT_EQ(query.m_where, nullptr);
  EXPECT_EQ(query.setWhere(""), 1);
  ASSERT_NE(query.m_where, nullptr);  // an empty text is stored, not null
  EXPECT_STREQ(query.m_where, "");
  EXPECT_EQ(query.setWhere(nullptr), 1);
  EXPECT_EQ(query.m_where, nullptr);

  ASSERT_EQ(query.setOrderBy("id DESC, clientId"), 1);
  EXPECT_EQ(query.setOrderBy(query.m_orderBy), 1);  // its own current text
  EXPECT_STREQ(query.m_orderBy, "id DESC, clientId");
  query.clear();
  EXPECT_EQ(query.m_orderBy, nullptr);

  CRDBUpdateOp update;
  ASSERT_EQ(update.setUpdate("Flags = 1"), 1);
  EXPECT_EQ(update.setUpdate(update.m_update), 1);
  EXPECT_STREQ(update.m_update, "Flags = 1");
  EXPECT_EQ(update.setWhere(update.m_where), 1);  // null stays null
  EXPECT_EQ(update.m_where, nullptr);

  CRepBaseDB base;
  YLApplicationDirs* binding = nullptr;
  CRDBUpdateOp empty;
  base.m_dbError.m_errorCode = 42;
  EXPECT_TRUE(base.executeUpdateQuery(binding, empty, nullptr));  // no SET text: nothing to do
  EXPECT_EQ(base.m_dbError.m_errorCode, 42);
}

}  // namespace
}  // namespace divu::test
