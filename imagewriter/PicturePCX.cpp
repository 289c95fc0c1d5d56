#include "imagewriter/PicturePCX.h"

#include <algorithm>
#include <cstring>

#include "imagewriter/PictureFile.h"

namespace {

constexpr size_t kHeaderSize = 128;

void PutLE16(BYTE* p, DWORD value) {
  const DWORD v = std::min<DWORD>(value, 0xFFFF);
  p[0] = static_cast<BYTE>(v);
  p[1] = static_cast<BYTE>(v >> 8);
}

}  // namespace

void CPicturePCX::PackLine(const BYTE* line, size_t count, std::vector<BYTE>& out) {
  size_t i = 0;
  while (i < count) {
    const BYTE value = line[i];
    size_t run = 1;
    while (run < 63 && i + run < count && line[i + run] == value) ++run;
    if (run > 1 || value >= 0xC0) out.push_back(static_cast<BYTE>(0xC0 | run));
    out.push_back(value);
    i += run;
  }
}

bool CPicturePCX::Write(CPictureFile* file) {
  if (CheckEncode(file)) return false;
  const DWORD width = GetWidth(), height = GetHeight();
  const WORD bpp = GetBpp();

  BYTE bitsPerPlane, planes;
  DWORD lineBytes;
  if (bpp == 24) {
    bitsPerPlane = 8;
    planes = HasAlpha() ? 4 : 3;
    lineBytes = width;
  } else if (bpp == 8) {
    bitsPerPlane = 8;
    planes = 1;
    lineBytes = width;
  } else {
    bitsPerPlane = 1;
    planes = GetNumColors() == 16 ? 4 : 1;
    lineBytes = (width + 7) / 8;
  }
  lineBytes += lineBytes & 1;
  if (width > 0x10000 || height > 0x10000 || lineBytes > 0xFFFF) {
    SetLastError("Image too large for PCX file");
    return false;
  }

  // A 1-bit picture is written black on white whatever its two colours:
  // indices are flipped when entry 0 is the brighter one.
  const bool invert = bpp == 1 && LuminanceCompare(GetPaletteColor(0), GetPaletteColor(1)) > 0;

  BYTE header[kHeaderSize] = {};
  header[0] = 0x0A;
  header[1] = 5;
  header[2] = 1;
  header[3] = bitsPerPlane;
  PutLE16(header + 8, width - 1);
  PutLE16(header + 10, height - 1);
  PutLE16(header + 12, GetXDPI());
  PutLE16(header + 14, GetYDPI());
  if (bpp == 1) {
    std::memset(header + 19, 255, 3);  // entry 0 black, entry 1 white
  } else if (bpp == 4) {
    for (int i = 0; i < 16; ++i) {
      const RGBQUAD c = GetPaletteColor(static_cast<BYTE>(i));
      header[16 + 3 * i] = c.rgbRed;
      header[16 + 3 * i + 1] = c.rgbGreen;
      header[16 + 3 * i + 2] = c.rgbBlue;
    }
  }
  header[65] = planes;
  PutLE16(header + 66, lineBytes);
  PutLE16(header + 68, GetNumColors() == 0 ? 1 : 0);
  if (file->Write(header, 1, kHeaderSize) != kHeaderSize) {
    SetLastError("cannot write PCX header");
    return false;
  }

  std::vector<BYTE> packed;
  packed.reserve(static_cast<size_t>(lineBytes) * planes * height / 2 + 64);
  std::vector<BYTE> line(static_cast<size_t>(lineBytes) + 1);
  const bool oddWidth = (width & 1) != 0;
  for (DWORD y = height; y-- > 0;) {
    const BYTE* row = GetBits(y);
    const LONG yy = static_cast<LONG>(y);
    if (bpp == 8) {
      PackLine(row, width, packed);
      if (oddWidth) packed.push_back(0);
    } else if (bpp == 24) {
      for (BYTE p = 0; p < planes; ++p) {
        // Stored pixels are blue, green, red; planes go red, green, blue.
        for (DWORD x = 0; x < width; ++x)
          line[x] = p == 3 ? AlphaGet(static_cast<LONG>(x), yy) : row[3 * x + 2 - p];
        PackLine(line.data(), width, packed);
        if (oddWidth) packed.push_back(0);
      }
    } else {
      for (BYTE p = 0; p < planes; ++p) {
        std::fill(line.begin(), line.end(), 0);
        for (DWORD x = 0; x < width; ++x) {
          BYTE index = GetPixelIndex(static_cast<LONG>(x), yy);
          if (invert) index = static_cast<BYTE>(1 - index);
          if ((index >> p) & 1) line[x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
        }
        PackLine(line.data(), lineBytes, packed);
      }
    }
  }

  bool ok = file->Write(packed.data(), 1, packed.size()) == packed.size();
  if (ok && bpp == 8) {
    BYTE palette[1 + 768] = {0x0C};
    for (int i = 0; i < 256; ++i) {
      const RGBQUAD c = GetPaletteColor(static_cast<BYTE>(i));
      palette[1 + 3 * i] = c.rgbRed;
      palette[1 + 3 * i + 1] = c.rgbGreen;
      palette[1 + 3 * i + 2] = c.rgbBlue;
    }
    ok = file->Write(palette, 1, sizeof palette) == sizeof palette;
  }
  if (!ok || !file->Flush() || file->Error() != 0) {
    SetLastError("Write Error in PCX file");
    return false;
  }
  return true;
}
