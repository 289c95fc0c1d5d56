// Kernel objects behind HANDLE values.
//
// A HANDLE of a thread, event, file or other kernel object points at a
// KernelObject. Each open handle holds one reference; CloseHandle drops it.
// Objects that a waiter may hold on to (events, threads) are kept alive while
// a wait uses them, so closing a handle during a wait is safe.
#pragma once

#include <atomic>

#include "platform/win32/Types.h"

class KernelObject {
 public:
  KernelObject();
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
  virtual ~KernelObject();

  void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
  // Adds a reference unless the last one is already gone.
  bool TryAddRef() {
    long n = refs_.load(std::memory_order_relaxed);
    while (n > 0)
      if (refs_.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel)) return true;
    return false;
  }
  void Release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  HANDLE AsHandle() { return static_cast<HANDLE>(this); }

  // Returns the object behind a handle, or null for a null, invalid, closed
  // or foreign handle: every live object is known, so a stale or random
  // value is refused instead of being dereferenced.
  static KernelObject* FromHandle(HANDLE h);

  // Like FromHandle, but takes a reference for the caller (to be dropped
  // with Release), so that a handle closed by another thread meanwhile
  // cannot free the object in use. Null for an invalid or dying object.
  static KernelObject* Reference(HANDLE h);

  template <class T>
  static T* As(HANDLE h) {
    return dynamic_cast<T*>(FromHandle(h));
  }

 private:
  std::atomic<long> refs_{1};
};

// Last-error value of the calling thread.
DWORD GetLastError();
void SetLastError(DWORD err);

BOOL CloseHandle(HANDLE h);
BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, LPHANDLE target, DWORD access,
                     BOOL inherit, DWORD options);
constexpr DWORD DUPLICATE_SAME_ACCESS = 2;
