// Walks through the standard operations on application directories: creates
// the schema in an embedded database, inserts, lists, updates and removes
// rows, and prints what it did.
//
//   appdirs_example [DATABASE-URL]     (default: sqlite:appdirs_example.sqlite)
#include <cstdio>

#include "DivUdurezevudoZE/ApplicationDirsDB.h"
#include "DivUdurezevudoZE/Catalogue.h"

namespace {

void printRows(ApplicationDirsDB& dirs, const char* title, DBtran& tran) {
  YLApplicationDirs_t* rows = nullptr;
  unsigned int count = 0;
  if (!dirs.getList(rows, count, nullptr, nullptr, &tran)) return;
  printf("%s: %u row(s)\n", title, count);
  printf("  %-4s %-9s %-8s %-30s %s\n", "id", "client", "flags", "object", "path");
  for (unsigned int i = 0; i < count; ++i)
    printf("  %-4d %-9d %-8d %-30s %s\n", rows[i].id, rows[i].clientId, rows[i].Flags, rows[i].objName, rows[i].path);
  dirs.deleteList(rows);
}

int fail(const char* what, const CReplicationDBError& error) {
  fprintf(stderr, "%s failed: %s on %s: [%d] %s\n", what, error.m_function.c_str(), error.m_tableName.c_str(),
          error.m_errorCode, error.m_errorText.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* url = argc > 1 ? argv[1] : "sqlite:appdirs_example.sqlite";
  std::string error;
  std::shared_ptr<db::Database> database = divu::openCatalogue(url, &error);
  if (!database || divu::createCatalogue(*database, &error) != db::kOk) {
    fprintf(stderr, "cannot use %s: %s\n", url, error.c_str());
    return 1;
  }
  db::Database::setDefault(database);
  printf("database: %s (%s)\n", database->url().c_str(), database->backendName());

  ApplicationDirsDB dirs;
  DBtran tran;
  if (tran.begin() != db::kOk) {
    fprintf(stderr, "begin failed: %s\n", tran.lastError().c_str());
    return 1;
  }

  const struct {
    int client;
    const char* object;
    const char* path;
  } samples[] = {
      {11, "orders-db", "/srv/orders/data"},
      {11, "orders-logs", "/srv/orders/logs/"},
      {12, "mail-store", "/var/mail"},
  };
  int firstId = 0;
  for (const auto& sample : samples) {
    YLApplicationDirs_t row;
    row.clientId = sample.client;
    row.subclientId = 100 + sample.client;
    strcpy_s(row.objName, sizeof row.objName, sample.object);
    strcpy_s(row.path, sizeof row.path, sample.path);
    if (!dirs.insert(row, &tran)) return fail("insert", dirs.m_dbError);
    printf("inserted %-12s as id %d\n", sample.object, row.id);
    if (!firstId) firstId = row.id;
  }
  printRows(dirs, "after insert", tran);

  if (!dirs.Update(firstId, "Flags = 4, modifyTime = 1700000000", &tran)) return fail("update", dirs.m_dbError);
  printf("updated id %d: Flags = 4\n", firstId);

  unsigned int count = 0;
  if (!dirs.getNRows("clientId = 11", count, &tran)) return fail("count", dirs.m_dbError);
  printf("rows of client 11: %u\n", count);

  if (!dirs.remove("clientId = 12", &tran)) return fail("remove", dirs.m_dbError);
  printf("removed the rows of client 12\n");
  printRows(dirs, "after update and remove", tran);

  YLApplicationDirs_t missing;
  if (!dirs.getInfo(-42, missing, &tran))
    printf("getInfo(-42): %s, code %d, table %s\n", dirs.m_dbError.m_function.c_str(), dirs.m_dbError.m_errorCode,
           dirs.m_dbError.m_tableName.c_str());

  if (int code = tran.commit(); code != db::kOk) {
    fprintf(stderr, "commit failed: [%d] %s\n", code, tran.lastError().c_str());
    return 1;
  }
  printf("committed\n");
  return 0;
}
