// The Ogg splitter: streams, types, payloads, times and durations against
// libavformat; Vorbis comments; page assembly; OGM and embedded media
// types from the test page writer; seeking; refused headers and damaged
// files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "splitters/ogg/OggSplitter.h"
#include "tests/splitters/SplitterGraph.h"
#include "tests/splitters/ogg/OggWriter.h"

namespace {

using namespace splittertest;
using oggtest::Bytes;
using oggtest::OggWriter;
using oggtest::Page;

PELLOMAR_DEFINE_GUID(kVorbisHeaders, "8D2FD10B-5841-4A6B-8905-588FEC1ADED9");
PELLOMAR_DEFINE_GUID(kVorbisHeadersFormat, "B36E107F-A938-4387-93C7-55E966757473");
PELLOMAR_DEFINE_GUID(kVorbisInBand, "CDDCA2D5-6D75-4F98-840E-737BEDD5C63B");
PELLOMAR_DEFINE_GUID(kDirectShowInOgg, "D2855FA9-61A7-4DB0-B979-71F297C17A04");

using Graph = SourceGraph<COggSourceFilter>;

Bytes Load(const char* name) { return MemAsyncReader::LoadFile(TestDataPath(name)); }

DWORD Le32(const BYTE* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<DWORD>(p[3]) << 24; }

// The whole packets of the first logical stream of an Ogg file, with the
// granule position of the page each one ends on.
struct StreamPackets {
  uint32_t serial = 0;
  std::vector<Bytes> packets;
  std::vector<int64_t> granules;
};

StreamPackets FirstStream(const Bytes& file) {
  StreamPackets s;
  const std::vector<Page> pages = oggtest::ParsePages(file);
  if (pages.empty()) return s;
  s.serial = pages[0].serial;
  Bytes pending;
  for (const Page& p : pages) {
    if (p.serial != s.serial) continue;
    size_t at = 0;
    for (int lace : p.lacing) {
      pending.insert(pending.end(), p.data.begin() + static_cast<ptrdiff_t>(at),
                     p.data.begin() + static_cast<ptrdiff_t>(at + lace));
      at += static_cast<size_t>(lace);
      if (lace < 255) {
        s.packets.push_back(pending);
        s.granules.push_back(p.granule);
        pending.clear();
      }
    }
  }
  return s;
}

// A Vorbis comment header.
Bytes CommentHeader(const std::vector<std::string>& comments, uint32_t vendorLength = 4) {
  Bytes out = {3, 'v', 'o', 'r', 'b', 'i', 's'};
  oggtest::PutLe(out, vendorLength, 4);
  for (const char* v = "test"; *v; v++) out.push_back(static_cast<uint8_t>(*v));
  oggtest::PutLe(out, comments.size(), 4);
  for (const std::string& c : comments) {
    oggtest::PutLe(out, c.size(), 4);
    out.insert(out.end(), c.begin(), c.end());
  }
  out.push_back(1);
  return out;
}

// vorbis.ogg with its comment header replaced.
Bytes VorbisWithComments(const Bytes& comment) {
  const StreamPackets s = FirstStream(Load("vorbis.ogg"));
  OggWriter w;
  w.Packets(s.serial, {s.packets[0]}, 0, 2);
  w.Packets(s.serial, {comment, s.packets[2]}, 0);
  for (size_t i = 3; i < s.packets.size(); i++)
    w.Packets(s.serial, {s.packets[i]}, s.granules[i], i + 1 == s.packets.size() ? 4 : 0);
  return w.bytes;
}

// --- Streams against libavformat ---------------------------------------------

TEST(OggSplitter, VorbisAndTheoraStreamsMatchLibavformat) {
  const struct {
    const char* file;
    std::vector<std::wstring> names;
    std::vector<int> lavfStreams;  // the stream each pin carries
  } cases[] = {
      {"vorbis.ogg", {L"Vorbis 0"}, {0}},
      {"vorbis-2streams.ogg", {L"Vorbis 0", L"Vorbis 1"}, {0, 1}},
      // Theora and Vorbis in either order of their first pages.
      {"theora-vorbis.ogg", {L"Theora 0", L"Vorbis 1"}, {0, 1}},
      {"vorbis-theora.ogg", {L"Vorbis 0", L"Theora 1"}, {0, 1}},
      {"vorbis-tags.ogg", {L"English"}, {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const RefFile ref = ReadWithLavf(TestDataPath(c.file));
    ASSERT_TRUE(ref.opened);
    Graph g(TestDataPath(c.file));
    ASSERT_EQ(g.loaded, S_OK);
    ASSERT_EQ(g.OutputCount(), static_cast<int>(c.names.size()));
    EXPECT_NEAR(static_cast<double>(g.Duration()), static_cast<double>(ref.duration), 10000);
    g.RunToEnd();
    for (int i = 0; i < g.OutputCount(); i++) {
      SCOPED_TRACE(i);
      EXPECT_EQ(g.PinName(i), c.names[static_cast<size_t>(i)]);
      const CMediaType mt = g.PinType(i);
      if (mt.majortype == MEDIATYPE_Video) {
        // Theora: the headers in the format block, each packet as
        // libavformat has it, a frame apart, key frames as sync points.
        EXPECT_EQ(mt.subtype, FourCCGuid(MAKEFOURCC('T', 'H', 'E', 'O')));
        EXPECT_GT(mt.cbFormat, sizeof(VIDEOINFOHEADER) + 3 * 2);
        const std::vector<toy::Received> ours = g.Samples(i);
        const std::vector<RefPacket> theirs = ref.Stream(c.lavfStreams[static_cast<size_t>(i)]);
        ASSERT_EQ(ours.size(), theirs.size());
        for (size_t k = 0; k < theirs.size(); k++) {
          EXPECT_EQ(ours[k].hash, theirs[k].hash) << "packet " << k;
          EXPECT_EQ(ours[k].sync, theirs[k].key) << "packet " << k;
          EXPECT_NEAR(static_cast<double>(ours[k].start - ours[0].start),
                      static_cast<double>(theirs[k].pts - theirs[0].pts), 10000) << "packet " << k;
        }
        continue;
      }
      EXPECT_EQ(mt.majortype, MEDIATYPE_Audio);
      EXPECT_EQ(mt.subtype, kVorbisHeaders);
      EXPECT_EQ(mt.formattype, kVorbisHeadersFormat);
      ASSERT_GE(mt.cbFormat, 24u);

      // The stream's three headers open it and stand in the format block.
      const std::vector<toy::Received> ours = g.Samples(i);
      const std::vector<RefPacket> theirs = ref.Stream(c.lavfStreams[static_cast<size_t>(i)]);
      ASSERT_EQ(ours.size(), theirs.size() + 3);
      size_t at = 24;
      for (int k = 0; k < 3; k++) {
        const DWORD size = Le32(mt.pbFormat + 12 + 4 * k);
        ASSERT_LE(at + size, mt.cbFormat);
        EXPECT_EQ(ours[static_cast<size_t>(k)].hash, toy::PayloadHash(mt.pbFormat + at, size));
        at += size;
      }
      EXPECT_EQ(at, mt.cbFormat);

      // Each data packet as libavformat has it, timed at the start of the
      // samples it decodes to. The first gives no samples (libavformat
      // times it by a guess), and the last page of a stream may cut its
      // last packet short: the times are compared between them.
      ASSERT_GE(theirs.size(), 3u);
      const long long offset = theirs[1].pts - ours[4].start;
      for (size_t k = 0; k < theirs.size(); k++) {
        const toy::Received& r = ours[k + 3];
        EXPECT_EQ(r.hash, theirs[k].hash) << "packet " << k;
        EXPECT_TRUE(r.sync);
        if (k == 0 || k + 1 == theirs.size()) continue;
        EXPECT_NEAR(static_cast<double>(r.start), static_cast<double>(theirs[k].pts - offset), 10000)
            << "packet " << k;
      }
      EXPECT_LE(ours[3].start, 1);
    }
  }
}

// The second Vorbis type carries no headers in its format block: they are
// delivered again in front of every segment.
TEST(OggSplitter, InBandVorbisHeadersOpenEachSegment) {
  Graph g(TestDataPath("vorbis.ogg"));
  ASSERT_EQ(g.loaded, S_OK);
  const CMediaType withHeaders = g.PinType(0);
  CComPtr<IEnumMediaTypes> types;
  ASSERT_EQ(g.filter->GetPin(0)->EnumMediaTypes(&types), S_OK);
  AM_MEDIA_TYPE* got[2] = {};
  ULONG n = 0;
  ASSERT_EQ(types->Next(2, got, &n), S_OK);
  ASSERT_EQ(n, 2u);
  CMediaType inBand(*got[1]);
  DeleteMediaType(got[0]);
  DeleteMediaType(got[1]);
  EXPECT_EQ(inBand.subtype, kVorbisInBand);
  ASSERT_EQ(inBand.cbFormat, 24u);

  IPin* out = g.filter->GetPin(0);
  ASSERT_EQ(g.graph->Disconnect(out), S_OK);
  ASSERT_EQ(g.graph->Disconnect(g.sinks[0]->In()), S_OK);
  ASSERT_EQ(g.graph->ConnectDirect(out, g.sinks[0]->In(), &inBand), S_OK);
  for (REFERENCE_TIME t : {0LL, 10000000LL}) {
    SCOPED_TRACE(t);
    g.RunFrom(t);
    const auto samples = g.Samples(0);
    ASSERT_GT(samples.size(), 6u);
    size_t at = 24;
    for (int k = 0; k < 3; k++) {
      const DWORD size = Le32(withHeaders.pbFormat + 12 + 4 * k);
      EXPECT_EQ(samples[static_cast<size_t>(k)].hash, toy::PayloadHash(withHeaders.pbFormat + at, size));
      EXPECT_FALSE(samples[static_cast<size_t>(k)].timed);
      at += size;
    }
  }
}

TEST(OggSplitter, CommentsGivePropertiesChaptersAndPinNames) {
  {
    Graph g(TestDataPath("vorbis-tags.ogg"));
    ASSERT_EQ(g.loaded, S_OK);
    EXPECT_EQ(g.Property(L"TITL"), L"Song");
    EXPECT_EQ(g.Property(L"AUTH"), L"Someone");
    EXPECT_EQ(g.PinProperty(0, L"LANG"), L"eng");
    CComQIPtr<IDSMChapterBag> chapters(g.hold);
    ASSERT_TRUE(chapters);
    ASSERT_EQ(chapters->GetChapterCount(), 2u);
    const struct {
      REFERENCE_TIME start;
      const wchar_t* name;
    } want[] = {{2500000, L"Chapter 1"}, {7500000, L"Second"}};
    for (DWORD i = 0; i < 2; i++) {
      REFERENCE_TIME start = 0;
      BSTR name = nullptr;
      ASSERT_EQ(chapters->GetChapter(i, &start, &name), S_OK);
      EXPECT_EQ(start, want[i].start);
      EXPECT_STREQ(name, want[i].name);
      SysFreeString(name);
    }
  }

  const struct {
    const char* what;
    Bytes comment;
    std::wstring title, pinName, lang, nameProperty;
    std::vector<std::pair<REFERENCE_TIME, std::wstring>> chapters;
  } cases[] = {
      {"a key twice, lower-case keys, a comment without =",
       CommentHeader({"TITLE=One", "title=Two", "no equals sign", "CHAPTER01=00:01:30.500"}),
       L"One;Two", L"Vorbis 0", L"", L"", {{905000000, L"Chapter 1"}}},
      {"a language by name", CommentHeader({"LANGUAGE=French"}), L"", L"French", L"fre", L"", {}},
      {"an unknown language names the pin", CommentHeader({"LANGUAGE=Elvish"}), L"", L"Elvish", L"", L"Elvish", {}},
      {"chapters end at the first unreadable time",
       CommentHeader({"CHAPTER01=00:00:01.000", "CHAPTER01NAME=A", "CHAPTER02=soon", "CHAPTER03=00:00:03.000"}),
       L"", L"Vorbis 0", L"", L"", {{10000000, L"A"}}},
      // Lengths past the packet stop the parsing; what came before stays.
      {"a comment longer than the packet",
       [] {
         Bytes c = CommentHeader({"TITLE=Kept", "ARTIST=Lost"});
         // The second comment's length field.
         const size_t at = 7 + 4 + 4 + 4 + 4 + 10;
         c[at] = 0xFF, c[at + 1] = 0xFF, c[at + 2] = 0xFF, c[at + 3] = 0x7F;
         return c;
       }(),
       L"Kept", L"Vorbis 0", L"", L"", {}},
      {"a vendor string longer than the packet", CommentHeader({"TITLE=Lost"}, 0xFFFFFFF0u), L"", L"Vorbis 0", L"",
       L"", {}},
      {"more comments counted than there are",
       [] {
         Bytes c = CommentHeader({"TITLE=Kept"});
         c[7 + 4 + 4] = 0xFF, c[7 + 4 + 4 + 1] = 0xFF, c[7 + 4 + 4 + 2] = 0xFF, c[7 + 4 + 4 + 3] = 0xFF;
         return c;
       }(),
       L"Kept", L"Vorbis 0", L"", L"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Graph g(WriteTemp("ogg-comments.ogg", VorbisWithComments(c.comment)));
    ASSERT_EQ(g.loaded, S_OK);
    EXPECT_EQ(g.Property(L"TITL"), c.title);
    EXPECT_EQ(g.PinName(0), c.pinName);
    EXPECT_EQ(g.PinProperty(0, L"LANG"), c.lang);
    EXPECT_EQ(g.PinProperty(0, L"NAME"), c.nameProperty);
    CComQIPtr<IDSMChapterBag> chapters(g.hold);
    ASSERT_EQ(chapters->GetChapterCount(), c.chapters.size());
    for (DWORD i = 0; i < c.chapters.size(); i++) {
      REFERENCE_TIME start = 0;
      BSTR name = nullptr;
      ASSERT_EQ(chapters->GetChapter(i, &start, &name), S_OK);
      EXPECT_EQ(start, c.chapters[i].first);
      EXPECT_EQ(std::wstring(name), c.chapters[i].second);
      SysFreeString(name);
    }
    // The stream still plays.
    g.RunToEnd();
    EXPECT_GT(g.Samples(0).size(), 3u);
  }
}

// --- Page assembly -----------------------------------------------------------

// A pin kind whose packets keep their bytes and take the running time;
// a granule is ten units of time.
class TestPin : public COggSplitterOutputPin {
 public:
  TestPin(CBaseSplitterFilter* filter, HRESULT* phr) : COggSplitterOutputPin({}, L"Test", filter, filter, phr) {}
  HRESULT UnpackPacket(OggPacket& p, const BYTE* data, size_t len) override {
    p.rtStart = m_rtLast;
    p.rtStop = m_rtLast + 1;
    p.assign(data, data + len);
    return S_OK;
  }
  REFERENCE_TIME GetRefTime(INT64 granule) override { return granule * 10; }
};

TEST(OggSplitter, PagesJoinIntoPackets) {
  struct In {
    DWORD seq;
    BYTE flags;
    INT64 granule;
    std::vector<int> lacing;
  };
  struct Out {
    size_t size;
    bool skip, discontinuity;
    REFERENCE_TIME start;
  };
  const struct {
    const char* what;
    std::vector<In> pages;
    std::vector<Out> packets;
  } cases[] = {
      {"a page of 255-byte segments only leaves its packet pending",
       {{0, 2, 0, {10}}, {1, 0, -1, {255, 255}}, {2, 1, 30, {20}}},
       {{10, false, true, 0}, {530, false, false, 1}}},
      {"a packet over three pages is joined",
       {{0, 2, 0, {10}}, {1, 0, -1, {255}}, {2, 1, -1, {255}}, {3, 1, 50, {5}}},
       {{10, false, true, 0}, {515, false, false, 1}}},
      {"a sequence gap drops the packet and the page after it",
       {{0, 2, 0, {10}}, {1, 0, -1, {255}}, {3, 1, -1, {255}}, {4, 1, 50, {5}}, {5, 0, 60, {7}}},
       {{10, false, true, 0}, {7, false, true, 600}}},
      {"without a granule position nothing is timed or delivered",
       {{0, 2, -1, {10, 12}}, {1, 0, -1, {3}}},
       {{10, true, false, 0}, {12, true, false, 1}, {3, true, false, 2}}},
      {"the first page after a reset is dropped", {{7, 0, 40, {4}}, {8, 0, 50, {6}}}, {{6, false, true, 500}}},
      {"a continued page without its start has nothing to add to", {{0, 1, 40, {4, 9}}}, {{9, false, true, 400}}},
  };
  HRESULT hr = S_OK;
  CComPtr<IBaseFilter> hold = toy::Hold(new COggSplitterFilter(nullptr, &hr));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestPin pin(static_cast<COggSplitterFilter*>(hold.p), &hr);
    pin.ResetState();
    std::vector<std::unique_ptr<OggPacket>> got;
    for (size_t i = 0; i < c.pages.size(); i++) {
      OggPage page;
      page.m_hdr.page_sequence_number = c.pages[i].seq;
      page.m_hdr.header_type_flag = c.pages[i].flags;
      page.m_hdr.granule_position = c.pages[i].granule;
      page.m_lens = c.pages[i].lacing;
      for (int lace : page.m_lens) page.m_data.insert(page.m_data.end(), static_cast<size_t>(lace), BYTE(i));
      pin.UnpackPage(page);
      while (auto p = pin.GetPacket()) got.push_back(std::move(p));
    }
    ASSERT_EQ(got.size(), c.packets.size());
    for (size_t k = 0; k < got.size(); k++) {
      SCOPED_TRACE(k);
      EXPECT_EQ(got[k]->size(), c.packets[k].size);
      EXPECT_EQ(got[k]->fSkip != 0, c.packets[k].skip);
      EXPECT_EQ(got[k]->bDiscontinuity != 0, c.packets[k].discontinuity);
      EXPECT_EQ(got[k]->rtStart, c.packets[k].start);
    }
  }
}

TEST(OggSplitter, GarbageBeforeTheFirstPage) {
  const Bytes ogg = Load("vorbis.ogg");
  for (size_t garbage : {1000u, 65000u, 70000u}) {
    SCOPED_TRACE(garbage);
    Bytes file(garbage, 0xA5);
    file.insert(file.end(), ogg.begin(), ogg.end());
    Graph g(WriteTemp("ogg-garbage.ogg", file));
    // The capture pattern is looked for in the first 64 KB only.
    EXPECT_EQ(g.loaded, garbage < 65536 - 4 ? S_OK : E_FAIL);
  }
}

// --- OGM and embedded media types ---------------------------------------------

// 10 frames of MPEG-4 video, MPEG audio frames as an OGM audio stream and
// one text line, each on pages of their own.
struct OgmSample {
  Bytes file;
  std::vector<Bytes> video;
  std::vector<Bytes> audio;
};

OgmSample BuildOgmSample() {
  OgmSample s;
  std::vector<bool> keys;
  s.video = oggtest::SplitMpeg4Frames(Load("mpeg4-ipp.m4v"), &keys);
  s.video.resize(10);
  for (const RefPacket& p : ReadWithLavf(TestDataPath("mp3-44100.mp3"), true).packets) s.audio.push_back(p.data);
  s.audio.resize(12);

  oggtest::OgmHeader video;
  video.type = "video";
  video.subtype = "XVID";
  video.timeUnit = 400000;
  video.samplesPerUnit = 1;
  video.bufferSize = 1 << 20;
  video.bitsPerSample = 24;
  video.width = 176;
  video.height = 144;
  oggtest::OgmHeader audio;
  audio.type = "audio";
  audio.subtype = "0055";
  audio.timeUnit = 10000000;
  audio.samplesPerUnit = 44100;
  audio.bufferSize = 8192;
  audio.channels = 2;
  audio.blockAlign = 1;
  audio.avgBytesPerSec = 16000;
  oggtest::OgmHeader text;
  text.type = "text";
  text.timeUnit = 10000;
  text.samplesPerUnit = 1;

  OggWriter w;
  w.Packets(1, {video.Packet()}, 0, 2);
  w.Packets(2, {audio.Packet()}, 0, 2);
  w.Packets(3, {text.Packet()}, 0, 2);
  for (uint32_t serial = 1; serial <= 3; serial++) w.Packets(serial, {oggtest::OgmComments()}, 0);
  size_t v = 0, a = 0;
  bool textDone = false;
  while (v < s.video.size() || a < s.audio.size()) {
    const double tv = v < s.video.size() ? v * 0.04 : 1e9, ta = a < s.audio.size() ? a * 1152 / 44100.0 : 1e9;
    if (!textDone && tv > 0.1) {
      Bytes line = {'H', 'e', 'l', 'l', 'o'};
      w.Packets(3, {oggtest::OgmPacket(line, true, 2, 300)}, 100);
      textDone = true;
    }
    if (tv <= ta) {
      w.Packets(1, {oggtest::OgmPacket(s.video[v], keys[v])}, static_cast<int64_t>(v));
      v++;
    } else {
      w.Packets(2, {oggtest::OgmPacket(s.audio[a], true, 2, 1152)}, static_cast<int64_t>(a * 1152));
      a++;
    }
  }
  s.file = w.bytes;
  return s;
}

TEST(OggSplitter, OgmStreams) {
  const OgmSample s = BuildOgmSample();
  const std::string path = WriteTemp("ogm-three.ogg", s.file);
  Graph g(path);
  ASSERT_EQ(g.loaded, S_OK);
  ASSERT_EQ(g.OutputCount(), 3);
  EXPECT_EQ(g.PinName(0), L"Video 0");
  EXPECT_EQ(g.PinName(1), L"Audio 1");
  EXPECT_EQ(g.PinName(2), L"Text 2");

  const CMediaType vt = g.PinType(0);
  EXPECT_EQ(vt.majortype, MEDIATYPE_Video);
  EXPECT_EQ(vt.subtype, FourCCGuid(MAKEFOURCC('X', 'V', 'I', 'D')));
  ASSERT_EQ(vt.formattype, FORMAT_VideoInfo);
  ASSERT_EQ(vt.cbFormat, sizeof(VIDEOINFOHEADER));
  const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(vt.pbFormat);
  EXPECT_EQ(vih->AvgTimePerFrame, 400000);
  EXPECT_EQ(vih->bmiHeader.biSize, sizeof(BITMAPINFOHEADER));
  EXPECT_EQ(vih->bmiHeader.biWidth, 176);
  EXPECT_EQ(vih->bmiHeader.biHeight, 144);
  EXPECT_EQ(vih->bmiHeader.biCompression, MAKEFOURCC('X', 'V', 'I', 'D'));
  EXPECT_EQ(vt.lSampleSize, 1u << 20);

  const CMediaType at = g.PinType(1);
  EXPECT_EQ(at.subtype, FourCCGuid(0x55));
  ASSERT_EQ(at.formattype, FORMAT_WaveFormatEx);
  const auto* wfe = reinterpret_cast<const WAVEFORMATEX*>(at.pbFormat);
  EXPECT_EQ(wfe->wFormatTag, 0x55);
  EXPECT_EQ(wfe->nSamplesPerSec, 44100u);
  EXPECT_EQ(wfe->nChannels, 2);
  EXPECT_EQ(wfe->nAvgBytesPerSec, 16000u);
  EXPECT_EQ(g.PinType(2).majortype, MEDIATYPE_Text);

  g.RunToEnd();
  // Payloads and times against what was written, and against libavformat
  // reading the same file.
  const RefFile ref = ReadWithLavf(path);
  ASSERT_TRUE(ref.opened);
  const auto video = g.Samples(0);
  ASSERT_EQ(video.size(), s.video.size());
  for (size_t k = 0; k < video.size(); k++) {
    EXPECT_EQ(video[k].hash, toy::PayloadHash(s.video[k].data(), s.video[k].size())) << k;
    EXPECT_EQ(video[k].hash, ref.Stream(0)[k].hash) << k;
    EXPECT_EQ(video[k].start, static_cast<REFERENCE_TIME>(k) * 400000) << k;
    EXPECT_EQ(video[k].stop, static_cast<REFERENCE_TIME>(k + 1) * 400000) << k;
  }
  EXPECT_TRUE(video[0].sync);
  const auto audio = g.Samples(1);
  ASSERT_EQ(audio.size(), s.audio.size());
  for (size_t k = 0; k < audio.size(); k++) {
    EXPECT_EQ(audio[k].hash, toy::PayloadHash(s.audio[k].data(), s.audio[k].size())) << k;
    EXPECT_EQ(audio[k].hash, ref.Stream(1)[k].hash) << k;
    EXPECT_EQ(audio[k].start, static_cast<REFERENCE_TIME>(k) * 1152 * 10000000 / 44100) << k;
  }
  const auto text = g.Samples(2);
  ASSERT_EQ(text.size(), 1u);
  EXPECT_EQ(text[0].length, 5);
  EXPECT_EQ(text[0].start, 1000000);
  EXPECT_EQ(text[0].stop, 4000000);
}

// The header of media samples with an embedded media type.
Bytes DirectShowHeader(const GUID& major, const GUID& sub, const GUID& format, const Bytes& block) {
  const std::string name = "Direct Show Samples embedded in Ogg";
  Bytes out(52, 0);
  out[0] = 1;
  std::copy(name.begin(), name.end(), out.begin() + 1);
  auto guid = [&](const GUID& g) {
    oggtest::PutLe(out, g.Data1, 4);
    oggtest::PutLe(out, g.Data2, 2);
    oggtest::PutLe(out, g.Data3, 2);
    out.insert(out.end(), g.Data4, g.Data4 + 8);
  };
  guid(major);
  guid(sub);
  oggtest::PutLe(out, 0, 4);   // fixed size
  oggtest::PutLe(out, 1, 4);   // temporal compression
  oggtest::PutLe(out, 0, 4);   // sample size
  guid(format);
  oggtest::PutLe(out, 0, 4);   // pointer
  oggtest::PutLe(out, block.size(), 4);
  oggtest::PutLe(out, 0, 4);   // pointer
  out.insert(out.end(), block.begin(), block.end());
  return out;
}

TEST(OggSplitter, EmbeddedMediaTypes) {
  VIDEOINFOHEADER vih{};
  vih.AvgTimePerFrame = 400000;
  vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  vih.bmiHeader.biWidth = 176;
  vih.bmiHeader.biHeight = 144;
  vih.bmiHeader.biCompression = MAKEFOURCC('X', 'V', 'I', 'D');
  const Bytes block(reinterpret_cast<const BYTE*>(&vih), reinterpret_cast<const BYTE*>(&vih) + sizeof vih);
  const GUID xvid = FourCCGuid(MAKEFOURCC('X', 'V', 'I', 'D'));
  std::vector<bool> keys;
  std::vector<Bytes> frames = oggtest::SplitMpeg4Frames(Load("mpeg4-ipp.m4v"), &keys);
  frames.resize(5);

  OggWriter w;
  w.Packets(1, {DirectShowHeader(MEDIATYPE_Video, xvid, FORMAT_VideoInfo, block)}, 0, 2);
  // Only a video type is offered; an audio one leaves its pin without.
  w.Packets(2, {DirectShowHeader(MEDIATYPE_Audio, FourCCGuid(0x55), FORMAT_WaveFormatEx, Bytes(18))}, 0, 2);
  for (size_t k = 0; k < frames.size(); k++)
    w.Packets(1, {oggtest::OgmPacket(frames[k], keys[k])}, static_cast<int64_t>(k));
  Graph g(WriteTemp("ogg-dshow.ogg", w.bytes));
  ASSERT_EQ(g.loaded, S_OK);
  ASSERT_EQ(g.OutputCount(), 2);
  EXPECT_EQ(g.PinName(0), L"DirectShow 0");
  EXPECT_EQ(g.PinName(1), L"DirectShow 1");
  const CMediaType mt = g.PinType(0);
  EXPECT_EQ(mt.majortype, MEDIATYPE_Video);
  EXPECT_EQ(mt.subtype, xvid);
  EXPECT_EQ(mt.formattype, FORMAT_VideoInfo);
  ASSERT_EQ(mt.cbFormat, sizeof vih);
  EXPECT_EQ(memcmp(mt.pbFormat, &vih, sizeof vih), 0);
  EXPECT_TRUE(mt.bTemporalCompression);
  EXPECT_EQ(g.PinType(1).majortype, GUID_NULL);
  EXPECT_EQ(g.sinks[1], nullptr);

  g.RunToEnd();
  // Times come from the connected type's frame time.
  const auto got = g.Samples(0);
  ASSERT_EQ(got.size(), frames.size());
  for (size_t k = 0; k < got.size(); k++) {
    EXPECT_EQ(got[k].hash, toy::PayloadHash(frames[k].data(), frames[k].size())) << k;
    EXPECT_EQ(got[k].start, static_cast<REFERENCE_TIME>(k) * 400000) << k;
  }
}

TEST(OggSplitter, FlaggedPacketsAreUnpackedWithinTheirBytes) {
  oggtest::OgmHeader h;
  h.type = "video";
  h.subtype = "XVID";
  h.timeUnit = 400000;
  h.samplesPerUnit = 1;
  h.width = 16;
  h.height = 16;
  const Bytes header = h.Packet();
  HRESULT hr = S_OK;
  CComPtr<IBaseFilter> hold = toy::Hold(new COggSplitterFilter(nullptr, &hr));
  auto pin = COggVideoOutputPin::Create(header.data(), header.size(), L"Video", static_cast<COggSplitterFilter*>(hold.p),
                                        static_cast<COggSplitterFilter*>(hold.p));
  ASSERT_TRUE(pin);
  const struct {
    const char* what;
    Bytes packet;
    HRESULT hr;
    size_t payload;
    REFERENCE_TIME stop;
    bool sync;
  } cases[] = {
      {"no duration: the default length", {0x08, 1, 2, 3}, S_OK, 3, 400000, true},
      {"a one-byte duration", {0x40, 3, 9}, S_OK, 1, 1200000, false},
      {"a two-byte duration", {0x80, 2, 0, 9, 9}, S_OK, 2, 800000, false},
      {"a four-byte duration", {0x0A, 1, 0, 0, 0}, S_OK, 0, 400000, true},
      {"a header packet", {0x01, 1, 2}, S_FALSE, 0, 0, false},
      {"a duration past the end", {0x0A, 1, 0}, E_FAIL, 0, 0, false},
      {"nothing at all", {}, E_FAIL, 0, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    OggPacket p;
    EXPECT_EQ(pin->UnpackPacket(p, c.packet.data(), c.packet.size()), c.hr);
    if (c.hr != S_OK) continue;
    EXPECT_EQ(p.size(), c.payload);
    EXPECT_EQ(p.rtStart, 0);
    EXPECT_EQ(p.rtStop, c.stop);
    EXPECT_EQ(p.bSyncPoint != 0, c.sync);
  }
}

// Streams whose headers cannot be used get no pin; alone in a file, they
// leave nothing to open.
TEST(OggSplitter, UnusableHeadersGiveNoPin) {
  const StreamPackets vorbis = FirstStream(Load("vorbis.ogg"));
  auto vorbisId = [&](int byte, BYTE value) {
    Bytes id = vorbis.packets[0];
    for (int i = 0; i < 4; i++) id[static_cast<size_t>(byte + i)] = i == 0 ? value : 0;
    return id;
  };
  auto ogm = [](const char* type, int64_t unit, int64_t samples, int32_t size = -1) {
    oggtest::OgmHeader h;
    h.type = type;
    h.subtype = type == std::string("audio") ? "0001" : "XVID";
    h.timeUnit = unit;
    h.samplesPerUnit = samples;
    h.size = size;
    return h.Packet();
  };
  const struct {
    const char* what;
    Bytes header;
  } cases[] = {
      {"Vorbis without a sample rate", vorbisId(12, 0)},
      {"Vorbis without channels", [&] {
         Bytes id = vorbis.packets[0];
         id[11] = 0;
         return id;
       }()},
      {"a Vorbis header cut short", Bytes(vorbis.packets[0].begin(), vorbis.packets[0].begin() + 20)},
      {"OGM video with a time unit of 0", ogm("video", 0, 1)},
      {"OGM video with 0 samples per unit", ogm("video", 400000, 0)},
      {"OGM audio with a time unit of 0", ogm("audio", 0, 44100)},
      {"OGM audio whose rate comes to 0", ogm("audio", 10000000000LL, 1)},
      {"OGM text with 0 samples per unit", ogm("text", 10000, 0)},
      {"OGM extra bytes past the packet", ogm("video", 400000, 1, 56 + 100)},
      {"an OGM record cut short", Bytes(40, 0)},
      {"an embedded format past the packet", [] {
         Bytes h = DirectShowHeader(MEDIATYPE_Video, GUID_NULL, FORMAT_VideoInfo, Bytes(88));
         h.pop_back();
         return h;
       }()},
      {"an unknown stream", Bytes{1, 'f', 'o', 'o'}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    OggWriter w;
    w.Packets(5, {c.header}, 0, 2);
    w.Packets(5, {Bytes{0x08, 1, 2, 3}}, 10);
    Graph g(WriteTemp("ogg-refused.ogg", w.bytes));
    EXPECT_EQ(g.loaded, E_FAIL);
  }
}

// --- Seeking -------------------------------------------------------------------

// The headers of vorbis.ogg and `pages` pages of its data packets (taken
// in turn, eight to a page) whose granule positions run evenly from
// `firstGranule` by `step`.
Bytes LongVorbis(size_t pages, int64_t firstGranule, int64_t step, bool withHeaders = true, uint32_t firstSeq = 0,
                 uint32_t serial = 0) {
  StreamPackets s = FirstStream(Load("vorbis.ogg"));
  if (serial) s.serial = serial;
  OggWriter w;
  if (withHeaders) {
    w.Packets(s.serial, {s.packets[0]}, 0, 2);
    w.Packets(s.serial, {s.packets[1], s.packets[2]}, 0);
  }
  size_t next = 3;
  for (size_t i = 0; i < pages; i++) {
    std::vector<Bytes> packets;
    for (int k = 0; k < 8; k++) {
      packets.push_back(s.packets[next]);
      next = next + 1 < s.packets.size() ? next + 1 : 3;
    }
    Page p;
    p.serial = s.serial;
    p.granule = firstGranule + static_cast<int64_t>(i) * step;
    p.flags = i + 1 == pages ? 4 : 0;
    for (const Bytes& b : packets) {
      oggtest::Lace(p.lacing, b.size());
      p.data.insert(p.data.end(), b.begin(), b.end());
    }
    w.Add(p, withHeaders ? -1 : static_cast<int64_t>(firstSeq + i));
  }
  return w.bytes;
}

TEST(OggSplitter, SeeksToTheTimeAskedFor) {
  {
    // 60 s of pages of 0.2 s each.
    const Bytes file = LongVorbis(300, 8820, 8820);
    Graph g(WriteTemp("ogg-long.ogg", file));
    ASSERT_EQ(g.loaded, S_OK);
    EXPECT_EQ(g.Duration(), 600000000);
    g.RunToEnd();
    const auto all = g.Samples(0);
    for (REFERENCE_TIME t : {200000000LL, 455000000LL}) {
      SCOPED_TRACE(t);
      g.RunFrom(t);
      const auto got = g.Samples(0);
      ASSERT_FALSE(got.empty());
      EXPECT_TRUE(got[0].discontinuity);
      // Delivery starts on a page shortly before the time and goes on to
      // the end, the packets as they are in the file.
      EXPECT_GE(got[0].start, -10000000);
      EXPECT_LE(got[0].start, 0);
      ASSERT_LT(got.size(), all.size());
      const size_t first = all.size() - got.size();
      for (size_t k = 0; k < got.size(); k++) EXPECT_EQ(got[k].hash, all[first + k].hash) << k;
    }
  }
  {
    // An OGM video stream starts from a key frame at or before the time,
    // looked for 640 KB at a time: 20 s of video, 900 KB.
    const Bytes ogm = oggtest::BuildOgm(Load("mpeg4-ipp.m4v"), Load("vorbis.ogg"), 176, 144, 10);
    Graph g(WriteTemp("ogm-seek.ogg", ogm));
    ASSERT_EQ(g.loaded, S_OK);
    ASSERT_EQ(g.OutputCount(), 2);
    EXPECT_NEAR(static_cast<double>(g.Duration()), 200000000, 500000);
    g.RunFrom(154000000);
    const auto video = g.Samples(0);
    ASSERT_FALSE(video.empty());
    EXPECT_LT(video.size(), 500u);
    bool keyBefore = false;
    for (const auto& r : video) keyBefore = keyBefore || (r.sync && r.start <= 0);
    EXPECT_TRUE(keyBefore) << "no key frame at or before the time";
    for (const auto& r : video) EXPECT_GE(r.start, -154000000);
  }
}

// A chained file whose second link has a serial number of its own lasts as
// long as both links: its granules count from its own start.
TEST(OggSplitter, AChainedFileLastsAsLongAsItsLinks) {
  const Bytes first = LongVorbis(100, 8820, 8820);  // 20 s
  Bytes file = first;
  const uint32_t serial = FirstStream(first).serial + 77;
  const Bytes second = LongVorbis(50, 8820, 8820, true, 0, serial);  // 10 s
  file.insert(file.end(), second.begin(), second.end());
  Graph g(WriteTemp("ogg-chained.ogg", file));
  ASSERT_EQ(g.loaded, S_OK);
  EXPECT_EQ(g.Duration(), 300000000);
  Graph one(WriteTemp("ogg-one-link.ogg", first));
  ASSERT_EQ(one.loaded, S_OK);
  EXPECT_EQ(one.Duration(), 200000000);
}

// A file position computed as length times time passes 64 bits for files of
// gigabytes and times of minutes: a sparse file of 2.5 GB whose last 2 MB
// hold the last 3 s of an hour.
TEST(OggSplitter, SeekingInAGigabyteFile) {
  const off_t length = 2500000000LL;
  const Bytes head = Load("vorbis.ogg");
  const int64_t end = 3601LL * 44100;
  Bytes tail = LongVorbis(3000, 0, 1, false, 100);
  // Spread the pages' granules so time keeps pace with position.
  std::vector<Page> pages = oggtest::ParsePages(tail);
  const int64_t firstGranule = end - static_cast<int64_t>(static_cast<double>(end) * tail.size() / length);
  tail.clear();
  for (size_t i = 0; i < pages.size(); i++) {
    pages[i].granule = firstGranule + (end - firstGranule) * static_cast<int64_t>(i + 1) / static_cast<int64_t>(pages.size());
    const Bytes b = oggtest::SerializePage(pages[i]);
    tail.insert(tail.end(), b.begin(), b.end());
  }
  const std::string path = TempPath("ogg-sparse.ogg");
  const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
  ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), length - static_cast<off_t>(tail.size())),
            static_cast<ssize_t>(tail.size()));
  close(fd);
  {
    Graph g(path);
    ASSERT_EQ(g.loaded, S_OK);
    EXPECT_EQ(g.Duration(), 3601LL * 10000000);
    g.RunFrom(36000000000LL);
    // Delivery starts shortly before the hour, not at the file's start.
    const auto got = g.Samples(0);
    ASSERT_FALSE(got.empty());
    EXPECT_GE(got[0].start, -2000000);
    EXPECT_LE(got[0].start, 0);
    EXPECT_LT(got.size(), 8u * pages.size());
  }
  remove(path.c_str());
}

// --- Damaged files -------------------------------------------------------------

TEST(OggSplitter, DamagedFilesEndCleanly) {
  const Bytes vorbis = Load("vorbis.ogg");
  const Bytes theora = Load("theora-vorbis.ogg");
  const Bytes ogm = BuildOgmSample().file;
  std::mt19937 rng(5);
  std::vector<Bytes> inputs;
  inputs.emplace_back(vorbis.begin(), vorbis.begin() + static_cast<ptrdiff_t>(vorbis.size() / 2));
  inputs.emplace_back(theora.begin(), theora.begin() + 5000);
  inputs.emplace_back(ogm.begin(), ogm.begin() + static_cast<ptrdiff_t>(ogm.size() / 3));
  for (const Bytes* src : {&vorbis, &ogm}) {
    Bytes damaged = *src;
    for (size_t i = damaged.size() / 4; i < damaged.size() / 2; i++) damaged[i] = static_cast<BYTE>(rng());
    inputs.push_back(damaged);
    // Every header byte of the first pages flipped in turn is too much to
    // run; a scattering of single-byte changes stands for it.
    Bytes flipped = *src;
    for (int i = 0; i < 64; i++) flipped[rng() % std::min<size_t>(flipped.size(), 4096)] ^= static_cast<BYTE>(1 + rng() % 255);
    inputs.push_back(flipped);
  }
  Bytes random(100000);
  for (auto& b : random) b = static_cast<BYTE>(rng());
  memcpy(random.data(), "OggS", 4);
  inputs.push_back(random);
  inputs.push_back({});
  OpenAndRunEach<COggSourceFilter>(inputs, "ogg-damaged.ogg");
}

}  // namespace
