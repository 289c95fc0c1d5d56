// The AVI splitter in a filter graph, each output into a recording sink:
// pins, types and names; packets against libavformat's (sizes, bytes,
// times, key flags); every index layout and the scan of a file without one;
// seeking, frame positions and key frames; refused and damaged files.
#include <gtest/gtest.h>

#include <random>

#include "foundation/FilterHelpers.h"
#include "platform/dshow/DShowRegister.h"
#include "platform/ui/WinApp.h"
#include "splitters/avi/AviSplitter.h"
#include "tests/foundation/ToyFilters.h"
#include "tests/splitters/avi/AviTestSupport.h"

namespace {

using namespace avitest;

// The splitter on a file (source form, or splitter form behind the
// platform's file reader) with a recording sink on every output.
struct Graph {
  CComPtr<IFilterGraph> graph;
  CAviSplitterFilter* splitter = nullptr;
  CComPtr<IBaseFilter> hold, reader;
  std::vector<toy::Sink*> sinks;
  std::vector<CComPtr<IBaseFilter>> sinkHolds;
  HRESULT loaded = E_FAIL;

  explicit Graph(const std::string& path, bool splitterForm = false, const CLSID& sinkClass = toy::CLSID_ToySink) {
    EXPECT_EQ(DShowRegisterPlatform(), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    HRESULT hr = S_OK;
    splitter = splitterForm ? new CAviSplitterFilter(nullptr, &hr) : new CAviSourceFilter(nullptr, &hr);
    hold = toy::Hold(splitter);
    EXPECT_EQ(graph->AddFilter(hold, L"AVI"), S_OK);
    const std::wstring wide(path.begin(), path.end());
    if (splitterForm) {
      CComPtr<IFileSourceFilter> load;
      EXPECT_EQ(CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_INPROC_SERVER, IID_IFileSourceFilter,
                                 reinterpret_cast<void**>(&load)),
                S_OK);
      EXPECT_EQ(load->Load(wide.c_str(), nullptr), S_OK);
      reader = CComQIPtr<IBaseFilter>(load);
      EXPECT_EQ(graph->AddFilter(reader, L"Reader"), S_OK);
      loaded = graph->ConnectDirect(GetFirstPinByDirection(reader, PINDIR_OUTPUT),
                                    GetFirstPinByDirection(hold, PINDIR_INPUT), nullptr);
    } else {
      loaded = CComQIPtr<IFileSourceFilter>(hold)->Load(wide.c_str(), nullptr);
    }
    if (FAILED(loaded)) return;
    for (int i = 0; i < splitter->GetPinCount(); i++) {
      CBasePin* pin = splitter->GetPin(i);
      if (pin->IsConnected() || GetPinName(pin) == L"Input") continue;
      auto* sink = new toy::Sink(false, sinkClass);
      sinks.push_back(sink);
      sinkHolds.push_back(toy::Hold(sink));
      EXPECT_EQ(graph->AddFilter(sinkHolds.back(), (L"Sink " + std::to_wstring(i)).c_str()), S_OK);
      graph->ConnectDirect(pin, sink->In(), nullptr);
    }
  }
  ~Graph() {
    if (!graph) return;
    CComQIPtr<IMediaControl>(graph)->Stop();
    for (auto& s : sinkHolds) graph->RemoveFilter(s);
    graph->RemoveFilter(hold);
    if (reader) graph->RemoveFilter(reader);
  }
  CComQIPtr<IMediaSeeking> Seeking() { return CComQIPtr<IMediaSeeking>(hold); }
  void RunToEnd() {
    CComQIPtr<IMediaControl> control(graph);
    ASSERT_EQ(control->Run(), S_OK);
    for (auto* s : sinks) EXPECT_TRUE(s->WaitFor(0, true));
    control->Stop();
  }
  std::wstring PinName(int i) { return GetPinName(splitter->GetPin(i)); }
  CMediaType PinType(int i) {
    CMediaType mt;
    splitter->GetPin(i)->GetMediaType(0, &mt);
    return mt;
  }
};

std::vector<toy::Received> NonEmpty(const std::vector<toy::Received>& all) {
  std::vector<toy::Received> out;
  for (const auto& r : all)
    if (r.length > 0) out.push_back(r);
  return out;
}

TEST(AviSplitter, PinsTypesAndNames) {
  struct Case {
    const char* file;
    std::vector<std::wstring> names;
    std::vector<GUID> subtypes;
  };
  const Case cases[] = {
      {"avi-xvid-pcm.avi", {L"Video 0", L"Audio 1"}, {FourCCGuid(Fcc("xvid")), MEDIASUBTYPE_PCM}},
      {"avi-mjpeg-mp3.avi", {L"Video 0", L"Audio 1"}, {FourCCGuid(Fcc("MJPG")), FourCCGuid(0x55)}},
      {"avi-dx50-mp3-ac3.avi",
       {L"Video 0", L"Audio 1", L"Audio 2"},
       {FourCCGuid(Fcc("DX50")), FourCCGuid(0x55), FourCCGuid(0x2000)}},
      {"avi-h264-aac.avi", {L"Video 0", L"Audio 1"}, {FourCCGuid(Fcc("H264")), FourCCGuid(0xFF)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Graph g(TestDataPath(c.file));
    ASSERT_EQ(g.loaded, S_OK);
    ASSERT_EQ(g.splitter->GetPinCount(), int(c.names.size()));
    LavfFile lavf;
    ASSERT_TRUE(ReadLavf(TestDataPath(c.file), lavf));
    for (int i = 0; i < g.splitter->GetPinCount(); ++i) {
      EXPECT_EQ(g.PinName(i), c.names[size_t(i)]);
      const CMediaType mt = g.PinType(i);
      EXPECT_EQ(mt.subtype, c.subtypes[size_t(i)]);
      const AVCodecParameters* p = lavf.params[size_t(i)];
      if (i == 0) {
        ASSERT_EQ(mt.formattype, FORMAT_VideoInfo);
        auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat);
        EXPECT_EQ(vih->AvgTimePerFrame, 400000);
        EXPECT_EQ(vih->bmiHeader.biWidth, p->width);
        EXPECT_EQ(vih->bmiHeader.biHeight, p->height);
        EXPECT_GT(vih->dwBitRate, 0u);
      } else {
        ASSERT_EQ(mt.formattype, FORMAT_WaveFormatEx);
        auto* wfx = reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
        EXPECT_EQ(int(wfx->nSamplesPerSec), p->sample_rate);
        EXPECT_EQ(int(wfx->nChannels), p->ch_layout.nb_channels);
        EXPECT_EQ(size_t(wfx->cbSize), size_t(p->extradata_size));
      }
    }
  }
  // The source form has no input pin; the splitter form has one.
  EXPECT_EQ(GetFirstPinByDirection(Graph(TestDataPath("avi-xvid-pcm.avi")).hold, PINDIR_INPUT), nullptr);
  Graph split(TestDataPath("avi-xvid-pcm.avi"), true);
  EXPECT_EQ(split.loaded, S_OK);
  EXPECT_EQ(split.sinks.size(), 2u);
}

TEST(AviSplitter, StreamKindsNamesAndTexts) {
  std::vector<Stream> streams = SyntheticStreams(10, 3200, 0.4);
  streams[0].name = "Camera";
  Stream text, midi, dv, odd, blockless;
  text.type = "txts", text.kind = "tx", text.chunks = {Bytes(10, 't'), Bytes(10, 'u')};
  midi.type = "mids", midi.kind = "md", midi.chunks = {Bytes(10, 'm')};
  dv.type = "iavs", dv.kind = "dc", dv.handler = Fcc("dvsd"), dv.strf = Bytes(20, 1), dv.chunks = {Bytes(10, 'd')};
  odd.type = "xyzs", odd.kind = "dc", odd.chunks = {Bytes(10, 'x')};
  blockless = streams[1];
  blockless.strf = WaveFormat(1, 2, 8000, 0, 16, 32000);
  Stream unindexed = streams[1];
  unindexed.chunks.clear();
  streams.insert(streams.end(), {text, midi, dv, odd, blockless, unindexed});
  Options o;
  o.info = {{"INAM", "A title"}, {"IART", "An author"}, {"ICMT", "not shown"}};
  Graph g(WriteFile("kinds.avi", BuildAvi(streams, o)));
  ASSERT_EQ(g.loaded, S_OK);
  const std::vector<std::wstring> names = {L"Camera 0", L"Audio 1", L"Text 2", L"Midi 3", L"Interleaved 4"};
  ASSERT_EQ(g.splitter->GetPinCount(), int(names.size()));
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(g.PinName(int(i)), names[i]);
  EXPECT_EQ(g.PinType(2).majortype, MEDIATYPE_Text);
  EXPECT_EQ(g.PinType(3).majortype, MEDIATYPE_Midi);
  const CMediaType dvType = g.PinType(4);
  EXPECT_EQ(dvType.subtype, FourCCGuid(Fcc("dvsd")));
  EXPECT_EQ(dvType.cbFormat, sizeof(DVINFO));  // a short block is filled up
  CComQIPtr<IAMMediaContent> content(g.hold);
  BSTR title = nullptr, author = nullptr;
  ASSERT_EQ(content->get_Title(&title), S_OK);
  ASSERT_EQ(content->get_AuthorName(&author), S_OK);
  EXPECT_STREQ(title, L"A title");
  EXPECT_STREQ(author, L"An author");
  SysFreeString(title);
  SysFreeString(author);
}

// Short format blocks from the file are filled up, never read past.
TEST(AviSplitter, ShortFormatBlocks) {
  std::vector<Stream> streams = SyntheticStreams(10, 3200, 0.4);
  streams[0].strf.resize(20);  // compression at 16 is still there
  streams[1].strf = WaveFormat(0x55, 2, 44100, 1, 0, 16000, Bytes(12, 0));
  streams[1].strf.resize(18 + 4);  // cbSize says 12
  Graph g(WriteFile("short.avi", BuildAvi(streams)));
  ASSERT_EQ(g.loaded, S_OK);
  const CMediaType v = g.PinType(0), a = g.PinType(1);
  EXPECT_EQ(v.cbFormat, sizeof(VIDEOINFOHEADER));
  EXPECT_EQ(v.subtype, FourCCGuid(Fcc("XVID")));
  EXPECT_EQ(a.cbFormat, 22u);
  EXPECT_EQ(reinterpret_cast<const WAVEFORMATEX*>(a.pbFormat)->cbSize, 4);
}

// Uncompressed pictures by bit depth; plain 16-bit pictures are 5-5-5,
// bit fields tell 5-6-5 from 5-5-5.
TEST(AviSplitter, UncompressedPictureSubtypes) {
  Writer masks565, masks555;
  masks565.U32(0xF800), masks565.U32(0x07E0), masks565.U32(0x001F);
  masks555.U32(0x7C00), masks555.U32(0x03E0), masks555.U32(0x001F);
  const struct {
    uint32_t compression;
    uint16_t bits;
    Bytes masks;
    GUID subtype;
  } cases[] = {{0, 8, {}, MEDIASUBTYPE_RGB8},         {0, 16, {}, MEDIASUBTYPE_RGB555},
               {3, 16, masks565.out, MEDIASUBTYPE_RGB565}, {3, 16, masks555.out, MEDIASUBTYPE_RGB555},
               {0, 24, {}, MEDIASUBTYPE_RGB24},       {0, 32, {}, MEDIASUBTYPE_ARGB32}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bits);
    std::vector<Stream> streams = SyntheticStreams(3, 3200, 0.12);
    streams[0].strf = BitmapHeader(c.compression, 64, 48, c.bits, c.masks);
    Graph g(WriteFile("rgb.avi", BuildAvi(streams)));
    ASSERT_EQ(g.loaded, S_OK);
    EXPECT_EQ(g.PinType(0).subtype, c.subtype);
  }
}

TEST(AviSplitter, PacketsMatchLibavformat) {
  for (const char* name : {"avi-xvid-pcm.avi", "avi-mjpeg-mp3.avi", "avi-dx50-mp3-ac3.avi", "avi-h264-aac.avi"}) {
    SCOPED_TRACE(name);
    LavfFile lavf;
    ASSERT_TRUE(ReadLavf(TestDataPath(name), lavf));
    Graph g(TestDataPath(name), std::string(name) == "avi-dx50-mp3-ac3.avi");
    ASSERT_EQ(g.loaded, S_OK);
    g.RunToEnd();
    for (size_t s = 0; s < g.sinks.size(); ++s) {
      const auto ours = NonEmpty(g.sinks[s]->Samples());
      const auto theirs = lavf.Of(int(s));
      if (lavf.params[s]->codec_id == AV_CODEC_ID_PCM_S16LE) {
        // libavformat cuts PCM chunks into pieces: the bytes add up alike.
        long long a = 0, b = 0;
        for (const auto& r : ours) a += r.length;
        for (const auto& p : theirs) b += p.size;
        EXPECT_EQ(a, b);
        continue;
      }
      ASSERT_EQ(ours.size(), theirs.size()) << "stream " << s;
      for (size_t i = 0; i < ours.size(); ++i) {
        EXPECT_EQ(ours[i].length, theirs[i].size) << "stream " << s << " packet " << i;
        EXPECT_EQ(ours[i].hash, theirs[i].hash) << "stream " << s << " packet " << i;
        EXPECT_LE(std::llabs(ours[i].start - theirs[i].pts), 1) << "stream " << s << " packet " << i;
        if (s == 0) {
          EXPECT_EQ(ours[i].sync, theirs[i].key) << "packet " << i;
        }
      }
    }
  }
}

TEST(AviSplitter, EveryLayoutDeliversTheChunks) {
  struct Case {
    const char* name;
    Index index;
    size_t chunksPerRiff;
    int unlisted = -1;
  };
  // The reader's tests prove where each layout's chunks lie; here the data
  // read without chunk headers (OpenDML) and after a scan.
  const Case cases[] = {{"OpenDML with AVIX", Index::OpenDml, 25}, {"no index: scanned", Index::None, 0},
                        {"idx1 without the sound: it is scanned", Index::Idx1, 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<Stream> streams = SyntheticStreams(50, 1999, 2.0);
    Options o;
    o.index = c.index;
    o.chunksPerRiff = c.chunksPerRiff;
    o.unlisted = c.unlisted;
    Graph g(WriteFile("layout.avi", BuildAvi(streams, o)));
    ASSERT_EQ(g.loaded, S_OK);
    g.RunToEnd();
    for (size_t s = 0; s < 2; ++s) {
      const auto got = g.sinks[s]->Samples();
      ASSERT_EQ(got.size(), streams[s].chunks.size());
      for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i].hash, Fnv(streams[s].chunks[i].data(), streams[s].chunks[i].size()));
      // Odd PCM chunks count as whole blocks: 2000 bytes each.
      EXPECT_EQ(got[16].start, s == 0 ? 16 * 400000 : REFERENCE_TIME(16 * 2000 * 10000000ll / 32000));
    }
    // A scanned file's length is its longest stream's last chunk time, as
    // long as an indexed one's.
    LONGLONG duration = 0;
    ASSERT_EQ(g.Seeking()->GetDuration(&duration), S_OK);
    EXPECT_EQ(duration, 20010000);
  }
}

TEST(AviSplitter, SeekStartsAtTheEarliestKeyChunk) {
  // Keys every fifth frame; the audio ends at 1 s, the video at 2 s.
  std::vector<Stream> streams = SyntheticStreams(50, 3200, 1.0);
  Graph g(WriteFile("seek.avi", BuildAvi(streams)));
  ASSERT_EQ(g.loaded, S_OK);
  struct Case {
    REFERENCE_TIME at;
    int videoFrame;    // first frame delivered
    int audioChunks;   // audio chunks delivered
  };
  // Past the audio's end its last chunk is the one it needs, and the video
  // starts with it.
  for (const Case& c : {Case{0, 0, 10}, Case{-5, 0, 10}, Case{7 * 400000, 5, 8}, Case{30 * 400000, 23, 1}}) {
    SCOPED_TRACE(c.at);
    for (auto* s : g.sinks) s->Clear();
    LONGLONG at = c.at;
    ASSERT_EQ(g.Seeking()->SetPositions(&at, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
    g.RunToEnd();
    const auto video = g.sinks[0]->Samples();
    ASSERT_FALSE(video.empty());
    EXPECT_EQ(video[0].start, c.videoFrame * 400000ll - c.at);
    EXPECT_EQ(video.size(), size_t(50 - c.videoFrame));
    EXPECT_EQ(g.sinks[1]->Samples().size(), size_t(c.audioChunks));
  }
}

TEST(AviSplitter, FramePositionsAndKeyFrames) {
  Graph g(WriteFile("frames.avi", BuildAvi(SyntheticStreams(50, 3200, 2.0))));
  ASSERT_EQ(g.loaded, S_OK);
  CComQIPtr<IMediaSeeking> seek = g.Seeking();
  EXPECT_EQ(seek->IsFormatSupported(&TIME_FORMAT_FRAME), S_OK);
  EXPECT_EQ(seek->IsFormatSupported(&TIME_FORMAT_BYTE), S_FALSE);
  EXPECT_EQ(seek->SetTimeFormat(&TIME_FORMAT_BYTE), E_FAIL);
  for (LONGLONG f = 0; f < 50; ++f) {
    LONGLONG t = -1, back = -1;
    ASSERT_EQ(seek->ConvertTimeFormat(&t, &TIME_FORMAT_MEDIA_TIME, f, &TIME_FORMAT_FRAME), S_OK);
    ASSERT_EQ(seek->ConvertTimeFormat(&back, &TIME_FORMAT_FRAME, t, &TIME_FORMAT_MEDIA_TIME), S_OK);
    EXPECT_EQ(t, f * 400000);
    EXPECT_EQ(back, f);
  }
  LONGLONG out = 0;
  EXPECT_EQ(seek->ConvertTimeFormat(&out, &TIME_FORMAT_MEDIA_TIME, 50, &TIME_FORMAT_FRAME), E_FAIL);
  EXPECT_EQ(seek->ConvertTimeFormat(&out, &TIME_FORMAT_MEDIA_TIME, -1, &TIME_FORMAT_FRAME), E_FAIL);

  ASSERT_EQ(seek->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
  EXPECT_EQ(seek->IsUsingTimeFormat(&TIME_FORMAT_FRAME), S_OK);
  LONGLONG duration = 0, stop = 0;
  EXPECT_EQ(seek->GetDuration(&duration), S_OK);
  EXPECT_EQ(duration, 50);
  EXPECT_EQ(seek->GetStopPosition(&stop), S_OK);
  EXPECT_EQ(stop, 49);  // the chunk at the end time
  LONGLONG frame = 12;
  ASSERT_EQ(seek->SetPositions(&frame, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
  g.RunToEnd();
  const auto video = g.sinks[0]->Samples();
  ASSERT_FALSE(video.empty());
  EXPECT_EQ(video[0].start, 10 * 400000 - 12 * 400000);  // the key frame before frame 12

  UINT keys = 0;
  EXPECT_EQ(g.splitter->KeyFrameCount(keys), S_OK);
  EXPECT_EQ(keys, 10u);
  std::vector<REFERENCE_TIME> times(4);
  UINT count = 4;
  ASSERT_EQ(g.splitter->GetKeyFrames(&TIME_FORMAT_FRAME, times.data(), count), S_OK);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(times, (std::vector<REFERENCE_TIME>{0, 5, 10, 15}));
  count = 4;
  ASSERT_EQ(g.splitter->GetKeyFrames(&TIME_FORMAT_MEDIA_TIME, times.data(), count), S_OK);
  EXPECT_EQ(times[1], 5 * 400000);
  EXPECT_EQ(g.splitter->GetKeyFrames(&TIME_FORMAT_BYTE, times.data(), count), E_INVALIDARG);

  // Every chunk a key chunk: S_FALSE. So it is for a scanned file, whose
  // chunks are all marked key chunks for want of better knowledge.
  Options none;
  none.index = Index::None;
  Graph scanned(WriteFile("scanned.avi", BuildAvi(SyntheticStreams(50, 3200, 2.0), none)));
  ASSERT_EQ(scanned.loaded, S_OK);
  scanned.RunToEnd();
  EXPECT_EQ(scanned.splitter->KeyFrameCount(keys), S_FALSE);
  EXPECT_EQ(keys, 50u);
}

TEST(AviSplitter, RefusesBadlyInterleavedFiles) {
  // The warning's setting is read from the application's profile; headless,
  // no window is shown and the setting stays as it was.
  CWinApp app("Pellomar");
  app.SetRegistryKey("Quorvel Software");
  ASSERT_TRUE(app.WriteProfileInt("Settings", "HideAviSplitterWarning", 0));
  Options o;
  o.interleaved = false;
  const std::string path = WriteFile("stream-after-stream.avi", BuildAvi(SyntheticStreams(50, 32, 2.0), o));
  for (bool splitterForm : {false, true}) {
    Graph g(path, splitterForm);
    EXPECT_TRUE(FAILED(g.loaded));
    EXPECT_EQ(g.splitter->GetPinCount(), splitterForm ? 1 : 0);
  }
  EXPECT_EQ(app.GetProfileInt("Settings", "HideAviSplitterWarning", 7), 0u);
}

TEST(AviSplitter, DamagedFilesEndCleanly) {
  const std::vector<Stream> streams = SyntheticStreams(50, 3200, 2.0);
  const Bytes good = BuildAvi(streams);

  // Cut in the middle (the scan finds the chunks), or with an index that
  // lists chunks past the end: what the file holds is delivered, then the
  // streams end.
  const size_t movi = size_t(std::search(good.begin(), good.end(), "movi", "movi" + 4) - good.begin());
  Bytes longIndex = good;
  for (uint32_t k = 0; k < 5; ++k) {
    Writer entry;
    entry.U32(Fcc("00dc")), entry.U32(0x10), entry.U32(uint32_t(good.size()) + k * 200), entry.U32(100);
    longIndex.insert(longIndex.end(), entry.out.begin(), entry.out.end());
  }
  const size_t idx1 = size_t(std::search(good.begin(), good.end(), "idx1", "idx1" + 4) - good.begin());
  Writer sizes;
  sizes.out = longIndex;
  sizes.Patch32(idx1 + 4, uint32_t(longIndex.size() - idx1 - 8));
  sizes.Patch32(4, uint32_t(longIndex.size() - 8));
  const size_t cut = movi + (good.size() - movi) / 2;
  // The video chunks wholly before the cut.
  size_t whole = 0;
  for (auto at = good.begin() + long(movi); (at = std::search(at, good.end(), "00dc", "00dc" + 4)) != good.end(); ++at)
    whole += size_t(at - good.begin()) + 8 + at[4] <= cut;
  for (const Bytes& b : {Bytes(good.begin(), good.begin() + long(cut)), sizes.out}) {
    Graph g(WriteFile("cut.avi", b));
    ASSERT_EQ(g.loaded, S_OK);
    g.RunToEnd();
    EXPECT_EQ(g.sinks[0]->Samples().size(), b.size() < good.size() ? whole : 50u);
  }

  // A chunk whose header does not match the index is dropped, and the next
  // packet of its stream says so.
  Bytes bad = good;
  size_t at = size_t(std::search(bad.begin() + long(movi), bad.end(), "00dc", "00dc" + 4) - bad.begin());
  for (int k = 0; k < 3; ++k) at = size_t(std::search(bad.begin() + long(at) + 1, bad.end(), "00dc", "00dc" + 4) - bad.begin());
  bad[at + 4] ^= 0x10;  // its size
  Graph h(WriteFile("mismatch.avi", bad));
  ASSERT_EQ(h.loaded, S_OK);
  h.RunToEnd();
  const auto got = h.sinks[0]->Samples();
  ASSERT_EQ(got.size(), 49u);
  EXPECT_TRUE(got[3].discontinuity);
  EXPECT_EQ(got[3].start, 4 * 400000);

  // Damaged at random: opening fails, or the streams run to their end.
  std::mt19937 rng(11);
  for (int round = 0; round < 12; ++round) {
    Bytes b = good;
    for (int k = 0; k < 16; ++k) b[size_t(rng() % (b.size() - 200)) + 200] = uint8_t(rng());
    Graph r(WriteFile("random.avi", b));
    if (SUCCEEDED(r.loaded)) r.RunToEnd();
  }
}

TEST(AviSplitter, IndeoStaysAwayFromTheVideoMixers) {
  std::vector<Stream> streams = SyntheticStreams(5, 3200, 0.2);
  streams[0].strf = BitmapHeader(Fcc("IV32"), 64, 48, 24);
  const std::string path = WriteFile("indeo.avi", BuildAvi(streams));
  Graph mixer(path, false, CLSID_VideoMixingRenderer);
  ASSERT_EQ(mixer.loaded, S_OK);
  EXPECT_FALSE(mixer.splitter->GetPin(0)->IsConnected());
  EXPECT_TRUE(mixer.splitter->GetPin(1)->IsConnected());
  Graph other(path);
  EXPECT_TRUE(other.splitter->GetPin(0)->IsConnected());
}

}  // namespace
