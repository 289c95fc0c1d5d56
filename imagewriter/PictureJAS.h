// JPEG 2000 family writer: JP2 files and JPC codestreams through OpenJPEG,
// and the small uncompressed PGX, PNM and Sun raster formats written
// directly. A picture becomes one grey component (a grey-ramp palette
// picture) or three colour components; other palette pictures are refused.
// The compressed formats take their rate from the JPEG quality: quality
// 90 keeps 90% of the uncompressed size, 100 is lossless.
#pragma once

#include "imagewriter/Picture.h"

class CPictureJAS : public CPicture {
 public:
  // The format number is given to Write, not taken as image type.
  CPictureJAS() : CPicture(PICTURE_FORMAT_NONE) {}
  bool Write(CPictureFile* file, DWORD format);

 private:
  bool WriteJpeg2000(CPictureFile* file, DWORD format, int components);
  bool WriteRaw(CPictureFile* file, DWORD format, int components);
};
