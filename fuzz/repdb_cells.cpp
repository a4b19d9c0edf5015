// repdb's value parsing: a COLUMN=VALUE text as the command line gives it
// (so without NUL bytes) checked against a catalogue table, written into a
// record and read back.
//
// Input: byte 0 picks the table (in catalogue order), the rest, up to a NUL,
// is the assignment text. An accepted value must read back unchanged from the
// record; a refused one must be refused with a UsageError (any other exception
// ends the run). Numbers are checked against an independent reading of the
// text, times against the C library's calendar, and an accepted time must
// read back through formatTime.
#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "Cells.h"
#include "DivUdurezevudoZE/Catalogue.h"

namespace {

void check(bool ok, const char* what, const std::string& text) {
  if (ok) return;
  fprintf(stderr, "%s: '%s'\n", what, text.c_str());
  abort();
}

// The value of a whole decimal number ("-" then digits, nothing else) when it
// lies in [min, max]; nothing otherwise.
std::optional<long long> decimal(const std::string& text, long long min, long long max) {
  size_t at = text.size() > 1 && text[0] == '-' ? 1 : 0;
  if (at == text.size()) return std::nullopt;
  __int128 value = 0;
  for (size_t i = at; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<__int128>(LLONG_MAX) + 1) return std::nullopt;
  }
  if (at) value = -value;
  if (value < min || value > max) return std::nullopt;
  return static_cast<long long>(value);
}

int digits(const std::string& text, size_t at, size_t n) {
  return std::stoi(text.substr(at, n));
}

// An accepted date text read again with timegm: YYYY-MM-DD, T or blank,
// HH:MM, optional :SS, then Z or a signed offset HH, HHMM or HH:MM.
long long calendarSeconds(const std::string& text) {
  tm parts{};
  parts.tm_year = digits(text, 0, 4) - 1900;
  parts.tm_mon = digits(text, 5, 2) - 1;
  parts.tm_mday = digits(text, 8, 2);
  parts.tm_hour = digits(text, 11, 2);
  parts.tm_min = digits(text, 14, 2);
  size_t at = 16;
  if (text[at] == ':') {
    parts.tm_sec = digits(text, at + 1, 2);
    at += 3;
  }
  long long offset = 0;
  if (text[at] == '+' || text[at] == '-') {
    std::string zone = text.substr(at + 1);
    if (zone.size() == 5) zone.erase(2, 1);  // HH:MM
    offset = digits(zone, 0, 2) * 3600LL + (zone.size() > 2 ? digits(zone, 2, 2) * 60LL : 0);
    if (text[at] == '-') offset = -offset;
  }
  return static_cast<long long>(timegm(&parts)) - offset;
}

// A record's worth of memory for `def`: every field lies within it.
size_t recordSize(const db::TableDef& def) {
  size_t size = 0;
  for (const db::ColumnDef& column : def.columns) size = std::max<size_t>(size, column.offset + column.size);
  return size;
}

void checkTime(long long value, const std::string& text) {
  const std::string what = "t";
  check(repdb::parseTime(std::to_string(value), what) == value, "seconds do not read back", text);
  std::string formatted = repdb::formatTime(value);
  check(repdb::parseTime(formatted, what) == value, "formatted time does not read back", text + " -> " + formatted);
}

void checkLiteral(const std::string& text) {
  std::string literal = repdb::sqlLiteral(text);
  check(literal.size() >= 2 && literal.front() == '\'' && literal.back() == '\'', "literal not quoted", text);
  std::string inner;
  for (size_t i = 1; i + 1 < literal.size(); ++i) {
    if (literal[i] == '\'') {
      check(literal[i + 1] == '\'', "lone quote in literal", text);
      ++i;
    }
    inner += literal[i];
  }
  check(inner == text, "literal does not read back", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const auto tables = divu::catalogueTables();
  const db::TableDef& def = *tables[data[0] % tables.size()];
  const char* chars = reinterpret_cast<const char*>(data) + 1;
  const std::string text(chars, strnlen(chars, size - 1));
  checkLiteral(text);

  size_t eq = text.find('=');
  const std::string name = eq == std::string::npos ? "" : text.substr(0, eq);
  const std::string value = eq == std::string::npos ? "" : text.substr(eq + 1);
  const db::ColumnDef* column = name.empty() ? nullptr : repdb::findColumn(def, name);
  bool settable = column && !(*def.serialColumn && repdb::sameName(column->name, def.serialColumn));

  std::optional<repdb::Assignment> parsed;
  try {
    parsed = repdb::parseAssignment(def, text);
  } catch (const repdb::UsageError&) {
  }
  if (!settable) {
    check(!parsed, "accepted without a settable column", text);
    return 0;
  }

  switch (column->type) {
    case db::ColumnType::Int32:
    case db::ColumnType::Int64: {
      bool wide = column->type == db::ColumnType::Int64;
      std::optional<long long> expected = decimal(value, wide ? LLONG_MIN : INT_MIN, wide ? LLONG_MAX : INT_MAX);
      check(parsed.has_value() == expected.has_value(), "number accepted or refused wrongly", text);
      if (parsed) check(std::get<long long>(parsed->value) == *expected, "number misread", text);
      break;
    }
    case db::ColumnType::Time64:
      if (std::optional<long long> seconds = decimal(value, LLONG_MIN, LLONG_MAX)) {
        check(parsed && std::get<long long>(parsed->value) == *seconds, "seconds misread", text);
      } else if (parsed) {
        check(std::get<long long>(parsed->value) == calendarSeconds(value), "date misread", text);
      }
      if (parsed) checkTime(std::get<long long>(parsed->value), text);
      break;
    case db::ColumnType::Text:
      check(parsed.has_value() == (value.size() < column->size), "text accepted or refused wrongly", text);
      break;
    case db::ColumnType::OwnedText:
      check(parsed.has_value(), "owned text refused", text);
      break;
  }
  if (!parsed) return 0;
  check(parsed->column == column, "wrong column", text);
  if (column->type == db::ColumnType::Text || column->type == db::ColumnType::OwnedText)
    check(std::get<std::string>(parsed->value) == value, "text changed", text);

  // Into a record and back: the value reads back, every other column keeps
  // its initial value.
  size_t bytes = recordSize(def);
  std::unique_ptr<std::max_align_t[]> storage(new std::max_align_t[bytes / sizeof(std::max_align_t) + 1]);
  void* record = storage.get();
  db::initRecord(record, def);
  const repdb::Row before = repdb::readRow(def, record);
  repdb::writeCell(record, *column, parsed->value);
  repdb::Row after = repdb::readRow(def, record);
  db::destroyRecord(record, def);
  for (size_t i = 0; i < def.columns.size(); ++i) {
    if (&def.columns[i] == column)
      check(after[i] == parsed->value, "value does not read back from the record", text);
    else
      check(after[i] == before[i], "another column changed", text);
  }
  return 0;
}
