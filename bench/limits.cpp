// Value limits on SQLite, as built (schema revision 1: a named CHECK per
// column, reached by rebuilding each table) against the alternative that
// needs no rebuild (BEFORE INSERT / BEFORE UPDATE triggers that raise with the
// limit's name), both against the table without limits (revision 0):
//   - a write: insert and update of YLVolume, raw SQLite with statements
//     prepared once and the library's facade, 1000 to a rolled-back transaction;
//   - the upgrade of a revision-0 catalogue with 100,000 YLVolume rows:
//     divu::upgradeCatalogue, against the same scan for breaking rows plus
//     CREATE TRIGGER, without the copy.
// The triggers and the scan are made from the engine's own columnLimit
// expressions, so this binary links the library's objects (as the tests do):
// the engine's schema functions are not exported by the shared library.
// Ratios are computed by bench/run.py, which interleaves the repetitions of
// all of these at random, so that a change of load on a shared machine does
// not fall on one schema.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "Db/DBtran.h"
#include "Db/Engine/SchemaDdl.h"
#include "DivUdurezevudoZE/AllFacades.h"
#include "DivUdurezevudoZE/Catalogue.h"
#include "Writes.h"

namespace {

using bench::check;
using bench::restartEveryThousand;

namespace fs = std::filesystem;

constexpr int kRows = 100000;
constexpr int kPhysicalVolumes = 100;
constexpr const char* kCachePragma = "PRAGMA cache_size=-65536;";

enum Limits { kNone = 0, kCheck = 1, kTriggers = 2 };


[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "%s\n", what.c_str());
  abort();
}

// ---- the trigger alternative ----------------------------------------------

// A limit's expression with its column read from the trigger's NEW row.
std::string onNewRow(const std::string& expression, const char* column) {
  std::string out;
  for (size_t i = 0; i < expression.size();) {
    const char c = expression[i];
    if (c == '\'') {  // a string literal, copied as it is
      size_t end = expression.find('\'', i + 1);
      end = end == std::string::npos ? expression.size() : end + 1;
      out.append(expression, i, end - i);
      i = end;
    } else if (isalpha(static_cast<unsigned char>(c)) || c == '_') {
      size_t end = i;
      while (end < expression.size() && (isalnum(static_cast<unsigned char>(expression[end])) || expression[end] == '_'))
        ++end;
      const std::string word = expression.substr(i, end - i);
      out += word == column ? "NEW." + word : word;
      i = end;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

std::string literal(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

// One BEFORE INSERT trigger that checks every column, and one BEFORE UPDATE
// OF per column, so an update pays only for the columns it sets (as SQLite
// skips the CHECKs of columns an UPDATE does not set).
std::string limitTriggers(const db::TableDef& def) {
  std::string inserted, updated;
  const std::string table = def.name;
  for (const db::ColumnDef& column : def.columns) {
    db::engine::ColumnLimit limit = db::engine::columnLimit(def, column, db::SqlDialect::Sqlite);
    if (limit.expression.empty()) continue;
    const std::string raise =
        "SELECT RAISE(ABORT, " + literal(limit.name) + ") WHERE NOT (" + onNewRow(limit.expression, column.name) + ");";
    inserted += " " + raise;
    updated += "CREATE TRIGGER " + table + "_limit_" + column.name + " BEFORE UPDATE OF " + column.name + " ON " +
               table + " BEGIN " + raise + " END;\n";
  }
  if (inserted.empty()) return "";
  return "CREATE TRIGGER " + table + "_limits BEFORE INSERT ON " + table + " BEGIN" + inserted + " END;\n" + updated;
}

// The upgrade step the triggers would make: in one write transaction, the
// upgrade's scan for rows that break a limit (the same query), then the
// triggers. Nothing is copied.
void addLimitTriggers(const std::shared_ptr<db::Database>& database) {
  DBtran tran(database);
  if (tran.begin(DBtran::Mode::Write) != db::kOk) fail("begin: " + tran.lastError());
  db::engine::Connection& connection = *tran.connection();
  for (const db::TableDef* def : divu::catalogueTables()) {
    std::string keys, select, all;
    for (const char* key : def->primaryKey) keys += (keys.empty() ? "" : ", ") + std::string(key);
    for (const db::ColumnDef& column : def->columns) {
      db::engine::ColumnLimit limit = db::engine::columnLimit(*def, column, db::SqlDialect::Sqlite);
      if (limit.expression.empty()) continue;
      all += (all.empty() ? "(" : " AND (") + limit.expression + ")";
      select += ", CASE WHEN " + limit.expression + " THEN 1 ELSE 0 END, " + column.name;
    }
    if (all.empty()) continue;
    const std::string scan = "SELECT " + keys + select + " FROM " + def->name + " WHERE NOT (" + all + ")";
    db::engine::Statement* statement = nullptr;
    if (connection.prepare(scan, statement) != db::kOk) fail(connection.lastErrorText());
    int code = statement->step();
    connection.release(statement);
    if (code != db::kNoRow) fail(std::string("a row of ") + def->name + " breaks a limit, or the scan failed");
    if (connection.exec(limitTriggers(*def).c_str()) != db::kOk) fail(connection.lastErrorText());
  }
  if (tran.commit() != db::kOk) fail("commit: " + tran.lastError());
}

// ---- the databases ----------------------------------------------------------

fs::path g_folder;
fs::path g_template;           // revision 0 with 100,000 YLVolume rows
fs::path g_paths[3];           // by Limits
std::shared_ptr<db::Database> g_databases[3];
struct Raw;
std::unique_ptr<Raw> g_raw[3];  // made when first used

void removeDatabase(const fs::path& path) {
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path.string() + suffix);
}

void copyTemplate(const fs::path& to) {
  removeDatabase(to);
  fs::copy_file(g_template, to);
}

std::shared_ptr<db::Database> openCatalogue(const fs::path& path) {
  std::string error;
  auto database =
      divu::openCatalogue("sqlite:" + path.string() + "?cache_size=65536", &error, divu::OlderRevision::Accept);
  if (!database) fail("cannot open " + path.string() + ": " + error);
  return database;
}

// The same rows as the main benchmark's, added to the catalogue the release
// before revisions made (tests/fixtures/catalogue-r0.sqlite: every table, a
// few rows each).
void makeTemplate() {
  g_template = g_folder / "revision0.sqlite";
  fs::copy_file(DIVU_BENCH_REVISION0, g_template);
  sqlite3* raw = nullptr;
  check(sqlite3_open(g_template.c_str(), &raw), raw, "open");
  check(sqlite3_exec(raw, "DELETE FROM YLVolume; DELETE FROM sqlite_sequence WHERE name = 'YLVolume'", nullptr,
                     nullptr, nullptr),
        raw, "clear");
  bench::seedVolumes(raw, kRows, kPhysicalVolumes);
  sqlite3_close(raw);  // the last connection: the log is checkpointed into the file
}

// What a raw client sees when it writes a value past a limit: the database's
// message, or "" when the write is taken. Nothing is kept.
std::string rejection(const fs::path& path, const char* sql) {
  sqlite3* raw = nullptr;
  check(sqlite3_open(path.c_str(), &raw), raw, "open");
  sqlite3_exec(raw, "BEGIN", nullptr, nullptr, nullptr);
  std::string message;
  if (sqlite3_exec(raw, sql, nullptr, nullptr, nullptr) != SQLITE_OK) message = sqlite3_errmsg(raw);
  sqlite3_exec(raw, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(raw);
  return message;
}

// The three schemas of the same rows, made once: revision 0; the CHECKs, by
// the library's upgrade; the triggers, by the alternative step.
void databases() {
  if (!g_folder.empty()) return;
  g_folder = fs::temp_directory_path() / ("divu-limits-bench-" + std::to_string(getpid()));
  fs::create_directories(g_folder);
  std::atexit([] {
    for (auto& raw : g_raw) raw.reset();
    for (auto& database : g_databases) database.reset();
    db::Database::setDefault(nullptr);
    fs::remove_all(g_folder);
  });
  makeTemplate();
  const char* names[] = {"none.sqlite", "check.sqlite", "triggers.sqlite"};
  for (int i : {kNone, kCheck, kTriggers}) {
    g_paths[i] = g_folder / names[i];
    copyTemplate(g_paths[i]);
    g_databases[i] = openCatalogue(g_paths[i]);
  }
  std::string error;
  if (divu::upgradeCatalogue(*g_databases[kCheck], {}, nullptr, &error) != db::kOk) fail("upgrade: " + error);
  addLimitTriggers(g_databases[kTriggers]);

  // Each schema must hold (or not hold) the limits it is measured for, on
  // the writes measured.
  const std::string expected[] = {"", "CHECK constraint failed: YLVolume.Flags: a 32-bit integer",
                                  "YLVolume.Flags: a 32-bit integer"};
  for (const char* tooBig :
       {"INSERT INTO YLVolume (Flags) VALUES (2147483648)", "UPDATE YLVolume SET Flags = 2147483648 WHERE id = 1"})
    for (int i : {kNone, kCheck, kTriggers})
      if (std::string seen = rejection(g_paths[i], tooBig); seen != expected[i])
        fail(std::string(names[i]) + ": " + tooBig + " gave '" + seen + "', not '" + expected[i] + "'");
}

// ---- writes -------------------------------------------------------------------

int randomId() {
  thread_local std::mt19937 random(42);
  return std::uniform_int_distribution<int>(1, kRows)(random);
}


// A raw connection per schema with its statements, kept for the whole run:
// every repetition starts on a warm page cache, as the facade's connections
// (kept by their Database) do.
struct Raw {
  sqlite3* db = nullptr;
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* update = nullptr;
  explicit Raw(const fs::path& path) {
    check(sqlite3_open(path.c_str(), &db), db, "open");
    sqlite3_exec(db, kCachePragma, nullptr, nullptr, nullptr);
    prepare(insert, bench::kRawInsert);
    prepare(update, bench::kRawUpdate);
  }
  ~Raw() {
    sqlite3_finalize(insert);
    sqlite3_finalize(update);
    sqlite3_close(db);
  }
  void prepare(sqlite3_stmt*& stmt, const char* sql) {
    check(sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr), db, sql);
  }
};

// The raw connection of the benchmark's schema, in a write transaction that
// is rolled back at the end.
struct RawWrites {
  Raw& raw;
  explicit RawWrites(const benchmark::State& state) : raw(rawConnection(state.range(0))) {
    sqlite3_exec(raw.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  }
  ~RawWrites() { sqlite3_exec(raw.db, "ROLLBACK", nullptr, nullptr, nullptr); }
  void restart() { sqlite3_exec(raw.db, "ROLLBACK; BEGIN IMMEDIATE", nullptr, nullptr, nullptr); }
  static Raw& rawConnection(int64_t limits) {
    databases();
    if (!g_raw[limits]) g_raw[limits] = std::make_unique<Raw>(g_paths[limits]);
    return *g_raw[limits];
  }
};

void LimitsInsert_Raw(benchmark::State& state) {
  RawWrites writes(state);
  Raw& raw = writes.raw;
  YLVolume_t v;
  strcpy_s(v.SnapvaultReplicaDir, sizeof v.SnapvaultReplicaDir, "/replica/dir");
  strcpy_s(v.SourceGUID, sizeof v.SourceGUID, "guid-new");
  int inTransaction = 0;
  for (auto _ : state) {
    bench::bindRawInsert(raw.insert, v);
    if (sqlite3_step(raw.insert) != SQLITE_ROW) state.SkipWithError(sqlite3_errmsg(raw.db));
    v.id = sqlite3_column_int(raw.insert, 0);
    sqlite3_step(raw.insert);
    sqlite3_reset(raw.insert);
    restartEveryThousand(state, inTransaction, [&] { writes.restart(); });
  }
}

void LimitsUpdate_Raw(benchmark::State& state) {
  RawWrites writes(state);
  Raw& raw = writes.raw;
  int inTransaction = 0;
  for (auto _ : state) {
    sqlite3_bind_int(raw.update, 1, 5);
    sqlite3_bind_int(raw.update, 2, randomId());
    if (sqlite3_step(raw.update) != SQLITE_DONE) state.SkipWithError(sqlite3_errmsg(raw.db));
    sqlite3_reset(raw.update);
    restartEveryThousand(state, inTransaction, [&] { writes.restart(); });
  }
}

// The facade on the schema's database, made the default for the benchmark.
struct OnSchema {
  explicit OnSchema(const benchmark::State& state) {
    databases();
    db::Database::setDefault(g_databases[state.range(0)]);
  }
  ~OnSchema() { db::Database::setDefault(nullptr); }
};

void LimitsInsert_Library(benchmark::State& state) {
  OnSchema schema(state);
  bench::runLibraryInserts(state);
}

void LimitsUpdate_Library(benchmark::State& state) {
  OnSchema schema(state);
  bench::runLibraryUpdates(state, randomId);
}

// ---- the upgrade ----------------------------------------------------------------

// One upgrade of a fresh copy of the revision-0 catalogue per iteration; the
// copy and the open are not timed, the close (which checkpoints the log into
// the file) is.
template <class Step>
void timeUpgrade(benchmark::State& state, Step step) {
  databases();
  const fs::path path = g_folder / "upgraded.sqlite";
  for (auto _ : state) {
    state.PauseTiming();
    copyTemplate(path);
    std::shared_ptr<db::Database> database = openCatalogue(path);
    state.ResumeTiming();
    step(database);
    database.reset();
  }
  removeDatabase(path);
  state.SetItemsProcessed(state.iterations() * kRows);
}

void LimitsUpgrade_CheckRebuild(benchmark::State& state) {
  timeUpgrade(state, [&](const std::shared_ptr<db::Database>& database) {
    std::string error;
    if (divu::upgradeCatalogue(*database, {}, nullptr, &error) != db::kOk) state.SkipWithError(error.c_str());
  });
}

void LimitsUpgrade_Triggers(benchmark::State& state) {
  timeUpgrade(state, [](const std::shared_ptr<db::Database>& database) { addLimitTriggers(database); });
}

}  // namespace

// limits: 0 none (revision 0), 1 CHECK constraints (revision 1), 2 triggers.
// The speed of this shared machine drifts by up to 1.7 times within minutes,
// so the writes are many short repetitions (bench/run.py asks for three times
// its count), interleaved, rather than a few long ones: a drift then falls on
// every schema alike. The upgrades, of up to half a second each, run 5 times.
BENCHMARK(LimitsInsert_Raw)->DenseRange(0, 2)->ArgName("limits")->MinTime(0.07);
BENCHMARK(LimitsInsert_Library)->DenseRange(0, 2)->ArgName("limits")->MinTime(0.07);
BENCHMARK(LimitsUpdate_Raw)->DenseRange(0, 2)->ArgName("limits")->MinTime(0.07);
BENCHMARK(LimitsUpdate_Library)->DenseRange(0, 2)->ArgName("limits")->MinTime(0.07);
BENCHMARK(LimitsUpgrade_CheckRebuild)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
BENCHMARK(LimitsUpgrade_Triggers)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);

BENCHMARK_MAIN();
