// Result codes of the database engine.
//
// 0, 100, 1025 and -1 are fixed by the library's callers; the failure codes
// from 2001 on are the engine's own and never collide with them.
#pragma once

#include "ZrLib/Export.h"

namespace db {

inline constexpr int kOk = 0;
inline constexpr int kNoRow = 100;    // one-row read matched nothing; end of a cursor
inline constexpr int kRetry = 1025;   // repeating the same statement in the same transaction can succeed
inline constexpr int kCountFailed = -1;  // row count on failure

// Failures. Each is final for the statement that got it.
inline constexpr int kError = 2001;               // SQL error: syntax, unknown table or column, ...
inline constexpr int kConstraint = 2002;          // key or constraint violation
inline constexpr int kRestartTransaction = 2003;  // only a new transaction can succeed (snapshot conflict, deadlock)
inline constexpr int kTransactionAborted = 2004;  // the database ended the transaction; roll back
inline constexpr int kIoError = 2005;             // disk or file I/O failure
inline constexpr int kFull = 2006;                // disk full or database size limit reached
inline constexpr int kNoMemory = 2007;            // the database ran out of memory
inline constexpr int kConnection = 2008;          // the database cannot be opened or was lost
inline constexpr int kOutcomeInDoubt = 2009;      // commit may or may not have happened
inline constexpr int kNotRegistered = 2010;       // binding has a transaction it could not join
inline constexpr int kMisuse = 2011;              // call out of order (fetch without cursor, ...)
inline constexpr int kSchemaVersion = 2012;       // the database was made by an incompatible version
inline constexpr int kNoDatabase = 2013;          // no database given and no default set
inline constexpr int kCorrupt = 2014;             // the database file is damaged or not a database
inline constexpr int kReadOnly = 2015;            // the database cannot be written
inline constexpr int kBusy = 2016;                // locked by another writer, and repeating cannot help here
inline constexpr int kValueRange = 2017;          // a stored value does not fit the record's field; nothing was read
// The calling thread's own transaction holds the write lock this call needs
// (SQLite: a null-transaction write beside the thread's open write
// transaction). Waiting or repeating can never help: commit or roll back that
// transaction first, or pass it to the call.
inline constexpr int kOwnLock = 2018;
// The database holds none of the library's tables (no version table): it was
// never made a catalogue, or is some other database. Create the tables first.
inline constexpr int kNoSchema = 2019;
// No connection came free within the wait (connection_wait) while the
// database's connections were all in use (max_connections). Not retried by
// DBtran::run: the cap is saturated, and pausing there only deepens the queue.
inline constexpr int kNoConnection = 2020;
// The statement was stopped at its deadline (statement_timeout, a
// transaction's statement timeout or DBtran::run's deadline). Not retried,
// by DBtran::run nor the facades' 1025 loop: the time is spent.
inline constexpr int kStatementTimeout = 2021;

// A short fixed description of a code ("retryable", "no row", ...).
ZR_EXPORT const char* codeName(int code);

}  // namespace db
