// The caller-text generator of the differential test, driven by fuzzer bytes:
// byte 0 picks the literal-parameter mode, the rest are the grammar's choices.
// Every text runs through the facade operations that take one on a temporary
// SQLite catalogue and is judged against a raw connection to the same file;
// a mismatch aborts.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "DivUdurezevudoZE/Catalogue.h"
#include "FragmentDifferential.h"

namespace {

divu::test::FragmentDifferential* setUp() {
  static std::string folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "divu-fuzz-fragments-XXXXXX").string();
    return std::string(mkdtemp(pattern.data()));
  }();
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  });
  std::string path = folder + "/catalogue.sqlite", error;
  std::shared_ptr<db::Database> database = db::Database::open("sqlite:" + path + "?synchronous=off", &error);
  if (!database || divu::createCatalogue(*database, &error) != db::kOk) {
    fprintf(stderr, "cannot create the catalogue: %s\n", error.c_str());
    abort();
  }
  db::Database::setDefault(database);
  auto* differential = new divu::test::FragmentDifferential(
      database, std::make_unique<divu::test::RawSqlite>(path), divu::test::Dialect::Sqlite);
  if (std::string problem = differential->seed(); !problem.empty()) {
    fprintf(stderr, "cannot seed: %s\n", problem.c_str());
    abort();
  }
  return differential;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static divu::test::FragmentDifferential* differential = setUp();
  if (size == 0) return 0;
  differential->run(divu::test::Choices(data + 1, size - 1), data[0] & 1, "fuzz input");
  if (differential->mismatches() > 0) {
    for (const std::string& report : differential->reports()) fprintf(stderr, "mismatch: %s\n", report.c_str());
    abort();
  }
  return 0;
}
