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
  return CForwardedSeeking::GetCurrentPosition(current);
}
