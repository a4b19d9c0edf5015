// Point lookups on the 100,000-row WAL file, in autocommit (every read begins
// and ends its own read transaction) and inside one read transaction that
// holds a single snapshot: raw SQLite with BEGIN ... COMMIT against the
// library's read-mode DBtran. Same conditions as the main benchmark: a 64 MiB
// page cache, raw connections opened without SQLite's mutexes.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>

#include "Db/Database.h"
#include "DivUdurezevudoZE/Catalogue.h"
#include "DivUdurezevudoZE/ReplicationVolumeDB.h"
#include "Writes.h"

namespace {

constexpr int kRows = 100000;
constexpr int kPhysicalVolumes = 100;
const char* kPointLookup =
    "SELECT id, PointInTime, CreationTime, ModifyTime, CurrentState, CurrentRole, PrimaryVolumeId, PhysicalVolumeId, "
    "ReplicationPolicyId, RVScratchVolumeId, Flags, JobId, SnapVolumeId, SnapEngineType, SnapvaultReplicaDir, "
    "SourceGUID FROM YLVolume WHERE id = ?";

std::string g_path;
std::shared_ptr<db::Database> g_db;

// This file's own WAL database, made and filled once per process.
const std::shared_ptr<db::Database>& sessionDatabase() {
  if (g_db) return g_db;
  g_path = (std::filesystem::temp_directory_path() / ("divu-session-" + std::to_string(getpid()) + ".sqlite")).string();
  g_db = bench::openLibrary("sqlite:" + g_path + "?cache_size=65536");
  sqlite3* raw = nullptr;
  bench::check(sqlite3_open(g_path.c_str(), &raw), raw, "open");
  bench::seedVolumes(raw, kRows, kPhysicalVolumes);
  sqlite3_close(raw);
  std::atexit([] {
    g_db.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(g_path + suffix);
  });
  return g_db;
}

// Makes this file's database the default for one benchmark: the facades
// run there when given no transaction.
struct OnSessionDatabase {
  std::shared_ptr<db::Database> saved = db::Database::getDefault();
  OnSessionDatabase() { db::Database::setDefault(sessionDatabase()); }
  ~OnSessionDatabase() { db::Database::setDefault(saved); }
};

int randomId() {
  thread_local std::mt19937 random(7);
  return std::uniform_int_distribution<int>(1, kRows)(random);
}

struct RawLookup {
  sqlite3* db = nullptr;
  sqlite3_stmt* point = nullptr;
  RawLookup() {
    sessionDatabase();
    bench::check(sqlite3_open_v2(g_path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr), db,
                 "open");
    bench::check(sqlite3_exec(db, "PRAGMA cache_size=-65536", nullptr, nullptr, nullptr), db, "cache");
    bench::check(sqlite3_prepare_v3(db, kPointLookup, -1, SQLITE_PREPARE_PERSISTENT, &point, nullptr), db, "prepare");
  }
  ~RawLookup() {
    sqlite3_finalize(point);
    sqlite3_close(db);
  }
  // One lookup, read into the same record the library fills.
  void lookup(YLVolume_t& v) {
    sqlite3_bind_int(point, 1, randomId());
    if (sqlite3_step(point) == SQLITE_ROW) {
      int* ints[] = {&v.id, &v.PointInTime, &v.CreationTime, &v.ModifyTime, &v.CurrentState, &v.CurrentRole,
                     &v.PrimaryVolumeId, &v.PhysicalVolumeId, &v.ReplicationPolicyId, &v.RVScratchVolumeId,
                     &v.Flags, &v.JobId, &v.SnapVolumeId, &v.SnapEngineType};
      for (int i = 0; i < 14; ++i) *ints[i] = sqlite3_column_int(point, i);
      for (auto [field, size, column] : {std::tuple{v.SnapvaultReplicaDir, sizeof v.SnapvaultReplicaDir, 14},
                                         std::tuple{v.SourceGUID, sizeof v.SourceGUID, 15}}) {
        const unsigned char* text = sqlite3_column_text(point, column);
        size_t n = text ? std::min<size_t>(static_cast<size_t>(sqlite3_column_bytes(point, column)), size - 1) : 0;
        if (n) memcpy(field, text, n);
        field[n] = '\0';
      }
    }
    sqlite3_reset(point);
  }
};

void WalLookupAutocommit_Raw(benchmark::State& state) {
  RawLookup raw;
  YLVolume_t v;
  for (auto _ : state) {
    raw.lookup(v);
    benchmark::DoNotOptimize(v.id);
  }
}

void WalLookupAutocommit_Library(benchmark::State& state) {
  OnSessionDatabase on;
  CReplicationVolumeDB volumes;
  YLVolume_t v;
  for (auto _ : state) {
    if (!volumes.getInfo(randomId(), v, nullptr)) state.SkipWithError(volumes.m_dbError.m_errorText.c_str());
    benchmark::DoNotOptimize(v.id);
  }
}

// Every lookup inside one read transaction, one snapshot for the whole run.
void WalLookupInTransaction_Raw(benchmark::State& state) {
  RawLookup raw;
  YLVolume_t v;
  bench::check(sqlite3_exec(raw.db, "BEGIN", nullptr, nullptr, nullptr), raw.db, "begin");
  for (auto _ : state) {
    raw.lookup(v);
    benchmark::DoNotOptimize(v.id);
  }
  bench::check(sqlite3_exec(raw.db, "COMMIT", nullptr, nullptr, nullptr), raw.db, "commit");
}

void WalLookupInTransaction_Library(benchmark::State& state) {
  OnSessionDatabase on;
  CReplicationVolumeDB volumes;
  YLVolume_t v;
  DBtran tran(sessionDatabase());
  if (tran.begin(DBtran::Mode::Read) != db::kOk) state.SkipWithError(tran.lastError().c_str());
  for (auto _ : state) {
    if (!volumes.getInfo(randomId(), v, &tran)) state.SkipWithError(volumes.m_dbError.m_errorText.c_str());
    benchmark::DoNotOptimize(v.id);
  }
  tran.commit();
}

}  // namespace

BENCHMARK(WalLookupAutocommit_Raw);
BENCHMARK(WalLookupAutocommit_Library);
BENCHMARK(WalLookupInTransaction_Raw);
BENCHMARK(WalLookupInTransaction_Library);
