#include "conversion/MuxerBase.h"

#include <algorithm>

#include "platform/com/ComPtr.h"

CMuxerBase::CMuxerBase(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid) : CQueuedSinkFilter(name, outer, clsid) {}

CMuxerBase::~CMuxerBase() { EndWorker(); }

void CMuxerBase::SetPins(std::unique_ptr<CMpegInputPin> video, std::unique_ptr<CMpegInputPin> audio) {
  m_pins[0] = std::move(video);
  m_pins[1] = std::move(audio);
  for (auto& pin : m_pins)
    if (pin) AttachPin(pin.get());
}

CBasePin* CMuxerBase::GetPin(int n) {
  CAutoLock lock(this);
  if (n < 0 || n > 1) return nullptr;
  return m_pins[n].get();
}

STDMETHODIMP CMuxerBase::Stop() {
  CAutoLock lock(this);
  HRESULT hr = CQueuedSinkFilter::Stop();
  m_rtOffset = 0;
  return hr;
}

HRESULT CMuxerBase::TakeRecord(QueuedRecord& record) {
  auto& sample = static_cast<MuxSample&>(record);
  HRESULT hr = TakeSample(sample);
  Buffers()->GiveBack(std::move(sample.m_data));
  return hr;
}

std::unique_ptr<MuxSample> CMuxerBase::GetNextSample(const std::vector<CMpegInputPin*>& active) {
  const std::vector<CQueuedInputPin*> pins(active.begin(), active.end());
  return std::unique_ptr<MuxSample>(static_cast<MuxSample*>(NextRecord(pins).release()));
}

STDMETHODIMP CMuxerBase::GetDuration(LONGLONG* duration) {
  CheckPointer(duration, E_POINTER);
  REFERENCE_TIME longest = 0;
  for (auto& pin : m_pins)
    if (pin) longest = std::max(longest, pin->UpstreamDuration());
  *duration = longest;
  return S_OK;
}

STDMETHODIMP CMuxerBase::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) {
  CAutoLock lock(this);
  if (m_State != State_Stopped) return VFW_E_WRONG_STATE;
  for (auto& pin : m_pins) {
    IPin* peer = pin ? pin->GetConnected() : nullptr;
    if (!peer) continue;
    CComPtr<IMediaSeeking> seeking;
    peer->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking));
    if (!seeking) {
      PIN_INFO info{};
      if (SUCCEEDED(peer->QueryPinInfo(&info)) && info.pFilter) {
        info.pFilter->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking));
        info.pFilter->Release();
      }
    }
    if (seeking) seeking->SetPositions(current, currentFlags, stop, stopFlags);
  }
  return S_OK;
}
