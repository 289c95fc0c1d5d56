// The filter locks: a re-entrant critical section and its scoped holder.
//
// Filters call back into themselves while holding their lock (a pin's
// Connect reaches the filter, which asks the pin again), so the lock must be
// re-entrant, as the platform's critical sections are.
#pragma once

#include "platform/win32/Sync.h"

class CCritSec {
 public:
  CCritSec() { InitializeCriticalSection(&m_CritSec); }
  ~CCritSec() { DeleteCriticalSection(&m_CritSec); }
  CCritSec(const CCritSec&) = delete;
  CCritSec& operator=(const CCritSec&) = delete;

  void Lock() { EnterCriticalSection(&m_CritSec); }
  void Unlock() { LeaveCriticalSection(&m_CritSec); }

  // True when the calling thread holds the lock.
  bool IsOwnedByCurrentThread() const { return m_CritSec.OwningThread.load() == GetCurrentThreadId(); }

 private:
  CRITICAL_SECTION m_CritSec;
};

class CAutoLock {
 public:
  explicit CAutoLock(CCritSec* lock) : m_pLock(lock) {
    if (m_pLock) m_pLock->Lock();
  }
  ~CAutoLock() {
    if (m_pLock) m_pLock->Unlock();
  }
  CAutoLock(const CAutoLock&) = delete;
  CAutoLock& operator=(const CAutoLock&) = delete;

 private:
  CCritSec* m_pLock;
};

inline bool CritCheckIn(const CCritSec* lock) { return lock && lock->IsOwnedByCurrentThread(); }
