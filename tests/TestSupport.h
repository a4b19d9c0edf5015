// Shared test fixture: a real SQLite database (a temporary file, or in
// memory), made the default database, with the catalogue's schema, and the
// fault seam and trace cleared around each test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Db/Database.h"
#include "Db/FaultSeam.h"
#include "Db/Trace.h"
#include "DivUdurezevudoZE/Catalogue.h"

namespace divu::test {

enum class Storage { File, Memory };

inline void PrintTo(Storage storage, std::ostream* out) { *out << (storage == Storage::File ? "File" : "Memory"); }

inline std::string storageName(const testing::TestParamInfo<Storage>& info) {
  return info.param == Storage::File ? "File" : "Memory";
}

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
  void openDatabase(Storage storage, const std::string& options = "") {
    std::string url = storage == Storage::Memory ? "sqlite::memory:" : "sqlite:" + m_dir.file("test.sqlite") + options;
    std::string error;
    m_db = db::Database::open(url, &error);
    ASSERT_TRUE(m_db) << error;
    ASSERT_EQ(createCatalogue(*m_db, &error), db::kOk) << error;
    db::Database::setDefault(m_db);
  }
  void SetUp() override {
    db::fault::clear();
    db::trace::set(nullptr);
  }
  void TearDown() override {
    db::fault::clear();
    db::trace::set(nullptr);
    db::Database::setDefault(nullptr);
    m_db.reset();
  }
  std::string dbPath() const { return m_dir.file("test.sqlite"); }
  // How many traced statements contain `text`.
  int statementsWith(const std::string& text) const {
    int n = 0;
    for (const std::string& sql : m_statements) n += sql.find(text) != std::string::npos;
    return n;
  }
  // Records every SQL text the engine runs from now on.
  void traceStatements() {
    m_statements.clear();
    db::trace::set([this](const std::string& sql) { m_statements.push_back(sql); });
  }

  TempDir m_dir;
  std::shared_ptr<db::Database> m_db;
  std::vector<std::string> m_statements;
};

// The same cases on a file database and an in-memory one.
class StorageTest : public DatabaseTest, public testing::WithParamInterface<Storage> {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    openDatabase(GetParam());
  }
};

}  // namespace divu::test
