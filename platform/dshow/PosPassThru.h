// Seeking for filters that do not seek themselves: requests are passed to
// the output pin connected to the filter's input pin, which belongs to the
// filter upstream that can seek.
#pragma once

#include <mutex>

#include "platform/dshow/MediaTimeSeeking.h"
#include "platform/dshow/Unknown.h"

class CPosPassThru : public CUnknown, public CForwardedSeeking {
 public:
  // pin: the filter's input pin; it is not held with a reference (it
  // belongs to the same filter as this object).
  CPosPassThru(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr, IPin* pin);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // E_NOTIMPL when the input is not connected or upstream cannot seek.
  HRESULT GetPeerSeeking(IMediaSeeking** seeking);

 protected:
  HRESULT SeekingTarget(IMediaSeeking** target) override { return GetPeerSeeking(target); }

  IPin* m_pPin;
};

// The pass-through of a renderer: it also knows the current position from
// the samples it renders.
class CRendererPosPassThru : public CPosPassThru {
 public:
  CRendererPosPassThru(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr, IPin* pin);

  // Remembers the sample's start (and stop) time as the current position.
  HRESULT RegisterMediaTime(IMediaSample* sample);
  HRESULT RegisterMediaTime(LONGLONG start, LONGLONG stop);
  HRESULT ResetMediaTime();
  // At the end of the stream the position is the stop position.
  HRESULT EOS();

  STDMETHODIMP GetCurrentPosition(LONGLONG* current) override;

 private:
  std::mutex m_PositionLock;
  LONGLONG m_StartMedia = 0;
  LONGLONG m_EndMedia = 0;
  bool m_bReset = true;
};
