// TGA writer: uncompressed Targa, colour-mapped for 8-bit pictures, true
// colour for 24-bit ones (32-bit with the alpha plane when there is one).
#pragma once

#include "imagewriter/Picture.h"

class CPictureTGA : public CPicture {
 public:
  CPictureTGA() : CPicture(PICTURE_FORMAT_TGA) {}
  bool Write(CPictureFile* file);
};
