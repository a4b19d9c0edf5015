// Every catalogue table by name: its definition and its operations, those of
// its facade where it has one, else the generic operations of CRepBaseDB.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "Cells.h"
#include "DivUdurezevudoZE/RepBaseDB.h"

namespace repdb {

class Table {
 public:
  virtual ~Table() = default;

  virtual const db::TableDef& def() const = 0;
  const char* name() const { return def().name; }
  // True when a facade serves the table: by-id operations on the first key
  // column. False for the tables reached through the generic operations.
  virtual bool keyed() const = 0;
  const char* keyColumn() const { return def().primaryKey[0]; }

  // Each returns false with error() filled when the facade fails.
  virtual bool list(const char* where, const char* orderBy, std::vector<Row>& rows, DBtran& tran) = 0;
  virtual bool count(const char* where, unsigned int& count, DBtran& tran) = 0;
  virtual bool get(int id, Row& row, DBtran& tran) = 0;                      // keyed
  virtual bool getFirst(const char* where, Row& row, DBtran& tran) = 0;      // not keyed
  // Inserts, then reads the stored row back into `stored`; `stored` stays
  // empty when the facade chose to store nothing.
  virtual bool insert(std::span<const Assignment> values, Row& stored, DBtran& tran) = 0;
  virtual bool update(int id, const char* setText, DBtran& tran) = 0;        // keyed
  virtual bool update(const char* where, const char* setText, DBtran& tran) = 0;  // not keyed
  virtual bool remove(int id, DBtran& tran) = 0;                             // keyed
  virtual bool remove(const char* where, DBtran& tran) = 0;

  // Stores `rows` (every column in order; the serial key's value is not
  // used, the database assigns it) as one unit past any facade: all of them,
  // or none with `failedRow` the index of the row that failed.
  virtual bool insertRows(const std::vector<Row>& rows, DBtran& tran, unsigned int& failedRow) = 0;

  // Generic operations on the stored rows, past any facade filter: change
  // tracking, table sizes and clearing the demo.
  virtual bool readStored(std::vector<Row>& rows, DBtran& tran) = 0;
  virtual bool countStored(const char* where, unsigned int& count, DBtran& tran) = 0;
  virtual bool clearStored(DBtran& tran) = 0;

  const CReplicationDBError& error() const { return m_error; }

 protected:
  CReplicationDBError m_error;
};

// In the order of divu::catalogueTables().
std::span<Table* const> allTables();
// Table names compare as SQL compares them; null when unknown.
Table* findTable(std::string_view name);
// findTable or a UsageError that lists the known names.
Table& tableNamed(std::string_view name);

}  // namespace repdb
