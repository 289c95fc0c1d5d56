#include "platform/dshow/SourceSeeking.h"

#include "platform/dshow/Guids.h"

namespace {
// Ten hours: a default duration for a stream that never sets one.
constexpr REFERENCE_TIME kDefaultDuration = 10LL * 3600 * UNITS;
}  // namespace

CSourceSeeking::CSourceSeeking(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr, CCritSec* lock)
    : CUnknown(name, outer),
      CMediaTimeSeeking(AM_SEEKING_CanSeekForwards | AM_SEEKING_CanSeekBackwards | AM_SEEKING_CanSeekAbsolute |
                        AM_SEEKING_CanGetStopPos | AM_SEEKING_CanGetDuration),
      m_rtDuration(kDefaultDuration),
      m_rtStop(kDefaultDuration),
      m_pLock(lock) {}

HRESULT STDMETHODCALLTYPE CSourceSeeking::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IMediaSeeking) return GetInterfaceAs<IMediaSeeking>(this, ppv);
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CSourceSeeking::GetDuration(LONGLONG* duration) {
  CheckPointer(duration, E_POINTER);
  CAutoLock lock(m_pLock);
  *duration = m_rtDuration;
  return S_OK;
}

STDMETHODIMP CSourceSeeking::GetStopPosition(LONGLONG* stop) {
  CheckPointer(stop, E_POINTER);
  CAutoLock lock(m_pLock);
  *stop = m_rtStop;
  return S_OK;
}

STDMETHODIMP CSourceSeeking::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                          DWORD stopFlags) {
  DWORD startBits = currentFlags & AM_SEEKING_PositioningBitsMask;
  DWORD stopBits = stopFlags & AM_SEEKING_PositioningBitsMask;
  if (startBits) {
    CheckPointer(current, E_POINTER);
    if (startBits == AM_SEEKING_IncrementalPositioning) return E_INVALIDARG;
  }
  if (stopBits) CheckPointer(stop, E_POINTER);
  {
    CAutoLock lock(m_pLock);
    if (startBits == AM_SEEKING_AbsolutePositioning) m_rtStart = *current;
    else if (startBits == AM_SEEKING_RelativePositioning) m_rtStart += *current;

    if (stopBits == AM_SEEKING_AbsolutePositioning) m_rtStop = *stop;
    else if (stopBits == AM_SEEKING_RelativePositioning) m_rtStop += *stop;
    else if (stopBits == AM_SEEKING_IncrementalPositioning) m_rtStop = m_rtStart + *stop;

    if ((currentFlags & AM_SEEKING_ReturnTime) && current) *current = m_rtStart;
    if ((stopFlags & AM_SEEKING_ReturnTime) && stop) *stop = m_rtStop;
  }
  // The start first: a stream told of an earlier stop while it still stands
  // at its old position would end there. A new start restarts the stream,
  // which then runs to the new stop as well, so ChangeStop is only called
  // when the stop alone changes.
  if (startBits) return ChangeStart();
  if (stopBits) return ChangeStop();
  return S_OK;
}

STDMETHODIMP CSourceSeeking::GetPositions(LONGLONG* current, LONGLONG* stop) {
  CAutoLock lock(m_pLock);
  if (current) *current = m_rtStart;
  if (stop) *stop = m_rtStop;
  return S_OK;
}

STDMETHODIMP CSourceSeeking::SetRate(double rate) {
  {
    CAutoLock lock(m_pLock);
    m_dRateSeeking = rate;
  }
  return ChangeRate();
}

STDMETHODIMP CSourceSeeking::GetRate(double* rate) {
  CheckPointer(rate, E_POINTER);
  CAutoLock lock(m_pLock);
  *rate = m_dRateSeeking;
  return S_OK;
}
