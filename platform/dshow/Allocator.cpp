#include "platform/dshow/Allocator.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "platform/dshow/Errors.h"
#include "platform/dshow/MediaType.h"

// ---------------------------------------------------------------------------
// CMediaSample

CMediaSample::CMediaSample(LPCTSTR name, CBaseAllocator* allocator, HRESULT* phr, BYTE* buffer, LONG length)
    : m_pName(name), m_pBuffer(buffer), m_cbBuffer(length), m_pAllocator(allocator) {}

CMediaSample::~CMediaSample() {
  if (m_pMediaType) DeleteMediaType(m_pMediaType);
}

STDMETHODIMP CMediaSample::QueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IMediaSample || riid == IID_IMediaSample2 || riid == IID_IUnknown) {
    *ppv = static_cast<IMediaSample2*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CMediaSample::AddRef() { return static_cast<ULONG>(++m_cRef); }

STDMETHODIMP_(ULONG) CMediaSample::Release() {
  LONG n = --m_cRef;
  if (n > 0) return static_cast<ULONG>(n);
  if (n < 0) {
    // A release too many; the sample is already home.
    m_cRef = 0;
    return 0;
  }
  // Back to a clean sample before it goes home: the next user must not see
  // this user's type, times or flags.
  if (m_pMediaType) {
    DeleteMediaType(m_pMediaType);
    m_pMediaType = nullptr;
  }
  m_dwFlags = 0;
  m_dwTypeSpecificFlags = 0;
  m_dwStreamId = AM_STREAM_MEDIA;
  m_lActual = 0;
  // ReleaseBuffer may free this sample; nothing of it is touched after.
  if (m_pAllocator) m_pAllocator->ReleaseBuffer(this);
  return 0;
}

HRESULT CMediaSample::SetPointer(BYTE* buffer, LONG length) {
  if (length < 0) return VFW_E_BUFFER_OVERFLOW;
  m_pBuffer = buffer;
  m_cbBuffer = length;
  m_lActual = std::min(m_lActual, length);
  return S_OK;
}

STDMETHODIMP CMediaSample::GetPointer(BYTE** buffer) {
  CheckPointer(buffer, E_POINTER);
  *buffer = m_pBuffer;
  return S_OK;
}

STDMETHODIMP_(LONG) CMediaSample::GetSize() { return m_cbBuffer; }

STDMETHODIMP CMediaSample::GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) {
  CheckPointer(start, E_POINTER);
  CheckPointer(end, E_POINTER);
  if (!(m_dwFlags & Sample_TimeValid)) return VFW_E_SAMPLE_TIME_NOT_SET;
  *start = m_Start;
  if (m_dwFlags & Sample_StopValid) {
    *end = m_End;
    return S_OK;
  }
  *end = m_Start + 1;
  return VFW_S_NO_STOP_TIME;
}

STDMETHODIMP CMediaSample::SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) {
  if (!start) {
    m_dwFlags &= ~(Sample_TimeValid | Sample_StopValid);
    return S_OK;
  }
  m_Start = *start;
  m_dwFlags |= Sample_TimeValid;
  if (end) {
    m_End = *end;
    m_dwFlags |= Sample_StopValid;
  } else {
    m_dwFlags &= ~Sample_StopValid;
  }
  return S_OK;
}

STDMETHODIMP CMediaSample::IsSyncPoint() { return (m_dwFlags & Sample_SyncPoint) ? S_OK : S_FALSE; }
STDMETHODIMP CMediaSample::SetSyncPoint(BOOL syncPoint) {
  if (syncPoint) m_dwFlags |= Sample_SyncPoint;
  else m_dwFlags &= ~Sample_SyncPoint;
  return S_OK;
}
STDMETHODIMP CMediaSample::IsPreroll() { return (m_dwFlags & Sample_Preroll) ? S_OK : S_FALSE; }
STDMETHODIMP CMediaSample::SetPreroll(BOOL preroll) {
  if (preroll) m_dwFlags |= Sample_Preroll;
  else m_dwFlags &= ~Sample_Preroll;
  return S_OK;
}
STDMETHODIMP CMediaSample::IsDiscontinuity() { return (m_dwFlags & Sample_Discontinuity) ? S_OK : S_FALSE; }
STDMETHODIMP CMediaSample::SetDiscontinuity(BOOL discontinuity) {
  if (discontinuity) m_dwFlags |= Sample_Discontinuity;
  else m_dwFlags &= ~Sample_Discontinuity;
  return S_OK;
}

STDMETHODIMP_(LONG) CMediaSample::GetActualDataLength() { return m_lActual; }

STDMETHODIMP CMediaSample::SetActualDataLength(LONG length) {
  if (length < 0 || length > m_cbBuffer) return VFW_E_BUFFER_OVERFLOW;
  m_lActual = length;
  return S_OK;
}

STDMETHODIMP CMediaSample::GetMediaType(AM_MEDIA_TYPE** ppmt) {
  CheckPointer(ppmt, E_POINTER);
  *ppmt = nullptr;
  if (!(m_dwFlags & Sample_TypeChanged) || !m_pMediaType) return S_FALSE;
  *ppmt = CreateMediaType(m_pMediaType);
  return *ppmt ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CMediaSample::SetMediaType(AM_MEDIA_TYPE* pmt) {
  if (pmt == m_pMediaType && pmt) return S_OK;
  AM_MEDIA_TYPE* copy = nullptr;
  if (pmt) {
    copy = CreateMediaType(pmt);
    if (!copy) return E_OUTOFMEMORY;
  }
  if (m_pMediaType) DeleteMediaType(m_pMediaType);
  m_pMediaType = copy;
  if (copy) m_dwFlags |= Sample_TypeChanged;
  else m_dwFlags &= ~Sample_TypeChanged;
  return S_OK;
}

STDMETHODIMP CMediaSample::GetMediaTime(LONGLONG* start, LONGLONG* end) {
  CheckPointer(start, E_POINTER);
  CheckPointer(end, E_POINTER);
  if (!(m_dwFlags & Sample_MediaTimeValid)) return VFW_E_MEDIA_TIME_NOT_SET;
  *start = m_MediaStart;
  *end = m_MediaStart + m_MediaEnd;
  return S_OK;
}

STDMETHODIMP CMediaSample::SetMediaTime(LONGLONG* start, LONGLONG* end) {
  if (!start) {
    if (end) return E_POINTER;
    m_dwFlags &= ~Sample_MediaTimeValid;
    return S_OK;
  }
  CheckPointer(end, E_POINTER);
  if (*end < *start) return VFW_E_START_TIME_AFTER_END;
  m_MediaStart = *start;
  // The length is kept in 32 bits, as the platform does.
  m_MediaEnd = static_cast<LONG>(*end - *start);
  m_dwFlags |= Sample_MediaTimeValid;
  return S_OK;
}

STDMETHODIMP CMediaSample::GetProperties(DWORD cbProperties, BYTE* properties) {
  if (cbProperties == 0) return S_OK;
  CheckPointer(properties, E_POINTER);
  AM_SAMPLE2_PROPERTIES p{};
  p.cbData = std::min<DWORD>(cbProperties, sizeof(p));
  p.dwTypeSpecificFlags = m_dwTypeSpecificFlags;
  p.dwSampleFlags = m_dwFlags & ~static_cast<DWORD>(Sample_MediaTimeValid);
  if (!m_pMediaType) p.dwSampleFlags &= ~AM_SAMPLE_TYPECHANGED;
  p.lActual = m_lActual;
  p.tStart = m_Start;
  p.tStop = m_End;
  p.dwStreamId = m_dwStreamId;
  p.pMediaType = (p.dwSampleFlags & AM_SAMPLE_TYPECHANGED) ? m_pMediaType : nullptr;
  p.pbBuffer = m_pBuffer;
  p.cbBuffer = m_cbBuffer;
  std::memcpy(properties, &p, p.cbData);
  return S_OK;
}

STDMETHODIMP CMediaSample::SetProperties(DWORD cbProperties, const BYTE* properties) {
  if (cbProperties == 0) return S_OK;
  CheckPointer(properties, E_POINTER);
  AM_SAMPLE2_PROPERTIES p{};
  GetProperties(sizeof(p), reinterpret_cast<BYTE*>(&p));
  DWORD n = std::min<DWORD>(cbProperties, sizeof(p));
  std::memcpy(&p, properties, n);
  auto covers = [n](size_t offset, size_t size) { return n >= offset + size; };

  // Check everything before changing anything.
  if (covers(offsetof(AM_SAMPLE2_PROPERTIES, lActual), sizeof(LONG)) && (p.lActual < 0 || p.lActual > m_cbBuffer))
    return VFW_E_BUFFER_OVERFLOW;
  bool typeCovered = covers(offsetof(AM_SAMPLE2_PROPERTIES, pMediaType), sizeof(p.pMediaType));
  bool flagsCovered = covers(offsetof(AM_SAMPLE2_PROPERTIES, dwSampleFlags), sizeof(DWORD));
  if (typeCovered && flagsCovered) {
    HRESULT hr = SetMediaType((p.dwSampleFlags & AM_SAMPLE_TYPECHANGED) ? p.pMediaType : nullptr);
    if (FAILED(hr)) return hr;
  }

  if (covers(offsetof(AM_SAMPLE2_PROPERTIES, dwTypeSpecificFlags), sizeof(DWORD)))
    m_dwTypeSpecificFlags = p.dwTypeSpecificFlags;
  if (flagsCovered) {
    // The type-changed bit follows the sample's own type, set above or kept.
    DWORD keep = m_dwFlags & (Sample_MediaTimeValid | Sample_TypeChanged);
    DWORD given = p.dwSampleFlags & Sample_ValidFlags & ~static_cast<DWORD>(Sample_MediaTimeValid | Sample_TypeChanged);
    m_dwFlags = keep | given;
  }
  if (covers(offsetof(AM_SAMPLE2_PROPERTIES, lActual), sizeof(LONG))) m_lActual = p.lActual;
  if (covers(offsetof(AM_SAMPLE2_PROPERTIES, tStart), sizeof(REFERENCE_TIME))) m_Start = p.tStart;
  if (covers(offsetof(AM_SAMPLE2_PROPERTIES, tStop), sizeof(REFERENCE_TIME))) m_End = p.tStop;
  if (covers(offsetof(AM_SAMPLE2_PROPERTIES, dwStreamId), sizeof(DWORD))) m_dwStreamId = p.dwStreamId;
  return S_OK;
}

// ---------------------------------------------------------------------------
// CBaseAllocator

CBaseAllocator::CBaseAllocator(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr) : CUnknown(name, outer) {}

CBaseAllocator::~CBaseAllocator() = default;

HRESULT STDMETHODCALLTYPE CBaseAllocator::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IMemAllocator) return GetInterfaceAs<IMemAllocator>(this, ppv);
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CBaseAllocator::SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) {
  CheckPointer(request, E_POINTER);
  CheckPointer(actual, E_POINTER);
  if (request->cBuffers < 0 || request->cbBuffer < 0 || request->cbPrefix < 0 || request->cbAlign <= 0)
    return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(m_csState);
  if (m_bCommitted) return VFW_E_ALREADY_COMMITTED;
  if (m_lAllocated != static_cast<LONG>(m_lFree.size())) return VFW_E_BUFFERS_OUTSTANDING;
  *actual = *request;
  m_lCount = request->cBuffers;
  m_lSize = request->cbBuffer;
  m_lAlignment = request->cbAlign;
  m_lPrefix = request->cbPrefix;
  m_bChanged = TRUE;
  return S_OK;
}

STDMETHODIMP CBaseAllocator::GetProperties(ALLOCATOR_PROPERTIES* props) {
  CheckPointer(props, E_POINTER);
  std::lock_guard<std::mutex> lock(m_csState);
  props->cBuffers = m_lCount;
  props->cbBuffer = m_lSize;
  props->cbAlign = m_lAlignment;
  props->cbPrefix = m_lPrefix;
  return S_OK;
}

STDMETHODIMP CBaseAllocator::Commit() {
  std::lock_guard<std::mutex> lock(m_csState);
  if (m_bCommitted) return S_OK;
  m_bDecommitInProgress = FALSE;
  HRESULT hr = Alloc();
  if (FAILED(hr)) return hr;
  m_bCommitted = TRUE;
  return S_OK;
}

STDMETHODIMP CBaseAllocator::Decommit() {
  std::lock_guard<std::mutex> lock(m_csState);
  if (!m_bCommitted) return S_OK;
  m_bCommitted = FALSE;
  if (static_cast<LONG>(m_lFree.size()) < m_lAllocated) {
    m_bDecommitInProgress = TRUE;
  } else {
    Free();
  }
  m_evFree.notify_all();
  return S_OK;
}

STDMETHODIMP CBaseAllocator::GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                                       DWORD flags) {
  CheckPointer(sample, E_POINTER);
  *sample = nullptr;
  CMediaSample* free = nullptr;
  {
    std::unique_lock<std::mutex> lock(m_csState);
    for (;;) {
      if (!m_bCommitted) return VFW_E_NOT_COMMITTED;
      if (!m_lFree.empty()) {
        free = m_lFree.front();
        m_lFree.pop_front();
        break;
      }
      if (flags & AM_GBF_NOWAIT) return VFW_E_TIMEOUT;
      m_evFree.wait(lock);
    }
    free->m_cRef = 1;
  }
  // Each sample out holds the allocator, so it outlives its samples.
  AddRef();
  if (start) free->SetTime(start, end);
  *sample = free;
  return S_OK;
}

STDMETHODIMP CBaseAllocator::ReleaseBuffer(IMediaSample* sample) {
  CheckPointer(sample, E_POINTER);
  {
    std::lock_guard<std::mutex> lock(m_csState);
    m_lFree.push_back(static_cast<CMediaSample*>(sample));
    if (m_bDecommitInProgress && static_cast<LONG>(m_lFree.size()) == m_lAllocated) {
      Free();
      m_bDecommitInProgress = FALSE;
    }
    m_evFree.notify_all();
  }
  Release();
  return S_OK;
}

LONG CBaseAllocator::GetFreeCount() {
  std::lock_guard<std::mutex> lock(m_csState);
  return static_cast<LONG>(m_lFree.size());
}

HRESULT CBaseAllocator::Alloc() {
  if (m_lCount <= 0 || m_lSize <= 0 || m_lAlignment <= 0) return VFW_E_SIZENOTSET;
  // Samples of unchanged properties are kept across decommit and commit.
  if (m_lAllocated > 0 && !m_bChanged) return S_FALSE;
  if (m_lAllocated > 0) Free();
  m_bChanged = FALSE;
  return S_OK;
}

// ---------------------------------------------------------------------------
// CMemAllocator

CMemAllocator::CMemAllocator(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr) : CBaseAllocator(name, outer, phr) {}

CMemAllocator::~CMemAllocator() {
  std::lock_guard<std::mutex> lock(m_csState);
  m_bCommitted = FALSE;
  Free();
}

HRESULT CMemAllocator::Create(IMemAllocator** alloc) {
  CheckPointer(alloc, E_POINTER);
  *alloc = nullptr;
  auto* a = new (std::nothrow) CMemAllocator("memory allocator", nullptr, nullptr);
  if (!a) return E_OUTOFMEMORY;
  return a->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(alloc));
}

STDMETHODIMP CMemAllocator::SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) {
  CheckPointer(request, E_POINTER);
  CheckPointer(actual, E_POINTER);
  if (request->cbAlign <= 0 || (request->cbAlign & (request->cbAlign - 1)) != 0) return VFW_E_BADALIGN;
  if (request->cBuffers < 0 || request->cbBuffer < 0 || request->cbPrefix < 0) return E_INVALIDARG;
  long long size = static_cast<long long>(request->cbBuffer) + request->cbPrefix;
  long long rem = size % request->cbAlign;
  if (rem) size += request->cbAlign - rem;
  // The whole block must stay addressable with 32-bit sizes.
  if (size > 0x7FFFFFFF || size * std::max<LONG>(request->cBuffers, 1) > 0x7FFFFFFF) return E_OUTOFMEMORY;
  ALLOCATOR_PROPERTIES adjusted = *request;
  adjusted.cbBuffer = static_cast<LONG>(size - request->cbPrefix);
  return CBaseAllocator::SetProperties(&adjusted, actual);
}

HRESULT CMemAllocator::Alloc() {
  HRESULT hr = CBaseAllocator::Alloc();
  if (hr == S_FALSE) return S_OK;
  if (FAILED(hr)) return hr;
  size_t stride = static_cast<size_t>(m_lSize) + static_cast<size_t>(m_lPrefix);
  size_t total = stride * static_cast<size_t>(m_lCount) + static_cast<size_t>(m_lAlignment);
  m_pBuffer.reset(new (std::nothrow) BYTE[total]);
  if (!m_pBuffer) return E_OUTOFMEMORY;
  // The prefix comes before each buffer; the buffer itself is aligned.
  auto base = reinterpret_cast<uintptr_t>(m_pBuffer.get()) + static_cast<uintptr_t>(m_lPrefix);
  uintptr_t align = static_cast<uintptr_t>(m_lAlignment);
  uintptr_t first = (base + align - 1) / align * align;
  BYTE* p = m_pBuffer.get() + (first - reinterpret_cast<uintptr_t>(m_pBuffer.get()));
  m_Samples.reserve(static_cast<size_t>(m_lCount));
  for (LONG i = 0; i < m_lCount; ++i) {
    auto sample = std::unique_ptr<CMediaSample>(new (std::nothrow) CMediaSample("sample", this, nullptr, p, m_lSize));
    if (!sample) {
      Free();
      return E_OUTOFMEMORY;
    }
    m_lFree.push_back(sample.get());
    m_Samples.push_back(std::move(sample));
    p += stride;
  }
  m_lAllocated = m_lCount;
  return S_OK;
}

void CMemAllocator::Free() {
  m_lFree.clear();
  m_Samples.clear();
  m_pBuffer.reset();
  m_lAllocated = 0;
}

HRESULT GrowAllocatorBuffers(IMemAllocator* alloc, LONG size) {
  if (!alloc) return E_POINTER;
  ALLOCATOR_PROPERTIES props{}, actual{};
  HRESULT hr = alloc->GetProperties(&props);
  if (FAILED(hr)) return hr;
  if (props.cbBuffer >= size) return S_FALSE;
  props.cbBuffer = size;
  if (FAILED(hr = alloc->Decommit()) || FAILED(hr = alloc->SetProperties(&props, &actual)) ||
      FAILED(hr = alloc->Commit()))
    return hr;
  return actual.cbBuffer >= size ? S_OK : E_OUTOFMEMORY;
}
