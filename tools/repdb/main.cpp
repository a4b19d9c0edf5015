// repdb: reads and changes the rows of the replication catalogue through the
// library's facades, one transaction per command.
//
// Exit status: 0 done, 1 the database or a facade failed (rolled back),
// 2 the command line is wrong (nothing opened), 3 no such row, 4 check found
// problems.
#include <CLI/CLI.hpp>
#include <iostream>
#include <nlohmann/json.hpp>

#include "Commands.h"

using namespace repdb;

namespace {

// The counters on stderr, where they never mix with a command's output.
void printCounters(const db::Database& database, bool json) {
  std::cout.flush();  // the command's output first, whole
  const db::Counters c = database.counters();
  const std::pair<const char*, unsigned long long> rows[] = {
      {"statements", c.statements},       {"prepares", c.prepares},
      {"cache_hits", c.cacheHits},        {"cache_misses", c.cacheMisses},
      {"retries", c.retries},             {"restarts", c.restarts},
      {"outcomes_in_doubt", c.outcomesInDoubt}, {"reconnects", c.reconnects},
      {"connection_waits", c.connectionWaits},
      {"connections_open", static_cast<unsigned long long>(c.connectionsOpen)}};
  if (json) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [name, value] : rows) object[name] = value;
    std::cerr << object.dump() << "\n";
    return;
  }
  for (const auto& [name, value] : rows) std::cerr << "repdb: " << name << " " << value << "\n";
}

Text given(const CLI::Option* option, const std::string& value) {
  return option->count() ? Text(value) : std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Reads and changes the rows of the replication catalogue, one transaction per command.", "repdb"};
  app.require_subcommand(1);
  app.fallthrough();  // global options may follow the command
  Globals globals;
  bool json = false, csv = false;
  CLI::Option* dbOption = app.add_option("--db", globals.database, "database URL or path (default: $REPDB_DB, else ./repdb.sqlite)");
  CLI::Option* jsonFlag = app.add_flag("--json", json, "print one JSON array of objects");
  app.add_flag("--csv", csv, "print CSV (RFC 4180)")->excludes(jsonFlag);
  bool stats = false;
  app.add_flag("--stats", stats, "print the database's counters to stderr after the command (one JSON object with --json)");

  std::vector<std::pair<CLI::App*, std::function<Command()>>> commands;
  auto command = [&](const char* name, const char* help) { return app.add_subcommand(name, help); };
  auto builds = [&](CLI::App* sub, std::function<Command()> build) { commands.emplace_back(sub, std::move(build)); };
  const std::string tablesHelp = "table name (repdb tables lists them)";

  std::string table, where, order, setText, before, name, path;
  std::vector<std::string> args, columns;
  bool dryRun = false;
  auto tableArgument = [&](CLI::App* sub) { sub->add_option("TABLE", table, tablesHelp)->required(); };
  auto dryRunFlag = [&](CLI::App* sub) {
    sub->add_flag("--dry-run", dryRun, "run, print how many rows each table would change, roll back");
  };

  builds(command("init", "create the catalogue's tables (idempotent)"), initCommand);
  builds(command("tables", "every table with its number of stored rows"), tablesCommand);

  CLI::App* list = command("list", "rows of a table, through its facade");
  tableArgument(list);
  CLI::Option* listWhere = list->add_option("--where", where, "SQL condition");
  CLI::Option* listOrder = list->add_option("--order", order, "SQL ORDER BY text");
  list->add_option("--columns", columns, "only these columns (comma-separated)")->delimiter(',');
  builds(list, [&] { return listCommand(table, given(listWhere, where), given(listOrder, order), columns); });

  CLI::App* get = command("get", "one row: by ID through the facade's getInfo; --where for JMBkpStats, JMJobDataLink");
  tableArgument(get);
  get->add_option("ID", args, "value of the table's first key column");
  CLI::Option* getWhere = get->add_option("--where", where, "SQL condition (tables without a facade)");
  builds(get, [&] { return getCommand(table, args, given(getWhere, where)); });

  CLI::App* count = command("count", "number of rows, through the facade");
  tableArgument(count);
  CLI::Option* countWhere = count->add_option("--where", where, "SQL condition");
  builds(count, [&] { return countCommand(table, given(countWhere, where)); });

  CLI::App* insert = command("insert", "insert a row through the facade and print it as stored");
  tableArgument(insert);
  insert->add_option("COLUMN=VALUE", args, "column values; other columns keep their defaults");
  dryRunFlag(insert);
  builds(insert, [&] { return insertCommand(table, args); });

  CLI::App* import = command("import", "store the rows of a file written by list --json or --csv, all or none");
  tableArgument(import);
  import->add_option("FILE", path, "the file")->required();
  builds(import, [&] { return importCommand(table, path); });

  CLI::App* update = command("update", "update by ID through the facade (--where for JMBkpStats, JMJobDataLink)");
  tableArgument(update);
  update->add_option("ARGS", args, "ID SETTEXT, or SETTEXT with --where")->required();
  CLI::Option* updateWhere = update->add_option("--where", where, "SQL condition (tables without a facade)");
  dryRunFlag(update);
  builds(update, [&] { return updateCommand(table, args, given(updateWhere, where)); });

  CLI::App* remove = command("remove", "remove by ID (with the facade's cascade) or by --where");
  tableArgument(remove);
  remove->add_option("ID", args, "value of the table's first key column");
  CLI::Option* removeWhere = remove->add_option("--where", where, "SQL condition (--where 1=1 for every row)");
  dryRunFlag(remove);
  builds(remove, [&] { return removeCommand(table, args, given(removeWhere, where)); });

  CLI::App* prune = command("prune-history", "delete YLJobVolumeHistory rows marked pruned at or before a time");
  prune->add_option("--before", before, "seconds since the epoch, or e.g. 2026-01-31T12:00:00Z")->required();
  dryRunFlag(prune);
  builds(prune, [&] { return pruneHistoryCommand(before); });

  CLI::App* snapshot = command("snapshot-update", "update the YLFLRSnapshot rows of a name");
  snapshot->add_option("NAME", name, "snapshot name, as stored")->required();
  snapshot->add_option("SETTEXT", setText, "SQL SET text, e.g. \"Flags = 4\"")->required();
  dryRunFlag(snapshot);
  builds(snapshot, [&] { return snapshotUpdateCommand(name, setText); });

  CLI::App* mount = command("mount-path", "print a mount path as an insert into YLMountPoint would store it");
  mount->add_option("PATH", path, "mount path")->required();
  builds(mount, [&] { return mountPathCommand(path); });

  builds(command("check", "integrity, schema versions and references between the catalogue's tables; exit 4 on findings"),
         checkCommand);
  CLI::App* backup = command("backup",
                             "consistent copy of a live SQLite catalogue (online backup); for PostgreSQL use pg_dump");
  std::string backupFile;
  backup->add_option("FILE", backupFile, "new file to write the copy to")->required();
  builds(backup, [&] { return backupCommand(globals, backupFile); });

  CLI::App* upgrade = command("upgrade", "bring the catalogue's schema to this library's revision, step by step");
  upgrade->add_flag("--dry-run", dryRun, "list the steps that would run and the rows that block them; change nothing");
  builds(upgrade, [&] { return upgradeCommand(dryRun); });

  builds(command("demo", "build a small catalogue, remove a volume and prune, showing the changes"), demoCommand);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : kExitUsage;
  }

  try {
    // An empty --db is a mistake (an unset variable), not a wish for the default.
    if (dbOption->count() && globals.database.empty()) throw UsageError("--db needs a database URL or path");
    readDatabaseUrl(globals);
    if (stats) globals.afterCommand = [json](const db::Database& database) { printCounters(database, json); };
    for (auto& [sub, build] : commands) {
      if (!sub->parsed()) continue;
      globals.format = json ? Format::Json : csv ? Format::Csv : Format::Human;
      if (sub->get_name() == "demo" && globals.format != Format::Human)
        throw UsageError("demo prints for a person; --json and --csv do not apply");
      Command chosen = build();
      chosen.dryRun = dryRun;
      return execute(chosen, globals);
    }
  } catch (const UsageError& error) {
    std::cerr << "repdb: " << error.what() << "\n";
    return kExitUsage;
  }
  return kExitUsage;
}
