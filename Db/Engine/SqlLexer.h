// The one reading of SQL text the engine does itself: where comments, string
// literals, quoted identifiers and dollar quotes begin and end, as each
// backend's own parser sees them. The literal parameters, the PostgreSQL
// marker numbering and the check of caller texts all scan with it, so they
// cannot disagree with each other or with the database.
//
// Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "Db/Database.h"

namespace db::engine {

// What starts at a position of SQL text.
enum class Lexeme {
  Code,          // anything else: one character of it
  LineComment,   // -- up to the end of the line
  BlockComment,  // /* ... */ (nested on PostgreSQL)
  String,        // '...', and on PostgreSQL E'...' with backslash escapes
  Identifier,    // "...", and on SQLite also `...` and [...]
  DollarQuoted,  // PostgreSQL $tag$...$tag$
};

struct Span {
  Lexeme kind = Lexeme::Code;
  size_t end = 0;      // index past it (past one character for Code)
  bool closed = true;  // false: it runs to the end of the text unterminated
};

// The lexeme that starts at `i` (< sql.size()).
Span lexemeAt(std::string_view sql, size_t i, SqlDialect dialect);

// Checks a caller's WHERE, ORDER BY or SET text before the engine encloses it
// in a statement: it must close every comment, string, quoted identifier and
// parenthesis it opens, close none it did not open, and hold no ';'. Returns
// true, or false with the reason in *why.
bool fragmentStaysInPlace(std::string_view text, SqlDialect dialect, std::string* why);

}  // namespace db::engine
