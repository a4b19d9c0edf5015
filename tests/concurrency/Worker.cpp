// A worker process for the multi-process tests; the test executable spawns it.
//
//   divu_worker increment URL SHARED_ID OWN_ID COUNT START_NS
//     COUNT read-modify-write transactions on the two counter rows; prints
//     "begins B failures F" (B: transactions begun, retries included) and
//     exits 0 when every transaction committed.
//   divu_worker open URL START_NS
//     opens the database and creates the catalogue; exits 0, or 1 with the
//     reason on stderr.
// START_NS is a CLOCK_REALTIME instant in nanoseconds: the workers of one
// round wait for it, so that they start together.
#include <time.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "ConcurrencySupport.h"
#include "Db/Engine/FaultSeam.h"
#include "DivUdurezevudoZE/Catalogue.h"

namespace {

void waitUntil(const char* instant) {
  long long target = std::atoll(instant);
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  long long left = target - (now.tv_sec * 1'000'000'000LL + now.tv_nsec);
  if (left <= 0) return;
  timespec pause{static_cast<time_t>(left / 1'000'000'000LL), static_cast<long>(left % 1'000'000'000LL)};
  nanosleep(&pause, nullptr);
}

int usage() {
  std::cerr << "usage: divu_worker increment URL SHARED_ID OWN_ID COUNT START_NS | open URL START_NS\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string error;
  if (strcmp(argv[1], "open") == 0 && argc == 4) {
    waitUntil(argv[3]);
    std::shared_ptr<db::Database> database = db::Database::open(argv[2], &error);
    if (!database || divu::createCatalogue(*database, &error) != db::kOk) {
      std::cerr << error << "\n";
      return 1;
    }
    return 0;
  }
  if (strcmp(argv[1], "increment") == 0 && argc == 7) {
    std::shared_ptr<db::Database> database = divu::openCatalogue(argv[2], &error);
    if (!database) {
      std::cerr << error << "\n";
      return 1;
    }
    db::Database::setDefault(database);
    int sharedId = std::atoi(argv[3]), ownId = std::atoi(argv[4]), count = std::atoi(argv[5]);
    waitUntil(argv[6]);
    ApplicationDirsDB dirs;
    long failures = 0;
    db::fault::watch();  // counts the begins; fails nothing
    for (int i = 0; i < count; ++i) {
      int code = divu::test::incrementCounters(dirs, sharedId, ownId);
      if (code != db::kOk) {
        if (failures++ == 0) std::cerr << "transaction failed: [" << code << "] " << dirs.m_dbError.m_errorText << "\n";
      }
    }
    std::cout << "begins " << db::fault::seen(db::fault::Call::Begin) << " failures " << failures << "\n";
    db::Database::setDefault(nullptr);
    return failures == 0 ? 0 : 1;
  }
  return usage();
}
