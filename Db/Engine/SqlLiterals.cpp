#include "Db/Engine/SqlLiterals.h"

#include <atomic>
#include <cctype>

namespace db::engine {
namespace {

std::atomic<bool> g_on{true};

bool isWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'; }

// Whether `word` (already lower-cased) is a keyword after which a number may
// name a column.
bool ordersByPosition(std::string_view word) { return word == "order" || word == "group"; }

}  // namespace

void setLiteralParameters(bool on) { g_on.store(on, std::memory_order_relaxed); }
bool literalParameters() { return g_on.load(std::memory_order_relaxed); }

bool parameteriseLiterals(std::string_view text, std::string& out, std::vector<long long>& values) {
  return takeLiterals(text, out, values) == LiteralScan::Taken;
}

LiteralScan takeLiterals(std::string_view text, std::string& out, std::vector<long long>& values) {
  const size_t outStart = out.size();
  const size_t valuesStart = values.size();
  auto decline = [&] {
    out.resize(outStart);
    values.resize(valuesStart);
    return LiteralScan::Declined;
  };
  size_t i = 0;
  const size_t n = text.size();
  size_t copiedUpTo = 0;  // text[copiedUpTo, i) still to be copied
  while (i < n) {
    char c = text[i];
    if (c == '\'' || c == '"' || c == '`' || c == '[') {
      char close = c == '[' ? ']' : c;
      size_t j = i + 1;
      for (;;) {
        if (j >= n) return decline();  // unterminated: let the database say so
        if (text[j] == close) {
          if (close != ']' && j + 1 < n && text[j + 1] == close) {
            j += 2;  // doubled quote inside
            continue;
          }
          break;
        }
        ++j;
      }
      i = j + 1;
    } else if (c == '-' && i + 1 < n && text[i + 1] == '-') {
      size_t end = text.find('\n', i);
      i = end == std::string_view::npos ? n : end + 1;
    } else if (c == '/' && i + 1 < n && text[i + 1] == '*') {
      size_t end = text.find("*/", i + 2);
      if (end == std::string_view::npos) return decline();
      i = end + 2;
    } else if (c == '?' || c == ':' || c == '@' || c == '$' || c == '#' || c == ';') {
      return decline();  // parameters of the caller's own, or more than one statement
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      size_t j = i;
      while (j < n && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
      bool standsAlone = (i == 0 || (!isWordChar(text[i - 1]) && text[i - 1] != '.')) &&
                         (j == n || (!isWordChar(text[j]) && text[j] != '.'));
      bool plain = text[i] != '0' || j - i == 1;  // no leading zeros
      if (standsAlone && plain && j - i <= 18) {
        long long value = 0;  // at most 18 digits: no overflow
        for (size_t k = i; k < j; ++k) value = value * 10 + (text[k] - '0');
        out.append(text.substr(copiedUpTo, i - copiedUpTo));
        out += '?';
        values.push_back(value);
        copiedUpTo = j;
      }
      i = j;
      // A number glued to letters or a dot (1e5, 1.5, 0x1F) was left as it
      // stands: skip the rest of that token.
      while (i < n && (isWordChar(text[i]) || text[i] == '.')) ++i;
    } else if (isWordChar(c)) {
      size_t j = i;
      while (j < n && isWordChar(text[j])) ++j;
      if (j - i == 5) {
        char word[6];
        for (size_t k = 0; k < 5; ++k) word[k] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i + k])));
        word[5] = '\0';
        if (ordersByPosition(word)) return decline();
      }
      i = j;
    } else {
      ++i;
    }
  }
  if (values.size() == valuesStart) return LiteralScan::NoLiterals;  // nothing to gain
  out.append(text.substr(copiedUpTo));
  return LiteralScan::Taken;
}

}  // namespace db::engine
