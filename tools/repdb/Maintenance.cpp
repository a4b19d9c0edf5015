// repdb check and repdb backup: the catalogue as a whole, past the facades.
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <memory>

#include "Commands.h"
#include "DivUdurezevudoZE/Catalogue.h"

namespace repdb {
namespace {

struct Finding {
  std::string table, check;
  long long problems;
  std::string detail;
};

// One reference to check: a column (or two) of `from` naming a row of `to`.
struct Reference {
  Table* from;
  const Table* to;
  std::vector<std::pair<std::string, std::string>> columns;  // from column, to column
};

// Derived from the table definitions' foreign keys, for the referenced tables
// this catalogue holds.
std::vector<Reference> catalogueReferences() {
  std::vector<Reference> references;
  for (Table* table : allTables()) {
    for (const db::ForeignKeyDef& key : table->def().foreignKeys) {
      const Table* to = findTable(key.refTable);  // keys into other systems' tables: not here
      if (!to) continue;
      Reference reference{table, to, {}};
      bool itself = to == table;
      for (const db::ForeignKeyPair& pair : key.pairs) {
        if (!pair.column) continue;
        reference.columns.emplace_back(pair.column, pair.refColumn);
        itself = itself && sameName(pair.column, pair.refColumn);
      }
      if (!itself && !reference.columns.empty()) references.push_back(std::move(reference));
    }
  }
  return references;
}

// Rows of `from` whose first reference column is set (0 means "none", as a
// record's default) and that no row of `to` matches.
std::string danglingWhere(const Reference& reference) {
  const std::string from = reference.from->name(), to = reference.to->name();
  std::string match;
  for (const auto& [column, refColumn] : reference.columns)
    match += (match.empty() ? "" : " AND ") + to + "." + refColumn + " = " + from + "." + column;
  return from + "." + reference.columns[0].first + " <> 0 AND NOT EXISTS (SELECT 1 FROM " + to + " WHERE " + match + ")";
}

std::string describe(const Reference& reference) {
  std::string from, to;
  for (const auto& [column, refColumn] : reference.columns) {
    from += (from.empty() ? "" : ", ") + column;
    to += (to.empty() ? "" : ", ") + refColumn;
  }
  return "(" + from + ") -> " + reference.to->name() + "(" + to + ")";
}

// SQLite's own check of the file: pages, indexes, free lists.
std::vector<std::string> sqliteIntegrity(const std::string& file) {
  sqlite3* handle = nullptr;
  std::vector<std::string> problems;
  if (sqlite3_open_v2(file.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    problems.push_back(std::string("cannot open: ") + sqlite3_errmsg(handle));
    sqlite3_close(handle);
    return problems;
  }
  sqlite3_busy_timeout(handle, 5000);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(handle, "PRAGMA integrity_check", -1, &statement, nullptr) != SQLITE_OK) {
    problems.push_back(sqlite3_errmsg(handle));
  } else {
    int step;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
      std::string line = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      if (line != "ok") problems.push_back(line);
    }
    if (step != SQLITE_DONE) problems.push_back(sqlite3_errmsg(handle));
  }
  sqlite3_finalize(statement);
  sqlite3_close(handle);
  return problems;
}

void printFindings(Session& session, const std::vector<Finding>& findings, size_t checks) {
  long long problems = 0;
  for (const Finding& finding : findings) problems += finding.problems;
  if (session.format != Format::Human) {
    ResultSet result{{"table", "check", "problems", "detail"}, {false, false, true, false}, {}};
    for (const Finding& finding : findings)
      result.rows.push_back({finding.table, finding.check, finding.problems, finding.detail});
    printResult(session.out, result, session.format);
  } else {
    std::string table;
    for (const Finding& finding : findings) {
      if (!finding.problems) continue;
      if (finding.table != table) session.out << (table = finding.table) << ":\n";
      session.out << "  " << finding.check << ": " << finding.problems << " " << finding.detail << "\n";
    }
    session.out << (problems ? "check: " + std::to_string(problems) + " problem(s) found"
                             : "check: clean (" + std::to_string(checks) + " checks)")
                << "\n";
  }
  if (problems) session.exitCode = kExitFindings;
}

}  // namespace

Command checkCommand() {
  return {Command::Kind::Maintenance, false, [](Session& session) {
            std::vector<Finding> findings;
            if (auto file = session.database->options().file()) {
              std::vector<std::string> problems = sqliteIntegrity(*file);
              std::string detail = problems.empty() ? "ok" : problems[0];
              for (size_t i = 1; i < problems.size() && i < 10; ++i) detail += "; " + problems[i];
              findings.push_back({"(database)", "integrity", static_cast<long long>(problems.size()), detail});
            }
            std::string error;
            int schema = session.database->verifySchema(divu::catalogueTables(), &error, true);
            if (schema == db::kNoSchema) throw CommandFailure("not a catalogue: " + error + " (repdb init creates one)");
            findings.push_back({"(database)", "schema versions", schema == db::kOk ? 0 : 1,
                                schema == db::kOk ? "every table at its version" : error});
            if (schema != db::kOk) return printFindings(session, findings, findings.size());

            DBtran tran(session.database->shared_from_this());
            if (int code = tran.begin(DBtran::Mode::Read); code != db::kOk)
              throw CommandFailure("cannot begin a transaction: [" + std::to_string(code) + "] " + tran.lastError());
            // Every row of every table read through its definition: on a
            // server, what it checks as it reads (page checksums, values).
            for (Table* table : allTables()) {
              std::vector<Row> rows;
              bool read = table->readStored(rows, tran);
              findings.push_back({table->name(), "rows readable", read ? 0 : 1,
                                  read ? std::to_string(rows.size()) + " rows"
                                       : "[" + std::to_string(table->error().m_errorCode) + "] " + table->error().m_errorText});
            }
            for (const Reference& reference : catalogueReferences()) {
              unsigned int count = 0;
              std::string where = danglingWhere(reference);
              if (!reference.from->countStored(where.c_str(), count, tran))
                throw CommandFailure("checking references of " + std::string(reference.from->name()), reference.from->error());
              findings.push_back({reference.from->name(), "references " + describe(reference), count,
                                  count ? std::string(count == 1 ? "row names" : "rows name") + " no " +
                                              reference.to->name() + " row"
                                        : "ok"});
            }
            tran.rollback();
            printFindings(session, findings, findings.size());
          }};
}

Command backupCommand(const Globals& globals, const std::string& file) {
  // A URL that cannot be read is reported when it is opened, as for every
  // command.
  const std::optional<db::DatabaseOptions>& options = globals.options;
  if (options && options->isServer())
    throw UsageError("backup copies an SQLite file; for a PostgreSQL catalogue use pg_dump (e.g. pg_dump -Fc -f FILE URL)");
  std::optional<std::string> source = options ? options->file() : std::nullopt;
  if (options && !source) throw UsageError("backup needs an SQLite file database, not " + globals.url);
  if (file.empty()) throw UsageError("backup needs a FILE to write");
  if (std::filesystem::exists(file)) throw UsageError("backup will not overwrite " + file + "; name a new file");
  return {Command::Kind::Maintenance, false, [source = source.value_or(""), file](Session& session) {
            sqlite3* from = nullptr;
            sqlite3* to = nullptr;
            auto closeBoth = [&] {
              sqlite3_close(from);
              sqlite3_close(to);
            };
            if (sqlite3_open_v2(source.c_str(), &from, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
              std::string why = sqlite3_errmsg(from);
              closeBoth();
              throw CommandFailure("cannot open " + source + ": " + why);
            }
            sqlite3_busy_timeout(from, 5000);
            // One read transaction over the whole copy: every step reads the
            // same committed state, and writers go on meanwhile (WAL).
            if (sqlite3_exec(from, "BEGIN; SELECT COUNT(*) FROM sqlite_schema;", nullptr, nullptr, nullptr) != SQLITE_OK) {
              std::string why = sqlite3_errmsg(from);
              closeBoth();
              throw CommandFailure("cannot read " + source + ": " + why);
            }
            if (sqlite3_open_v2(file.c_str(), &to, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
              std::string why = sqlite3_errmsg(to);
              closeBoth();
              throw CommandFailure("cannot create " + file + ": " + why);
            }
            sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
            if (!backup) {
              std::string why = sqlite3_errmsg(to);
              closeBoth();
              std::filesystem::remove(file);
              throw CommandFailure("cannot start the backup: " + why);
            }
            const bool progress = session.format == Format::Human && isatty(STDERR_FILENO);
            int step;
            while ((step = sqlite3_backup_step(backup, 256)) == SQLITE_OK || step == SQLITE_BUSY || step == SQLITE_LOCKED) {
              if (step != SQLITE_OK) sqlite3_sleep(20);
              int total = sqlite3_backup_pagecount(backup), left = sqlite3_backup_remaining(backup);
              if (progress && total > 0)
                std::cerr << "\rbackup: " << (total - left) * 100 / total << "% of " << total << " pages" << std::flush;
            }
            int pages = sqlite3_backup_pagecount(backup);
            sqlite3_backup_finish(backup);
            if (progress) std::cerr << "\n";
            std::string why = sqlite3_errmsg(to);
            closeBoth();
            if (step != SQLITE_DONE) {
              std::filesystem::remove(file);
              throw CommandFailure("backup of " + source + " failed: " + why);
            }
            auto size = static_cast<long long>(std::filesystem::file_size(file));
            if (session.format == Format::Human)
              session.out << "backup: " << source << " copied to " << file << " (" << pages << " pages, " << size
                          << " bytes)\n";
            else
              printResult(session.out,
                          {{"source", "file", "pages", "bytes"}, {false, false, true, true}, {{source, file, pages, size}}},
                          session.format);
          }};
}

}  // namespace repdb
