// The read-modify-write transaction that threads of the test and worker
// processes run against one database, and the worker's command line.
#pragma once

#include <string>

#include "Db/DBtran.h"
#include "DivUdurezevudoZE/ApplicationDirsDB.h"

namespace divu::test {

// Generous: twelve writers on one row may each wait several times.
inline constexpr db::RetryPolicy kIncrementPolicy{.maxAttempts = 100, .firstDelayMs = 1, .maxDelayMs = 50};

// Reads two counter rows, adds one to each in C++ and writes the values back,
// in one transaction through the retry helper. Returns the helper's final
// code.
inline int incrementCounters(ApplicationDirsDB& dirs, int sharedId, int ownId) {
  return DBtran::run(
      [&](DBtran& tran) {
        YLApplicationDirs_t shared, own;
        if (!dirs.getInfo(sharedId, shared, &tran) || !dirs.getInfo(ownId, own, &tran)) return dirs.m_dbError.m_errorCode;
        std::string set = "Flags = " + std::to_string(shared.Flags + 1);
        if (!dirs.Update(sharedId, set.c_str(), &tran)) return dirs.m_dbError.m_errorCode;
        set = "Flags = " + std::to_string(own.Flags + 1);
        if (!dirs.Update(ownId, set.c_str(), &tran)) return dirs.m_dbError.m_errorCode;
        return db::kOk;
      },
      kIncrementPolicy);
}

}  // namespace divu::test
