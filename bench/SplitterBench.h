// Demultiplexing speed of a source-form splitter: the filter in a filter
// graph, every output into a sink that drops what it gets, against
// `ffmpeg -map 0 -c copy -f null -` on the same file in the same run.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/Com.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/DShowRegister.h"

namespace splitbench {

using SourceFactory = std::function<CComPtr<IBaseFilter>()>;

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Takes every packet a splitter delivers and drops it (the platform's
// renderers take decoded data only); its end of stream completes the graph.
class PacketSink final : public CBaseFilter {
  class Pin final : public CBaseInputPin {
   public:
    Pin(PacketSink* filter, CCritSec* lock, HRESULT* phr)
        : CBaseInputPin(NAME("packet sink in"), filter, lock, phr, L"In"), m_filter(filter) {}
    HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
    STDMETHODIMP EndOfStream() override {
      if (HRESULT hr = CheckStreaming(); hr != S_OK) return hr;
      return m_filter->NotifyEvent(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(m_filter)));
    }

   private:
    PacketSink* m_filter;
  };

 public:
  PacketSink() : CBaseFilter(NAME("packet sink"), nullptr, &m_lock, GUID_NULL) {
    HRESULT hr = S_OK;
    m_pin = std::make_unique<Pin>(this, &m_lock, &hr);
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? m_pin.get() : nullptr; }

 private:
  CCritSec m_lock;
  std::unique_ptr<Pin> m_pin;
};

// One pass through a new source filter from `make`; false when the graph
// could not be built or did not finish.
inline bool RunOurs(const SourceFactory& make, const std::string& path, double& seconds, int& outputs) {
  CComPtr<IGraphBuilder> graph;
  if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                              reinterpret_cast<void**>(&graph))))
    return false;
  CComPtr<IBaseFilter> source = make();
  if (!source || FAILED(graph->AddFilter(source, L"Source"))) return false;
  std::vector<CComPtr<IBaseFilter>> sinks;
  bool ok = false;
  do {
    std::wstring wide(path.begin(), path.end());
    CComQIPtr<IFileSourceFilter> fs(source);
    const auto t0 = Clock::now();
    if (!fs || FAILED(fs->Load(wide.c_str(), nullptr))) break;
    // Every output into a sink of its own; no clock, so nothing waits for
    // presentation times.
    outputs = 0;
    CComPtr<IEnumPins> pins;
    source->EnumPins(&pins);
    std::vector<CComPtr<IPin>> outs;
    for (CComPtr<IPin> pin; pins && pins->Next(1, &pin, nullptr) == S_OK; pin.Release()) outs.push_back(pin);
    for (auto& pin : outs) {
      PIN_DIRECTION dir = PINDIR_INPUT;
      if (FAILED(pin->QueryDirection(&dir)) || dir != PINDIR_OUTPUT) continue;
      CComPtr<IBaseFilter> sink(static_cast<IBaseFilter*>(new PacketSink));
      graph->AddFilter(sink, L"Packet Sink");
      CComPtr<IEnumPins> sp;
      CComPtr<IPin> in;
      if (SUCCEEDED(sink->EnumPins(&sp)) && sp->Next(1, &in, nullptr) == S_OK &&
          SUCCEEDED(graph->ConnectDirect(pin, in, nullptr)))
        ++outputs;
      sinks.push_back(sink);
    }
    if (outputs == 0) break;
    if (CComQIPtr<IMediaFilter> mf = graph) mf->SetSyncSource(nullptr);
    CComQIPtr<IMediaControl> control(graph);
    CComQIPtr<IMediaEvent> events(graph);
    if (!control || !events || FAILED(control->Run())) break;
    long code = 0;
    ok = events->WaitForCompletion(600000, &code) == S_OK && code == EC_COMPLETE;
    seconds = Seconds(t0, Clock::now());
    control->Stop();
  } while (false);
  for (auto& s : sinks) graph->RemoveFilter(s);
  graph->RemoveFilter(source);
  return ok;
}

inline bool RunFfmpeg(const std::string& path, double& seconds) {
  const std::string cmd = "ffmpeg -v error -nostdin -i '" + path + "' -map 0 -c copy -f null - >/dev/null 2>&1";
  const auto t0 = Clock::now();
  const int rc = std::system(cmd.c_str());
  seconds = Seconds(t0, Clock::now());
  return rc == 0;
}

// The benchmark's main: `label` names our side in the report. With
// "--ours" in place of the run count it makes one pass of ours alone, for
// timing whole processes from outside against the ffmpeg command.
inline int Main(int argc, char** argv, const char* label, const SourceFactory& make) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [runs | --ours]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  const bool oursOnly = argc > 2 && std::string(argv[2]) == "--ours";
  const int runs = argc > 2 && !oursOnly ? std::max(1, std::atoi(argv[2])) : 5;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (DShowRegisterPlatform() != S_OK) {
    std::fprintf(stderr, "platform registration failed\n");
    return 1;
  }
  if (oursOnly) {
    double t = 0;
    int outputs = 0;
    const bool ok = RunOurs(make, path, t, outputs);
    CoUninitialize();
    return ok ? 0 : 1;
  }
  // Best of several runs of each, interleaved, so both see the same cache
  // and load.
  double ours = 1e30, theirs = 1e30;
  int outputs = 0;
  for (int i = 0; i < runs; i++) {
    double t = 0;
    if (!RunOurs(make, path, t, outputs)) {
      std::fprintf(stderr, "the splitter graph failed on %s\n", path.c_str());
      return 1;
    }
    ours = std::min(ours, t);
    if (!RunFfmpeg(path, t)) {
      std::fprintf(stderr, "ffmpeg failed on %s\n", path.c_str());
      return 1;
    }
    theirs = std::min(theirs, t);
  }
  std::printf("file: %s (%d outputs)\n", path.c_str(), outputs);
  std::printf("%s graph: %.3f s (best of %d)\n", label, ours, runs);
  std::printf("ffmpeg -c copy -f null: %.3f s (best of %d, process start included)\n", theirs, runs);
  std::printf("ratio (ours / ffmpeg): %.2f\n", ours / theirs);
  CoUninitialize();
  return 0;
}

}  // namespace splitbench
