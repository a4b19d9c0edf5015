#include "Db/Engine/Postgres/PostgresText.h"

#include "Db/Engine/Backend.h"
#include "Db/Engine/SqlLexer.h"

namespace db::engine::pg {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

bool numberPlaceholders(std::string_view sql, std::string& out, int& count, std::string* error) {
  out.clear();
  out.reserve(sql.size() + 16);
  count = 0;
  for (size_t i = 0; i < sql.size();) {
    Span span = lexemeAt(sql, i, SqlDialect::Postgres);
    if (span.kind != Lexeme::Code) {
      out.append(sql.substr(i, span.end - i));
      i = span.end;
      continue;
    }
    char c = sql[i];
    if (c == '?') {
      out += '$';
      out += std::to_string(++count);
    } else if (c == ';') {
      // Only blanks, comments and more ';' may follow.
      for (size_t j = i + 1; j < sql.size();) {
        Span after = lexemeAt(sql, j, SqlDialect::Postgres);
        bool comment = after.kind == Lexeme::LineComment || after.kind == Lexeme::BlockComment;
        if (!comment && !isSpace(sql[j]) && sql[j] != ';') {
          if (error) *error = "more than one SQL statement in one text";
          return false;
        }
        j = after.end;
      }
      return true;
    } else {
      out += c;
    }
    ++i;
  }
  return true;
}

}  // namespace db::engine::pg
