#include "Db/Engine/SqlLiterals.h"

#include "Db/Engine/SqlLexer.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <string>

namespace db::engine {
namespace {

std::atomic<bool> g_on{true};

// Both databases read a byte of 0x80 and up as a letter of a name: "1\x85"
// is one (bad) token, not the number 1.
bool isWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || static_cast<unsigned char>(c) >= 0x80;
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isOperatorChar(char c) { return c != '\0' && std::string_view("+-*/<>=~!@#%^&|`?").find(c) != std::string_view::npos; }

// Whether the '-' at `minus` belongs to the operator written before it. The
// PostgreSQL lexer reads a run of operator characters as one operator, and
// lets it end in '-' only when it holds one of ~ ! @ # % ^ & | ` ? ("!=-" is
// one unknown operator; "*-" is '*' and a sign). `runStart` is where the code
// around it begins: comments and quotes end a run.
bool minusEndsOperator(std::string_view text, size_t runStart, size_t minus) {
  bool special = false;
  for (size_t k = minus; k > runStart && isOperatorChar(text[k - 1]); --k)
    special = special || std::string_view("~!@#%^&|`?").find(text[k - 1]) != std::string_view::npos;
  return special;
}

// On PostgreSQL a marker is typed as the server types the literal it stands
// for: integer when the value fits 32 bits, bigint otherwise. So int4
// arithmetic overflows and a bigint compares exactly as written.
const char* markerFor(SqlDialect dialect, long long value) {
  if (dialect != SqlDialect::Postgres) return "?";
  return value >= INT32_MIN && value <= INT32_MAX ? "?::int4" : "?::int8";
}

// Whether `word` (lower-cased) is a keyword an operand follows, so that a
// minus after it is a sign.
bool takesOperand(std::string_view word) {
  for (std::string_view keyword :
       {"and", "or", "not", "when", "then", "else", "between", "case", "like", "is", "select", "where", "set"})
    if (word == keyword) return true;
  return false;
}

// Whether `word` (already lower-cased) is a keyword after which a number may
// name a column.
bool ordersByPosition(std::string_view word) { return word == "order" || word == "group"; }

using LiteralSpan = LiteralRun;

LiteralScan scan(std::string_view text, std::string& out, std::vector<long long>& values, SqlDialect dialect,
                 std::vector<LiteralSpan>& spans);

// The scans of the last few texts, per thread. A text that differs from one
// of them only in the digits of its taken literals scans the same way: the
// lexer sees the same characters around each run, and a run stays a plain
// number of at most 18 digits without leading zeros. So the calls that vary
// only a key ("id = 41", "id = 42") scan once.
struct Shape {
  SqlDialect dialect = SqlDialect::Sqlite;
  LiteralScan result = LiteralScan::NoLiterals;
  std::string text;
  std::vector<LiteralSpan> spans;
};

constexpr size_t kShapes = 8;
constexpr size_t kLongestShape = 1024;  // longer texts are scanned each time

struct ShapeCache {
  Shape shapes[kShapes];
  size_t used = 0, next = 0;
  std::vector<LiteralSpan> spans;  // scratch
};
thread_local ShapeCache tl_shapes;

// A plain run of 1 to 18 digits at `at` in `text`: its end, or npos.
size_t plainNumberEnd(std::string_view text, size_t at) {
  size_t end = at;
  while (end < text.size() && isDigit(text[end])) ++end;
  size_t digits = end - at;
  if (digits == 0 || digits > 18 || (text[at] == '0' && digits > 1)) return std::string_view::npos;
  return end;
}

// Appends `text` scanned as `shape` scanned, when it has that shape.
bool reuse(const Shape& shape, std::string_view text, std::string& out, std::vector<long long>& values,
           std::vector<LiteralRun>* runs) {
  const std::string_view known = shape.text;
  if (shape.spans.empty()) return text == known;
  // Each run's place in `text` first: nothing is appended unless all match.
  size_t starts[16], ends[16];
  if (shape.spans.size() > 16) return false;
  size_t from = 0, at = 0;
  for (size_t k = 0; k < shape.spans.size(); ++k) {
    const LiteralSpan& span = shape.spans[k];
    std::string_view piece = known.substr(from, span.digitsStart - from);
    if (text.substr(at, piece.size()) != piece) return false;
    at += piece.size();
    size_t end = plainNumberEnd(text, at);
    if (end == std::string_view::npos) return false;
    starts[k] = at;
    ends[k] = end;
    at = end;
    from = span.end;
  }
  if (text.substr(at) != known.substr(from)) return false;
  size_t copied = 0;
  for (size_t k = 0; k < shape.spans.size(); ++k) {
    long long value = 0;
    for (size_t i = starts[k]; i < ends[k]; ++i) value = value * 10 + (text[i] - '0');
    size_t start = shape.spans[k].negative ? starts[k] - 1 : starts[k];
    out.append(text.substr(copied, start - copied));
    if (shape.spans[k].negative) value = -value;
    out += markerFor(shape.dialect, value);
    values.push_back(value);
    if (runs) runs->push_back({starts[k], ends[k], shape.spans[k].negative});
    copied = ends[k];
  }
  out.append(text.substr(copied));
  return true;
}

}  // namespace

void setLiteralParameters(bool on) { g_on.store(on, std::memory_order_relaxed); }
bool literalParameters() { return g_on.load(std::memory_order_relaxed); }

bool parameteriseLiterals(std::string_view text, std::string& out, std::vector<long long>& values,
                          SqlDialect dialect) {
  return takeLiterals(text, out, values, dialect) == LiteralScan::Taken;
}

const char* literalMarker(SqlDialect dialect, long long value) { return markerFor(dialect, value); }

LiteralScan takeLiterals(std::string_view text, std::string& out, std::vector<long long>& values,
                         SqlDialect dialect, std::vector<LiteralRun>* runs) {
  ShapeCache& cache = tl_shapes;
  for (size_t k = 0; k < cache.used; ++k) {
    const Shape& shape = cache.shapes[k];
    if (shape.dialect == dialect && reuse(shape, text, out, values, runs)) return shape.result;
  }
  cache.spans.clear();
  LiteralScan result = scan(text, out, values, dialect, cache.spans);
  if (runs && result == LiteralScan::Taken) runs->insert(runs->end(), cache.spans.begin(), cache.spans.end());
  if (text.size() <= kLongestShape) {
    Shape& shape = cache.shapes[cache.next];
    cache.next = (cache.next + 1) % kShapes;
    cache.used = std::min(cache.used + 1, kShapes);
    shape.dialect = dialect;
    shape.result = result;
    shape.text.assign(text);
    shape.spans.assign(cache.spans.begin(), cache.spans.end());
    if (result != LiteralScan::Taken) shape.spans.clear();
  }
  return result;
}

namespace {

LiteralScan scan(std::string_view text, std::string& out, std::vector<long long>& values, SqlDialect dialect,
                 std::vector<LiteralSpan>& spans) {
  const size_t outStart = out.size();
  const size_t valuesStart = values.size();
  auto decline = [&] {
    out.resize(outStart);
    values.resize(valuesStart);
    return LiteralScan::Declined;
  };
  const size_t n = text.size();
  size_t copiedUpTo = 0;  // text[copiedUpTo, i) still to be copied
  // Whether a '-' here would be unary: after an operator, '(' or ',', a
  // keyword that takes an operand, or at the start.
  bool operandExpected = true;
  size_t codeRunStart = 0;
  for (size_t i = 0; i < n;) {
    Span span = lexemeAt(text, i, dialect);
    if (span.kind != Lexeme::Code) {
      codeRunStart = span.end;
      if (!span.closed) return decline();  // unterminated: let the database say so
      if (span.kind == Lexeme::String || span.kind == Lexeme::Identifier || span.kind == Lexeme::DollarQuoted)
        operandExpected = false;
      i = span.end;
      continue;
    }
    const char c = text[i];
    if (c == '?' || c == ':' || c == '@' || c == '$' || c == '#' || c == ';') {
      return decline();  // parameters of the caller's own, or more than one statement
    }
    // A minus that is part of an operator stays where it is: taken out as a
    // sign it would hide the operator the database refuses.
    const bool negative = c == '-' && operandExpected && i + 1 < n && isDigit(text[i + 1]) &&
                          !minusEndsOperator(text, codeRunStart, i);
    if (isDigit(c) || negative) {
      const size_t start = i;
      size_t j = negative ? i + 1 : i;
      const size_t digitsStart = j;
      while (j < n && isDigit(text[j])) ++j;
      const size_t digits = j - digitsStart;
      bool standsAlone = (start == 0 || (!isWordChar(text[start - 1]) && text[start - 1] != '.')) &&
                         (j == n || (!isWordChar(text[j]) && text[j] != '.'));
      bool plain = text[digitsStart] != '0' || digits == 1;  // no leading zeros
      if (standsAlone && plain && digits <= 18) {
        long long value = 0;  // at most 18 digits: no overflow
        for (size_t k = digitsStart; k < j; ++k) value = value * 10 + (text[k] - '0');
        out.append(text.substr(copiedUpTo, start - copiedUpTo));
        if (negative) value = -value;
        out += markerFor(dialect, value);
        values.push_back(value);
        spans.push_back({digitsStart, j, negative});
        copiedUpTo = j;
        i = j;
      } else {
        // A number glued to letters or a dot (1e-5, 1.5, 0x1F) stays as it
        // stands: skip the rest of that token, exponent sign included.
        i = j;
        while (i < n && (isWordChar(text[i]) || text[i] == '.' ||
                         ((text[i] == '-' || text[i] == '+') && (text[i - 1] == 'e' || text[i - 1] == 'E'))))
          ++i;
      }
      operandExpected = false;
    } else if (isWordChar(c)) {
      size_t j = i;
      while (j < n && isWordChar(text[j])) ++j;
      std::string word(text.substr(i, j - i));
      for (char& ch : word) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      if (ordersByPosition(word)) return decline();
      operandExpected = takesOperand(word);
      i = j;
    } else {
      if (c == ')' || c == ']') {
        operandExpected = false;
      } else if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v') {
        operandExpected = true;  // an operator, '(' or ','
      }
      ++i;
    }
  }
  if (values.size() == valuesStart) return LiteralScan::NoLiterals;  // nothing to gain
  out.append(text.substr(copiedUpTo));
  return LiteralScan::Taken;
}

}  // namespace

}  // namespace db::engine
