#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/win32/Interlocked.h"
#include "platform/win32/Sync.h"
#include "platform/win32/Thread.h"
#include "platform/win32/Time.h"

namespace {

// Closes a handle at the end of a scope.
struct Owned {
  HANDLE h;
  explicit Owned(HANDLE handle) : h(handle) {}
  ~Owned() {
    if (h) CloseHandle(h);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  operator HANDLE() const { return h; }
};

struct WaitJob {
  HANDLE event;
  HANDLE done;  // semaphore, released once per finished wait
  std::atomic<int>* passed;
};

DWORD WaitAndCount(LPVOID p) {
  auto* job = static_cast<WaitJob*>(p);
  DWORD r = WaitForSingleObject(job->event, INFINITE);
  if (r == WAIT_OBJECT_0) ++*job->passed;
  ReleaseSemaphore(job->done, 1, nullptr);
  return r;
}

void JoinAll(std::vector<HANDLE>& threads) {
  ASSERT_EQ(WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE),
            WAIT_OBJECT_0);
  for (HANDLE t : threads) CloseHandle(t);
  threads.clear();
}

}  // namespace

TEST(Event, InitialStateAndTimeouts) {
  Owned on(CreateEventA(nullptr, TRUE, TRUE, nullptr));
  Owned off(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  ASSERT_NE(on.h, nullptr);
  ASSERT_NE(off.h, nullptr);
  EXPECT_EQ(WaitForSingleObject(on, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(on, 0), WAIT_OBJECT_0);  // manual reset stays set
  EXPECT_EQ(WaitForSingleObject(off, 0), WAIT_TIMEOUT);

  const DWORD start = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(off, 30), WAIT_TIMEOUT);
  EXPECT_GE(GetTickCount() - start, 30u);

  ASSERT_TRUE(SetEvent(off));
  EXPECT_EQ(WaitForSingleObject(off, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(off, 0), WAIT_TIMEOUT);  // auto reset consumed it

  ASSERT_TRUE(ResetEvent(on));
  EXPECT_EQ(WaitForSingleObject(on, 0), WAIT_TIMEOUT);

  Owned wide(CreateEventW(nullptr, TRUE, TRUE, L"named"));
  EXPECT_EQ(WaitForSingleObject(wide, 0), WAIT_OBJECT_0);
}

TEST(Event, AutoResetReleasesOneWaiterPerSet) {
  Owned ev(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  Owned done(CreateSemaphoreA(nullptr, 0, 100, nullptr));
  std::atomic<int> passed{0};
  WaitJob job{ev, done, &passed};
  constexpr int kWaiters = 5;
  std::vector<HANDLE> threads;
  for (int i = 0; i < kWaiters; ++i) threads.push_back(CreateThread(nullptr, 0, WaitAndCount, &job, 0, nullptr));

  for (int i = 1; i <= kWaiters; ++i) {
    ASSERT_TRUE(SetEvent(ev));
    ASSERT_EQ(WaitForSingleObject(done, INFINITE), WAIT_OBJECT_0);
    // No second waiter may slip through on the same signal.
    EXPECT_EQ(WaitForSingleObject(done, 20), WAIT_TIMEOUT);
    EXPECT_EQ(passed.load(), i);
  }
  JoinAll(threads);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
}

TEST(Event, ManualResetReleasesAllWaiters) {
  Owned ev(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  Owned done(CreateSemaphoreA(nullptr, 0, 100, nullptr));
  std::atomic<int> passed{0};
  WaitJob job{ev, done, &passed};
  std::vector<HANDLE> threads;
  for (int i = 0; i < 6; ++i) threads.push_back(CreateThread(nullptr, 0, WaitAndCount, &job, 0, nullptr));
  ASSERT_TRUE(SetEvent(ev));
  JoinAll(threads);
  EXPECT_EQ(passed.load(), 6);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
}

TEST(Event, PulseReleasesWaiterAndLeavesEventReset) {
  for (BOOL manual : {TRUE, FALSE}) {
    Owned ev(CreateEventA(nullptr, manual, FALSE, nullptr));
    // With nobody waiting a pulse is lost.
    ASSERT_TRUE(PulseEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);

    Owned done(CreateSemaphoreA(nullptr, 0, 10, nullptr));
    std::atomic<int> passed{0};
    WaitJob job{ev, done, &passed};
    HANDLE t = CreateThread(nullptr, 0, WaitAndCount, &job, 0, nullptr);
    // The waiter may not be waiting yet; pulse until it has been let through.
    DWORD r = WAIT_TIMEOUT;
    for (int i = 0; i < 2000 && r == WAIT_TIMEOUT; ++i) {
      ASSERT_TRUE(PulseEvent(ev));
      r = WaitForSingleObject(t, 5);
    }
    EXPECT_EQ(r, WAIT_OBJECT_0);
    EXPECT_EQ(passed.load(), 1);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    CloseHandle(t);
  }
}

TEST(WaitMultiple, AnyReturnsFirstSignalledIndexAndTakesOnlyIt) {
  Owned a(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  Owned b(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  Owned c(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  HANDLE hs[] = {a, b, c};
  EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_TIMEOUT);
  SetEvent(c);
  EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_OBJECT_0 + 2);
  SetEvent(b);
  SetEvent(c);
  EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_OBJECT_0 + 1);
  // c was not taken by that wait.
  EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_TIMEOUT);
}

TEST(WaitMultiple, AllIsAtomic) {
  Owned a(CreateEventA(nullptr, FALSE, TRUE, nullptr));
  Owned b(CreateEventA(nullptr, FALSE, TRUE, nullptr));
  Owned c(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  HANDLE hs[] = {a, b, c};
  EXPECT_EQ(WaitForMultipleObjects(3, hs, TRUE, 10), WAIT_TIMEOUT);
  // The failed wait-all must not have consumed the two that were set.
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
  SetEvent(a);
  SetEvent(b);
  SetEvent(c);
  EXPECT_EQ(WaitForMultipleObjects(3, hs, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_TIMEOUT);
}

namespace {
struct SetterJob {
  HANDLE go;
  HANDLE mine;
};
DWORD WaitThenSet(LPVOID p) {
  auto* job = static_cast<SetterJob*>(p);
  WaitForSingleObject(job->go, INFINITE);
  SetEvent(job->mine);
  return 0;
}
}  // namespace

TEST(WaitMultiple, AllWithSeveralThreads) {
  Owned go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  constexpr int kCount = 4;
  std::vector<HANDLE> events;
  std::vector<SetterJob> jobs(kCount);
  std::vector<HANDLE> threads;
  for (int i = 0; i < kCount; ++i) events.push_back(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  for (int i = 0; i < kCount; ++i) {
    jobs[i] = {go, events[i]};
    threads.push_back(CreateThread(nullptr, 0, WaitThenSet, &jobs[i], 0, nullptr));
  }
  EXPECT_EQ(WaitForMultipleObjects(kCount, events.data(), TRUE, 0), WAIT_TIMEOUT);
  SetEvent(go);
  EXPECT_EQ(WaitForMultipleObjects(kCount, events.data(), TRUE, INFINITE), WAIT_OBJECT_0);
  for (HANDLE e : events) EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  JoinAll(threads);
  for (HANDLE e : events) CloseHandle(e);
}

TEST(WaitMultiple, BadArguments) {
  Owned a(CreateEventA(nullptr, TRUE, TRUE, nullptr));
  std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, a.h);
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(0, many.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), WAIT_OBJECT_0);
  // The same object twice in a wait-all is refused.
  EXPECT_EQ(WaitForMultipleObjects(2, many.data(), TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  HANDLE withNull[] = {a, nullptr};
  EXPECT_EQ(WaitForMultipleObjects(2, withNull, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
  EXPECT_FALSE(SetEvent(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  // A semaphore is not an event.
  Owned sem(CreateSemaphoreA(nullptr, 1, 1, nullptr));
  EXPECT_FALSE(SetEvent(sem));
}

TEST(WaitMultiple, ClosingOneHandleWhileAnotherThreadWaits) {
  HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE dup = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), ev, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS));
  Owned done(CreateSemaphoreA(nullptr, 0, 10, nullptr));
  std::atomic<int> passed{0};
  WaitJob job{ev, done, &passed};
  HANDLE t = CreateThread(nullptr, 0, WaitAndCount, &job, 0, nullptr);
  Sleep(10);
  ASSERT_TRUE(CloseHandle(ev));
  ASSERT_TRUE(SetEvent(dup));
  EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(passed.load(), 1);
  CloseHandle(t);
  CloseHandle(dup);
}

TEST(Mutex, OwnershipRecursionAndAbandonment) {
  Owned m(CreateMutexA(nullptr, TRUE, nullptr));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // re-entry by the owner
  struct Probe {
    HANDLE m;
    DWORD result = 0;
    BOOL released = TRUE;
    DWORD error = 0;
  } probe{m};
  auto tryFromOther = [](LPVOID p) -> DWORD {
    auto* pr = static_cast<Probe*>(p);
    pr->result = WaitForSingleObject(pr->m, 0);
    pr->released = ReleaseMutex(pr->m);
    pr->error = GetLastError();
    return 0;
  };
  HANDLE t = CreateThread(nullptr, 0, tryFromOther, &probe, 0, nullptr);
  WaitForSingleObject(t, INFINITE);
  CloseHandle(t);
  EXPECT_EQ(probe.result, WAIT_TIMEOUT);
  EXPECT_FALSE(probe.released);
  EXPECT_EQ(probe.error, ERROR_NOT_OWNER);

  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_FALSE(ReleaseMutex(m));

  // A thread that ends while owning the mutex leaves it abandoned.
  auto takeAndQuit = [](LPVOID p) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(p), INFINITE); };
  t = CreateThread(nullptr, 0, takeAndQuit, m.h, 0, nullptr);
  WaitForSingleObject(t, INFINITE);
  DWORD code = 1;
  GetExitCodeThread(t, &code);
  EXPECT_EQ(code, WAIT_OBJECT_0);
  CloseHandle(t);
  EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(m));
}

TEST(Semaphore, CountsAndLimits) {
  EXPECT_EQ(CreateSemaphoreA(nullptr, 3, 2, nullptr), nullptr);
  Owned s(CreateSemaphoreA(nullptr, 2, 3, nullptr));
  EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_TIMEOUT);
  LONG previous = -1;
  EXPECT_TRUE(ReleaseSemaphore(s, 3, &previous));
  EXPECT_EQ(previous, 0);
  EXPECT_FALSE(ReleaseSemaphore(s, 1, &previous));
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
  EXPECT_FALSE(ReleaseSemaphore(s, 0, nullptr));
}

namespace {
struct CounterJob {
  CRITICAL_SECTION* cs;
  long* counter;
  int rounds;
};
DWORD CountUnderLock(LPVOID p) {
  auto* job = static_cast<CounterJob*>(p);
  for (int i = 0; i < job->rounds; ++i) {
    EnterCriticalSection(job->cs);
    EnterCriticalSection(job->cs);  // nested, as callers re-enter their own locks
    long v = *job->counter;
    if (i % 64 == 0) SwitchToThread();
    *job->counter = v + 1;
    LeaveCriticalSection(job->cs);
    LeaveCriticalSection(job->cs);
  }
  return 0;
}
}  // namespace

TEST(CriticalSection, ReentrancyAndMutualExclusion) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  long counter = 0;
  CounterJob job{&cs, &counter, 5000};
  std::vector<HANDLE> threads;
  for (int i = 0; i < 4; ++i) threads.push_back(CreateThread(nullptr, 0, CountUnderLock, &job, 0, nullptr));
  JoinAll(threads);
  EXPECT_EQ(counter, 4 * 5000);
  DeleteCriticalSection(&cs);
}

TEST(CriticalSection, TryEnterAndForeignLeave) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));
  EXPECT_EQ(cs.RecursionCount, 2);
  struct Probe {
    CRITICAL_SECTION* cs;
    BOOL entered = TRUE;
  } probe{&cs};
  auto other = [](LPVOID p) -> DWORD {
    auto* pr = static_cast<Probe*>(p);
    LeaveCriticalSection(pr->cs);  // not the owner: must be ignored
    pr->entered = TryEnterCriticalSection(pr->cs);
    return 0;
  };
  HANDLE t = CreateThread(nullptr, 0, other, &probe, 0, nullptr);
  WaitForSingleObject(t, INFINITE);
  CloseHandle(t);
  EXPECT_FALSE(probe.entered);
  EXPECT_EQ(cs.RecursionCount, 2);
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  auto enterAndLeave = [](LPVOID p) -> DWORD {
    auto* pr = static_cast<Probe*>(p);
    pr->entered = TryEnterCriticalSection(pr->cs);
    if (pr->entered) LeaveCriticalSection(pr->cs);
    return 0;
  };
  t = CreateThread(nullptr, 0, enterAndLeave, &probe, 0, nullptr);
  WaitForSingleObject(t, INFINITE);
  CloseHandle(t);
  EXPECT_TRUE(probe.entered);
  DeleteCriticalSection(&cs);
}

namespace {
struct InterlockedJob {
  volatile LONG* value;
  volatile LONG* cas;
};
DWORD Bump(LPVOID p) {
  auto* job = static_cast<InterlockedJob*>(p);
  for (int i = 0; i < 10000; ++i) {
    InterlockedIncrement(job->value);
    InterlockedExchangeAdd(job->value, 2);
    InterlockedDecrement(job->value);
    LONG seen;
    do {
      seen = InterlockedExchangeAdd(job->cas, 0);
    } while (InterlockedCompareExchange(job->cas, seen + 1, seen) != seen);
  }
  return 0;
}
}  // namespace

TEST(Interlocked, ConcurrentUpdatesAreExact) {
  volatile LONG value = 0;
  volatile LONG cas = 0;
  InterlockedJob job{&value, &cas};
  std::vector<HANDLE> threads;
  for (int i = 0; i < 4; ++i) threads.push_back(CreateThread(nullptr, 0, Bump, &job, 0, nullptr));
  JoinAll(threads);
  EXPECT_EQ(value, 4 * 10000 * 2);
  EXPECT_EQ(cas, 4 * 10000);

  volatile LONG x = 5;
  EXPECT_EQ(InterlockedCompareExchange(&x, 9, 4), 5);
  EXPECT_EQ(x, 5);
  EXPECT_EQ(InterlockedExchange(&x, 7), 5);
  EXPECT_EQ(InterlockedIncrement(&x), 8);
  int a = 0, b = 0;
  PVOID volatile ptr = &a;
  EXPECT_EQ(InterlockedCompareExchangePointer(&ptr, &b, &b), &a);
  EXPECT_EQ(InterlockedExchangePointer(&ptr, &b), &a);
  EXPECT_EQ(ptr, &b);
}
