#include "Db/Engine/SqlLiterals.h"

#include "Db/Engine/SqlLexer.h"

#include <atomic>
#include <cctype>
#include <string>

namespace db::engine {
namespace {

std::atomic<bool> g_on{true};

bool isWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isOperatorChar(char c) { return c != '\0' && std::string_view("+-*/<>=~!@#%^&|`?").find(c) != std::string_view::npos; }

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

}  // namespace

void setLiteralParameters(bool on) { g_on.store(on, std::memory_order_relaxed); }
bool literalParameters() { return g_on.load(std::memory_order_relaxed); }

bool parameteriseLiterals(std::string_view text, std::string& out, std::vector<long long>& values,
                          SqlDialect dialect) {
  return takeLiterals(text, out, values, dialect) == LiteralScan::Taken;
}

LiteralScan takeLiterals(std::string_view text, std::string& out, std::vector<long long>& values,
                         SqlDialect dialect) {
  const size_t outStart = out.size();
  const size_t valuesStart = values.size();
  auto decline = [&] {
    out.resize(outStart);
    values.resize(valuesStart);
    return LiteralScan::Declined;
  };
  const char* marker = dialect == SqlDialect::Postgres ? "?::int8" : "?";
  const size_t n = text.size();
  size_t copiedUpTo = 0;  // text[copiedUpTo, i) still to be copied
  // Whether a '-' here would be unary: after an operator, '(' or ',', a
  // keyword that takes an operand, or at the start.
  bool operandExpected = true;
  for (size_t i = 0; i < n;) {
    Span span = lexemeAt(text, i, dialect);
    if (span.kind != Lexeme::Code) {
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
    // A minus glued to an operator stays where it is: PostgreSQL reads
    // "!=-" as one (unknown) operator, which a sign taken out would hide.
    const bool negative = c == '-' && operandExpected && i + 1 < n && isDigit(text[i + 1]) &&
                          (i == 0 || !isOperatorChar(text[i - 1]));
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
        out += marker;
        values.push_back(negative ? -value : value);
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

}  // namespace db::engine
