// Seeking for filters that do not seek themselves: requests are passed to
// the output pin connected to the filter's input pin, which belongs to the
// filter upstream that can seek.
#pragma once

#include <mutex>

#include "platform/dshow/Interfaces.h"
#include "platform/dshow/Unknown.h"

class CPosPassThru : public CUnknown, public IMediaSeeking {
 public:
  // pin: the filter's input pin; it is not held with a reference (it
  // belongs to the same filter as this object).
  CPosPassThru(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr, IPin* pin);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  STDMETHODIMP GetCapabilities(DWORD* capabilities) override;
  STDMETHODIMP CheckCapabilities(DWORD* capabilities) override;
  STDMETHODIMP IsFormatSupported(const GUID* format) override;
  STDMETHODIMP QueryPreferredFormat(GUID* format) override;
  STDMETHODIMP GetTimeFormat(GUID* format) override;
  STDMETHODIMP IsUsingTimeFormat(const GUID* format) override;
  STDMETHODIMP SetTimeFormat(const GUID* format) override;
  STDMETHODIMP GetDuration(LONGLONG* duration) override;
  STDMETHODIMP GetStopPosition(LONGLONG* stop) override;
  STDMETHODIMP GetCurrentPosition(LONGLONG* current) override;
  STDMETHODIMP ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                 const GUID* sourceFormat) override;
  STDMETHODIMP SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;
  STDMETHODIMP GetPositions(LONGLONG* current, LONGLONG* stop) override;
  STDMETHODIMP GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;
  STDMETHODIMP SetRate(double rate) override;
  STDMETHODIMP GetRate(double* rate) override;
  STDMETHODIMP GetPreroll(LONGLONG* preroll) override;

  // E_NOTIMPL when the input is not connected or upstream cannot seek.
  HRESULT GetPeerSeeking(IMediaSeeking** seeking);

 protected:
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
