// End-to-end tests of repdb: the built binary run on temporary databases,
// its output parsed back and the database files read directly.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>
#include <nlohmann/json.hpp>
#include <sstream>

#include "DivUdurezevudoZE/Catalogue.h"
#include "CascadeSupport.h"
#include "TestSupport.h"

extern char** environ;

namespace divu::test {
namespace {

using nlohmann::json;

// Every row of every catalogue table, read through the engine on a
// connection of this process (a file or a server).
std::string dumpDatabase(const std::string& url) {
  std::string error;
  std::shared_ptr<db::Database> database = db::Database::open(url, &error);
  if (!database) return "cannot open: " + error;
  std::shared_ptr<db::Database> saved = db::Database::getDefault();
  db::Database::setDefault(database);
  std::string out = divu::test::dumpDatabase();
  db::Database::setDefault(saved);
  return out;
}

struct Result {
  int code;
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class RepdbBase : public testing::Test {
 protected:
  // Runs repdb with `args`; REPDB_DB is taken from `env` only.
  // `runAs`: a command line that runs repdb under another user.
  Result exec(const std::vector<std::string>& args, const std::vector<std::string>& env = {}, const std::string& cwd = "",
              const std::vector<std::string>& runAs = {}) {
    std::vector<std::string> words = runAs;
    words.push_back(REPDB_PATH);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables = env;
    for (char** e = environ; *e; ++e)
      if (std::string_view(*e).substr(0, 9) != "REPDB_DB=") variables.push_back(*e);
    for (std::string& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);

    const std::string out = m_dir.file("stdout"), err = m_dir.file("stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid = 0;
    int status = -1;
    EXPECT_EQ(posix_spawn(&pid, words[0].c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    waitpid(pid, &status, 0);
    Result result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
    EXPECT_EQ(result.err.find("Sanitizer"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("runtime error"), std::string::npos) << result.err;
    return result;
  }
  // Runs repdb with stdout dropped and stderr into `err`; its exit status.
  // Safe to call from several threads at once.
  static int spawnQuiet(std::vector<std::string> args, const std::string& err) {
    args.insert(args.begin(), REPDB_PATH);
    std::vector<char*> argv;
    for (std::string& word : args) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    int status = -1;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  Result repdb(std::vector<std::string> args) {
    args.insert(args.begin(), {"--db", m_db});
    return exec(args);
  }
  // A command that must succeed, its --json output parsed.
  json rows(std::vector<std::string> args) {
    args.push_back("--json");
    Result result = repdb(args);
    EXPECT_EQ(result.code, 0) << result.err;
    return result.code == 0 ? json::parse(result.out) : json::array();
  }
  void init() { ASSERT_EQ(repdb({"init"}).code, 0); }
  int insert(const std::vector<std::string>& args) {
    std::vector<std::string> command{"insert"};
    command.insert(command.end(), args.begin(), args.end());
    json stored = rows(command);
    return stored.size() == 1 && stored[0].contains("id") ? stored[0]["id"].get<int>() : 0;
  }

  TempDir m_dir;
  std::string m_db = m_dir.file("catalogue.sqlite");
};

// The tool on an SQLite file only: cases about files, triggers, the working
// directory and the demo's own database.
class Repdb : public RepdbBase {};

// The tool on an SQLite file and on the PostgreSQL test server, when one is
// given (DIVU_TEST_POSTGRES_URL).
class RepdbOnBoth : public RepdbBase, public testing::WithParamInterface<Storage> {
 protected:
  void SetUp() override {
    if (GetParam() != Storage::Postgres) return;
    if (postgresTestUrl().empty()) GTEST_SKIP() << "no PostgreSQL server given (DIVU_TEST_POSTGRES_URL)";
    m_schema = std::make_unique<PostgresSchema>();
    ASSERT_EQ(m_schema->create(), "");
    m_db = m_schema->url();
  }
  std::unique_ptr<PostgresSchema> m_schema;
};

TEST_P(RepdbOnBoth, InitIsIdempotentAndTablesCountsEveryCatalogueTable) {
  init();
  init();
  json tables = rows({"tables"});
  ASSERT_EQ(tables.size(), catalogueTables().size());
  for (size_t i = 0; i < tables.size(); ++i) {
    EXPECT_EQ(tables[i]["table"], catalogueTables()[i]->name);
    EXPECT_EQ(tables[i]["rows"], 0);
  }
}

TEST_P(RepdbOnBoth, InsertedRowsReadBackExactly) {
  init();
  const std::string uniqueId(256, 'u'), reason(24, 'r'), content = "line 1\nline \"2\", " + std::string(5000, 'c');
  struct Case {
    std::vector<std::string> insert;
    std::vector<std::string> get;  // empty: by the assigned id
    json expected;
  } cases[] = {
      {{"YLPhysicalVolume", "StartLBA=9007199254740993", "BlockCount=-9223372036854775808", "UniqueId=" + uniqueId},
       {},
       {{"StartLBA", 9007199254740993LL}, {"BlockCount", INT64_MIN}, {"UniqueId", uniqueId}, {"LUN", 0}}},
      {{"JMBkpStats", "jobId=7", "zorbCellId=2", "totalBackupSize=9223372036854775807", "scanTypeChangeReason=" + reason,
        "username=o'hara, \"ops\""},
       {"JMBkpStats", "--where", "jobId = 7 AND zorbCellId = 2"},
       {{"totalBackupSize", INT64_MAX}, {"scanTypeChangeReason", reason}, {"username", "o'hara, \"ops\""}}},
      {{"YLMountPoint", "DeviceNameId=3", "Path=/srv/data/"}, {}, {{"Path", "/srv/data"}, {"DeviceNameId", 3}}},
      {{"YLFile", "VolumeId=4", "Name=layout.json", "Content=" + content}, {}, {{"Content", content}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.insert[0]);
    std::vector<std::string> command{"insert"};
    command.insert(command.end(), c.insert.begin(), c.insert.end());
    json stored = rows(command);
    ASSERT_EQ(stored.size(), 1u);
    for (const auto& [column, value] : c.expected.items()) EXPECT_EQ(stored[0][column], value) << column;
    std::vector<std::string> get{"get"};
    if (c.get.empty())
      get.insert(get.end(), {c.insert[0], std::to_string(stored[0]["id"].get<int>())});
    else
      get.insert(get.end(), c.get.begin(), c.get.end());
    EXPECT_EQ(rows(get), stored);
  }
}

// Insert, read, list and remove a row of defaults in every table: each is
// wired to its facade (or the generic operations) and its definition.
TEST_P(RepdbOnBoth, EveryTableRoundTripsARowOfDefaults) {
  init();
  for (const db::TableDef* def : catalogueTables()) {
    SCOPED_TRACE(def->name);
    json stored = rows({"insert", def->name});
    ASSERT_EQ(stored.size(), 1u);
    ASSERT_EQ(stored[0].size(), def->columns.size());
    bool keyed = def->primaryKey.size() == 1;
    std::vector<std::string> select = keyed ? std::vector<std::string>{std::to_string(stored[0][def->primaryKey[0]].get<int>())}
                                            : std::vector<std::string>{"--where", "1=1"};
    std::vector<std::string> get{"get", def->name}, remove{"remove", def->name};
    get.insert(get.end(), select.begin(), select.end());
    remove.insert(remove.end(), select.begin(), select.end());
    EXPECT_EQ(rows(get), stored);
    EXPECT_EQ(rows({"list", def->name}), stored);
    EXPECT_EQ(rows(remove)[0]["rows"], 1);
    EXPECT_EQ(repdb({"count", def->name}).out, "0\n");
  }
}

TEST_P(RepdbOnBoth, TimesAreSecondsOrIso8601) {
  init();
  struct Case {
    const char* text;
    long long seconds;  // -2: refused
  } cases[] = {
      {"1769860800", 1769860800},           {"2026-01-31T12:00:00Z", 1769860800}, {"2026-01-31T13:30:00+01:30", 1769860800},
      {"2026-01-31 06:30-0530", 1769860800}, {"2024-02-29T00:00:00Z", 1709164800}, {"1969-12-31T23:59:59Z", -1},
      {"2026-02-29T00:00:00Z", -2},         {"2026-01-31T24:00:00Z", -2},         {"2026-01-31T12:00:00", -2},
      {"2026-01-31T12:00:00Zulu", -2},      {"2026-01-31T12:00:00+01:", -2},      {"yesterday", -2},
  };
  int job = 0;
  for (const Case& c : cases) {
    Result result = repdb({"--json", "insert", "JMBkpStats", "jobId=" + std::to_string(++job), std::string("servStartDate=") + c.text});
    if (c.seconds == -2) {
      EXPECT_EQ(result.code, 2) << c.text;
      continue;
    }
    ASSERT_EQ(result.code, 0) << c.text << result.err;
    EXPECT_EQ(json::parse(result.out)[0]["servStartDate"], c.seconds) << c.text;
  }
}

TEST_P(RepdbOnBoth, HumanListsAlignColumnsAndShortenLongTexts) {
  init();
  std::string accented;
  for (int i = 0; i < 50; ++i) accented += "\u00e9";
  insert({"YLDevice", "Name=" + accented, "Flags=7"});
  insert({"YLDevice", "Name=short", "Flags=12345"});
  std::istringstream lines(repdb({"list", "YLDevice"}).out);
  std::string header, first, second, footer;
  std::getline(lines, header), std::getline(lines, first), std::getline(lines, second), std::getline(lines, footer);
  std::string shortened;
  for (int i = 0; i < 39; ++i) shortened += "\u00e9";
  EXPECT_EQ(header, "id  Name" + std::string(38, ' ') + "Flags");
  EXPECT_EQ(first, " 1  " + shortened + "\u2026      7");
  EXPECT_EQ(second, " 2  short" + std::string(35, ' ') + "  12345");
  EXPECT_EQ(footer, "(2 rows)");
}

// Every changing command, run with --dry-run: the changes it reports, and a
// database left as it was.
TEST_P(RepdbOnBoth, DryRunOfEachChangingCommandReportsAndRollsBack) {
  init();
  int snapshot = insert({"YLFLRSnapshot", "Name=hourly"});
  insert({"JMBkpStats", "jobId=7", "zorbCellId=2"});
  insert({"JMBkpStats", "jobId=8", "zorbCellId=2"});
  int history = insert({"YLJobVolumeHistory", "JobId=7"});
  ASSERT_EQ(repdb({"remove", "YLJobVolumeHistory", std::to_string(history)}).code, 0);
  insert({"YLJobVolumeHistory", "JobId=8"});
  const std::string before = dumpDatabase(m_db);
  struct Case {
    std::vector<std::string> args;
    json changes;
  } cases[] = {
      {{"insert", "YLDevice", "Name=array-2"}, {{"YLDevice", 1, 0, 0}}},
      {{"update", "YLFLRSnapshot", std::to_string(snapshot), "Flags = 3"}, {{"YLFLRSnapshot", 0, 1, 0}}},
      {{"update", "JMBkpStats", "--where", "zorbCellId = 2", "dataStatus = 4"}, {{"JMBkpStats", 0, 2, 0}}},
      {{"remove", "JMBkpStats", "--where", "jobId = 8"}, {{"JMBkpStats", 0, 0, 1}}},
      {{"remove", "YLJobVolumeHistory", "--where", "JobId = 8"}, {{"YLJobVolumeHistory", 0, 1, 0}}},
      {{"snapshot-update", "hourly", "Type = 2"}, {{"YLFLRSnapshot", 0, 1, 0}}},
      {{"prune-history", "--before", "2037-01-01T00:00:00Z"}, {{"YLJobVolumeHistory", 0, 0, 1}}},
  };
  for (Case& c : cases) {
    c.args.insert(c.args.end(), {"--dry-run", "--csv"});
    Result result = repdb(c.args);
    ASSERT_EQ(result.code, 0) << c.args[0] << result.err;
    std::string expected = "table,inserted,updated,deleted\r\n";
    for (const json& change : c.changes)
      expected += change[0].get<std::string>() + "," + change[1].dump() + "," + change[2].dump() + "," + change[3].dump() + "\r\n";
    EXPECT_EQ(result.out, expected) << c.args[0];
    EXPECT_EQ(dumpDatabase(m_db), before) << c.args[0];
  }
}

TEST_F(Repdb, EverySubcommandHasHelp) {
  for (const char* command : {"init", "tables", "list", "get", "count", "insert", "update", "remove", "prune-history",
                              "snapshot-update", "mount-path", "check", "backup", "demo", "import"}) {
    Result result = repdb({command, "--help"});
    EXPECT_EQ(result.code, 0) << command;
    EXPECT_NE(result.out.find(std::string("Usage: repdb ") + command), std::string::npos) << result.out;
  }
  EXPECT_FALSE(std::filesystem::exists(m_db));
}

TEST_P(RepdbOnBoth, ListFiltersOrdersAndQuotesCsv) {
  init();
  int first = insert({"YLApplicationDirs", "clientId=11", "path=/srv/a,\"b\""});
  int second = insert({"YLApplicationDirs", "clientId=11", "path=/srv/c"});
  insert({"YLApplicationDirs", "clientId=12", "path=/srv/d"});
  json listed = rows({"list", "YLApplicationDirs", "--where", "clientId = 11", "--order", "id DESC"});
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0]["id"], second);
  EXPECT_EQ(listed[1]["id"], first);

  Result csv = repdb({"--csv", "list", "YLApplicationDirs", "--where", "clientId = 11", "--columns", "id,path", "--order", "id"});
  EXPECT_EQ(csv.out, "id,path\r\n" + std::to_string(first) + ",\"/srv/a,\"\"b\"\"\"\r\n" + std::to_string(second) +
                         ",/srv/c\r\n");
  EXPECT_EQ(repdb({"count", "YLApplicationDirs", "--where", "clientId = 11"}).out, "2\n");
}

TEST_P(RepdbOnBoth, VolumeRemovalCascadesAndDryRunChangesNothing) {
  init();
  insert({"JMBkpStats", "jobId=101", "zorbCellId=2", "dataStatus=1"});
  insert({"JMJobDataLink", "zorbCellId=2", "parentJobId=900", "childJobId=101"});
  insert({"YLJobVolumeHistory", "JobId=101", "zorbCellId=2", "DstVolId=50"});
  int volume = insert({"YLVolume", "CurrentRole=1", "PhysicalVolumeId=50"});
  const std::string before = dumpDatabase(m_db);

  json changes = rows({"remove", "YLVolume", std::to_string(volume), "--dry-run"});
  EXPECT_EQ(changes, json::parse(R"([{"table":"YLVolume","inserted":0,"updated":0,"deleted":1},
                                     {"table":"JMBkpStats","inserted":0,"updated":1,"deleted":0},
                                     {"table":"JMJobDataLink","inserted":0,"updated":0,"deleted":1},
                                     {"table":"YLJobVolumeHistory","inserted":0,"updated":1,"deleted":0}])"));
  EXPECT_EQ(dumpDatabase(m_db), before);

  ASSERT_EQ(repdb({"remove", "YLVolume", std::to_string(volume)}).code, 0);
  EXPECT_EQ(repdb({"count", "YLVolume"}).out, "0\n");
  EXPECT_EQ(repdb({"count", "JMJobDataLink"}).out, "0\n");
  EXPECT_EQ(repdb({"count", "YLJobVolumeHistory"}).out, "0\n");  // marked, so hidden by the facade
  EXPECT_EQ(rows({"get", "JMBkpStats", "--where", "jobId = 101"})[0]["dataStatus"], 3);

  // Found by name: a table added to the catalogue comes after it.
  auto storedHistory = [&] {
    for (const json& table : rows({"tables"}))
      if (table["table"] == "YLJobVolumeHistory") return table;
    return json();
  };
  ASSERT_EQ(storedHistory()["table"], "YLJobVolumeHistory");
  EXPECT_EQ(storedHistory()["rows"], 1);
  EXPECT_EQ(rows({"prune-history", "--before", "2001-09-09T01:46:40Z"})[0]["rows"], 0);
  EXPECT_EQ(storedHistory()["rows"], 1);
  EXPECT_EQ(rows({"prune-history", "--before", "2038-01-01T00:00:00+01:00"})[0]["rows"], 1);
  EXPECT_EQ(storedHistory()["rows"], 0);
}

TEST_F(Repdb, EngineFailureExitsOneWithTheRecordAndRollsBack) {
  init();
  insert({"JMBkpStats", "jobId=7", "zorbCellId=2", "dataStatus=1"});
  insert({"YLJobVolumeHistory", "JobId=7", "zorbCellId=2", "DstVolId=50"});
  int volume = insert({"YLVolume", "CurrentRole=1", "PhysicalVolumeId=50"});
  // The cascade marks the history and ages the job before the volume's own
  // delete, which this trigger refuses: all of it must be rolled back.
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(m_db.c_str(), &handle), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(handle, "CREATE TRIGGER held BEFORE DELETE ON YLVolume BEGIN SELECT RAISE(ABORT, 'volume held'); END",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(handle);
  const std::string before = dumpDatabase(m_db);
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"list", "YLVolume", "--where", "CurrentRole = = 1"}, "syntax error"},
      {{"remove", "YLVolume", "--where", "id = = 1"}, "syntax error"},
      {{"update", "YLVolume", std::to_string(volume), "NoSuchColumn = 1"}, "no such column"},
      {{"insert", "JMBkpStats", "jobId=7", "zorbCellId=2"}, "code:     2002"},
      {{"remove", "YLVolume", std::to_string(volume)}, "volume held"},
  };
  for (const Case& c : cases) {
    Result result = repdb(c.args);
    EXPECT_EQ(result.code, 1) << c.args[0];
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("function: CRepBaseDB::"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(dumpDatabase(m_db), before) << c.args[0];
  }
}

TEST_F(Repdb, UsageErrorsExitTwoBeforeTouchingTheDatabase) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"list", "NoSuchTable"}, "unknown table 'NoSuchTable'"},
      {{"insert", "YLVolume", "Bogus=1"}, "no column 'Bogus'"},
      {{"insert", "YLVolume", "CurrentRole=two"}, "YLVolume.CurrentRole takes a whole number"},
      {{"insert", "YLVolume", "CurrentRole=2147483648"}, "YLVolume.CurrentRole is out of range"},
      {{"insert", "JMBkpStats", "totalBackupSize=9223372036854775808"}, "JMBkpStats.totalBackupSize is out of range"},
      {{"insert", "YLDevice", "Name=" + std::string(257, 'n')}, "YLDevice.Name holds at most 256 bytes"},
      {{"insert", "YLVolume", "id=4"}, "YLVolume.id is assigned by the database"},
      {{"get", "JMBkpStats", "7"}, "--where"},
      {{"remove", "YLVolume", "--where", " "}, "--where needs a condition"},
      {{"prune-history", "--before", "2026-02-30T00:00:00Z"}, "--before takes seconds"},
      {{"list", "YLVolume", "--json", "--csv"}, "excludes"},
  };
  for (const Case& c : cases) {
    Result result = repdb(c.args);
    EXPECT_EQ(result.code, 2) << c.args[1];
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_FALSE(std::filesystem::exists(m_db)) << c.args[1];
  }
}

TEST_P(RepdbOnBoth, SnapshotUpdateQuotesTheName) {
  init();
  int snapshot = insert({"YLFLRSnapshot", "Name=it's hourly"});
  insert({"YLFLRSnapshot", "Name=its hourly"});
  EXPECT_EQ(rows({"snapshot-update", "it's hourly", "Flags = 7"})[0]["rows"], 1);
  EXPECT_EQ(rows({"get", "YLFLRSnapshot", std::to_string(snapshot)})[0]["Flags"], 7);
  EXPECT_EQ(rows({"count", "YLFLRSnapshot", "--where", "Flags = 7"})[0]["count"], 1);
  EXPECT_EQ(repdb({"snapshot-update", "nobody's", "Flags = 7"}).code, 3);
}

// A row named by ID that does not exist has its own exit code, 3, apart
// from a database failure (1); nothing changes.
TEST_P(RepdbOnBoth, MissingRowsExitThree) {
  init();
  insert({"YLDevice", "Name=array-1"});
  const std::string before = dumpDatabase(m_db);
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"get", "YLVolume", "999"}, "code:     100"},
      {{"get", "JMBkpStats", "--where", "jobId = 5"}, "code:     100"},
      {{"update", "YLDevice", "999", "Flags = 1"}, "no row of YLDevice has id = 999"},
      {{"remove", "YLVolume", "999"}, "no row of YLVolume has id = 999"},
      {{"snapshot-update", "nobody", "Flags = 1"}, "no row of YLFLRSnapshot"},
  };
  for (const Case& c : cases) {
    Result result = repdb(c.args);
    EXPECT_EQ(result.code, 3) << c.args[0] << ": " << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
  EXPECT_EQ(dumpDatabase(m_db), before);
}

// update --where works on facade tables too, as the usage line says, and an
// insert says when the library set a column to another value than given.
TEST_P(RepdbOnBoth, UpdateByWhereOnFacadeTablesAndInsertNotesLibraryValues) {
  init();
  int first = insert({"YLDevice", "Name=array-1"});
  int second = insert({"YLDevice", "Name=array-2"});
  insert({"YLDevice", "Name=other"});
  struct Case {
    std::vector<std::string> update;
    int rows;
  } cases[] = {
      {{"update", "YLDevice", "--where", "Name LIKE 'array-%'", "Flags = 5"}, 2},
      {{"update", "YLFLRSnapshot", "--where", "1=1", "Flags = 5"}, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(rows(c.update)[0]["rows"], c.rows) << c.update[1];
  EXPECT_EQ(rows({"list", "YLDevice", "--where", "Flags = 5", "--columns", "id"}),
            json::parse("[{\"id\":" + std::to_string(first) + "},{\"id\":" + std::to_string(second) + "}]"));

  struct Note {
    std::vector<std::string> insert;
    const char* note;  // null: none
  } notes[] = {
      {{"insert", "YLJobVolumeHistory", "JobId=7", "pruneTime=100"},
       "YLJobVolumeHistory.pruneTime is set by the library: stored 0, not 100"},
      {{"insert", "YLMountPoint", "DeviceNameId=1", "Path=/srv/a/"}, "YLMountPoint.Path is set by the library"},
      {{"insert", "YLJobVolumeHistory", "JobId=8", "pruneTime=0"}, nullptr},
  };
  for (const Note& n : notes) {
    Result result = repdb(n.insert);
    EXPECT_EQ(result.code, 0) << result.err;
    if (n.note)
      EXPECT_NE(result.err.find(n.note), std::string::npos) << result.err;
    else
      EXPECT_EQ(result.err, "");
  }
}

// Writers in several processes incrementing one row: each conflict restarts
// the command's transaction, so every command succeeds and no update is lost.
TEST_P(RepdbOnBoth, ConcurrentUpdatesAllSucceedWithTheExactCount) {
  init();
  int device = insert({"YLDevice", "Name=array-1"});
  constexpr int kProcesses = 4, kEach = 25;
  std::atomic<int> failures{0};
  std::string firstError;
  std::mutex errorLock;
  std::vector<std::thread> writers;
  for (int p = 0; p < kProcesses; ++p)
    writers.emplace_back([&, p] {
      const std::string err = m_dir.file(("writer" + std::to_string(p) + ".err").c_str());
      for (int i = 0; i < kEach; ++i) {
        int code = spawnQuiet({"--db", m_db, "update", "YLDevice", std::to_string(device), "Flags = Flags + 1"}, err);
        if (code != 0) {
          ++failures;
          std::lock_guard lock(errorLock);
          if (firstError.empty()) firstError = slurp(err);
        }
      }
    });
  for (std::thread& writer : writers) writer.join();
  EXPECT_EQ(failures.load(), 0) << firstError;
  EXPECT_EQ(rows({"get", "YLDevice", std::to_string(device)})[0]["Flags"], kProcesses * kEach);
}

// check: a clean catalogue passes; each planted fault (raw SQL past the
// facades) is found, named by table, and exits 4.
TEST_P(RepdbOnBoth, CheckPassesACleanCatalogueAndFindsEachPlantedFault) {
  init();
  int physical = insert({"YLPhysicalVolume", "LUN=1"});
  insert({"YLVolume", "PhysicalVolumeId=" + std::to_string(physical)});
  int point = insert({"YLFLRConsistencyPoint", "JobId=7"});
  insert({"YLFLRSnapshot", "Name=hourly", "ConsistencyPointId=" + std::to_string(point)});
  Result clean = repdb({"check"});
  EXPECT_EQ(clean.code, 0) << clean.out << clean.err;
  EXPECT_NE(clean.out.find("check: clean"), std::string::npos) << clean.out;

  auto plant = [&](const std::string& sql) {
    std::string error;
    std::shared_ptr<db::Database> database = db::Database::open(m_db, &error);
    ASSERT_TRUE(database) << error;
    ASSERT_EQ(database->exec(sql.c_str(), &error), 0) << error;
  };
  struct Case {
    const char* name;
    std::string sql;
    const char* table;
    const char* check;
    bool fileOnly = false;
  } cases[] = {
      {"volume without its physical volume", "UPDATE YLVolume SET PhysicalVolumeId = 777", "YLVolume",
       "references (PhysicalVolumeId) -> YLPhysicalVolume(id)"},
      {"snapshot without its consistency point", "DELETE FROM YLFLRConsistencyPoint", "YLFLRSnapshot",
       "references (ConsistencyPointId) -> YLFLRConsistencyPoint(id)"},
      {"file of no physical volume", "INSERT INTO YLFile (VolumeId, Name, Flags) VALUES (99, 'x', 0)", "YLFile",
       "references (VolumeId) -> YLPhysicalVolume(id)"},
      {"index that does not match its table",
       "PRAGMA writable_schema = ON; UPDATE sqlite_schema SET sql = 'CREATE INDEX YLVolume_physical ON YLVolume (CurrentRole)' "
       "WHERE name = 'YLVolume_physical'; UPDATE YLVolume SET CurrentRole = 0",
       "(database)", "integrity", true},
      {"table of another version", "UPDATE ZrSchemaVersion SET version = '9.9.9.9' WHERE tableName = 'YLVolume'",
       "(database)", "schema versions"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fileOnly && GetParam() != Storage::File) continue;
    plant(c.sql);
    Result found = repdb({"--json", "check"});
    EXPECT_EQ(found.code, 4) << found.err;
    ASSERT_FALSE(found.out.empty()) << found.err;
    bool seen = false;
    for (const json& finding : json::parse(found.out))
      if (finding["table"] == c.table && finding["check"] == c.check) seen = finding["problems"].get<int>() > 0;
    EXPECT_TRUE(seen) << found.out;
  }
}

// backup: a copy taken while writers insert passes check and holds exactly
// the rows of one committed state: ids 1..n, each as the source has it.
TEST_F(Repdb, BackupOfALiveCatalogueIsAConsistentCopy) {
  init();
  insert({"YLDevice", "Name=device-0"});
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w)
    writers.emplace_back([&, w] {
      const std::string err = m_dir.file(("backup-writer" + std::to_string(w) + ".err").c_str());
      for (int i = 0; i < 60 && !stop; ++i)
        spawnQuiet({"--db", m_db, "insert", "YLDevice", "Name=device-" + std::to_string(w) + "-" + std::to_string(i)}, err);
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::string copy = m_dir.file("copy.sqlite");
  Result backup = repdb({"backup", copy});
  stop = true;
  for (std::thread& writer : writers) writer.join();
  ASSERT_EQ(backup.code, 0) << backup.err;
  EXPECT_NE(backup.out.find("copied to"), std::string::npos) << backup.out;

  Result checked = exec({"--db", copy, "check"});
  EXPECT_EQ(checked.code, 0) << checked.out << checked.err;
  json source = rows({"list", "YLDevice", "--order", "id"});
  const std::string live = m_db;
  m_db = copy;
  json copied = rows({"list", "YLDevice", "--order", "id"});
  m_db = live;
  ASSERT_GE(copied.size(), 1u);
  ASSERT_LE(copied.size(), source.size());
  for (size_t i = 0; i < copied.size(); ++i) EXPECT_EQ(copied[i], source[i]) << i;  // a prefix: no gap, no torn row

  struct Refusal {
    std::vector<std::string> args;
    const char* message;
  } refusals[] = {
      {{"--db", "postgresql:///catalogue", "backup", m_dir.file("pg.dump")}, "use pg_dump"},
      {{"--db", m_db, "backup", copy}, "will not overwrite"},
  };
  for (const Refusal& r : refusals) {
    Result result = exec(r.args);
    EXPECT_EQ(result.code, 2);
    EXPECT_NE(result.err.find(r.message), std::string::npos) << result.err;
  }
}

// A catalogue of the release before revisions: readable with a note, its
// blocking rows listed (exit 4, nothing changed), mended, then upgraded once.
TEST_F(Repdb, UpgradeListsBlockingRowsThenRunsOnce) {
  std::filesystem::copy_file(std::string(DIVU_FIXTURES) + "/catalogue-r0.sqlite", m_db);
  Result tables = repdb({"tables"});
  ASSERT_EQ(tables.code, 0) << tables.err;
  EXPECT_NE(tables.out.find("schema revision 0 (this library's: 1)"), std::string::npos) << tables.out;
  EXPECT_NE(tables.err.find("'repdb upgrade' brings it to 1"), std::string::npos) << tables.err;
  ASSERT_EQ(repdb({"update", "YLDevice", "2", "Name = '" + std::string(300, 'n') + "'"}).code, 0);
  const std::string before = dumpDatabase("sqlite:" + m_db);

  for (const char* dryRun : {"--dry-run", ""}) {
    std::vector<std::string> args{"upgrade"};
    if (*dryRun) args.push_back(dryRun);
    Result blocked = repdb(args);
    EXPECT_EQ(blocked.code, 4) << blocked.out << blocked.err;
    EXPECT_NE(blocked.err.find("YLDevice (id = 2) Name = 'nnn"), std::string::npos) << blocked.err;
    EXPECT_EQ(dumpDatabase("sqlite:" + m_db), before);
  }
  ASSERT_EQ(repdb({"update", "YLDevice", "2", "Name = 'mended'"}).code, 0);
  Result upgraded = repdb({"upgrade"});
  ASSERT_EQ(upgraded.code, 0) << upgraded.err;
  for (const char* line : {"step 1 (value limits): to run", "  YLDevice: 2 of 2 rows", "step 1 (value limits): done",
                           "upgraded from schema revision 0 to 1"})
    EXPECT_NE(upgraded.out.find(line), std::string::npos) << upgraded.out;
  EXPECT_EQ(rows({"upgrade"}), json::parse(R"([{"from": 1, "to": 1, "dryRun": "false"}])"));
  tables = repdb({"tables"});
  EXPECT_NE(tables.out.find("schema revision 1 (this library's: 1)"), std::string::npos) << tables.out;
  EXPECT_EQ(tables.err, "");
}

TEST_F(Repdb, MountPathIsNormalisedWithoutADatabase) {
  struct Case {
    const char* given;
    json stored;
  } cases[] = {{"/srv/data/", "/srv/data"}, {"  /srv/x  ", "/srv/x"}, {R"(\\?\Volume{7}\)", nullptr}};
  for (const Case& c : cases) EXPECT_EQ(rows({"mount-path", c.given})[0]["stored"], c.stored) << c.given;
  EXPECT_FALSE(std::filesystem::exists(m_db));
}

TEST_F(Repdb, DatabaseComesFromOptionEnvironmentOrWorkingDirectory) {
  EXPECT_EQ(exec({"tables"}, {"REPDB_DB=" + m_db}).code, 1);  // init creates, nothing else does
  EXPECT_FALSE(std::filesystem::exists(m_db));
  EXPECT_EQ(exec({"init"}, {"REPDB_DB=" + m_db}).code, 0);
  EXPECT_TRUE(std::filesystem::exists(m_db));
  EXPECT_EQ(exec({"init"}, {}, m_dir.file("")).code, 0);
  EXPECT_TRUE(std::filesystem::exists(m_dir.file("repdb.sqlite")));
  // An empty --db is a usage error, not the default database.
  Result empty = exec({"--db", "", "tables"}, {"REPDB_DB=" + m_db}, m_dir.file(""));
  EXPECT_EQ(empty.code, 2);
  EXPECT_NE(empty.err.find("--db needs a database"), std::string::npos) << empty.err;
  // Whether or not the engine has a server backend, nothing answers there:
  // the engine's reason follows the tool's prefix.
  const std::string server = "postgresql://127.0.0.1:1/catalogue";
  Result unreachable = exec({"--db", server, "tables"});
  EXPECT_EQ(unreachable.code, 1);
  EXPECT_EQ(unreachable.err.rfind("repdb: cannot open " + server + ": ", 0), 0u) << unreachable.err;
  EXPECT_GT(unreachable.err.size(), server.size() + 22) << unreachable.err;
}

TEST_F(Repdb, DemoRunsAgainOnItsDatabaseAndRefusesOthers) {
  for (int run = 0; run < 2; ++run) {
    Result demo = repdb({"demo"});
    ASSERT_EQ(demo.code, 0) << demo.err;
    EXPECT_NE(demo.out.find("JMJobDataLink: 1 deleted"), std::string::npos) << demo.out;
    EXPECT_NE(demo.out.find("YLJobVolumeHistory: 1 deleted"), std::string::npos) << demo.out;
  }
  EXPECT_EQ(rows({"count", "YLVolume"})[0]["count"], 3);

  m_db = m_dir.file("other.sqlite");
  init();
  insert({"YLDevice", "Name=array-1"});
  Result refused = repdb({"demo"});
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find("did not make"), std::string::npos) << refused.err;
}

TEST_F(Repdb, BadDatabaseFilesExitOneWithAReasonAndStayUnchanged) {
  auto setVersion = [&](const char* sql) {
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(m_db.c_str(), &handle), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(handle, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(handle);
    sqlite3_close(handle);
  };
  struct Case {
    const char* name;
    std::function<std::string()> prepare;  // makes m_db, returns the --db text
    std::vector<std::vector<std::string>> refused;
    const char* reason;
  } cases[] = {
      {"not a database",
       [&] {
         std::ofstream(m_db, std::ios::binary) << std::string(8192, 'n');
         return m_db;
       },
       {{"count", "YLVolume"}, {"insert", "YLApplicationDirs", "clientId=2"}, {"init"}},
       "file is not a database"},
      {"a table of another version",
       [&] {
         init();
         insert({"YLApplicationDirs", "clientId=1", "path=/kept"});
         setVersion("UPDATE ZrSchemaVersion SET version = '9.9.9.9' WHERE tableName = 'YLVolume'");
         return m_db;
       },
       {{"count", "YLVolume"}, {"remove", "YLApplicationDirs", "1"}, {"init"}},
       "YLVolume has version 9.9.9.9"},
      {"an SQLite file of another program",
       [&] {
         sqlite3* handle = nullptr;
         EXPECT_EQ(sqlite3_open(m_db.c_str(), &handle), SQLITE_OK);
         EXPECT_EQ(sqlite3_exec(handle, "CREATE TABLE notes (a)", nullptr, nullptr, nullptr), SQLITE_OK);
         sqlite3_close(handle);
         return m_db;
       },
       {{"count", "YLVolume"}, {"list", "YLVolume"}, {"tables"}, {"remove", "YLApplicationDirs", "1"}},
       "not a catalogue"},
      {"opened read-only",
       [&] {
         init();
         insert({"YLApplicationDirs", "clientId=1", "path=/kept"});
         return "sqlite:file:" + m_db + "?mode=ro";
       },
       {{"insert", "YLApplicationDirs", "clientId=2"}, {"update", "YLApplicationDirs", "1", "Flags = 1"},
        {"remove", "YLApplicationDirs", "1"}},
       "readonly"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m_db = m_dir.file(("bad" + std::to_string(n++) + ".sqlite").c_str());
    std::string url = c.prepare();
    const std::string before = slurp(m_db);
    for (const auto& args : c.refused) {
      std::vector<std::string> command{"--db", url};
      command.insert(command.end(), args.begin(), args.end());
      Result result = exec(command);
      EXPECT_EQ(result.code, 1) << args[0] << ": " << result.out;
      EXPECT_NE(result.err.find(c.reason), std::string::npos) << args[0] << ": " << result.err;
      EXPECT_EQ(slurp(m_db), before) << args[0] << ": the file changed";
    }
  }
  // Read-only still reads.
  Result count = exec({"--db", "sqlite:file:" + m_db + "?mode=ro", "count", "YLApplicationDirs"});
  EXPECT_EQ(count.code, 0) << count.err;
  EXPECT_EQ(count.out, "1\n");
}

TEST_F(Repdb, ReadCommandsReadACatalogueInAFolderTheUserCannotWrite) {
  const std::string folder = m_dir.file("readonly");
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  m_db = folder + "/catalogue.sqlite";
  init();
  insert({"YLApplicationDirs", "clientId=1", "path=/kept"});
  const std::string before = slurp(m_db);
  // Root may write anywhere: run repdb as an unprivileged user then.
  std::vector<std::string> runAs;
  if (geteuid() == 0) {
    if (!std::filesystem::exists("/usr/bin/setpriv")) GTEST_SKIP() << "running as root without setpriv";
    runAs = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    std::filesystem::permissions(m_dir.file(""), std::filesystem::perms::all & ~std::filesystem::perms::group_write &
                                                     ~std::filesystem::perms::others_write);
  }
  std::filesystem::permissions(folder, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
                                           std::filesystem::perms::group_read | std::filesystem::perms::group_exec |
                                           std::filesystem::perms::others_read | std::filesystem::perms::others_exec);
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* out;  // on stdout (0) or stderr
  } cases[] = {
      {{"count", "YLApplicationDirs"}, 0, "1\n"},
      {{"list", "YLApplicationDirs", "--columns", "path"}, 0, "/kept"},
      {{"insert", "YLApplicationDirs", "clientId=2"}, 1, "cannot"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> command{"--db", m_db};
    command.insert(command.end(), c.args.begin(), c.args.end());
    Result result = exec(command, {}, "", runAs);
    SCOPED_TRACE(c.args[0] + ": " + result.err);
    EXPECT_EQ(result.code, c.code);
    EXPECT_NE((c.code == 0 ? result.out : result.err).find(c.out), std::string::npos) << result.out;
    EXPECT_EQ(slurp(m_db), before);
    EXPECT_FALSE(std::filesystem::exists(m_db + "-wal"));
    EXPECT_FALSE(std::filesystem::exists(m_db + "-shm"));
  }
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
}

TEST_F(Repdb, InvalidUtf8IsStoredAndPrintedAsValidJsonAndCsv) {
  init();
  const std::string invalid = "/bad/\xff\xfe/\xc3(";
  ASSERT_EQ(repdb({"insert", "YLApplicationDirs", "clientId=9", "path=" + invalid}).code, 0);
  json listed = rows({"list", "YLApplicationDirs"});
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["path"], "/bad/\uFFFD\uFFFD/\uFFFD(") << "each bad byte replaced";
  Result csv = repdb({"list", "YLApplicationDirs", "--csv", "--columns", "path"});
  EXPECT_EQ(csv.code, 0) << csv.err;
  EXPECT_NE(csv.out.find(invalid), std::string::npos) << "CSV carries the bytes as stored";
  EXPECT_EQ(repdb({"count", "YLApplicationDirs", "--where", "path = '" + invalid + "'"}).out, "1\n");
}

// --stats: the counters on stderr, so that list --json stays one JSON array
// on stdout; with --json they are one JSON object.
TEST_F(Repdb, StatsPrintTheCountersToStderrAfterTheCommand) {
  init();
  ASSERT_EQ(repdb({"insert", "YLApplicationDirs", "clientId=9", "path=/a"}).code, 0);
  Result listed = repdb({"--stats", "list", "YLApplicationDirs", "--json"});
  ASSERT_EQ(listed.code, 0) << listed.err;
  EXPECT_EQ(json::parse(listed.out).size(), 1u);
  json counters = json::parse(listed.err);
  EXPECT_GE(counters["statements"].get<int>(), 2) << listed.err;  // the count and the list
  EXPECT_EQ(counters["retries"], 0);
  Result human = repdb({"count", "YLApplicationDirs", "--stats"});
  EXPECT_EQ(human.out, "1\n");
  EXPECT_NE(human.err.find("repdb: statements "), std::string::npos) << human.err;
}

// Random rows of `def` as list --csv writes them (ids 1 to n, as a fresh
// table assigns them), with the line each row starts on.
struct CsvRows {
  std::vector<std::vector<std::string>> fields;  // [0]: the header
  std::string text(std::vector<size_t>* lines = nullptr) const {
    std::string out;
    size_t line = 1;
    for (const auto& row : fields) {
      if (lines) lines->push_back(line);
      for (size_t i = 0; i < row.size(); ++i) {
        const std::string& field = row[i];
        out += i ? "," : "";
        if (field.find_first_of(",\"\r\n") == std::string::npos) {
          out += field;
          continue;
        }
        out += '"';
        for (char c : field) out += c == '"' ? "\"\"" : std::string(1, c);
        out += '"';
        line += static_cast<size_t>(std::count(field.begin(), field.end(), '\n'));
      }
      out += "\r\n";
      ++line;
    }
    return out;
  }
};

CsvRows randomRows(const db::TableDef& def, int count, std::mt19937_64& random) {
  CsvRows rows;
  auto& header = rows.fields.emplace_back();
  for (const db::ColumnDef& column : def.columns) header.push_back(column.name);
  const std::string alphabet = "ab z,\"'\r\n/\\;";
  for (int r = 0; r < count; ++r) {
    auto& row = rows.fields.emplace_back();
    for (const db::ColumnDef& column : def.columns) {
      if (std::string_view(column.name) == def.serialColumn) {
        row.push_back(std::to_string(r + 1));
        continue;
      }
      switch (column.type) {
        case db::ColumnType::Int32: row.push_back(std::to_string(static_cast<int32_t>(random()))); break;
        case db::ColumnType::Int64:
        case db::ColumnType::Time64: row.push_back(std::to_string(static_cast<long long>(random()))); break;
        case db::ColumnType::Text:
        case db::ColumnType::OwnedText: {
          std::string text(random() % 30, ' ');
          for (char& c : text) c = alphabet[random() % alphabet.size()];
          row.push_back(text);
          break;
        }
      }
    }
  }
  return rows;
}

// import stores what list wrote, in either format, over more than one batch:
// listed again, the rows are the same bytes. A bad line stores nothing.
TEST_P(RepdbOnBoth, ImportReadsBackWhatListWrites) {
  std::mt19937_64 random(1209);
  std::vector<std::unique_ptr<PostgresSchema>> schemas;
  int fresh = 0;
  auto freshDatabase = [&] {
    if (GetParam() != Storage::Postgres) return m_dir.file(("fresh" + std::to_string(++fresh) + ".sqlite").c_str());
    schemas.push_back(std::make_unique<PostgresSchema>());
    EXPECT_EQ(schemas.back()->create(), "");
    return schemas.back()->url();
  };
  auto on = [&](const std::string& database, std::vector<std::string> args) {
    args.insert(args.begin(), {"--db", database});
    return exec(args);
  };
  for (const char* table : {"YLVolume", "YLFile"}) {
    SCOPED_TRACE(table);
    const db::TableDef& def = *catalogueTables()[static_cast<size_t>(
        std::find_if(catalogueTables().begin(), catalogueTables().end(),
                     [&](const db::TableDef* each) { return std::string_view(each->name) == table; }) -
        catalogueTables().begin())];
    CsvRows generated = randomRows(def, 1300, random);
    std::vector<size_t> lines;
    const std::string csv = generated.text(&lines);
    std::ofstream(m_dir.file("rows.csv"), std::ios::binary) << csv;

    const std::string first = freshDatabase();
    ASSERT_EQ(on(first, {"init"}).code, 0);
    Result imported = on(first, {"import", table, m_dir.file("rows.csv")});
    ASSERT_EQ(imported.code, 0) << imported.err;
    EXPECT_EQ(imported.err, "") << "no progress off a terminal";
    EXPECT_EQ(on(first, {"--csv", "list", table}).out, csv);

    Result json = on(first, {"--json", "list", table});
    std::ofstream(m_dir.file("rows.json"), std::ios::binary) << json.out;
    const std::string second = freshDatabase();
    ASSERT_EQ(on(second, {"init"}).code, 0);
    imported = on(second, {"import", table, m_dir.file("rows.json")});
    ASSERT_EQ(imported.code, 0) << imported.err;
    EXPECT_EQ(on(second, {"--json", "list", table}).out, json.out);

    // A value its column cannot take, past the first batch.
    CsvRows bad = generated;
    bad.fields[1200][1] = "12x";  // an integer column in both tables
    std::vector<size_t> badLines;
    std::ofstream(m_dir.file("bad.csv"), std::ios::binary) << bad.text(&badLines);
    const std::string third = freshDatabase();
    ASSERT_EQ(on(third, {"init"}).code, 0);
    Result refused = on(third, {"import", table, m_dir.file("bad.csv")});
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("line " + std::to_string(badLines[1200]) + ":"), std::string::npos) << refused.err;
    EXPECT_EQ(on(third, {"count", table}).out, "0\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, RepdbOnBoth, fileAndServer(), storageName);

}  // namespace
}  // namespace divu::test
