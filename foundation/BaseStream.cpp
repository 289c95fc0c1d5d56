#include "foundation/BaseStream.h"

#include <cmath>
#include <limits>

namespace {

// time / rate as a reference time; results beyond the 64-bit range are
// clamped rather than converted out of range.
REFERENCE_TIME ScaleByRate(REFERENCE_TIME time, double rate) {
  const double scaled = static_cast<double>(time) / rate;
  if (!(scaled < 9.2e18)) return std::numeric_limits<REFERENCE_TIME>::max();
  if (!(scaled > -9.2e18)) return std::numeric_limits<REFERENCE_TIME>::min();
  return static_cast<REFERENCE_TIME>(scaled);
}

}  // namespace

CBaseStream::CBaseStream(LPCTSTR name, CSource* filter, HRESULT* phr)
    : CSourceStream(name, phr, filter, L"Output"),
      CSourceSeeking(name, CSourceStream::GetOwner(), phr, &m_cSharedState) {
  CAutoLock lock(&m_cSharedState);
  m_AvgTimePerFrame = 0;
  m_rtDuration = 0;
  m_rtStop = 0;
  m_bDiscontinuity = false;
  m_bFlushing = false;
}

HRESULT STDMETHODCALLTYPE CBaseStream::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IMediaSeeking) return CSourceSeeking::NonDelegatingQueryInterface(riid, ppv);
  return CSourceStream::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CBaseStream::FillBuffer(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  {
    CAutoLock lock(&m_cSharedState);
    if (m_rtPosition >= m_rtStop) return S_FALSE;
    // A stream that never set its frame time cannot count frames.
    if (m_AvgTimePerFrame <= 0) return E_UNEXPECTED;

    BYTE* buffer = nullptr;
    if (FAILED(sample->GetPointer(&buffer)) || !buffer) return S_FALSE;

    const int frame = static_cast<int>(m_rtPosition / m_AvgTimePerFrame);
    LONG length = sample->GetSize();
    HRESULT hr = FillFrame(sample, frame, buffer, length);
    if (hr != S_OK) return hr;
    if (length < 0 || length > sample->GetSize()) return E_UNEXPECTED;
    sample->SetActualDataLength(length);

    REFERENCE_TIME start = ScaleByRate(m_rtSampleTime, m_dRateSeeking);
    REFERENCE_TIME stop = start + ScaleByRate(m_AvgTimePerFrame, m_dRateSeeking);
    sample->SetTime(&start, &stop);

    m_rtSampleTime += m_AvgTimePerFrame;
    m_rtPosition += m_AvgTimePerFrame;

    sample->SetSyncPoint(TRUE);
    if (m_bDiscontinuity) {
      sample->SetDiscontinuity(TRUE);
      m_bDiscontinuity = false;
    }
  }
  return S_OK;
}

HRESULT CBaseStream::OnThreadCreate() {
  CAutoLock lock(&m_cSharedState);
  m_rtSampleTime = 0;
  m_rtPosition = m_rtStart;
  return S_OK;
}

HRESULT CBaseStream::OnThreadStartPlay() {
  REFERENCE_TIME start, stop;
  double rate;
  {
    CAutoLock lock(&m_cSharedState);
    m_bDiscontinuity = true;
    start = m_rtStart;
    stop = m_rtStop;
    rate = m_dRateSeeking;
  }
  return DeliverNewSegment(start, stop, rate);
}

STDMETHODIMP CBaseStream::SetRate(double rate) {
  if (!(rate > 0.0)) return E_INVALIDARG;
  {
    CAutoLock lock(&m_cSharedState);
    m_dRateSeeking = rate;
  }
  UpdateFromSeek();
  return S_OK;
}

HRESULT CBaseStream::ChangeStart() {
  {
    CAutoLock lock(&m_cSharedState);
    m_rtSampleTime = 0;
    m_rtPosition = m_rtStart;
  }
  UpdateFromSeek();
  return S_OK;
}

HRESULT CBaseStream::ChangeStop() {
  {
    CAutoLock lock(&m_cSharedState);
    if (m_rtPosition < m_rtStop) return S_OK;
  }
  UpdateFromSeek();
  return S_OK;
}

void CBaseStream::UpdateFromSeek() {
  // Outside the lock: the worker may be blocked waiting for a buffer, and
  // only the flush releases it.
  if (!ThreadExists()) return;
  m_bFlushing = true;
  DeliverBeginFlush();
  Stop();
  // A sample the worker made between the position change and the stop
  // moved the counters on; the restart begins afresh from the start.
  OnThreadCreate();
  DeliverEndFlush();
  m_bFlushing = false;
  Run();
}
