// The schema upgrade under SQLite's own failures. The upgrade is a whole
// database operation with transactions of its own, so it gets a sweep of its
// own beside FaultSweep.cpp: a revision-0 catalogue of some 11,700 rows,
// upgraded with each I/O call, each write (full disk) or each allocation
// failing, once or from that point on. After every point the file, seen live,
// after closing and as a crash copy, must be revision 0 exactly as it was or
// revision 1 exactly as a fault-free upgrade leaves it, and the result must
// say which.
//
// The upgrade makes some 5,000 I/O calls and 400,000 allocations, and each
// point costs a rebuild and three reads of the file, so by default a sweep
// takes every point of the first and last kEdge calls of the fault-free run
// (begin and the reads before the work; the commit's end and the pass that
// finds the work done) and kBetween points evenly spread over the rest.
// DIVU_FAULT_SWEEP_STRIDE=K takes every Kth point throughout (1: every one).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "../TestSupport.h"
#include "Db/DBtran.h"
#include "Db/Engine/Backend.h"
#include "Db/Engine/SchemaDdl.h"
#include "SqliteFaults.h"

namespace divu::test {
namespace {

using fault::Kind;
using fault::Mode;

#ifdef DIVU_UPGRADE_SWEEP_LIGHT  // sanitizer and coverage builds, where a point costs four times as much
constexpr unsigned long kEdge = 8;
constexpr unsigned long kBetween = 16;
#else
constexpr unsigned long kEdge = 24;
constexpr unsigned long kBetween = 60;
#endif

// Rows added to the previous release's catalogue: enough for the history's
// copy to take three chunks, with gaps in the ids and a freed top id.
constexpr const char* kSeedSql = R"(
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 11000)
INSERT INTO YLJobVolumeHistory (JobId, zorbCellId, SrcVolId, SrcClientId, SrcClientName, SrcBlockCount,
                                SrcBlockSize, SrcDevName, DstVolId, DstClientName, DstBlockCount, Flags,
                                pruneTime, modified, spaceUsed)
  SELECT 100000 + i, 2, i % 97, i % 13, 'client-' || i, i * 1000003, 4096, '/dev/sd' || char(97 + i % 26),
         50 + i % 3, 'dst-ü-' || i, 5000000000 + i, -i, CASE WHEN i % 4 = 0 THEN 1500 ELSE 0 END, 0,
         (i % 7) * 1099511627776
  FROM n;
DELETE FROM YLJobVolumeHistory WHERE id % 11 = 0 OR id = (SELECT max(id) FROM YLJobVolumeHistory);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000)
INSERT INTO JMBkpStats (jobId, zorbCellId, appId, status, servStartDate, failureReason, username,
                        totalBackupSize, dataStatus, agedTime, scanTypeChangeReason)
  SELECT 100000 + i, 2, i % 5, i % 3, 1700000000 + i * 60, CASE WHEN i % 9 = 0 THEN 'media «full»' END,
         'user' || (i % 17), i * 1073741824, 1, 0, 'none'
  FROM n;
DELETE FROM JMBkpStats WHERE jobId % 7 = 0;
COMMIT;
)";

// One raw connection of the default VFS, outside the engine.
class Raw {
 public:
  explicit Raw(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) m_error = error();
  }
  ~Raw() { sqlite3_close_v2(m_db); }
  Raw(const Raw&) = delete;
  Raw& operator=(const Raw&) = delete;

  bool ok() const { return m_error.empty(); }
  const std::string& failure() const { return m_error; }
  std::string error() const { return m_db ? sqlite3_errmsg(m_db) : "out of memory"; }

  // Every row of `sql`, each value with its storage class, one row a line.
  bool rows(const std::string& sql, std::string& out) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      m_error = error() + " in: " + sql;
      return false;
    }
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        const int type = sqlite3_column_type(statement, i);
        const char* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
        out += "NIRTB"[type == SQLITE_NULL      ? 0
                       : type == SQLITE_INTEGER ? 1
                       : type == SQLITE_FLOAT   ? 2
                       : type == SQLITE_TEXT    ? 3
                                                : 4];
        out += text ? text : "";
        out += '|';
      }
      out += '\n';
    }
    sqlite3_finalize(statement);
    if (rc != SQLITE_DONE) m_error = error() + " in: " + sql;
    return rc == SQLITE_DONE;
  }
  bool exec(const char* sql) {
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    m_error = error();
    return false;
  }

 private:
  sqlite3* m_db = nullptr;
  std::string m_error;
};

// The whole database as text: its schema (tables, their constraints,
// indexes), every table's rows by rowid, the AUTOINCREMENT counters and the
// revision record (without the time it was applied); and the integrity check.
struct Snapshot {
  std::string content;
  std::string integrity;
};

Snapshot snapshot(const std::string& path) {
  Snapshot out;
  Raw raw(path);
  std::string tables;
  if (!raw.ok() || !raw.rows("PRAGMA integrity_check", out.integrity) ||
      !raw.rows("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY type, name", out.content) ||
      !raw.rows("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name", tables)) {
    out.integrity = "cannot read: " + raw.failure();
    return out;
  }
  for (size_t at = 0; at < tables.size();) {
    const size_t end = tables.find('\n', at);
    const std::string name = tables.substr(at + 1, end - at - 2);  // "T<name>|"
    at = end + 1;
    std::string sql = "SELECT rowid, * FROM \"" + name + "\" ORDER BY rowid";
    if (name == "sqlite_sequence") sql = "SELECT name, seq FROM sqlite_sequence ORDER BY name";
    if (name == db::engine::kRevisionTable)
      sql = "SELECT step, name, checksum, libraryVersion FROM " + name + " ORDER BY step";
    out.content += "[" + name + "]\n";
    if (!raw.rows(sql, out.content)) {
      out.integrity = "cannot read: " + raw.failure();
      return out;
    }
  }
  return out;
}

// What one run of the upgrade left and reported.
struct Point {
  bool reached = false;
  int code = -1;
  int to = -1;  // the revision the result says the database was left at
  std::string error;
  bool halfApplied = false;  // a view neither revision 0 nor revision 1 as expected
  bool misreported = false;  // a view at another revision than the one reported
  bool unrecorded = false;   // a failure without its text
  bool corrupt = false;
  bool stuck = false;
  int landed = -1;  // the revision the views show (when they agree and are whole)
  std::string detail;
};

struct Figures {
  unsigned long points = 0, upgraded = 0, failedAt0 = 0, failedAt1 = 0, inDoubtAt0 = 0, inDoubtAt1 = 0;
  unsigned long inDoubtSplit = 0;  // whole at 0 in some views, at 1 in others (say, the crash copy)
  unsigned long halfApplied = 0, misreported = 0, unrecorded = 0, corrupt = 0, stuck = 0;
};

class UpgradeSweep {
 public:
  UpgradeSweep() {
    const std::string path = m_dir.file("template.sqlite");
    std::filesystem::copy_file(std::string(DIVU_FIXTURES) + "/catalogue-r0.sqlite", path);
    {
      Raw raw(path);
      EXPECT_TRUE(raw.ok() && raw.exec(kSeedSql)) << raw.failure();
      std::string count;
      EXPECT_TRUE(raw.rows("SELECT (SELECT count(*) FROM YLJobVolumeHistory) + (SELECT count(*) FROM JMBkpStats)", count));
      m_rows = atol(count.c_str() + 1);
    }  // the last connection closing folds the log into the file
    EXPECT_FALSE(std::filesystem::exists(path + "-wal"));
    Snapshot before = snapshot(path);
    EXPECT_EQ(before.integrity, "Tok|\n");
    m_states[0] = before.content;
  }

  long rows() const { return m_rows; }
  const std::string& state(int revision) const { return m_states[revision]; }

  // Upgrades a copy of the template with `kind` failing at `failAt` (0: the
  // fault-free reference, which defines revision 1) and judges what it left.
  Point run(Kind kind, Mode mode, unsigned long failAt) {
    Point point;
    const std::string path = m_dir.file("step.sqlite"), crashed = m_dir.file("crashed.sqlite");
    for (const std::string& file : {path, crashed})
      for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(file + suffix);
    std::filesystem::copy_file(m_dir.file("template.sqlite"), path);

    std::string error;
    std::shared_ptr<db::Database> faulted = db::Database::open("sqlite:file:" + path + "?vfs=" + fault::kVfsName, &error);
    if (!faulted) {
      ADD_FAILURE() << error;
      return point;
    }
    EXPECT_EQ(faulted->exec("SELECT count(*) FROM sqlite_master", &error), db::kOk) << error;  // schema loaded

    db::UpgradeOptions options;
    options.waitSeconds = 1;  // no other process competes: a transient failure is the fault's
    db::UpgradeResult result;
    fault::arm(kind, mode, failAt);
    point.code = divu::upgradeCatalogue(*faulted, options, &result, &point.error);
    point.reached = fault::failed() > 0;
    if (point.reached) point.detail += std::string("at ") + fault::firstFailedCall() + "; ";
    fault::disarm();
    point.to = result.to;
    point.unrecorded = point.code != db::kOk && point.error.empty();
    if (point.code != db::kOk) point.detail += "[" + std::to_string(point.code) + "] " + point.error + "; ";

    // The thread's connection still serves: not left inside a transaction,
    // and a new one can begin.
    {
      db::engine::Connection* connection = nullptr;
      bool clean = faulted->autocommitConnection(connection, &error) == db::kOk && !connection->inTransaction();
      DBtran next(faulted);
      int code = next.begin();
      if (code == db::kOk) next.rollback();
      point.stuck = !clean || code != db::kOk;
      if (point.stuck) point.detail += "connection unusable afterwards: " + next.lastError() + "; ";
    }

    // What a process that crashed now would leave: the file and its log.
    std::filesystem::copy_file(path, crashed);
    if (std::filesystem::exists(path + "-wal")) std::filesystem::copy_file(path + "-wal", crashed + "-wal");

    Snapshot views[3];
    views[0] = snapshot(path);  // live: the faulted connections still open
    faulted.reset();
    views[1] = snapshot(path);
    views[2] = snapshot(crashed);

    if (failAt == 0) {
      EXPECT_EQ(point.code, db::kOk) << point.error;
      EXPECT_EQ(result.from, 0);
      EXPECT_EQ(result.to, 1);
      m_states[1] = views[1].content;
    }
    for (const Snapshot& view : views) {
      if (view.integrity != "Tok|\n") {
        point.corrupt = true;
        point.detail += "integrity: " + view.integrity + "; ";
      }
      const int at = view.content == m_states[0] ? 0 : view.content == m_states[1] ? 1 : -1;
      point.halfApplied |= at < 0;
      // Success is revision 1; a failure names the revision it left, except
      // a commit in doubt, which may have landed either way.
      const int told = point.code == db::kOk ? 1 : point.to;
      point.misreported |= at >= 0 && point.code != db::kOutcomeInDoubt && at != told;
      if (&view == views) point.landed = at;
      else if (at != point.landed) point.landed = -1;
    }
    if (point.halfApplied || point.misreported || point.landed < 0) point.detail += "views: " + describe(views) + "; ";
    return point;
  }

 private:
  // Which state each view is, and where the first unknown one departs.
  std::string describe(const Snapshot (&views)[3]) const {
    std::string out;
    for (const Snapshot& view : views) {
      if (view.content == m_states[0] || view.content == m_states[1]) {
        out += view.content == m_states[0] ? "r0 " : "r1 ";
        continue;
      }
      size_t at = 0;
      const std::string& near = m_states[1].empty() ? m_states[0] : m_states[1];
      while (at < view.content.size() && at < near.size() && view.content[at] == near[at]) ++at;
      at = view.content.rfind('\n', at) + 1;
      out += "other (from: " + view.content.substr(at, 300) + ") ";
    }
    return out;
  }

  TempDir m_dir;
  long m_rows = 0;
  std::string m_states[2];  // revision 0 as seeded; revision 1 as the reference upgrade leaves it
};

// The points to sweep for a fault-free run of `calls` calls: the edges and
// the stride between them.
struct Points {
  unsigned long edge, stride;
  unsigned long next(unsigned long failAt, unsigned long calls) const {
    if (failAt < edge || failAt + edge >= calls) return failAt + 1;
    return std::min(failAt + stride, calls - edge);
  }
};

Points pointsFor(unsigned long calls) {
  if (const char* text = getenv("DIVU_FAULT_SWEEP_STRIDE")) {
    unsigned long stride = strtoul(text, nullptr, 10);
    return {0, stride ? stride : 1};
  }
  return {kEdge, std::max(1ul, calls / kBetween)};
}

struct Param {
  Kind kind;
  Mode mode;
};

std::string paramName(const testing::TestParamInfo<Param>& info) {
  return std::string(fault::kindName(info.param.kind)) + "_" + fault::modeName(info.param.mode);
}

class UpgradeFaultSweep : public testing::TestWithParam<Param> {
 protected:
  void SetUp() override {
    db::fault::clear();
    db::trace::set(nullptr);
  }
};

TEST_P(UpgradeFaultSweep, EveryPointLeavesRevisionZeroOrOneWhole) {
  const Param param = GetParam();
  const auto started = std::chrono::steady_clock::now();
  UpgradeSweep sweep;
  ASSERT_FALSE(HasFailure());
  ASSERT_GE(sweep.rows(), 10000);
  Point reference = sweep.run(param.kind, Mode::Once, 0);
  ASSERT_FALSE(HasFailure()) << reference.detail;
  ASSERT_FALSE(reference.corrupt || reference.stuck) << reference.detail;
  const unsigned long calls = fault::counted();

  // The two states differ where the upgrade works: every table gains its
  // limits and the step is recorded; the rows themselves are the same.
  for (const db::TableDef* def : catalogueTables()) {
    const std::string table = std::string("Ttable|T") + def->name + "|T" + def->name + "|TCREATE TABLE ";
    for (int revision : {0, 1}) {
      const std::string& state = sweep.state(revision);
      const size_t at = state.find(table);
      ASSERT_NE(at, std::string::npos) << def->name;
      const bool limited = state.substr(at, state.find('\n', at) - at).find(" CHECK (") != std::string::npos;
      EXPECT_EQ(limited, revision == 1) << def->name << " at revision " << revision;
    }
  }
  EXPECT_EQ(sweep.state(0).find(db::engine::kRevisionTable), std::string::npos);
  EXPECT_NE(sweep.state(1).find("[ZrSchemaRevision]\nI1|Tvalue limits|"), std::string::npos);
  // Every row, and every counter, as it was.
  auto rowsOf = [](std::string state) {
    state.erase(0, state.find("\n[") + 1);  // the schema
    if (size_t at = state.find("[ZrSchemaRevision]\n"); at != std::string::npos)
      state.erase(at, state.find("\n[", at) + 1 - at);
    return state;
  };
  EXPECT_TRUE(rowsOf(sweep.state(0)) == rowsOf(sweep.state(1))) << "the upgrade changed rows";

  const Points points = pointsFor(calls);
  Figures figures;
  int reported = 0;
  for (unsigned long failAt = 1;; failAt = points.next(failAt, calls)) {
    Point point = sweep.run(param.kind, param.mode, failAt);
    if (!point.reached) {
      EXPECT_EQ(point.code, db::kOk) << "a run the fault never reached must succeed: " << point.detail;
      break;
    }
    ++figures.points;
    figures.upgraded += point.code == db::kOk;
    const bool inDoubt = point.code == db::kOutcomeInDoubt;
    if (point.code != db::kOk && point.landed == 0) ++(inDoubt ? figures.inDoubtAt0 : figures.failedAt0);
    if (point.code != db::kOk && point.landed == 1) ++(inDoubt ? figures.inDoubtAt1 : figures.failedAt1);
    figures.inDoubtSplit += inDoubt && point.landed < 0 && !point.halfApplied;
    figures.halfApplied += point.halfApplied;
    figures.misreported += point.misreported;
    figures.unrecorded += point.unrecorded;
    figures.corrupt += point.corrupt;
    figures.stuck += point.stuck;
    const bool bad = point.halfApplied || point.misreported || point.unrecorded || point.corrupt || point.stuck;
    if (bad && reported++ < 5) ADD_FAILURE() << "failing at call " << failAt << ": " << point.detail;
    if (getenv("DIVU_FAULT_SWEEP_DEBUG")) fprintf(stderr, "point %lu: %s\n", failAt, point.detail.c_str());
    if (failAt > 20 * calls + 1000) {
      ADD_FAILURE() << "the sweep does not end: " << failAt << " points for " << calls << " calls";
      break;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  char line[640];
  snprintf(line, sizeof line,
           "fault-sweep: upgrade (%ld rows) %s %s: %lu points%s, %lu half-applied (%lu upgraded; failed at "
           "revision 0: %lu, at revision 1 after the step committed: %lu; in doubt at 0: %lu, at 1: %lu, at 0 or 1 "
           "by view: %lu); "
           "%lu corrupt, %lu stuck connections, %lu misreported, %lu failures without text; %lu calls "
           "fault-free, %.1f s",
           sweep.rows(), fault::kindName(param.kind), fault::modeName(param.mode), figures.points,
           points.stride == 1 ? ""
           : points.edge ? (" (the first and last " + std::to_string(points.edge) + ", 1 in " +
                            std::to_string(points.stride) + " between)").c_str()
                         : (" (1 in " + std::to_string(points.stride) + ")").c_str(),
           figures.halfApplied,
           figures.upgraded, figures.failedAt0, figures.failedAt1, figures.inDoubtAt0, figures.inDoubtAt1, figures.inDoubtSplit,
           figures.corrupt, figures.stuck, figures.misreported, figures.unrecorded, calls, seconds);
  std::cout << line << std::endl;
#ifdef FAULT_SWEEP_FIGURES
  std::filesystem::create_directories(FAULT_SWEEP_FIGURES);
  std::ofstream(std::string(FAULT_SWEEP_FIGURES) + "/upgrade_" + paramName({param, 0}) + ".txt") << line << "\n";
#endif

  EXPECT_GT(figures.points, 0u) << "no fault was reached";
  EXPECT_EQ(figures.halfApplied, 0u);
  EXPECT_EQ(figures.misreported, 0u);
  EXPECT_EQ(figures.unrecorded, 0u);
  EXPECT_EQ(figures.corrupt, 0u);
  EXPECT_EQ(figures.stuck, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sqlite, UpgradeFaultSweep,
                         testing::Values(Param{Kind::Io, Mode::Once}, Param{Kind::Io, Mode::Persistent},
                                         Param{Kind::Full, Mode::Once}, Param{Kind::Full, Mode::Persistent},
                                         Param{Kind::Memory, Mode::Once}, Param{Kind::Memory, Mode::Persistent}),
                         paramName);

}  // namespace
}  // namespace divu::test
