// The MP4 splitter in a filter graph, each output into a recording sink:
// pins, types and names; every delivered sample's bytes, times and sync
// flag against libavformat's packets; seeking to key frames; key-frame
// information; timed text; chapters and metadata; hand-built files for the
// faults it must survive.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

#include "mp4/MP4MediaTypes.h"
#include "mp4/MP4Splitter.h"
#include "platform/dshow/FourCCMap.h"
#include "tests/mp4/AtomBuilder.h"
#include "tests/mp4/AvReference.h"
#include "tests/foundation/SplitterGraph.h"

namespace {

using namespace mp4test;
using mp4split::MEDIASUBTYPE_SSA;
using mp4split::MEDIASUBTYPE_UTF8;
using mp4split::MEDIASUBTYPE_VOBSUB;

using Graph = SplitterGraph<CMP4SourceFilter>;

GUID Fcc(const char (&s)[5]) { return FourCCGuid(MAKEFOURCC(s[0], s[1], s[2], s[3])); }

// The media types an output offers, in order.
std::vector<GUID> Subtypes(Graph& g, int i) {
  std::vector<GUID> out;
  CMediaType mt;
  for (int k = 0; g.Pin(i)->GetMediaType(k, &mt) == S_OK; k++) out.push_back(mt.subtype);
  return out;
}

CMediaType TypeAt(Graph& g, int i) {
  CMediaType mt;
  g.Pin(i)->GetMediaType(0, &mt);
  return mt;
}

std::string Variant(const std::string& name, const std::string& source, const std::string& args) {
  return MakeVariant(name, "-i '" + TestDataPath(source) + "' " + args);
}

struct PinCase {
  std::string path;
  std::vector<std::wstring> names;
  std::vector<std::vector<GUID>> subtypes;
};

TEST(MP4Splitter, PinsTypesAndNames) {
  const GUID aac = FourCCGuid(0xFF);
  const std::vector<PinCase> cases = {
      {TestDataPath("mp4-h264-aac.mp4"), {L"VideoHandler", L"SoundHandler"}, {{Fcc("avc1"), Fcc("AVC1")}, {aac}}},
      {TestDataPath("3gp-h263-amrnb.3gp"),
       {L"VideoHandler", L"SoundHandler"},
       {{Fcc("s263"), Fcc("S263")}, {Fcc("samr")}}},
      {TestDataPath("mov-mpeg4-aac.mov"), {L"VideoHandler", L"SoundHandler"}, {{Fcc("mp4v"), Fcc("MP4V")}, {aac}}},
      // Any entry of a picture track gets the generic FourCC types ("jpeg").
      {TestDataPath("mov-mjpeg-pcm.mov"), {L"VideoHandler", L"SoundHandler"}, {{Fcc("jpeg"), Fcc("JPEG")}, {Fcc("twos")}}},
      {TestDataPath("mov-ima4.mov"), {L"SoundHandler"}, {{Fcc("ima4")}}},
      // Uncompressed sound under a type that says its layout: little-endian
      // 'fl32' (its 'enda'), 'lpcm' by its flags, signed bytes ('sowt').
      {Variant("fl32le.mov", "mov-mjpeg-pcm.mov", "-vn -c:a pcm_f32le -fflags +bitexact -f mov"),
       {L"SoundHandler"},
       {{MEDIASUBTYPE_IEEE_FLOAT}}},
      {Variant("lpcm-le.mov", "mov-mjpeg-pcm.mov", "-vn -ar 96000 -c:a pcm_s24le -fflags +bitexact -f mov"),
       {L"SoundHandler"},
       {{MEDIASUBTYPE_PCM}}},
      {Variant("lpcm-be.mov", "mov-mjpeg-pcm.mov", "-vn -ar 96000 -c:a pcm_s16be -fflags +bitexact -f mov"),
       {L"SoundHandler"},
       {{Fcc("twos")}}},
      {Variant("s8.mov", "mov-mjpeg-pcm.mov", "-vn -c:a pcm_s8 -fflags +bitexact -f mov"), {L"SoundHandler"}, {{Fcc("twos")}}},
      {TestDataPath("mp4-text-chapters.mp4"),
       {L"VideoHandler", L"SoundHandler", L"SubtitleHandler", L"SubtitleHandler (plain text)", L"SubtitleHandler",
        L"SubtitleHandler (plain text)"},
       {{Fcc("avc1"), Fcc("AVC1")}, {aac}, {MEDIASUBTYPE_SSA}, {MEDIASUBTYPE_UTF8}, {MEDIASUBTYPE_SSA}, {MEDIASUBTYPE_UTF8}}},
      {Variant("mp3.mp4", "mp3-44100.mp3", "-c copy -fflags +bitexact -f mp4"), {L"SoundHandler"}, {{FourCCGuid(0x55)}}},
      {Variant("mpeg2.mp4", "mpeg2-gop12-b2.m2v", "-c copy -fflags +bitexact -f mp4"),
       {L"VideoHandler"},
       {{MEDIASUBTYPE_MPEG2_VIDEO}}},
      {Variant("mpeg1.mp4", "mpeg1-odd-208x112.m1v", "-c copy -fflags +bitexact -f mp4"),
       {L"VideoHandler"},
       {{MEDIASUBTYPE_MPEG1Payload}}},
  };
  for (const PinCase& c : cases) {
    SCOPED_TRACE(c.path);
    Graph g(c.path);
    ASSERT_EQ(g.loaded, S_OK);
    ASSERT_EQ(g.splitter->GetPinCount(), static_cast<int>(c.names.size()));
    for (int i = 0; i < g.splitter->GetPinCount(); i++) {
      EXPECT_EQ(g.PinName(i), c.names[i]);
      EXPECT_EQ(Subtypes(g, i), c.subtypes[i]) << "pin " << i;
    }
  }
  // The source form has no input pin; the splitter form has one.
  HRESULT hr = S_OK;
  CComPtr<IBaseFilter> splitter(static_cast<IBaseFilter*>(new CMP4SplitterFilter(nullptr, &hr)));
  EXPECT_NE(GetFirstPinByDirection(splitter, PINDIR_INPUT), nullptr);
  EXPECT_EQ(GetFilterClsid(splitter), CLSID_MP4SplitterFilter);
}

TEST(MP4Splitter, SplitterFormBehindAFileReader) {
  ASSERT_EQ(DShowRegisterPlatform(), S_OK);
  CComPtr<IFilterGraph> graph;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                             reinterpret_cast<void**>(&graph)),
            S_OK);
  CComPtr<IFileSourceFilter> load;
  ASSERT_EQ(CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_INPROC_SERVER, IID_IFileSourceFilter,
                             reinterpret_cast<void**>(&load)),
            S_OK);
  const std::string path = TestDataPath("3gp-h263-amrnb.3gp");
  const std::wstring wide(path.begin(), path.end());
  ASSERT_EQ(load->Load(wide.c_str(), nullptr), S_OK);
  CComQIPtr<IBaseFilter> reader(load);
  HRESULT hr = S_OK;
  auto* splitter = new CMP4SplitterFilter(nullptr, &hr);
  CComPtr<IBaseFilter> hold(static_cast<IBaseFilter*>(splitter));
  auto* sink = new toy::Sink();
  CComPtr<IBaseFilter> sinkHold(toy::Hold(sink));
  ASSERT_EQ(graph->AddFilter(reader, L"Reader"), S_OK);
  ASSERT_EQ(graph->AddFilter(hold, L"MP4 Splitter"), S_OK);
  ASSERT_EQ(graph->AddFilter(sinkHold, L"Sink"), S_OK);
  ASSERT_EQ(graph->ConnectDirect(GetFirstPinByDirection(reader, PINDIR_OUTPUT), GetFirstPinByDirection(hold, PINDIR_INPUT),
                                 nullptr),
            S_OK);
  // The two outputs, then the input.
  ASSERT_EQ(splitter->GetPinCount(), 3);
  ASSERT_EQ(graph->ConnectDirect(splitter->GetPin(0), sink->In(), nullptr), S_OK);
  CComQIPtr<IMediaControl> control(graph);
  ASSERT_EQ(control->Run(), S_OK);
  EXPECT_TRUE(sink->WaitFor(0, true));
  control->Stop();
  EXPECT_EQ(sink->Samples().size(), ReadWithLibavformat(path).streams[0].packets.size());
  for (auto& f : {sinkHold, hold, CComPtr<IBaseFilter>(reader)}) graph->RemoveFilter(f);
}

TEST(MP4Splitter, FormatBlocksCarryTheCodecConfiguration) {
  const std::string path = TestDataPath("mp4-h264-aac.mp4");
  const AvReference ref = ReadWithLibavformat(path);
  Graph g(path);
  ASSERT_EQ(g.loaded, S_OK);
  // H.264: the parameter sets of the avcC, each with its 16-bit length.
  const CMediaType video = TypeAt(g, 0);
  ASSERT_EQ(video.formattype, FORMAT_MPEG2Video);
  const auto* mvih = reinterpret_cast<const MPEG2VIDEOINFO*>(video.pbFormat);
  const std::vector<uint8_t>& avcc = ref.streams[0].extradata;
  EXPECT_EQ(mvih->dwFlags, static_cast<DWORD>((avcc[4] & 3) + 1));
  EXPECT_EQ(mvih->dwProfile, avcc[1]);
  EXPECT_EQ(mvih->hdr.bmiHeader.biWidth, 176);
  const uint8_t* seq = reinterpret_cast<const uint8_t*>(mvih->dwSequenceHeader);
  const size_t sps = (size_t(avcc[6]) << 8) | avcc[7];
  ASSERT_GE(mvih->cbSequenceHeader, sps + 2);
  EXPECT_EQ(std::vector<uint8_t>(seq, seq + sps + 2), std::vector<uint8_t>(avcc.begin() + 6, avcc.begin() + 8 + sps));
  const size_t pps = (size_t(avcc[9 + sps]) << 8) | avcc[10 + sps];
  EXPECT_EQ(mvih->cbSequenceHeader, sps + 2 + pps + 2);  // one SPS, one PPS
  // AAC: the AudioSpecificConfig behind the WAVEFORMATEX.
  const CMediaType audio = TypeAt(g, 1);
  const auto* wfe = reinterpret_cast<const WAVEFORMATEX*>(audio.pbFormat);
  EXPECT_EQ(wfe->wFormatTag, WAVE_FORMAT_AAC);
  EXPECT_EQ(wfe->nSamplesPerSec, 44100u);
  EXPECT_EQ(wfe->nChannels, 2);
  ASSERT_EQ(wfe->cbSize, ref.streams[1].extradata.size());
  EXPECT_EQ(std::vector<uint8_t>(audio.pbFormat + sizeof(WAVEFORMATEX), audio.pbFormat + audio.cbFormat),
            ref.streams[1].extradata);
}

// Our samples of one output against libavformat's packets of its stream:
// every byte, the start time in 100 ns and the sync flag. PCM may come in
// other cuts: its bytes and first time are compared.
void CompareOutput(const std::vector<toy::Received>& ours, const AvStreamInfo& theirs, REFERENCE_TIME shift = 0) {
  ASSERT_FALSE(ours.empty());
  auto to100ns = [&](int64_t t) { return t * 10000000 / theirs.time_base.den * theirs.time_base.num - shift; };
  if (theirs.codec >= AV_CODEC_ID_PCM_S16LE && theirs.codec < AV_CODEC_ID_ADPCM_IMA_QT) {
    std::vector<uint8_t> a, b;
    for (const auto& d : ours) a.insert(a.end(), d.data.begin(), d.data.end());
    for (const auto& p : theirs.packets) b.insert(b.end(), p.data.begin(), p.data.end());
    EXPECT_EQ(a, b);
    EXPECT_EQ(ours[0].start, to100ns(theirs.packets[0].pts));
    return;
  }
  ASSERT_EQ(ours.size(), theirs.packets.size());
  for (size_t i = 0; i < ours.size(); i++) {
    SCOPED_TRACE("sample " + std::to_string(i));
    EXPECT_EQ(ours[i].data, theirs.packets[i].data);
    EXPECT_TRUE(ours[i].timed);
    EXPECT_EQ(ours[i].start, to100ns(theirs.packets[i].pts));
    EXPECT_EQ(ours[i].sync, theirs.packets[i].key);
  }
}

TEST(MP4Splitter, EverySampleMatchesLibavformat) {
  const std::vector<std::pair<std::string, std::vector<int>>> files = {
      // path, the track id of each output (0: not compared)
      {TestDataPath("mp4-h264-aac.mp4"), {1, 2}},
      {TestDataPath("3gp-h263-amrnb.3gp"), {1, 2}},
      {TestDataPath("3g2-mpeg4-aac.3g2"), {1, 2}},
      {TestDataPath("mov-mpeg4-aac.mov"), {1, 2}},
      {TestDataPath("mov-mjpeg-pcm.mov"), {1, 2}},
      {TestDataPath("mov-ima4.mov"), {1}},
      {TestDataPath("mp4-text-chapters.mp4"), {1, 2, 0, 0, 0, 0}},
      {Variant("faststart.mp4", "mp4-h264-aac.mp4", "-c copy -fflags +bitexact -movflags +faststart -f mp4"), {1, 2}},
      {Variant("mp3.mp4", "mp3-44100.mp3", "-c copy -fflags +bitexact -f mp4"), {1}},
      {Variant("mpeg2.mp4", "mpeg2-gop12-b2.m2v", "-c copy -fflags +bitexact -f mp4"), {1}},
  };
  for (const auto& [path, ids] : files) {
    SCOPED_TRACE(path);
    const AvReference ref = ReadWithLibavformat(path, true);
    // The times with the edit lists applied: how far each track moves.
    const AvReference edited = ReadWithLibavformat(path, false, true);
    ASSERT_TRUE(ref.ok && edited.ok);
    Graph g(path);
    ASSERT_EQ(g.loaded, S_OK);
    ASSERT_EQ(g.sinks.size(), ids.size());
    g.RunToEnd();
    for (size_t i = 0; i < ids.size(); i++) {
      if (!ids[i]) continue;
      SCOPED_TRACE("output " + std::to_string(i));
      const AvStreamInfo& plain = *ref.ById(ids[i]);
      const AvStreamInfo& moved = *edited.ById(ids[i]);
      ASSERT_FALSE(plain.packets.empty() || moved.packets.empty());
      const auto to100ns = [&](int64_t t) { return t * 10000000 / plain.time_base.den * plain.time_base.num; };
      CompareOutput(g.sinks[i]->Samples(), plain, to100ns(plain.packets[0].pts) - to100ns(moved.packets[0].pts));
    }
  }
}

TEST(MP4Splitter, TimedTextLinesAndPlainText) {
  Graph g(TestDataPath("mp4-text-chapters.mp4"));
  ASSERT_EQ(g.loaded, S_OK);
  // The script header takes the size of the video track before it.
  const CMediaType ssa = TypeAt(g, 2);
  const std::string script(reinterpret_cast<const char*>(ssa.pbFormat) + 520, ssa.cbFormat - 520);
  EXPECT_NE(script.find("PlayResX: 176\nPlayResY: 144\n"), std::string::npos) << script;
  EXPECT_EQ(TypeAt(g, 3).cbFormat, 520u);
  g.RunToEnd();
  std::vector<std::string> lines, plain;
  for (const auto& d : g.sinks[2]->Samples()) lines.emplace_back(d.data.begin(), d.data.end());
  for (const auto& d : g.sinks[3]->Samples()) plain.emplace_back(d.data.begin(), d.data.end());
  ASSERT_EQ(plain.size(), 2u);
  EXPECT_EQ(plain[0], "Hello bold world");
  EXPECT_EQ(plain[1], "Line one\nLine two red");
  // The entry's background is opaque black: a box line before each line.
  ASSERT_EQ(lines.size(), 4u);
  const std::string box = "0,-1,Text,,0,0,0,0,,{\\an7\\pos(0,0)\\1c000000\\1a00\\bord0\\shad0}{\\p1}m 0 0 l 176 0 l 176 144 l 0 144 {\\p0}";
  EXPECT_EQ(lines[0], box);
  EXPECT_EQ(lines[2], box);
  EXPECT_EQ(lines[1].rfind("0,0,Text,,2,2,2,2,,{\\clip(0,0,176,144)}{\\b0\\i0\\u0}{\\fs16}", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find("{\\an2}"), std::string::npos);
  EXPECT_NE(lines[1].find("Hello {\\1cffffff\\1a00}{\\fs16}{\\b1\\i0\\u0}bold"), std::string::npos) << lines[1];
  EXPECT_NE(lines[3].find("Line one\\NLine {\\1cffffff\\1a00}{\\fs16}{\\b0\\i1\\u0}two"), std::string::npos)
      << lines[3];
  EXPECT_EQ(lines[3].find('\n'), std::string::npos);
  const auto samples = g.sinks[2]->Samples();
  EXPECT_EQ(samples[1].start, 0);
  EXPECT_EQ(samples[1].stop, 4000000);
  EXPECT_EQ(samples[3].start, 5000000);
  // The QuickTime chapter track: its titles.
  std::vector<std::string> chapters;
  for (const auto& d : g.sinks[5]->Samples()) chapters.emplace_back(d.data.begin(), d.data.end());
  EXPECT_EQ(chapters, (std::vector<std::string>{"Opening", "Closing"}));
}

TEST(MP4Splitter, ChaptersAndMetadata) {
  Graph g(TestDataPath("mp4-text-chapters.mp4"));
  ASSERT_EQ(g.loaded, S_OK);
  CComQIPtr<IAMExtendedSeeking> seeking(g.hold);
  LONG markers = 0;
  ASSERT_EQ(seeking->get_MarkerCount(&markers), S_OK);
  ASSERT_EQ(markers, 2);
  double time = 0;
  EXPECT_EQ(seeking->GetMarkerTime(2, &time), S_OK);
  EXPECT_DOUBLE_EQ(time, 0.5);
  BSTR name = nullptr;
  ASSERT_EQ(seeking->GetMarkerName(1, &name), S_OK);
  EXPECT_STREQ(name, L"Opening");
  SysFreeString(name);
  CComQIPtr<IAMMediaContent> content(g.hold);
  struct Text {
    HRESULT (STDMETHODCALLTYPE IAMMediaContent::*get)(BSTR*);
    const wchar_t* expect;
  };
  for (const Text& t : {Text{&IAMMediaContent::get_Title, L"Test Album - 07 - Test Title - 2024 - Test Genre"},
                        Text{&IAMMediaContent::get_AuthorName, L"Test Artist"},
                        Text{&IAMMediaContent::get_Description, L"A comment"}}) {
    BSTR value = nullptr;
    ASSERT_EQ((content->*t.get)(&value), S_OK);
    EXPECT_STREQ(value, t.expect);
    SysFreeString(value);
  }
}

// The first sample each output delivers after a seek, against
// libavformat's packet list.
TEST(MP4Splitter, SeeksStartAtTheKeyFrameBefore) {
  const std::string path = TestDataPath("mp4-h264-aac.mp4");
  const AvReference ref = ReadWithLibavformat(path, true);
  const AvReference edited = ReadWithLibavformat(path, false, true);
  ASSERT_FALSE(edited.streams[1].packets.empty());
  // The sound track's edit list moves it back by its priming frame.
  const REFERENCE_TIME shift = edited.streams[1].packets[0].pts * 10000000 / 44100;
  struct Case {
    REFERENCE_TIME target;
    size_t video, audio;  // first packet index delivered
  };
  // Key frames are samples 0 and 25 (GOP 25 at 25 frames/s); sound frames
  // of 1024 samples at 44.1 kHz, found on the track's own clock.
  for (const Case& c : {Case{0, 0, 0}, Case{5000000, 0, 22}, Case{15000000, 25, 65}, Case{19000000, 25, 82}}) {
    SCOPED_TRACE(c.target);
    Graph g(path);
    ASSERT_EQ(g.loaded, S_OK);
    CComQIPtr<IMediaSeeking> seeking(g.hold);
    LONGLONG at = c.target;
    ASSERT_EQ(seeking->SetPositions(&at, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
    g.RunToEnd();
    const auto video = g.sinks[0]->Samples();
    const auto audio = g.sinks[1]->Samples();
    ASSERT_FALSE(video.empty());
    ASSERT_FALSE(audio.empty());
    EXPECT_EQ(video[0].data, ref.streams[0].packets[c.video].data);
    EXPECT_TRUE(video[0].sync);
    EXPECT_EQ(video.size(), ref.streams[0].packets.size() - c.video);
    EXPECT_EQ(audio[0].data, ref.streams[1].packets[c.audio].data);
    // Times count from the position asked for.
    EXPECT_EQ(audio[0].start, ref.streams[1].packets[c.audio].pts * 10000000 / 44100 + shift - c.target);
  }
}

TEST(MP4Splitter, KeyFrameInformation) {
  const std::string path = TestDataPath("mp4-h264-aac.mp4");
  const AvReference ref = ReadWithLibavformat(path);
  std::vector<REFERENCE_TIME> keys;
  for (const auto& p : ref.streams[0].packets)
    if (p.key) keys.push_back(p.pts * 10000000 / ref.streams[0].time_base.den);
  Graph g(path);
  ASSERT_EQ(g.loaded, S_OK);
  CComQIPtr<IKeyFrameInfo> info(g.hold);
  ASSERT_TRUE(info);
  UINT count = 0;
  ASSERT_EQ(info->KeyFrameCount(count), S_OK);
  EXPECT_EQ(count, keys.size());
  REFERENCE_TIME times[8] = {};
  UINT room = 8;
  ASSERT_EQ(info->GetKeyFrames(&TIME_FORMAT_MEDIA_TIME, times, room), S_OK);
  EXPECT_EQ(std::vector<REFERENCE_TIME>(times, times + room), keys);
  // Never more than the caller has room for.
  REFERENCE_TIME one[2] = {-1, -1};
  room = 1;
  ASSERT_EQ(info->GetKeyFrames(&TIME_FORMAT_MEDIA_TIME, one, room), S_OK);
  EXPECT_EQ(room, 1u);
  EXPECT_EQ(one[1], -1);
  EXPECT_EQ(info->GetKeyFrames(&TIME_FORMAT_FRAME, times, room), E_INVALIDARG);
  EXPECT_EQ(info->GetKeyFrames(nullptr, times, room), E_POINTER);

  Graph sound(TestDataPath("mov-ima4.mov"));
  CComQIPtr<IKeyFrameInfo> none(sound.hold);
  EXPECT_EQ(none->KeyFrameCount(count), E_FAIL);
  HRESULT hr = S_OK;
  CComPtr<IBaseFilter> empty(static_cast<IBaseFilter*>(new CMP4SourceFilter(nullptr, &hr)));
  EXPECT_EQ(CComQIPtr<IKeyFrameInfo>(empty)->KeyFrameCount(count), E_UNEXPECTED);
}

// ---------------------------------------------------------------------------
// Hand-built files

Bytes Mp4vEntry(uint16_t w, uint16_t h) {
  Bytes p(6, 0);
  Put16(p, 1);
  p.resize(p.size() + 16, 0);
  Put16(p, w);
  Put16(p, h);
  for (uint32_t v : {0x00480000u, 0x00480000u, 0u}) Put32(p, v);
  Put16(p, 1);
  p.resize(p.size() + 32, 0);
  Put16(p, 24);
  Put16(p, 0xFFFF);
  // ES descriptor: MPEG-4 Visual, a 4-byte configuration.
  PutBytes(p, FullBox("esds", 0, 0, Bytes{3, 20, 0, 1, 0, 4, 15, 0x20, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0,
                                          6, 1, 2}));
  return Box("mp4v", p);
}

std::vector<Bytes> CountedSamples(int n) {
  std::vector<Bytes> samples;
  for (int i = 0; i < n; i++) samples.push_back(Bytes{static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0xAB});
  return samples;
}

TEST(MP4Splitter, SeekingBeforeTheFirstKeyFrame) {
  TrackSpec video;
  video.entry = Mp4vEntry(64, 48);
  video.samples = CountedSamples(120);
  video.sync = {5, 50, 100};
  const std::string path = WriteTestFile("keys.mp4", BuildMovie({video}));
  struct Case {
    REFERENCE_TIME target;
    int first;
  };
  // 40 ms a sample: 0.1 s is sample 2, before the first listed key frame
  // (4): the track's first sample, where decoding starts, is taken (a
  // writer that leaves it out of the list would otherwise lose every
  // picture before the next key frame); 2.8 s is sample 70, after the key
  // frame 49.
  for (const Case& c : {Case{1000000, 0}, Case{28000000, 49}, Case{46000000, 99}}) {
    Graph g(path);
    ASSERT_EQ(g.loaded, S_OK);
    LONGLONG at = c.target;
    CComQIPtr<IMediaSeeking>(g.hold)->SetPositions(&at, AM_SEEKING_AbsolutePositioning, nullptr,
                                                   AM_SEEKING_NoPositioning);
    g.RunToEnd();
    const auto s = g.sinks[0]->Samples();
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(s[0].data[0] | (s[0].data[1] << 8), c.first) << c.target;
    EXPECT_EQ(static_cast<int>(s.size()), 120 - c.first);
    // Only the stss samples and the track's first are sync points.
    for (const auto& d : s)
      EXPECT_EQ(d.sync, (d.data[0] == 0 && d.data[1] == 0) || d.data[0] == 4 || d.data[0] == 49 || d.data[0] == 99);
  }
}

TEST(MP4Splitter, BrokenTracksAreLeftOut) {
  TrackSpec good;
  good.entry = Mp4vEntry(64, 48);
  good.samples = CountedSamples(10);
  // An avc1 whose avcC is shorter than its fixed fields.
  TrackSpec short_avcc = good;
  short_avcc.id = 2;
  Bytes avc1 = Mp4vEntry(64, 48);
  std::copy_n("avc1", 4, avc1.begin() + 4);
  avc1.resize(avc1.size() - 25 - 0);  // no esds
  avc1[3] = static_cast<uint8_t>(avc1.size() + 14);
  PutBytes(avc1, Box("avcC", Bytes{1, 66, 0, 30, 0xFF, 0xE1}));
  short_avcc.entry = avc1;
  TrackSpec no_scale = good;
  no_scale.id = 3;
  no_scale.timescale = 0;
  TrackSpec description0 = good;
  description0.id = 4;
  description0.description = 0;
  TrackSpec hint = good;
  hint.id = 5;
  hint.handler = "hint";
  TrackSpec same_id = good;  // a second track 1
  const std::string path =
      WriteTestFile("broken-tracks.mp4", BuildMovie({good, short_avcc, no_scale, description0, hint, same_id}));
  Graph g(path);
  ASSERT_EQ(g.loaded, S_OK);
  ASSERT_EQ(g.splitter->GetPinCount(), 1);
  EXPECT_EQ(g.PinName(0), L"Output 1");  // language "und" is left out
  g.RunToEnd();
  EXPECT_EQ(g.sinks[0]->Samples().size(), 10u);

  // Nothing usable at all: the load fails.
  const std::string none = WriteTestFile("no-tracks.mp4", BuildMovie({short_avcc, no_scale}));
  HRESULT hr = S_OK;
  CComPtr<IBaseFilter> f(static_cast<IBaseFilter*>(new CMP4SourceFilter(nullptr, &hr)));
  std::wstring wide(none.begin(), none.end());
  EXPECT_EQ(CComQIPtr<IFileSourceFilter>(f)->Load(wide.c_str(), nullptr), E_FAIL);
}

TEST(MP4Splitter, VobSubTrack) {
  TrackSpec sub;
  sub.handler = "subp";
  sub.name = "Subs";
  sub.width = 720;
  sub.height = 480;
  Bytes dsi(64, 0);
  for (int i = 0; i < 16; i++) {
    dsi[4 * i + 1] = 235;
    dsi[4 * i + 2] = dsi[4 * i + 3] = 128;
  }
  // ES descriptor: an MPEG system stream of object type 0xE0 with the
  // palette as its decoder-specific information.
  Bytes es = {0, 1, 0};
  Bytes dcd = {0xE0, (0x20 << 2) | 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 64};
  PutBytes(dcd, dsi);
  PutBytes(es, Bytes{4, static_cast<uint8_t>(dcd.size())});
  PutBytes(es, dcd);
  Bytes esd = {3, static_cast<uint8_t>(es.size())};
  PutBytes(esd, es);
  Bytes entry(6, 0);
  Put16(entry, 1);
  PutBytes(entry, FullBox("esds", 0, 0, esd));
  sub.entry = Box("mp4s", entry);
  sub.samples = CountedSamples(3);
  Graph g(WriteTestFile("vobsub.mp4", BuildMovie({sub})));
  ASSERT_EQ(g.loaded, S_OK);
  ASSERT_EQ(g.splitter->GetPinCount(), 1);
  EXPECT_EQ(g.PinName(0), L"Subs");
  const CMediaType mt = TypeAt(g, 0);
  EXPECT_EQ(mt.subtype, MEDIASUBTYPE_VOBSUB);
  const std::string index(reinterpret_cast<const char*>(mt.pbFormat) + 520, mt.cbFormat - 520);
  EXPECT_EQ(index, "# VobSub index file, v7 (do not modify this line!)\nsize: 720x480\npalette: " +
                       std::string("ffffff,ffffff,ffffff,ffffff,ffffff,ffffff,ffffff,ffffff,ffffff,ffffff,ffffff,"
                                   "ffffff,ffffff,ffffff,ffffff,ffffff\n"));
}

TEST(MP4Splitter, UncompressedSoundComesInRunsOf1200Frames) {
  struct Case {
    std::string path;
    size_t frame;  // bytes per sound frame, one sample each
    int track;
    size_t frames = 8000;
  };
  const Case cases[] = {
      // QuickTime sound counted in single bytes (8-bit mono).
      {Variant("s8.mov", "mov-mjpeg-pcm.mov", "-vn -c:a pcm_s8 -fflags +bitexact -f mov"), 1, 1},
      // 16-bit mono with a 2-byte sample per frame (the sound alone: its
      // picture track has a pin too).
      {Variant("twos.mov", "mov-mjpeg-pcm.mov", "-vn -c:a copy -fflags +bitexact -f mov"), 2, 1},
      // Little-endian 24-bit ('in24' whose 'enda' says so), as wave PCM.
      {Variant("in24le.mov", "mov-mjpeg-pcm.mov", "-vn -c:a pcm_s24le -fflags +bitexact -f mov"), 3, 1},
      // 16-bit stereo whose sample size of 1 stands for one sound frame.
      {TestDataPath("mov-twos-size1.mov"), 4, 1, 16000},
      {TestDataPath("mov-sowt-size1.mov"), 4, 1, 16000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_FALSE(c.path.empty());
    const AvReference ref = ReadWithLibavformat(c.path, true);
    Graph g(c.path);
    ASSERT_EQ(g.loaded, S_OK);
    ASSERT_EQ(g.splitter->GetPinCount(), 1);
    g.RunToEnd();
    const auto s = g.sinks[0]->Samples();
    ASSERT_EQ(s.size(), (c.frames + 1199) / 1200);
    for (size_t i = 0; i + 1 < s.size(); i++) {
      EXPECT_EQ(s[i].data.size(), 1200 * c.frame);
      EXPECT_EQ(s[i].start, static_cast<REFERENCE_TIME>(i) * 1500000);
      EXPECT_EQ(s[i].stop, s[i + 1].start);
    }
    EXPECT_EQ(s.back().data.size(), (c.frames - 1 - (c.frames - 1) / 1200 * 1200 + 1) * c.frame);
    EXPECT_EQ(s.back().stop, static_cast<REFERENCE_TIME>(c.frames) * 1250);  // 8000 frames a second
    CompareOutput(s, *ref.ById(c.track));
  }
}

// Damaged tables of a track: a composition offset, an edit, or a chunk
// placed outside the file. Times stay within the track, the samples not
// touched (and the chunk, found again) all come out, and the log tells what
// was mended.
TEST(MP4Splitter, DamagedTimesAndPlacesAreMended) {
  const Bytes original = LoadSample("sync-edit.mp4");
  const auto at = [&](const char* type) {
    return static_cast<size_t>(std::search(original.begin(), original.end(), type, type + 4) - original.begin());
  };
  Graph whole(TestDataPath("sync-edit.mp4"));
  ASSERT_EQ(whole.loaded, S_OK);
  whole.RunToEnd();
  const size_t count = whole.sinks[0]->Samples().size();
  const struct {
    const char* what;
    size_t offset;  // of the byte written over
    BYTE value;
    const char* told;
  } cases[] = {
      // The eleventh composition offset becomes 0x40000000 and more.
      {"composition offset", at("ctts") + 97, 0x40, "composition times far outside the track"},
      // The first edit starts the media 2^31 units in.
      {"edit", at("elst") + 16, 0x7F, "an edit far outside the movie was ignored"},
      // The fifth chunk lies 4 GB on: it is read where the file's own
      // layout leaves room for it.
      {"chunk offset", at("stco") + 28, 0xFF, "chunk offsets that pointed outside the file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes damaged = original;
    damaged[c.offset] = c.value;
    Graph g(WriteTestFile("damaged-table.mp4", damaged));
    ASSERT_EQ(g.loaded, S_OK);
    g.RunToEnd();
    const auto samples = g.sinks[0]->Samples();
    EXPECT_GE(samples.size() + 3, count);
    for (const auto& r : samples) {
      EXPECT_GE(r.start, -10000000);
      EXPECT_LE(r.start, 40000000);
    }
    const std::string report = CComQIPtr<IRunReport>(g.hold)->GetRunNote();
    EXPECT_NE(report.find(c.told), std::string::npos) << report;
  }
}

TEST(MP4Splitter, FilesCutShortOrDamagedEndCleanly) {
  // The movie in front, the data cut: the tables point past the end.
  const std::string whole =
      Variant("faststart.mp4", "mp4-h264-aac.mp4", "-c copy -fflags +bitexact -movflags +faststart -f mp4");
  Bytes bytes = MemAsyncReader::LoadFile(whole);
  bytes.resize(bytes.size() * 6 / 10);
  const std::string cut = WriteTestFile("cut.mp4", bytes);
  Graph g(cut);
  ASSERT_EQ(g.loaded, S_OK);
  g.RunToEnd();  // every output ends
  const size_t video = g.sinks[0]->Samples().size();
  EXPECT_GT(video, 10u);
  EXPECT_LT(video, 50u);

  // Damaged copies: a load that succeeds runs to its end.
  std::mt19937 random(7);
  const Bytes original = LoadSample("mp4-h264-aac.mp4");
  for (int k = 0; k < 12; k++) {
    Bytes damaged = original;
    for (int i = 0; i < 6; i++) damaged[damaged.size() - 1 - random() % 3000] = static_cast<uint8_t>(random());
    Graph d(WriteTestFile("damaged.mp4", damaged));
    if (SUCCEEDED(d.loaded)) d.RunToEnd();
  }
}

}  // namespace
