// The byte stream under a pull-model reader (CAsyncStream) and the request
// queue that serves reads from it on a worker thread (CAsyncIo).
//
// A read that returns fewer bytes than asked for completes with S_FALSE,
// so a parser can tell the end of the data from a full buffer.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/win32/Types.h"

class CAsyncStream {
 public:
  virtual ~CAsyncStream() = default;
  virtual HRESULT SetPointer(LONGLONG position) = 0;
  // Reads at the current position and advances it; *bytesRead is what was
  // read.
  virtual HRESULT Read(PBYTE buffer, DWORD bytesToRead, BOOL alignToSectors, LPDWORD bytesRead) = 0;
  // The total length, and the part of it available now (all of it for a
  // file).
  virtual HRESULT Size(LONGLONG* total, LONGLONG* available = nullptr) = 0;
  virtual DWORD Alignment() = 0;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
};

class CAsyncIo {
 public:
  explicit CAsyncIo(CAsyncStream* stream);
  ~CAsyncIo();
  CAsyncIo(const CAsyncIo&) = delete;
  CAsyncIo& operator=(const CAsyncIo&) = delete;

  // Queues a read; the worker starts with the first request.
  // VFW_E_WRONG_STATE while flushing, VFW_E_BADALIGN for an aligned
  // request that is not aligned.
  HRESULT Request(LONGLONG position, LONG length, BOOL aligned, BYTE* buffer, LPVOID context, DWORD_PTR user);
  // The next completed request: its result (S_OK, S_FALSE for a short
  // read, or the read's error) with its context, user value and byte
  // count. VFW_E_TIMEOUT when none completes in time; VFW_E_WRONG_STATE
  // with a null context while flushing and nothing is left.
  HRESULT WaitForNext(DWORD msTimeout, LPVOID* context, DWORD_PTR* user, LONG* actual);
  HRESULT SyncReadAligned(LONGLONG position, LONG length, BYTE* buffer, LONG* actual, PVOID context);
  HRESULT SyncRead(LONGLONG position, LONG length, BYTE* buffer);
  HRESULT Length(LONGLONG* total, LONGLONG* available);
  HRESULT Alignment(LONG* alignment);

  // Cancels the queued requests (they complete with VFW_E_WRONG_STATE) and
  // wakes WaitForNext; new requests are refused until EndFlush.
  HRESULT BeginFlush();
  HRESULT EndFlush();

  bool IsAligned(LONGLONG value) const;

 private:
  struct Req {
    LONGLONG position;
    LONG length;
    BOOL aligned;
    BYTE* buffer;
    LPVOID context;
    DWORD_PTR user;
    HRESULT hr;
    LONG actual;
  };

  HRESULT ReadNow(LONGLONG position, LONG length, BOOL aligned, BYTE* buffer, LONG* actual);
  void Worker();

  CAsyncStream* m_pStream;
  std::mutex m_lock;
  std::condition_variable m_evWork;
  std::condition_variable m_evDone;
  std::deque<Req> m_listWork;
  std::deque<Req> m_listDone;
  int m_inProgress = 0;
  bool m_bFlushing = false;
  bool m_bStop = false;
  std::thread m_worker;
};
