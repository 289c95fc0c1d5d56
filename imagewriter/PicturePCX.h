// PCX writer: version 5, run-length encoded, one to four planes by depth,
// with the 256-colour palette after the image for 8-bit pictures.
#pragma once

#include <vector>

#include "imagewriter/Picture.h"

class CPicturePCX : public CPicture {
 public:
  CPicturePCX() : CPicture(PICTURE_FORMAT_PCX) {}
  bool Write(CPictureFile* file);

  // Packs one line: runs of equal bytes of up to 63 as a count byte
  // (0xC0 | run) and the value; lone bytes below 0xC0 as they are.
  static void PackLine(const BYTE* line, size_t count, std::vector<BYTE>& out);
};
