#include "platform/dshow/AsyncSource.h"

#include <cerrno>
#include <chrono>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/com/ComBase.h"
#include "platform/dshow/Allocator.h"
#include "platform/dshow/Signatures.h"
#include "platform/win32/CodePage.h"

// ---------------------------------------------------------------------------
// Output pin

CAsyncOutputPin::CAsyncOutputPin(CAsyncFileSource* filter, CCritSec* lock, HRESULT* phr)
    : CBasePin("Async output", filter, lock, phr, L"Output", PINDIR_OUTPUT), m_pSource(filter) {}

HRESULT CAsyncOutputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IAsyncReader) return GetInterfaceAs<IAsyncReader>(this, ppv);
  return CBasePin::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CAsyncOutputPin::CheckMediaType(const CMediaType* pmt) {
  if (!pmt) return E_POINTER;
  if (!m_pSource->Loaded()) return VFW_E_NOT_CONNECTED;
  const CMediaType& own = m_pSource->OutputType();
  if (pmt->majortype != own.majortype) return VFW_E_TYPE_NOT_ACCEPTED;
  if (own.subtype != GUID_NULL && pmt->subtype != own.subtype) return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CAsyncOutputPin::GetMediaType(int position, CMediaType* pmt) {
  if (!pmt) return E_POINTER;
  if (position < 0) return E_INVALIDARG;
  if (position > 0 || !m_pSource->Loaded()) return VFW_S_NO_MORE_ITEMS;
  *pmt = m_pSource->OutputType();
  return S_OK;
}

STDMETHODIMP CAsyncOutputPin::BeginFlush() {
  std::lock_guard lock(m_queueLock);
  m_flushing = true;
  m_queueChanged.notify_all();
  return S_OK;
}

STDMETHODIMP CAsyncOutputPin::EndFlush() {
  std::lock_guard lock(m_queueLock);
  m_flushing = false;
  return S_OK;
}

STDMETHODIMP CAsyncOutputPin::RequestAllocator(IMemAllocator* preferred, ALLOCATOR_PROPERTIES* props,
                                               IMemAllocator** actual) {
  if (!props || !actual) return E_POINTER;
  *actual = nullptr;
  ALLOCATOR_PROPERTIES wanted = *props;
  if (wanted.cbAlign <= 0) wanted.cbAlign = 1;
  auto tryOne = [&](IMemAllocator* a) -> HRESULT {
    ALLOCATOR_PROPERTIES got{};
    HRESULT hr = a->SetProperties(&wanted, &got);
    if (FAILED(hr)) return hr;
    a->AddRef();
    *actual = a;
    return S_OK;
  };
  if (preferred && SUCCEEDED(tryOne(preferred))) return S_OK;
  IMemAllocator* own = nullptr;
  HRESULT hr = CMemAllocator::Create(&own);
  if (FAILED(hr)) return hr;
  hr = tryOne(own);
  own->Release();
  return hr;
}

HRESULT CAsyncOutputPin::ReadIntoSample(IMediaSample* sample) {
  REFERENCE_TIME start = 0, stop = 0;
  if (FAILED(sample->GetTime(&start, &stop))) return E_INVALIDARG;
  if (start < 0 || stop < start) return E_INVALIDARG;
  LONGLONG position = start / UNITS;
  LONGLONG length = (stop - start) / UNITS;
  BYTE* buffer = nullptr;
  if (FAILED(sample->GetPointer(&buffer)) || !buffer) return E_POINTER;
  if (length > sample->GetSize() || length > 0x7FFFFFFF) return E_INVALIDARG;
  LONGLONG got = m_pSource->ReadAt(position, static_cast<LONG>(length), buffer);
  if (got < 0) return E_FAIL;
  sample->SetActualDataLength(static_cast<LONG>(got));
  return got == length ? S_OK : S_FALSE;
}

STDMETHODIMP CAsyncOutputPin::Request(IMediaSample* sample, DWORD_PTR user) {
  if (!sample) return E_POINTER;
  {
    std::lock_guard lock(m_queueLock);
    if (m_flushing) return VFW_E_WRONG_STATE;
  }
  HRESULT hr = ReadIntoSample(sample);
  if (FAILED(hr) && hr != E_FAIL) return hr;  // a bad request is refused, not queued
  try {
    std::lock_guard lock(m_queueLock);
    m_done.push_back({sample, user, hr});
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  m_queueChanged.notify_all();
  return S_OK;
}

STDMETHODIMP CAsyncOutputPin::WaitForNext(DWORD msTimeout, IMediaSample** sample, DWORD_PTR* user) {
  if (!sample || !user) return E_POINTER;
  *sample = nullptr;
  *user = 0;
  std::unique_lock lock(m_queueLock);
  auto ready = [&] { return !m_done.empty() || m_flushing; };
  if (msTimeout == INFINITE) {
    m_queueChanged.wait(lock, ready);
  } else if (!m_queueChanged.wait_for(lock, std::chrono::milliseconds(msTimeout), ready)) {
    return VFW_E_TIMEOUT;
  }
  // While flushing, finished requests are still handed back, then the
  // caller is told to stop waiting.
  if (m_done.empty()) return VFW_E_WRONG_STATE;
  Done d = m_done.front();
  m_done.pop_front();
  *sample = d.sample;
  *user = d.user;
  return d.hr;
}

STDMETHODIMP CAsyncOutputPin::SyncReadAligned(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  return ReadIntoSample(sample);
}

STDMETHODIMP CAsyncOutputPin::SyncRead(LONGLONG position, LONG length, BYTE* buffer) {
  if (!buffer) return E_POINTER;
  if (position < 0 || length < 0) return E_INVALIDARG;
  LONGLONG got = m_pSource->ReadAt(position, length, buffer);
  if (got < 0) return E_FAIL;
  return got == length ? S_OK : S_FALSE;
}

STDMETHODIMP CAsyncOutputPin::Length(LONGLONG* total, LONGLONG* available) {
  if (!total || !available) return E_POINTER;
  if (!m_pSource->Loaded()) return E_UNEXPECTED;
  *total = *available = m_pSource->FileSize();
  return S_OK;
}

// ---------------------------------------------------------------------------
// Filter

CAsyncFileSource::CAsyncFileSource(LPUNKNOWN outer, HRESULT* phr)
    : CBaseFilter("File Source (Async.)", outer, &m_lock, CLSID_AsyncReader, phr) {
  HRESULT hr = S_OK;
  m_pin = std::make_unique<CAsyncOutputPin>(this, &m_lock, &hr);
  if (FAILED(hr) && phr && SUCCEEDED(*phr)) *phr = hr;
}

CAsyncFileSource::~CAsyncFileSource() {
  if (m_fd >= 0) ::close(m_fd);
}

HRESULT CAsyncFileSource::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  HRESULT hr = S_OK;
  CAsyncFileSource* filter = new (std::nothrow) CAsyncFileSource(nullptr, &hr);
  if (!filter) return E_OUTOFMEMORY;
  filter->NonDelegatingAddRef();
  if (SUCCEEDED(hr)) hr = filter->NonDelegatingQueryInterface(riid, ppv);
  filter->NonDelegatingRelease();
  return hr;
}

HRESULT CAsyncFileSource::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IFileSourceFilter) return GetInterfaceAs<IFileSourceFilter>(this, ppv);
  if (riid == IID_IAMFilterMiscFlags) return GetInterfaceAs<IAMFilterMiscFlags>(this, ppv);
  return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

int CAsyncFileSource::GetPinCount() { return 1; }

CBasePin* CAsyncFileSource::GetPin(int n) { return n == 0 ? m_pin.get() : nullptr; }

STDMETHODIMP CAsyncFileSource::Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* pmt) {
  if (!fileName) return E_POINTER;
  CAutoLock lock(&m_lock);
  if (m_fd >= 0) return E_UNEXPECTED;
  const std::string path = WideToUtf8(fileName);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    DWORD err = errno == ENOENT ? ERROR_FILE_NOT_FOUND
                : errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                : errno == EACCES ? ERROR_ACCESS_DENIED
                                  : ERROR_READ_FAULT;
    return HRESULT_FROM_WIN32(err);
  }
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  }
  CMediaType type;
  if (pmt) {
    HRESULT hr = S_OK;
    type = CMediaType(*pmt, &hr);
    if (FAILED(hr)) {
      ::close(fd);
      return hr;
    }
  } else {
    SignatureMatch match;
    auto read = [fd](LONGLONG offset, DWORD length, BYTE* buffer) {
      return ::pread(fd, buffer, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
    };
    type.majortype = MEDIATYPE_Stream;
    type.subtype = FindSignatureMatch(st.st_size, read, match) ? match.subtype : GUID_NULL;
    if (match.major != GUID_NULL) type.majortype = match.major;
    type.bFixedSizeSamples = TRUE;
    type.lSampleSize = 1;
  }
  try {
    m_fileName = fileName;
  } catch (const std::bad_alloc&) {
    ::close(fd);
    return E_OUTOFMEMORY;
  }
  m_type = type;
  m_size = st.st_size;
  m_fd = fd;
  return S_OK;
}

STDMETHODIMP CAsyncFileSource::GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* pmt) {
  if (!fileName) return E_POINTER;
  *fileName = nullptr;
  CAutoLock lock(&m_lock);
  if (m_fd < 0) return E_FAIL;
  auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc((m_fileName.size() + 1) * sizeof(wchar_t)));
  if (!copy) return E_OUTOFMEMORY;
  std::wmemcpy(copy, m_fileName.c_str(), m_fileName.size() + 1);
  if (pmt) {
    HRESULT hr = CopyMediaType(pmt, &m_type);
    if (FAILED(hr)) {
      CoTaskMemFree(copy);
      return hr;
    }
  }
  *fileName = copy;
  return S_OK;
}

LONGLONG CAsyncFileSource::ReadAt(LONGLONG position, LONG length, BYTE* buffer) {
  if (m_fd < 0 || position < 0 || length < 0) return -1;
  if (position >= m_size || length == 0) return 0;
  LONGLONG want = std::min<LONGLONG>(length, m_size - position);
  LONGLONG done = 0;
  while (done < want) {
    ssize_t n = ::pread(m_fd, buffer + done, static_cast<size_t>(want - done), static_cast<off_t>(position + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;  // the file shrank
    done += n;
  }
  return done;
}
