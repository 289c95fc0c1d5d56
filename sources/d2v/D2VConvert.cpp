#include "sources/d2v/D2VConvert.h"

#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// An output chroma row as a weighted blend of two input rows:
// (wa * a + wb * b + round) >> shift; a shift of 0 copies row a.
struct Blend {
  int a, b;
  int wa, wb, shift;
};

Blend ChromaBlend(int rows, int row, bool progressive) {
  if (progressive) {
    const int i = row >> 1;
    if (!(row & 1)) return i == 0 ? Blend{0, 0, 1, 0, 0} : Blend{i, i - 1, 3, 1, 2};
    return i == rows - 1 ? Blend{i, i, 1, 0, 0} : Blend{i, i + 1, 3, 1, 2};
  }
  // Fields apart: input rows 2k, 2k+1 give output rows 4k to 4k+3.
  const int k = row >> 2, last = rows / 2 - 1;
  switch (row & 3) {
    case 0: return k == 0 ? Blend{0, 0, 1, 0, 0} : Blend{2 * k, 2 * k - 2, 7, 1, 3};
    case 1: return k == 0 ? Blend{0, 1, 3, 5, 3} : Blend{2 * k - 1, 2 * k + 1, 3, 5, 3};
    case 2: return k == last ? Blend{2 * k, 2 * k, 1, 0, 0} : Blend{2 * k, 2 * k + 2, 5, 3, 3};
    default: return k == last ? Blend{2 * k, 2 * k + 1, 1, 7, 3} : Blend{2 * k + 1, 2 * k + 3, 7, 1, 3};
  }
}

void BlendRow(const uint8_t* a, const uint8_t* b, const Blend& w, int count, uint8_t* out) {
  if (w.shift == 0) {
    std::memcpy(out, a, static_cast<size_t>(count));
    return;
  }
  const int round = 1 << (w.shift - 1);
  int x = 0;
#if defined(__SSE2__)
  // The same sums in 16-bit lanes: at most 8 * 255 + 4.
  const __m128i z = _mm_setzero_si128();
  const __m128i wa = _mm_set1_epi16(static_cast<int16_t>(w.wa)), wb = _mm_set1_epi16(static_cast<int16_t>(w.wb));
  const __m128i r = _mm_set1_epi16(static_cast<int16_t>(round));
  const __m128i shift = _mm_cvtsi32_si128(w.shift);
  for (; x + 16 <= count; x += 16) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + x));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x));
    auto half = [&](__m128i pa, __m128i pb) {
      const __m128i sum = _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(pa, wa), _mm_mullo_epi16(pb, wb)), r);
      return _mm_srl_epi16(sum, shift);
    };
    const __m128i lo = half(_mm_unpacklo_epi8(va, z), _mm_unpacklo_epi8(vb, z));
    const __m128i hi = half(_mm_unpackhi_epi8(va, z), _mm_unpackhi_epi8(vb, z));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(lo, hi));
  }
#endif
  for (; x < count; ++x) out[x] = static_cast<uint8_t>((w.wa * a[x] + w.wb * b[x] + round) >> w.shift);
}

// Y0 U Y1 V for each pair of pixels.
void PackRow(const uint8_t* y, const uint8_t* u, const uint8_t* v, int pairs, uint8_t* out) {
  int p = 0;
#if defined(__SSE2__)
  for (; p + 8 <= pairs; p += 8) {
    const __m128i yy = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 2 * p));
    const __m128i uv = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + p)),
                                         _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + p)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * p), _mm_unpacklo_epi8(yy, uv));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * p + 16), _mm_unpackhi_epi8(yy, uv));
  }
#endif
  for (; p < pairs; ++p) {
    out[4 * p] = y[2 * p];
    out[4 * p + 1] = u[p];
    out[4 * p + 2] = y[2 * p + 1];
    out[4 * p + 3] = v[p];
  }
}

// 4:4:4 chroma to the 4:2:2 of YUY2: MPEG places 4:2:2 chroma on the
// first luma column of each pair, so each kept sample takes its neighbours
// as (1, 2, 1) / 4; at column 0 the missing left neighbour repeats the
// sample. `c` points at the full-width row at column `x0`.
void HalveRow(const uint8_t* c, int x0, int pairs, uint8_t* out) {
  if (pairs <= 0) return;
  out[0] = static_cast<uint8_t>(((x0 ? c[-1] : c[0]) + 2 * c[0] + c[1] + 2) >> 2);
  int p = 1;
#if defined(__SSE2__)
  const __m128i low = _mm_set1_epi16(0xFF), two = _mm_set1_epi16(2);
  for (; p + 8 <= pairs; p += 8) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 2 * p));
    const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 2 * p - 2));
    const __m128i even = _mm_and_si128(here, low);
    const __m128i sum = _mm_add_epi16(_mm_add_epi16(_mm_srli_epi16(before, 8), _mm_srli_epi16(here, 8)),
                                      _mm_add_epi16(_mm_add_epi16(even, even), two));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + p), _mm_packus_epi16(_mm_srli_epi16(sum, 2), sum));
  }
#endif
  for (; p < pairs; ++p) out[p] = static_cast<uint8_t>((c[2 * p - 1] + 2 * c[2 * p] + c[2 * p + 1] + 2) >> 2);
}

}  // namespace

void D2VChromaRow(const uint8_t* plane, ptrdiff_t stride, int rows, int row, bool progressive, int x0, int count,
                  uint8_t* out) {
  const Blend w = ChromaBlend(rows, row, progressive);
  BlendRow(plane + w.a * stride + x0, plane + w.b * stride + x0, w, count, out);
}

void D2VToYuy2(const D2VPicturePlanes& in, bool progressive, const D2VOutputFormat& fmt, uint8_t* dst,
               ptrdiff_t pitch) {
  const int pairs = fmt.width / 2;
  const bool full = in.chromaFormat == 3;
  const int cx = full ? fmt.left : fmt.left / 2;
  const int chromaRows = in.chromaFormat == 1 ? in.height / 2 : in.height;
  const ptrdiff_t cstride = full ? in.width : in.width / 2;
  // One row of each component, kept per thread so that converting a
  // picture allocates nothing.
  thread_local std::vector<uint8_t> rowBuffer;
  rowBuffer.resize(static_cast<size_t>(fmt.width) + 2 * static_cast<size_t>(pairs) + 16);
  uint8_t* lum = rowBuffer.data();
  uint8_t* cu = lum + fmt.width;
  uint8_t* cv = cu + pairs;
  for (int r = 0; r < fmt.height; ++r, dst += pitch) {
    const int row = fmt.top + r;
    const uint8_t* y = in.y + static_cast<ptrdiff_t>(row) * in.width + fmt.left;
    if (fmt.lumFilter) {
      for (int x = 0; x < fmt.width; ++x)
        lum[x] = static_cast<uint8_t>(std::clamp(((y[x] * fmt.lumGain + 64) >> 7) + fmt.lumOffset, 0, 255));
      y = lum;
    }
    const uint8_t* u = in.u + row * cstride + cx;
    const uint8_t* v = in.v + row * cstride + cx;
    if (in.chromaFormat == 1) {
      const Blend w = ChromaBlend(chromaRows, row, progressive);
      BlendRow(in.u + w.a * cstride + cx, in.u + w.b * cstride + cx, w, pairs, cu);
      BlendRow(in.v + w.a * cstride + cx, in.v + w.b * cstride + cx, w, pairs, cv);
      u = cu;
      v = cv;
    } else if (full) {
      HalveRow(u, cx, pairs, cu);
      HalveRow(v, cx, pairs, cv);
      u = cu;
      v = cv;
    }
    PackRow(y, u, v, pairs, dst);
  }
}

void D2VCopyField(uint8_t* dst, ptrdiff_t dstPitch, const uint8_t* src, ptrdiff_t srcPitch, size_t rowBytes,
                  int rows, int parity) {
  for (int r = parity; r < rows; r += 2) std::memcpy(dst + r * dstPitch, src + r * srcPitch, rowBytes);
}

void D2VCopyRows(uint8_t* dst, ptrdiff_t dstPitch, const uint8_t* src, ptrdiff_t srcPitch, size_t rowBytes,
                 int rows) {
  if (dstPitch == srcPitch && static_cast<size_t>(dstPitch) == rowBytes) {
    std::memcpy(dst, src, rowBytes * static_cast<size_t>(rows));
    return;
  }
  for (int r = 0; r < rows; ++r) std::memcpy(dst + r * dstPitch, src + r * srcPitch, rowBytes);
}
