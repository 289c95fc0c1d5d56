#include "foundation/AsyncFileReader.h"

#include <algorithm>
#include <cstring>

#include "platform/win32/Handle.h"
#include "platform/win32/File.h"

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
  std::lock_guard<std::mutex> g(m_readLock);
  // Checked against the current length: a file still being written may
  // have grown since it was last asked.
  if (m_knownLength < 0 || position > m_knownLength || length > m_knownLength - position)
    m_knownLength = static_cast<LONGLONG>(GetLength());
  const LONGLONG current = m_knownLength;
  if (position > current || length > current - position) return E_FAIL;
  if (length == 0) return S_OK;

  const LONGLONG aheadEnd = m_aheadPos + static_cast<LONGLONG>(m_ahead.size());
  if (position >= m_aheadPos && position + length <= aheadEnd) {
    std::memcpy(buffer, m_ahead.data() + (position - m_aheadPos), static_cast<size_t>(length));
    return S_OK;
  }
  if (length >= kReadAhead) {
    if (ReadAt(position, length, buffer) == length) return S_OK;
    m_knownLength = -1;  // cut short, perhaps: asked anew next time
    return E_FAIL;
  }
  // The read-ahead may reach past where a file cut short since now ends:
  // what it got is enough when it holds the bytes asked for.
  const LONG chunk = static_cast<LONG>(std::min<LONGLONG>(kReadAhead, current - position));
  m_ahead.resize(static_cast<size_t>(chunk));
  const LONG got = ReadAt(position, chunk, m_ahead.data());
  if (got < length) {
    m_ahead.clear();
    m_knownLength = -1;
    return E_FAIL;
  }
  m_ahead.resize(static_cast<size_t>(got));
  m_aheadPos = position;
  std::memcpy(buffer, m_ahead.data(), static_cast<size_t>(length));
  return S_OK;
}

LONG CAsyncFileReader::ReadAt(LONGLONG position, LONG length, BYTE* buffer) {
  // A positioned read: one call, and no shared file position to keep.
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<ULONGLONG>(position) & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(static_cast<ULONGLONG>(position) >> 32);
  SetLastError(0);
  DWORD got = 0;
  if (!ReadFile(m_hFile, buffer, static_cast<DWORD>(length), &got, &at)) {
    const DWORD err = GetLastError();
    if (err != 0) m_lOsError = static_cast<LONG>(err);
    return -1;
  }
  return static_cast<LONG>(got);
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
