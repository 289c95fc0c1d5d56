// An event object over a Win32 event handle.
//
// The handle itself is handed across interfaces (a reader's break event, a
// worker's request handle), where it is waited on with WaitForSingleObject
// or WaitForMultipleObjects, so it has to be a real event handle.
#pragma once

#include "platform/win32/Handle.h"
#include "platform/win32/Sync.h"

class CAMEvent {
 public:
  explicit CAMEvent(BOOL manualReset = FALSE) { m_hEvent = CreateEventA(nullptr, manualReset, FALSE, nullptr); }
  ~CAMEvent() {
    if (m_hEvent) CloseHandle(m_hEvent);
  }
  CAMEvent(const CAMEvent&) = delete;
  CAMEvent& operator=(const CAMEvent&) = delete;

  operator HANDLE() const { return m_hEvent; }
  HANDLE Handle() const { return m_hEvent; }

  void Set() { SetEvent(m_hEvent); }
  void Reset() { ResetEvent(m_hEvent); }
  BOOL Wait(DWORD timeout = INFINITE) { return WaitForSingleObject(m_hEvent, timeout) == WAIT_OBJECT_0; }
  // A non-blocking test; it consumes the signal of an auto-reset event.
  BOOL Check() { return Wait(0); }

 protected:
  HANDLE m_hEvent = nullptr;
};
