// TIFF writer over libtiff, which reaches the output adapter through the
// writer's own client procedures. Photometric interpretation and
// compression follow the bit depth (Group 4 for 1 bit, LZW for palette and
// grey pictures, JPEG for colour) unless the writer option word of format 6
// names a compression. Pages can be appended while the writer lives;
// CPicture::Encode writes one page.
#pragma once

#include "imagewriter/Picture.h"

struct tiff;

class CPictureTIF : public CPicture {
 public:
  CPictureTIF() : CPicture(PICTURE_FORMAT_TIF) {}
  ~CPictureTIF() override;

  // With append the page is written as one page of a multi-page file and
  // the file stays open for the next; without, the file is finished.
  bool Write(CPictureFile* file, bool append = false);

 private:
  bool WritePage(struct tiff* tif);
  void Release(bool finish);

  struct tiff* m_tif = nullptr;
  CPictureFile* m_file = nullptr;
  bool m_multiPage = false;
  DWORD m_page = 0;
};
