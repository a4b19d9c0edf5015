// The same work on the same data through raw SQLite (prepared statements
// reused: the floor), the library's facades on both engine access paths, and
// the peer libraries when built in. Ratios are computed by bench/run.py.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "Db/Observe.h"
#include "DivUdurezevudoZE/AllFacades.h"
#include "DivUdurezevudoZE/Catalogue.h"
#include "Writes.h"

#ifdef DIVU_BENCH_SQLITECPP
#include <SQLiteCpp/SQLiteCpp.h>
#endif
#ifdef DIVU_BENCH_POSTGRES
#include <libpq-fe.h>
#endif
#ifdef DIVU_BENCH_SOCI
#include <soci/soci.h>
#endif

namespace {

using bench::check;
using bench::openLibrary;
using bench::restartEveryThousand;
using bench::runLibraryInserts;
using bench::runLibraryUpdates;

constexpr int kRows = 100000;
constexpr int kPhysicalVolumes = 100;  // a list by PhysicalVolumeId gives 1000 rows
const char* kColumns =
    "id, PointInTime, CreationTime, ModifyTime, CurrentState, CurrentRole, PrimaryVolumeId, PhysicalVolumeId, "
    "ReplicationPolicyId, RVScratchVolumeId, Flags, JobId, SnapVolumeId, SnapEngineType, SnapvaultReplicaDir, "
    "SourceGUID";

std::string g_path;
// Point lookups run on an in-memory database, shared by every contender
// through SQLite's memdb VFS; the rest on a file. Every connection gets the
// same page cache size and none takes a mutex: each is used by one thread.
constexpr const char* kMemoryName = "/divu-bench-memory";
constexpr const char* kCachePragma = "PRAGMA cache_size=-65536;";
constexpr int kCacheKiB = 65536;
constexpr int kNoMutex = SQLITE_OPEN_NOMUTEX;
std::shared_ptr<db::Database> g_fileDb, g_memoryDb;
sqlite3* g_memoryKeeper = nullptr;


// Aborts unless a contender's connection has the page cache and no mutex.
void checkConditions(sqlite3* db, const char* who) {
  sqlite3_stmt* s = nullptr;
  check(sqlite3_prepare_v2(db, "PRAGMA cache_size", -1, &s, nullptr), db, who);
  int kib = sqlite3_step(s) == SQLITE_ROW ? -sqlite3_column_int(s, 0) : 0;
  sqlite3_finalize(s);
  if (kib != kCacheKiB || sqlite3_db_mutex(db)) {
    fprintf(stderr, "%s: unequal conditions (cache %d KiB, %s)\n", who, kib,
            sqlite3_db_mutex(db) ? "with a mutex" : "no mutex");
    abort();
  }
}

// The same for the library's connection of the calling thread: SQLite raises
// an overflow unless its cache is the one asked for (it opens without a
// mutex by construction).
void checkConditions(db::Database& db, const char* who) {
  std::string error;
  if (db.exec(("SELECT CASE WHEN (SELECT cache_size FROM pragma_cache_size) = -" + std::to_string(kCacheKiB) +
               " THEN 1 ELSE abs(-9223372036854775807 - 1) END")
                  .c_str(),
              &error) != db::kOk) {
    fprintf(stderr, "%s: unequal conditions (page cache): %s\n", who, error.c_str());
    abort();
  }
}

void seed(sqlite3* raw) { bench::seedVolumes(raw, kRows, kPhysicalVolumes); }

// The file and the in-memory database, made and filled once.
const std::string& database() {
  if (!g_path.empty()) return g_path;
  g_path = (std::filesystem::temp_directory_path() / ("divu-bench-" + std::to_string(getpid()) + ".sqlite")).string();
  g_fileDb = openLibrary("sqlite:" + g_path + "?cache_size=" + std::to_string(kCacheKiB));
  sqlite3* raw = nullptr;
  check(sqlite3_open(g_path.c_str(), &raw), raw, "open");
  seed(raw);
  sqlite3_close(raw);

  check(sqlite3_open_v2(kMemoryName, &g_memoryKeeper, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, "memdb"),
        g_memoryKeeper, "open memory");
  g_memoryDb = openLibrary(std::string("sqlite:file:") + kMemoryName + "?vfs=memdb&cache=private&cache_size=" +
                           std::to_string(kCacheKiB));
  seed(g_memoryKeeper);

  db::Database::setDefault(g_fileDb);
  std::atexit([] {
    db::Database::setDefault(nullptr);
    g_fileDb.reset();
    g_memoryDb.reset();
    sqlite3_close(g_memoryKeeper);
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(g_path + suffix);
  });
  return g_path;
}

// Opens a raw connection to the file or the in-memory database.
sqlite3* openRaw(bool memory) {
  database();
  sqlite3* db = nullptr;
  if (memory)
    check(sqlite3_open_v2(kMemoryName, &db, SQLITE_OPEN_READWRITE | kNoMutex, "memdb"), db, "open");
  else
    check(sqlite3_open_v2(g_path.c_str(), &db, SQLITE_OPEN_READWRITE | kNoMutex, nullptr), db, "open");
  check(sqlite3_exec(db, kCachePragma, nullptr, nullptr, nullptr), db, "cache");
  checkConditions(db, "raw");
  return db;
}

int randomId() {
  thread_local std::mt19937 random(42);
  return std::uniform_int_distribution<int>(1, kRows)(random);
}

void copyText(char* field, size_t size, const unsigned char* text, int bytes) {
  size_t n = text ? std::min<size_t>(static_cast<size_t>(bytes), size - 1) : 0;
  if (n) memcpy(field, text, n);
  field[n] = '\0';
}


// ---- (a) raw SQLite, statements prepared once -------------------------------

struct Raw {
  sqlite3* db = nullptr;
  sqlite3_stmt* point = nullptr;
  sqlite3_stmt* count = nullptr;
  sqlite3_stmt* list = nullptr;
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* update = nullptr;
  explicit Raw(bool memory = false) {
    db = openRaw(memory);
    prepare(point, std::string("SELECT ") + kColumns + " FROM YLVolume WHERE id = ?");
    prepare(count, "SELECT COUNT(*) FROM YLVolume WHERE PhysicalVolumeId = ?");
    prepare(list, std::string("SELECT ") + kColumns + " FROM YLVolume WHERE PhysicalVolumeId = ? ORDER BY id");
    prepare(insert, bench::kRawInsert);
    prepare(update, bench::kRawUpdate);
  }
  ~Raw() {
    for (sqlite3_stmt* s : {point, count, list, insert, update}) sqlite3_finalize(s);
    sqlite3_close(db);
  }
  void prepare(sqlite3_stmt*& stmt, const std::string& sql) {
    check(sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr), db, sql.c_str());
  }
  static void read(sqlite3_stmt* s, YLVolume_t& v) {
    int* ints[] = {&v.id, &v.PointInTime, &v.CreationTime, &v.ModifyTime, &v.CurrentState, &v.CurrentRole,
                   &v.PrimaryVolumeId, &v.PhysicalVolumeId, &v.ReplicationPolicyId, &v.RVScratchVolumeId, &v.Flags,
                   &v.JobId, &v.SnapVolumeId, &v.SnapEngineType};
    for (int i = 0; i < 14; ++i) *ints[i] = sqlite3_column_int(s, i);
    copyText(v.SnapvaultReplicaDir, sizeof v.SnapvaultReplicaDir, sqlite3_column_text(s, 14), sqlite3_column_bytes(s, 14));
    copyText(v.SourceGUID, sizeof v.SourceGUID, sqlite3_column_text(s, 15), sqlite3_column_bytes(s, 15));
  }
};

void PointLookup_Raw(benchmark::State& state) {
  Raw raw(true);
  YLVolume_t v;
  for (auto _ : state) {
    sqlite3_bind_int(raw.point, 1, randomId());
    if (sqlite3_step(raw.point) == SQLITE_ROW) Raw::read(raw.point, v);
    sqlite3_reset(raw.point);
    benchmark::DoNotOptimize(v.id);
  }
}

void PointLookup_RawPreparedPerCall(benchmark::State& state) {
  Raw raw(true);
  YLVolume_t v;
  for (auto _ : state) {
    std::string sql = std::string("SELECT ") + kColumns + " FROM YLVolume WHERE id = " + std::to_string(randomId());
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(raw.db, sql.c_str(), -1, &s, nullptr);
    if (sqlite3_step(s) == SQLITE_ROW) Raw::read(s, v);
    sqlite3_finalize(s);
    benchmark::DoNotOptimize(v.id);
  }
}

void List_Raw(benchmark::State& state) {
  Raw raw;
  for (auto _ : state) {
    int volume = randomId() % kPhysicalVolumes;
    sqlite3_bind_int(raw.count, 1, volume);
    sqlite3_step(raw.count);
    unsigned count = static_cast<unsigned>(sqlite3_column_int(raw.count, 0));
    sqlite3_reset(raw.count);
    YLVolume_t* rows = new YLVolume_t[count];
    sqlite3_bind_int(raw.list, 1, volume);
    for (unsigned i = 0; i < count && sqlite3_step(raw.list) == SQLITE_ROW; ++i) Raw::read(raw.list, rows[i]);
    sqlite3_reset(raw.list);
    benchmark::DoNotOptimize(rows[0].id);
    delete[] rows;
  }
  state.SetItemsProcessed(state.iterations() * (kRows / kPhysicalVolumes));
}

void Count_Raw(benchmark::State& state) {
  Raw raw;
  for (auto _ : state) {
    sqlite3_bind_int(raw.count, 1, randomId() % kPhysicalVolumes);
    sqlite3_step(raw.count);
    benchmark::DoNotOptimize(sqlite3_column_int(raw.count, 0));
    sqlite3_reset(raw.count);
  }
}

// Updates, like inserts, run 1000 to a transaction, which is rolled back:
// the figure is the statement, not the disk's sync.
void Update_Raw(benchmark::State& state) {
  Raw raw;
  int inTransaction = 0;
  sqlite3_exec(raw.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  for (auto _ : state) {
    sqlite3_bind_int(raw.update, 1, 5);
    sqlite3_bind_int(raw.update, 2, randomId());
    sqlite3_step(raw.update);
    sqlite3_reset(raw.update);
    restartEveryThousand(state, inTransaction, [&] {
      sqlite3_exec(raw.db, "ROLLBACK; BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    });
  }
  sqlite3_exec(raw.db, "ROLLBACK", nullptr, nullptr, nullptr);
}

// Inserts run 1000 to a transaction, which is rolled back.
void Insert_Raw(benchmark::State& state) {
  Raw raw;
  YLVolume_t v;
  strcpy_s(v.SnapvaultReplicaDir, sizeof v.SnapvaultReplicaDir, "/replica/dir");
  strcpy_s(v.SourceGUID, sizeof v.SourceGUID, "guid-new");
  int inTransaction = 0;
  sqlite3_exec(raw.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  for (auto _ : state) {
    bench::bindRawInsert(raw.insert, v);
    if (sqlite3_step(raw.insert) == SQLITE_ROW) v.id = sqlite3_column_int(raw.insert, 0);
    sqlite3_step(raw.insert);
    sqlite3_reset(raw.insert);
    restartEveryThousand(state, inTransaction, [&] {
      sqlite3_exec(raw.db, "ROLLBACK; BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    });
  }
  sqlite3_exec(raw.db, "ROLLBACK", nullptr, nullptr, nullptr);
}

// ---- (b) the library ---------------------------------------------------------

// Runs a benchmark body on the classic (0) or newer (1) engine access path.
struct AccessPath {
  explicit AccessPath(const benchmark::State& state, bool memory = false) : saved(DBtable::b_newDBBase) {
    database();
    DBtable::b_newDBBase = state.range(0) != 0;
    db::Database::setDefault(memory ? g_memoryDb : g_fileDb);
    checkConditions(*(memory ? g_memoryDb : g_fileDb), "library");
  }
  ~AccessPath() {
    DBtable::b_newDBBase = saved;
    db::Database::setDefault(g_fileDb);
  }
  bool saved;
};

void PointLookup_Library(benchmark::State& state) {
  AccessPath path(state, true);
  CReplicationVolumeDB volumes;
  YLVolume_t v;
  for (auto _ : state) {
    if (!volumes.getInfo(randomId(), v, nullptr)) state.SkipWithError(volumes.m_dbError.m_errorText.c_str());
    benchmark::DoNotOptimize(v.id);
  }
}

// The same with a statement hook set whose callbacks do nothing: what the
// hook itself costs a statement.
void PointLookup_LibraryHooked(benchmark::State& state) {
  auto nothing = [](const db::observe::Statement&) {};
  db::observe::setHook({nothing, nothing});
  PointLookup_Library(state);
  db::observe::setHook({});
}

// Facade lists of about 1000 rows by an indexed WHERE, on the default database.
void runLibraryLists(benchmark::State& state) {
  CReplicationVolumeDB volumes;
  for (auto _ : state) {
    YLVolume_t* rows = nullptr;
    unsigned count = 0;
    std::string where = "PhysicalVolumeId = " + std::to_string(randomId() % kPhysicalVolumes);
    if (!volumes.getList(rows, count, where.c_str(), nullptr, nullptr)) state.SkipWithError("list failed");
    benchmark::DoNotOptimize(rows);
    volumes.deleteList(rows);
  }
  state.SetItemsProcessed(state.iterations() * (kRows / kPhysicalVolumes));
}

void List_Library(benchmark::State& state) {
  AccessPath path(state);
  runLibraryLists(state);
}

void Count_Library(benchmark::State& state) {
  AccessPath path(state);
  CReplicationVolumeDB volumes;
  for (auto _ : state) {
    unsigned count = 0;
    std::string where = "PhysicalVolumeId = " + std::to_string(randomId() % kPhysicalVolumes);
    volumes.getNRows(where.c_str(), count, nullptr);
    benchmark::DoNotOptimize(count);
  }
}

void Update_Library(benchmark::State& state) {
  AccessPath path(state);
  runLibraryUpdates(state, randomId);
}

void Insert_Library(benchmark::State& state) {
  AccessPath path(state);
  runLibraryInserts(state);
}

// `rows` jobs from `firstJob` on, each with one live history row on the
// physical volume, its statistics and one child link: what a volume removal ages.
void addLastJobs(DBtran& tran, int firstJob, int rows, int physical) {
  CYLJobVolumeHistoryDB history;
  CRepBaseDB generic;
  for (int job = firstJob; job < firstJob + rows; ++job) {
    YLJobVolumeHistory_t row;
    row.JobId = job;
    row.zorbCellId = 2;
    row.DstVolId = physical;
    history.insert(row, &tran);
    JMBkpStats_t stats;
    stats.jobId = job;
    stats.zorbCellId = 2;
    JMBkpStats* statsBinding = nullptr;
    generic.insertRow(stats, statsBinding, &tran);
    JMJobDataLink_t link;
    link.zorbCellId = 2;
    link.parentJobId = 1;
    link.childJobId = job;
    JMJobDataLink* linkBinding = nullptr;
    generic.insertRow(link, linkBinding, &tran);
  }
}

// Removing a volume whose physical volume has N live history rows, each the
// last of its job (so every row ages a job with one child link).
void VolumeRemoval_Library(benchmark::State& state) {
  database();
  const int rows = static_cast<int>(state.range(0));
  CReplicationVolumeDB volumes;
  for (auto _ : state) {
    state.PauseTiming();
    DBtran tran;
    tran.begin();
    YLVolume_t volume;
    volume.CurrentRole = 1;
    volume.PhysicalVolumeId = 900000 + rows;
    volumes.insert(volume, &tran);
    addLastJobs(tran, 5000000, rows, volume.PhysicalVolumeId);
    state.ResumeTiming();
    if (!volumes.remove(volume.id, &tran)) state.SkipWithError(volumes.m_dbError.m_errorText.c_str());
    state.PauseTiming();
    tran.rollback();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * rows);
}

// ---- (c) SQLiteCpp -------------------------------------------------------------

#ifdef DIVU_BENCH_SQLITECPP
void readCpp(SQLite::Statement& q, YLVolume_t& v) {
  int* ints[] = {&v.id, &v.PointInTime, &v.CreationTime, &v.ModifyTime, &v.CurrentState, &v.CurrentRole,
                 &v.PrimaryVolumeId, &v.PhysicalVolumeId, &v.ReplicationPolicyId, &v.RVScratchVolumeId, &v.Flags,
                 &v.JobId, &v.SnapVolumeId, &v.SnapEngineType};
  for (int i = 0; i < 14; ++i) *ints[i] = q.getColumn(i).getInt();
  strcpy_s(v.SnapvaultReplicaDir, sizeof v.SnapvaultReplicaDir, q.getColumn(14).getText());
  strcpy_s(v.SourceGUID, sizeof v.SourceGUID, q.getColumn(15).getText());
}

// A SQLiteCpp database on the same file or in-memory database.
SQLite::Database openCpp(bool memory) {
  database();
  SQLite::Database db(memory ? kMemoryName : g_path, SQLite::OPEN_READWRITE | kNoMutex, 0, memory ? "memdb" : "");
  db.exec(kCachePragma);
  checkConditions(db.getHandle(), "SQLiteCpp");
  return db;
}

void PointLookup_SQLiteCpp(benchmark::State& state) {
  SQLite::Database db = openCpp(true);
  SQLite::Statement q(db, std::string("SELECT ") + kColumns + " FROM YLVolume WHERE id = ?");
  YLVolume_t v;
  for (auto _ : state) {
    q.bind(1, randomId());
    if (q.executeStep()) readCpp(q, v);
    q.reset();
  }
}

void PointLookup_SQLiteCppPerCall(benchmark::State& state) {
  SQLite::Database db = openCpp(true);
  YLVolume_t v;
  for (auto _ : state) {
    SQLite::Statement q(db, std::string("SELECT ") + kColumns + " FROM YLVolume WHERE id = ?");
    q.bind(1, randomId());
    if (q.executeStep()) readCpp(q, v);
  }
}

void List_SQLiteCpp(benchmark::State& state) {
  SQLite::Database db = openCpp(false);
  SQLite::Statement count(db, "SELECT COUNT(*) FROM YLVolume WHERE PhysicalVolumeId = ?");
  SQLite::Statement list(db, std::string("SELECT ") + kColumns + " FROM YLVolume WHERE PhysicalVolumeId = ? ORDER BY id");
  for (auto _ : state) {
    int volume = randomId() % kPhysicalVolumes;
    count.bind(1, volume);
    count.executeStep();
    unsigned n = static_cast<unsigned>(count.getColumn(0).getInt());
    count.reset();
    YLVolume_t* rows = new YLVolume_t[n];
    list.bind(1, volume);
    for (unsigned i = 0; i < n && list.executeStep(); ++i) readCpp(list, rows[i]);
    list.reset();
    delete[] rows;
  }
  state.SetItemsProcessed(state.iterations() * (kRows / kPhysicalVolumes));
}

void Count_SQLiteCpp(benchmark::State& state) {
  SQLite::Database db = openCpp(false);
  SQLite::Statement count(db, "SELECT COUNT(*) FROM YLVolume WHERE PhysicalVolumeId = ?");
  for (auto _ : state) {
    count.bind(1, randomId() % kPhysicalVolumes);
    count.executeStep();
    benchmark::DoNotOptimize(count.getColumn(0).getInt());
    count.reset();
  }
}

void Update_SQLiteCpp(benchmark::State& state) {
  SQLite::Database db = openCpp(false);
  SQLite::Statement update(db, "UPDATE YLVolume SET Flags = ? WHERE id = ?");
  db.exec("BEGIN IMMEDIATE");
  int inTransaction = 0;
  for (auto _ : state) {
    update.bind(1, 5);
    update.bind(2, randomId());
    update.exec();
    update.reset();
    restartEveryThousand(state, inTransaction, [&] {
      db.exec("ROLLBACK");
      db.exec("BEGIN IMMEDIATE");
    });
  }
  db.exec("ROLLBACK");
}

void Insert_SQLiteCpp(benchmark::State& state) {
  SQLite::Database db = openCpp(false);
  SQLite::Statement insert(db,
                           "INSERT INTO YLVolume (PointInTime, CreationTime, ModifyTime, CurrentState, CurrentRole, "
                           "PrimaryVolumeId, PhysicalVolumeId, ReplicationPolicyId, RVScratchVolumeId, Flags, JobId, "
                           "SnapVolumeId, SnapEngineType, SnapvaultReplicaDir, SourceGUID) VALUES (?, ?, ?, ?, ?, ?, "
                           "?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id");
  YLVolume_t v;
  strcpy_s(v.SnapvaultReplicaDir, sizeof v.SnapvaultReplicaDir, "/replica/dir");
  strcpy_s(v.SourceGUID, sizeof v.SourceGUID, "guid-new");
  db.exec("BEGIN IMMEDIATE");
  int inTransaction = 0;
  for (auto _ : state) {
    int* ints[] = {&v.PointInTime, &v.CreationTime, &v.ModifyTime, &v.CurrentState, &v.CurrentRole,
                   &v.PrimaryVolumeId, &v.PhysicalVolumeId, &v.ReplicationPolicyId, &v.RVScratchVolumeId, &v.Flags,
                   &v.JobId, &v.SnapVolumeId, &v.SnapEngineType};
    for (int i = 0; i < 13; ++i) insert.bind(i + 1, *ints[i]);
    insert.bindNoCopy(14, v.SnapvaultReplicaDir);
    insert.bindNoCopy(15, v.SourceGUID);
    if (insert.executeStep()) v.id = insert.getColumn(0).getInt();
    insert.reset();
    restartEveryThousand(state, inTransaction, [&] {
      db.exec("ROLLBACK");
      db.exec("BEGIN IMMEDIATE");
    });
  }
  db.exec("ROLLBACK");
}
#endif

// ---- (d) SOCI ------------------------------------------------------------------

#ifdef DIVU_BENCH_SOCI
struct SociRow {
  int ints[14];
  std::string replicaDir, guid;
};

void toRecord(const SociRow& row, YLVolume_t& v) {
  int* ints[] = {&v.id, &v.PointInTime, &v.CreationTime, &v.ModifyTime, &v.CurrentState, &v.CurrentRole,
                 &v.PrimaryVolumeId, &v.PhysicalVolumeId, &v.ReplicationPolicyId, &v.RVScratchVolumeId, &v.Flags,
                 &v.JobId, &v.SnapVolumeId, &v.SnapEngineType};
  for (int i = 0; i < 14; ++i) *ints[i] = row.ints[i];
  strcpy_s(v.SnapvaultReplicaDir, sizeof v.SnapvaultReplicaDir, row.replicaDir.c_str());
  strcpy_s(v.SourceGUID, sizeof v.SourceGUID, row.guid.c_str());
}

// A SOCI session on the same file or in-memory database.
std::string sociConnect(bool memory) {
  database();
  return memory ? std::string("db=") + kMemoryName + " vfs=memdb" : "db=" + g_path;
}

// Its sessions take no open flags: they get no mutex from the process-wide
// mode main sets (and checks).
void openedSoci(soci::session& sql) {
  sql << kCachePragma;
  int kib = 0;
  sql << "PRAGMA cache_size", soci::into(kib);
  if (-kib != kCacheKiB) {
    fprintf(stderr, "SOCI: unequal conditions (cache %d KiB)\n", -kib);
    abort();
  }
}

void PointLookup_SOCI(benchmark::State& state) {
  soci::session sql("sqlite3", sociConnect(true));
  openedSoci(sql);
  SociRow row;
  int id = 0;
  YLVolume_t v;
  soci::statement st = (sql.prepare << std::string("SELECT ") + kColumns + " FROM YLVolume WHERE id = :id",
                        soci::into(row.ints[0]), soci::into(row.ints[1]), soci::into(row.ints[2]),
                        soci::into(row.ints[3]), soci::into(row.ints[4]), soci::into(row.ints[5]),
                        soci::into(row.ints[6]), soci::into(row.ints[7]), soci::into(row.ints[8]),
                        soci::into(row.ints[9]), soci::into(row.ints[10]), soci::into(row.ints[11]),
                        soci::into(row.ints[12]), soci::into(row.ints[13]), soci::into(row.replicaDir),
                        soci::into(row.guid), soci::use(id));
  for (auto _ : state) {
    id = randomId();
    st.execute(true);
    toRecord(row, v);
  }
}

void PointLookup_SOCIPerCall(benchmark::State& state) {
  soci::session sql("sqlite3", sociConnect(true));
  openedSoci(sql);
  SociRow row;
  YLVolume_t v;
  for (auto _ : state) {
    int id = randomId();
    sql << std::string("SELECT ") + kColumns + " FROM YLVolume WHERE id = :id", soci::into(row.ints[0]),
        soci::into(row.ints[1]), soci::into(row.ints[2]), soci::into(row.ints[3]), soci::into(row.ints[4]),
        soci::into(row.ints[5]), soci::into(row.ints[6]), soci::into(row.ints[7]), soci::into(row.ints[8]),
        soci::into(row.ints[9]), soci::into(row.ints[10]), soci::into(row.ints[11]), soci::into(row.ints[12]),
        soci::into(row.ints[13]), soci::into(row.replicaDir), soci::into(row.guid), soci::use(id);
    toRecord(row, v);
  }
}

void Count_SOCI(benchmark::State& state) {
  soci::session sql("sqlite3", sociConnect(false));
  openedSoci(sql);
  int volume = 0, count = 0;
  soci::statement st = (sql.prepare << "SELECT COUNT(*) FROM YLVolume WHERE PhysicalVolumeId = :v", soci::into(count),
                        soci::use(volume));
  for (auto _ : state) {
    volume = randomId() % kPhysicalVolumes;
    st.execute(true);
    benchmark::DoNotOptimize(count);
  }
}

void Update_SOCI(benchmark::State& state) {
  soci::session sql("sqlite3", sociConnect(false));
  openedSoci(sql);
  int id = 0, flags = 5;
  soci::statement st = (sql.prepare << "UPDATE YLVolume SET Flags = :f WHERE id = :id", soci::use(flags), soci::use(id));
  sql.begin();
  int inTransaction = 0;
  for (auto _ : state) {
    id = randomId();
    st.execute(true);
    restartEveryThousand(state, inTransaction, [&] {
      sql.rollback();
      sql.begin();
    });
  }
  sql.rollback();
}
#endif

// ---- (e) PostgreSQL: the library against libpq with prepared statements ------

#ifdef DIVU_BENCH_POSTGRES
const char* postgresUrl() { return getenv("DIVU_BENCH_POSTGRES_URL"); }
std::shared_ptr<db::Database> g_postgresDb;

// A fresh YLVolume on the server, filled once.
void postgresDatabase() {
  if (g_postgresDb) return;
  g_postgresDb = openLibrary(postgresUrl());
  g_postgresDb->exec("DELETE FROM YLVolume");
  std::string seed =
      "INSERT INTO YLVolume (PointInTime, CreationTime, ModifyTime, CurrentState, CurrentRole, PrimaryVolumeId, "
      "PhysicalVolumeId, ReplicationPolicyId, RVScratchVolumeId, Flags, JobId, SnapVolumeId, SnapEngineType, "
      "SnapvaultReplicaDir, SourceGUID) SELECT 1700000000 + i, 1700000000 + i, 1700000000 + i, 1, 4, 0, i % " +
      std::to_string(kPhysicalVolumes) + ", 3, 0, 0, i, 0, 1, '/replica/dir', 'guid-' || i FROM generate_series(0, " +
      std::to_string(kRows - 1) + ") AS i; ANALYZE YLVolume";
  std::string error;
  if (g_postgresDb->exec(seed.c_str(), &error) != db::kOk) {
    fprintf(stderr, "cannot fill the PostgreSQL table: %s\n", error.c_str());
    abort();
  }
}

// The lowest id on the server (identity ids need not start at 1).
int g_postgresFirstId = 0;

struct Libpq {
  PGconn* conn;
  Libpq() : conn(PQconnectdb(postgresUrl())) {
    postgresDatabase();
    prepare("point", std::string("SELECT ") + kColumns + " FROM YLVolume WHERE id = $1");
    prepare("count", "SELECT COUNT(*) FROM YLVolume WHERE PhysicalVolumeId = $1");
    prepare("list", std::string("SELECT ") + kColumns + " FROM YLVolume WHERE PhysicalVolumeId = $1 ORDER BY id");
    prepare("update", "UPDATE YLVolume SET Flags = $1 WHERE id = $2");
    PGresult* first = PQexec(conn, "SELECT min(id) FROM YLVolume");
    g_postgresFirstId = atoi(PQgetvalue(first, 0, 0));
    PQclear(first);
  }
  ~Libpq() { PQfinish(conn); }
  void prepare(const char* name, const std::string& sql) { PQclear(PQprepare(conn, name, sql.c_str(), 0, nullptr)); }
  PGresult* run(const char* name, std::initializer_list<std::string> values) {
    const char* params[2];
    int n = 0;
    for (const std::string& value : values) params[n++] = value.c_str();
    return PQexecPrepared(conn, name, n, params, nullptr, nullptr, 0);
  }
  static void read(PGresult* result, int row, YLVolume_t& v) {
    int* ints[] = {&v.id, &v.PointInTime, &v.CreationTime, &v.ModifyTime, &v.CurrentState, &v.CurrentRole,
                   &v.PrimaryVolumeId, &v.PhysicalVolumeId, &v.ReplicationPolicyId, &v.RVScratchVolumeId, &v.Flags,
                   &v.JobId, &v.SnapVolumeId, &v.SnapEngineType};
    for (int i = 0; i < 14; ++i) *ints[i] = atoi(PQgetvalue(result, row, i));
    strcpy_s(v.SnapvaultReplicaDir, sizeof v.SnapvaultReplicaDir, PQgetvalue(result, row, 14));
    strcpy_s(v.SourceGUID, sizeof v.SourceGUID, PQgetvalue(result, row, 15));
  }
};

int postgresId() { return g_postgresFirstId + randomId() - 1; }

void PgPointLookup_Raw(benchmark::State& state) {
  Libpq pg;
  YLVolume_t v;
  for (auto _ : state) {
    PGresult* result = pg.run("point", {std::to_string(postgresId())});
    if (PQntuples(result) == 1) Libpq::read(result, 0, v);
    PQclear(result);
  }
}

void PgList_Raw(benchmark::State& state) {
  Libpq pg;
  for (auto _ : state) {
    std::string volume = std::to_string(randomId() % kPhysicalVolumes);
    PGresult* counted = pg.run("count", {volume});
    unsigned count = static_cast<unsigned>(atoi(PQgetvalue(counted, 0, 0)));
    PQclear(counted);
    YLVolume_t* rows = new YLVolume_t[count];
    PGresult* result = pg.run("list", {volume});
    for (unsigned i = 0; i < count && static_cast<int>(i) < PQntuples(result); ++i) Libpq::read(result, static_cast<int>(i), rows[i]);
    PQclear(result);
    delete[] rows;
  }
}

void PgUpdate_Raw(benchmark::State& state) {
  Libpq pg;
  PQclear(PQexec(pg.conn, "BEGIN"));
  int inTransaction = 0;
  for (auto _ : state) {
    PQclear(pg.run("update", {"5", std::to_string(postgresId())}));
    restartEveryThousand(state, inTransaction, [&] { PQclear(PQexec(pg.conn, "ROLLBACK; BEGIN")); });
  }
  PQclear(PQexec(pg.conn, "ROLLBACK"));
}

struct OnPostgres {
  OnPostgres() {
    Libpq warm;  // fills the table and finds the first id
    db::Database::setDefault(g_postgresDb);
  }
  ~OnPostgres() { db::Database::setDefault(g_fileDb); }
};

void PgPointLookup_Library(benchmark::State& state) {
  OnPostgres server;
  CReplicationVolumeDB volumes;
  YLVolume_t v;
  for (auto _ : state)
    if (!volumes.getInfo(postgresId(), v, nullptr)) state.SkipWithError(volumes.m_dbError.m_errorText.c_str());
}

void PgList_Library(benchmark::State& state) {
  OnPostgres server;
  runLibraryLists(state);
}

void PgUpdate_Library(benchmark::State& state) {
  OnPostgres server;
  runLibraryUpdates(state, postgresId);
}

void registerPostgres() {
  if (!postgresUrl()) return;
  benchmark::RegisterBenchmark("PgPointLookup_Raw", PgPointLookup_Raw);
  benchmark::RegisterBenchmark("PgPointLookup_Library", PgPointLookup_Library);
  benchmark::RegisterBenchmark("PgList_Raw", PgList_Raw)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("PgList_Library", PgList_Library)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("PgUpdate_Raw", PgUpdate_Raw);
  benchmark::RegisterBenchmark("PgUpdate_Library", PgUpdate_Library);
}
#else
void registerPostgres() {}
#endif

}  // namespace

BENCHMARK(PointLookup_Raw);
BENCHMARK(PointLookup_RawPreparedPerCall);
BENCHMARK(PointLookup_Library)->Arg(0)->Arg(1)->ArgName("newpath");
BENCHMARK(PointLookup_LibraryHooked)->Arg(0)->ArgName("newpath");
BENCHMARK(List_Raw)->Unit(benchmark::kMicrosecond);
BENCHMARK(List_Library)->Arg(0)->Arg(1)->ArgName("newpath")->Unit(benchmark::kMicrosecond);
BENCHMARK(Count_Raw);
BENCHMARK(Count_Library)->Arg(0)->Arg(1)->ArgName("newpath");
BENCHMARK(Update_Raw);
BENCHMARK(Update_Library)->Arg(0)->Arg(1)->ArgName("newpath");
BENCHMARK(Insert_Raw);
BENCHMARK(Insert_Library)->Arg(0)->Arg(1)->ArgName("newpath");
BENCHMARK(VolumeRemoval_Library)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(3);
#ifdef DIVU_BENCH_SQLITECPP
BENCHMARK(PointLookup_SQLiteCpp);
BENCHMARK(PointLookup_SQLiteCppPerCall);
BENCHMARK(List_SQLiteCpp)->Unit(benchmark::kMicrosecond);
BENCHMARK(Count_SQLiteCpp);
BENCHMARK(Update_SQLiteCpp);
BENCHMARK(Insert_SQLiteCpp);
#endif
#ifdef DIVU_BENCH_SOCI
BENCHMARK(PointLookup_SOCI);
BENCHMARK(PointLookup_SOCIPerCall);
BENCHMARK(Count_SOCI);
BENCHMARK(Update_SOCI);
#endif

int main(int argc, char** argv) {
  // Every connection here is used by one thread at a time, as the library's
  // are: no contender pays for a connection mutex.
  if (sqlite3_config(SQLITE_CONFIG_MULTITHREAD) != SQLITE_OK) {
    fprintf(stderr, "SQLite was set up before main: cannot drop its mutexes\n");
    return 1;
  }
  sqlite3* probe = nullptr;
  sqlite3_open_v2(":memory:", &probe, SQLITE_OPEN_READWRITE, nullptr);
  bool mutex = sqlite3_db_mutex(probe) != nullptr;
  sqlite3_close(probe);
  if (mutex) {
    fprintf(stderr, "connections opened without flags still take a mutex\n");
    return 1;
  }
  registerPostgres();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// ---- (f) PostgreSQL volume removal ---------------------------------------------

#include <array>
#include <utility>
#include <vector>

namespace {

#ifdef DIVU_BENCH_POSTGRES
// The rows are made once, committed, on a connection of their own (to
// DIVU_BENCH_POSTGRES_DIRECT_URL when set, so that a proxy in front of the
// server counts only the removal); each removal is rolled back.
void PgVolumeRemoval_Library(benchmark::State& state) {
  OnPostgres server;
  const int rows = static_cast<int>(state.range(0));
  const int physical = 800000 + rows;
  // Job ids apart from every other size's, so that no job has live rows elsewhere.
  const int firstJob = 10000000 + rows * 100;
  const char* directUrl = getenv("DIVU_BENCH_POSTGRES_DIRECT_URL");
  auto direct = openLibrary(directUrl ? directUrl : postgresUrl());
  std::string error;
  std::string jobs = " BETWEEN " + std::to_string(firstJob) + " AND " + std::to_string(firstJob + rows - 1);
  std::string clear = "DELETE FROM YLJobVolumeHistory WHERE DstVolId = " + std::to_string(physical) +
                      "; DELETE FROM JMBkpStats WHERE jobId" + jobs + "; DELETE FROM JMJobDataLink WHERE childJobId" +
                      jobs + "; DELETE FROM YLVolume WHERE PhysicalVolumeId = " + std::to_string(physical);
  if (direct->exec(clear.c_str(), &error) != db::kOk) state.SkipWithError(error.c_str());
  CReplicationVolumeDB volumes;
  YLVolume_t volume;
  volume.CurrentRole = 1;
  volume.PhysicalVolumeId = physical;
  {
    DBtran tran(direct);
    tran.begin();
    volumes.insert(volume, &tran);
    addLastJobs(tran, firstJob, rows, physical);
    if (tran.commit() != db::kOk) state.SkipWithError(tran.lastError().c_str());
  }
  for (auto _ : state) {
    DBtran tran;
    tran.begin();
    if (!volumes.remove(volume.id, &tran)) state.SkipWithError(volumes.m_dbError.m_errorText.c_str());
    state.PauseTiming();
    tran.rollback();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * rows);
}
#endif

// ---- fixed iteration counts, for counting rather than timing --------------------
//
// DIVU_BENCH_ITERATIONS="N[,N...]" registers, for each benchmark below and each
// count, "Fixed/<name>/slot:K[/arg]/iterations:N". Each runs through a
// function of its own, counted<K>, so that under callgrind each has its own
// inclusive instruction count; through a proxy, a fixed count gives round
// trips per call.
using Body = void (*)(benchmark::State&);
constexpr int kSlots = 128;
Body g_slots[kSlots];

template <int K>
[[gnu::noinline]] void counted(benchmark::State& state) {
  g_slots[K](state);
}

template <int... K>
constexpr std::array<Body, kSlots> countedBodies(std::integer_sequence<int, K...>) {
  return {counted<K>...};
}

bool registerCounted() {
  const char* counts = getenv("DIVU_BENCH_ITERATIONS");
  if (!counts) return false;
  struct Entry {
    const char* name;
    Body body;
    int arg;  // -1: none
    const char* argName;
  };
  std::vector<Entry> entries = {
      {"PointLookup_Raw", PointLookup_Raw, -1, ""},
      {"PointLookup_Library", PointLookup_Library, 0, "newpath"},
      {"PointLookup_Library", PointLookup_Library, 1, "newpath"},
      {"PointLookup_LibraryHooked", PointLookup_LibraryHooked, 0, "newpath"},
      {"Update_Raw", Update_Raw, -1, ""},
      {"Update_Library", Update_Library, 0, "newpath"},
      {"Update_Library", Update_Library, 1, "newpath"},
      {"Insert_Raw", Insert_Raw, -1, ""},
      {"Insert_Library", Insert_Library, 0, "newpath"},
      {"Insert_Library", Insert_Library, 1, "newpath"},
#ifdef DIVU_BENCH_SQLITECPP
      {"PointLookup_SQLiteCpp", PointLookup_SQLiteCpp, -1, ""},
      {"Update_SQLiteCpp", Update_SQLiteCpp, -1, ""},
      {"Insert_SQLiteCpp", Insert_SQLiteCpp, -1, ""},
#endif
#ifdef DIVU_BENCH_SOCI
      {"PointLookup_SOCI", PointLookup_SOCI, -1, ""},
      {"Update_SOCI", Update_SOCI, -1, ""},
#endif
  };
#ifdef DIVU_BENCH_POSTGRES
  if (postgresUrl()) {
    entries.push_back({"PgPointLookup_Raw", PgPointLookup_Raw, -1, ""});
    entries.push_back({"PgPointLookup_Library", PgPointLookup_Library, -1, ""});
    entries.push_back({"PgList_Raw", PgList_Raw, -1, ""});
    entries.push_back({"PgList_Library", PgList_Library, -1, ""});
    entries.push_back({"PgUpdate_Raw", PgUpdate_Raw, -1, ""});
    entries.push_back({"PgUpdate_Library", PgUpdate_Library, -1, ""});
    entries.push_back({"PgVolumeRemoval_Library", PgVolumeRemoval_Library, 100, "rows"});
  }
#endif
  static constexpr std::array<Body, kSlots> bodies = countedBodies(std::make_integer_sequence<int, kSlots>{});
  int slot = 0;
  for (const Entry& entry : entries) {
    for (const char* n = counts; *n && slot < kSlots; ++slot) {
      long iterations = strtol(n, const_cast<char**>(&n), 10);
      if (*n == ',') ++n;
      g_slots[slot] = entry.body;
      std::string name = std::string("Fixed/") + entry.name + "/slot:" + std::to_string(slot);
      benchmark::internal::Benchmark* b = benchmark::RegisterBenchmark(name.c_str(), bodies[slot]);
      if (entry.arg >= 0) b->Arg(entry.arg)->ArgName(entry.argName);
      b->Iterations(iterations);
    }
  }
  return true;
}

const bool g_counted = registerCounted();

bool registerPostgresRemoval() {
#ifdef DIVU_BENCH_POSTGRES
  if (!postgresUrl()) return false;
  benchmark::RegisterBenchmark("PgVolumeRemoval_Library", PgVolumeRemoval_Library)
      ->Arg(100)
      ->Arg(1000)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(3);
  return true;
#else
  return false;
#endif
}

const bool g_postgresRemoval = registerPostgresRemoval();

}  // namespace
