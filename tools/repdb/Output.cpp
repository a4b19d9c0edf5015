#include "Output.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace repdb {
namespace {

constexpr size_t kColumnWidth = 40;   // a list stays readable with 1024-byte texts
constexpr size_t kRecordWidth = 160;

bool startsCharacter(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

size_t displayWidth(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), startsCharacter));
}

void pad(std::ostream& out, size_t n) {
  for (size_t i = 0; i < n; ++i) out << ' ';
}

std::string csvField(const Cell& cell) {
  std::string text = cellText(cell);
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

void printJson(std::ostream& out, const ResultSet& result) {
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const Row& row : result.rows) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (size_t i = 0; i < result.columns.size(); ++i) {
      const Cell& cell = row[i];
      if (const long long* number = std::get_if<long long>(&cell))
        object[result.columns[i]] = *number;
      else if (const std::string* text = std::get_if<std::string>(&cell))
        object[result.columns[i]] = *text;
      else
        object[result.columns[i]] = nullptr;
    }
    array.push_back(std::move(object));
  }
  // Stored texts are bytes; a non-UTF-8 one must not abort the output.
  out << array.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
}

void printCsv(std::ostream& out, const ResultSet& result) {
  for (size_t i = 0; i < result.columns.size(); ++i) out << (i ? "," : "") << result.columns[i];
  out << "\r\n";
  for (const Row& row : result.rows) {
    for (size_t i = 0; i < row.size(); ++i) out << (i ? "," : "") << csvField(row[i]);
    out << "\r\n";
  }
}

void printColumns(std::ostream& out, const ResultSet& result) {
  std::vector<std::vector<std::string>> texts;
  std::vector<size_t> widths;
  for (const std::string& name : result.columns) widths.push_back(displayWidth(name));
  for (const Row& row : result.rows) {
    std::vector<std::string>& line = texts.emplace_back();
    for (size_t i = 0; i < row.size(); ++i) {
      line.push_back(forPerson(cellText(row[i]), kColumnWidth));
      widths[i] = std::max(widths[i], displayWidth(line.back()));
    }
  }
  auto printLine = [&](const std::vector<std::string>& cells, bool header) {
    for (size_t i = 0; i < cells.size(); ++i) {
      size_t fill = widths[i] - displayWidth(cells[i]);
      bool last = i + 1 == cells.size();
      if (i) out << "  ";
      if (result.numeric[i] && !header) pad(out, fill);
      out << cells[i];
      if ((!result.numeric[i] || header) && !last) pad(out, fill);
    }
    out << "\n";
  };
  printLine(result.columns, true);
  for (const auto& line : texts) printLine(line, false);
  out << "(" << result.rows.size() << (result.rows.size() == 1 ? " row)\n" : " rows)\n");
}

void printRecord(std::ostream& out, const ResultSet& result) {
  size_t width = 0;
  for (const std::string& name : result.columns) width = std::max(width, displayWidth(name));
  for (size_t r = 0; r < result.rows.size(); ++r) {
    if (r) out << "\n";
    for (size_t i = 0; i < result.columns.size(); ++i) {
      std::string value = forPerson(cellText(result.rows[r][i]), kRecordWidth);
      out << result.columns[i];
      if (!value.empty()) pad(out, width - displayWidth(result.columns[i]) + 2);
      out << value << "\n";
    }
  }
}

}  // namespace

std::string cellText(const Cell& cell) {
  if (const long long* number = std::get_if<long long>(&cell)) return std::to_string(*number);
  if (const std::string* text = std::get_if<std::string>(&cell)) return *text;
  return "";
}

std::string forPerson(const std::string& text, size_t width) {
  std::string clean;
  for (char c : text) {
    switch (c) {
      case '\n': clean += "\\n"; break;
      case '\r': clean += "\\r"; break;
      case '\t': clean += "\\t"; break;
      default: clean += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    }
  }
  if (displayWidth(clean) <= width) return clean;
  size_t kept = 0, at = 0;
  for (; at < clean.size(); ++at) {
    if (startsCharacter(clean[at]) && ++kept == width) break;  // room for the ellipsis
  }
  return clean.substr(0, at) + "\u2026";
}

void printResult(std::ostream& out, const ResultSet& result, Format format, Layout layout) {
  switch (format) {
    case Format::Json: printJson(out, result); break;
    case Format::Csv: printCsv(out, result); break;
    case Format::Human:
      if (layout == Layout::Record)
        printRecord(out, result);
      else
        printColumns(out, result);
      break;
  }
}

}  // namespace repdb
