#include "platform/win32/Thread.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <system_error>
#include <thread>

namespace {

std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;

class ThreadObject : public WaitableObject {
 public:
  explicit ThreadObject(DWORD id) : id_(id) {}

  DWORD Id() const { return id_; }
  std::atomic<int> priority{THREAD_PRIORITY_NORMAL};

  void SetNative(pthread_t native) {
    std::lock_guard<std::mutex> lock(StateLock());
    native_ = native;
    started_ = true;
  }
  // Interrupts the system call the thread is blocked in, if any, while the
  // thread still runs (its pthread is not reused before Finish).
  bool Interrupt() {
    std::lock_guard<std::mutex> lock(StateLock());
    if (!started_ || finished_) return false;
    platform::InterruptBlockingCall(native_);
    return true;
  }

  void Finish(DWORD code) {
    std::lock_guard<std::mutex> lock(StateLock());
    exitCode_ = code;
    finished_ = true;
    NotifyWaiters();
  }
  DWORD ExitCode() {
    std::lock_guard<std::mutex> lock(StateLock());
    return finished_ ? exitCode_ : STILL_ACTIVE;
  }

 protected:
  bool IsSignalledFor(DWORD) const override { return finished_; }

 private:
  const DWORD id_;
  DWORD exitCode_ = STILL_ACTIVE;
  bool finished_ = false;
  bool started_ = false;
  pthread_t native_{};
};

// The thread object of the calling thread, when this layer created it.
thread_local ThreadObject* t_self = nullptr;
// The recorded priority of a thread this layer did not create.
thread_local int t_foreignPriority = THREAD_PRIORITY_NORMAL;

// Stands for the calling thread. Every GetCurrentThread() takes a reference,
// so a caller that closes what it got never frees the shared object.
class CurrentThreadHandle : public KernelObject {};

CurrentThreadHandle* PseudoThread() {
  // Never freed: detached threads may still use it while the process exits.
  static CurrentThreadHandle* pseudo = new CurrentThreadHandle();
  return pseudo;
}

bool IsPseudoThread(HANDLE h) { return h == static_cast<HANDLE>(PseudoThread()); }

bool ValidPriority(int p) {
  return p == THREAD_PRIORITY_IDLE || p == THREAD_PRIORITY_TIME_CRITICAL ||
         (p >= THREAD_PRIORITY_LOWEST && p <= THREAD_PRIORITY_HIGHEST);
}

}  // namespace

DWORD GetCurrentThreadId() {
  if (t_threadId == 0) t_threadId = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
  return t_threadId;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD,
                    LPDWORD threadId) {
  if (!start) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const DWORD id = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
  auto* obj = new ThreadObject(id);
  obj->AddRef();  // the running thread's own reference
  try {
    std::thread([obj, start, parameter] {
      t_threadId = obj->Id();
      t_self = obj;
      obj->SetNative(pthread_self());
      const DWORD code = start(parameter);
      obj->Finish(code);
      t_self = nullptr;
      obj->Release();
    }).detach();
  } catch (const std::system_error&) {
    obj->Release();
    obj->Release();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (threadId) *threadId = id;
  return obj->AsHandle();
}

namespace platform {

namespace {
// The signal only breaks a blocking call (the handler does nothing and is
// installed without SA_RESTART, so the call returns EINTR).
const int kInterruptSignal = SIGRTMIN + 3;
void IgnoreInterrupt(int) {}
}  // namespace

void InterruptBlockingCall(pthread_t thread) {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_handler = IgnoreInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    return sigaction(kInterruptSignal, &action, nullptr) == 0;
  }();
  if (installed) pthread_kill(thread, kInterruptSignal);
}

}  // namespace platform

BOOL CancelSynchronousIo(HANDLE thread) {
  auto* obj = IsPseudoThread(thread) ? nullptr : KernelObject::As<ThreadObject>(thread);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!obj->Interrupt()) {
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  if (!exitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (IsPseudoThread(thread)) {
    *exitCode = STILL_ACTIVE;
    return TRUE;
  }
  auto* obj = KernelObject::As<ThreadObject>(thread);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *exitCode = obj->ExitCode();
  return TRUE;
}

HANDLE GetCurrentThread() {
  CurrentThreadHandle* pseudo = PseudoThread();
  pseudo->AddRef();
  return pseudo->AsHandle();
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
  if (!ValidPriority(priority)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (IsPseudoThread(thread)) {
    if (t_self)
      t_self->priority = priority;
    else
      t_foreignPriority = priority;
    return TRUE;
  }
  auto* obj = KernelObject::As<ThreadObject>(thread);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  obj->priority = priority;
  return TRUE;
}

int GetThreadPriority(HANDLE thread) {
  if (IsPseudoThread(thread)) return t_self ? t_self->priority.load() : t_foreignPriority;
  auto* obj = KernelObject::As<ThreadObject>(thread);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return THREAD_PRIORITY_ERROR_RETURN;
  }
  return obj->priority;
}

HANDLE GetCurrentProcess() {
  // The platform's pseudo handle value; nothing here resolves it.
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  if (milliseconds == INFINITE) {
    for (;;) pause();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

BOOL SwitchToThread() {
  std::this_thread::yield();
  return TRUE;
}
