// The reader a splitter opens for itself when it is used as a file source:
// synchronous reads of a file shared for reading, behind the pull
// transport's reader interface.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/com/Com.h"
#include "platform/dshow/DShow.h"
#include "platform/dshow/Unknown.h"
#include "platform/win32/MfcFile.h"

// Control of a reader by the thread that reads from it.
struct ISyncReader : IUnknown {
  STDMETHOD_(void, SetBreakEvent)(HANDLE breakEvent) = 0;
  STDMETHOD_(bool, HasErrors)() = 0;
  STDMETHOD_(void, ClearErrors)() = 0;

 protected:
  ~ISyncReader() = default;
};
PELLOMAR_INTERFACE_ID(ISyncReader, "6DDB4EE7-45A0-4459-A508-BD77B32C91B2");

// The operating-system handle of an open file.
struct IFileHandle : IUnknown {
  STDMETHOD_(HANDLE, GetFileHandle)() = 0;

 protected:
  ~IFileHandle() = default;
};
PELLOMAR_INTERFACE_ID(IFileHandle, "7D55F67A-826E-40B9-8A7D-3DF0CBBD272D");

class CAsyncFileReader : public CUnknown, public CFile, public IAsyncReader, public ISyncReader, public IFileHandle {
 public:
  // *phr: S_OK, or E_FAIL when the file cannot be opened.
  CAsyncFileReader(LPCWSTR fileName, HRESULT* phr);
  ~CAsyncFileReader() override;

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IAsyncReader: synchronous reads only.
  STDMETHODIMP RequestAllocator(IMemAllocator* preferred, ALLOCATOR_PROPERTIES* props,
                                IMemAllocator** actual) override;
  STDMETHODIMP Request(IMediaSample* sample, DWORD_PTR user) override;
  STDMETHODIMP WaitForNext(DWORD msTimeout, IMediaSample** sample, DWORD_PTR* user) override;
  STDMETHODIMP SyncReadAligned(IMediaSample* sample) override;
  // E_FAIL unless every byte lies within the file's current length.
  STDMETHODIMP SyncRead(LONGLONG position, LONG length, BYTE* buffer) override;
  // The length taken at opening, in both outputs.
  STDMETHODIMP Length(LONGLONG* total, LONGLONG* available) override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;

  // ISyncReader
  STDMETHODIMP_(void) SetBreakEvent(HANDLE breakEvent) override;
  STDMETHODIMP_(bool) HasErrors() override;
  STDMETHODIMP_(void) ClearErrors() override;

  // IFileHandle
  STDMETHODIMP_(HANDLE) GetFileHandle() override;

 private:
  // A read of a part of [m_aheadPos, m_aheadPos + m_ahead.size()) is
  // served from here: the splitters read a few kilobytes at a time, and one
  // system call per read would cost more than the copy.
  static constexpr LONG kReadAhead = 256 * 1024;
  // How many bytes one positioned read gave (fewer at the file's end), -1
  // on an error.
  LONG ReadAt(LONGLONG position, LONG length, BYTE* buffer);
  std::mutex m_readLock;
  std::vector<BYTE> m_ahead;
  LONGLONG m_aheadPos = 0;
  // The length last seen; asked again only for a read beyond it.
  LONGLONG m_knownLength = -1;

  LONGLONG m_len = -1;
  // Kept for the caller; this reader's reads never wait on it.
  HANDLE m_hBreakEvent = nullptr;
  std::atomic<LONG> m_lOsError{0};
};
