// Shared test fixture: a real database (a temporary SQLite file, SQLite in
// memory, or a fresh schema on the PostgreSQL server named by
// DIVU_TEST_POSTGRES_URL), made the default database, with the catalogue's
// schema, and the fault seam and trace cleared around each test.
//
// PostgreSQL cases skip when DIVU_TEST_POSTGRES_URL is not set.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Db/Database.h"
#include "Db/DatabaseUrl.h"
#include "Db/Engine/SchemaDdl.h"
#include "Db/Engine/FaultSeam.h"
#include "Db/Tbl/YLApplicationDirs.h"
#include "Db/Engine/Trace.h"
#include "DivUdurezevudoZE/Catalogue.h"
#include "ZrLib/ZrLib.h"

namespace divu::test {

enum class Storage { File, Memory, Postgres };

inline const char* storageLabel(Storage storage) {
  switch (storage) {
    case Storage::File: return "File";
    case Storage::Memory: return "Memory";
    case Storage::Postgres: return "Postgres";
  }
  return "?";
}

inline void PrintTo(Storage storage, std::ostream* out) { *out << storageLabel(storage); }

inline std::string storageName(const testing::TestParamInfo<Storage>& info) { return storageLabel(info.param); }

// Every storage; the ones that multi-step operations and sweeps run on.
inline auto everyStorage() { return testing::Values(Storage::File, Storage::Memory, Storage::Postgres); }
inline auto fileAndServer() { return testing::Values(Storage::File, Storage::Postgres); }

// An application directory of `client` at `path`, every other field empty.
inline YLApplicationDirs_t makeDir(int client, const char* path) {
  YLApplicationDirs_t row;
  row.clientId = client;
  strcpy_s(row.path, sizeof row.path, path);
  return row;
}

// The test server's URL, or "" when none was given.
inline std::string postgresTestUrl() {
  const char* url = getenv("DIVU_TEST_POSTGRES_URL");
  return url ? url : "";
}

// The server itself when the test URL reaches it through a transaction
// pooler (DIVU_TEST_POSTGRES_DIRECT_URL, which `./dev.sh pooler` sets), for
// the tests that need a session of their own; else the test URL.
inline std::string postgresDirectUrl() {
  const char* url = getenv("DIVU_TEST_POSTGRES_DIRECT_URL");
  return url && *url ? url : postgresTestUrl();
}

// `url` with one more option: "key=value" (a libpq setting or one of ours).
inline std::string withOption(const std::string& url, const std::string& key, const std::string& value) {
  if (url.find("://") != std::string::npos) {
    std::string encoded;  // percent-encoded as a URI query value
    for (char c : value) {
      if (isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.') {
        encoded += c;
      } else {
        char hex[4];
        snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
        encoded += hex;
      }
    }
    return url + (url.find('?') == std::string::npos ? "?" : "&") + key + "=" + encoded;
  }
  return url + " " + key + "='" + value + "'";
}

// Runs `sql` on the test server on a connection of its own; the failure's
// text, or "" on success.
inline std::string runOnTestServer(const std::string& sql) {
  std::string error;
  std::shared_ptr<db::Database> admin = db::Database::open(postgresTestUrl(), &error);
  if (!admin) return error;
  if (admin->exec(sql.c_str(), &error) != db::kOk) return error;
  return "";
}

// A schema of its own on the test server for one test, dropped with its
// content at destruction: each test starts on an empty database.
class PostgresSchema {
 public:
  // `direct`: its URLs reach the server itself, never a pooler.
  explicit PostgresSchema(bool direct = false) : m_base(direct ? postgresDirectUrl() : postgresTestUrl()) {
    static std::atomic<int> counter{0};
    m_name = "divu_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
  }
  ~PostgresSchema() {
    if (m_created) runOnTestServer("DROP SCHEMA IF EXISTS " + m_name + " CASCADE");
  }
  PostgresSchema(const PostgresSchema&) = delete;
  PostgresSchema& operator=(const PostgresSchema&) = delete;

  // Creates the schema; the reason on failure.
  std::string create() {
    std::string error = runOnTestServer("CREATE SCHEMA " + m_name);
    m_created = error.empty();
    return error;
  }
  // The server's URL with this schema first on the search path.
  std::string url() const { return withOption(m_base, "options", "-csearch_path=" + m_name); }
  // For a raw libpq client (a test's oracle): the server's libpq settings
  // without the library's own, and the text to put before each text it runs
  // with PQexec (several statements are one implicit transaction), since a
  // transaction pooler keeps no session setting and refuses `options`.
  std::string rawUrl() const {
    std::optional<db::DatabaseOptions> options = db::DatabaseOptions::parse(m_base);
    return options ? options->target : m_base;
  }
  std::string rawPrelude() const { return "SET LOCAL search_path = " + m_name + "; "; }
  const std::string& name() const { return m_name; }

 private:
  std::string m_base;
  std::string m_name;
  bool m_created = false;
};

// A fresh temporary directory, removed with its content at destruction.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "divu-test-XXXXXX").string();
    m_path = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  std::string file(const char* name) const { return (std::filesystem::path(m_path) / name).string(); }

 private:
  std::string m_path;
};

class DatabaseTest : public testing::Test {
 protected:
  // Opens a fresh database of `storage`, with `option` ("key=value") when
  // given, creates the catalogue and makes it the default. Skips the test for
  // PostgreSQL without a test server; a fixture's SetUp that goes on
  // afterwards checks IsSkipped().
  void openDatabase(Storage storage, const std::string& option = "") {
    m_storage = storage;
    switch (storage) {
      case Storage::Memory:
        m_url = "sqlite::memory:" + (option.empty() ? "" : "?" + option);
        break;
      case Storage::File:
        m_url = "sqlite:" + dbPath() + (option.empty() ? "" : "?" + option);
        break;
      case Storage::Postgres: {
        if (postgresTestUrl().empty()) GTEST_SKIP() << "no PostgreSQL server given (DIVU_TEST_POSTGRES_URL)";
        m_schema = std::make_unique<PostgresSchema>(m_direct);
        std::string problem = m_schema->create();
        ASSERT_EQ(problem, "") << "cannot create a schema on the test server";
        m_url = m_schema->url();
        if (size_t eq = option.find('='); eq != std::string::npos)
          m_url = withOption(m_url, option.substr(0, eq), option.substr(eq + 1));
        break;
      }
    }
    std::string error;
    m_db = db::Database::open(m_url, &error);
    ASSERT_TRUE(m_db) << error;
    ASSERT_EQ(createCatalogue(*m_db, &error), db::kOk) << error;
    db::Database::setDefault(m_db);
  }
  bool onPostgres() const { return m_storage == Storage::Postgres; }
  // Makes `def`'s table as schema revision 0 had it, without value limits,
  // keeping its rows: a test can then store what another writer of such a
  // file could.
  void dropLimits(const db::TableDef& def) {
    db::engine::Connection* connection = nullptr;
    ASSERT_EQ(m_db->autocommitConnection(connection, nullptr), db::kOk);
    const std::string table = def.name;
    std::string sql;
    if (onPostgres()) {
      for (const db::ColumnDef& column : def.columns)
        if (auto limit = db::engine::columnLimit(def, column, db::SqlDialect::Postgres); !limit.expression.empty())
          sql += "ALTER TABLE " + table + " DROP CONSTRAINT \"" + limit.name + "\"; ";
    } else {
      sql = "ALTER TABLE " + table + " RENAME TO " + table + "_limited; " +
            db::engine::tableDdl(def, *connection, nullptr, false) + "; INSERT INTO " + table + " SELECT * FROM " +
            table + "_limited; DROP TABLE " + table + "_limited";
    }
    if (!sql.empty()) {
      ASSERT_EQ(connection->exec(sql.c_str()), db::kOk) << connection->lastErrorText();
    }
  }
  // The text a backend gives for the same failure.
  const char* backendText(const char* sqlite, const char* postgres) const { return onPostgres() ? postgres : sqlite; }

  void SetUp() override {
    db::fault::clear();
    db::trace::set(nullptr);
  }
  void TearDown() override {
    db::fault::clear();
    db::trace::set(nullptr);
    db::Database::setDefault(nullptr);
    m_db.reset();
    m_schema.reset();  // after the connections into it are closed
  }
  std::string dbPath() const { return m_dir.file("test.sqlite"); }
  // How many traced statements contain `text`.
  int statementsWith(const std::string& text) const {
    int n = 0;
    for (const std::string& sql : m_statements) n += sql.find(text) != std::string::npos;
    return n;
  }
  // Records every SQL text the engine runs from now on: as run in
  // m_rawStatements, and in m_statements on one line, without the lines and
  // parentheses that enclose each caller text, so that a test can compare the
  // texts a facade sends.
  void traceStatements() {
    m_statements.clear();
    m_rawStatements.clear();
    db::trace::set([this](const std::string& sql) {
      m_rawStatements.push_back(sql);
      m_statements.push_back(withoutEnclosure(sql));
    });
  }
  static std::string withoutEnclosure(std::string sql) {
    const std::pair<const char*, const char*> layout[] = {
        {"SET \n", "SET "}, {"\n WHERE (\n", " WHERE "}, {" WHERE (\n", " WHERE "},
        {"\n) ORDER BY\n", " ORDER BY "}, {"\n) LIMIT 1", " LIMIT 1"}, {" ORDER BY\n", " ORDER BY "}, {"\n LIMIT 1", " LIMIT 1"}};
    for (const auto& [from, to] : layout)
      for (size_t at = sql.find(from); at != std::string::npos; at = sql.find(from, at + strlen(to)))
        sql.replace(at, strlen(from), to);
    while (sql.ends_with("\n)") || sql.ends_with("\n")) sql.resize(sql.size() - (sql.ends_with("\n)") ? 2 : 1));
    return sql;
  }

  TempDir m_dir;
  std::string m_url;  // of the open database
  bool m_direct = false;  // PostgreSQL: on the server itself, never through a pooler
  std::unique_ptr<PostgresSchema> m_schema;
  std::shared_ptr<db::Database> m_db;
  Storage m_storage = Storage::File;
  std::vector<std::string> m_statements;
  std::vector<std::string> m_rawStatements;
};

// The same cases on each storage of the instantiation.
class StorageTest : public DatabaseTest, public testing::WithParamInterface<Storage> {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    openDatabase(GetParam());
  }
};

}  // namespace divu::test
