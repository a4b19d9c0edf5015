#include "Db/Engine/Postgres/PostgresText.h"

#include <cctype>

#include "Db/Engine/Backend.h"
#include "Db/Engine/SqlLexer.h"

namespace db::engine::pg {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// A string constant ('...'; standard_conforming_strings is on).
std::string quoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += c;
  }
  return out + "'";
}

// The names of a list setting's value as the server reads it
// (SplitIdentifierString): comma-separated, blanks around them dropped, a
// quoted name as written ("" is a quote), an unquoted one in lower case.
std::vector<std::string> splitNames(std::string_view value) {
  std::vector<std::string> names;
  size_t i = 0;
  const size_t n = value.size();
  while (i < n && isSpace(value[i])) ++i;
  if (i == n) return names;
  while (true) {
    std::string name;
    if (value[i] == '"') {
      for (++i; i < n; ++i) {
        if (value[i] == '"') {
          if (i + 1 < n && value[i + 1] == '"') {
            name += '"';
            ++i;
            continue;
          }
          ++i;
          break;
        }
        name += value[i];
      }
    } else {
      for (; i < n && value[i] != ',' && !isSpace(value[i]); ++i)
        name += value[i] >= 'A' && value[i] <= 'Z' ? static_cast<char>(value[i] - 'A' + 'a') : value[i];
    }
    names.push_back(std::move(name));
    while (i < n && isSpace(value[i])) ++i;
    if (i >= n || value[i] != ',') break;
    ++i;
    while (i < n && isSpace(value[i])) ++i;
  }
  return names;
}

bool isSettingName(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name)
    if (!(isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.')) return false;
  return true;
}

}  // namespace

bool numberPlaceholders(std::string_view sql, std::string& out, int& count, std::string* error) {
  out.clear();
  out.reserve(sql.size() + 16);
  count = 0;
  for (size_t i = 0; i < sql.size();) {
    Span span = lexemeAt(sql, i, SqlDialect::Postgres);
    if (span.kind != Lexeme::Code) {
      out.append(sql.substr(i, span.end - i));
      i = span.end;
      continue;
    }
    char c = sql[i];
    if (c == '?') {
      out += '$';
      out += std::to_string(++count);
    } else if (c == ';') {
      // Only blanks, comments and more ';' may follow.
      for (size_t j = i + 1; j < sql.size();) {
        Span after = lexemeAt(sql, j, SqlDialect::Postgres);
        bool comment = after.kind == Lexeme::LineComment || after.kind == Lexeme::BlockComment;
        if (!comment && !isSpace(sql[j]) && sql[j] != ';') {
          if (error) *error = "more than one SQL statement in one text";
          return false;
        }
        j = after.end;
      }
      return true;
    } else {
      out += c;
    }
    ++i;
  }
  return true;
}

bool takeSettings(std::string_view options, std::vector<Setting>& settings, std::string& rest, std::string* error) {
  // The switches as the server splits them (pg_split_opts), each with the
  // text it was written as.
  struct Word {
    std::string value;
    std::string_view written;
  };
  std::vector<Word> words;
  for (size_t i = 0; i < options.size();) {
    while (i < options.size() && isSpace(options[i])) ++i;
    if (i == options.size()) break;
    size_t start = i;
    Word word;
    for (; i < options.size() && !isSpace(options[i]); ++i) {
      if (options[i] == '\\' && i + 1 < options.size()) ++i;
      word.value += options[i];
    }
    word.written = options.substr(start, i - start);
    words.push_back(std::move(word));
  }
  rest.clear();
  for (size_t w = 0; w < words.size(); ++w) {
    std::string assignment;
    if (words[w].value == "-c" && w + 1 < words.size()) {
      assignment = words[++w].value;
    } else if (words[w].value.starts_with("-c") && words[w].value.size() > 2) {
      assignment = words[w].value.substr(2);
    } else if (words[w].value.starts_with("--") && words[w].value.size() > 2) {
      assignment = words[w].value.substr(2);
    } else {
      if (!rest.empty()) rest += ' ';
      rest += words[w].written;
      continue;
    }
    size_t eq = assignment.find('=');
    Setting setting{assignment.substr(0, eq), eq == std::string::npos ? "" : assignment.substr(eq + 1)};
    for (char& c : setting.name)
      if (c == '-') c = '_';  // as the server reads a switch's name
    if (eq == std::string::npos || !isSettingName(setting.name)) {
      if (error) *error = "'" + assignment + "' in options is not a setting (name=value)";
      return false;
    }
    settings.push_back(std::move(setting));
  }
  return true;
}

std::string setLocal(const Setting& setting) {
  std::string sql = "SET LOCAL " + setting.name + " = ";
  std::string name = setting.name;
  for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  // The server quotes each string of these settings as one name: pass the
  // names one by one, as the value written in options means them.
  if (name == "search_path" || name == "temp_tablespaces") {
    std::vector<std::string> names = splitNames(setting.value);
    if (names.empty()) return sql + "''";
    for (size_t i = 0; i < names.size(); ++i) sql += (i ? ", " : "") + quoted(names[i]);
    return sql;
  }
  return sql + quoted(setting.value);
}

}  // namespace db::engine::pg
