#include "Db/Database.h"

#include <array>
#include <chrono>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Db/Engine/Backend.h"
#include "Db/Engine/Lease.h"

namespace db {
namespace {

std::atomic<uint64_t> g_nextId{1};
std::mutex g_defaultMutex;
std::shared_ptr<Database> g_default;
std::atomic<uint64_t> g_defaultGeneration{1};

// The default database as this thread last saw it, re-read when it changes.
struct DefaultCache {
  uint64_t generation = 0;
  Database* database = nullptr;
};
thread_local DefaultCache tl_default;

// Databases not yet destroyed, and how many were destroyed so far: a thread
// that sees the count move drops its connections of the dead ones.
std::mutex g_liveMutex;
std::unordered_set<uint64_t> g_live;
std::atomic<uint64_t> g_destroyed{0};

using ConnectionList = std::vector<std::unique_ptr<engine::Lease>>;

// Closes connections of this thread. Cursors still open on them are ended
// first, so that their bindings never touch a closed connection.
void closeConnections(ConnectionList& connections, const char* why) {
  for (auto& lease : connections) lease->closeCursors(kMisuse, why);
  connections.clear();
}

// A database's connections of one thread: the primary's, then the read
// hosts'.
using RouteLists = std::array<ConnectionList, 2>;

void closeConnections(RouteLists& lists, const char* why) {
  for (ConnectionList& connections : lists) closeConnections(connections, why);
}

// The calling thread's connections, per database id. Destroyed (and so
// closed) when the thread ends.
struct ThreadConnections {
  std::unordered_map<uint64_t, RouteLists> byDatabase;
  uint64_t destroyedSeen = 0;
  // The lists last looked up, so that calls on one database skip the hash;
  // null once any entry is erased (the map keeps the others in place).
  uint64_t lastId = 0;
  RouteLists* last = nullptr;
  ~ThreadConnections() {
    last = nullptr;
    for (auto& [id, lists] : byDatabase) closeConnections(lists, "the thread of the cursor ended");
  }
  RouteLists& listsOf(uint64_t id) {
    if (last && lastId == id) return *last;
    RouteLists& lists = byDatabase[id];
    lastId = id;
    last = &lists;
    return lists;
  }
  void erase(std::unordered_map<uint64_t, RouteLists>::iterator it) {
    last = nullptr;
    byDatabase.erase(it);
  }
  // Drops the connections of databases destroyed since the last look.
  void dropDead() {
    uint64_t destroyed = g_destroyed.load(std::memory_order_acquire);
    if (destroyed == destroyedSeen) [[likely]] return;
    destroyedSeen = destroyed;
    last = nullptr;
    std::lock_guard<std::mutex> lock(g_liveMutex);
    for (auto it = byDatabase.begin(); it != byDatabase.end();) {
      if (g_live.count(it->first)) {
        ++it;
        continue;
      }
      closeConnections(it->second, "the database of the cursor was destroyed");
      it = byDatabase.erase(it);
    }
  }
};
thread_local ThreadConnections tl_connections;

// PrimaryOnly scopes open on this thread.
thread_local int tl_primaryOnly = 0;

}  // namespace

namespace engine {

PrimaryOnly::PrimaryOnly() { ++tl_primaryOnly; }
PrimaryOnly::~PrimaryOnly() { --tl_primaryOnly; }

void giveBack(Lease* lease) {
  Pool* pool = lease->pool();
  if (!pool || !pool->capped() || !lease->isFree() || lease->closing()) return;
  auto found = tl_connections.byDatabase.find(pool->databaseId);
  if (found == tl_connections.byDatabase.end()) return;
  ConnectionList& connections = found->second[static_cast<size_t>(pool->route)];
  for (auto it = connections.begin(); it != connections.end(); ++it) {
    if (it->get() != lease) continue;
    std::unique_ptr<Lease> moved = std::move(*it);
    connections.erase(it);
    std::unique_lock<std::mutex> lock(pool->mutex);
    if (pool->dead) {
      // Its database is gone: nobody will take it; close it (outside the
      // lock, which its destructor takes).
      lock.unlock();
      moved.reset();
      return;
    }
    pool->idle.push_back(std::move(moved));
    pool->freed.notify_one();
    return;
  }
}

}  // namespace engine

std::shared_ptr<Database> Database::open(std::string_view url, std::string* error) {
  std::string why;
  std::optional<DatabaseOptions> options = DatabaseOptions::parse(url, &why);
  if (!options) {
    if (error) *error = redactUrl(url, "cannot open " + std::string(url) + ": " + why);
    return nullptr;
  }
  return open(*options, error);
}

std::shared_ptr<Database> Database::open(const DatabaseOptions& options, std::string* error) {
  std::string why;
  std::shared_ptr<Database> database = options.check(&why) ? openUnchecked(options, &why) : nullptr;
  // Every text about a URL names it once, and never shows its password (nor
  // one a caller put into the target since).
  if (!database && error)
    *error = redactUrl(options.target, redactUrl(options.url, "cannot open " + options.url + ": " + why));
  return database;
}

std::shared_ptr<Database> Database::openUnchecked(const DatabaseOptions& options, std::string* error) {
  std::unique_ptr<engine::Backend> backend = engine::makeBackend(options, error);
  if (!backend) return nullptr;
  std::unique_ptr<engine::Backend> readBackend;
  if (!options.readHosts.empty()) {
    // The read hosts' sessions are read only: a write sent there by mistake
    // fails at once instead of at the standby's refusal.
    DatabaseOptions reads = options;
    std::optional<std::string> target = options.readTarget(error);
    if (!target) return nullptr;
    reads.target = *target;
    reads.readHosts.clear();
    reads.readOnly = true;
    if (!(readBackend = engine::makeBackend(reads, error))) return nullptr;
  }
  std::shared_ptr<Database> database(new Database(options, std::move(backend), std::move(readBackend)));
  // Connect once now, so that a bad path is reported here and not at first use.
  for (Route route : {Route::Primary, Route::Reads}) {
    engine::Lease* lease = nullptr;
    if (database->autocommitLease(lease, error, route) != kOk) {
      if (error && route == Route::Reads) *error = "read_hosts: " + *error;
      return nullptr;
    }
    engine::giveBack(lease);
  }
  if (database->m_backend->needsKeeper() && database->openConnection(database->m_keeper, error) != kOk)
    return nullptr;
  return database;
}

Database::Database(DatabaseOptions options, std::unique_ptr<engine::Backend> backend,
                   std::unique_ptr<engine::Backend> readBackend)
    : m_id(g_nextId.fetch_add(1)),
      m_options(std::move(options)),
      m_url(redactUrl(m_options.url)),
      m_backend(std::move(backend)),
      m_readBackend(std::move(readBackend)),
      m_stats(std::make_shared<engine::Stats>()) {
  m_stats->name = m_backend->databaseName();
  m_stats->system = m_backend->name();
  for (int route = 0; route < 2; ++route) {
    m_pools[route] =
        std::make_shared<engine::Pool>(m_options.maxConnections, m_options.connectionWaitMs, m_id, route);
    m_pools[route]->stats = m_stats;
  }
  std::lock_guard<std::mutex> lock(g_liveMutex);
  g_live.insert(m_id);
}

Database::~Database() {
  {
    std::lock_guard<std::mutex> lock(g_liveMutex);
    g_live.erase(m_id);
  }
  g_destroyed.fetch_add(1, std::memory_order_release);
  // This thread's connections close now; another thread's close at its next
  // engine call (or when it ends): only the owning thread may touch them.
  auto found = tl_connections.byDatabase.find(m_id);
  if (found != tl_connections.byDatabase.end()) {
    closeConnections(found->second, "the database of the cursor was destroyed");
    tl_connections.erase(found);
  }
  // The idle ones belong to no thread: they close here, outside the pool's
  // lock (each lease takes it as it closes).
  for (auto& pool : m_pools) {
    ConnectionList idle;
    {
      std::lock_guard<std::mutex> lock(pool->mutex);
      pool->dead = true;
      idle.swap(pool->idle);
    }
  }
}

void Database::setDefault(std::shared_ptr<Database> database) {
  std::lock_guard<std::mutex> lock(g_defaultMutex);
  g_default = std::move(database);
  g_defaultGeneration.fetch_add(1, std::memory_order_release);
}

Database* Database::defaultForThisThread() {
  uint64_t generation = g_defaultGeneration.load(std::memory_order_acquire);
  if (tl_default.generation != generation) {
    std::lock_guard<std::mutex> lock(g_defaultMutex);
    tl_default.database = g_default.get();
    tl_default.generation = g_defaultGeneration.load(std::memory_order_relaxed);
  }
  return tl_default.database;
}

std::shared_ptr<Database> Database::getDefault() {
  std::lock_guard<std::mutex> lock(g_defaultMutex);
  return g_default;
}

const char* Database::backendName() const { return m_backend->name(); }
SqlDialect Database::dialect() const { return m_backend->dialect(); }

int Database::openConnection(std::unique_ptr<engine::Connection>& out, std::string* error) {
  return m_backend->connect(out, error);
}

int Database::openConnections(Route route) const { return m_pools[routeIndex(route)]->open.load(); }
int Database::peakConnections(Route route) const { return m_pools[routeIndex(route)]->peak.load(); }

Counters Database::counters() const {
  auto read = [](const std::atomic<uint64_t>& counter) { return counter.load(std::memory_order_relaxed); };
  const engine::Stats& stats = *m_stats;
  Counters out;
  out.statements = read(stats.statements);
  out.prepares = read(stats.prepares);
  out.cacheHits = read(stats.cacheHits);
  out.cacheMisses = read(stats.cacheMisses);
  out.retries = read(stats.retries);
  out.restarts = read(stats.restarts);
  out.outcomesInDoubt = read(stats.outcomesInDoubt);
  out.reconnects = read(stats.reconnects);
  out.connectionWaits = read(stats.connectionWaits);
  out.connectionsOpen = m_pools[0]->open.load(std::memory_order_relaxed);
  if (m_readBackend) out.connectionsOpen += m_pools[1]->open.load(std::memory_order_relaxed);
  return out;
}

// The list a route's connections live in: reads have their own only with
// read hosts, and not inside schema work.
int Database::routeIndex(Route route) const {
  return route == Route::Reads && m_readBackend && tl_primaryOnly == 0 ? 1 : 0;
}

// A lease on a connection of `route` for the calling thread: a new one, or
// with a cap an idle one of the pool, or one that comes free or may be opened
// within the wait.
int Database::newLease(int route, std::unique_ptr<engine::Lease>& out, std::string* error,
                       std::chrono::steady_clock::time_point transactionDeadline) {
  engine::Pool& pool = *m_pools[route];
  engine::Backend& backend = route == 1 ? *m_readBackend : *m_backend;
  auto connect = [&]() {
    std::unique_ptr<engine::Connection> opened;
    int code = backend.connect(opened, error);
    if (code == kOk)
      out = std::make_unique<engine::Lease>(std::move(opened), m_pools[route]);
    else
      pool.open.fetch_sub(1);
    return code;
  };
  if (!pool.capped()) {
    pool.counted();
    return connect();
  }
  std::unique_lock<std::mutex> lock(pool.mutex);
  const auto waitEnds = std::chrono::steady_clock::now() + std::chrono::milliseconds(pool.waitMs);
  const auto deadline = std::min(waitEnds, transactionDeadline);
  for (bool waited = false;; waited = true) {
    if (!pool.idle.empty()) {
      out = std::move(pool.idle.back());
      pool.idle.pop_back();
      lock.unlock();
      out->connection().adoptedByThisThread();
      return kOk;
    }
    if (pool.open.load() < pool.cap) {
      pool.counted();  // taken while locked, so that no two threads pass the cap
      lock.unlock();
      int code = connect();
      if (code != kOk) {
        lock.lock();
        pool.freed.notify_one();
      }
      return code;
    }
    if (!waited) engine::Stats::bump(m_stats->connectionWaits);
    if (pool.freed.wait_until(lock, deadline) == std::cv_status::timeout && pool.idle.empty() &&
        pool.open.load() >= pool.cap) {
      const bool deadlineFirst = deadline < waitEnds;
      if (error)
        *error = (deadlineFirst ? std::string("the transaction's deadline passed while it waited for a connection")
                                : "no connection came free within " + std::to_string(pool.waitMs) + " ms") +
                 ": all " + std::to_string(pool.cap) + " (max_connections) are in use" +
                 (route == 1 ? " on the read hosts" : "");
      return deadlineFirst ? kStatementTimeout : kNoConnection;
    }
  }
}

// The first free connection of the calling thread, or a new one. Autocommit
// work takes no connection with an open cursor either: it would run in that
// cursor's old snapshot (stale reads, and a write there must restart).
int Database::freeLease(engine::Lease*& out, std::string* error, Route route,
                         std::chrono::steady_clock::time_point deadline) {
  ThreadConnections& thread = tl_connections;  // one access to the thread-local
  thread.dropDead();
  const int index = routeIndex(route);
  auto& connections = thread.listsOf(m_id)[static_cast<size_t>(index)];
  for (auto& lease : connections) {
    if (lease->isAbandoned()) {
      // Its transaction was destroyed on another thread: end it here.
      lease->closeCursors(kMisuse, "the transaction of the cursor was destroyed");
      lease->connection().rollback();
      lease->release();
    }
    if (lease->isFree()) {
      out = lease.get();
      return kOk;
    }
  }
  std::unique_ptr<engine::Lease> lease;
  if (int code = newLease(index, lease, error, deadline); code != kOk) return code;
  connections.push_back(std::move(lease));
  out = connections.back().get();
  return kOk;
}

int Database::acquireForTransaction(engine::Lease*& out, std::string* error, Route route,
                                    std::chrono::steady_clock::time_point deadline) {
  return freeLease(out, error, route, deadline);
}

int Database::autocommitLease(engine::Lease*& out, std::string* error, Route route) {
  return freeLease(out, error, route);
}

int Database::autocommitConnection(engine::Connection*& out, std::string* error) {
  engine::Lease* lease = nullptr;
  if (int code = freeLease(lease, error, Route::Primary); code != kOk) return code;
  out = &lease->connection();
  return kOk;
}

void Database::discardConnection(engine::Lease* lease) {
  for (ConnectionList& connections : tl_connections.byDatabase[m_id]) {
    for (auto it = connections.begin(); it != connections.end(); ++it) {
      if (it->get() == lease) {
        lease->closeCursors(kMisuse, "the connection of the cursor was closed");
        connections.erase(it);
        return;
      }
    }
  }
}

int Database::exec(const char* sql, std::string* error) {
  engine::Lease* lease = nullptr;
  if (int code = freeLease(lease, error, Route::Primary); code != kOk) return code;
  engine::GiveBackOnExit giveBack(lease);
  engine::Connection* connection = &lease->connection();
  int code = connection->exec(sql);
  if (code != kOk && error) *error = connection->lastErrorText();
  return code;
}

}  // namespace db
