#include "Db/Engine/SqlLexer.h"

namespace db::engine {
namespace {

bool isTagStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}
bool isIdentChar(char c) { return isTagStart(c) || (c >= '0' && c <= '9') || c == '$'; }

// Past the `close` quote of the text opened at `i`, where the closing quote
// doubled stands for itself (with `doubled`) and, with `backslash`, a
// backslash escapes the next character.
Span quoted(std::string_view sql, size_t i, Lexeme kind, char close, bool doubled, bool backslash) {
  const size_t n = sql.size();
  for (size_t j = i + 1; j < n; ++j) {
    if (backslash && sql[j] == '\\') {
      ++j;
    } else if (sql[j] == close) {
      if (doubled && j + 1 < n && sql[j + 1] == close) {
        ++j;
      } else {
        return {kind, j + 1, true};
      }
    }
  }
  return {kind, n, false};
}

}  // namespace

Span lexemeAt(std::string_view sql, size_t i, SqlDialect dialect) {
  const size_t n = sql.size();
  const bool postgres = dialect == SqlDialect::Postgres;
  const char c = sql[i];
  const char next = i + 1 < n ? sql[i + 1] : '\0';
  if (c == '-' && next == '-') {
    // SQLite ends a line comment at a newline only; PostgreSQL at either.
    size_t end = postgres ? sql.find_first_of("\n\r", i) : sql.find('\n', i);
    return {Lexeme::LineComment, end == std::string_view::npos ? n : end + 1, true};
  }
  if (c == '/' && next == '*') {
    int depth = 1;
    size_t j = i + 2;
    while (j < n) {
      if (sql[j] == '*' && j + 1 < n && sql[j + 1] == '/') {
        j += 2;
        if (--depth == 0) return {Lexeme::BlockComment, j, true};
      } else if (postgres && sql[j] == '/' && j + 1 < n && sql[j + 1] == '*') {
        j += 2;
        ++depth;
      } else {
        ++j;
      }
    }
    return {Lexeme::BlockComment, n, false};
  }
  if (c == '\'') {
    // E'...' takes backslash escapes; other literals are standard conforming
    // (the PostgreSQL backend sets standard_conforming_strings).
    bool escapes = postgres && i > 0 && (sql[i - 1] == 'E' || sql[i - 1] == 'e') &&
                   (i < 2 || !isIdentChar(sql[i - 2]));
    return quoted(sql, i, Lexeme::String, '\'', true, escapes);
  }
  if (c == '"') return quoted(sql, i, Lexeme::Identifier, '"', true, false);
  if (!postgres && c == '`') return quoted(sql, i, Lexeme::Identifier, '`', true, false);
  if (!postgres && c == '[') return quoted(sql, i, Lexeme::Identifier, ']', false, false);
  if (postgres && c == '$' && (i == 0 || !isIdentChar(sql[i - 1]))) {
    size_t j = i + 1;
    if (j < n && isTagStart(sql[j]))
      while (j < n && isIdentChar(sql[j]) && sql[j] != '$') ++j;
    if (j < n && sql[j] == '$') {
      std::string_view tag = sql.substr(i, j - i + 1);
      size_t close = sql.find(tag, j + 1);
      if (close == std::string_view::npos) return {Lexeme::DollarQuoted, n, false};
      return {Lexeme::DollarQuoted, close + tag.size(), true};
    }
    // $1, or a lone '$': code
  }
  return {Lexeme::Code, i + 1, true};
}

bool fragmentStaysInPlace(std::string_view text, SqlDialect dialect, std::string* why) {
  auto refuse = [&](const char* reason) {
    if (why) *why = reason;
    return false;
  };
  int depth = 0;
  for (size_t i = 0; i < text.size();) {
    Span span = lexemeAt(text, i, dialect);
    if (!span.closed) {
      switch (span.kind) {
        case Lexeme::BlockComment: return refuse("it leaves a /* comment open");
        case Lexeme::String: return refuse("it leaves a quoted string open");
        case Lexeme::Identifier: return refuse("it leaves a quoted identifier open");
        case Lexeme::DollarQuoted: return refuse("it leaves a dollar-quoted string open");
        case Lexeme::Code:
        case Lexeme::LineComment: break;
      }
    }
    if (span.kind == Lexeme::Code) {
      char c = text[i];
      if (c == '(') {
        ++depth;
      } else if (c == ')') {
        if (--depth < 0) return refuse("it closes a parenthesis it did not open");
      } else if (c == ';') {
        return refuse("it holds a ';', which would end the statement (more than one SQL statement in one text)");
      }
    }
    i = span.end;
  }
  if (depth > 0) return refuse("it leaves a parenthesis open");
  return true;
}

}  // namespace db::engine
