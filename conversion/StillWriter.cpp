#include "conversion/StillWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "conversion/JobFiles.h"
#include "foundation/FilterHelpers.h"
#include "foundation/PixelConversion.h"
#include "imagewriter/Picture.h"
#include "imagewriter/PictureFormat.h"
#include "platform/codecs/FfmpegMedia.h"
#include "platform/win32/Gdi.h"

namespace {

bool IsPlanarSubtype(const GUID& subtype) {
  return subtype == MEDIASUBTYPE_YV12 || subtype == MEDIASUBTYPE_I420 || subtype == MEDIASUBTYPE_IYUV;
}

// A 4:2:0 frame as an RGB24 picture, converted straight into the picture's
// rows. False when the frame is shorter than its planes or its sides are
// odd.
bool PlanarToPicture(const BITMAPINFOHEADER& bih, const GUID& subtype, const BYTE* data, LONG length,
                     CPicture* picture) {
  const int width = bih.biWidth;
  const int height = std::abs(static_cast<int>(bih.biHeight));
  if (width <= 0 || height <= 0 || width % 2 || height % 2) return false;
  const size_t luma = static_cast<size_t>(width) * static_cast<size_t>(height);
  if (length <= 0 || static_cast<size_t>(length) < luma + luma / 2) return false;
  if (!picture->Create(static_cast<DWORD>(width), static_cast<DWORD>(height), 24, 0)) return false;
  const BYTE* first = data + luma;
  const BYTE* second = first + luma / 4;
  const bool vFirst = subtype == MEDIASUBTYPE_YV12;
  // The picture keeps its rows bottom-up: its top row is the last one.
  const int pitch = static_cast<int>(picture->GetEffWidth());
  return ConvertYuv420ToRgb(width, height, picture->GetBits(static_cast<DWORD>(height - 1)), -pitch, 24, data,
                            vFirst ? second : first, vFirst ? first : second, width);
}

// The picture of a frame; false when none can be made of it.
bool FrameToPicture(const CMediaType& format, const BYTE* data, LONG length, CPicture* picture) {
  const GUID& subtype = format.subtype;
  const bool planar = IsPlanarSubtype(subtype);
  if (!planar && subtype != MEDIASUBTYPE_RGB24 && subtype != MEDIASUBTYPE_RGB32 && subtype != MEDIASUBTYPE_RGB8)
    return false;
  BITMAPINFOHEADER bih;
  if (!MediaTypeToBitmapInfo(&format, &bih) || bih.biWidth <= 0 || bih.biHeight == 0 || !data) return false;
  if (planar) return PlanarToPicture(bih, subtype, data, length, picture);
  const int bits = bih.biBitCount;
  if (bits != 8 && bits != 24 && bits != 32) return false;
  // DIB rows are padded to 4 bytes; a frame shorter than its rows is not
  // read at all.
  const uint64_t stride = DibRowBytes(bih.biWidth, bits);
  const int64_t height = std::abs(static_cast<int64_t>(bih.biHeight));
  if (stride > ULONG_MAX || length <= 0 || stride * static_cast<uint64_t>(height) > static_cast<uint64_t>(length))
    return false;
  return picture->CreateFromArray(const_cast<BYTE*>(data), static_cast<DWORD>(bih.biWidth),
                                  static_cast<DWORD>(height), static_cast<DWORD>(bits), static_cast<DWORD>(stride),
                                  bih.biHeight < 0);
}

// The picture turned clockwise by `degrees`; false when the turned one
// cannot be made.
bool TurnUpright(CPicture* picture, int degrees) {
  const DWORD width = picture->GetWidth(), height = picture->GetHeight(), bits = picture->GetBpp();
  const bool sideways = degrees == 90 || degrees == 270;
  CPicture turned(0);
  if (!turned.Create(sideways ? height : width, sideways ? width : height, bits, 0)) return false;
  if (bits <= 8) turned.SetPalette(picture->GetPalette(), picture->GetNumColors());
  // Both keep their rows bottom-up: the top row is the last one.
  const ptrdiff_t from = picture->GetEffWidth(), to = turned.GetEffWidth();
  if (!TurnPicture(static_cast<int>(width), static_cast<int>(height), static_cast<int>(bits / 8),
                   picture->GetBits(height - 1), -from, turned.GetBits(turned.GetHeight() - 1), -to, degrees))
    return false;
  return picture->TransferFrom(turned);
}

}  // namespace

void CStillWriter::SetTurn(int degrees) { m_nTurn = degrees == 90 || degrees == 180 || degrees == 270 ? degrees : 0; }

void CStillWriter::SetBox(int width, int height) {
  m_nBoxWidth = width;
  m_nBoxHeight = height;
}

void CStillWriter::SetJobFiles(std::shared_ptr<CJobFiles> files, bool replace) {
  m_pFiles = std::move(files);
  m_bReplace = replace;
}

int CStillWriter::Open(const std::string& path, bool series, std::string* reason) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    *reason = "not a regular file";
    return -1;
  }
  int fd = -1;
  if (series && m_pFiles) {
    fd = m_pFiles->CreatePicture(path, m_bReplace, reason);
  } else {
    // Not waiting: a pipe put there since is refused below, not waited on.
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
      close(fd);
      *reason = "not a regular file";
      return -1;
    }
  }
  if (fd < 0 && reason->empty()) *reason = std::strerror(errno);
  return fd;
}

CStillWriter::Result CStillWriter::Write(const CMediaType& format, const BYTE* data, LONG length,
                                             const std::string& path, bool series, std::string* reason) {
  CPicture picture(0);
  if (!FrameToPicture(format, data, length, &picture)) return kNotPictured;
  // Upright, and with pixels that are not square as it is shown, first.
  if (m_nTurn && !TurnUpright(&picture, m_nTurn)) return kNotPictured;
  LONG aspectX = 0, aspectY = 0;
  const LONG width = static_cast<LONG>(picture.GetWidth()), height = static_cast<LONG>(picture.GetHeight());
  if (VideoDisplayAspect(format, &aspectX, &aspectY)) {
    if (m_nTurn == 90 || m_nTurn == 270) std::swap(aspectX, aspectY);
    const int64_t shown = (int64_t{height} * aspectX + aspectY / 2) / aspectY;
    if (shown > 0 && shown <= 4 * int64_t{width} && shown != width && !picture.Resample(static_cast<LONG>(shown), height))
      return kNotPictured;
  }
  if (m_nBoxWidth != 0 && m_nBoxHeight != 0) {
    const RGBQUAD white{255, 255, 255, 255};
    if (!picture.ResampleToBox(m_nBoxWidth, m_nBoxHeight, white)) return kNotPictured;
  }
  const int fd = Open(path, series, reason);
  FILE* stream = fd >= 0 ? fdopen(fd, "wb") : nullptr;
  if (!stream) {
    if (fd >= 0) {
      *reason = std::strerror(errno);
      close(fd);
    }
    return kFailed;
  }
  bool ok = picture.EncodeFile(stream, PICTURE_FORMAT_JPG);
  if (!ok) *reason = picture.GetLastError();
  if (std::fclose(stream) != 0 && ok) {
    *reason = std::strerror(errno);
    ok = false;
  }
  if (ok) return kWritten;
  // A half-written picture would pass for a good one. The job's own files
  // go with the job's other files instead.
  if (!(series && m_pFiles)) unlink(path.c_str());
  return kFailed;
}
