// Critical sections, events, mutexes, semaphores and the wait functions.
//
// Every waitable object (event, mutex, semaphore, thread) derives from
// WaitableObject. Their signal state is guarded by one process-wide lock so
// that a wait-all can test and take several objects in one atomic step; a
// waiting thread sleeps on its own condition variable, registered with each
// object it waits for, so a signal wakes only the threads that care.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/win32/Handle.h"
#include "platform/win32/Types.h"

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using PSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_ABANDONED_0 = 0x80;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr DWORD ERROR_NOT_OWNER = 288;
constexpr DWORD ERROR_TOO_MANY_POSTS = 298;

// ---------------------------------------------------------------------------
// Critical sections (re-entrant)

// The owner and recursion count live beside the lock so that re-entry by the
// owner never touches the lock, and a leave by a thread that does not own
// the section is ignored instead of corrupting it.
struct CRITICAL_SECTION {
  std::mutex Lock;
  std::atomic<DWORD> OwningThread{0};
  LONG RecursionCount = 0;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;
using PCRITICAL_SECTION = CRITICAL_SECTION*;

void InitializeCriticalSection(LPCRITICAL_SECTION cs);
BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD spinCount);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);

// ---------------------------------------------------------------------------
// Waitable objects

class WaitableObject : public KernelObject {
 public:
  // The lock that guards the signal state of every waitable object.
  static std::mutex& StateLock();

 protected:
  // Both hooks are called with StateLock held.
  // True when a wait by the given thread would be satisfied now.
  virtual bool IsSignalledFor(DWORD threadId) const = 0;
  // Applies the side effect of a satisfied wait (auto-reset, ownership,
  // count). Returns true when the wait took an abandoned mutex.
  virtual bool Acquire(DWORD /*threadId*/) { return false; }

  // Wakes the threads waiting for this object; StateLock must be held.
  void NotifyWaiters();
  // Lets the threads waiting now (all, or only the longest waiting one)
  // through once, even though the object itself stays non-signalled.
  void PulseWaiters(bool all);

 private:
  friend struct WaitEngine;
  struct Waiter {
    std::condition_variable wake;
  };
  std::vector<Waiter*> waiters_;  // in the order they started waiting
  std::vector<Waiter*> pulsed_;
};

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
#define CreateEvent CreateEventA
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// Releases the waiters present at the moment of the call (all of them for a
// manual-reset event, one for an auto-reset event) and leaves the event
// non-signalled.
BOOL PulseEvent(HANDLE event);

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
#define CreateMutex CreateMutexA
BOOL ReleaseMutex(HANDLE mutex);

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES attributes, LONG initialCount, LONG maximumCount, LPCSTR name);
#define CreateSemaphore CreateSemaphoreA
BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount);

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// The id of the calling thread (never 0); defined with the threads.
DWORD GetCurrentThreadId();
