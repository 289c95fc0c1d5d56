// BMP writer: the 14-byte file header, then the picture's pixel block as it
// is held (bitmap header, palette, bottom-up rows padded to 4 bytes).
#pragma once

#include "imagewriter/Picture.h"

class CPictureBMP : public CPicture {
 public:
  CPictureBMP() : CPicture(PICTURE_FORMAT_BMP) {}
  bool Write(CPictureFile* file);
};
