// Reading of MPEG-1/2 video header fields, shared by the stream parser and
// the D2V project engine.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "decoders/mpeg2video/Mpeg2Decoder.h"

// MSB-first bit reader over one header; reads past the end give zeros and
// mark the header as truncated.
class CHeaderBits {
 public:
  CHeaderBits(const uint8_t* p, size_t n) : m_p(p), m_n(n) {}
  uint32_t Get(int bits) {
    uint32_t v = 0;
    for (int i = 0; i < bits; ++i) {
      const size_t byte = m_pos >> 3;
      uint32_t b = 0;
      if (byte < m_n)
        b = (m_p[byte] >> (7 - (m_pos & 7))) & 1;
      else
        m_short = true;
      v = (v << 1) | b;
      ++m_pos;
    }
    return v;
  }
  int32_t GetSigned(int bits) {
    const uint32_t v = Get(bits);
    return v & (1u << (bits - 1)) ? static_cast<int32_t>(v) - (1 << bits) : static_cast<int32_t>(v);
  }
  bool Short() const { return m_short; }

 private:
  const uint8_t* m_p;
  size_t m_n;
  size_t m_pos = 0;
  bool m_short = false;
};

// A quantiser matrix into raster order; matrices are always sent in zigzag
// order.
inline void LoadMatrix(CHeaderBits& bits, uint8_t* matrix) {
  for (int i = 0; i < 64; ++i) matrix[CMpeg2Decoder::kZigzag[i]] = static_cast<uint8_t>(bits.Get(8));
}

// The two matrices at the end of a sequence header: each sent, or the
// standard's default (intra) or all 16 (non-intra).
inline void LoadSequenceMatrices(CHeaderBits& bits, uint8_t* intra, uint8_t* nonIntra) {
  if (bits.Get(1))
    LoadMatrix(bits, intra);
  else
    std::memcpy(intra, CMpeg2Decoder::kDefaultIntraMatrix, 64);
  if (bits.Get(1))
    LoadMatrix(bits, nonIntra);
  else
    std::memset(nonIntra, 16, 64);
}

// The rest of a picture header after its coding type: the vector fields of
// P and B pictures, and the MPEG-1 values of what a picture coding extension
// of MPEG-2 replaces.
inline void LoadPictureCoding(CHeaderBits& bits, int type, CMpeg2Decoder& d) {
  d.m_codingType = type;
  if (type == CMpeg2Decoder::P_TYPE || type == CMpeg2Decoder::B_TYPE) {
    d.m_fullPel[0] = bits.Get(1);
    const int f = std::clamp<int>(static_cast<int>(bits.Get(3)) - 1, 0, 6);
    d.m_fCode[0][0] = d.m_fCode[0][1] = f;
  }
  if (type == CMpeg2Decoder::B_TYPE) {
    d.m_fullPel[1] = bits.Get(1);
    const int f = std::clamp<int>(static_cast<int>(bits.Get(3)) - 1, 0, 6);
    d.m_fCode[1][0] = d.m_fCode[1][1] = f;
  }
  d.m_pictureStructure = CMpeg2Decoder::FRAME_PICTURE;
  d.m_framePredFrameDct = true;
  d.m_intraDcPrecision = 0;
  d.m_qScaleType = false;
  d.m_concealmentMotionVectors = false;
  d.m_intraVlcFormat = false;
  d.m_scan = CMpeg2Decoder::kZigzag;
  d.m_topFieldFirst = true;
}
