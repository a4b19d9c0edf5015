// The engine's process-wide recursive critical section.
//
// Lock() takes a recursive POSIX mutex (through Boost.Interprocess) and then
// records the owning thread; a failure to lock is swallowed and the section
// then runs unlocked. Unlock() clears the owner and releases the mutex, unless
// the matching Lock() had failed.
#pragma once

#include <atomic>
#include <boost/interprocess/sync/interprocess_recursive_mutex.hpp>
#include <cstdint>

#include "ZrLib/Export.h"

// 32-bit value of the calling thread's id.
ZR_EXPORT uint32_t GetCurrentThreadId();

class ZR_EXPORT FXLockableResource {
 public:
  void SetLockOwner(uint32_t owner) { m_owner.store(owner, std::memory_order_relaxed); }
  void ClearLockOwner() { m_owner.store(0, std::memory_order_relaxed); }
  uint32_t GetLockOwner() const { return m_owner.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint32_t> m_owner{0};
};

class ZR_EXPORT FXCriticalSection final : public FXLockableResource {
 public:
  FXCriticalSection() = default;
  FXCriticalSection(const FXCriticalSection&) = delete;
  FXCriticalSection& operator=(const FXCriticalSection&) = delete;

  void Lock();
  void Unlock();
  // Number of Lock() calls so far that did take the mutex (tests use it to see
  // that a path went through the section).
  unsigned long lockCount() const { return m_lockCount.load(std::memory_order_relaxed); }

 private:
  boost::interprocess::interprocess_recursive_mutex m_mutex;
  std::atomic<unsigned long> m_lockCount{0};
};
