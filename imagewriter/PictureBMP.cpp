#include "imagewriter/PictureBMP.h"

#include "imagewriter/PictureSink.h"

bool CPictureBMP::Write(CPictureFile* file) {
  if (CheckEncode(file)) return false;
  const BITMAPINFOHEADER& head = GetHeader();
  const size_t paletteBytes = static_cast<size_t>(GetNumColors()) * sizeof(RGBQUAD);
  PictureSink out(file);
  out.U16LE(0x4D42);  // "BM"
  out.U32LE(static_cast<DWORD>(GetSize() + 14));
  out.U32LE(0);
  out.U32LE(static_cast<DWORD>(14 + sizeof(BITMAPINFOHEADER) + paletteBytes));
  // The header as it stands now, so that resolution changes made since the
  // block was created reach the file; the block's own copy is left alone.
  out.InfoHeader(head);
  out.Bytes(GetDib() + sizeof(BITMAPINFOHEADER), paletteBytes + head.biSizeImage);
  if (!out.Finish()) {
    SetLastError("Write Error in BMP file");
    return false;
  }
  return true;
}
