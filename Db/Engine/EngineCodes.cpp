#include "Db/EngineCodes.h"

namespace db {

const char* codeName(int code) {
  switch (code) {
    case kOk: return "success";
    case kNoRow: return "no matching row";
    case kRetry: return "retryable: the database was busy";
    case kCountFailed: return "count failed";
    case kError: return "SQL error";
    case kConstraint: return "constraint violation";
    case kRestartTransaction: return "conflict: restart the transaction";
    case kTransactionAborted: return "the transaction was aborted; roll it back";
    case kIoError: return "I/O error";
    case kFull: return "database or disk is full";
    case kNoMemory: return "out of memory";
    case kConnection: return "cannot reach the database";
    case kOutcomeInDoubt: return "commit outcome in doubt";
    case kNotRegistered: return "table not registered with its transaction";
    case kMisuse: return "engine call out of order";
    case kSchemaVersion: return "incompatible schema version";
    case kNoDatabase: return "no database";
    case kCorrupt: return "database file is damaged";
    case kReadOnly: return "database is read-only";
    case kBusy: return "database is locked";
    case kValueRange: return "stored value does not fit its field";
    case kOwnLock: return "this thread's own transaction holds the write lock";
    case kNoSchema: return "not a catalogue: its tables were never created";
    case kNoConnection: return "no connection came free within the wait";
    case kStatementTimeout: return "the statement was stopped at its deadline";
    default: return "engine failure";
  }
}

}  // namespace db
