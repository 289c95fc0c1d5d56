#include "conversion/FastNullMuxer.h"

#include <new>

CNullInputPin::CNullInputPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr, LPCWSTR name, bool video)
    : CMpegInputPin(filter, lock, phr, name, video) {
  m_bCopyData = false;
}

HRESULT STDMETHODCALLTYPE CNullInputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IStreamSwitcherInputPin) return GetInterfaceAs<IStreamSwitcherInputPin>(this, ppv);
  return CMpegInputPin::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CNullInputPin::Receive(IMediaSample* sample) {
  if (m_bVideo) return CMpegInputPin::Receive(sample);
  CAutoLock lock(&m_csReceive);
  return CBaseInputPin::Receive(sample);
}

STDMETHODIMP CNullInputPin::EndOfStream() {
  if (m_bVideo) return CMpegInputPin::EndOfStream();
  CAutoLock lock(&m_csReceive);
  return CBaseInputPin::EndOfStream();
}

bool CNullInputPin::WakesWorker(const QueuedRecord& sample) {
  if (!(sample.m_dwFlags & MuxSample::EndOfStream) && ++m_nUnwoken < kWakeEvery) return false;
  m_nUnwoken = 0;
  return true;
}

HRESULT CNullInputPin::CheckMediaType(const CMediaType* pmt) {
  CheckPointer(pmt, E_POINTER);
  const bool isVideo = *pmt->Type() == MEDIATYPE_Video;
  if (m_bVideo) return isVideo ? S_OK : E_INVALIDARG;
  return isVideo ? E_FAIL : S_OK;
}

CFastNullMuxer::CFastNullMuxer(LPUNKNOWN outer, HRESULT* phr)
    : CMuxerBase(NAME("CFastNullMuxer"), outer, CLSID_FastNullMuxer) {
  SetPins(std::make_unique<CNullInputPin>(this, this, phr, L"Video", true),
          std::make_unique<CNullInputPin>(this, this, phr, L"Audio", false));
}

CFastNullMuxer::~CFastNullMuxer() { EndWorker(); }

HRESULT CFastNullMuxer::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  HRESULT hr = S_OK;
  CFastNullMuxer* filter = new (std::nothrow) CFastNullMuxer(nullptr, &hr);
  if (!filter) return E_OUTOFMEMORY;
  filter->NonDelegatingAddRef();
  if (SUCCEEDED(hr)) hr = filter->NonDelegatingQueryInterface(riid, ppv);
  filter->NonDelegatingRelease();
  return hr;
}
