// The D2V engine against libavcodec's decode of the same MPEG-2 streams:
// every frame of projects written for ffmpeg-made samples, frame tables
// with field operations, random access, clipping, the luminance filter, a
// stream over two files, and damaged data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>

#include "sources/d2v/D2VDecoder.h"
#include "tests/decoders/mpeg2video/Mpeg2TestSupport.h"
#include "tests/sources/d2v/D2VTestProject.h"

namespace {

namespace fs = std::filesystem;

std::string WorkPath(const std::string& name) {
  const fs::path dir = fs::path(::testing::TempDir()) / "d2v-decoder";
  fs::create_directories(dir);
  return (dir / name).string();
}

// The chroma of a YUY2 row doubled from a 4:2:0 plane as the source's
// conversion defines it, written out row by row for the reference frames.
int ChromaRowOf(const std::vector<uint8_t>& plane, int cw, int rows, int y, bool progressive, int x) {
  auto in = [&](int r) { return int{plane[static_cast<size_t>(std::clamp(r, 0, rows - 1) * cw + x)]}; };
  if (progressive) {
    const int i = y / 2;
    if (y % 2 == 0) return i == 0 ? in(0) : (3 * in(i) + in(i - 1) + 2) >> 2;
    return i == rows - 1 ? in(i) : (3 * in(i) + in(i + 1) + 2) >> 2;
  }
  const int k = y / 4, last = rows / 2 - 1;
  switch (y % 4) {
    case 0: return k == 0 ? in(0) : (7 * in(2 * k) + in(2 * k - 2) + 4) >> 3;
    case 1: return k == 0 ? (3 * in(0) + 5 * in(1) + 4) >> 3 : (3 * in(2 * k - 1) + 5 * in(2 * k + 1) + 4) >> 3;
    case 2: return k == last ? in(2 * k) : (5 * in(2 * k) + 3 * in(2 * k + 2) + 4) >> 3;
    default: return k == last ? (in(2 * k) + 7 * in(2 * k + 1) + 4) >> 3 : (7 * in(2 * k + 1) + in(2 * k + 3) + 4) >> 3;
  }
}

// The chroma of pixel pair `p` (from column 0) of YUY2 row y, from the
// reference's plane in whatever chroma format it has: 4:2:0 doubled as
// above, 4:2:2 as it is, 4:4:4 halved across as (1, 2, 1) / 4 around the
// pair's first column.
int ChromaOf(const std::vector<uint8_t>& plane, const TestFrame& ref, int y, bool progressive, int p) {
  const int cw = ref.chromaWidth, ch = ref.chromaHeight;
  if (ch < ref.height) return ChromaRowOf(plane, cw, ch, y, progressive, p);
  if (cw < ref.width) return plane[static_cast<size_t>(y * cw + p)];
  const uint8_t* row = &plane[static_cast<size_t>(y * cw)];
  return (row[std::max(2 * p - 1, 0)] + 2 * row[2 * p] + row[2 * p + 1] + 2) >> 2;
}

struct Area {
  int top = 0, left = 0, width = 0, height = 0;
};

// PSNR of our YUY2 rows (of the given parity, or all with -1) against a
// reference frame, luma and chroma apart.
struct Likeness {
  double luma, chroma;
};

Likeness Compare(const std::vector<uint8_t>& ours, const TestFrame& ref, const Area& a, bool progressive,
                 int parity = -1) {
  double ly = 0, lc = 0;
  size_t ny = 0, nc = 0;
  for (int r = 0; r < a.height; ++r) {
    if (parity >= 0 && (r & 1) != parity) continue;
    const int y = a.top + r;
    const uint8_t* row = ours.data() + static_cast<size_t>(r) * a.width * 2;
    for (int x = 0; x < a.width; ++x) {
      const double d = row[2 * x] - ref.y[static_cast<size_t>(y) * ref.width + a.left + x];
      ly += d * d;
      ++ny;
    }
    for (int p = 0; p < a.width / 2; ++p) {
      const int cx = a.left / 2 + p;
      const double du = row[4 * p + 1] - ChromaOf(ref.u, ref, y, progressive, cx);
      const double dv = row[4 * p + 3] - ChromaOf(ref.v, ref, y, progressive, cx);
      lc += du * du + dv * dv;
      nc += 2;
    }
  }
  auto psnr = [](double sum, size_t n) { return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * n / sum); };
  return {psnr(ly, ny), psnr(lc, nc)};
}

constexpr double kMinPsnr = 45.0;

std::vector<TestFrame> Reference(const std::vector<std::string>& files, bool programStream) {
  std::vector<uint8_t> es;
  for (const std::string& f : files) {
    const std::vector<uint8_t> v =
        programStream ? VideoElementaryStream(fs::path(f).filename().string()) : ReadBytes(f);
    es.insert(es.end(), v.begin(), v.end());
  }
  return ReferenceDecode(es);
}

struct Project {
  CD2VDecoder engine;
  std::vector<TestFrame> ref;
  Area area;
};

void Load(Project& p, const std::string& name, const std::vector<std::string>& files, const D2VProjectOptions& o) {
  const std::string path = WorkPath(name + ".d2v");
  WriteD2VProject(path, files, o);
  ASSERT_TRUE(p.engine.Open(path.c_str(), CD2VDecoder::kYuy2)) << p.engine.Error();
  p.ref = Reference(files, o.programStream);
  p.area = {o.clip[0], o.clip[2], p.engine.Width(), p.engine.Height()};
}

// Every frame in order matches the reference picture the frame table names.
struct WholeCase {
  const char* file;
  bool programStream;
  int idct;
  bool progressive;
};

class D2VWholeStream : public ::testing::TestWithParam<WholeCase> {};

TEST_P(D2VWholeStream, EveryFrameMatchesLibavcodec) {
  const WholeCase& c = GetParam();
  Project p;
  D2VProjectOptions o;
  o.programStream = c.programStream;
  o.idct = c.idct;
  Load(p, std::string("whole-") + c.file, {TestDataPath(c.file)}, o);
  if (HasFatalFailure()) return;
  const D2VProject& project = p.engine.Project();
  ASSERT_EQ(project.pictures, p.ref.size());
  // The last two pictures never make a frame.
  ASSERT_EQ(p.engine.FrameCount(), p.ref.size() - 2);
  std::vector<uint8_t> out(p.engine.FrameBytes());
  for (uint32_t f = 0; f < p.engine.FrameCount(); ++f) {
    ASSERT_TRUE(p.engine.GetFrame(out.data(), f, p.engine.Width() * 2)) << "frame " << f;
    const Likeness l = Compare(out, p.ref[f], p.area, c.progressive);
    EXPECT_GE(l.luma, kMinPsnr) << c.file << " frame " << f;
    EXPECT_GE(l.chroma, kMinPsnr) << c.file << " frame " << f;
  }
  // One jump to the first GOP; the rest comes straight from the stream.
  EXPECT_EQ(p.engine.GetStats().jumps, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, D2VWholeStream,
    ::testing::Values(WholeCase{"mpeg2-gop12-b2.m2v", false, 1, true},
                      WholeCase{"mpeg2-gop30-b3.m2v", false, 2, true},
                      WholeCase{"mpeg2-odd-208x112.m2v", false, 3, true},
                      WholeCase{"mpeg2-gop1-intra.m2v", false, 4, true},
                      WholeCase{"mpeg2-ps-mp2.mpg", true, 4, true},
                      WholeCase{"mpeg2-interlaced.mpg", true, 1, false},
                      WholeCase{"d2v-cgop.m2v", false, 2, true},
                      WholeCase{"d2v-cgop-interlaced.vob", true, 3, false},
                      WholeCase{"d2v-422-interlaced.m2v", false, 1, false}),
    [](const auto& info) {
      std::string n = info.param.file;
      std::replace_if(n.begin(), n.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
      return n;
    });

// ffmpeg writes no 4:4:4 MPEG-2, so the test writes its own: an interlaced
// 4:4:4 stream of frame pictures, I then P, whose blocks carry random DC
// and AC values (escape codes only), with field DCT in every second
// macroblock, chroma matrices of their own, and half-pel frame vectors in
// the P pictures whose chroma must not be halved.
class CBitWriter {
 public:
  void Put(uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) {
      if (m_bits % 8 == 0) m_bytes.push_back(0);
      m_bytes.back() |= static_cast<uint8_t>(((v >> i) & 1) << (7 - m_bits % 8));
      ++m_bits;
    }
  }
  void Code(const char* bits) {
    for (; *bits; ++bits) Put(*bits == '1', 1);
  }
  void Start(uint8_t code) {
    m_bits = (m_bits + 7) / 8 * 8;
    for (uint8_t b : {0, 0, 1}) Put(b, 8);
    Put(code, 8);
  }
  std::vector<uint8_t> Done() {
    Start(0xB7);
    return m_bytes;
  }

 private:
  std::vector<uint8_t> m_bytes;
  size_t m_bits = 0;
};

std::vector<uint8_t> Write444(int mbWidth, int mbHeight, int pictures) {
  CBitWriter w;
  std::mt19937 rng(9);
  w.Start(0xB3);
  w.Put(mbWidth * 16, 12), w.Put(mbHeight * 16, 12), w.Put(1, 4), w.Put(3, 4);  // 25 frames/s
  w.Put(2000, 18), w.Put(1, 1), w.Put(112, 10), w.Put(0, 3);
  w.Start(0xB5);
  w.Put(1, 4), w.Put(0x14, 8), w.Put(0, 1), w.Put(3, 2), w.Put(0, 4), w.Put(0, 12), w.Put(1, 1), w.Put(0, 16);
  w.Start(0xB8);
  w.Put(1 << 12, 25), w.Put(2, 2);  // time code with its marker, closed GOP
  const char* const lumaDc[] = {"100", "00", "01", "101", "110", "1110", "11110", "111110", "1111110"};
  const char* const chromaDc[] = {"00", "01", "10", "110", "1110", "11110", "111110", "1111110", "11111110"};
  auto coefficients = [&](bool first) {
    for (int run : {first ? 0 : 1, 4}) {
      const int level = static_cast<int>(rng() % 40 + 1) * (rng() & 1 ? 1 : -1);
      w.Code("000001"), w.Put(run, 6), w.Put(static_cast<uint32_t>(level) & 0xFFF, 12);
    }
    w.Code("10");
  };
  for (int pic = 0; pic < pictures; ++pic) {
    const bool intra = pic == 0;
    w.Start(0x00);
    w.Put(pic, 10), w.Put(intra ? 1 : 2, 3), w.Put(0xFFFF, 16);
    if (!intra) w.Put(0, 1), w.Put(7, 3);
    w.Put(0, 1);
    w.Start(0xB5);  // coding extension: frame picture, top field first, frame and field DCT
    w.Put(8, 4), w.Put(intra ? 0xFFFF : 0x11FF, 16), w.Put(0, 2), w.Put(3, 2), w.Put(0b10000000, 8), w.Put(0, 2);
    w.Start(0xB5);  // chroma matrices
    w.Put(3, 4), w.Put(0, 2);
    for (int m = 0; m < 2; ++m) {
      w.Put(1, 1);
      for (int i = 0; i < 64; ++i) w.Put(i == 0 && m == 0 ? 8 : 12 + 9 * m + i / 4, 8);
    }
    for (int row = 0; row < mbHeight; ++row) {
      w.Start(static_cast<uint8_t>(row + 1));
      w.Put(6, 5), w.Put(0, 1);
      int pred[3] = {128, 128, 128};
      int last[2] = {0, 0};
      for (int mb = 0; mb < mbWidth; ++mb) {
        // Vectors that stay inside the reference: none on the border.
        const bool inner = mb > 0 && mb + 1 < mbWidth && row > 0 && row + 1 < mbHeight;
        const int mv[2] = {inner ? pic % 5 - 2 : 0, inner ? 3 - pic % 4 : 0};
        w.Code("1");
        if (intra) {
          w.Code("1"), w.Put(mb & 1, 1);
          for (int b = 0; b < 12; ++b) {
            const int cc = b < 4 ? 0 : (b & 1) + 1;
            const int dc = 40 + static_cast<int>(rng() % 176), diff = dc - pred[cc];
            pred[cc] = dc;
            int size = 0;
            while ((1 << size) <= std::abs(diff)) ++size;
            w.Code((cc ? chromaDc : lumaDc)[size]);
            if (size) w.Put(static_cast<uint32_t>(diff > 0 ? diff : diff + (1 << size) - 1), size);
            coefficients(false);
          }
        } else {
          // Forward vector and coded blocks, frame motion; the vectors are
          // sent as differences from the one before in the slice.
          w.Code("1"), w.Code("10"), w.Put(mb & 1, 1);
          const char* const motion[] = {"1", "01", "001", "0001"};
          for (int c = 0; c < 2; ++c) {
            const int d = mv[c] - last[c];
            last[c] = mv[c];
            w.Code(motion[std::abs(d)]);
            if (d) w.Put(d < 0, 1);
          }
          w.Code("001100"), w.Put(0b101101, 6);  // blocks 0-5, then 6, 8, 9, 11
          for (int b = 0; b < 10; ++b) coefficients(true);
        }
      }
    }
  }
  return w.Done();
}

TEST(D2VChroma444, EveryFrameMatchesLibavcodec) {
  const std::string m2v = WorkPath("chroma444.m2v");
  WriteBytes(m2v, Write444(4, 4, 8));
  Project p;
  D2VProjectOptions o;
  o.idct = 4;
  Load(p, "chroma444", {m2v}, o);
  if (HasFatalFailure()) return;
  ASSERT_EQ(p.ref.size(), 8u);
  ASSERT_EQ(p.ref[0].chromaWidth, 64);
  ASSERT_EQ(p.engine.FrameCount(), 6u);
  std::vector<uint8_t> out(p.engine.FrameBytes());
  for (uint32_t f = 0; f < p.engine.FrameCount(); ++f) {
    ASSERT_TRUE(p.engine.GetFrame(out.data(), f, p.engine.Width() * 2)) << "frame " << f;
    const Likeness l = Compare(out, p.ref[f], p.area, false);
    EXPECT_GE(l.luma, kMinPsnr) << "frame " << f;
    EXPECT_GE(l.chroma, kMinPsnr) << "frame " << f;
  }
}

// Pull-down flags on the pictures: each frame's fields come from the two
// pictures its table entry names, and stepping through the frames goes on
// straight from the stream (skipped and repeated pictures included).
struct FieldCase {
  int fieldOperation;
  std::vector<uint8_t> cadence;
};

class D2VFieldOperation : public ::testing::TestWithParam<FieldCase> {};

TEST_P(D2VFieldOperation, FieldsComeFromTheirPictures) {
  const FieldCase& c = GetParam();
  std::vector<uint8_t> es = ReadTestFile("d2v-cgop.m2v");
  SetPictureFlags(es, c.cadence);
  const std::string m2v = WorkPath("pulldown-" + std::to_string(c.fieldOperation) + "-" +
                                   std::to_string(c.cadence.size()) + ".m2v");
  WriteBytes(m2v, es);
  Project p;
  D2VProjectOptions o;
  o.fieldOperation = c.fieldOperation;
  Load(p, "pulldown", {m2v}, o);
  if (HasFatalFailure()) return;
  const D2VProject& project = p.engine.Project();
  ASSERT_GT(p.engine.FrameCount(), 20u);
  bool combined = false;
  std::vector<uint8_t> out(p.engine.FrameBytes());
  auto check = [&](uint32_t f) {
    ASSERT_TRUE(p.engine.GetFrame(out.data(), f, p.engine.Width() * 2)) << "frame " << f;
    const D2VFrameEntry& e = project.frames[f];
    const uint32_t bottom = c.fieldOperation == 1 ? e.top : e.bottom;
    combined |= e.top != bottom;
    EXPECT_GE(Compare(out, p.ref[e.top], p.area, true, 0).luma, kMinPsnr) << "frame " << f << " top";
    EXPECT_GE(Compare(out, p.ref[bottom], p.area, true, 1).luma, kMinPsnr) << "frame " << f << " bottom";
  };
  for (uint32_t f = 0; f < p.engine.FrameCount(); ++f) check(f);
  EXPECT_EQ(p.engine.GetStats().jumps, 1u);
  EXPECT_EQ(combined, c.fieldOperation != 1);
  // And in any order.
  std::vector<uint32_t> order(p.engine.FrameCount());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  for (uint32_t f : order) check(f);
}

INSTANTIATE_TEST_SUITE_P(Cadences, D2VFieldOperation,
                         ::testing::Values(FieldCase{0, {3, 0, 1, 2}}, FieldCase{1, {3, 0, 1, 2}},
                                           FieldCase{2, {3, 0, 1, 2}}, FieldCase{0, {1, 0, 3, 2, 2}},
                                           FieldCase{1, {2, 3, 0, 1, 2, 2}}, FieldCase{2, {0, 1, 2, 3}}));

// Random access: frames in any order match; the next frame never jumps;
// a frame of the cached GOP decodes nothing already decoded; a jump to the
// last frame of a GOP decodes its I picture and its pictures once each,
// passing over the leading B pictures.
TEST(D2VRandomAccess, FramesInAnyOrder) {
  Project p;
  Load(p, "random", {TestDataPath("d2v-cgop.m2v")}, D2VProjectOptions{});
  if (HasFatalFailure()) return;
  CD2VDecoder& e = p.engine;
  std::vector<uint8_t> out(e.FrameBytes());
  auto get = [&](uint32_t f) {
    EXPECT_TRUE(e.GetFrame(out.data(), f, e.Width() * 2));
    EXPECT_GE(Compare(out, p.ref[f], p.area, true).luma, kMinPsnr) << "frame " << f;
  };
  get(19);  // the last picture of the second GOP (GOPs of 10)
  EXPECT_EQ(e.GetStats().jumps, 1u);
  EXPECT_EQ(e.GetStats().decoded, 11u);
  const uint64_t decoded = e.GetStats().decoded;
  for (uint32_t f : {10u, 17u, 19u, 11u}) get(f);
  EXPECT_EQ(e.GetStats().decoded, decoded);
  EXPECT_EQ(e.GetStats().jumps, 1u);
  for (uint32_t f = 20; f < 30; ++f) get(f);
  EXPECT_EQ(e.GetStats().jumps, 1u);
  get(5);
  EXPECT_EQ(e.GetStats().jumps, 2u);
  std::vector<uint32_t> order(e.FrameCount());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(11));
  for (uint32_t f : order) get(f);
}

// Clipping takes the output from row `top`, column `left` (its chroma from
// the same place); the luminance filter scales and shifts luma.
struct AreaCase {
  int clip[4];
  const char* luminance;
  int gain, offset;
};

class D2VOutputArea : public ::testing::TestWithParam<AreaCase> {};

TEST_P(D2VOutputArea, ClippingAndLuminance) {
  const AreaCase& c = GetParam();
  Project p;
  D2VProjectOptions o;
  std::copy(std::begin(c.clip), std::end(c.clip), o.clip);
  o.luminance = c.luminance;
  Load(p, "area", {TestDataPath("d2v-cgop.m2v")}, o);
  if (HasFatalFailure()) return;
  EXPECT_EQ(p.engine.Width(), 176 - c.clip[2] - c.clip[3]);
  EXPECT_EQ(p.engine.Height(), 144 - c.clip[0] - c.clip[1]);
  std::vector<uint8_t> out(p.engine.FrameBytes());
  for (uint32_t f : {0u, 7u, 30u}) {
    ASSERT_TRUE(p.engine.GetFrame(out.data(), f, p.engine.Width() * 2));
    TestFrame ref = p.ref[f];
    for (uint8_t& y : ref.y) y = static_cast<uint8_t>(std::clamp(((y * c.gain + 64) >> 7) + c.offset, 0, 255));
    const Likeness l = Compare(out, ref, p.area, true);
    EXPECT_GE(l.luma, kMinPsnr) << "frame " << f;
    EXPECT_GE(l.chroma, kMinPsnr) << "frame " << f;
  }
}

INSTANTIATE_TEST_SUITE_P(Settings, D2VOutputArea,
                         ::testing::Values(AreaCase{{8, 8, 16, 16}, "Luminance=128,0", 128, 0},
                                           AreaCase{{0, 0, 0, 0}, "Luminance=129,0", 129, 0},
                                           AreaCase{{2, 6, 4, 8}, "Luminance=100,-10", 100, -10},
                                           AreaCase{{0, 0, 0, 0}, "Luminance_Filter=100,10", 128, 0}));

// A stream cut into two files at an odd place decodes across the cut.
TEST(D2VTwoFiles, StreamSpansTheFiles) {
  const std::vector<uint8_t> es = ReadTestFile("d2v-cgop.m2v");
  const size_t cut = es.size() / 2 + 1234;
  const std::string a = WorkPath("part1.m2v"), b = WorkPath("part2.m2v");
  WriteBytes(a, std::vector<uint8_t>(es.begin(), es.begin() + static_cast<ptrdiff_t>(cut)));
  WriteBytes(b, std::vector<uint8_t>(es.begin() + static_cast<ptrdiff_t>(cut), es.end()));
  Project p;
  Load(p, "twofiles", {a, b}, D2VProjectOptions{});
  if (HasFatalFailure()) return;
  ASSERT_GT(p.engine.Project().gops.back().file, 0u);
  std::vector<uint8_t> out(p.engine.FrameBytes());
  for (uint32_t f : {0u, 1u, 2u, 47u, 30u, 31u, 24u, 25u, 26u, 27u, 19u, 20u}) {
    ASSERT_TRUE(p.engine.GetFrame(out.data(), f, p.engine.Width() * 2));
    EXPECT_GE(Compare(out, p.ref[f], p.area, true).luma, kMinPsnr) << "frame " << f;
  }
}

// Damaged input ends cleanly: never a crash, a hang or a wrong picture
// reported as good.
TEST(D2VDamagedData, TruncatedStreamEndsCleanly) {
  const std::string full = TestDataPath("d2v-cgop.m2v");
  const std::string cut = WorkPath("truncated.m2v");
  std::vector<uint8_t> es = ReadBytes(full);
  // The project is for the whole file; the file then loses its second half.
  const std::string project = WorkPath("truncated.d2v");
  const std::string text = D2VProjectText({cut}, ScanForD2V({full}, false), D2VProjectOptions{});
  WriteBytes(project, std::vector<uint8_t>(text.begin(), text.end()));
  es.resize(es.size() * 3 / 4);
  WriteBytes(cut, es);
  CD2VDecoder e;
  ASSERT_TRUE(e.Open(project.c_str(), CD2VDecoder::kYuy2)) << e.Error();
  const std::vector<TestFrame> ref = ReferenceDecode(ReadBytes(full));
  std::vector<uint8_t> out(e.FrameBytes());
  uint32_t good = 0;
  while (good < e.FrameCount() && e.GetFrame(out.data(), good, e.Width() * 2)) {
    EXPECT_GE(Compare(out, ref[good], {0, 0, e.Width(), e.Height()}, true).luma, 30.0) << "frame " << good;
    ++good;
  }
  EXPECT_GT(good, 10u);
  EXPECT_LT(good, e.FrameCount());
  // Past the end every frame fails, whatever the order, and keeps the last
  // picture.
  std::vector<uint8_t> last = out;
  for (uint32_t f : {good, e.FrameCount() - 1, good + 1, 3u, good}) {
    const bool ok = e.GetFrame(out.data(), f, e.Width() * 2);
    EXPECT_EQ(ok, f < good) << "frame " << f;
    if (!ok) { EXPECT_EQ(out, last) << "frame " << f; }
    last = out;
  }
}

TEST(D2VDamagedData, CorruptBytesNeverCrash) {
  std::vector<uint8_t> es = ReadTestFile("d2v-cgop.m2v");
  const std::string clean = TestDataPath("d2v-cgop.m2v");
  const D2VScan scan = ScanForD2V({clean}, false);
  std::mt19937 rng(3);
  // Damage past the first sequence header so that the project still loads.
  for (int i = 0; i < 400; ++i) es[200 + rng() % (es.size() - 200)] = static_cast<uint8_t>(rng());
  const std::string m2v = WorkPath("corrupt.m2v"), project = WorkPath("corrupt.d2v");
  WriteBytes(m2v, es);
  const std::string text = D2VProjectText({m2v}, scan, D2VProjectOptions{});
  WriteBytes(project, std::vector<uint8_t>(text.begin(), text.end()));
  CD2VDecoder e;
  ASSERT_TRUE(e.Open(project.c_str(), CD2VDecoder::kYuy2)) << e.Error();
  std::vector<uint8_t> out(e.FrameBytes());
  for (uint32_t f = 0; f < e.FrameCount(); ++f) e.GetFrame(out.data(), f, e.Width() * 2);
  for (uint32_t f : {40u, 3u, 25u, 47u}) e.GetFrame(out.data(), f, e.Width() * 2);
  SUCCEED();
}

TEST(D2VDamagedData, BadStreamsFailCleanly) {
  const std::string clean = TestDataPath("d2v-cgop.m2v");
  D2VScan scan = ScanForD2V({clean}, false);
  // A GOP whose sector lies past the end of its file.
  scan.gops.back().sector = 100000;
  std::string text = D2VProjectText({clean}, scan, D2VProjectOptions{});
  CD2VDecoder past;
  ASSERT_TRUE(past.OpenText(text, CD2VDecoder::kYuy2)) << past.Error();
  std::vector<uint8_t> out(past.FrameBytes());
  EXPECT_FALSE(past.GetFrame(out.data(), past.FrameCount() - 1, past.Width() * 2));
  EXPECT_TRUE(past.GetFrame(out.data(), 0, past.Width() * 2));

  // No sequence header at all.
  const std::string noise = WorkPath("noise.m2v");
  std::vector<uint8_t> bytes(100000);
  std::mt19937 rng(5);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng() | 1);
  WriteBytes(noise, bytes);
  CD2VDecoder none;
  EXPECT_FALSE(none.OpenText(D2VProjectText({noise}, scan, D2VProjectOptions{}), CD2VDecoder::kYuy2));
  EXPECT_NE(none.Error().find("sequence header"), std::string::npos) << none.Error();

  // A sequence header and nothing after it.
  const std::string head = WorkPath("head.m2v");
  std::vector<uint8_t> es = ReadBytes(clean);
  es.resize(140);
  WriteBytes(head, es);
  CD2VDecoder empty;
  ASSERT_TRUE(empty.OpenText(D2VProjectText({head}, scan, D2VProjectOptions{}), CD2VDecoder::kYuy2)) << empty.Error();
  EXPECT_FALSE(empty.GetFrame(out.data(), 0, empty.Width() * 2));
  EXPECT_FALSE(empty.GetFrame(out.data(), 1, empty.Width() * 2));

  // GOPs whose pictures at this size would not fit the cache.
  const std::string huge = WorkPath("huge.m2v");
  WriteBytes(huge, {0, 0, 1, 0xB3, 0xFF, 0xFF, 0xFF, 0x13, 0xFF, 0xFF, 0xE0, 0, 0, 0, 1, 0xB7});
  D2VScan longGop;
  longGop.flags.assign(1026, 0);
  longGop.gops = {{0, 0, 0}, {0, 0, 1023}};
  CD2VDecoder big;
  EXPECT_FALSE(big.OpenText(D2VProjectText({huge}, longGop, D2VProjectOptions{}), CD2VDecoder::kYuy2));
  EXPECT_NE(big.Error().find("too long"), std::string::npos) << big.Error();

  // The reserved chroma format 0 in the sequence extension.
  const std::string reserved = WorkPath("chroma0.m2v");
  es = ReadBytes(clean);
  for (size_t i = 0; i + 5 < es.size(); ++i)
    if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1 && es[i + 3] == 0xB5 && (es[i + 4] >> 4) == 1) {
      es[i + 5] &= 0xF9;
      break;
    }
  WriteBytes(reserved, es);
  CD2VDecoder chroma0;
  EXPECT_FALSE(chroma0.OpenText(D2VProjectText({reserved}, scan, D2VProjectOptions{}), CD2VDecoder::kYuy2));
  EXPECT_NE(chroma0.Error().find("chroma format 0"), std::string::npos) << chroma0.Error();

  // A listed file that is missing.
  CD2VDecoder missing;
  EXPECT_FALSE(missing.OpenText(D2VProjectText({WorkPath("nothing-here.m2v")}, scan, D2VProjectOptions{}),
                                CD2VDecoder::kYuy2));
  EXPECT_NE(missing.Error().find("cannot open"), std::string::npos) << missing.Error();
}

}  // namespace
