// Encoding dispatch of CPicture: the format number chooses the writer, which
// runs as a ghost of the picture so that nothing is copied.
#include <cstdio>

#include "imagewriter/Picture.h"
#include "imagewriter/PictureFile.h"
#include "imagewriter/PictureJPG.h"
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
  auto run = [&](auto&& writer) {
    writer.MakeGhostOf(this);
    const bool ok = writer.Write(file);
    if (!ok) SetLastError(writer.GetLastError());
    return ok;
  };
  switch (format) {
    case PICTURE_FORMAT_JPG: return run(CPictureJPG());
    case PICTURE_FORMAT_WMF: return run(CPictureWMF());
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
  if (!ok) std::remove(path);
  return ok;
}
