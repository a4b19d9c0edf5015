// Turns the integer literals of a WHERE or SET text into bound parameters, so
// that "id = 41" and "id = 42" share one prepared statement.
//
// It declines (returns false, `out` untouched) whenever it is not sure that
// the statement keeps its meaning: a text with parameters of its own, an
// ORDER BY or GROUP BY (where a number names a column), or anything it cannot
// scan. Quoted strings, quoted identifiers and comments are never touched.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace db::engine {

// Appends the parameterised text to `out` and the literals, in order, to
// `values`. Returns false without touching either when it declines.
bool parameteriseLiterals(std::string_view text, std::string& out, std::vector<long long>& values);

// On by default; tests turn it off to compare results both ways.
void setLiteralParameters(bool on);
bool literalParameters();

}  // namespace db::engine
