#include "Cells.h"

#include <charconv>
#include <chrono>
#include <climits>
#include <cstring>

namespace repdb {

bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

ResultSet columnsOf(const db::TableDef& def) {
  ResultSet result;
  for (const db::ColumnDef& column : def.columns) {
    result.columns.push_back(column.name);
    result.numeric.push_back(column.type != db::ColumnType::Text && column.type != db::ColumnType::OwnedText);
  }
  return result;
}

Row readRow(const db::TableDef& def, const void* record) {
  Row row;
  row.reserve(def.columns.size());
  for (const db::ColumnDef& column : def.columns) {
    switch (column.type) {
      case db::ColumnType::Int32: row.emplace_back(static_cast<long long>(db::fieldAt<int>(record, column))); break;
      case db::ColumnType::Int64:
      case db::ColumnType::Time64: row.emplace_back(db::fieldAt<long long>(record, column)); break;
      case db::ColumnType::Text: {
        const char* text = &db::fieldAt<char>(record, column);
        row.emplace_back(std::string(text, strnlen(text, column.size)));
        break;
      }
      case db::ColumnType::OwnedText: {
        const char* text = db::fieldAt<char*>(record, column);
        if (text)
          row.emplace_back(std::string(text));
        else
          row.emplace_back(std::monostate{});
        break;
      }
    }
  }
  return row;
}

void writeCell(void* record, const db::ColumnDef& column, const Cell& value) {
  switch (column.type) {
    case db::ColumnType::Int32: db::fieldAt<int>(record, column) = static_cast<int>(std::get<long long>(value)); break;
    case db::ColumnType::Int64:
    case db::ColumnType::Time64: db::fieldAt<long long>(record, column) = std::get<long long>(value); break;
    case db::ColumnType::Text: {
      // Checked to fit by parseAssignment; the rest of the field stays zero.
      const std::string& text = std::get<std::string>(value);
      char* field = &db::fieldAt<char>(record, column);
      memset(field, 0, column.size);
      memcpy(field, text.data(), std::min<size_t>(text.size(), column.size - 1));
      break;
    }
    case db::ColumnType::OwnedText: {
      char*& field = db::fieldAt<char*>(record, column);
      delete[] field;
      field = std::holds_alternative<std::string>(value)
                  ? db::duplicateOwnedText(std::get<std::string>(value).c_str())
                  : nullptr;
      break;
    }
  }
}

const db::ColumnDef* findColumn(const db::TableDef& def, std::string_view name) {
  for (const db::ColumnDef& column : def.columns)
    if (sameName(column.name, name)) return &column;
  return nullptr;
}

long long parseInteger(const std::string& text, long long min, long long max, const std::string& what) {
  long long value = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || stop != end || error == std::errc::invalid_argument)
    throw UsageError(what + " takes a whole number, not '" + text + "'");
  if (error == std::errc::result_out_of_range || value < min || value > max)
    throw UsageError(what + " is out of range (" + std::to_string(min) + " to " + std::to_string(max) + "): " + text);
  return value;
}

Assignment parseAssignment(const db::TableDef& def, const std::string& text) {
  size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) throw UsageError("expected COLUMN=VALUE, not '" + text + "'");
  std::string name = text.substr(0, eq);
  std::string value = text.substr(eq + 1);
  const db::ColumnDef* column = findColumn(def, name);
  if (!column) throw UsageError(std::string("table ") + def.name + " has no column '" + name + "'");
  std::string what = std::string(def.name) + "." + column->name;
  if (def.isSerial(*column))
    throw UsageError(what + " is assigned by the database and cannot be given");
  switch (column->type) {
    case db::ColumnType::Int32: return {column, parseInteger(value, INT_MIN, INT_MAX, what)};
    case db::ColumnType::Int64: return {column, parseInteger(value, LLONG_MIN, LLONG_MAX, what)};
    case db::ColumnType::Time64: return {column, parseTime(value, what)};
    case db::ColumnType::Text:
      if (value.size() > column->size - 1)
        throw UsageError(what + " holds at most " + std::to_string(column->size - 1) + " bytes; the value has " +
                         std::to_string(value.size()));
      return {column, value};
    case db::ColumnType::OwnedText: return {column, value};
  }
  throw UsageError(what + " has a type this tool does not know");
}

namespace {

// Reads exactly `digits` decimal digits at text[at].
bool digitsAt(std::string_view text, size_t at, size_t digits, int& out) {
  if (at + digits > text.size()) return false;
  out = 0;
  for (size_t i = at; i < at + digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

long long parseTime(const std::string& text, const std::string& what) {
  bool number = !text.empty();
  for (size_t i = 0; i < text.size(); ++i)
    number = number && (isdigit(static_cast<unsigned char>(text[i])) || (i == 0 && text[i] == '-' && text.size() > 1));
  if (number) return parseInteger(text, LLONG_MIN, LLONG_MAX, what);

  const std::string bad = what + " takes seconds since the epoch or a date and time such as 2026-01-31T12:00:00Z, not '" +
                          text + "'";
  std::string_view t = text;
  int y, mo, d, h, mi, s = 0;
  if (!digitsAt(t, 0, 4, y) || t.size() < 16 || t[4] != '-' || !digitsAt(t, 5, 2, mo) || t[7] != '-' ||
      !digitsAt(t, 8, 2, d) || (t[10] != 'T' && t[10] != 't' && t[10] != ' ') || !digitsAt(t, 11, 2, h) ||
      t[13] != ':' || !digitsAt(t, 14, 2, mi))
    throw UsageError(bad);
  size_t at = 16;
  if (at < t.size() && t[at] == ':') {
    if (!digitsAt(t, at + 1, 2, s)) throw UsageError(bad);
    at += 3;
  }
  if (at == t.size()) throw UsageError(what + " needs a time zone (Z or +HH:MM): '" + text + "'");
  int offset = 0;
  if (t[at] == 'Z' || t[at] == 'z') {
    ++at;
  } else if (t[at] == '+' || t[at] == '-') {
    int oh = 0, om = 0;
    if (!digitsAt(t, at + 1, 2, oh)) throw UsageError(bad);
    size_t next = at + 3;
    if (next < t.size()) {
      if (t[next] == ':') ++next;
      if (!digitsAt(t, next, 2, om)) throw UsageError(bad);
      next += 2;
    }
    if (oh > 23 || om > 59) throw UsageError(bad);
    offset = (oh * 60 + om) * 60 * (t[at] == '-' ? -1 : 1);
    at = next;
  }
  using namespace std::chrono;
  year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
  if (at != t.size() || !date.ok() || h > 23 || mi > 59 || s > 59) throw UsageError(bad);
  long long days = sys_days(date).time_since_epoch().count();
  return days * 86400 + h * 3600 + mi * 60 + s - offset;
}

std::string formatTime(long long seconds) {
  using namespace std::chrono;
  // Outside years 0000-9999 a date would need more digits than parseTime reads
  // (and the calendar types wrap long before the ends of long long).
  constexpr long long kFirst = -62167219200;  // 0000-01-01T00:00:00Z
  constexpr long long kLast = 253402300799;   // 9999-12-31T23:59:59Z
  if (seconds < kFirst || seconds > kLast) return std::to_string(seconds);
  // Floor division by hand: days * 86400 overflows for the lowest values.
  long long days = seconds / 86400;
  long long rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  year_month_day date{sys_days{std::chrono::days{days}}};
  char text[48];
  snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<int>(date.year()),
           static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), rest / 3600, rest % 3600 / 60,
           rest % 60);
  return text;
}

std::string sqlLiteral(std::string_view text) {
  std::string literal = "'";
  for (char c : text) {
    if (c == '\'') literal += '\'';
    literal += c;
  }
  return literal + "'";
}

}  // namespace repdb
