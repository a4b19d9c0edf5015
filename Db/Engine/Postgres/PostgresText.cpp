#include "Db/Engine/Postgres/PostgresText.h"

#include <cstdlib>

namespace db::engine::pg {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool isTagStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}
bool isIdentChar(char c) { return isTagStart(c) || (c >= '0' && c <= '9') || c == '$'; }

// Index past the comment that starts at `i`, or `i` when none does.
size_t skipComment(std::string_view sql, size_t i) {
  if (sql.substr(i, 2) == "--") {
    size_t end = sql.find('\n', i);
    return end == std::string_view::npos ? sql.size() : end + 1;
  }
  if (sql.substr(i, 2) == "/*") {  // PostgreSQL block comments nest
    int depth = 1;
    size_t j = i + 2;
    while (j < sql.size() && depth > 0) {
      if (sql.substr(j, 2) == "/*") {
        ++depth;
        j += 2;
      } else if (sql.substr(j, 2) == "*/") {
        --depth;
        j += 2;
      } else {
        ++j;
      }
    }
    return j;
  }
  return i;
}

// Index past the comment, string literal, quoted identifier or dollar-quoted
// text that starts at `i`, or `i` when none does. An unterminated one runs
// to the end; the server then reports it.
size_t skipNonCode(std::string_view sql, size_t i) {
  const size_t n = sql.size();
  if (size_t end = skipComment(sql, i); end != i) return end;
  char c = sql[i];
  if (c == '\'') {
    // E'...' takes backslash escapes; plain literals are standard conforming
    // (the backend sets standard_conforming_strings).
    bool escapes = i > 0 && (sql[i - 1] == 'E' || sql[i - 1] == 'e') && (i < 2 || !isIdentChar(sql[i - 2]));
    for (size_t j = i + 1; j < n; ++j) {
      if (escapes && sql[j] == '\\') {
        ++j;
      } else if (sql[j] == '\'') {
        if (j + 1 < n && sql[j + 1] == '\'') {
          ++j;
        } else {
          return j + 1;
        }
      }
    }
    return n;
  }
  if (c == '"') {
    for (size_t j = i + 1; j < n; ++j) {
      if (sql[j] != '"') continue;
      if (j + 1 < n && sql[j + 1] == '"') {
        ++j;
      } else {
        return j + 1;
      }
    }
    return n;
  }
  if (c == '$' && (i == 0 || !isIdentChar(sql[i - 1]))) {
    size_t j = i + 1;
    if (j < n && isTagStart(sql[j]))
      while (j < n && isIdentChar(sql[j]) && sql[j] != '$') ++j;
    if (j >= n || sql[j] != '$') return i;  // $1, or a lone '$'
    std::string_view tag = sql.substr(i, j - i + 1);
    size_t close = sql.find(tag, j + 1);
    return close == std::string_view::npos ? n : close + tag.size();
  }
  return i;
}

bool parseLockTimeout(std::string_view value, int& ms, std::string* error) {
  std::string text(value);
  char* end = nullptr;
  long parsed = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || parsed < 0 || parsed > 3600000) {
    if (error) *error = "lock_timeout takes milliseconds from 0 to 3600000, not '" + text + "'";
    return false;
  }
  ms = static_cast<int>(parsed);
  return true;
}

bool parseReadOnly(std::string_view value, bool& readOnly, std::string* error) {
  if (value != "1" && value != "0") {
    if (error) *error = "read_only takes 1 or 0, not '" + std::string(value) + "'";
    return false;
  }
  readOnly = value == "1";
  return true;
}

bool parseUri(std::string_view url, ConnectionSettings& settings, std::string* error) {
  size_t q = url.find('?');
  std::string conninfo(url.substr(0, q));
  std::string_view query = q == std::string_view::npos ? std::string_view{} : url.substr(q + 1);
  char separator = '?';
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    if (item.empty()) continue;
    size_t eq = item.find('=');
    if (item.substr(0, eq) == "lock_timeout") {
      if (!parseLockTimeout(eq == std::string_view::npos ? "" : item.substr(eq + 1), settings.lockTimeoutMs,
                            error))
        return false;
      continue;
    }
    if (item.substr(0, eq) == "read_only") {
      if (!parseReadOnly(eq == std::string_view::npos ? "" : item.substr(eq + 1), settings.readOnly, error))
        return false;
      continue;
    }
    conninfo += separator;
    conninfo += item;
    separator = '&';
  }
  settings.conninfo = std::move(conninfo);
  return true;
}

// A libpq keyword string: key = value pairs, a value bare or in single
// quotes, with backslash escapes.
bool parseKeywords(std::string_view text, ConnectionSettings& settings, std::string* error) {
  std::string kept;
  size_t i = 0;
  const size_t n = text.size();
  while (true) {
    while (i < n && isSpace(text[i])) ++i;
    if (i == n) break;
    size_t start = i;
    while (i < n && text[i] != '=' && !isSpace(text[i])) ++i;
    std::string_view key = text.substr(start, i - start);
    while (i < n && isSpace(text[i])) ++i;
    if (i == n || text[i] != '=') {
      if (error) *error = "missing '=' after '" + std::string(key) + "' in the PostgreSQL connection string";
      return false;
    }
    ++i;
    while (i < n && isSpace(text[i])) ++i;
    std::string value;
    if (i < n && text[i] == '\'') {
      for (++i; i < n && text[i] != '\''; ++i) {
        if (text[i] == '\\' && i + 1 < n) ++i;
        value += text[i];
      }
      if (i == n) {
        if (error)
          *error =
              "unterminated quoted value of '" + std::string(key) + "' in the PostgreSQL connection string";
        return false;
      }
      ++i;
    } else {
      for (; i < n && !isSpace(text[i]); ++i) {
        if (text[i] == '\\' && i + 1 < n) ++i;
        value += text[i];
      }
    }
    if (key == "lock_timeout") {
      if (!parseLockTimeout(value, settings.lockTimeoutMs, error)) return false;
      continue;
    }
    if (key == "read_only") {
      if (!parseReadOnly(value, settings.readOnly, error)) return false;
      continue;
    }
    if (!kept.empty()) kept += ' ';
    kept += text.substr(start, i - start);
  }
  settings.conninfo = std::move(kept);
  return true;
}

}  // namespace

bool numberPlaceholders(std::string_view sql, std::string& out, int& count, std::string* error) {
  out.clear();
  out.reserve(sql.size() + 16);
  count = 0;
  size_t i = 0;
  while (i < sql.size()) {
    if (size_t end = skipNonCode(sql, i); end != i) {
      out.append(sql.substr(i, end - i));
      i = end;
      continue;
    }
    char c = sql[i];
    if (c == '?') {
      out += '$';
      out += std::to_string(++count);
    } else if (c == ';') {
      // Only blanks, comments and more ';' may follow.
      for (size_t j = i + 1; j < sql.size();) {
        if (isSpace(sql[j]) || sql[j] == ';') {
          ++j;
        } else if (size_t end = skipComment(sql, j); end != j) {
          j = end;
        } else {
          if (error) *error = "more than one SQL statement in one text";
          return false;
        }
      }
      return true;
    } else {
      out += c;
    }
    ++i;
  }
  return true;
}

bool parseUrl(std::string_view url, ConnectionSettings& settings, std::string* error) {
  settings = ConnectionSettings{};
  if (url.starts_with("postgresql://") || url.starts_with("postgres://"))
    return parseUri(url, settings, error);
  if (url.starts_with("postgresql:")) return parseKeywords(url.substr(11), settings, error);
  if (url.starts_with("postgres:")) return parseKeywords(url.substr(9), settings, error);
  if (error) *error = "not a PostgreSQL URL: '" + std::string(url) + "'";
  return false;
}

}  // namespace db::engine::pg
