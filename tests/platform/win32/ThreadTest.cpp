#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/win32/Module.h"
#include "platform/win32/Sync.h"
#include "platform/win32/System.h"
#include "platform/win32/Thread.h"
#include "platform/win32/Time.h"

namespace {

struct Gate {
  HANDLE go;
  HANDLE ran;
  DWORD seenId = 0;
  int seenPriority = 99;
  DWORD code = 0;
};

DWORD GatedThread(LPVOID p) {
  auto* g = static_cast<Gate*>(p);
  g->seenId = GetCurrentThreadId();
  HANDLE self = GetCurrentThread();
  SetThreadPriority(self, THREAD_PRIORITY_BELOW_NORMAL);
  g->seenPriority = GetThreadPriority(self);
  CloseHandle(self);  // closing the pseudo handle is harmless
  SetEvent(g->ran);
  WaitForSingleObject(g->go, INFINITE);
  return g->code;
}

}  // namespace

TEST(Thread, ExitCodeIdAndPriority) {
  Gate g{CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  g.code = 1234;
  DWORD id = 0;
  HANDLE t = CreateThread(nullptr, 0, GatedThread, &g, 0, &id);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(WaitForSingleObject(g.ran, INFINITE), WAIT_OBJECT_0);

  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(g.seenId, id);
  EXPECT_NE(id, GetCurrentThreadId());
  // The thread lowered itself through the pseudo handle; its real handle sees it.
  EXPECT_EQ(g.seenPriority, THREAD_PRIORITY_BELOW_NORMAL);
  EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_BELOW_NORMAL);
  EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_TIME_CRITICAL));
  EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_TIME_CRITICAL);
  EXPECT_FALSE(SetThreadPriority(t, 7));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  SetEvent(g.go);
  EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // stays signalled
  ASSERT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 1234u);
  CloseHandle(t);
  CloseHandle(g.go);
  CloseHandle(g.ran);
}

TEST(Thread, PriorityOfForeignThreadAndBadHandles) {
  HANDLE self = GetCurrentThread();
  EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_NORMAL);
  EXPECT_TRUE(SetThreadPriority(self, THREAD_PRIORITY_ABOVE_NORMAL));
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_ABOVE_NORMAL);
  EXPECT_TRUE(SetThreadPriority(self, THREAD_PRIORITY_NORMAL));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(self, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  // The pseudo handle is not a thread object one can wait for.
  EXPECT_EQ(WaitForSingleObject(self, 0), WAIT_FAILED);
  EXPECT_TRUE(CloseHandle(self));

  HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(GetExitCodeThread(ev, &code));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetThreadPriority(ev), THREAD_PRIORITY_ERROR_RETURN);
  EXPECT_FALSE(GetExitCodeThread(nullptr, &code));
  CloseHandle(ev);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
}

namespace {
DWORD SignalAndQuit(LPVOID p) {
  SetEvent(static_cast<HANDLE>(p));
  return 0;
}
}  // namespace

TEST(Thread, HandleClosedAtOnceStillRuns) {
  HANDLE ran = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (int i = 0; i < 20; ++i) {
    HANDLE t = CreateThread(nullptr, 0, SignalAndQuit, ran, 0, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(CloseHandle(t));
    ASSERT_EQ(WaitForSingleObject(ran, INFINITE), WAIT_OBJECT_0);
    ResetEvent(ran);
  }
  CloseHandle(ran);
}

TEST(Thread, ManyThreadsWaitForOneThread) {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Gate g{go, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  g.code = 7;
  HANDLE target = CreateThread(nullptr, 0, GatedThread, &g, 0, nullptr);
  auto waitTarget = [](LPVOID p) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(p), INFINITE); };
  HANDLE waiters[3];
  for (HANDLE& w : waiters) w = CreateThread(nullptr, 0, waitTarget, target, 0, nullptr);
  SetEvent(go);
  ASSERT_EQ(WaitForMultipleObjects(3, waiters, TRUE, INFINITE), WAIT_OBJECT_0);
  for (HANDLE w : waiters) {
    DWORD code = 1;
    GetExitCodeThread(w, &code);
    EXPECT_EQ(code, WAIT_OBJECT_0);
    CloseHandle(w);
  }
  CloseHandle(target);
  CloseHandle(g.ran);
  CloseHandle(go);
}

TEST(Time, ClocksAdvanceAndAgree) {
  const DWORD t0 = GetTickCount();
  const ULONGLONG t64 = GetTickCount64();
  LARGE_INTEGER c0, c1, f;
  ASSERT_TRUE(QueryPerformanceFrequency(&f));
  EXPECT_EQ(f.QuadPart, 10000000);
  ASSERT_TRUE(QueryPerformanceCounter(&c0));
  Sleep(25);
  ASSERT_TRUE(QueryPerformanceCounter(&c1));
  EXPECT_GE(GetTickCount() - t0, 25u);
  EXPECT_GE(GetTickCount64() - t64, 25u);
  EXPECT_GE(timeGetTime() - t0, 25u);
  EXPECT_GE(c1.QuadPart - c0.QuadPart, 25 * f.QuadPart / 1000);

  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const ULONGLONG units = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  const long long unixSeconds = static_cast<long long>(units / 10000000ULL) - 11644473600LL;
  EXPECT_LE(std::llabs(unixSeconds - static_cast<long long>(std::time(nullptr))), 2);

  SYSTEMTIME st;
  GetSystemTime(&st);
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  EXPECT_EQ(st.wYear, tm.tm_year + 1900);
  EXPECT_EQ(st.wMonth, tm.tm_mon + 1);
  EXPECT_GE(st.wMonth, 1);
  EXPECT_LT(st.wMilliseconds, 1000);
  GetLocalTime(&st);
  localtime_r(&now, &tm);
  EXPECT_EQ(st.wYear, tm.tm_year + 1900);
}

TEST(System, VersionMulDivAndWindowsFolder) {
  const DWORD v = GetVersion();
  EXPECT_EQ(v & 0x80000000u, 0u);
  EXPECT_GE(LOBYTE(v), 5);

  EXPECT_EQ(MulDiv(10, 3, 4), 8);    // 7.5 rounds up
  EXPECT_EQ(MulDiv(-10, 3, 4), -8);  // and away from zero
  EXPECT_EQ(MulDiv(10, -3, -4), 8);
  EXPECT_EQ(MulDiv(7, 1, 3), 2);
  EXPECT_EQ(MulDiv(2540, 96, 2540), 96);
  EXPECT_EQ(MulDiv(0x40000000, 8, 2), -1);  // does not fit
  EXPECT_EQ(MulDiv(INT_MAX, 2, 2), INT_MAX);  // the product needs 64 bits
  EXPECT_EQ(MulDiv(5, 5, 0), -1);

  char dir[MAX_PATH];
  const UINT len = GetWindowsDirectoryA(dir, MAX_PATH);
  ASSERT_GT(len, 0u);
  EXPECT_EQ(std::strlen(dir), len);
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
  ASSERT_GT(n, 0);
  const std::string exeFolder = std::string(exe, static_cast<size_t>(n)).substr(0, std::string(exe, n).rfind('/'));
  EXPECT_EQ(std::string(dir), exeFolder);
  char small[2];
  EXPECT_EQ(GetWindowsDirectoryA(small, sizeof small), len + 1);
}

namespace {

struct BlockedCall {
  std::string fifo;
  std::atomic<int> result{0};
  std::atomic<int> error{0};
};

// Opening a FIFO for writing with no reader blocks for good: the stuck
// call that a hung target leaves a writer in.
DWORD OpenFifoForWriting(LPVOID p) {
  auto* call = static_cast<BlockedCall*>(p);
  const int fd = open(call->fifo.c_str(), O_WRONLY);
  call->error = errno;
  call->result = fd;
  if (fd >= 0) close(fd);
  return 0;
}

}  // namespace

TEST(Thread, CancelSynchronousIoBreaksABlockedCall) {
  char dir[] = "/tmp/cancelioXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  BlockedCall call;
  call.fifo = std::string(dir) + "/fifo";
  ASSERT_EQ(mkfifo(call.fifo.c_str(), 0600), 0);
  HANDLE t = CreateThread(nullptr, 0, OpenFifoForWriting, &call, 0, nullptr);
  ASSERT_NE(t, nullptr);
  // The signal only breaks a call in progress, so it is repeated until the
  // thread is out of it.
  DWORD waited = WAIT_TIMEOUT;
  for (int i = 0; i < 100 && waited == WAIT_TIMEOUT; ++i) {
    CancelSynchronousIo(t);
    waited = WaitForSingleObject(t, 50);
  }
  ASSERT_EQ(waited, WAIT_OBJECT_0);
  EXPECT_EQ(call.result, -1);
  EXPECT_EQ(call.error, EINTR);
  // An ended thread has nothing to break; a pseudo handle is refused.
  EXPECT_FALSE(CancelSynchronousIo(t));
  EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
  HANDLE self = GetCurrentThread();
  EXPECT_FALSE(CancelSynchronousIo(self));
  CloseHandle(self);
  CloseHandle(t);
  unlink(call.fifo.c_str());
  rmdir(dir);
}
