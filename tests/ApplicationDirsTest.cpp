// The application directories table: its record, binding and facade.
#include <gtest/gtest.h>

#include <cstring>

#include "DivUdurezevudoZE/ApplicationDirsDB.h"
#include "TestSupport.h"

namespace divu::test {
namespace {

class ApplicationDirs : public StorageTest {
 protected:
  int insert(int client, const char* object) {
    YLApplicationDirs_t row;
    row.clientId = client;
    strcpy_s(row.objName, sizeof row.objName, object);
    EXPECT_TRUE(m_dirs.insert(row, nullptr)) << m_dirs.m_dbError.m_errorText;
    return row.id;
  }
  std::vector<int> listIds(const char* where, const char* order) {
    YLApplicationDirs_t* list = reinterpret_cast<YLApplicationDirs_t*>(this);
    unsigned int count = 99;
    EXPECT_TRUE(m_dirs.getList(list, count, where, order, nullptr)) << m_dirs.m_dbError.m_errorText;
    std::vector<int> ids;
    for (unsigned int i = 0; i < count; ++i) ids.push_back(list[i].id);
    if (count == 0) {
      EXPECT_EQ(list, nullptr);
    }
    m_dirs.deleteList(list);
    return ids;
  }
  ApplicationDirsDB m_dirs;
};

TEST_P(ApplicationDirs, InsertAssignsIdsAndListsFollowWhereAndOrder) {
  int a = insert(3, "a"), b = insert(1, "b"), c = insert(2, "c");
  EXPECT_GT(a, 0);
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(c, a + 2);

  struct Case {
    const char* where;
    const char* order;
    std::vector<int> ids;
  } cases[] = {
      {nullptr, nullptr, {a, b, c}},           // default order: id
      {nullptr, "clientId", {b, c, a}},        // a given order replaces it
      {"clientId >= 2", "objName DESC", {c, a}},
      {"clientId > 10", nullptr, {}},          // no match: true, null list, 0
      {"", "", {a, b, c}},                     // empty texts restrict nothing
  };
  for (const Case& c : cases) EXPECT_EQ(listIds(c.where, c.order), c.ids) << (c.where ? c.where : "null");

  // A deleted id is never handed out again.
  ASSERT_TRUE(m_dirs.remove(c, nullptr));
  EXPECT_EQ(insert(4, "d"), c + 1);
}

TEST_P(ApplicationDirs, GetInfoOfAMissingIdLeavesTheRowAndRecordsTheFailure) {
  int id = insert(5, "present");
  YLApplicationDirs_t row;
  ASSERT_TRUE(m_dirs.getInfo(id, row, nullptr));
  EXPECT_EQ(row.clientId, 5);
  EXPECT_STREQ(row.objName, "present");

  EXPECT_FALSE(m_dirs.getInfo(id + 100, row, nullptr));
  EXPECT_EQ(row.id, id);  // unchanged
  EXPECT_STREQ(row.objName, "present");
  EXPECT_EQ(m_dirs.m_dbError.m_errorCode, db::kNoRow);
  EXPECT_EQ(m_dirs.m_dbError.m_function, "CRepBaseDB::getRowForQuery()");
  EXPECT_EQ(m_dirs.m_dbError.m_tableName, "YLApplicationDirs");
  EXPECT_NE(m_dirs.m_dbError.m_errorText.find("id = " + std::to_string(id + 100)), std::string::npos);

  ASSERT_TRUE(m_dirs.getInfo(id, row, nullptr));  // a success keeps the old texts
  EXPECT_EQ(m_dirs.m_dbError.m_errorCode, 0);
  EXPECT_EQ(m_dirs.m_dbError.m_function, "CRepBaseDB::getRowForQuery()");
}

TEST_P(ApplicationDirs, UpdateSendsItsKeyTextAndRefusesMissingInput) {
  int id = insert(1, "x");
  traceStatements();
  ASSERT_TRUE(m_dirs.Update(id, "Flags = 9, pathType = 2", nullptr));
  ASSERT_EQ(m_statements.size(), 1u);
  EXPECT_EQ(m_statements[0], "UPDATE YLApplicationDirs SET Flags = 9, pathType = 2 WHERE  id = " + std::to_string(id));
  YLApplicationDirs_t row;
  ASSERT_TRUE(m_dirs.getInfo(id, row, nullptr));
  EXPECT_EQ(row.Flags, 9);
  EXPECT_EQ(row.pathType, 2);

  m_dirs.m_dbError.m_errorCode = 4711;
  m_statements.clear();
  EXPECT_FALSE(m_dirs.Update(-1, "Flags = 1", nullptr));
  EXPECT_FALSE(m_dirs.Update(id, "", nullptr));
  EXPECT_FALSE(m_dirs.Update(id, nullptr, nullptr));
  EXPECT_TRUE(m_statements.empty());
  EXPECT_EQ(m_dirs.m_dbError.m_errorCode, 4711);  // error record untouched

  unsigned int count = 0;
  ASSERT_TRUE(m_dirs.getNRows(nullptr, count, nullptr));
  EXPECT_EQ(count, 1u);
  ASSERT_TRUE(m_dirs.remove(static_cast<const char*>(nullptr), nullptr));  // null WHERE removes all
  ASSERT_TRUE(m_dirs.getNRows("", count, nullptr));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(m_statements.back(), "SELECT COUNT(*) FROM YLApplicationDirs");
}

TEST_P(ApplicationDirs, ANullTransactionRegistersNowhereButTakesTheLock) {
  unsigned long before = DBtable::DBCriticalSection.lockCount();
  {
    YLApplicationDirs binding(nullptr);
    EXPECT_EQ(binding.getTran(), nullptr);
    EXPECT_EQ(DBtable::DBCriticalSection.lockCount(), before + 1);
    EXPECT_EQ(DBtable::DBCriticalSection.GetLockOwner(), 0u);  // released again
  }
  DBtran tran;
  ASSERT_EQ(tran.begin(), db::kOk);
  int id = 0;
  {
    YLApplicationDirs_t row;
    ASSERT_TRUE(m_dirs.insert(row, &tran));
    id = row.id;
  }
  EXPECT_EQ(DBtable::DBCriticalSection.lockCount(), before + 2);
  ASSERT_EQ(tran.rollback(), db::kOk);
  YLApplicationDirs_t row;
  EXPECT_FALSE(m_dirs.getInfo(id, row, nullptr));
}

INSTANTIATE_TEST_SUITE_P(Storages, ApplicationDirs, everyStorage(), storageName);

TEST(ApplicationDirsBinding, SetsTheTableFactsAndNoDescriptorOnTheClassicPath) {
  // Bindings are final; the probe is the same template with access to the members.
  struct Probe : db::TableBinding<YLApplicationDirs_t, YLApplicationDirs_def, YLApplicationDirs_t2> {
    using TableBinding::TableBinding;
    const char* columnList() const { return m_columnList; }
    const char* version() const { return m_version; }
    const char* keyColumn() const { return m_keyColumn; }
    int* keyValue() const { return m_keyValue; }
    int bindState() const { return m_bindState; }
    void* descriptor() const { return m_rowDescriptor; }
    void* indicators() const { return m_connObject->extIndicatorArray(); }
    const long long* ownIndicators() const { return m_indicators; }
  };
  bool newer = DBtable::b_newDBBase;
  DBtable::b_newDBBase = false;
  Probe binding(nullptr);
  DBtable::b_newDBBase = newer;
  EXPECT_STREQ(binding.getTableName(), "YLApplicationDirs");
  EXPECT_STREQ(binding.getpDescribe(), "Table YLApplicationDirs");
  EXPECT_STREQ(binding.columnList(),
               "id, subclientId, clientId, pathType, objName, path, creationTime, modifyTime, ReplicationVolumeId, Flags");
  EXPECT_STREQ(binding.version(), "1.6.304.1");
  EXPECT_STREQ(binding.keyColumn(), "id");
  EXPECT_EQ(binding.keyValue(), &binding.getDataPtr()->id);
  EXPECT_EQ(binding.bindState(), 1);
  EXPECT_EQ(binding.descriptor(), nullptr);
  EXPECT_EQ(binding.indicators(), nullptr);  // not forwarded on the classic path
  EXPECT_EQ(YLApplicationDirs::kColumns, 10u);
  EXPECT_EQ(db::makeTableTexts(YLApplicationDirs_def::table).structDef, "i|i|i|i|s2049|s2049|i|i|i|i|");
}

TEST(ApplicationDirsRecord, StartsEmptyAndCopiesWithinEveryField) {
  YLApplicationDirs_t fresh;
  EXPECT_EQ(fresh.id + fresh.subclientId + fresh.clientId + fresh.pathType + fresh.creationTime + fresh.modifyTime +
                fresh.ReplicationVolumeId + fresh.Flags,
            0);
  EXPECT_STREQ(fresh.objName, "");
  EXPECT_STREQ(fresh.path, "");

  // A source field without terminator: the copy holds 2048 characters and a NUL.
  struct Guarded {
    YLApplicationDirs_t row;
    char after[16];
  };
  Guarded source, target;
  memset(source.row.objName, 'o', sizeof source.row.objName);
  strcpy_s(source.row.path, sizeof source.row.path, std::string(2048, 'p').c_str());
  source.row.Flags = 7;
  memset(target.after, '#', sizeof target.after);
  target.row = source.row;
  EXPECT_EQ(strlen(target.row.objName), 2048u);
  EXPECT_EQ(target.row.path, std::string(2048, 'p'));  // N - 1 characters survive whole
  EXPECT_EQ(target.row.Flags, 7);
  EXPECT_EQ(std::string(target.after, sizeof target.after), std::string(16, '#'));

  YLApplicationDirs_t copy(target.row);
  EXPECT_EQ(copy.path, std::string(2048, 'p'));
  copy = copy;  // no self-assignment test needed
  EXPECT_EQ(copy.path, std::string(2048, 'p'));
}

}  // namespace
}  // namespace divu::test
