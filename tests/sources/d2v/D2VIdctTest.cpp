// The inverse DCTs a project may choose, against the double-precision
// reference on random blocks (the IEEE 1180 procedure: random pixel blocks
// through a forward DCT), and the SSE2 form against the plain one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "foundation/CpuFeatures.h"
#include "sources/d2v/D2VIdct.h"

namespace {

using Idct = void (*)(const int16_t*, int16_t*);

// Coefficients of a random pixel block in [-low, high], as an encoder's
// forward DCT gives them.
void RandomBlock(std::mt19937& rng, int low, int high, int16_t* coef) {
  std::uniform_int_distribution<int> pixel(-low, high);
  double x[64];
  for (double& v : x) v = pixel(rng);
  for (int v = 0; v < 8; ++v)
    for (int u = 0; u < 8; ++u) {
      double s = 0;
      for (int y = 0; y < 8; ++y)
        for (int xx = 0; xx < 8; ++xx)
          s += x[8 * y + xx] * std::cos((2 * xx + 1) * u * M_PI / 16) * std::cos((2 * y + 1) * v * M_PI / 16);
      s *= 0.25 * (u ? 1 : std::sqrt(0.5)) * (v ? 1 : std::sqrt(0.5));
      coef[8 * v + u] = static_cast<int16_t>(std::clamp(std::lround(s), -2048L, 2047L));
    }
}

struct AccuracyCase {
  const char* name;
  Idct idct;
  int low, high;
  int peak;        // largest error of any pixel
  double mse;      // mean squared error over all pixels
  double mean;     // mean error over all pixels (bias)
};

class D2VIdctAccuracy : public ::testing::TestWithParam<AccuracyCase> {};

TEST_P(D2VIdctAccuracy, CloseToTheReference) {
  const AccuracyCase& c = GetParam();
  std::mt19937 rng(1180);
  int peak = 0;
  double squared = 0, sum = 0;
  constexpr int kBlocks = 4000;
  for (int b = 0; b < kBlocks; ++b) {
    alignas(16) int16_t coef[64] = {};
    RandomBlock(rng, c.low, c.high, coef);
    int16_t ref[64], got[64];
    D2VIdctReference(coef, ref);
    c.idct(coef, got);
    for (int i = 0; i < 64; ++i) {
      const int e = std::clamp<int>(got[i], -256, 255) - ref[i];
      peak = std::max(peak, std::abs(e));
      squared += e * e;
      sum += e;
    }
  }
  EXPECT_LE(peak, c.peak);
  EXPECT_LE(squared / (64.0 * kBlocks), c.mse);
  EXPECT_LE(std::abs(sum) / (64.0 * kBlocks), c.mean);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, D2VIdctAccuracy,
    // The 16-bit column pass of the fixed-point form leaves a slight upward
    // bias, about a hundredth of a step.
    ::testing::Values(AccuracyCase{"Fixed256", D2VIdctFixed, 256, 255, 1, 0.02, 0.012},
                      AccuracyCase{"Fixed5", D2VIdctFixed, 5, 5, 1, 0.02, 0.012},
                      AccuracyCase{"Fixed300", D2VIdctFixed, 300, 300, 1, 0.02, 0.012},
                      AccuracyCase{"Float256", D2VIdctFloat, 256, 255, 1, 0.0005, 0.0005},
                      AccuracyCase{"Float5", D2VIdctFloat, 5, 5, 1, 0.0005, 0.0005},
                      AccuracyCase{"Float300", D2VIdctFloat, 300, 300, 1, 0.0005, 0.0005}),
    [](const auto& info) { return std::string(info.param.name); });

// Blocks as streams carry them: a few coefficients, some of them large.
TEST(D2VIdct, SparseBlocksStayWithinOne) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> pos(0, 63), level(-2048, 2047), count(1, 6);
  for (int b = 0; b < 20000; ++b) {
    alignas(16) int16_t coef[64] = {};
    for (int n = count(rng); n > 0; --n) coef[pos(rng)] = static_cast<int16_t>(level(rng) / (1 << (rng() % 8)));
    int16_t ref[64], fixed[64], flt[64];
    D2VIdctReference(coef, ref);
    D2VIdctFixed(coef, fixed);
    D2VIdctFloat(coef, flt);
    for (int i = 0; i < 64; ++i) {
      // Results beyond the pixel range are clipped by every user.
      ASSERT_LE(std::abs(std::clamp<int>(fixed[i], -256, 255) - ref[i]), 1) << "block " << b << " pixel " << i;
      ASSERT_LE(std::abs(flt[i] - ref[i]), 1) << "block " << b << " pixel " << i;
    }
  }
}

TEST(D2VIdct, Sse2FormGivesTheSameBytes) {
  alignas(16) int16_t coef[64] = {};
  int16_t plain[64], sse2[64];
  if (!D2VIdctFixedSse2(coef, sse2)) GTEST_SKIP() << "no SSE2 in this build";
  std::mt19937 rng(9);
  for (int b = 0; b < 50000; ++b) {
    // Ordinary blocks, and blocks of the largest coefficients a stream can
    // carry, which drive the sums into saturation.
    const int range = b % 2 ? 2048 : 300;
    std::uniform_int_distribution<int> v(-range, range - 1);
    for (int16_t& c : coef) c = static_cast<int16_t>(rng() % (b % 2 ? 2 : 4) ? 0 : v(rng));
    D2VIdctFixed(coef, plain);
    D2VIdctFixedSse2(coef, sse2);
    ASSERT_EQ(std::memcmp(plain, sse2, sizeof plain), 0) << "block " << b;
  }
}

// The routine sets: each variant writes its clipped result, adds to what
// is there, and leaves the block cleared; variants 1 and 2 are one
// transform, whatever the processor.
TEST(D2VIdct, RoutineSets) {
  std::mt19937 rng(5);
  for (int algorithm = 1; algorithm <= 4; ++algorithm) {
    const Idct bare = algorithm <= 2 ? D2VIdctFixed : algorithm == 3 ? D2VIdctFloat : D2VIdctReference;
    for (uint32_t features : {0u, static_cast<uint32_t>(CCpuFeatures::SSE2)}) {
      const CMpeg2Dsp& dsp = D2VDsp(algorithm, features);
      for (int b = 0; b < 200; ++b) {
        alignas(16) int16_t coef[64], block[64];
        RandomBlock(rng, 256, 255, coef);
        int16_t residual[64];
        bare(coef, residual);
        uint8_t copy[8 * 16], add[8 * 16], base[8 * 16];
        for (uint8_t& p : base) p = static_cast<uint8_t>(rng());
        std::memcpy(add, base, sizeof add);
        std::memcpy(block, coef, sizeof block);
        dsp.idctCopy(block, copy, 16);
        for (int16_t c : block) ASSERT_EQ(c, 0);
        std::memcpy(block, coef, sizeof block);
        dsp.idctAdd(block, add, 16);
        for (int16_t c : block) ASSERT_EQ(c, 0);
        for (int r = 0; r < 8; ++r)
          for (int x = 0; x < 8; ++x) {
            const int i = 8 * r + x, o = 16 * r + x;
            ASSERT_EQ(copy[o], std::clamp<int>(residual[i], 0, 255)) << "variant " << algorithm;
            ASSERT_EQ(add[o], std::clamp<int>(base[o] + residual[i], 0, 255)) << "variant " << algorithm;
          }
      }
    }
  }
}

}  // namespace
