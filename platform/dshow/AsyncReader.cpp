#include "platform/dshow/AsyncReader.h"

#include <new>

#include "platform/dshow/Allocator.h"
#include "platform/dshow/Errors.h"

// ---------------------------------------------------------------------------
// CAsyncReaderOutputPin

CAsyncReaderOutputPin::CAsyncReaderOutputPin(HRESULT* phr, CAsyncReader* reader, CAsyncIo* io, CCritSec* lock)
    : CBasePin("async output pin", reader, lock, phr, L"Output", PINDIR_OUTPUT), m_pReader(reader), m_pIo(io) {}

HRESULT STDMETHODCALLTYPE CAsyncReaderOutputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IAsyncReader) {
    m_bQueriedForAsyncReader = true;
    return GetInterfaceAs<IAsyncReader>(this, ppv);
  }
  return CBasePin::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CAsyncReaderOutputPin::CheckConnect(IPin* pin) {
  m_bQueriedForAsyncReader = false;
  return CBasePin::CheckConnect(pin);
}

HRESULT CAsyncReaderOutputPin::CompleteConnect(IPin* receivePin) {
  if (!m_bQueriedForAsyncReader) return VFW_E_NO_TRANSPORT;
  return CBasePin::CompleteConnect(receivePin);
}

HRESULT CAsyncReaderOutputPin::CheckMediaType(const CMediaType* pmt) {
  CAutoLock lock(m_pLock);
  const CMediaType* mine = m_pReader->LoadType();
  if (mine->majortype != pmt->majortype) return S_FALSE;
  // A null subtype on either side is a byte stream of any kind.
  if (mine->subtype != GUID_NULL && pmt->subtype != GUID_NULL && mine->subtype != pmt->subtype) return S_FALSE;
  return S_OK;
}

HRESULT CAsyncReaderOutputPin::GetMediaType(int position, CMediaType* pmt) {
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  CheckPointer(pmt, E_POINTER);
  return pmt->Set(*m_pReader->LoadType());
}

STDMETHODIMP CAsyncReaderOutputPin::BeginFlush() { return m_pIo->BeginFlush(); }
STDMETHODIMP CAsyncReaderOutputPin::EndFlush() { return m_pIo->EndFlush(); }

STDMETHODIMP CAsyncReaderOutputPin::RequestAllocator(IMemAllocator* preferred, ALLOCATOR_PROPERTIES* props,
                                               IMemAllocator** actual) {
  CheckPointer(props, E_POINTER);
  CheckPointer(actual, E_POINTER);
  *actual = nullptr;
  LONG align = 1;
  m_pIo->Alignment(&align);
  ALLOCATOR_PROPERTIES request = *props;
  if (request.cbAlign < align) request.cbAlign = align;

  if (preferred) {
    ALLOCATOR_PROPERTIES got{};
    HRESULT hr = preferred->SetProperties(&request, &got);
    if (SUCCEEDED(hr) && m_pIo->IsAligned(got.cbAlign)) {
      preferred->AddRef();
      *actual = preferred;
      return S_OK;
    }
  }
  IMemAllocator* alloc = nullptr;
  HRESULT hr = CMemAllocator::Create(&alloc);
  if (FAILED(hr)) return hr;
  ALLOCATOR_PROPERTIES got{};
  hr = alloc->SetProperties(&request, &got);
  if (FAILED(hr)) {
    alloc->Release();
    return hr;
  }
  *actual = alloc;
  return S_OK;
}

HRESULT CAsyncReaderOutputPin::SampleRange(IMediaSample* sample, LONGLONG* position, LONG* length, BYTE** buffer) {
  CheckPointer(sample, E_POINTER);
  REFERENCE_TIME start = 0, stop = 0;
  HRESULT hr = sample->GetTime(&start, &stop);
  if (FAILED(hr)) return hr;
  if (start < 0 || stop < start) return E_INVALIDARG;
  LONGLONG pos = start / UNITS;
  LONGLONG len = (stop - start) / UNITS;
  // The request must fit the sample's buffer.
  if (len > sample->GetSize()) return E_INVALIDARG;
  hr = sample->GetPointer(buffer);
  if (FAILED(hr)) return hr;
  // Clip a request that runs past the end of the stream, as the platform's
  // reader does, so the read comes back short rather than failing.
  LONGLONG total = 0, available = 0;
  if (SUCCEEDED(m_pIo->Length(&total, &available)) && pos + len > total && pos < total) len = total - pos;
  *position = pos;
  *length = static_cast<LONG>(len);
  return S_OK;
}

STDMETHODIMP CAsyncReaderOutputPin::Request(IMediaSample* sample, DWORD_PTR user) {
  LONGLONG pos = 0;
  LONG len = 0;
  BYTE* buffer = nullptr;
  HRESULT hr = SampleRange(sample, &pos, &len, &buffer);
  if (FAILED(hr)) return hr;
  return m_pIo->Request(pos, len, FALSE, buffer, sample, user);
}

STDMETHODIMP CAsyncReaderOutputPin::WaitForNext(DWORD msTimeout, IMediaSample** sample, DWORD_PTR* user) {
  CheckPointer(sample, E_POINTER);
  CheckPointer(user, E_POINTER);
  LPVOID context = nullptr;
  LONG actual = 0;
  HRESULT hr = m_pIo->WaitForNext(msTimeout, &context, user, &actual);
  auto* s = static_cast<IMediaSample*>(context);
  *sample = s;
  if (s) s->SetActualDataLength(actual);
  return hr;
}

STDMETHODIMP CAsyncReaderOutputPin::SyncReadAligned(IMediaSample* sample) {
  LONGLONG pos = 0;
  LONG len = 0;
  BYTE* buffer = nullptr;
  HRESULT hr = SampleRange(sample, &pos, &len, &buffer);
  if (FAILED(hr)) return hr;
  LONG actual = 0;
  hr = m_pIo->SyncReadAligned(pos, len, buffer, &actual, sample);
  sample->SetActualDataLength(actual);
  return hr;
}

STDMETHODIMP CAsyncReaderOutputPin::SyncRead(LONGLONG position, LONG length, BYTE* buffer) {
  return m_pIo->SyncRead(position, length, buffer);
}

STDMETHODIMP CAsyncReaderOutputPin::Length(LONGLONG* total, LONGLONG* available) {
  return m_pIo->Length(total, available);
}

// ---------------------------------------------------------------------------
// CAsyncReader

CAsyncReader::CAsyncReader(LPCTSTR name, LPUNKNOWN outer, CAsyncStream* stream, HRESULT* phr, REFCLSID clsid)
    : CBaseFilter(name, outer, &m_csFilter, clsid, phr), m_Io(stream), m_OutputPin(phr, this, &m_Io, &m_csFilter) {}

CAsyncReader::~CAsyncReader() = default;

CBasePin* CAsyncReader::GetPin(int n) {
  if (n == 0 && GetPinCount() == 1) return &m_OutputPin;
  return nullptr;
}
