// Shared by the demultiplexing benchmarks: one pass of a source filter in a
// filter graph with every output into the platform's null renderers, and
// `ffmpeg -map 0 -c copy -f null -` on the same file as the reference.
#pragma once

#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/com/Com.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/DShowRegister.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Loads the file into the source (which the caller made), renders every
// output into a null renderer and runs to the end; false when the graph
// could not be built or did not finish.
inline bool RunSource(IBaseFilter* source, const std::string& path, double& seconds, int& outputs) {
  CComPtr<IGraphBuilder> graph;
  if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                              reinterpret_cast<void**>(&graph))))
    return false;
  if (FAILED(graph->AddFilter(source, L"Source"))) return false;
  std::vector<CComPtr<IBaseFilter>> sinks;
  bool ok = false;
  do {
    std::wstring wide(path.begin(), path.end());
    CComQIPtr<IFileSourceFilter> fs(source);
    const auto t0 = Clock::now();
    if (!fs || FAILED(fs->Load(wide.c_str(), nullptr))) break;
    // No clock, so nothing waits for presentation times.
    outputs = 0;
    CComPtr<IEnumPins> pins;
    source->EnumPins(&pins);
    std::vector<CComPtr<IPin>> outs;
    for (CComPtr<IPin> pin; pins && pins->Next(1, &pin, nullptr) == S_OK; pin.Release()) outs.push_back(pin);
    for (auto& pin : outs) {
      CComPtr<IEnumMediaTypes> types;
      AM_MEDIA_TYPE* got = nullptr;
      if (FAILED(pin->EnumMediaTypes(&types)) || types->Next(1, &got, nullptr) != S_OK) got = nullptr;
      const bool audio = got && got->majortype == MEDIATYPE_Audio;
      if (got) DeleteMediaType(got);
      CComPtr<IBaseFilter> sink;
      if (FAILED(sink.CoCreateInstance(audio ? CLSID_DSoundRender : CLSID_VideoRenderer))) continue;
      graph->AddFilter(sink, audio ? L"Audio Renderer" : L"Video Renderer");
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
    LONG code = 0;
    ok = events->WaitForCompletion(600000, &code) == S_OK && code == EC_COMPLETE;
    seconds = Seconds(t0, Clock::now());
    control->Stop();
  } while (false);
  for (auto& s : sinks) graph->RemoveFilter(s);
  graph->RemoveFilter(source);
  return ok;
}

inline bool RunFfmpegCopy(const std::string& path, double& seconds) {
  const std::string cmd = "ffmpeg -v error -nostdin -i '" + path + "' -map 0 -c copy -f null - >/dev/null 2>&1";
  const auto t0 = Clock::now();
  const int rc = std::system(cmd.c_str());
  seconds = Seconds(t0, Clock::now());
  return rc == 0;
}

// The benchmark's main: the best of `runs` passes of a new source from
// `make` against the best of as many ffmpeg runs, interleaved so both see
// the same cache and load; prints both and their ratio. With `runs` 0 our
// graph runs once alone, for timing whole processes from outside.
inline int CompareWithFfmpeg(const std::string& path, int runs, const char* name,
                             const std::function<IBaseFilter*()>& make) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (DShowRegisterPlatform() != S_OK) {
    std::fprintf(stderr, "platform registration failed\n");
    return 1;
  }
  double ours = 1e30, theirs = 1e30;
  int outputs = 0;
  for (int i = 0; i < std::max(runs, 1); i++) {
    CComPtr<IBaseFilter> source(make());
    double t = 0;
    if (!source || !RunSource(source, path, t, outputs)) {
      std::fprintf(stderr, "the %s graph failed on %s\n", name, path.c_str());
      return 1;
    }
    ours = std::min(ours, t);
    if (runs == 0) {
      std::printf("%s graph: %.3f s\n", name, ours);
      return 0;
    }
    if (!RunFfmpegCopy(path, t)) {
      std::fprintf(stderr, "ffmpeg failed on %s\n", path.c_str());
      return 1;
    }
    theirs = std::min(theirs, t);
  }
  std::printf("file: %s (%d outputs)\n", path.c_str(), outputs);
  std::printf("%s graph: %.3f s (best of %d)\n", name, ours, runs);
  std::printf("ffmpeg -c copy -f null: %.3f s (best of %d, process start included)\n", theirs, runs);
  std::printf("ratio (ours / ffmpeg): %.2f\n", ours / theirs);
  CoUninitialize();
  return 0;
}

}  // namespace bench
