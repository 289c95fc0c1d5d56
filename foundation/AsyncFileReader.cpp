#include "foundation/AsyncFileReader.h"

#include <algorithm>

#include "platform/win32/Handle.h"

CAsyncFileReader::CAsyncFileReader(LPCWSTR fileName, HRESULT* phr)
    : CUnknown(NAME("CAsyncFileReader"), nullptr, phr) {
  // Others may go on reading the file, but nobody may change it under us.
  const UINT flags = modeRead | shareDenyWrite | typeBinary | osSequentialScan;
  const bool opened = fileName != nullptr && Open(fileName, flags);
  if (opened) m_len = static_cast<LONGLONG>(GetLength());
  if (phr) *phr = opened ? S_OK : E_FAIL;
}

CAsyncFileReader::~CAsyncFileReader() { Close(); }

HRESULT STDMETHODCALLTYPE CAsyncFileReader::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IAsyncReader) return GetInterfaceAs<IAsyncReader>(this, ppv);
  if (riid == IID_ISyncReader) return GetInterfaceAs<ISyncReader>(this, ppv);
  if (riid == IID_IFileHandle) return GetInterfaceAs<IFileHandle>(this, ppv);
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CAsyncFileReader::RequestAllocator(IMemAllocator*, ALLOCATOR_PROPERTIES*, IMemAllocator**) {
  return E_NOTIMPL;
}
STDMETHODIMP CAsyncFileReader::Request(IMediaSample*, DWORD_PTR) { return E_NOTIMPL; }
STDMETHODIMP CAsyncFileReader::WaitForNext(DWORD, IMediaSample**, DWORD_PTR*) { return E_NOTIMPL; }
STDMETHODIMP CAsyncFileReader::SyncReadAligned(IMediaSample*) { return E_NOTIMPL; }
STDMETHODIMP CAsyncFileReader::BeginFlush() { return E_NOTIMPL; }
STDMETHODIMP CAsyncFileReader::EndFlush() { return E_NOTIMPL; }

STDMETHODIMP CAsyncFileReader::SyncRead(LONGLONG position, LONG length, BYTE* buffer) {
  if (m_hFile == hFileNull || position < 0 || length < 0) return E_FAIL;
  if (length > 0 && !buffer) return E_POINTER;
  // Checked against the current length: a file still being written may
  // have grown since it was opened.
  const auto current = static_cast<LONGLONG>(GetLength());
  if (position > current || length > current - position) return E_FAIL;
  if (Seek(position, begin) != static_cast<ULONGLONG>(position)) return E_FAIL;

  LONG done = 0;
  while (done < length) {
    SetLastError(0);
    const UINT got = Read(buffer + done, static_cast<UINT>(length - done));
    if (got == 0) {
      const DWORD err = GetLastError();
      if (err != 0) m_lOsError = static_cast<LONG>(err);
      return E_FAIL;
    }
    done += static_cast<LONG>(got);
  }
  return S_OK;
}

STDMETHODIMP CAsyncFileReader::Length(LONGLONG* total, LONGLONG* available) {
  // A file cut short since it was opened ends where it ends now.
  if (m_hFile != hFileNull) m_len = std::min(m_len, static_cast<LONGLONG>(GetLength()));
  if (total) *total = m_len;
  if (available) *available = m_len;
  return S_OK;
}

STDMETHODIMP_(void) CAsyncFileReader::SetBreakEvent(HANDLE breakEvent) { m_hBreakEvent = breakEvent; }
STDMETHODIMP_(bool) CAsyncFileReader::HasErrors() { return m_lOsError != 0; }
STDMETHODIMP_(void) CAsyncFileReader::ClearErrors() { m_lOsError = 0; }
STDMETHODIMP_(HANDLE) CAsyncFileReader::GetFileHandle() { return m_hFile; }
