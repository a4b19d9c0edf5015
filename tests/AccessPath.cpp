// Runs the whole suite on the engine's newer access path when the
// environment says DIVU_NEW_DB_BASE=1, and with caller texts sent exactly as
// written (no literal parameters) when it says DIVU_LITERAL_PARAMETERS=0;
// ctest registers the suite each way.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "Db/DBtable.h"
#include "Db/Engine/SqlLiterals.h"

namespace {

class NewerAccessPath : public testing::Environment {
 public:
  void SetUp() override { DBtable::b_newDBBase = true; }
  void TearDown() override { DBtable::b_newDBBase = false; }
};

const bool kRegistered = [] {
  const char* flag = getenv("DIVU_NEW_DB_BASE");
  if (flag && strcmp(flag, "1") == 0) testing::AddGlobalTestEnvironment(new NewerAccessPath);
  const char* literals = getenv("DIVU_LITERAL_PARAMETERS");
  if (literals && strcmp(literals, "0") == 0) db::engine::setLiteralParameters(false);
  return true;
}();

}  // namespace
