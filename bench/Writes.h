// What both benchmarks write the same way: the raw check, the transaction
// restarted every thousand writes, and the facade's YLVolume writes.
#pragma once

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "Db/DBtran.h"
#include "DivUdurezevudoZE/Catalogue.h"
#include "DivUdurezevudoZE/ReplicationVolumeDB.h"

namespace bench {

// The catalogue at `url`, created when new; a benchmark cannot go on without it.
inline std::shared_ptr<db::Database> openLibrary(const std::string& url) {
  std::string error;
  auto db = divu::openCatalogue(url, &error);
  if (!db || divu::createCatalogue(*db, &error) != db::kOk) {
    fprintf(stderr, "cannot create %s: %s\n", url.c_str(), error.c_str());
    abort();
  }
  return db;
}

// The raw contenders' writes: every column but the id, and Flags by id.
inline constexpr const char* kRawInsert =
    "INSERT INTO YLVolume (PointInTime, CreationTime, ModifyTime, CurrentState, CurrentRole, PrimaryVolumeId, "
    "PhysicalVolumeId, ReplicationPolicyId, RVScratchVolumeId, Flags, JobId, SnapVolumeId, SnapEngineType, "
    "SnapvaultReplicaDir, SourceGUID) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id";
inline constexpr const char* kRawUpdate = "UPDATE YLVolume SET Flags = ? WHERE id = ?";

// Binds a volume's values to kRawInsert (the texts stay the caller's).
inline void bindRawInsert(sqlite3_stmt* insert, const YLVolume_t& v) {
  const int ints[] = {v.PointInTime,  v.CreationTime,        v.ModifyTime,        v.CurrentState, v.CurrentRole,
                      v.PrimaryVolumeId, v.PhysicalVolumeId, v.ReplicationPolicyId, v.RVScratchVolumeId,
                      v.Flags,        v.JobId,               v.SnapVolumeId,      v.SnapEngineType};
  for (int i = 0; i < 13; ++i) sqlite3_bind_int(insert, i + 1, ints[i]);
  sqlite3_bind_text(insert, 14, v.SnapvaultReplicaDir, -1, SQLITE_STATIC);
  sqlite3_bind_text(insert, 15, v.SourceGUID, -1, SQLITE_STATIC);
}

inline void check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    abort();
  }
}

// `rows` YLVolume rows spread over `physicalVolumes` physical volumes, in one
// transaction.
inline void seedVolumes(sqlite3* raw, int rows, int physicalVolumes) {
  check(sqlite3_exec(raw, "BEGIN", nullptr, nullptr, nullptr), raw, "begin");
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(raw,
                           "INSERT INTO YLVolume (PointInTime, CreationTime, ModifyTime, CurrentState, CurrentRole, "
                           "PrimaryVolumeId, PhysicalVolumeId, ReplicationPolicyId, RVScratchVolumeId, Flags, JobId, "
                           "SnapVolumeId, SnapEngineType, SnapvaultReplicaDir, SourceGUID) "
                           "VALUES (?1, ?1, ?1, 1, 4, 0, ?2, 3, 0, 0, ?3, 0, 1, '/replica/dir', ?4)",
                           -1, &insert, nullptr),
        raw, "prepare");
  for (int i = 0; i < rows; ++i) {
    std::string guid = "guid-" + std::to_string(i);
    sqlite3_bind_int(insert, 1, 1700000000 + i);
    sqlite3_bind_int(insert, 2, i % physicalVolumes);
    sqlite3_bind_int(insert, 3, i);
    sqlite3_bind_text(insert, 4, guid.c_str(), -1, SQLITE_TRANSIENT);
    check(sqlite3_step(insert), raw, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  check(sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr), raw, "commit");
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
