// PostgreSQL backend over libpq: statements prepared on the server and cached
// per connection by SQL text, results streamed row by row (single-row mode),
// a savepoint before each statement of a caller's transaction so that a
// failed statement is undone alone, and the one mapping of SQLSTATEs to
// engine codes.
//
// Behind a transaction pooler (pooler=transaction) nothing may outlive a
// transaction on the server: statements are parsed unnamed, with their
// parameters, in the message batch that runs them; the cache keeps only the
// parameter types the server described; what a session would have SET is
// SET LOCAL at each BEGIN, and before each autocommit statement in the same
// pipeline, up to one Sync (one implicit transaction).
//
// A connection runs one query at a time. When a statement is needed while
// another one's rows are still arriving (a nested cursor), the rest of those
// rows is read ahead into that statement first. A list counts its rows before
// its first fetch, so the usual list streams without reading ahead.
#include <libpq-fe.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <iterator>
#include <list>
#include <span>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Db/Engine/Backend.h"
#include "Db/Engine/Postgres/PostgresText.h"

namespace db::engine {
namespace {

constexpr size_t kStatementCacheSize = 128;

struct ResultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

struct ConnDeleter {
  void operator()(PGconn* conn) const { PQfinish(conn); }
};

// A statement prepared on the server, shared by every lease of its text.
struct Prepared {
  std::string sql;       // as the engine wrote it: the cache key
  std::string numbered;  // as the server reads it ($n markers)
  std::string name;      // server-side name
  int parameters = 0;
  int leases = 0;
  bool typed = false;  // integer parameters checked against the server's types
  // Pooler mode: the parameter types the server described, and whether they
  // are sent with each execution (once an integer needed another type).
  std::vector<Oid> types;
  bool explicitTypes = false;
  std::list<Prepared*>::iterator lruPos;
};

constexpr Oid kInt8Oid = 20;

// Types the server gives a parameter it cannot place ("? > ?" compares
// texts), where an integer bound there must stay an integer.
bool isTextual(Oid type) {
  return type == 25 /* text */ || type == 705 /* unknown */ || type == 1043 /* varchar */ ||
         type == 1042 /* bpchar */ || type == 19 /* name */ || type == 18 /* char */;
}

// A failure as the server (or libpq) reported it, copied before the result
// it came in is freed.
struct Failure {
  std::string sqlstate;
  std::string message;
};

Failure failureOf(const PGresult* result, PGconn* conn) {
  Failure failure;
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  const char* detail = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL) : nullptr;
  if (state) failure.sqlstate = state;
  if (primary) {
    failure.message = primary;
    if (detail) failure.message += std::string(" (") + detail + ")";
  } else {
    failure.message = result ? PQresultErrorMessage(result) : "";
    if (failure.message.empty()) failure.message = PQerrorMessage(conn);
  }
  while (!failure.message.empty() && (failure.message.back() == '\n' || failure.message.back() == ' '))
    failure.message.pop_back();
  return failure;
}

// Notices ("relation ... already exists, skipping") are not failures, and
// libpq would print them on stderr.
void ignoreNotice(void*, const char*) {}

// How far a failing call got, for what a lost connection means.
enum class Phase {
  Setup,      // nothing of the caller's work ran: a prepare, a BEGIN, the session's settings
  Statement,  // a statement that may have run
  Commit,     // COMMIT: it may have happened
};

// Whether an autocommit statement lost with its connection can have changed
// anything: only a plain SELECT cannot.
bool mayWrite(const std::string& sql) {
  size_t start = sql.find_first_not_of(" \t\r\n(");
  return start == std::string::npos || strncasecmp(sql.c_str() + start, "select", 6) != 0;
}

// Settings every connection gets unless its URL says otherwise: a dead server
// or a dropped route is noticed in seconds, not after the kernel's two hours.
constexpr const char* kDefaultKeywords[] = {"connect_timeout", "keepalives", "keepalives_idle",
                                            "keepalives_interval", "keepalives_count", "tcp_user_timeout"};
constexpr const char* kDefaultValues[] = {"5", "1", "5", "2", "3", "10000"};

// pooler=transaction: what a session would keep, set in each transaction.
struct PoolerSettings {
  std::vector<std::string> statements;  // SET LOCAL ..., one by one
  std::string joined;                   // the same, one text
};

class PgConnection;

class PgStatement final : public Statement {
 public:
  PgStatement(PgConnection& connection, std::shared_ptr<Prepared> prepared, uint64_t generation)
      : m_connection(connection),
        m_prepared(std::move(prepared)),
        m_generation(generation),
        m_values(static_cast<size_t>(m_prepared->parameters)),
        m_isNull(static_cast<size_t>(m_prepared->parameters), 1),
        m_isInteger(static_cast<size_t>(m_prepared->parameters), 0) {
    m_sql = m_prepared->sql;
  }

  // Unbound parameters are NULL; an index past the last one is ignored.
  void bindNull(int index) override {
    if (!inRange(index)) return;
    m_isNull[static_cast<size_t>(index - 1)] = 1;
    m_isInteger[static_cast<size_t>(index - 1)] = 0;
  }
  void bindInt64(int index, long long value) override {
    if (!inRange(index)) return;
    m_values[static_cast<size_t>(index - 1)] = std::to_string(value);
    m_isNull[static_cast<size_t>(index - 1)] = 0;
    m_isInteger[static_cast<size_t>(index - 1)] = 1;
  }
  void bindText(int index, const char* text, size_t length) override {
    if (!inRange(index)) return;
    m_values[static_cast<size_t>(index - 1)].assign(text, length);
    m_isNull[static_cast<size_t>(index - 1)] = 0;
    m_isInteger[static_cast<size_t>(index - 1)] = 0;
  }

  int parameterCount() const override { return m_prepared->parameters; }
  int step() override;

  bool columnIsNull(int index) const override { return PQgetisnull(m_row.get(), 0, index) != 0; }
  long long columnInt64(int index) const override {
    return strtoll(PQgetvalue(m_row.get(), 0, index), nullptr, 10);
  }
  std::string_view columnText(int index) const override {
    if (columnIsNull(index)) return {};
    return {PQgetvalue(m_row.get(), 0, index), static_cast<size_t>(PQgetlength(m_row.get(), 0, index))};
  }

 private:
  friend class PgConnection;
  enum class State { Ready, Streaming, Done };

  bool inRange(int index) const { return index >= 1 && index <= m_prepared->parameters; }

  PgConnection& m_connection;
  std::shared_ptr<Prepared> m_prepared;
  uint64_t m_generation;  // of the connection when prepared
  std::vector<std::string> m_values;
  std::vector<char> m_isNull;
  std::vector<char> m_isInteger;
  State m_state = State::Ready;
  Result m_row;                // the current row: a single-row result
  std::deque<Result> m_ahead;  // rows read ahead while the connection was needed elsewhere
  int m_deferredCode = kOk;    // a failure met while reading ahead, reported after those rows
  std::string m_deferredText;
};

class PgConnection final : public Connection {
 public:
  PgConnection(PGconn* conn, int lockTimeoutMs, bool readOnly, int maxLifetimeSeconds, int statementTimeoutMs,
               std::shared_ptr<const PoolerSettings> pooler = nullptr)
      : m_conn(conn),
        m_lockTimeoutMs(lockTimeoutMs),
        m_readOnly(readOnly),
        m_maxLifetime(maxLifetimeSeconds),
        m_openedAt(std::chrono::steady_clock::now()),
        m_pooler(std::move(pooler)) {
    m_statementTimeoutMs = statementTimeoutMs;
  }
  ~PgConnection() override = default;
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  SqlDialect dialect() const override { return SqlDialect::Postgres; }
  int prepare(const std::string& sql, Statement*& out) override;
  void release(Statement* statement) override;
  int exec(const char* sql) override;
  int runBatch(const std::string& sql, size_t rows, const BatchBinder& bind, long long* returned,
               size_t* failedRow) override;
  int begin(bool write) override;
  int commit() override;
  int rollback() override;
  bool inTransaction() const override {
    PGTransactionStatusType status = PQtransactionStatus(m_conn.get());
    return status == PQTRANS_INTRANS || status == PQTRANS_INERROR || status == PQTRANS_ACTIVE;
  }

  const char* ddlType(ColumnType type, bool) const override {
    switch (type) {
      case ColumnType::Int32:
        return "integer";
      case ColumnType::Int64:
      case ColumnType::Time64:
        return "bigint";
      case ColumnType::Text:
      case ColumnType::OwnedText:
        // Not varchar(n): it counts characters where the records count bytes,
        // so the one limit is the reading rule (a longer text is cut to fit).
        return "text";
    }
    return "text";
  }
  std::string serialColumnDdl(const char* name) const override {
    // A sequence never hands out an id again, even after a rollback.
    return std::string(name) + " integer GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY";
  }

  // Concurrent CREATE TABLE IF NOT EXISTS of one name would fail in all but
  // one creator; a transaction-scoped advisory lock ("DivU") queues them.
  const char* tableExistsSql() const override {
    return "SELECT count(*) FROM (SELECT to_regclass(CAST(? AS text)) AS found) AS lookup WHERE found IS NOT NULL";
  }
  int lockSchema() override { return exec("SELECT pg_advisory_xact_lock(1147762261)"); }
  // A lock statement takes no snapshot, so the serializable transaction's
  // snapshot starts after the wait and sees a finished upgrade as done.
  int lockForUpgrade() override { return exec("LOCK TABLE ZrSchemaVersion IN SHARE ROW EXCLUSIVE MODE"); }

  // Session settings, after connecting and after connecting again.
  int setUp();

  // Sends the statement's query; its rows then arrive one by one.
  int execute(PgStatement& statement);
  // The next result of the streaming statement: kOk with a row in
  // statement.m_row, kNoRow at its end, or a failure code.
  int next(PgStatement& statement);
  void restoreError(const std::string& text) { m_lastErrorText = text; }

 private:
  // The one place where PostgreSQL failures become engine codes. Undoes the
  // failed statement to its savepoint when the caller's transaction can go
  // on; otherwise reports the transaction as ended.
  //
  // A lost connection (or a write refused because the server is no longer
  // the primary) ends the session: the next call connects again, and a
  // multi-host URL finds the new primary. What the loss means for the caller
  // depends on how far the call got: inside a transaction, or before
  // anything ran, the work can be done again (kRestartTransaction, or
  // kConnection for autocommit work); once a COMMIT or an autocommit write
  // was sent, it may have happened (kOutcomeInDoubt).
  int mapError(const Failure& failure, const std::string& sql, Phase phase = Phase::Statement);
  // Connects again when the connection was lost, must be left (no longer the
  // primary) or has lived its time, unless a transaction is open on it.
  int usable();
  // Reads the rest of a statement still streaming, so the connection is free.
  void settle();
  // Reads the streaming statement to its end, keeping its rows or not.
  void finishStreaming(bool keepRows);
  // The commands that set the statement savepoint before the next statement
  // of an open transaction: none when it is set and nothing ran since.
  std::span<const std::string> savepointCommands() const;
  // Sets the statement savepoint on its own round trip, where what follows
  // is not a statement sent by send().
  int beginStatement();
  // A command without rows (`shown` in a failure's text, when given).
  int runCommand(const char* sql, Phase phase = Phase::Statement, const char* shown = nullptr);
  // COMMIT and ROLLBACK themselves; commit() and rollback() then note
  // whether the transaction is over.
  int commitOpen();
  int rollbackOpen();
  // Prepares the statement again with integer types where the server gave
  // an integer parameter a text type, the first time integers are bound.
  int typeIntegers(PgStatement& statement);
  void evictOne();
  void forgetStatements();
  // Pooler mode. The settings' SET LOCALs, queued in the open pipeline.
  bool sendSettings();
  // Parses `text` unnamed and reads its parameter types, in one batch.
  int describe(const std::string& sql, const std::string& text, int parameters, std::vector<Oid>& types);
  // Sends the statement (unnamed, with its text, behind a pooler) after what
  // must run first in the same round trip: the savepoint in an open
  // transaction, the pooler's settings in autocommit. Those go in a pipeline
  // that ends with the statement's Sync; their results are read here.
  int send(PgStatement& statement, const std::vector<const char*>& values);
  // Queues one execution: named in our own session, unnamed behind a pooler
  // (whose server session may change between transactions).
  bool sendExecution(const Prepared& prepared, const std::vector<const char*>& values);
  // Reads a pipeline's results up to its Sync (each to `each`) and leaves
  // pipeline mode; nothing when none is open. `watch`: each wait is watched
  // as a statement's (for a pipeline that is all a statement's setup).
  void endPipeline(const std::function<void(const PGresult*)>& each = {}, bool watch = false);
  // The server stops a statement at its deadline (statement_timeout), but
  // cannot when the network stalls: then, before each result of the running
  // statement, the wait ends at the deadline and a margin, a cancel is sent,
  // and when nothing comes back within a bounded time either, the
  // connection is dropped as lost. Nothing is timed without a deadline.
  void awaitResult();
  // What libpq's blocking call would return for what `send` queued (the last
  // result, or the first failure), its wait watched as a statement's is: a
  // blocking call waits on a server that stopped answering for as long as
  // the socket stays open. For the work a statement needs before it runs
  // (its savepoint, its preparing and describing).
  Result watched(const std::function<int(PGconn*)>& send);
  // What awaitResult watches from now on: the deadline of a statement
  // starting now.
  void watchFromNow() {
    m_watchDeadline = limited() ? statementDeadline(Clock::now()) : Clock::time_point::max();
    m_cancelled = m_dropped = false;
  }
  // The transaction's own limits, where the session's statement_timeout is
  // not the statement's: "SET LOCAL statement_timeout = MS" with the time it
  // has, empty when the session's holds; kStatementTimeout when none is left.
  int localTimeout(std::string& sql);

  std::unique_ptr<PGconn, ConnDeleter> m_conn;
  const int m_lockTimeoutMs;
  const bool m_readOnly;
  const std::chrono::seconds m_maxLifetime;  // 0: none
  std::chrono::steady_clock::time_point m_openedAt;
  bool m_leave = false;  // the server is no longer the primary: connect again
  const std::shared_ptr<const PoolerSettings> m_pooler;  // null: a session of our own
  uint64_t m_generation = 0;  // counts reconnections
  unsigned long m_nextName = 0;
  std::unordered_map<std::string, std::shared_ptr<Prepared>> m_cache;
  std::list<Prepared*> m_lru;  // front: most recently used
  PgStatement* m_streaming = nullptr;
  // The running statement's deadline (max: none), and what was done since it passed.
  Clock::time_point m_watchDeadline = Clock::time_point::max();
  bool m_cancelled = false;  // a cancel was sent
  Clock::time_point m_dropAt;  // once it was: when the connection is given up
  bool m_dropped = false;    // no answer came: the connection was shut
  bool m_savepoint = false;       // the open transaction has our statement savepoint
  bool m_savepointClean = false;  // and nothing has run since it was set
  // Own session: which of the savepoint's commands (kMoveSavepoint) are
  // prepared on the server, each marked when its own Parse succeeded.
  bool m_savepointParsed[2] = {};
};

int PgStatement::step() {
  m_row.reset();
  if (m_state == State::Ready) {
    if (int code = m_connection.execute(*this); code != kOk) {
      m_state = State::Done;
      return code;
    }
  }
  if (!m_ahead.empty()) {
    m_row = std::move(m_ahead.front());
    m_ahead.pop_front();
    return kOk;
  }
  if (m_state == State::Streaming) return m_connection.next(*this);
  if (m_deferredCode != kOk) {
    int code = m_deferredCode;
    m_deferredCode = kOk;
    m_connection.restoreError(m_deferredText);
    return code;
  }
  return kNoRow;
}

int PgConnection::setUp() {
  PQsetNoticeProcessor(m_conn.get(), ignoreNotice, nullptr);
  if (m_pooler) {
    // Nothing is SET in a pooled session; the server's default must hold.
    const char* conforming = PQparameterStatus(m_conn.get(), "standard_conforming_strings");
    if (conforming && strcmp(conforming, "on") == 0) return kOk;
    m_lastErrorText = std::string("the server has standard_conforming_strings = ") +
                      (conforming ? conforming : "(not reported)") +
                      ", which pooler=transaction cannot change per session; set it on in the server's configuration";
    return kError;
  }
  // Caller texts are taken as SQL texts are on SQLite: a backslash is a plain character.
  std::string sql =
      "SET standard_conforming_strings = on; SET lock_timeout = " + std::to_string(m_lockTimeoutMs);
  if (m_readOnly) sql += "; SET default_transaction_read_only = on";
  if (m_statementTimeoutMs) sql += "; SET statement_timeout = " + std::to_string(m_statementTimeoutMs);
  Result result(PQexec(m_conn.get(), sql.c_str()));
  if (PQresultStatus(result.get()) == PGRES_COMMAND_OK) return kOk;
  return mapError(failureOf(result.get(), m_conn.get()), sql, Phase::Setup);
}

int PgConnection::mapError(const Failure& failure, const std::string& sql, Phase phase) {
  const std::string& state = failure.sqlstate;
  const bool atCommit = phase == Phase::Commit;
  PGTransactionStatusType status = PQtransactionStatus(m_conn.get());
  const bool dropped = m_dropped;  // after its deadline
  m_dropped = false;
  bool lost = dropped || PQstatus(m_conn.get()) == CONNECTION_BAD || state.starts_with("08") || state == "57P01" ||
              state == "57P02" || state == "57P03";
  // read_only_sql_transaction where we asked for no read-only transaction:
  // the server became a standby under us (a failover demoted it).
  bool demoted = state == "25006" && !m_readOnly;
  // A lost connection no longer knows its transaction state; begin() does.
  bool inBlock = atCommit || m_begun || status == PQTRANS_INERROR || status == PQTRANS_INTRANS;
  int code;
  if (lost || demoted) {
    m_leave = true;
    if (atCommit && lost)
      code = kOutcomeInDoubt;
    else if (dropped)  // a write may have run only once the statement itself was sent
      code = inBlock || phase != Phase::Statement || !mayWrite(sql) ? kStatementTimeout : kOutcomeInDoubt;
    else if (inBlock || demoted)
      code = kRestartTransaction;
    else
      code = phase == Phase::Statement && mayWrite(sql) ? kOutcomeInDoubt : kConnection;
  } else if (state == "55P03") {  // lock_not_available: lock_timeout ran out
    code = kRetry;
  } else if (state == "57014") {  // query_canceled: statement_timeout, or our cancel at the deadline
    code = kStatementTimeout;
  } else if (state == "40P01" || state == "40001") {
    // Our own locks or snapshot are the obstacle: only a new transaction
    // helps. In autocommit the statement is that new transaction.
    code = inBlock ? kRestartTransaction : kRetry;
  } else if (state.starts_with("23")) {
    code = kConstraint;
  } else if (state == "25P02") {  // in_failed_sql_transaction
    code = kTransactionAborted;
  } else if (state == "53100") {
    code = kFull;
  } else if (state == "53200") {
    code = kNoMemory;
  } else if (state == "53300") {  // too_many_connections
    code = kConnection;
  } else if (state == "58030") {
    code = kIoError;
  } else if (state == "25006") {
    code = kReadOnly;
  } else if (state == "XX001" || state == "XX002") {
    code = kCorrupt;
  } else {
    code = kError;
  }

  // What remains of the caller's transaction.
  bool ended = false;
  if (inBlock) {
    if (lost || demoted || atCommit || code == kRestartTransaction || code == kTransactionAborted) {
      ended = true;
    } else if (status == PQTRANS_INERROR) {
      ended = !m_savepoint;
      if (m_savepoint) {
        Result undo(PQexec(m_conn.get(), "ROLLBACK TO SAVEPOINT divu_statement"));
        ended = PQresultStatus(undo.get()) != PGRES_COMMAND_OK;
        m_savepointClean = !ended;
      }
    }
  }
  if (ended && code == kRetry) code = kRestartTransaction;

  m_lastErrorText = failure.message.empty() ? std::string(codeName(code)) : failure.message;
  m_lastErrorText += state.empty() ? (lost ? " [connection lost]" : "") : " [SQLSTATE " + state + "]";
  if (demoted) m_lastErrorText += "; the server is no longer the primary";
  if (dropped)
    m_lastErrorText += "; no answer came after the statement's deadline and a cancel: the connection was dropped";
  if (ended && !atCommit) m_lastErrorText += "; the transaction is over and must be rolled back";
  if (!sql.empty()) {
    m_lastErrorText += " in: ";
    m_lastErrorText += sql;
  }
  if (ended) m_transactionEnded = true;
  return code;
}

int PgConnection::usable() {
  bool ok = PQstatus(m_conn.get()) == CONNECTION_OK;
  if (m_begun) {
    if (ok) return kOk;
    m_lastErrorText = "the connection to the PostgreSQL server was lost; the transaction is over";
    m_transactionEnded = true;
    return kRestartTransaction;
  }
  if (ok && !m_leave) {
    // A statement still streaming keeps its session until it is read out.
    if (m_maxLifetime.count() == 0 || m_streaming ||
        std::chrono::steady_clock::now() - m_openedAt < m_maxLifetime)
      return kOk;
  }
  // In autocommit nothing is lost by connecting again.
  if (m_streaming) finishStreaming(false);
  PQreset(m_conn.get());
  forgetStatements();
  m_leave = false;
  m_openedAt = std::chrono::steady_clock::now();
  if (PQstatus(m_conn.get()) != CONNECTION_OK) {
    m_lastErrorText = "cannot reach the PostgreSQL server again: " + failureOf(nullptr, m_conn.get()).message;
    return kConnection;
  }
  return setUp();
}

void PgConnection::forgetStatements() {
  // Server-side names die with the session; leased statements notice the
  // generation and fail.
  m_cache.clear();
  m_lru.clear();
  ++m_generation;
  m_savepoint = m_savepointClean = false;
  std::ranges::fill(m_savepointParsed, false);
}

void PgConnection::finishStreaming(bool keepRows) {
  PgStatement& statement = *m_streaming;
  m_streaming = nullptr;
  statement.m_state = PgStatement::State::Done;
  Failure failure;
  bool failed = false;
  for (;;) {
    awaitResult();
    Result result{PQgetResult(m_conn.get())};
    if (!result) break;
    ExecStatusType status = PQresultStatus(result.get());
    if (status == PGRES_SINGLE_TUPLE) {
      if (keepRows) statement.m_ahead.push_back(std::move(result));
    } else if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK && !failed) {
      failure = failureOf(result.get(), m_conn.get());
      failed = true;
    }
  }
  endPipeline();
  if (!failed) return;
  int code = mapError(failure, statement.sql());
  if (keepRows) {
    statement.m_deferredCode = code;
    statement.m_deferredText = m_lastErrorText;
  }
}

void PgConnection::settle() {
  if (m_streaming) finishStreaming(true);
}

// One savepoint, moved forward: released and set again.
const std::string kMoveSavepoint[] = {"RELEASE SAVEPOINT divu_statement", "SAVEPOINT divu_statement"};
// Their names as statements prepared in our own session.
const char* const kMoveSavepointNames[] = {"divu_release", "divu_savepoint"};

const char* savepointName(const std::string& sql) {
  for (size_t i = 0; i < std::size(kMoveSavepoint); ++i)
    if (&sql == &kMoveSavepoint[i] || sql == kMoveSavepoint[i]) return kMoveSavepointNames[i];
  return nullptr;
}

std::span<const std::string> PgConnection::savepointCommands() const {
  if (PQtransactionStatus(m_conn.get()) != PQTRANS_INTRANS || (m_savepoint && m_savepointClean)) return {};
  return std::span(kMoveSavepoint).last(m_savepoint ? 2 : 1);
}

int PgConnection::beginStatement() {
  std::span<const std::string> commands = savepointCommands();
  if (commands.empty()) return kOk;
  const char* sql =
      commands.size() == 2 ? "RELEASE SAVEPOINT divu_statement; SAVEPOINT divu_statement" : "SAVEPOINT divu_statement";
  Result result = watched([sql](PGconn* conn) { return PQsendQuery(conn, sql); });
  if (PQresultStatus(result.get()) != PGRES_COMMAND_OK)
    return mapError(failureOf(result.get(), m_conn.get()), sql, Phase::Setup);
  m_savepoint = m_savepointClean = true;
  return kOk;
}

int PgConnection::runCommand(const char* sql, Phase phase, const char* shown) {
  settle();
  Result result(PQexec(m_conn.get(), sql));
  ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
    return mapError(failureOf(result.get(), m_conn.get()), shown ? shown : sql, phase);
  return kOk;
}

void PgConnection::evictOne() {
  for (auto it = m_lru.rbegin(); it != m_lru.rend(); ++it) {
    Prepared* victim = *it;
    if (victim->leases > 0) continue;
    // Not transactional, and it cannot fail for a name that exists.
    if (!m_pooler && PQtransactionStatus(m_conn.get()) != PQTRANS_INERROR) {
      std::string sql = "DEALLOCATE " + victim->name;
      Result ignored(PQexec(m_conn.get(), sql.c_str()));
    }
    m_lru.erase(std::next(it).base());
    std::string key = victim->sql;  // the entry owns victim->sql
    m_cache.erase(key);
    return;
  }
}

int PgConnection::prepare(const std::string& sql, Statement*& out) {
  out = nullptr;
  if (int code = usable(); code != kOk) return code;
  std::shared_ptr<Prepared> prepared;
  if (auto found = m_cache.find(sql); found != m_cache.end()) {
    prepared = found->second;
    m_lru.splice(m_lru.begin(), m_lru, prepared->lruPos);
  } else {
    std::string text;
    int parameters = 0;
    std::string problem;
    if (!pg::numberPlaceholders(sql, text, parameters, &problem)) {
      m_lastErrorText = problem + " in: " + sql;
      return kError;
    }
    settle();
    if (m_cache.size() >= kStatementCacheSize) evictOne();
    // A failed parse aborts an open transaction: it runs under the savepoint too.
    if (int code = beginStatement(); code != kOk) return code;
    std::string name;
    std::vector<Oid> types;
    if (m_pooler) {
      if (int code = describe(sql, text, parameters, types); code != kOk) return code;
    } else {
      name = "divu_" + std::to_string(++m_nextName);
      Result result = watched([&](PGconn* conn) {
        return PQsendPrepare(conn, name.c_str(), text.c_str(), parameters, nullptr);
      });
      ++m_compiled;
      if (PQresultStatus(result.get()) != PGRES_COMMAND_OK)
        return mapError(failureOf(result.get(), m_conn.get()), sql, Phase::Setup);
    }
    prepared = std::make_shared<Prepared>();
    prepared->types = std::move(types);
    prepared->sql = sql;
    prepared->numbered = std::move(text);
    prepared->name = std::move(name);
    prepared->parameters = parameters;
    m_lru.push_front(prepared.get());
    prepared->lruPos = m_lru.begin();
    m_cache.emplace(sql, prepared);
  }
  ++prepared->leases;
  out = new PgStatement(*this, std::move(prepared), m_generation);
  return kOk;
}

void PgConnection::release(Statement* base) {
  if (!base) return;
  auto* statement = static_cast<PgStatement*>(base);
  // An abandoned statement's remaining rows are read and dropped; a failure
  // among them still undoes it (or ends the transaction) as usual.
  if (m_streaming == statement) finishStreaming(false);
  --statement->m_prepared->leases;
  delete statement;
}

int PgConnection::execute(PgStatement& statement) {
  if (statement.m_generation != m_generation) {
    m_lastErrorText =
        "the connection was opened again since this statement was prepared; prepare it again: " +
        statement.sql();
    return kConnection;
  }
  settle();
  if (int code = typeIntegers(statement); code != kOk) return code;
  const int n = statement.m_prepared->parameters;
  std::vector<const char*> values(static_cast<size_t>(n));
  for (size_t i = 0; i < values.size(); ++i)
    values[i] = statement.m_isNull[i] ? nullptr : statement.m_values[i].c_str();
  watchFromNow();
  if (int code = send(statement, values); code != kOk) return code;
  PQsetSingleRowMode(m_conn.get());
  m_streaming = &statement;
  statement.m_state = PgStatement::State::Streaming;
  return kOk;
}

int PgConnection::typeIntegers(PgStatement& statement) {
  Prepared& prepared = *statement.m_prepared;
  if (prepared.typed) return kOk;
  bool integers = false;
  for (char isInteger : statement.m_isInteger) integers = integers || isInteger;
  if (!integers) return kOk;
  if (m_pooler) {
    // Described with the text; the execution carries the types.
    for (int i = 0; i < prepared.parameters; ++i) {
      Oid& type = prepared.types[static_cast<size_t>(i)];
      if (statement.m_isInteger[static_cast<size_t>(i)] && isTextual(type)) {
        type = kInt8Oid;
        prepared.explicitTypes = true;
      }
    }
    prepared.typed = true;
    return kOk;
  }
  // Preparing again can fail, which must not end an open transaction.
  if (int code = beginStatement(); code != kOk) return code;
  Result described =
      watched([&](PGconn* conn) { return PQsendDescribePrepared(conn, prepared.name.c_str()); });
  if (PQresultStatus(described.get()) != PGRES_COMMAND_OK)
    return mapError(failureOf(described.get(), m_conn.get()), prepared.sql, Phase::Setup);
  std::vector<Oid> types(static_cast<size_t>(prepared.parameters));
  bool retype = false;
  for (int i = 0; i < prepared.parameters; ++i) {
    types[static_cast<size_t>(i)] = PQparamtype(described.get(), i);
    if (statement.m_isInteger[static_cast<size_t>(i)] && isTextual(types[static_cast<size_t>(i)])) {
      types[static_cast<size_t>(i)] = kInt8Oid;
      retype = true;
    }
  }
  // The engine binds the same kinds at the same places of one text: settled
  // once, unless the retyped text fails (as the literal it stands for would).
  prepared.typed = !retype;
  if (!retype) return kOk;
  std::string name = "divu_" + std::to_string(++m_nextName);
  Result result = watched([&](PGconn* conn) {
    return PQsendPrepare(conn, name.c_str(), prepared.numbered.c_str(), prepared.parameters, types.data());
  });
  ++m_compiled;
  if (PQresultStatus(result.get()) != PGRES_COMMAND_OK)
    return mapError(failureOf(result.get(), m_conn.get()), prepared.sql, Phase::Setup);
  std::string sql = "DEALLOCATE " + prepared.name;
  Result ignored(PQexec(m_conn.get(), sql.c_str()));
  prepared.name = std::move(name);
  prepared.typed = true;
  return kOk;
}

bool PgConnection::sendSettings() {
  for (const std::string& sql : m_pooler->statements)
    if (!PQsendQueryParams(m_conn.get(), sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0)) return false;
  return true;
}

void PgConnection::endPipeline(const std::function<void(const PGresult*)>& each, bool watch) {
  if (PQpipelineStatus(m_conn.get()) == PQ_PIPELINE_OFF) return;
  // Each query's results end with a null; two in a row: nothing is queued.
  for (int nulls = 0; nulls < 2;) {
    if (watch) awaitResult();
    Result result(PQgetResult(m_conn.get()));
    if (!result) {
      if (PQstatus(m_conn.get()) == CONNECTION_BAD) break;
      ++nulls;
      continue;
    }
    nulls = 0;
    if (PQresultStatus(result.get()) == PGRES_PIPELINE_SYNC) break;
    if (each) each(result.get());
  }
  PQexitPipelineMode(m_conn.get());
}

int PgConnection::localTimeout(std::string& sql) {
  sql.clear();
  if (m_transactionTimeoutMs == 0 && m_transactionDeadline == Clock::time_point::max()) return kOk;
  if (PQtransactionStatus(m_conn.get()) != PQTRANS_INTRANS) return kOk;
  const Clock::time_point now = Clock::now();
  const Clock::time_point deadline = statementDeadline(now);
  if (deadline == Clock::time_point::max()) return kOk;
  if (deadline <= now) {
    m_lastErrorText = "the statement's deadline had passed before it ran";
    return kStatementTimeout;
  }
  // Whole milliseconds up, never 0, which the server reads as no limit.
  const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now + std::chrono::microseconds(999)).count();
  sql = "SET LOCAL statement_timeout = " + std::to_string(std::max(1LL, ms));
  return kOk;
}

Result PgConnection::watched(const std::function<int(PGconn*)>& send) {
  PGconn* conn = m_conn.get();
  watchFromNow();
  Result kept;
  if (send(conn)) {
    for (;;) {
      awaitResult();
      Result next(PQgetResult(conn));
      if (!next) break;
      if (!kept || PQresultStatus(kept.get()) != PGRES_FATAL_ERROR) kept = std::move(next);
    }
  }
  m_watchDeadline = Clock::time_point::max();
  return kept;
}

void PgConnection::awaitResult() {
  if (m_watchDeadline == Clock::time_point::max() || m_dropped) return;
  // The server's own stop comes first; the cancel is for when it cannot.
  constexpr auto kMargin = std::chrono::milliseconds(25);
  constexpr auto kCancelWait = std::chrono::milliseconds(1000);
  PGconn* conn = m_conn.get();
  std::future<void> cancelled;
  // A cancel sent in an earlier wait of the same statement keeps its time.
  Clock::time_point limit = m_cancelled ? m_dropAt : m_watchDeadline + kMargin;
  auto drop = [&] {
    // A read of the shut socket finds the end: libpq reports the connection lost.
    m_dropped = true;
    shutdown(PQsocket(conn), SHUT_RDWR);
  };
  for (;;) {
    if (!PQconsumeInput(conn)) return;  // PQgetResult reports the failure
    const Clock::time_point now = Clock::now();
    if (!PQisBusy(conn)) {
      // A cancel still on its way could stop the next statement instead:
      // the connection is kept only once it has arrived. This statement's
      // answer is here; the next call finds the connection lost.
      if (cancelled.valid() && cancelled.wait_for(limit - std::min(now, limit)) != std::future_status::ready) {
        m_leave = true;
        shutdown(PQsocket(conn), SHUT_RDWR);
      }
      return;
    }
    if (now >= limit) {
      if (m_cancelled) return drop();
      m_cancelled = true;
      limit = m_dropAt = now + kCancelWait;
      // On a thread of its own, as it connects to the server and may hang
      // on the same stalled network.
      if (PGcancel* cancel = PQgetCancel(conn)) {
        std::promise<void> sent;
        cancelled = sent.get_future();
        std::thread([cancel, sent = std::move(sent)]() mutable {
          char error[256];
          PQcancel(cancel, error, sizeof error);
          PQfreeCancel(cancel);
          sent.set_value();
        }).detach();
      }
      continue;
    }
    pollfd wait{PQsocket(conn), POLLIN, 0};
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(limit - now).count() + 1;
    poll(&wait, 1, static_cast<int>(ms));
  }
}

int PgConnection::describe(const std::string& sql, const std::string& text, int parameters,
                           std::vector<Oid>& types) {
  PGconn* conn = m_conn.get();
  // Parsed in autocommit, names resolve through the settings (search_path).
  const bool settings = PQtransactionStatus(conn) == PQTRANS_IDLE;
  ++m_compiled;
  watchFromNow();
  const bool sent = PQenterPipelineMode(conn) && (!settings || sendSettings()) &&
                    PQsendPrepare(conn, "", text.c_str(), parameters, nullptr) && PQsendDescribePrepared(conn, "");
  Failure failure;
  bool failed = !sent, described = false;
  if (failed) failure = failureOf(nullptr, conn);  // libpq refused it (more than 65535 parameters, ...)
  // The Sync also when a part was refused: what was queued must be answered.
  if (!PQpipelineSync(conn) && !failed) {
    failure = failureOf(nullptr, conn);
    failed = true;
  }
  const size_t last = (settings ? m_pooler->statements.size() : 0) + 2;
  size_t index = 0;
  endPipeline([&](const PGresult* result) {
    ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_FATAL_ERROR && !failed) {
      failure = failureOf(result, conn);
      failed = true;
    }
    if (++index == last && status == PGRES_COMMAND_OK) {
      types.resize(static_cast<size_t>(parameters));
      for (int i = 0; i < parameters; ++i) types[static_cast<size_t>(i)] = PQparamtype(result, i);
      described = true;
    }
  }, true);
  m_watchDeadline = Clock::time_point::max();
  if (!failed && !described) {
    failed = true;
    failure = failureOf(nullptr, conn);
  }
  return failed ? mapError(failure, sql, Phase::Setup) : kOk;
}

bool PgConnection::sendExecution(const Prepared& prepared, const std::vector<const char*>& values) {
  PGconn* conn = m_conn.get();
  if (!m_pooler)
    return PQsendQueryPrepared(conn, prepared.name.c_str(), prepared.parameters, values.data(), nullptr, nullptr,
                               0) != 0;
  const Oid* types = prepared.explicitTypes ? prepared.types.data() : nullptr;
  return PQsendQueryParams(conn, prepared.numbered.c_str(), prepared.parameters, types, values.data(), nullptr,
                           nullptr, 0) != 0;
}

int PgConnection::send(PgStatement& statement, const std::vector<const char*>& values) {
  PGconn* conn = m_conn.get();
  const Prepared& prepared = *statement.m_prepared;
  auto sendStatement = [&] { return sendExecution(prepared, values); };
  // Behind a pooler, autocommit: the settings and the statement in one
  // implicit transaction. Lost there, the Sync may have committed it.
  const bool settings = m_pooler && PQtransactionStatus(conn) == PQTRANS_IDLE;
  std::span<const std::string> ahead = settings ? std::span(m_pooler->statements) : savepointCommands();
  const Phase phase = settings ? Phase::Statement : Phase::Setup;
  std::string local;
  if (int code = localTimeout(local); code != kOk) return code;
  std::vector<std::string> timed;  // the savepoint's commands and the SET LOCAL
  if (!local.empty()) {
    timed.assign(ahead.begin(), ahead.end());
    timed.push_back(std::move(local));
    ahead = timed;
  }
  if (ahead.empty()) {
    m_savepointClean = false;
    if (!sendStatement()) return mapError(failureOf(nullptr, conn), prepared.sql, phase);
    return kOk;
  }
  // In our own session the savepoint's commands are named statements, parsed
  // once per session: each statement then costs the server no parse of them.
  const bool named = !m_pooler;
  bool parse[std::size(kMoveSavepoint)];
  for (size_t i = 0; i < std::size(parse); ++i) parse[i] = named && !m_savepointParsed[i];
  bool sent = PQenterPipelineMode(conn);
  for (size_t i = 0; i < std::size(parse); ++i)
    if (parse[i]) sent = sent && PQsendPrepare(conn, kMoveSavepointNames[i], kMoveSavepoint[i].c_str(), 0, nullptr);
  for (const std::string& sql : ahead) {
    const char* name = named ? savepointName(sql) : nullptr;
    sent = sent && (name ? PQsendQueryPrepared(conn, name, 0, nullptr, nullptr, nullptr, 0)
                         : PQsendQueryParams(conn, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0));
  }
  sent = sent && sendStatement();
  Failure failure;
  bool failed = !sent;
  if (failed) failure = failureOf(nullptr, conn);  // libpq refused it (more than 65535 parameters, ...)
  // The Sync also when a part was refused: what was queued must be answered.
  const bool synced = PQpipelineSync(conn);
  if (!synced && !failed) {
    failure = failureOf(nullptr, conn);
    failed = true;
  }
  // The results of what went ahead come first, each ended by a null; then
  // the statement's, which may stream row by row.
  const std::string* shown = &prepared.sql;
  bool parsed = synced;
  for (size_t i = 0; parsed && i < std::size(parse); ++i) {
    if (!parse[i]) continue;
    awaitResult();
    Result result(PQgetResult(conn));
    parsed = PQresultStatus(result.get()) == PGRES_COMMAND_OK;
    if (!parsed) {
      if (!failed) {
        failure = failureOf(result.get(), conn);
        failed = true;
        shown = &kMoveSavepoint[i];
      }
      break;
    }
    m_savepointParsed[i] = true;  // on the server now, whatever follows
    Result end(PQgetResult(conn));
  }
  for (const std::string& sql : parsed ? ahead : ahead.first(0)) {
    awaitResult();
    Result result(PQgetResult(conn));
    if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
      if (!failed) {
        failure = failureOf(result.get(), conn);
        failed = true;
        if (!settings) shown = &sql;
      }
      break;
    }
    Result end(PQgetResult(conn));
    // Released, there is none until it is set again.
    if (!settings && !sql.starts_with("SET LOCAL")) m_savepoint = m_savepointClean = sql == kMoveSavepoint[1];
  }
  if (!failed) {
    m_savepointClean = false;
    return kOk;
  }
  endPipeline();
  return mapError(failure, *shown, phase);
}

int PgConnection::next(PgStatement& statement) {
  awaitResult();
  Result result(PQgetResult(m_conn.get()));
  if (result && PQresultStatus(result.get()) == PGRES_SINGLE_TUPLE) {
    statement.m_row = std::move(result);
    return kOk;
  }
  Failure failure;
  bool failed = false;
  if (result) {
    ExecStatusType status = PQresultStatus(result.get());
    failed = status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK;
    if (failed) failure = failureOf(result.get(), m_conn.get());
  } else if (PQstatus(m_conn.get()) == CONNECTION_BAD) {
    failed = true;
    failure = failureOf(nullptr, m_conn.get());
  }
  result.reset();
  while (Result rest{PQgetResult(m_conn.get())}) {
  }
  endPipeline();
  m_streaming = nullptr;
  statement.m_state = PgStatement::State::Done;
  return failed ? mapError(failure, statement.sql()) : kNoRow;
}

int PgConnection::exec(const char* sql) {
  if (int code = usable(); code != kOk) return code;
  settle();
  if (int code = beginStatement(); code != kOk) return code;
  m_savepointClean = false;
  // Behind a pooler, in the same implicit transaction as the settings.
  if (m_pooler && PQtransactionStatus(m_conn.get()) == PQTRANS_IDLE)
    return runCommand((m_pooler->joined + "; " + sql).c_str(), Phase::Statement, sql);
  std::string local;
  if (int code = localTimeout(local); code != kOk) return code;
  if (!local.empty()) return runCommand((local + "; " + sql).c_str(), Phase::Statement, sql);
  return runCommand(sql);
}

// A batch is pipelined: its executions go out back to back, a Sync after
// every kBatchChunk of them, and their results are read after each Sync, so
// a chunk costs one round trip. The one statement savepoint set before the
// batch makes a failing row undo the whole batch, as a failed statement is
// undone. Behind a pooler the executions are unnamed, like sendUnnamed's.
int PgConnection::runBatch(const std::string& sql, size_t rows, const BatchBinder& bind, long long* returned,
                           size_t* failedRow) {
  // Small enough that a chunk's results fit the socket buffers: nothing is
  // read while a chunk is being sent.
  constexpr size_t kBatchChunk = 256;
  *failedRow = rows;
  if (rows == 0) return kOk;
  Statement* base = nullptr;
  if (int code = prepare(sql, base); code != kOk) return code;
  auto* statement = static_cast<PgStatement*>(base);
  StatementLease releaseAtEnd(*this, base);
  settle();
  if (int code = beginStatement(); code != kOk) return code;
  bind(*statement, 0);
  if (int code = typeIntegers(*statement); code != kOk) return code;
  m_savepointClean = false;
  PGconn* conn = m_conn.get();
  const Prepared& prepared = *statement->m_prepared;
  std::vector<const char*> values(static_cast<size_t>(prepared.parameters));
  Failure failure;
  bool failed = !PQenterPipelineMode(conn);
  if (failed) failure = failureOf(nullptr, conn);
  for (size_t start = 0; !failed && start < rows; start += kBatchChunk) {
    const size_t end = rows - start < kBatchChunk ? rows : start + kBatchChunk;
    size_t sent = start;
    for (; sent < end; ++sent) {
      if (sent != 0) bind(*statement, sent);
      for (size_t i = 0; i < values.size(); ++i)
        values[i] = statement->m_isNull[i] ? nullptr : statement->m_values[i].c_str();
      // libpq copies the values into its buffer: the next row may bind over them.
      if (!sendExecution(prepared, values)) break;
    }
    // The Sync also after a refused send: what was queued must be answered.
    if (sent < end || !PQpipelineSync(conn)) {
      failure = failureOf(nullptr, conn);
      failed = true;
      *failedRow = sent;
    }
    // Each execution's results end with a null; the Sync's result ends the chunk.
    size_t row = start;
    for (;;) {
      Result result(PQgetResult(conn));
      if (!result) {
        if (PQstatus(conn) == CONNECTION_BAD) {
          if (!failed) failure = failureOf(nullptr, conn), *failedRow = row;
          failed = true;
          break;
        }
        ++row;
        continue;
      }
      ExecStatusType status = PQresultStatus(result.get());
      if (status == PGRES_PIPELINE_SYNC) break;
      if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) {
        if (returned && row < rows && PQntuples(result.get()) > 0)
          returned[row] = strtoll(PQgetvalue(result.get(), 0, 0), nullptr, 10);
      } else if (status != PGRES_PIPELINE_ABORTED && !failed) {
        failure = failureOf(result.get(), conn);
        failed = true;
        *failedRow = row;
      }
    }
  }
  PQexitPipelineMode(conn);
  if (!failed) return kOk;
  // Rolls back to the savepoint set before the batch, or ends the transaction.
  return mapError(failure, sql);
}

int PgConnection::begin(bool write) {
  transactionStarts();
  if (int code = usable(); code != kOk) return code;
  m_savepoint = m_savepointClean = false;
  // Write: serializable, as SQLite's one writer at a time is, so that a value
  // read and then written back is never a lost update; a conflict ends the
  // transaction with the restart code, which DBtran::run answers. Read: one
  // snapshot for the whole transaction; a write that conflicts with it needs a
  // restart too.
  std::string sql = write ? "BEGIN ISOLATION LEVEL SERIALIZABLE" : "BEGIN ISOLATION LEVEL REPEATABLE READ";
  if (m_pooler) sql += "; " + m_pooler->joined;  // in the same round trip
  int code = runCommand(sql.c_str(), Phase::Setup);
  // A connection the server closed while it was idle shows only now; nothing
  // had begun, so connecting again and beginning anew is safe.
  if (code == kConnection && m_leave && usable() == kOk) code = runCommand(sql.c_str(), Phase::Setup);
  m_begun = code == kOk;
  return code;
}

int PgConnection::commit() {
  int code = commitOpen();
  if (code == kOk || !inTransaction()) transactionOver();
  return code;
}

int PgConnection::commitOpen() {
  settle();
  // The last statement's SET LOCAL statement_timeout, perhaps the last
  // millisecond of a deadline, would hold for the COMMIT too: never cut it short.
  const bool timed = m_transactionTimeoutMs || m_transactionDeadline != Clock::time_point::max();
  Result result(PQexec(m_conn.get(), timed ? "SET LOCAL statement_timeout = 0; COMMIT" : "COMMIT"));
  m_savepoint = m_savepointClean = false;
  if (PQresultStatus(result.get()) != PGRES_COMMAND_OK)
    return mapError(failureOf(result.get(), m_conn.get()), "COMMIT", Phase::Commit);
  if (strcmp(PQcmdStatus(result.get()), "ROLLBACK") == 0) {
    // The server answers COMMIT of a failed transaction by rolling it back.
    m_lastErrorText = "the transaction had failed; COMMIT rolled it back";
    return kTransactionAborted;
  }
  return kOk;
}

int PgConnection::rollback() {
  int code = rollbackOpen();
  if (!inTransaction()) transactionOver();
  return code;
}

int PgConnection::rollbackOpen() {
  m_savepoint = m_savepointClean = false;
  if (PQstatus(m_conn.get()) != CONNECTION_OK) {
    if (m_streaming) finishStreaming(false);
    return kOk;  // the server ended the transaction with the connection
  }
  settle();
  if (PQtransactionStatus(m_conn.get()) == PQTRANS_IDLE) return kOk;
  return runCommand("ROLLBACK");
}

// What a session needs of a parsed postgresql: URL.
struct ConnectionSettings {
  std::string conninfo;  // what libpq is given: a URI or a keyword string
  int lockTimeoutMs;
  bool readOnly;  // every transaction is read only
  int maxLifetimeSeconds;
  int statementTimeoutMs;
  std::shared_ptr<const PoolerSettings> pooler = nullptr;  // pooler=transaction
};

// A libpq keyword string's value, quoted.
std::string keywordValue(const char* value) {
  std::string out = "'";
  for (const char* c = value; *c; ++c) {
    if (*c == '\\' || *c == '\'') out += '\\';
    out += *c;
  }
  return out + "'";
}

// pooler=transaction: the connection string without the settings of
// `options`, which become SET LOCAL statements with ours (last, as our
// session SETs came after the startup options).
bool poolerSettings(const PQconninfoOption* parsed, const DatabaseOptions& options, ConnectionSettings& out,
                    std::string* error) {
  auto pooler = std::make_shared<PoolerSettings>();
  std::vector<pg::Setting> settings;
  out.conninfo.clear();
  for (const PQconninfoOption* option = parsed; option->keyword; ++option) {
    if (!option->val) continue;
    std::string value = option->val;
    if (strcmp(option->keyword, "options") == 0) {
      std::string rest, problem;
      if (!pg::takeSettings(option->val, settings, rest, &problem)) {
        if (error) *error = "pooler=transaction: " + problem;
        return false;
      }
      if (rest.empty()) continue;
      value = rest;
    }
    if (!out.conninfo.empty()) out.conninfo += ' ';
    out.conninfo += std::string(option->keyword) + "=" + keywordValue(value.c_str());
  }
  for (const pg::Setting& setting : settings) pooler->statements.push_back(pg::setLocal(setting));
  pooler->statements.push_back("SET LOCAL lock_timeout = " + std::to_string(options.lockTimeoutMs));
  if (options.statementTimeoutMs)
    pooler->statements.push_back("SET LOCAL statement_timeout = " + std::to_string(options.statementTimeoutMs));
  if (options.readOnly) pooler->statements.push_back("SET LOCAL transaction_read_only = on");
  for (const std::string& sql : pooler->statements)
    pooler->joined += (pooler->joined.empty() ? "" : "; ") + sql;
  out.pooler = std::move(pooler);
  return true;
}

class PgBackend final : public Backend {
 public:
  PgBackend(ConnectionSettings settings, std::string databaseName)
      : m_settings(std::move(settings)), m_databaseName(std::move(databaseName)) {}
  const char* name() const override { return "postgresql"; }
  std::string databaseName() const override { return m_databaseName; }
  SqlDialect dialect() const override { return SqlDialect::Postgres; }

  int connect(std::unique_ptr<Connection>& out, std::string* error) override {
    // The defaults first: the URL's own settings, expanded from dbname, override them.
    constexpr size_t n = std::size(kDefaultKeywords);
    const char* keywords[n + 2];
    const char* values[n + 2];
    for (size_t i = 0; i < n; ++i) {
      keywords[i] = kDefaultKeywords[i];
      values[i] = kDefaultValues[i];
    }
    keywords[n] = "dbname";
    values[n] = m_settings.conninfo.c_str();
    keywords[n + 1] = values[n + 1] = nullptr;
    PGconn* conn = PQconnectdbParams(keywords, values, 1);
    if (PQstatus(conn) != CONNECTION_OK) {
      if (error) *error = "cannot connect to the PostgreSQL server: " + failureOf(nullptr, conn).message;
      PQfinish(conn);
      return kConnection;
    }
    auto connection = std::make_unique<PgConnection>(conn, m_settings.lockTimeoutMs, m_settings.readOnly,
                                                     m_settings.maxLifetimeSeconds, m_settings.statementTimeoutMs,
                                                     m_settings.pooler);
    if (int code = connection->setUp(); code != kOk) {
      if (error) *error = "cannot set up the PostgreSQL session: " + connection->lastErrorText();
      return code;
    }
    out = std::move(connection);
    return kOk;
  }

 private:
  ConnectionSettings m_settings;
  std::string m_databaseName;
};

std::string optionValue(const PQconninfoOption* options, std::string_view keyword) {
  for (const PQconninfoOption* option = options; option && option->keyword; ++option)
    if (option->keyword == keyword && option->val) return option->val;
  return {};
}

// The database libpq connects to for these settings: their dbname, else
// libpq's defaults (PGDATABASE, then the user name, as libpq falls back).
std::string connectedDatabaseName(const PQconninfoOption* parsed) {
  std::string name = optionValue(parsed, "dbname");
  if (!name.empty()) return name;
  PQconninfoOption* defaults = PQconndefaults();
  name = optionValue(defaults, "dbname");
  if (name.empty()) name = optionValue(parsed, "user");
  if (name.empty()) name = optionValue(defaults, "user");
  PQconninfoFree(defaults);
  return name;
}

// libpq checks the settings it is given here, so that a misspelt one is
// reported by open and not at each connection.
std::unique_ptr<Backend> makePostgresBackend(const DatabaseOptions& options, std::string* error) {
  char* problem = nullptr;
  PQconninfoOption* parsed = PQconninfoParse(options.target.c_str(), &problem);
  if (!parsed) {
    if (error) *error = std::string("bad PostgreSQL URL: ") + (problem ? problem : "out of memory");
    while (error && !error->empty() && error->back() == '\n') error->pop_back();
    PQfreemem(problem);
    return nullptr;
  }
  ConnectionSettings settings{options.target, options.lockTimeoutMs, options.readOnly, options.maxLifetimeSeconds,
                              options.statementTimeoutMs};
  const bool read = options.pooler != DatabaseOptions::Pooler::Transaction || poolerSettings(parsed, options, settings, error);
  std::string databaseName = connectedDatabaseName(parsed);
  PQconninfoFree(parsed);
  if (!read) return nullptr;
  return std::make_unique<PgBackend>(std::move(settings), std::move(databaseName));
}

}  // namespace

extern const BackendFactory kPostgresBackend{"postgresql", &makePostgresBackend};

}  // namespace db::engine
