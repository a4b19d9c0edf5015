// The SQLite upgrade copies each table in chunks of rowid: every row must
// arrive with its rowid, the extremes included.
#include <gtest/gtest.h>

#include <climits>

#include "RevisionZero.h"
#include "TestSupport.h"

namespace divu::test {
namespace {

// JMBkpStats has no serial key: its rowids are the database's own, and
// another client may give a row any of them.
TEST(UpgradeCopy, EveryRowidArrivesTheExtremesIncluded) {
  for (long long rowid : {LLONG_MIN, LLONG_MIN + 1, -1LL, 0LL, LLONG_MAX}) {
    SCOPED_TRACE(rowid);
    TempDir dir;
    std::string error;
    std::shared_ptr<db::Database> database = db::Database::open("sqlite:" + dir.file("r0.sqlite"), &error);
    ASSERT_TRUE(database) << error;
    ASSERT_EQ(makeRevisionZero(*database), "");
    const std::string insert = "INSERT INTO JMBkpStats (rowid, jobId, zorbCellId, appId) VALUES (7, 1, 2, 5), (" +
                               std::to_string(rowid) + ", 2, 2, 6)";
    ASSERT_EQ(database->exec(insert.c_str(), &error), db::kOk) << error;
    auto rows = [&] {
      db::engine::Connection* connection = nullptr;
      db::engine::Statement* statement = nullptr;
      std::string out;
      EXPECT_EQ(database->autocommitConnection(connection, &error), db::kOk) << error;
      EXPECT_EQ(connection->prepare("SELECT rowid, jobId, appId FROM JMBkpStats ORDER BY rowid", statement), db::kOk);
      while (statement && statement->step() == db::kOk)
        out += std::to_string(statement->columnInt64(0)) + ":" + std::to_string(statement->columnInt64(1)) + ":" +
               std::to_string(statement->columnInt64(2)) + " ";
      connection->release(statement);
      return out;
    };
    const std::string before = rows();

    db::UpgradeResult result;
    error.clear();
    const int code = upgradeCatalogue(*database, {}, &result, &error);
    db::SchemaRevision revision;
    ASSERT_EQ(database->readRevision(catalogueTables(), revision, &error), db::kOk) << error;
    EXPECT_EQ(code, db::kOk) << error;
    EXPECT_EQ(revision.recorded, 1);
    EXPECT_EQ(result.to, 1);
    EXPECT_EQ(rows(), before);
  }
}

}  // namespace
}  // namespace divu::test
