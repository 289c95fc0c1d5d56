// A source, a transform and a sink for driving the filter graph.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Transform.h"

namespace graphtest {

PELLOMAR_DEFINE_GUID(kMajor, "5A1E0001-0000-4000-8000-00000000F00D");
PELLOMAR_DEFINE_GUID(kSub, "5A1E0002-0000-4000-8000-00000000F00D");
PELLOMAR_DEFINE_GUID(kClsSource, "5A1E0003-0000-4000-8000-00000000F00D");
PELLOMAR_DEFINE_GUID(kClsTransform, "5A1E0004-0000-4000-8000-00000000F00D");
PELLOMAR_DEFINE_GUID(kClsSink, "5A1E0005-0000-4000-8000-00000000F00D");

constexpr REFERENCE_TIME kSampleTime = 10000;  // 1 ms per sample

// Who changed state, in order, shared by the filters of one graph.
struct StateLog {
  std::mutex lock;
  std::vector<std::string> entries;
  void Add(const std::string& s) {
    std::lock_guard g(lock);
    entries.push_back(s);
  }
  std::vector<std::string> Take() {
    std::lock_guard g(lock);
    return std::move(entries);
  }
};

// Audio is 16-bit stereo PCM, what the platform's audio renderer takes.
inline CMediaType TestType(const GUID& major = kMajor) {
  CMediaType mt(&major);
  if (major == MEDIATYPE_Audio) {
    mt.SetSubtype(&MEDIASUBTYPE_PCM);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = WAVE_FORMAT_PCM;
    wfx.nChannels = 2;
    wfx.nSamplesPerSec = 44100;
    wfx.wBitsPerSample = 16;
    wfx.nBlockAlign = 4;
    wfx.nAvgBytesPerSec = 44100 * 4;
    mt.SetFormat(reinterpret_cast<const BYTE*>(&wfx), sizeof(wfx));
    return mt;
  }
  mt.SetSubtype(&kSub);
  mt.SetFormatType(&FORMAT_None);
  return mt;
}

template <class T>
CComPtr<IBaseFilter> Make(T* raw) {
  raw->NonDelegatingAddRef();
  CComPtr<IBaseFilter> f(static_cast<IBaseFilter*>(raw));
  raw->NonDelegatingRelease();
  return f;
}

// ---------------------------------------------------------------------------
// Source: pushes `count` samples from a thread of its own, then end of stream.

class Source;

class SourcePin final : public CBaseOutputPin, public IMediaSeeking {
 public:
  SourcePin(Source* source, CCritSec* lock, HRESULT* phr);
  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IMediaSeeking) return GetInterfaceAs<IMediaSeeking>(this, ppv);
    return CBaseOutputPin::NonDelegatingQueryInterface(riid, ppv);
  }
  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override {
    request->cBuffers = 4;
    request->cbBuffer = 16;
    ALLOCATOR_PROPERTIES actual{};
    return alloc->SetProperties(request, &actual);
  }
  HRESULT Active() override;
  HRESULT Inactive() override;

  // IMediaSeeking: positions in samples of 1 ms; seeking only while stopped.
  STDMETHODIMP GetCapabilities(DWORD* c) override {
    *c = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanGetDuration | AM_SEEKING_CanGetCurrentPos;
    return S_OK;
  }
  STDMETHODIMP CheckCapabilities(DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP IsFormatSupported(const GUID* f) override { return *f == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE; }
  STDMETHODIMP QueryPreferredFormat(GUID* f) override {
    *f = TIME_FORMAT_MEDIA_TIME;
    return S_OK;
  }
  STDMETHODIMP GetTimeFormat(GUID* f) override { return QueryPreferredFormat(f); }
  STDMETHODIMP IsUsingTimeFormat(const GUID* f) override { return IsFormatSupported(f); }
  STDMETHODIMP SetTimeFormat(const GUID*) override { return S_OK; }
  STDMETHODIMP GetDuration(LONGLONG* d) override;
  STDMETHODIMP GetStopPosition(LONGLONG* s) override { return GetDuration(s); }
  STDMETHODIMP GetCurrentPosition(LONGLONG* c) override;
  STDMETHODIMP ConvertTimeFormat(LONGLONG*, const GUID*, LONGLONG, const GUID*) override { return E_NOTIMPL; }
  STDMETHODIMP SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG*, DWORD) override;
  STDMETHODIMP GetPositions(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
  STDMETHODIMP GetAvailable(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
  STDMETHODIMP SetRate(double) override { return E_NOTIMPL; }
  STDMETHODIMP GetRate(double*) override { return E_NOTIMPL; }
  STDMETHODIMP GetPreroll(LONGLONG*) override { return E_NOTIMPL; }

  std::atomic<int> delivered{0};

 private:
  void Push();
  Source* m_source;
  std::thread m_thread;
  std::atomic<bool> m_quit{false};
};

class Source final : public CBaseFilter {
 public:
  Source(int count, StateLog* log, const char* name = "source", const GUID& major = kMajor)
      : CBaseFilter("test source", nullptr, &m_lock, kClsSource), count(count), log(log), name(name), major(major) {
    HRESULT hr = S_OK;
    pin = std::make_unique<SourcePin>(this, &m_lock, &hr);
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? pin.get() : nullptr; }
  STDMETHODIMP Stop() override {
    if (log) log->Add(name + ".Stop");
    return CBaseFilter::Stop();
  }
  STDMETHODIMP Pause() override {
    if (log) log->Add(name + ".Pause");
    return CBaseFilter::Pause();
  }
  STDMETHODIMP Run(REFERENCE_TIME t) override {
    if (log) log->Add(name + ".Run");
    return CBaseFilter::Run(t);
  }

  CCritSec m_lock;
  std::atomic<int> count;
  std::atomic<int> start{0};
  StateLog* log;
  std::string name;
  GUID major;
  std::unique_ptr<SourcePin> pin;
};

inline HRESULT SourcePin::CheckMediaType(const CMediaType* pmt) {
  return *pmt == TestType(m_source->major) ? S_OK : S_FALSE;
}
inline HRESULT SourcePin::GetMediaType(int position, CMediaType* pmt) {
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  *pmt = TestType(m_source->major);
  return S_OK;
}

inline SourcePin::SourcePin(Source* source, CCritSec* lock, HRESULT* phr)
    : CBaseOutputPin("test source out", source, lock, phr, L"Out"), m_source(source) {}

inline HRESULT SourcePin::Active() {
  HRESULT hr = CBaseOutputPin::Active();
  if (FAILED(hr) || !IsConnected()) return hr;
  m_quit = false;
  m_thread = std::thread([this] { Push(); });
  return hr;
}

inline HRESULT SourcePin::Inactive() {
  m_quit = true;
  HRESULT hr = CBaseOutputPin::Inactive();  // decommits: a blocked GetBuffer returns
  if (m_thread.joinable()) m_thread.join();
  return hr;
}

inline void SourcePin::Push() {
  for (int i = m_source->start; i < m_source->count && !m_quit; ++i) {
    IMediaSample* sample = nullptr;
    if (FAILED(GetDeliveryBuffer(&sample, nullptr, nullptr, 0))) return;
    REFERENCE_TIME t0 = i * kSampleTime, t1 = t0 + kSampleTime;
    sample->SetTime(&t0, &t1);
    sample->SetActualDataLength(4);
    HRESULT hr = Deliver(sample);
    sample->Release();
    if (hr != S_OK) return;
    ++delivered;
  }
  if (!m_quit) DeliverEndOfStream();
}

inline STDMETHODIMP SourcePin::GetDuration(LONGLONG* d) {
  *d = m_source->count * kSampleTime;
  return S_OK;
}
inline STDMETHODIMP SourcePin::GetCurrentPosition(LONGLONG* c) {
  *c = (m_source->start + delivered) * kSampleTime;
  return S_OK;
}
inline STDMETHODIMP SourcePin::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG*, DWORD) {
  if (m_source->IsActive()) return VFW_E_NOT_STOPPED;
  if ((currentFlags & AM_SEEKING_PositioningBitsMask) == AM_SEEKING_AbsolutePositioning && current) {
    m_source->start = static_cast<int>(*current / kSampleTime);
    delivered = 0;
  }
  return S_OK;
}

// ---------------------------------------------------------------------------
// Transform: copies each sample.

class Copier final : public CTransformFilter {
 public:
  explicit Copier(StateLog* log) : CTransformFilter("test copier", nullptr, kClsTransform), log(log) {}
  HRESULT CheckInputType(const CMediaType* in) override { return *in == TestType() ? S_OK : VFW_E_TYPE_NOT_ACCEPTED; }
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override {
    return *in == *out ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override {
    request->cBuffers = 2;
    request->cbBuffer = 16;
    ALLOCATOR_PROPERTIES actual{};
    return alloc->SetProperties(request, &actual);
  }
  HRESULT GetMediaType(int position, CMediaType* pmt) override {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    *pmt = TestType();
    return S_OK;
  }
  HRESULT Transform(IMediaSample* in, IMediaSample* out) override {
    BYTE *a = nullptr, *b = nullptr;
    in->GetPointer(&a);
    out->GetPointer(&b);
    LONG n = in->GetActualDataLength();
    std::memcpy(b, a, n);
    out->SetActualDataLength(n);
    return S_OK;
  }
  STDMETHODIMP Stop() override {
    if (log) log->Add("copier.Stop");
    return CTransformFilter::Stop();
  }
  STDMETHODIMP Pause() override {
    if (log) log->Add("copier.Pause");
    return CTransformFilter::Pause();
  }
  STDMETHODIMP Run(REFERENCE_TIME t) override {
    if (log) log->Add("copier.Run");
    return CTransformFilter::Run(t);
  }
  StateLog* log;
};

// ---------------------------------------------------------------------------
// Sink: counts samples; can block in Receive, hold every sample, or fail
// to pause.

class Sink;

class SinkPin final : public CBaseInputPin {
 public:
  SinkPin(Sink* sink, CCritSec* lock, HRESULT* phr);
  HRESULT CheckMediaType(const CMediaType* pmt) override { return *pmt == TestType() ? S_OK : S_FALSE; }
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP EndOfStream() override;

 private:
  Sink* m_sink;
};

class Sink final : public CBaseFilter {
 public:
  explicit Sink(StateLog* log, const char* name = "sink", const CLSID& clsid = kClsSink)
      : CBaseFilter("test sink", nullptr, &m_lock, clsid), log(log), name(name) {
    HRESULT hr = S_OK;
    pin = std::make_unique<SinkPin>(this, &m_lock, &hr);
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? pin.get() : nullptr; }
  STDMETHODIMP Stop() override {
    if (log) log->Add(name + ".Stop");
    {
      std::lock_guard g(waitLock);
      released = true;
      waitChanged.notify_all();
    }
    HRESULT hr = CBaseFilter::Stop();
    std::vector<IMediaSample*> held;
    {
      std::lock_guard g(waitLock);
      held.swap(heldSamples);
    }
    for (auto* s : held) s->Release();
    return hr;
  }
  STDMETHODIMP Pause() override {
    if (log) log->Add(name + ".Pause");
    if (FAILED(failPause)) return failPause;
    {
      std::lock_guard g(waitLock);
      released = false;  // cleared here, not in Stop, so a waiter woken by Stop cannot miss it
    }
    return CBaseFilter::Pause();
  }
  STDMETHODIMP Run(REFERENCE_TIME t) override {
    if (log) log->Add(name + ".Run");
    return CBaseFilter::Run(t);
  }
  // Waits (bounded, so a fault fails the test instead of hanging it).
  bool WaitFor(const std::function<bool()>& what) {
    std::unique_lock g(waitLock);
    return waitChanged.wait_for(g, std::chrono::seconds(20), what);
  }
  void Unblock() {
    std::lock_guard g(waitLock);
    block = false;
    waitChanged.notify_all();
  }

  CCritSec m_lock;
  StateLog* log;
  std::string name;
  std::unique_ptr<SinkPin> pin;
  std::mutex waitLock;
  std::condition_variable waitChanged;
  int received = 0;
  int endOfStreams = 0;
  bool block = false;        // Receive waits until released or stopped
  bool holdSamples = false;  // keep every sample until stopped
  bool inReceive = false;
  bool silent = false;  // takes end of stream without reporting it
  bool released = false;
  std::vector<IMediaSample*> heldSamples;
  HRESULT failPause = S_OK;
};

inline SinkPin::SinkPin(Sink* sink, CCritSec* lock, HRESULT* phr)
    : CBaseInputPin("test sink in", sink, lock, phr, L"In"), m_sink(sink) {}

inline STDMETHODIMP SinkPin::Receive(IMediaSample* sample) {
  HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  std::unique_lock g(m_sink->waitLock);
  ++m_sink->received;
  m_sink->inReceive = true;
  m_sink->waitChanged.notify_all();
  m_sink->waitChanged.wait(g, [&] { return !m_sink->block || m_sink->released; });
  m_sink->inReceive = false;
  if (m_sink->holdSamples && !m_sink->released) {
    sample->AddRef();
    m_sink->heldSamples.push_back(sample);
  }
  return m_sink->released ? S_FALSE : S_OK;
}

inline STDMETHODIMP SinkPin::EndOfStream() {
  if (HRESULT hr = CheckStreaming(); hr != S_OK) return hr;
  {
    std::lock_guard g(m_sink->waitLock);
    ++m_sink->endOfStreams;
    m_sink->waitChanged.notify_all();
    if (m_sink->silent) return S_OK;
  }
  m_sink->NotifyEvent(EC_COMPLETE, S_OK, 0);
  return S_OK;
}

}  // namespace graphtest
