// SQLite backend: connections with a busy wait (WAL mode once the database
// holds data of ours), a per-connection LRU cache of prepared statements, and
// the one mapping of SQLite result codes to engine codes.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "Db/Engine/Backend.h"

namespace db::engine {
namespace {

constexpr size_t kStatementCacheSize = 128;

// The open connections of one database and their threads, so that a
// connection that meets the write lock can tell whether its own thread holds
// it: then no wait can help, as only this thread could release it.
struct ConnectionRegistry {
  std::mutex mutex;
  std::vector<std::pair<std::thread::id, sqlite3*>> open;

  void add(sqlite3* db) {
    std::lock_guard<std::mutex> lock(mutex);
    open.emplace_back(std::this_thread::get_id(), db);
  }
  void remove(sqlite3* db) {
    std::lock_guard<std::mutex> lock(mutex);
    std::erase_if(open, [db](const auto& entry) { return entry.second == db; });
  }
  // The calling thread uses `db` from now on (handed over by a capped pool).
  void adopt(sqlite3* db) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& entry : open)
      if (entry.second == db) entry.first = std::this_thread::get_id();
  }
  // Whether another connection of the calling thread holds a write
  // transaction. Only the calling thread's handles are looked into, and only
  // that thread uses them.
  bool otherHoldsWriteLock(sqlite3* self) {
    std::lock_guard<std::mutex> lock(mutex);
    const std::thread::id thread = std::this_thread::get_id();
    for (const auto& [owner, db] : open)
      if (owner == thread && db != self && sqlite3_txn_state(db, nullptr) == SQLITE_TXN_WRITE) return true;
    return false;
  }
};

class SqliteConnection;

class SqliteStatement final : public Statement {
 public:
  SqliteStatement(SqliteConnection& connection, sqlite3_stmt* stmt, std::string sql, bool cached)
      : m_connection(connection), m_stmt(stmt), m_cached(cached) {
    m_sql = std::move(sql);
  }
  ~SqliteStatement() override { sqlite3_finalize(m_stmt); }

  void bindNull(int index) override { sqlite3_bind_null(m_stmt, index); }
  void bindInt64(int index, long long value) override { sqlite3_bind_int64(m_stmt, index, value); }
  void bindText(int index, const char* text, size_t length) override {
    sqlite3_bind_text64(m_stmt, index, text, length, SQLITE_STATIC, SQLITE_UTF8);
  }
  int parameterCount() const override { return sqlite3_bind_parameter_count(m_stmt); }
  int step() override;
  bool columnIsNull(int index) const override { return sqlite3_column_type(m_stmt, index) == SQLITE_NULL; }
  long long columnInt64(int index) const override { return sqlite3_column_int64(m_stmt, index); }
  std::string_view columnText(int index) const override {
    const unsigned char* text = sqlite3_column_text(m_stmt, index);
    if (!text) return {};
    return {reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(m_stmt, index))};
  }

  bool readRow(const db::TableDef& def, bool nulls, ColumnValue* out) const override {
    return readRowWith(*this, def, nulls, out);
  }
  int readRecord(const db::TableDef& def, void* record, long long* value) const override {
    return readRecordWith(*this, def, record, value);
  }

  void reset() {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
  }

  SqliteConnection& m_connection;
  sqlite3_stmt* m_stmt;
  Connection::Clock::time_point m_deadline;  // of its current run, while one is in force
  bool m_cached;
  bool m_inUse = true;
  std::list<SqliteStatement*>::iterator m_lruPos;
};

class SqliteConnection final : public Connection {
 public:
  SqliteConnection(sqlite3* db, std::shared_ptr<ConnectionRegistry> registry, int busyTimeoutMs,
                   int statementTimeoutMs)
      : m_db(db), m_registry(std::move(registry)), m_busyTimeoutMs(busyTimeoutMs) {
    m_statementTimeoutMs = statementTimeoutMs;
    m_registry->add(m_db);
    sqlite3_busy_handler(m_db, &SqliteConnection::busyWait, this);
  }
  void adoptedByThisThread() override { m_registry->adopt(m_db); }
  ~SqliteConnection() override {
    m_registry->remove(m_db);
    m_last = nullptr;
    m_lru.clear();
    m_cache.clear();  // finalizes cached statements before the handle closes
    sqlite3_close_v2(m_db);
  }

  SqlDialect dialect() const override { return SqlDialect::Sqlite; }
  int prepare(const std::string& sql, Statement*& out) override;
  void release(Statement* statement) override;
  int exec(const char* sql) override;
  int runBatch(const std::string& sql, size_t rows, const BatchBinder& bind, long long* returned,
               size_t* failedRow) override;
  int begin(bool write) override {
    transactionStarts();
    int code = runControl(write ? "BEGIN IMMEDIATE" : "BEGIN DEFERRED");
    m_begun = code == kOk;
    return code;
  }
  int commit() override {
    // Never cut short: a COMMIT stopped halfway would leave its outcome in doubt.
    m_committing = m_untimed = true;
    int code = runControl("COMMIT");
    m_committing = m_untimed = false;
    // A busy COMMIT leaves the transaction open, to be committed again or
    // rolled back.
    if (code == kOk || !inTransaction()) transactionOver();
    return code;
  }
  int rollback() override {
    // Unless the database already ended it.
    m_untimed = true;  // nor a ROLLBACK
    int code = sqlite3_get_autocommit(m_db) ? kOk : runControl("ROLLBACK");
    m_untimed = false;
    if (!inTransaction()) transactionOver();
    return code;
  }
  bool inTransaction() const override { return !sqlite3_get_autocommit(m_db); }

  const char* ddlType(ColumnType type, bool) const override {
    switch (type) {
      case ColumnType::Int32:
      case ColumnType::Int64:
      case ColumnType::Time64:
        return "INTEGER";
      case ColumnType::Text:
      case ColumnType::OwnedText:
        return "TEXT";
    }
    return "TEXT";
  }
  std::string serialColumnDdl(const char* name) const override {
    // AUTOINCREMENT: a deleted volume's id is never handed out again, so old
    // history rows can never point at a new volume.
    return std::string(name) + " INTEGER PRIMARY KEY AUTOINCREMENT";
  }

  const char* tableExistsSql() const override {
    return "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ? COLLATE NOCASE";
  }

  // The one place where SQLite result codes become engine codes.
  int mapError(int rc, const char* sql);

  int prepareForWrites() override;

  // Deadlines: whether statements are timed now (or the handler is still
  // set from when they were); then, before each step, the statement's
  // deadline is put in force: kOk, or kStatementTimeout when it has passed.
  bool timing() const { return m_progressSet || limited(); }
  int arm(Clock::time_point& deadline, bool starts, const char* sql);
  void disarm() { m_activeDeadline = Clock::time_point::max(); }

 private:
  int runControl(const char* sql);
  int outOfMemory(const std::string& sql);
  // SQLite's busy wait (growing pauses up to the budget), except that it
  // gives up at once when this thread's own transaction holds the lock.
  static int busyWait(void* self, int count);
  // Interrupts the running statement once its deadline has passed.
  static int onProgress(void* self);

  sqlite3* m_db;
  std::shared_ptr<ConnectionRegistry> m_registry;
  int m_busyTimeoutMs;
  std::chrono::steady_clock::time_point m_busySince;
  bool m_committing = false;
  bool m_untimed = false;  // a COMMIT or ROLLBACK runs: no deadline
  // The running statement's deadline (max: none), whether the progress
  // handler is set, and whether the deadline stopped the last statement.
  Clock::time_point m_activeDeadline = Clock::time_point::max();
  bool m_progressSet = false;
  bool m_timedOut = false;
  std::unordered_map<std::string, std::unique_ptr<SqliteStatement>> m_cache;
  std::list<SqliteStatement*> m_lru;  // front: most recently used
  // The cached statement prepared last: a call repeated in a loop finds it
  // by comparing its text, without hashing it.
  SqliteStatement* m_last = nullptr;
};

int SqliteStatement::step() {
  const bool timed = m_connection.timing();
  if (timed) [[unlikely]] {
    // A cursor's later steps keep the deadline its first step was given.
    if (int code = m_connection.arm(m_deadline, !sqlite3_stmt_busy(m_stmt), m_sql.c_str()); code != kOk) return code;
  }
  int rc = sqlite3_step(m_stmt);
  if (timed) m_connection.disarm();
  if (rc == SQLITE_ROW) return kOk;
  if (rc == SQLITE_DONE) return kNoRow;
  return m_connection.mapError(rc, m_sql.c_str());
}

int SqliteConnection::arm(Clock::time_point& deadline, bool starts, const char* sql) {
  m_timedOut = false;
  if (!limited() || m_untimed) {
    if (m_progressSet) sqlite3_progress_handler(m_db, 0, nullptr, nullptr);
    m_progressSet = false;
    disarm();
    return kOk;
  }
  const Clock::time_point now = Clock::now();
  if (starts) deadline = statementDeadline(now);
  if (deadline <= now) {
    m_lastErrorText = std::string("the statement's deadline had passed before it ran in: ") + sql;
    return kStatementTimeout;
  }
  m_activeDeadline = deadline;
  // Every 1,000 virtual machine steps, some microseconds: a runaway query
  // stops well within a millisecond of its deadline.
  if (!m_progressSet) sqlite3_progress_handler(m_db, 1000, &SqliteConnection::onProgress, this);
  m_progressSet = true;
  return kOk;
}

int SqliteConnection::onProgress(void* self) {
  auto* connection = static_cast<SqliteConnection*>(self);
  if (Clock::now() < connection->m_activeDeadline) return 0;
  connection->m_timedOut = true;
  return 1;
}

int SqliteConnection::mapError(int rc, const char* sql) {
  int extended = rc;
  int code;
  // Stopped by its deadline: in the progress handler or the busy wait.
  const bool timedOut = m_timedOut && ((rc & 0xff) == SQLITE_INTERRUPT || (rc & 0xff) == SQLITE_BUSY);
  m_timedOut = false;
  switch (rc & 0xff) {
    case SQLITE_BUSY:
      if (extended == SQLITE_BUSY_SNAPSHOT)
        code = kRestartTransaction;
      else if (m_registry->otherHoldsWriteLock(m_db))
        code = kOwnLock;
      else if (extended == SQLITE_BUSY && !sqlite3_get_autocommit(m_db) &&
               sqlite3_txn_state(m_db, nullptr) == SQLITE_TXN_READ)
        // A read transaction cannot take the write lock while another
        // connection writes, and SQLite does not wait for it (that could
        // deadlock): once that writer commits, this snapshot is stale.
        code = kRestartTransaction;
      else
        code = kRetry;
      break;
    case SQLITE_LOCKED:
      code = kBusy;
      break;
    case SQLITE_CONSTRAINT:
      code = kConstraint;
      break;
    case SQLITE_FULL:
      code = kFull;
      break;
    case SQLITE_IOERR:
      code = extended == SQLITE_IOERR_NOMEM ? kNoMemory : kIoError;
      break;
    case SQLITE_NOMEM:
      code = kNoMemory;
      break;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      code = kCorrupt;
      break;
    case SQLITE_READONLY:
      code = kReadOnly;
      break;
    case SQLITE_CANTOPEN:
      code = kConnection;
      break;
    case SQLITE_MISUSE:
      code = kMisuse;
      break;
    default:
      code = kError;
      break;
  }
  if (timedOut) code = kStatementTimeout;
  // A transaction that SQLite rolled back by itself is over: repeating the
  // statement would run it in autocommit, outside the caller's transaction.
  bool ended = m_begun && sqlite3_get_autocommit(m_db);
  if (ended && code == kRetry) code = kRestartTransaction;
  // A COMMIT that fails and ends the transaction may have written its
  // commit record already (a failed sync or log-index update comes after
  // it): a crash now could bring it back. Neither "committed" nor "rolled
  // back" would be true.
  bool inDoubt = ended && m_committing;
  if (inDoubt) code = kOutcomeInDoubt;

  m_lastErrorText = sqlite3_errmsg(m_db);
  m_lastErrorText += " [";
  m_lastErrorText += sqlite3_errstr(rc);
  m_lastErrorText += ", SQLite code ";
  m_lastErrorText += std::to_string(extended);
  m_lastErrorText += "]";
  if (timedOut) m_lastErrorText += "; stopped at its deadline";
  if (code == kOwnLock)
    m_lastErrorText += "; this thread's own open transaction on the database holds the write lock, so waiting cannot "
                       "help: commit or roll it back first, or run the call in that transaction";
  else if (code == kRestartTransaction && (rc & 0xff) == SQLITE_BUSY && extended != SQLITE_BUSY_SNAPSHOT && !ended)
    m_lastErrorText += "; a read transaction cannot start writing while another connection writes: roll back and "
                       "start again (a write transaction takes the lock at begin)";
  if (inDoubt)
    m_lastErrorText += "; the database ended the transaction while committing: it may or may not have committed";
  else if (ended)
    m_lastErrorText += "; the database rolled the transaction back";
  if (sql && *sql) {
    m_lastErrorText += " in: ";
    m_lastErrorText += sql;
  }
  if (ended) m_transactionEnded = true;
  return code;
}

int SqliteConnection::busyWait(void* self, int count) {
  auto* connection = static_cast<SqliteConnection*>(self);
  if (connection->m_registry->otherHoldsWriteLock(connection->m_db)) return 0;
  static constexpr int kPausesMs[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
  const auto now = std::chrono::steady_clock::now();
  if (count == 0) connection->m_busySince = now;
  long long waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - connection->m_busySince).count();
  long long left = connection->m_busyTimeoutMs - waited;
  if (left <= 0) return 0;
  if (connection->m_activeDeadline != Clock::time_point::max()) {
    // The wait ends with the statement's deadline.
    if (now >= connection->m_activeDeadline) {
      connection->m_timedOut = true;
      return 0;
    }
    left = std::min<long long>(
        left, std::chrono::duration_cast<std::chrono::milliseconds>(connection->m_activeDeadline - now).count() + 1);
  }
  int pause = count < static_cast<int>(std::size(kPausesMs)) ? kPausesMs[count] : 100;
  sqlite3_sleep(static_cast<int>(std::min<long long>(pause, left)));
  return 1;
}

int SqliteConnection::prepareForWrites() {
  // WAL lets readers go on while one connection writes. The mode is stored
  // in the file, so it is set when the library's tables are made, never by
  // merely opening a file.
  if (sqlite3_db_readonly(m_db, "main") == 1) return kOk;
  Statement* statement = nullptr;
  if (int code = prepare("PRAGMA journal_mode", statement); code != kOk) return code;
  int code = statement->step();
  std::string mode = code == kOk ? std::string(statement->columnText(0)) : std::string();
  release(statement);
  if (code != kOk) return code;
  if (mode == "wal" || mode == "memory") return kOk;
  return exec("PRAGMA journal_mode=WAL");
}

int SqliteConnection::prepare(const std::string& sql, Statement*& out) {
  out = nullptr;
  if (m_last && !m_last->m_inUse && m_last->sql() == sql) {
    m_last->m_inUse = true;
    m_lru.splice(m_lru.begin(), m_lru, m_last->m_lruPos);
    out = m_last;
    return kOk;
  }
  auto found = m_cache.find(sql);
  if (found != m_cache.end() && !found->second->m_inUse) {
    SqliteStatement* statement = found->second.get();
    statement->m_inUse = true;
    m_lru.splice(m_lru.begin(), m_lru, statement->m_lruPos);
    out = m_last = statement;
    return kOk;
  }

  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  bool cache = found == m_cache.end();
  int rc = sqlite3_prepare_v3(m_db, sql.c_str(), static_cast<int>(sql.size() + 1),
                              cache ? SQLITE_PREPARE_PERSISTENT : 0, &stmt, &tail);
  ++m_compiled;
  if (rc != SQLITE_OK) return mapError(rc, sql.c_str());
  while (tail && (*tail == ' ' || *tail == '\t' || *tail == '\n' || *tail == '\r' || *tail == ';')) ++tail;
  if (!stmt || (tail && *tail)) {
    sqlite3_finalize(stmt);
    m_lastErrorText = stmt ? "more than one SQL statement in one text" : "empty SQL statement";
    m_lastErrorText += " in: " + sql;
    return kError;
  }

  // From here the compiled statement must never be left unowned, nor the
  // cache and its LRU list disagree, when memory runs out: that is a failure
  // code like SQLite's own, not an exception through the engine.
  std::unique_ptr<SqliteStatement> owned;
  try {
    owned = std::make_unique<SqliteStatement>(*this, stmt, sql, cache);
  } catch (const std::bad_alloc&) {
    sqlite3_finalize(stmt);
    return outOfMemory(sql);
  }
  if (!cache) {  // the cached one is busy (a nested cursor): use a private one
    out = owned.release();
    return kOk;
  }
  if (m_cache.size() >= kStatementCacheSize) {
    for (auto it = m_lru.rbegin(); it != m_lru.rend(); ++it) {
      if ((*it)->m_inUse) continue;
      if (*it == m_last) m_last = nullptr;
      auto victim = m_cache.find((*it)->sql());
      m_lru.erase(std::next(it).base());
      m_cache.erase(victim);
      break;
    }
  }
  SqliteStatement* statement = owned.get();
  try {
    auto slot = m_cache.emplace(sql, nullptr).first;
    try {
      m_lru.push_front(statement);
    } catch (const std::bad_alloc&) {
      m_cache.erase(slot);
      throw;
    }
    slot->second = std::move(owned);
  } catch (const std::bad_alloc&) {
    return outOfMemory(sql);  // `owned` finalizes the statement
  }
  statement->m_lruPos = m_lru.begin();
  out = m_last = statement;
  return kOk;
}

int SqliteConnection::outOfMemory(const std::string& sql) {
  try {
    m_lastErrorText = "out of memory keeping a prepared statement in: " + sql;
  } catch (const std::bad_alloc&) {
    m_lastErrorText.clear();
  }
  return kNoMemory;
}

void SqliteConnection::release(Statement* base) {
  if (!base) return;
  auto* statement = static_cast<SqliteStatement*>(base);
  if (!statement->m_cached) {
    delete statement;
    return;
  }
  statement->reset();
  statement->m_inUse = false;
}

int SqliteConnection::exec(const char* sql) {
  const bool timed = timing();
  if (timed) {
    Clock::time_point deadline;
    if (int code = arm(deadline, true, sql); code != kOk) return code;
  }
  int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
  if (timed) disarm();
  return rc == SQLITE_OK ? kOk : mapError(rc, sql);
}

// Binds a row's values at the place of that row in a multi-row VALUES.
// Texts are copied: a binder may bind a buffer it reuses for the next row.
class ShiftedStatement final : public Statement {
 public:
  ShiftedStatement(SqliteStatement& inner, int shift) : m_inner(inner), m_shift(shift) {}
  void bindNull(int index) override { m_inner.bindNull(index + m_shift); }
  void bindInt64(int index, long long value) override { m_inner.bindInt64(index + m_shift, value); }
  void bindText(int index, const char* text, size_t length) override {
    sqlite3_bind_text64(m_inner.m_stmt, index + m_shift, text, length, SQLITE_TRANSIENT, SQLITE_UTF8);
  }
  int parameterCount() const override { return m_inner.parameterCount(); }
  int step() override { return m_inner.step(); }
  bool columnIsNull(int index) const override { return m_inner.columnIsNull(index); }
  long long columnInt64(int index) const override { return m_inner.columnInt64(index); }
  std::string_view columnText(int index) const override { return m_inner.columnText(index); }

 private:
  SqliteStatement& m_inner;
  int m_shift;
};

// An insert's rows go several to a statement (multi-row VALUES), and a
// serial key is read as the rowid rather than through RETURNING, which makes
// SQLite gather each row's result in a table of its own first. Measured on
// 1,000 YLVolume rows: 3.6 us a row with RETURNING (one row a statement or
// many alike), 1.8 without, 1.0 with 50 rows a statement. The keys of one
// statement's rows are consecutive: each new rowid is one more than the
// largest, and the serial key is AUTOINCREMENT, which never picks another.
// Any other statement, and a failing batch (to name the row), runs row by row.
int SqliteConnection::runBatch(const std::string& sql, size_t rows, const BatchBinder& bind, long long* returned,
                               size_t* failedRow) {
  *failedRow = rows;
  std::string text = sql;
  bool rowid = false;
  if (size_t at = text.rfind(" RETURNING "); returned && at != std::string::npos &&
                                              text.find_first_of(" ,()", at + 11) == std::string::npos) {
    text.resize(at);
    rowid = true;
  }
  const size_t values = text.find(" VALUES (");
  const bool multi = (rowid || !returned) && text.starts_with("INSERT ") && values != std::string::npos &&
                     text.back() == ')' && text.find('(', values + 9) == std::string::npos;
  // Every row of `first` to `first + count` in one statement.
  auto runMany = [&](size_t first, size_t count) {
    std::string many = text;
    const std::string tuple = text.substr(values + 8);
    for (size_t i = 1; i < count; ++i) many += "," + tuple;
    Statement* statement = nullptr;
    if (int code = prepare(many, statement); code != kOk) return code;
    const int parameters = statement->parameterCount() / static_cast<int>(count);
    for (size_t i = 0; i < count; ++i) {
      ShiftedStatement shifted(*static_cast<SqliteStatement*>(statement), parameters * static_cast<int>(i));
      bind(shifted, first + i);
    }
    int code = statement->step();
    release(statement);
    if (code != kNoRow && code != kOk) return code;
    if (returned) {
      const long long last = sqlite3_last_insert_rowid(m_db);
      for (size_t i = 0; i < count; ++i) returned[first + i] = last - static_cast<long long>(count - 1 - i);
    }
    return kOk;
  };
  auto oneByOne = [&] {
    Statement* base = nullptr;
    if (int code = prepare(text, base); code != kOk) return code;
    auto* statement = static_cast<SqliteStatement*>(base);
    int code = kOk;
    for (size_t row = 0; row < rows; ++row) {
      bind(*statement, row);
      code = statement->step();
      if (code == kOk || code == kNoRow) {
        if (returned) returned[row] = rowid ? sqlite3_last_insert_rowid(m_db) : statement->columnInt64(0);
        code = kOk;
      }
      sqlite3_reset(statement->m_stmt);
      if (code != kOk) {
        *failedRow = row;
        break;
      }
    }
    release(base);
    return code;
  };
  if (!multi || rows < 2) return underSavepoint(oneByOne);
  // Within SQLite's oldest limit of 999 parameters.
  const size_t perRow = static_cast<size_t>(std::count(text.begin() + static_cast<long>(values), text.end(), '?'));
  const size_t perStatement = perRow ? std::max<size_t>(1, std::min<size_t>(64, 999 / perRow)) : 64;
  int code = underSavepoint([&] {
    // The rows short of a full statement one by one: a statement text for
    // each remainder would crowd the statement cache.
    for (size_t first = 0; first < rows;) {
      const size_t count = rows - first >= perStatement ? perStatement : 1;
      if (int code = runMany(first, count); code != kOk) return code;
      first += count;
    }
    return kOk;
  });
  if (code == kOk || m_transactionEnded) return code;
  // Undone; again row by row, to learn which row fails.
  return underSavepoint(oneByOne);
}

int SqliteConnection::runControl(const char* sql) {
  Statement* statement = nullptr;
  int code = prepare(sql, statement);
  if (code != kOk) return code;
  code = statement->step();
  release(statement);
  return code == kNoRow ? kOk : code;
}

// The folder part of a file path ("." for a bare name).
std::string folderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// An SQLite URI filename for `path` with `query`.
std::string fileUri(const std::string& path, const char* query) {
  std::string uri = "file:";
  for (char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      static const char kHex[] = "0123456789ABCDEF";
      uri += '%';
      uri += kHex[(static_cast<unsigned char>(c) >> 4) & 15];
      uri += kHex[static_cast<unsigned char>(c) & 15];
    } else {
      uri += c;
    }
  }
  return uri + "?" + query;
}

class SqliteBackend final : public Backend {
 public:
  SqliteBackend(DatabaseOptions options, std::string path) : m_options(std::move(options)), m_path(std::move(path)) {}
  const char* name() const override { return "sqlite"; }
  SqlDialect dialect() const override { return SqlDialect::Sqlite; }
  bool needsKeeper() const override { return m_options.inMemory(); }
  std::string databaseName() const override { return m_options.file().value_or(":memory:"); }

  int connect(std::unique_ptr<Connection>& out, std::string* error) override {
    std::unique_ptr<SqliteConnection> connection;
    int flags = m_options.readOnly ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (int code = openHandle(m_path, flags, connection, error); code != kOk) return code;
    if (m_options.readOnly) return finishReadOnly(connection, out, error);

    std::string setup = "PRAGMA synchronous=" + m_options.synchronous + ";";
    if (m_options.cacheKiB) setup += "PRAGMA cache_size=-" + std::to_string(m_options.cacheKiB) + ";";
    // A connection of another process that opens the same brand-new file
    // holds it while it writes the first page and switches it to WAL; SQLite
    // reports that as busy without calling the busy handler. Wait here
    // instead, within the same budget.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_options.busyTimeoutMs);
    int code = kOk;
    for (int pauseMs = 1;; pauseMs = std::min(pauseMs * 2, 50)) {
      code = connection->exec(setup.c_str());
      // A database that holds nothing yet is ours to shape; one with content
      // keeps its journal mode until the library's tables are created in it.
      if (code == kOk && !m_options.inMemory() && isEmpty(*connection, code)) code = connection->prepareForWrites();
      if (code != kRetry || std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    if (code != kOk) {
      if (error) *error = "cannot set up " + m_path + ": " + connection->lastErrorText();
      return code == kCorrupt ? kCorrupt : kConnection;
    }
    out = std::move(connection);
    return kOk;
  }

 private:
  bool isUriFilename() const { return m_options.location == DatabaseOptions::Location::UriFilename; }

  int openHandle(const std::string& name, int flags, std::unique_ptr<SqliteConnection>& out, std::string* error) {
    sqlite3* db = nullptr;
    flags |= SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
    if (m_options.inMemory() || isUriFilename() || name.starts_with("file:")) flags |= SQLITE_OPEN_URI;
    int rc = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
      if (error) *error = openFailure(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
      sqlite3_close_v2(db);
      return kConnection;
    }
    sqlite3_extended_result_codes(db, 1);
    out = std::make_unique<SqliteConnection>(db, m_registry, m_options.busyTimeoutMs, m_options.statementTimeoutMs);
    return kOk;
  }

  // Why a file could not be opened, naming the missing piece once.
  std::string openFailure(const char* sqliteText) const {
    if (m_options.inMemory() || isUriFilename()) return m_path + ": " + sqliteText;
    std::string folder = folderOf(m_path);
    if (!exists(folder)) return "the folder " + folder + " does not exist (create it first)";
    if (!exists(m_path)) {
      if (m_options.readOnly) return "there is no file " + m_path + " (read_only never creates one)";
      return "cannot create " + m_path + ": " + sqliteText + " (can this user write the folder " + folder + "?)";
    }
    return m_path + ": " + sqliteText;
  }

  static bool isEmpty(SqliteConnection& connection, int& code) {
    Statement* statement = nullptr;
    if ((code = connection.prepare("PRAGMA page_count", statement)) != kOk) return false;
    code = statement->step();
    bool empty = code == kOk && statement->columnInt64(0) == 0;
    connection.release(statement);
    return empty;
  }

  // A read-only connection never writes, so it changes neither the file nor
  // its journal mode. In a folder this user cannot write, SQLite cannot make
  // the shared-memory file a WAL database is read through; the file is then
  // read as it stands, which is sound only while it has no log.
  int finishReadOnly(std::unique_ptr<SqliteConnection>& connection, std::unique_ptr<Connection>& out,
                     std::string* error) {
    int code = connection->exec("PRAGMA query_only=1; SELECT count(*) FROM sqlite_master;");
    if (code == kReadOnly || code == kConnection) {
      const std::string log = m_path + "-wal";
      struct stat info;
      bool logged = stat(log.c_str(), &info) == 0 && info.st_size > 0;
      if (logged) {
        if (error)
          *error = "cannot read " + m_path + " read-only: it has a write-ahead log (" + log +
                   ") that SQLite reads through a " + m_path + "-shm file it cannot create in " +
                   folderOf(m_path) +
                   "; let the writer finish (its last connection folds the log in), or read it as a user "
                   "who may write the folder";
        return kReadOnly;
      }
      connection.reset();
      if ((code = openHandle(fileUri(m_path, "immutable=1"), SQLITE_OPEN_READONLY, connection, error)) != kOk)
        return code;
      code = connection->exec("PRAGMA query_only=1; SELECT count(*) FROM sqlite_master;");
    }
    if (code != kOk) {
      if (error) *error = "cannot read " + m_path + ": " + connection->lastErrorText();
      return code == kCorrupt ? kCorrupt : code == kReadOnly ? kReadOnly : kConnection;
    }
    out = std::move(connection);
    return kOk;
  }

  DatabaseOptions m_options;
  std::string m_path;  // the file name or URI filename to open; a memdb URI for ":memory:"
  std::shared_ptr<ConnectionRegistry> m_registry = std::make_shared<ConnectionRegistry>();
};

std::atomic<unsigned> g_memoryCounter{0};

// The database a parsed sqlite: URL names. An in-memory one gets a name of
// its own in the memdb VFS, which the thread connections share.
std::unique_ptr<Backend> makeSqliteBackend(const DatabaseOptions& options, std::string*) {
  // ":memory:" becomes a memdb database of its own, so that every connection
  // of this Database sees it and no other Database does.
  std::string path = options.location == DatabaseOptions::Location::Memory
                         ? "file:/divudurezevudoze-" + std::to_string(getpid()) + "-" +
                               std::to_string(g_memoryCounter.fetch_add(1)) + "?vfs=memdb"
                         : options.target;
  return std::make_unique<SqliteBackend>(options, std::move(path));
}

}  // namespace

extern const BackendFactory kSqliteBackend{"sqlite", &makeSqliteBackend};

}  // namespace db::engine
