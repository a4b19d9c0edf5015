// Batches against single inserts: 1,000 YLVolume rows by one insertRows, and
// by 1,000 facade inserts, each 1,000 in a transaction rolled back outside the
// timing. Items are rows: items_per_second is rows a second, in wall time.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Db/DBtran.h"
#include "DivUdurezevudoZE/Catalogue.h"
#include "DivUdurezevudoZE/ReplicationVolumeDB.h"
#include "Writes.h"

namespace {

constexpr int kBatch = 1000;

// A WAL file of its own, removed at exit.
std::shared_ptr<db::Database> sqliteDatabase() {
  static std::shared_ptr<db::Database> database = [] {
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("divu-batch-" + std::to_string(getpid()) + ".sqlite")).string();
    std::atexit([] {
      for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    });
    return bench::openLibrary("sqlite:" + path);
  }();
  return database;
}

std::vector<YLVolume_t> volumes() {
  std::vector<YLVolume_t> rows(kBatch);
  for (int i = 0; i < kBatch; ++i) {
    rows[static_cast<size_t>(i)].PhysicalVolumeId = i % 100;
    rows[static_cast<size_t>(i)].JobId = i;
    snprintf(rows[static_cast<size_t>(i)].SnapvaultReplicaDir, 1025, "/replica/dir");
    snprintf(rows[static_cast<size_t>(i)].SourceGUID, 257, "guid-%d", i);
  }
  return rows;
}

// One iteration: 1,000 rows, by one batch or one by one.
void insertThousand(benchmark::State& state, const std::shared_ptr<db::Database>& database, bool batch) {
  CReplicationVolumeDB facade;
  std::vector<YLVolume_t> rows = volumes();
  for (auto _ : state) {
    state.PauseTiming();
    DBtran tran(database);
    if (tran.begin() != db::kOk) state.SkipWithError("begin failed");
    state.ResumeTiming();
    bool ok = true;
    if (batch)
      ok = facade.insertRows(rows.data(), kBatch, &tran);
    else
      for (YLVolume_t& row : rows) ok = ok && facade.insert(row, &tran);
    state.PauseTiming();
    if (!ok) state.SkipWithError(facade.m_dbError.m_errorText.c_str());
    tran.rollback();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void registerAll() {
  benchmark::RegisterBenchmark("Batch/Sqlite/insertRows1000", [](benchmark::State& state) {
    insertThousand(state, sqliteDatabase(), true);
  })->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("Batch/Sqlite/insert1000", [](benchmark::State& state) {
    insertThousand(state, sqliteDatabase(), false);
  })->Unit(benchmark::kMillisecond)->UseRealTime();
  // The server, and any proxy in front of it, as that variable names them.
  if (const char* url = getenv("DIVU_BENCH_POSTGRES_URL"); url && *url) {
    static std::shared_ptr<db::Database> postgres;
    auto server = [url] {
      if (!postgres) postgres = bench::openLibrary(url);
      return postgres;
    };
    benchmark::RegisterBenchmark("Batch/Postgres/insertRows1000", [server](benchmark::State& state) {
      insertThousand(state, server(), true);
    })->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("Batch/Postgres/insert1000", [server](benchmark::State& state) {
      insertThousand(state, server(), false);
    })->Unit(benchmark::kMillisecond)->UseRealTime();
  }
}

const bool registered = (registerAll(), true);

}  // namespace
