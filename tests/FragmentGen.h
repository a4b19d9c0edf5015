// A small grammar of caller texts (WHERE and SET fragments), driven either by
// a seed or by fuzzer bytes. The texts are meant to hit the seams where a
// caller's text meets the clauses the engine adds: comments and quotes in
// every position, unterminated ones at the end, unbalanced parentheses,
// integers of every width. Most texts are valid SQL; some are deliberately
// broken. Which is which is for the database to say, never this generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace divu::test {

// The choices the grammar makes: from a seeded generator, or from fuzzer
// bytes (exhausted bytes give 0, and choice 0 always leads to a short text).
class Choices {
 public:
  explicit Choices(uint64_t seed) : m_state(seed) {}
  Choices(const uint8_t* data, size_t size) : m_data(data), m_size(size), m_bytes(true) {}

  // A value in [0, n).
  uint64_t below(uint64_t n) {
    if (n <= 1) return 0;
    uint64_t value = 0;
    if (m_bytes) {
      for (uint64_t range = 1; range < n && range <= (UINT64_MAX >> 8); range <<= 8)
        value = value << 8 | (m_pos < m_size ? m_data[m_pos++] : 0);
    } else {
      value = next();
    }
    return value % n;
  }
  bool chance(int percent) { return static_cast<int>(below(100)) >= 100 - percent; }
  template <class T, size_t N>
  const T& pick(const T (&items)[N]) {
    return items[below(N)];
  }

 private:
  uint64_t next() {  // splitmix64
    uint64_t z = (m_state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  uint64_t m_state = 0;
  const uint8_t* m_data = nullptr;
  size_t m_size = 0;
  size_t m_pos = 0;
  bool m_bytes = false;
};

enum class Dialect { Sqlite, Postgres };

// The columns a text may name: 32-bit integers, 64-bit integers, texts.
struct FragmentColumns {
  std::vector<std::string> ints, bigs, texts;
};

// String values; the seeded tables hold some of them, so comparisons match.
inline const char* const kFragmentStrings[] = {"vol-1", "vol-2", "it's", "--", "/*", "a*/b", "", "x\"y", "ext4"};

class FragmentGen {
 public:
  FragmentGen(Choices& choices, Dialect dialect) : m_c(choices), m_pg(dialect == Dialect::Postgres) {}

  // A WHERE text over `columns`.
  std::string where(const FragmentColumns& columns) {
    m_columns = &columns;
    std::string text = m_c.chance(10) ? gap() : "";
    text += condition(3);
    if (m_c.chance(6)) text = broken(text);
    if (m_c.chance(25)) text += ending();
    return text;
  }

  // A SET text assigning integer expressions to `targets`, reading `columns`.
  std::string set(const std::vector<std::string>& targets, const FragmentColumns& columns) {
    m_columns = &columns;
    std::string text = m_c.chance(10) ? gap() : "";
    size_t first = m_c.below(targets.size());
    text += assignment(targets[first]);
    if (targets.size() > 1 && m_c.chance(30)) text += gap() + "," + gap() + assignment(targets[(first + 1) % targets.size()]);
    if (m_c.chance(4)) text = broken(text);
    if (m_c.chance(30)) text += ending();
    return text;
  }

 private:
  // Between two tokens: mostly a blank, sometimes a comment of any kind.
  std::string gap() {
    if (!m_c.chance(20)) return " ";
    static const char* const common[] = {" ",  "\n", "\t", " /* c */ ", "/*--*/", " /* 'x \" */ ",
                                         " -- c\n", " --\n", "/**/", " /* ) ( */ "};
    static const char* const postgres[] = {" /* a /* b */ c */ ", "/*/**/*/", " /* /* -- */ ' */ "};
    if (m_pg && m_c.chance(25)) return m_c.pick(postgres);
    return m_c.pick(common);
  }

  std::string number() {
    static const char* const wide[] = {"2147483647",  "2147483648",          "-2147483648",
                                       "-2147483649", "4294967296",          "4294967297",
                                       "5000000000",  "9223372036854775807", "-9223372036854775807",
                                       "007",         "3.0",                 "-0"};
    if (m_c.chance(25)) return m_c.pick(wide);
    long long value = static_cast<long long>(m_c.below(25));
    return (m_c.chance(15) ? "-" : "") + std::to_string(value);
  }

  std::string stringLiteral() {
    if (m_pg && m_c.chance(20)) {
      static const char* const escaped[] = {"E'it\\'s'", "E'it\\'s 7'", "E'a\\\\'", "E'vol-1'", "E'\\'--'"};
      return m_c.pick(escaped);
    }
    std::string value = kFragmentStrings[m_c.below(std::size(kFragmentStrings))];
    std::string out = "'";
    for (char c : value) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
  }

  const std::string& column(const std::vector<std::string>& names) { return names[m_c.below(names.size())]; }

  std::string comparison() {
    static const char* const ops[] = {"=", "<>", "!=", "<", "<=", ">", ">="};
    std::string op = m_c.pick(ops);
    std::string g = m_c.chance(20) ? "" : gap();
    switch (m_c.below(6)) {
      case 0:
      case 1: return column(m_columns->ints) + g + op + g + number();
      case 2: return column(m_columns->bigs) + g + op + g + number();
      case 3: return column(m_columns->texts) + g + op + g + stringLiteral();
      case 4: return column(m_columns->ints) + g + op + g + column(m_columns->ints);
      default: return m_c.chance(50) ? column(m_columns->texts) + " = " + number() : number() + g + op + g + number();
    }
  }

  std::string condition(int depth) {
    if (depth <= 0) return comparison();
    switch (m_c.below(9)) {
      case 0:
      case 1: return comparison();
      case 2: return condition(depth - 1) + gap() + "AND" + gap() + condition(depth - 1);
      case 3: return condition(depth - 1) + gap() + "OR" + gap() + condition(depth - 1);
      case 4: return "NOT" + gap() + condition(depth - 1);
      case 5: return "(" + gap() + condition(depth - 1) + gap() + ")";
      case 6: {
        std::string text = column(m_columns->ints) + gap() + (m_c.chance(20) ? "NOT IN" : "IN") + gap() + "(";
        for (uint64_t i = 0, n = 1 + m_c.below(4); i < n; ++i) text += (i ? "," + gap() : "") + number();
        return text + ")";
      }
      case 7: {
        const auto& names = m_c.chance(50) ? m_columns->texts : m_columns->ints;
        return column(names) + gap() + (m_c.chance(50) ? "IS NULL" : "IS NOT NULL");
      }
      default: return m_c.chance(50) ? "1" + gap() + "=" + gap() + "1" : "0 = 1";
    }
  }

  std::string intExpression(int depth) {
    switch (depth <= 0 ? 0 : m_c.below(6)) {
      case 0: return number();
      case 1: return column(m_columns->ints);
      case 2: return column(m_columns->ints) + gap() + (m_c.chance(50) ? "+" : "-") + gap() + number();
      case 3: return "(" + gap() + intExpression(depth - 1) + gap() + ")";
      case 4: return intExpression(depth - 1) + gap() + "*" + gap() + intExpression(depth - 1);
      default:
        return "CASE WHEN" + gap() + condition(1) + gap() + "THEN " + number() + " ELSE" + gap() + intExpression(depth - 1) +
               gap() + "END";
    }
  }

  std::string assignment(const std::string& target) {
    return target + gap() + "=" + gap() + intExpression(2);
  }

  // A text that leaves something open or closes what it did not open.
  std::string broken(const std::string& text) {
    switch (m_c.below(9)) {
      case 0: return text + ") OR (1=1";
      case 1: return "1=1) OR (" + text;
      case 2: return "(" + text;
      case 3: return text + ")";
      case 4: return text + " AND '" + "open";
      case 5: return text + " */";
      case 6: return "\"id = 1 OR " + text;
      case 7: return text + "; SELECT 1";
      default: return text + " OR 'x' = 'it''s";
    }
  }

  // What may follow a text at its very end.
  std::string ending() {
    static const char* const endings[] = {" --",       "--",        " -- tail",   " --\n",     "\n-- x",
                                          " /*",       " /* open",  " /* done */", "/*",        " -- a /* b",
                                          " /* -- */", " -- ' \" "};
    if (m_pg && m_c.chance(15)) return m_c.chance(50) ? " /* a /* b */" : " /* a /* b */ c */";
    return m_c.pick(endings);
  }

  Choices& m_c;
  bool m_pg;
  const FragmentColumns* m_columns = nullptr;
};

}  // namespace divu::test
