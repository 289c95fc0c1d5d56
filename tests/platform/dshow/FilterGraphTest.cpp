#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "platform/com/Com.h"
#include "platform/dshow/DShowRegister.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/NullRenderers.h"
#include "tests/platform/dshow/GraphTestFilters.h"
#include "tests/platform/dshow/RegistryFixture.h"

using namespace graphtest;

namespace {

struct HookCall {
  HWND hwnd;
  UINT msg;
  LONG_PTR data;
};
std::mutex g_hookLock;
std::vector<HookCall> g_hookCalls;

void RecordingHook(HWND hwnd, UINT msg, LONG_PTR data) {
  std::lock_guard g(g_hookLock);
  g_hookCalls.push_back({hwnd, msg, data});
}

size_t HookCount() {
  std::lock_guard g(g_hookLock);
  return g_hookCalls.size();
}

IPin* PinOf(IBaseFilter* f, int index) {
  CComPtr<IEnumPins> e;
  f->EnumPins(&e);
  e->Skip(index);
  IPin* pin = nullptr;
  e->Next(1, &pin, nullptr);
  if (pin) pin->Release();  // the filter keeps its pins alive
  return pin;
}

std::wstring NameOf(IBaseFilter* f) {
  FILTER_INFO info{};
  f->QueryFilterInfo(&info);
  if (info.pGraph) info.pGraph->Release();
  return info.achName;
}

class GraphTest : public FreshRegistryTest {
 protected:
  void SetUp() override {
    FreshRegistryTest::SetUp();
    ASSERT_EQ(CFilterGraph::CreateInstance(nullptr, IID_IFilterGraph2, reinterpret_cast<void**>(&graph)), S_OK);
    control = CComQIPtr<IMediaControl>(graph);
    events = CComQIPtr<IMediaEventEx>(graph);
    seeking = CComQIPtr<IMediaSeeking>(graph);
    ASSERT_TRUE(control && events && seeking);
  }
  void TearDown() override {
    SetGraphNotifyHook(nullptr);
    FreshRegistryTest::TearDown();
  }

  // source -> copier -> sink
  void BuildChain(int count) {
    source = new Source(count, &log);
    copier = new Copier(&log);
    sink = new Sink(&log);
    src = Make(source);
    cop = Make(copier);
    snk = Make(sink);
    ASSERT_EQ(graph->AddFilter(src, L"Source"), S_OK);
    ASSERT_EQ(graph->AddFilter(cop, L"Copier"), S_OK);
    ASSERT_EQ(graph->AddFilter(snk, L"Sink"), S_OK);
    ASSERT_EQ(graph->ConnectDirect(PinOf(src, 0), PinOf(cop, 0), nullptr), S_OK);
    ASSERT_EQ(graph->ConnectDirect(PinOf(cop, 1), PinOf(snk, 0), nullptr), S_OK);
  }

  LONG NextEvent(LONG timeout) {
    long code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    HRESULT hr = events->GetEvent(&code, &p1, &p2, timeout);
    if (FAILED(hr)) return -1;
    events->FreeEventParams(code, p1, p2);
    return code;
  }

  CComPtr<IFilterGraph2> graph;
  CComQIPtr<IMediaControl> control;
  CComQIPtr<IMediaEventEx> events;
  CComQIPtr<IMediaSeeking> seeking;
  StateLog log;
  Source* source = nullptr;
  Copier* copier = nullptr;
  Sink* sink = nullptr;
  CComPtr<IBaseFilter> src, cop, snk;
};

}  // namespace

TEST_F(GraphTest, ToyGraphRunsToExactlyOneCompletionThenSeeksAndRunsAgain) {
  BuildChain(10000);
  SetGraphNotifyHook(&RecordingHook);
  HWND window = reinterpret_cast<HWND>(0x1234);
  ASSERT_EQ(events->SetNotifyWindow(reinterpret_cast<OAHWND>(window), 0x8065, 77), S_OK);
  g_hookCalls.clear();

  LONGLONG duration = 0;
  ASSERT_EQ(seeking->GetDuration(&duration), S_OK);
  EXPECT_EQ(duration, 10000 * kSampleTime);

  ASSERT_EQ(control->Run(), S_OK);
  EXPECT_EQ(NextEvent(20000), EC_COMPLETE);
  EXPECT_EQ(NextEvent(0), -1);  // exactly one
  EXPECT_EQ(sink->received, 10000);
  ASSERT_EQ(HookCount(), 1u);
  EXPECT_EQ(g_hookCalls[0].hwnd, window);
  EXPECT_EQ(g_hookCalls[0].msg, 0x8065u);
  EXPECT_EQ(g_hookCalls[0].data, 77);
  OAFilterState state = -1;
  EXPECT_EQ(control->GetState(1000, &state), S_OK);
  EXPECT_EQ(state, State_Running);

  // State changes go downstream first.
  std::vector<std::string> order = log.Take();
  std::vector<std::string> expected = {"sink.Pause", "copier.Pause", "source.Pause",
                                       "sink.Run",   "copier.Run",   "source.Run"};
  EXPECT_EQ(order, expected);
  // A running graph pauses before it stops.
  ASSERT_EQ(control->Stop(), S_OK);
  EXPECT_EQ(log.Take(), (std::vector<std::string>{"sink.Pause", "copier.Pause", "source.Pause", "sink.Stop",
                                                  "copier.Stop", "source.Stop"}));

  // Seek to the middle and run again: one more completion, half the samples.
  LONGLONG middle = 5000 * kSampleTime;
  ASSERT_EQ(seeking->SetPositions(&middle, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
  ASSERT_EQ(control->Run(), S_OK);
  EXPECT_EQ(NextEvent(20000), EC_COMPLETE);
  EXPECT_EQ(NextEvent(0), -1);
  EXPECT_EQ(sink->received, 15000);
  EXPECT_EQ(HookCount(), 2u);
  LONGLONG position = 0;
  EXPECT_EQ(seeking->GetCurrentPosition(&position), S_OK);
  EXPECT_EQ(position, 10000 * kSampleTime);

  // With the notify window cleared no more messages are posted.
  ASSERT_EQ(events->SetNotifyWindow(0, 0, 0), S_OK);
  ASSERT_EQ(control->Stop(), S_OK);
  ASSERT_EQ(control->Run(), S_OK);
  long code = 0;
  EXPECT_EQ(events->WaitForCompletion(20000, &code), S_OK);
  EXPECT_EQ(code, EC_COMPLETE);
  EXPECT_EQ(HookCount(), 2u);
  EXPECT_EQ(control->Stop(), S_OK);
}

TEST_F(GraphTest, StopReturnsWhileTheSinkBlocksInReceive) {
  BuildChain(1000);
  sink->block = true;
  ASSERT_EQ(control->Run(), S_OK);
  ASSERT_TRUE(sink->WaitFor([&] { return sink->inReceive; }));
  auto stopped = std::async(std::launch::async, [&] { return control->Stop(); });
  ASSERT_EQ(stopped.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(stopped.get(), S_OK);
  EXPECT_LT(sink->received, 1000);
  EXPECT_EQ(NextEvent(0), -1);
}

TEST_F(GraphTest, StopReturnsWhileTheSourceBlocksInGetBuffer) {
  BuildChain(1000);
  sink->holdSamples = true;  // the copier's two buffers are never given back
  ASSERT_EQ(control->Run(), S_OK);
  ASSERT_TRUE(sink->WaitFor([&] { return sink->received >= 2; }));
  auto stopped = std::async(std::launch::async, [&] { return control->Stop(); });
  ASSERT_EQ(stopped.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(stopped.get(), S_OK);
  EXPECT_EQ(sink->received, 2);
}

TEST_F(GraphTest, CompletionWaitsForEverySinkButErrorsPassAtOnce) {
  BuildChain(50);
  Source* source2 = new Source(50, nullptr, "source2");
  Sink* sink2 = new Sink(nullptr, "sink2");
  CComPtr<IBaseFilter> src2 = Make(source2), snk2 = Make(sink2);
  ASSERT_EQ(graph->AddFilter(src2, L"Source"), VFW_S_DUPLICATE_NAME);
  ASSERT_EQ(graph->AddFilter(snk2, L"Sink two"), S_OK);
  ASSERT_EQ(graph->ConnectDirect(PinOf(src2, 0), PinOf(snk2, 0), nullptr), S_OK);
  sink2->block = true;

  ASSERT_EQ(control->Run(), S_OK);
  ASSERT_TRUE(sink->WaitFor([&] { return sink->endOfStreams == 1; }));
  ASSERT_TRUE(sink2->WaitFor([&] { return sink2->inReceive; }));
  EXPECT_EQ(NextEvent(0), -1);  // one sink of two has finished

  CComQIPtr<IMediaEventSink> eventSink(graph);
  ASSERT_EQ(eventSink->Notify(EC_ERRORABORT, E_FAIL, 0), S_OK);
  long code = 0;
  LONG_PTR p1 = 0, p2 = 0;
  ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 0), S_OK);
  EXPECT_EQ(code, EC_ERRORABORT);
  EXPECT_EQ(p1, E_FAIL);

  sink2->Unblock();
  EXPECT_EQ(NextEvent(20000), EC_COMPLETE);
  EXPECT_EQ(NextEvent(0), -1);
  // A repeated end from a sink that already reported changes nothing.
  ASSERT_EQ(eventSink->Notify(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(snk2.p)), S_OK);
  EXPECT_EQ(NextEvent(0), -1);
  EXPECT_EQ(control->Stop(), S_OK);
}

// A sink that never reports its end holds EC_COMPLETE back, unless it is
// the null text renderer, which is no sink for the count.
TEST_F(GraphTest, TheNullTextRendererIsNotCountedAsASink) {
  constexpr GUID kNullTextRenderer = MakeGuid("655D7613-C26C-4A25-BBBD-3C9C516122CC");
  for (bool textRenderer : {true, false}) {
    SCOPED_TRACE(textRenderer ? "text renderer" : "ordinary sink");
    CComPtr<IFilterGraph2> g;
    ASSERT_EQ(CFilterGraph::CreateInstance(nullptr, IID_IFilterGraph2, reinterpret_cast<void**>(&g)), S_OK);
    Source* s1 = new Source(20, nullptr);
    Source* s2 = new Source(20, nullptr, "source2");
    Sink* k1 = new Sink(nullptr);
    Sink* k2 = new Sink(nullptr, "quiet", textRenderer ? kNullTextRenderer : kClsSink);
    k2->silent = true;
    CComPtr<IBaseFilter> f1 = Make(s1), f2 = Make(s2), f3 = Make(k1), f4 = Make(k2);
    for (auto* f : {f1.p, f2.p, f3.p, f4.p}) ASSERT_TRUE(SUCCEEDED(g->AddFilter(f, L"f")));
    ASSERT_EQ(g->ConnectDirect(PinOf(f1, 0), PinOf(f3, 0), nullptr), S_OK);
    ASSERT_EQ(g->ConnectDirect(PinOf(f2, 0), PinOf(f4, 0), nullptr), S_OK);
    CComQIPtr<IMediaControl> c(g);
    CComQIPtr<IMediaEventEx> ev(g);
    ASSERT_EQ(c->Run(), S_OK);
    ASSERT_TRUE(k1->WaitFor([&] { return k1->endOfStreams == 1; }));
    ASSERT_TRUE(k2->WaitFor([&] { return k2->endOfStreams == 1; }));
    long code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    HRESULT got = ev->GetEvent(&code, &p1, &p2, textRenderer ? 20000 : 0);
    if (textRenderer) {
      EXPECT_EQ(got, S_OK);
      EXPECT_EQ(code, EC_COMPLETE);
    } else {
      EXPECT_EQ(got, E_ABORT);
    }
    EXPECT_EQ(c->Stop(), S_OK);
  }
}

TEST_F(GraphTest, RemoveFilterDisconnectsBothSidesAndKeepsTheOrder) {
  BuildChain(10);
  ASSERT_EQ(graph->RemoveFilter(cop), S_OK);
  CComPtr<IPin> peer;
  EXPECT_EQ(PinOf(src, 0)->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
  EXPECT_EQ(PinOf(snk, 0)->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
  EXPECT_EQ(PinOf(cop, 0)->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
  EXPECT_EQ(PinOf(cop, 1)->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
  FILTER_INFO info{};
  ASSERT_EQ(cop->QueryFilterInfo(&info), S_OK);
  EXPECT_EQ(info.pGraph, nullptr);
  EXPECT_EQ(graph->RemoveFilter(cop), VFW_E_NOT_FOUND);
  CComPtr<IBaseFilter> found;
  EXPECT_EQ(graph->FindFilterByName(L"Copier", &found), VFW_E_NOT_FOUND);

  CComPtr<IEnumFilters> e;
  ASSERT_EQ(graph->EnumFilters(&e), S_OK);
  std::vector<std::wstring> names;
  for (CComPtr<IBaseFilter> f; e->Next(1, &f, nullptr) == S_OK;) names.push_back(NameOf(f));
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Source", L"Sink"}));

  // The removed filter can go back in and be connected again.
  ASSERT_EQ(graph->AddFilter(cop, L"Copier"), S_OK);
  EXPECT_EQ(graph->ConnectDirect(PinOf(src, 0), PinOf(cop, 0), nullptr), S_OK);
}

TEST_F(GraphTest, NamesAreMadeUniqueAndCut) {
  std::vector<CComPtr<IBaseFilter>> filters;
  for (int i = 0; i < 4; ++i) filters.push_back(Make(new Sink(nullptr)));
  EXPECT_EQ(graph->AddFilter(filters[0], L"Same"), S_OK);
  EXPECT_EQ(graph->AddFilter(filters[1], L"Same"), VFW_S_DUPLICATE_NAME);
  EXPECT_EQ(NameOf(filters[1]), L"Same 0001");
  EXPECT_EQ(graph->AddFilter(filters[2], nullptr), S_OK);
  EXPECT_FALSE(NameOf(filters[2]).empty());
  std::wstring longName(300, L'n');
  EXPECT_EQ(graph->AddFilter(filters[3], longName.c_str()), S_OK);
  EXPECT_EQ(NameOf(filters[3]), longName.substr(0, 127));
  EXPECT_EQ(graph->AddFilter(filters[0], L"Again"), E_INVALIDARG);
  EXPECT_EQ(graph->AddFilter(nullptr, L"x"), E_POINTER);
  CComPtr<IBaseFilter> found;
  ASSERT_EQ(graph->FindFilterByName(L"Same 0001", &found), S_OK);
  EXPECT_EQ(found, filters[1]);
}

TEST_F(GraphTest, FailedStateChangeLeavesTheGraphStopped) {
  BuildChain(10);
  sink->failPause = VFW_E_NO_ALLOCATOR;
  EXPECT_EQ(control->Run(), VFW_E_NO_ALLOCATOR);
  OAFilterState state = -1;
  EXPECT_EQ(control->GetState(0, &state), S_OK);
  EXPECT_EQ(state, State_Stopped);
  FILTER_STATE fs;
  EXPECT_EQ(src->GetState(0, &fs), S_OK);
  EXPECT_EQ(fs, State_Stopped);
  sink->failPause = S_OK;
  EXPECT_EQ(control->Run(), S_OK);
  EXPECT_EQ(NextEvent(20000), EC_COMPLETE);
  EXPECT_EQ(control->Stop(), S_OK);
}

TEST_F(GraphTest, ConnectionErrorsAreThePlatformCodes) {
  BuildChain(10);
  EXPECT_EQ(graph->ConnectDirect(PinOf(src, 0), PinOf(cop, 0), nullptr), VFW_E_ALREADY_CONNECTED);
  CComPtr<IBaseFilter> outside = Make(new Sink(nullptr));
  EXPECT_EQ(graph->ConnectDirect(PinOf(cop, 1), PinOf(outside, 0), nullptr), VFW_E_NOT_IN_GRAPH);
  ASSERT_EQ(graph->AddFilter(outside, L"Outside"), S_OK);
  EXPECT_EQ(graph->Reconnect(PinOf(outside, 0)), VFW_E_NOT_CONNECTED);
  // A pin that takes nothing the other offers.
  CComPtr<IBaseFilter> renderer;
  ASSERT_EQ(CNullVideoRenderer::CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&renderer)), S_OK);
  ASSERT_EQ(graph->AddFilter(renderer, L"Video Renderer"), S_OK);
  ASSERT_EQ(graph->Disconnect(PinOf(snk, 0)), S_OK);
  ASSERT_EQ(graph->Disconnect(PinOf(cop, 1)), S_OK);
  EXPECT_EQ(graph->ConnectDirect(PinOf(cop, 1), PinOf(renderer, 0), nullptr), VFW_E_NO_ACCEPTABLE_TYPES);
  // Reconnect keeps a working connection.
  ASSERT_EQ(graph->ConnectDirect(PinOf(cop, 1), PinOf(snk, 0), nullptr), S_OK);
  EXPECT_EQ(graph->Reconnect(PinOf(snk, 0)), S_OK);
  CComPtr<IPin> peer;
  EXPECT_EQ(PinOf(snk, 0)->ConnectedTo(&peer), S_OK);
  // Nothing changes while running.
  ASSERT_EQ(control->Pause(), S_OK);
  EXPECT_EQ(graph->RemoveFilter(cop), VFW_E_NOT_STOPPED);
  EXPECT_EQ(graph->AddFilter(Make(new Sink(nullptr)), L"Late"), VFW_E_NOT_STOPPED);
  EXPECT_EQ(control->Stop(), S_OK);
}

TEST_F(GraphTest, NullRenderersEndTheStreamAndPassSeekingUp) {
  ASSERT_EQ(DShowRegisterPlatform(), S_OK);
  source = new Source(200, nullptr, "source", MEDIATYPE_Audio);
  src = Make(source);
  ASSERT_EQ(graph->AddFilter(src, L"Source"), S_OK);
  CComPtr<IBaseFilter> video, audioRenderer;
  ASSERT_EQ(CoCreateInstance(CLSID_VideoRenderer, nullptr, CLSCTX_ALL, IID_IBaseFilter,
                             reinterpret_cast<void**>(&video)),
            S_OK);
  ASSERT_EQ(CoCreateInstance(CLSID_DSoundRender, nullptr, CLSCTX_ALL, IID_IBaseFilter,
                             reinterpret_cast<void**>(&audioRenderer)),
            S_OK);
  CComQIPtr<IMediaSeeking> rs(audioRenderer);
  LONGLONG d = 0;
  EXPECT_EQ(rs->GetDuration(&d), VFW_E_NOT_CONNECTED);
  CComQIPtr<IBasicAudio> audio(audioRenderer);
  ASSERT_TRUE(audio);
  EXPECT_EQ(audio->put_Volume(1), E_INVALIDARG);
  EXPECT_EQ(audio->put_Volume(-500), S_OK);
  LONG volume = 0;
  EXPECT_EQ(audio->get_Volume(&volume), S_OK);
  EXPECT_EQ(volume, -500);
  CComQIPtr<IAMFilterMiscFlags> flags(audioRenderer);
  ASSERT_TRUE(flags);
  EXPECT_EQ(flags->GetMiscFlags(), AM_FILTER_MISC_FLAGS_IS_RENDERER);

  // Audio goes to the audio renderer only.
  ASSERT_EQ(graph->AddFilter(video, L"Video Renderer"), S_OK);
  EXPECT_EQ(graph->Render(PinOf(src, 0)), VFW_E_CANNOT_RENDER);
  ASSERT_EQ(graph->AddFilter(audioRenderer, L"Audio Renderer"), S_OK);
  ASSERT_EQ(graph->Render(PinOf(src, 0)), S_OK);
  CComPtr<IPin> peer;
  ASSERT_EQ(PinOf(src, 0)->ConnectedTo(&peer), S_OK);
  EXPECT_EQ(peer.p, PinOf(audioRenderer, 0));

  // The graph seeks through the renderer to the source; the unconnected
  // video renderer is no end of a stream and does not count.
  ASSERT_EQ(seeking->GetDuration(&d), S_OK);
  EXPECT_EQ(d, 200 * kSampleTime);
  ASSERT_EQ(control->Run(), S_OK);
  EXPECT_EQ(NextEvent(20000), EC_COMPLETE);
  EXPECT_EQ(NextEvent(0), -1);
  ASSERT_EQ(control->Stop(), S_OK);
  LONGLONG start = 150 * kSampleTime;
  ASSERT_EQ(seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
  ASSERT_EQ(control->Run(), S_OK);
  EXPECT_EQ(NextEvent(20000), EC_COMPLETE);
  EXPECT_EQ(source->pin->delivered, 50);
  ASSERT_EQ(control->Stop(), S_OK);
}
