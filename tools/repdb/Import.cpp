// import: reads back what list writes (a JSON array of objects, or CSV with a
// header line) and stores it in batches, in the command's one transaction.
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Commands.h"

namespace repdb {
namespace {

constexpr size_t kBatchRows = 1000;

// The rows of a file, each with the line it starts on (0: not known).
struct Parsed {
  std::vector<Row> rows;
  std::vector<size_t> lines;
};

[[noreturn]] void bad(const std::string& file, size_t line, size_t row, const std::string& why) {
  std::string where = file + (line ? ", line " + std::to_string(line) : ", row " + std::to_string(row));
  throw CommandFailure("import: " + where + ": " + why);
}

// A value of the file as its column takes it, checked as insert checks a
// COLUMN=VALUE. The serial key's value is not stored.
Cell cellOf(const db::TableDef& def, const db::ColumnDef& column, const std::string* text) {
  if (def.isSerial(column)) return std::monostate{};
  if (!text) {
    if (column.type == db::ColumnType::OwnedText) return std::monostate{};
    throw UsageError(std::string(column.name) + " cannot be null");
  }
  return parseAssignment(def, std::string(column.name) + "=" + *text).value;
}

// The table's column for each header name.
std::vector<const db::ColumnDef*> columnsNamed(const db::TableDef& def, const std::vector<std::string>& names) {
  std::vector<const db::ColumnDef*> columns;
  for (const std::string& name : names) {
    const db::ColumnDef* column = findColumn(def, name);
    if (!column) throw UsageError(std::string("table ") + def.name + " has no column '" + name + "'");
    for (const db::ColumnDef* earlier : columns)
      if (earlier == column) throw UsageError("column " + name + " is given twice");
    columns.push_back(column);
  }
  return columns;
}

Row emptyRow(const db::TableDef& def) { return Row(def.columns.size()); }

size_t indexOf(const db::TableDef& def, const db::ColumnDef* column) {
  return static_cast<size_t>(column - def.columns.data());
}

Parsed readJson(const db::TableDef& def, const std::string& file, const std::string& text) {
  nlohmann::json array;
  try {
    array = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& error) {
    throw CommandFailure("import: " + file + ": " + error.what());
  }
  if (!array.is_array()) throw CommandFailure("import: " + file + ": not a JSON array of rows");
  Parsed parsed;
  size_t number = 0;
  for (const nlohmann::json& object : array) {
    ++number;
    if (!object.is_object()) bad(file, 0, number, "not a JSON object");
    Row row = emptyRow(def);
    try {
      for (const auto& [name, value] : object.items()) {
        const db::ColumnDef* column = columnsNamed(def, {name})[0];
        std::string textValue;
        if (value.is_number_integer())
          textValue = value.dump();
        else if (value.is_string())
          textValue = value.get<std::string>();
        else if (!value.is_null())
          throw UsageError(name + " holds neither a whole number, a text nor null");
        row[indexOf(def, column)] = cellOf(def, *column, value.is_null() ? nullptr : &textValue);
      }
    } catch (const UsageError& error) {
      bad(file, 0, number, error.what());
    }
    parsed.rows.push_back(std::move(row));
    parsed.lines.push_back(0);
  }
  return parsed;
}

// One record of list's CSV at `at`: fields separated by commas, quoted when
// they hold a comma, a quote or a line break (a quote doubled inside), the
// record ended by CRLF (or LF). Counts the lines it passes.
std::vector<std::string> csvRecord(const std::string& text, size_t& at, size_t& line) {
  std::vector<std::string> fields;
  for (;;) {
    std::string field;
    if (at < text.size() && text[at] == '"') {
      for (++at;; ++at) {
        if (at >= text.size()) throw UsageError("a quoted field is not closed");
        if (text[at] == '"') {
          if (at + 1 < text.size() && text[at + 1] == '"') {
            field += '"';
            ++at;
            continue;
          }
          ++at;
          break;
        }
        if (text[at] == '\n') ++line;
        field += text[at];
      }
    } else {
      while (at < text.size() && text[at] != ',' && text[at] != '\r' && text[at] != '\n') {
        if (text[at] == '"') throw UsageError("a quote inside a field that is not quoted");
        field += text[at++];
      }
    }
    fields.push_back(std::move(field));
    if (at >= text.size()) return fields;
    if (text[at] == ',') {
      ++at;
      continue;
    }
    if (text.compare(at, 2, "\r\n") == 0) at += 2;
    else if (text[at] == '\n') ++at;
    else throw UsageError("text after a closing quote");
    ++line;
    return fields;
  }
}

Parsed readCsv(const db::TableDef& def, const std::string& file, const std::string& text) {
  size_t at = 0, line = 1;
  std::vector<const db::ColumnDef*> columns;
  try {
    columns = columnsNamed(def, csvRecord(text, at, line));
  } catch (const UsageError& error) {
    bad(file, 1, 0, error.what());
  }
  Parsed parsed;
  while (at < text.size()) {
    const size_t first = line;
    try {
      std::vector<std::string> fields = csvRecord(text, at, line);
      if (fields.size() != columns.size())
        throw UsageError(std::to_string(fields.size()) + " fields where the header names " +
                         std::to_string(columns.size()));
      Row row = emptyRow(def);
      for (size_t i = 0; i < fields.size(); ++i) {
        // list writes a null owned text as an empty field.
        const bool null = fields[i].empty() && columns[i]->type == db::ColumnType::OwnedText;
        row[indexOf(def, columns[i])] = cellOf(def, *columns[i], null ? nullptr : &fields[i]);
      }
      parsed.rows.push_back(std::move(row));
      parsed.lines.push_back(first);
    } catch (const UsageError& error) {
      bad(file, first, 0, error.what());
    }
  }
  return parsed;
}

}  // namespace

Command importCommand(const std::string& tableName, const std::string& file) {
  Table& table = tableNamed(tableName);
  return {Command::Kind::Write, false, [&table, file](Session& session) {
            std::ifstream in(file, std::ios::binary);
            if (!in) throw CommandFailure("import: cannot read " + file);
            std::stringstream content;
            content << in.rdbuf();
            const std::string text = content.str();
            const size_t start = text.find_first_not_of(" \t\r\n");
            const bool json = start != std::string::npos && text[start] == '[';
            Parsed parsed = json ? readJson(table.def(), file, text) : readCsv(table.def(), file, text);
            const bool progress = isatty(STDERR_FILENO) == 1;
            for (size_t first = 0; first < parsed.rows.size(); first += kBatchRows) {
              const size_t end = std::min(parsed.rows.size(), first + kBatchRows);
              std::vector<Row> batch(parsed.rows.begin() + static_cast<std::ptrdiff_t>(first),
                                     parsed.rows.begin() + static_cast<std::ptrdiff_t>(end));
              unsigned int failed = 0;
              if (!table.insertRows(batch, *session.tran, failed)) {
                const size_t row = first + (failed < batch.size() ? failed : 0);
                const size_t line = parsed.lines[row];
                throw CommandFailure("import into " + std::string(table.name()) + ": " + file +
                                         (line ? ", line " + std::to_string(line) : ", row " + std::to_string(row + 1)),
                                     table.error());
              }
              if (progress) std::cerr << "\rimported " << end << " of " << parsed.rows.size() << " rows" << std::flush;
            }
            if (progress && !parsed.rows.empty()) std::cerr << "\n";
            if (session.format == Format::Human)
              session.out << "imported " << parsed.rows.size() << " rows into " << table.name() << "\n";
          }};
}

}  // namespace repdb
