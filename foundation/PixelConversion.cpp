#include "foundation/PixelConversion.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/CpuFeatures.h"
#include "platform/dshow/MediaType.h"

#if defined(__x86_64__)
#include <emmintrin.h>
#define PELLOMAR_SSE2 1
#endif

namespace pixel_detail {

namespace {
int16_t RoundTerm(float coefficient, int k) {
  // The coefficient is held in single precision; the product is rounded to
  // the nearest integer, halves upwards.
  return static_cast<int16_t>(std::floor(static_cast<double>(coefficient) * k + 0.5));
}

YuvRgbTables MakeTables() {
  YuvRgbTables t{};
  for (int i = 0; i < 256; ++i) {
    t.y[i] = RoundTerm(1.164f, i - 16);
    t.bu[i] = RoundTerm(2.018f, i - 128);
    t.gu[i] = RoundTerm(-0.391f, i - 128);
    t.gv[i] = RoundTerm(-0.813f, i - 128);
    t.rv[i] = RoundTerm(1.596f, i - 128);
  }
  for (int i = 0; i < 1280; ++i) t.clamp[i] = static_cast<uint8_t>(std::clamp(i - 512, 0, 255));
  return t;
}
}  // namespace

const YuvRgbTables& Tables() {
  static const YuvRgbTables tables = MakeTables();
  return tables;
}

}  // namespace pixel_detail

namespace {

using pixel_detail::Tables;
using pixel_detail::YuvRgbTables;

inline bool HasSse2() { return (g_cpu.m_features & CCpuFeatures::SSE2) != 0; }

inline bool Aligned16(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 15) == 0; }

// ---------------------------------------------------------------------------
// 4:2:0 to RGB

// Converts pixels [x0, x1) of two luma rows sharing one chroma row.
void Yuv420ToRgbPairPlain(int x0, int x1, int bpp, BYTE* d0, BYTE* d1, const BYTE* y0, const BYTE* y1,
                          const BYTE* u, const BYTE* v) {
  const YuvRgbTables& t = Tables();
  const uint8_t* clamp = t.clamp + 512;
  for (int x = x0; x < x1; ++x) {
    const int cu = u[x >> 1], cv = v[x >> 1];
    const int bt = t.bu[cu], gt = t.gu[cu] + t.gv[cv], rt = t.rv[cv];
    const BYTE* ys[2] = {y0, y1};
    BYTE* ds[2] = {d0, d1};
    for (int r = 0; r < 2; ++r) {
      const int yt = t.y[ys[r][x]];
      const uint8_t b = clamp[yt + bt], g = clamp[yt + gt], rr = clamp[yt + rt];
      if (bpp == 32) {
        BYTE* p = ds[r] + x * 4;
        p[0] = b;
        p[1] = g;
        p[2] = rr;
        p[3] = 255;
      } else if (bpp == 24) {
        BYTE* p = ds[r] + x * 3;
        p[0] = b;
        p[1] = g;
        p[2] = rr;
      } else {
        const uint16_t px = static_cast<uint16_t>(((rr >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
        std::memcpy(ds[r] + x * 2, &px, 2);
      }
    }
  }
}

#ifdef PELLOMAR_SSE2
// The plain tables are reproduced exactly by fixed-point products:
// round(c k) == (k M + r) >> s for every k of the table's range, with
// (M, r, s) = (149, 63, 7) for luma, (4133, 1024, 11) blue, (6537, 2048, 12)
// red, (-3203, 4096, 13) and (-1665, 1024, 11) green. _mm_madd_epi16 over
// the pairs (k, 1) x (M, r) gives k M + r in 32 bits without overflow.
template <int S>
inline __m128i FixedTerm(__m128i k16, __m128i mr) {
  const __m128i one = _mm_set1_epi16(1);
  __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(k16, one), mr);
  __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(k16, one), mr);
  return _mm_packs_epi32(_mm_srai_epi32(lo, S), _mm_srai_epi32(hi, S));
}

inline __m128i PairConst(int m, int r) { return _mm_set1_epi32((r << 16) | (m & 0xFFFF)); }

inline void Store16(BYTE* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// Writes 16 pixels given as B, G, R byte vectors.
inline void StoreRgb(BYTE* d, int bpp, __m128i b, __m128i g, __m128i r) {
  if (bpp == 16) {
    const __m128i z = _mm_setzero_si128();
    const __m128i rHi = _mm_set1_epi16(static_cast<short>(0xF800));
    for (int half = 0; half < 2; ++half) {
      __m128i b16 = half ? _mm_unpackhi_epi8(b, z) : _mm_unpacklo_epi8(b, z);
      __m128i g16 = half ? _mm_unpackhi_epi8(g, z) : _mm_unpacklo_epi8(g, z);
      __m128i r16 = half ? _mm_unpackhi_epi8(r, z) : _mm_unpacklo_epi8(r, z);
      __m128i px = _mm_or_si128(_mm_and_si128(_mm_slli_epi16(r16, 8), rHi),
                                _mm_or_si128(_mm_slli_epi16(_mm_srli_epi16(g16, 2), 5), _mm_srli_epi16(b16, 3)));
      Store16(d + half * 16, px);
    }
    return;
  }
  const __m128i ff = _mm_set1_epi8(static_cast<char>(0xFF));
  __m128i bgLo = _mm_unpacklo_epi8(b, g), bgHi = _mm_unpackhi_epi8(b, g);
  __m128i raLo = _mm_unpacklo_epi8(r, ff), raHi = _mm_unpackhi_epi8(r, ff);
  __m128i px[4] = {_mm_unpacklo_epi16(bgLo, raLo), _mm_unpackhi_epi16(bgLo, raLo), _mm_unpacklo_epi16(bgHi, raHi),
                   _mm_unpackhi_epi16(bgHi, raHi)};
  if (bpp == 32) {
    if (Aligned16(d)) {
      for (int i = 0; i < 4; ++i) _mm_stream_si128(reinterpret_cast<__m128i*>(d + 16 * i), px[i]);
    } else {
      for (int i = 0; i < 4; ++i) Store16(d + 16 * i, px[i]);
    }
    return;
  }
  // 24 bits: overlapping 4-byte writes, the last pixel written with 3 bytes
  // so that nothing past the 48 bytes is touched.
  alignas(16) uint32_t tmp[16];
  for (int i = 0; i < 4; ++i) _mm_store_si128(reinterpret_cast<__m128i*>(tmp + 4 * i), px[i]);
  for (int i = 0; i < 15; ++i) std::memcpy(d + 3 * i, &tmp[i], 4);
  std::memcpy(d + 45, &tmp[15], 3);
}

// Converts 16-pixel blocks [0, blocks*16) of a row pair.
void Yuv420ToRgbPairSse2(int blocks, int bpp, BYTE* d0, BYTE* d1, const BYTE* y0, const BYTE* y1, const BYTE* u,
                         const BYTE* v) {
  const __m128i z = _mm_setzero_si128();
  const __m128i c128 = _mm_set1_epi16(128);
  const __m128i c149 = _mm_set1_epi16(149), c111 = _mm_set1_epi16(111), c19 = _mm_set1_epi16(19);
  const __m128i mrB = PairConst(4133, 1024), mrR = PairConst(6537, 2048);
  const __m128i mrGu = PairConst(-3203, 4096), mrGv = PairConst(-1665, 1024);
  const int step = bpp / 8 * 16;
  for (int i = 0; i < blocks; ++i) {
    __m128i ku = _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + 8 * i)), z), c128);
    __m128i kv = _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + 8 * i)), z), c128);
    __m128i bt = FixedTerm<11>(ku, mrB);
    __m128i rt = FixedTerm<12>(kv, mrR);
    __m128i gt = _mm_add_epi16(FixedTerm<13>(ku, mrGu), FixedTerm<11>(kv, mrGv));
    // Each chroma term serves two neighbouring pixels.
    __m128i btL = _mm_unpacklo_epi16(bt, bt), btH = _mm_unpackhi_epi16(bt, bt);
    __m128i gtL = _mm_unpacklo_epi16(gt, gt), gtH = _mm_unpackhi_epi16(gt, gt);
    __m128i rtL = _mm_unpacklo_epi16(rt, rt), rtH = _mm_unpackhi_epi16(rt, rt);
    const BYTE* ys[2] = {y0, y1};
    BYTE* ds[2] = {d0, d1};
    for (int r = 0; r < 2; ++r) {
      __m128i yv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ys[r] + 16 * i));
      // The luma term without widening: 149 Y + 111 stays below 65536, so
      // a logical shift gives floor((149 (Y - 16) + 63) / 128) + 19.
      __m128i ytL = _mm_sub_epi16(
          _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(yv, z), c149), c111), 7), c19);
      __m128i ytH = _mm_sub_epi16(
          _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(yv, z), c149), c111), 7), c19);
      __m128i b = _mm_packus_epi16(_mm_add_epi16(ytL, btL), _mm_add_epi16(ytH, btH));
      __m128i g = _mm_packus_epi16(_mm_add_epi16(ytL, gtL), _mm_add_epi16(ytH, gtH));
      __m128i rr = _mm_packus_epi16(_mm_add_epi16(ytL, rtL), _mm_add_epi16(ytH, rtH));
      StoreRgb(ds[r] + step * i, bpp, b, g, rr);
    }
  }
}
#endif

// ---------------------------------------------------------------------------
// 4:2:0 to YUY2

enum class ChromaMix { Copy, AvgUp, AvgDown };

// Writes one YUY2 row from a luma row and the chroma of rows (ua, va) or
// the average of (ua, va) and (ub, vb). Pixels [x0, width).
void Yuy2RowPlain(int x0, int width, BYTE* d, const BYTE* y, const BYTE* ua, const BYTE* va, const BYTE* ub,
                  const BYTE* vb, ChromaMix mix) {
  for (int x = x0; x < width; x += 2) {
    const int c = x >> 1;
    int u = ua[c], v = va[c];
    if (mix == ChromaMix::AvgUp) {
      u = (u + ub[c] + 1) >> 1;
      v = (v + vb[c] + 1) >> 1;
    } else if (mix == ChromaMix::AvgDown) {
      u = (u + ub[c]) >> 1;
      v = (v + vb[c]) >> 1;
    }
    BYTE* p = d + 2 * x;
    p[0] = y[x];
    p[1] = static_cast<BYTE>(u);
    p[2] = y[x + 1];
    p[3] = static_cast<BYTE>(v);
  }
}

#ifdef PELLOMAR_SSE2
// The same row, 32 pixels per step over [0, blocks*32). Loads are unaligned
// where the caller cannot promise alignment; stores stream when aligned.
void Yuy2RowSse2(int blocks, BYTE* d, const BYTE* y, const BYTE* ua, const BYTE* va, const BYTE* ub, const BYTE* vb,
                 ChromaMix mix) {
  const bool stream = Aligned16(d);
  const __m128i one = _mm_set1_epi8(1);
  for (int i = 0; i < blocks; ++i) {
    __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ua + 16 * i));
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(va + 16 * i));
    if (mix != ChromaMix::Copy) {
      __m128i u2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ub + 16 * i));
      __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(vb + 16 * i));
      if (mix == ChromaMix::AvgUp) {
        u = _mm_avg_epu8(u, u2);
        v = _mm_avg_epu8(v, v2);
      } else {
        // (a + b) >> 1 = avg_up(a, b) - ((a ^ b) & 1)
        u = _mm_sub_epi8(_mm_avg_epu8(u, u2), _mm_and_si128(_mm_xor_si128(u, u2), one));
        v = _mm_sub_epi8(_mm_avg_epu8(v, v2), _mm_and_si128(_mm_xor_si128(v, v2), one));
      }
    }
    __m128i y0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 32 * i));
    __m128i y1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 32 * i + 16));
    __m128i uvLo = _mm_unpacklo_epi8(u, v), uvHi = _mm_unpackhi_epi8(u, v);
    __m128i out[4] = {_mm_unpacklo_epi8(y0, uvLo), _mm_unpackhi_epi8(y0, uvLo), _mm_unpacklo_epi8(y1, uvHi),
                      _mm_unpackhi_epi8(y1, uvHi)};
    BYTE* p = d + 64 * i;
    for (int k = 0; k < 4; ++k) {
      if (stream)
        _mm_stream_si128(reinterpret_cast<__m128i*>(p + 16 * k), out[k]);
      else
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16 * k), out[k]);
    }
  }
}
#endif

struct Yuy2Job {
  int width;
  BYTE* dst;
  int dstPitch;
  const BYTE* y;
  const BYTE* u;
  const BYTE* v;
  int pitch;
  int chromaPitch;
  bool vector;
};

void Yuy2Row(const Yuy2Job& j, int row, int ca, int cb, ChromaMix mix) {
  BYTE* d = j.dst + static_cast<ptrdiff_t>(row) * j.dstPitch;
  const BYTE* y = j.y + static_cast<ptrdiff_t>(row) * j.pitch;
  const BYTE* ua = j.u + static_cast<ptrdiff_t>(ca) * j.chromaPitch;
  const BYTE* va = j.v + static_cast<ptrdiff_t>(ca) * j.chromaPitch;
  const BYTE* ub = j.u + static_cast<ptrdiff_t>(cb) * j.chromaPitch;
  const BYTE* vb = j.v + static_cast<ptrdiff_t>(cb) * j.chromaPitch;
  int done = 0;
#ifdef PELLOMAR_SSE2
  if (j.vector) {
    int blocks = j.width / 32;
    Yuy2RowSse2(blocks, d, y, ua, va, ub, vb, mix);
    done = blocks * 32;
  }
#endif
  Yuy2RowPlain(done, j.width, d, y, ua, va, ub, vb, mix);
}

// ---------------------------------------------------------------------------
// YUY2 to RGB

void Yuy2ToRgbRows(const BYTE* src, BYTE* dst, const BYTE* srcEnd, int srcPitch, int srcRowBytes, int matrix,
                   int dstPitch, int bpp) {
  const int cr = (matrix & 1) ? 14688 : 13075;
  const int cgu = (matrix & 1) ? -1744 : -3209;
  const int cgv = (matrix & 1) ? -4363 : -6660;
  const int cb = (matrix & 1) ? 17307 : 16525;
  const int pairs = srcRowBytes / 4;
  if (pairs <= 0 || srcPitch == 0) return;
  auto sat = [](int x) { return static_cast<BYTE>(std::clamp(x >> 14, 0, 255)); };
  auto put = [&](BYTE* p, int y, int u2, int v2) {
    const int yt = 19077 * (y - 16) + 8192;
    p[0] = sat(yt + cb * u2);
    p[1] = sat(yt + cgu * u2 + cgv * v2);
    p[2] = sat(yt + cr * v2);
    if (bpp == 32) p[3] = 255;
  };
  const int step = bpp / 8;
  // Rows are walked from the last source row to the first.
  const ptrdiff_t rows = (srcEnd - src) / srcPitch;
  for (ptrdiff_t r = rows - 1, out = 0; r >= 0; --r, ++out) {
    const BYTE* s = src + r * srcPitch;
    BYTE* d = dst + out * dstPitch;
    for (int p = 0; p < pairs; ++p) {
      const BYTE* q = s + 4 * p;
      const int u = q[1] - 128, v = q[3] - 128;
      put(d + (2 * p) * step, q[0], 2 * u, 2 * v);
      if (p + 1 < pairs) {
        const int un = q[5] - 128, vn = q[7] - 128;
        put(d + (2 * p + 1) * step, q[2], u + un, v + vn);
      } else {
        put(d + (2 * p + 1) * step, q[2], 2 * u, 2 * v);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Deinterlacing

void BlendRowPlain(BYTE* d, const BYTE* a, const BYTE* b, const BYTE* c, size_t from, size_t n) {
  for (size_t i = from; i < n; ++i) d[i] = static_cast<BYTE>((a[i] + 2 * b[i] + c[i] + 2) >> 2);
}

void AverageRowPlain(BYTE* d, const BYTE* a, const BYTE* b, size_t from, size_t n) {
  for (size_t i = from; i < n; ++i) d[i] = static_cast<BYTE>((a[i] + b[i] + 1) >> 1);
}

size_t BlendRowVector(BYTE* d, const BYTE* a, const BYTE* b, const BYTE* c, size_t n) {
#ifdef PELLOMAR_SSE2
  if (!HasSse2()) return 0;
  const __m128i z = _mm_setzero_si128(), two = _mm_set1_epi16(2);
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    __m128i vc = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + i));
    __m128i lo = _mm_add_epi16(_mm_add_epi16(_mm_unpacklo_epi8(va, z), _mm_unpacklo_epi8(vc, z)),
                               _mm_add_epi16(_mm_slli_epi16(_mm_unpacklo_epi8(vb, z), 1), two));
    __m128i hi = _mm_add_epi16(_mm_add_epi16(_mm_unpackhi_epi8(va, z), _mm_unpackhi_epi8(vc, z)),
                               _mm_add_epi16(_mm_slli_epi16(_mm_unpackhi_epi8(vb, z), 1), two));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i),
                     _mm_packus_epi16(_mm_srli_epi16(lo, 2), _mm_srli_epi16(hi, 2)));
  }
  return i;
#else
  (void)d, (void)a, (void)b, (void)c, (void)n;
  return 0;
#endif
}

size_t AverageRowVector(BYTE* d, const BYTE* a, const BYTE* b, size_t n) {
#ifdef PELLOMAR_SSE2
  if (!HasSse2()) return 0;
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm_avg_epu8(va, vb));
  }
  return i;
#else
  (void)d, (void)a, (void)b, (void)n;
  return 0;
#endif
}

void FenceIfStreamed() {
#ifdef PELLOMAR_SSE2
  if (HasSse2()) _mm_sfence();
#endif
}

}  // namespace

// ---------------------------------------------------------------------------

bool CopyYuv420Planar(int width, int height, BYTE* dstY, BYTE* dstU, BYTE* dstV, int dstPitch, const BYTE* srcY,
                      const BYTE* srcU, const BYTE* srcV, int srcPitch) {
  if (width & 1) return false;
  if (height <= 0) return true;
  const int chromaRows = (height + 1) / 2;
  if (width >= 1 && width == dstPitch && width == srcPitch) {
    FastMemCopy(dstY, srcY, static_cast<size_t>(height) * width);
    const size_t chroma = static_cast<size_t>(chromaRows) * (width / 2);
    FastMemCopy(dstU, srcU, chroma);
    FastMemCopy(dstV, srcV, chroma);
    return true;
  }
  const size_t rowY = static_cast<size_t>(std::min(std::abs(dstPitch), std::abs(srcPitch)));
  for (int r = 0; r < height; ++r)
    std::memcpy(dstY + static_cast<ptrdiff_t>(r) * dstPitch, srcY + static_cast<ptrdiff_t>(r) * srcPitch, rowY);
  const int dHalf = dstPitch / 2, sHalf = srcPitch / 2;
  const size_t rowC = static_cast<size_t>(std::min(std::abs(dHalf), std::abs(sHalf)));
  for (int r = 0; r < chromaRows; ++r) {
    std::memcpy(dstU + static_cast<ptrdiff_t>(r) * dHalf, srcU + static_cast<ptrdiff_t>(r) * sHalf, rowC);
    std::memcpy(dstV + static_cast<ptrdiff_t>(r) * dHalf, srcV + static_cast<ptrdiff_t>(r) * sHalf, rowC);
  }
  return true;
}

bool CopyPackedRows(int rowBytes, int height, BYTE* dst, int dstPitch, const BYTE* src, int srcPitch) {
  if (height <= 0) return true;
  if (rowBytes >= 1 && rowBytes == dstPitch && rowBytes == srcPitch) {
    FastMemCopy(dst, src, static_cast<size_t>(height) * rowBytes);
    return true;
  }
  const size_t row = static_cast<size_t>(std::min(std::abs(dstPitch), std::abs(srcPitch)));
  for (int r = 0; r < height; ++r)
    std::memcpy(dst + static_cast<ptrdiff_t>(r) * dstPitch, src + static_cast<ptrdiff_t>(r) * srcPitch, row);
  return true;
}

bool ConvertYuv420ToRgb(int width, int height, BYTE* dst, int dstPitch, int bpp, const BYTE* srcY, const BYTE* srcU,
                        const BYTE* srcV, int srcPitch) {
  if (width < 1 || height < 1 || (width & 1) || (height & 1)) return false;
  if (bpp != 16 && bpp != 24 && bpp != 32) return false;
  const int chromaPitch = srcPitch / 2;
  const int blocks = HasSse2() ? width / 16 : 0;
  for (int r = 0; r < height; r += 2) {
    BYTE* d0 = dst + static_cast<ptrdiff_t>(r) * dstPitch;
    BYTE* d1 = d0 + dstPitch;
    const BYTE* y0 = srcY + static_cast<ptrdiff_t>(r) * srcPitch;
    const BYTE* y1 = y0 + srcPitch;
    const BYTE* u = srcU + static_cast<ptrdiff_t>(r / 2) * chromaPitch;
    const BYTE* v = srcV + static_cast<ptrdiff_t>(r / 2) * chromaPitch;
    int done = 0;
#ifdef PELLOMAR_SSE2
    if (blocks) {
      Yuv420ToRgbPairSse2(blocks, bpp, d0, d1, y0, y1, u, v);
      done = blocks * 16;
    }
#endif
    Yuv420ToRgbPairPlain(done, width, bpp, d0, d1, y0, y1, u, v);
  }
  FenceIfStreamed();
  return true;
}

bool ConvertYuv420ToYuy2(int width, int height, BYTE* dst, int dstPitch, const BYTE* srcY, const BYTE* srcU,
                         const BYTE* srcV, int srcPitch, bool interlaced) {
  if (width < 1 || height < 1 || (width & 1) || (height & 1)) return false;
  if (srcPitch == 0) srcPitch = width;
  const int chromaRows = height / 2;
  Yuy2Job job{width, dst, dstPitch, srcY, srcU, srcV, srcPitch, srcPitch / 2, HasSse2()};

  const bool wholeImage = HasSse2() && Aligned16(dst) && Aligned16(srcY) && Aligned16(srcU) && Aligned16(srcV) &&
                          dstPitch % 16 == 0 && srcPitch % 16 == 0;
  if (wholeImage && interlaced) {
    // Fields are interleaved: even rows take the even chroma rows, odd rows
    // the odd ones, each field interpolated within itself.
    int row = 0, c = 0;
    for (; height - row > 4; row += 4, c += 2) {
      Yuy2Row(job, row, c, c, ChromaMix::Copy);
      Yuy2Row(job, row + 1, c + 1, c + 1, ChromaMix::Copy);
      // With a height of 4n + 2 the last full group has no chroma rows
      // c + 2 and c + 3; those rows then keep their own field's chroma.
      if (c + 2 < chromaRows)
        Yuy2Row(job, row + 2, c, c + 2, ChromaMix::AvgUp);
      else
        Yuy2Row(job, row + 2, c, c, ChromaMix::Copy);
      if (c + 3 < chromaRows)
        Yuy2Row(job, row + 3, c + 1, c + 3, ChromaMix::AvgUp);
      else
        Yuy2Row(job, row + 3, c + 1, c + 1, ChromaMix::Copy);
    }
    // The last group: never past the image or its chroma rows.
    for (int k = 0; row + k < height; ++k) {
      int cr = c + (k & 1);
      if (cr >= chromaRows) cr = c;
      Yuy2Row(job, row + k, cr, cr, ChromaMix::Copy);
    }
  } else {
    const ChromaMix mix = wholeImage ? ChromaMix::AvgUp : ChromaMix::AvgDown;
    int c = 0;
    for (int row = 0; row < height; row += 2, ++c) {
      Yuy2Row(job, row, c, c, ChromaMix::Copy);
      if (height - row > 2)
        Yuy2Row(job, row + 1, c, c + 1, mix);
      else
        Yuy2Row(job, row + 1, c, c, ChromaMix::Copy);
    }
  }
  FenceIfStreamed();
  return true;
}

bool ConvertRgbToRgb(int width, int height, BYTE* dst, int dstPitch, int dstBits, const BYTE* src, int srcPitch,
                     int srcBits) {
  if (height < 1) return true;
  if (width < 0) return false;
  if (dstBits == srcBits) {
    if (srcBits <= 0 || srcBits % 8) return false;
    const int rowBytes = width * srcBits / 8;
    if (rowBytes > 0 && rowBytes == dstPitch && rowBytes == srcPitch) {
      FastMemCopy(dst, src, static_cast<size_t>(rowBytes) * height);
      return true;
    }
    for (int r = 0; r < height; ++r)
      std::memcpy(dst + static_cast<ptrdiff_t>(r) * dstPitch, src + static_cast<ptrdiff_t>(r) * srcPitch,
                  static_cast<size_t>(rowBytes));
    return true;
  }
  if (srcBits != 16 && srcBits != 24 && srcBits != 32) return false;
  if (dstBits != 16 && dstBits != 24 && dstBits != 32) return false;
  const int sStep = srcBits / 8, dStep = dstBits / 8;
  for (int r = 0; r < height; ++r) {
    const BYTE* s = src + static_cast<ptrdiff_t>(r) * srcPitch;
    BYTE* d = dst + static_cast<ptrdiff_t>(r) * dstPitch;
    for (int x = 0; x < width; ++x, s += sStep, d += dStep) {
      BYTE b, g, rr;
      if (srcBits == 16) {
        const unsigned p = s[0] | (s[1] << 8);
        b = static_cast<BYTE>((p & 0x1F) << 3);
        g = static_cast<BYTE>(((p >> 5) & 0x3F) << 2);
        rr = static_cast<BYTE>(((p >> 11) & 0x1F) << 3);
      } else {
        b = s[0];
        g = s[1];
        rr = s[2];
      }
      if (dstBits == 16) {
        const uint32_t p = b | (g << 8) | (static_cast<uint32_t>(rr) << 16);
        const uint16_t o = static_cast<uint16_t>(((p >> 8) & 0xF800) | ((p >> 5) & 0x07E0) | ((p >> 3) & 0x001F));
        std::memcpy(d, &o, 2);
      } else {
        d[0] = b;
        d[1] = g;
        d[2] = rr;
        if (dstBits == 32) d[3] = 0;
      }
    }
  }
  return true;
}

void Yuy2ToRgb24Rows(const BYTE* src, BYTE* dst, const BYTE* srcEnd, int srcPitch, int srcRowBytes, int matrix,
                     int dstPitch) {
  Yuy2ToRgbRows(src, dst, srcEnd, srcPitch, srcRowBytes, matrix, dstPitch, 24);
}

void Yuy2ToRgb32Rows(const BYTE* src, BYTE* dst, const BYTE* srcEnd, int srcPitch, int srcRowBytes, int matrix,
                     int dstPitch) {
  Yuy2ToRgbRows(src, dst, srcEnd, srcPitch, srcRowBytes, matrix, dstPitch, 32);
}

bool ConvertYuy2ToRgb(int width, int height, BYTE* dst, int dstPitch, int bits, const BYTE* src, int srcPitch) {
  if (bits != 24 && bits != 32) return false;
  if (width < 2 || height < 1 || srcPitch <= 0) return false;
  // The engines take the row length in bytes: two per pixel.
  const BYTE* end = src + static_cast<ptrdiff_t>(height) * srcPitch;
  if (bits == 24)
    Yuy2ToRgb24Rows(src, dst, end, srcPitch, width * 2, 0, dstPitch);
  else
    Yuy2ToRgb32Rows(src, dst, end, srcPitch, width * 2, 0, dstPitch);
  return true;
}

void BlendDeinterlacePlane(BYTE* dst, const BYTE* src, DWORD rowBytes, DWORD rows, int dstPitch, int srcPitch) {
  if (rows == 0 || rowBytes == 0) return;
  if (rows == 1) {
    std::memcpy(dst, src, rowBytes);
    return;
  }
  auto S = [&](DWORD r) { return src + static_cast<ptrdiff_t>(r) * srcPitch; };
  auto D = [&](DWORD r) { return dst + static_cast<ptrdiff_t>(r) * dstPitch; };
  size_t done = AverageRowVector(D(0), S(0), S(1), rowBytes);
  AverageRowPlain(D(0), S(0), S(1), done, rowBytes);
  for (DWORD r = 1; r + 1 < rows; ++r) {
    done = BlendRowVector(D(r), S(r - 1), S(r), S(r + 1), rowBytes);
    BlendRowPlain(D(r), S(r - 1), S(r), S(r + 1), done, rowBytes);
  }
  done = AverageRowVector(D(rows - 1), S(rows - 2), S(rows - 1), rowBytes);
  AverageRowPlain(D(rows - 1), S(rows - 2), S(rows - 1), done, rowBytes);
}

void InterpolateMissingRows(BYTE* plane, DWORD rows, int pitch) {
  if (rows < 2 || pitch == 0) return;
  const size_t n = static_cast<size_t>(std::abs(pitch));
  auto R = [&](DWORD r) { return plane + static_cast<ptrdiff_t>(r) * pitch; };
  for (DWORD r = 0; r + 2 < rows; r += 2) {
    size_t done = AverageRowVector(R(r + 1), R(r), R(r + 2), n);
    AverageRowPlain(R(r + 1), R(r), R(r + 2), done, n);
  }
  if ((rows & 1) == 0) std::memcpy(R(rows - 1), R(rows - 2), n);
}

void BobDeinterlacePlane(BYTE* dst, const BYTE* src, DWORD rowBytes, DWORD rows, int dstPitch, int srcPitch,
                         bool topField) {
  if (rows == 0 || rowBytes == 0) return;
  const DWORD first = topField ? 0 : 1;
  BYTE* d = dst + static_cast<ptrdiff_t>(first) * dstPitch;
  const BYTE* s = src + static_cast<ptrdiff_t>(first) * srcPitch;
  const DWORD fieldRows = topField ? (rows + 1) / 2 : rows / 2;
  for (DWORD k = 0; k < fieldRows; ++k)
    std::memcpy(d + static_cast<ptrdiff_t>(2 * k) * dstPitch, s + static_cast<ptrdiff_t>(2 * k) * srcPitch, rowBytes);
  if (topField) {
    InterpolateMissingRows(dst, rows, dstPitch);
  } else {
    InterpolateMissingRows(d, rows - 1, dstPitch);
    // Row 0 has no source in the bottom field; repeat row 1 rather than
    // leaving stale data at the top of the picture.
    if (rows >= 2) std::memcpy(dst, d, rowBytes);
  }
}

// ---------------------------------------------------------------------------
// Format block completion

namespace {

struct KnownFormat {
  const GUID* subtype;
  DWORD compression;
  WORD bitCount;
  // R, G, B; all zero for the rows without bit fields.
  DWORD masks[3];
};

// The same rows serve both header kinds; the first match wins.
const KnownFormat kKnownFormats[14] = {
    {&MEDIASUBTYPE_YUY2, MAKEFOURCC('Y', 'U', 'Y', '2'), 16, {}},
    {&MEDIASUBTYPE_YV12, MAKEFOURCC('Y', 'V', '1', '2'), 12, {}},
    {&MEDIASUBTYPE_I420, MAKEFOURCC('I', '4', '2', '0'), 12, {}},
    {&MEDIASUBTYPE_IYUV, MAKEFOURCC('I', 'Y', 'U', 'V'), 12, {}},
    {&MEDIASUBTYPE_RGB32, BI_RGB, 32, {}},
    {&MEDIASUBTYPE_RGB32, BI_BITFIELDS, 32, {0x00FF0000, 0x0000FF00, 0x000000FF}},
    {&MEDIASUBTYPE_ARGB32, BI_RGB, 32, {}},
    {&MEDIASUBTYPE_ARGB32, BI_BITFIELDS, 32, {0x00FF0000, 0x0000FF00, 0x000000FF}},
    {&MEDIASUBTYPE_RGB24, BI_RGB, 24, {}},
    {&MEDIASUBTYPE_RGB24, BI_BITFIELDS, 24, {0x00FF0000, 0x0000FF00, 0x000000FF}},
    {&MEDIASUBTYPE_RGB565, BI_RGB, 16, {}},
    {&MEDIASUBTYPE_RGB565, BI_BITFIELDS, 16, {0xF800, 0x07E0, 0x001F}},
    {&MEDIASUBTYPE_RGB555, BI_RGB, 16, {}},
    {&MEDIASUBTYPE_RGB555, BI_BITFIELDS, 16, {0x7C00, 0x03E0, 0x001F}},
};

}  // namespace

void CompleteVideoFormatBlock(CMediaType& mt) {
  size_t headerSize, bmiAt;
  if (mt.formattype == FORMAT_VideoInfo) {
    headerSize = sizeof(VIDEOINFOHEADER);
    bmiAt = offsetof(VIDEOINFOHEADER, bmiHeader);
  } else if (mt.formattype == FORMAT_VideoInfo2) {
    headerSize = sizeof(VIDEOINFOHEADER2);
    bmiAt = offsetof(VIDEOINFOHEADER2, bmiHeader);
  } else {
    return;
  }
  const size_t compressionAt = bmiAt + offsetof(BITMAPINFOHEADER, biCompression);
  if (!mt.pbFormat || mt.cbFormat < compressionAt + sizeof(DWORD)) return;
  DWORD compression;
  std::memcpy(&compression, mt.pbFormat + compressionAt, sizeof(compression));

  for (const KnownFormat& row : kKnownFormats) {
    if (*row.subtype != mt.subtype || row.compression != compression) continue;

    const bool bitFields = row.compression == BI_BITFIELDS;
    std::vector<BYTE> block(headerSize + (bitFields ? sizeof(row.masks) : 0), 0);
    BITMAPINFOHEADER bih{};
    bih.biSize = sizeof(BITMAPINFOHEADER);
    bih.biPlanes = 1;
    bih.biBitCount = row.bitCount;
    bih.biCompression = row.compression;
    std::memcpy(block.data() + bmiAt, &bih, sizeof(bih));
    if (bitFields) std::memcpy(block.data() + headerSize, row.masks, sizeof(row.masks));
    // A block shorter than the header is not read past its end.
    std::memcpy(block.data(), mt.pbFormat, std::min<size_t>(mt.cbFormat, headerSize));

    CMediaType completed(mt);
    if (!completed.SetFormat(block.data(), static_cast<ULONG>(block.size()))) return;
    mt = completed;
    return;
  }
}
