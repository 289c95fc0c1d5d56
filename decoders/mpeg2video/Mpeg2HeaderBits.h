// Reading of MPEG-1/2 video header fields, shared by the stream parser and
// the D2V project engine.
#pragma once

#include <cstddef>
#include <cstdint>

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
