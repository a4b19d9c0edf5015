// Faults below the engine: SQLite's file I/O and its memory allocations fail
// at a chosen call, counted from the moment the plan is armed.
//
//   I/O:    a VFS that wraps the default one (registered as kVfsName; pick it
//           per database with "sqlite:file:PATH?vfs=faultvfs").
//   Memory: a wrapper over SQLite's default allocator. installAllocator() must
//           run before SQLite initialises (first thing in main).
//   C++:    this executable's operator new, over malloc.
//
// Single-threaded: the counters are plain; the sweep runs on one thread.
#pragma once

#include <string>

namespace divu::fault {

inline constexpr const char* kVfsName = "faultvfs";

enum class Kind {
  Io,      // every VFS call made through kVfsName fails with its SQLITE_IOERR_*
  Full,    // only writes count, and fail with SQLITE_FULL (a full disk)
  Memory,  // every allocation and reallocation returns null
  CppHeap, // operator new throws std::bad_alloc (the engine's own C++ allocations)
};
enum class Mode {
  Once,        // only the Nth counted call fails
  Persistent,  // the Nth and every later counted call fail
};

const char* kindName(Kind kind);
const char* modeName(Mode mode);

// Installs the allocator wrapper; false when SQLite was already initialised.
bool installAllocator();
// Registers the VFS (not as the default); false on failure.
bool registerVfs();

// Counts calls of `kind` from now on and fails the `failAt`th (1-based) and,
// when persistent, every later one. failAt 0: only counts.
void arm(Kind kind, Mode mode, unsigned long failAt);
void disarm();
// Calls counted and calls failed since the last arm().
unsigned long counted();
unsigned long failed();
// Whether this operator new call is to fail (counts it).
bool cppHeapFails();
// The VFS method (or "malloc") that failed first.
const char* firstFailedCall();

}  // namespace divu::fault
