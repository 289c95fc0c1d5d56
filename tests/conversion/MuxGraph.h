// A filter graph around a source and a sink for the muxer tests: connects
// the pins of the same name, runs the graph to its end and counts the
// events it reports; plus the ffprobe/ffmpeg checks of the output.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>

#include "platform/com/ComBase.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/DShow.h"
#include "platform/dshow/DShowRegister.h"

inline std::string RunCommand(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

inline bool HaveTools() {
  return system("ffprobe -version >/dev/null 2>&1") == 0 && system("ffmpeg -version >/dev/null 2>&1") == 0;
}

// "key=value" lines of ffprobe for the selected streams ("v:0", "a:0").
inline std::map<std::string, std::string> Probe(const std::string& file, const std::string& select) {
  std::string out = RunCommand("ffprobe -v error -count_frames -select_streams " + select +
                               " -show_entries stream=codec_name,width,height,r_frame_rate,sample_rate,channels,"
                               "nb_read_frames:format=format_name,duration -of default=noprint_wrappers=1 '" +
                               file + "' 2>&1");
  std::map<std::string, std::string> kv;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return kv;
}

inline bool DecodesCleanly(const std::string& file) {
  int status = 0;
  std::string err = RunCommand("ffmpeg -v error -i '" + file + "' -f null - 2>&1", &status);
  if (status != 0 || !err.empty()) ADD_FAILURE() << "ffmpeg on " << file << ": " << err;
  return status == 0 && err.empty();
}

struct GraphEvents {
  int completes = 0;
  int aborts = 0;
  LONG_PTR abortCode = 0;
};

// Runs a built graph until it reports its end (completion or abort), then
// stops it.
inline GraphEvents PlayToEnd(IUnknown* graph) {
  GraphEvents ev;
  CComQIPtr<IMediaControl> control(graph);
  CComQIPtr<IMediaEventEx> events(graph);
  if (!control || !events) {
    ADD_FAILURE() << "no control";
    return ev;
  }
  EXPECT_TRUE(SUCCEEDED(control->Run()));
  for (;;) {
    long code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    if (events->GetEvent(&code, &p1, &p2, 120000) != S_OK) {
      ADD_FAILURE() << "the run did not end";
      break;
    }
    events->FreeEventParams(code, p1, p2);
    if (code == EC_COMPLETE) ++ev.completes;
    if (code == EC_ERRORABORT) {
      ++ev.aborts;
      ev.abortCode = p1;
    }
    if (code == EC_COMPLETE || code == EC_ERRORABORT) break;
  }
  control->Stop();
  return ev;
}

class MuxGraph {
 public:
  MuxGraph() {
    EXPECT_EQ(DShowRegisterPlatform(), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    control = CComQIPtr<IMediaControl>(graph);
    events = CComQIPtr<IMediaEventEx>(graph);
  }
  ~MuxGraph() {
    if (control) control->Stop();
  }

  static IPin* Pin(IBaseFilter* f, const wchar_t* name) {
    IPin* pin = nullptr;
    if (f->FindPin(name, &pin) != S_OK) return nullptr;
    pin->Release();  // the filter keeps its pins alive
    return pin;
  }

  // Adds both filters and connects every source pin to the sink pin of the
  // same name.
  HRESULT Build(IBaseFilter* source, IBaseFilter* sink, const wchar_t* sinkName = L"Veyl Mpeg Muxer") {
    HRESULT hr = graph->AddFilter(source, L"Source");
    if (FAILED(hr)) return hr;
    hr = graph->AddFilter(sink, sinkName);
    if (FAILED(hr)) return hr;
    for (const wchar_t* name : {L"Video", L"Audio"}) {
      IPin* out = Pin(source, name);
      if (!out) continue;
      hr = graph->ConnectDirect(out, Pin(sink, name), nullptr);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }

  // Reads events until the run ends (or nothing comes for a long while).
  GraphEvents WaitForEnd(LONG msTimeout = 120000) {
    GraphEvents ev;
    for (;;) {
      long code = 0;
      LONG_PTR p1 = 0, p2 = 0;
      if (events->GetEvent(&code, &p1, &p2, msTimeout) != S_OK) {
        ADD_FAILURE() << "the run did not end";
        return ev;
      }
      events->FreeEventParams(code, p1, p2);
      if (code == EC_COMPLETE) ++ev.completes;
      if (code == EC_ERRORABORT) {
        ++ev.aborts;
        ev.abortCode = p1;
      }
      if (code == EC_COMPLETE || code == EC_ERRORABORT) return ev;
    }
  }

  // Events still queued, without waiting.
  GraphEvents Remaining() {
    GraphEvents ev;
    long code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    while (events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
      if (code == EC_COMPLETE) ++ev.completes;
      if (code == EC_ERRORABORT) ++ev.aborts;
    }
    return ev;
  }

  CComPtr<IGraphBuilder> graph;
  CComQIPtr<IMediaControl> control;
  CComQIPtr<IMediaEventEx> events;
};
