// Compile-time description of a table: the one place where a table's facts
// are stated. Records, bindings, SQL, DDL and row printing are all derived from
// a TableDef by generic code.
//
// A table header writes its record struct plainly, then a definition struct
// whose column list uses ZR_COLUMN / ZR_TIME_COLUMN: the column's type and size
// come from the record member itself, so a misspelt member does not compile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "ZrLib/Export.h"

namespace db {

enum class ColumnType : uint8_t {
  Int32,      // "i"
  Int64,      // "b"
  Time64,     // "x": a 64-bit integer holding seconds since the epoch
  Text,       // "s<N>": char[N], at most N - 1 characters
  OwnedText,  // "s": heap text owned by the record (new[] / delete[])
};

struct ColumnDef {
  const char* name;
  ColumnType type;
  uint32_t size;  // bytes of the record field
  size_t offset;  // offsetof the record field
};

struct ForeignKeyPair {
  const char* column;     // column of this table
  const char* refColumn;  // column of the referenced table
};

// One foreign-key registration: up to two column pairs (the second may be
// {nullptr, nullptr}).
struct ForeignKeyDef {
  const char* refTable;
  ForeignKeyPair pairs[2];
};

struct IndexDef {
  const char* name;
  const char* columns;  // "DstVolId, pruneTime"
};

struct TableDef {
  const char* name;            // table name, binding class name
  const char* version;         // table version text
  const char* keyColumn;       // m_keyColumn ("" for none)
  bool keyValueIsId;           // m_keyValue points at the record's id
  const char* defaultOrder;    // default ORDER BY
  const char* headerPath;      // "Db/Tbl/<Table>" for the registration log line
  int logLine;                 // line for the registration log line
  std::span<const ColumnDef> columns;
  std::span<const char* const> primaryKey;  // in key order
  const char* serialColumn;    // "" when the database does not assign a key
  std::span<const ForeignKeyDef> foreignKeys;
  std::span<const IndexDef> indexes;
  // The schema revision the table first appeared at. Upgrade steps up to it
  // leave the table alone (their recorded checksums stay as they were), and
  // an upgrade creates it, at the latest shape, where it is missing.
  int sinceRevision = 0;

  // Whether `column` is the key the database assigns.
  bool isSerial(const ColumnDef& column) const {
    return *serialColumn && std::string_view(column.name) == serialColumn;
  }
};

template <class T>
struct ColumnTypeOf;
template <>
struct ColumnTypeOf<int> {
  static constexpr ColumnType value = ColumnType::Int32;
};
template <>
struct ColumnTypeOf<long long> {
  static constexpr ColumnType value = ColumnType::Int64;
};
template <>
struct ColumnTypeOf<char*> {
  static constexpr ColumnType value = ColumnType::OwnedText;
};
template <size_t N>
struct ColumnTypeOf<char[N]> {
  static_assert(N >= 2, "a text column holds at least one character");
  static constexpr ColumnType value = ColumnType::Text;
};

template <class Member>
constexpr ColumnDef makeColumn(const char* name, size_t offset, bool time) {
  constexpr ColumnType type = ColumnTypeOf<Member>::value;
  if (time && type != ColumnType::Int64) throw "a time column is a 64-bit integer";
  return ColumnDef{name, time ? ColumnType::Time64 : type, static_cast<uint32_t>(sizeof(Member)),
                   offset};
}

// Column descriptions for the definition struct, whose `Record` names the record type.
#define ZR_COLUMN(member) \
  ::db::makeColumn<decltype(Record::member)>(#member, offsetof(Record, member), false)
#define ZR_TIME_COLUMN(member) \
  ::db::makeColumn<decltype(Record::member)>(#member, offsetof(Record, member), true)

// Texts derived from a definition, built once per process.
struct TableTexts {
  std::string columnList;       // "id, subclientId, ..."
  std::string structDef;        // "i|i|s2049|...|" (source form, with x)
  std::string describe;         // "Table <name>"
  std::string logFormat;        // "<name> Constructor [0x%08x], caught an exception"
  // Statement prefixes built from the same facts.
  std::string selectPrefix;     // "SELECT <columns> FROM <table>"
  std::string countPrefix;      // "SELECT COUNT(*) FROM <table>"
  std::string updatePrefix;     // "UPDATE <table> SET "
  std::string deletePrefix;     // "DELETE FROM <table>"
  std::string insertSql;        // every column but the serial one, "?" markers, RETURNING the serial key
};
ZR_EXPORT TableTexts makeTableTexts(const TableDef& def);

// Record rules, shared by every table.
// Every number 0, every text empty (written with strncpy_s), owned text null.
ZR_EXPORT void initRecord(void* record, const TableDef& def);
// Numbers copied, texts through zrstrcpy with the field size, owned text
// duplicated before the old buffer is released (self-assignment safe).
ZR_EXPORT void assignRecord(void* dst, const void* src, const TableDef& def);
// Releases owned texts.
ZR_EXPORT void destroyRecord(void* record, const TableDef& def);
// Copies an owned text: a new char[] one byte longer than the text up to its
// first NUL, or null for null.
ZR_EXPORT char* duplicateOwnedText(const char* text);

template <class T>
inline T& fieldAt(void* record, const ColumnDef& column) {
  return *reinterpret_cast<T*>(static_cast<char*>(record) + column.offset);
}
template <class T>
inline const T& fieldAt(const void* record, const ColumnDef& column) {
  return *reinterpret_cast<const T*>(static_cast<const char*>(record) + column.offset);
}

// A column's field as a new record holds it: 0, an empty text, no owned text.
[[gnu::always_inline]] inline void clearField(void* record, const ColumnDef& column) {
  switch (column.type) {
    case ColumnType::Int32: fieldAt<int>(record, column) = 0; break;
    case ColumnType::Int64:
    case ColumnType::Time64: fieldAt<long long>(record, column) = 0; break;
    case ColumnType::Text: fieldAt<char>(record, column) = '\0'; break;  // what strncpy_s of "" writes
    case ColumnType::OwnedText: fieldAt<char*>(record, column) = nullptr; break;
  }
}

// initRecord for a table known at compile time: one store per column, no
// loop over the definition (every binding's record is set up this way).
template <class Def, size_t... I>
inline void initRecordColumns(void* record, std::index_sequence<I...>) {
  (clearField(record, Def::table.columns[I]), ...);
}
template <class Def>
inline void initRecordOf(void* record) {
  initRecordColumns<Def>(record, std::make_index_sequence<Def::table.columns.size()>{});
}

constexpr bool hasOwnedText(const TableDef& def) {
  for (const ColumnDef& column : def.columns)
    if (column.type == ColumnType::OwnedText) return true;
  return false;
}

}  // namespace db

// Declares the record operations inside a record struct; ZR_RECORD_DEFINE
// defines them once the table definition `Def` is complete.
#define ZR_RECORD_DECLARE(Record) \
  Record();                       \
  Record(const Record& other);    \
  Record& operator=(const Record& other); \
  ~Record();

#define ZR_RECORD_DEFINE(Record, Def)                                                      \
  inline Record::Record() { ::db::initRecordOf<Def>(this); }                              \
  inline Record::Record(const Record& other) {                                             \
    ::db::initRecordOf<Def>(this);                                                         \
    ::db::assignRecord(this, &other, Def::table);                                          \
  }                                                                                        \
  inline Record& Record::operator=(const Record& other) {                                  \
    ::db::assignRecord(this, &other, Def::table);                                          \
    return *this;                                                                          \
  }                                                                                        \
  inline Record::~Record() {                                                               \
    if constexpr (::db::hasOwnedText(Def::table)) ::db::destroyRecord(this, Def::table);   \
  }
