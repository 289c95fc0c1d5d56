#include "imagewriter/PictureTIF.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "imagewriter/PictureFile.h"

namespace {

CPictureFile* FileOf(thandle_t handle) { return static_cast<CPictureFile*>(handle); }

tmsize_t ReadProc(thandle_t handle, void* buffer, tmsize_t size) {
  if (size <= 0) return 0;
  return static_cast<tmsize_t>(FileOf(handle)->Read(buffer, 1, static_cast<size_t>(size)));
}

tmsize_t WriteProc(thandle_t handle, void* buffer, tmsize_t size) {
  if (size <= 0) return 0;
  return static_cast<tmsize_t>(FileOf(handle)->Write(buffer, 1, static_cast<size_t>(size)));
}

toff_t SeekProc(thandle_t handle, toff_t offset, int origin) {
  if (offset == static_cast<toff_t>(-1)) return static_cast<toff_t>(-1);
  // The adapter's positions are 32-bit; anything beyond cannot be reached.
  const int64_t signedOffset = static_cast<int64_t>(offset);
  if (signedOffset > INT32_MAX || signedOffset < INT32_MIN) return static_cast<toff_t>(-1);
  CPictureFile* file = FileOf(handle);
  if (!file->Seek(static_cast<LONG>(signedOffset), origin)) return static_cast<toff_t>(-1);
  if (origin == SEEK_SET) return offset;
  const LONG position = file->Tell();
  return position < 0 ? static_cast<toff_t>(-1) : static_cast<toff_t>(position);
}

// The adapter belongs to the caller: closing the TIFF leaves it open.
int CloseProc(thandle_t) { return 0; }

toff_t SizeProc(thandle_t handle) {
  const LONG size = FileOf(handle)->Size();
  return size < 0 ? 0 : static_cast<toff_t>(size);
}

int MapProc(thandle_t, void**, toff_t*) { return 0; }

void UnmapProc(thandle_t, void*, toff_t) {}

// libtiff's messages are not printed: a library in a GUI program has no
// console, and the writer reports its own text.
int QuietHandler(TIFF*, void*, const char*, const char*, va_list) { return 1; }

}  // namespace

CPictureTIF::~CPictureTIF() { Release(true); }

void CPictureTIF::Release(bool finish) {
  if (!m_tif) return;
  // Pages already appended are completed; after a failure nothing more is
  // written to an output that has failed.
  if (finish)
    TIFFClose(m_tif);
  else
    TIFFCleanup(m_tif);
  m_tif = nullptr;
  m_file = nullptr;
  m_multiPage = false;
  m_page = 0;
}

bool CPictureTIF::Write(CPictureFile* file, bool append) {
  if (CheckEncode(file)) return false;
  // Pages continue the file they were started in.
  if (m_tif && m_file != file) Release(true);
  if (!m_tif) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options) {
      TIFFOpenOptionsSetErrorHandlerExtR(options, QuietHandler, nullptr);
      TIFFOpenOptionsSetWarningHandlerExtR(options, QuietHandler, nullptr);
    }
    // A new file: an adapter that already holds bytes (a caller's buffer)
    // is written from its start, not read as an earlier TIFF.
    m_tif = TIFFClientOpenExt("TIFF IMAGE", "w", file, ReadProc, WriteProc, SeekProc, CloseProc, SizeProc, MapProc,
                              UnmapProc, options);
    TIFFOpenOptionsFree(options);
    if (!m_tif) {
      SetLastError("initialization fail");
      return false;
    }
    m_file = file;
  }
  if (append || m_page != 0) m_multiPage = true;
  ++m_page;

  if (!WritePage(m_tif)) {
    SetLastError("Error saving TIFF file");
    Release(false);
    return false;
  }
  if (append) {
    if (!TIFFWriteDirectory(m_tif)) {
      SetLastError("Error saving TIFF directory");
      Release(false);
      return false;
    }
    return true;
  }
  // Flushing writes the last strip and the directory; its answer is the
  // only one that tells whether they reached the output.
  const bool flushed = TIFFFlush(m_tif) != 0;
  Release(flushed);
  if (!flushed || !file->Flush() || file->Error() != 0) {
    SetLastError("Error saving TIFF file");
    return false;
  }
  return true;
}

bool CPictureTIF::WritePage(TIFF* tif) {
  const DWORD width = GetWidth(), height = GetHeight();
  const WORD bpp = GetBpp();
  const bool alpha = HasAlpha() && (bpp == 24 || bpp == 8);
  uint16_t samples = bpp == 24 ? 3 : 1;
  if (alpha) ++samples;
  // Alpha makes an 8-bit picture two 8-bit samples, a colour one four.
  const uint16_t bitsPerSample = bpp >= 8 ? 8 : bpp;

  uint16_t photometric;
  bool invert = false;
  if (bpp == 1) {
    photometric = PHOTOMETRIC_MINISWHITE;
    // White is zero: the darker colour must be index 1.
    invert = LuminanceCompare(GetPaletteColor(0), GetPaletteColor(1)) < 0;
  } else if (bpp == 24) {
    photometric = PHOTOMETRIC_RGB;
  } else {
    photometric = IsGrayScale() ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_PALETTE;
  }

  bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width)) &&
            TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height)) &&
            TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples) &&
            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bitsPerSample) &&
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric) &&
            TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  if (ok && alpha) {
    const uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
    ok = TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
  }
  uint32_t rowsPerStrip = TIFFDefaultStripSize(tif, static_cast<uint32_t>(-1));
  ok = ok && TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip) &&
       TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
       TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<float>(GetXDPI())) &&
       TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<float>(GetYDPI()));
  if (ok && m_multiPage) {
    char name[32];
    std::snprintf(name, sizeof name, "Page %u", static_cast<unsigned>(m_page));
    ok = TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE) &&
         TIFFSetField(tif, TIFFTAG_PAGENUMBER, static_cast<uint16_t>(m_page), static_cast<uint16_t>(m_page)) &&
         TIFFSetField(tif, TIFFTAG_PAGENAME, name);
  } else if (ok) {
    ok = TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
  }
  if (ok && photometric == PHOTOMETRIC_PALETTE) {
    std::vector<uint16_t> red(256), green(256), blue(256);
    for (DWORD i = 0; i < 256; ++i) {
      const RGBQUAD c = GetPaletteColor(static_cast<BYTE>(i));
      red[i] = static_cast<uint16_t>(c.rgbRed * 65535 / 255);
      green[i] = static_cast<uint16_t>(c.rgbGreen * 65535 / 255);
      blue[i] = static_cast<uint16_t>(c.rgbBlue * 65535 / 255);
    }
    ok = TIFFSetField(tif, TIFFTAG_COLORMAP, red.data(), green.data(), blue.data());
  }

  DWORD compression = GetCodecOption(PICTURE_FORMAT_TIF);
  if (compression == 0) {
    switch (bpp) {
      case 1: compression = COMPRESSION_CCITTFAX4; break;
      case 4:
      case 8: compression = COMPRESSION_LZW; break;
      case 24: compression = COMPRESSION_JPEG; break;
      default: compression = COMPRESSION_NONE; break;
    }
  }
  // An option word that names no scheme libtiff has is refused here.
  ok = ok && compression <= 0xFFFF && TIFFIsCODECConfigured(static_cast<uint16_t>(compression)) &&
       TIFFSetField(tif, TIFFTAG_COMPRESSION, static_cast<uint16_t>(compression));
  if (ok && compression == COMPRESSION_JPEG) {
    rowsPerStrip = (rowsPerStrip + 7) / 8 * 8;
    ok = TIFFSetField(tif, TIFFTAG_JPEGQUALITY, static_cast<int>(GetJpegQuality())) &&
         TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
  }
  if (ok && compression == COMPRESSION_LZW && bitsPerSample >= 8)
    ok = TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  if (!ok) return false;

  // Rows go through a buffer of their own: libtiff's predictor works in the
  // buffer it is given, and the picture must come out of a save unchanged.
  const size_t lineBytes = bpp >= 8 ? static_cast<size_t>(width) * samples : (static_cast<size_t>(width) * bpp + 7) / 8;
  std::vector<BYTE> line(std::max<size_t>(lineBytes, GetEffWidth()));
  for (DWORD r = 0; r < height; ++r) {
    const DWORD y = height - 1 - r;
    const BYTE* src = GetBits(y);
    if (bpp == 24) {
      const size_t step = samples;
      for (DWORD x = 0; x < width; ++x) {
        BYTE* px = &line[x * step];
        px[0] = src[3 * x + 2];
        px[1] = src[3 * x + 1];
        px[2] = src[3 * x];
        if (alpha) px[3] = AlphaGet(static_cast<LONG>(x), static_cast<LONG>(y));
      }
    } else if (alpha) {
      for (DWORD x = 0; x < width; ++x) {
        line[2 * x] = src[x];
        line[2 * x + 1] = AlphaGet(static_cast<LONG>(x), static_cast<LONG>(y));
      }
    } else {
      std::copy(src, src + lineBytes, line.begin());
      if (invert)
        for (size_t i = 0; i < lineBytes; ++i) line[i] = static_cast<BYTE>(~line[i]);
    }
    if (TIFFWriteScanline(tif, line.data(), r, 0) < 0) return false;
  }
  return true;
}
