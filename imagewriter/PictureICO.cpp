#include "imagewriter/PictureICO.h"

#include <vector>

#include "imagewriter/PictureSink.h"

namespace {

bool SameColor(RGBQUAD a, RGBQUAD b) {
  return a.rgbBlue == b.rgbBlue && a.rgbGreen == b.rgbGreen && a.rgbRed == b.rgbRed &&
         a.rgbReserved == b.rgbReserved;
}

}  // namespace

bool CPictureICO::IsMasked(LONG x, LONG y, LONG transIndex, RGBQUAD transColor, bool paletteAlpha) const {
  if (HasAlpha() && AlphaGet(x, y) == 0) return true;
  if (paletteAlpha && GetPixelColor(x, y, true).rgbReserved == 0) return true;
  return transIndex != -1 && SameColor(GetPixelColor(x, y, false), transColor);
}

bool CPictureICO::Write(CPictureFile* file) {
  if (CheckEncode(file)) return false;
  const DWORD width = GetWidth(), height = GetHeight();
  // The directory holds sizes in one byte each; packed depths need a palette.
  if (width > 255 || height > 255 || (GetBpp() <= 8 && !GetPalette())) {
    SetLastError("Can't save this image as icon");
    return false;
  }

  const bool colourAlpha = HasAlpha() && GetNumColors() == 0;
  const WORD bitCount = colourAlpha ? 32 : GetBpp();
  const DWORD colourSize = colourAlpha ? width * height * 4 : GetHeader().biSizeImage;
  const DWORD maskRow = (width + 31) / 32 * 4;
  const DWORD maskSize = maskRow * height;
  const DWORD paletteBytes = GetNumColors() * sizeof(RGBQUAD);

  PictureSink out(file);
  out.U16LE(0);  // reserved
  out.U16LE(1);  // icon
  out.U16LE(1);  // one image
  out.U8(static_cast<BYTE>(width));
  out.U8(static_cast<BYTE>(height));
  out.U8(static_cast<BYTE>(GetNumColors()));
  out.U8(0);
  out.U16LE(0);  // planes
  out.U16LE(bitCount);
  out.U32LE(colourSize + paletteBytes + sizeof(BITMAPINFOHEADER) + maskSize);
  out.U32LE(22);  // the image follows the directory entry

  BITMAPINFOHEADER head{};
  head.biSize = sizeof(BITMAPINFOHEADER);
  head.biWidth = static_cast<LONG>(width);
  head.biHeight = static_cast<LONG>(height * 2);  // colour rows and mask rows
  head.biPlanes = 1;
  head.biBitCount = bitCount;
  head.biSizeImage = colourSize;
  out.InfoHeader(head);
  if (paletteBytes) out.Bytes(GetPalette(), paletteBytes);

  if (colourAlpha)
    out.BgraRows(*this, 255);
  else
    out.Bytes(GetBits(0), colourSize);

  const LONG transIndex = GetValidTransIndex();
  const RGBQUAD transColor = GetTransColor();
  const bool paletteAlpha = PaletteHasAlpha();
  std::vector<BYTE> mask(maskRow);
  for (DWORD y = 0; y < height; ++y) {
    std::fill(mask.begin(), mask.end(), 0);
    for (DWORD x = 0; x < width; ++x)
      if (IsMasked(static_cast<LONG>(x), static_cast<LONG>(y), transIndex, transColor, paletteAlpha))
        mask[x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
    out.Bytes(mask.data(), mask.size());
  }
  if (!out.Finish()) {
    SetLastError("Write Error in ICO file");
    return false;
  }
  return true;
}
