// Schema revisions: the ordered upgrade steps, their record in the database,
// and the upgrade that applies them.
//
// A step, once released, never changes: its checksum (of the SQL it runs) is
// recorded with it, and a database whose record differs is refused. A change
// of the schema is a new step at the end of kSteps.
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <thread>

#include "Db/DBtran.h"
#include "Db/Database.h"
#include "Db/Engine/Lease.h"
#include "Db/Engine/SchemaDdl.h"

#ifndef DIVU_VERSION
#define DIVU_VERSION "unknown"
#endif

namespace db {
namespace engine {
namespace {

// The SQL a step runs on one table, derived from the table's definition.
struct TableWork {
  const TableDef* def;
  std::vector<ColumnLimit> limits;  // the columns with a limit to check
  std::string countSql;
  std::string scanSql;  // the rows that break a limit: key columns, then per limit (holds, value)
  // SQLite: the table is made again (it cannot add a constraint in place)
  // as `scratch`, then renamed.
  std::string scratch;
  std::string createSql, boundSql, copySql, dropSql, renameSql;
  // PostgreSQL: the constraints are added in place.
  std::string alterSql;
};

struct Step;
using Plan = std::vector<TableWork>;

// One run of a step inside the upgrade's transaction.
struct StepRun {
  Connection& connection;
  const Step& step;
  const Plan& plan;
  const UpgradeOptions& options;
  std::string* error;
  void report(UpgradeEvent::Kind kind, const TableWork* table = nullptr, long long rows = 0, long long total = 0) const;
};

struct Step {
  int number;
  const char* name;
  Plan (*plan)(Tables tables, const Connection& connection);
  int (*apply)(StepRun& run);
};

void StepRun::report(UpgradeEvent::Kind kind, const TableWork* table, long long rows, long long total) const {
  if (!options.progress) return;
  UpgradeEvent event{kind};
  event.step = step.number;
  event.stepName = step.name;
  event.table = table ? table->def->name : "";
  event.rows = rows;
  event.totalRows = total;
  options.progress(event);
}

// ---- step 1: value limits ------------------------------------------------

constexpr long long kCopyChunk = 5000;

Plan limitsPlan(Tables tables, const Connection& connection) {
  const SqlDialect dialect = connection.dialect();
  Plan plan;
  for (const TableDef* def : tables) {
    TableWork work{def, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}};
    std::string all, select, adds;
    for (const ColumnDef& column : def->columns) {
      ColumnLimit limit = columnLimit(*def, column, dialect);
      if (limit.expression.empty()) continue;
      all += (all.empty() ? "(" : " AND (") + limit.expression + ")";
      select += ", CASE WHEN " + limit.expression + " THEN 1 ELSE 0 END, " + column.name;
      adds += std::string(adds.empty() ? "" : ",") + " ADD CONSTRAINT \"" + limit.name + "\" CHECK (" +
              limit.expression + ")";
      work.limits.push_back(std::move(limit));
    }
    if (work.limits.empty()) continue;
    const std::string table = def->name;
    work.countSql = "SELECT count(*) FROM " + table;
    work.scanSql = "SELECT " + keyList(*def) + select + " FROM " + table + " WHERE NOT (" + all + ")";
    if (dialect == SqlDialect::Sqlite) {
      // Rows move in chunks of rowid, so that a long copy can show it moves;
      // a table without a serial key keeps its rowids too.
      const std::string scratch = work.scratch = "ZrUpgrade_" + table;
      const std::string moved = (*def->serialColumn ? "" : "rowid, ") + makeTableTexts(*def).columnList;
      work.createSql = tableDdl(*def, connection, scratch.c_str());
      work.boundSql = "SELECT rowid FROM " + table + " WHERE rowid >= ? ORDER BY rowid LIMIT 1 OFFSET " +
                      std::to_string(kCopyChunk - 1);
      work.copySql = "INSERT INTO " + scratch + " (" + moved + ") SELECT " + moved + " FROM " + table +
                     " WHERE rowid BETWEEN ? AND ? ORDER BY rowid";
      work.dropSql = "DROP TABLE " + table;
      work.renameSql = "ALTER TABLE " + scratch + " RENAME TO " + table;
    } else {
      work.alterSql = "ALTER TABLE " + table + adds;
    }
    plan.push_back(std::move(work));
  }
  return plan;
}

// A value as a person reads it in a report: texts quoted and cut.
std::string shown(std::string_view value, bool text) {
  constexpr size_t kShown = 40;
  std::string out = text ? "'" : "";
  for (size_t i = 0; i < value.size() && i < kShown; ++i) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    if (c < 0x20 || c == 0x7f) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (value.size() > kShown) out += "...";
  if (text) out += "'";
  if (text) out += " (" + std::to_string(value.size()) + " bytes)";
  return out;
}

// Lists the rows that break a limit; kConstraint with the list when any.
int findBreaches(StepRun& run) {
  Connection& connection = run.connection;
  constexpr size_t kListed = 100;
  std::vector<std::string> lines;
  size_t breaches = 0;
  for (const TableWork& work : run.plan) {
    Statement* statement = nullptr;
    int code = connection.prepare(work.scanSql, statement);
    if (code != kOk) {
      if (run.error) *run.error = connection.lastErrorText();
      return code;
    }
    const size_t keys = work.def->primaryKey.size();
    while ((code = statement->step()) == kOk) {
      std::string key;
      for (size_t i = 0; i < keys; ++i)
        key += std::string(i ? ", " : "") + work.def->primaryKey[i] + " = " + std::string(statement->columnText(int(i)));
      for (size_t i = 0; i < work.limits.size(); ++i) {
        const int at = int(keys + 2 * i);
        if (statement->columnInt64(at) != 0) continue;
        ++breaches;
        if (lines.size() == kListed) continue;
        const ColumnDef& column = *work.limits[i].column;
        const bool text = column.type == ColumnType::Text || column.type == ColumnType::OwnedText;
        lines.push_back(std::string(work.def->name) + " (" + key + ") " + column.name + " = " +
                        shown(statement->columnText(at + 1), text) + ": not " + work.limits[i].rule);
      }
    }
    connection.release(statement);
    if (code != kNoRow) {
      if (run.error) *run.error = connection.lastErrorText();
      return code;
    }
  }
  if (breaches == 0) return kOk;
  if (run.error) {
    *run.error = std::to_string(breaches) + (breaches == 1 ? " value breaks" : " values break") + " the limits of step " +
                 std::to_string(run.step.number) + " (" + run.step.name +
                 "); nothing was changed. Mend them (repdb update) and upgrade again:";
    for (const std::string& line : lines) *run.error += "\n  " + line;
    if (breaches > lines.size()) *run.error += "\n  ... and " + std::to_string(breaches - lines.size()) + " more";
  }
  return kConstraint;
}

// Runs `sql` with up to two integer parameters; a row's first column goes to
// *value (untouched when there is no row).
int runSql(Connection& connection, const std::string& sql, std::initializer_list<long long> parameters,
           long long* value = nullptr, bool* found = nullptr) {
  Statement* statement = nullptr;
  if (int code = connection.prepare(sql, statement); code != kOk) return code;
  int index = 1;
  for (long long parameter : parameters) statement->bindInt64(index++, parameter);
  int code = statement->step();
  if (code == kOk && value) *value = statement->columnInt64(0);
  if (found) *found = code == kOk;
  while (code == kOk) code = statement->step();
  connection.release(statement);
  return code == kNoRow ? kOk : code;
}

// SQLite's procedure for a change ALTER TABLE cannot make: a new table, the
// rows copied, the old one dropped, the new one renamed, and the old table's
// indexes and triggers (ours and anyone's) made again. The AUTOINCREMENT
// counter is carried over, so that a freed id is never handed out again.
int rebuildSqlite(StepRun& run, const TableWork& work, long long total) {
  Connection& connection = run.connection;
  const std::string table = work.def->name;
  if (int code = connection.exec(work.createSql.c_str()); code != kOk) return code;
  long long done = 0;
  // Chunks [low, high] from the lowest rowid there is to the highest: any
  // rowid another client gave a row is inside one.
  for (long long low = LLONG_MIN;;) {
    long long high = LLONG_MAX;
    bool more = false;
    if (int code = runSql(connection, work.boundSql, {low}, &high, &more); code != kOk) return code;
    if (!more) high = LLONG_MAX;
    if (int code = runSql(connection, work.copySql, {low, high}); code != kOk) return code;
    done = more ? done + kCopyChunk : total;
    run.report(UpgradeEvent::Kind::Table, &work, done, total);
    if (!more || high == LLONG_MAX) break;
    low = high + 1;
  }
  // The old table is dropped next: it goes only when every row has arrived.
  long long copied = 0;
  if (int code = runSql(connection, "SELECT count(*) FROM " + work.scratch, {}, &copied); code != kOk) return code;
  if (copied != total) {
    if (run.error)
      *run.error = table + ": " + std::to_string(copied) + " of " + std::to_string(total) +
                   " rows were copied; nothing was changed";
    return kError;
  }

  std::vector<std::string> again;
  Statement* statement = nullptr;
  if (int code = connection.prepare("SELECT sql FROM sqlite_master WHERE tbl_name = ? COLLATE NOCASE AND type IN "
                                    "('index', 'trigger') AND sql IS NOT NULL ORDER BY type, name",
                                    statement);
      code != kOk)
    return code;
  statement->bindText(1, table.data(), table.size());
  int code;
  while ((code = statement->step()) == kOk) again.emplace_back(statement->columnText(0));
  connection.release(statement);
  if (code != kNoRow) return code;
  long long sequence = 0;
  bool counted = false;
  if (*work.def->serialColumn) {
    code = runSql(connection, "SELECT seq FROM sqlite_sequence WHERE name = '" + table + "'", {}, &sequence, &counted);
    if (code != kOk) return code;
  }

  if ((code = connection.exec(work.dropSql.c_str())) != kOk) return code;
  if ((code = connection.exec(work.renameSql.c_str())) != kOk) return code;
  for (const std::string& sql : again)
    if ((code = connection.exec(sql.c_str())) != kOk) return code;
  if (counted) {
    const std::string sql = "DELETE FROM sqlite_sequence WHERE name = '" + table +
                            "'; INSERT INTO sqlite_sequence (name, seq) VALUES ('" + table + "', " +
                            std::to_string(sequence) + ")";
    if ((code = connection.exec(sql.c_str())) != kOk) return code;
  }
  return kOk;
}

int applyLimits(StepRun& run) {
  Connection& connection = run.connection;
  auto failed = [&](int code) {
    if (run.error && run.error->empty()) *run.error = connection.lastErrorText();
    return code;
  };
  if (int code = findBreaches(run); code != kOk) return code;
  for (const TableWork& work : run.plan) {
    long long total = 0;
    if (int code = runSql(connection, work.countSql, {}, &total); code != kOk) return failed(code);
    run.report(UpgradeEvent::Kind::Table, &work, 0, total);
    int code = connection.dialect() == SqlDialect::Sqlite ? rebuildSqlite(run, work, total)
                                                          : connection.exec(work.alterSql.c_str());
    if (code != kOk) return failed(code);
    if (connection.dialect() != SqlDialect::Sqlite) run.report(UpgradeEvent::Kind::Table, &work, total, total);
  }
  return kOk;
}

// ---- the steps -----------------------------------------------------------

constexpr Step kSteps[] = {
    {1, "value limits", limitsPlan, applyLimits},
};
constexpr int kLatest = int(std::size(kSteps));

// The step's plan over the tables it knows: those that appeared before it.
Plan planOf(const Step& step, Tables tables, const Connection& connection) {
  std::vector<const TableDef*> known;
  for (const TableDef* def : tables)
    if (def->sinceRevision < step.number) known.push_back(def);
  return step.plan(known, connection);
}

// 64-bit FNV-1a of the step's SQL on this dialect, as 16 hex digits.
std::string checksum(const Step& step, Tables tables, const Connection& connection) {
  uint64_t hash = 14695981039346656037ull;
  auto add = [&hash](std::string_view text) {
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    hash = (hash ^ 0xff) * 1099511628211ull;  // a separator no text holds
  };
  add(step.name);
  for (const TableWork& work : planOf(step, tables, connection))
    for (const std::string* text : {&work.countSql, &work.scanSql, &work.createSql, &work.boundSql, &work.copySql,
                                    &work.dropSql, &work.renameSql, &work.alterSql})
      add(*text);
  char out[17];
  snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(hash));
  return out;
}

int createRevisionTable(Connection& connection) {
  std::string sql = std::string("CREATE TABLE IF NOT EXISTS ") + kRevisionTable +
                    " (step INTEGER PRIMARY KEY, name TEXT NOT NULL, checksum TEXT NOT NULL, "
                    "appliedAt BIGINT NOT NULL, libraryVersion TEXT NOT NULL)";
  return connection.exec(sql.c_str());
}

int recordStep(Connection& connection, const Step& step, Tables tables) {
  Statement* statement = nullptr;
  std::string sql = std::string("INSERT INTO ") + kRevisionTable +
                    " (step, name, checksum, appliedAt, libraryVersion) VALUES (?, ?, ?, ?, ?)";
  if (int code = connection.prepare(sql, statement); code != kOk) return code;
  const std::string sum = checksum(step, tables, connection);
  statement->bindInt64(1, step.number);
  statement->bindText(2, step.name, strlen(step.name));
  statement->bindText(3, sum.data(), sum.size());
  statement->bindInt64(4, static_cast<long long>(time(nullptr)));
  statement->bindText(5, DIVU_VERSION, strlen(DIVU_VERSION));
  int code = statement->step();
  connection.release(statement);
  return code == kNoRow ? kOk : code;
}

}  // namespace

int readRevision(Connection& connection, Tables tables, SchemaRevision& out, std::string* error) {
  out = SchemaRevision{0, kLatest, false};
  std::map<std::string, std::string> versions;
  if (int code = readVersions(connection, versions, error); code != kOk) return code;
  out.tablesExist = !versions.empty();
  if (out.tablesExist)
    for (const TableDef* def : tables) out.missingTables += !versions.count(def->name);
  bool exists = false;
  if (int code = tableExists(connection, kRevisionTable, exists, error); code != kOk || !exists) return code;
  Statement* statement = nullptr;
  std::string sql = std::string("SELECT step, name, checksum FROM ") + kRevisionTable + " ORDER BY step";
  int code = connection.prepare(sql, statement);
  if (code != kOk) {
    if (error) *error = connection.lastErrorText();
    return code == kError ? kSchemaVersion : code;
  }
  std::string problem;
  while (problem.empty() && (code = statement->step()) == kOk) {
    const long long number = statement->columnInt64(0);
    if (number != out.recorded + 1) {
      problem = "step " + std::to_string(out.recorded + 1) + " is missing from its record";
    } else if (number <= kLatest) {
      const Step& step = kSteps[number - 1];
      const std::string ours = checksum(step, tables, connection);
      if (statement->columnText(2) != ours)
        problem = "step " + std::to_string(number) + " (" + step.name + ") was recorded with checksum " +
                  std::string(statement->columnText(2)) + ", but this library's step has " + ours +
                  ": it ran other SQL than this library would";
    }
    out.recorded = static_cast<int>(number);
  }
  connection.release(statement);
  if (problem.empty() && code != kNoRow && code != kOk) {
    if (error) *error = connection.lastErrorText();
    return code;
  }
  if (!problem.empty()) {
    if (error) *error = std::string("the schema revision record ") + kRevisionTable + " does not match: " + problem;
    return kSchemaVersion;
  }
  return kOk;
}

int recordAllSteps(Connection& connection, Tables tables, std::string* error) {
  int code = createRevisionTable(connection);
  for (const Step& step : kSteps)
    if (code == kOk) code = recordStep(connection, step, tables);
  if (code != kOk && error) *error = connection.lastErrorText();
  return code;
}

}  // namespace engine

namespace {

using engine::Tables;

// One pass of the upgrade in `tran`: reads the revision and applies the next
// step, or (dry run) lists what would run. *next is the step applied, or 0;
// at the latest revision, *missing says whether a listed table is missing.
int upgradePass(DBtran& tran, Tables tables, const UpgradeOptions& options, bool& planned, UpgradeResult& result,
                int* next, bool* missing, std::string* error) {
  engine::Connection& connection = *tran.connection();
  *next = 0;
  *missing = false;
  if (!options.dryRun) {
    if (int code = connection.lockForUpgrade(); code != kOk) {
      bool exists = true;
      engine::tableExists(connection, engine::kVersionTable, exists, nullptr);
      if (!exists) {
        if (error) *error = "the database holds none of the catalogue's tables: there is nothing to upgrade";
        return kNoSchema;
      }
      if (error) *error = connection.lastErrorText();
      return code;
    }
  }
  std::map<std::string, std::string> versions;
  if (int code = engine::readVersions(connection, versions, error); code != kOk) return code;
  if (int code = engine::checkVersions(versions, tables, error); code != kOk) return code;
  SchemaRevision revision;
  if (int code = engine::readRevision(connection, tables, revision, error); code != kOk) return code;
  if (!revision.tablesExist) {
    if (error) *error = "the database holds none of the catalogue's tables: there is nothing to upgrade";
    return kNoSchema;
  }
  if (revision.recorded > revision.latest) {
    if (error)
      *error = "the database is at schema revision " + std::to_string(revision.recorded) +
               ", newer than this library's " + std::to_string(revision.latest) + "; use a newer library";
    return kSchemaVersion;
  }
  if (!planned) {
    planned = true;
    result.from = result.to = revision.recorded;
    result.latest = revision.latest;
    for (int number = revision.recorded + 1; number <= revision.latest; ++number) {
      const engine::Step& step = engine::kSteps[number - 1];
      engine::Plan plan;
      engine::StepRun run{connection, step, plan, options, error};
      run.report(UpgradeEvent::Kind::Planned);
    }
  }
  result.to = revision.recorded;
  if (revision.recorded == revision.latest) {
    // A table newer than the catalogue: made by createSchema once the steps are done.
    *missing = revision.missingTables > 0;
    return kOk;
  }

  const engine::Step& step = engine::kSteps[revision.recorded];
  const engine::Plan plan = engine::planOf(step, tables, connection);
  engine::StepRun run{connection, step, plan, options, error};
  if (options.dryRun) return engine::findBreaches(run);
  run.report(UpgradeEvent::Kind::Started);
  if (int code = engine::createRevisionTable(connection); code != kOk) {
    if (error) *error = connection.lastErrorText();
    return code;
  }
  if (int code = step.apply(run); code != kOk) return code;
  if (int code = engine::recordStep(connection, step, tables); code != kOk) {
    if (error) *error = connection.lastErrorText();
    return code;
  }
  *next = step.number;
  return kOk;
}

}  // namespace

int Database::upgradeSchema(Tables tables, const UpgradeOptions& options, UpgradeResult* result, std::string* error) {
  UpgradeResult local;
  UpgradeResult& out = result ? *result : local;
  // A dry run's read transaction reads the primary too: what an upgrade would change.
  engine::PrimaryOnly primary;
  {
    engine::Lease* lease = nullptr;
    if (int code = autocommitLease(lease, error); code != kOk) return code;
    engine::giveBack(lease);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.waitSeconds);
  bool planned = false, waited = false;
  for (;;) {
    std::string why;
    int applied = 0;
    bool missing = false;
    DBtran tran(shared_from_this());
    int code = tran.begin(options.dryRun ? DBtran::Mode::Read : DBtran::Mode::Write);
    if (code != kOk) {
      why = tran.lastError();
    } else {
      code = upgradePass(tran, tables, options, planned, out, &applied, &missing, &why);
      if (code == kOk && applied) {
        if ((code = tran.commit()) != kOk) why = tran.lastError();
      } else {
        tran.rollback();
      }
    }
    if (code == kOk && applied) {
      out.to = applied;
      if (options.progress) {
        UpgradeEvent event{UpgradeEvent::Kind::Finished};
        event.step = applied;
        event.stepName = engine::kSteps[applied - 1].name;
        options.progress(event);
      }
      continue;  // the next step, in a transaction of its own
    }
    if (code == kOk) return missing && !options.dryRun ? createSchema(tables, error) : kOk;
    if (!DBtran::isTransient(code) || std::chrono::steady_clock::now() >= deadline) {
      if (error) *error = why;
      return code;
    }
    // Another upgrade, or a writer, holds the database: wait for it, then
    // read the revision again (it may have done the work).
    if (!waited && options.progress) options.progress(UpgradeEvent{UpgradeEvent::Kind::Waiting});
    waited = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace db
