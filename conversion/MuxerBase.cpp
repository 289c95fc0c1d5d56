#include "conversion/MuxerBase.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/com/ComPtr.h"
#include "platform/win32/Thread.h"

namespace {

// Seeking capabilities of the sinks: they report, they do not seek.
constexpr DWORD kCapabilities = AM_SEEKING_CanGetCurrentPos | AM_SEEKING_CanGetDuration;

}  // namespace

CMuxerBase::CMuxerBase(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid)
    : CBaseFilter(name, outer, static_cast<CCritSec*>(this), clsid) {}

CMuxerBase::~CMuxerBase() { EndWorker(); }

void CMuxerBase::SetPins(std::unique_ptr<CMpegInputPin> video, std::unique_ptr<CMpegInputPin> audio) {
  m_pins[0] = std::move(video);
  m_pins[1] = std::move(audio);
}

HRESULT STDMETHODCALLTYPE CMuxerBase::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IMediaSeeking) return GetInterfaceAs<IMediaSeeking>(this, ppv);
  return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

CBasePin* CMuxerBase::GetPin(int n) {
  CAutoLock lock(this);
  if (n < 0 || n > 1) return nullptr;
  return m_pins[n].get();
}

void CMuxerBase::EndWorker() {
  if (!ThreadExists()) return;
  // The worker finishes the file before it answers; that wait has a bound
  // because a watch breaks an output that stopped taking data (a share that
  // no longer answers) instead of waiting on it for good.
  const int64_t since = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
  std::mutex lock;
  std::condition_variable answered;
  bool done = false;
  std::thread watch([&] {
    std::unique_lock<std::mutex> l(lock);
    while (!answered.wait_for(l, std::chrono::milliseconds(100), [&] { return done; }))
      if (AbandonStalledOutput(since)) CancelSynchronousIo(m_hThread);
  });
  CallWorker(CMD_EXIT);
  {
    std::lock_guard<std::mutex> l(lock);
    done = true;
  }
  answered.notify_one();
  watch.join();
  Close();
}

STDMETHODIMP CMuxerBase::Stop() {
  CAutoLock lock(this);
  HRESULT hr = CBaseFilter::Stop();
  // The worker notices the command, closes the output, reports the end of
  // the run and ends.
  EndWorker();
  m_rtOffset = 0;
  return hr;
}

STDMETHODIMP CMuxerBase::Pause() {
  CAutoLock lock(this);
  const bool wasStopped = m_State == State_Stopped;
  HRESULT hr = CBaseFilter::Pause();
  if (FAILED(hr) || !wasStopped) return hr;
  // A refused start leaves the filter stopped, so the graph does not wait
  // for a run that never begins.
  HRESULT refusal = CanStart();
  if (FAILED(refusal)) {
    CBaseFilter::Stop();
    return refusal;
  }
  if (!ThreadExists() && !Create()) {
    CBaseFilter::Stop();
    return E_OUTOFMEMORY;
  }
  return static_cast<HRESULT>(CallWorker(CMD_RUN));
}

STDMETHODIMP CMuxerBase::Run(REFERENCE_TIME start) {
  CAutoLock lock(this);
  return CBaseFilter::Run(start);
}

DWORD CMuxerBase::ThreadProc() {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
  for (;;) {
    DWORD cmd = GetRequest();
    if (cmd != CMD_RUN) {
      Reply(S_OK);
      return 0;
    }
    m_active.clear();
    for (auto& pin : m_pins)
      if (pin && pin->IsConnected()) m_active.push_back(pin.get());
    m_position.Reset();
    Reply(S_OK);
    RunLoop();
    m_active.clear();
  }
}

void CMuxerBase::RunLoop() {
  auto abort = [this](HRESULT hr) {
    // Release the output before the graph hears of the failure, so the
    // application may at once remove or reuse the file.
    AbortRun();
    // Upstream stops delivering instead of waiting on queues that nobody
    // takes from any more; Stop clears the error.
    for (auto& pin : m_pins)
      if (pin) pin->m_bRunTimeError = true;
    NotifyEvent(EC_ERRORABORT, hr, 0);
  };
  HRESULT hr = BeginRun();
  if (FAILED(hr)) return abort(hr);
  while (!CheckRequest(nullptr) && !m_active.empty()) {
    if (m_State == State_Paused) {
      Sleep(10);
      continue;
    }
    std::unique_ptr<MuxSample> rec = GetNextSample(m_active);
    if (!rec) {
      Sleep(1);
      continue;
    }
    const size_t stream = rec->m_bVideo ? 0 : 1;
    if (rec->m_dwFlags & MuxSample::TimeValid)
      m_position.Written(stream, rec->m_rtStop > rec->m_rtStart ? rec->m_rtStop : rec->m_rtStart);
    if (rec->m_dwFlags & MuxSample::EndOfStream) {
      m_position.Ended(stream);
      m_active.erase(std::remove(m_active.begin(), m_active.end(), rec->m_pPin), m_active.end());
      continue;
    }
    hr = TakeSample(*rec);
    if (FAILED(hr)) return abort(hr);
  }
  hr = EndRun();
  if (FAILED(hr)) return abort(hr);
  NotifyEvent(EC_COMPLETE, 0, 0);
}

std::unique_ptr<MuxSample> CMuxerBase::GetNextSample(const std::vector<CMpegInputPin*>& active) {
  CMpegInputPin* chosen = nullptr;
  REFERENCE_TIME best = 0;
  bool anyEmpty = false;
  bool atOnce = false;
  for (CMpegInputPin* pin : active) {
    pin->PeekSample([&](const MuxSample* head) {
      if (!head) {
        anyEmpty = true;
        return;
      }
      const DWORD f = head->m_dwFlags;
      if (!(f & MuxSample::TimeValid) || (f & (MuxSample::LateKey | MuxSample::EndOfStream))) {
        chosen = pin;
        atOnce = true;
        return;
      }
      if (!chosen || head->m_rtStart < best) {
        chosen = pin;
        best = head->m_rtStart;
      }
    });
    if (atOnce) break;
  }
  if (!atOnce && anyEmpty) {
    for (CMpegInputPin* pin : active) pin->ReleaseWaits();
    return nullptr;
  }
  return chosen ? chosen->PopSample() : nullptr;
}

// ---------------------------------------------------------------------------
// IMediaSeeking

STDMETHODIMP CMuxerBase::GetCapabilities(DWORD* capabilities) {
  CheckPointer(capabilities, E_POINTER);
  *capabilities = kCapabilities;
  return S_OK;
}

STDMETHODIMP CMuxerBase::CheckCapabilities(DWORD* capabilities) {
  CheckPointer(capabilities, E_POINTER);
  const DWORD asked = *capabilities;
  const DWORD have = asked & kCapabilities;
  *capabilities = have;
  if (have == asked) return S_OK;
  return have ? S_FALSE : E_FAIL;
}

STDMETHODIMP CMuxerBase::IsFormatSupported(const GUID* format) {
  CheckPointer(format, E_POINTER);
  return *format == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
}

STDMETHODIMP CMuxerBase::QueryPreferredFormat(GUID* format) {
  CheckPointer(format, E_POINTER);
  *format = TIME_FORMAT_MEDIA_TIME;
  return S_OK;
}

STDMETHODIMP CMuxerBase::GetTimeFormat(GUID* format) {
  CheckPointer(format, E_POINTER);
  *format = TIME_FORMAT_MEDIA_TIME;
  return S_OK;
}

STDMETHODIMP CMuxerBase::IsUsingTimeFormat(const GUID* format) {
  CheckPointer(format, E_POINTER);
  return *format == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
}

STDMETHODIMP CMuxerBase::SetTimeFormat(const GUID* format) {
  CheckPointer(format, E_POINTER);
  return *format == TIME_FORMAT_MEDIA_TIME ? S_OK : E_INVALIDARG;
}

STDMETHODIMP CMuxerBase::GetDuration(LONGLONG* duration) {
  CheckPointer(duration, E_POINTER);
  REFERENCE_TIME longest = 0;
  for (auto& pin : m_pins)
    if (pin) longest = std::max(longest, pin->UpstreamDuration());
  *duration = longest;
  return S_OK;
}

STDMETHODIMP CMuxerBase::GetCurrentPosition(LONGLONG* current) {
  CheckPointer(current, E_POINTER);
  *current = m_position.Get();
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

STDMETHODIMP CMuxerBase::GetStopPosition(LONGLONG*) { return E_NOTIMPL; }
STDMETHODIMP CMuxerBase::ConvertTimeFormat(LONGLONG*, const GUID*, LONGLONG, const GUID*) { return E_NOTIMPL; }
STDMETHODIMP CMuxerBase::GetPositions(LONGLONG*, LONGLONG*) { return E_NOTIMPL; }
STDMETHODIMP CMuxerBase::GetAvailable(LONGLONG*, LONGLONG*) { return E_NOTIMPL; }
STDMETHODIMP CMuxerBase::SetRate(double) { return E_NOTIMPL; }
STDMETHODIMP CMuxerBase::GetRate(double*) { return E_NOTIMPL; }
STDMETHODIMP CMuxerBase::GetPreroll(LONGLONG*) { return E_NOTIMPL; }
