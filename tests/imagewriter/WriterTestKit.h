// Shared pieces of the format writer tests: test pictures of every depth,
// the colours a reader must find in them, reading a written file back with
// the ffmpeg tool, and outputs that fail on purpose.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "imagewriter/Picture.h"
#include "imagewriter/PictureFile.h"

namespace kit {

struct Rgba {
  BYTE r, g, b, a;
  bool operator==(const Rgba& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
};

// Pixels top row first, as readers deliver them.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<Rgba> px;
  const Rgba& At(int x, int y) const { return px[static_cast<size_t>(y) * width + x]; }
};

inline std::string TempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/pellomar_iw_" + std::to_string(::getpid()) + "_" + name;
}

inline bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

inline RGBQUAD Quad(BYTE r, BYTE g, BYTE b, BYTE a = 0) { return RGBQUAD{b, g, r, a}; }

// Content that gives every coder work: long runs in the top third, noise in
// the middle, short runs below. `bpp` 32 means 24 bits with an alpha plane;
// `grey` gives an 8-bit picture a grey ramp palette.
inline void MakePicture(CPicture& p, int bpp, DWORD width, DWORD height, unsigned seed = 1, bool grey = false) {
  ASSERT_TRUE(p.Create(width, height, bpp == 32 ? 24 : bpp, 0)) << p.GetLastError();
  const DWORD colours = p.GetNumColors();
  if (grey) {
    p.SetGrayPalette();
  } else {
    for (DWORD i = 0; i < colours; ++i)
      p.SetPaletteColor(static_cast<BYTE>(i), Quad(static_cast<BYTE>(i * 37 + 11), static_cast<BYTE>(255 - i * 5),
                                                   static_cast<BYTE>(i * 101)));
    if (colours == 2) {
      p.SetPaletteColor(0, Quad(0, 0, 0));
      p.SetPaletteColor(1, Quad(255, 255, 255));
    }
  }
  if (bpp == 32) p.AlphaCreate();
  for (DWORD y = 0; y < height; ++y) {
    for (DWORD x = 0; x < width; ++x) {
      seed = seed * 1103515245u + 12345u;
      const DWORD noise = seed >> 16;
      const DWORD band = y * 3 / height;
      const DWORD v = band == 2 ? y : band == 1 ? noise : x / 5 + y;
      const LONG xx = static_cast<LONG>(x), yy = static_cast<LONG>(y);
      if (colours) {
        p.SetPixelIndex(xx, yy, static_cast<BYTE>(v % colours));
      } else {
        p.SetPixelColor(xx, yy, Quad(static_cast<BYTE>(v * 7), static_cast<BYTE>(x * 3 + v), static_cast<BYTE>(y * 5)));
        if (bpp == 32) p.AlphaSet(xx, yy, static_cast<BYTE>(band == 1 ? noise : (x * 9) & 255));
      }
    }
  }
}

// What a reader must see: the picture's colours, with the alpha plane's
// values (opaque without one); with `keyed`, pixels of the background
// colour are transparent.
inline Image Expected(const CPicture& p, bool keyed = false) {
  Image out;
  out.width = static_cast<int>(p.GetWidth());
  out.height = static_cast<int>(p.GetHeight());
  const RGBQUAD key = p.GetTransColor();
  for (int r = 0; r < out.height; ++r)
    for (int x = 0; x < out.width; ++x) {
      const LONG y = out.height - 1 - r;
      const RGBQUAD c = p.GetPixelColor(x, y, false);
      BYTE a = p.HasAlpha() ? p.AlphaGet(x, y) : BYTE{255};
      if (keyed && c.rgbRed == key.rgbRed && c.rgbGreen == key.rgbGreen && c.rgbBlue == key.rgbBlue) a = 0;
      out.px.push_back(Rgba{c.rgbRed, c.rgbGreen, c.rgbBlue, a});
    }
  return out;
}

inline std::string Run(const std::string& command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return out;
  char buffer[65536];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) out.append(buffer, n);
  return out;
}

inline bool HaveFfmpeg() { return std::system("ffmpeg -version >/dev/null 2>&1 && ffprobe -version >/dev/null 2>&1") == 0; }

// The file as ffmpeg decodes it, in RGBA; for a file of several images
// (a GIF mosaic) the last, fully composed frame.
inline Image DecodeWithFfmpeg(const std::string& path) {
  Image img;
  const std::string size =
      Run("ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x '" + path + "'");
  if (std::sscanf(size.c_str(), "%dx%d", &img.width, &img.height) != 2) return Image{};
  const std::string bytes =
      Run("ffmpeg -v error -i '" + path + "' -fps_mode passthrough -f rawvideo -pix_fmt rgba - 2>/dev/null");
  const size_t frame = static_cast<size_t>(img.width) * img.height * 4;
  if (frame == 0 || bytes.size() < frame || bytes.size() % frame != 0) return Image{};
  img.px.resize(frame / 4);
  std::memcpy(img.px.data(), bytes.data() + bytes.size() - frame, frame);
  return img;
}

// Pixel by pixel; `alpha` false compares colours only. The colour of a
// pixel that both sides find fully transparent does not matter.
inline ::testing::AssertionResult SameImage(const Image& want, const Image& got, bool alpha = true) {
  if (want.width != got.width || want.height != got.height || got.px.size() != want.px.size())
    return ::testing::AssertionFailure() << "size " << got.width << "x" << got.height << ", expected " << want.width
                                         << "x" << want.height;
  for (size_t i = 0; i < want.px.size(); ++i) {
    const Rgba& a = want.px[i];
    const Rgba& b = got.px[i];
    if (alpha && a.a == 0 && b.a == 0) continue;
    if (a.r != b.r || a.g != b.g || a.b != b.b || (alpha && a.a != b.a))
      return ::testing::AssertionFailure() << "pixel (" << i % want.width << ", " << i / want.width << ") is "
                                           << int(b.r) << "," << int(b.g) << "," << int(b.b) << "," << int(b.a)
                                           << ", expected " << int(a.r) << "," << int(a.g) << "," << int(a.b) << ","
                                           << int(a.a);
  }
  return ::testing::AssertionSuccess();
}

inline double Psnr(const Image& a, const Image& b) {
  if (a.px.size() != b.px.size() || a.px.empty()) return 0;
  double sum = 0;
  for (size_t i = 0; i < a.px.size(); ++i) {
    const double dr = a.px[i].r - b.px[i].r, dg = a.px[i].g - b.px[i].g, db = a.px[i].b - b.px[i].b;
    sum += dr * dr + dg * dg + db * db;
  }
  const double mse = sum / (a.px.size() * 3.0);
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

inline std::vector<BYTE> EncodeToMemory(CPicture& p, DWORD format) {
  CPictureMemFile f;
  EXPECT_TRUE(f.Open());
  EXPECT_TRUE(p.Encode(&f, format)) << p.GetLastError();
  const BYTE* b = f.GetBuffer(false);
  return std::vector<BYTE>(b, b + std::max<LONG>(f.Size(), 0));
}

// Saves under a temporary name and gives the path (removed by the caller).
inline std::string SaveTemp(CPicture& p, DWORD format, const std::string& name) {
  const std::string path = TempPath(name);
  EXPECT_TRUE(p.Save(path.c_str(), format)) << name << ": " << p.GetLastError();
  return path;
}

// The picture saved in `format` and read back by ffmpeg, which knows some
// formats by their extension only.
inline Image ThroughFfmpeg(CPicture& p, DWORD format) {
  static const char* const kExtensions[PICTURE_FORMAT_COUNT] = {
      "", "bmp", "gif", "jpg", "png", "ico", "tif", "tga", "pcx", "wbmp", "wmf", "jp2", "j2k", "pgx", "pnm", "ras"};
  const std::string path = SaveTemp(p, format, std::string("readback.") + kExtensions[format % PICTURE_FORMAT_COUNT]);
  Image img = DecodeWithFfmpeg(path);
  std::remove(path.c_str());
  return img;
}

// Encoding is refused with `text` and writes nothing.
inline ::testing::AssertionResult Refused(CPicture& p, DWORD format, const char* text) {
  CPictureMemFile f;
  f.Open();
  if (p.Encode(&f, format)) return ::testing::AssertionFailure() << "written";
  if (std::string(p.GetLastError()) != text) return ::testing::AssertionFailure() << "text: " << p.GetLastError();
  if (f.Size() != 0) return ::testing::AssertionFailure() << f.Size() << " bytes written";
  return ::testing::AssertionSuccess();
}

inline WORD Le16(const std::vector<BYTE>& d, size_t at) { return static_cast<WORD>(d[at] | (d[at + 1] << 8)); }
inline DWORD Le32(const std::vector<BYTE>& d, size_t at) { return Le16(d, at) | (static_cast<DWORD>(Le16(d, at + 2)) << 16); }

// An output that accepts `limit` bytes in all and then falls short, as a
// full disk does half-way through a file.
class ShortWriteFile : public CPictureMemFile {
 public:
  explicit ShortWriteFile(size_t limit) : m_left(limit) { Open(); }
  size_t Write(const void* buffer, size_t size, size_t count) override {
    const size_t bytes = std::min(size * count, m_left);
    m_left -= bytes;
    if (bytes == 0) return 0;
    return CPictureMemFile::Write(buffer, 1, bytes) / (size ? size : 1);
  }
  bool PutC(BYTE c) override { return Write(&c, 1, 1) == 1; }

 private:
  size_t m_left;
};

}  // namespace kit
