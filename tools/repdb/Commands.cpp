#include "Commands.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <unistd.h>

#include "Changes.h"
#include "DivUdurezevudoZE/Catalogue.h"
#include "DivUdurezevudoZE/FLRSnapshotDB.h"
#include "DivUdurezevudoZE/SNRVolumeMountPointDB.h"
#include "DivUdurezevudoZE/StandardFacade.h"
#include "DivUdurezevudoZE/YLJobVolumeHistoryDB.h"

namespace repdb {
namespace {

// The same database opened read only: the read commands change nothing, not
// even a file's journal mode, and can read a catalogue in a place this user
// cannot write. An SQLite URI filename stays as its writer chose; an
// in-memory database has no file to spare.
db::DatabaseOptions readOnly(db::DatabaseOptions options) {
  using Location = db::DatabaseOptions::Location;
  if (options.location == Location::File || options.location == Location::Server) options.readOnly = true;
  return options;
}

void fail(const std::string& what, const Table& table) { throw CommandFailure(what, table.error()); }

// A sentence for a person, or the same facts as one row for a script.
void report(Session& session, const std::string& sentence, ResultSet facts) {
  if (session.format == Format::Human)
    session.out << sentence << "\n";
  else
    printResult(session.out, facts, session.format);
}

void reportRows(Session& session, const Table& table, const char* action, unsigned int rows, const std::string& detail) {
  report(session,
         std::string(action) + " " + std::to_string(rows) + (rows == 1 ? " row of " : " rows of ") + table.name() + detail,
         ResultSet{{"table", "action", "rows"}, {false, false, true}, {{table.name(), action, static_cast<long long>(rows)}}});
}

std::string keyWhere(const Table& table, int id) { return KeyCondition(table.keyColumn(), id).c_str(); }

int parseId(const std::string& text) { return static_cast<int>(parseInteger(text, INT_MIN, INT_MAX, "ID")); }

// A blank text means "none" to the engine: for a WHERE, every row.
std::string requireText(const Text& text, const std::string& complaint) {
  std::string value = text.value_or("");
  if (value.find_first_not_of(" \t\r\n") == std::string::npos) throw UsageError(complaint);
  return value;
}

// A keyed table takes an ID; the tables without a facade take --where.
struct Selection {
  std::optional<int> id;
  Text where;
};
Selection selectRows(const Table& table, const std::vector<std::string>& ids, const Text& where, const char* command,
                     bool whereForAll) {
  if (ids.size() > 1) throw UsageError(std::string(command) + " takes one ID");
  if (!ids.empty() && where) throw UsageError(std::string(command) + " takes an ID or --where, not both");
  if (!ids.empty()) {
    if (!table.keyed())
      throw UsageError(std::string(table.name()) + " has no facade and a composite key; " + command +
                       " it with --where TEXT");
    return {parseId(ids[0]), std::nullopt};
  }
  if (!where) throw UsageError(std::string(command) + " " + table.name() + " needs " + (table.keyed() ? "an ID" : "--where TEXT") +
                               (table.keyed() && whereForAll ? " or --where TEXT" : ""));
  if (table.keyed() && !whereForAll)
    throw UsageError(std::string(command) + " " + table.name() + " takes an ID (" + table.keyColumn() +
                     "); --where is for the tables without a facade");
  return {std::nullopt, requireText(where, "--where needs a condition (--where 1=1 for every row)")};
}

void requireRow(Session& session, Table& table, const std::string& where) {
  unsigned int count = 0;
  if (!table.count(where.c_str(), count, *session.tran)) fail("counting rows of " + std::string(table.name()), table);
  if (count == 0) throw CommandFailure("no row of " + std::string(table.name()) + " has " + where, kExitNoRow);
}

void printFailure(const std::string& text) { std::cerr << "repdb: " << text << "\n"; }

std::string shown(const Cell& cell) {
  if (const auto* number = std::get_if<long long>(&cell)) return std::to_string(*number);
  if (const auto* text = std::get_if<std::string>(&cell)) return "'" + *text + "'";
  return "null";
}

// A facade may set a column itself (the history's prune mark, a normalised
// path): say so on stderr, so the person who gave the value is not left to
// find it changed.
void noteChangedValues(const Table& table, std::span<const Assignment> given, const Row& stored) {
  if (stored.empty()) return;
  for (const Assignment& value : given) {
    size_t at = static_cast<size_t>(value.column - table.def().columns.data());
    if (at < stored.size() && stored[at] != value.value)
      std::cerr << "repdb: note: " << table.name() << "." << value.column->name << " is set by the library: stored "
                << shown(stored[at]) << ", not " << shown(value.value) << "\n";
  }
}

// A write command runs through DBtran::run: a conflict with another writer
// (the database asks for a restart, or stayed busy) starts the whole command
// again in a fresh transaction, after a jittered pause, instead of failing.
// Output is kept until the attempt that counts has committed.
int executeWrite(const Command& command, const Globals& globals, const std::shared_ptr<db::Database>& database) {
  constexpr int kStopped = -1000;  // not an engine code: roll back, do not retry
  std::optional<CommandFailure> failure;
  std::string output;
  std::vector<TableChange> changes;
  const db::RetryPolicy policy{.maxAttempts = 40, .firstDelayMs = 2, .maxDelayMs = 100};
  int code = DBtran::run(
      [&](DBtran& tran) -> int {
        failure.reset();
        std::ostringstream out;
        Session session{database.get(), &tran, out, globals.format};
        State before, after;
        try {
          if (command.dryRun)
            if (Table* failed = captureState(before, tran)) fail("reading " + std::string(failed->name()), *failed);
          command.body(session);
          if (command.dryRun)
            if (Table* failed = captureState(after, tran)) fail("reading " + std::string(failed->name()), *failed);
        } catch (const CommandFailure& caught) {
          failure = caught;
          return DBtran::isTransient(caught.engineCode()) ? caught.engineCode() : kStopped;
        }
        output = out.str();
        if (!command.dryRun) return db::kOk;
        changes = compareStates(before, after);
        return kStopped;
      },
      policy, database);
  if (failure) {
    failure->print(std::cerr);
    return failure->exitCode();
  }
  if (command.dryRun && code == kStopped) {
    if (globals.format == Format::Human) std::cout << output << "dry run, rolled back; it would change:\n";
    printChanges(std::cout, changes, globals.format);
    return 0;
  }
  if (code != db::kOk) {
    printFailure("the transaction failed: [" + std::to_string(code) + "] " + db::codeName(code));
    return kExitFailure;
  }
  std::cout << output;
  return 0;
}

}  // namespace

void CommandFailure::print(std::ostream& err) const {
  err << "repdb: " << what() << (m_hasRecord ? " failed\n" : "\n");
  if (!m_hasRecord) return;
  err << "  function: " << m_record.m_function << "\n"
      << "  table:    " << m_record.m_tableName << "\n"
      << "  code:     " << m_record.m_errorCode << " (" << db::codeName(m_record.m_errorCode) << ")\n"
      << "  text:     " << m_record.m_errorText << "\n";
}

void readDatabaseUrl(Globals& globals) {
  const char* env = getenv("REPDB_DB");
  globals.url = !globals.database.empty() ? globals.database : env && *env ? env : "./repdb.sqlite";
  globals.options = db::DatabaseOptions::parse(globals.url, &globals.urlError);
}

int execute(const Command& command, const Globals& globals) {
  using Kind = Command::Kind;
  if (command.kind == Kind::Offline) {
    Session session{nullptr, nullptr, std::cout, globals.format};
    try {
      command.body(session);
    } catch (const CommandFailure& failure) {
      failure.print(std::cerr);
      return kExitFailure;
    }
    return 0;
  }
  const std::string& url = globals.url;
  // Opening a missing file would create an empty one: only init and demo may.
  if (command.kind != Kind::Schema && command.kind != Kind::Demo && globals.options) {
    if (auto file = globals.options->file(); file && !std::filesystem::exists(*file)) {
      printFailure("no database at " + *file + " (repdb init creates one)");
      return kExitFailure;
    }
  }
  std::string error = globals.urlError;
  std::shared_ptr<db::Database> database;
  if (globals.options) {
    const db::DatabaseOptions& options = *globals.options;
    database = command.kind == Kind::Schema || command.kind == Kind::Demo ? divu::openCatalogue(options, &error)
               : command.kind == Kind::Maintenance ? db::Database::open(readOnly(options), &error)
               : command.kind == Kind::Upgrade     ? db::Database::open(options, &error)
               // An older revision still reads and takes valid values: the
               // rows an upgrade refuses are mended with these commands.
               : divu::openExistingCatalogue(command.kind == Kind::Read ? readOnly(options) : options, &error,
                                             divu::OlderRevision::Accept);
  }
  if (!database) {
    // The engine's texts name the URL already, its password hidden.
    if (!error.starts_with("cannot open ") && !error.starts_with("not a catalogue"))
      error = "cannot open " + db::redactUrl(url) + ": " + db::redactUrl(url, error);
    printFailure(error);
    return kExitFailure;
  }
  // On every way out, while the database is still open.
  struct AfterCommand {
    const Globals& globals;
    const db::Database& database;
    ~AfterCommand() {
      if (globals.afterCommand) globals.afterCommand(database);
    }
  } afterCommand{globals, *database};
  if (command.kind == Kind::Read || command.kind == Kind::Write) {
    db::SchemaRevision revision;
    if (database->readRevision(divu::catalogueTables(), revision) == db::kOk && revision.recorded < revision.latest)
      std::cerr << "repdb: note: the catalogue is at schema revision " << revision.recorded
                << "; 'repdb upgrade' brings it to " << revision.latest << "\n";
  }

  if (command.kind == Kind::Schema || command.kind == Kind::Demo) {
    std::ostringstream buffered;
    Session session{database.get(), nullptr, command.kind == Kind::Demo ? std::cout : buffered, globals.format};
    try {
      command.body(session);
    } catch (const CommandFailure& failure) {
      std::cout.flush();
      failure.print(std::cerr);
      return kExitFailure;
    }
    std::cout << buffered.str();
    return 0;
  }

  if (command.kind == Kind::Write) return executeWrite(command, globals, database);
  if (command.kind == Kind::Maintenance || command.kind == Kind::Upgrade) {
    Session session{database.get(), nullptr, std::cout, globals.format};
    try {
      command.body(session);
    } catch (const CommandFailure& failure) {
      std::cout.flush();
      failure.print(std::cerr);
      return failure.exitCode();
    }
    return session.exitCode;
  }

  DBtran tran(database);
  if (int code = tran.begin(DBtran::Mode::Read); code != db::kOk) {
    printFailure("cannot begin a transaction: [" + std::to_string(code) + "] " + tran.lastError());
    return kExitFailure;
  }
  std::ostringstream out;
  Session session{database.get(), &tran, out, globals.format};
  try {
    command.body(session);
  } catch (const CommandFailure& failure) {
    failure.print(std::cerr);
    tran.rollback();
    return failure.exitCode();
  }
  tran.rollback();  // read only: nothing to keep
  std::cout << out.str();
  return 0;
}

Command initCommand() {
  return {Command::Kind::Schema, false, [](Session& session) {
            std::string error;
            if (divu::createCatalogue(*session.database, &error) != db::kOk)
              throw CommandFailure("cannot create the tables: " + error);
            size_t tables = divu::catalogueTables().size();
            report(session, "schema ready: " + std::to_string(tables) + " tables in " + session.database->url(),
                   ResultSet{{"database", "tables"}, {false, true}, {{session.database->url(), static_cast<long long>(tables)}}});
          }};
}

Command upgradeCommand(bool dryRun) {
  return {Command::Kind::Upgrade, dryRun, [dryRun](Session& session) {
            const bool human = session.format == Format::Human;
            // A table line moves in place on a terminal while its rows are
            // copied; elsewhere each table gets one line when it is done.
            const bool terminal = human && isatty(STDERR_FILENO);
            std::string lastTable;
            db::UpgradeOptions options;
            options.dryRun = dryRun;
            options.progress = [&](const db::UpgradeEvent& event) {
              using Kind = db::UpgradeEvent::Kind;
              const std::string step = "step " + std::to_string(event.step) + " (" + event.stepName + ")";
              if (event.kind == Kind::Waiting) {
                std::cerr << "repdb: waiting for another upgrade or writer to finish\n";
              } else if (event.kind == Kind::Planned && human) {
                session.out << step << (dryRun ? ": would run\n" : ": to run\n") << std::flush;
              } else if (event.kind == Kind::Finished && human) {
                session.out << step << ": done\n" << std::flush;
              } else if (event.kind == Kind::Table && human) {
                const std::string line = std::string("  ") + event.table + ": " + std::to_string(event.rows) + " of " +
                                         std::to_string(event.totalRows) + " rows";
                const bool done = event.rows == event.totalRows;
                if (terminal) std::cerr << "\r" << line << "\x1b[K" << (done ? "\n" : "") << std::flush;
                if (!terminal && done && lastTable != event.table) session.out << line << "\n" << std::flush;
                if (done) lastTable = event.table;
              }
            };
            db::UpgradeResult result;
            std::string error;
            int code = divu::upgradeCatalogue(*session.database, options, &result, &error);
            if (code == db::kConstraint) throw CommandFailure(error, kExitFindings);
            if (code != db::kOk)
              throw CommandFailure("upgrade failed: [" + std::to_string(code) + "] " + db::codeName(code) + ": " + error);
            const std::string from = std::to_string(result.from), to = std::to_string(result.to);
            const std::string sentence = result.from == result.latest ? "schema revision " + from + ": nothing to do"
                                         : dryRun ? "dry run: nothing changed (schema revision " + from + ")"
                                                  : "upgraded from schema revision " + from + " to " + to;
            report(session, sentence,
                   ResultSet{{"from", "to", "dryRun"}, {true, true, false},
                             {{static_cast<long long>(result.from), static_cast<long long>(result.to),
                               std::string(dryRun ? "true" : "false")}}});
          }};
}

Command tablesCommand() {
  return {Command::Kind::Read, false, [](Session& session) {
            ResultSet result{{"table", "rows"}, {false, true}, {}};
            for (Table* table : allTables()) {
              unsigned int count = 0;
              if (!table->countStored(nullptr, count, *session.tran)) fail("counting rows of " + std::string(table->name()), *table);
              result.rows.push_back({table->name(), static_cast<long long>(count)});
            }
            printResult(session.out, result, session.format);
            db::SchemaRevision revision;
            std::string error;
            if (session.database->readRevision(divu::catalogueTables(), revision, &error) != db::kOk)
              throw CommandFailure("reading the schema revision: " + error);
            if (session.format == Format::Human)
              session.out << "schema revision " << revision.recorded << " (this library's: " << revision.latest << ")\n";
          }};
}

Command listCommand(const std::string& tableName, const Text& where, const Text& orderBy,
                    const std::vector<std::string>& columns) {
  Table& table = tableNamed(tableName);
  std::vector<size_t> shown;
  for (const std::string& name : columns) {
    const db::ColumnDef* column = findColumn(table.def(), name);
    if (!column) throw UsageError("table " + std::string(table.name()) + " has no column '" + name + "'");
    shown.push_back(static_cast<size_t>(column - table.def().columns.data()));
  }
  return {Command::Kind::Read, false, [&table, where, orderBy, shown](Session& session) {
            ResultSet all = columnsOf(table.def());
            if (!table.list(where ? where->c_str() : nullptr, orderBy ? orderBy->c_str() : nullptr, all.rows, *session.tran))
              fail("listing " + std::string(table.name()), table);
            if (shown.empty()) return printResult(session.out, all, session.format);
            ResultSet some;
            for (size_t index : shown) {
              some.columns.push_back(all.columns[index]);
              some.numeric.push_back(all.numeric[index]);
            }
            for (const Row& row : all.rows) {
              Row& picked = some.rows.emplace_back();
              for (size_t index : shown) picked.push_back(row[index]);
            }
            printResult(session.out, some, session.format);
          }};
}

Command getCommand(const std::string& tableName, const std::vector<std::string>& args, const Text& where) {
  Table& table = tableNamed(tableName);
  Selection selection = selectRows(table, args, where, "get", false);
  return {Command::Kind::Read, false, [&table, selection](Session& session) {
            ResultSet result = columnsOf(table.def());
            Row& row = result.rows.emplace_back();
            bool found = selection.id ? table.get(*selection.id, row, *session.tran)
                                      : table.getFirst(selection.where->c_str(), row, *session.tran);
            std::string which = selection.id ? keyWhere(table, *selection.id) : *selection.where;
            if (!found)
              throw CommandFailure("reading " + std::string(table.name()) + " (" + which + ")", table.error(),
                                   table.error().m_errorCode == db::kNoRow ? kExitNoRow : kExitFailure);
            printResult(session.out, result, session.format, Layout::Record);
          }};
}

Command countCommand(const std::string& tableName, const Text& where) {
  Table& table = tableNamed(tableName);
  return {Command::Kind::Read, false, [&table, where](Session& session) {
            unsigned int count = 0;
            if (!table.count(where ? where->c_str() : nullptr, count, *session.tran))
              fail("counting rows of " + std::string(table.name()), table);
            if (session.format == Format::Human)
              session.out << count << "\n";
            else
              printResult(session.out, {{"table", "count"}, {false, true}, {{table.name(), static_cast<long long>(count)}}},
                          session.format);
          }};
}

Command insertCommand(const std::string& tableName, const std::vector<std::string>& texts) {
  Table& table = tableNamed(tableName);
  std::vector<Assignment> values;
  for (const std::string& text : texts) {
    Assignment value = parseAssignment(table.def(), text);
    for (const Assignment& earlier : values)
      if (earlier.column == value.column) throw UsageError(std::string("column ") + value.column->name + " is given twice");
    values.push_back(std::move(value));
  }
  return {Command::Kind::Write, false, [&table, values](Session& session) {
            ResultSet result = columnsOf(table.def());
            Row stored;
            if (!table.insert(values, stored, *session.tran)) fail("insert into " + std::string(table.name()), table);
            noteChangedValues(table, values, stored);
            if (!stored.empty()) {
              result.rows.push_back(std::move(stored));
            } else if (session.format == Format::Human) {
              session.out << "nothing stored: the " << table.name() << " facade skipped the row\n";
              return;
            }
            printResult(session.out, result, session.format, Layout::Record);
          }};
}

Command updateCommand(const std::string& tableName, const std::vector<std::string>& args, const Text& where) {
  Table& table = tableNamed(tableName);
  if (args.size() != (where ? 1u : 2u))
    throw UsageError(where ? "update with --where takes one SETTEXT" : "update takes ID SETTEXT");
  std::string setText = requireText(args.back(), "update needs a SET text");
  Selection selection = selectRows(table, {args.begin(), args.end() - 1}, where, "update", true);
  return {Command::Kind::Write, false, [&table, selection, setText](Session& session) {
            if (selection.id) {
              std::string which = keyWhere(table, *selection.id);
              requireRow(session, table, which);
              if (!table.update(*selection.id, setText.c_str(), *session.tran))
                fail("update of " + std::string(table.name()), table);
              return reportRows(session, table, "updated", 1, " (" + which + ")");
            }
            // The WHERE update is the generic one, past any facade filter: count
            // the stored rows it reaches, not the facade's view.
            unsigned int count = 0;
            if (!table.countStored(selection.where->c_str(), count, *session.tran))
              fail("counting rows of " + std::string(table.name()), table);
            if (!table.update(selection.where->c_str(), setText.c_str(), *session.tran))
              fail("update of " + std::string(table.name()), table);
            reportRows(session, table, "updated", count, "");
          }};
}

Command removeCommand(const std::string& tableName, const std::vector<std::string>& args, const Text& where) {
  Table& table = tableNamed(tableName);
  Selection selection = selectRows(table, args, where, "remove", true);
  return {Command::Kind::Write, false, [&table, selection](Session& session) {
            if (selection.id) {
              std::string which = keyWhere(table, *selection.id);
              requireRow(session, table, which);
              if (!table.remove(*selection.id, *session.tran)) fail("remove from " + std::string(table.name()), table);
              return reportRows(session, table, "removed", 1, " (" + which + ")");
            }
            unsigned int count = 0;
            if (!table.count(selection.where->c_str(), count, *session.tran))
              fail("counting rows of " + std::string(table.name()), table);
            if (!table.remove(selection.where->c_str(), *session.tran)) fail("remove from " + std::string(table.name()), table);
            reportRows(session, table, "removed", count, "");
          }};
}

Command pruneHistoryCommand(const std::string& before) {
  long long cutoff = parseTime(before, "--before");
  // The history keeps its prune times in 32-bit columns, and prune takes an int.
  if (cutoff < 0 || cutoff > INT_MAX)
    throw UsageError("--before must lie between 1970-01-01T00:00:00Z and " + formatTime(INT_MAX) + ": " + before);
  return {Command::Kind::Write, false, [cutoff](Session& session) {
            Table& history = tableNamed("YLJobVolumeHistory");
            std::string marked = "pruneTime <> 0 AND pruneTime <= " + std::to_string(cutoff);
            unsigned int count = 0;
            if (!history.countStored(marked.c_str(), count, *session.tran)) fail("counting marked history rows", history);
            CYLJobVolumeHistoryDB facade;
            if (!facade.prune(static_cast<int>(cutoff), session.tran))
              throw CommandFailure("prune of YLJobVolumeHistory", facade.m_dbError);
            reportRows(session, history, "deleted", count, " (marked pruned at or before " + formatTime(cutoff) + ")");
          }};
}

Command snapshotUpdateCommand(const std::string& name, const std::string& setText) {
  if (name.empty()) throw UsageError("snapshot-update needs a snapshot name");
  std::string set = requireText(setText, "snapshot-update needs a SET text");
  return {Command::Kind::Write, false, [literal = sqlLiteral(name), set](Session& session) {
            FLRSnapshotDB snapshots;
            std::string which = "Name = " + literal;
            unsigned int count = 0;
            if (!snapshots.getNRows(which.c_str(), count, session.tran))
              throw CommandFailure("counting rows of YLFLRSnapshot", snapshots.m_dbError);
            if (count == 0) throw CommandFailure("no row of YLFLRSnapshot has " + which, kExitNoRow);
            if (!snapshots.Update(literal.c_str(), set.c_str(), session.tran))
              throw CommandFailure("update of YLFLRSnapshot", snapshots.m_dbError);
            reportRows(session, tableNamed("YLFLRSnapshot"), "updated", count, " (" + which + ")");
          }};
}

Command mountPathCommand(const std::string& path) {
  YLMountPoint_t row;  // the field an insert would normalise
  if (path.size() >= sizeof row.Path)
    throw UsageError("YLMountPoint.Path holds at most " + std::to_string(sizeof row.Path - 1) + " bytes; the path has " +
                     std::to_string(path.size()));
  if (path.empty()) throw UsageError("mount-path needs a path");
  return {Command::Kind::Offline, false, [path](Session& session) {
            char buffer[sizeof(YLMountPoint_t::Path)] = {};
            path.copy(buffer, sizeof buffer - 1);
            bool skipped = CSNRVolumeMountPointDB::isDeviceNamespacePath(buffer, sizeof buffer);
            if (!skipped && !CSNRVolumeMountPointDB::CheckMountPathSyntax(buffer, sizeof buffer))
              throw CommandFailure("not a mount path: '" + path + "'");
            Cell stored = skipped ? Cell{} : Cell{std::string(buffer)};
            report(session,
                   skipped ? "device-namespace path: an insert into YLMountPoint would skip it" : std::string(buffer),
                   ResultSet{{"path", "stored"}, {false, false}, {{path, stored}}});
          }};
}

Command demoCommand() {
  return {Command::Kind::Demo, false, [](Session& session) {
            std::string error;
            if (divu::createCatalogue(*session.database, &error) != db::kOk)
              throw CommandFailure("cannot create the tables: " + error);
            runDemo(*session.database, session.out);
          }};
}

}  // namespace repdb
