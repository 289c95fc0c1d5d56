// MPEG program streams rendered by the system's graph manager: the MPEG
// source is chosen for the file, its audio output reaches the system's
// audio decoder and its video output the MPEG-2 video decoder, and what the
// decoders deliver is as long as the file's streams by ffprobe's count.
#include <gtest/gtest.h>

#include <climits>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/FilterHelpers.h"
#include "graph/registry/FGManagerCustom.h"
#include "platform/com/Com.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/DShowRegister.h"
#include "splitters/mpeg/MpegSplitter.h"
#include "tests/foundation/FfprobeInfo.h"

namespace {

class PlatformEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ASSERT_EQ(DShowRegisterPlatform(), S_OK);
  }
  void TearDown() override { CoUninitialize(); }
};

::testing::Environment* const env = ::testing::AddGlobalTestEnvironment(new PlatformEnvironment);

PELLOMAR_DEFINE_GUID(CLSID_TestSink, "5A0C51D2-8E6B-4F0E-9D0B-3C1E7A2F4B61");

class Sink;

class SinkPin : public CBaseInputPin {
 public:
  SinkPin(Sink* sink, CCritSec* lock, std::vector<GUID> subtypes, GUID major);
  HRESULT CheckMediaType(const CMediaType* pmt) override {
    if (pmt->majortype != m_major) return S_FALSE;
    for (const GUID& s : m_subtypes)
      if (pmt->subtype == s) return S_OK;
    return S_FALSE;
  }
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP EndOfStream() override;

 private:
  Sink* m_sink;
  std::vector<GUID> m_subtypes;
  GUID m_major;
};

// Takes decoded pictures or samples only, so that the graph manager has to
// put a decoder in front of it; counts what arrives up to the end of the
// stream.
class Sink : public CBaseFilter {
 public:
  Sink(GUID major, std::vector<GUID> subtypes) : CBaseFilter(NAME("test sink"), nullptr, &m_lock, CLSID_TestSink) {
    m_pin = std::make_unique<SinkPin>(this, &m_lock, std::move(subtypes), major);
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? m_pin.get() : nullptr; }
  SinkPin* In() { return m_pin.get(); }

  bool WaitForEnd(int timeoutMs = 60000) {
    std::unique_lock<std::mutex> g(mutex);
    return changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return ends > 0; });
  }

  std::mutex mutex;
  std::condition_variable changed;
  long long samples = 0, bytes = 0;
  int ends = 0;

 private:
  CCritSec m_lock;
  std::unique_ptr<SinkPin> m_pin;
};

SinkPin::SinkPin(Sink* sink, CCritSec* lock, std::vector<GUID> subtypes, GUID major)
    : CBaseInputPin(NAME("test sink in"), sink, lock, nullptr, L"In"),
      m_sink(sink),
      m_subtypes(std::move(subtypes)),
      m_major(major) {}

STDMETHODIMP SinkPin::Receive(IMediaSample* sample) {
  HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  std::lock_guard<std::mutex> g(m_sink->mutex);
  m_sink->samples++;
  m_sink->bytes += sample->GetActualDataLength();
  return S_OK;
}

STDMETHODIMP SinkPin::EndOfStream() {
  std::lock_guard<std::mutex> g(m_sink->mutex);
  m_sink->ends++;
  m_sink->changed.notify_all();
  return S_OK;
}

CComPtr<IBaseFilter> Hold(CBaseFilter* f) { return CComPtr<IBaseFilter>(static_cast<IBaseFilter*>(f)); }

IBaseFilter* Downstream(IPin* out) {
  CComPtr<IPin> peer;
  if (!out || out->ConnectedTo(&peer) != S_OK) return nullptr;
  return GetFilterFromPin(peer);
}

IPin* OutputNamed(IBaseFilter* filter, const std::wstring& name) {
  CComPtr<IEnumPins> e;
  if (!filter || FAILED(filter->EnumPins(&e))) return nullptr;
  for (CComPtr<IPin> pin; e->Next(1, &pin, nullptr) == S_OK; pin.Release()) {
    PIN_DIRECTION dir = PINDIR_INPUT;
    pin->QueryDirection(&dir);
    if (dir == PINDIR_OUTPUT && GetPinName(pin) == name) return pin;  // the filter keeps it alive
  }
  return nullptr;
}

struct ProbeAudio {
  double seconds = 0;  // what a decoder delivers from the start of the presentation
  double frame = 0;    // one packet's duration
};

// The audio that lies at or after the first time stamp of the file, by
// ffprobe's packets. The presentation starts at the file's first time stamp
// (here the video's), and audio frames that would start before it are not
// played. The duration field of a program stream's header is an estimate
// from the file's ends, so the packets are counted instead.
ProbeAudio ProbeAudioSpan(const std::string& path) {
  ProbeAudio out;
  std::string cmd =
      "ffprobe -v error -show_entries packet=codec_type,pts_time,duration_time,pos -of csv=p=0 '" + path + "'";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  // ffprobe hands out packets as they complete, not in file order: the
  // first time stamp is the one of the packet that starts first.
  long long firstPos = LLONG_MAX;
  double start = 0;
  std::vector<std::pair<double, double>> audio;
  char line[256];
  while (fgets(line, sizeof(line), p)) {
    char kind[16] = {}, pos[32] = {};
    double t = 0, d = 0;
    if (sscanf(line, "%15[a-z],%lf,%lf,%31s", kind, &t, &d, pos) != 4) continue;  // no time stamp
    if (pos[0] != 'N' && atoll(pos) < firstPos) firstPos = atoll(pos), start = t;
    if (std::string(kind) == "audio") audio.emplace_back(t, d);
  }
  pclose(p);
  for (const auto& [t, d] : audio) {
    if (t < start - 1e-6) continue;
    out.seconds += d;
    out.frame = d;
  }
  return out;
}

long long ProbeVideoFrames(const std::string& path) {
  auto info = Ffprobe("-count_frames -select_streams v:0 -show_entries stream=nb_read_frames", path);
  return ToInt(info["streams.stream.0.nb_read_frames"]);
}

// The system's graph manager with every system filter preferred, a PCM
// sink and a picture sink already in the graph for the render to end in.
struct RenderedGraph {
  CComPtr<IGraphBuilder2> graph;
  Sink* audio = nullptr;
  Sink* video = nullptr;
  CComPtr<IBaseFilter> audioHold, videoHold;
  HRESULT rendered = E_FAIL;

  explicit RenderedGraph(const std::string& path) {
    graph = new CFGManagerCustom(NAME("integration"), nullptr, ~0u, ~0u);
    audio = new Sink(MEDIATYPE_Audio, {MEDIASUBTYPE_PCM, MEDIASUBTYPE_IEEE_FLOAT});
    audioHold = Hold(audio);
    video = new Sink(MEDIATYPE_Video, {MEDIASUBTYPE_YV12, MEDIASUBTYPE_I420, MEDIASUBTYPE_IYUV, MEDIASUBTYPE_YUY2,
                                       MEDIASUBTYPE_RGB32, MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RGB565,
                                       MEDIASUBTYPE_RGB555});
    videoHold = Hold(video);
    EXPECT_EQ(graph->AddFilter(audioHold, L"PCM sink"), S_OK);
    EXPECT_EQ(graph->AddFilter(videoHold, L"Picture sink"), S_OK);
    std::wstring wide(path.begin(), path.end());
    rendered = graph->RenderFile(wide.c_str(), nullptr);
  }

  ~RenderedGraph() {
    if (CComQIPtr<IMediaControl> control = graph) control->Stop();
    // Every filter leaves the graph before it goes, so no reference cycle
    // outlives the test.
    std::vector<CComPtr<IBaseFilter>> filters;
    CComPtr<IEnumFilters> e;
    if (SUCCEEDED(graph->EnumFilters(&e)))
      for (CComPtr<IBaseFilter> f; e->Next(1, &f, nullptr) == S_OK; f.Release()) filters.push_back(f);
    for (auto& f : filters) graph->RemoveFilter(f);
  }

  IBaseFilter* Source() {
    CComPtr<IEnumFilters> e;
    if (FAILED(graph->EnumFilters(&e))) return nullptr;
    for (CComPtr<IBaseFilter> f; e->Next(1, &f, nullptr) == S_OK; f.Release())
      if (GetFilterClsid(f) == CLSID_MpegSourceFilter) return f;
    return nullptr;
  }

  void RunToEnd() {
    CComQIPtr<IMediaControl> control(graph);
    ASSERT_TRUE(control);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    EXPECT_TRUE(audio->WaitForEnd());
    EXPECT_TRUE(video->WaitForEnd());
    control->Stop();
  }
};

void RenderAndCompare(const char* name, const wchar_t* audioDecoder) {
  if (!HaveFfprobe()) GTEST_SKIP() << "no ffprobe";
  const std::string path = TestDataPath(name);
  RenderedGraph g(path);
  ASSERT_TRUE(SUCCEEDED(g.rendered)) << std::hex << g.rendered;

  IBaseFilter* source = g.Source();
  ASSERT_NE(source, nullptr) << "the MPEG source did not read the file";
  IPin* audioOut = OutputNamed(source, L"Audio");
  IPin* videoOut = OutputNamed(source, L"Video");
  ASSERT_NE(audioOut, nullptr);
  ASSERT_NE(videoOut, nullptr);

  IBaseFilter* decoder = Downstream(audioOut);
  ASSERT_NE(decoder, nullptr);
  EXPECT_EQ(GetFilterName(decoder), audioDecoder);
  EXPECT_EQ(g.audio->In()->IsConnected(), TRUE);
  EXPECT_EQ(Downstream(GetFirstPinByDirection(decoder, PINDIR_OUTPUT)), g.audioHold.p);

  IBaseFilter* videoDecoder = Downstream(videoOut);
  ASSERT_NE(videoDecoder, nullptr);
  EXPECT_EQ(GetFilterName(videoDecoder), L"MPEG-2 Video Decoder");
  EXPECT_EQ(g.video->In()->IsConnected(), TRUE);

  CMediaType pcm;
  ASSERT_EQ(g.audio->In()->ConnectionMediaType(&pcm), S_OK);
  ASSERT_EQ(pcm.formattype, FORMAT_WaveFormatEx);
  ASSERT_GE(pcm.cbFormat, sizeof(WAVEFORMATEX));
  const auto* wfe = reinterpret_cast<const WAVEFORMATEX*>(pcm.pbFormat);
  ASSERT_GT(wfe->nBlockAlign, 0);
  ASSERT_GT(wfe->nSamplesPerSec, 0u);

  g.RunToEnd();

  const ProbeAudio probe = ProbeAudioSpan(path);
  ASSERT_GT(probe.seconds, 0);
  const double ours = static_cast<double>(g.audio->bytes) / wfe->nBlockAlign / wfe->nSamplesPerSec;
  EXPECT_NEAR(ours, probe.seconds, probe.frame) << "decoded " << g.audio->bytes << " bytes";

  EXPECT_EQ(g.video->samples, ProbeVideoFrames(path));
}

TEST(MpegGraph, ProgramStreamWithMpegAudio) { RenderAndCompare("mpeg2-ps-mp2.mpg", L"MPEG-1 Audio Decoder"); }

TEST(MpegGraph, ProgramStreamWithAc3) { RenderAndCompare("mpeg2-ps-ac3.mpg", L"AC3 Audio Decoder"); }

}  // namespace
