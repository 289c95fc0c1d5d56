// Seeking for a source pin in media time: it keeps the start, stop, rate
// and duration, and tells the derived class of each change (which
// typically flushes and restarts its stream from the new start).
#pragma once

#include "platform/dshow/CritSec.h"
#include "platform/dshow/MediaTimeSeeking.h"
#include "platform/dshow/Unknown.h"

class CSourceSeeking : public CUnknown, public CMediaTimeSeeking {
 public:
  // lock: guards the positions; shared with the owner of the stream.
  CSourceSeeking(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr, CCritSec* lock);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  STDMETHODIMP GetDuration(LONGLONG* duration) override;
  STDMETHODIMP GetStopPosition(LONGLONG* stop) override;
  STDMETHODIMP ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                 const GUID* sourceFormat) override {
    return ConvertMediaTime(target, targetFormat, source, sourceFormat);
  }
  // Absolute and relative positions for start and stop, incremental for
  // the stop (relative to the new start). Both positions are stored before
  // the derived class hears of them: ChangeStart when the start changed
  // (whether or not the stop did), else ChangeStop when the stop did.
  STDMETHODIMP SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;
  STDMETHODIMP GetPositions(LONGLONG* current, LONGLONG* stop) override;
  STDMETHODIMP SetRate(double rate) override;
  STDMETHODIMP GetRate(double* rate) override;

 protected:
  virtual HRESULT ChangeStart() = 0;
  virtual HRESULT ChangeStop() = 0;
  virtual HRESULT ChangeRate() = 0;

  REFERENCE_TIME m_rtDuration;
  REFERENCE_TIME m_rtStart = 0;
  REFERENCE_TIME m_rtStop;
  double m_dRateSeeking = 1.0;
  CCritSec* m_pLock;
};
