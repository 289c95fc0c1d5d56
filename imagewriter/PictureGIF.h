// GIF writer: GIF89a with its own code writers. Palette pictures become one
// image with a global colour table; 24-bit pictures a mosaic of 17 x 15
// tiles, each an image with a local table of its own 255 colours, so that
// the full colour survives. The pixel codes are written by one of three
// coders, chosen by the writer option word of format 2.
#pragma once

#include <string>

#include "imagewriter/Picture.h"

class PictureSink;

class CPictureGIF : public CPicture {
 public:
  // Values of the writer option word of format 2; anything else is LZW.
  enum : DWORD {
    ENCODE_UNCOMPRESSED = 1,  // every pixel as a code of its own
    ENCODE_RLE = 2,           // runs as codes any decoder's table fixes in advance
  };
  static constexpr DWORD kTileWidth = 17;
  static constexpr DWORD kTileHeight = 15;

  CPictureGIF() : CPicture(PICTURE_FORMAT_GIF) {}
  bool Write(CPictureFile* file);

  // Comment extension text (at most 255 characters); none when empty.
  void SetComment(const char* text);
  // Disposal method of the graphic control extension (low 3 bits).
  void SetDisposalMethod(DWORD method) { m_disposal = method; }

 private:
  void WriteHeader(PictureSink& out, bool globalTable);
  void WriteMosaic(PictureSink& out);

  DWORD m_disposal = 0;
  std::string m_comment;
};
