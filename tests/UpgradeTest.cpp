// Upgrades of catalogues made by the release before schema revisions (the
// committed fixtures), on both backends, judged through a raw client of the
// database: SQLite's C API or libpq, none of the engine.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "DivUdurezevudoZE/AllFacades.h"
#include "TestSupport.h"

#ifdef DIVU_WITH_POSTGRESQL
#include <libpq-fe.h>
#endif

namespace divu::test {
namespace {

using Dump = std::map<std::string, std::vector<std::string>>;

// A connection that is not the engine's: what another client of the file or
// the server sees and may do.
class RawClient {
 public:
  // `prelude`: what each PostgreSQL text starts with (the schema's search path).
  RawClient(Storage storage, const std::string& target, std::string prelude = "")
      : m_postgres(storage == Storage::Postgres), m_prelude(std::move(prelude)) {
    if (!m_postgres) {
      sqlite3_open_v2(target.c_str(), &m_sqlite, SQLITE_OPEN_READWRITE, nullptr);
      sqlite3_busy_timeout(m_sqlite, 5000);
      return;
    }
#ifdef DIVU_WITH_POSTGRESQL
    m_pg = PQconnectdb(target.c_str());
#endif
  }
  ~RawClient() {
    sqlite3_close(m_sqlite);
#ifdef DIVU_WITH_POSTGRESQL
    PQfinish(m_pg);
#endif
  }

  // Runs SQL (several statements allowed); "" or the database's message.
  std::string run(const std::string& sql) {
    std::vector<std::vector<std::string>> ignored;
    return query(sql, ignored);
  }

  // The rows of a query, each value as text ("\N" for NULL).
  std::string query(const std::string& sql, std::vector<std::vector<std::string>>& rows) {
    if (!m_postgres) {
      auto collect = [](void* out, int columns, char** values, char**) {
        auto& table = *static_cast<std::vector<std::vector<std::string>>*>(out);
        table.emplace_back();
        for (int i = 0; i < columns; ++i) table.back().emplace_back(values[i] ? values[i] : "\\N");
        return 0;
      };
      char* message = nullptr;
      if (sqlite3_exec(m_sqlite, sql.c_str(), collect, &rows, &message) == SQLITE_OK) return "";
      std::string text = message ? message : sqlite3_errmsg(m_sqlite);
      sqlite3_free(message);
      return text;
    }
#ifdef DIVU_WITH_POSTGRESQL
    PGresult* result = PQexec(m_pg, (m_prelude + sql).c_str());
    std::string text;
    if (PQresultStatus(result) == PGRES_TUPLES_OK) {
      for (int r = 0; r < PQntuples(result); ++r) {
        rows.emplace_back();
        for (int c = 0; c < PQnfields(result); ++c)
          rows.back().emplace_back(PQgetisnull(result, r, c) ? "\\N" : PQgetvalue(result, r, c));
      }
    } else if (PQresultStatus(result) != PGRES_COMMAND_OK) {
      text = PQresultErrorMessage(result);
      if (text.empty()) text = "failed";
    }
    PQclear(result);
    return text;
#else
    return "built without PostgreSQL";
#endif
  }

  // Every row of every catalogue table, and the counters that hand out ids.
  Dump dump() {
    Dump all;
    for (const db::TableDef* def : catalogueTables()) {
      std::vector<std::vector<std::string>> rows;
      EXPECT_EQ(query(std::string("SELECT * FROM ") + def->name, rows), "") << def->name;
      for (auto& row : rows) {
        std::string line;
        for (auto& value : row) line += value + "|";
        all[def->name].push_back(line);
      }
      std::sort(all[def->name].begin(), all[def->name].end());
    }
    std::vector<std::vector<std::string>> counters;
    EXPECT_EQ(query(m_postgres ? "SELECT sequencename, last_value FROM pg_sequences WHERE schemaname = current_schema()"
                               : "SELECT name, seq FROM sqlite_sequence",
                    counters),
              "");
    for (auto& counter : counters) all["(id counters)"].push_back(counter[0] + "=" + counter[1]);
    std::sort(all["(id counters)"].begin(), all["(id counters)"].end());
    return all;
  }

 private:
  bool m_postgres;
  std::string m_prelude;
  sqlite3* m_sqlite = nullptr;
#ifdef DIVU_WITH_POSTGRESQL
  PGconn* m_pg = nullptr;
#endif
};

std::string fixture(const char* name) { return std::string(DIVU_FIXTURES) + "/" + name; }

// A catalogue of revision 0, from the committed fixtures, on the test's storage.
class Upgrade : public testing::TestWithParam<Storage> {
 protected:
  void SetUp() override {
    if (GetParam() == Storage::Postgres) {
      if (postgresTestUrl().empty()) GTEST_SKIP() << "no PostgreSQL server given (DIVU_TEST_POSTGRES_URL)";
      m_schema = std::make_unique<PostgresSchema>();
      ASSERT_EQ(m_schema->create(), "");
      m_url = m_schema->url();
      m_target = m_schema->rawUrl();
      m_prelude = m_schema->rawPrelude();
      // pg_dump qualifies every name with the schema it came from: load it
      // into this test's schema instead, with psql's own lines left out.
      std::ifstream in(fixture("catalogue-r0.pgsql"));
      std::string line, script;
      // Its SETs are for the load only: local, so that no pooled server
      // session keeps them.
      while (std::getline(in, line)) {
        if (line.starts_with("SET ")) line.insert(4, "LOCAL ");
        if (!line.starts_with("\\") && line.find("set_config('search_path'") == std::string::npos) script += line + "\n";
      }
      for (size_t at = script.find("public."); at != std::string::npos; at = script.find("public.", at))
        script.erase(at, 7);
      ASSERT_EQ(raw().run(script), "");
    } else {
      m_target = m_dir.file("r0.sqlite");
      std::filesystem::copy_file(fixture("catalogue-r0.sqlite"), m_target);
      m_url = "sqlite:" + m_target;
    }
  }
  void TearDown() override {
    m_raw.reset();
    m_schema.reset();
  }
  RawClient& raw() {
    if (!m_raw) m_raw = std::make_unique<RawClient>(GetParam(), m_target, m_prelude);
    return *m_raw;
  }
  bool onPostgres() const { return GetParam() == Storage::Postgres; }
  std::shared_ptr<db::Database> open() {
    std::string error;
    auto database = db::Database::open(m_url, &error);
    EXPECT_TRUE(database) << error;
    return database;
  }
  int revision(db::Database& database) {
    db::SchemaRevision revision;
    EXPECT_EQ(database.readRevision(catalogueTables(), revision), db::kOk);
    return revision.recorded;
  }

  TempDir m_dir;
  std::unique_ptr<PostgresSchema> m_schema;
  std::unique_ptr<RawClient> m_raw;
  std::string m_url, m_target, m_prelude;
};

TEST_P(Upgrade, TheOldFixtureComesForwardWithEveryRowAndThenHoldsItsLimits) {
  const Dump before = raw().dump();
  ASSERT_GT(before.at("YLDevice").size(), 1u);
  std::string error;
  EXPECT_FALSE(openCatalogue(m_url, &error));
  for (const char* part : {"revision 0", "revision 1", "repdb upgrade", "upgrade=1"})
    EXPECT_NE(error.find(part), std::string::npos) << error;

  auto database = open();
  std::atomic<int> started{0};
  db::UpgradeOptions options;
  options.progress = [&](const db::UpgradeEvent& event) { started += event.kind == db::UpgradeEvent::Kind::Started; };
  for (int round = 0; round < 2; ++round) {  // the second finds nothing to do
    db::UpgradeResult result;
    ASSERT_EQ(upgradeCatalogue(*database, options, &result, &error), db::kOk) << error;
    EXPECT_EQ(result.from, round == 0 ? 0 : 1);
    EXPECT_EQ(result.to, 1);
    EXPECT_EQ(started, 1);
    EXPECT_EQ(raw().dump(), before) << "round " << round;
  }
  ASSERT_TRUE(openCatalogue(m_url, &error)) << error;
  db::Database::setDefault(database);

  // The limits, from the library and from a raw client: a text counts bytes
  // ('é' is two), an integer its field's 32 bits.
  const std::string fits(128 * 2, 'x'), accented = [] {
    std::string text;
    for (int i = 0; i < 128; ++i) text += "\xc3\xa9";
    return text;
  }();
  struct Case {
    std::string set;
    bool refused;
    const char* column;
  } cases[] = {
      {"Name = '" + fits + "'", false, ""},
      {"Name = '" + accented + "'", false, ""},
      {"Name = '" + accented + "x'", true, "YLDevice.Name"},
      {"Flags = 2147483647", false, ""},
      {"Flags = 2147483648", true, "YLDevice.Flags"},
      {"Flags = -2147483649", true, "YLDevice.Flags"},
  };
  CYLApplianceDB devices;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.set.substr(0, 40));
    const Dump now = raw().dump();
    EXPECT_EQ(!devices.Update(1, c.set.c_str(), nullptr), c.refused) << devices.m_dbError.m_errorText;
    std::string rawError = raw().run("UPDATE YLDevice SET " + c.set + " WHERE id = 2");
    EXPECT_EQ(!rawError.empty(), c.refused) << rawError;
    if (!c.refused) continue;
    EXPECT_EQ(raw().dump(), now) << "a refused write changes nothing";
    // PostgreSQL's integer column refuses a wide value by its type
    // ("integer out of range"), before any constraint could name it.
    if (onPostgres() && std::string(c.column) == "YLDevice.Flags") continue;
    EXPECT_EQ(devices.m_dbError.m_errorCode, db::kConstraint);
    EXPECT_NE(devices.m_dbError.m_errorText.find(c.column), std::string::npos) << devices.m_dbError.m_errorText;
    EXPECT_NE(rawError.find(c.column), std::string::npos) << rawError;
  }

  // The id freed before the upgrade is never handed out again.
  YLDevice_t device;
  ASSERT_TRUE(devices.insert(device, nullptr)) << devices.m_dbError.m_errorText;
  EXPECT_EQ(device.id, 4);

  // The previous release opened a catalogue by its table versions alone: it
  // still opens this one, reads it and writes valid values.
  auto older = open();
  ASSERT_EQ(older->verifySchema(catalogueTables(), &error, true), db::kOk) << error;
  db::Database::setDefault(older);
  YLDevice_t* list = nullptr;
  unsigned count = 0;
  ASSERT_TRUE(devices.getList(list, count, nullptr, nullptr, nullptr)) << devices.m_dbError.m_errorText;
  devices.deleteList(list);
  EXPECT_EQ(count, before.at("YLDevice").size() + 1);
  db::Database::setDefault(nullptr);
}

TEST_P(Upgrade, RowsThatBreakALimitAreListedAndNothingChangesUntilMended) {
  const std::string wide = onPostgres() ? "" : ", Flags = 4294967297";
  ASSERT_EQ(raw().run("UPDATE YLDevice SET Name = '" + std::string(300, 'n') + "'" + wide + " WHERE id = 2"), "");
  const Dump before = raw().dump();
  auto database = open();
  for (bool dryRun : {true, false}) {
    SCOPED_TRACE(dryRun ? "dry run" : "upgrade");
    db::UpgradeOptions options;
    options.dryRun = dryRun;
    std::string error;
    ASSERT_EQ(upgradeCatalogue(*database, options, nullptr, &error), db::kConstraint) << error;
    for (const char* part : {"YLDevice (id = 2) Name = 'nnn", "(300 bytes): not at most 256 bytes", "nothing was changed"})
      EXPECT_NE(error.find(part), std::string::npos) << error;
    if (!onPostgres()) {
      EXPECT_NE(error.find("Flags = 4294967297: not a 32-bit integer"), std::string::npos) << error;
    }
    EXPECT_EQ(raw().dump(), before);
    EXPECT_EQ(revision(*database), 0);
  }

  // Mended through the library, which opens an older revision when asked.
  std::string error;
  auto mending = openExistingCatalogue(m_url, &error, OlderRevision::Accept);
  ASSERT_TRUE(mending) << error;
  db::Database::setDefault(mending);
  CYLApplianceDB devices;
  ASSERT_TRUE(devices.Update(2, "Name = 'mended', Flags = 1", nullptr)) << devices.m_dbError.m_errorText;
  db::Database::setDefault(nullptr);
  ASSERT_EQ(upgradeCatalogue(*database, {}, nullptr, &error), db::kOk) << error;
  EXPECT_EQ(revision(*database), 1);
}

// The record is trusted only as this library wrote it, and upgrade=1 in the
// URL upgrades on open.
TEST_P(Upgrade, TheRevisionRecordMustMatchThisLibrary) {
  std::string error;
  auto upgraded = openCatalogue(onPostgres() ? withOption(m_url, "upgrade", "1") : m_url + "?upgrade=1", &error);
  ASSERT_TRUE(upgraded) << error;
  EXPECT_EQ(revision(*upgraded), 1);
  upgraded.reset();
  std::vector<std::vector<std::string>> record;
  ASSERT_EQ(raw().query("SELECT step, name, checksum, appliedAt, libraryVersion FROM ZrSchemaRevision", record), "");
  ASSERT_EQ(record.size(), 1u);
  const std::string restore = "DELETE FROM ZrSchemaRevision; INSERT INTO ZrSchemaRevision VALUES (" + record[0][0] +
                              ", '" + record[0][1] + "', '" + record[0][2] + "', " + record[0][3] + ", '" +
                              record[0][4] + "')";
  struct Case {
    const char* name;
    const char* sql;
    const char* found;
  } cases[] = {
      {"a changed step", "UPDATE ZrSchemaRevision SET checksum = '0000'", "was recorded with checksum 0000"},
      {"a newer revision", "INSERT INTO ZrSchemaRevision VALUES (2, 'later', 'x', 0, '9.9')", "newer than this library's"},
      {"a gap", "UPDATE ZrSchemaRevision SET step = 2", "step 1 is missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(raw().run(c.sql), "");
    EXPECT_FALSE(openCatalogue(m_url, &error));
    EXPECT_NE(error.find(c.found), std::string::npos) << error;
    auto database = open();
    EXPECT_EQ(upgradeCatalogue(*database, {}, nullptr, &error), db::kSchemaVersion);
    EXPECT_NE(error.find(c.found), std::string::npos) << error;
    database.reset();
    ASSERT_EQ(raw().run(restore), "");
    ASSERT_TRUE(openCatalogue(m_url, &error)) << error;
  }
}

// Two processes' worth of upgraders at once: one does the work, the other
// waits for it and finds it done.
TEST_P(Upgrade, ConcurrentUpgradersWaitForEachOther) {
  const Dump before = raw().dump();
  std::atomic<int> started{0}, done{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i)
    threads.emplace_back([&] {
      std::string error;
      auto database = db::Database::open(m_url, &error);
      ASSERT_TRUE(database) << error;
      db::UpgradeOptions options;
      options.progress = [&](const db::UpgradeEvent& event) { started += event.kind == db::UpgradeEvent::Kind::Started; };
      EXPECT_EQ(upgradeCatalogue(*database, options, nullptr, &error), db::kOk) << error;
      ++done;
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(done, 3);
  EXPECT_EQ(started, 1);
  EXPECT_EQ(raw().dump(), before);
  EXPECT_EQ(revision(*open()), 1);
}

// A table listed after a revision's steps shipped: those steps' checksums do
// not move, their plans leave it alone, and an upgrade creates it, on a
// revision-0 catalogue (after its steps) and on one already at the latest.
TEST_P(Upgrade, ATableAddedLaterLeavesTheStepsAsRecordedAndIsCreated) {
  db::TableDef added = YLDevice_def::table;
  added.name = "ZrAddedLater";
  added.foreignKeys = {};
  added.indexes = {};
  added.sinceRevision = 1;
  std::vector<const db::TableDef*> tables(catalogueTables().begin(), catalogueTables().end());
  tables.push_back(&added);
  auto tableCount = [&] {
    std::vector<std::vector<std::string>> rows;
    EXPECT_EQ(raw().query("SELECT count(*) FROM ZrSchemaVersion WHERE tableName = 'ZrAddedLater'", rows), "");
    return rows.empty() ? std::string() : rows[0][0];
  };
  std::string error;
  for (const bool fromRevisionZero : {true, false}) {
    SCOPED_TRACE(fromRevisionZero ? "from revision 0" : "at the latest revision");
    auto database = open();
    if (!fromRevisionZero) {
      ASSERT_EQ(upgradeCatalogue(*database, {}, nullptr, &error), db::kOk) << error;
      ASSERT_EQ(raw().run("DROP TABLE ZrAddedLater; DELETE FROM ZrSchemaVersion WHERE tableName = 'ZrAddedLater'"), "");
    }
    db::SchemaRevision found;
    ASSERT_EQ(database->readRevision(tables, found, &error), db::kOk) << error;
    EXPECT_EQ(found.recorded, fromRevisionZero ? 0 : 1);
    EXPECT_EQ(found.missingTables, 1);
    EXPECT_EQ(tableCount(), "0");
    db::UpgradeResult result;
    ASSERT_EQ(database->upgradeSchema(tables, {}, &result, &error), db::kOk) << error;
    EXPECT_EQ(result.to, 1);
    EXPECT_EQ(tableCount(), "1");
    EXPECT_EQ(raw().run("INSERT INTO ZrAddedLater (Name, Flags) VALUES ('a', 1)"), "");
    // The step recorded is the one the 24-table list records, and reads back.
    EXPECT_EQ(revision(*database), 1);
    ASSERT_EQ(database->readRevision(tables, found, &error), db::kOk) << error;
    EXPECT_EQ(found.recorded, 1);
    EXPECT_EQ(found.missingTables, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Storages, Upgrade, fileAndServer(), storageName);

}  // namespace
}  // namespace divu::test
