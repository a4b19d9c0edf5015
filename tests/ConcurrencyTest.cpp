// Many writers on one database: threads of this process and worker processes
// run read-modify-write transactions through the retry helper, and worker
// processes open a brand-new file at the same instant.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "ConcurrencySupport.h"
#include "TestSupport.h"

extern char** environ;

namespace divu::test {
namespace {

long long realtimeNs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A worker process with its output in files; the environment is inherited,
// so it runs on the same access path as this process.
class Worker {
 public:
  Worker(const TempDir& dir, const std::string& name, std::vector<std::string> args)
      : m_out(dir.file((name + ".out").c_str())), m_err(dir.file((name + ".err").c_str())) {
    args.insert(args.begin(), DIVU_WORKER_PATH);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    m_spawned = posix_spawn(&m_pid, DIVU_WORKER_PATH, &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  // The exit status (-1 when it did not exit normally).
  int wait() {
    if (!m_spawned) return -1;
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_spawned = false;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ~Worker() { wait(); }
  std::string out() const { return slurp(m_out); }
  std::string err() const { return slurp(m_err); }

 private:
  std::string m_out, m_err;
  pid_t m_pid = 0;
  bool m_spawned = false;
};

class ConcurrentWriters : public DatabaseTest, public testing::WithParamInterface<Storage> {
 protected:
  int addCounter(const char* path) {
    YLApplicationDirs_t row = makeDir(1, path);
    EXPECT_TRUE(m_dirs.insert(row, nullptr)) << m_dirs.m_dbError.m_errorText;
    return row.id;
  }
  int flags(int id) {
    YLApplicationDirs_t row;
    EXPECT_TRUE(m_dirs.getInfo(id, row, nullptr)) << m_dirs.m_dbError.m_errorText;
    return row.Flags;
  }
  ApplicationDirsDB m_dirs;
};

TEST_P(ConcurrentWriters, EightThreadsAndFourProcessesLoseNoUpdate) {
  // A relaxed sync keeps the file case about the locking, not the disk; a
  // short busy wait hands contention to the retry helper.
  openDatabase(GetParam(), GetParam() == Storage::File ? "synchronous=normal&busy_timeout=2" : "");
  if (IsSkipped() || HasFatalFailure()) return;
  constexpr int kThreads = 8, kProcesses = 4, kTransactions = 1000;
  const int shared = addCounter("/shared");
  std::vector<int> own;
  for (int i = 0; i < kThreads + kProcesses; ++i) own.push_back(addCounter("/own"));

  const long long start = realtimeNs() + 300'000'000LL;  // the processes open the database meanwhile
  std::vector<std::unique_ptr<Worker>> processes;
  for (int p = 0; p < kProcesses; ++p)
    processes.push_back(std::make_unique<Worker>(
        m_dir, "worker" + std::to_string(p),
        std::vector<std::string>{"increment", m_url, std::to_string(shared), std::to_string(own[kThreads + p]),
                                 std::to_string(kTransactions), std::to_string(start)}));

  std::vector<long> failures(kThreads, 0);
  std::vector<int> lastFailure(kThreads, db::kOk);  // the code, should a transaction run out of attempts
  std::vector<int> mostAttempts(kThreads, 0);       // how unevenly the conflicts fell
  db::fault::watch();  // counts the begins, retries included; fails nothing
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      while (realtimeNs() < start) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ApplicationDirsDB dirs;
      for (int i = 0; i < kTransactions; ++i) {
        int attempts = 0;
        if (int code = incrementCounters(dirs, shared, own[t], &attempts); code != db::kOk) {
          ++failures[t];
          lastFailure[t] = code;
        }
        mostAttempts[t] = std::max(mostAttempts[t], attempts);
      }
    });
  for (auto& thread : threads) thread.join();

  long begins = static_cast<long>(db::fault::seen(db::fault::Call::Begin)), totalFailures = 0;
  db::fault::clear();
  for (int t = 0; t < kThreads; ++t) {
    totalFailures += failures[t];
    EXPECT_EQ(flags(own[t]), kTransactions - failures[t]) << "thread " << t;
    EXPECT_EQ(failures[t], 0) << "thread " << t << ": last failure " << lastFailure[t] << " ("
                              << db::codeName(lastFailure[t]) << ")";
  }
  for (int p = 0; p < kProcesses; ++p) {
    Worker& worker = *processes[p];
    EXPECT_EQ(worker.wait(), 0) << "process " << p << ": " << worker.err();
    long processBegins = 0, processFailures = kTransactions;
    std::string word1, word2;
    std::istringstream parsed(worker.out());
    EXPECT_TRUE(parsed >> word1 >> processBegins >> word2 >> processFailures) << worker.out();
    begins += processBegins;
    totalFailures += processFailures;
    EXPECT_EQ(flags(own[kThreads + p]), kTransactions - processFailures) << "process " << p;
  }
  const long transactions = (kThreads + kProcesses) * kTransactions;
  const long committed = transactions - totalFailures;
  const long lost = committed - flags(shared);
  EXPECT_EQ(totalFailures, 0);
  EXPECT_EQ(lost, 0) << "lost updates";
  std::cout << "concurrent writers (" << storageLabel(GetParam()) << "): " << transactions << " transactions from "
            << kThreads << " threads and " << kProcesses << " processes, " << committed << " committed, "
            << begins - transactions << " retries (most attempts by one transaction: "
            << *std::max_element(mostAttempts.begin(), mostAttempts.end()) << "), " << lost << " lost updates\n";
  RecordProperty("transactions", static_cast<int>(transactions));
  RecordProperty("retries", static_cast<int>(begins - transactions));
  RecordProperty("lost_updates", static_cast<int>(lost));
}

INSTANTIATE_TEST_SUITE_P(Storages, ConcurrentWriters, testing::Values(Storage::File, Storage::Postgres),
                         storageName);

TEST(ConcurrentOpeners, ProcessesOpeningABrandNewFileTogetherAllSucceed) {
  constexpr int kRounds = 25, kProcesses = 4;
  TempDir dir;
  int failures = 0;
  std::string firstFailure;
  for (int round = 0; round < kRounds; ++round) {
    std::string url = "sqlite:" + dir.file(("new" + std::to_string(round) + ".sqlite").c_str());
    const long long start = realtimeNs() + 150'000'000LL;
    std::vector<std::unique_ptr<Worker>> workers;
    for (int p = 0; p < kProcesses; ++p)
      workers.push_back(std::make_unique<Worker>(dir, "opener" + std::to_string(p),
                                                 std::vector<std::string>{"open", url, std::to_string(start)}));
    for (auto& worker : workers) {
      if (worker->wait() == 0) continue;
      if (failures++ == 0) firstFailure = worker->err();
    }
  }
  EXPECT_EQ(failures, 0) << "of " << kRounds * kProcesses << " opens; the first: " << firstFailure;
  std::cout << "concurrent openers: " << kRounds * kProcesses << " opens of " << kRounds << " new files, " << failures
            << " failed\n";
}

}  // namespace
}  // namespace divu::test
