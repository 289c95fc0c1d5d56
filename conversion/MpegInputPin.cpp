#include "conversion/MpegInputPin.h"

#include <algorithm>
#include <chrono>
#include <mutex>

#include "platform/com/ComPtr.h"

namespace {

// Sample times come from upstream filters; a wild value must not overflow.
REFERENCE_TIME AddTimes(REFERENCE_TIME a, REFERENCE_TIME b) {
  REFERENCE_TIME r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN + 1;
  return r;
}

bool IsMuxableVideo(const CMediaType* pmt) {
  if (*pmt->Type() != MEDIATYPE_Video) return false;
  const GUID& s = *pmt->Subtype();
  if (s != MEDIASUBTYPE_YV12 && s != MEDIASUBTYPE_I420 && s != MEDIASUBTYPE_IYUV && s != MEDIASUBTYPE_RGB32 &&
      s != MEDIASUBTYPE_RGB24)
    return false;
  // The engine reads the bitmap header out of the format block.
  if (*pmt->FormatType() == FORMAT_VideoInfo) return pmt->Format() && pmt->FormatLength() >= sizeof(VIDEOINFOHEADER);
  if (*pmt->FormatType() == FORMAT_VideoInfo2)
    return pmt->Format() && pmt->FormatLength() >= sizeof(VIDEOINFOHEADER2);
  return false;
}

bool IsPcm16(const CMediaType* pmt) {
  if (*pmt->Type() != MEDIATYPE_Audio || *pmt->Subtype() != MEDIASUBTYPE_PCM) return false;
  if (*pmt->FormatType() != FORMAT_WaveFormatEx || !pmt->Format()) return false;
  // The fields used end with wBitsPerSample (a PCMWAVEFORMAT's 16 bytes).
  if (pmt->FormatLength() < offsetof(WAVEFORMATEX, cbSize)) return false;
  const auto* wfx = reinterpret_cast<const WAVEFORMATEX*>(pmt->Format());
  return wfx->wFormatTag == WAVE_FORMAT_PCM && wfx->wBitsPerSample == 16 && wfx->nChannels > 0 &&
         wfx->nSamplesPerSec > 0;
}

}  // namespace

namespace MuxSampleStorage {

namespace {
constexpr size_t kKeptFrom = 64 * 1024;
constexpr size_t kKeptBuffers = 4;
std::mutex g_lock;
std::vector<std::vector<BYTE>> g_spare;
}  // namespace

std::vector<BYTE> Take(size_t size) {
  if (size >= kKeptFrom) {
    std::lock_guard<std::mutex> l(g_lock);
    for (auto it = g_spare.begin(); it != g_spare.end(); ++it)
      if (it->capacity() >= size) {
        std::vector<BYTE> buffer = std::move(*it);
        g_spare.erase(it);
        buffer.clear();
        return buffer;
      }
  }
  std::vector<BYTE> buffer;
  buffer.reserve(size);
  return buffer;
}

void GiveBack(std::vector<BYTE>&& buffer) {
  if (buffer.capacity() < kKeptFrom) return;
  std::lock_guard<std::mutex> l(g_lock);
  if (g_spare.size() < kKeptBuffers) g_spare.push_back(std::move(buffer));
}

}  // namespace MuxSampleStorage

CMpegInputPin::CMpegInputPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr, LPCWSTR name, bool video)
    : CBaseInputPin(NAME("CMpegInputPin"), filter, lock, phr, name), m_bVideo(video) {
  m_evRoom.Set();
}

CMpegInputPin::~CMpegInputPin() = default;

HRESULT CMpegInputPin::CheckMediaType(const CMediaType* pmt) {
  CheckPointer(pmt, E_POINTER);
  if (m_bVideo) return IsMuxableVideo(pmt) ? S_OK : E_INVALIDARG;
  return IsPcm16(pmt) ? S_OK : E_INVALIDARG;
}

HRESULT CMpegInputPin::CompleteConnect(IPin* receivePin) {
  HRESULT hr = CBaseInputPin::CompleteConnect(receivePin);
  if (FAILED(hr)) return hr;
  m_rtDuration = 0;
  // The progress line's total: ask the upstream filter, else its pin.
  LONGLONG duration = 0;
  CComPtr<IMediaSeeking> seeking;
  PIN_INFO info{};
  if (receivePin && SUCCEEDED(receivePin->QueryPinInfo(&info)) && info.pFilter) {
    info.pFilter->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking));
    info.pFilter->Release();
  }
  if (!seeking && receivePin) receivePin->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking));
  if (seeking && SUCCEEDED(seeking->GetDuration(&duration))) m_rtDuration = duration;
  return S_OK;
}

HRESULT CMpegInputPin::Active() {
  m_rtLastStart = INT64_MIN;
  m_bEndOfStream = false;
  {
    // A record that slipped in while the last run was being stopped does
    // not belong to this run.
    CAutoLock lock(&m_csQueue);
    ClearQueue();
    m_bAccepting = true;
    m_evRoom.Set();
  }
  return CBaseInputPin::Active();
}

HRESULT CMpegInputPin::Inactive() {
  {
    // The filter's state changes only after its pins went inactive: the
    // flag keeps a streaming thread from queueing behind this clear.
    CAutoLock lock(&m_csQueue);
    m_bAccepting = false;
    ClearQueue();
    m_evRoom.Set();
  }
  return CBaseInputPin::Inactive();
}

STDMETHODIMP CMpegInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  CAutoLock lock(&m_csReceive);
  return CBaseInputPin::NewSegment(start, stop, rate);
}

STDMETHODIMP CMpegInputPin::Receive(IMediaSample* sample) {
  CAutoLock lock(&m_csReceive);
  HRESULT hr = CBaseInputPin::Receive(sample);
  if (FAILED(hr)) return hr;

  auto rec = std::make_unique<MuxSample>();
  rec->m_pPin = this;
  rec->m_bVideo = m_bVideo ? 1 : 0;
  BYTE* data = nullptr;
  if (FAILED(sample->GetPointer(&data)) || !data) return S_OK;  // nothing to copy: dropped
  LONG length = sample->GetActualDataLength();
  const LONG size = sample->GetSize();
  if (length < 0) length = 0;
  if (size >= 0 && length > size) length = size;
  if (m_bCopyData) {
    rec->m_data = MuxSampleStorage::Take(static_cast<size_t>(length));
    rec->m_data.assign(data, data + length);
  }

  if (sample->IsSyncPoint() == S_OK || (m_mt.majortype == MEDIATYPE_Audio && !m_mt.bTemporalCompression))
    rec->m_dwFlags |= MuxSample::KeySample;

  REFERENCE_TIME start = 0, stop = 0;
  if (sample->GetTime(&start, &stop) == S_OK) {
    rec->m_dwFlags |= MuxSample::TimeValid;
    rec->m_rtStart = AddTimes(start, m_tStart);
    rec->m_rtStop = AddTimes(stop, m_tStart);
    // A key sample stamped before what this pin already delivered is
    // taken at once rather than sorted in by time.
    if ((rec->m_dwFlags & MuxSample::KeySample) && m_rtLastStart != INT64_MIN && rec->m_rtStart < m_rtLastStart) {
      rec->m_dwFlags &= ~MuxSample::KeySample;
      rec->m_dwFlags |= MuxSample::LateKey;
    }
    if (rec->m_rtStart > m_rtLastStart) m_rtLastStart = rec->m_rtStart;
  }
  if (sample->IsDiscontinuity() == S_OK) rec->m_dwFlags |= MuxSample::Discontinuity;
  // The base checked that the pin takes it.
  if ((m_SampleProps.dwSampleFlags & AM_SAMPLE_TYPECHANGED) && m_SampleProps.pMediaType)
    rec->m_pMediaType = std::make_shared<CMediaType>(*m_SampleProps.pMediaType);

  QueueSample(std::move(rec));
  return S_OK;
}

STDMETHODIMP CMpegInputPin::EndOfStream() {
  CAutoLock lock(&m_csReceive);
  HRESULT hr = CBaseInputPin::EndOfStream();
  if (FAILED(hr)) return hr;
  auto rec = std::make_unique<MuxSample>();
  rec->m_pPin = this;
  rec->m_bVideo = m_bVideo ? 1 : 0;
  rec->m_dwFlags = MuxSample::EndOfStream;
  QueueSample(std::move(rec));
  m_bEndOfStream = true;
  return S_OK;
}

void CMpegInputPin::QueueSample(std::unique_ptr<MuxSample> sample) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMaxQueueWaitMs);
  for (;;) {
    {
      CAutoLock lock(&m_csQueue);
      if (!m_bAccepting || !StreamingState()) return;
      if (!QueueFull() || m_bReleased || std::chrono::steady_clock::now() >= deadline) {
        m_bReleased = false;
        Push(std::move(sample));
        return;
      }
      m_evRoom.Reset();
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    m_evRoom.Wait(static_cast<DWORD>(std::max<int64_t>(left.count(), 0)) + 1);
  }
}

void CMpegInputPin::ReleaseWaits() {
  CAutoLock lock(&m_csQueue);
  m_bReleased = true;
  m_evRoom.Set();
}

STDMETHODIMP CMpegInputPin::BeginFlush() {
  HRESULT hr = CBaseInputPin::BeginFlush();
  // A streaming thread waiting for room gives its record up.
  m_evRoom.Set();
  return hr;
}

void CMpegInputPin::AppendSample(std::unique_ptr<MuxSample> sample) {
  CAutoLock lock(&m_csQueue);
  Push(std::move(sample));
}

void CMpegInputPin::Push(std::unique_ptr<MuxSample> sample) {
  m_nQueuedBytes += sample->m_data.size();
  const bool wake = WakesWorker(*sample);
  m_queue.push_back(std::move(sample));
  if (m_pSignal && wake) m_pSignal->Notify();
}

void CMpegInputPin::ClearQueue() {
  m_queue.clear();
  m_nQueuedBytes = 0;
}

std::unique_ptr<MuxSample> CMpegInputPin::PopSample() {
  CAutoLock lock(&m_csQueue);
  std::unique_ptr<MuxSample> rec;
  if (!m_queue.empty()) {
    rec = std::move(m_queue.front());
    m_queue.pop_front();
    m_nQueuedBytes -= rec->m_data.size();
  }
  if (QueueDrained()) m_evRoom.Set();
  return rec;
}

size_t CMpegInputPin::QueuedCount() {
  CAutoLock lock(&m_csQueue);
  return m_queue.size();
}
