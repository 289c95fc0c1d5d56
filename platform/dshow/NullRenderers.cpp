#include "platform/dshow/NullRenderers.h"

#include <new>

// ---------------------------------------------------------------------------
// Input pin

CNullRendererInputPin::CNullRendererInputPin(CNullRendererFilter* filter, CCritSec* lock, HRESULT* phr)
    : CBaseInputPin("Null renderer input", filter, lock, phr, L"In"), m_pRenderer(filter) {}

namespace {

// The format block a decoded type needs: a video-info header for pictures
// (the renderer reads the picture size there), a wave format for sound.
bool FormatFits(const CMediaType& mt) {
  if (mt.majortype == MEDIATYPE_Video) {
    if (mt.formattype == FORMAT_VideoInfo) return mt.pbFormat && mt.cbFormat >= sizeof(VIDEOINFOHEADER);
    if (mt.formattype == FORMAT_VideoInfo2) return mt.pbFormat && mt.cbFormat >= sizeof(VIDEOINFOHEADER2);
    return false;
  }
  return mt.formattype == FORMAT_WaveFormatEx && mt.pbFormat && mt.cbFormat >= sizeof(WAVEFORMATEX) - 2;
}

}  // namespace

HRESULT CNullRendererInputPin::CheckMediaType(const CMediaType* pmt) {
  if (!pmt) return E_POINTER;
  if (pmt->majortype != m_pRenderer->MajorType()) return VFW_E_TYPE_NOT_ACCEPTED;
  bool known = false;
  for (const GUID& subtype : m_pRenderer->Subtypes()) known = known || pmt->subtype == subtype;
  return known && FormatFits(*pmt) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

STDMETHODIMP CNullRendererInputPin::Receive(IMediaSample* sample) {
  // The base checks state, flushing and type changes; the data is dropped.
  HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr == S_OK) m_pRenderer->OnSample();
  return hr;
}

STDMETHODIMP CNullRendererInputPin::EndOfStream() {
  if (HRESULT hr = CheckStreaming(); hr != S_OK) return hr;
  m_pRenderer->OnEndOfStream();
  return S_OK;
}

STDMETHODIMP CNullRendererInputPin::BeginFlush() {
  HRESULT hr = CBaseInputPin::BeginFlush();
  m_pRenderer->OnFlush();
  return hr;
}

STDMETHODIMP CNullRendererInputPin::EndFlush() { return CBaseInputPin::EndFlush(); }

// ---------------------------------------------------------------------------
// Filter

CNullRendererFilter::CNullRendererFilter(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid, const GUID& major,
                                         std::span<const GUID> subtypes, HRESULT* phr)
    : CBaseFilter(name, outer, &m_lock, clsid, phr), m_major(major), m_subtypes(subtypes) {
  HRESULT hr = S_OK;
  m_pin = std::make_unique<CNullRendererInputPin>(this, &m_lock, &hr);
  if (FAILED(hr) && phr && SUCCEEDED(*phr)) *phr = hr;
}

CNullRendererFilter::~CNullRendererFilter() = default;

template <class T>
HRESULT CNullRendererFilter::Create(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  HRESULT hr = S_OK;
  T* filter = nullptr;
  try {
    filter = new T(nullptr, &hr);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  filter->NonDelegatingAddRef();
  if (SUCCEEDED(hr)) hr = filter->NonDelegatingQueryInterface(riid, ppv);
  filter->NonDelegatingRelease();
  return hr;
}

HRESULT CNullRendererFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IMediaSeeking) return GetInterfaceAs<IMediaSeeking>(this, ppv);
  if (riid == IID_IAMFilterMiscFlags) return GetInterfaceAs<IAMFilterMiscFlags>(this, ppv);
  return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

CBasePin* CNullRendererFilter::GetPin(int n) { return n == 0 ? m_pin.get() : nullptr; }

STDMETHODIMP CNullRendererFilter::Stop() {
  {
    std::lock_guard lock(m_eosLock);
    m_eosPending = false;
  }
  return CBaseFilter::Stop();
}

STDMETHODIMP CNullRendererFilter::Pause() {
  CAutoLock lock(&m_lock);
  if (m_State == State_Stopped) m_samples = 0;
  return CBaseFilter::Pause();
}

STDMETHODIMP CNullRendererFilter::Run(REFERENCE_TIME start) {
  HRESULT hr = CBaseFilter::Run(start);
  if (FAILED(hr)) return hr;
  bool send = false;
  {
    std::lock_guard lock(m_eosLock);
    send = m_eosPending;
    m_eosPending = false;
  }
  if (send) NotifyEvent(EC_COMPLETE, S_OK, 0);
  return hr;
}

void CNullRendererFilter::OnEndOfStream() {
  bool send = false;
  {
    std::lock_guard lock(m_eosLock);
    // Playback is complete only once the filter runs.
    if (m_State == State_Running)
      send = true;
    else
      m_eosPending = true;
  }
  if (send) NotifyEvent(EC_COMPLETE, S_OK, 0);
}

void CNullRendererFilter::OnFlush() {
  std::lock_guard lock(m_eosLock);
  m_eosPending = false;
}

HRESULT CNullRendererFilter::SeekingTarget(IMediaSeeking** seeking) {
  *seeking = nullptr;
  IPin* peer = m_pin->GetConnected();
  if (!peer) return VFW_E_NOT_CONNECTED;
  return peer->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(seeking));
}

STDMETHODIMP CNullRendererFilter::SetPositions(LONGLONG* c, DWORD cf, LONGLONG* s, DWORD sf) {
  {
    std::lock_guard lock(m_eosLock);
    m_eosPending = false;
  }
  return CForwardedSeeking::SetPositions(c, cf, s, sf);
}

// ---------------------------------------------------------------------------
// The two renderers

CNullVideoRenderer::CNullVideoRenderer(LPUNKNOWN outer, HRESULT* phr)
    : CNullRendererFilter("Video Renderer", outer, CLSID_VideoRenderer, MEDIATYPE_Video, kNullVideoRendererSubtypes,
                          phr) {}

HRESULT CNullVideoRenderer::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  return Create<CNullVideoRenderer>(outer, riid, ppv);
}

HRESULT CNullVideoRenderer::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IQualProp) return GetInterfaceAs<IQualProp>(this, ppv);
  return CNullRendererFilter::NonDelegatingQueryInterface(riid, ppv);
}

namespace {
HRESULT Zero(int* value) {
  if (!value) return E_POINTER;
  *value = 0;
  return S_OK;
}
}  // namespace

STDMETHODIMP CNullVideoRenderer::get_FramesDrawn(int* frames) {
  if (!frames) return E_POINTER;
  *frames = m_samples;
  return S_OK;
}
STDMETHODIMP CNullVideoRenderer::get_FramesDroppedInRenderer(int* frames) { return Zero(frames); }
STDMETHODIMP CNullVideoRenderer::get_AvgFrameRate(int* rate) { return Zero(rate); }
STDMETHODIMP CNullVideoRenderer::get_Jitter(int* jitter) { return Zero(jitter); }
STDMETHODIMP CNullVideoRenderer::get_AvgSyncOffset(int* offset) { return Zero(offset); }
STDMETHODIMP CNullVideoRenderer::get_DevSyncOffset(int* deviation) { return Zero(deviation); }

CNullAudioRenderer::CNullAudioRenderer(LPUNKNOWN outer, HRESULT* phr)
    : CNullRendererFilter("Audio Renderer", outer, CLSID_DSoundRender, MEDIATYPE_Audio, kNullAudioRendererSubtypes,
                          phr) {}

HRESULT CNullAudioRenderer::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  return Create<CNullAudioRenderer>(outer, riid, ppv);
}

HRESULT CNullAudioRenderer::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IBasicAudio) return GetInterfaceAs<IBasicAudio>(this, ppv);
  return CNullRendererFilter::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CNullAudioRenderer::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}
STDMETHODIMP CNullAudioRenderer::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
STDMETHODIMP CNullAudioRenderer::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
STDMETHODIMP CNullAudioRenderer::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return E_NOTIMPL;
}

STDMETHODIMP CNullAudioRenderer::put_Volume(LONG volume) {
  if (volume < -10000 || volume > 0) return E_INVALIDARG;
  m_volume = volume;
  return S_OK;
}
STDMETHODIMP CNullAudioRenderer::get_Volume(LONG* volume) {
  if (!volume) return E_POINTER;
  *volume = m_volume;
  return S_OK;
}
STDMETHODIMP CNullAudioRenderer::put_Balance(LONG balance) {
  if (balance < -10000 || balance > 10000) return E_INVALIDARG;
  m_balance = balance;
  return S_OK;
}
STDMETHODIMP CNullAudioRenderer::get_Balance(LONG* balance) {
  if (!balance) return E_POINTER;
  *balance = m_balance;
  return S_OK;
}
