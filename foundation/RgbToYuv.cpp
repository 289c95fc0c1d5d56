// RGB (24 or 32 bits, B G R [X] in memory) to planar 4:2:0, BT.601.
//
// Luma is computed per pixel; each chroma sample comes from the sum of its
// 2 x 2 block of pixels (the last column or row is repeated for odd sizes).
// Coefficients are the BT.601 matrix in 15-bit fixed point, for studio
// range (Y 16..235, chroma 16..240) or full range (0..255). The SSE2 routine
// does exactly the integer arithmetic of the plain one.
#include "foundation/PixelConversion.h"

#include <algorithm>
#include <cstring>

#include "foundation/CpuFeatures.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

struct Matrix {
  int yr, yg, yb, yOffset;  // Y = (yr R + yg G + yb B + (yOffset << 15) + 2^14) >> 15
  int ur, ug, ub;           // U = (ur Rs + ug Gs + ub Bs + (128 << 17) + 2^16) >> 17, sums of 4 pixels
  int vr, vg, vb;
};

// Studio range: the full-range rows scaled by 219/255 (luma) and 224/255
// (chroma), rounded so that each chroma row sums to zero.
constexpr Matrix kStudio{8414, 16519, 3208, 16, -4856, -9536, 14392, 14392, -12051, -2341};
constexpr Matrix kFull{9798, 19235, 3735, 0, -5529, -10855, 16384, 16384, -13720, -2664};

inline BYTE Clamp255(int v) { return static_cast<BYTE>(std::clamp(v, 0, 255)); }

inline int LumaOf(const Matrix& m, int r, int g, int b) {
  return (m.yr * r + m.yg * g + m.yb * b + (m.yOffset << 15) + (1 << 14)) >> 15;
}

// Plain conversion of one pair of rows (row1 may equal row0), columns
// [first, width).
void RowPairPlain(const Matrix& m, int bpp, int first, int width, const BYTE* row0, const BYTE* row1, BYTE* y0,
                  BYTE* y1, BYTE* u, BYTE* v, bool secondRow) {
  for (int x = first; x < width; x += 2) {
    const int x1 = std::min(x + 1, width - 1);
    const BYTE* p[4] = {row0 + x * bpp, row0 + x1 * bpp, row1 + x * bpp, row1 + x1 * bpp};
    y0[x] = Clamp255(LumaOf(m, p[0][2], p[0][1], p[0][0]));
    if (x + 1 < width) y0[x + 1] = Clamp255(LumaOf(m, p[1][2], p[1][1], p[1][0]));
    if (secondRow) {
      y1[x] = Clamp255(LumaOf(m, p[2][2], p[2][1], p[2][0]));
      if (x + 1 < width) y1[x + 1] = Clamp255(LumaOf(m, p[3][2], p[3][1], p[3][0]));
    }
    const int rs = p[0][2] + p[1][2] + p[2][2] + p[3][2];
    const int gs = p[0][1] + p[1][1] + p[2][1] + p[3][1];
    const int bs = p[0][0] + p[1][0] + p[2][0] + p[3][0];
    u[x / 2] = Clamp255((m.ur * rs + m.ug * gs + m.ub * bs + (128 << 17) + (1 << 16)) >> 17);
    v[x / 2] = Clamp255((m.vr * rs + m.vg * gs + m.vb * bs + (128 << 17) + (1 << 16)) >> 17);
  }
}

#if defined(__SSE2__)

inline int Load32(const BYTE* p) {
  int v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Eight pixels to their B, G and R as 16-bit lanes. A 24-bit pixel is read
// as four bytes, the fourth (the next pixel's blue) masked off, so the caller
// keeps one pixel of the row after the eight.
template <int Bpp>
inline void Split8(const BYTE* p, __m128i& b, __m128i& g, __m128i& r) {
  __m128i lo, hi;
  if constexpr (Bpp == 4) {
    lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  } else {
    lo = _mm_set_epi32(Load32(p + 9), Load32(p + 6), Load32(p + 3), Load32(p));
    hi = _mm_set_epi32(Load32(p + 21), Load32(p + 18), Load32(p + 15), Load32(p + 12));
  }
  const __m128i byte = _mm_set1_epi32(0xFF);
  b = _mm_packs_epi32(_mm_and_si128(lo, byte), _mm_and_si128(hi, byte));
  g = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(lo, 8), byte), _mm_and_si128(_mm_srli_epi32(hi, 8), byte));
  r = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(lo, 16), byte), _mm_and_si128(_mm_srli_epi32(hi, 16), byte));
}

// c0 * a + c1 * b + c2 * c (16-bit lanes) + add, shifted right: eight
// 16-bit results with signed saturation.
inline __m128i Dot3(__m128i a, __m128i b, __m128i c, __m128i c01, __m128i c2, __m128i add, int shift) {
  const __m128i lo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a, b), c01),
                                   _mm_madd_epi16(_mm_unpacklo_epi16(c, _mm_setzero_si128()), c2));
  const __m128i hi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a, b), c01),
                                   _mm_madd_epi16(_mm_unpackhi_epi16(c, _mm_setzero_si128()), c2));
  return _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, add), shift), _mm_srai_epi32(_mm_add_epi32(hi, add), shift));
}

// 16 columns a step; returns the first column not done.
template <int Bpp>
int RowPairSse2(const Matrix& m, int width, const BYTE* row0, const BYTE* row1, BYTE* y0, BYTE* y1, BYTE* u,
                  BYTE* v, bool secondRow) {
  const __m128i yRG = _mm_set_epi16(m.yg, m.yr, m.yg, m.yr, m.yg, m.yr, m.yg, m.yr);
  const __m128i yB = _mm_set_epi16(0, m.yb, 0, m.yb, 0, m.yb, 0, m.yb);
  const __m128i yAdd = _mm_set1_epi32((m.yOffset << 15) + (1 << 14));
  const __m128i uRG = _mm_set_epi16(m.ug, m.ur, m.ug, m.ur, m.ug, m.ur, m.ug, m.ur);
  const __m128i uB = _mm_set_epi16(0, m.ub, 0, m.ub, 0, m.ub, 0, m.ub);
  const __m128i vRG = _mm_set_epi16(m.vg, m.vr, m.vg, m.vr, m.vg, m.vr, m.vg, m.vr);
  const __m128i vB = _mm_set_epi16(0, m.vb, 0, m.vb, 0, m.vb, 0, m.vb);
  const __m128i cAdd = _mm_set1_epi32((128 << 17) + (1 << 16));
  const __m128i ones = _mm_set1_epi16(1);
  int x = 0;
  const int end = Bpp == 4 ? width : width - 1;  // see Split8
  for (; x + 16 <= end; x += 16) {
    __m128i sum[3][2];  // B, G, R column-pair sums of both rows, 4 + 4 lanes
    for (int half = 0; half < 2; ++half) {
      __m128i b0, g0, r0, b1, g1, r1;
      Split8<Bpp>(row0 + (x + half * 8) * Bpp, b0, g0, r0);
      Split8<Bpp>(row1 + (x + half * 8) * Bpp, b1, g1, r1);
      const __m128i l0 = Dot3(r0, g0, b0, yRG, yB, yAdd, 15);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(y0 + x + half * 8), _mm_packus_epi16(l0, l0));
      if (secondRow) {
        const __m128i l1 = Dot3(r1, g1, b1, yRG, yB, yAdd, 15);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(y1 + x + half * 8), _mm_packus_epi16(l1, l1));
      }
      // Vertical then horizontal pair sums: four chroma sums of at most 1020.
      sum[0][half] = _mm_madd_epi16(_mm_add_epi16(b0, b1), ones);
      sum[1][half] = _mm_madd_epi16(_mm_add_epi16(g0, g1), ones);
      sum[2][half] = _mm_madd_epi16(_mm_add_epi16(r0, r1), ones);
    }
    const __m128i bs = _mm_packs_epi32(sum[0][0], sum[0][1]);
    const __m128i gs = _mm_packs_epi32(sum[1][0], sum[1][1]);
    const __m128i rs = _mm_packs_epi32(sum[2][0], sum[2][1]);
    const __m128i cu = Dot3(rs, gs, bs, uRG, uB, cAdd, 17);
    const __m128i cv = Dot3(rs, gs, bs, vRG, vB, cAdd, 17);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(u + x / 2), _mm_packus_epi16(cu, cu));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(v + x / 2), _mm_packus_epi16(cv, cv));
  }
  return x;
}

#endif

}  // namespace

bool ConvertRgbToYuv420(int width, int height, const BYTE* src, ptrdiff_t srcPitch, int bitsPerPixel, BYTE* dstY,
                        ptrdiff_t yPitch, BYTE* dstU, ptrdiff_t uPitch, BYTE* dstV, ptrdiff_t vPitch,
                        bool fullRange) {
  if (width <= 0 || height <= 0 || !src || !dstY || !dstU || !dstV) return false;
  if (bitsPerPixel != 24 && bitsPerPixel != 32) return false;
  const Matrix& m = fullRange ? kFull : kStudio;
  const int bpp = bitsPerPixel / 8;
#if defined(__SSE2__)
  const bool vector = (g_cpu.m_features & CCpuFeatures::SSE2) != 0;
#endif
  for (int row = 0; row < height; row += 2) {
    const bool second = row + 1 < height;
    const BYTE* row0 = src + row * srcPitch;
    const BYTE* row1 = second ? row0 + srcPitch : row0;
    BYTE* y0 = dstY + row * yPitch;
    BYTE* y1 = second ? y0 + yPitch : y0;
    BYTE* u = dstU + (row / 2) * uPitch;
    BYTE* v = dstV + (row / 2) * vPitch;
    int done = 0;
#if defined(__SSE2__)
    if (vector)
      done = bpp == 4 ? RowPairSse2<4>(m, width, row0, row1, y0, y1, u, v, second)
                      : RowPairSse2<3>(m, width, row0, row1, y0, y1, u, v, second);
#endif
    RowPairPlain(m, bpp, done, width, row0, row1, y0, y1, u, v, second);
  }
  return true;
}
