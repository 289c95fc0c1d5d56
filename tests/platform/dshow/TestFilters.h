// Small filters for exercising the base classes without a graph.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <new>
#include <vector>

#include "platform/dshow/BaseClasses.h"

namespace dshowtest {

PELLOMAR_DEFINE_GUID(CLSID_TestOut, "0F0E0D0C-0B0A-4909-8807-060504030201");
PELLOMAR_DEFINE_GUID(CLSID_TestIn, "1F1E1D1C-1B1A-4919-8817-161514131211");

inline CMediaType MakeType(const GUID& major, const GUID& sub, BYTE formatByte = 0) {
  CMediaType mt(&major);
  mt.SetSubtype(&sub);
  mt.SetFormatType(&FORMAT_None);
  if (formatByte) {
    BYTE block[4] = {formatByte, 1, 2, 3};
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    mt.SetFormat(block, sizeof(block));
  }
  return mt;
}

// Records the connection hooks in the order they run.
struct HookLog {
  std::vector<std::string> calls;
  void Add(const char* what) { calls.emplace_back(what); }
};

class TestOutPin : public CBaseOutputPin {
 public:
  TestOutPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr)
      : CBaseOutputPin("test out", filter, lock, phr, L"Out") {}

  HRESULT CheckMediaType(const CMediaType* pmt) override {
    log.Add("out.CheckMediaType");
    for (const GUID& g : accepted)
      if (pmt->subtype == g) return S_OK;
    return S_FALSE;
  }
  HRESULT GetMediaType(int position, CMediaType* pmt) override {
    if (position < 0) return E_INVALIDARG;
    if (position >= static_cast<int>(offered.size())) return VFW_S_NO_MORE_ITEMS;
    *pmt = offered[position];
    return S_OK;
  }
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override {
    log.Add("out.DecideBufferSize");
    request->cBuffers = buffers;
    request->cbBuffer = bufferSize;
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = alloc->SetProperties(request, &actual);
    if (FAILED(hr)) return hr;
    return actual.cBuffers >= buffers && actual.cbBuffer >= bufferSize ? S_OK : E_FAIL;
  }
  HRESULT CompleteConnect(IPin* pin) override {
    log.Add("out.CompleteConnect");
    if (failComplete) return E_FAIL;
    return CBaseOutputPin::CompleteConnect(pin);
  }
  HRESULT BreakConnect() override {
    log.Add("out.BreakConnect");
    return CBaseOutputPin::BreakConnect();
  }

  std::vector<CMediaType> offered;
  std::vector<GUID> accepted;
  LONG buffers = 2;
  LONG bufferSize = 1024;
  bool failComplete = false;
  HookLog log;
};

class TestOutFilter : public CBaseFilter {
 public:
  static TestOutFilter* Create() {
    auto* f = new TestOutFilter();
    f->AddRef();
    return f;
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
  TestOutPin& pin() { return m_pin; }

 private:
  TestOutFilter() : CBaseFilter("test source", nullptr, &m_lock, CLSID_TestOut), m_pin(this, &m_lock, &m_hr) {}
  CCritSec m_lock;
  HRESULT m_hr = S_OK;
  TestOutPin m_pin;
};

// An input pin that accepts a set of subtypes; it keeps received samples
// (holding them) when asked to, and lets them go on flush.
class TestInPin : public CBaseInputPin {
 public:
  TestInPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr)
      : CBaseInputPin("test in", filter, lock, phr, L"In") {}
  ~TestInPin() override { DropHeld(); }

  HRESULT CheckMediaType(const CMediaType* pmt) override {
    log.Add("in.CheckMediaType");
    for (const GUID& g : accepted)
      if (pmt->subtype == g) return S_OK;
    return S_FALSE;
  }
  HRESULT GetMediaType(int position, CMediaType* pmt) override {
    if (position < 0) return E_INVALIDARG;
    if (position >= static_cast<int>(offered.size())) return VFW_S_NO_MORE_ITEMS;
    *pmt = offered[position];
    return S_OK;
  }
  HRESULT CompleteConnect(IPin* pin) override {
    log.Add("in.CompleteConnect");
    return CBaseInputPin::CompleteConnect(pin);
  }
  HRESULT BreakConnect() override {
    log.Add("in.BreakConnect");
    return CBaseInputPin::BreakConnect();
  }
  STDMETHODIMP Receive(IMediaSample* sample) override {
    HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK) return hr;
    std::lock_guard<std::mutex> lock(m_samplesLock);
    ++received;
    BYTE* p = nullptr;
    sample->GetPointer(&p);
    if (p && sample->GetActualDataLength() > 0) firstBytes.push_back(p[0]);
    if (SampleProps()->dwSampleFlags & AM_SAMPLE_TYPECHANGED) ++typeChanges;
    if (holdSamples) {
      sample->AddRef();
      held.push_back(sample);
    }
    return S_OK;
  }
  STDMETHODIMP BeginFlush() override {
    HRESULT hr = CBaseInputPin::BeginFlush();
    DropHeld();
    return hr;
  }
  STDMETHODIMP EndOfStream() override {
    if (onEndOfStream) onEndOfStream();
    ++endOfStreams;
    return S_OK;
  }
  void DropHeld() {
    std::deque<IMediaSample*> out;
    {
      std::lock_guard<std::mutex> lock(m_samplesLock);
      out.swap(held);
    }
    for (IMediaSample* s : out) s->Release();
  }

  std::vector<CMediaType> offered;
  std::vector<GUID> accepted;
  HookLog log;
  // Read by the test while the streaming thread writes them.
  std::atomic<bool> holdSamples{false};
  std::atomic<int> received{0};
  std::atomic<int> typeChanges{0};
  std::atomic<int> endOfStreams{0};
  std::function<void()> onEndOfStream;
  std::vector<BYTE> firstBytes;

 private:
  std::mutex m_samplesLock;
  std::deque<IMediaSample*> held;
};

class TestInFilter : public CBaseFilter {
 public:
  static TestInFilter* Create() {
    auto* f = new TestInFilter();
    f->AddRef();
    return f;
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
  TestInPin& pin() { return m_pin; }

 private:
  TestInFilter() : CBaseFilter("test sink", nullptr, &m_lock, CLSID_TestIn), m_pin(this, &m_lock, &m_hr) {}
  CCritSec m_lock;
  HRESULT m_hr = S_OK;
  TestInPin m_pin;
};

// An event sink that records what filters report.
class TestEventSink : public CUnknown, public IMediaEventSink, public IFilterGraph {
 public:
  static TestEventSink* Create() {
    auto* s = new TestEventSink();
    s->AddRef();
    return s;
  }
  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IMediaEventSink) return GetInterfaceAs<IMediaEventSink>(this, ppv);
    if (riid == IID_IFilterGraph) return GetInterfaceAs<IFilterGraph>(this, ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
  }
  STDMETHODIMP Notify(LONG code, LONG_PTR p1, LONG_PTR p2) override {
    std::lock_guard<std::mutex> lock(m_lock);
    events.push_back({code, p1});
    return S_OK;
  }
  // Only the sink matters to the filters under test; the rest of the
  // graph is not used.
  STDMETHODIMP AddFilter(IBaseFilter*, LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
  STDMETHODIMP EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
  STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
  STDMETHODIMP ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
  STDMETHODIMP Reconnect(IPin*) override { return E_NOTIMPL; }
  STDMETHODIMP Disconnect(IPin*) override { return E_NOTIMPL; }
  STDMETHODIMP SetDefaultSyncSource() override { return E_NOTIMPL; }

  std::vector<std::pair<LONG, LONG_PTR>> Events() {
    std::lock_guard<std::mutex> lock(m_lock);
    return events;
  }

 private:
  TestEventSink() : CUnknown("test sink", nullptr) {}
  std::mutex m_lock;
  std::vector<std::pair<LONG, LONG_PTR>> events;
};

}  // namespace dshowtest
