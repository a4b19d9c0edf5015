// What a command changed: every table's stored rows read before and after it
// inside its transaction, compared by primary key.
#pragma once

#include <map>
#include <ostream>
#include <utility>
#include <vector>

#include "Output.h"
#include "Registry.h"

namespace repdb {

struct TableState {
  Table* table;
  std::map<Row, Row> rows;  // primary key values -> the row
};
using State = std::vector<TableState>;

// Reads every table; on failure returns the table that failed (its error()
// holds the facade's record), else null.
Table* captureState(State& state, DBtran& tran);

struct TableChange {
  Table* table;
  std::vector<Row> inserted;
  std::vector<std::pair<Row, Row>> updated;  // before, after
  std::vector<Row> deleted;
};
// Only the tables that changed, in catalogue order.
std::vector<TableChange> compareStates(const State& before, const State& after);

// Human: per table the counts, then (withRows) each changed row by key,
// updated rows with their changed columns. JSON/CSV: one row per table with
// its counts.
void printChanges(std::ostream& out, const std::vector<TableChange>& changes, Format format, bool withRows = true);

// Stored row counts of every table, as a result set (table, rows).
ResultSet tableSizes(const State& state);

}  // namespace repdb
