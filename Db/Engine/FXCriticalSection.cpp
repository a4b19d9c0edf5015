#include "Db/FXCriticalSection.h"

#include <pthread.h>

#include <boost/interprocess/exceptions.hpp>

namespace {
// Lock() calls of this thread that failed and so must not be unlocked; and
// of all threads, so that Unlock() looks at the thread's own count (a call
// in the shared library) only when some lock ever failed and is not yet
// unlocked.
thread_local int tl_failedLocks = 0;
std::atomic<int> g_failedLocks{0};

uint32_t currentThreadId() { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pthread_self())); }
}  // namespace

uint32_t GetCurrentThreadId() { return currentThreadId(); }

void FXCriticalSection::Lock() {
  try {
    m_mutex.lock();
  } catch (const boost::interprocess::interprocess_exception&) {
    ++tl_failedLocks;
    g_failedLocks.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  m_lockCount.fetch_add(1, std::memory_order_relaxed);
  SetLockOwner(currentThreadId());
}

void FXCriticalSection::Unlock() {
  ClearLockOwner();
  if (g_failedLocks.load(std::memory_order_relaxed) > 0 && tl_failedLocks > 0) [[unlikely]] {
    --tl_failedLocks;
    g_failedLocks.fetch_sub(1, std::memory_order_relaxed);
    return;
  }
  try {
    m_mutex.unlock();
  } catch (const boost::interprocess::interprocess_exception&) {
  }
}
