// The schema upgrade on PostgreSQL when the server ends the upgrading
// connection in the middle of the step: nothing of the step may stay, and
// the next upgrade must finish it.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include "RevisionZero.h"
#include "TestSupport.h"

namespace divu::test {
namespace {

// A libpq connection of the test's own, beside the library's.
class RawPg {
 public:
  explicit RawPg(const std::string& url) : m_conn(PQconnectdb(url.c_str())) {}
  ~RawPg() { PQfinish(m_conn); }
  RawPg(const RawPg&) = delete;
  RawPg& operator=(const RawPg&) = delete;

  // Every row of `sql`, fields joined by '|', NULL as "NULL", one row a line;
  // "failed: reason" when it fails.
  std::string rows(const std::string& sql) {
    PGresult* result = PQexec(m_conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    std::string out;
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
      out = "failed: " + std::string(PQerrorMessage(m_conn));
    } else {
      for (int row = 0; row < PQntuples(result); ++row) {
        for (int field = 0; field < PQnfields(result); ++field)
          out += std::string(field ? "|" : "") + (PQgetisnull(result, row, field) ? "NULL" : PQgetvalue(result, row, field));
        out += "\n";
      }
    }
    PQclear(result);
    return out;
  }

 private:
  PGconn* m_conn;
};

TEST(PostgresUpgrade, AConnectionEndedMidStepIsUndoneAndTheStepRunAgain) {
  if (postgresTestUrl().empty()) GTEST_SKIP() << "no PostgreSQL server given (DIVU_TEST_POSTGRES_URL)";
  // On the server itself: the test finds the upgrader's server process by its
  // application_name, which a pooler's server connections keep after the
  // client has moved on, and ends it.
  PostgresSchema schema(true);
  ASSERT_EQ(schema.create(), "");
  RawPg raw(schema.url());
  std::string error;
  {
    std::shared_ptr<db::Database> setup = db::Database::open(schema.url(), &error);
    ASSERT_TRUE(setup) << error;
    ASSERT_EQ(makeRevisionZero(*setup), "");
  }
  // Rows at the edges the limits allow, ids with gaps and a freed top id.
  ASSERT_EQ(raw.rows(R"(
      INSERT INTO YLJobVolumeHistory (JobId, zorbCellId, SrcClientName, SrcBlockCount, DstVolId, Flags, spaceUsed)
        SELECT i, 2, 'client-ü-' || i, i * 1000003::bigint, i % 3, -i, i * 1099511627776 FROM generate_series(1, 300) AS i;
      DELETE FROM YLJobVolumeHistory WHERE id % 7 = 0 OR id = 300;
      INSERT INTO JMBkpStats (jobId, zorbCellId, appId, failureReason, username, totalBackupSize)
        SELECT i, 2, i % 5, CASE WHEN i % 9 = 0 THEN 'media «full»' END, 'user' || i, i * 1073741824::bigint
        FROM generate_series(1, 100) AS i;
      INSERT INTO YLDevice (Name, Flags) VALUES (repeat('d', 256), 2147483647), ('ünï', -2147483648))"),
            "");

  // What must not change, and the checks the step adds.
  std::string rowsSql, constraintsSql =
      "SELECT count(*) FROM pg_constraint c JOIN pg_namespace n ON n.oid = c.connamespace "
      "WHERE n.nspname = '" + schema.name() + "' AND c.contype = 'c'";
  int limits = 0;
  for (const db::TableDef* def : catalogueTables()) {
    rowsSql += std::string(rowsSql.empty() ? "" : " UNION ALL ") + "(SELECT '" + def->name + "' || " +
               "string_agg(CAST(t AS text), ',' ORDER BY CAST(t AS text)) FROM " + def->name + " AS t)";
    for (const db::ColumnDef& column : def->columns)
      limits += !db::engine::columnLimit(*def, column, db::SqlDialect::Postgres).expression.empty();
  }
  rowsSql = "SELECT line FROM (" + rowsSql + " UNION ALL SELECT sequencename || last_value FROM pg_sequences " +
            "WHERE schemaname = '" + schema.name() + "') AS d(line) ORDER BY line";
  const std::string before = raw.rows(rowsSql);
  ASSERT_EQ(before.find("failed: "), std::string::npos) << before;
  ASSERT_NE(before.find("client-ü-299"), std::string::npos);
  ASSERT_EQ(raw.rows(constraintsSql), "0\n");
  ASSERT_GT(limits, 0);
  auto revision = [&] {
    std::shared_ptr<db::Database> reader = db::Database::open(schema.url(), &error);
    db::SchemaRevision found;
    EXPECT_TRUE(reader && reader->readRevision(catalogueTables(), found, &error) == db::kOk) << error;
    return found.recorded;
  };
  ASSERT_EQ(revision(), 0);

  // The upgrader names itself, so that the other connection finds its
  // server process and ends it at the step's first table.
  const std::string name = schema.name() + "_upgrader";
  std::shared_ptr<db::Database> upgrader = db::Database::open(withOption(schema.url(), "application_name", name), &error);
  ASSERT_TRUE(upgrader) << error;
  int tableEvents = 0;
  std::string seen;
  db::UpgradeOptions options;
  options.progress = [&](const db::UpgradeEvent& event) {
    if (event.kind != db::UpgradeEvent::Kind::Table || tableEvents++) return;
    const std::string where = " FROM pg_stat_activity WHERE application_name = '" + name + "' AND pid <> pg_backend_pid()";
    seen = raw.rows("SELECT state" + where);
    raw.rows("SELECT pg_terminate_backend(pid, 5000)" + where);
  };
  // The step's transaction ends with its connection; the upgrade connects
  // again and runs the step anew from revision 0, in one transaction that
  // keeps every row.
  db::UpgradeResult result;
  const int code = divu::upgradeCatalogue(*upgrader, options, &result, &error);
  EXPECT_EQ(seen, "idle in transaction\n");
  EXPECT_GT(tableEvents, 1) << "the step was not run again";
  EXPECT_EQ(code, db::kOk) << error;
  EXPECT_EQ(result.from, 0);
  EXPECT_EQ(result.to, 1);
  EXPECT_EQ(revision(), 1);
  EXPECT_EQ(raw.rows(constraintsSql), std::to_string(limits) + "\n");
  EXPECT_TRUE(raw.rows(rowsSql) == before) << "rows changed";
  upgrader.reset();  // before the schema is dropped
}

}  // namespace
}  // namespace divu::test
