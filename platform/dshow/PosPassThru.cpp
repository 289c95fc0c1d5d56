#include "platform/dshow/PosPassThru.h"

#include "platform/dshow/Errors.h"
#include "platform/dshow/Guids.h"

CPosPassThru::CPosPassThru(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr, IPin* pin)
    : CUnknown(name, outer), m_pPin(pin) {
  if (!pin && phr) *phr = E_POINTER;
}

HRESULT STDMETHODCALLTYPE CPosPassThru::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IMediaSeeking) return GetInterfaceAs<IMediaSeeking>(this, ppv);
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CPosPassThru::GetPeerSeeking(IMediaSeeking** seeking) {
  *seeking = nullptr;
  if (!m_pPin) return E_NOTIMPL;
  IPin* peer = nullptr;
  if (FAILED(m_pPin->ConnectedTo(&peer)) || !peer) return E_NOTIMPL;
  HRESULT hr = peer->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(seeking));
  peer->Release();
  if (FAILED(hr) || !*seeking) {
    *seeking = nullptr;
    return E_NOTIMPL;
  }
  return S_OK;
}

// Calls a method of the upstream seeking interface, or answers E_NOTIMPL.
#define PASS_THROUGH(call)                        \
  IMediaSeeking* peer = nullptr;                  \
  HRESULT hr = GetPeerSeeking(&peer);             \
  if (FAILED(hr)) return hr;                      \
  hr = peer->call;                                \
  peer->Release();                                \
  return hr

STDMETHODIMP CPosPassThru::GetCapabilities(DWORD* capabilities) { PASS_THROUGH(GetCapabilities(capabilities)); }
STDMETHODIMP CPosPassThru::CheckCapabilities(DWORD* capabilities) {
  PASS_THROUGH(CheckCapabilities(capabilities));
}
STDMETHODIMP CPosPassThru::IsFormatSupported(const GUID* format) { PASS_THROUGH(IsFormatSupported(format)); }
STDMETHODIMP CPosPassThru::QueryPreferredFormat(GUID* format) { PASS_THROUGH(QueryPreferredFormat(format)); }
STDMETHODIMP CPosPassThru::GetTimeFormat(GUID* format) { PASS_THROUGH(GetTimeFormat(format)); }
STDMETHODIMP CPosPassThru::IsUsingTimeFormat(const GUID* format) { PASS_THROUGH(IsUsingTimeFormat(format)); }
STDMETHODIMP CPosPassThru::SetTimeFormat(const GUID* format) { PASS_THROUGH(SetTimeFormat(format)); }
STDMETHODIMP CPosPassThru::GetDuration(LONGLONG* duration) { PASS_THROUGH(GetDuration(duration)); }
STDMETHODIMP CPosPassThru::GetStopPosition(LONGLONG* stop) { PASS_THROUGH(GetStopPosition(stop)); }
STDMETHODIMP CPosPassThru::GetCurrentPosition(LONGLONG* current) { PASS_THROUGH(GetCurrentPosition(current)); }
STDMETHODIMP CPosPassThru::ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                             const GUID* sourceFormat) {
  PASS_THROUGH(ConvertTimeFormat(target, targetFormat, source, sourceFormat));
}
STDMETHODIMP CPosPassThru::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) {
  PASS_THROUGH(SetPositions(current, currentFlags, stop, stopFlags));
}
STDMETHODIMP CPosPassThru::GetPositions(LONGLONG* current, LONGLONG* stop) {
  PASS_THROUGH(GetPositions(current, stop));
}
STDMETHODIMP CPosPassThru::GetAvailable(LONGLONG* earliest, LONGLONG* latest) {
  PASS_THROUGH(GetAvailable(earliest, latest));
}
STDMETHODIMP CPosPassThru::SetRate(double rate) { PASS_THROUGH(SetRate(rate)); }
STDMETHODIMP CPosPassThru::GetRate(double* rate) { PASS_THROUGH(GetRate(rate)); }
STDMETHODIMP CPosPassThru::GetPreroll(LONGLONG* preroll) { PASS_THROUGH(GetPreroll(preroll)); }

#undef PASS_THROUGH

CRendererPosPassThru::CRendererPosPassThru(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr, IPin* pin)
    : CPosPassThru(name, outer, phr, pin) {}

HRESULT CRendererPosPassThru::RegisterMediaTime(IMediaSample* sample) {
  CheckPointer(sample, E_POINTER);
  REFERENCE_TIME start = 0, stop = 0;
  HRESULT hr = sample->GetTime(&start, &stop);
  if (FAILED(hr)) return hr;
  return RegisterMediaTime(start, stop);
}

HRESULT CRendererPosPassThru::RegisterMediaTime(LONGLONG start, LONGLONG stop) {
  std::lock_guard<std::mutex> lock(m_PositionLock);
  m_StartMedia = start;
  m_EndMedia = stop;
  m_bReset = false;
  return S_OK;
}

HRESULT CRendererPosPassThru::ResetMediaTime() {
  std::lock_guard<std::mutex> lock(m_PositionLock);
  m_StartMedia = 0;
  m_EndMedia = 0;
  m_bReset = true;
  return S_OK;
}

HRESULT CRendererPosPassThru::EOS() {
  LONGLONG stop = 0;
  HRESULT hr = GetStopPosition(&stop);
  std::lock_guard<std::mutex> lock(m_PositionLock);
  if (SUCCEEDED(hr)) {
    m_StartMedia = stop;
    m_bReset = false;
  } else {
    m_bReset = true;
  }
  return S_OK;
}

STDMETHODIMP CRendererPosPassThru::GetCurrentPosition(LONGLONG* current) {
  CheckPointer(current, E_POINTER);
  {
    std::lock_guard<std::mutex> lock(m_PositionLock);
    if (!m_bReset) {
      // The start of the last sample rendered.
      *current = m_StartMedia;
      return S_OK;
    }
  }
  return CPosPassThru::GetCurrentPosition(current);
}
