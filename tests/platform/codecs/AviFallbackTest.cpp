// The installed AVI splitter behind the platform's file reader: a file whose
// streams lie one after the other comes out packet for packet as
// libavformat reads it; packets larger than a sample are split; what is not
// an AVI file is refused; a disconnected input takes the outputs away.
#include <gtest/gtest.h>

#include "foundation/FilterHelpers.h"
#include "platform/codecs/AviFallbackSplitter.h"
#include "platform/codecs/CodecsRegister.h"
#include "platform/dshow/DShowRegister.h"
#include "tests/foundation/ToyFilters.h"
#include "tests/splitters/avi/AviTestSupport.h"

namespace {

using namespace avitest;

struct Chain {
  CComPtr<IGraphBuilder> graph;
  CComPtr<IBaseFilter> reader, splitter;
  std::vector<toy::Sink*> sinks;
  std::vector<CComPtr<IBaseFilter>> holds;
  HRESULT connected = E_FAIL;

  explicit Chain(const std::string& path) {
    EXPECT_EQ(DShowRegisterPlatform(), S_OK);
    EXPECT_EQ(CodecsRegisterPlatform(), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    CComPtr<IFileSourceFilter> load;
    EXPECT_EQ(CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_INPROC_SERVER, IID_IFileSourceFilter,
                               reinterpret_cast<void**>(&load)),
              S_OK);
    const std::wstring wide(path.begin(), path.end());
    EXPECT_EQ(load->Load(wide.c_str(), nullptr), S_OK);
    reader = CComQIPtr<IBaseFilter>(load);
    EXPECT_EQ(CoCreateInstance(CLSID_AviFallbackSplitter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void**>(&splitter)),
              S_OK);
    graph->AddFilter(reader, L"Reader");
    graph->AddFilter(splitter, L"Installed AVI Splitter");
    connected = graph->ConnectDirect(GetFirstPinByDirection(reader, PINDIR_OUTPUT),
                                     GetFirstPinByDirection(splitter, PINDIR_INPUT), nullptr);
    if (FAILED(connected)) return;
    for (CComPtr<IPin> out; (out = GetFirstUnconnectedPin(splitter, PINDIR_OUTPUT));) {
      auto* sink = new toy::Sink();
      sinks.push_back(sink);
      holds.push_back(toy::Hold(sink));
      graph->AddFilter(holds.back(), nullptr);
      EXPECT_EQ(graph->ConnectDirect(out, sink->In(), nullptr), S_OK);
    }
  }
  ~Chain() {
    CComQIPtr<IMediaControl>(graph)->Stop();
    for (auto& h : holds) graph->RemoveFilter(h);
    graph->RemoveFilter(splitter);
    graph->RemoveFilter(reader);
  }
  void RunToEnd() {
    CComQIPtr<IMediaControl> control(graph);
    ASSERT_EQ(control->Run(), S_OK);
    for (auto* s : sinks) EXPECT_TRUE(s->WaitFor(0, true));
    control->Stop();
  }
};

TEST(AviFallback, ReadsStreamsStoredOneAfterTheOther) {
  Options o;
  o.interleaved = false;
  const std::string path =
      WriteFile("fallback-apart.avi", BuildAvi(StreamsOf(TestDataPath("avi-xvid-pcm.avi"), 40), o));
  LavfFile lavf;
  ASSERT_TRUE(ReadLavf(path, lavf));
  Chain c(path);
  ASSERT_EQ(c.connected, S_OK);
  ASSERT_EQ(c.sinks.size(), 2u);
  EXPECT_EQ(GetPinName(GetFirstPinByDirection(c.splitter, PINDIR_OUTPUT)), L"Video 0");
  c.RunToEnd();
  const auto video = c.sinks[0]->Samples();
  const auto theirs = lavf.Of(0);
  ASSERT_EQ(video.size(), theirs.size());
  for (size_t i = 0; i < video.size(); ++i) {
    EXPECT_EQ(video[i].hash, theirs[i].hash) << i;
    EXPECT_EQ(video[i].start, theirs[i].pts) << i;
  }
  long long bytes = 0;
  for (const auto& r : c.sinks[1]->Samples()) bytes += r.length;
  EXPECT_EQ(bytes, 44100 * 4);
}

TEST(AviFallback, PacketsLargerThanASampleAreSplit) {
  // One big frame in a low-rate stream: samples are sized by the rate.
  std::vector<Stream> streams = SyntheticStreams(500, 3200, 0.2);
  streams[0].chunks[1] = Bytes(600000, 0);
  for (size_t i = 0; i < streams[0].chunks[1].size(); ++i) streams[0].chunks[1][i] = uint8_t(i * 7);
  Chain c(WriteFile("fallback-big.avi", BuildAvi(streams)));
  ASSERT_EQ(c.connected, S_OK);
  c.RunToEnd();
  const auto video = c.sinks[0]->Samples();
  ASSERT_GT(video.size(), 501u);
  long long big = 0;
  size_t i = 1;
  for (; i < video.size() && (i == 1 || !video[i].timed); ++i) big += video[i].length;
  EXPECT_EQ(big, 600000);
  EXPECT_GT(i, 3u);  // in three pieces at least, only the first one timed
  EXPECT_EQ(video[i].start, 2 * 400000);
}

TEST(AviFallback, RefusesWhatIsNotAviAndLetsGoOnDisconnect) {
  // RIFF AVI at its head, garbage behind.
  Bytes garbage = BuildAvi(SyntheticStreams(3, 3200, 0.12));
  for (size_t i = 24; i < garbage.size(); ++i) garbage[i] = uint8_t(i * 31);
  Chain bad(WriteFile("fallback-garbage.avi", garbage));
  EXPECT_TRUE(FAILED(bad.connected));
  CComQIPtr<IBaseFilter> f(bad.splitter);
  EXPECT_EQ(GetFirstPinByDirection(f, PINDIR_OUTPUT), nullptr);

  Chain good(TestDataPath("avi-mjpeg-mp3.avi"));
  ASSERT_EQ(good.connected, S_OK);
  EXPECT_EQ(good.sinks.size(), 2u);
  IPin* in = GetFirstPinByDirection(good.splitter, PINDIR_INPUT);
  good.graph->Disconnect(in);
  good.graph->Disconnect(GetFirstPinByDirection(good.reader, PINDIR_OUTPUT));
  EXPECT_EQ(GetFirstPinByDirection(good.splitter, PINDIR_OUTPUT), nullptr);
}

}  // namespace
