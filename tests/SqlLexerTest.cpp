// The engine's one reading of SQL text: where comments, strings and quoted
// identifiers begin and end.
#include <sqlite3.h>

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "Db/Engine/SqlLexer.h"

namespace divu::test {
namespace {

using db::SqlDialect;

TEST(CallerTexts, StayInPlaceOnlyWhenTheyCloseWhatTheyOpen) {
  struct Case {
    const char* text;
    const char* sqlite;    // null: accepted; else a part of the reason
    const char* postgres;
  } cases[] = {
      {"id = 1 --", nullptr, nullptr},
      {"id = 1 -- (\n AND (Flags = 2)", nullptr, nullptr},
      {"Name = 'a(' OR Name = ')' /* ( */", nullptr, nullptr},
      {"id = 1 /*", "comment open", "comment open"},
      {"/* a /* b */ id = 1", nullptr, "comment open"},  // PostgreSQL comments nest
      {"Name = 'open", "quoted string open", "quoted string open"},
      {"Name = E'it\\'s' AND id = 1", "quoted string open", nullptr},  // only PostgreSQL escapes
      {"Name = 'x\\' OR id = 2", nullptr, nullptr},                     // standard strings
      {"\"Name\" = 1 AND \"open = 2", "identifier open", "identifier open"},
      {"[Name = 1", "identifier open", nullptr},
      {"Name = $$ open", nullptr, "dollar-quoted string open"},
      {"1=1) OR (1=1", "did not open", "did not open"},
      {"(id = 1 OR id = 2", "parenthesis open", "parenthesis open"},
      {"id = 1; DELETE FROM YLDevice", "more than one SQL statement", "more than one SQL statement"},
      {"Name = ';' AND id = 1 -- ;", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    for (auto [dialect, expected] : {std::pair{SqlDialect::Sqlite, c.sqlite}, {SqlDialect::Postgres, c.postgres}}) {
      std::string why;
      bool accepted = db::engine::fragmentStaysInPlace(c.text, dialect, &why);
      EXPECT_EQ(accepted, expected == nullptr) << c.text << " (" << static_cast<int>(dialect) << "): " << why;
      if (expected) {
        EXPECT_NE(why.find(expected), std::string::npos) << c.text << ": " << why;
      }
    }
  }
}

// SQLite's own tokenizer is the oracle: a ';' appended to a text ends a
// statement (sqlite3_complete) exactly when the lexer leaves the text in code,
// every span closed and no line comment running to its end. Texts are made of
// the characters that open and close spans, so every pairing meets.
TEST(SqlLexer, EndsSpansWhereSqliteEndsThem) {
  const std::string alphabet = "'\"`[]-/*\n\r x(";
  std::mt19937 random(20261208);
  std::uniform_int_distribution<size_t> length(0, 14), pick(0, alphabet.size() - 1);
  int inCode = 0;
  for (int n = 0; n < 50000; ++n) {
    std::string text;
    for (size_t k = length(random); k > 0; --k) text += alphabet[pick(random)];
    bool endsInCode = true;
    for (size_t i = 0; i < text.size();) {
      db::engine::Span span = db::engine::lexemeAt(text, i, SqlDialect::Sqlite);
      ASSERT_GT(span.end, i) << text;
      ASSERT_LE(span.end, text.size()) << text;
      endsInCode = span.closed && !(span.kind == db::engine::Lexeme::LineComment && text.back() != '\n' &&
                                    span.end == text.size());
      i = span.end;
    }
    inCode += endsInCode;
    ASSERT_EQ(endsInCode, sqlite3_complete((text + ";").c_str()) == 1) << "text: [" << text << "]";
  }
  // Both outcomes were met often.
  EXPECT_GT(inCode, 5000);
  EXPECT_LT(inCode, 45000);
}

}  // namespace
}  // namespace divu::test
