#include "Db/FXCriticalSection.h"

#include <pthread.h>

#include <boost/interprocess/exceptions.hpp>

namespace {
// Lock() calls of this thread that failed and so must not be unlocked.
thread_local int tl_failedLocks = 0;
}  // namespace

uint32_t GetCurrentThreadId() { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pthread_self())); }

void FXCriticalSection::Lock() {
  try {
    m_mutex.lock();
  } catch (const boost::interprocess::interprocess_exception&) {
    ++tl_failedLocks;
    return;
  }
  m_lockCount.fetch_add(1, std::memory_order_relaxed);
  SetLockOwner(GetCurrentThreadId());
}

void FXCriticalSection::Unlock() {
  ClearLockOwner();
  if (tl_failedLocks > 0) {
    --tl_failedLocks;
    return;
  }
  try {
    m_mutex.unlock();
  } catch (const boost::interprocess::interprocess_exception&) {
  }
}
