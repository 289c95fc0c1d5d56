#include "foundation/BaseSplitter.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>

#include "foundation/AsyncFileReader.h"

namespace {

constexpr DWORD kSeekingCaps = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards |
                               AM_SEEKING_CanSeekBackwards | AM_SEEKING_CanGetStopPos |
                               AM_SEEKING_CanGetDuration;

// Flow control: a continuous stream below these is running dry.
constexpr size_t kLowPackets = 10;
constexpr int64_t kLowBytes = 102400;
// ... and below these it is close enough to empty to favour the demuxer.
constexpr size_t kStarvingPackets = 3;
constexpr int64_t kStarvingBytes = 34133;
// All queues together above these: delivery gets its priority back.
constexpr size_t kRestorePackets = 6666;
constexpr int64_t kRestoreBytes = 3495254;
// All queues together may hold this much.
constexpr size_t kMaxPackets = 10000;
constexpr int64_t kMaxBytes = 5242880;
// A demux thread waiting for room wakes once this share of the limits has
// been taken (or a continuous stream runs low), not for every packet; and
// looks again after this long whatever happened.
constexpr int64_t kRoomWakeShare = 8;
constexpr DWORD kRoomWaitMs = 20;

// Relative positions from outside must not overflow.
REFERENCE_TIME AddTimes(REFERENCE_TIME a, REFERENCE_TIME b) {
  REFERENCE_TIME r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN + 1;
  return r;
}

}  // namespace

// ---------------------------------------------------------------------------
// CBaseSplitterInputPin

CBaseSplitterInputPin::CBaseSplitterInputPin(LPCTSTR name, CBaseSplitterFilter* filter, CCritSec* lock,
                                             HRESULT* phr)
    : CBasePin(name, filter, lock, phr, L"Input", PINDIR_INPUT), m_pSplitter(filter) {}

CBaseSplitterInputPin::~CBaseSplitterInputPin() {
  if (m_pAsyncReader) m_pAsyncReader->Release();
}

HRESULT CBaseSplitterInputPin::CheckMediaType(const CMediaType*) { return S_OK; }

HRESULT CBaseSplitterInputPin::CheckConnect(IPin* pin) {
  HRESULT hr = CBasePin::CheckConnect(pin);
  if (FAILED(hr)) return hr;
  CComPtr<IAsyncReader> reader;
  if (FAILED(pin->QueryInterface(IID_IAsyncReader, reinterpret_cast<void**>(&reader))) || !reader)
    return E_NOINTERFACE;
  return S_OK;
}

HRESULT CBaseSplitterInputPin::CompleteConnect(IPin* pin) {
  HRESULT hr = CBasePin::CompleteConnect(pin);
  if (FAILED(hr)) return hr;
  if (m_pAsyncReader) {
    m_pAsyncReader->Release();
    m_pAsyncReader = nullptr;
  }
  if (FAILED(pin->QueryInterface(IID_IAsyncReader, reinterpret_cast<void**>(&m_pAsyncReader))) ||
      !m_pAsyncReader) {
    m_pAsyncReader = nullptr;
    return E_NOINTERFACE;
  }
  hr = m_pSplitter->CompleteConnect(PINDIR_INPUT, this);
  return FAILED(hr) ? hr : S_OK;
}

HRESULT CBaseSplitterInputPin::BreakConnect() {
  HRESULT hr = CBasePin::BreakConnect();
  if (FAILED(hr)) return hr;
  m_pSplitter->DeleteOutputs();
  if (m_pAsyncReader) {
    m_pAsyncReader->Release();
    m_pAsyncReader = nullptr;
  }
  return S_OK;
}

STDMETHODIMP CBaseSplitterInputPin::BeginFlush() { return E_UNEXPECTED; }
STDMETHODIMP CBaseSplitterInputPin::EndFlush() { return E_UNEXPECTED; }

// ---------------------------------------------------------------------------
// CBaseSplitterFilter: construction, pins, connection

CBaseSplitterFilter::CBaseSplitterFilter(LPCTSTR name, LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid)
    : CBaseFilter(name, outer, static_cast<CCritSec*>(this), clsid), CMediaTimeSeeking(kSeekingCaps) {
  HRESULT hr = S_OK;
  m_pInput = std::make_unique<CBaseSplitterInputPin>(NAME("CBaseSplitterInputPin"), this, this, &hr);
  if (phr) *phr = hr;
}

void CBaseSplitterFilter::StopDemuxThread() {
  CAutoLock lock(this);
  if (ThreadExists()) {
    CallWorker(CMD_EXIT);
    Close();
  }
}

CBaseSplitterFilter::~CBaseSplitterFilter() {
  StopDemuxThread();
  CAutoLock lock(this);
  // Delivery threads end while their pins are still whole.
  for (auto& pin : m_pOutputs)
    if (pin->IsDeliveryThreadRunning()) pin->Inactive();
  m_pActivePins.clear();
  m_pTimedPins.clear();
  m_bDiscontinuitySent.clear();
  m_LastSeekers.clear();
  m_pPinMap.clear();
  m_pRetiredOutputs.clear();
  m_pOutputs.clear();
  m_pInput.reset();
  m_pSyncReader.Release();
  m_pFileReader.Release();
  m_fontinst.Uninstall();
}

HRESULT STDMETHODCALLTYPE CBaseSplitterFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  *ppv = nullptr;
  if (riid == IID_IFileSourceFilter) {
    if (m_pInput) return E_NOINTERFACE;
    return GetInterfaceAs<IFileSourceFilter>(this, ppv);
  }
  if (riid == IID_IMediaSeeking) return GetInterfaceAs<IMediaSeeking>(this, ppv);
  if (riid == IID_IAMOpenProgress) return GetInterfaceAs<IAMOpenProgress>(this, ppv);
  if (riid == IID_IAMMediaContent) return GetInterfaceAs<IAMMediaContent>(this, ppv);
  if (riid == IID_IAMExtendedSeeking) return GetInterfaceAs<IAMExtendedSeeking>(this, ppv);
  if (riid == IID_IKeyFrameInfo) return GetInterfaceAs<IKeyFrameInfo>(this, ppv);
  if (riid == IID_IBufferInfo) return GetInterfaceAs<IBufferInfo>(this, ppv);
  if (riid == IID_IRunReport) return GetInterfaceAs<IRunReport>(this, ppv);
  if (riid == IID_IPropertyBag) return GetInterfaceAs<IPropertyBag>(this, ppv);
  if (riid == IID_IPropertyBag2) return GetInterfaceAs<IPropertyBag2>(this, ppv);
  if (riid == IID_IDSMPropertyBag) return GetInterfaceAs<IDSMPropertyBag>(this, ppv);
  if (riid == IID_IDSMResourceBag) return GetInterfaceAs<IDSMResourceBag>(this, ppv);
  if (riid == IID_IDSMChapterBag) return GetInterfaceAs<IDSMChapterBag>(this, ppv);
  return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

// The pin table has its own lock: filters downstream walk it while they
// hold their own lock, which a connection from this filter's pins takes
// while holding the filter lock.
int CBaseSplitterFilter::GetPinCount() {
  CAutoLock lock(&m_csPinMap);
  return static_cast<int>(m_pOutputs.size()) + (m_pInput ? 1 : 0);
}

CBasePin* CBaseSplitterFilter::GetPin(int n) {
  CAutoLock lock(&m_csPinMap);
  if (n >= 0 && static_cast<size_t>(n) < m_pOutputs.size()) return m_pOutputs[static_cast<size_t>(n)].get();
  if (n >= 0 && static_cast<size_t>(n) == m_pOutputs.size()) return m_pInput.get();
  return nullptr;
}

HRESULT CBaseSplitterFilter::AddOutputPin(DWORD track, std::unique_ptr<CBaseSplitterOutputPin> pin) {
  if (!pin) return E_INVALIDARG;
  CAutoLock lock(&m_csPinMap);
  m_pPinMap[track] = pin.get();
  m_pOutputs.push_back(std::move(pin));
  IncrementPinVersion();
  return S_OK;
}

CBaseSplitterOutputPin* CBaseSplitterFilter::GetOutputPin(DWORD track) {
  CAutoLock lock(&m_csPinMap);
  auto it = m_pPinMap.find(track);
  return it == m_pPinMap.end() ? nullptr : it->second;
}

HRESULT CBaseSplitterFilter::RenameOutputPin(DWORD oldTrack, DWORD newTrack, const AM_MEDIA_TYPE* pmt) {
  CAutoLock lock(&m_csPinMap);
  auto it = m_pPinMap.find(oldTrack);
  if (it == m_pPinMap.end()) return E_FAIL;
  CBaseSplitterOutputPin* pin = it->second;
  if (pmt && pin->IsConnected()) {
    CComPtr<IPin> peer = pin->GetConnected();
    if (peer->QueryAccept(pmt) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;
  }
  m_pPinMap.erase(it);
  m_pPinMap[newTrack] = pin;
  if (pmt) {
    CAutoLock lockTypes(&m_csmtnew);
    m_mtnew[newTrack] = CMediaType(*pmt);
  }
  return S_OK;
}

HRESULT CBaseSplitterFilter::DeleteOutputs() {
  CAutoLock lock(this);
  if (!IsStopped()) return VFW_E_NOT_STOPPED;
  m_rtDuration = 0;

  for (auto& pin : m_pOutputs) {
    CComPtr<IPin> peer = pin->GetConnected();
    if (peer) {
      peer->Disconnect();
      pin->Disconnect();
    }
  }
  {
    CAutoLock lockMap(&m_csPinMap);
    for (auto& pin : m_pOutputs) m_pRetiredOutputs.push_back(std::move(pin));
    m_pOutputs.clear();
    IncrementPinVersion();
    m_pPinMap.clear();
  }
  {
    CAutoLock lockTypes(&m_csmtnew);
    m_mtnew.clear();
  }
  RemoveAllProperties();
  RemoveResourcesByTag(0);
  RemoveAllChapters();
  m_fontinst.Uninstall();
  m_pSyncReader.Release();
  m_pFileReader.Release();
  m_damage.Clear();
  {
    std::lock_guard<std::mutex> failure(m_damageFailureLock);
    m_damageFailure.clear();
  }
  return S_OK;
}

HRESULT CBaseSplitterFilter::OpenReader(IAsyncReader* reader) {
  HRESULT hr = DeleteOutputs();
  if (FAILED(hr)) return hr;
  hr = CreateOutputs(reader);
  if (FAILED(hr)) return hr;
  SortChapters();
  m_pSyncReader.Release();
  reader->QueryInterface(IID_ISyncReader, reinterpret_cast<void**>(&m_pSyncReader));
  return S_OK;
}

HRESULT CBaseSplitterFilter::CompleteConnect(PIN_DIRECTION dir, CBasePin* pin) {
  CheckPointer(pin, E_POINTER);
  if (dir == PINDIR_INPUT) {
    auto* in = dynamic_cast<CBaseSplitterInputPin*>(pin);
    IAsyncReader* reader = in ? in->GetAsyncReader() : nullptr;
    if (!reader) return VFW_E_NOT_CONNECTED;
    return OpenReader(reader);
  }
  // Retired outputs are kept until the filter goes: nothing to free here.
  if (dir == PINDIR_OUTPUT) return S_OK;
  return E_UNEXPECTED;
}

// ---------------------------------------------------------------------------
// IFileSourceFilter

STDMETHODIMP CBaseSplitterFilter::Load(LPCOLESTR fileName, const AM_MEDIA_TYPE*) {
  CheckPointer(fileName, E_POINTER);
  CAutoLock lock(this);
  HRESULT hr = S_OK;
  CComPtr<IAsyncReader> reader(static_cast<IAsyncReader*>(new CAsyncFileReader(fileName, &hr)));
  if (FAILED(hr)) return hr;
  hr = OpenReader(reader);
  if (FAILED(hr)) return hr;
  m_fn = fileName;
  m_pFileReader = reader;
  return S_OK;
}

STDMETHODIMP CBaseSplitterFilter::GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE*) {
  CheckPointer(fileName, E_POINTER);
  CAutoLock lock(this);
  size_t bytes = (m_fn.size() + 1) * sizeof(WCHAR);
  *fileName = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
  if (!*fileName) return E_OUTOFMEMORY;
  std::wmemcpy(*fileName, m_fn.c_str(), m_fn.size() + 1);
  return S_OK;
}

// ---------------------------------------------------------------------------
// State, flushing and the demux thread

void CBaseSplitterFilter::DeliverBeginFlush() {
  m_fFlushing = true;
  // A new segment must wait for this flush's end, not an older one.
  m_eEndFlush.Reset();
  for (auto& pin : m_pOutputs) pin->DeliverBeginFlush();
}

void CBaseSplitterFilter::DeliverEndFlush() {
  for (auto& pin : m_pOutputs) pin->DeliverEndFlush();
  m_fFlushing = false;
  m_eEndFlush.Set();
}

STDMETHODIMP CBaseSplitterFilter::Stop() {
  CAutoLock lock(this);
  DeliverBeginFlush();
  if (ThreadExists()) {
    CallWorker(CMD_EXIT);
    Close();
  }
  // The delivery threads end while downstream is still flushing: a thread
  // released from a blocked Receive could otherwise deliver its next
  // packet into a Receive that blocks again, and Stop would wait for ever.
  for (auto& pin : m_pOutputs) pin->ReleaseFlushWait();
  HRESULT hr = CBaseFilter::Stop();
  DeliverEndFlush();
  return FAILED(hr) ? hr : S_OK;
}

STDMETHODIMP CBaseSplitterFilter::Pause() {
  CAutoLock lock(this);
  const bool wasStopped = IsStopped();
  HRESULT hr = CBaseFilter::Pause();
  if (FAILED(hr)) return hr;
  if (wasStopped) Create();
  return S_OK;
}

STDMETHODIMP CBaseSplitterFilter::Run(REFERENCE_TIME start) {
  CAutoLock lock(this);
  HRESULT hr = CBaseFilter::Run(start);
  return FAILED(hr) ? hr : S_OK;
}

void CBaseSplitterFilter::SetDeliveryPriority(int priority) {
  for (auto& pin : m_pOutputs) pin->SetDeliveryPriority(priority);
}

void CBaseSplitterFilter::CheckUnreadableTail() {
  LONGLONG from = 0;
  const REFERENCE_TIME reached = m_rtCurrent, duration = m_rtDuration;
  // Damage in the last second, or in a source of unknown length, costs
  // too little to fail for: the log says what was skipped.
  if (!m_damage.UnreadableTail(from) || duration <= 0 || reached >= duration - UNITS) return;
  char text[200];
  std::snprintf(text, sizeof text,
                "The source is damaged from byte %lld on: nothing after it could be read (%.1f s of %.1f s)\n",
                static_cast<long long>(from), reached / 1e7, duration / 1e7);
  {
    std::lock_guard<std::mutex> failure(m_damageFailureLock);
    if (!m_damageFailure.empty()) return;
    m_damageFailure = text;
  }
  NotifyEvent(EC_ERRORABORT, E_FAIL, 0);
}

void CBaseSplitterFilter::EndOnStartupFailure() {
  for (auto& pin : m_pOutputs)
    if (pin->IsConnected()) pin->QueuePacket(nullptr);
  NotifyEvent(EC_ERRORABORT, E_FAIL, 0);
}

DWORD CBaseSplitterFilter::ThreadProc() {
  // A read blocked on a growing stream gives up when a command arrives.
  if (m_pSyncReader) m_pSyncReader->SetBreakEvent(GetRequestHandle());

  if (!DemuxInit()) {
    EndOnStartupFailure();
    for (;;) {
      DWORD cmd = GetRequest();
      Reply(S_OK);
      if (cmd == CMD_EXIT) return 0;
    }
  }

  m_eEndFlush.Set();
  m_fFlushing = false;

  constexpr DWORD kNoCommand = 0xFFFFFFFFu;
  for (DWORD cmd = kNoCommand;; cmd = GetRequest()) {
    if (cmd == CMD_EXIT) {
      Reply(S_OK);
      return 0;
    }

    m_priority = 0;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);

    m_rtStart = m_rtNewStart.load();
    m_rtStop = m_rtNewStop.load();
    DemuxSeek(m_rtStart);

    // The seeking caller goes on (and ends its flush) while we wait.
    if (cmd != kNoCommand) Reply(S_OK);
    m_eEndFlush.Wait();

    m_pActivePins.clear();
    m_pTimedPins.clear();
    for (auto& pin : m_pOutputs) {
      if (m_fFlushing) break;
      if (pin->IsConnected()) m_pTimedPins.push_back(pin.get());
      if (pin->IsConnected() && pin->IsDownstreamActive()) {
        m_pActivePins.push_back(pin.get());
        pin->DeliverNewSegment(m_rtStart, m_rtStop, m_dRate);
      }
    }

    m_bDiscontinuitySent.clear();
    RestartTimeline(0, m_rtDuration);
    do {
      m_bDiscontinuitySent.clear();
    } while (!DemuxLoop());
    // At the end of the data what the time line still holds goes out; a
    // stop or a seek drops it.
    if (!CheckRequest(nullptr)) {
      Timeline().Flush(m_ready);
      QueueReady();
    }

    for (CBaseSplitterOutputPin* pin : m_pActivePins) {
      if (CheckRequest(nullptr)) break;
      pin->QueuePacket(nullptr);
    }
    if (!CheckRequest(nullptr)) CheckUnreadableTail();
  }
}

HRESULT CBaseSplitterFilter::DeliverPacket(std::unique_ptr<Packet> p) {
  CheckPointer(p, E_POINTER);
  CBaseSplitterOutputPin* pin = GetOutputPin(p->TrackNumber);
  if (!pin || !pin->IsConnected() ||
      std::find(m_pTimedPins.begin(), m_pTimedPins.end(), pin) == m_pTimedPins.end())
    return S_FALSE;

  // What follows a skip continues nothing before it, in any stream; the
  // first packet of each stream starts it.
  if (m_bSkipped.exchange(false)) m_bDiscontinuitySent.clear();
  const DWORD track = p->TrackNumber;
  if (std::find(m_bDiscontinuitySent.begin(), m_bDiscontinuitySent.end(), track) == m_bDiscontinuitySent.end()) {
    p->bDiscontinuity = TRUE;
    m_bDiscontinuitySent.push_back(track);
  }

  // The shared time line decides what the packet's times mean, and may hold
  // it until the other streams show where they go on.
  Timeline().Add(std::move(p), m_ready);
  return QueueReady();
}

HRESULT CBaseSplitterFilter::QueueReady() {
  HRESULT hr = S_OK;
  for (auto& p : m_ready) {
    const HRESULT queued = Queue(std::move(p));
    if (FAILED(queued) && SUCCEEDED(hr)) hr = queued;
  }
  m_ready.clear();
  return hr;
}

HRESULT CBaseSplitterFilter::Queue(std::unique_ptr<Packet> p) {
  CBaseSplitterOutputPin* pin = GetOutputPin(p->TrackNumber);
  if (!pin || std::find(m_pActivePins.begin(), m_pActivePins.end(), pin) == m_pActivePins.end()) return S_FALSE;

  if (p->rtStart != INVALID_TIME) {
    m_rtCurrent = p->rtStart;
    // Only set times move with the segment; the unset mark stays unset.
    const REFERENCE_TIME segmentStart = m_rtStart;
    p->rtStart -= segmentStart;
    if (p->rtStop != INVALID_TIME) p->rtStop -= segmentStart;
  }

  {
    CAutoLock lock(&m_csmtnew);
    auto it = m_mtnew.find(p->TrackNumber);
    if (it != m_mtnew.end()) {
      p->SetMediaType(it->second);
      m_mtnew.erase(it);
    }
  }

  HRESULT hr = pin->QueuePacket(std::move(p));
  if (hr == S_OK) return S_OK;
  // One failing stream does not stop the others.
  m_pActivePins.erase(std::remove(m_pActivePins.begin(), m_pActivePins.end(), pin), m_pActivePins.end());
  return m_pActivePins.empty() ? hr : S_OK;
}

CStreamTimeline& CBaseSplitterFilter::Timeline() {
  if (!m_pTimeline) m_pTimeline = CreateTimeline(&m_damage);
  return *m_pTimeline;
}

std::unique_ptr<CStreamTimeline> CBaseSplitterFilter::CreateTimeline(CDamageLog* log) {
  return std::make_unique<CStreamTimeline>(log);
}

void CBaseSplitterFilter::RestartTimeline(REFERENCE_TIME offset, REFERENCE_TIME length) {
  CStreamTimeline& line = Timeline();
  line.Reset(offset, length);
  m_ready.clear();
  // The streams read; the others are never waited for. Those not delivered
  // are dropped once timed (Queue).
  for (CBaseSplitterOutputPin* pin : m_pTimedPins) {
    CAutoLock lock(&m_csPinMap);
    for (const auto& [track, mapped] : m_pPinMap)
      if (mapped == pin) line.AddStream(track, pin->CurrentMediaType());
  }
}

void CBaseSplitterFilter::Skipped(LONGLONG from, LONGLONG to, bool toEnd) {
  if (from < 0 || to <= from) return;
  m_damage.Skipped(from, to, toEnd);
  m_bSkipped = true;
}

void CBaseSplitterFilter::TellDamageOf(CBaseSplitterFile& file) {
  file.SetDamageSink([this](LONGLONG from, LONGLONG to, bool toEnd) { Skipped(from, to, toEnd); });
}

void CBaseSplitterFilter::ArmRoomWait() {
  m_nTakenBytes = 0;
  m_nTakenPackets = 0;
  m_bWaitingForRoom = true;
}

void CBaseSplitterFilter::WaitForRoom() {
  m_eRoom.Wait(kRoomWaitMs);
  m_bWaitingForRoom = false;
}

void CBaseSplitterFilter::OnPacketTaken(int64_t bytes, size_t count, int64_t size, bool sparse) {
  if (!m_bWaitingForRoom.load()) return;
  const int64_t taken = m_nTakenBytes += bytes;
  const int64_t packets = ++m_nTakenPackets;
  const bool low = !sparse && (count < kLowPackets || size < kLowBytes);
  if (low || taken >= kMaxBytes / kRoomWakeShare || packets >= static_cast<int64_t>(kMaxPackets) / kRoomWakeShare)
    m_eRoom.Set();
}

bool CBaseSplitterFilter::ReadyForMoreData() {
  size_t count = 0;
  int64_t size = 0;
  for (CBaseSplitterOutputPin* pin : m_pActivePins) {
    const size_t c = pin->QueueCount();
    const int64_t s = pin->QueueSize();
    if (!pin->IsSparseStream() && (c < kLowPackets || s < kLowBytes)) {
      if (m_priority != -1 && (c < kStarvingPackets || s < kStarvingBytes)) {
        SetDeliveryPriority(THREAD_PRIORITY_BELOW_NORMAL);
        m_priority = -1;
      }
      return true;
    }
    count += c;
    size += s;
  }
  if (m_priority != 0 && (count > kRestorePackets || size >= kRestoreBytes)) {
    SetDeliveryPriority(THREAD_PRIORITY_NORMAL);
    m_priority = 0;
  }
  return count < kMaxPackets && size < kMaxBytes;
}

// ---------------------------------------------------------------------------
// Seeking

HRESULT CBaseSplitterFilter::SetPositionsInternal(void* caller, LONGLONG* current, DWORD currentFlags,
                                                  LONGLONG* stop, DWORD stopFlags) {
  CAutoLock lock(this);
  if (!current && !stop) return S_OK;
  const DWORD currentMode = currentFlags & AM_SEEKING_PositioningBitsMask;
  const DWORD stopMode = stopFlags & AM_SEEKING_PositioningBitsMask;
  if (currentMode == AM_SEEKING_NoPositioning && stopMode == AM_SEEKING_NoPositioning) return S_OK;

  REFERENCE_TIME rtCurrent = m_rtCurrent, rtStop = m_rtStop;
  if (current) {
    if (currentMode == AM_SEEKING_AbsolutePositioning)
      rtCurrent = *current;
    else if (currentMode != AM_SEEKING_NoPositioning)
      rtCurrent = AddTimes(rtCurrent, *current);
  }
  if (stop) {
    if (stopMode == AM_SEEKING_AbsolutePositioning)
      rtStop = *stop;
    else if (stopMode == AM_SEEKING_RelativePositioning)
      rtStop = AddTimes(rtStop, *stop);
    else if (stopMode == AM_SEEKING_IncrementalPositioning)
      rtStop = AddTimes(rtCurrent, *stop);
  }

  if (rtCurrent == m_rtCurrent && rtStop == m_rtStop) return S_OK;

  // The pins of one filter all forward the same request: act on it once.
  if (rtCurrent == m_rtLastStart && rtStop == m_rtLastStop &&
      std::find(m_LastSeekers.begin(), m_LastSeekers.end(), caller) == m_LastSeekers.end()) {
    m_LastSeekers.push_back(caller);
    return S_OK;
  }

  m_rtLastStart = rtCurrent;
  m_rtLastStop = rtStop;
  m_LastSeekers.assign(1, caller);

  m_rtCurrent = rtCurrent;
  m_rtNewStart = rtCurrent;
  m_rtNewStop = rtStop;

  if (ThreadExists()) {
    DeliverBeginFlush();
    CallWorker(CMD_SEEK);
    DeliverEndFlush();
  }
  return S_OK;
}

STDMETHODIMP CBaseSplitterFilter::SetTimeFormat(const GUID* format) {
  return IsFormatSupported(format) == S_OK ? S_OK : E_INVALIDARG;
}

STDMETHODIMP CBaseSplitterFilter::GetDuration(LONGLONG* duration) {
  CheckPointer(duration, E_POINTER);
  *duration = m_rtDuration;
  return S_OK;
}

STDMETHODIMP CBaseSplitterFilter::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                               DWORD stopFlags) {
  return SetPositionsInternal(this, current, currentFlags, stop, stopFlags);
}

STDMETHODIMP CBaseSplitterFilter::GetPositions(LONGLONG* current, LONGLONG* stop) {
  if (current) *current = m_rtCurrent;
  if (stop) *stop = m_rtStop;
  return S_OK;
}

STDMETHODIMP CBaseSplitterFilter::GetAvailable(LONGLONG* earliest, LONGLONG* latest) {
  if (earliest) *earliest = 0;
  return GetDuration(latest);
}

STDMETHODIMP CBaseSplitterFilter::SetRate(double rate) {
  if (!(rate > 0)) return E_INVALIDARG;
  m_dRate = rate;
  return S_OK;
}

STDMETHODIMP CBaseSplitterFilter::GetRate(double* rate) {
  CheckPointer(rate, E_POINTER);
  *rate = m_dRate;
  return S_OK;
}

// ---------------------------------------------------------------------------
// IAMOpenProgress

STDMETHODIMP CBaseSplitterFilter::QueryProgress(LONGLONG* total, LONGLONG* current) {
  CheckPointer(total, E_POINTER);
  CheckPointer(current, E_POINTER);
  *total = 100;
  *current = m_nOpenProgress;
  return S_OK;
}

STDMETHODIMP CBaseSplitterFilter::AbortOperation() {
  m_fAbort = true;
  return S_OK;
}

// ---------------------------------------------------------------------------
// Automation and media content

STDMETHODIMP CBaseSplitterFilter::GetTypeInfoCount(UINT*) { return E_NOTIMPL; }
STDMETHODIMP CBaseSplitterFilter::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
STDMETHODIMP CBaseSplitterFilter::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
STDMETHODIMP CBaseSplitterFilter::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return E_NOTIMPL;
}

STDMETHODIMP CBaseSplitterFilter::get_AuthorName(BSTR* value) { return GetProperty(L"AUTH", value); }
STDMETHODIMP CBaseSplitterFilter::get_Title(BSTR* value) { return GetProperty(L"TITL", value); }
STDMETHODIMP CBaseSplitterFilter::get_Rating(BSTR* value) { return GetProperty(L"RTNG", value); }
STDMETHODIMP CBaseSplitterFilter::get_Description(BSTR* value) { return GetProperty(L"DESC", value); }
STDMETHODIMP CBaseSplitterFilter::get_Copyright(BSTR* value) { return GetProperty(L"CPYR", value); }
STDMETHODIMP CBaseSplitterFilter::get_BaseURL(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP CBaseSplitterFilter::get_LogoURL(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP CBaseSplitterFilter::get_LogoIconURL(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP CBaseSplitterFilter::get_WatermarkURL(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP CBaseSplitterFilter::get_MoreInfoURL(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP CBaseSplitterFilter::get_MoreInfoBannerImage(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP CBaseSplitterFilter::get_MoreInfoBannerURL(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP CBaseSplitterFilter::get_MoreInfoText(BSTR*) { return E_NOTIMPL; }

// ---------------------------------------------------------------------------
// IAMExtendedSeeking

STDMETHODIMP CBaseSplitterFilter::get_ExSeekCapabilities(LONG* capabilities) {
  CheckPointer(capabilities, E_POINTER);
  *capabilities = AM_EXSEEK_CANSEEK;
  if (GetChapterCount() > 0) *capabilities |= AM_EXSEEK_MARKERSEEK;
  return S_OK;
}

STDMETHODIMP CBaseSplitterFilter::get_MarkerCount(LONG* count) {
  CheckPointer(count, E_POINTER);
  *count = static_cast<LONG>(GetChapterCount());
  return S_OK;
}

STDMETHODIMP CBaseSplitterFilter::get_CurrentMarker(LONG* marker) {
  CheckPointer(marker, E_POINTER);
  REFERENCE_TIME at = m_rtCurrent;
  LONG index = FindChapter(&at, nullptr);
  if (index < 0) return E_FAIL;
  *marker = index + 1;
  return S_OK;
}

STDMETHODIMP CBaseSplitterFilter::GetMarkerTime(LONG marker, double* time) {
  CheckPointer(time, E_POINTER);
  REFERENCE_TIME start = 0;
  if (marker < 1 || FAILED(GetChapter(static_cast<DWORD>(marker - 1), &start, nullptr))) return E_FAIL;
  *time = static_cast<double>(start) / UNITS;
  return S_OK;
}

STDMETHODIMP CBaseSplitterFilter::GetMarkerName(LONG marker, BSTR* name) {
  CheckPointer(name, E_POINTER);
  if (marker < 1) return E_INVALIDARG;
  return GetChapter(static_cast<DWORD>(marker - 1), nullptr, name);
}

STDMETHODIMP CBaseSplitterFilter::put_PlaybackSpeed(double) { return E_NOTIMPL; }
STDMETHODIMP CBaseSplitterFilter::get_PlaybackSpeed(double*) { return E_NOTIMPL; }

// ---------------------------------------------------------------------------
// IKeyFrameInfo, IBufferInfo

STDMETHODIMP CBaseSplitterFilter::KeyFrameCount(UINT&) { return E_NOTIMPL; }
STDMETHODIMP CBaseSplitterFilter::GetKeyFrames(const GUID*, REFERENCE_TIME*, UINT&) { return E_NOTIMPL; }

STDMETHODIMP_(int) CBaseSplitterFilter::GetCount() {
  CAutoLock lock(this);
  return static_cast<int>(m_pOutputs.size());
}

STDMETHODIMP CBaseSplitterFilter::GetStatus(int index, int& samples, int& size) {
  CAutoLock lock(this);
  if (index < 0 || static_cast<size_t>(index) >= m_pOutputs.size()) return E_INVALIDARG;
  CBaseSplitterOutputPin* pin = m_pOutputs[static_cast<size_t>(index)].get();
  samples = static_cast<int>(std::min<size_t>(pin->QueueCount(), INT32_MAX));
  size = static_cast<int>(std::min<int64_t>(pin->QueueSize(), INT32_MAX));
  return pin->IsConnected() ? S_OK : S_FALSE;
}

STDMETHODIMP_(DWORD) CBaseSplitterFilter::GetPriority() { return static_cast<DWORD>(m_priority.load()); }

// ---------------------------------------------------------------------------
// IRunReport

std::string CBaseSplitterFilter::GetRunNote() const {
  // A run that failed for the damage says so in its failure text.
  return m_damage.Report(GetRunError().empty());
}

std::string CBaseSplitterFilter::GetRunError() const {
  std::lock_guard<std::mutex> failure(m_damageFailureLock);
  return m_damageFailure;
}
