#include "platform/win32/Sync.h"

#include <array>
#include <span>

#include <algorithm>
#include <chrono>
#include <optional>

// ---------------------------------------------------------------------------
// Critical sections

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  // The lock is constructed with the structure; nothing else to set up.
  if (cs) {
    cs->OwningThread.store(0, std::memory_order_relaxed);
    cs->RecursionCount = 0;
  }
}

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD) {
  InitializeCriticalSection(cs);
  return TRUE;
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) {
  if (!cs) return;
  const DWORD me = GetCurrentThreadId();
  // Only the owner can see its own id here, so the unlocked read is safe.
  if (cs->OwningThread.load(std::memory_order_relaxed) == me) {
    ++cs->RecursionCount;
    return;
  }
  cs->Lock.lock();
  cs->OwningThread.store(me, std::memory_order_relaxed);
  cs->RecursionCount = 1;
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
  if (!cs) return FALSE;
  const DWORD me = GetCurrentThreadId();
  if (cs->OwningThread.load(std::memory_order_relaxed) == me) {
    ++cs->RecursionCount;
    return TRUE;
  }
  if (!cs->Lock.try_lock()) return FALSE;
  cs->OwningThread.store(me, std::memory_order_relaxed);
  cs->RecursionCount = 1;
  return TRUE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  if (!cs) return;
  // A leave by a thread that does not hold the section would unlock someone
  // else's lock; ignore it.
  if (cs->OwningThread.load(std::memory_order_relaxed) != GetCurrentThreadId()) return;
  if (--cs->RecursionCount > 0) return;
  cs->RecursionCount = 0;
  cs->OwningThread.store(0, std::memory_order_relaxed);
  cs->Lock.unlock();
}

void DeleteCriticalSection(LPCRITICAL_SECTION) {
  // The lock is released with the structure.
}

// ---------------------------------------------------------------------------
// Waitable objects

std::mutex& WaitableObject::StateLock() {
  // Never destroyed: detached threads may signal while the process exits.
  static std::mutex* lock = new std::mutex();
  return *lock;
}

void WaitableObject::NotifyWaiters() {
  for (Waiter* w : waiters_) w->wake.notify_one();
}

void WaitableObject::PulseWaiters(bool all) {
  for (Waiter* w : waiters_) {
    if (std::find(pulsed_.begin(), pulsed_.end(), w) == pulsed_.end()) pulsed_.push_back(w);
    w->wake.notify_one();
    if (!all) break;
  }
}

namespace {

class EventObject : public WaitableObject {
 public:
  EventObject(bool manualReset, bool signalled) : manual_(manualReset), signalled_(signalled) {}

  void Set() {
    std::lock_guard<std::mutex> lock(StateLock());
    signalled_ = true;
    NotifyWaiters();
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(StateLock());
    signalled_ = false;
  }
  void Pulse() {
    std::lock_guard<std::mutex> lock(StateLock());
    PulseWaiters(manual_);
    signalled_ = false;
  }

 protected:
  bool IsSignalledFor(DWORD) const override { return signalled_; }
  bool Acquire(DWORD) override {
    if (!manual_) signalled_ = false;
    return false;
  }

 private:
  const bool manual_;
  bool signalled_;
};

class MutexObject;

// Mutexes held by a thread, so that they can be marked abandoned when the
// thread ends without releasing them.
struct OwnedMutexes {
  std::vector<MutexObject*> list;
  ~OwnedMutexes();
};
thread_local OwnedMutexes t_ownedMutexes;

class MutexObject : public WaitableObject {
 public:
  BOOL ReleaseByCurrentThread() {
    const DWORD me = GetCurrentThreadId();
    bool released = false;
    {
      std::lock_guard<std::mutex> lock(StateLock());
      if (owner_ != me) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
      }
      if (--count_ == 0) {
        owner_ = 0;
        released = true;
        NotifyWaiters();
      }
    }
    if (released) Forget();
    return TRUE;
  }

  // Called on thread exit for every mutex the thread still owns.
  void Abandon() {
    std::lock_guard<std::mutex> lock(StateLock());
    owner_ = 0;
    count_ = 0;
    abandoned_ = true;
    NotifyWaiters();
  }

  bool Take(DWORD threadId) { return Acquire(threadId); }

 protected:
  bool IsSignalledFor(DWORD threadId) const override { return owner_ == 0 || owner_ == threadId; }
  bool Acquire(DWORD threadId) override {
    if (count_++ == 0) {
      owner_ = threadId;
      // Held by the owning thread's list until released or abandoned.
      AddRef();
      t_ownedMutexes.list.push_back(this);
    }
    const bool wasAbandoned = abandoned_;
    abandoned_ = false;
    return wasAbandoned;
  }

 private:
  void Forget() {
    auto& list = t_ownedMutexes.list;
    auto it = std::find(list.begin(), list.end(), this);
    if (it != list.end()) {
      list.erase(it);
      Release();
    }
  }

  DWORD owner_ = 0;
  LONG count_ = 0;
  bool abandoned_ = false;
};

OwnedMutexes::~OwnedMutexes() {
  for (MutexObject* m : list) {
    m->Abandon();
    m->Release();
  }
}

class SemaphoreObject : public WaitableObject {
 public:
  SemaphoreObject(LONG initial, LONG maximum) : count_(initial), maximum_(maximum) {}

  BOOL Post(LONG n, LPLONG previous) {
    std::lock_guard<std::mutex> lock(StateLock());
    if (n <= 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (n > maximum_ - count_) {
      SetLastError(ERROR_TOO_MANY_POSTS);
      return FALSE;
    }
    if (previous) *previous = count_;
    count_ += n;
    NotifyWaiters();
    return TRUE;
  }

 protected:
  bool IsSignalledFor(DWORD) const override { return count_ > 0; }
  bool Acquire(DWORD) override {
    --count_;
    return false;
  }

 private:
  LONG count_;
  const LONG maximum_;
};

HANDLE Publish(KernelObject* obj) { return obj->AsHandle(); }

}  // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
  return Publish(new EventObject(manualReset != FALSE, initialState != FALSE));
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
  return Publish(new EventObject(manualReset != FALSE, initialState != FALSE));
}

namespace {
template <class T>
T* Lookup(HANDLE h) {
  T* obj = KernelObject::As<T>(h);
  if (!obj) SetLastError(ERROR_INVALID_HANDLE);
  return obj;
}
}  // namespace

BOOL SetEvent(HANDLE event) {
  EventObject* e = Lookup<EventObject>(event);
  if (!e) return FALSE;
  e->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  EventObject* e = Lookup<EventObject>(event);
  if (!e) return FALSE;
  e->Reset();
  return TRUE;
}

BOOL PulseEvent(HANDLE event) {
  EventObject* e = Lookup<EventObject>(event);
  if (!e) return FALSE;
  e->Pulse();
  return TRUE;
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR) {
  auto* m = new MutexObject();
  if (initialOwner) {
    std::lock_guard<std::mutex> lock(WaitableObject::StateLock());
    m->Take(GetCurrentThreadId());
  }
  return Publish(m);
}

BOOL ReleaseMutex(HANDLE mutex) {
  MutexObject* m = Lookup<MutexObject>(mutex);
  if (!m) return FALSE;
  return m->ReleaseByCurrentThread();
}

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG initialCount, LONG maximumCount, LPCSTR) {
  if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return Publish(new SemaphoreObject(initialCount, maximumCount));
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount) {
  SemaphoreObject* s = Lookup<SemaphoreObject>(semaphore);
  if (!s) return FALSE;
  return s->Post(releaseCount, previousCount);
}

// ---------------------------------------------------------------------------
// Waiting

struct WaitEngine {
  static DWORD Wait(DWORD count, const HANDLE* handles, bool all, DWORD ms) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
    // Every object is held for the length of the wait, so that a handle
    // closed by another thread meanwhile does not free it under us.
    std::array<WaitableObject*, MAXIMUM_WAIT_OBJECTS> held{};
    DWORD n = 0;
    auto releaseHeld = [&] {
      for (DWORD i = 0; i < n; ++i) held[i]->Release();
    };
    for (DWORD i = 0; i < count; ++i) {
      KernelObject* ref = KernelObject::Reference(handles[i]);
      auto* obj = dynamic_cast<WaitableObject*>(ref);
      if (!obj) {
        if (ref) ref->Release();
        releaseHeld();
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
      // A wait-all on the same object twice could never be decided sensibly.
      if (all && std::find(held.begin(), held.begin() + n, obj) != held.begin() + n) {
        obj->Release();
        releaseHeld();
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
      }
      held[n++] = obj;
    }
    const std::span<WaitableObject* const> objs(held.data(), n);
    const DWORD me = GetCurrentThreadId();

    // A poll decides at once and needs no waiter: streaming threads poll
    // their command events for every sample.
    if (ms == 0) {
      WaitableObject::Waiter none;
      DWORD result = WAIT_TIMEOUT;
      {
        std::lock_guard<std::mutex> lock(WaitableObject::StateLock());
        if (!TrySatisfy(objs, all, me, &none, &result)) result = WAIT_TIMEOUT;
      }
      releaseHeld();
      return result;
    }

    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (ms != INFINITE) deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);

    WaitableObject::Waiter waiter;
    DWORD result = WAIT_TIMEOUT;
    {
      std::unique_lock<std::mutex> lock(WaitableObject::StateLock());
      for (auto* obj : objs) obj->waiters_.push_back(&waiter);
      for (;;) {
        if (TrySatisfy(objs, all, me, &waiter, &result)) break;
        if (!deadline) {
          waiter.wake.wait(lock);
          continue;
        }
        if (waiter.wake.wait_until(lock, *deadline) == std::cv_status::timeout) {
          // One last look: the signal may have raced with the time-out.
          if (!TrySatisfy(objs, all, me, &waiter, &result)) result = WAIT_TIMEOUT;
          break;
        }
      }
      for (auto* obj : objs) {
        Erase(obj->waiters_, &waiter);
        Erase(obj->pulsed_, &waiter);
      }
    }
    releaseHeld();
    return result;
  }

 private:
  static bool Ready(WaitableObject* obj, DWORD me, WaitableObject::Waiter* w) {
    return obj->IsSignalledFor(me) || std::find(obj->pulsed_.begin(), obj->pulsed_.end(), w) != obj->pulsed_.end();
  }

  // Takes the objects if the wait is satisfied now; StateLock is held.
  static bool TrySatisfy(std::span<WaitableObject* const> objs, bool all, DWORD me, WaitableObject::Waiter* w,
                         DWORD* result) {
    if (all) {
      for (auto* obj : objs)
        if (!Ready(obj, me, w)) return false;
      std::optional<DWORD> abandoned;
      for (DWORD i = 0; i < objs.size(); ++i) {
        if (Take(objs[i], me, w) && !abandoned) abandoned = i;
      }
      *result = abandoned ? WAIT_ABANDONED_0 + *abandoned : WAIT_OBJECT_0;
      return true;
    }
    for (DWORD i = 0; i < objs.size(); ++i) {
      if (Ready(objs[i], me, w)) {
        *result = (Take(objs[i], me, w) ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
        return true;
      }
    }
    return false;
  }

  // A pulse lets the waiter through without touching the object's state.
  static bool Take(WaitableObject* obj, DWORD me, WaitableObject::Waiter* w) {
    auto it = std::find(obj->pulsed_.begin(), obj->pulsed_.end(), w);
    if (it != obj->pulsed_.end() && !obj->IsSignalledFor(me)) {
      obj->pulsed_.erase(it);
      return false;
    }
    return obj->Acquire(me);
  }

  template <class T>
  static void Erase(std::vector<T*>& v, T* item) {
    v.erase(std::remove(v.begin(), v.end(), item), v.end());
  }
};

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitEngine::Wait(1, &handle, false, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  return WaitEngine::Wait(count, handles, waitAll != FALSE, milliseconds);
}
