// The fault executable's own main: SQLite takes an allocator only before it
// initialises, so the fault layer goes in before anything can open a database.
#include <gtest/gtest.h>

#include <cstdio>

#include "SqliteFaults.h"

int main(int argc, char** argv) {
  // SQLite takes an allocator only before it initialises: before anything
  // else in the process can open a database.
  if (!divu::fault::installAllocator() || !divu::fault::registerVfs()) {
    fprintf(stderr, "cannot install the SQLite fault layer\n");
    return 1;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
