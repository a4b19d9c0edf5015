// The read-modify-write transaction that threads of the test and worker
// processes run against one database, and the worker's command line.
#pragma once

#include <string>

#include "Db/DBtran.h"
#include "DivUdurezevudoZE/ApplicationDirsDB.h"

namespace divu::test {

// Generous: twelve writers on one row do not share the conflicts evenly. A
// writer that just committed begins again at once and tends to win, while one
// that lost pauses longer each time; on PostgreSQL a transaction needed 41
// attempts on an idle machine and more than 100 on a loaded one. The test is
// about lost updates, not about how long the unlucky one waits.
inline constexpr db::RetryPolicy kIncrementPolicy{.maxAttempts = 1000, .firstDelayMs = 1, .maxDelayMs = 50};

// Reads two counter rows, adds one to each in C++ and writes the values back,
// in one transaction through the retry helper. Returns the helper's final
// code; `attempts` gets how many times the transaction began.
inline int incrementCounters(ApplicationDirsDB& dirs, int sharedId, int ownId, int* attempts = nullptr) {
  int began = 0;
  const int code = DBtran::run(
      [&](DBtran& tran) {
        ++began;
        YLApplicationDirs_t shared, own;
        if (!dirs.getInfo(sharedId, shared, &tran) || !dirs.getInfo(ownId, own, &tran)) return dirs.m_dbError.m_errorCode;
        std::string set = "Flags = " + std::to_string(shared.Flags + 1);
        if (!dirs.Update(sharedId, set.c_str(), &tran)) return dirs.m_dbError.m_errorCode;
        set = "Flags = " + std::to_string(own.Flags + 1);
        if (!dirs.Update(ownId, set.c_str(), &tran)) return dirs.m_dbError.m_errorCode;
        return db::kOk;
      },
      kIncrementPolicy);
  if (attempts) *attempts = began;
  return code;
}

}  // namespace divu::test
