#include <gtest/gtest.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "foundation/CpuFeatures.h"
#include "foundation/PixelConversion.h"

namespace {

constexpr uint32_t kAll = CCpuFeatures::MMX | CCpuFeatures::MMXEXT | CCpuFeatures::SSE | CCpuFeatures::SSE2;
constexpr uint8_t kGuard = 0xC3;

class ScopedCpu {
 public:
  explicit ScopedCpu(uint32_t word) : old_(SetCpuFeaturesForTesting(word)) {}
  ~ScopedCpu() { SetCpuFeaturesForTesting(old_); }

 private:
  uint32_t old_;
};

// A buffer with guard bytes on both sides and a chosen misalignment, so
// that overruns are caught even where ASan's redzones would not see them.
class Guarded {
 public:
  Guarded(size_t size, size_t misalign = 0) : store_(size + 128 + misalign, kGuard), size_(size) {
    uintptr_t base = reinterpret_cast<uintptr_t>(store_.data()) + 64;
    base = (base + 15) & ~uintptr_t{15};
    data_ = reinterpret_cast<uint8_t*>(base) + misalign;
    std::memset(data_, 0, size);
  }
  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool GuardsIntact() const {
    for (const uint8_t* p = store_.data(); p < data_; ++p)
      if (*p != kGuard) return false;
    for (const uint8_t* p = data_ + size_; p < store_.data() + store_.size(); ++p)
      if (*p != kGuard) return false;
    return true;
  }
  std::vector<uint8_t> Bytes() const { return std::vector<uint8_t>(data_, data_ + size_); }

 private:
  std::vector<uint8_t> store_;
  uint8_t* data_;
  size_t size_;
};

struct Planes {
  Planes(int w, int h, int pitch, uint32_t seed, size_t misalign = 0)
      : w(w), h(h), pitch(pitch), y(static_cast<size_t>(pitch) * h, misalign),
        u(static_cast<size_t>(pitch / 2) * ((h + 1) / 2), misalign),
        v(static_cast<size_t>(pitch / 2) * ((h + 1) / 2), misalign) {
    std::mt19937 rng(seed);
    for (size_t i = 0; i < y.size(); ++i) y.data()[i] = static_cast<uint8_t>(rng());
    for (size_t i = 0; i < u.size(); ++i) u.data()[i] = static_cast<uint8_t>(rng());
    for (size_t i = 0; i < v.size(); ++i) v.data()[i] = static_cast<uint8_t>(rng());
  }
  int w, h, pitch;
  Guarded y, u, v;
};

int Clamp255(int x) { return x < 0 ? 0 : x > 255 ? 255 : x; }

}  // namespace

// The vector routine reproduces the reference tables through fixed-point
// products; this holds for every table entry or the two paths would differ.
TEST(PixelConversion, TablesFollowTheStudioRangeFormula) {
  const auto& t = pixel_detail::Tables();
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(t.y[i], ((i - 16) * 149 + 63) >> 7) << i;
    EXPECT_EQ(t.bu[i], ((i - 128) * 4133 + 1024) >> 11) << i;
    EXPECT_EQ(t.rv[i], ((i - 128) * 6537 + 2048) >> 12) << i;
    EXPECT_EQ(t.gu[i], ((i - 128) * -3203 + 4096) >> 13) << i;
    EXPECT_EQ(t.gv[i], ((i - 128) * -1665 + 1024) >> 11) << i;
    EXPECT_NEAR(t.y[i], 1.164 * (i - 16), 0.5 + 1e-6);
    EXPECT_NEAR(t.bu[i], 2.018 * (i - 128), 0.5 + 1e-6);
  }
}

TEST(PixelConversion, Yuv420ToRgbVectorEqualsPlainWithoutOverrun) {
  for (int bpp : {16, 24, 32}) {
    for (int w : {2, 6, 8, 16, 30, 34, 176, 720, 722}) {
      for (size_t mis : {size_t{0}, size_t{1}, size_t{3}}) {
        const int h = 6;
        const int pitch = w + (mis ? 2 : 0);
        Planes src(w, h, pitch, 1000 + w, mis);
        const int dPitch = w * bpp / 8 + static_cast<int>(mis);
        Guarded plain(static_cast<size_t>(dPitch) * h), vec(static_cast<size_t>(dPitch) * h, mis);
        {
          ScopedCpu cpu(0);
          ASSERT_TRUE(ConvertYuv420ToRgb(w, h, plain.data(), dPitch, bpp, src.y.data(), src.u.data(), src.v.data(),
                                         pitch));
        }
        {
          ScopedCpu cpu(kAll);
          ASSERT_TRUE(
              ConvertYuv420ToRgb(w, h, vec.data(), dPitch, bpp, src.y.data(), src.u.data(), src.v.data(), pitch));
        }
        ASSERT_EQ(plain.Bytes(), vec.Bytes()) << "bpp " << bpp << " width " << w << " misalign " << mis;
        ASSERT_TRUE(plain.GuardsIntact());
        ASSERT_TRUE(vec.GuardsIntact());
      }
    }
  }
}

// Super-white and extreme chroma saturate instead of wrapping.
TEST(PixelConversion, Yuv420ToRgbSaturatesExtremes) {
  const int w = 32, h = 2;
  std::vector<uint8_t> y(w * h, 255), u(w / 2, 255), v(w / 2, 255), out(w * h * 4);
  for (uint32_t word : {0u, kAll}) {
    ScopedCpu cpu(word);
    ASSERT_TRUE(ConvertYuv420ToRgb(w, h, out.data(), w * 4, 32, y.data(), u.data(), v.data(), w));
    for (int x = 0; x < w; ++x) {
      EXPECT_EQ(out[4 * x + 0], 255);  // blue
      EXPECT_EQ(out[4 * x + 2], 255);  // red
    }
  }
}

TEST(PixelConversion, Yuv420ToRgbRejectsBadArguments) {
  uint8_t buf[64] = {};
  EXPECT_FALSE(ConvertYuv420ToRgb(3, 2, buf, 12, 32, buf, buf, buf, 4));
  EXPECT_FALSE(ConvertYuv420ToRgb(2, 3, buf, 8, 32, buf, buf, buf, 2));
  EXPECT_FALSE(ConvertYuv420ToRgb(0, 2, buf, 8, 32, buf, buf, buf, 2));
  EXPECT_FALSE(ConvertYuv420ToRgb(2, 2, buf, 8, 8, buf, buf, buf, 2));
}

// An independent checker: libswscale's BT.601 conversion of the same smooth
// picture stays within a few levels of ours.
TEST(PixelConversion, Yuv420ToRgbAgreesWithSwscale) {
  const int w = 320, h = 240;
  std::vector<uint8_t> y(w * h), u(w * h / 4), v(w * h / 4);
  for (int r = 0; r < h; ++r)
    for (int x = 0; x < w; ++x) y[r * w + x] = static_cast<uint8_t>(16 + (x + r) * 219 / (w + h));
  for (int r = 0; r < h / 2; ++r)
    for (int x = 0; x < w / 2; ++x) {
      u[r * w / 2 + x] = static_cast<uint8_t>(64 + x * 128 / (w / 2));
      v[r * w / 2 + x] = static_cast<uint8_t>(192 - r * 128 / (h / 2));
    }
  std::vector<uint8_t> ours(w * h * 4), ref(w * h * 4);
  ASSERT_TRUE(ConvertYuv420ToRgb(w, h, ours.data(), w * 4, 32, y.data(), u.data(), v.data(), w));
  SwsContext* ctx =
      sws_getContext(w, h, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_BGRA, SWS_POINT | SWS_ACCURATE_RND, nullptr, nullptr,
                     nullptr);
  ASSERT_NE(ctx, nullptr);
  const uint8_t* srcPlanes[3] = {y.data(), u.data(), v.data()};
  const int srcStrides[3] = {w, w / 2, w / 2};
  uint8_t* dstPlanes[1] = {ref.data()};
  const int dstStrides[1] = {w * 4};
  sws_scale(ctx, srcPlanes, srcStrides, 0, h, dstPlanes, dstStrides);
  sws_freeContext(ctx);
  double total = 0;
  int worst = 0;
  for (int i = 0; i < w * h; ++i)
    for (int c = 0; c < 3; ++c) {
      int d = std::abs(ours[4 * i + c] - ref[4 * i + c]);
      total += d;
      worst = std::max(worst, d);
    }
  EXPECT_LT(total / (w * h * 3), 1.5);
  EXPECT_LE(worst, 8);
}

namespace {
// The YUY2 rules written out independently: which chroma each output row
// takes, for the whole-image path (rounding, field-aware) and the row-pair
// path (truncating).
std::vector<uint8_t> Yuy2Reference(const Planes& p, int dPitch, bool wholeImage, bool interlaced) {
  const int w = p.w, h = p.h, cp = p.pitch / 2, rowsC = h / 2;
  std::vector<uint8_t> out(static_cast<size_t>(dPitch) * h, 0);
  auto chroma = [&](const Guarded& g, int row, int x) { return g.data()[row * cp + x]; };
  for (int r = 0; r < h; ++r) {
    for (int x = 0; x < w; x += 2) {
      int u, v;
      auto avg = [&](int a, int b) {
        int ua = chroma(p.u, a, x / 2), ub = chroma(p.u, b, x / 2);
        int va = chroma(p.v, a, x / 2), vb = chroma(p.v, b, x / 2);
        if (wholeImage) {
          u = (ua + ub + 1) / 2;
          v = (va + vb + 1) / 2;
        } else {
          u = (ua + ub) / 2;
          v = (va + vb) / 2;
        }
      };
      if (wholeImage && interlaced) {
        int group = r / 4, k = r % 4;
        bool last = h - group * 4 <= 4;
        int c = group * 2;
        if (last) {
          int cr = c + (k & 1);
          if (cr >= rowsC) cr = c;
          avg(cr, cr);
        } else if (k < 2) {
          avg(c + k, c + k);
        } else if (c + k < rowsC) {
          avg(c + k - 2, c + k);
        } else {
          avg(c + k - 2, c + k - 2);
        }
      } else {
        int c = r / 2;
        if (r % 2 == 1 && r + 1 < h)
          avg(c, c + 1);
        else
          avg(c, c);
      }
      uint8_t* o = out.data() + r * dPitch + 2 * x;
      o[0] = p.y.data()[r * p.pitch + x];
      o[1] = static_cast<uint8_t>(u);
      o[2] = p.y.data()[r * p.pitch + x + 1];
      o[3] = static_cast<uint8_t>(v);
    }
  }
  return out;
}
}  // namespace

TEST(PixelConversion, Yuv420ToYuy2WholeImagePathFollowsItsRules) {
  for (int w : {32, 48, 176, 720}) {
    for (int h : {2, 4, 6, 10, 16}) {
      for (bool interlaced : {false, true}) {
        const int pitch = (w + 15) / 16 * 16 + 16;
        Planes src(w, h, pitch, 17 * w + h);
        const int dPitch = (2 * w + 15) / 16 * 16;
        Guarded dst(static_cast<size_t>(dPitch) * h);
        ScopedCpu cpu(kAll);
        ASSERT_TRUE(ConvertYuv420ToYuy2(w, h, dst.data(), dPitch, src.y.data(), src.u.data(), src.v.data(), pitch,
                                        interlaced));
        ASSERT_EQ(dst.Bytes(), Yuy2Reference(src, dPitch, true, interlaced))
            << "w " << w << " h " << h << " interlaced " << interlaced;
        ASSERT_TRUE(dst.GuardsIntact());
      }
    }
  }
}

TEST(PixelConversion, Yuv420ToYuy2RowPairPathPlainAndVectorAgree) {
  for (int w : {2, 6, 34, 100, 722}) {
    for (int h : {2, 4, 8}) {
      const int pitch = w + 2;  // not a multiple of 16: the row-pair path
      Planes src(w, h, pitch, 5 * w + h, 1);
      const int dPitch = 2 * w + 6;
      for (uint32_t word : {0u, kAll}) {
        Guarded dst(static_cast<size_t>(dPitch) * h, 1);
        ScopedCpu cpu(word);
        ASSERT_TRUE(
            ConvertYuv420ToYuy2(w, h, dst.data(), dPitch, src.y.data(), src.u.data(), src.v.data(), pitch, true));
        auto ref = Yuy2Reference(src, dPitch, false, false);
        ASSERT_EQ(dst.Bytes(), ref) << "w " << w << " h " << h << " cpu " << word;
        ASSERT_TRUE(dst.GuardsIntact());
        // The last two rows carry identical chroma.
        const uint8_t* a = dst.data() + (h - 2) * dPitch;
        const uint8_t* b = dst.data() + (h - 1) * dPitch;
        for (int x = 0; x < w; x += 2) {
          EXPECT_EQ(a[2 * x + 1], b[2 * x + 1]);
          EXPECT_EQ(a[2 * x + 3], b[2 * x + 3]);
        }
      }
    }
  }
}

TEST(PixelConversion, Yuv420ToYuy2PitchZeroMeansWidth) {
  Planes src(16, 2, 16, 3);
  std::vector<uint8_t> a(64), b(64);
  ASSERT_TRUE(ConvertYuv420ToYuy2(16, 2, a.data(), 32, src.y.data(), src.u.data(), src.v.data(), 0, false));
  ASSERT_TRUE(ConvertYuv420ToYuy2(16, 2, b.data(), 32, src.y.data(), src.u.data(), src.v.data(), 16, false));
  EXPECT_EQ(a, b);
  EXPECT_FALSE(ConvertYuv420ToYuy2(15, 2, a.data(), 32, src.y.data(), src.u.data(), src.v.data(), 16, false));
}

TEST(PixelConversion, RgbToRgbDepthChanges) {
  // 5-6-5 white widens without replicating high bits.
  const uint8_t white565[2] = {0xFF, 0xFF};
  uint8_t out[4] = {};
  ASSERT_TRUE(ConvertRgbToRgb(1, 1, out, 3, 24, white565, 2, 16));
  EXPECT_EQ(out[0], 248);
  EXPECT_EQ(out[1], 252);
  EXPECT_EQ(out[2], 248);
  // 24 -> 16 -> 24 keeps the top bits of every channel.
  const uint8_t px[3] = {0x12, 0x9A, 0xEF};
  uint8_t p16[2], back[3];
  ASSERT_TRUE(ConvertRgbToRgb(1, 1, p16, 2, 16, px, 3, 24));
  ASSERT_TRUE(ConvertRgbToRgb(1, 1, back, 3, 24, p16, 2, 16));
  EXPECT_EQ(back[0], px[0] & 0xF8);
  EXPECT_EQ(back[1], px[1] & 0xFC);
  EXPECT_EQ(back[2], px[2] & 0xF8);
  // 32 -> 24 drops the fourth byte; 24 -> 32 adds a zero one.
  const uint8_t q[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t t24[6], t32[8];
  ASSERT_TRUE(ConvertRgbToRgb(2, 1, t24, 6, 24, q, 8, 32));
  EXPECT_EQ(std::vector<uint8_t>(t24, t24 + 6), (std::vector<uint8_t>{1, 2, 3, 5, 6, 7}));
  ASSERT_TRUE(ConvertRgbToRgb(2, 1, t32, 8, 32, t24, 6, 24));
  EXPECT_EQ(std::vector<uint8_t>(t32, t32 + 8), (std::vector<uint8_t>{1, 2, 3, 0, 5, 6, 7, 0}));
  EXPECT_FALSE(ConvertRgbToRgb(1, 1, out, 3, 24, q, 1, 8));
  EXPECT_TRUE(ConvertRgbToRgb(1, 0, out, 3, 24, q, 1, 8));
}

TEST(PixelConversion, Yuy2ToRgbConvertsWholeRowsBottomUpAtThePitch) {
  const int w = 6, h = 3, sPitch = 16, dPitch = w * 3 + 5;
  std::vector<uint8_t> src(sPitch * h);
  for (int r = 0; r < h; ++r)
    for (int x = 0; x < w; x += 2) {
      uint8_t* p = &src[r * sPitch + 2 * x];
      p[0] = static_cast<uint8_t>(40 + 60 * r + 10 * x);
      p[1] = static_cast<uint8_t>(100 + 20 * x);
      p[2] = static_cast<uint8_t>(p[0] + 5);
      p[3] = static_cast<uint8_t>(200 - 30 * x);
    }
  Guarded dst(dPitch * h);
  ASSERT_TRUE(ConvertYuy2ToRgb(w, h, dst.data(), dPitch, 24, src.data(), sPitch));
  ASSERT_TRUE(dst.GuardsIntact());
  for (int r = 0; r < h; ++r) {
    const uint8_t* s = &src[(h - 1 - r) * sPitch];
    for (int x = 0; x < w; ++x) {
      const uint8_t* q = s + 4 * (x / 2);
      int u2, v2;
      if (x % 2 == 0 || x + 1 == w) {
        u2 = 2 * (q[1] - 128);
        v2 = 2 * (q[3] - 128);
      } else {
        u2 = q[1] + q[5] - 256;
        v2 = q[3] + q[7] - 256;
      }
      int y = (x % 2) ? q[2] : q[0];
      int yt = 19077 * (y - 16) + 8192;
      const uint8_t* o = dst.data() + r * dPitch + 3 * x;
      EXPECT_EQ(o[2], Clamp255((yt + 13075 * v2) >> 14)) << r << "," << x;
      EXPECT_EQ(o[1], Clamp255((yt - 3209 * u2 - 6660 * v2) >> 14)) << r << "," << x;
      EXPECT_EQ(o[0], Clamp255((yt + 16525 * u2) >> 14)) << r << "," << x;
    }
    // The padding between rows is untouched.
    for (int k = w * 3; k < dPitch; ++k) EXPECT_EQ(dst.data()[r * dPitch + k], 0);
  }
  EXPECT_FALSE(ConvertYuy2ToRgb(w, h, dst.data(), dPitch, 16, src.data(), sPitch));
}

TEST(PixelConversion, BlendAndInterpolateVectorEqualPlain) {
  for (DWORD bytes : {1u, 7u, 16u, 33u, 720u}) {
    for (DWORD rows : {2u, 3u, 5u, 8u}) {
      std::mt19937 rng(bytes * 31 + rows);
      const int pitch = static_cast<int>(bytes) + 3;
      std::vector<uint8_t> src(pitch * rows);
      for (auto& b : src) b = static_cast<uint8_t>(rng());
      std::vector<uint8_t> outs[2];
      std::vector<uint8_t> interp[2];
      for (int k = 0; k < 2; ++k) {
        ScopedCpu cpu(k ? kAll : 0);
        Guarded d(pitch * rows);
        BlendDeinterlacePlane(d.data(), src.data(), bytes, rows, pitch, pitch);
        ASSERT_TRUE(d.GuardsIntact());
        outs[k] = d.Bytes();
        Guarded p(pitch * rows);
        std::memcpy(p.data(), src.data(), src.size());
        InterpolateMissingRows(p.data(), rows, pitch);
        ASSERT_TRUE(p.GuardsIntact());
        interp[k] = p.Bytes();
      }
      ASSERT_EQ(outs[0], outs[1]);
      ASSERT_EQ(interp[0], interp[1]);
      // Exact formulas on every byte of every row, the tail included.
      for (DWORD r = 0; r < rows; ++r)
        for (DWORD i = 0; i < bytes; ++i) {
          auto s = [&](DWORD rr) { return static_cast<int>(src[rr * pitch + i]); };
          int expect = r == 0          ? (s(0) + s(1) + 1) >> 1
                       : r == rows - 1 ? (s(rows - 2) + s(rows - 1) + 1) >> 1
                                       : (s(r - 1) + 2 * s(r) + s(r + 1) + 2) >> 2;
          ASSERT_EQ(outs[0][r * pitch + i], expect);
        }
      for (DWORD r = 1; r < rows; r += 2) {
        for (int i = 0; i < pitch; ++i) {
          int expect = r + 1 < rows ? (src[(r - 1) * pitch + i] + src[(r + 1) * pitch + i] + 1) >> 1
                                    : interp[0][(r - 1) * pitch + i];
          ASSERT_EQ(interp[0][r * pitch + i], expect);
        }
      }
    }
  }
}

TEST(PixelConversion, BobKeepsOneFieldAndFillsTheOther) {
  const DWORD bytes = 24, rows = 6;
  const int pitch = 32;
  std::vector<uint8_t> src(pitch * rows);
  // Values below 128 cannot meet the 0xEE sentinel, averaged or not.
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>((i * 7) & 0x7F);
  for (bool top : {true, false}) {
    std::vector<uint8_t> dst(pitch * rows, 0xEE);
    BobDeinterlacePlane(dst.data(), src.data(), bytes, rows, pitch, pitch, top);
    const DWORD first = top ? 0 : 1;
    for (DWORD r = first; r < rows; r += 2)
      EXPECT_EQ(std::memcmp(&dst[r * pitch], &src[r * pitch], bytes), 0) << r;
    for (DWORD r = 0; r < rows; ++r)
      for (DWORD i = 0; i < bytes; ++i) EXPECT_NE(dst[r * pitch + i], 0xEE) << "stale byte in row " << r;
    if (!top) {
      EXPECT_EQ(std::memcmp(&dst[0], &dst[pitch], bytes), 0);
    }
  }
}

TEST(PixelConversion, CopiesHandleOddHeightsAndPitches) {
  for (bool block : {true, false}) {
    const int w = 8, h = 5;
    const int sp = block ? w : w + 8, dp = block ? w : w + 4;
    Planes src(w, h, sp, 9);
    Guarded y(dp * h), u((dp / 2) * 3), v((dp / 2) * 3);
    ASSERT_TRUE(CopyYuv420Planar(w, h, y.data(), u.data(), v.data(), dp, src.y.data(), src.u.data(), src.v.data(), sp));
    for (int r = 0; r < h; ++r) EXPECT_EQ(std::memcmp(y.data() + r * dp, src.y.data() + r * sp, w), 0);
    // Odd height: three chroma rows, the last included.
    for (int r = 0; r < 3; ++r) {
      EXPECT_EQ(std::memcmp(u.data() + r * dp / 2, src.u.data() + r * sp / 2, w / 2), 0) << r;
      EXPECT_EQ(std::memcmp(v.data() + r * dp / 2, src.v.data() + r * sp / 2, w / 2), 0) << r;
    }
    EXPECT_TRUE(y.GuardsIntact() && u.GuardsIntact() && v.GuardsIntact());
  }
  uint8_t b[4];
  EXPECT_FALSE(CopyYuv420Planar(3, 2, b, b, b, 4, b, b, b, 4));
  std::vector<uint8_t> s(40), d(50);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(CopyPackedRows(8, 4, d.data(), 12, s.data(), 10));
  for (int r = 0; r < 4; ++r) EXPECT_EQ(std::memcmp(&d[r * 12], &s[r * 10], 10), 0);
}

// RGB to 4:2:0: the vector routine gives the plain routine's bytes for every
// depth, range, size (odd ones repeat the last column or row) and pitch sign,
// writing nothing outside the planes; both agree with swscale's conversion.
TEST(PixelConversion, RgbToYuv420VectorEqualsPlainAndAgreesWithSwscale) {
  struct Case {
    int w, h, bits;
    bool full, bottomUp;
  };
  const Case cases[] = {{64, 48, 24, false, true}, {64, 48, 32, true, false}, {37, 21, 24, true, true},
                        {33, 3, 32, false, false}, {17, 1, 24, false, false}, {1, 2, 32, true, true},
                        {720, 8, 24, false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " " << c.bits << " bits, full " << c.full);
    const int bpp = c.bits / 8, pitch = c.w * bpp;
    Guarded rgb(static_cast<size_t>(pitch) * c.h, 3);
    std::mt19937 rng(c.w * 131 + c.h);
    for (size_t i = 0; i < rgb.size(); ++i) rgb.data()[i] = static_cast<uint8_t>(rng());
    const uint8_t* src = c.bottomUp ? rgb.data() + static_cast<size_t>(pitch) * (c.h - 1) : rgb.data();
    const int srcPitch = c.bottomUp ? -pitch : pitch;
    const int cw = (c.w + 1) / 2, ch = (c.h + 1) / 2;
    std::vector<uint8_t> out[2][3];
    for (int vector = 0; vector < 2; ++vector) {
      ScopedCpu cpu(vector ? kAll : 0);
      Guarded y(static_cast<size_t>(c.w) * c.h), u(static_cast<size_t>(cw) * ch), v(static_cast<size_t>(cw) * ch);
      ASSERT_TRUE(ConvertRgbToYuv420(c.w, c.h, src, srcPitch, c.bits, y.data(), c.w, u.data(), cw, v.data(), cw,
                                     c.full));
      EXPECT_TRUE(y.GuardsIntact() && u.GuardsIntact() && v.GuardsIntact() && rgb.GuardsIntact());
      out[vector][0] = y.Bytes();
      out[vector][1] = u.Bytes();
      out[vector][2] = v.Bytes();
    }
    EXPECT_EQ(out[0][0], out[1][0]);
    EXPECT_EQ(out[0][1], out[1][1]);
    EXPECT_EQ(out[0][2], out[1][2]);

    // swscale, point-sampled so only the matrix and the chroma averaging
    // differ, on even sizes (it subsamples odd ones its own way).
    if (c.w % 2 || c.h % 2) continue;
    const AVPixelFormat in = c.bits == 32 ? AV_PIX_FMT_BGR0 : AV_PIX_FMT_BGR24;
    const AVPixelFormat outFmt = c.full ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
    SwsContext* ctx = sws_getContext(c.w, c.h, in, c.w, c.h, outFmt, SWS_POINT | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP,
                                     nullptr, nullptr, nullptr);
    ASSERT_NE(ctx, nullptr);
    std::vector<uint8_t> ref[3] = {std::vector<uint8_t>(c.w * c.h), std::vector<uint8_t>(cw * ch),
                                   std::vector<uint8_t>(cw * ch)};
    const uint8_t* srcPlanes[1] = {src};
    const int srcStrides[1] = {srcPitch};
    uint8_t* dst[3] = {ref[0].data(), ref[1].data(), ref[2].data()};
    const int dstStrides[3] = {c.w, cw, cw};
    sws_scale(ctx, srcPlanes, srcStrides, 0, c.h, dst, dstStrides);
    sws_freeContext(ctx);
    int worstLuma = 0;
    for (size_t i = 0; i < ref[0].size(); ++i) worstLuma = std::max(worstLuma, std::abs(ref[0][i] - out[0][0][i]));
    EXPECT_LE(worstLuma, 1);
  }
  // Chroma of noise depends on where each side subsamples and clips, so it
  // is compared on flat colours, where both must give the same values.
  const uint8_t colours[][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}, {128, 128, 128}, {0, 0, 0},
                                {200, 30, 90}};
  for (const auto& colour : colours)
    for (bool full : {false, true}) {
      std::vector<uint8_t> rgb(16 * 16 * 3);
      for (int i = 0; i < 256; ++i) {
        rgb[3 * i] = colour[2];
        rgb[3 * i + 1] = colour[1];
        rgb[3 * i + 2] = colour[0];
      }
      uint8_t ours[3][256], ref[3][256];
      ASSERT_TRUE(ConvertRgbToYuv420(16, 16, rgb.data(), 48, 24, ours[0], 16, ours[1], 8, ours[2], 8, full));
      SwsContext* ctx = sws_getContext(16, 16, AV_PIX_FMT_BGR24, 16, 16, full ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P,
                                       SWS_POINT | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
      ASSERT_NE(ctx, nullptr);
      const uint8_t* srcPlanes[1] = {rgb.data()};
      const int srcStrides[1] = {48};
      uint8_t* dst[3] = {ref[0], ref[1], ref[2]};
      const int dstStrides[3] = {16, 8, 8};
      sws_scale(ctx, srcPlanes, srcStrides, 0, 16, dst, dstStrides);
      sws_freeContext(ctx);
      for (int p = 0; p < 3; ++p)
        EXPECT_EQ(ours[p][0], ref[p][0]) << "plane " << p << " of " << int(colour[0]) << "," << int(colour[1]) << ","
                                         << int(colour[2]) << (full ? " full" : " studio");
    }
}

// Every pixel lands where the turn puts it: tiles' edges, odd sides,
// padded and bottom-up rows, each pixel size; a pixel of the destination's
// padding is never written, and another angle is refused.
TEST(PixelConversion, TurnPictureMovesEveryPixelWhereTheTurnPutsIt) {
  for (int bytes = 1; bytes <= 4; ++bytes)
    for (auto [w, h] : {std::pair{1, 1}, std::pair{33, 65}, std::pair{70, 7}})
      for (int degrees : {90, 180, 270})
        for (bool bottomUp : {false, true}) {
          SCOPED_TRACE(testing::Message() << bytes << " bytes, " << w << "x" << h << ", " << degrees
                                          << (bottomUp ? ", bottom-up" : ""));
          const int pitch = w * bytes + 3;
          std::vector<BYTE> src(static_cast<size_t>(pitch) * h);
          for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<BYTE>(i * 7 + i / 251);
          const bool quarter = degrees != 180;
          const int tw = quarter ? h : w, th = quarter ? w : h, tpitch = tw * bytes + 5;
          std::vector<BYTE> dst(static_cast<size_t>(tpitch) * th, 0xEE);
          const BYTE* top = bottomUp ? src.data() + static_cast<size_t>(h - 1) * pitch : src.data();
          ASSERT_TRUE(TurnPicture(w, h, bytes, top, bottomUp ? -pitch : pitch, dst.data(), tpitch, degrees));
          for (int y = 0; y < th; ++y) {
            for (int x = 0; x < tw; ++x) {
              // The source pixel, counted from the top, that the turned (x, y) shows.
              const int sx = degrees == 90 ? y : degrees == 180 ? w - 1 - x : w - 1 - y;
              const int sy = degrees == 90 ? h - 1 - x : degrees == 180 ? h - 1 - y : x;
              const BYTE* want = top + static_cast<ptrdiff_t>(sy) * (bottomUp ? -pitch : pitch) + sx * bytes;
              ASSERT_EQ(0, std::memcmp(&dst[static_cast<size_t>(y) * tpitch + x * bytes], want, bytes)) << x << "," << y;
            }
            for (int p = tw * bytes; p < tpitch; ++p) ASSERT_EQ(dst[static_cast<size_t>(y) * tpitch + p], 0xEE);
          }
        }
  BYTE one = 1, two = 0;
  EXPECT_FALSE(TurnPicture(1, 1, 1, &one, 1, &two, 1, 45));
  EXPECT_FALSE(TurnPicture(1, 1, 5, &one, 1, &two, 1, 90));
  EXPECT_FALSE(TurnPicture(0, 1, 1, &one, 1, &two, 1, 90));
}
