// repdb's value texts without the binary: times written by formatTime read
// back through parseTime over the whole range of a time column.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "Cells.h"

namespace repdb {
namespace {

TEST(RepdbCells, FormattedTimesReadBackOverTheWholeRange) {
  struct Case {
    long long seconds;
    const char* formatted;
  } cases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {-1, "1969-12-31T23:59:59Z"},
      {951782400, "2000-02-29T00:00:00Z"},
      {INT_MAX, "2038-01-19T03:14:07Z"},
      {-62167219200, "0000-01-01T00:00:00Z"},  // the first second a four-digit year holds
      {253402300799, "9999-12-31T23:59:59Z"},  // and the last
      // Past them a date has no four-digit year: the seconds stand as they are.
      {-62167219201, "-62167219201"},
      {253402300800, "253402300800"},
      {-200000000100000, "-200000000100000"},
      {LLONG_MIN, "-9223372036854775808"},
      {LLONG_MAX, "9223372036854775807"},
  };
  for (const Case& c : cases) {
    std::string formatted = formatTime(c.seconds);
    EXPECT_EQ(formatted, c.formatted) << c.seconds;
    EXPECT_EQ(parseTime(formatted, "time"), c.seconds) << formatted;
  }
}

}  // namespace
}  // namespace repdb
