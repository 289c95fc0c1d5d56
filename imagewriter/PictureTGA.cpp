#include "imagewriter/PictureTGA.h"

#include "imagewriter/PictureSink.h"

bool CPictureTGA::Write(CPictureFile* file) {
  if (CheckEncode(file)) return false;
  if (GetBpp() < 8) {
    SetLastError("Bit depth must be 8 or 24");
    return false;
  }
  if (GetWidth() > 0xFFFF || GetHeight() > 0xFFFF) {
    SetLastError("Image too large for TGA file");
    return false;
  }
  const bool mapped = GetBpp() == 8;
  const bool alpha = !mapped && HasAlpha();
  const DWORD width = GetWidth(), height = GetHeight();

  PictureSink out(file);
  out.U8(0);                  // no identification field
  out.U8(mapped ? 1 : 0);     // colour map present
  out.U8(mapped ? 1 : 2);     // uncompressed colour-mapped / true colour
  out.U16LE(0);               // first map entry
  out.U16LE(mapped ? 256 : 0);
  out.U8(mapped ? 24 : 0);    // bits per map entry
  out.U16LE(0);               // x origin
  out.U16LE(0);               // y origin
  out.U16LE(static_cast<WORD>(width));
  out.U16LE(static_cast<WORD>(height));
  out.U8(alpha ? 32 : GetBpp());
  // Rows bottom-up; the low bits count the alpha bits of each pixel, so
  // that readers which honour them keep the alpha channel.
  out.U8(alpha ? 8 : 0);

  if (mapped) {
    for (DWORD i = 0; i < 256; ++i) {
      const RGBQUAD c = GetPaletteColor(static_cast<BYTE>(i));
      out.U8(c.rgbBlue);
      out.U8(c.rgbGreen);
      out.U8(c.rgbRed);
    }
  }
  if (alpha) {
    out.BgraRows(*this, AlphaGetMax());
  } else {
    const size_t rowBytes = static_cast<size_t>(width) * (GetBpp() / 8);
    for (DWORD y = 0; y < height; ++y) out.Bytes(GetBits(y), rowBytes);
  }
  if (!out.Finish()) {
    SetLastError("Write Error in TGA file");
    return false;
  }
  return true;
}
