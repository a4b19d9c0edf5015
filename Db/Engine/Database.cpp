#include "Db/Database.h"

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

// The calling thread's connections, per database id. Destroyed (and so
// closed) when the thread ends.
struct ThreadConnections {
  std::unordered_map<uint64_t, ConnectionList> byDatabase;
  uint64_t destroyedSeen = 0;
  ~ThreadConnections() {
    for (auto& [id, connections] : byDatabase) closeConnections(connections, "the thread of the cursor ended");
  }
  // Drops the connections of databases destroyed since the last look.
  void dropDead() {
    uint64_t destroyed = g_destroyed.load(std::memory_order_acquire);
    if (destroyed == destroyedSeen) return;
    destroyedSeen = destroyed;
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

}  // namespace

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
  std::shared_ptr<Database> database(new Database(options, std::move(backend)));
  // Connect once now, so that a bad path is reported here and not at first use.
  engine::Connection* connection = nullptr;
  if (database->autocommitConnection(connection, error) != kOk) return nullptr;
  if (database->m_backend->needsKeeper() && database->openConnection(database->m_keeper, error) != kOk)
    return nullptr;
  return database;
}

Database::Database(DatabaseOptions options, std::unique_ptr<engine::Backend> backend)
    : m_id(g_nextId.fetch_add(1)),
      m_options(std::move(options)),
      m_url(redactUrl(m_options.url)),
      m_backend(std::move(backend)) {
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
    tl_connections.byDatabase.erase(found);
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

// The first free connection of the calling thread, or a new one. Autocommit
// work takes no connection with an open cursor either: it would run in that
// cursor's old snapshot (stale reads, and a write there must restart).
int Database::freeLease(engine::Lease*& out, std::string* error) {
  tl_connections.dropDead();
  auto& connections = tl_connections.byDatabase[m_id];
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
  std::unique_ptr<engine::Connection> opened;
  if (int code = openConnection(opened, error); code != kOk) return code;
  connections.push_back(std::make_unique<engine::Lease>(std::move(opened)));
  out = connections.back().get();
  return kOk;
}

int Database::acquireForTransaction(engine::Lease*& out, std::string* error) { return freeLease(out, error); }

int Database::autocommitLease(engine::Lease*& out, std::string* error) { return freeLease(out, error); }

int Database::autocommitConnection(engine::Connection*& out, std::string* error) {
  engine::Lease* lease = nullptr;
  if (int code = freeLease(lease, error); code != kOk) return code;
  out = &lease->connection();
  return kOk;
}

void Database::discardConnection(engine::Lease* lease) {
  auto& connections = tl_connections.byDatabase[m_id];
  for (auto it = connections.begin(); it != connections.end(); ++it) {
    if (it->get() == lease) {
      lease->closeCursors(kMisuse, "the connection of the cursor was closed");
      connections.erase(it);
      return;
    }
  }
}

int Database::exec(const char* sql, std::string* error) {
  engine::Connection* connection = nullptr;
  if (int code = autocommitConnection(connection, error); code != kOk) return code;
  int code = connection->exec(sql);
  if (code != kOk && error) *error = connection->lastErrorText();
  return code;
}

}  // namespace db
