// The inverse DCT against a double-precision reference (the accuracy tests
// of IEEE 1180 on random blocks), and the SSE2 routines against the plain
// ones bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "decoders/mpeg2video/Mpeg2Dsp.h"

namespace {

struct alignas(16) Block {
  int16_t c[64];
};

void ReferenceIdct(const int16_t* in, double* out) {
  static double cosTable[8][8];
  static bool ready = false;
  if (!ready) {
    for (int x = 0; x < 8; ++x)
      for (int u = 0; u < 8; ++u)
        cosTable[x][u] = (u ? 1.0 : std::sqrt(0.5)) * std::cos((2 * x + 1) * u * M_PI / 16) / 2;
    ready = true;
  }
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      double s = 0;
      for (int v = 0; v < 8; ++v)
        for (int u = 0; u < 8; ++u) s += cosTable[y][v] * cosTable[x][u] * in[8 * v + u];
      out[8 * y + x] = s;
    }
}

// IEEE 1180's generator: uniform integers in [-low, high].
class CIeeeRandom {
 public:
  explicit CIeeeRandom(long seed) : m_seed(seed) {}
  long Next(long low, long high) {
    m_seed = (m_seed * 1103515245 + 12345) & 0xFFFFFFFFL;
    const double x = double(m_seed) / 4294967295.0;
    return static_cast<long>(x * (low + high + 1)) - low;
  }

 private:
  long m_seed;
};

void ForwardDct(const double* in, double* out) {
  for (int v = 0; v < 8; ++v)
    for (int u = 0; u < 8; ++u) {
      double s = 0;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
          s += in[8 * y + x] * (v ? 1.0 : std::sqrt(0.5)) * std::cos((2 * y + 1) * v * M_PI / 16) / 2 *
               (u ? 1.0 : std::sqrt(0.5)) * std::cos((2 * x + 1) * u * M_PI / 16) / 2;
      out[8 * v + u] = s;
    }
}

// The routine's signed output for one block: two adds onto flat blocks of 0
// and 255 recover every value in -255..255.
void RoutineOutput(const CMpeg2Dsp& dsp, const Block& in, int* out) {
  Block a = in, b = in;
  uint8_t lo[64], hi[64];
  std::memset(lo, 0, sizeof(lo));
  std::memset(hi, 255, sizeof(hi));
  dsp.idctAdd(a.c, lo, 8);
  dsp.idctAdd(b.c, hi, 8);
  for (int i = 0; i < 64; ++i) out[i] = lo[i] > 0 ? lo[i] : hi[i] - 255;
}

// The accuracy procedure of IEEE 1180: random pixel blocks in [-low, high],
// forward transform in double precision, rounded and clipped coefficients,
// then the routine against the double-precision inverse of the same
// coefficients, over 10000 blocks.
void CheckAccuracy(const CMpeg2Dsp& dsp, long low, long high, int sign) {
  CIeeeRandom rng(1);
  constexpr int kBlocks = 10000;
  double errSum[64] = {}, sqSum[64] = {};
  int peak = 0;
  for (int n = 0; n < kBlocks; ++n) {
    double pixels[64], coef[64];
    for (double& p : pixels) p = double(rng.Next(low, high) * sign);
    ForwardDct(pixels, coef);
    Block blk;
    for (int i = 0; i < 64; ++i)
      blk.c[i] = static_cast<int16_t>(std::clamp(std::floor(coef[i] + 0.5), -2048.0, 2047.0));
    double ref[64];
    ReferenceIdct(blk.c, ref);
    int got[64];
    RoutineOutput(dsp, blk, got);
    for (int i = 0; i < 64; ++i) {
      const int want = std::clamp(static_cast<int>(std::floor(ref[i] + 0.5)), -255, 255);
      const int err = got[i] - want;
      peak = std::max(peak, std::abs(err));
      errSum[i] += err;
      sqSum[i] += err * err;
    }
  }
  double overallSq = 0, overallErr = 0;
  for (int i = 0; i < 64; ++i) {
    EXPECT_LE(sqSum[i] / kBlocks, 0.06) << "pixel " << i;
    EXPECT_LE(std::fabs(errSum[i]) / kBlocks, 0.015) << "pixel " << i;
    overallSq += sqSum[i];
    overallErr += errSum[i];
  }
  EXPECT_LE(peak, 1);
  EXPECT_LE(overallSq / (64.0 * kBlocks), 0.02);
  EXPECT_LE(std::fabs(overallErr) / (64.0 * kBlocks), 0.0015);
}

TEST(Mpeg2Idct, PlainTransformMeetsTheAccuracyLimits) {
  for (int sign : {1, -1}) {
    CheckAccuracy(CMpeg2Dsp::Plain(), 256, 255, sign);
    CheckAccuracy(CMpeg2Dsp::Plain(), 5, 5, sign);
    CheckAccuracy(CMpeg2Dsp::Plain(), 300, 300, sign);
  }
}

// The flat routines give what the transform gives for every block the
// decoder hands them: a DC alone (MPEG-1, or odd in MPEG-2) or an even DC
// with mismatch control's 1 in coefficient 63, the DC not 4 modulo 8.
TEST(Mpeg2Idct, FlatRoutinesEqualTheTransformOfDcOnlyBlocks) {
  std::vector<const CMpeg2Dsp*> sets = {&CMpeg2Dsp::Plain()};
  if (CMpeg2Dsp::Sse2()) sets.push_back(CMpeg2Dsp::Sse2());
  for (const CMpeg2Dsp* dsp : sets)
    for (int mismatch = 0; mismatch < 2; ++mismatch)
      for (int dc = -2048; dc <= 2047; ++dc) {
        if ((dc & 7) == 4 || (mismatch && (dc & 1))) continue;
        for (int base : {0, 77, 255}) {
          Block blk{};
          blk.c[0] = static_cast<int16_t>(dc);
          blk.c[63] = static_cast<int16_t>(mismatch);
          uint8_t want[64], got[64];
          std::memset(want, base, sizeof(want));
          std::memset(got, base, sizeof(got));
          const bool add = base != 0;
          (add ? dsp->idctAdd : dsp->idctCopy)(blk.c, want, 8);
          (add ? dsp->dcAdd : dsp->dcCopy)((dc + 4) >> 3, got, 8);
          ASSERT_EQ(0, std::memcmp(want, got, sizeof(got))) << "dc " << dc << " base " << base;
        }
      }
}

// Random blocks of every kind the coefficient decoder can produce: sparse,
// dense, and saturated at the limits -2048 and 2047.
Block RandomBlock(std::mt19937& rng, int kind) {
  Block b{};
  std::uniform_int_distribution<int> pos(0, 63);
  std::uniform_int_distribution<int> full(-2048, 2047);
  std::uniform_int_distribution<int> small(-40, 40);
  switch (kind % 4) {
    case 0:
      for (int i = 0; i < 64; ++i) b.c[i] = static_cast<int16_t>(full(rng));
      break;
    case 1:
      for (int i = 0; i < 64; ++i) b.c[i] = static_cast<int16_t>(rng() & 1 ? 2047 : -2048);
      break;
    case 2:
      for (int n = 0; n < 5; ++n) b.c[pos(rng)] = static_cast<int16_t>(full(rng));
      break;
    default:
      for (int i = 0; i < 64; ++i) b.c[i] = static_cast<int16_t>(small(rng));
      break;
  }
  return b;
}

TEST(Mpeg2Idct, Sse2EqualsPlainOnRandomAndExtremeBlocks) {
  const CMpeg2Dsp* sse2 = CMpeg2Dsp::Sse2();
  if (!sse2) GTEST_SKIP() << "built without SSE2";
  const CMpeg2Dsp& plain = CMpeg2Dsp::Plain();
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> pixel(0, 255);
  for (int n = 0; n < 20000; ++n) {
    Block a = RandomBlock(rng, n), b = a;
    uint8_t d1[8 * 24], d2[8 * 24];
    for (auto& p : d1) p = static_cast<uint8_t>(pixel(rng));
    std::memcpy(d2, d1, sizeof(d1));
    if (n & 1) {
      plain.idctAdd(a.c, d1, 24);
      sse2->idctAdd(b.c, d2, 24);
    } else {
      plain.idctCopy(a.c, d1, 24);
      sse2->idctCopy(b.c, d2, 24);
    }
    ASSERT_EQ(0, std::memcmp(d1, d2, sizeof(d1))) << "block " << n;
    for (int i = 0; i < 64; ++i) ASSERT_EQ(b.c[i], 0);
  }
}

TEST(Mpeg2Mc, Sse2EqualsPlainForEveryRoutine) {
  const CMpeg2Dsp* sse2 = CMpeg2Dsp::Sse2();
  if (!sse2) GTEST_SKIP() << "built without SSE2";
  const CMpeg2Dsp& plain = CMpeg2Dsp::Plain();
  std::mt19937 rng(11);
  constexpr int kStride = 48;
  for (int idx = 0; idx < 16; ++idx) {
    for (int n = 0; n < 200; ++n) {
      std::vector<uint8_t> ref(kStride * 20), d1(kStride * 17);
      for (auto& p : ref) p = static_cast<uint8_t>(n < 10 ? (rng() & 1) * 255 : rng());
      for (auto& p : d1) p = static_cast<uint8_t>(rng());
      std::vector<uint8_t> d2 = d1;
      const int h = (n & 1) ? 8 : ((idx & 4) ? 4 : 16);
      const int off = static_cast<int>(rng() % 8);
      plain.mc[idx](d1.data() + off, ref.data() + off, kStride, h);
      sse2->mc[idx](d2.data() + off, ref.data() + off, kStride, h);
      ASSERT_EQ(d1, d2) << "routine " << idx << " case " << n;
    }
  }
}

// The plain routines do what their index says: half-pel interpolation with
// upward rounding, then averaging with the destination.
TEST(Mpeg2Mc, PlainRoutinesInterpolateAndAverage) {
  const CMpeg2Dsp& plain = CMpeg2Dsp::Plain();
  uint8_t ref[32 * 18];
  for (int i = 0; i < 32 * 18; ++i) ref[i] = static_cast<uint8_t>((i * 37) & 255);
  for (int idx = 0; idx < 16; ++idx) {
    uint8_t dst[32 * 16];
    std::memset(dst, 10, sizeof(dst));
    const int w = (idx & 4) ? 8 : 16;
    plain.mc[idx](dst, ref, 32, 16);
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 32; ++x) {
        const uint8_t* r = ref + 32 * y + x;
        int p;
        switch (idx & 3) {
          case 0: p = r[0]; break;
          case 1: p = (r[0] + r[1] + 1) / 2; break;
          case 2: p = (r[0] + r[32] + 1) / 2; break;
          default: p = (r[0] + r[1] + r[32] + r[33] + 2) / 4; break;
        }
        const int want = x >= w ? 10 : (idx & 8) ? (10 + p + 1) / 2 : p;
        ASSERT_EQ(dst[32 * y + x], want) << idx << " " << x << "," << y;
      }
  }
}

}  // namespace
