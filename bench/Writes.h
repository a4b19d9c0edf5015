// What both benchmarks write the same way: the raw check, the transaction
// restarted every thousand writes, and the facade's YLVolume writes.
#pragma once

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Db/DBtran.h"
#include "DivUdurezevudoZE/ReplicationVolumeDB.h"

namespace bench {

inline void check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    abort();
  }
}

// Counts one write; at the thousandth, restarts the transaction (rolling the
// writes back) outside the timing.
template <class Restart>
void restartEveryThousand(benchmark::State& state, int& written, Restart restart) {
  if (++written < 1000) return;
  state.PauseTiming();
  restart();
  written = 0;
  state.ResumeTiming();
}

// Facade writes, 1000 to a transaction that is rolled back, on the default
// database: `write(volumes, tran)` is one of them.
template <class Write>
void runLibraryWrites(benchmark::State& state, Write write) {
  CReplicationVolumeDB volumes;
  auto tran = std::make_unique<DBtran>();
  tran->begin();
  int inTransaction = 0;
  for (auto _ : state) {
    if (!write(volumes, tran.get())) state.SkipWithError("write failed");
    restartEveryThousand(state, inTransaction, [&] {
      tran->rollback();
      tran->begin();
    });
  }
  tran->rollback();
}

// Facade updates by id.
inline void runLibraryUpdates(benchmark::State& state, int (*nextId)()) {
  runLibraryWrites(state, [&](CReplicationVolumeDB& volumes, DBtran* tran) {
    return volumes.Update(nextId(), "Flags = 5", tran);
  });
}

// Facade inserts of one volume.
inline void runLibraryInserts(benchmark::State& state) {
  YLVolume_t v;
  strcpy_s(v.SnapvaultReplicaDir, sizeof v.SnapvaultReplicaDir, "/replica/dir");
  strcpy_s(v.SourceGUID, sizeof v.SourceGUID, "guid-new");
  runLibraryWrites(state, [&](CReplicationVolumeDB& volumes, DBtran* tran) { return volumes.insert(v, tran); });
}

}  // namespace bench
