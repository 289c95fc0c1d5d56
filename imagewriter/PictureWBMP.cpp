#include "imagewriter/PictureWBMP.h"

#include "imagewriter/PictureSink.h"

namespace {

// The format's multi-byte integer: 7 bits a byte, most significant group
// first, the top bit set on every byte but the last.
void PutMultiByte(PictureSink& out, DWORD value) {
  BYTE groups[5];
  int n = 0;
  do {
    groups[n++] = static_cast<BYTE>(value & 0x7F);
    value >>= 7;
  } while (value != 0);
  while (n > 1) out.U8(static_cast<BYTE>(groups[--n] | 0x80));
  out.U8(groups[0]);
}

}  // namespace

bool CPictureWBMP::Write(CPictureFile* file) {
  if (CheckEncode(file)) return false;
  const DWORD width = GetWidth(), height = GetHeight();
  if (GetBpp() != 1 || width >= 256 || height >= 256) {
    SetLastError("Can't save this image as WBMP");
    return false;
  }
  PictureSink out(file);
  out.U8(0);  // type 0
  out.U8(0);  // fixed header
  PutMultiByte(out, width);
  PutMultiByte(out, height);
  // A stored 1-bit row is already leftmost pixel in bit 7; rows go top first.
  const size_t rowBytes = (width + 7) / 8;
  for (DWORD y = height; y-- > 0;) out.Bytes(GetBits(y), rowBytes);
  if (!out.Finish()) {
    SetLastError("Write Error in WBMP file");
    return false;
  }
  return true;
}
