// A worker thread that takes one command at a time from its owner.
//
// The owner sends a command with CallWorker and waits for the worker's
// Reply. The request event is manual-reset and is cleared only by Reply, so
// a worker that notices a command with CheckRequest in the middle of its
// work can leave that work and pick up the same command with GetRequest.
#pragma once

#include <atomic>

#include "platform/dshow/AMEvent.h"
#include "platform/dshow/CritSec.h"
#include "platform/win32/Thread.h"

class CAMThread {
 public:
  CAMThread();
  virtual ~CAMThread();
  CAMThread(const CAMThread&) = delete;
  CAMThread& operator=(const CAMThread&) = delete;

  // Starts the worker; FALSE when it is already running or cannot start.
  BOOL Create();
  // Sends a command and waits for the worker's reply; E_FAIL when no
  // worker is running.
  DWORD CallWorker(DWORD param);
  // Waits for the worker to end and releases its handle.
  void Close();
  BOOL ThreadExists() const { return m_hThread != nullptr; }

  // Worker side.
  DWORD GetRequest();
  BOOL CheckRequest(DWORD* param);
  void Reply(DWORD returnValue);
  HANDLE GetRequestHandle() const { return m_EventSend.Handle(); }
  DWORD GetRequestParam() const { return m_dwParam; }

  // The worker's body.
  virtual DWORD ThreadProc() = 0;

  // Lets a derived class serialise its own use of the worker.
  CCritSec m_AccessLock;
  CCritSec m_WorkerLock;

 protected:
  HANDLE m_hThread = nullptr;

 private:
  static DWORD WINAPI InitialThreadProc(LPVOID param);

  CAMEvent m_EventSend{TRUE};
  CAMEvent m_EventComplete;
  DWORD m_dwParam = 0;
  DWORD m_dwReturnVal = 0;
};
