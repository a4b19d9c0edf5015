// Turns the integer literals of a WHERE or SET text into bound parameters, so
// that "id = 41" and "id = 42" share one prepared statement.
//
// It declines (returns false, `out` untouched) whenever it is not sure that
// the statement keeps its meaning: a text with parameters of its own, an
// ORDER BY or GROUP BY (where a number names a column), or anything it cannot
// scan. Quoted strings, quoted identifiers and comments are never touched.
//
// A literal keeps its sign where the minus is unary ("id = -42" binds -42),
// and on PostgreSQL its marker carries the type the server gives the literal
// ("?::int4" when it fits 32 bits, else "?::int8"), so that the text means
// what it means when sent as written: the server would otherwise type the
// marker from its context (an int4 column refuses 3000000000, "-?" cannot be
// typed at all, "CASE WHEN ?" passes as a boolean).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Db/Database.h"

namespace db::engine {

enum class LiteralScan {
  Taken,       // literals taken out
  NoLiterals,  // understood, but nothing to take out
  Declined,    // not understood, or markers of the caller's own: keep the
               // whole statement as written, since our markers would shift
               // the numbers of the caller's
};

// Where a taken literal's digits stand in the text scanned, and whether its
// minus, just before them, went with it.
struct LiteralRun {
  size_t digitsStart, end;
  bool negative;
};

// Appends the parameterised text to `out` and the literals, in order, to
// `values` and returns Taken; otherwise touches neither. With `runs`, on
// Taken, also appends where each literal stood in `text`.
LiteralScan takeLiterals(std::string_view text, std::string& out, std::vector<long long>& values,
                         SqlDialect dialect = SqlDialect::Sqlite, std::vector<LiteralRun>* runs = nullptr);

// The marker a literal of `value` becomes in `dialect`.
const char* literalMarker(SqlDialect dialect, long long value);

// takeLiterals(...) == LiteralScan::Taken.
bool parameteriseLiterals(std::string_view text, std::string& out, std::vector<long long>& values,
                          SqlDialect dialect = SqlDialect::Sqlite);

// On by default; tests turn it off to compare results both ways.
void setLiteralParameters(bool on);
bool literalParameters();

}  // namespace db::engine
