#include "sources/d2v/D2VIdct.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "foundation/CpuFeatures.h"

namespace {

const double kPi = 3.14159265358979323846;

inline uint8_t Clip8(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }
inline int16_t Sat16(int32_t v) { return static_cast<int16_t>(std::clamp<int32_t>(v, -32768, 32767)); }

// --- Variant 4: the 8x8 matrix product in double precision ------------------

struct ReferenceBasis {
  double c[8][8];  // c[u][x] = a(u) cos((x + 0.5) u pi / 8)
  ReferenceBasis() {
    for (int u = 0; u < 8; ++u)
      for (int x = 0; x < 8; ++x)
        c[u][x] = (u == 0 ? std::sqrt(0.125) : 0.5) * std::cos((x + 0.5) * u * kPi / 8.0);
  }
};

// --- Variant 3: single precision, prescaled by 1/8 --------------------------

// sqrt(2) cos(k pi / 16) for k = 1..7 (r[0] = 1), made once.
struct FloatConstants {
  float r[8];
  FloatConstants() {
    r[0] = 1.0f;
    for (int k = 1; k < 8; ++k) r[k] = static_cast<float>(std::sqrt(2.0) * std::cos(k * kPi / 16.0));
  }
};

const FloatConstants& Fc() {
  static const FloatConstants c;
  return c;
}

// One unnormalised 8-point pass: y[n] = x0 + sum sqrt(2) cos(u (2n+1) pi/16) xu,
// as an even half (sums and differences of x0, x4 and the x2, x6 rotation)
// and an odd half.
inline void FloatPass(const float* x, int step, float* y, int ystep) {
  const float* r = Fc().r;
  const float x0 = x[0], x1 = x[step], x2 = x[2 * step], x3 = x[3 * step];
  const float x4 = x[4 * step], x5 = x[5 * step], x6 = x[6 * step], x7 = x[7 * step];
  const float e0 = x0 + x4, e1 = x0 - x4;
  const float t0 = r[2] * x2 + r[6] * x6;
  const float t1 = r[6] * x2 - r[2] * x6;
  const float a0 = e0 + t0, a3 = e0 - t0, a1 = e1 + t1, a2 = e1 - t1;
  const float b0 = r[1] * x1 + r[3] * x3 + r[5] * x5 + r[7] * x7;
  const float b1 = r[3] * x1 - r[7] * x3 - r[1] * x5 - r[5] * x7;
  const float b2 = r[5] * x1 - r[1] * x3 + r[7] * x5 + r[3] * x7;
  const float b3 = r[7] * x1 - r[5] * x3 + r[3] * x5 - r[1] * x7;
  y[0] = a0 + b0;
  y[7 * ystep] = a0 - b0;
  y[ystep] = a1 + b1;
  y[6 * ystep] = a1 - b1;
  y[2 * ystep] = a2 + b2;
  y[5 * ystep] = a2 - b2;
  y[3 * ystep] = a3 + b3;
  y[4 * ystep] = a3 - b3;
}

// --- Variants 1 and 2: 16-bit fixed point -----------------------------------
//
// Row pass: each row r is multiplied by a table of 16-bit weights built
// from 16384, 16384 sqrt(2) cos(k pi / 16) and the scale of its row pair
// ({0,4} 1, {1,7} sqrt(2) cos(pi/16), {2,6} sqrt(2) cos(2 pi/16), {3,5}
// sqrt(2) cos(3 pi/16)), summed in 32 bits and kept with two fraction bits
// (enough headroom that no block a stream can carry saturates the rows).
// The row scales are what the tangent form of the column pass needs, so the
// column pass multiplies only by tan(k pi / 16) and cos(pi / 4), each as a
// 16-bit fraction taking the rounded high half of the product, with 16-bit
// saturating sums. The SSE2 form performs exactly these operations.

constexpr int kRowShift = 12;
constexpr int kColShift = 5;

struct FixedTables {
  // w[r][n][u]: weight of coefficient u in output n of row r.
  int16_t w[8][8][8];
  // The same in the order of the SSE2 row pass: for each row, four vectors
  // of (weight of u, weight of u') pairs for n = 0..3: (0,2), (4,6), (1,3),
  // (5,7).
  alignas(16) int16_t sse[8][4][8];
  int16_t tg1, tg2, tg3m, cos4m;

  FixedTables() {
    const double scale[8] = {1.0,
                             std::sqrt(2.0) * std::cos(kPi / 16),
                             std::sqrt(2.0) * std::cos(2 * kPi / 16),
                             std::sqrt(2.0) * std::cos(3 * kPi / 16),
                             1.0,
                             std::sqrt(2.0) * std::cos(3 * kPi / 16),
                             std::sqrt(2.0) * std::cos(2 * kPi / 16),
                             std::sqrt(2.0) * std::cos(kPi / 16)};
    for (int r = 0; r < 8; ++r) {
      int table[8];
      for (int k = 0; k < 8; ++k)
        table[k] = static_cast<int>(
            std::lround(16384.0 * scale[r] * (k == 0 ? 1.0 : std::sqrt(2.0) * std::cos(k * kPi / 16))));
      for (int n = 0; n < 8; ++n)
        for (int u = 0; u < 8; ++u) {
          if (u == 0) {
            w[r][n][u] = static_cast<int16_t>(table[0]);
            continue;
          }
          // cos(u (2n+1) pi / 16) as a signed entry of the table.
          int m = (u * (2 * n + 1)) % 32;
          if (m > 16) m = 32 - m;
          int sign = 1;
          if (m > 8) {
            m = 16 - m;
            sign = -1;
          }
          w[r][n][u] = static_cast<int16_t>(sign * (m == 8 ? 0 : table[m]));
        }
      const int pairs[4][2] = {{0, 2}, {4, 6}, {1, 3}, {5, 7}};
      for (int p = 0; p < 4; ++p)
        for (int n = 0; n < 4; ++n) {
          sse[r][p][2 * n] = w[r][n][pairs[p][0]];
          sse[r][p][2 * n + 1] = w[r][n][pairs[p][1]];
        }
    }
    tg1 = static_cast<int16_t>(std::lround(std::tan(kPi / 16) * 65536));
    tg2 = static_cast<int16_t>(std::lround(std::tan(2 * kPi / 16) * 65536));
    tg3m = static_cast<int16_t>(std::lround(std::tan(3 * kPi / 16) * 65536) - 65536);
    cos4m = static_cast<int16_t>(std::lround(std::cos(kPi / 4) * 65536) - 65536);
  }
};

const FixedTables& Ft() {
  static const FixedTables t;
  return t;
}

// The high half of a product, rounded (truncating it would bias every
// result downwards).
inline int16_t MulHi(int16_t a, int16_t b) { return static_cast<int16_t>((int32_t{a} * b + 0x8000) >> 16); }
inline int16_t AddS(int16_t a, int16_t b) { return Sat16(int32_t{a} + b); }
inline int16_t SubS(int16_t a, int16_t b) { return Sat16(int32_t{a} - b); }

inline int32_t RowRound(int32_t v) { return (v + (1 << (kRowShift - 1))) >> kRowShift; }

void FixedRows(const int16_t* in, int16_t* rows) {
  const FixedTables& t = Ft();
  for (int r = 0; r < 8; ++r) {
    const int16_t* x = in + 8 * r;
    for (int n = 0; n < 4; ++n) {
      const int16_t* wr = t.w[r][n];
      const int32_t e = x[0] * wr[0] + x[2] * wr[2] + x[4] * wr[4] + x[6] * wr[6];
      const int32_t o = x[1] * wr[1] + x[3] * wr[3] + x[5] * wr[5] + x[7] * wr[7];
      rows[8 * r + n] = Sat16(RowRound(e + o));
      rows[8 * r + 7 - n] = Sat16(RowRound(e - o));
    }
  }
}

// The column pass over one column (values at step 8).
void FixedColumn(const int16_t* c, int16_t* out) {
  const FixedTables& t = Ft();
  const int16_t x0 = c[0], x1 = c[8], x2 = c[16], x3 = c[24];
  const int16_t x4 = c[32], x5 = c[40], x6 = c[48], x7 = c[56];
  const int16_t tp17 = AddS(x1, MulHi(x7, t.tg1));
  const int16_t tm17 = SubS(MulHi(x1, t.tg1), x7);
  const int16_t tp35 = AddS(x3, AddS(MulHi(x5, t.tg3m), x5));
  const int16_t tm35 = SubS(AddS(MulHi(x3, t.tg3m), x3), x5);
  const int16_t b0 = AddS(tp17, tp35);
  const int16_t b3 = SubS(tm17, tm35);
  const int16_t u = SubS(tp17, tp35);
  const int16_t v = AddS(tm17, tm35);
  const int16_t s = AddS(u, v), d = SubS(u, v);
  const int16_t b1 = AddS(MulHi(s, t.cos4m), s);
  const int16_t b2 = AddS(MulHi(d, t.cos4m), d);
  const int16_t tp26 = AddS(x2, MulHi(x6, t.tg2));
  const int16_t tm26 = SubS(MulHi(x2, t.tg2), x6);
  constexpr int16_t round = 1 << (kColShift - 1);
  const int16_t tp04 = AddS(AddS(x0, x4), round);
  const int16_t tm04 = AddS(SubS(x0, x4), round);
  const int16_t a0 = AddS(tp04, tp26), a3 = SubS(tp04, tp26);
  const int16_t a1 = AddS(tm04, tm26), a2 = SubS(tm04, tm26);
  out[0] = static_cast<int16_t>(AddS(a0, b0) >> kColShift);
  out[8] = static_cast<int16_t>(AddS(a1, b1) >> kColShift);
  out[16] = static_cast<int16_t>(AddS(a2, b2) >> kColShift);
  out[24] = static_cast<int16_t>(AddS(a3, b3) >> kColShift);
  out[32] = static_cast<int16_t>(SubS(a3, b3) >> kColShift);
  out[40] = static_cast<int16_t>(SubS(a2, b2) >> kColShift);
  out[48] = static_cast<int16_t>(SubS(a1, b1) >> kColShift);
  out[56] = static_cast<int16_t>(SubS(a0, b0) >> kColShift);
}

#if defined(__SSE2__)

// MulHi on eight lanes: the high half plus the rounding bit of the low half.
inline __m128i MulHiR(__m128i a, __m128i b) {
  return _mm_add_epi16(_mm_mulhi_epi16(a, b), _mm_srli_epi16(_mm_mullo_epi16(a, b), 15));
}

void FixedSse2(const int16_t* in, __m128i out[8]) {
  const FixedTables& t = Ft();
  const __m128i round = _mm_set1_epi32(1 << (kRowShift - 1));
  auto rowRound = [&](__m128i v) { return _mm_srai_epi32(_mm_add_epi32(v, round), kRowShift); };
  __m128i r[8];
  for (int row = 0; row < 8; ++row) {
    const __m128i x = _mm_load_si128(reinterpret_cast<const __m128i*>(in + 8 * row));
    // Dwords (x0,x2) (x1,x3) (x4,x6) (x5,x7).
    const __m128i s = _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xD8), 0xD8);
    const __m128i* w = reinterpret_cast<const __m128i*>(t.sse[row]);
    const __m128i e = _mm_add_epi32(_mm_madd_epi16(_mm_shuffle_epi32(s, 0x00), w[0]),
                                    _mm_madd_epi16(_mm_shuffle_epi32(s, 0xAA), w[1]));
    const __m128i o = _mm_add_epi32(_mm_madd_epi16(_mm_shuffle_epi32(s, 0x55), w[2]),
                                    _mm_madd_epi16(_mm_shuffle_epi32(s, 0xFF), w[3]));
    const __m128i lo = rowRound(_mm_add_epi32(e, o));
    const __m128i hi = rowRound(_mm_sub_epi32(e, o));
    r[row] = _mm_packs_epi32(lo, _mm_shuffle_epi32(hi, 0x1B));
  }
  const __m128i tg1 = _mm_set1_epi16(t.tg1), tg2 = _mm_set1_epi16(t.tg2);
  const __m128i tg3m = _mm_set1_epi16(t.tg3m), cos4m = _mm_set1_epi16(t.cos4m);
  const __m128i tp17 = _mm_adds_epi16(r[1], MulHiR(r[7], tg1));
  const __m128i tm17 = _mm_subs_epi16(MulHiR(r[1], tg1), r[7]);
  const __m128i tp35 = _mm_adds_epi16(r[3], _mm_adds_epi16(MulHiR(r[5], tg3m), r[5]));
  const __m128i tm35 = _mm_subs_epi16(_mm_adds_epi16(MulHiR(r[3], tg3m), r[3]), r[5]);
  const __m128i b0 = _mm_adds_epi16(tp17, tp35);
  const __m128i b3 = _mm_subs_epi16(tm17, tm35);
  const __m128i u = _mm_subs_epi16(tp17, tp35);
  const __m128i v = _mm_adds_epi16(tm17, tm35);
  const __m128i sum = _mm_adds_epi16(u, v), dif = _mm_subs_epi16(u, v);
  const __m128i b1 = _mm_adds_epi16(MulHiR(sum, cos4m), sum);
  const __m128i b2 = _mm_adds_epi16(MulHiR(dif, cos4m), dif);
  const __m128i tp26 = _mm_adds_epi16(r[2], MulHiR(r[6], tg2));
  const __m128i tm26 = _mm_subs_epi16(MulHiR(r[2], tg2), r[6]);
  const __m128i cr = _mm_set1_epi16(1 << (kColShift - 1));
  const __m128i tp04 = _mm_adds_epi16(_mm_adds_epi16(r[0], r[4]), cr);
  const __m128i tm04 = _mm_adds_epi16(_mm_subs_epi16(r[0], r[4]), cr);
  const __m128i a0 = _mm_adds_epi16(tp04, tp26), a3 = _mm_subs_epi16(tp04, tp26);
  const __m128i a1 = _mm_adds_epi16(tm04, tm26), a2 = _mm_subs_epi16(tm04, tm26);
  out[0] = _mm_srai_epi16(_mm_adds_epi16(a0, b0), kColShift);
  out[1] = _mm_srai_epi16(_mm_adds_epi16(a1, b1), kColShift);
  out[2] = _mm_srai_epi16(_mm_adds_epi16(a2, b2), kColShift);
  out[3] = _mm_srai_epi16(_mm_adds_epi16(a3, b3), kColShift);
  out[4] = _mm_srai_epi16(_mm_subs_epi16(a3, b3), kColShift);
  out[5] = _mm_srai_epi16(_mm_subs_epi16(a2, b2), kColShift);
  out[6] = _mm_srai_epi16(_mm_subs_epi16(a1, b1), kColShift);
  out[7] = _mm_srai_epi16(_mm_subs_epi16(a0, b0), kColShift);
}

void FixedCopySse2(int16_t* block, uint8_t* dst, int stride) {
  __m128i r[8];
  FixedSse2(block, r);
  const __m128i z = _mm_setzero_si128();
  for (int i = 0; i < 8; ++i) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + i * stride), _mm_packus_epi16(r[i], z));
    _mm_store_si128(reinterpret_cast<__m128i*>(block + 8 * i), z);
  }
}

void FixedAddSse2(int16_t* block, uint8_t* dst, int stride) {
  __m128i r[8];
  FixedSse2(block, r);
  const __m128i z = _mm_setzero_si128();
  for (int i = 0; i < 8; ++i) {
    __m128i* d = reinterpret_cast<__m128i*>(dst + i * stride);
    const __m128i p = _mm_unpacklo_epi8(_mm_loadl_epi64(d), z);
    _mm_storel_epi64(d, _mm_packus_epi16(_mm_adds_epi16(p, r[i]), z));
    _mm_store_si128(reinterpret_cast<__m128i*>(block + 8 * i), z);
  }
}

#endif

// Routine-set entries from a bare transform.
template <void (*Idct)(const int16_t*, int16_t*)>
void CopyWith(int16_t* block, uint8_t* dst, int stride) {
  int16_t out[64];
  Idct(block, out);
  std::memset(block, 0, 64 * sizeof(int16_t));
  for (int r = 0; r < 8; ++r, dst += stride)
    for (int c = 0; c < 8; ++c) dst[c] = Clip8(out[8 * r + c]);
}

template <void (*Idct)(const int16_t*, int16_t*)>
void AddWith(int16_t* block, uint8_t* dst, int stride) {
  int16_t out[64];
  Idct(block, out);
  std::memset(block, 0, 64 * sizeof(int16_t));
  for (int r = 0; r < 8; ++r, dst += stride)
    for (int c = 0; c < 8; ++c) dst[c] = Clip8(dst[c] + out[8 * r + c]);
}

struct DspSets {
  CMpeg2Dsp plain[4];
  CMpeg2Dsp sse2[4];
  DspSets() {
    const CMpeg2Dsp& mcPlain = CMpeg2Dsp::Plain();
    const CMpeg2Dsp* mcSse2 = CMpeg2Dsp::Sse2();
    for (int i = 0; i < 4; ++i) {
      plain[i] = mcPlain;
      sse2[i] = mcSse2 ? *mcSse2 : mcPlain;
      // Intra blocks always go through these transforms.
      plain[i].dcCopy = sse2[i].dcCopy = nullptr;
    }
    plain[0].idctCopy = plain[1].idctCopy = sse2[0].idctCopy = sse2[1].idctCopy = CopyWith<D2VIdctFixed>;
    plain[0].idctAdd = plain[1].idctAdd = sse2[0].idctAdd = sse2[1].idctAdd = AddWith<D2VIdctFixed>;
#if defined(__SSE2__)
    sse2[0].idctCopy = sse2[1].idctCopy = FixedCopySse2;
    sse2[0].idctAdd = sse2[1].idctAdd = FixedAddSse2;
#endif
    plain[2].idctCopy = sse2[2].idctCopy = CopyWith<D2VIdctFloat>;
    plain[2].idctAdd = sse2[2].idctAdd = AddWith<D2VIdctFloat>;
    plain[3].idctCopy = sse2[3].idctCopy = CopyWith<D2VIdctReference>;
    plain[3].idctAdd = sse2[3].idctAdd = AddWith<D2VIdctReference>;
  }
};

}  // namespace

void D2VIdctReference(const int16_t* in, int16_t* out) {
  static const ReferenceBasis basis;
  double tmp[64];
  for (int v = 0; v < 8; ++v)
    for (int x = 0; x < 8; ++x) {
      double s = 0;
      for (int u = 0; u < 8; ++u) s += basis.c[u][x] * in[8 * v + u];
      tmp[8 * v + x] = s;
    }
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      double s = 0;
      for (int v = 0; v < 8; ++v) s += basis.c[v][y] * tmp[8 * v + x];
      // Halves round up; the margin keeps the products' last-bit noise from
      // deciding exact halves (a DC of 8k + 4, say) either way.
      out[8 * y + x] = static_cast<int16_t>(std::clamp(std::floor(s + 0.5 + 1e-9), -256.0, 255.0));
    }
}

void D2VIdctFloat(const int16_t* in, int16_t* out) {
  float x[64], tmp[64];
  for (int i = 0; i < 64; ++i) x[i] = in[i];
  for (int r = 0; r < 8; ++r) FloatPass(x + 8 * r, 1, tmp + 8 * r, 1);
  float res[64];
  for (int c = 0; c < 8; ++c) FloatPass(tmp + c, 8, res + c, 8);
  for (int i = 0; i < 64; ++i) {
    // The two unnormalised passes carry a factor of 8.
    const float v = std::floor(res[i] * 0.125f + 0.5f);
    out[i] = static_cast<int16_t>(std::clamp(v, -256.0f, 255.0f));
  }
}

void D2VIdctFixed(const int16_t* in, int16_t* out) {
  int16_t rows[64];
  FixedRows(in, rows);
  for (int c = 0; c < 8; ++c) FixedColumn(rows + c, out + c);
}

bool D2VIdctFixedSse2(const int16_t* in, int16_t* out) {
#if defined(__SSE2__)
  __m128i r[8];
  FixedSse2(in, r);
  for (int i = 0; i < 8; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * i), r[i]);
  return true;
#else
  (void)in;
  (void)out;
  return false;
#endif
}

const CMpeg2Dsp& D2VDsp(int algorithm, uint32_t cpuFeatures) {
  static const DspSets sets;
  const int i = std::clamp(algorithm, 1, 4) - 1;
  return (cpuFeatures & CCpuFeatures::SSE2) && CMpeg2Dsp::Sse2() ? sets.sse2[i] : sets.plain[i];
}
