// Threads over std::thread.
//
// The thread object behind a handle is signalled when the thread function
// returns. The running thread holds its own reference, so a thread whose
// handle is closed at once (or never waited for) runs to its end and then
// frees its object. Priorities are recorded but not applied: an unprivileged
// Linux thread may lower its priority but never raise it back.
#pragma once

#include <pthread.h>

#include "platform/win32/Sync.h"
#include "platform/win32/Types.h"

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);
using PTHREAD_START_ROUTINE = LPTHREAD_START_ROUTINE;

constexpr DWORD STILL_ACTIVE = 259;

constexpr int THREAD_PRIORITY_IDLE = -15;
constexpr int THREAD_PRIORITY_LOWEST = -2;
constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
constexpr int THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;

// The stack size and creation flags are accepted and ignored: every thread
// starts at once with the system's default stack.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
// Makes the thread's blocking file or pipe call return with a failure
// (EINTR); FALSE (ERROR_NOT_FOUND) when the thread has not started or has
// ended. A call that begins after this one is not affected: a caller that
// must end a thread's I/O repeats it and makes the I/O layer refuse retries.
BOOL CancelSynchronousIo(HANDLE thread);

namespace platform {
// The same for a thread this layer did not create (a pthread).
void InterruptBlockingCall(pthread_t thread);
}  // namespace platform

// A handle meaning "the calling thread" wherever it is used. Closing it is
// harmless.
HANDLE GetCurrentThread();
DWORD GetCurrentThreadId();
BOOL SetThreadPriority(HANDLE thread, int priority);
int GetThreadPriority(HANDLE thread);

HANDLE GetCurrentProcess();
DWORD GetCurrentProcessId();

void Sleep(DWORD milliseconds);
BOOL SwitchToThread();
