// WBMP writer: wireless bitmap of type 0 for 1-bit pictures smaller than
// 256 x 256.
#pragma once

#include "imagewriter/Picture.h"

class CPictureWBMP : public CPicture {
 public:
  CPictureWBMP() : CPicture(PICTURE_FORMAT_WBMP) {}
  bool Write(CPictureFile* file);
};
