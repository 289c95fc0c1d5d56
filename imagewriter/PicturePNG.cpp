#include "imagewriter/PicturePNG.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <vector>

#include "imagewriter/PictureFile.h"

namespace {

// Everything one libpng run needs, prepared beforehand. Plain data only:
// libpng leaves its errors by longjmp, which must not skip a destructor.
struct PngJob {
  CPictureFile* file;
  png_uint_32 width;
  png_uint_32 height;
  int bitDepth;
  int colorType;
  int interlace;
  png_color_16 background;
  png_uint_32 xPelsPerMeter;
  png_uint_32 yPelsPerMeter;
  const png_color* palette;
  int paletteEntries;
  const png_byte* transparency;
  int transparencyEntries;
  bool bgr;  // rows are blue-green-red
  // Row r (from the top) of the image as libpng wants it; for RGBA rows it
  // is built into `scratch`.
  const png_byte* (*row)(void* context, png_uint_32 fromTop, png_byte* scratch);
  void* context;
  png_byte* scratch;
};

void OnPngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }

// Warnings are not printed: a library in a GUI program has no console.
void OnPngWarning(png_structp, png_const_charp) {}

void WriteData(png_structp png, png_bytep data, png_size_t length) {
  auto* file = static_cast<CPictureFile*>(png_get_io_ptr(png));
  if (file->Write(data, 1, length) != length) png_error(png, "Write Error");
}

void FlushData(png_structp png) {
  auto* file = static_cast<CPictureFile*>(png_get_io_ptr(png));
  if (!file->Flush()) png_error(png, "Flush Error");
}

enum class PngResult { kOk, kNoWriteStruct, kNoInfoStruct, kFailed };

PngResult RunPng(PngJob& job) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, OnPngError, OnPngWarning);
  if (!png) return PngResult::kNoWriteStruct;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return PngResult::kNoInfoStruct;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return PngResult::kFailed;
  }
  png_set_write_fn(png, job.file, WriteData, FlushData);
  // After libpng's per-row filter choice, runs are what is left to find:
  // run-length matching compresses video frames as well as the default
  // search does, in a fraction of its time.
  png_set_compression_strategy(png, Z_RLE);
  png_set_IHDR(png, info, job.width, job.height, job.bitDepth, job.colorType, job.interlace,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (job.colorType == PNG_COLOR_TYPE_PALETTE) {
    png_set_PLTE(png, info, job.palette, job.paletteEntries);
    if (job.transparencyEntries > 0)
      png_set_tRNS(png, info, job.transparency, job.transparencyEntries, nullptr);
  }
  png_set_bKGD(png, info, &job.background);
  png_set_pHYs(png, info, job.xPelsPerMeter, job.yPelsPerMeter, PNG_RESOLUTION_METER);
  png_write_info(png, info);
  if (job.bgr) png_set_bgr(png);
  const int passes = png_set_interlace_handling(png);
  for (int pass = 0; pass < passes; ++pass)
    for (png_uint_32 y = 0; y < job.height; ++y) png_write_row(png, job.row(job.context, y, job.scratch));
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return PngResult::kOk;
}

// Source of RGBA rows: colours from the pixels or the palette, alpha from
// the alpha plane (opaque without one), cleared where a 24-bit picture shows
// its background colour, and scaled by the picture's alpha maximum. The
// picture's own alpha plane is only read.
struct RgbaRows {
  const CPicture* picture;
  bool keyed;
  RGBQUAD key;
  DWORD alphaMax;

  static const png_byte* Row(void* context, png_uint_32 fromTop, png_byte* out) {
    const auto& self = *static_cast<const RgbaRows*>(context);
    const CPicture& p = *self.picture;
    const LONG y = static_cast<LONG>(p.GetHeight() - 1 - fromTop);
    const DWORD width = p.GetWidth();
    const BYTE* bits = p.GetBits(static_cast<DWORD>(y));
    const BYTE* alpha = p.GetAlpha() ? p.GetAlpha() + static_cast<size_t>(y) * width : nullptr;
    const bool palette = p.GetNumColors() != 0;
    for (DWORD x = 0; x < width; ++x) {
      RGBQUAD c;
      if (palette) {
        c = p.GetPixelColor(static_cast<LONG>(x), y, false);
      } else {
        c = RGBQUAD{bits[3 * x], bits[3 * x + 1], bits[3 * x + 2], 0};
      }
      DWORD a = alpha ? alpha[x] : 255;
      if (self.keyed && c.rgbRed == self.key.rgbRed && c.rgbGreen == self.key.rgbGreen && c.rgbBlue == self.key.rgbBlue)
        a = 0;
      png_byte* px = out + 4 * static_cast<size_t>(x);
      px[0] = c.rgbRed;
      px[1] = c.rgbGreen;
      px[2] = c.rgbBlue;
      px[3] = static_cast<png_byte>(a * self.alphaMax / 255);
    }
    return out;
  }
};

const png_byte* StoredRow(void* context, png_uint_32 fromTop, png_byte*) {
  const CPicture& p = *static_cast<const CPicture*>(context);
  return p.GetBits(p.GetHeight() - 1 - fromTop);
}

}  // namespace

bool CPicturePNG::Write(CPictureFile* file) {
  if (CheckEncode(file)) return false;
  const DWORD width = GetWidth(), height = GetHeight();
  LONG transIndex = GetValidTransIndex();
  const bool keyed = GetBpp() == 24 && transIndex != -1;
  const bool rgba = HasAlpha() || keyed;
  const bool indexed = !rgba && GetNumColors() != 0;

  PngJob job{};
  job.file = file;
  job.width = width;
  job.height = height;
  job.interlace = GetCodecOption(PICTURE_FORMAT_PNG) == ENCODE_INTERLACED ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE;
  job.xPelsPerMeter = static_cast<png_uint_32>(std::max<LONG>(GetHeader().biXPelsPerMeter, 0));
  job.yPelsPerMeter = static_cast<png_uint_32>(std::max<LONG>(GetHeader().biYPelsPerMeter, 0));
  job.background.red = job.background.green = job.background.blue = 255;
  if (transIndex != -1) {
    const RGBQUAD bk = GetTransColor();
    job.background.red = bk.rgbRed;
    job.background.green = bk.rgbGreen;
    job.background.blue = bk.rgbBlue;
  }
  job.background.index = 0;

  std::vector<png_color> palette;
  std::vector<png_byte> transparency;
  std::vector<png_byte> scratch;
  RgbaRows rgbaRows{this, keyed, GetTransColor(), AlphaGetMax()};

  if (indexed) {
    // The transparent entry moves to the front, so that a one-entry tRNS
    // covers it; the picture keeps the new order and its index follows.
    if (transIndex > 0) {
      Owner().SwapIndex(0, static_cast<BYTE>(transIndex));  // the shared palette and rows
      Owner().SetTransIndex(0);
      SetTransIndex(0);
      transIndex = 0;
    }
    DWORD entries = GetNumColors();
    if (entries > 2 && static_cast<uint64_t>(width) * height < 65536) {
      DWORD largest = 0;
      for (DWORD y = 0; y < height; ++y)
        for (DWORD x = 0; x < width; ++x)
          largest = std::max<DWORD>(largest, GetPixelIndex(static_cast<LONG>(x), static_cast<LONG>(y)));
      entries = largest + 1;
    }
    palette.resize(entries);
    for (DWORD i = 0; i < entries; ++i)
      GetPaletteColor(static_cast<BYTE>(i), &palette[i].red, &palette[i].green, &palette[i].blue);
    if (AlphaPaletteIsEnabled()) {
      transparency.resize(entries);
      for (DWORD i = 0; i < entries; ++i) transparency[i] = GetPaletteColor(static_cast<BYTE>(i)).rgbReserved;
    } else if (transIndex != -1) {
      transparency.assign(1, 0);
    }
    job.colorType = PNG_COLOR_TYPE_PALETTE;
    job.bitDepth = GetBpp();
    job.palette = palette.data();
    job.paletteEntries = static_cast<int>(entries);
    job.transparency = transparency.data();
    job.transparencyEntries = static_cast<int>(transparency.size());
    job.row = StoredRow;
    job.context = this;
  } else if (rgba) {
    job.colorType = PNG_COLOR_TYPE_RGBA;
    job.bitDepth = 8;
    scratch.resize(static_cast<size_t>(width) * 4);
    job.scratch = scratch.data();
    job.row = RgbaRows::Row;
    job.context = &rgbaRows;
  } else {
    // Stored rows go to libpng as they are; it reads them in blue-green-red
    // order and copies them before filtering, so no row is copied here.
    job.colorType = PNG_COLOR_TYPE_RGB;
    job.bitDepth = 8;
    job.bgr = true;
    job.row = StoredRow;
    job.context = this;
  }

  switch (RunPng(job)) {
    case PngResult::kOk:
      break;
    case PngResult::kNoWriteStruct:
      SetLastError("Failed to create PNG structure");
      return false;
    case PngResult::kNoInfoStruct:
      SetLastError("Failed to initialize PNG info structure");
      return false;
    case PngResult::kFailed:
      SetLastError("Error saving PNG file");
      return false;
  }
  if (file->Error() != 0) {
    SetLastError("Error saving PNG file");
    return false;
  }
  return true;
}
