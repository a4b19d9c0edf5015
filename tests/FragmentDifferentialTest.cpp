// Generated caller texts through every facade operation that takes one, on
// each backend, judged against the database itself (see FragmentDifferential.h).
// DIVU_FRAGMENT_TEXTS sets how many texts (default below), DIVU_FRAGMENT_SEED
// where the sequence starts, DIVU_FRAGMENT_REPORTS how many mismatches of each
// operation are described; a mismatch names the text's seed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "FragmentDifferential.h"
#include "TestSupport.h"

#ifndef DIVU_FRAGMENT_DEFAULT_TEXTS
#define DIVU_FRAGMENT_DEFAULT_TEXTS 20000
#endif

namespace divu::test {
namespace {

long long fromEnvironment(const char* name, long long fallback) {
  const char* value = getenv(name);
  return value && *value ? atoll(value) : fallback;
}

class FragmentDifferentialTest : public DatabaseTest, public testing::WithParamInterface<Storage> {};

TEST_P(FragmentDifferentialTest, CallerTextsDoWhatTheDatabaseSays) {
  openDatabase(GetParam(), GetParam() == Storage::Postgres ? "" : "synchronous=off");
  if (IsSkipped() || HasFatalFailure()) return;
  std::unique_ptr<RawConnection> raw;
  if (onPostgres()) {
#ifdef DIVU_WITH_POSTGRESQL
    raw = std::make_unique<RawPostgres>(m_schema->rawUrl(), "SET LOCAL search_path = " + m_schema->name());
#endif
  } else {
    raw = std::make_unique<RawSqlite>(dbPath());
  }
  ASSERT_TRUE(raw) << "no raw connection for this backend";
  FragmentDifferential differential(m_db, std::move(raw), onPostgres() ? Dialect::Postgres : Dialect::Sqlite);
  ASSERT_EQ(differential.seed(), "");
  differential.setReportsPerOperation(fromEnvironment("DIVU_FRAGMENT_REPORTS", 2));

  const long long texts = fromEnvironment("DIVU_FRAGMENT_TEXTS", DIVU_FRAGMENT_DEFAULT_TEXTS);
  const long long firstSeed = fromEnvironment("DIVU_FRAGMENT_SEED", 1);
  // On SQLite every text runs with literal parameters on and off; on
  // PostgreSQL, whose round trips cost more, the mode alternates per text.
  const bool bothModes = !onPostgres();
  auto start = std::chrono::steady_clock::now();
  for (long long i = 0; i < texts; ++i) {
    const long long seed = firstSeed + i;
    std::string label = "seed " + std::to_string(seed);
    if (bothModes) {
      differential.run(Choices(seed), true, label);
      differential.run(Choices(seed), false, label);
    } else {
      differential.run(Choices(seed), i % 2 == 0, label);
    }
  }
  db::engine::setLiteralParameters(true);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  const char* backend = onPostgres() ? "postgres" : "sqlite";
  for (int op = 0; op < FragmentDifferential::kOps; ++op) {
    const auto& t = differential.tallies()[op];
    printf("  %-22s %8ld agreed %8ld refused (2001) %6ld mismatches\n", FragmentDifferential::kOpNames[op], t.agreed,
           t.refused, t.mismatches);
  }
  for (const std::string& report : differential.reports()) printf("mismatch: %s\n", report.c_str());
  printf("%s (%s, %.1f s)\n", differential.summary(backend, texts).c_str(),
         bothModes ? "each text with literal parameters on and off" : "literal parameters alternate per text", seconds);
  fflush(stdout);
  EXPECT_EQ(differential.mismatches(), 0) << "first mismatches are printed above";
}

INSTANTIATE_TEST_SUITE_P(Backends, FragmentDifferentialTest, testing::Values(Storage::File, Storage::Postgres),
                         storageName);

}  // namespace
}  // namespace divu::test
