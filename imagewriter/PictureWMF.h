// Metafile output is not offered: the writer only refuses, with a text.
#pragma once

#include "imagewriter/Picture.h"

class CPictureWMF : public CPicture {
 public:
  CPictureWMF() : CPicture(PICTURE_FORMAT_WMF) {}
  bool Write(CPictureFile* file);
};
