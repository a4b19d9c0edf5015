// Row values as the tool handles them: read from and written to records
// through the table definitions, and parsed from the command line.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Db/TableDef.h"

namespace repdb {

// Null (an owned text that holds nothing), an integer of any width, or a text.
using Cell = std::variant<std::monostate, long long, std::string>;
using Row = std::vector<Cell>;

// Rows to print, with their column names; `numeric` aligns numbers right.
struct ResultSet {
  std::vector<std::string> columns;
  std::vector<bool> numeric;
  std::vector<Row> rows;
};

// A command line that cannot be run; reported before any database work.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One COLUMN=VALUE of an insert, already checked against the column.
struct Assignment {
  const db::ColumnDef* column;
  Cell value;
};

bool sameName(std::string_view a, std::string_view b);  // SQL names ignore case

ResultSet columnsOf(const db::TableDef& def);
Row readRow(const db::TableDef& def, const void* record);
void writeCell(void* record, const db::ColumnDef& column, const Cell& value);

// Null when the table has no such column (names compared as SQL does).
const db::ColumnDef* findColumn(const db::TableDef& def, std::string_view name);
// "COLUMN=VALUE" checked against the table: known column, not the serial one,
// a number in the column's range, a text that fits.
Assignment parseAssignment(const db::TableDef& def, const std::string& text);
// A whole decimal number in [min, max]; `what` names it in the error.
long long parseInteger(const std::string& text, long long min, long long max, const std::string& what);
// Seconds since the epoch, or YYYY-MM-DDTHH:MM[:SS] with Z or +HH[:MM] / -HH[:MM].
long long parseTime(const std::string& text, const std::string& what);
// 2026-01-31T12:00:00Z; the plain seconds outside years 0000-9999. Either way
// parseTime reads it back.
std::string formatTime(long long seconds);

// 'text' with its single quotes doubled.
std::string sqlLiteral(std::string_view text);

}  // namespace repdb
