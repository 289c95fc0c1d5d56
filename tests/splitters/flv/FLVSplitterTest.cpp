// The FLV splitter: pins, types, payloads and times against libavformat;
// pins of codecs nothing reads; VP6 headers, extended time stamps and tags too small
// for their headers from a tag writer of the tests; seeking; damaged files.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "foundation/FilterHelpers.h"
#include "splitters/flv/FLVSplitter.h"
#include "tests/splitters/SplitterGraph.h"

namespace {

using namespace splittertest;
using Bytes = std::vector<BYTE>;
using Graph = SourceGraph<CFLVSourceFilter>;

Bytes Load(const char* name) { return MemAsyncReader::LoadFile(TestDataPath(name)); }

struct Tag {
  BYTE type;
  UINT32 ms;
  Bytes data;
};

// An FLV file: the header (with its two stream flags) and the tags.
Bytes Flv(const std::vector<Tag>& tags, bool audioFlag = true, bool videoFlag = true, BYTE version = 1) {
  Bytes out = {'F', 'L', 'V', version, BYTE((audioFlag ? 4 : 0) | (videoFlag ? 1 : 0)), 0, 0, 0, 9};
  UINT32 previous = 0;
  for (const Tag& t : tags) {
    const UINT32 n = static_cast<UINT32>(t.data.size());
    out.insert(out.end(), {BYTE(previous >> 24), BYTE(previous >> 16), BYTE(previous >> 8), BYTE(previous)});
    out.insert(out.end(), {t.type, BYTE(n >> 16), BYTE(n >> 8), BYTE(n), BYTE(t.ms >> 16), BYTE(t.ms >> 8), BYTE(t.ms),
                           BYTE(t.ms >> 24), 0, 0, 0});
    out.insert(out.end(), t.data.begin(), t.data.end());
    previous = 11 + n;
  }
  out.insert(out.end(), {BYTE(previous >> 24), BYTE(previous >> 16), BYTE(previous >> 8), BYTE(previous)});
  return out;
}

// The tags of an FLV file.
std::vector<Tag> ReadTags(const Bytes& flv) {
  std::vector<Tag> tags;
  size_t pos = static_cast<size_t>(flv[5]) << 24 | flv[6] << 16 | flv[7] << 8 | flv[8];
  while (pos + 15 <= flv.size()) {
    const BYTE* h = flv.data() + pos + 4;
    const size_t n = static_cast<size_t>(h[1]) << 16 | h[2] << 8 | h[3];
    if (pos + 15 + n > flv.size()) break;
    tags.push_back({h[0], static_cast<UINT32>(h[7]) << 24 | h[4] << 16 | h[5] << 8 | h[6],
                    Bytes(flv.begin() + static_cast<ptrdiff_t>(pos + 15), flv.begin() + static_cast<ptrdiff_t>(pos + 15 + n))});
    pos += 15 + n;
  }
  return tags;
}

// A VP6 key frame's first bytes: frame type and quantiser, version and
// profile, [partition offset], stored and displayed macroblock rows and
// columns.
Bytes Vp6(BYTE rows, BYTE cols, BYTE shownRows, BYTE shownCols, bool separated = false) {
  Bytes b = {BYTE(separated ? 0x01 : 0x00), 0x46};
  if (separated) b.insert(b.end(), {0x00, 0x10});
  b.insert(b.end(), {rows, cols, shownRows, shownCols});
  b.resize(b.size() + 20, 0x33);
  return b;
}

// A Sorenson H.263 key frame tag: the video header byte, the picture start
// code, version and temporal reference, the size code and, for codes 0 and
// 1, the size in 8 or 16 bits.
Bytes H263(BYTE frameType, int sizeCode, int width = 0, int height = 0) {
  std::vector<bool> bits;
  auto put = [&](UINT64 v, int n) {
    for (int i = n - 1; i >= 0; i--) bits.push_back((v >> i) & 1);
  };
  put(1, 17);
  put(0, 13);
  put(static_cast<UINT64>(sizeCode), 3);
  if (sizeCode == 0 || sizeCode == 1) {
    put(static_cast<UINT64>(width), sizeCode == 0 ? 8 : 16);
    put(static_cast<UINT64>(height), sizeCode == 0 ? 8 : 16);
  }
  Bytes out = {BYTE(frameType << 4 | 2)};
  for (size_t i = 0; i < bits.size(); i += 8) {
    BYTE b = 0;
    for (size_t k = 0; k < 8; k++) b = static_cast<BYTE>(b << 1 | (i + k < bits.size() && bits[i + k]));
    out.push_back(b);
  }
  out.resize(out.size() + 16, 0x5A);
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

int PinNamed(Graph& g, const wchar_t* name) {
  for (int i = 0; i < g.OutputCount(); i++)
    if (g.PinName(i) == name) return i;
  return -1;
}

// --- Against libavformat ---------------------------------------------------------

TEST(FLVSplitter, TagsMatchLibavformat) {
  const struct {
    const char* file;
    int width, height;
    GUID audio;
    int rate, channels, bits;
  } cases[] = {
      {"flv-flv1-mp3.flv", 176, 144, MEDIASUBTYPE_MP3, 44100, 2, 0},
      {"flv-flv1-pcm.flv", 128, 96, MEDIASUBTYPE_PCM, 22050, 1, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const RefFile ref = ReadWithLavf(TestDataPath(c.file));
    ASSERT_TRUE(ref.opened);
    Graph g(TestDataPath(c.file));
    ASSERT_EQ(g.loaded, S_OK);
    ASSERT_EQ(g.OutputCount(), 2);
    const int video = PinNamed(g, L"Video"), audio = PinNamed(g, L"Audio");
    ASSERT_GE(video, 0);
    ASSERT_GE(audio, 0);

    const CMediaType vt = g.PinType(video);
    EXPECT_EQ(vt.subtype, FourCCGuid(MAKEFOURCC('F', 'L', 'V', '1')));
    ASSERT_EQ(vt.formattype, FORMAT_VideoInfo);
    const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(vt.pbFormat);
    EXPECT_EQ(vih->bmiHeader.biWidth, c.width);
    EXPECT_EQ(vih->bmiHeader.biHeight, c.height);
    EXPECT_EQ(vih->bmiHeader.biSize, sizeof(BITMAPINFOHEADER));
    EXPECT_EQ(vih->bmiHeader.biCompression, MAKEFOURCC('F', 'L', 'V', '1'));
    const CMediaType at = g.PinType(audio);
    EXPECT_EQ(at.subtype, c.audio);
    const auto* wfe = reinterpret_cast<const WAVEFORMATEX*>(at.pbFormat);
    EXPECT_EQ(wfe->nSamplesPerSec, static_cast<DWORD>(c.rate));
    EXPECT_EQ(wfe->nChannels, c.channels);
    if (c.bits) {
      EXPECT_EQ(wfe->wBitsPerSample, c.bits);
      EXPECT_EQ(wfe->nBlockAlign, c.channels * c.bits / 8);
      EXPECT_EQ(wfe->nAvgBytesPerSec, static_cast<DWORD>(c.rate * c.channels * c.bits / 8));
    }
    // The duration is the last tag's time.
    REFERENCE_TIME last = 0;
    for (const RefPacket& p : ref.packets) last = std::max<REFERENCE_TIME>(last, p.pts);
    EXPECT_EQ(g.Duration(), last);

    g.RunToEnd();
    for (const auto& [pin, codec] : {std::pair<int, const char*>{video, "flv1"}, {audio, c.bits ? "pcm_u8" : "mp3"}}) {
      SCOPED_TRACE(codec);
      int stream = -1;
      for (size_t i = 0; i < ref.codecs.size(); i++)
        if (ref.codecs[i] == codec) stream = static_cast<int>(i);
      ASSERT_GE(stream, 0);
      const auto theirs = ref.Stream(stream);
      const auto ours = g.Samples(pin);
      ASSERT_EQ(ours.size(), theirs.size());
      for (size_t k = 0; k < ours.size(); k++) {
        EXPECT_EQ(ours[k].hash, theirs[k].hash) << k;
        EXPECT_EQ(ours[k].start, theirs[k].pts) << k;
        EXPECT_EQ(ours[k].sync, theirs[k].key) << k;
      }
    }
  }
}

// --- Pins and types from hand-built tags ------------------------------------------

TEST(FLVSplitter, PinsOfHandBuiltTags) {
  const Bytes key263 = H263(1, 3);
  const Bytes mp3 = Load("mp3-44100.mp3");
  const Bytes mp3Tag = Cat({{0x2F}, Bytes(mp3.begin(), mp3.begin() + 417)});
  const struct {
    const char* what;
    Bytes file;
    HRESULT hr;
    std::wstring video;  // "WxH FOURCC" or empty
    std::wstring audio;  // "rate/channels/bits tag" or empty
    DWORD aspectX, aspectY;
  } cases[] = {
      {"H.263 with a size code", Flv({{9, 0, key263}}), S_OK, L"176x144 FLV1", L"", 0, 0},
      {"H.263 with its size in 8 bits", Flv({{9, 0, H263(1, 0, 200, 100)}}), S_OK, L"200x100 FLV1", L"", 0, 0},
      {"H.263 with its size in 16 bits", Flv({{9, 0, H263(1, 1, 400, 320)}}), S_OK, L"400x320 FLV1", L"", 0, 0},
      {"H.263 with the reserved size code", Flv({{9, 0, H263(1, 7)}}), E_FAIL, L"", L"", 0, 0},
      {"VP6", Flv({{9, 0, Cat({{0x14, 0x00}, Vp6(9, 11, 9, 11)})}}), S_OK, L"176x144 FLV4", L"", 0, 0},
      {"VP6 with separated coefficients", Flv({{9, 0, Cat({{0x14, 0x00}, Vp6(9, 11, 9, 11, true)})}}), S_OK,
       L"176x144 FLV4", L"", 0, 0},
      {"VP6 shown smaller than stored", Flv({{9, 0, Cat({{0x14, 0x00}, Vp6(9, 11, 8, 10)})}}), S_OK, L"176x144 FLV4",
       L"", 160, 128},
      {"VP6 with alpha", Flv({{9, 0, Cat({{0x15, 0x00, 0x00, 0x00, 0x20}, Vp6(6, 8, 6, 8)})}}), S_OK, L"128x96 FLV4", L"",
       0, 0},
      // The type comes from the first key frame behind it.
      {"a first video tag that is no key frame", Flv({{9, 0, H263(2, 3)}, {9, 40, key263}}),
       S_OK, L"176x144 FLV1", L"", 0, 0},
      {"header flags that deny video", Flv({{9, 0, key263}}, true, false), S_OK, L"176x144 FLV1", L"", 0, 0},
      {"8-bit PCM", Flv({{8, 0, {0x08, 0x80, 0x80}}}), S_OK, L"", L"22050/1/8 1", 0, 0},
      {"16-bit stereo PCM at 44.1 kHz", Flv({{8, 0, {0x0F, 0, 0, 0, 0}}}), S_OK, L"", L"44100/2/16 1", 0, 0},
      {"MP3 described by its frame header", Flv({{8, 0, mp3Tag}}), S_OK, L"", L"44100/2/0 85", 0, 0},
      {"MP3 without a frame header", Flv({{8, 0, {0x2E, 1, 2, 3, 4}}}), S_OK, L"", L"44100/1/16 85", 0, 0},
      {"little-endian PCM (sound format 3)", Flv({{8, 0, {0x3F, 0, 0}}}), S_OK, L"", L"44100/2/16 1", 0, 0},
      // Codecs nothing reads still get a pin, so that a job can name them.
      {"H.264", Flv({{9, 0, {0x17, 0, 0, 0, 0}}}), S_OK, L"FLV video codec 7", L"", 0, 0},
      {"AAC", Flv({{8, 0, {0xAF, 0, 0x12, 0x10}}}), S_OK, L"", L"FLV sound format 10", 0, 0},
      {"a later audio tag does not change the first one's type",
       Flv({{8, 0, {0xAF, 0, 0}}, {8, 10, {0x08, 0x80}}, {9, 0, key263}}), S_OK, L"176x144 FLV1",
       L"FLV sound format 10", 0, 0},
      {"a VP6 tag too small for its header", Flv({{9, 0, {0x15, 0x00}}}), E_FAIL, L"", L"", 0, 0},
      {"an empty tag", Flv({{9, 0, {}}, {8, 0, {}}}), E_FAIL, L"", L"", 0, 0},
      {"version 2", Flv({{9, 0, key263}}, true, true, 2), E_FAIL, L"", L"", 0, 0},
      {"no FLV at all", Bytes(64, 'x'), E_FAIL, L"", L"", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Graph g(WriteTemp("flv-hand.flv", c.file));
    ASSERT_EQ(g.loaded, c.hr);
    if (FAILED(c.hr)) continue;
    const int video = PinNamed(g, L"Video"), audio = PinNamed(g, L"Audio");
    ASSERT_EQ(video >= 0, !c.video.empty());
    ASSERT_EQ(audio >= 0, !c.audio.empty());
    if (video >= 0 && g.PinType(video).subtype == MEDIASUBTYPE_UnreadCodec) {
      EXPECT_EQ(Utf8ToWide(UnreadCodecName(g.PinType(video))), c.video);
    } else if (video >= 0) {
      const CMediaType mt = g.PinType(video);
      const BITMAPINFOHEADER* bih = nullptr;
      if (c.aspectX) {
        ASSERT_EQ(mt.formattype, FORMAT_VideoInfo2);
        const auto* vih2 = reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat);
        EXPECT_EQ(vih2->dwPictAspectRatioX, c.aspectX);
        EXPECT_EQ(vih2->dwPictAspectRatioY, c.aspectY);
        bih = &vih2->bmiHeader;
      } else {
        ASSERT_EQ(mt.formattype, FORMAT_VideoInfo);
        bih = &reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->bmiHeader;
      }
      const DWORD fcc = bih->biCompression;
      const wchar_t name[5] = {wchar_t(fcc & 0xFF), wchar_t(fcc >> 8 & 0xFF), wchar_t(fcc >> 16 & 0xFF), wchar_t(fcc >> 24), 0};
      EXPECT_EQ(std::to_wstring(bih->biWidth) + L"x" + std::to_wstring(bih->biHeight) + L" " + name, c.video);
      EXPECT_EQ(mt.subtype, FourCCGuid(fcc));
    }
    if (audio >= 0 && g.PinType(audio).subtype == MEDIASUBTYPE_UnreadCodec) {
      EXPECT_EQ(Utf8ToWide(UnreadCodecName(g.PinType(audio))), c.audio);
    } else if (audio >= 0) {
      const CMediaType mt = g.PinType(audio);
      const auto* wfe = reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
      EXPECT_EQ(std::to_wstring(wfe->nSamplesPerSec) + L"/" + std::to_wstring(wfe->nChannels) + L"/" +
                    std::to_wstring(wfe->wBitsPerSample) + L" " + std::to_wstring(wfe->wFormatTag),
                c.audio);
    }
  }
}

TEST(FLVSplitter, PayloadsAndTimesOfHandBuiltTags) {
  const Bytes frame = Vp6(6, 8, 6, 8);
  const struct {
    const char* what;
    std::vector<Tag> tags;
    Bytes payload;  // of the first video packet
    std::vector<REFERENCE_TIME> times;
  } cases[] = {
      {"VP6 loses its size adjustment byte", {{9, 0, Cat({{0x14, 0x42}, frame})}}, frame, {0}},
      {"VP6 with alpha also loses the alpha offset", {{9, 0, Cat({{0x15, 0x42, 0, 0, 9}, frame})}}, frame, {0}},
      // The extension byte gives bits 24 to 31 of the time.
      {"time stamps past 4.66 hours",
       {{9, 0x00FFFFF0u, Cat({{0x14, 0}, frame})}, {9, 0x01000018u, Cat({{0x24, 0}, frame})},
        {9, 0x01000040u, Cat({{0x24, 0}, frame})}},
       frame,
       {0x00FFFFF0LL * 10000, 0x01000018LL * 10000, 0x01000040LL * 10000}},
      {"a tag smaller than its headers is passed over",
       {{9, 0, Cat({{0x15, 0, 0, 0, 0}, frame})}, {9, 40, {0x25, 0x00}}, {9, 80, Cat({{0x25, 0, 0, 0, 0}, frame})}},
       frame,
       {0, 800000}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Graph g(WriteTemp("flv-payload.flv", Flv(c.tags)));
    ASSERT_EQ(g.loaded, S_OK);
    g.RunToEnd();
    const auto got = g.Samples(0);
    ASSERT_EQ(got.size(), c.times.size());
    EXPECT_EQ(got[0].hash, toy::PayloadHash(c.payload.data(), c.payload.size()));
    for (size_t k = 0; k < got.size(); k++) {
      EXPECT_EQ(got[k].start, c.times[k]) << k;
      EXPECT_EQ(got[k].stop, c.times[k] + 1) << k;
    }
    EXPECT_TRUE(got[0].sync);
  }
}

// --- Seeking ----------------------------------------------------------------------

TEST(FLVSplitter, SeeksBackToAKeyFrameAndAnAudioTag) {
  const Bytes file = Load("flv-flv1-mp3.flv");
  {
    Graph g(TestDataPath("flv-flv1-mp3.flv"));
    ASSERT_EQ(g.loaded, S_OK);
    const int video = PinNamed(g, L"Video"), audio = PinNamed(g, L"Audio");
    g.RunFrom(10000000);
    const auto v = g.Samples(video), a = g.Samples(audio);
    ASSERT_FALSE(v.empty());
    ASSERT_FALSE(a.empty());
    // Delivery starts at a key frame at or before the time, with sound
    // from no later than that.
    bool keyBefore = false;
    for (const auto& r : v) keyBefore = keyBefore || (r.sync && r.start <= 0);
    EXPECT_TRUE(keyBefore);
    EXPECT_TRUE(v[0].sync);
    EXPECT_LE(v[0].start, 0);
    EXPECT_GT(v[0].start, -10000000);
    EXPECT_LE(a[0].start, 0);
    EXPECT_GT(a[0].start, -10000000);
  }

  // Audio alone: a seek finds the audio tag before the time instead of
  // starting over.
  std::vector<Tag> tags;
  for (const Tag& t : ReadTags(file))
    if (t.type == 8) tags.push_back(t);
  Graph g(WriteTemp("flv-audio.flv", Flv(tags, true, false)));
  ASSERT_EQ(g.loaded, S_OK);
  g.RunFrom(10000000);
  const auto a = g.Samples(0);
  ASSERT_FALSE(a.empty());
  EXPECT_LE(a[0].start, 0);
  EXPECT_GT(a[0].start, -500000);

  // A time before the first audio tag reads from the first tag on.
  std::vector<Tag> late = tags;
  for (Tag& t : late) t.ms += 500;
  Graph h(WriteTemp("flv-late.flv", Flv(late, true, false)));
  ASSERT_EQ(h.loaded, S_OK);
  h.RunFrom(2000000);
  const auto b = h.Samples(0);
  ASSERT_EQ(b.size(), tags.size());
  EXPECT_EQ(b[0].start, (static_cast<REFERENCE_TIME>(tags[0].ms) + 500) * 10000 - 2000000);
}

TEST(FLVSplitter, DamagedFilesEndCleanly) {
  const Bytes flv = Load("flv-flv1-pcm.flv");
  std::mt19937 rng(9);
  std::vector<Bytes> inputs;
  inputs.emplace_back(flv.begin(), flv.begin() + static_cast<ptrdiff_t>(flv.size() / 2 + 3));
  Bytes damaged = flv;
  for (size_t i = damaged.size() / 4; i < damaged.size() / 2; i++) damaged[i] = static_cast<BYTE>(rng());
  inputs.push_back(damaged);
  // Data sizes of every tag set to their largest.
  Bytes huge = flv;
  for (size_t pos = 9; pos + 15 <= huge.size();) {
    const size_t n = static_cast<size_t>(huge[pos + 5]) << 16 | huge[pos + 6] << 8 | huge[pos + 7];
    huge[pos + 5] = huge[pos + 6] = huge[pos + 7] = 0xFF;
    pos += 15 + n;
  }
  inputs.push_back(huge);
  Bytes random(50000);
  for (auto& b : random) b = static_cast<BYTE>(rng());
  memcpy(random.data(), flv.data(), 13);
  inputs.push_back(random);
  // A data offset past the end.
  Bytes offset = flv;
  offset[5] = 0x7F;
  inputs.push_back(offset);
  OpenAndRunEach<CFLVSourceFilter>(inputs, "flv-damaged.flv");
}

}  // namespace
