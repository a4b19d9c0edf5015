// The one reading of a database URL, and the backend it names.
#include "Db/DatabaseUrl.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <vector>

#include "Db/Engine/Backend.h"

namespace db {
namespace {

using Location = DatabaseOptions::Location;

constexpr long kMaxWaitMs = 3600000;
constexpr long kMaxCacheKiB = 64L * 1024 * 1024;
constexpr long kMaxLifetimeSeconds = 7L * 24 * 3600;

bool isSynchronous(std::string_view mode) {
  return mode == "FULL" || mode == "NORMAL" || mode == "EXTRA" || mode == "OFF";
}

// A whole number named `name` from 0 to `max`, of `unit` ("milliseconds",
// ...); false with *error for anything else.
bool readBounded(std::string_view name, std::string_view value, long max, const char* unit, int& out,
                 std::string* error) {
  std::string text(value);
  char* end = nullptr;
  long parsed = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || parsed < 0 || parsed > max) {
    if (error)
      *error = std::string(name) + " takes " + unit + " from 0 to " + std::to_string(max) + ", not '" + text + "'";
    return false;
  }
  out = static_cast<int>(parsed);
  return true;
}

// A wait in milliseconds named `name`, from 0 to an hour.
bool readMilliseconds(std::string_view name, std::string_view value, int& ms, std::string* error) {
  return readBounded(name, value, kMaxWaitMs, "milliseconds", ms, error);
}

// A lifetime in seconds named `name`, from 0 (none) to a week.
bool readSeconds(std::string_view name, std::string_view value, int& seconds, std::string* error) {
  return readBounded(name, value, kMaxLifetimeSeconds, "seconds", seconds, error);
}

// A URL switch ("1" or "0") named `name`; false with *error for other values.
bool parseSwitch(std::string_view name, std::string_view value, bool& out, std::string* error) {
  if (value != "1" && value != "0") {
    if (error) *error = std::string(name) + " takes 1 or 0, not '" + std::string(value) + "'";
    return false;
  }
  out = value == "1";
  return true;
}

// A count of connections from 0 (no cap) to kMaxConnections.
constexpr int kMaxConnections = 10000;
bool readConnectionCap(std::string_view value, int& out, std::string* error) {
  return readBounded("max_connections", value, kMaxConnections, "a count", out, error);
}

// The options of ours that both backends take besides the switches: true
// when `key` is one (then false in `ok` when its value is bad).
bool readPoolOption(std::string_view key, std::string_view value, DatabaseOptions& options, bool& ok,
                    std::string* error) {
  if (key == "max_connections") {
    ok = readConnectionCap(value, options.maxConnections, error);
    return true;
  }
  if (key == "connection_wait") {
    ok = readMilliseconds(key, value, options.connectionWaitMs, error);
    return true;
  }
  if (key == "statement_timeout") {
    ok = readMilliseconds(key, value, options.statementTimeoutMs, error);
    return true;
  }
  return false;
}

// "h1:p1,[::1]:p2,/run/pg" split into libpq's host and port lists; false
// with *error when an item is malformed.
bool splitReadHosts(std::string_view hosts, std::string& hostList, std::string& portList, std::string* error) {
  auto refuse = [&](std::string_view item, const char* why) {
    if (error) *error = "read_hosts item '" + std::string(item) + "': " + why + " (read_hosts=HOST:PORT,...)";
    return false;
  };
  if (hosts.empty()) return refuse(hosts, "no host");
  for (;;) {
    size_t comma = hosts.find(',');
    std::string_view item = hosts.substr(0, comma);
    std::string_view host = item, port;
    if (item.starts_with('[')) {
      size_t close = item.find(']');
      if (close == std::string_view::npos) return refuse(item, "unclosed '['");
      host = item.substr(1, close - 1);
      std::string_view rest = item.substr(close + 1);
      if (!rest.empty() && !rest.starts_with(':')) return refuse(item, "text after ']'");
      if (!rest.empty()) port = rest.substr(1);
    } else if (size_t colon = item.rfind(':'); colon != std::string_view::npos) {
      host = item.substr(0, colon);
      port = item.substr(colon + 1);
    }
    if (host.empty()) return refuse(item, "no host");
    if (host.find_first_of(" '\\") != std::string_view::npos) return refuse(item, "a blank, quote or backslash in the host");
    long number = port.empty() ? 5432 : 0;
    for (char c : port) number = isdigit(static_cast<unsigned char>(c)) && number <= 65535 ? number * 10 + (c - '0') : 70000;
    if (number < 1 || number > 65535) return refuse(item, "the port is not a number from 1 to 65535");
    if (!hostList.empty()) {
      hostList += ',';
      portList += ',';
    }
    hostList += host;
    portList += std::to_string(number);
    if (comma == std::string_view::npos) break;
    hosts = hosts.substr(comma + 1);
  }
  return true;
}

// A URI query value with its %XX escapes decoded, as libpq reads its own.
std::string percentDecoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// `text` percent-encoded for a URI's query value.
std::string percentEncoded(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/' || c == ',') {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

// The URL forms of each scheme, for the text that refuses another scheme, and
// what a build without its backend says.
struct SchemeText {
  const char* scheme;
  const char* forms;
  const char* absent;
};
constexpr SchemeText kSchemeTexts[] = {
    {"sqlite", "sqlite:PATH, a plain file path", "this build has no SQLite backend"},
    {"postgresql", "postgresql://... or postgres://...",
     "this build has no PostgreSQL backend (configure with DIVU_WITH_POSTGRESQL=ON and libpq)"},
};

// The forms this build opens, listed.
std::string unknownScheme(std::string_view scheme) {
  std::string forms;
  for (const SchemeText& text : kSchemeTexts) {
    if (!engine::findBackend(text.scheme)) continue;
    if (!forms.empty()) forms += ", ";
    forms += text.forms;
  }
  return "unknown scheme '" + std::string(scheme) + "'; a database URL is " + forms +
         " (see the URL table in README.md)";
}

// Why a known scheme cannot be opened by this build.
std::string absent(std::string_view scheme) {
  for (const SchemeText& text : kSchemeTexts)
    if (scheme == text.scheme) return text.absent;
  return unknownScheme(scheme);
}

// The scheme of a URL written "scheme://...", else empty (a plain path).
std::string_view schemeOf(std::string_view url) {
  size_t end = url.find("://");
  if (end == std::string_view::npos || end == 0) return {};
  for (size_t i = 0; i < end; ++i) {
    unsigned char c = static_cast<unsigned char>(url[i]);
    if (!(isalnum(c) || ((c == '+' || c == '-' || c == '.') && i > 0))) return {};
  }
  return url.substr(0, end);
}

// Splits the next "key=value" item off `query` ('&'-separated).
std::string_view nextItem(std::string_view& query) {
  size_t amp = query.find('&');
  std::string_view item = query.substr(0, amp);
  query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
  return item;
}

// One option of ours in an sqlite: URL, in either form; false with *error
// when it is unknown or its value is bad.
bool takeSqliteOption(std::string_view key, std::string_view text, DatabaseOptions& options, std::string* error) {
  std::string value(text);
  if (key == "busy_timeout") return readMilliseconds(key, value, options.busyTimeoutMs, error);
  if (key == "cache_size") {
    char* end = nullptr;
    long kib = strtol(value.c_str(), &end, 10);
    if (value.empty() || *end || kib <= 0 || kib > kMaxCacheKiB) {
      if (error) *error = "cache_size takes KiB from 1 to 67108864, not '" + value + "'";
      return false;
    }
    options.cacheKiB = kib;
    return true;
  }
  if (key == "synchronous") {
    for (char& c : value) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (!isSynchronous(value)) {
      if (error) *error = "synchronous takes full, normal, extra or off, not '" + value + "'";
      return false;
    }
    options.synchronous = value;
    return true;
  }
  if (key == "read_only" || key == "upgrade")
    return parseSwitch(key, value, key == "upgrade" ? options.upgradeOnOpen : options.readOnly, error);
  if (bool ok = true; readPoolOption(key, value, options, ok, error)) return ok;
  if (key == "read_hosts") {
    if (error) *error = "read_hosts names PostgreSQL standbys; an SQLite database has none";
    return false;
  }
  if (error) *error = "unknown SQLite option '" + std::string(key) + "'";
  return false;
}

// The query parameters SQLite itself reads in a URI filename.
bool isSqliteUriParameter(std::string_view key) {
  for (std::string_view own : {"vfs", "mode", "cache", "psow", "nolock", "immutable", "modeof"})
    if (key == own) return true;
  return false;
}

// sqlite:file:URI: SQLite reads its own parameters (mode=, vfs=, cache=...);
// ours leave the URI and are taken as in sqlite:PATH. Anything else is
// refused: SQLite would ignore it without a word.
bool readSqliteUri(std::string_view url, std::string_view uri, DatabaseOptions& options, std::string* error) {
  options.location = Location::UriFilename;
  size_t q = uri.find('?');
  std::string_view name = uri.substr(5, q == std::string_view::npos ? std::string_view::npos : q - 5);
  bool memory = name == ":memory:";
  std::string kept(uri.substr(0, q));
  char separator = '?';
  for (std::string_view query = q == std::string_view::npos ? std::string_view{} : uri.substr(q + 1);
       !query.empty();) {
    std::string_view item = nextItem(query);
    size_t eq = item.find('=');
    std::string_view key = item.substr(0, eq);
    if (!isSqliteUriParameter(key)) {
      if (!takeSqliteOption(key, percentDecoded(eq == std::string_view::npos ? "" : item.substr(eq + 1)), options,
                            error))
        return false;
      continue;
    }
    kept += separator;
    kept += item;
    separator = '&';
    if (item == "vfs=memdb") options.memdb = true;
    if (item == "mode=memory") memory = true;
    // A shared cache reports its table locks at once, with no wait, and
    // joins connections that the engine keeps apart.
    if (item.starts_with("cache=") && item != "cache=private") {
      if (error) *error = "shared-cache SQLite URIs (" + std::string(item) + ") are not supported; name the file (sqlite:PATH) or use sqlite::memory:";
      return false;
    }
  }
  options.target = std::move(kept);
  if (memory && !options.memdb) {
    // Each connection of such a URI gets a database of its own, while the
    // engine opens one per thread and expects them to share it.
    if (error) *error = "'" + std::string(url) + "' gives every connection its own empty database; use sqlite::memory: for an in-memory database";
    return false;
  }
  return true;
}

// sqlite:PATH[?OPTIONS], sqlite:///PATH, sqlite::memory:, or a plain path
// (taken whole: it has no query).
bool readSqlite(std::string_view url, DatabaseOptions& options, std::string* error) {
  std::string_view rest = url;
  bool scheme = rest.starts_with("sqlite:");
  if (scheme) {
    rest.remove_prefix(7);
    if (rest.starts_with("//")) rest.remove_prefix(2);  // sqlite:///abs/path
  }
  if (scheme && rest.starts_with("file:")) return readSqliteUri(url, rest, options, error);
  std::string_view query;
  if (scheme) {
    if (size_t q = rest.find('?'); q != std::string_view::npos) {
      query = rest.substr(q + 1);
      rest = rest.substr(0, q);
    }
  }
  if (rest.empty()) {
    if (error) *error = "no database path in '" + std::string(url) + "'";
    return false;
  }
  if (rest == ":memory:")
    options.location = Location::Memory;
  else
    options.target = std::string(rest);
  while (!query.empty()) {
    std::string_view item = nextItem(query);
    size_t eq = item.find('=');
    if (!takeSqliteOption(item.substr(0, eq), eq == std::string_view::npos ? "" : item.substr(eq + 1), options, error))
      return false;
  }
  return true;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// pooler=none|transaction.
bool readPooler(std::string_view value, DatabaseOptions& options, std::string* error) {
  if (value == "none" || value == "transaction") {
    options.pooler = value == "none" ? DatabaseOptions::Pooler::None : DatabaseOptions::Pooler::Transaction;
    return true;
  }
  if (error)
    *error = "pooler takes none or transaction (a pooler in transaction mode, such as pgbouncer's), not '" +
             std::string(value) + "'";
  return false;
}

// The switches of ours: read_only and upgrade. Null for any other key.
bool* switchOf(std::string_view key, DatabaseOptions& options) {
  if (key == "read_only") return &options.readOnly;
  if (key == "upgrade") return &options.upgradeOnOpen;
  return nullptr;
}

// A PostgreSQL option of ours, in either form of the URL: true when `key` is
// one (then false in *ok with *error when its value is bad); false for a key
// that libpq is given.
bool takePostgresOption(std::string_view key, std::string_view value, DatabaseOptions& options, bool& ok,
                        std::string* error) {
  ok = true;
  if (key == "lock_timeout") {
    ok = readMilliseconds(key, value, options.lockTimeoutMs, error);
  } else if (key == "max_lifetime") {
    ok = readSeconds(key, value, options.maxLifetimeSeconds, error);
  } else if (bool* flag = switchOf(key, options)) {
    ok = parseSwitch(key, value, *flag, error);
  } else if (key == "read_hosts") {
    options.readHosts = value;
  } else if (key == "pooler") {
    ok = readPooler(value, options, error);
  } else {
    return readPoolOption(key, value, options, ok, error);
  }
  return true;
}

// A libpq URI: our options leave its query, the rest stays as written.
bool readPostgresUri(std::string_view url, DatabaseOptions& options, std::string* error) {
  size_t q = url.find('?');
  std::string conninfo(url.substr(0, q));
  std::string_view query = q == std::string_view::npos ? std::string_view{} : url.substr(q + 1);
  char separator = '?';
  while (!query.empty()) {
    std::string_view item = nextItem(query);
    if (item.empty()) continue;
    size_t eq = item.find('=');
    bool ok = true;
    // Our values as the URI writes them: percent-encoded.
    if (takePostgresOption(item.substr(0, eq), percentDecoded(eq == std::string_view::npos ? "" : item.substr(eq + 1)),
                           options, ok, error)) {
      if (!ok) return false;
      continue;
    }
    conninfo += separator;
    conninfo += item;
    separator = '&';
  }
  options.target = std::move(conninfo);
  return true;
}

// A libpq keyword string: key = value pairs, a value bare or in single
// quotes, with backslash escapes.
bool readPostgresKeywords(std::string_view text, DatabaseOptions& options, std::string* error) {
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
    bool ok = true;
    if (takePostgresOption(key, value, options, ok, error)) {
      if (!ok) return false;
      continue;
    }
    if (!kept.empty()) kept += ' ';
    kept += text.substr(start, i - start);
  }
  options.target = std::move(kept);
  return true;
}

// postgresql://..., postgres://..., or postgresql: / postgres: followed by a
// libpq keyword string.
bool readPostgres(std::string_view url, DatabaseOptions& options, std::string* error) {
  options.location = Location::Server;
  if (url.starts_with("postgresql://") || url.starts_with("postgres://")) return readPostgresUri(url, options, error);
  return readPostgresKeywords(url.substr(url.find(':') + 1), options, error);
}

// Replaces every occurrence of `secret` in `text` with "***".
void hide(std::string& text, std::string_view secret) {
  if (secret.empty()) return;
  for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
    text.replace(at, secret.size(), "***");
}

// The passwords a URL holds, as written in it.
std::vector<std::string_view> passwordsOf(std::string_view url) {
  std::vector<std::string_view> found;
  if (size_t slashes = url.find("://"); slashes != std::string_view::npos) {
    std::string_view authority = url.substr(slashes + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (size_t at = authority.rfind('@'); at != std::string_view::npos) {
      std::string_view user = authority.substr(0, at);
      if (size_t colon = user.find(':'); colon != std::string_view::npos && colon + 1 < user.size())
        found.push_back(user.substr(colon + 1));
    }
  }
  // password=VALUE as a query option (up to '&') or a keyword (up to a blank,
  // or quoted).
  for (size_t at = url.find("password"); at != std::string_view::npos; at = url.find("password", at + 8)) {
    if (at > 0 && (isalnum(static_cast<unsigned char>(url[at - 1])) || url[at - 1] == '_')) continue;
    size_t i = at + 8;
    while (i < url.size() && url[i] == ' ') ++i;
    if (i >= url.size() || url[i] != '=') continue;
    ++i;
    while (i < url.size() && url[i] == ' ') ++i;
    size_t start = i;
    if (i < url.size() && url[i] == '\'') {
      for (++i; i < url.size() && url[i] != '\''; ++i)
        if (url[i] == '\\') ++i;
      start += 1;
    } else {
      while (i < url.size() && url[i] != '&' && url[i] != ' ' && url[i] != '#') ++i;
    }
    if (i > start) found.push_back(url.substr(start, std::min(i, url.size()) - start));
  }
  return found;
}

}  // namespace

std::optional<DatabaseOptions> DatabaseOptions::parse(std::string_view url, std::string* error) {
  DatabaseOptions options;
  options.url = std::string(url);
  bool read;
  if (url.starts_with("postgresql:") || url.starts_with("postgres:")) {
    options.scheme = "postgresql";
    read = readPostgres(url, options, error);
  } else if (std::string_view scheme = schemeOf(url); !scheme.empty() && scheme != "sqlite") {
    if (error) *error = unknownScheme(scheme);
    read = false;
  } else {
    options.scheme = "sqlite";
    read = readSqlite(url, options, error);
  }
  if (!read) {
    // Without its backend, mending the URL would not help: say that instead.
    if (error && !options.scheme.empty() && !engine::findBackend(options.scheme)) *error = absent(options.scheme);
    return std::nullopt;
  }
  if (!options.check(error)) return std::nullopt;
  return options;
}

bool DatabaseOptions::check(std::string* error) const {
  auto refuse = [error](std::string why) {
    if (error) *error = std::move(why);
    return false;
  };
  for (auto [name, ms] : {std::pair{"busy_timeout", busyTimeoutMs}, {"lock_timeout", lockTimeoutMs},
                          {"statement_timeout", statementTimeoutMs}})
    if (ms < 0 || ms > kMaxWaitMs)
      return refuse(std::string(name) + " takes milliseconds from 0 to " + std::to_string(kMaxWaitMs) + ", not " +
                    std::to_string(ms));
  if (maxLifetimeSeconds < 0 || maxLifetimeSeconds > kMaxLifetimeSeconds)
    return refuse("max_lifetime takes seconds from 0 to " + std::to_string(kMaxLifetimeSeconds) + ", not " +
                  std::to_string(maxLifetimeSeconds));
  if (cacheKiB < 0 || cacheKiB > kMaxCacheKiB)
    return refuse("cache_size takes KiB from 1 to " + std::to_string(kMaxCacheKiB) + ", not " + std::to_string(cacheKiB));
  // It is pasted into a PRAGMA: only the four words.
  if (!isSynchronous(synchronous)) return refuse("synchronous takes full, normal, extra or off, not '" + synchronous + "'");
  if (readOnly && location == Location::Memory) return refuse("read_only needs a database file");
  if (maxConnections < 0 || maxConnections > kMaxConnections)
    return refuse("max_connections takes a count from 0 (no cap) to " + std::to_string(kMaxConnections) + ", not " +
                  std::to_string(maxConnections));
  if (connectionWaitMs < 0 || connectionWaitMs > kMaxWaitMs)
    return refuse("connection_wait takes milliseconds from 0 to " + std::to_string(kMaxWaitMs) + ", not " +
                  std::to_string(connectionWaitMs));
  if (!readHosts.empty() && !isServer())
    return refuse("read_hosts names PostgreSQL standbys; an SQLite database has none");
  if (pooler != Pooler::None && !isServer()) return refuse("pooler is a setting of server databases");
  return readTarget(error).has_value();
}

std::optional<std::string> DatabaseOptions::readTarget(std::string* error) const {
  if (readHosts.empty()) return std::string();
  std::string hosts, ports;
  if (!splitReadHosts(readHosts, hosts, ports, error)) return std::nullopt;
  // libpq takes the last value of a setting given twice: these replace the
  // URL's own hosts, ports and session attributes.
  std::string out = target;
  if (target.starts_with("postgresql://") || target.starts_with("postgres://")) {
    out += target.find('?') == std::string::npos ? '?' : '&';
    out += "host=" + percentEncoded(hosts) + "&port=" + ports + "&target_session_attrs=prefer-standby";
  } else {
    out += " host='" + hosts + "' port='" + ports + "' target_session_attrs=prefer-standby";
  }
  return out;
}

std::optional<std::string> DatabaseOptions::file() const {
  if (location == Location::File) return target;
  if (location != Location::UriFilename || memdb) return std::nullopt;
  // file:PATH?QUERY, file:///PATH or file://localhost/PATH, percent-encoded.
  std::string_view uri = std::string_view(target).substr(5);
  uri = uri.substr(0, uri.find_first_of("?#"));
  if (uri.starts_with("//")) {
    uri.remove_prefix(2);
    size_t slash = uri.find('/');
    uri = slash == std::string_view::npos ? std::string_view{} : uri.substr(slash);  // past the authority
  }
  std::string path = percentDecoded(uri);
  if (path.empty() || path == ":memory:") return std::nullopt;
  return path;
}

std::string redactUrl(std::string_view url, std::string text) {
  for (std::string_view password : passwordsOf(url)) hide(text, password);
  return text;
}

std::string redactUrl(std::string_view url) { return redactUrl(url, std::string(url)); }

namespace engine {

std::unique_ptr<Backend> makeBackend(const DatabaseOptions& options, std::string* error) {
  if (const BackendFactory* factory = findBackend(options.scheme)) return factory->make(options, error);
  if (error) *error = absent(options.scheme);
  return nullptr;
}

}  // namespace engine
}  // namespace db
