#include "foundation/BaseSplitterOutputPin.h"

#include <climits>
#include <cstring>

#include "foundation/BaseSplitter.h"
#include "foundation/FilterHelpers.h"

namespace {

// The stream types that carry occasional data only (subtitles and text).
PELLOMAR_DEFINE_GUID(MEDIATYPE_SubtitleStream, "E487EB08-6B26-4BE9-9DD3-993434D313FD");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_SvcdSubpicture, "7B57308F-5154-4C36-B903-52FE76E184FC");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_CvdSubpicture, "DA5B82EE-6BD2-426F-BF1E-30112DA78AE1");
// A type whose decoder wants at least two buffers.
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_TwoBufferStream, "CDDCA2D5-6D75-4F98-840E-737BEDD5C63B");
PELLOMAR_DEFINE_GUID(FORMAT_TwoBufferStream, "6BDDFA7E-9F22-46A9-AB5E-884EFF294D9F");

// The only command the delivery thread is sent.
constexpr DWORD CMD_EXIT_THREAD = 0;

constexpr REFERENCE_TIME kBitRateWindow = UNITS;
constexpr int64_t kMaxQueueBytes = 524288000;
// An idle delivery thread waits for data or a command; this only bounds the
// wait.
constexpr DWORD kIdleWaitMs = 250;
// Bounds the downstream walks against a graph with a loop.
constexpr int kMaxChainLength = 64;

// The next pin downstream of `pin`'s peer filter: the peer filter's first
// output pin. Borrowed pointers.
IPin* NextOutputDownstream(IPin* connected) {
  IBaseFilter* filter = GetFilterFromPin(connected);
  return filter ? GetFirstPinByDirection(filter, PINDIR_OUTPUT) : nullptr;
}

}  // namespace

CBaseSplitterOutputPin::CBaseSplitterOutputPin(const std::vector<CMediaType>& mts, LPCWSTR name,
                                               CBaseSplitterFilter* filter, CCritSec* lock, HRESULT* phr,
                                               int buffers)
    : CBaseOutputPin(NAME("CBaseSplitterOutputPin"), filter, lock, phr, name),
      m_pSplitter(filter),
      m_mts(mts),
      m_nBuffers(buffers < 1 ? 1 : buffers) {}

CBaseSplitterOutputPin::CBaseSplitterOutputPin(LPCWSTR name, CBaseSplitterFilter* filter, CCritSec* lock,
                                               HRESULT* phr, int buffers)
    : CBaseSplitterOutputPin(std::vector<CMediaType>(), name, filter, lock, phr, buffers) {}

CBaseSplitterOutputPin::~CBaseSplitterOutputPin() {
  // A pin destroyed without Inactive (a filter released while paused) must
  // not leave its thread running on a dead object.
  if (ThreadExists()) {
    CallWorker(CMD_EXIT_THREAD);
    Close();
  }
  m_queue.RemoveAll();
}

HRESULT STDMETHODCALLTYPE CBaseSplitterOutputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IMediaSeeking) return GetInterfaceAs<IMediaSeeking>(this, ppv);
  if (riid == IID_IPropertyBag) return GetInterfaceAs<IPropertyBag>(this, ppv);
  if (riid == IID_IPropertyBag2) return GetInterfaceAs<IPropertyBag2>(this, ppv);
  if (riid == IID_IDSMPropertyBag) return GetInterfaceAs<IDSMPropertyBag>(this, ppv);
  if (riid == IID_IBitRateInfo) return GetInterfaceAs<IBitRateInfo>(this, ppv);
  return CBaseOutputPin::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CBaseSplitterOutputPin::CheckMediaType(const CMediaType* pmt) {
  CheckPointer(pmt, E_POINTER);
  std::lock_guard<std::mutex> g(m_mtsLock);
  for (const CMediaType& mt : m_mts)
    if (mt == *pmt) return S_OK;
  return E_INVALIDARG;
}

HRESULT CBaseSplitterOutputPin::GetMediaType(int position, CMediaType* pmt) {
  CheckPointer(pmt, E_POINTER);
  if (position < 0) return E_INVALIDARG;
  std::lock_guard<std::mutex> g(m_mtsLock);
  if (static_cast<size_t>(position) >= m_mts.size()) return VFW_S_NO_MORE_ITEMS;
  return pmt->Set(m_mts[static_cast<size_t>(position)]);
}

void CBaseSplitterOutputPin::SetMediaTypes(std::vector<CMediaType> mts) {
  std::lock_guard<std::mutex> g(m_mtsLock);
  m_mts = std::move(mts);
}

HRESULT CBaseSplitterOutputPin::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  CheckPointer(alloc, E_POINTER);
  CheckPointer(request, E_POINTER);
  request->cBuffers = m_nBuffers;
  ULONG sampleSize = m_mt.GetSampleSize();
  request->cbBuffer = sampleSize ? static_cast<LONG>(sampleSize) : 1;
  if (m_mt.subtype == MEDIASUBTYPE_TwoBufferStream && m_mt.formattype == FORMAT_TwoBufferStream &&
      request->cBuffers < 3)
    request->cBuffers = 2;
  ALLOCATOR_PROPERTIES actual{};
  HRESULT hr = alloc->SetProperties(request, &actual);
  if (FAILED(hr)) return hr;
  return actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}

HRESULT CBaseSplitterOutputPin::Active() {
  CAutoLock lock(m_pLock);
  if (IsConnected() && !ThreadExists()) {
    // The thread's first steps set the delivery state; set it here too so
    // that packets queued before the thread runs are taken.
    m_hrDeliver = S_OK;
    m_fFlushing = false;
    m_fFlushed = false;
    m_eEndFlush.Set();
    if (Create()) m_threadRunning = true;
  }
  return CBaseOutputPin::Active();
}

HRESULT CBaseSplitterOutputPin::Inactive() {
  CAutoLock lock(m_pLock);
  // Decommit first: it wakes a delivery thread blocked for a buffer, which
  // could otherwise never see the exit command.
  HRESULT hr = CBaseOutputPin::Inactive();
  if (ThreadExists()) {
    m_threadRunning = false;
    CallWorker(CMD_EXIT_THREAD);
    Close();
  }
  return hr;
}

HRESULT CBaseSplitterOutputPin::DeliverBeginFlush() {
  m_eEndFlush.Reset();
  m_fFlushed = false;
  m_fFlushing = true;
  {
    std::lock_guard<std::mutex> g(m_queueGate);
    m_hrDeliver = S_FALSE;
    m_queue.RemoveAll();
  }
  m_pSplitter->WakeRoomWaiter();
  HRESULT hr = IsConnected() ? CBaseOutputPin::DeliverBeginFlush() : S_OK;
  if (FAILED(hr)) m_eEndFlush.Set();
  return hr;
}

HRESULT CBaseSplitterOutputPin::DeliverEndFlush() {
  // Downstream gets the end of every flush it was given, also once the
  // delivery thread has ended (Stop ends it inside the flush).
  HRESULT hr = IsConnected() ? CBaseOutputPin::DeliverEndFlush() : S_OK;
  m_hrDeliver = S_OK;
  m_fFlushing = false;
  m_fFlushed = true;
  m_eEndFlush.Set();
  return hr;
}

HRESULT CBaseSplitterOutputPin::DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  m_windowStart = INVALID_TIME;
  if (m_fFlushing) return S_FALSE;
  m_rtSegmentStart = start;
  if (!ThreadExists()) return S_FALSE;
  HRESULT hr = CBaseOutputPin::DeliverNewSegment(start, stop, rate);
  if (FAILED(hr)) return hr;
  PrimeTextRenderer();
  return S_OK;
}

void CBaseSplitterOutputPin::PrimeTextRenderer() {
  IPin* pin = GetConnected();
  for (int i = 0; pin && i < kMaxChainLength; ++i) {
    IBaseFilter* filter = GetFilterFromPin(pin);
    if (!filter) return;
    if (GetFilterClsid(filter) == CLSID_TextRender) {
      auto p = std::make_unique<Packet>();
      p->TrackNumber = 0xFFFFFFFFu;
      p->bSyncPoint = FALSE;
      p->rtStart = -1;
      p->rtStop = 0;
      p->assign({0x20, 0x00});
      QueuePacket(std::move(p));
      return;
    }
    IPin* out = GetFirstPinByDirection(filter, PINDIR_OUTPUT);
    if (!out) return;
    CComPtr<IPin> next;
    if (FAILED(out->ConnectedTo(&next)) || !next) return;
    pin = next;  // kept alive by the graph's connection
  }
}

bool CBaseSplitterOutputPin::IsDownstreamActive() {
  CComPtr<IPin> pin = GetConnected();
  for (int i = 0; pin && i < kMaxChainLength; ++i) {
    CComPtr<IStreamSwitcherInputPin> switcher;
    if (SUCCEEDED(pin->QueryInterface(IID_IStreamSwitcherInputPin, reinterpret_cast<void**>(&switcher))) &&
        switcher && !switcher->IsActive())
      return false;
    IPin* out = NextOutputDownstream(pin);
    if (!out) return true;
    CComPtr<IPin> next;
    if (FAILED(out->ConnectedTo(&next)) || !next) return true;
    pin = next;
  }
  return true;
}

HRESULT CBaseSplitterOutputPin::SetName(LPCWSTR name) {
  CheckPointer(name, E_POINTER);
  CBasePin::SetName(name);
  return S_OK;
}

bool CBaseSplitterOutputPin::IsSparseStream() {
  const CMediaType& mt = m_mt;
  return mt.majortype == MEDIATYPE_Text || mt.majortype == MEDIATYPE_ScriptCommand ||
         mt.majortype == MEDIATYPE_SubtitleStream || mt.subtype == MEDIASUBTYPE_DVD_SUBPICTURE ||
         mt.subtype == MEDIASUBTYPE_SvcdSubpicture || mt.subtype == MEDIASUBTYPE_CvdSubpicture;
}

void CBaseSplitterOutputPin::SetDeliveryPriority(int priority) {
  if (ThreadExists()) SetThreadPriority(m_hThread, priority);
}

HRESULT CBaseSplitterOutputPin::QueuePacket(std::unique_ptr<Packet> p) {
  if (!m_threadRunning) return S_FALSE;
  auto full = [&] { return !m_pSplitter->ReadyForMoreData() || m_queue.GetSize() > kMaxQueueBytes; };
  while (m_hrDeliver == S_OK && full()) {
    m_pSplitter->ArmRoomWait();
    if (m_hrDeliver != S_OK || !full()) {
      m_pSplitter->DisarmRoomWait();
      break;
    }
    m_pSplitter->WaitForRoom();
  }
  std::lock_guard<std::mutex> g(m_queueGate);
  HRESULT hr = m_hrDeliver;
  if (hr != S_OK) return hr;
  m_queue.Add(std::move(p));
  m_eQueued.Set();
  return hr;
}

DWORD CBaseSplitterOutputPin::ThreadProc() {
  m_hrDeliver = S_OK;
  m_fFlushing = false;
  m_fFlushed = false;
  m_eEndFlush.Set();
  Sleep(1);

  while (!CheckRequest(nullptr)) {
    size_t count;
    do {
      count = m_queue.GetCount();
      if (count == 0) break;
      std::unique_ptr<Packet> p = m_queue.Remove();
      m_pSplitter->OnPacketTaken(p ? static_cast<int64_t>(p->size()) : 0, m_queue.GetCount(), m_queue.GetSize(),
                                 IsSparseStream());
      if (m_hrDeliver != S_OK) continue;  // delivery stopped: drop
      m_fFlushed = false;
      const bool endOfStream = !p;
      HRESULT hr = p ? DeliverPacket(std::move(p)) : DeliverEndOfStream();
      m_eEndFlush.Wait();
      // A failure caused by a flush that began meanwhile does not stop
      // delivery; any other one does until the next flush.
      if (FAILED(hr) && !m_fFlushed) {
        m_hrDeliver = hr;
        m_pSplitter->WakeRoomWaiter();
        if (!endOfStream) EndStreamAfterFailure(hr);
        break;
      }
    } while (count > 1);
    // Data and commands wake us at once.
    if (m_queue.GetCount() == 0) {
      const HANDLE wake[2] = {m_eQueued.Handle(), GetRequestHandle()};
      WaitForMultipleObjects(2, wake, FALSE, kIdleWaitMs);
    }
  }
  Reply(S_OK);
  return 0;
}

void CBaseSplitterOutputPin::EndStreamAfterFailure(HRESULT hr) {
  // Downstream still hears that nothing more comes, or a sink would wait
  // for this stream for ever.
  DeliverEndOfStream();
  // Failures that mean downstream is stopping, or that the filter which
  // failed has reported already, are not the stream's fault.
  switch (hr) {
    case VFW_E_WRONG_STATE:
    case VFW_E_NOT_COMMITTED:
    case VFW_E_NOT_CONNECTED:
    case VFW_E_RUNTIME_ERROR:
    case VFW_E_INVALIDMEDIATYPE:
    case VFW_E_SAMPLE_REJECTED_EOS:
      return;
    default:
      m_pSplitter->NotifyEvent(EC_ERRORABORT, hr, 0);
  }
}

void CBaseSplitterOutputPin::UpdateBitRate(const Packet& p) {
  m_windowBytes += static_cast<int64_t>(p.size());
  if (p.rtStart == INVALID_TIME) return;
  REFERENCE_TIME windowStart = m_windowStart;
  if (windowStart == INVALID_TIME) {
    m_windowStart = p.rtStart;
    m_windowBytes = 0;
    return;
  }
  if (p.rtStart > windowStart + kBitRateWindow) {
    int64_t duration = p.rtStart - windowStart;
    m_totalDuration += duration;
    m_totalBytes += m_windowBytes;
    m_currentBitRate = static_cast<DWORD>(static_cast<double>(m_windowBytes) * 8 / (duration / static_cast<double>(UNITS)));
    m_averageBitRate =
        static_cast<DWORD>(static_cast<double>(m_totalBytes) * 8 / (m_totalDuration / static_cast<double>(UNITS)));
    m_windowStart = p.rtStart;
    m_windowBytes = 0;
  }
}

HRESULT CBaseSplitterOutputPin::GrowBuffers(size_t size) {
  if (!m_pAllocator) return E_UNEXPECTED;
  if (size > static_cast<size_t>(INT32_MAX) / 3 * 2) return E_OUTOFMEMORY;
  ALLOCATOR_PROPERTIES props{}, actual{};
  HRESULT hr = m_pAllocator->GetProperties(&props);
  if (FAILED(hr)) return hr;
  // Downstream gives back every buffer it holds on a flush; the sizes
  // cannot change while any is out.
  if (props.cBuffers > 1) {
    CBaseOutputPin::DeliverBeginFlush();
    CBaseOutputPin::DeliverEndFlush();
  }
  hr = m_pAllocator->Decommit();
  if (FAILED(hr)) return hr;
  props.cbBuffer = static_cast<LONG>(size * 3 / 2);
  hr = m_pAllocator->SetProperties(&props, &actual);
  if (FAILED(hr)) return hr;
  return m_pAllocator->Commit();
}

HRESULT CBaseSplitterOutputPin::DeliverPacket(std::unique_ptr<Packet> p) {
  CheckPointer(p, E_POINTER);
  const size_t size = p->size();
  if (size == 0) return S_OK;

  UpdateBitRate(*p);

  REFERENCE_TIME start = p->rtStart, stop = p->rtStop, lead = p->rtDecodeLead;
  if (start != INVALID_TIME) {
    double rate = 1.0;
    if (SUCCEEDED(m_pSplitter->GetRate(&rate)) && rate > 0) {
      start = static_cast<REFERENCE_TIME>(start / rate);
      if (stop != INVALID_TIME) stop = static_cast<REFERENCE_TIME>(stop / rate);
      if (lead != INVALID_TIME) lead = static_cast<REFERENCE_TIME>(lead / rate);
    }
  }

  IMediaSample* sample = nullptr;
  HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
  if (FAILED(hr)) return hr;
  if (!sample) return E_UNEXPECTED;

  if (size > static_cast<size_t>(sample->GetSize())) {
    sample->Release();
    sample = nullptr;
    hr = GrowBuffers(size);
    if (FAILED(hr)) return hr;
    hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    if (!sample) return E_UNEXPECTED;
    if (size > static_cast<size_t>(sample->GetSize())) {
      sample->Release();
      return E_OUTOFMEMORY;
    }
  }

  if (p->pmt) {
    sample->SetMediaType(p->pmt.get());
    p->bDiscontinuity = TRUE;
    std::lock_guard<std::mutex> g(m_mtsLock);
    m_mts.clear();
    m_mts.emplace_back(*p->pmt);
  }

  BYTE* data = nullptr;
  if (FAILED(sample->GetPointer(&data)) || !data) {
    sample->Release();
    return E_POINTER;
  }
  std::memcpy(data, p->data(), size);
  sample->SetActualDataLength(static_cast<LONG>(size));

  if (start != INVALID_TIME)
    sample->SetTime(&start, stop != INVALID_TIME ? &stop : nullptr);
  else
    sample->SetTime(nullptr, nullptr);
  // The decoding time rides as the media time, on the stream's time line
  // with the sample's own time (see docs/stream-time.md).
  if (start != INVALID_TIME && lead != INVALID_TIME) {
    LONGLONG decode = start - lead, decodeEnd = decode + 1;
    sample->SetMediaTime(&decode, &decodeEnd);
  } else {
    sample->SetMediaTime(nullptr, nullptr);
  }
  sample->SetDiscontinuity(p->bDiscontinuity);
  sample->SetSyncPoint(p->bSyncPoint);
  sample->SetPreroll(start != INVALID_TIME && start < 0);

  hr = Deliver(sample);
  sample->Release();
  return hr;
}

// IMediaSeeking: the filter answers for all of its pins.

HRESULT CBaseSplitterOutputPin::SeekingTarget(IMediaSeeking** target) {
  *target = m_pSplitter;
  (*target)->AddRef();
  return S_OK;
}

STDMETHODIMP CBaseSplitterOutputPin::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                                  DWORD stopFlags) {
  return m_pSplitter->SetPositionsInternal(this, current, currentFlags, stop, stopFlags);
}
