// Watches the library at work: a statement hook logs every statement slower
// than a threshold, log_error's lines go to the program's own logger, and
// the database's counters are printed as the work goes on. The work is a
// short loop of inserts, reads, updates, counts and deletes on an embedded
// database in a temporary file.
//
//   observe_example [SLOW-MS] [SECONDS]     (defaults: 5 ms, 2 s)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Db/Observe.h"
#include "DivUdurezevudoZE/ApplicationDirsDB.h"
#include "DivUdurezevudoZE/Catalogue.h"
#include "ZrLib/ZrLib.h"

namespace {

void printCounters(const db::Database& database, double elapsed) {
  const db::Counters c = database.counters();
  printf("[%5.2f s] statements %llu, compiled %llu, cache hits %llu / misses %llu, retries %llu, restarts %llu, "
         "in doubt %llu, connections open %d\n",
         elapsed, c.statements, c.prepares, c.cacheHits, c.cacheMisses, c.retries, c.restarts, c.outcomesInDoubt,
         c.connectionsOpen);
}

}  // namespace

int main(int argc, char** argv) {
  const double slowMs = argc > 1 ? atof(argv[1]) : 5.0;
  const double seconds = argc > 2 ? atof(argv[2]) : 2.0;
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("observe_example-" + std::to_string(getpid()) + ".sqlite");

  // The program's logger: here a prefix on stderr.
  zrSetLogHandler([](ZrLogLevel, const char* where, int line, const char* text) {
    fprintf(stderr, "app-log error %s:%d: %s\n", where, line, text);
  });

  // One line per slow statement, its attributes under the names tracing
  // systems use for databases.
  const auto threshold = std::chrono::duration<double, std::milli>(slowMs);
  db::observe::setHook({nullptr, [threshold](const db::observe::Statement& s) {
                          if (s.duration < threshold) return;
                          printf("slow statement: %.2f ms, code %d, rows %lld, attempt %d",
                                 std::chrono::duration<double, std::milli>(s.duration).count(), s.code, s.rows,
                                 s.attempt);
                          for (const db::observe::Attribute& a : s.attributes()) {
                            printf(" %.*s=\"", static_cast<int>(a.key.size()), a.key.data());
                            for (char c : a.value) putchar(c == '\n' ? ' ' : c);  // one line per statement
                            putchar('"');
                          }
                          printf("\n");
                        }});

  std::string error;
  std::shared_ptr<db::Database> database = divu::openCatalogue("sqlite:" + file.string(), &error);
  if (!database || divu::createCatalogue(*database, &error) != db::kOk) {
    fprintf(stderr, "cannot use %s: %s\n", file.c_str(), error.c_str());
    return 1;
  }
  db::Database::setDefault(database);
  printf("database %s; logging statements slower than %.2f ms for %.1f s\n", file.c_str(), slowMs, seconds);

  ApplicationDirsDB dirs;
  const auto begun = std::chrono::steady_clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count(); };
  double nextReport = 0.5;
  int failures = 0;
  for (int round = 0; elapsed() < seconds; ++round) {
    YLApplicationDirs_t row;
    row.clientId = round % 7;
    row.subclientId = round;
    strcpy_s(row.objName, sizeof row.objName, ("object-" + std::to_string(round)).c_str());
    strcpy_s(row.path, sizeof row.path, "/srv/data");
    YLApplicationDirs_t read;
    unsigned int count = 0;
    bool done = dirs.insert(row, nullptr) && dirs.getInfo(row.id, read, nullptr) &&
                dirs.Update(row.id, "Flags = 4", nullptr) && dirs.getNRows("clientId = 3", count, nullptr);
    // Every tenth row goes again: the table keeps growing slowly.
    if (done && round % 10 == 0) done = dirs.remove(("id = " + std::to_string(row.id)).c_str(), nullptr);
    if (!done) ++failures;
    if (elapsed() >= nextReport && elapsed() < seconds) {
      printCounters(*database, elapsed());
      nextReport += 0.5;
    }
  }
  printCounters(*database, elapsed());

  db::observe::setHook({});
  db::Database::setDefault(nullptr);
  database.reset();
  zrSetLogHandler(nullptr);
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(file.string() + suffix);
  return failures == 0 ? 0 : 1;
}
