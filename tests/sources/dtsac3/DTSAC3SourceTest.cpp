// The raw DTS/AC-3 source on ffmpeg-made files against libavformat, its
// DVD packaging, its frame arithmetic and damaged files.
#include <gtest/gtest.h>

#include "sources/dtsac3/DTSAC3Source.h"
#include "tests/splitters/SplitterGraph.h"

namespace {

using Bytes = std::vector<BYTE>;

std::string Data(const std::string& name) { return std::string(getenv("PELLOMAR_TEST_DATA")) + "/" + name; }

Bytes ReadAll(const std::string& path) {
  Bytes b;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return b;
  BYTE buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
  fclose(f);
  return b;
}

// The file with the bytes of every 16-bit word exchanged.
Bytes Swapped(Bytes b) {
  for (size_t i = 0; i + 1 < b.size(); i += 2) std::swap(b[i], b[i + 1]);
  return b;
}

// A DTS core header: size in bytes, rate codes, block count.
Bytes DtsHeader(unsigned size, unsigned sfreq, unsigned rate, unsigned blocks) {
  const unsigned fsize = size - 1, nblks = blocks - 1, amode = 9;
  return {0x7F, 0xFE, 0x80, 0x01,
          BYTE(0x80 | 31 << 2 | (nblks >> 6 & 1)), BYTE((nblks & 0x3F) << 2 | (fsize >> 12 & 3)),
          BYTE(fsize >> 4), BYTE((fsize & 15) << 4 | amode >> 2),
          BYTE((amode & 3) << 6 | sfreq << 2 | rate >> 3), BYTE((rate & 7) << 5), 0, 0};
}

Bytes Ac3Header(unsigned fscod, unsigned code, unsigned bsid = 8) {
  return {0x0B, 0x77, 0x12, 0x34, BYTE(fscod << 6 | code), BYTE(bsid << 3), 0, 0, 0, 0, 0, 0};
}

// Frames of `size` bytes behind the header, filled with bytes that hold
// no sync word.
Bytes Frames(const Bytes& header, size_t size, int count) {
  Bytes out;
  for (int i = 0; i < count; i++) {
    Bytes frame(size, BYTE(0x55 + i));
    std::copy(header.begin(), header.end(), frame.begin());
    out.insert(out.end(), frame.begin(), frame.end());
  }
  return out;
}

using Graph = splittertest::SourceGraph<CDTSAC3Source>;

LONGLONG Duration(Graph& g) {
  LONGLONG d = -1;
  EXPECT_EQ(CComQIPtr<IMediaSeeking>(static_cast<IPin*>(g.filter->GetPin(0)))->GetDuration(&d), S_OK);
  return d;
}

struct FileCase {
  const char* file;
  bool swap;
  DWORD rate;
  REFERENCE_TIME frameTime;
};

class RawFiles : public testing::TestWithParam<FileCase> {};

// Frames, times and duration as libavformat reads the same file; swapped
// AC-3 comes out in stream order.
TEST_P(RawFiles, FramesTimesAndDurationMatchLibavformat) {
  const FileCase& c = GetParam();
  const std::string original = Data(c.file);
  const std::string path = c.swap ? splittertest::WriteTemp("swapped.ac3", Swapped(ReadAll(original))) : original;
  const splittertest::RefFile ref = splittertest::ReadWithLavf(original);
  ASSERT_TRUE(ref.opened);

  Graph g(path);
  ASSERT_EQ(g.loaded, S_OK);
  const CMediaType mt = g.PinType(0);
  EXPECT_EQ(mt.subtype, ref.codecs[0] == "dts" ? MEDIASUBTYPE_DTS : MEDIASUBTYPE_DOLBY_AC3);
  EXPECT_EQ(reinterpret_cast<const WAVEFORMATEX*>(mt.Format())->nSamplesPerSec, c.rate);
  EXPECT_NEAR(double(Duration(g)), double(ref.duration), double(c.frameTime));

  g.RunToEnd();
  const auto samples = g.Samples(0);
  ASSERT_EQ(samples.size(), ref.packets.size());
  for (size_t i = 0; i < samples.size(); i++) {
    EXPECT_EQ(samples[i].hash, ref.packets[i].hash) << "frame " << i;
    EXPECT_EQ(samples[i].start, REFERENCE_TIME(i) * c.frameTime);
    EXPECT_NEAR(double(samples[i].start), double(ref.packets[i].pts), 10000.0) << "frame " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Samples, RawFiles,
                         testing::Values(FileCase{"ac3-2.0-48000.ac3", false, 48000, 320000},
                                         FileCase{"ac3-2.0-44100.ac3", false, 44100, 348299},
                                         FileCase{"ac3-2.0-32000.ac3", false, 32000, 480000},
                                         FileCase{"ac3-5.1-48000.ac3", true, 48000, 320000},
                                         FileCase{"ac3-5.1-44100.ac3", true, 44100, 348299},
                                         FileCase{"dts-5.1-48000.dts", false, 48000, 106666}));

// On the PES and DVD pack types each frame comes behind its headers, with a
// PES length that covers the whole frame, also one larger than 2013 bytes.
TEST(DTSAC3Source, PesAndPackPackaging) {
  const Bytes file = Frames(Ac3Header(0, 36), 2560, 3);  // 640 kbit/s at 48 kHz
  const std::string path = splittertest::WriteTemp("640k.ac3", file);
  for (int position : {1, 2, 3, 4, 5}) {
    SCOPED_TRACE(position);
    Graph g(path);
    ASSERT_EQ(g.loaded, S_OK);
    CMediaType mt;
    ASSERT_EQ(g.filter->GetPin(0)->GetMediaType(position, &mt), S_OK);
    IPin* out = g.filter->GetPin(0);
    ASSERT_EQ(g.graph->Disconnect(out), S_OK);
    ASSERT_EQ(g.graph->Disconnect(g.sinks[0]->In()), S_OK);
    ASSERT_EQ(g.graph->ConnectDirect(out, g.sinks[0]->In(), &mt), S_OK);
    g.RunToEnd();
    const auto samples = g.Samples(0);
    ASSERT_EQ(samples.size(), 3u);
    const size_t pack = position >= 3 && position <= 4 ? 14 : 0, pes = position <= 4 ? 21 : 0;
    const Bytes& s = samples[1].data;
    ASSERT_EQ(s.size(), pack + pes + 2560);
    EXPECT_TRUE(std::equal(s.end() - 2560, s.end(), file.begin() + 2560));
    if (pack) {
      EXPECT_EQ(Bytes(s.begin(), s.begin() + 5), (Bytes{0, 0, 1, 0xBA, 0x44}));
    }
    if (pes) {
      const BYTE* h = s.data() + pack;
      EXPECT_EQ(Bytes(h, h + 4), (Bytes{0, 0, 1, 0xBD}));
      EXPECT_EQ(h[4] << 8 | h[5], 2560 + 15);
      EXPECT_EQ(Bytes(h + 17, h + 21), (Bytes{0x80, 1, 0, 1}));
    }
  }
}

// Frame sizes and durations from single headers.
TEST(DTSAC3Source, FrameArithmetic) {
  const struct {
    const char* what;
    Bytes header;
    bool ok;
    DWORD size;
    REFERENCE_TIME duration;
  } cases[] = {
      {"AC-3 448 kbit/s at 48 kHz", Ac3Header(0, 30), true, 1792, 320000},
      {"AC-3 192 kbit/s at 44.1 kHz", Ac3Header(1, 20), true, 834, 348299},
      {"AC-3 192 kbit/s at 44.1 kHz, padded", Ac3Header(1, 21), true, 836, 348299},
      {"AC-3 192 kbit/s at 32 kHz", Ac3Header(2, 20), true, 1152, 480000},
      {"AC-3 frame-size code 38", Ac3Header(0, 38), false, 0, 0},
      {"AC-3 sample-rate code 3", Ac3Header(3, 20), false, 0, 0},
      {"E-AC-3", Ac3Header(0, 20, 16), false, 0, 0},
      {"DTS 4096 bytes at 1509750 bit/s, no valid block count", DtsHeader(4096, 13, 24, 1), true, 4096, 217042},
      {"DTS 1024 bytes at 754500 bit/s, 16 blocks", DtsHeader(1024, 13, 15, 16), true, 1024, 106666},
      {"DTS without a bit rate, 16 blocks", DtsHeader(1024, 13, 29, 16), true, 1024, 106666},
      {"DTS without a bit rate or a block count", DtsHeader(1024, 13, 29, 1), true, 1024, 0},
      {"DTS without a sample rate", DtsHeader(1024, 4, 15, 16), false, 0, 0},
      {"DTS frame shorter than the format allows", DtsHeader(40, 13, 15, 16), false, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DtsAc3Frame f;
    const bool ok = c.header[0] == 0x7F ? ParseDtsFrame(c.header.data(), &f) : ParseAc3Frame(c.header.data(), &f);
    ASSERT_EQ(ok, c.ok);
    if (!ok) continue;
    EXPECT_EQ(f.size, c.size);
    EXPECT_EQ(f.duration, c.duration);
  }
}

// Damaged files: refused at once, or played up to the damage and past it
// from the next whole frame.
TEST(DTSAC3Source, DamagedFiles) {
  const Bytes ac3 = ReadAll(Data("ac3-2.0-48000.ac3"));
  const splittertest::RefFile ref = splittertest::ReadWithLavf(Data("ac3-2.0-48000.ac3"));
  const size_t frame = 768;  // 192 kbit/s at 48 kHz
  ASSERT_EQ(ac3.size() % frame, 0u);
  Bytes damaged = ac3;
  std::fill(damaged.begin() + 5 * frame, damaged.begin() + 5 * frame + 8, 0);
  Bytes cut(ac3.begin(), ac3.end() - 100);
  const struct {
    const char* what;
    Bytes file;
    int frames;  // -1: refused
    size_t lost;  // the frame that is missing, if any
  } cases[] = {
      {"empty", {}, -1, 0},
      {"shorter than a header", Bytes(ac3.begin(), ac3.begin() + 5), -1, 0},
      {"no sync word", Bytes(4096, 0x42), -1, 0},
      {"AC-3 with frame-size code 40", Frames(Ac3Header(0, 40), 768, 4), -1, 0},
      {"DTS that cannot be timed", Frames(DtsHeader(1024, 13, 29, 1), 1024, 4), -1, 0},
      {"last frame cut short", cut, int(ref.packets.size()) - 1, ref.packets.size()},
      {"sync word of frame 5 overwritten", damaged, int(ref.packets.size()) - 1, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Graph g(splittertest::WriteTemp("damaged.ac3", c.file));
    if (c.frames < 0) {
      EXPECT_EQ(g.loaded, E_FAIL);
      continue;
    }
    ASSERT_EQ(g.loaded, S_OK);
    g.RunToEnd();
    const auto samples = g.Samples(0);
    ASSERT_EQ(samples.size(), size_t(c.frames));
    for (size_t i = 0, r = 0; i < samples.size(); i++, r++) {
      if (r == c.lost) r++;
      EXPECT_EQ(samples[i].hash, ref.packets[r].hash) << "frame " << i;
    }
  }
}

}  // namespace
