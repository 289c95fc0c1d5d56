#include "platform/dshow/QueuedSink.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "platform/win32/Thread.h"

namespace {

// Sample times come from upstream filters; a wild value must not overflow.
REFERENCE_TIME AddTimes(REFERENCE_TIME a, REFERENCE_TIME b) {
  REFERENCE_TIME r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN + 1;
  return r;
}

// Seeking capabilities of the sinks: they report, they do not seek.
constexpr DWORD kCapabilities = AM_SEEKING_CanGetCurrentPos | AM_SEEKING_CanGetDuration;

}  // namespace

// ---------------------------------------------------------------------------
// CRecordBufferPool

std::vector<BYTE> CRecordBufferPool::Take(size_t size) {
  if (size >= kKeptFrom) {
    std::lock_guard<std::mutex> l(m_lock);
    for (auto it = m_spare.begin(); it != m_spare.end(); ++it)
      if (it->capacity() >= size) {
        std::vector<BYTE> buffer = std::move(*it);
        m_spare.erase(it);
        buffer.clear();
        return buffer;
      }
  }
  std::vector<BYTE> buffer;
  buffer.reserve(size);
  return buffer;
}

void CRecordBufferPool::GiveBack(std::vector<BYTE>&& buffer) {
  if (buffer.capacity() < kKeptFrom) return;
  std::lock_guard<std::mutex> l(m_lock);
  if (m_spare.size() < kKeptBuffers) m_spare.push_back(std::move(buffer));
}

// ---------------------------------------------------------------------------
// CQueuedInputPin

CQueuedInputPin::CQueuedInputPin(LPCTSTR objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr,
                                 LPCWSTR name, bool video)
    : CBaseInputPin(objectName, filter, lock, phr, name), m_bVideo(video) {}

CQueuedInputPin::~CQueuedInputPin() = default;

HRESULT CQueuedInputPin::CompleteConnect(IPin* receivePin) {
  HRESULT hr = CBaseInputPin::CompleteConnect(receivePin);
  if (FAILED(hr)) return hr;
  m_rtDuration = 0;
  // The progress line's total: ask the upstream filter, else its pin.
  LONGLONG duration = 0;
  IMediaSeeking* seeking = nullptr;
  PIN_INFO info{};
  if (receivePin && SUCCEEDED(receivePin->QueryPinInfo(&info)) && info.pFilter) {
    info.pFilter->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking));
    info.pFilter->Release();
  }
  if (!seeking && receivePin) receivePin->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking));
  if (seeking) {
    if (SUCCEEDED(seeking->GetDuration(&duration))) m_rtDuration = duration;
    seeking->Release();
  }
  return S_OK;
}

HRESULT CQueuedInputPin::Active() {
  m_rtLastStart = INT64_MIN;
  m_bEndOfStream = false;
  {
    // A record that slipped in while the last run was being stopped does
    // not belong to this run.
    std::lock_guard<std::mutex> lock(m_queueLock);
    ClearQueue();
    m_bAccepting = true;
  }
  WakeRoomWaiter();
  return CBaseInputPin::Active();
}

HRESULT CQueuedInputPin::Inactive() {
  {
    // The filter's state changes only after its pins went inactive: the
    // flag keeps a streaming thread from queueing behind this clear.
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_bAccepting = false;
    ClearQueue();
  }
  WakeRoomWaiter();
  return CBaseInputPin::Inactive();
}

STDMETHODIMP CQueuedInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  CAutoLock lock(&m_csReceive);
  return CBaseInputPin::NewSegment(start, stop, rate);
}

STDMETHODIMP CQueuedInputPin::Receive(IMediaSample* sample) {
  CAutoLock lock(&m_csReceive);
  HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;

  // Room first: a record made before would hold its memory while it waits.
  if (!WaitForRoom()) return S_OK;
  std::unique_ptr<QueuedRecord> rec;
  hr = MakeRecord(sample, &rec);
  if (FAILED(hr) || !rec) return hr;
  rec->m_pPin = this;
  rec->m_bVideo = m_bVideo ? 1 : 0;
  if (sample->IsSyncPoint() == S_OK || (m_mt.majortype == MEDIATYPE_Audio && !m_mt.bTemporalCompression))
    rec->m_dwFlags |= QueuedRecord::KeySample;

  if (MediaTimes(sample, &rec->m_rtStart, &rec->m_rtStop)) {
    rec->m_dwFlags |= QueuedRecord::TimeValid;
    // A key sample stamped before what this pin already delivered is
    // taken at once rather than sorted in by time.
    if ((rec->m_dwFlags & QueuedRecord::KeySample) && m_rtLastStart != INT64_MIN && rec->m_rtStart < m_rtLastStart) {
      rec->m_dwFlags &= ~QueuedRecord::KeySample;
      rec->m_dwFlags |= QueuedRecord::LateKey;
    }
    if (rec->m_rtStart > m_rtLastStart) m_rtLastStart = rec->m_rtStart;
  }
  if (sample->IsDiscontinuity() == S_OK) rec->m_dwFlags |= QueuedRecord::Discontinuity;
  // The base checked that the pin takes it.
  if ((m_SampleProps.dwSampleFlags & AM_SAMPLE_TYPECHANGED) && m_SampleProps.pMediaType)
    rec->m_pMediaType = std::make_shared<CMediaType>(*m_SampleProps.pMediaType);

  PushWhileAccepting(std::move(rec));
  return S_OK;
}

std::string CQueuedInputPin::StreamName() const {
  if (!m_strStreamName.empty()) return m_strStreamName;
  return m_bVideo ? "video stream" : "sound stream";
}

bool CQueuedInputPin::MediaTimes(IMediaSample* sample, REFERENCE_TIME* start, REFERENCE_TIME* stop) const {
  REFERENCE_TIME a = 0, b = 0;
  if (sample->GetTime(&a, &b) != S_OK) return false;
  *start = AddTimes(a, m_tStart);
  *stop = AddTimes(b, m_tStart);
  return true;
}

STDMETHODIMP CQueuedInputPin::EndOfStream() {
  CAutoLock lock(&m_csReceive);
  HRESULT hr = CBaseInputPin::EndOfStream();
  if (FAILED(hr)) return hr;
  auto rec = std::make_unique<QueuedRecord>();
  rec->m_pPin = this;
  rec->m_bVideo = m_bVideo ? 1 : 0;
  rec->m_dwFlags = QueuedRecord::EndOfStream;
  QueueSample(std::move(rec));
  m_bEndOfStream = true;
  return S_OK;
}

void CQueuedInputPin::QueueSample(std::unique_ptr<QueuedRecord> sample) {
  if (WaitForRoom()) PushWhileAccepting(std::move(sample));
}

bool CQueuedInputPin::WaitForRoom() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMaxQueueWaitMs);
  std::unique_lock<std::mutex> lock(m_queueLock);
  for (;;) {
    if (!m_bAccepting || !StreamingState()) return false;
    if (!QueueFull() || m_bReleased || std::chrono::steady_clock::now() >= deadline) {
      m_bReleased = false;
      return true;
    }
    ++m_nRoomWaiters;
    m_roomCv.wait_until(lock, deadline);
    --m_nRoomWaiters;
  }
}

void CQueuedInputPin::WakeRoomWaiter() {
  // Taking the lock orders this after a waiter's last look at the state.
  { std::lock_guard<std::mutex> lock(m_queueLock); }
  m_roomCv.notify_all();
}

void CQueuedInputPin::PushWhileAccepting(std::unique_ptr<QueuedRecord> sample) {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(m_queueLock);
    if (!m_bAccepting || !StreamingState()) return;
    wake = Push(std::move(sample));
  }
  if (wake && m_pSignal) m_pSignal->Notify();
}

void CQueuedInputPin::ReleaseWaits() {
  bool waiting;
  {
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_bReleased = true;
    waiting = m_nRoomWaiters > 0;
  }
  if (waiting) m_roomCv.notify_all();
}

STDMETHODIMP CQueuedInputPin::BeginFlush() {
  HRESULT hr = CBaseInputPin::BeginFlush();
  // A streaming thread waiting for room gives its record up.
  WakeRoomWaiter();
  return hr;
}

void CQueuedInputPin::AppendSample(std::unique_ptr<QueuedRecord> sample) {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(m_queueLock);
    wake = Push(std::move(sample));
  }
  if (wake && m_pSignal) m_pSignal->Notify();
}

bool CQueuedInputPin::Push(std::unique_ptr<QueuedRecord> sample) {
  m_nQueuedBytes += sample->QueuedBytes();
  const bool wake = WakesWorker(*sample);
  m_queue.push_back(std::move(sample));
  return wake;
}

void CQueuedInputPin::ClearQueue() {
  m_queue.clear();
  m_nQueuedBytes = 0;
}

std::unique_ptr<QueuedRecord> CQueuedInputPin::PopSample() {
  std::unique_ptr<QueuedRecord> rec;
  bool wake;
  {
    std::lock_guard<std::mutex> lock(m_queueLock);
    if (!m_queue.empty()) {
      rec = std::move(m_queue.front());
      m_queue.pop_front();
      m_nQueuedBytes -= rec->QueuedBytes();
    }
    wake = m_nRoomWaiters > 0 && QueueDrained();
  }
  // Woken once the lock is let go, so the streaming thread need not wait
  // for it again.
  if (wake) m_roomCv.notify_all();
  return rec;
}

size_t CQueuedInputPin::QueuedCount() {
  std::lock_guard<std::mutex> lock(m_queueLock);
  return m_queue.size();
}

// ---------------------------------------------------------------------------
// CQueuedSinkFilter: state and worker

CQueuedSinkFilter::CQueuedSinkFilter(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid)
    : CBaseFilter(name, outer, static_cast<CCritSec*>(this), clsid), CMediaTimeSeeking(kCapabilities) {}

CQueuedSinkFilter::~CQueuedSinkFilter() { EndWorker(); }

HRESULT STDMETHODCALLTYPE CQueuedSinkFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IMediaSeeking) return GetInterfaceAs<IMediaSeeking>(this, ppv);
  if (riid == IID_IRunReport) return GetInterfaceAs<IRunReport>(this, ppv);
  return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

void CQueuedSinkFilter::AttachPin(CQueuedInputPin* pin) {
  pin->Attach(&m_recordSignal, m_pBuffers.get());
  m_inputs.push_back(pin);
}

void CQueuedSinkFilter::EndWorker() {
  if (!ThreadExists()) return;
  // The worker finishes the run before it answers; that wait has a bound
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

STDMETHODIMP CQueuedSinkFilter::Stop() {
  CAutoLock lock(this);
  m_evRunning.Reset();
  // The pins go inactive first (queues freed, waiting streaming threads let
  // go); the worker then notices the command and ends the run.
  HRESULT hr = CBaseFilter::Stop();
  EndWorker();
  return hr;
}

STDMETHODIMP CQueuedSinkFilter::Pause() {
  CAutoLock lock(this);
  const bool wasStopped = m_State == State_Stopped;
  // A refused start leaves the filter stopped, so the graph does not wait
  // for a run that never begins.
  if (wasStopped) {
    HRESULT refusal = CanStart();
    if (FAILED(refusal)) return refusal;
  }
  m_evRunning.Reset();
  HRESULT hr = CBaseFilter::Pause();
  if (FAILED(hr) || !wasStopped) return hr;
  if (!ThreadExists() && !Create()) {
    CBaseFilter::Stop();
    AbortRun();
    return E_OUTOFMEMORY;
  }
  return static_cast<HRESULT>(CallWorker(CMD_RUN));
}

STDMETHODIMP CQueuedSinkFilter::Run(REFERENCE_TIME start) {
  CAutoLock lock(this);
  HRESULT hr = CBaseFilter::Run(start);
  if (SUCCEEDED(hr)) m_evRunning.Set();
  return hr;
}

DWORD CQueuedSinkFilter::ThreadProc() {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
  for (;;) {
    DWORD cmd = GetRequest();
    if (cmd != CMD_RUN) {
      Reply(S_OK);
      return 0;
    }
    // The caller holds the filter lock until the reply: the pins stand still.
    m_active.clear();
    for (CQueuedInputPin* pin : m_inputs)
      if (pin->IsConnected() && pin->TakesPart()) m_active.push_back(pin);
    m_position.Reset();
    Reply(S_OK);
    RunLoop();
    m_active.clear();
  }
}

std::unique_ptr<QueuedRecord> CQueuedSinkFilter::WaitForRecord() {
  for (;;) {
    if (CheckRequest(nullptr)) return nullptr;
    if (m_State == State_Paused) {
      const HANDLE handles[2] = {m_evRunning.Handle(), GetRequestHandle()};
      WaitForMultipleObjects(2, handles, FALSE, INFINITE);
      continue;
    }
    std::unique_ptr<QueuedRecord> rec = NextRecord(m_active, m_bReleaseWhenStarved);
    if (rec) return rec;
    // One more look once the pins know to wake us, then wait for them or
    // for a command.
    m_recordSignal.Arm();
    rec = NextRecord(m_active, m_bReleaseWhenStarved);
    if (rec) {
      m_recordSignal.Disarm();
      return rec;
    }
    m_recordSignal.Wait(GetRequestHandle(), INFINITE);
  }
}

void CQueuedSinkFilter::RunLoop() {
  auto abort = [this](HRESULT hr) {
    // Release the output before the graph hears of the failure, so the
    // application may at once remove or reuse the file.
    AbortRun();
    // Upstream stops delivering instead of waiting on queues that nobody
    // takes from any more; Stop clears the error.
    for (CQueuedInputPin* pin : m_inputs) pin->m_bRunTimeError = true;
    NotifyEvent(EC_ERRORABORT, hr, 0);
  };
  {
    std::lock_guard<std::mutex> g(m_errorLock);
    m_strRunError.clear();
  }
  HRESULT hr = BeginRun();
  if (FAILED(hr)) return abort(hr);
  // The pins of the run, and those that delivered data.
  const std::vector<CQueuedInputPin*> running = m_active;
  std::vector<CQueuedInputPin*> fed;
  while (!m_active.empty()) {
    std::unique_ptr<QueuedRecord> rec = WaitForRecord();
    if (!rec) break;
    const size_t stream = rec->m_bVideo ? 0 : 1;
    if (rec->m_dwFlags & QueuedRecord::TimeValid)
      m_position.Written(stream, rec->m_rtStop > rec->m_rtStart ? rec->m_rtStop : rec->m_rtStart);
    if (rec->m_dwFlags & QueuedRecord::EndOfStream) {
      m_position.Ended(stream);
      m_active.erase(std::remove(m_active.begin(), m_active.end(), rec->m_pPin), m_active.end());
      continue;
    }
    if (std::find(fed.begin(), fed.end(), rec->m_pPin) == fed.end()) fed.push_back(rec->m_pPin);
    hr = TakeRecord(*rec);
    if (FAILED(hr)) return abort(hr);
  }
  // Every stream ended: one that brought nothing (its source's data all
  // unreadable or timed away) would be missing from the target.
  for (CQueuedInputPin* pin : running) {
    if (!m_active.empty() || std::find(fed.begin(), fed.end(), pin) != fed.end()) continue;
    std::unique_lock<std::mutex> g(m_errorLock);
    m_strRunError = "The " + pin->StreamName() + " could not be read: none of it reached the target\n";
    g.unlock();
    return abort(VFW_E_SAMPLE_REJECTED);
  }
  hr = EndRun(m_active.empty());
  if (FAILED(hr)) return abort(hr);
  if (hr == S_OK) NotifyEvent(EC_COMPLETE, 0, 0);
}

std::string CQueuedSinkFilter::GetRunError() const {
  std::lock_guard<std::mutex> g(m_errorLock);
  return m_strRunError;
}

std::unique_ptr<QueuedRecord> CQueuedSinkFilter::NextRecord(const std::vector<CQueuedInputPin*>& active,
                                                           bool releaseWaits) {
  CQueuedInputPin* chosen = nullptr;
  REFERENCE_TIME best = 0;
  bool anyEmpty = false;
  bool atOnce = false;
  for (CQueuedInputPin* pin : active) {
    pin->PeekSample([&](const QueuedRecord* head) {
      if (!head) {
        anyEmpty = true;
        return;
      }
      const DWORD f = head->m_dwFlags;
      if (!(f & QueuedRecord::TimeValid) || (f & (QueuedRecord::LateKey | QueuedRecord::EndOfStream))) {
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
    if (releaseWaits)
      for (CQueuedInputPin* pin : active) pin->ReleaseWaits();
    return nullptr;
  }
  return chosen ? chosen->PopSample() : nullptr;
}

// ---------------------------------------------------------------------------
// IMediaSeeking

STDMETHODIMP CQueuedSinkFilter::GetCurrentPosition(LONGLONG* current) {
  CheckPointer(current, E_POINTER);
  *current = m_position.Get();
  return S_OK;
}

