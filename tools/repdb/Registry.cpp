#include "Registry.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "DivUdurezevudoZE/Tables.h"
#include "DivUdurezevudoZE/Catalogue.h"

namespace repdb {
namespace {

// The facade-shaped face of the generic operations, for the tables that have
// no facade of their own (and so no by-id operations).
template <class Binding>
class GenericOps : public CRepBaseDB {
 public:
  using BindingType = Binding;
  using Record = typename Binding::RecordType;

  bool getList(Record*& list, unsigned int& count, const char* where, const char* orderBy, DBtran* tran) {
    CRDBListQueryOp query;
    if (where) query.setWhere(where);
    if (orderBy) query.setOrderBy(orderBy);
    Binding* binding = nullptr;
    return getListForQuery<Record, Binding>(binding, list, query, count, tran);
  }
  bool getNRows(const char* where, unsigned int& count, DBtran* tran) {
    Binding* binding = nullptr;
    return getRowsInTable<Binding>(binding, count, where, tran);
  }
  bool insert(Record& row, DBtran* tran) {
    Binding* binding = nullptr;
    return insertRow<Record, Binding>(row, binding, tran);
  }
  bool remove(const char* where, DBtran* tran) {
    Binding* binding = nullptr;
    return deleteRow<Binding>(binding, where, tran);
  }
  bool updateWhere(const char* where, const char* setText, DBtran* tran) {
    CRDBUpdateOp update;
    update.setWhere(where);
    update.setUpdate(setText);
    Binding* binding = nullptr;
    return executeUpdateQuery<Binding>(binding, update, tran);
  }
  bool getFirst(const char* where, Record& row, DBtran* tran) {
    Binding* binding = nullptr;
    return getRowForQuery<Record, Binding>(row, binding, where, tran);
  }
  bool clear(DBtran* tran) { return remove(nullptr, tran); }
  bool insertMany(Record* rows, unsigned int count, DBtran* tran, unsigned int* failedRow) {
    Binding* binding = nullptr;
    return insertRows<Record, Binding>(rows, count, binding, tran, failedRow);
  }
};

// One table served by `Facade` (a library facade, or GenericOps). Each call
// uses a fresh facade, so no facade state (the history's prune mode) leaks
// from one operation into the next.
template <class Facade>
class TableOf final : public Table {
  using Binding = typename Facade::BindingType;
  using Record = typename Binding::RecordType;
  using Generic = GenericOps<Binding>;
  static constexpr const db::TableDef& kDef = Binding::Definition::table;
  static constexpr bool kKeyed = requires(Facade& facade, Record& row, DBtran* tran) {
    facade.getInfo(0, row, tran);
  };

 public:
  const db::TableDef& def() const override { return kDef; }
  bool keyed() const override { return kKeyed; }

  bool list(const char* where, const char* orderBy, std::vector<Row>& rows, DBtran& tran) override {
    return listWith<Facade>(where, orderBy, rows, tran);
  }
  bool count(const char* where, unsigned int& count, DBtran& tran) override {
    return run<Facade>([&](Facade& facade) { return facade.getNRows(where, count, &tran); });
  }
  bool get(int id, Row& row, DBtran& tran) override {
    if constexpr (kKeyed) {
      Record record;
      if (!run<Facade>([&](Facade& facade) { return facade.getInfo(id, record, &tran); })) return false;
      row = readRow(kDef, &record);
      return true;
    } else {
      throw std::logic_error(std::string(kDef.name) + " has no by-id read");
    }
  }
  bool getFirst(const char* where, Row& row, DBtran& tran) override {
    Record record;
    if (!run<Generic>([&](Generic& generic) { return generic.getFirst(where, record, &tran); })) return false;
    row = readRow(kDef, &record);
    return true;
  }
  bool insert(std::span<const Assignment> values, Row& stored, DBtran& tran) override {
    Record record;  // unnamed columns keep the record's defaults
    for (const Assignment& value : values) writeCell(&record, *value.column, value.value);
    if (!run<Facade>([&](Facade& facade) { return facade.insert(record, &tran); })) return false;
    stored.clear();
    // A facade may succeed without storing (a device-namespace mount path):
    // the serial key then stays unassigned.
    if (*kDef.serialColumn && db::fieldAt<int>(&record, *findColumn(kDef, kDef.serialColumn)) == 0) return true;
    return readBack(record, stored, tran);
  }
  bool update(int id, const char* setText, DBtran& tran) override {
    if constexpr (kKeyed)
      return run<Facade>([&](Facade& facade) { return facade.Update(id, setText, &tran); });
    else
      throw std::logic_error(std::string(kDef.name) + " has no by-id update");
  }
  bool update(const char* where, const char* setText, DBtran& tran) override {
    return run<Generic>([&](Generic& generic) { return generic.updateWhere(where, setText, &tran); });
  }
  bool remove(int id, DBtran& tran) override {
    if constexpr (kKeyed)
      return run<Facade>([&](Facade& facade) { return facade.remove(id, &tran); });
    else
      throw std::logic_error(std::string(kDef.name) + " has no by-id remove");
  }
  bool remove(const char* where, DBtran& tran) override {
    return run<Facade>([&](Facade& facade) { return facade.remove(where, &tran); });
  }
  bool insertRows(const std::vector<Row>& rows, DBtran& tran, unsigned int& failedRow) override {
    std::vector<Record> records(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      size_t at = 0;
      for (const db::ColumnDef& column : kDef.columns) {
        const Cell& cell = rows[i][at++];
        if (*kDef.serialColumn && sameName(column.name, kDef.serialColumn)) continue;
        if (std::holds_alternative<std::monostate>(cell) && column.type != db::ColumnType::OwnedText) continue;
        writeCell(&records[i], column, cell);
      }
    }
    return run<Generic>([&](Generic& generic) {
      return generic.insertMany(records.data(), static_cast<unsigned int>(records.size()), &tran, &failedRow);
    });
  }
  bool readStored(std::vector<Row>& rows, DBtran& tran) override { return listWith<Generic>(nullptr, nullptr, rows, tran); }
  bool countStored(const char* where, unsigned int& count, DBtran& tran) override {
    return run<Generic>([&](Generic& generic) { return generic.getNRows(where, count, &tran); });
  }
  bool clearStored(DBtran& tran) override {
    return run<Generic>([&](Generic& generic) { return generic.clear(&tran); });
  }

 private:
  template <class Ops, class Call>
  bool run(Call&& call) {
    Ops ops;
    bool ok = call(ops);
    m_error = ops.m_dbError;
    return ok;
  }

  template <class Ops>
  bool listWith(const char* where, const char* orderBy, std::vector<Row>& rows, DBtran& tran) {
    Record* list = nullptr;
    unsigned int count = 0;
    Ops ops;
    bool ok = ops.getList(list, count, where, orderBy, &tran);
    m_error = ops.m_dbError;
    rows.clear();
    for (unsigned int i = 0; ok && i < count; ++i) rows.push_back(readRow(kDef, &list[i]));
    ops.deleteList(list);
    return ok;
  }

  bool readBack(const Record& record, Row& stored, DBtran& tran) {
    if constexpr (kKeyed) {
      return get(db::fieldAt<int>(&record, *findColumn(kDef, keyColumn())), stored, tran);
    } else {
      std::string where;
      Row value = readRow(kDef, &record);
      for (const char* key : kDef.primaryKey) {
        size_t at = static_cast<size_t>(findColumn(kDef, key) - kDef.columns.data());
        if (!where.empty()) where += " AND ";
        where += std::string(key) + " = ";
        const Cell& cell = value[at];
        where += std::holds_alternative<long long>(cell) ? std::to_string(std::get<long long>(cell))
                                                         : sqlLiteral(std::get<std::string>(cell));
      }
      return getFirst(where.c_str(), stored, tran);
    }
  }
};

template <class... Facades>
std::vector<std::unique_ptr<Table>> makeTables(divu::TypeList<Facades...>) {
  std::vector<std::unique_ptr<Table>> tables;
  (tables.push_back(std::make_unique<TableOf<Facades>>()), ...);
  return tables;
}

// Each table's facade, or the generic operations where it has none.
#define REPDB_FACADE(Binding, Facade, KeyText) , Facade
#define REPDB_GENERIC(Binding) , GenericOps<Binding>
using Served = divu::TypesAfterVoid<void DIVU_TABLES(REPDB_FACADE, REPDB_FACADE, REPDB_GENERIC)>;
#undef REPDB_FACADE
#undef REPDB_GENERIC

struct Registry {
  std::vector<std::unique_ptr<Table>> owned = makeTables(Served{});
  std::vector<Table*> ordered;

  Registry() {
    auto catalogue = divu::catalogueTables();
    auto rank = [&](const Table* table) {
      auto at = std::find_if(catalogue.begin(), catalogue.end(),
                             [&](const db::TableDef* def) { return sameName(def->name, table->name()); });
      return at - catalogue.begin();
    };
    for (auto& table : owned) ordered.push_back(table.get());
    std::stable_sort(ordered.begin(), ordered.end(), [&](Table* a, Table* b) { return rank(a) < rank(b); });
  }
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

std::span<Table* const> allTables() { return registry().ordered; }

Table* findTable(std::string_view name) {
  for (Table* table : allTables())
    if (sameName(table->name(), name)) return table;
  return nullptr;
}

Table& tableNamed(std::string_view name) {
  if (Table* table = findTable(name)) return *table;
  std::string known;
  for (Table* table : allTables()) known += std::string(known.empty() ? "" : ", ") + table->name();
  throw UsageError("unknown table '" + std::string(name) + "'; the tables are: " + known);
}

}  // namespace repdb
