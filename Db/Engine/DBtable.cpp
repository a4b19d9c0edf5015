// DBtable over the backend interface: SQL built from the binding's texts,
// values moved between the record and statements column by column.
#include "Db/DBtable.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <vector>

#include "Db/DBtran.h"
#include "Db/Database.h"
#include "Db/Engine/Backend.h"
#include "Db/Engine/FaultSeam.h"
#include "Db/Engine/Lease.h"
#include "Db/Engine/Stats.h"
#include "Db/Engine/SqlLexer.h"
#include "Db/Engine/SqlLiterals.h"
#include "Db/Engine/Trace.h"
#include "Db/ZRDBRowBase.h"

using db::engine::Connection;
using db::engine::Lease;
using db::engine::Statement;
using db::fault::Call;

bool DBtable::b_newDBBase = false;
FXCriticalSection DBtable::DBCriticalSection;

namespace {

bool isBlank(std::string_view text) {
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return false;
  return true;
}

const char* callName(Call call) {
  switch (call) {
    case Call::Open: return "openCursor";
    case Call::Fetch: return "fetchCursor";
    case Call::Insert: return "rowInsert";
    case Call::Update: return "rowUpdate";
    case Call::Delete: return "rowDelete";
    case Call::Count: return "getRowsInTable";
    case Call::OneRow: return "getOneRow";
    case Call::Begin: return "begin";
    case Call::Commit: return "commit";
    case Call::kNumCalls: break;
  }
  return "?";
}

// The fault seam's call of a one-statement operation.
Call seamCall(DBtable::Kind kind) {
  switch (kind) {
    case DBtable::Kind::OneRow: return Call::OneRow;
    case DBtable::Kind::Insert: return Call::Insert;
    case DBtable::Kind::Update: return Call::Update;
    case DBtable::Kind::Delete: return Call::Delete;
    case DBtable::Kind::Cursor: return Call::Open;
    case DBtable::Kind::Count: return Call::Count;
  }
  return Call::kNumCalls;
}

// The operation the statement hook names for a call of `kind`.
db::observe::Operation operationOf(DBtable::Kind kind) {
  switch (kind) {
    case DBtable::Kind::OneRow:
    case DBtable::Kind::Cursor: return db::observe::Operation::Select;
    case DBtable::Kind::Count: return db::observe::Operation::Count;
    case DBtable::Kind::Insert: return db::observe::Operation::Insert;
    case DBtable::Kind::Update: return db::observe::Operation::Update;
    case DBtable::Kind::Delete: return db::observe::Operation::Delete;
  }
  return db::observe::Operation::Select;
}

using db::engine::storeOwnedText;
using db::engine::storeText;

// A stored integer that the record's 32-bit field cannot hold: reading it
// would hand the caller another row's key or another value.
bool fitsInt32(long long value) { return value >= INT_MIN && value <= INT_MAX; }

// "YLDevice.id holds 4294967297, which a 32-bit field cannot hold (row id = 4294967297)".
std::string outOfRange(const Statement& statement, const db::TableDef& def, const db::ColumnDef& column,
                       long long value) {
  std::string key;
  int index = 0;
  for (const db::ColumnDef& each : def.columns) {
    for (const char* name : def.primaryKey) {
      if (strcmp(name, each.name) != 0) continue;
      if (!key.empty()) key += ", ";
      key += std::string(each.name) + " = " + std::string(statement.columnText(index));
    }
    ++index;
  }
  return std::string(def.name) + "." + column.name + " holds " + std::to_string(value) +
         ", which its 32-bit field cannot hold (row " + (key.empty() ? "without a key" : key) +
         "); nothing was read";
}

// Fills the record from the current row of `statement`, columns in order.
// A NULL reads as 0, the empty text or a null owned text (the backends give
// 0 and no text for it). Returns kOk, or kValueRange with *error filled when
// a stored integer does not fit its field; the record is then unchanged.
// The row is read in one call first, so that nothing is written before every
// 32-bit value is known to fit.
constexpr size_t kStackColumns = 64;
using ColumnValue = Statement::ColumnValue;

int checkInt32s(const Statement& statement, const db::TableDef& def, const ColumnValue* values, std::string* error) {
  int index = 0;
  for (const db::ColumnDef& column : def.columns) {
    if (column.type == db::ColumnType::Int32 && !fitsInt32(values[index].integer)) {
      *error = outOfRange(statement, def, column, values[index].integer);
      return db::kValueRange;
    }
    ++index;
  }
  return db::kOk;
}

void readRecordClassic(const db::TableDef& def, void* record, const ColumnValue* values) {
  int index = 0;
  for (const db::ColumnDef& column : def.columns) {
    const ColumnValue& value = values[index++];
    switch (column.type) {
      case db::ColumnType::Int32:
        db::fieldAt<int>(record, column) = static_cast<int>(value.integer);
        break;
      case db::ColumnType::Int64:
      case db::ColumnType::Time64:
        db::fieldAt<long long>(record, column) = value.integer;
        break;
      case db::ColumnType::Text:
        storeText(&db::fieldAt<char>(record, column), column.size, value.view());
        break;
      case db::ColumnType::OwnedText:
        storeOwnedText(db::fieldAt<char*>(record, column), value.null, value.view());
        break;
    }
  }
}

// Binds the record's values, skipping the serial column; returns the count.
int bindRecordClassic(Statement& statement, const db::TableDef& def, const void* record) {
  int index = 0;
  for (const db::ColumnDef& column : def.columns) {
    if (def.isSerial(column)) continue;
    ++index;
    switch (column.type) {
      case db::ColumnType::Int32:
        statement.bindInt64(index, db::fieldAt<int>(record, column));
        break;
      case db::ColumnType::Int64:
      case db::ColumnType::Time64:
        statement.bindInt64(index, db::fieldAt<long long>(record, column));
        break;
      case db::ColumnType::Text: {
        const char* field = &db::fieldAt<char>(record, column);
        statement.bindText(index, field, strnlen(field, column.size - 1));
        break;
      }
      case db::ColumnType::OwnedText: {
        const char* field = db::fieldAt<char*>(record, column);
        if (field)
          statement.bindText(index, field, strlen(field));
        else
          statement.bindNull(index);
        break;
      }
    }
  }
  return index;
}

// The newer access path: each value goes into its column object (value and
// NULL state) and the indicator array (-1 for NULL, else 0), then into the
// record.
void readRecordThroughDescriptor(const db::TableDef& def, void* record, ZRDBRowBase& descriptor,
                                 long long* indicators, const ColumnValue* values) {
  int index = 0;
  for (const db::ColumnDef& column : def.columns) {
    const ColumnValue& read = values[index];
    bool null = read.null;
    ZRDBDataTypeBase* object = descriptor.m_columnVec[static_cast<size_t>(index)];
    if (indicators) indicators[index] = null ? -1 : 0;
    switch (column.type) {
      case db::ColumnType::Int32: {
        int value = null ? 0 : static_cast<int>(read.integer);
        object->setData(reinterpret_cast<const char*>(&value), 0, sizeof value, true);
        object->setInternalNull(null);
        db::fieldAt<int>(record, column) = static_cast<ZRDBInt*>(object)->m_value;
        break;
      }
      case db::ColumnType::Int64:
      case db::ColumnType::Time64: {
        long long value = null ? 0 : read.integer;
        object->setData(reinterpret_cast<const char*>(&value), 0, sizeof value, true);
        object->setInternalNull(null);
        db::fieldAt<long long>(record, column) = static_cast<ZRDBInt64*>(object)->m_value;
        break;
      }
      case db::ColumnType::Text:
      case db::ColumnType::OwnedText: {
        auto* text = static_cast<ZRDB_string*>(object);
        if (null) {
          text->setInternalNull(true);
        } else {
          std::string_view value = read.view();
          text->setData(value.data(), 0, static_cast<int>(value.size()), true);
          text->setInternalNull(false);
        }
        if (column.type == db::ColumnType::Text) {
          storeText(&db::fieldAt<char>(record, column), column.size, text->m_value);
        } else {
          char*& field = db::fieldAt<char*>(record, column);
          char* copy = null ? nullptr : db::duplicateOwnedText(text->m_value.c_str());
          delete[] field;
          field = copy;
        }
        break;
      }
    }
    ++index;
  }
}

int bindRecordThroughDescriptor(Statement& statement, const db::TableDef& def, const void* record,
                                ZRDBRowBase& descriptor, long long* indicators) {
  int parameter = 0;
  int index = -1;
  for (const db::ColumnDef& column : def.columns) {
    ++index;
    if (def.isSerial(column)) continue;
    ++parameter;
    ZRDBDataTypeBase* object = descriptor.m_columnVec[static_cast<size_t>(index)];
    switch (column.type) {
      case db::ColumnType::Int32: {
        int value = db::fieldAt<int>(record, column);
        object->setData(reinterpret_cast<const char*>(&value), 0, sizeof value, true);
        object->setInternalNull(false);
        statement.bindInt64(parameter, static_cast<ZRDBInt*>(object)->m_value);
        break;
      }
      case db::ColumnType::Int64:
      case db::ColumnType::Time64: {
        long long value = db::fieldAt<long long>(record, column);
        object->setData(reinterpret_cast<const char*>(&value), 0, sizeof value, true);
        object->setInternalNull(false);
        statement.bindInt64(parameter, static_cast<ZRDBInt64*>(object)->m_value);
        break;
      }
      case db::ColumnType::Text:
      case db::ColumnType::OwnedText: {
        auto* text = static_cast<ZRDB_string*>(object);
        const char* field = column.type == db::ColumnType::Text ? &db::fieldAt<char>(record, column)
                                                                 : db::fieldAt<char*>(record, column);
        if (!field) {
          text->setInternalNull(true);
          statement.bindNull(parameter);
        } else {
          size_t n = column.type == db::ColumnType::Text ? strnlen(field, column.size - 1) : strlen(field);
          text->setData(field, 0, static_cast<int>(n), true);
          text->setInternalNull(false);
          statement.bindText(parameter, text->m_value.data(), text->m_value.size());
        }
        break;
      }
    }
    if (indicators) indicators[index] = object->isNull() ? -1 : 0;
  }
  return parameter;
}

int readRecord(const Statement& statement, const db::TableDef& def, void* record, ZRDBRowBase* descriptor,
               long long* indicators, std::string* error) {
  if (!descriptor && def.columns.size() <= Statement::kDirectColumns) {
    long long value = 0;
    const int bad = statement.readRecord(def, record, &value);
    if (bad < 0) [[likely]]
      return db::kOk;
    *error = outOfRange(statement, def, def.columns[static_cast<size_t>(bad)], value);
    return db::kValueRange;
  }
  ColumnValue stackValues[kStackColumns];
  std::vector<ColumnValue> heapValues;
  ColumnValue* values = stackValues;
  if (def.columns.size() > kStackColumns) {
    heapValues.resize(def.columns.size());
    values = heapValues.data();
  }
  if (!statement.readRow(def, descriptor != nullptr, values))
    if (int code = checkInt32s(statement, def, values, error); code != db::kOk) return code;
  if (descriptor)
    readRecordThroughDescriptor(def, record, *descriptor, indicators, values);
  else
    readRecordClassic(def, record, values);
  return db::kOk;
}

void bindRecordValues(Statement& statement, const db::TableDef& def, const void* record, ZRDBRowBase* descriptor,
                      long long* indicators) {
  if (descriptor)
    bindRecordThroughDescriptor(statement, def, record, *descriptor, indicators);
  else
    bindRecordClassic(statement, def, record);
}

// The SQL text being built and the literals taken out of it. One per thread:
// a statement is built, prepared and bound before the next one is built.
struct SqlScratch {
  std::string text;
  std::vector<long long> params;
  // Where the literals taken from each caller fragment stood in it, in the
  // order the fragments were appended (SET before WHERE).
  std::vector<db::engine::LiteralRun> runs[2];
  size_t fragments = 0;
  // The text last sent: `text`, or a statement kept from an earlier build.
  const std::string* sent = &text;
};
SqlScratch& threadSql();

// A caller's fragment, with its integer literals as parameters when `params`
// is given and the fragment allows it. Sets `declined` when the fragment is
// one the whole statement must be sent as written for.
void appendFragment(std::string& sql, std::vector<long long>* params, const std::string& fragment,
                    db::SqlDialect dialect, bool& declined) {
  if (params) {
    SqlScratch& scratch = threadSql();
    std::vector<db::engine::LiteralRun>* runs = nullptr;
    if (params == &scratch.params && scratch.fragments < 2) runs = &scratch.runs[scratch.fragments++];
    db::engine::LiteralScan scan = db::engine::takeLiterals(fragment, sql, *params, dialect, runs);
    if (scan == db::engine::LiteralScan::Taken) return;
    declined = declined || scan == db::engine::LiteralScan::Declined;
  }
  sql += fragment;
}

// Appends the values of `text` when it is `known` but for the digits of the
// literals taken from `known` at `runs` (each still a plain number of at most
// 18 digits without leading zeros, as the literal scan takes them).
bool sameLiterals(std::string_view known, const std::vector<db::engine::LiteralRun>& runs, std::string_view text,
                  std::vector<long long>& values) {
  if (runs.empty()) return text == known;
  size_t from = 0, at = 0;
  for (const db::engine::LiteralRun& run : runs) {
    const size_t piece = run.digitsStart - from;
    if (text.size() - at < piece || text.compare(at, piece, known, from, piece) != 0) return false;
    at += piece;
    const size_t start = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    const size_t digits = at - start;
    if (digits == 0 || digits > 18 || (text[start] == '0' && digits > 1)) return false;
    long long value = 0;  // at most 18 digits: no overflow
    for (size_t i = start; i < at; ++i) value = value * 10 + (text[i] - '0');
    values.push_back(run.negative ? -value : value);
    from = run.end;
  }
  return text.substr(at) == known.substr(from);
}

// The last N statements a thread kept: a new one takes the oldest slot.
template <class Entry, size_t N>
struct KeptStatements {
  Entry entries[N];
  size_t used = 0, next = 0;
  Entry& take() {
    Entry& entry = entries[next];
    next = (next + 1) % N;
    used = std::min(used + 1, N);
    return entry;
  }
};

// The statements this thread built last, each with the texts it was built
// from, so that a call repeating them (or varying only their taken
// literals) skips the build and the check of the texts: those texts passed it.
struct BuiltStatement {
  const db::TableTexts* table = nullptr;
  DBtable::Kind kind = DBtable::Kind::OneRow;
  db::SqlDialect dialect = db::SqlDialect::Sqlite;
  bool parameterised = false;
  std::string setText, where, orderBy;
  std::vector<db::engine::LiteralRun> setRuns, whereRuns;
  std::vector<long long> values;  // as built: on PostgreSQL a marker's type follows its value
  std::string sql;
};

struct BuiltStatements : KeptStatements<BuiltStatement, 8> {
  static constexpr size_t kLongest = 1024;  // longer texts are built each time
};

// The statements this thread built for a condition set by setWhereKey, each
// with its key column and its one parameter, the key's value: a later read
// or delete by another value of that key binds it to the same statement
// without spelling, scanning or matching the condition's text. It is the
// statement the text "<key> = <value>" builds.
struct KeyedStatement {
  const db::TableTexts* table = nullptr;
  DBtable::Kind kind = DBtable::Kind::OneRow;
  db::SqlDialect dialect = db::SqlDialect::Sqlite;
  const char* column = nullptr;
  std::string orderBy;
  long long value = 0;  // as built: on PostgreSQL a marker's type follows its value
  std::string sql;
};

using KeyedStatements = KeptStatements<KeyedStatement, 4>;

bool usesSet(DBtable::Kind kind) { return kind == DBtable::Kind::Update; }
bool usesWhere(DBtable::Kind kind) { return kind != DBtable::Kind::Insert; }
bool usesOrder(DBtable::Kind kind) { return kind == DBtable::Kind::OneRow || kind == DBtable::Kind::Cursor; }

// The kept statement for these texts, with their literals in `values`; null
// when none is kept.
const BuiltStatement* findBuilt(BuiltStatements& built, const db::TableTexts* table, DBtable::Kind kind, db::SqlDialect dialect,
                                bool parameterise, const char* setText, const std::string& where,
                                std::string_view orderBy, std::vector<long long>& values) {
  for (size_t k = 0; k < built.used; ++k) {
    const BuiltStatement& entry = built.entries[k];
    if (entry.table != table || entry.kind != kind || entry.dialect != dialect || entry.parameterised != parameterise)
      continue;
    if (usesOrder(kind) && entry.orderBy != orderBy) continue;
    values.clear();
    if (usesSet(kind) && !sameLiterals(entry.setText, entry.setRuns, setText, values)) continue;
    if (usesWhere(kind) && !sameLiterals(entry.where, entry.whereRuns, where, values)) continue;
    if (values.size() != entry.values.size()) continue;
    bool sameMarkers = true;
    if (dialect != db::SqlDialect::Sqlite)
      for (size_t i = 0; i < values.size() && sameMarkers; ++i)
        sameMarkers = db::engine::literalMarker(dialect, values[i]) == db::engine::literalMarker(dialect, entry.values[i]);
    if (sameMarkers) return &entry;
  }
  values.clear();
  return nullptr;
}

const KeyedStatement* findKeyed(const KeyedStatements& keyed, const db::TableTexts* table, DBtable::Kind kind,
                                db::SqlDialect dialect, const char* column, std::string_view orderBy,
                                long long value) {
  for (size_t k = 0; k < keyed.used; ++k) {
    const KeyedStatement& entry = keyed.entries[k];
    if (entry.table != table || entry.kind != kind || entry.dialect != dialect || entry.column != column) continue;
    if (usesOrder(kind) && entry.orderBy != orderBy) continue;
    if (dialect != db::SqlDialect::Sqlite &&
        db::engine::literalMarker(dialect, value) != db::engine::literalMarker(dialect, entry.value))
      continue;
    return &entry;
  }
  return nullptr;
}

// Keeps the statement just built in `scratch` from a key condition, when its
// one parameter is the key's value.
void keepKeyed(KeyedStatements& keyed, const SqlScratch& scratch, const db::TableTexts* table, DBtable::Kind kind,
               db::SqlDialect dialect, const char* column, std::string_view orderBy, long long value) {
  if (scratch.params.size() != 1 || scratch.params[0] != value) return;
  if (usesOrder(kind) && orderBy.size() > BuiltStatements::kLongest) return;
  KeyedStatement& entry = keyed.take();
  entry.table = table;
  entry.kind = kind;
  entry.dialect = dialect;
  entry.column = column;
  entry.orderBy.assign(usesOrder(kind) ? orderBy : std::string_view());
  entry.value = value;
  entry.sql = *scratch.sent;
}

// Keeps the statement just built in `scratch` from these texts.
void keepBuilt(BuiltStatements& built, const SqlScratch& scratch, const db::TableTexts* table, DBtable::Kind kind, db::SqlDialect dialect,
               bool parameterise, const char* setText, const std::string& where, std::string_view orderBy) {
  const std::string_view set = usesSet(kind) && setText ? setText : "";
  if (set.size() > BuiltStatements::kLongest || where.size() > BuiltStatements::kLongest ||
      orderBy.size() > BuiltStatements::kLongest)
    return;
  BuiltStatement& entry = built.take();
  entry.table = table;
  entry.kind = kind;
  entry.dialect = dialect;
  entry.parameterised = parameterise;
  entry.setText.assign(set);
  entry.where.assign(usesWhere(kind) ? where : std::string_view());
  entry.orderBy.assign(usesOrder(kind) ? orderBy : std::string_view());
  entry.setRuns.clear();
  entry.whereRuns.clear();
  entry.values = scratch.params;
  if (!scratch.params.empty()) {
    // The runs of the fragments in the order they were appended.
    size_t fragment = 0;
    if (usesSet(kind)) entry.setRuns = scratch.runs[fragment++];
    if (!isBlank(where)) entry.whereRuns = scratch.runs[fragment];
  }
  entry.sql = scratch.text;
}

// Whether `a` and `b` are the same text but for the digits of their runs
// of digits (each run may change length, never vanish).
bool sameButDigits(std::string_view a, std::string_view b) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      while (i < a.size() && digit(a[i])) ++i;
      while (j < b.size() && digit(b[j])) ++j;
    } else if (a[i++] != b[j++]) {
      return false;
    }
  }
  return i == a.size() && j == b.size();
}

// The last few caller texts this thread found to stay in place, so that a
// repeated call is not lexed again. In SQLite's dialect no quote, comment or
// parenthesis starts or ends at a digit, so a text that differs from a known
// one only in its digit runs gets the same verdict; PostgreSQL's dollar tags
// may hold digits, so there a text must match exactly.
struct AcceptedTexts {
  static constexpr size_t kSize = 8;
  static constexpr size_t kLongest = 1024;
  std::string texts[kSize];
  db::SqlDialect dialects[kSize] = {};
  size_t used = 0, next = 0;

  bool known(std::string_view text, db::SqlDialect dialect) const {
    for (size_t k = 0; k < used; ++k) {
      if (dialects[k] != dialect) continue;
      if (dialect == db::SqlDialect::Sqlite ? sameButDigits(texts[k], text) : texts[k] == text) return true;
    }
    return false;
  }
  void add(std::string_view text, db::SqlDialect dialect) {
    if (text.size() > kLongest) return;
    texts[next].assign(text);
    dialects[next] = dialect;
    next = (next + 1) % kSize;
    used = std::min(used + 1, kSize);
  }
};
}  // namespace

namespace db::engine {

// This thread's scratch text and memos, in one thread-local object: in a
// shared library every access to a thread-local costs a call, so a statement
// reaches it once and passes it on.
struct ThreadScratch {
  SqlScratch sql;
  BuiltStatements built;
  KeyedStatements keyed;
  AcceptedTexts accepted;
};

}  // namespace db::engine

namespace {

thread_local db::engine::ThreadScratch tl_scratch;

SqlScratch& threadSql() { return tl_scratch.sql; }

// Whether an ORDER BY text holds markers of its own, which keep the
// statement from being parameterised; the verdict of this thread's last
// text is kept, since a caller repeats the same order call after call.
bool orderByDeclines(std::string_view orderBy, db::SqlDialect dialect) {
  struct Last {
    std::string text;
    db::SqlDialect dialect = db::SqlDialect::Sqlite;
    bool declines = false;
    bool valid = false;
  };
  thread_local Last last;
  Last& memo = last;
  if (memo.valid && memo.dialect == dialect && memo.text == orderBy) return memo.declines;
  std::string unused;
  std::vector<long long> none;
  bool declines = db::engine::takeLiterals(orderBy, unused, none, dialect) == db::engine::LiteralScan::Declined;
  memo.text = orderBy;
  memo.dialect = dialect;
  memo.declines = declines;
  memo.valid = true;
  return declines;
}

}  // namespace

namespace db::engine {

bool Statement::readRow(const db::TableDef& def, bool nulls, ColumnValue* out) const {
  return readRowWith(*this, def, nulls, out);
}

int Statement::readRecord(const db::TableDef& def, void* record, long long* value) const {
  return readRecordWith(*this, def, record, value);
}

int Connection::underSavepoint(const std::function<int()>& body) {
  if (int code = exec("SAVEPOINT divu_batch"); code != kOk) return code;
  int code = body();
  if (code == kOk) return exec("RELEASE divu_batch");
  // The failure's text is the one to report, whatever the undo says; a
  // transaction the database already ended has nothing left to undo.
  std::string text = m_lastErrorText;
  if (!m_transactionEnded) exec("ROLLBACK TO divu_batch; RELEASE divu_batch");
  m_lastErrorText = std::move(text);
  return code;
}

int Connection::runBatch(const std::string& sql, size_t rows, const BatchBinder& bind, long long* returned,
                         size_t* failedRow) {
  *failedRow = rows;
  return underSavepoint([&] {
    for (size_t row = 0; row < rows; ++row) {
      Statement* statement = nullptr;
      int code = prepare(sql, statement);
      if (code == kOk) {
        bind(*statement, row);
        code = statement->step();
        if (code == kOk && returned) returned[row] = statement->columnInt64(0);
        release(statement);
      }
      if (code != kOk && code != kNoRow) {
        *failedRow = row;
        return code;
      }
    }
    return kOk;
  });
}

}  // namespace db::engine

DBtable::DBtable(const char* tableName, int, DBtran* tran)
    : m_tableName(tableName ? tableName : ""), m_tran(tran), m_connObject(&m_connStorage) {}

DBtable::~DBtable() { releaseCursor(); }

void DBtable::unbindRecord() {
  releaseCursor();
  m_def = nullptr;
  m_record = nullptr;
  m_texts = nullptr;
}

// Every binding sets its texts: an append into the kept buffer costs less
// than a general replace.
static void assignText(std::string& target, const char* text) {
  target.clear();
  if (text) target.append(text);
}

int DBtable::setWhere(const char* where) {
  m_whereKey = nullptr;
  assignText(m_where, where);
  return db::kOk;
}

int DBtable::setWhereKey(const char* column, int value) {
  m_whereKey = column;
  m_whereKeyValue = value;
  m_whereSpelt = false;
  return db::kOk;
}

const std::string& DBtable::whereText() const {
  if (m_whereKey && !m_whereSpelt) {
    char digits[16];
    char* end = std::to_chars(digits, digits + sizeof digits, m_whereKeyValue).ptr;
    m_where.assign(m_whereKey);
    m_where += " = ";
    m_where.append(digits, static_cast<size_t>(end - digits));
    m_whereSpelt = true;
  }
  return m_where;
}

int DBtable::setOrderBy(const char* orderBy) {
  assignText(m_orderByText, orderBy);
  m_orderBy = m_orderByText;
  return db::kOk;
}

int DBtable::fail(int code, std::string text) {
  m_lastCode = code;
  m_errorText = std::move(text);
  return code;
}

int DBtable::failFrom(Connection* connection, int code) {
  // The backend tells whether the database ended the transaction with this
  // failure; the engine marks it aborted.
  if (m_tran) m_tran->noteIfEnded();
  m_lastCode = code;
  m_errorText = connection->lastErrorText();
  // The literals taken out of the failing statement, when it is the last one
  // this thread built.
  const SqlScratch& scratch = threadSql();
  if (!scratch.params.empty() && m_errorText.find(*scratch.sent) != std::string::npos) {
    m_errorText += " (parameters:";
    for (long long value : scratch.params) m_errorText += " " + std::to_string(value);
    m_errorText += ")";
  }
  return code;
}

const char* DBtable::getErrorStr(int code) {
  if (code == m_lastCode && !m_errorText.empty()) return m_errorText.c_str();
  return db::codeName(code);
}

int DBtable::resolveConnection(Lease*& lease, Kind kind) {
  lease = nullptr;
  if (!m_def || !m_record) return fail(db::kMisuse, std::string("table ") + m_tableName + " has no record bound");
  if (m_tran) {
    m_tran->noteIfEnded();
    if (m_tran->isAborted())
      return fail(db::kTransactionAborted, "the transaction was aborted and must be rolled back: " + m_tran->lastError());
    if (!m_connObject->m_connection)
      return fail(db::kNotRegistered, std::string("table ") + m_tableName + " is not registered with its transaction");
    Lease* held = m_tran->lease();
    if (!held || &held->connection() != m_connObject->m_connection)
      return fail(db::kMisuse, std::string("the transaction of table ") + m_tableName + " has ended");
    lease = held;
    return db::kOk;
  }
  db::Database* database = db::Database::defaultForThisThread();
  if (!database) return fail(db::kNoDatabase, "no transaction given and no default database set");
  // Without a transaction, reads may go to the read hosts; writes never do.
  const bool reads = kind == Kind::OneRow || kind == Kind::Count || kind == Kind::Cursor;
  std::string error;
  if (int code = database->autocommitLease(lease, &error, reads ? db::Database::Route::Reads : db::Database::Route::Primary);
      code != db::kOk)
    return fail(code, error);
  return db::kOk;
}

// Each caller text stands on lines of its own, and a condition in
// parentheses, so that no comment, quote or operator in it reaches the
// clauses after it; prepareStatement has checked that it closes what it opens.
void DBtable::buildSql(Kind kind, const char* setText, std::string& sql, std::vector<long long>* params,
                       db::SqlDialect dialect) const {
  const size_t sqlStart = sql.size();
  const size_t paramsStart = params ? params->size() : 0;
  // A caller's own parameter markers anywhere in the statement would be
  // numbered among ours: then no fragment is parameterised.
  bool declined = false;
  switch (kind) {
    case Kind::OneRow:
    case Kind::Cursor:
      sql += m_texts->selectPrefix;
      break;
    case Kind::Count:
      sql += m_texts->countPrefix;
      break;
    case Kind::Update:
      sql += m_texts->updatePrefix;
      sql += '\n';
      appendFragment(sql, params, setText, dialect, declined);
      sql += '\n';
      break;
    case Kind::Delete:
      sql += m_texts->deletePrefix;
      break;
    case Kind::Insert:
      sql += m_texts->insertSql;
      return;
  }
  const std::string& where = whereText();
  if (!isBlank(where)) {
    sql += " WHERE (\n";
    appendFragment(sql, params, where, dialect, declined);
    sql += "\n)";
  }
  if ((kind == Kind::OneRow || kind == Kind::Cursor) && !isBlank(m_orderBy)) {
    sql += " ORDER BY\n";
    sql += m_orderBy;
    sql += '\n';
    // Its numbers name columns and stay; only its markers matter.
    declined = declined || (params && orderByDeclines(m_orderBy, dialect));
  }
  if (kind == Kind::OneRow) sql += " LIMIT 1";
  if (declined && params && params->size() > paramsStart) {
    sql.resize(sqlStart);
    params->resize(paramsStart);
    buildSql(kind, setText, sql, nullptr, dialect);
  }
}

std::string DBtable::plainSql(Kind kind, const char* setText) const {
  std::string sql;
  buildSql(kind, setText, sql, nullptr, db::SqlDialect::Sqlite);  // no parameters: the same in every dialect
  return sql;
}

int DBtable::checkTexts(Kind kind, const char* setText, db::SqlDialect dialect, db::engine::ThreadScratch& thread) {
  struct Text {
    const char* what;
    const char* text;
  };
  const bool reads = kind == Kind::OneRow || kind == Kind::Cursor;
  const Text texts[] = {{"SET", kind == Kind::Update ? setText : nullptr},
                        {"WHERE", kind == Kind::Insert ? nullptr : whereText().c_str()},
                        {"ORDER BY", reads ? m_orderBy.data() : nullptr}};
  AcceptedTexts& accepted = thread.accepted;
  for (const Text& each : texts) {
    if (!each.text || !*each.text || accepted.known(each.text, dialect)) continue;
    std::string why;
    if (!db::engine::fragmentStaysInPlace(each.text, dialect, &why))
      return fail(db::kError, std::string(each.what) + " text of " + m_tableName + " refused: " + why + ": " +
                                  each.text);
    accepted.add(each.text, dialect);
  }
  return db::kOk;
}

namespace {

// Prepares the scratch's text to send and binds its literals.
int prepareAndBind(Connection* connection, const SqlScratch& scratch, Statement*& statement) {
  int code = connection->prepare(*scratch.sent, statement);
  if (code != db::kOk) return code;
  if (!scratch.params.empty() && statement->parameterCount() != static_cast<int>(scratch.params.size())) {
    // Never bind values short or to markers they were not taken for.
    connection->release(statement);
    statement = nullptr;
    return db::kError;
  }
  int index = 0;
  for (long long value : scratch.params) statement->bindInt64(++index, value);
  return db::kOk;
}

// Whether a statement with literal parameters may have failed for them, so
// that the text as written could succeed: the database refused the text and
// the transaction goes on. A deadline, a lost connection or an ended
// transaction would fail the second try too, and its failure would hide the
// first.
bool parametersMayBeTheCause(int code, const Connection& connection) {
  return code == db::kError && !connection.transactionEnded();
}

}  // namespace

int DBtable::prepareStatement(Connection* connection, Kind kind, const char* setText, Statement*& statement,
                              db::engine::ThreadScratch& thread) {
  if (db::trace::enabled()) db::trace::statement(plainSql(kind, setText));
  const db::SqlDialect dialect = connection->dialect();
  SqlScratch& scratch = thread.sql;
  const bool wanted = kind != Kind::Insert && db::engine::literalParameters();
  bool parameterise = wanted;
  // A key condition is bound to the statement its text builds, when this
  // thread built that one before: the same statement with the same value,
  // without the text.
  const bool keyed = m_whereKey && wanted && (kind == Kind::OneRow || kind == Kind::Delete);
  const KeyedStatement* byKey =
      keyed ? findKeyed(thread.keyed, m_texts, kind, dialect, m_whereKey, m_orderBy, m_whereKeyValue) : nullptr;
  if (byKey) {
    scratch.params.assign(1, m_whereKeyValue);
    scratch.sent = &byKey->sql;
    // Its one marker was counted when it was kept: a text has the markers it
    // has, whichever connection compiles it.
    int code = connection->prepare(byKey->sql, statement);
    if (code == db::kOk) {
      statement->bindInt64(1, m_whereKeyValue);
      return db::kOk;
    }
    if (!parametersMayBeTheCause(code, *connection)) return failFrom(connection, code);
    parameterise = false;
  } else if (const BuiltStatement* built = findBuilt(thread.built, m_texts, kind, dialect, parameterise, setText,
                                                     whereText(), m_orderBy, scratch.params)) {
    scratch.sent = &built->sql;
    int code = prepareAndBind(connection, scratch, statement);
    if (code == db::kOk) {
      if (keyed) keepKeyed(thread.keyed, scratch, m_texts, kind, dialect, m_whereKey, m_orderBy, m_whereKeyValue);
      return db::kOk;
    }
    if (scratch.params.empty() || !parametersMayBeTheCause(code, *connection)) return failFrom(connection, code);
    // Built again below, it would fail the same way: go on as a build does then.
    parameterise = false;
  }
  if (int code = checkTexts(kind, setText, dialect, thread); code != db::kOk) return code;
  for (;;) {
    scratch.text.clear();
    scratch.params.clear();
    scratch.fragments = 0;
    scratch.runs[0].clear();
    scratch.runs[1].clear();
    scratch.sent = &scratch.text;
    buildSql(kind, setText, scratch.text, parameterise ? &scratch.params : nullptr, dialect);
    int code = prepareAndBind(connection, scratch, statement);
    if (code == db::kOk) {
      if (parameterise == wanted) {
        keepBuilt(thread.built, scratch, m_texts, kind, dialect, parameterise, setText, m_where, m_orderBy);
        if (keyed) keepKeyed(thread.keyed, scratch, m_texts, kind, dialect, m_whereKey, m_orderBy, m_whereKeyValue);
      }
      return db::kOk;
    }
    // A text the parameters did not suit: try it exactly as the caller wrote it.
    if (!scratch.params.empty() && parametersMayBeTheCause(code, *connection)) {
      parameterise = false;
      continue;
    }
    return failFrom(connection, code);
  }
}

int checkCallerText(const char* text, DBtran* tran, std::string* why) {
  if (!text) return db::kOk;
  db::SqlDialect dialect = db::SqlDialect::Sqlite;
  if (tran && tran->connection())
    dialect = tran->connection()->dialect();
  else if (db::Database* database = db::Database::defaultForThisThread())
    dialect = database->dialect();
  return db::engine::fragmentStaysInPlace(text, dialect, why) ? db::kOk : db::kError;
}

int DBtable::runStatement(Kind kind, const char* setText, long long* serialOut) {
  const Call call = seamCall(kind);
  if (int injected = db::fault::check(call, m_tableName))
    return fail(injected, std::string("injected fault: ") + callName(call) + " on " + m_tableName);
  Lease* lease = nullptr;
  if (int code = resolveConnection(lease, kind); code != db::kOk) return code;
  // An autocommit call leaves no cursor: its connection is free again when it returns.
  db::engine::GiveBackOnExit giveBack(m_tran ? nullptr : lease);
  Connection* connection = &lease->connection();
  db::engine::StatementScope observed(*lease, m_tableName, operationOf(kind), m_lastCode);
  Statement* statement = nullptr;
  db::engine::ThreadScratch& thread = tl_scratch;
  if (int code = prepareStatement(connection, kind, setText, statement, thread); code != db::kOk) return code;
  observed.prepared(*thread.sql.sent, thread.sql.params);
  if (kind == Kind::Insert) bindRecordValues(*statement, *m_def, m_record, m_rowDescriptor, indicators());
  bool readRow = kind == Kind::OneRow;
  int code = statement->step();
  if (code == db::kOk) {
    // One row is all a one-row read wants; an INSERT ... RETURNING has made
    // its change by its first row. Releasing the statement ends it.
    if (readRow) {
      std::string error;
      if (int range = readRecord(*statement, *m_def, m_record, m_rowDescriptor, indicators(), &error);
          range != db::kOk) {
        connection->release(statement);
        return fail(range, std::move(error));
      }
    }
    if (serialOut) *serialOut = statement->columnInt64(0);
  } else if (code == db::kNoRow && !readRow) {
    code = db::kOk;
  }
  if (code != db::kOk && code != db::kNoRow) {
    failFrom(connection, code);
    connection->release(statement);
    return code;
  }
  connection->release(statement);
  if (readRow || kind == Kind::Insert) observed.rows = code == db::kOk ? 1 : 0;
  if (code == db::kNoRow)
    return fail(db::kNoRow, std::string("no row of ") + m_tableName + " matches: " + plainSql(kind, setText));
  m_lastCode = db::kOk;
  return db::kOk;
}

int getOneRow(DBtable* table, bool, int, int) {
  if (!table) return db::kMisuse;
  return table->runStatement(DBtable::Kind::OneRow, nullptr, nullptr);
}

int DBtable::rowInsert(bool) {
  if (!m_def) return fail(db::kMisuse, std::string("table ") + m_tableName + " has no record bound");
  const db::TableDef& def = *m_def;
  bool serial = *def.serialColumn != '\0';
  long long assigned = 0;
  int code = runStatement(Kind::Insert, nullptr, serial ? &assigned : nullptr);
  if (code == db::kOk && serial) {
    for (const db::ColumnDef& column : def.columns) {
      if (!def.isSerial(column)) continue;
      if (!fitsInt32(assigned))
        return fail(db::kValueRange, std::string(def.name) + "." + column.name + " was assigned " +
                                         std::to_string(assigned) +
                                         ", which its 32-bit field cannot hold (the row was written: roll back)");
      db::fieldAt<int>(m_record, column) = static_cast<int>(assigned);
    }
  }
  return code;
}

int DBtable::rowUpdate(const char* setText) {
  if (!setText || isBlank(setText))
    return fail(db::kMisuse, std::string("update of ") + m_tableName + " without SET text");
  return runStatement(Kind::Update, setText, nullptr);
}

int DBtable::rowDelete() { return runStatement(Kind::Delete, nullptr, nullptr); }

int DBtable::getRowsInTable(int* codeOut, bool) {
  int scratch = 0;
  int& code = codeOut ? *codeOut : scratch;
  if (int injected = db::fault::check(Call::Count, m_tableName)) {
    code = fail(injected, std::string("injected fault: getRowsInTable on ") + m_tableName);
    return db::kCountFailed;
  }
  Lease* lease = nullptr;
  if ((code = resolveConnection(lease, Kind::Count)) != db::kOk) return db::kCountFailed;
  db::engine::GiveBackOnExit giveBack(m_tran ? nullptr : lease);
  Connection* connection = &lease->connection();
  db::engine::StatementScope observed(*lease, m_tableName, db::observe::Operation::Count, m_lastCode);
  Statement* statement = nullptr;
  db::engine::ThreadScratch& thread = tl_scratch;
  if ((code = prepareStatement(connection, Kind::Count, nullptr, statement, thread)) != db::kOk)
    return db::kCountFailed;
  observed.prepared(*thread.sql.sent, thread.sql.params);
  int rc = statement->step();
  long long count = rc == db::kOk ? statement->columnInt64(0) : 0;
  if (rc != db::kOk) {
    code = rc == db::kNoRow ? fail(db::kError, "count returned no row: " + plainSql(Kind::Count, nullptr))
                            : failFrom(connection, rc);
    connection->release(statement);
    return db::kCountFailed;
  }
  connection->release(statement);
  observed.rows = count;
  code = m_lastCode = db::kOk;
  return count > INT_MAX ? INT_MAX : static_cast<int>(count);
}

int DBtable::openCursor() {
  releaseCursor();
  m_cursorEnd = db::kOk;
  m_cursorEndText.clear();
  if (int injected = db::fault::check(Call::Open, m_tableName))
    return fail(injected, std::string("injected fault: openCursor on ") + m_tableName);
  Lease* lease = nullptr;
  if (int code = resolveConnection(lease, Kind::Cursor); code != db::kOk) return code;
  Statement* statement = nullptr;
  int code;
  {
    // Reported before the connection may go back to the pool.
    db::engine::StatementScope observed(*lease, m_tableName, db::observe::Operation::Select, m_lastCode);
    db::engine::ThreadScratch& thread = tl_scratch;
    if ((code = prepareStatement(&lease->connection(), Kind::Cursor, nullptr, statement, thread)) == db::kOk) {
      observed.prepared(*thread.sql.sent, thread.sql.params);
      m_lastCode = db::kOk;
    }
  }
  if (code != db::kOk) {
    db::engine::giveBack(lease);  // no cursor was opened on it
    return code;
  }
  m_cursor = statement;
  m_cursorLease = lease;
  lease->addCursor(this);
  m_lastCode = db::kOk;
  return db::kOk;
}

int DBtable::fetchCursor(bool) {
  // An ended cursor answers as it ended: stepping a finished statement again
  // would start it over on one backend and report "no rows" on another.
  if (m_cursorEnd != db::kOk) return fail(m_cursorEnd, m_cursorEndText);
  if (!m_cursor) return fail(db::kMisuse, std::string("fetch on ") + m_tableName + " without an open cursor");
  if (m_tran && m_tran->lease() != m_cursorLease) {
    endCursor(db::kMisuse, std::string("fetch on ") + m_tableName + " after its transaction ended");
    return fail(m_cursorEnd, m_cursorEndText);
  }
  if (int injected = db::fault::check(Call::Fetch, m_tableName)) {
    endCursor(injected, std::string("injected fault: fetchCursor on ") + m_tableName);
    return fail(m_cursorEnd, m_cursorEndText);
  }
  if (m_tran) m_tran->noteIfEnded();
  if (m_tran && m_tran->isAborted())
    return fail(db::kTransactionAborted, "the transaction was aborted and must be rolled back: " + m_tran->lastError());
  int code = m_cursor->step();
  if (code == db::kOk) {
    std::string error;
    if (int range = readRecord(*m_cursor, *m_def, m_record, m_rowDescriptor, indicators(), &error);
        range != db::kOk)
      return fail(range, std::move(error));
    m_lastCode = db::kOk;
    return db::kOk;
  }
  if (code == db::kNoRow) {
    endCursor(db::kNoRow, std::string("end of rows of ") + m_tableName);
  } else {
    failFrom(&m_cursorLease->connection(), code);
    endCursor(code, m_errorText);
  }
  return fail(m_cursorEnd, m_cursorEndText);
}

int DBtable::closeCursor() {
  releaseCursor();
  m_cursorEnd = db::kOk;
  m_cursorEndText.clear();
  return db::kOk;
}

void DBtable::endCursor(int code, std::string text) {
  releaseCursor();
  m_cursorEnd = code;
  m_cursorEndText = std::move(text);
}

void DBtable::releaseCursor() {
  if (!m_cursor) return;
  Lease* lease = m_cursorLease;
  lease->removeCursor(this);
  lease->connection().release(m_cursor);
  m_cursor = nullptr;
  m_cursorLease = nullptr;
  // The last cursor of an autocommit connection: others may have it now
  // (a transaction's connection is not free, and stays).
  db::engine::giveBack(lease);
}

int DBtable::runBatch(const std::string& sql, size_t rows, const Connection::BatchBinder& bind,
                      long long* returned, Kind kind) {
  m_failedRow = rows;
  const Call call = seamCall(kind);
  if (int injected = db::fault::check(call, m_tableName))
    return fail(injected, std::string("injected fault: ") + (kind == Kind::Insert ? "rowsInsert" : "rowsDelete") +
                              " on " + m_tableName);
  if (rows == 0) return m_lastCode = db::kOk;
  Lease* lease = nullptr;
  if (int code = resolveConnection(lease, kind); code != db::kOk) return code;
  db::engine::GiveBackOnExit giveBack(m_tran ? nullptr : lease);
  Connection* connection = &lease->connection();
  if (db::trace::enabled()) db::trace::statement(sql);
  db::engine::StatementScope observed(*lease, m_tableName, operationOf(kind), m_lastCode, true);
  observed.prepared(sql, {});
  // Without the caller's transaction the batch gets one of its own, so that
  // it is stored whole or not at all; beginning it again is always safe.
  const bool own = !m_tran;
  if (own) {
    if (int code = connection->begin(true); code != db::kOk)
      return failFrom(connection, code == db::kRestartTransaction ? db::kRetry : code);
  }
  size_t failed = rows;
  int code = connection->runBatch(sql, rows, bind, returned, &failed);
  if (code == db::kOk && own) code = connection->commit();
  if (code != db::kOk) {
    failFrom(connection, code);
    if (own && connection->inTransaction()) connection->rollback();
    if (own && code == db::kRestartTransaction) code = m_lastCode = db::kRetry;
    if (failed < rows) {
      m_failedRow = failed;
      m_errorText = "row " + std::to_string(failed + 1) + " of " + std::to_string(rows) + ": " + m_errorText;
    }
    return code;
  }
  observed.rows = static_cast<long long>(rows);
  m_lastCode = db::kOk;
  return db::kOk;
}

int DBtable::rowsInsert(void* records, size_t stride, size_t count) {
  if (!m_def || !m_texts) return fail(db::kMisuse, std::string("table ") + m_tableName + " has no record bound");
  const db::TableDef& def = *m_def;
  const bool serial = *def.serialColumn != '\0';
  std::vector<long long> assigned(serial ? count : 0);
  char* base = static_cast<char*>(records);
  int code = runBatch(
      m_texts->insertSql, count,
      [&](Statement& statement, size_t row) {
        bindRecordValues(statement, def, base + row * stride, m_rowDescriptor, indicators());
      },
      serial ? assigned.data() : nullptr, Kind::Insert);
  if (code != db::kOk || !serial) return code;
  const db::ColumnDef* column = nullptr;
  for (const db::ColumnDef& each : def.columns)
    if (def.isSerial(each)) column = &each;
  for (size_t row = 0; row < count; ++row)
    if (!fitsInt32(assigned[row]))
      return fail(db::kValueRange, std::string(def.name) + "." + column->name + " was assigned " +
                                       std::to_string(assigned[row]) + ", which its 32-bit field cannot hold");
  for (size_t row = 0; row < count; ++row)
    db::fieldAt<int>(base + row * stride, *column) = static_cast<int>(assigned[row]);
  return db::kOk;
}

int DBtable::rowsDelete(const int* keys, size_t count) {
  if (!m_def || !m_texts) return fail(db::kMisuse, std::string("table ") + m_tableName + " has no record bound");
  if (m_def->primaryKey.size() != 1)
    return fail(db::kMisuse, std::string("table ") + m_tableName + " has no one-column key to delete by");
  // One statement reused per key: the backends run a batch of them as one
  // unit (pipelined where the database allows).
  const std::string sql = m_texts->deletePrefix + " WHERE " + m_def->primaryKey[0] + " = ?";
  return runBatch(
      sql, count, [&](Statement& statement, size_t row) { statement.bindInt64(1, keys[row]); }, nullptr,
      Kind::Delete);
}
