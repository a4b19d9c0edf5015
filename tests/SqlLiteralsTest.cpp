// Integer literals of caller texts become bound parameters only where that
// cannot change a result; random texts give the same rows both ways.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <cstring>
#include <random>

#include "Db/Engine/Backend.h"
#include "Db/Engine/SqlLiterals.h"
#include "DivUdurezevudoZE/ApplicationDirsDB.h"
#include "TestSupport.h"

namespace divu::test {
namespace {

using db::engine::parameteriseLiterals;

TEST(LiteralParameters, TakeOutOnlyPlainIntegersOutsideQuotesAndComments) {
  struct Case {
    const char* text;
    const char* expected;  // null: declined, the text is used as written
    std::vector<long long> values;
  } cases[] = {
      {"id = 42", "id = ?", {42}},
      {"zorbCellId = 2 AND JobId = 7", "zorbCellId = ? AND JobId = ?", {2, 7}},
      {"path = 'vol 5' AND Flags = 3", "path = 'vol 5' AND Flags = ?", {3}},
      {"path = 'it''s 5' OR id=6", "path = 'it''s 5' OR id=?", {6}},
      {"\"col 5\" = 1 AND [x 2] = `y 3`", "\"col 5\" = ? AND [x 2] = `y 3`", {1}},
      {"id IN (1,2, 3)", "id IN (?,?, ?)", {1, 2, 3}},
      {"col1 = 5 AND t.col2 = 0", "col1 = ? AND t.col2 = ?", {5, 0}},
      {"x = -5", "x = ?", {-5}},
      {"x = 3 - -5 AND y = a -4 AND z = (-6) AND w!=-7", "x = ? - ? AND y = a -? AND z = (?) AND w!=-?",
       {3, -5, 4, -6, 7}},
      {"a = 1e-5 AND b = 2.5e+3 AND c = 8", "a = 1e-5 AND b = 2.5e+3 AND c = ?", {8}},
      {"a = 1.5 AND b = 1e5 AND c = 0x1F AND d = 7", "a = 1.5 AND b = 1e5 AND c = 0x1F AND d = ?", {7}},
      {"a = 007 AND b = 8", "a = 007 AND b = ?", {8}},
      {"a = 1\x85 AND b = \xc3\xa9" "2 AND c = 3", "a = 1\x85 AND b = \xc3\xa9" "2 AND c = ?", {3}},
      {"a = 12345678901234567890 AND b = 9", "a = 12345678901234567890 AND b = ?", {9}},
      {"a = 1 -- the 2nd\n AND b = 3", "a = ? -- the 2nd\n AND b = ?", {1, 3}},
      {"a = /* 4 */ 5", "a = /* 4 */ ?", {5}},
      {"id > ?", nullptr, {}},
      {"id = :id", nullptr, {}},
      {"id = @id OR id = $1", nullptr, {}},
      {"id IN (SELECT id FROM t ORDER BY 1 LIMIT 2)", nullptr, {}},
      {"id IN (SELECT max(id) FROM t GROUP BY 1)", nullptr, {}},
      {"path = 'unterminated 5", nullptr, {}},
      {"a = /* open 5", nullptr, {}},
      {"id = 1; DELETE FROM t", nullptr, {}},
      {"path = 'no numbers'", nullptr, {}},
      {"", nullptr, {}},
  };
  for (const Case& c : cases) {
    std::string out = "prefix ";
    std::vector<long long> values = {99};
    bool taken = parameteriseLiterals(c.text, out, values);
    if (!c.expected) {
      EXPECT_FALSE(taken) << c.text;
      EXPECT_EQ(out, "prefix ") << c.text;
      EXPECT_EQ(values, std::vector<long long>{99}) << c.text;
      continue;
    }
    EXPECT_TRUE(taken) << c.text;
    EXPECT_EQ(out, std::string("prefix ") + c.expected) << c.text;
    std::vector<long long> expected = {99};
    expected.insert(expected.end(), c.values.begin(), c.values.end());
    EXPECT_EQ(values, expected) << c.text;
  }
}

class LiteralParameterResults : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    openDatabase(Storage::File);
    m_saved = db::engine::literalParameters();
  }
  void TearDown() override {
    db::engine::setLiteralParameters(m_saved);
    DatabaseTest::TearDown();
  }
  // Ids listed and count, or the failure, for `where` with parameters on or off.
  std::string evaluate(const std::string& where, bool parameters) {
    db::engine::setLiteralParameters(parameters);
    ApplicationDirsDB dirs;
    YLApplicationDirs_t* rows = nullptr;
    unsigned int count = 0;
    std::string result;
    if (!dirs.getList(rows, count, where.c_str(), "id", nullptr)) return "list failed " + std::to_string(dirs.m_dbError.m_errorCode);
    for (unsigned int i = 0; i < count; ++i) result += std::to_string(rows[i].id) + ",";
    dirs.deleteList(rows);
    unsigned int counted = 0;
    if (!dirs.getNRows(where.c_str(), counted, nullptr)) return result + " count failed";
    return result + " count " + std::to_string(counted);
  }
  bool m_saved = true;
};

TEST_F(LiteralParameterResults, CachedStatementsServeEveryIdAndRandomTextsAgree) {
  ApplicationDirsDB dirs;
  for (int i = 0; i < 40; ++i) {
    YLApplicationDirs_t row;
    row.clientId = i % 7;
    row.Flags = i * 3 - 20;
    row.pathType = i % 2;
    snprintf(row.path, sizeof row.path, "/v%d/%s", i % 5, i % 3 ? "data" : "logs 12");
    ASSERT_TRUE(dirs.insert(row, nullptr));
  }

  // After the first read, reads of other ids reuse the prepared statement.
  db::engine::setLiteralParameters(true);
  YLApplicationDirs_t row;
  ASSERT_TRUE(dirs.getInfo(1, row, nullptr));
  db::engine::Connection* connection = nullptr;
  ASSERT_EQ(m_db->autocommitConnection(connection, nullptr), db::kOk);
  unsigned long compiled = connection->compiledStatements();
  for (int id = 2; id <= 40; ++id) ASSERT_TRUE(dirs.getInfo(id, row, nullptr));
  EXPECT_EQ(connection->compiledStatements(), compiled);

  const char* columns[] = {"id", "clientId", "Flags", "pathType", "length(path)"};
  const char* comparisons[] = {" = ", " <> ", " < ", " >= ", " IS ", " % 3 = "};
  const char* joins[] = {" AND ", " OR "};
  const char* extras[] = {"path LIKE '/v1%'", "path = '/v2/logs 12'", "Flags BETWEEN -5 AND 30",
                          "clientId IN (1, 3, 5)", "(id + 2) * 3 > 40", "CASE WHEN Flags > 0 THEN 1 ELSE 0 END = 1",
                          "id IN (SELECT id FROM YLApplicationDirs WHERE clientId = 2)", "substr(path, 3, 1) = '3'",
                          "Flags = -2 -- 7", "Flags = 1.0", "id = 0x0A", "clientId = 003", "id = = 4"};
  std::mt19937 random(1234);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  int compared = 0;
  for (int round = 0; round < 300; ++round) {
    std::string where;
    int terms = 1 + pick(3);
    for (int t = 0; t < terms; ++t) {
      if (t) where += joins[pick(2)];
      if (pick(3) == 0)
        where += extras[pick(static_cast<int>(std::size(extras)))];
      else
        where += std::string(columns[pick(5)]) + comparisons[pick(6)] + std::to_string(pick(60) - 20);
    }
    EXPECT_EQ(evaluate(where, true), evaluate(where, false)) << where;
    ++compared;
  }
  EXPECT_EQ(compared, 300);
}

// The engine keeps the statements it built per caller text and reuses one
// for a text that differs only in the digits of its taken literals. One
// buffer rewritten with texts whose digits differ in every other role (in
// names, quoted texts, numbers glued to a dot or a sign) must still count
// what the database counts for each.
TEST_F(LiteralParameterResults, ReusedBufferTextsThatDifferOnlyInDigitsCountAsTheDatabaseDoes) {
  ApplicationDirsDB dirs;
  for (int i = 0; i < 12; ++i) {
    YLApplicationDirs_t row = makeDir(i % 4, ("/v" + std::to_string(i % 3) + "/d").c_str());
    row.Flags = i - 4;
    ASSERT_TRUE(dirs.insert(row, nullptr));
  }
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open_v2(dbPath().c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  auto rawCount = [&](const char* where) {
    std::string sql = std::string("SELECT COUNT(*) FROM YLApplicationDirs WHERE (\n") + where + "\n)";
    sqlite3_stmt* statement = nullptr;
    long long count = -1;
    if (sqlite3_prepare_v2(raw, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW)
      count = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return count;
  };
  const char* texts[] = {
      "Flags = 3", "Flags = 5", "Flags = 50", "Flags = -3", "Flags - 3 = 0", "Flags = 3.5", "Flags = 4.0",
      "path = '/v1/d'", "path = '/v2/d'", "path = '/v1/d' AND Flags > 1", "path = '/v1/d' AND Flags > 7",
      "id IN (SELECT a1.id FROM YLApplicationDirs a1, YLApplicationDirs a2 WHERE a1.id = a2.id + 1 AND a1.Flags > 5)",
      "id IN (SELECT a1.id FROM YLApplicationDirs a1, YLApplicationDirs a2 WHERE a1.id = a2.id + 1 AND a2.Flags > 5)",
      "substr(path, 3, 1) = '1'", "substr(path, 2, 1) = '1'", "Flags = 3 -- 5", "Flags = 3 -- 6", "Flags = 05",
  };
  char buffer[256];
  for (bool parameters : {true, false}) {
    db::engine::setLiteralParameters(parameters);
    for (int pass = 0; pass < 2; ++pass) {
      for (const char* text : texts) {
        strcpy(buffer, text);
        unsigned int count = 0;
        ASSERT_TRUE(dirs.getNRows(buffer, count, nullptr)) << text;
        EXPECT_EQ(count, rawCount(text)) << text << (parameters ? " (parameters)" : "");
        // A lookup between texts: its own statement, and a row read or none.
        const int id = static_cast<int>(count) + 1;
        YLApplicationDirs_t row;
        row.id = -7;
        const bool found = dirs.getInfo(id, row, nullptr);
        EXPECT_EQ(found, rawCount(("id = " + std::to_string(id)).c_str()) == 1) << id;
        EXPECT_EQ(row.id, found ? id : -7) << id;
      }
    }
  }
  sqlite3_close(raw);
}

// A SET text with parameter markers of the caller's own next to the key
// condition the facade writes: the markers must keep their numbers, so the
// statement goes as written, and the update has the same outcome either way.
TEST_F(LiteralParameterResults, UpdatesWithTheCallersOwnMarkersMatchTheTextAsWritten) {
  ApplicationDirsDB dirs;
  for (int i = 0; i < 4; ++i) {
    YLApplicationDirs_t row = makeDir(i, ("/v" + std::to_string(i)).c_str());
    row.Flags = 10 + i;
    ASSERT_TRUE(dirs.insert(row, nullptr));
  }
  // The update's outcome and every row after it, rolled back.
  auto update = [&](int id, const char* set, bool parameters) {
    db::engine::setLiteralParameters(parameters);
    DBtran tran;
    EXPECT_EQ(tran.begin(), db::kOk);
    ApplicationDirsDB facade;
    std::string result = facade.Update(id, set, &tran) ? "updated" : "failed " + std::to_string(facade.m_dbError.m_errorCode);
    YLApplicationDirs_t* rows = nullptr;
    unsigned int count = 0;
    EXPECT_TRUE(facade.getList(rows, count, nullptr, "id", &tran));
    for (unsigned int i = 0; i < count; ++i)
      result += " " + std::to_string(rows[i].id) + ":" + std::to_string(rows[i].Flags) + ":" + rows[i].path;
    facade.deleteList(rows);
    tran.rollback();
    return result;
  };
  struct Case {
    int id;
    const char* set;
  } cases[] = {
      {2, "Flags = ?"}, {1, "id = ?"}, {3, "path = :path"}, {2, "Flags = @flags, clientId = 7"},
      {1, "Flags = $1"}, {4, "Flags = ?2 + 1"}, {2, "Flags = 5"},
  };
  for (const Case& c : cases) EXPECT_EQ(update(c.id, c.set, true), update(c.id, c.set, false)) << c.set;
}

}  // namespace
}  // namespace divu::test
