// A failure of SQLite itself at every point of the catalogue's operations:
// each I/O call of the database's VFS, each write as a full disk, each
// allocation, once or from that point on. After each step the caller's view
// must be honest and the file sound. See SqliteFaults.h for the mechanism.
//
// One summary line per operation, kind and mode goes to stdout and to
// FAULT_SWEEP_FIGURES (a folder in the build tree), one file each.
// DIVU_FAULT_SWEEP_STRIDE=K sweeps every Kth point only (1: every point).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>

#include "../CascadeSupport.h"
#include "SqliteFaults.h"

namespace divu::test {
namespace {

using fault::Kind;
using fault::Mode;

// What the operation reported: its result, its facade's error record, and
// what it read (for a list).
struct Outcome {
  bool result = false;
  int errorCode = 0;
  std::string errorText;
  std::string read;
};

template <class Facade>
void takeError(const Facade& facade, Outcome& out) {
  out.errorCode = facade.m_dbError.m_errorCode;
  out.errorText = facade.m_dbError.m_errorText;
}

struct Operation {
  const char* name;
  std::function<void()> seed;  // on the default database, in autocommit
  std::function<Outcome(DBtran&)> run;
  // The volume facade leaves a failure of its inner history facade recorded
  // there, not in its own record (VolumeRemovalTest pins this).
  bool errorMayBeInner = false;
  const char* innerTable = "";
  bool writes = true;  // false: a full disk cannot reach it
};

std::vector<Operation> operations() {
  return {
      {"volume-removal",
       [] {
         seedJob(101, 2);
         seedJob(102, 1);
         seedJob(103, 1);
         seedHistory(101, 500);
         seedHistory(102, 500);
         seedHistory(102, 500);
         seedHistory(103, 500);
         seedHistory(103, 600);  // stays live: job 103 is not aged
         seedVolume(3, 500);
       },
       [](DBtran& tran) {
         Outcome out;
         CReplicationVolumeDB volumes;
         out.result = volumes.remove(1, &tran);
         takeError(volumes, out);
         return out;
       },
       true, "YLJobVolumeHistory"},
      {"history-remove",
       [] {
         seedHistory(1, 500, kSeedCell, 10);
         seedHistory(2, 500);
         seedHistory(3, 500);
         seedHistory(4, 600);
       },
       [](DBtran& tran) {
         Outcome out;
         CYLJobVolumeHistoryDB history;
         out.result = history.remove("JobId >= 2", &tran);
         takeError(history, out);
         return out;
       }},
      {"history-prune",
       [] {
         seedHistory(1, 500, kSeedCell, 10);
         seedHistory(2, 500, kSeedCell, 20);
         seedHistory(3, 500);
         seedHistory(4, 500, kSeedCell, 30);
       },
       [](DBtran& tran) {
         Outcome out;
         CYLJobVolumeHistoryDB history;
         out.result = history.prune(15, &tran) && history.prune(25, &tran);
         takeError(history, out);
         return out;
       }},
      {"consistency-point-removal",
       [] {
         seedJob(11, 0);
         seedJob(12, 0);
         seedPoint(11);
         seedPoint(11);
         seedPoint(12);
         seedPoint(13);  // no statistics row
       },
       [](DBtran& tran) {
         Outcome out;
         FLRConsistencyPointDB points;
         out.result = points.remove("id > 0", &tran);
         takeError(points, out);
         return out;
       }},
      {"facade-insert",
       [] {
         YLApplicationDirs_t row = makeDir(1, "/seeded");
         EXPECT_TRUE(ApplicationDirsDB().insert(row, nullptr));
       },
       [](DBtran& tran) {
         Outcome out;
         ApplicationDirsDB dirs;
         YLApplicationDirs_t row = makeDir(2, "/inserted");
         strcpy_s(row.objName, sizeof row.objName, std::string(600, 'o').c_str());  // spills to a new page
         out.result = dirs.insert(row, &tran);
         takeError(dirs, out);
         if (out.result) out.read = std::to_string(row.id);
         return out;
       }},
      {"facade-update",
       [] {
         for (int i = 1; i <= 3; ++i) {
           YLApplicationDirs_t row = makeDir(i, ("/seeded/" + std::to_string(i)).c_str());
           EXPECT_TRUE(ApplicationDirsDB().insert(row, nullptr));
         }
       },
       [](DBtran& tran) {
         Outcome out;
         ApplicationDirsDB dirs;
         out.result = dirs.Update(2, "Flags = 7", &tran);
         takeError(dirs, out);
         return out;
       }},
      {"facade-list",
       [] {
         for (int i = 1; i <= 5; ++i) {
           YLApplicationDirs_t row = makeDir(i, ("/seeded/" + std::to_string(i)).c_str());
           EXPECT_TRUE(ApplicationDirsDB().insert(row, nullptr));
         }
       },
       [](DBtran& tran) {
         Outcome out;
         ApplicationDirsDB dirs;
         YLApplicationDirs_t* rows = nullptr;
         unsigned int count = 0;
         out.result = dirs.getList(rows, count, "clientId > 1", "id", &tran);
         takeError(dirs, out);
         for (unsigned int i = 0; out.result && i < count; ++i)
           out.read += std::to_string(rows[i].id) + ":" + rows[i].path + ";";
         dirs.deleteList(rows);
         return out;
       },
       false, "", false},
  };
}

// Times the operations stamp (seconds since the epoch, within the step's own
// window) read as one token, so that runs in different seconds compare.
std::string withoutStamps(const std::string& dump, long long from, long long to) {
  std::string out;
  size_t i = 0;
  while (i < dump.size()) {
    size_t end = dump.find_first_of("|\n", i);
    if (end == std::string::npos) end = dump.size();
    std::string field = dump.substr(i, end - i);
    char* tail = nullptr;
    long long value = field.empty() ? 0 : strtoll(field.c_str(), &tail, 10);
    out += !field.empty() && *tail == '\0' && value >= from && value <= to ? std::string("<now>") : field;
    if (end < dump.size()) out += dump[end];
    i = end + 1;
  }
  return out;
}

// One PRAGMA integrity_check on the default database's autocommit connection.
std::string integrity() {
  db::engine::Connection* connection = nullptr;
  std::string error;
  if (db::Database::getDefault()->autocommitConnection(connection, &error) != db::kOk) return error;
  db::engine::Statement* statement = nullptr;
  if (connection->prepare("PRAGMA integrity_check", statement) != db::kOk) return connection->lastErrorText();
  std::string out;
  while (statement->step() == db::kOk) out += std::string(statement->columnText(0)) + "\n";
  connection->release(statement);
  return out == "ok\n" ? "ok" : out;
}

// The transaction of the step under way, for the statement check.
DBtran* g_stepTran = nullptr;
int g_continued = 0;
std::string g_lastStatement;

struct Step {
  bool reached = false;  // the fault was hit
  int commitCode = -1;   // -1: no commit tried
  bool halfApplied = false;
  bool unrecorded = false;  // false without an error record
  bool unrecordedInner = false;  // the same, the failure recorded in an inner facade
  bool misreported = false;  // a failure reported for a change that stayed, or a wrong read
  bool corrupt = false;
  bool stuck = false;  // the thread's connection did not work afterwards
  int continued = 0;  // statements run on a transaction SQLite had ended
  std::string detail;
};

struct Figures {
  unsigned long points = 0, halfApplied = 0, unrecorded = 0, unrecordedInner = 0, misreported = 0, corrupt = 0, continued = 0, stuck = 0;
  unsigned long committed = 0, commitFailed = 0, inDoubt = 0, failed = 0;
};

class Sweep {
 public:
  explicit Sweep(const Operation& op) : m_op(op) {
    // The seeded database, made once and copied for every step.
    std::string error;
    {
      auto seeded = db::Database::open("sqlite:" + m_dir.file("template.sqlite"), &error);
      EXPECT_TRUE(seeded) << error;
      EXPECT_EQ(createCatalogue(*seeded, &error), db::kOk) << error;
      db::Database::setDefault(seeded);
      m_op.seed();
      m_before = dumpDatabase();
      db::Database::setDefault(nullptr);
    }  // closing the last connection folds the log into the file
    EXPECT_FALSE(std::filesystem::exists(m_dir.file("template.sqlite-wal")));
  }

  // Runs the operation with a plan of `kind`, `mode` failing at `failAt` (0:
  // none) and checks what it left.
  Step run(Kind kind, Mode mode, unsigned long failAt) {
    Step step;
    const std::string path = m_dir.file("step.sqlite");
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    std::filesystem::copy_file(m_dir.file("template.sqlite"), path);

    std::string error;
    std::shared_ptr<db::Database> faulted = db::Database::open("sqlite:file:" + path + "?vfs=" + fault::kVfsName, &error);
    if (!faulted) {
      ADD_FAILURE() << error;
      return step;
    }
    db::Database::setDefault(faulted);
    EXPECT_EQ(faulted->exec("SELECT count(*) FROM sqlite_master", &error), db::kOk) << error;  // schema loaded

    long long from = time(nullptr);
    const int continuedBefore = g_continued;
    Outcome outcome;
    int beginCode, commitCode = -1;
    {
      DBtran tran;
      g_stepTran = &tran;
      g_lastStatement.clear();
      db::trace::set([](const std::string& sql) {
        g_lastStatement = sql;
        // A statement about to run in a transaction SQLite has already ended
        // would run in autocommit, outside the caller's transaction.
        if (g_stepTran && g_stepTran->isActive() && !g_stepTran->connection()->inTransaction()) ++g_continued;
      });
      fault::arm(kind, mode, failAt);
      beginCode = tran.begin();
      if (beginCode == db::kOk) {
        outcome = m_op.run(tran);
        if (tran.isActive() && !tran.isAborted() && !tran.connection()->inTransaction()) {
          ++g_continued;  // ended under the engine without it noticing
          step.detail += "transaction ended unnoticed; ";
        }
        if (outcome.result) {
          commitCode = tran.commit();
          if (commitCode != db::kOk) {
            step.detail += "commit: " + tran.lastError() + (tran.isActive() ? " (still open); " : "; ");
            if (tran.isActive() && tran.rollback() != db::kOk) step.detail += "rollback: " + tran.lastError() + "; ";
          }
        } else if (tran.rollback() != db::kOk) {
          step.detail += "rollback: " + tran.lastError() + "; ";
        }
      }
      step.reached = fault::failed() > 0;
      if (step.reached) step.detail += std::string("at ") + fault::firstFailedCall() + "; ";
      fault::disarm();
      db::trace::set(nullptr);
      g_stepTran = nullptr;
    }
    long long to = time(nullptr);
    step.continued = g_continued - continuedBefore;
    step.commitCode = commitCode;

    // The thread's connection to the faulted database is usable: the one
    // that autocommit work gets is not inside a transaction (work on it
    // would silently join that), and a new transaction can begin.
    {
      db::engine::Connection* connection = nullptr;
      bool clean = faulted->autocommitConnection(connection, &error) == db::kOk && !connection->inTransaction();
      DBtran next(faulted);
      int code = next.begin();
      if (code == db::kOk) next.rollback();
      step.stuck = !clean || code != db::kOk;
      if (step.stuck) step.detail += "connection unusable afterwards: " + next.lastError() + "; ";
    }

    // What a process that crashed now would leave: the file and its log as
    // they are, without the shared index (the next opener recovers from the log).
    const std::string crashed = m_dir.file("crashed.sqlite");
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(crashed + suffix);
    std::filesystem::copy_file(path, crashed);
    if (std::filesystem::exists(path + "-wal")) std::filesystem::copy_file(path + "-wal", crashed + "-wal");

    // The file as a new reader sees it while the faulted connections live
    // on, again after every connection closed, and after the crash.
    std::string seen[3];
    for (int pass = 0; pass < 3; ++pass) {
      if (pass == 1) faulted.reset();
      std::shared_ptr<db::Database> fresh = db::Database::open("sqlite:" + (pass == 2 ? crashed : path), &error);
      if (!fresh) {
        step.corrupt = true;
        step.detail += "cannot reopen: " + error + "; ";
        db::Database::setDefault(nullptr);
        return step;
      }
      db::Database::setDefault(fresh);
      seen[pass] = withoutStamps(dumpDatabase(), from, to);
      std::string check = integrity();
      if (check != "ok") {
        step.corrupt = true;
        step.detail += "integrity: " + check + "; ";
      }
      db::Database::setDefault(nullptr);
    }

    if (failAt == 0) {  // the reference run
      EXPECT_TRUE(outcome.result && commitCode == db::kOk) << m_op.name << ": " << outcome.errorText;
      m_after = seen[1];
      m_read = outcome.read;
      return step;
    }
    for (const std::string& after : seen) {
      bool asBefore = after == m_before, asAfter = after == m_after;
      if (beginCode != db::kOk || !outcome.result) {
        step.halfApplied |= !asBefore;
      } else if (commitCode == db::kOk) {
        step.halfApplied |= !asAfter;
      } else if (commitCode == db::kOutcomeInDoubt) {
        step.halfApplied |= !asBefore && !asAfter;
      } else {  // a definite failure of the commit: nothing may stay
        step.misreported |= asAfter && !asBefore;
        step.halfApplied |= !asBefore && !asAfter;
      }
    }
    if (beginCode == db::kOk && !outcome.result && (outcome.errorCode == 0 || outcome.errorText.empty())) {
      // Allowed only where the operation says so, and only for a failure in
      // the inner facade's table.
      bool inner = m_op.errorMayBeInner && g_lastStatement.find(m_op.innerTable) != std::string::npos;
      (inner ? step.unrecordedInner : step.unrecorded) = true;
      if (!inner) step.detail += "false without error record after: " + g_lastStatement + "; ";
    }
    if (outcome.result && commitCode == db::kOk) step.misreported |= outcome.read != m_read;
    if (step.halfApplied || step.misreported)
      step.detail += "content (live, reopened, crashed):\n" + seen[0] + "\n" + seen[1] + "\n" + seen[2] + "\nexpected one of:\n" + m_before + "\n" + m_after + "\n";
    if (!outcome.result) step.detail += "error: " + outcome.errorText + "; ";
    return step;
  }

  const std::string& before() const { return m_before; }

 private:
  TempDir m_dir;
  const Operation& m_op;
  std::string m_before, m_after, m_read;
};

unsigned long strideFromEnvironment() {
  const char* text = getenv("DIVU_FAULT_SWEEP_STRIDE");
  unsigned long stride = text ? strtoul(text, nullptr, 10) : 1;
  return stride ? stride : 1;
}

struct Param {
  int operation;
  Kind kind;
  Mode mode;
};

std::string paramName(const testing::TestParamInfo<Param>& info) {
  std::string name = operations()[info.param.operation].name;
  name += std::string("_") + fault::kindName(info.param.kind) + "_" + fault::modeName(info.param.mode);
  for (char& c : name)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

std::vector<Param> everyParam() {
  std::vector<Param> params;
  for (int op = 0; op < static_cast<int>(operations().size()); ++op)
    for (Kind kind : {Kind::Io, Kind::Full, Kind::Memory})
      for (Mode mode : {Mode::Once, Mode::Persistent}) params.push_back({op, kind, mode});
  return params;
}

class FaultSweep : public testing::TestWithParam<Param> {
 protected:
  void SetUp() override {
    db::fault::clear();
    db::trace::set(nullptr);
  }
};

TEST_P(FaultSweep, EveryPointLeavesAnHonestResultAndASoundFile) {
  const Param param = GetParam();
  const Operation op = operations()[param.operation];
  auto started = std::chrono::steady_clock::now();
  Sweep sweep(op);
  ASSERT_FALSE(HasFailure());
  Step reference = sweep.run(param.kind, Mode::Once, 0);
  ASSERT_FALSE(reference.corrupt || reference.stuck) << reference.detail;
  const unsigned long calls = fault::counted();

  const unsigned long stride = strideFromEnvironment();
  Figures figures;
  int reported = 0;
  unsigned long failAt = 1;
  for (;; failAt += stride) {
    auto stepStart = std::chrono::steady_clock::now();
    Step step = sweep.run(param.kind, param.mode, failAt);
    if (getenv("DIVU_FAULT_SWEEP_DEBUG"))
      fprintf(stderr, "step %lu: %.3f s %s\n", failAt,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - stepStart).count(), step.detail.c_str());
    if (!step.reached) break;
    ++figures.points;
    figures.halfApplied += step.halfApplied;
    figures.unrecorded += step.unrecorded;
    figures.unrecordedInner += step.unrecordedInner;
    figures.misreported += step.misreported;
    figures.corrupt += step.corrupt;
    figures.stuck += step.stuck;
    figures.continued += step.continued;
    figures.committed += step.commitCode == db::kOk;
    figures.commitFailed += step.commitCode > 0;
    figures.inDoubt += step.commitCode == db::kOutcomeInDoubt;
    figures.failed += step.commitCode < 0;
    bool bad = step.halfApplied || step.misreported || step.corrupt || step.stuck || step.continued || step.unrecorded;
    if (bad && reported++ < 5) ADD_FAILURE() << op.name << " failing at call " << failAt << ": " << step.detail;
    if (failAt > 20 * calls + 1000) {
      ADD_FAILURE() << "the sweep does not end: " << failAt << " points for " << calls << " calls";
      break;
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  // Outcomes first (what callers saw), then the faults (all must be 0).
  std::string text = std::string("fault-sweep: ") + op.name + " " + fault::kindName(param.kind) + " " +
                     fault::modeName(param.mode) + ": " + std::to_string(figures.points) + " points" +
                     (stride > 1 ? " (stride " + std::to_string(stride) + ")" : "") + ", " +
                     std::to_string(figures.halfApplied) + " half-applied (" + std::to_string(figures.committed) +
                     " committed, " + std::to_string(figures.commitFailed) + " failed commits, " +
                     std::to_string(figures.inDoubt) + " in doubt, " + std::to_string(figures.failed) +
                     " failed before commit); " + std::to_string(figures.continued) + " continued after end, " +
                     std::to_string(figures.corrupt) + " corrupt, " + std::to_string(figures.stuck) +
                     " stuck connections, " + std::to_string(figures.misreported) + " misreported, " +
                     std::to_string(figures.unrecorded) + " false without error record";
  if (op.errorMayBeInner) text += " (" + std::to_string(figures.unrecordedInner) + " more in the inner facade)";
  char tail[96];
  snprintf(tail, sizeof tail, "; %lu calls fault-free, %.1f s", calls, seconds);
  const std::string line = text + tail;
  std::cout << line << std::endl;
#ifdef FAULT_SWEEP_FIGURES
  std::filesystem::create_directories(FAULT_SWEEP_FIGURES);
  std::ofstream(std::string(FAULT_SWEEP_FIGURES) + "/" + paramName({param, 0}) + ".txt") << line << "\n";
#endif
  RecordProperty("points", static_cast<int>(figures.points));

  if (op.writes || param.kind != Kind::Full) {
    EXPECT_GT(figures.points, 0u) << "no fault was reached";
  }
  EXPECT_EQ(figures.halfApplied, 0u);
  EXPECT_EQ(figures.continued, 0u);
  EXPECT_EQ(figures.corrupt, 0u);
  EXPECT_EQ(figures.stuck, 0u);
  EXPECT_EQ(figures.misreported, 0u);
  EXPECT_EQ(figures.unrecorded, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sqlite, FaultSweep, testing::ValuesIn(everyParam()), paramName);

}  // namespace
}  // namespace divu::test
