#include "Db/Engine/Postgres/PostgresText.h"

#include <cstdlib>

#include "Db/Engine/Backend.h"
#include "Db/Engine/SqlLexer.h"

namespace db::engine::pg {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

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

// The switches of ours: read_only and upgrade. Null for any other key.
bool* switchOf(std::string_view key, ConnectionSettings& settings) {
  if (key == "read_only") return &settings.readOnly;
  if (key == "upgrade") return &settings.upgradeOnOpen;
  return nullptr;
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
    if (bool* flag = switchOf(item.substr(0, eq), settings)) {
      if (!parseSwitch(item.substr(0, eq), eq == std::string_view::npos ? "" : item.substr(eq + 1), *flag, error))
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
    if (bool* flag = switchOf(key, settings)) {
      if (!parseSwitch(key, value, *flag, error)) return false;
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
