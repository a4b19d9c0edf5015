#include "SqliteFaults.h"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace divu::fault {
namespace {

struct Plan {
  bool armed = false;
  Kind kind = Kind::Io;
  Mode mode = Mode::Once;
  unsigned long failAt = 0;
  unsigned long counted = 0;
  unsigned long failed = 0;
} g_plan;

// Whether the call of `kind` now being made is to fail; counts it.
const char* g_lastFailed = "";

bool strike(Kind kind, const char* call = "") {
  if (!g_plan.armed || g_plan.kind != kind) return false;
  ++g_plan.counted;
  if (g_plan.failAt == 0) return false;
  bool fail = g_plan.counted == g_plan.failAt || (g_plan.mode == Mode::Persistent && g_plan.counted > g_plan.failAt);
  if (fail && !g_plan.failed++) g_lastFailed = call;
  return fail;
}

// ---- memory ---------------------------------------------------------------

sqlite3_mem_methods g_realMemory;

void* faultMalloc(int size) { return strike(Kind::Memory, "malloc") ? nullptr : g_realMemory.xMalloc(size); }
void* faultRealloc(void* old, int size) {
  return strike(Kind::Memory, "malloc") ? nullptr : g_realMemory.xRealloc(old, size);
}
void faultFree(void* p) { g_realMemory.xFree(p); }
int faultSize(void* p) { return g_realMemory.xSize(p); }
int faultRoundup(int size) { return g_realMemory.xRoundup(size); }
int faultInit(void*) { return g_realMemory.xInit(g_realMemory.pAppData); }
void faultShutdown(void*) { g_realMemory.xShutdown(g_realMemory.pAppData); }

// ---- files ----------------------------------------------------------------

sqlite3_vfs* g_realVfs = nullptr;
sqlite3_vfs g_vfs;

struct FaultFile {
  sqlite3_file base;
  sqlite3_file* real;  // the wrapped VFS's file, right after this struct
};

sqlite3_file* real(sqlite3_file* file) { return reinterpret_cast<FaultFile*>(file)->real; }

// An I/O call fails with `code`, without reaching the file: the disk refused.
bool ioFails(const char* call) { return strike(Kind::Io, call); }

int fileClose(sqlite3_file* file) { return real(file)->pMethods->xClose(real(file)); }
int fileRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  if (ioFails("xRead")) return SQLITE_IOERR_READ;
  return real(file)->pMethods->xRead(real(file), buffer, amount, offset);
}
int fileWrite(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
  if (ioFails("xWrite")) return SQLITE_IOERR_WRITE;
  if (strike(Kind::Full, "xWrite")) return SQLITE_FULL;
  return real(file)->pMethods->xWrite(real(file), buffer, amount, offset);
}
int fileTruncate(sqlite3_file* file, sqlite3_int64 size) {
  if (ioFails("xTruncate")) return SQLITE_IOERR_TRUNCATE;
  return real(file)->pMethods->xTruncate(real(file), size);
}
int fileSync(sqlite3_file* file, int flags) {
  if (ioFails("xSync")) return SQLITE_IOERR_FSYNC;
  return real(file)->pMethods->xSync(real(file), flags);
}
int fileSize(sqlite3_file* file, sqlite3_int64* size) {
  if (ioFails("xFileSize")) return SQLITE_IOERR_FSTAT;
  return real(file)->pMethods->xFileSize(real(file), size);
}
int fileLock(sqlite3_file* file, int level) {
  if (ioFails("xLock")) return SQLITE_IOERR_LOCK;
  return real(file)->pMethods->xLock(real(file), level);
}
int fileUnlock(sqlite3_file* file, int level) {
  if (ioFails("xUnlock")) return SQLITE_IOERR_UNLOCK;
  return real(file)->pMethods->xUnlock(real(file), level);
}
int fileCheckReservedLock(sqlite3_file* file, int* out) {
  if (ioFails("xCheckReservedLock")) return SQLITE_IOERR_CHECKRESERVEDLOCK;
  return real(file)->pMethods->xCheckReservedLock(real(file), out);
}
// Hints and queries without a failure of their own pass through uncounted.
int fileControl(sqlite3_file* file, int op, void* arg) { return real(file)->pMethods->xFileControl(real(file), op, arg); }
int fileSectorSize(sqlite3_file* file) { return real(file)->pMethods->xSectorSize(real(file)); }
int fileDeviceCharacteristics(sqlite3_file* file) {
  return real(file)->pMethods->xDeviceCharacteristics(real(file));
}
int fileShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
  if (ioFails("xShmMap")) {
    *out = nullptr;
    return SQLITE_IOERR_SHMMAP;
  }
  return real(file)->pMethods->xShmMap(real(file), region, size, extend, out);
}
// A failed release still releases: SQLite ignores what an unlock returns (it
// has no way on), so a lock kept after one would lock every connection out
// for good, a fault no caller of SQLite can mend.
int fileShmLock(sqlite3_file* file, int offset, int n, int flags) {
  if (ioFails("xShmLock")) {
    if (flags & SQLITE_SHM_UNLOCK) real(file)->pMethods->xShmLock(real(file), offset, n, flags);
    return SQLITE_IOERR_SHMLOCK;
  }
  return real(file)->pMethods->xShmLock(real(file), offset, n, flags);
}
void fileShmBarrier(sqlite3_file* file) { real(file)->pMethods->xShmBarrier(real(file)); }
int fileShmUnmap(sqlite3_file* file, int deleteFlag) { return real(file)->pMethods->xShmUnmap(real(file), deleteFlag); }
// Memory mapping stays off (SQLite's default); if on, reads through it pass.
int fileFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out) {
  return real(file)->pMethods->xFetch(real(file), offset, amount, out);
}
int fileUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* p) {
  return real(file)->pMethods->xUnfetch(real(file), offset, p);
}

const sqlite3_io_methods g_fileMethods = {
    3,
    fileClose,
    fileRead,
    fileWrite,
    fileTruncate,
    fileSync,
    fileSize,
    fileLock,
    fileUnlock,
    fileCheckReservedLock,
    fileControl,
    fileSectorSize,
    fileDeviceCharacteristics,
    fileShmMap,
    fileShmLock,
    fileShmBarrier,
    fileShmUnmap,
    fileFetch,
    fileUnfetch,
};

int vfsOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
  auto* wrapper = reinterpret_cast<FaultFile*>(file);
  wrapper->base.pMethods = nullptr;  // nothing to close unless the open succeeds
  wrapper->real = reinterpret_cast<sqlite3_file*>(wrapper + 1);
  if (ioFails("xOpen")) return SQLITE_CANTOPEN;
  int rc = g_realVfs->xOpen(g_realVfs, name, wrapper->real, flags, outFlags);
  if (rc == SQLITE_OK && wrapper->real->pMethods) {
    wrapper->base.pMethods = &g_fileMethods;
  } else if (wrapper->real->pMethods) {
    wrapper->real->pMethods->xClose(wrapper->real);  // a half-open file is closed by its VFS's rules
  }
  return rc;
}
int vfsDelete(sqlite3_vfs*, const char* name, int syncDirectory) {
  if (ioFails("xDelete")) return SQLITE_IOERR_DELETE;
  return g_realVfs->xDelete(g_realVfs, name, syncDirectory);
}
int vfsAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
  if (ioFails("xAccess")) return SQLITE_IOERR_ACCESS;
  return g_realVfs->xAccess(g_realVfs, name, flags, out);
}
int vfsFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  return g_realVfs->xFullPathname(g_realVfs, name, size, out);
}
int vfsRandomness(sqlite3_vfs*, int size, char* out) { return g_realVfs->xRandomness(g_realVfs, size, out); }
// SQLite backs off between attempts at a WAL lock it could not take (about
// ten seconds in all before SQLITE_PROTOCOL); while a plan is armed no other
// process competes, so the pauses only cost time.
int vfsSleep(sqlite3_vfs*, int micros) { return g_plan.armed ? micros : g_realVfs->xSleep(g_realVfs, micros); }
int vfsCurrentTime(sqlite3_vfs*, double* out) { return g_realVfs->xCurrentTime(g_realVfs, out); }
int vfsGetLastError(sqlite3_vfs*, int size, char* out) { return g_realVfs->xGetLastError(g_realVfs, size, out); }
int vfsCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) { return g_realVfs->xCurrentTimeInt64(g_realVfs, out); }

}  // namespace

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::Io: return "io";
    case Kind::Full: return "full";
    case Kind::Memory: return "alloc";
    case Kind::CppHeap: return "new";
  }
  return "?";
}

const char* modeName(Mode mode) { return mode == Mode::Once ? "once" : "persistent"; }

bool installAllocator() {
  if (sqlite3_config(SQLITE_CONFIG_GETMALLOC, &g_realMemory) != SQLITE_OK) return false;
  sqlite3_mem_methods wrapper = g_realMemory;
  wrapper.xMalloc = faultMalloc;
  wrapper.xFree = faultFree;
  wrapper.xRealloc = faultRealloc;
  wrapper.xSize = faultSize;
  wrapper.xRoundup = faultRoundup;
  wrapper.xInit = faultInit;
  wrapper.xShutdown = faultShutdown;
  return sqlite3_config(SQLITE_CONFIG_MALLOC, &wrapper) == SQLITE_OK;
}

bool registerVfs() {
  g_realVfs = sqlite3_vfs_find(nullptr);
  if (!g_realVfs) return false;
  g_vfs = *g_realVfs;
  g_vfs.iVersion = 2;  // the system-call overrides of version 3 stay the real VFS's own
  g_vfs.szOsFile = static_cast<int>(sizeof(FaultFile)) + g_realVfs->szOsFile;
  g_vfs.pNext = nullptr;
  g_vfs.zName = kVfsName;
  g_vfs.pAppData = nullptr;
  g_vfs.xOpen = vfsOpen;
  g_vfs.xDelete = vfsDelete;
  g_vfs.xAccess = vfsAccess;
  g_vfs.xFullPathname = vfsFullPathname;
  g_vfs.xDlOpen = nullptr;
  g_vfs.xDlError = nullptr;
  g_vfs.xDlSym = nullptr;
  g_vfs.xDlClose = nullptr;
  g_vfs.xRandomness = vfsRandomness;
  g_vfs.xSleep = vfsSleep;
  g_vfs.xCurrentTime = vfsCurrentTime;
  g_vfs.xGetLastError = vfsGetLastError;
  g_vfs.xCurrentTimeInt64 = vfsCurrentTimeInt64;
  return sqlite3_vfs_register(&g_vfs, 0) == SQLITE_OK;
}

void arm(Kind kind, Mode mode, unsigned long failAt) {
  g_plan = Plan{true, kind, mode, failAt, 0, 0};
}

void disarm() { g_plan.armed = false; }
unsigned long counted() { return g_plan.counted; }
unsigned long failed() { return g_plan.failed; }
bool cppHeapFails() { return strike(Kind::CppHeap, "operator new"); }
const char* firstFailedCall() { return g_plan.failed ? g_lastFailed : ""; }

}  // namespace divu::fault

// The process's operator new, so that the engine's own allocations can fail
// too. Over malloc, like the default; delete frees.
void* operator new(std::size_t size) {
  if (divu::fault::cppHeapFails()) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
