// Format numbers of the still-image writer. They select the writer in
// CPicture::Encode and index the per-format writer option words, so the
// values are fixed.
#pragma once

#include "platform/win32/Types.h"

enum CPictureFormat : DWORD {
  PICTURE_FORMAT_NONE = 0,
  PICTURE_FORMAT_BMP = 1,
  PICTURE_FORMAT_GIF = 2,
  PICTURE_FORMAT_JPG = 3,
  PICTURE_FORMAT_PNG = 4,
  PICTURE_FORMAT_ICO = 5,
  PICTURE_FORMAT_TIF = 6,
  PICTURE_FORMAT_TGA = 7,
  PICTURE_FORMAT_PCX = 8,
  PICTURE_FORMAT_WBMP = 9,
  PICTURE_FORMAT_WMF = 10,
  PICTURE_FORMAT_JP2 = 11,
  PICTURE_FORMAT_JPC = 12,
  PICTURE_FORMAT_PGX = 13,
  PICTURE_FORMAT_PNM = 14,
  PICTURE_FORMAT_RAS = 15,
  // One past the last format; also the number of writer option words.
  PICTURE_FORMAT_COUNT = 16,
};

// Short display name of a format number ("BMP", "JPEG"...), "?" when unknown.
const char* PictureFormatName(DWORD format);
