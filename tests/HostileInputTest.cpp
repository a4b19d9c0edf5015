// Texts and stored values a caller or another client may throw at the
// engine: smuggled statements, huge and malformed texts, over-long SET texts,
// NULLs in every column, and database files that are not what they seem.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>

#include "AllTables.h"
#include "Db/Engine/Backend.h"
#include "DivUdurezevudoZE/ApplicationDirsDB.h"
#include "DivUdurezevudoZE/ReplicationVolumeDB.h"
#include "TestSupport.h"

namespace divu::test {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class HostileTexts : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    for (int i = 1; i <= 4; ++i) {
      YLApplicationDirs_t dir = makeDir(i, ("/data/" + std::to_string(i)).c_str());
      ASSERT_TRUE(m_dirs.insert(dir, nullptr)) << m_dirs.m_dbError.m_errorText;
      m_ids.push_back(dir.id);
      YLVolume_t volume;
      volume.CurrentRole = 0;
      ASSERT_TRUE(m_volumes.insert(volume, nullptr)) << m_volumes.m_dbError.m_errorText;
    }
  }
  unsigned int rows(const char* table) {
    std::string sql = std::string("SELECT COUNT(*) FROM ") + table;
    db::engine::Connection* connection = nullptr;
    std::string error;
    if (m_db->autocommitConnection(connection, &error) != db::kOk) return 99999;
    db::engine::Statement* statement = nullptr;
    if (connection->prepare(sql, statement) != db::kOk) return 88888;  // the table is gone
    unsigned int count = statement->step() == db::kOk ? static_cast<unsigned int>(statement->columnInt64(0)) : 77777;
    connection->release(statement);
    return count;
  }
  ApplicationDirsDB m_dirs;
  CReplicationVolumeDB m_volumes;
  std::vector<int> m_ids;
};

TEST_P(HostileTexts, ASecondStatementInACallerTextIsRefusedAndNeverRuns) {
  struct Case {
    const char* name;
    std::function<bool()> call;
  } cases[] = {
      {"count where", [&] { unsigned n; return m_dirs.getNRows("id = 1; DROP TABLE YLVolume", n, nullptr); }},
      {"list where",
       [&] {
         YLApplicationDirs_t* l = nullptr;
         unsigned n;
         bool ok = m_dirs.getList(l, n, "id = 1; DROP TABLE YLVolume", nullptr, nullptr);
         m_dirs.deleteList(l);
         return ok;
       }},
      {"list order",
       [&] {
         YLApplicationDirs_t* l = nullptr;
         unsigned n;
         bool ok = m_dirs.getList(l, n, nullptr, "id; DROP TABLE YLVolume", nullptr);
         m_dirs.deleteList(l);
         return ok;
       }},
      {"remove where", [&] { return m_dirs.remove("id = 1; DROP TABLE YLVolume", nullptr); }},
      {"remove where, comment after", [&] { return m_dirs.remove("id = 1; DELETE FROM YLVolume --", nullptr); }},
      {"remove where, comment between", [&] { return m_dirs.remove("id = 1 /* x */; DELETE FROM YLVolume", nullptr); }},
      {"update set", [&] { return m_dirs.Update(m_ids[0], "Flags = 1; DROP TABLE YLVolume", nullptr); }},
      {"update set, quoted end", [&] { return m_dirs.Update(m_ids[0], "path = 'x'; DELETE FROM YLVolume", nullptr); }},
      {"in a transaction", [&] {
         DBtran tran;
         if (tran.begin() != db::kOk) return true;
         return m_dirs.remove("id = 2; DROP TABLE YLVolume", &tran) || tran.commit() != db::kOk;
       }},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(c.call()) << c.name;
    EXPECT_NE(m_dirs.m_dbError.m_errorCode, db::kOk) << c.name;
    EXPECT_EQ(rows("YLVolume"), 4u) << c.name;
    EXPECT_EQ(rows("YLApplicationDirs"), 4u) << c.name;
  }
  unsigned int changed = 99;
  ASSERT_TRUE(m_dirs.getNRows("Flags <> 0 OR path = 'x'", changed, nullptr));
  EXPECT_EQ(changed, 0u);
  // A NUL ends a C text: what follows it is never seen.
  const char set[] = "Flags = 3\0; DROP TABLE YLVolume";
  ASSERT_TRUE(m_dirs.Update(m_ids[0], set, nullptr)) << m_dirs.m_dbError.m_errorText;
  EXPECT_EQ(rows("YLVolume"), 4u);
}

TEST_P(HostileTexts, MegabyteConditionsAreAnsweredExactly) {
  const size_t kMegabyte = 1 << 20;
  std::string longLiteral = "path <> '" + std::string(kMegabyte, 'x') + "'";
  std::string inList = "id IN (";
  for (int i = 1000; inList.size() < kMegabyte; ++i) inList += std::to_string(i) + ", ";
  inList += std::to_string(m_ids[1]) + ", " + std::to_string(m_ids[3]) + ")";
  std::string padded = std::string(kMegabyte, ' ') + "clientId >= 2" + std::string(kMegabyte, '\n');
  std::string quotes = "path <> '" + std::string(kMegabyte, 'q') + "''" + std::string(100, 'q') + "' AND clientId = 1";
  struct Case {
    const char* name;
    const std::string& where;
    unsigned int expected;
  } cases[] = {
      {"one megabyte literal", longLiteral, 4},
      {"in-list of a megabyte of numbers", inList, 2},
      {"a megabyte of blanks around a condition", padded, 3},
      {"a megabyte literal with a doubled quote", quotes, 1},
  };
  for (const Case& c : cases) {
    unsigned int count = 0;
    ASSERT_TRUE(m_dirs.getNRows(c.where.c_str(), count, nullptr)) << c.name << ": " << m_dirs.m_dbError.m_errorText.substr(0, 300);
    EXPECT_EQ(count, c.expected) << c.name;
    YLApplicationDirs_t* list = nullptr;
    ASSERT_TRUE(m_dirs.getList(list, count, c.where.c_str(), "id", nullptr)) << c.name;
    EXPECT_EQ(count, c.expected) << c.name;
    m_dirs.deleteList(list);
  }
  ASSERT_TRUE(m_dirs.remove(inList.c_str(), nullptr)) << m_dirs.m_dbError.m_errorText.substr(0, 300);
  EXPECT_EQ(rows("YLApplicationDirs"), 2u);
}

TEST_P(HostileTexts, InvalidUtf8AndEmbeddedNulsAreStoredAsTheBackendAllows) {
  const char invalid[] = "/bad/\xff\xfe/\xc3(/\xed\xa0\x80";  // stray bytes, a cut sequence, a surrogate
  YLApplicationDirs_t row = makeDir(50, invalid);
  bool stored = m_dirs.insert(row, nullptr);
  if (onPostgres()) {
    // The server keeps UTF-8 only: a clear refusal, nothing stored.
    EXPECT_FALSE(stored);
    EXPECT_NE(m_dirs.m_dbError.m_errorText.find("UTF8"), std::string::npos) << m_dirs.m_dbError.m_errorText;
    EXPECT_EQ(rows("YLApplicationDirs"), 4u);
  } else {
    ASSERT_TRUE(stored) << m_dirs.m_dbError.m_errorText;
    YLApplicationDirs_t read;
    ASSERT_TRUE(m_dirs.getInfo(row.id, read, nullptr));
    EXPECT_STREQ(read.path, invalid) << "byte for byte";
    unsigned int count = 0;
    ASSERT_TRUE(m_dirs.getNRows((std::string("path = '") + invalid + "'").c_str(), count, nullptr));
    EXPECT_EQ(count, 1u);
  }

  // A NUL inside a record's text ends it: the bytes after it are not stored.
  YLApplicationDirs_t cut = makeDir(60, "");
  memcpy(cut.path, "ab\0cd", 6);
  ASSERT_TRUE(m_dirs.insert(cut, nullptr)) << m_dirs.m_dbError.m_errorText;
  YLApplicationDirs_t read;
  ASSERT_TRUE(m_dirs.getInfo(cut.id, read, nullptr));
  EXPECT_STREQ(read.path, "ab");
  unsigned int count = 0;  // stored as exactly "ab": nothing after the terminator
  ASSERT_TRUE(m_dirs.getNRows("path = 'ab'", count, nullptr));
  EXPECT_EQ(count, 1u);
}

// The limits refuse a text longer than its field, naming table and column,
// and change nothing; a table of schema revision 0 takes it, and it reads
// back cut to fit.
TEST_P(HostileTexts, ASetTextLongerThanTheFieldIsRefusedOrReadBackCutToFit) {
  const db::TableDef& def = YLApplicationDirs_def::table;
  for (bool limited : {true, false}) {
    if (!limited) dropLimits(def);
    for (const db::ColumnDef& column : def.columns) {
      if (column.type != db::ColumnType::Text) continue;
      SCOPED_TRACE(std::string(column.name) + (limited ? " limited" : " revision 0"));
      std::string text(column.size * 3 + 7, 'L');
      bool updated = m_dirs.Update(m_ids[2], (std::string(column.name) + " = '" + text + "', Flags = 77").c_str(), nullptr);
      ASSERT_EQ(updated, !limited) << m_dirs.m_dbError.m_errorText;
      const CReplicationDBError refused = m_dirs.m_dbError;
      YLApplicationDirs_t read;
      ASSERT_TRUE(m_dirs.getInfo(m_ids[2], read, nullptr));
      const char* field = &db::fieldAt<char>(&read, column);
      if (limited) {
        EXPECT_EQ(refused.m_errorCode, db::kConstraint);
        EXPECT_NE(refused.m_errorText.find("YLApplicationDirs." + std::string(column.name) + ": at most " +
                                           std::to_string(column.size - 1) + " bytes"),
                  std::string::npos)
            << refused.m_errorText;
        EXPECT_NE(read.Flags, 77) << "nothing of the refused SET was written";
        EXPECT_LT(strlen(field), column.size - 1u);
        continue;
      }
      EXPECT_EQ(strnlen(field, column.size), column.size - 1u) << "cut to fit and terminated";
      EXPECT_EQ(std::string(field), text.substr(0, column.size - 1));
      EXPECT_EQ(read.Flags, 77) << "the field after it is intact";
      EXPECT_EQ(read.clientId, 3);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Storages, HostileTexts, everyStorage(), storageName);

// NULL in every column but the key, written by another client: the default
// access path reads 0 and empty texts; the newer one shows the NULLs.
template <class Binding>
class NullsEverywhere : public DatabaseTest {};

TYPED_TEST_SUITE_P(NullsEverywhere);

TYPED_TEST_P(NullsEverywhere, ReadAsZeroOrEmptyAndShowInIndicators) {
  using Record = typename TypeParam::RecordType;
  const db::TableDef& def = TypeParam::Definition::table;
  std::vector<Storage> storages{Storage::File};
  if (!postgresTestUrl().empty()) storages.push_back(Storage::Postgres);
  for (Storage storage : storages) {
    SCOPED_TRACE(storageLabel(storage));
    this->openDatabase(storage);
    std::string keys, values, where;
    for (const char* key : def.primaryKey) {
      keys += std::string(keys.empty() ? "" : ", ") + key;
      values += std::string(values.empty() ? "" : ", ") + "7";
      where += std::string(where.empty() ? "" : " AND ") + key + " = 7";
    }
    std::string error;
    ASSERT_EQ(this->m_db->exec(("INSERT INTO " + std::string(def.name) + " (" + keys + ") VALUES (" + values + ")").c_str(),
                               &error),
              db::kOk)
        << error;

    TypeParam binding(nullptr);
    binding.setWhere(where.c_str());
    ASSERT_EQ(binding.openCursor(), db::kOk);
    Record& record = *binding.getDataPtr();
    // Garbage that a read must replace.
    for (const db::ColumnDef& column : def.columns)
      if (column.type != db::ColumnType::OwnedText) memset(&db::fieldAt<char>(&record, column), 0x5a, column.size);
    ASSERT_EQ(binding.fetchCursor(true), db::kOk);
    const bool newer = DBtable::b_newDBBase;
    for (size_t i = 0; i < def.columns.size(); ++i) {
      const db::ColumnDef& column = def.columns[i];
      bool key = false;
      for (const char* name : def.primaryKey) key |= strcmp(name, column.name) == 0;
      SCOPED_TRACE(column.name);
      switch (column.type) {
        case db::ColumnType::Int32: EXPECT_EQ(db::fieldAt<int>(&record, column), key ? 7 : 0); break;
        case db::ColumnType::Int64:
        case db::ColumnType::Time64: EXPECT_EQ(db::fieldAt<long long>(&record, column), key ? 7 : 0); break;
        case db::ColumnType::Text: EXPECT_STREQ(&db::fieldAt<char>(&record, column), ""); break;
        case db::ColumnType::OwnedText: {
          const char* text = db::fieldAt<char*>(&record, column);
          EXPECT_TRUE(text == nullptr || *text == '\0');
          break;
        }
      }
      if (newer) {
        EXPECT_EQ(binding.getIndicators()[i], key ? 0 : -1);
        ASSERT_NE(binding.getRowDescriptor(), nullptr);
        EXPECT_EQ(binding.getRowDescriptor()->m_columnMap.at(column.name)->m_isNull, !key);
      }
    }
    EXPECT_EQ(binding.fetchCursor(true), db::kNoRow);
    binding.closeCursor();
    this->TearDown();
  }
}

REGISTER_TYPED_TEST_SUITE_P(NullsEverywhere, ReadAsZeroOrEmptyAndShowInIndicators);
INSTANTIATE_TYPED_TEST_SUITE_P(Tables, NullsEverywhere, AllBindings);

// Files that are not a database of this library: each is refused with a
// reason, and the file keeps every byte.
TEST(BadDatabaseFiles, AreRefusedWithAReasonAndLeftAsTheyWere) {
  TempDir dir;
  auto catalogueWithARow = [](const std::string& path) {
    std::string error;
    std::shared_ptr<db::Database> database = db::Database::open("sqlite:" + path, &error);
    EXPECT_TRUE(database && createCatalogue(*database, &error) == db::kOk) << error;
    EXPECT_EQ(database->exec("INSERT INTO YLApplicationDirs (clientId, path) VALUES (1, '/kept')", &error), db::kOk) << error;
    return database;
  };
  struct Case {
    const char* name;
    std::function<std::string(const std::string&)> prepare;  // makes the file, returns its URL
    const char* reason;
  } cases[] = {
      {"not a database",
       [](const std::string& path) {
         std::ofstream(path, std::ios::binary) << std::string(8192, 'n') << "not a database";
         return "sqlite:" + path;
       },
       "file is not a database"},
      {"a table of another version",
       [&](const std::string& path) {
         std::string error;
         EXPECT_EQ(catalogueWithARow(path)->exec(
                       "UPDATE ZrSchemaVersion SET version = '9.9.9.9' WHERE tableName = 'YLVolume'", &error),
                   db::kOk)
             << error;
         return "sqlite:" + path;
       },
       "YLVolume has version 9.9.9.9 in this database, but this library reads version"},
      {"opened read-only",
       [&](const std::string& path) {
         catalogueWithARow(path);
         return "sqlite:file:" + path + "?mode=ro";
       },
       "readonly"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.file(("bad" + std::to_string(n++) + ".sqlite").c_str());
    std::string url = c.prepare(path);
    const std::string before = slurp(path);
    ASSERT_FALSE(before.empty());

    std::string error;
    std::shared_ptr<db::Database> database = openCatalogue(url, &error);
    if (database) {
      // Readable, so only a change can fail: through a facade, with its record.
      db::Database::setDefault(database);
      ApplicationDirsDB dirs;
      YLApplicationDirs_t row;
      ASSERT_TRUE(dirs.getInfo(1, row, nullptr)) << dirs.m_dbError.m_errorText;
      EXPECT_STREQ(row.path, "/kept");
      YLApplicationDirs_t added = makeDir(2, "/added");
      EXPECT_FALSE(dirs.insert(added, nullptr));
      EXPECT_EQ(dirs.m_dbError.m_errorCode, db::kReadOnly);
      EXPECT_EQ(dirs.m_dbError.m_function, "CRepBaseDB::insertRow()");
      error = dirs.m_dbError.m_errorText;
      EXPECT_FALSE(dirs.Update(1, "path = '/changed'", nullptr));
      EXPECT_EQ(dirs.m_dbError.m_errorCode, db::kReadOnly);
      db::Database::setDefault(nullptr);
      database.reset();
    }
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_EQ(slurp(path), before) << "the file changed";
  }
}

}  // namespace
}  // namespace divu::test
