// Small filters for the foundation tests: a source of output pins that
// offer fixed types, and a sink whose input pin records what it receives.
#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/com/Com.h"
#include "platform/dshow/BaseClasses.h"

namespace toy {

PELLOMAR_DEFINE_GUID(CLSID_ToySource, "0F1E2D3C-0001-4000-8000-00000000A001");
PELLOMAR_DEFINE_GUID(CLSID_ToySink, "0F1E2D3C-0002-4000-8000-00000000A002");

class OutPin : public CBaseOutputPin {
 public:
  OutPin(CBaseFilter* f, CCritSec* lock, LPCWSTR name, std::vector<CMediaType> types)
      : CBaseOutputPin(NAME("toy out"), f, lock, nullptr, name), m_types(std::move(types)) {}
  HRESULT CheckMediaType(const CMediaType* pmt) override {
    for (const CMediaType& t : m_types)
      if (t.majortype == pmt->majortype) return S_OK;
    return E_FAIL;
  }
  HRESULT GetMediaType(int position, CMediaType* pmt) override {
    if (position < 0) return E_INVALIDARG;
    if (position >= static_cast<int>(m_types.size())) return VFW_S_NO_MORE_ITEMS;
    *pmt = m_types[static_cast<size_t>(position)];
    return S_OK;
  }
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override {
    request->cBuffers = std::max<LONG>(request->cBuffers, 2);
    request->cbBuffer = std::max<LONG>(request->cbBuffer, 4096);
    ALLOCATOR_PROPERTIES actual{};
    return alloc->SetProperties(request, &actual);
  }

 private:
  std::vector<CMediaType> m_types;
};

// A filter with the given output pins (each offering its types).
class Source : public CBaseFilter {
 public:
  explicit Source(const std::vector<std::vector<CMediaType>>& pins)
      : CBaseFilter(NAME("toy source"), nullptr, &m_lock, CLSID_ToySource) {
    int i = 0;
    for (const auto& types : pins) {
      std::wstring name = L"Out" + std::to_wstring(i++);
      m_pins.push_back(std::make_unique<OutPin>(this, &m_lock, name.c_str(), types));
    }
  }
  int GetPinCount() override { return static_cast<int>(m_pins.size()); }
  CBasePin* GetPin(int n) override {
    return n >= 0 && n < GetPinCount() ? m_pins[static_cast<size_t>(n)].get() : nullptr;
  }
  OutPin* Out(int n) { return m_pins[static_cast<size_t>(n)].get(); }

 private:
  CCritSec m_lock;
  std::vector<std::unique_ptr<OutPin>> m_pins;
};

struct Received {
  REFERENCE_TIME start = 0, stop = 0;
  bool timed = false, sync = false, discontinuity = false;
  LONG length = 0;
  std::vector<BYTE> head;  // the first bytes
  std::vector<BYTE> data;  // the whole payload
  uint64_t hash = 0;       // FNV-1a of the whole payload
};

// FNV-1a, 64 bits: a payload fingerprint for comparing packets.
inline uint64_t PayloadHash(const BYTE* data, size_t n) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < n; i++) h = (h ^ data[i]) * 1099511628211ull;
  return h;
}

class Sink;

class InPin : public CBaseInputPin {
 public:
  InPin(Sink* sink, CCritSec* lock);
  HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

 private:
  Sink* m_sink;
};

// Records samples, flushes, segments and ends of stream. With an output
// pin when asked (for the walkers).
class Sink : public CBaseFilter {
 public:
  explicit Sink(bool withOutput = false, const CLSID& clsid = CLSID_ToySink)
      : CBaseFilter(NAME("toy sink"), nullptr, &m_lock, clsid) {
    m_in = std::make_unique<InPin>(this, &m_lock);
    if (withOutput)
      m_out = std::make_unique<OutPin>(this, &m_lock, L"Out", std::vector<CMediaType>{CMediaType(&MEDIATYPE_Video)});
  }
  int GetPinCount() override { return m_out ? 2 : 1; }
  CBasePin* GetPin(int n) override {
    if (n == 0) return m_in.get();
    if (n == 1 && m_out) return m_out.get();
    return nullptr;
  }
  InPin* In() { return m_in.get(); }

  // Waits until `count` samples or an end of stream arrived.
  bool WaitFor(size_t count, bool endOfStream, int timeoutMs = 20000) {
    std::unique_lock<std::mutex> g(mutex);
    return changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
      return samples.size() >= count && (!endOfStream || ends > 0);
    });
  }
  std::vector<Received> Samples() {
    std::lock_guard<std::mutex> g(mutex);
    return samples;
  }
  void Clear() {
    std::lock_guard<std::mutex> g(mutex);
    samples.clear();
    ends = 0;
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Received> samples;
  int ends = 0, flushes = 0, segments = 0;
  double lastRate = 0;

 private:
  CCritSec m_lock;
  std::unique_ptr<InPin> m_in;
  std::unique_ptr<OutPin> m_out;
};

inline InPin::InPin(Sink* sink, CCritSec* lock)
    : CBaseInputPin(NAME("toy in"), sink, lock, nullptr, L"In"), m_sink(sink) {}

inline STDMETHODIMP InPin::Receive(IMediaSample* sample) {
  HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  Received r;
  r.timed = sample->GetTime(&r.start, &r.stop) == S_OK;
  r.sync = sample->IsSyncPoint() == S_OK;
  r.discontinuity = sample->IsDiscontinuity() == S_OK;
  r.length = sample->GetActualDataLength();
  BYTE* data = nullptr;
  if (SUCCEEDED(sample->GetPointer(&data)) && data) {
    r.head.assign(data, data + std::min<LONG>(r.length, 8));
    r.data.assign(data, data + r.length);
    r.hash = PayloadHash(data, static_cast<size_t>(std::max<LONG>(r.length, 0)));
  }
  std::lock_guard<std::mutex> g(m_sink->mutex);
  m_sink->samples.push_back(std::move(r));
  m_sink->changed.notify_all();
  return S_OK;
}

inline STDMETHODIMP InPin::EndOfStream() {
  std::lock_guard<std::mutex> g(m_sink->mutex);
  ++m_sink->ends;
  m_sink->changed.notify_all();
  return S_OK;
}

inline STDMETHODIMP InPin::BeginFlush() {
  {
    std::lock_guard<std::mutex> g(m_sink->mutex);
    ++m_sink->flushes;
  }
  return CBaseInputPin::BeginFlush();
}

inline STDMETHODIMP InPin::EndFlush() { return CBaseInputPin::EndFlush(); }

inline STDMETHODIMP InPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  {
    std::lock_guard<std::mutex> g(m_sink->mutex);
    ++m_sink->segments;
    m_sink->lastRate = rate;
  }
  return CBaseInputPin::NewSegment(start, stop, rate);
}

// Hands a filter to a COM pointer (its count starts at 0).
template <class T>
CComPtr<IBaseFilter> Hold(T* filter) {
  return CComPtr<IBaseFilter>(static_cast<IBaseFilter*>(filter));
}

}  // namespace toy
