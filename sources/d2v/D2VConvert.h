// Conversion of a decoded picture to the packed YUY2 rows a D2V source
// delivers: the optional luminance filter, 4:2:0 chroma rows doubled by
// interpolation (within the frame for progressive pictures, within each
// field for interlaced ones), 4:2:2 chroma as it is, 4:4:4 chroma halved
// across, and clipping to the project's output area.
#pragma once

#include <cstddef>
#include <cstdint>

struct D2VPicturePlanes {
  const uint8_t* y;
  const uint8_t* u;
  const uint8_t* v;
  int width;   // luma width and row step; the chroma planes are half of it
  int height;  // luma rows; the chroma planes hold half as many
  // 1 4:2:0, 2 4:2:2 (chroma of all the rows), 3 4:4:4 (chroma of the luma
  // size).
  int chromaFormat = 1;
};

struct D2VOutputFormat {
  int top = 0, left = 0;      // clipping origin in luma samples
  int width = 0, height = 0;  // output size
  bool lumFilter = false;
  int lumGain = 128, lumOffset = 0;
};

// Writes the output area of `in` as YUY2 rows of 2 * width bytes at `pitch`.
void D2VToYuy2(const D2VPicturePlanes& in, bool progressive, const D2VOutputFormat& fmt, uint8_t* dst,
               ptrdiff_t pitch);

// Chroma row `row` (0 to 2 * rows - 1) of the doubled plane, `count`
// samples from column `x0`, from a plane of `rows` rows at `stride`.
void D2VChromaRow(const uint8_t* plane, ptrdiff_t stride, int rows, int row, bool progressive, int x0,
                  int count, uint8_t* out);

// Copies every second row, starting at row `parity` (0 top field, 1 bottom
// field), of `rows` rows of `rowBytes` bytes.
void D2VCopyField(uint8_t* dst, ptrdiff_t dstPitch, const uint8_t* src, ptrdiff_t srcPitch, size_t rowBytes,
                  int rows, int parity);
// Copies `rows` rows of `rowBytes` bytes.
void D2VCopyRows(uint8_t* dst, ptrdiff_t dstPitch, const uint8_t* src, ptrdiff_t srcPitch, size_t rowBytes,
                 int rows);
