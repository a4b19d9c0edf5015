// Literal parameters against the text as written: a WHERE or SET text from the
// input runs on a small SQLite database twice, once with its integer literals
// taken out as bound parameters and once exactly as written, and both runs
// must have the same outcome: the same rows, the same failure code, the same
// table content after an update or delete.
//
// Input: byte 0 picks the statement (0 list and count, 1 update of the row
// whose id is byte 1 % 10, 2 delete) and, in its next bit, the engine's access
// path; byte 1 as said; the rest, up to a NUL, is the text. Texts that name
// functions whose results differ between two runs (random(), the clock, the
// connection's change counters) are skipped: they would differ either way.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Db/DBtable.h"
#include "Db/DBtran.h"
#include "Db/Database.h"
#include "Db/Engine/SqlLiterals.h"
#include "DivUdurezevudoZE/ApplicationDirsDB.h"
#include "DivUdurezevudoZE/Catalogue.h"

namespace {

void fail(const char* why) {
  fprintf(stderr, "%s\n", why);
  abort();
}

std::shared_ptr<db::Database> openDatabase() {
  std::string error;
  std::shared_ptr<db::Database> database = db::Database::open("sqlite::memory:", &error);
  if (!database || divu::createCatalogue(*database, &error) != db::kOk) {
    fprintf(stderr, "cannot create the database: %s\n", error.c_str());
    abort();
  }
  db::Database::setDefault(database);
  ApplicationDirsDB dirs;
  const char* paths[] = {"/v1/data", "/v2/logs 12", "5", "", "/v0/it's 7", "-3", "/v1/data", "12abc", "0x1F", "1e5"};
  for (int i = 0; i < 10; ++i) {
    YLApplicationDirs_t row;
    row.subclientId = i % 3;
    row.clientId = i % 4 - 1;
    row.pathType = i % 2;
    row.Flags = i * 7 - 30;
    row.creationTime = 1000 * i;
    row.modifyTime = i == 4 ? 2147483647 : -i;
    row.ReplicationVolumeId = 9 - i;
    snprintf(row.objName, sizeof row.objName, "obj%d", i % 5);
    snprintf(row.path, sizeof row.path, "%s", paths[i]);
    if (!dirs.insert(row, nullptr)) fail("cannot insert the rows");
  }
  return database;
}

std::string describe(const YLApplicationDirs_t& row) {
  return std::to_string(row.id) + "|" + std::to_string(row.subclientId) + "|" + std::to_string(row.clientId) + "|" +
         std::to_string(row.pathType) + "|" + row.objName + "|" + row.path + "|" + std::to_string(row.creationTime) +
         "|" + std::to_string(row.modifyTime) + "|" + std::to_string(row.ReplicationVolumeId) + "|" +
         std::to_string(row.Flags) + "\n";
}

// The rows matching `where` (all rows for null), each in full, or the failure.
std::string listed(const char* where, DBtran* tran) {
  ApplicationDirsDB dirs;
  YLApplicationDirs_t* rows = nullptr;
  unsigned int count = 0;
  if (!dirs.getList(rows, count, where, "id", tran)) return "list failed " + std::to_string(dirs.m_dbError.m_errorCode);
  std::string result;
  for (unsigned int i = 0; i < count; ++i) result += describe(rows[i]);
  dirs.deleteList(rows);
  return result;
}

std::string outcome(int kind, int id, const std::string& text, bool parameters) {
  db::engine::setLiteralParameters(parameters);
  ApplicationDirsDB dirs;
  if (kind == 0) {
    unsigned int counted = 0;
    std::string result = listed(text.c_str(), nullptr);
    if (!dirs.getNRows(text.c_str(), counted, nullptr))
      return result + "count failed " + std::to_string(dirs.m_dbError.m_errorCode);
    return result + "count " + std::to_string(counted);
  }
  // A change is made in a transaction, read back and rolled back.
  DBtran tran;
  if (tran.begin() != db::kOk) fail("cannot begin a transaction");
  bool done = kind == 1 ? dirs.Update(id, text.c_str(), &tran) : dirs.remove(text.c_str(), &tran);
  std::string result = done ? "done\n" : "failed " + std::to_string(dirs.m_dbError.m_errorCode) + "\n";
  result += tran.isAborted() ? std::string("aborted") : listed(nullptr, &tran);
  tran.rollback();
  return result;
}

bool varies(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  for (const char* word : {"random", "now", "current_", "changes", "last_insert_rowid"})
    if (text.find(word) != std::string::npos) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::shared_ptr<db::Database> database = openDatabase();
  if (size < 2) return 0;
  const int kind = data[0] % 3;
  DBtable::b_newDBBase = (data[0] / 3) % 2 == 1;
  const int id = data[1] % 10;
  std::string text(reinterpret_cast<const char*>(data) + 2, strnlen(reinterpret_cast<const char*>(data) + 2, size - 2));
  if (varies(text)) return 0;

  // What the header promises of the rewrite itself: appended after what `out`
  // held, one marker per value taken; declined, nothing touched.
  std::string out = "x";
  std::vector<long long> values = {-1};
  if (db::engine::parameteriseLiterals(text, out, values)) {
    if (out.compare(0, 1, "x") != 0 || values.size() < 2 || values[0] != -1) fail("the rewrite lost what it was given");
    auto markers = [](const std::string& s, size_t from) { return std::count(s.begin() + from, s.end(), '?'); };
    if (markers(out, 1) - markers(text, 0) != static_cast<long>(values.size() - 1)) fail("markers and values differ");
  } else if (out != "x" || values != std::vector<long long>{-1}) {
    fail("a declined rewrite touched its output");
  }

  std::string parameterised = outcome(kind, id, text, true);
  std::string plain = outcome(kind, id, text, false);
  if (parameterised != plain) {
    fprintf(stderr, "text: %s\nwith parameters:\n%s\nas written:\n%s\n", text.c_str(), parameterised.c_str(),
            plain.c_str());
    abort();
  }
  return 0;
}
