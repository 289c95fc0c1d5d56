// ICO writer: an icon file with one image of at most 255 x 255 pixels, its
// colour data (32-bit with alpha for a colour picture with an alpha plane)
// and a 1-bit mask of the transparent pixels.
#pragma once

#include "imagewriter/Picture.h"

class CPictureICO : public CPicture {
 public:
  CPictureICO() : CPicture(PICTURE_FORMAT_ICO) {}
  bool Write(CPictureFile* file);

 private:
  bool IsMasked(LONG x, LONG y, LONG transIndex, RGBQUAD transColor, bool paletteAlpha) const;
};
