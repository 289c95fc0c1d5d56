// PNG writer over libpng: palette pictures become indexed files (with
// transparency from the background index or the palette's alpha), 24-bit
// pictures RGB files, and pictures with an alpha plane (or a 24-bit picture
// with a background index) RGBA files. Every file carries bKGD and pHYs.
#pragma once

#include "imagewriter/Picture.h"

class CPicturePNG : public CPicture {
 public:
  // Value of the writer option word of format 4 that asks for Adam7
  // interlacing; any other value writes the rows in plain order.
  static constexpr DWORD ENCODE_INTERLACED = 1;

  CPicturePNG() : CPicture(PICTURE_FORMAT_PNG) {}
  bool Write(CPictureFile* file);
};
