// The inner routines of the MPEG-1/2 picture decoder: the 8x8 inverse DCT and
// the block motion compensation, in a plain form and an SSE2 form that give
// bit-identical results. The decoder picks one set per object from the CPU
// feature word, so there is no per-block dispatch.
#pragma once

#include <cstdint>

// dst, ref, stride (shared by both, doubled for field access), height.
using Mpeg2McFunc = void (*)(uint8_t* dst, const uint8_t* ref, int stride, int height);

struct CMpeg2Dsp {
  // Inverse DCT of a block in raster order, stored clipped into dst; the
  // block is left all-zero so that the next block needs no clearing pass.
  void (*idctCopy)(int16_t* block, uint8_t* dst, int stride);
  // As idctCopy, but the result is added to what dst holds.
  void (*idctAdd)(int16_t* block, uint8_t* dst, int stride);
  // A block whose only coefficients are the DC and the mismatch-control bit
  // of coefficient 63, with (dc & 7) != 4: every pixel becomes clip(value),
  // or clip(dst + value) for dcAdd, with value = (dc + 4) >> 3. Exactly what
  // this file's transform gives; a set with another transform leaves dcCopy
  // null so that intra blocks take the transform.
  void (*dcCopy)(int value, uint8_t* dst, int stride);
  void (*dcAdd)(int value, uint8_t* dst, int stride);
  // Indexed by (8 when averaging into dst) + (4 for 8-wide blocks) + half-pel
  // case (0 full, 1 horizontal, 2 vertical, 3 both).
  Mpeg2McFunc mc[16];

  // The routine set for a CPU feature word (CCpuFeatures bits). MMX-only
  // processors get the plain set: every x86-64 processor has SSE2.
  static const CMpeg2Dsp& ForFeatures(uint32_t features);
  static const CMpeg2Dsp& Plain();
  // nullptr when the build target has no SSE2.
  static const CMpeg2Dsp* Sse2();
};

// Index into CMpeg2Dsp::mc.
constexpr int Mpeg2McIndex(bool average, bool width8, int halfPel) {
  return (average ? 8 : 0) + (width8 ? 4 : 0) + (halfPel & 3);
}
