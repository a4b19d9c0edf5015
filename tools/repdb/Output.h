// Printing result sets: aligned columns for a person, JSON or CSV for scripts.
#pragma once

#include <ostream>

#include "Cells.h"

namespace repdb {

enum class Format { Human, Json, Csv };

enum class Layout {
  Columns,  // one line per row
  Record,   // one line per column (a single row reads better so)
};

// Human output shortens texts with an ellipsis; JSON is one array of objects
// keyed by column name; CSV follows RFC 4180 (CRLF, quoted where needed).
void printResult(std::ostream& out, const ResultSet& result, Format format, Layout layout = Layout::Columns);

// A text for a person: control characters escaped, cut to `width` characters
// (UTF-8 sequences kept whole) with an ellipsis.
std::string forPerson(const std::string& text, size_t width);
std::string cellText(const Cell& cell);

}  // namespace repdb
