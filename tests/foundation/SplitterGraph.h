// A source-form splitter on a file in a filter graph, with a recording
// sink on every output, for the splitter tests.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "foundation/BaseSplitter.h"
#include "foundation/FilterHelpers.h"
#include "platform/dshow/DShowRegister.h"
#include "tests/foundation/ToyFilters.h"

template <class Source>
struct SplitterGraph {
  CComPtr<IFilterGraph> graph;
  Source* splitter = nullptr;
  CComPtr<IBaseFilter> hold;
  std::vector<toy::Sink*> sinks;
  std::vector<CComPtr<IBaseFilter>> sinkHolds;
  HRESULT loaded = E_FAIL;

  // `types` picks, by output, the position of the type to connect with
  // (default: the output's first type).
  explicit SplitterGraph(const std::string& path, const std::map<int, int>& types = {}) {
    EXPECT_EQ(DShowRegisterPlatform(), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    HRESULT hr = S_OK;
    splitter = new Source(nullptr, &hr);
    hold = toy::Hold(splitter);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(graph->AddFilter(hold, L"Source"), S_OK);
    std::wstring wide(path.begin(), path.end());
    CComQIPtr<IFileSourceFilter> fs(hold);
    EXPECT_TRUE(fs);
    loaded = fs->Load(wide.c_str(), nullptr);
    if (FAILED(loaded)) return;
    for (int i = 0; i < splitter->GetPinCount(); i++) {
      auto* sink = new toy::Sink();
      sinks.push_back(sink);
      sinkHolds.push_back(toy::Hold(sink));
      EXPECT_EQ(graph->AddFilter(sinkHolds.back(), (L"Sink " + std::to_wstring(i)).c_str()), S_OK);
      CMediaType mt;
      const auto it = types.find(i);
      const bool pick = it != types.end() && Pin(i)->GetMediaType(it->second, &mt) == S_OK;
      EXPECT_EQ(graph->ConnectDirect(splitter->GetPin(i), sink->In(), pick ? &mt : nullptr), S_OK);
    }
  }
  ~SplitterGraph() {
    if (graph) {
      CComQIPtr<IMediaControl>(graph)->Stop();
      // Filters leave the graph before it goes, so no reference cycles stay.
      for (auto& s : sinkHolds) graph->RemoveFilter(s);
      graph->RemoveFilter(hold);
    }
  }
  CBaseSplitterOutputPin* Pin(int i) { return static_cast<CBaseSplitterOutputPin*>(splitter->GetPin(i)); }
  // Runs to the end of every stream that carries data.
  void RunToEnd() {
    CComQIPtr<IMediaControl> control(graph);
    ASSERT_EQ(control->Run(), S_OK);
    for (auto* s : sinks) EXPECT_TRUE(s->WaitFor(0, true));
    control->Stop();
  }
  // Sets the start position and forgets what the sinks received.
  void Seek(REFERENCE_TIME t) {
    CComQIPtr<IMediaSeeking> seeking(hold);
    ASSERT_EQ(seeking->SetPositions(&t, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
    for (auto* s : sinks) s->Clear();
  }
  std::wstring PinName(int i) { return GetPinName(splitter->GetPin(i)); }
  CMediaType PinType(int i) {
    CMediaType mt;
    splitter->GetPin(i)->ConnectionMediaType(&mt);
    return mt;
  }
};
