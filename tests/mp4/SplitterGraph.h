// The MP4 source filter in a filter graph with a recording sink on each
// output: the sinks keep every sample whole, with its times and flags.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/FilterHelpers.h"
#include "mp4/MP4Splitter.h"
#include "platform/com/Com.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/DShowRegister.h"

namespace mp4test {

PELLOMAR_DEFINE_GUID(CLSID_RecordingSink, "0F1E2D3C-0004-4000-8000-00000000A004");

struct Delivered {
  REFERENCE_TIME start = 0, stop = 0;
  bool timed = false, sync = false, discontinuity = false;
  std::vector<uint8_t> data;
};

class RecordingSink;

class RecordingPin : public CBaseInputPin {
 public:
  RecordingPin(RecordingSink* sink, CCritSec* lock);
  HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;

 private:
  RecordingSink* m_sink;
};

class RecordingSink : public CBaseFilter {
 public:
  RecordingSink() : CBaseFilter(NAME("recording sink"), nullptr, &m_lock, CLSID_RecordingSink) {
    m_in = std::make_unique<RecordingPin>(this, &m_lock);
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? m_in.get() : nullptr; }
  RecordingPin* In() { return m_in.get(); }

  bool WaitForEnd(int timeoutMs = 60000) {
    std::unique_lock<std::mutex> g(mutex);
    return changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return ends > 0; });
  }
  std::vector<Delivered> Samples() {
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
  std::vector<Delivered> samples;
  int ends = 0, flushes = 0;

 private:
  CCritSec m_lock;
  std::unique_ptr<RecordingPin> m_in;
};

inline RecordingPin::RecordingPin(RecordingSink* sink, CCritSec* lock)
    : CBaseInputPin(NAME("recording in"), sink, lock, nullptr, L"In"), m_sink(sink) {}

inline STDMETHODIMP RecordingPin::Receive(IMediaSample* sample) {
  HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  Delivered d;
  d.timed = sample->GetTime(&d.start, &d.stop) == S_OK;
  d.sync = sample->IsSyncPoint() == S_OK;
  d.discontinuity = sample->IsDiscontinuity() == S_OK;
  BYTE* data = nullptr;
  if (SUCCEEDED(sample->GetPointer(&data)) && data) d.data.assign(data, data + sample->GetActualDataLength());
  std::lock_guard<std::mutex> g(m_sink->mutex);
  m_sink->samples.push_back(std::move(d));
  m_sink->changed.notify_all();
  return S_OK;
}

inline STDMETHODIMP RecordingPin::EndOfStream() {
  std::lock_guard<std::mutex> g(m_sink->mutex);
  ++m_sink->ends;
  m_sink->changed.notify_all();
  return S_OK;
}

inline STDMETHODIMP RecordingPin::BeginFlush() {
  {
    std::lock_guard<std::mutex> g(m_sink->mutex);
    ++m_sink->flushes;
  }
  return CBaseInputPin::BeginFlush();
}

// The source form on a file, a sink on every output (or only on those
// `connect` accepts).
struct SplitterGraph {
  CComPtr<IFilterGraph> graph;
  CMP4SourceFilter* splitter = nullptr;
  CComPtr<IBaseFilter> hold;
  std::vector<RecordingSink*> sinks;  // by output index; null where unconnected
  std::vector<CComPtr<IBaseFilter>> sinkHolds;
  HRESULT loaded = E_FAIL;

  explicit SplitterGraph(const std::string& path, const std::function<bool(int)>& connect = nullptr) {
    EXPECT_EQ(DShowRegisterPlatform(), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    HRESULT hr = S_OK;
    splitter = new CMP4SourceFilter(nullptr, &hr);
    hold = CComPtr<IBaseFilter>(static_cast<IBaseFilter*>(splitter));
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(graph->AddFilter(hold, L"MP4 Source"), S_OK);
    std::wstring wide(path.begin(), path.end());
    CComQIPtr<IFileSourceFilter> fs(hold);
    loaded = fs->Load(wide.c_str(), nullptr);
    if (FAILED(loaded)) return;
    for (int i = 0; i < splitter->GetPinCount(); i++) {
      if (connect && !connect(i)) {
        sinks.push_back(nullptr);
        continue;
      }
      auto* sink = new RecordingSink();
      sinks.push_back(sink);
      sinkHolds.push_back(CComPtr<IBaseFilter>(static_cast<IBaseFilter*>(sink)));
      EXPECT_EQ(graph->AddFilter(sinkHolds.back(), (L"Sink " + std::to_wstring(i)).c_str()), S_OK);
      EXPECT_EQ(graph->ConnectDirect(splitter->GetPin(i), sink->In(), nullptr), S_OK);
    }
  }
  ~SplitterGraph() {
    if (graph) {
      Control()->Stop();
      for (auto& s : sinkHolds) graph->RemoveFilter(s);
      graph->RemoveFilter(hold);
    }
  }
  CComQIPtr<IMediaControl> Control() { return CComQIPtr<IMediaControl>(graph); }
  // Runs until every connected output ended.
  void RunToEnd() {
    ASSERT_EQ(Control()->Run(), S_OK);
    for (auto* s : sinks) {
      if (s) {
        EXPECT_TRUE(s->WaitForEnd());
      }
    }
    Control()->Stop();
  }
  std::wstring PinName(int i) { return GetPinName(splitter->GetPin(i)); }
  std::vector<GUID> Subtypes(int i) {
    std::vector<GUID> out;
    CMediaType mt;
    for (int k = 0; splitter->GetPin(i)->GetMediaType(k, &mt) == S_OK; k++) out.push_back(mt.subtype);
    return out;
  }
  CMediaType Type(int i, int k = 0) {
    CMediaType mt;
    splitter->GetPin(i)->GetMediaType(k, &mt);
    return mt;
  }
};

}  // namespace mp4test
