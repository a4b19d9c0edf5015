// Runs the whole suite on the engine's newer access path when the
// environment says DIVU_NEW_DB_BASE=1 (ctest registers the suite both ways).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "Db/DBtable.h"

namespace {

class NewerAccessPath : public testing::Environment {
 public:
  void SetUp() override { DBtable::b_newDBBase = true; }
  void TearDown() override { DBtable::b_newDBBase = false; }
};

const bool kRegistered = [] {
  const char* flag = getenv("DIVU_NEW_DB_BASE");
  if (flag && strcmp(flag, "1") == 0) testing::AddGlobalTestEnvironment(new NewerAccessPath);
  return true;
}();

}  // namespace
