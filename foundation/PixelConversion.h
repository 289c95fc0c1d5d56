// Frame copies, colour-space conversions and vertical deinterlacing filters.
//
// Planes are a pointer and a signed pitch in bytes (a negative pitch walks
// the image bottom-up). Planar 4:2:0 input is three planes (Y, U = Cb,
// V = Cr) with the chroma pitch half the luma pitch. YUY2 is Y0 U Y1 V per
// pixel pair; RGB is little-endian B, G, R (and a fourth byte for 32 bits,
// written as 255); 16-bit RGB is 5-6-5.
//
// Each conversion has a plain reference routine and, on x86-64, an SSE2
// routine chosen from the CPU feature word; both give the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32/Types.h"

bool CopyYuv420Planar(int width, int height, BYTE* dstY, BYTE* dstU, BYTE* dstV, int dstPitch, const BYTE* srcY,
                      const BYTE* srcU, const BYTE* srcV, int srcPitch);

bool CopyPackedRows(int rowBytes, int height, BYTE* dst, int dstPitch, const BYTE* src, int srcPitch);

// 4:2:0 to RGB of 16, 24 or 32 bits (BT.601, studio range); every chroma
// sample serves a 2 x 2 block. Width and height must be even.
bool ConvertYuv420ToRgb(int width, int height, BYTE* dst, int dstPitch, int bitsPerPixel, const BYTE* srcY,
                        const BYTE* srcU, const BYTE* srcV, int srcPitch);

// 4:2:0 to YUY2. A source pitch of 0 means the width. Aligned buffers take
// the whole-image path (rounding chroma average, field-aware when interlaced);
// others the row-pair path (truncating average, progressive only).
bool ConvertYuv420ToYuy2(int width, int height, BYTE* dst, int dstPitch, const BYTE* srcY, const BYTE* srcU,
                         const BYTE* srcV, int srcPitch, bool interlaced);

// RGB of 24 or 32 bits (B G R [X]) to planar 4:2:0, BT.601 in studio range
// (Y 16..235) or full range; each chroma sample is the mean of its 2 x 2
// block. Any size: an odd last column or row is repeated. Pitches may be
// negative.
bool ConvertRgbToYuv420(int width, int height, const BYTE* src, ptrdiff_t srcPitch, int bitsPerPixel, BYTE* dstY,
                        ptrdiff_t yPitch, BYTE* dstU, ptrdiff_t uPitch, BYTE* dstV, ptrdiff_t vPitch,
                        bool fullRange);

// Turns a picture of `width` x `height` pixels of `pixelBytes` bytes (1 to
// 4) clockwise by `degrees` (90, 180 or 270) into `dst`, which is `height`
// wide and `width` high for a quarter turn. Rows are given top first, their
// pitches may be negative; source and destination must not overlap. False
// for another angle, pixel size or an empty picture.
bool TurnPicture(int width, int height, int pixelBytes, const BYTE* src, ptrdiff_t srcPitch, BYTE* dst,
                 ptrdiff_t dstPitch, int degrees);

bool ConvertRgbToRgb(int width, int height, BYTE* dst, int dstPitch, int dstBits, const BYTE* src, int srcPitch,
                     int srcBits);

// YUY2 to RGB24 or RGB32. The output is bottom-up relative to the source.
bool ConvertYuy2ToRgb(int width, int height, BYTE* dst, int dstPitch, int bits, const BYTE* src, int srcPitch);

// Row engines of ConvertYuy2ToRgb: convert the source rows from the last
// (srcEnd - srcPitch) to the first, writing destination rows dstPitch apart.
// srcRowBytes is two bytes per pixel. Matrix bit 0 selects BT.709.
void Yuy2ToRgb24Rows(const BYTE* src, BYTE* dst, const BYTE* srcEnd, int srcPitch, int srcRowBytes, int matrix,
                     int dstPitch);
void Yuy2ToRgb32Rows(const BYTE* src, BYTE* dst, const BYTE* srcEnd, int srcPitch, int srcRowBytes, int matrix,
                     int dstPitch);

// Vertical [1 2 1] blend of one plane.
void BlendDeinterlacePlane(BYTE* dst, const BYTE* src, DWORD rowBytes, DWORD rows, int dstPitch, int srcPitch);

// Fills rows 1, 3, 5... from their neighbours; with an even row count the
// last row repeats the one before it.
void InterpolateMissingRows(BYTE* plane, DWORD rows, int pitch);

// Keeps one field and interpolates the other.
void BobDeinterlacePlane(BYTE* dst, const BYTE* src, DWORD rowBytes, DWORD rows, int dstPitch, int srcPitch,
                         bool topField);

class CMediaType;

// Completes the format block of an uncompressed video type (VIDEOINFOHEADER
// or VIDEOINFOHEADER2) from the known-format templates: a bit-field RGB type
// gains its three colour masks, any other known type gets a block of
// exactly the bare header size. The given block's bytes, up to the header
// size, are kept. Types without a matching template are left as they are.
void CompleteVideoFormatBlock(CMediaType& mt);

namespace pixel_detail {
// The reference tables of the plain 4:2:0 to RGB routine, exposed so that
// tests can check the vector arithmetic against them.
struct YuvRgbTables {
  int16_t y[256];   // round(1.164 (Y - 16))
  int16_t bu[256];  // round(2.018 (U - 128))
  int16_t gu[256];  // round(-0.391 (U - 128))
  int16_t gv[256];  // round(-0.813 (V - 128))
  int16_t rv[256];  // round(1.596 (V - 128))
  // index - 512 clamped to 0..255. Luma plus a chroma term spans -277..534,
  // past a table of -256..511, so the table is wider.
  uint8_t clamp[1280];
};
const YuvRgbTables& Tables();
}  // namespace pixel_detail
