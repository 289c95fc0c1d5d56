// The DSM splitter over files of the tests' DSM writer: pins, names,
// properties, chapters, payloads and times against libavformat's reading
// of the material; the header's edge cases; seeking by the seek table and
// by search with the step back to key frames; damaged files.
#include <gtest/gtest.h>

#include <fontconfig/fontconfig.h>

#include <fstream>
#include <iterator>
#include <random>

#include "splitters/dsm/DSMSplitter.h"
#include "tests/splitters/SplitterGraph.h"
#include "tests/splitters/dsm/DsmWriter.h"

namespace {

using namespace splittertest;
using namespace dsmtest;
using Graph = SourceGraph<CDSMSourceFilter>;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) Put(out, p);
  return out;
}

Bytes Pcm(int track) {
  WAVEFORMATEX wfe{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
  const auto* p = reinterpret_cast<const uint8_t*>(&wfe);
  return MediaType(track, MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, Bytes(p, p + sizeof wfe));
}

// A file header with one PCM sound track.
Bytes Head() { return Cat({FileInfo({}), Pcm(1)}); }

UINT KeyFrames(Graph& g, std::vector<REFERENCE_TIME>* times = nullptr) {
  CComQIPtr<IKeyFrameInfo> info(g.hold);
  UINT count = 0;
  EXPECT_EQ(info->KeyFrameCount(count), S_OK);
  if (times) {
    times->resize(count);
    EXPECT_EQ(info->GetKeyFrames(&TIME_FORMAT_MEDIA_TIME, times->data(), count), S_OK);
  }
  return count;
}

TEST(DSMSplitter, StreamsMatchLibavformat) {
  const std::vector<std::string> paths = {TestDataPath("mpeg4-ipp.m4v"), TestDataPath("mp3-44100.mp3")};
  // Chapters out of order, and properties of the sound track before those
  // of the picture track.
  const Bytes header = Cat({StreamInfo(2, {{"NAME", "Commentary"}, {"LANG", "ger"}}), StreamInfo(1, {{"LANG", "xyz"}}),
                            Chapters({{10000000, "Second"}, {0, "First"}})});
  const std::string path = WriteTemp("material.dsm", MuxFiles(paths, header));
  int track = 1;
  std::vector<Bytes> types;
  std::vector<Frame> frames;
  for (const std::string& p : paths) ASSERT_TRUE(ReadFile(p, track, types, frames));

  Graph g(path);
  ASSERT_EQ(g.loaded, S_OK);
  ASSERT_EQ(g.OutputCount(), 2);
  EXPECT_EQ(g.PinName(0), L"xyz");
  EXPECT_EQ(g.PinName(1), L"Commentary (German)");
  EXPECT_EQ(g.PinProperty(1, L"LANG"), L"ger");
  EXPECT_EQ(g.Property(L"TITL"), L"DSM test");
  EXPECT_EQ(g.PinType(0).subtype, FourCCGuid(MAKEFOURCC('X', 'V', 'I', 'D')));
  EXPECT_EQ(g.PinType(1).subtype, MEDIASUBTYPE_MP3);

  CComQIPtr<IDSMChapterBag> chapters(g.hold);
  ASSERT_EQ(chapters->GetChapterCount(), 2u);
  REFERENCE_TIME at = -1;
  BSTR name = nullptr;
  ASSERT_EQ(chapters->GetChapter(1, &at, &name), S_OK);
  EXPECT_EQ(at, 10000000);
  EXPECT_STREQ(name, L"Second");
  SysFreeString(name);

  std::vector<REFERENCE_TIME> keys, wantKeys;
  int64_t end = 0;
  for (const Frame& f : frames) {
    if (f.track == 1 && f.key) wantKeys.push_back(f.start);
    end = std::max(end, f.start + f.duration);
  }
  EXPECT_EQ(KeyFrames(g, &keys), wantKeys.size());
  EXPECT_EQ(keys, wantKeys);
  EXPECT_EQ(g.Duration(), end);

  g.RunToEnd();
  for (int pin = 0; pin < 2; pin++) {
    std::vector<Frame> want;
    for (const Frame& f : frames)
      if (f.track == pin + 1) want.push_back(f);
    const auto got = g.Samples(pin);
    ASSERT_EQ(got.size(), want.size()) << "pin " << pin;
    for (size_t i = 0; i < got.size(); i++) {
      EXPECT_EQ(got[i].start, want[i].start) << i;
      EXPECT_EQ(got[i].sync, want[i].key) << i;
      EXPECT_EQ(got[i].hash, toy::PayloadHash(want[i].data.data(), want[i].data.size())) << i;
    }
  }
}

TEST(DSMSplitter, HeaderEdgeCases) {
  const Bytes s = {1, 2, 3, 4};
  const Bytes body = Cat({Sample(1, true, 0, 1000000, s), Sample(1, true, 1000000, 1000000, s)});
  const Bytes font = MemAsyncReader::LoadFile("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
  const struct {
    const char* name;
    Bytes file;
    HRESULT open;
    REFERENCE_TIME duration;
    UINT keyFrames;
    std::vector<REFERENCE_TIME> starts;  // LLONG_MIN: no time
  } cases[] = {
      {"sample first", Cat({Sample(1, true, 0, 1, s), Head()}), E_FAIL, 0, 0, {}},
      {"file version 2", Cat({FileInfo({}, 2), Head(), body}), E_FAIL, 0, 0, {}},
      {"no media type", Cat({FileInfo({}), body}), E_FAIL, 0, 0, {}},
      {"header without samples", Head(), E_FAIL, 0, 0, {}},
      {"negative first time",
       Cat({Head(), Sample(1, true, -5000000, 5000000, s), Sample(1, true, 0, 5000000, s),
            Sample(1, true, 5000000, 5000000, s)}),
       S_OK, 10000000, 0, {-5000000, 0, 5000000}},
      {"samples without time",
       Cat({Head(), Sample(1, true, 0, 1000000, s), Sample(1, true, kNoTime, 0, s), Sample(1, true, kNoTime, 0, s)}),
       S_OK, 1000000, 0, {0, LLONG_MIN, LLONG_MIN}},
      {"overrunning sync points", Cat({Head(), body, SyncPoints({{0, 0}, {1000000, 60}}, 1)}), S_OK, 2000000, 0,
       {0, 1000000}},
      {"one sync point", Cat({Head(), body, SyncPoints({{1000000, 80}})}), S_OK, 2000000, 1, {0, 1000000}},
      {"fonts and a compressed resource",
       Cat({Head(), Resource("font.ttf", "application/x-truetype-font", font), Resource("packed", "x", s, 1), body}),
       S_OK, 2000000, 0, {0, 1000000}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto appFonts = [] {
      FcFontSet* set = FcConfigGetFonts(FcConfigGetCurrent(), FcSetApplication);
      return set ? set->nfont : 0;
    };
    const int fontsBefore = appFonts();
    Graph g(WriteTemp("edge.dsm", c.file));
    EXPECT_EQ(g.loaded, c.open);
    if (FAILED(g.loaded)) continue;
    EXPECT_EQ(g.Duration(), c.duration);
    EXPECT_EQ(KeyFrames(g), c.keyFrames);
    CComQIPtr<IDSMResourceBag> resources(g.hold);
    const bool withFont = std::string(c.name).find("font") != std::string::npos;
    EXPECT_EQ(resources->GetResourceCount(), withFont ? 1u : 0u);
    if (withFont && !font.empty()) {
      EXPECT_EQ(appFonts(), fontsBefore + 1);
    }
    g.RunToEnd();
    const auto got = g.Samples(0);
    ASSERT_EQ(got.size(), c.starts.size());
    for (size_t i = 0; i < got.size(); i++) {
      EXPECT_EQ(got[i].timed, c.starts[i] != LLONG_MIN) << i;
      if (got[i].timed) {
        EXPECT_EQ(got[i].start, c.starts[i]) << i;
      }
    }
  }
}

// Pictures with a key frame every 4 s, larger than the scan window apart,
// and sound in between; with and without a seek table. A seek starts at
// the last key frame before the time, and the sound no later than that.
TEST(DSMSplitter, SeekToKeyFrames) {
  const GUID video = FourCCGuid(MAKEFOURCC('X', 'V', 'I', 'D'));
  for (bool table : {false, true}) {
    Bytes file = Cat({FileInfo({}), MediaType(1, MEDIATYPE_Video, video, FORMAT_None, {}), Pcm(2)});
    std::vector<std::pair<int64_t, uint64_t>> keys;
    for (int i = 0; i < 300; i++) {
      const int64_t t = i * 400000LL;
      if (i % 100 == 0) keys.emplace_back(t, file.size());
      Put(file, Sample(1, i % 100 == 0, t, 400000, Bytes(8000, static_cast<uint8_t>(i))));
      Put(file, Sample(2, true, t, 400000, Bytes(300, 0x55)));
    }
    if (table) Put(file, SyncPoints(keys));
    Graph g(WriteTemp("gop.dsm", file));
    ASSERT_EQ(g.loaded, S_OK);
    ASSERT_EQ(g.OutputCount(), 2);
    for (REFERENCE_TIME seek : {50000000LL, 95000000LL}) {
      SCOPED_TRACE(std::to_string(table) + " " + std::to_string(seek));
      g.RunFrom(seek);
      const auto pictures = g.Samples(0), sound = g.Samples(1);
      ASSERT_FALSE(pictures.empty());
      ASSERT_FALSE(sound.empty());
      EXPECT_TRUE(pictures[0].sync);
      EXPECT_EQ(pictures[0].start, seek / 40000000 * 40000000 - seek);
      EXPECT_LE(sound[0].start, pictures[0].start);
    }
  }
}

// Damage of every kind ends in a clean failure to open or a clean end.
TEST(DSMSplitter, DamagedFilesEndCleanly) {
  const Bytes good = MuxFiles({TestDataPath("mpeg4-ipp.m4v"), TestDataPath("mp3-44100.mp3")});
  ASSERT_FALSE(good.empty());
  std::vector<Bytes> inputs;
  for (size_t cut : {5u, 60u, 200u, 5000u, 40000u}) inputs.emplace_back(good.begin(), good.begin() + cut);
  // A length of 8 bytes past any file, a sample too short for its times,
  // the sync word at the very end.
  inputs.push_back(Cat({Head(), dsmtest::Packet(4, {1, 0x3F, 1}, 8), dsmtest::Packet(4, {1, 0x3F, 1})}));
  Bytes huge = Head();
  Put(huge, Bytes{'D', 'S', 'M', 'S', 4 << 3 | 7, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0});
  inputs.push_back(huge);
  inputs.push_back(Cat({Head(), Sample(1, true, 0, 1, {9}), Bytes{'D', 'S', 'M', 'S', 0x20}}));
  std::mt19937 rng(7);
  for (int i = 0; i < 12; i++) {
    Bytes b = good;
    for (int k = 0; k < 40; k++) b[rng() % b.size()] = static_cast<uint8_t>(rng());
    inputs.push_back(std::move(b));
  }
  OpenAndRunEach<CDSMSourceFilter>(inputs, "damaged.dsm");
}

}  // namespace
