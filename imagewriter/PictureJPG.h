// JPEG writer: baseline JFIF through libjpeg, written through a CPictureFile.
// 24-bit pictures are written in colour, 8-bit pictures with a grey ramp
// palette (entry i = i, i, i) in greyscale; other palette pictures are
// refused.
#pragma once

#include "imagewriter/Picture.h"

class CPictureJPG : public CPicture {
 public:
  // Bits of the writer option word of format 3.
  enum : DWORD {
    ENCODE_BASELINE = 1,     // force baseline quantisation tables
    ENCODE_ARITHMETIC = 2,   // arithmetic instead of Huffman coding
    ENCODE_GRAYSCALE = 4,    // write a colour picture as greyscale
    ENCODE_OPTIMIZE = 8,     // optimised Huffman tables
    ENCODE_PROGRESSIVE = 16, // progressive scans
    ENCODE_SMOOTHING = 64,   // apply the writer's smoothing factor
  };

  // A light smoothing, enough to calm dithered sources without visible blur.
  static constexpr LONG kDefaultSmoothing = 10;

  CPictureJPG() : CPicture(PICTURE_FORMAT_JPG) {}
  bool Write(CPictureFile* file);

 private:
  LONG m_nSmoothing = kDefaultSmoothing;
};
