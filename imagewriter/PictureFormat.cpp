#include "imagewriter/PictureFormat.h"

const char* PictureFormatName(DWORD format) {
  static const char* const kNames[PICTURE_FORMAT_COUNT] = {
      "?", "BMP", "GIF", "JPEG", "PNG", "ICO", "TIFF", "TGA", "PCX", "WBMP", "WMF", "JP2", "JPC", "PGX", "PNM", "RAS"};
  return format < PICTURE_FORMAT_COUNT ? kNames[format] : "?";
}
