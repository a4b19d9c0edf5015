// Writers through the facades and DBtran::run on a replicated PostgreSQL
// cluster, while the leader node is killed again and again; then every
// outcome the library reported is checked against what the new primary holds,
// read with a raw libpq client.
//
//   divu_failover --url URL --cluster DIR [--kills N] [--writers N] [--settle S]
//
// URL is the cluster's multi-host libpq URL (target_session_attrs=read-write);
// DIR is the folder of a cluster started by tools/ha/cluster.sh, whose
// kill-leader, leader and rejoin commands this program calls. Each
// transaction writes a row named by a marker no other transaction uses, so
// the row count of a marker tells whether the work is stored, and how often.
// Exit 0 when nothing reported committed is missing or doubled, nothing
// reported failed is present, and every in-doubt commit was resolved.
#include <libpq-fe.h>

#include <DivUdurezevudoZE/Catalogue.h>
#include <DivUdurezevudoZE/SnapEngineInfoDB.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs a cluster.sh command; its first output line.
std::string cluster(const std::string& script, const std::string& command, const std::string& dir,
                    const std::string& arg = "") {
  std::string line = script + " " + command + " '" + dir + "'" + (arg.empty() ? "" : " '" + arg + "'") + " 2>/dev/null";
  FILE* pipe = popen(line.c_str(), "r");
  if (!pipe) return "";
  char buffer[256] = {0};
  std::string out = fgets(buffer, sizeof buffer, pipe) ? buffer : "";
  while (fgets(buffer, sizeof buffer, pipe)) {
  }
  int status = pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return status == 0 ? out : "";
}

// What the library reported for each marker.
struct Outcomes {
  std::mutex mutex;
  std::map<std::string, int> code;  // marker -> run's result
  std::map<int, long> byCode;
};

std::atomic<bool> g_stop{false};
std::atomic<long> g_commits{0};
std::atomic<long> g_looks{0};       // in-doubt commits looked up
std::atomic<long> g_lookFound{0};   // ...and found stored
long long now() { return Clock::now().time_since_epoch().count(); }

// The kill being measured (Clock ticks; 0: none), and the first commit of a
// transaction begun after it.
struct Recovery {
  std::mutex mutex;
  long long killAt = 0;
  long long firstCommit = 0;

  void kill(long long at) {
    std::lock_guard<std::mutex> lock(mutex);
    killAt = at;
    firstCommit = 0;
  }
  void committed(long long begun, long long at) {
    std::lock_guard<std::mutex> lock(mutex);
    if (killAt && begun > killAt && !firstCommit) firstCommit = at;
  }
  // Seconds from the kill to that commit; negative while there is none.
  double seconds() {
    std::lock_guard<std::mutex> lock(mutex);
    return firstCommit ? std::chrono::duration<double>(Clock::duration(firstCommit - killAt)).count() : -1;
  }
} g_recovery;

void writer(int id, const std::string& run, Outcomes& outcomes) {
  CSnapEngineInfoDB engines;
  for (long sequence = 0; !g_stop.load(); ++sequence) {
    std::string marker = run + "-w" + std::to_string(id) + "-" + std::to_string(sequence);
    long long begun = now();
    int code = DBtran::run(
        [&](DBtran& tran) {
          YLSnapEngineInfo_t row;
          strcpy_s(row.name, sizeof row.name, marker.c_str());
          row.Type = id;
          if (!engines.insert(row, &tran)) return engines.m_dbError.m_errorCode;
          // A second statement, so that a kill can fall between the two.
          if (!engines.Update(row.id, "Flags = Flags + 1", &tran)) return engines.m_dbError.m_errorCode;
          return db::kOk;
        },
        [&](DBtran& tran) {
          g_looks.fetch_add(1);
          std::string where = "name = '" + marker + "'";
          unsigned int count = 0;
          if (!engines.getNRows(where.c_str(), count, &tran)) return engines.m_dbError.m_errorCode;
          if (count > 0) g_lookFound.fetch_add(1);
          return count > 0 ? db::kOk : db::kNoRow;
        },
        db::RetryPolicy{.maxAttempts = 20, .firstDelayMs = 5, .maxDelayMs = 500, .reconnectMs = 60000});
    if (code == db::kOk) {
      g_commits.fetch_add(1);
      g_recovery.committed(begun, now());
    }
    std::lock_guard<std::mutex> lock(outcomes.mutex);
    outcomes.code[marker] = code;
    ++outcomes.byCode[code];
  }
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string url, dir, script = "tools/ha/cluster.sh";
  int kills = 5, writers = 4;
  double settle = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    if (flag == "--url") url = argv[i + 1];
    else if (flag == "--cluster") dir = argv[i + 1];
    else if (flag == "--script") script = argv[i + 1];
    else if (flag == "--kills") kills = atoi(argv[i + 1]);
    else if (flag == "--writers") writers = atoi(argv[i + 1]);
    else if (flag == "--settle") settle = atof(argv[i + 1]);
  }
  if (url.empty() || dir.empty()) {
    fprintf(stderr, "usage: divu_failover --url URL --cluster DIR [--script cluster.sh] [--kills N] [--writers N] [--settle S]\n");
    return 2;
  }

  std::string error;
  std::shared_ptr<db::Database> database = divu::openCatalogue(url, &error);
  if (!database || divu::createCatalogue(*database, &error) != db::kOk) {
    fprintf(stderr, "cannot use %s: %s\n", url.c_str(), error.c_str());
    return 1;
  }
  db::Database::setDefault(database);

  const std::string run = "fo" + std::to_string(getpid()) + "-" + std::to_string(time(nullptr));
  Outcomes outcomes;
  std::vector<std::thread> threads;
  for (int i = 0; i < writers; ++i) threads.emplace_back(writer, i, std::cref(run), std::ref(outcomes));

  struct Kill {
    std::string node;
    double detected = -1;   // a new leader reported by the cluster manager
    double recovered = -1;  // the first commit of a transaction begun after the kill
  };
  std::vector<Kill> done;
  std::this_thread::sleep_for(std::chrono::duration<double>(settle));
  for (int k = 0; k < kills; ++k) {
    g_recovery.kill(0);
    long before = g_commits.load();
    Kill kill;
    kill.node = cluster(script, "kill-leader", dir);
    // From the kill's return: a transaction begun before it may still have
    // committed on the old leader.
    Clock::time_point start = Clock::now();
    g_recovery.kill(now());
    if (kill.node.empty()) {
      fprintf(stderr, "kill %d: no leader to kill\n", k + 1);
      break;
    }
    while (secondsSince(start) < 120 && (kill.detected < 0 || g_recovery.seconds() < 0)) {
      if (kill.detected < 0) {
        std::string leader = cluster(script, "leader", dir);
        if (!leader.empty() && leader != kill.node) kill.detected = secondsSince(start);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill.recovered = g_recovery.seconds();
    printf("kill %d: %s; new leader after %.1f s, first commit after %.1f s (%ld commits before)\n", k + 1,
           kill.node.c_str(), kill.detected, kill.recovered, before);
    fflush(stdout);
    done.push_back(kill);
    if (kill.recovered < 0) break;
    // The killed node comes back as a standby, so that the next kill again
    // has a synchronous standby to fail over to.
    if (system((script + " rejoin '" + dir + "' '" + kill.node + "' >/dev/null 2>&1").c_str()) != 0) {
      fprintf(stderr, "kill %d: %s did not rejoin\n", k + 1, kill.node.c_str());
      break;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(settle));
  }
  g_stop.store(true);
  for (auto& thread : threads) thread.join();

  // The oracle: what the primary holds, read by libpq alone.
  PGconn* conn = PQconnectdb(url.c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    fprintf(stderr, "oracle cannot connect: %s", PQerrorMessage(conn));
    return 1;
  }
  std::string sql = "SELECT name, count(*) FROM YLSnapEngineInfo WHERE name LIKE '" + run + "-%' GROUP BY name";
  PGresult* result = PQexec(conn, sql.c_str());
  if (PQresultStatus(result) != PGRES_TUPLES_OK) {
    fprintf(stderr, "oracle query failed: %s", PQerrorMessage(conn));
    return 1;
  }
  std::map<std::string, long> stored;
  for (int i = 0; i < PQntuples(result); ++i) stored[PQgetvalue(result, i, 0)] = atol(PQgetvalue(result, i, 1));
  PQclear(result);
  PQfinish(conn);

  long committed = 0, failed = 0, lost = 0, doubled = 0, phantom = 0, unresolved = 0;
  for (const auto& [marker, code] : outcomes.code) {
    long count = stored.count(marker) ? stored[marker] : 0;
    if (code == db::kOk) {
      ++committed;
      lost += count == 0;
      doubled += count > 1;
    } else if (code == db::kOutcomeInDoubt) {
      ++unresolved;
      doubled += count > 1;
    } else {
      ++failed;
      phantom += count > 0;
    }
  }
  long strays = 0;  // stored under a marker nobody reported on
  for (const auto& [marker, count] : stored) strays += outcomes.code.count(marker) ? 0 : count;

  std::vector<double> detected, recovered;
  for (const Kill& kill : done) {
    if (kill.detected >= 0) detected.push_back(kill.detected);
    if (kill.recovered >= 0) recovered.push_back(kill.recovered);
  }
  printf("failover: %zu of %d kills, %d writers\n", done.size(), kills, writers);
  printf("transactions: %ld committed, %ld failed", committed, failed);
  for (const auto& [code, count] : outcomes.byCode)
    if (code != db::kOk) printf(" [%d: %ld]", code, count);
  printf("\nin doubt: %ld looked up, %ld found stored, %ld not stored and run again, %ld unresolved\n", g_looks.load(),
         g_lookFound.load(), g_looks.load() - g_lookFound.load(), unresolved);
  printf("lost %ld, doubled %ld, stored though reported failed %ld, stored unreported %ld\n", lost, doubled, phantom,
         strays);
  if (!detected.empty())
    printf("new leader after a kill: median %.1f s, worst %.1f s\n", median(detected),
           *std::max_element(detected.begin(), detected.end()));
  if (!recovered.empty())
    printf("first commit after a kill: median %.1f s, worst %.1f s\n", median(recovered),
           *std::max_element(recovered.begin(), recovered.end()));
  bool ok = static_cast<int>(recovered.size()) == kills && lost == 0 && doubled == 0 && phantom == 0 &&
            strays == 0 && unresolved == 0 && committed > 0;
  printf("%s\n", ok ? "failover: ok" : "failover: FAILED");
  return ok ? 0 : 1;
}
