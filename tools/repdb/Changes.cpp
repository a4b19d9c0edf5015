#include "Changes.h"

namespace repdb {
namespace {

constexpr size_t kShownColumns = 6;  // of an inserted or deleted row, after its key
constexpr size_t kShownWidth = 32;

std::vector<size_t> keyIndexes(const db::TableDef& def) {
  std::vector<size_t> indexes;
  for (const char* key : def.primaryKey) indexes.push_back(static_cast<size_t>(findColumn(def, key) - def.columns.data()));
  return indexes;
}

bool isKey(const std::vector<size_t>& keys, size_t index) {
  return std::find(keys.begin(), keys.end(), index) != keys.end();
}

std::string keyText(const db::TableDef& def, const Row& row) {
  std::string text;
  for (size_t index : keyIndexes(def))
    text += std::string(text.empty() ? "" : " ") + def.columns[index].name + "=" + cellText(row[index]);
  return text;
}

bool isDefault(const Cell& cell) {
  if (const long long* number = std::get_if<long long>(&cell)) return *number == 0;
  if (const std::string* text = std::get_if<std::string>(&cell)) return text->empty();
  return true;
}

// The key, then the first columns that hold something.
std::string rowSummary(const db::TableDef& def, const Row& row) {
  std::vector<size_t> keys = keyIndexes(def);
  std::string text = keyText(def, row);
  std::string rest;
  size_t shown = 0, more = 0;
  for (size_t i = 0; i < row.size(); ++i) {
    if (isKey(keys, i) || isDefault(row[i])) continue;
    if (shown++ < kShownColumns)
      rest += std::string(rest.empty() ? "" : ", ") + def.columns[i].name + "=" + forPerson(cellText(row[i]), kShownWidth);
    else
      ++more;
  }
  if (more) rest += ", +" + std::to_string(more) + " more";
  return rest.empty() ? text : text + " (" + rest + ")";
}

std::string changedColumns(const db::TableDef& def, const Row& before, const Row& after) {
  std::string text;
  for (size_t i = 0; i < before.size(); ++i) {
    if (before[i] == after[i]) continue;
    text += std::string(text.empty() ? "" : ", ") + def.columns[i].name + " " + forPerson(cellText(before[i]), kShownWidth) +
            " -> " + forPerson(cellText(after[i]), kShownWidth);
  }
  return text;
}

}  // namespace

Table* captureState(State& state, DBtran& tran) {
  state.clear();
  for (Table* table : allTables()) {
    std::vector<Row> rows;
    if (!table->readStored(rows, tran)) return table;
    TableState& entry = state.emplace_back(TableState{table, {}});
    std::vector<size_t> keys = keyIndexes(table->def());
    for (Row& row : rows) {
      Row key;
      for (size_t index : keys) key.push_back(row[index]);
      entry.rows.emplace(std::move(key), std::move(row));
    }
  }
  return nullptr;
}

std::vector<TableChange> compareStates(const State& before, const State& after) {
  std::vector<TableChange> changes;
  for (size_t t = 0; t < before.size() && t < after.size(); ++t) {
    TableChange change{before[t].table, {}, {}, {}};
    const auto& old = before[t].rows;
    const auto& now = after[t].rows;
    for (const auto& [key, row] : old) {
      auto found = now.find(key);
      if (found == now.end())
        change.deleted.push_back(row);
      else if (found->second != row)
        change.updated.emplace_back(row, found->second);
    }
    for (const auto& [key, row] : now)
      if (!old.contains(key)) change.inserted.push_back(row);
    if (!change.inserted.empty() || !change.updated.empty() || !change.deleted.empty())
      changes.push_back(std::move(change));
  }
  return changes;
}

void printChanges(std::ostream& out, const std::vector<TableChange>& changes, Format format, bool withRows) {
  if (format != Format::Human) {
    ResultSet result{{"table", "inserted", "updated", "deleted"}, {false, true, true, true}, {}};
    for (const TableChange& change : changes)
      result.rows.push_back({change.table->name(), static_cast<long long>(change.inserted.size()),
                             static_cast<long long>(change.updated.size()), static_cast<long long>(change.deleted.size())});
    printResult(out, result, format);
    return;
  }
  if (changes.empty()) out << "  no table changed\n";
  for (const TableChange& change : changes) {
    const db::TableDef& def = change.table->def();
    out << "  " << def.name << ":";
    const char* separator = " ";
    auto count = [&](size_t n, const char* what) {
      if (!n) return;
      out << separator << n << " " << what;
      separator = ", ";
    };
    count(change.inserted.size(), "inserted");
    count(change.updated.size(), "updated");
    count(change.deleted.size(), "deleted");
    out << "\n";
    if (!withRows) continue;
    for (const Row& row : change.inserted) out << "    + " << rowSummary(def, row) << "\n";
    for (const auto& [old, now] : change.updated)
      out << "    ~ " << keyText(def, now) << ": " << changedColumns(def, old, now) << "\n";
    for (const Row& row : change.deleted) out << "    - " << rowSummary(def, row) << "\n";
  }
}

ResultSet tableSizes(const State& state) {
  ResultSet result{{"table", "rows"}, {false, true}, {}};
  for (const TableState& entry : state)
    result.rows.push_back({entry.table->name(), static_cast<long long>(entry.rows.size())});
  return result;
}

}  // namespace repdb
