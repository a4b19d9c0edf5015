// Runs generated caller texts through every facade operation that takes one,
// and judges each call against the database itself: the same statement the
// caller meant, run on a connection of our own straight on the backend's C
// API. A call must give exactly the database's rows, count or after-state;
// otherwise it must fail with 2001 and change nothing. Shared by the
// differential test and its fuzz target.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <memory>
#include <set>
#include <string>
#include <vector>

#ifdef DIVU_WITH_POSTGRESQL
#include <libpq-fe.h>
#endif

#include "Db/DBtran.h"
#include "Db/Database.h"
#include "Db/Engine/Backend.h"
#include "Db/Engine/SqlLiterals.h"
#include "DivUdurezevudoZE/FLRSnapshotDB.h"
#include "DivUdurezevudoZE/SNRVolumeDB.h"
#include "DivUdurezevudoZE/YLJobVolumeHistoryDB.h"
#include "FragmentGen.h"

namespace divu::test {

// The oracle's connection: one statement at a time, its rows' first column
// as text. False when the database refuses the statement.
class RawConnection {
 public:
  virtual ~RawConnection() = default;
  virtual bool query(const std::string& sql, std::vector<std::string>* rows) = 0;
};

class RawSqlite final : public RawConnection {
 public:
  explicit RawSqlite(const std::string& path) {
    sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(m_db, 10000);
  }
  ~RawSqlite() override { sqlite3_close(m_db); }
  bool query(const std::string& sql, std::vector<std::string>* rows) override {
    sqlite3_stmt* statement = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, &tail) != SQLITE_OK || !statement) {
      sqlite3_finalize(statement);
      return false;
    }
    // A second statement after the first: the text is not one statement.
    bool single = std::all_of(tail, sql.c_str() + sql.size(), [](char c) { return isspace(static_cast<unsigned char>(c)); });
    int code = SQLITE_DONE;
    while (single && (code = sqlite3_step(statement)) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      if (rows) rows->push_back(text ? reinterpret_cast<const char*>(text) : "NULL");
    }
    sqlite3_finalize(statement);
    return single && code == SQLITE_DONE;
  }

 private:
  sqlite3* m_db = nullptr;
};

#ifdef DIVU_WITH_POSTGRESQL
class RawPostgres final : public RawConnection {
 public:
  // `setting`: a statement run before each text, in its implicit transaction
  // (SET LOCAL search_path = ...: a pooler keeps no session setting).
  RawPostgres(const std::string& url, std::string setting) : m_conn(PQconnectdb(url.c_str())), m_setting(std::move(setting)) {
    PQsetNoticeProcessor(m_conn, [](void*, const char*) {}, nullptr);  // the texts provoke many
  }
  ~RawPostgres() override { PQfinish(m_conn); }
  bool query(const std::string& sql, std::vector<std::string>* rows) override {
    // The extended protocol: one statement only, as the engine prepares it;
    // outside a transaction block the setting before it up to the same Sync
    // (a BEGIN keeps it for the block).
    const bool setting = PQtransactionStatus(m_conn) == PQTRANS_IDLE;
    bool ok = PQenterPipelineMode(m_conn) &&
              (!setting || PQsendQueryParams(m_conn, m_setting.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0)) &&
              PQsendQueryParams(m_conn, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) && PQpipelineSync(m_conn);
    for (int index = 0, nulls = 0; nulls < 2;) {
      PGresult* result = PQgetResult(m_conn);
      if (!result) {
        if (PQstatus(m_conn) == CONNECTION_BAD) break;
        ++nulls;
        continue;
      }
      nulls = 0;
      ExecStatusType status = PQresultStatus(result);
      if (status == PGRES_PIPELINE_SYNC) {
        PQclear(result);
        break;
      }
      ok = ok && (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK);
      for (int i = 0; ok && rows && index == (setting ? 1 : 0) && i < PQntuples(result); ++i)
        rows->push_back(PQgetisnull(result, i, 0) ? "NULL" : PQgetvalue(result, i, 0));
      ++index;
      PQclear(result);
    }
    PQexitPipelineMode(m_conn);
    return ok;
  }

 private:
  PGconn* m_conn;
  std::string m_setting;
};
#endif

class FragmentDifferential {
 public:
  enum Op { VolumeList, VolumeCount, VolumeRemove, VolumeUpdate, HistoryList, HistoryCount, HistoryRemove, SnapshotUpdate, kOps };
  static constexpr const char* kOpNames[kOps] = {"volume getList", "volume getNRows", "volume remove(where)",
                                                  "volume Update(id)", "history getList", "history getNRows",
                                                  "history remove(where)", "snapshot Update(name)"};
  struct Tally {
    long agreed = 0, refused = 0, mismatches = 0;
  };

  FragmentDifferential(std::shared_ptr<db::Database> database, std::unique_ptr<RawConnection> raw, Dialect dialect)
      : m_db(std::move(database)), m_raw(std::move(raw)), m_dialect(dialect) {}

  // Fills the three tables through the facades, then gives some rows NULLs
  // and marks some history rows pruned on the raw connection. "" or what failed.
  std::string seed() {
    CSNRVolumeDB volumes;
    CYLJobVolumeHistoryDB history;
    FLRSnapshotDB snapshots;
    const long long wide[] = {0, 7, -5, 2147483648LL, 4294967297LL, 5000000000LL, 9223372036854775807LL};
    const char* names[] = {"'snap-a'", "'snap-b'", "'it''s'", "'snap-c'"};
    const char* plainNames[] = {"snap-a", "snap-b", "it's", "snap-c"};
    for (int i = 0; i < 20; ++i) {
      const char* text = kFragmentStrings[i % std::size(kFragmentStrings)];
      const char* other = kFragmentStrings[(i * 5 + 3) % std::size(kFragmentStrings)];
      YLPhysicalVolume_t volume;
      snprintf(volume.UniqueId, sizeof volume.UniqueId, "%s", text);
      snprintf(volume.FSType, sizeof volume.FSType, "%s", other);
      volume.LUN = i % 5;
      volume.Flags = i % 4 == 3 ? -1 : i % 7;
      volume.Type = i % 3;
      volume.StartLBA = wide[i % std::size(wide)];
      volume.BlockCount = wide[(i * 3) % std::size(wide)] - i;
      if (!volumes.insert(volume, nullptr)) return "volume: " + volumes.m_dbError.m_errorText;
      YLJobVolumeHistory_t row;
      row.JobId = i % 8;
      row.Flags = i % 3;
      row.DstVolId = 20 - i;
      row.SrcBlockCount = wide[(i + 2) % std::size(wide)];
      row.spaceUsed = i * 1000003LL;
      snprintf(row.SrcClientName, sizeof row.SrcClientName, "%s", other);
      snprintf(row.DstClientName, sizeof row.DstClientName, "%s", text);
      if (!history.insert(row, nullptr)) return "history: " + history.m_dbError.m_errorText;
      if (i < 12) {
        YLFLRSnapshot_t snapshot;
        snprintf(snapshot.Name, sizeof snapshot.Name, "%s", plainNames[i % 4]);
        snapshot.Flags = i % 5;
        snapshot.Type = i % 2;
        snapshot.CreationTime = 1000 + i;
        if (!snapshots.insert(snapshot, nullptr)) return "snapshot: " + snapshots.m_dbError.m_errorText;
      }
    }
    for (const char* name : names) m_names.push_back(name);
    const char* touches[] = {
        "UPDATE YLPhysicalVolume SET FSType = NULL WHERE id % 4 = 0",
        "UPDATE YLPhysicalVolume SET LUN = NULL WHERE id % 5 = 1",
        "UPDATE YLJobVolumeHistory SET pruneTime = 1000 + id, modified = 1000 + id WHERE id % 3 = 0",
        "UPDATE YLJobVolumeHistory SET SrcClientName = NULL WHERE id % 6 = 1",
        "UPDATE YLJobVolumeHistory SET Flags = NULL WHERE id % 7 = 2",
    };
    for (const char* sql : touches)
      if (!m_raw->query(sql, nullptr)) return std::string("raw connection cannot run ") + sql;
    for (int table = 0; table < 3; ++table) {
      if (!m_raw->query(dumpSql(table), &m_seed[table])) return "raw connection cannot read the seeded tables";
      if (table == 0)
        for (const std::string& row : m_seed[table]) m_volumeIds.push_back(idOf(row));
    }
    return "";
  }

  // Generates a WHERE text for each table and a SET text from `choices`, and
  // runs every operation on them with literal parameters `literals`.
  void run(const Choices& choices, bool literals, const std::string& label) {
    Choices forVolume = choices, forHistory = choices;
    FragmentGen volumeGen(forVolume, m_dialect), historyGen(forHistory, m_dialect);
    std::string volumeWhere = volumeGen.where(kVolumeColumns);
    std::string historyWhere = historyGen.where(kHistoryColumns);
    std::string setText = volumeGen.set({"Flags", "Type"}, kSetColumns);
    std::string id = m_volumeIds[forVolume.below(m_volumeIds.size())];
    std::string name = m_names[forVolume.below(m_names.size())];
    db::engine::setLiteralParameters(literals);
    m_context = label + (literals ? ", literal parameters on" : ", literal parameters off");

    std::vector<std::string> ids;
    bool oracle = m_raw->query("SELECT id FROM YLPhysicalVolume WHERE (\n" + volumeWhere + "\n) ORDER BY id", &ids);
    CSNRVolumeDB volumes;
    read(VolumeList, volumeWhere, oracle, ids, [&](std::vector<std::string>& out) {
      YLPhysicalVolume_t* list = nullptr;
      unsigned int count = 0;
      bool ok = volumes.getList(list, count, volumeWhere.c_str(), nullptr, nullptr);
      for (unsigned int i = 0; ok && i < count; ++i) out.push_back(std::to_string(list[i].id));
      volumes.deleteList(list);
      return ok ? 0 : volumes.m_dbError.m_errorCode;
    });
    read(VolumeCount, volumeWhere, oracle, {std::to_string(ids.size())}, [&](std::vector<std::string>& out) {
      unsigned int count = 0;
      bool ok = volumes.getNRows(volumeWhere.c_str(), count, nullptr);
      out.push_back(std::to_string(count));
      return ok ? 0 : volumes.m_dbError.m_errorCode;
    });
    write(VolumeRemove, volumeWhere, 0, oracle, without(0, ids), [&](DBtran* tran) {
      return volumes.remove(volumeWhere.c_str(), tran) ? 0 : volumes.m_dbError.m_errorCode;
    });
    std::vector<std::string> after;
    oracle = rawWrite("UPDATE YLPhysicalVolume SET\n" + setText + "\nWHERE id = " + id, 0, after);
    write(VolumeUpdate, setText, 0, oracle, after, [&](DBtran* tran) {
      return volumes.Update(std::stoi(id), setText.c_str(), tran) ? 0 : volumes.m_dbError.m_errorCode;
    });

    ids.clear();
    oracle = m_raw->query("SELECT id FROM YLJobVolumeHistory WHERE (\n" + historyWhere + "\n) AND pruneTime = 0 ORDER BY id",
                          &ids);
    CYLJobVolumeHistoryDB history;
    read(HistoryList, historyWhere, oracle, ids, [&](std::vector<std::string>& out) {
      YLJobVolumeHistory_t* list = nullptr;
      unsigned int count = 0;
      bool ok = history.getList(list, count, historyWhere.c_str(), nullptr, nullptr);
      for (unsigned int i = 0; ok && i < count; ++i) out.push_back(std::to_string(list[i].id));
      history.deleteList(list);
      return ok ? 0 : history.m_dbError.m_errorCode;
    });
    read(HistoryCount, historyWhere, oracle, {std::to_string(ids.size())}, [&](std::vector<std::string>& out) {
      unsigned int count = 0;
      bool ok = history.getNRows(historyWhere.c_str(), count, nullptr);
      out.push_back(std::to_string(count));
      return ok ? 0 : history.m_dbError.m_errorCode;
    });
    write(HistoryRemove, historyWhere, 1, oracle, marked(ids), [&](DBtran* tran) {
      return history.remove(historyWhere.c_str(), tran) ? 0 : history.m_dbError.m_errorCode;
    });

    oracle = rawWrite("UPDATE YLFLRSnapshot SET\n" + setText + "\nWHERE Name = " + name, 2, after);
    FLRSnapshotDB snapshots;
    write(SnapshotUpdate, setText, 2, oracle, after, [&](DBtran* tran) {
      return snapshots.Update(name.c_str(), setText.c_str(), tran) ? 0 : snapshots.m_dbError.m_errorCode;
    });
  }

  const std::array<Tally, kOps>& tallies() const { return m_tallies; }
  long mismatches() const {
    long n = 0;
    for (const Tally& t : m_tallies) n += t.mismatches;
    return n;
  }
  // How many mismatches of each operation reports() describes.
  void setReportsPerOperation(long n) { m_reportsPerOp = n; }
  // The first mismatches, described.
  const std::vector<std::string>& reports() const { return m_reports; }

  std::string summary(const char* backend, long long texts) const {
    long calls = 0, agreed = 0, refused = 0;
    for (const Tally& t : m_tallies) calls += t.agreed + t.refused + t.mismatches, agreed += t.agreed, refused += t.refused;
    return "fragment-differential " + std::string(backend) + ": " + std::to_string(texts) + " texts, " +
           std::to_string(calls) + " calls, " + std::to_string(agreed) + " agreed, " + std::to_string(refused) +
           " refused (2001), " + std::to_string(mismatches()) + " mismatches";
  }

 private:
  // Columns the generated texts name; both lists have the same shape, so one
  // choice sequence gives the same text structure on either table.
  inline static const FragmentColumns kVolumeColumns{{"id", "Flags", "LUN", "Type"}, {"StartLBA", "BlockCount"},
                                                     {"UniqueId", "FSType"}};
  inline static const FragmentColumns kHistoryColumns{{"id", "Flags", "JobId", "DstVolId"},
                                                      {"SrcBlockCount", "spaceUsed"},
                                                      {"SrcClientName", "DstClientName"}};
  // What a SET may read: the columns both updated tables have.
  inline static const FragmentColumns kSetColumns{{"id", "Flags", "Type"}, {"id"}, {"Flags"}};

  // Each table's full content as one text per row, id first; a history row
  // shows only whether it is marked, not when.
  static std::string dumpSql(int table) {
    static const std::vector<std::string> columns[3] = {
        {"id", "UniqueId", "LUN", "StartLBA", "BlockCount", "Flags", "FSType", "Type", "UniqueIdType", "EVState"},
        {"id", "JobId", "Flags", "DstVolId", "SrcBlockCount", "spaceUsed", "SrcClientName", "DstClientName",
         "CASE WHEN pruneTime = 0 THEN 'live' ELSE 'pruned' END"},
        {"id", "Name", "Flags", "Type", "CreationTime", "ConsistencyPointId", "SnapshotPath"}};
    static const char* names[3] = {"YLPhysicalVolume", "YLJobVolumeHistory", "YLFLRSnapshot"};
    std::string sql = "SELECT ";
    for (size_t i = 0; i < columns[table].size(); ++i)
      sql += (i ? " || '|' || " : "") + ("COALESCE(CAST(" + columns[table][i] + " AS TEXT), 'NULL')");
    return sql + " FROM " + names[table] + " ORDER BY id";
  }
  static std::string idOf(const std::string& row) { return row.substr(0, row.find('|')); }

  // The seeded rows of `table` without those listed in `ids`.
  std::vector<std::string> without(int table, const std::vector<std::string>& ids) const {
    std::set<std::string> gone(ids.begin(), ids.end());
    std::vector<std::string> rows;
    for (const std::string& row : m_seed[table])
      if (!gone.count(idOf(row))) rows.push_back(row);
    return rows;
  }
  // The seeded history with the rows listed in `ids` marked.
  std::vector<std::string> marked(const std::vector<std::string>& ids) const {
    std::set<std::string> hit(ids.begin(), ids.end());
    std::vector<std::string> rows = m_seed[1];
    for (std::string& row : rows)
      if (hit.count(idOf(row))) row.replace(row.rfind('|') + 1, std::string::npos, "pruned");
    return rows;
  }

  // Runs `sql` on the raw connection in a transaction it rolls back; the
  // table's content as it stood before the rollback goes to `after`.
  bool rawWrite(const std::string& sql, int table, std::vector<std::string>& after) {
    after.clear();
    if (!m_raw->query("BEGIN", nullptr)) return false;
    bool ok = m_raw->query(sql, nullptr) && m_raw->query(dumpSql(table), &after);
    m_raw->query("ROLLBACK", nullptr);
    return ok;
  }

  // The table's content as the transaction sees it.
  bool engineDump(DBtran& tran, int table, std::vector<std::string>& rows) {
    db::engine::Connection* connection = tran.connection();
    db::engine::Statement* statement = nullptr;
    if (tran.isAborted() || !connection || connection->prepare(dumpSql(table), statement) != db::kOk) return false;
    int code;
    while ((code = statement->step()) == db::kOk) rows.emplace_back(statement->columnText(0));
    connection->release(statement);
    return code == db::kNoRow;
  }

  template <class Call>
  void read(Op op, const std::string& text, bool oracle, const std::vector<std::string>& expected, Call call) {
    std::vector<std::string> actual;
    int code = call(actual);
    if (refusedOnlyForLiterals(op, text, oracle, code, [&] {
          std::vector<std::string> plain;
          return call(plain);
        }))
      return;
    judge(op, text, oracle, expected, code, actual, true);
  }

  // A refusal is the engine's verdict on the text, never on its own rewrite of
  // it: with literal parameters on, a text the database takes must not be
  // refused where the same call as written succeeds.
  template <class Again>
  bool refusedOnlyForLiterals(Op op, const std::string& text, bool oracle, int code, Again again) {
    if (code != db::kError || !oracle || !db::engine::literalParameters()) return false;
    db::engine::setLiteralParameters(false);
    int plain = again();
    db::engine::setLiteralParameters(true);
    if (plain != db::kOk) return false;
    report(op, text, "refused with literal parameters on, done as written", {}, {});
    return true;
  }

  // Runs `call` in a transaction, reads the table back inside it, rolls back.
  template <class Call>
  void write(Op op, const std::string& text, int table, bool oracle, const std::vector<std::string>& expected,
             Call call) {
    DBtran tran(m_db);
    if (int code = tran.begin(); code != db::kOk) {
      report(op, text, "cannot begin a transaction: " + std::to_string(code), {}, {});
      return;
    }
    int code = call(&tran);
    if (refusedOnlyForLiterals(op, text, oracle, code, [&] {
          DBtran again(m_db);
          if (again.begin() != db::kOk) return db::kError;
          int plain = call(&again);
          again.rollback();
          return plain;
        }))
      return;
    std::vector<std::string> after;
    bool readBack = engineDump(tran, table, after);
    bool aborted = tran.isAborted();  // the database has discarded its changes
    tran.rollback();
    if (!readBack && !aborted) {
      report(op, text, "cannot read the table back in the transaction", expected, {});
      return;
    }
    if (!readBack) after = m_seed[table];
    // A failed call is held to the state before it.
    judge(op, text, oracle, code == db::kOk ? expected : m_seed[table], code, after, after == m_seed[table]);
  }

  void judge(Op op, const std::string& text, bool oracle, const std::vector<std::string>& expected, int code,
             const std::vector<std::string>& actual, bool unchanged) {
    Tally& tally = m_tallies[op];
    if (code == db::kOk) {
      if (oracle && actual == expected) return void(++tally.agreed);
      report(op, text, oracle ? "succeeded with another result" : "succeeded where the database refuses the text",
             expected, actual);
    } else if (!unchanged) {
      report(op, text, "failed with " + std::to_string(code) + " but changed the table", expected, actual);
    } else if (code == db::kError) {
      ++tally.refused;
    } else if (!oracle) {
      ++tally.agreed;  // both refuse it
    } else {
      report(op, text, "failed with " + std::to_string(code) + " instead of 2001", expected, actual);
    }
  }

  void report(Op op, const std::string& text, const std::string& what, const std::vector<std::string>& expected,
              const std::vector<std::string>& actual) {
    if (++m_tallies[op].mismatches > m_reportsPerOp) return;
    auto firstFew = [](const std::vector<std::string>& rows) {
      std::string out = "[";
      for (size_t i = 0; i < rows.size() && i < 6; ++i) out += (i ? "; " : "") + rows[i];
      return out + (rows.size() > 6 ? "; ... " + std::to_string(rows.size()) + " in all]" : "]");
    };
    // Of two table contents, only the rows that differ.
    auto onlyIn = [](const std::vector<std::string>& rows, const std::vector<std::string>& other) {
      std::vector<std::string> out;
      for (const std::string& row : rows)
        if (std::find(other.begin(), other.end(), row) == other.end()) out.push_back(row);
      return out;
    };
    bool contents = !expected.empty() && expected[0].find('|') != std::string::npos;
    std::string lines = contents ? "\n  rows expected: " + firstFew(onlyIn(expected, actual)) +
                                       "\n  rows instead:  " + firstFew(onlyIn(actual, expected))
                                 : "\n  expected: " + firstFew(expected) + "\n  actual:   " + firstFew(actual);
    std::string shown;
    for (char c : text) shown += c == '\n' ? std::string("\\n") : c == '\t' ? std::string("\\t") : std::string(1, c);
    m_reports.push_back(std::string(kOpNames[op]) + " (" + m_context + "): " + what + "\n  text: " + shown + lines);
  }

  std::shared_ptr<db::Database> m_db;
  std::unique_ptr<RawConnection> m_raw;
  Dialect m_dialect;
  std::vector<std::string> m_seed[3];
  std::vector<std::string> m_volumeIds;
  std::vector<std::string> m_names;
  std::array<Tally, kOps> m_tallies{};
  std::vector<std::string> m_reports;
  std::string m_context;
  long m_reportsPerOp = 2;
};

}  // namespace divu::test
