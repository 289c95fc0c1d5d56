#include "decoders/mpeg2video/Mpeg2Dsp.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "foundation/CpuFeatures.h"

// The transform is the separable Chen-Wang factorisation in 32-bit integers
// with the constants Wk = 2048 * sqrt(2) * cos(k * pi / 16). The row pass keeps
// three fraction bits and saturates to 16 bits (only absurd blocks reach the
// limit); the column pass rounds to whole pixels. Both cross terms of the odd
// half use a rounded shift before the multiplication by 181 (256 / sqrt(2)) so
// that no product can overflow even for saturated coefficients. The SSE2 form
// evaluates exactly these expressions, so both give the same bits.
namespace {

constexpr int W1 = 2841;
constexpr int W2 = 2676;
constexpr int W3 = 2408;
constexpr int W5 = 1609;
constexpr int W6 = 1108;
constexpr int W7 = 565;

inline int32_t Sat16(int32_t v) { return std::clamp<int32_t>(v, -32768, 32767); }
inline uint8_t Clip8(int32_t v) { return static_cast<uint8_t>(std::clamp<int32_t>(v, 0, 255)); }

// One 8-point pass over in[0..7] (stride step) with the even-part bias and
// the final shift of the pass.
template <int Bias, int Shift>
inline void Idct8(const int32_t* x, int32_t* y) {
  const int32_t e0 = 2048 * (x[0] + x[4]) + Bias;
  const int32_t e1 = 2048 * (x[0] - x[4]) + Bias;
  const int32_t o0 = W2 * x[2] + W6 * x[6];
  const int32_t o1 = W6 * x[2] - W2 * x[6];
  const int32_t a0 = e0 + o0, a3 = e0 - o0, a1 = e1 + o1, a2 = e1 - o1;
  const int32_t t0 = W1 * x[1] + W7 * x[7];
  const int32_t t1 = W7 * x[1] - W1 * x[7];
  const int32_t t2 = W3 * x[3] + W5 * x[5];
  const int32_t t3 = W3 * x[5] - W5 * x[3];
  const int32_t b0 = t0 + t2, b3 = t1 + t3;
  const int32_t d0 = t0 - t2, d1 = t1 - t3;
  const int32_t b1 = ((d0 + d1 + 128) >> 8) * 181;
  const int32_t b2 = ((d0 - d1 + 128) >> 8) * 181;
  y[0] = (a0 + b0) >> Shift;
  y[1] = (a1 + b1) >> Shift;
  y[2] = (a2 + b2) >> Shift;
  y[3] = (a3 + b3) >> Shift;
  y[4] = (a3 - b3) >> Shift;
  y[5] = (a2 - b2) >> Shift;
  y[6] = (a1 - b1) >> Shift;
  y[7] = (a0 - b0) >> Shift;
}

// Rows then columns; out receives the 64 pixel offsets (not yet clipped).
inline void IdctPlain(int16_t* block, int32_t* out) {
  int32_t tmp[64];
  for (int r = 0; r < 8; ++r) {
    const int16_t* in = block + 8 * r;
    int32_t* t = tmp + 8 * r;
    if (!(in[1] | in[2] | in[3] | in[4] | in[5] | in[6] | in[7])) {
      // The general pass gives exactly x0 * 8 here; this only saves time.
      const int32_t dc = Sat16(in[0] * 8);
      for (int i = 0; i < 8; ++i) t[i] = dc;
      continue;
    }
    int32_t x[8], y[8];
    for (int i = 0; i < 8; ++i) x[i] = in[i];
    Idct8<128, 8>(x, y);
    for (int i = 0; i < 8; ++i) t[i] = Sat16(y[i]);
  }
  for (int c = 0; c < 8; ++c) {
    int32_t x[8], y[8];
    for (int i = 0; i < 8; ++i) x[i] = tmp[8 * i + c];
    Idct8<65536, 17>(x, y);
    for (int i = 0; i < 8; ++i) out[8 * i + c] = Sat16(y[i]);
  }
  std::memset(block, 0, 64 * sizeof(int16_t));
}

void IdctCopyPlain(int16_t* block, uint8_t* dst, int stride) {
  int32_t out[64];
  IdctPlain(block, out);
  for (int r = 0; r < 8; ++r, dst += stride)
    for (int c = 0; c < 8; ++c) dst[c] = Clip8(out[8 * r + c]);
}

void IdctAddPlain(int16_t* block, uint8_t* dst, int stride) {
  int32_t out[64];
  IdctPlain(block, out);
  for (int r = 0; r < 8; ++r, dst += stride)
    for (int c = 0; c < 8; ++c) dst[c] = Clip8(dst[c] + out[8 * r + c]);
}

void DcCopyPlain(int value, uint8_t* dst, int stride) {
  const uint8_t v = Clip8(value);
  for (int r = 0; r < 8; ++r, dst += stride) std::memset(dst, v, 8);
}

void DcAddPlain(int value, uint8_t* dst, int stride) {
  for (int r = 0; r < 8; ++r, dst += stride)
    for (int c = 0; c < 8; ++c) dst[c] = Clip8(dst[c] + value);
}

// Motion compensation, plain form.
template <int W, int Half, bool Avg>
void McPlain(uint8_t* dst, const uint8_t* ref, int stride, int height) {
  for (int y = 0; y < height; ++y, dst += stride, ref += stride) {
    for (int x = 0; x < W; ++x) {
      int p;
      switch (Half) {
        case 0: p = ref[x]; break;
        case 1: p = (ref[x] + ref[x + 1] + 1) >> 1; break;
        case 2: p = (ref[x] + ref[x + stride] + 1) >> 1; break;
        default:
          p = (ref[x] + ref[x + 1] + ref[x + stride] + ref[x + stride + 1] + 2) >> 2;
          break;
      }
      dst[x] = static_cast<uint8_t>(Avg ? (dst[x] + p + 1) >> 1 : p);
    }
  }
}

#define PELLOMAR_MC_ROW(fn, w, avg) fn<w, 0, avg>, fn<w, 1, avg>, fn<w, 2, avg>, fn<w, 3, avg>

const CMpeg2Dsp kPlain = {
    IdctCopyPlain,
    IdctAddPlain,
    DcCopyPlain,
    DcAddPlain,
    {PELLOMAR_MC_ROW(McPlain, 16, false), PELLOMAR_MC_ROW(McPlain, 8, false),
     PELLOMAR_MC_ROW(McPlain, 16, true), PELLOMAR_MC_ROW(McPlain, 8, true)},
};

#if defined(__SSE2__)

inline void Transpose8x8(__m128i r[8]) {
  const __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]);
  const __m128i a1 = _mm_unpackhi_epi16(r[0], r[1]);
  const __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]);
  const __m128i a3 = _mm_unpackhi_epi16(r[2], r[3]);
  const __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]);
  const __m128i a5 = _mm_unpackhi_epi16(r[4], r[5]);
  const __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]);
  const __m128i a7 = _mm_unpackhi_epi16(r[6], r[7]);
  const __m128i b0 = _mm_unpacklo_epi32(a0, a2);
  const __m128i b1 = _mm_unpackhi_epi32(a0, a2);
  const __m128i b2 = _mm_unpacklo_epi32(a1, a3);
  const __m128i b3 = _mm_unpackhi_epi32(a1, a3);
  const __m128i b4 = _mm_unpacklo_epi32(a4, a6);
  const __m128i b5 = _mm_unpackhi_epi32(a4, a6);
  const __m128i b6 = _mm_unpacklo_epi32(a5, a7);
  const __m128i b7 = _mm_unpackhi_epi32(a5, a7);
  r[0] = _mm_unpacklo_epi64(b0, b4);
  r[1] = _mm_unpackhi_epi64(b0, b4);
  r[2] = _mm_unpacklo_epi64(b1, b5);
  r[3] = _mm_unpackhi_epi64(b1, b5);
  r[4] = _mm_unpacklo_epi64(b2, b6);
  r[5] = _mm_unpackhi_epi64(b2, b6);
  r[6] = _mm_unpacklo_epi64(b3, b7);
  r[7] = _mm_unpackhi_epi64(b3, b7);
}

inline __m128i Pair(int16_t a, int16_t b) {
  return _mm_set_epi16(b, a, b, a, b, a, b, a);
}

// v * 181 without a 32-bit multiply instruction (SSE2 has none): v split
// into (v & 127) in the low and v >> 7 in the high 16 bits of each lane, then
// one multiply-add by 181 and 181 * 128. Exact while |v| < 2^22, and the
// values here stay below 2^21 even for saturated coefficients.
inline __m128i Mul181(__m128i v) {
  const __m128i split = _mm_or_si128(_mm_and_si128(v, _mm_set1_epi32(127)),
                                     _mm_slli_epi32(_mm_srai_epi32(v, 7), 16));
  return _mm_madd_epi16(split, Pair(181, 181 * 128));
}

// Idct8 on four lanes at once; x[k] interleaved by Lo/Hi of 16-bit vectors.
template <int Bias, int Shift>
inline void Idct8Lanes(const __m128i x[8], bool hi, __m128i y[8]) {
  auto il = [hi](__m128i a, __m128i b) {
    return hi ? _mm_unpackhi_epi16(a, b) : _mm_unpacklo_epi16(a, b);
  };
  const __m128i bias = _mm_set1_epi32(Bias);
  const __m128i x04 = il(x[0], x[4]);
  const __m128i x26 = il(x[2], x[6]);
  const __m128i x17 = il(x[1], x[7]);
  const __m128i x35 = il(x[3], x[5]);
  const __m128i e0 = _mm_add_epi32(_mm_madd_epi16(x04, Pair(2048, 2048)), bias);
  const __m128i e1 = _mm_add_epi32(_mm_madd_epi16(x04, Pair(2048, -2048)), bias);
  const __m128i o0 = _mm_madd_epi16(x26, Pair(W2, W6));
  const __m128i o1 = _mm_madd_epi16(x26, Pair(W6, -W2));
  const __m128i a0 = _mm_add_epi32(e0, o0), a3 = _mm_sub_epi32(e0, o0);
  const __m128i a1 = _mm_add_epi32(e1, o1), a2 = _mm_sub_epi32(e1, o1);
  const __m128i t0 = _mm_madd_epi16(x17, Pair(W1, W7));
  const __m128i t1 = _mm_madd_epi16(x17, Pair(W7, -W1));
  const __m128i t2 = _mm_madd_epi16(x35, Pair(W3, W5));
  const __m128i t3 = _mm_madd_epi16(x35, Pair(-W5, W3));
  const __m128i b0 = _mm_add_epi32(t0, t2), b3 = _mm_add_epi32(t1, t3);
  const __m128i d0 = _mm_sub_epi32(t0, t2), d1 = _mm_sub_epi32(t1, t3);
  const __m128i r128 = _mm_set1_epi32(128);
  const __m128i b1 = Mul181(_mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(d0, d1), r128), 8));
  const __m128i b2 = Mul181(_mm_srai_epi32(_mm_add_epi32(_mm_sub_epi32(d0, d1), r128), 8));
  y[0] = _mm_srai_epi32(_mm_add_epi32(a0, b0), Shift);
  y[1] = _mm_srai_epi32(_mm_add_epi32(a1, b1), Shift);
  y[2] = _mm_srai_epi32(_mm_add_epi32(a2, b2), Shift);
  y[3] = _mm_srai_epi32(_mm_add_epi32(a3, b3), Shift);
  y[4] = _mm_srai_epi32(_mm_sub_epi32(a3, b3), Shift);
  y[5] = _mm_srai_epi32(_mm_sub_epi32(a2, b2), Shift);
  y[6] = _mm_srai_epi32(_mm_sub_epi32(a1, b1), Shift);
  y[7] = _mm_srai_epi32(_mm_sub_epi32(a0, b0), Shift);
}

// A full pass over eight 16-bit vectors, each holding one frequency index
// for eight independent lines; results saturate to 16 bits.
template <int Bias, int Shift>
inline void Idct8Pass(__m128i v[8]) {
  __m128i lo[8], hi[8];
  Idct8Lanes<Bias, Shift>(v, false, lo);
  Idct8Lanes<Bias, Shift>(v, true, hi);
  for (int i = 0; i < 8; ++i) v[i] = _mm_packs_epi32(lo[i], hi[i]);
}

inline void IdctSse2(int16_t* block, __m128i r[8]) {
  __m128i* b = reinterpret_cast<__m128i*>(block);
  for (int i = 0; i < 8; ++i) r[i] = _mm_load_si128(b + i);
  // Rows: transposed so that each vector carries one coefficient index.
  Transpose8x8(r);
  Idct8Pass<128, 8>(r);
  // Back to rows of the intermediate; columns are then lane-parallel.
  Transpose8x8(r);
  Idct8Pass<65536, 17>(r);
  const __m128i z = _mm_setzero_si128();
  for (int i = 0; i < 8; ++i) _mm_store_si128(b + i, z);
}

void IdctCopySse2(int16_t* block, uint8_t* dst, int stride) {
  __m128i r[8];
  IdctSse2(block, r);
  for (int i = 0; i < 8; i += 2) {
    const __m128i p = _mm_packus_epi16(r[i], r[i + 1]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + i * stride), p);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + (i + 1) * stride), _mm_srli_si128(p, 8));
  }
}

void IdctAddSse2(int16_t* block, uint8_t* dst, int stride) {
  __m128i r[8];
  IdctSse2(block, r);
  const __m128i z = _mm_setzero_si128();
  for (int i = 0; i < 8; ++i) {
    __m128i* d = reinterpret_cast<__m128i*>(dst + i * stride);
    const __m128i p = _mm_unpacklo_epi8(_mm_loadl_epi64(d), z);
    _mm_storel_epi64(d, _mm_packus_epi16(_mm_adds_epi16(p, r[i]), z));
  }
}

void DcCopySse2(int value, uint8_t* dst, int stride) {
  const __m128i v = _mm_set1_epi8(static_cast<char>(Clip8(value)));
  for (int r = 0; r < 8; ++r, dst += stride) _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), v);
}

// Saturating byte add and subtract; |value| above 255 saturates the same way.
void DcAddSse2(int value, uint8_t* dst, int stride) {
  const __m128i up = _mm_set1_epi8(static_cast<char>(std::clamp(value, 0, 255)));
  const __m128i down = _mm_set1_epi8(static_cast<char>(std::clamp(-value, 0, 255)));
  for (int r = 0; r < 8; ++r, dst += stride) {
    __m128i* d = reinterpret_cast<__m128i*>(dst);
    _mm_storel_epi64(d, _mm_subs_epu8(_mm_adds_epu8(_mm_loadl_epi64(d), up), down));
  }
}

template <int W>
inline __m128i Load(const uint8_t* p) {
  if constexpr (W == 16)
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  else
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}

template <int W>
inline void Store(uint8_t* p, __m128i v) {
  if constexpr (W == 16)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
  else
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
}

template <int W, int Half, bool Avg>
void McSse2(uint8_t* dst, const uint8_t* ref, int stride, int height) {
  const __m128i z = _mm_setzero_si128();
  const __m128i two = _mm_set1_epi16(2);
  for (int y = 0; y < height; ++y, dst += stride, ref += stride) {
    __m128i p;
    if constexpr (Half == 0) {
      p = Load<W>(ref);
    } else if constexpr (Half == 1) {
      p = _mm_avg_epu8(Load<W>(ref), Load<W>(ref + 1));
    } else if constexpr (Half == 2) {
      p = _mm_avg_epu8(Load<W>(ref), Load<W>(ref + stride));
    } else {
      // Exact (a + b + c + d + 2) >> 2 in 16-bit lanes; byte averages would
      // round twice.
      const __m128i a = Load<W>(ref), b = Load<W>(ref + 1);
      const __m128i c = Load<W>(ref + stride), d = Load<W>(ref + stride + 1);
      __m128i lo = _mm_add_epi16(_mm_add_epi16(_mm_unpacklo_epi8(a, z), _mm_unpacklo_epi8(b, z)),
                                 _mm_add_epi16(_mm_unpacklo_epi8(c, z), _mm_unpacklo_epi8(d, z)));
      lo = _mm_srli_epi16(_mm_add_epi16(lo, two), 2);
      __m128i hi = z;
      if constexpr (W == 16) {
        hi = _mm_add_epi16(_mm_add_epi16(_mm_unpackhi_epi8(a, z), _mm_unpackhi_epi8(b, z)),
                           _mm_add_epi16(_mm_unpackhi_epi8(c, z), _mm_unpackhi_epi8(d, z)));
        hi = _mm_srli_epi16(_mm_add_epi16(hi, two), 2);
      }
      p = _mm_packus_epi16(lo, hi);
    }
    if constexpr (Avg) p = _mm_avg_epu8(p, Load<W>(dst));
    Store<W>(dst, p);
  }
}

const CMpeg2Dsp kSse2 = {
    IdctCopySse2,
    IdctAddSse2,
    DcCopySse2,
    DcAddSse2,
    {PELLOMAR_MC_ROW(McSse2, 16, false), PELLOMAR_MC_ROW(McSse2, 8, false),
     PELLOMAR_MC_ROW(McSse2, 16, true), PELLOMAR_MC_ROW(McSse2, 8, true)},
};

#endif

}  // namespace

const CMpeg2Dsp& CMpeg2Dsp::Plain() { return kPlain; }

const CMpeg2Dsp* CMpeg2Dsp::Sse2() {
#if defined(__SSE2__)
  return &kSse2;
#else
  return nullptr;
#endif
}

const CMpeg2Dsp& CMpeg2Dsp::ForFeatures(uint32_t features) {
  if ((features & CCpuFeatures::SSE2) && Sse2()) return *Sse2();
  return kPlain;
}
