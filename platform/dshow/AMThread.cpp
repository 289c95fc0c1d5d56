#include "platform/dshow/AMThread.h"

#include "platform/dshow/Errors.h"

CAMThread::CAMThread() = default;

CAMThread::~CAMThread() { Close(); }

DWORD WINAPI CAMThread::InitialThreadProc(LPVOID param) {
  auto* self = static_cast<CAMThread*>(param);
  return self->ThreadProc();
}

BOOL CAMThread::Create() {
  CAutoLock lock(&m_AccessLock);
  if (ThreadExists()) return FALSE;
  m_EventSend.Reset();
  DWORD id = 0;
  m_hThread = CreateThread(nullptr, 0, InitialThreadProc, this, 0, &id);
  return m_hThread != nullptr;
}

DWORD CAMThread::CallWorker(DWORD param) {
  CAutoLock lock(&m_AccessLock);
  if (!ThreadExists()) return static_cast<DWORD>(E_FAIL);
  m_dwParam = param;
  m_EventSend.Set();
  // A worker that ends without replying (it returned from ThreadProc) must
  // not leave the caller waiting for ever.
  HANDLE handles[2] = {m_EventComplete.Handle(), m_hThread};
  DWORD w = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  if (w != WAIT_OBJECT_0) {
    m_EventSend.Reset();
    return static_cast<DWORD>(E_FAIL);
  }
  return m_dwReturnVal;
}

DWORD CAMThread::GetRequest() {
  m_EventSend.Wait();
  return m_dwParam;
}

BOOL CAMThread::CheckRequest(DWORD* param) {
  if (WaitForSingleObject(m_EventSend.Handle(), 0) != WAIT_OBJECT_0) return FALSE;
  if (param) *param = m_dwParam;
  return TRUE;
}

void CAMThread::Reply(DWORD returnValue) {
  m_dwReturnVal = returnValue;
  // Cleared before the caller is released, so the next command cannot be
  // lost by a late reset.
  m_EventSend.Reset();
  m_EventComplete.Set();
}

void CAMThread::Close() {
  HANDLE thread = m_hThread;
  if (!thread) return;
  WaitForSingleObject(thread, INFINITE);
  m_hThread = nullptr;
  CloseHandle(thread);
}
