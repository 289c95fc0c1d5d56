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
  const int cw = ref.width / 2, ch = ref.height / 2;
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
      const double du = row[4 * p + 1] - ChromaRowOf(ref.u, cw, ch, y, progressive, cx);
      const double dv = row[4 * p + 3] - ChromaRowOf(ref.v, cw, ch, y, progressive, cx);
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
                      WholeCase{"mpeg2-interlaced.mpg", true, 1, false}),
    [](const auto& info) {
      std::string n = info.param.file;
      std::replace_if(n.begin(), n.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
      return n;
    });

}  // namespace
