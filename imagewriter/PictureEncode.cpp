// Encoding dispatch of CPicture: the format number chooses the writer, which
// runs as a ghost of the picture so that nothing is copied.
#include <cstdio>

#include <sys/stat.h>

#include "imagewriter/Picture.h"
#include "imagewriter/PictureBMP.h"
#include "imagewriter/PictureFile.h"
#include "imagewriter/PictureGIF.h"
#include "imagewriter/PictureICO.h"
#include "imagewriter/PictureJAS.h"
#include "imagewriter/PictureJPG.h"
#include "imagewriter/PicturePCX.h"
#include "imagewriter/PicturePNG.h"
#include "imagewriter/PictureTGA.h"
#include "imagewriter/PictureTIF.h"
#include "imagewriter/PictureWBMP.h"
#include "imagewriter/PictureWMF.h"

bool CPicture::CheckEncode(CPictureFile* file) {
  if (!file) {
    SetLastError("null file handler");
    return true;
  }
  if (!m_pDib) {
    SetLastError("null image!!!");
    return true;
  }
  return false;
}

bool CPicture::Encode(CPictureFile* file, DWORD format) {
  if (format < 1 || format >= PICTURE_FORMAT_COUNT) {
    SetLastError("Encode: Unknown format");
    return false;
  }
  auto run = [&](auto&& writer, auto&&... extra) {
    writer.MakeGhostOf(this);
    const bool ok = writer.Write(file, extra...);
    if (!ok) SetLastError(writer.GetLastError());
    return ok;
  };
  switch (format) {
    case PICTURE_FORMAT_BMP: return run(CPictureBMP());
    case PICTURE_FORMAT_GIF: return run(CPictureGIF());
    case PICTURE_FORMAT_JPG: return run(CPictureJPG());
    case PICTURE_FORMAT_PNG: return run(CPicturePNG());
    case PICTURE_FORMAT_ICO: return run(CPictureICO());
    case PICTURE_FORMAT_TIF: return run(CPictureTIF(), false);
    case PICTURE_FORMAT_TGA: return run(CPictureTGA());
    case PICTURE_FORMAT_PCX: return run(CPicturePCX());
    case PICTURE_FORMAT_WBMP: return run(CPictureWBMP());
    case PICTURE_FORMAT_WMF: return run(CPictureWMF());
    case PICTURE_FORMAT_JP2:
    case PICTURE_FORMAT_JPC:
    case PICTURE_FORMAT_PGX:
    case PICTURE_FORMAT_PNM:
    case PICTURE_FORMAT_RAS: return run(CPictureJAS(), format);
    default: {
      char text[kErrorTextSize];
      std::snprintf(text, sizeof text, "Encode: %s writer not available", PictureFormatName(format));
      SetLastError(text);
      return false;
    }
  }
}

bool CPicture::EncodeFile(FILE* stream, DWORD format) {
  if (!stream) return Encode(nullptr, format);
  CPictureStdioFile file(stream, false);
  return Encode(&file, format);
}

bool CPicture::Save(const char* path, DWORD format) {
  if (!path || !*path) return false;
  // What cannot be encoded at all is refused before the path is opened, so
  // an existing file of that name is not truncated for nothing.
  if (format < 1 || format >= PICTURE_FORMAT_COUNT) {
    SetLastError("Encode: Unknown format");
    return false;
  }
  if (!m_pDib) {
    SetLastError("null image!!!");
    return false;
  }
  FILE* stream = std::fopen(path, "wb");
  if (!stream) return false;
  bool ok = EncodeFile(stream, format);
  if (std::fclose(stream) != 0 && ok) {
    SetLastError("Write error");
    ok = false;
  }
  // A half-written picture under the target name would pass for a good one.
  // Only a plain file is taken away: a device or pipe named as the output
  // (a full disk simulated by /dev/full) is no picture to remove.
  struct stat info;
  if (!ok && ::stat(path, &info) == 0 && S_ISREG(info.st_mode)) std::remove(path);
  return ok;
}
