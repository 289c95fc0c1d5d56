// Every still-image writer over pictures, settings and output failures made
// from the fuzzer's bytes: no crash, no overrun, a text with every false.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "imagewriter/Picture.h"
#include "imagewriter/PictureFile.h"

namespace {

// Takes `limit` bytes in all, then falls short.
class LimitedFile : public CPictureMemFile {
 public:
  explicit LimitedFile(size_t limit) : m_left(limit) { Open(); }
  size_t Write(const void* buffer, size_t size, size_t count) override {
    const size_t bytes = size * count <= m_left ? size * count : m_left;
    m_left -= bytes;
    return bytes == 0 ? 0 : CPictureMemFile::Write(buffer, 1, bytes) / (size ? size : 1);
  }
  bool PutC(BYTE c) override { return Write(&c, 1, 1) == 1; }

 private:
  size_t m_left;
};

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t Byte() { return at < size ? data[at++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  const DWORD format = 1 + in.Byte() % 15;
  const int depths[] = {1, 4, 8, 24, 32};
  const int bpp = depths[in.Byte() % 5];
  const DWORD width = 1 + in.Byte() % 200;
  const DWORD height = 1 + in.Byte() % 200;
  CPicture p;
  if (!p.Create(width, height, bpp == 32 ? 24 : bpp, 0)) return 0;
  if (bpp == 32) p.AlphaCreate();
  p.SetTransIndex(static_cast<int16_t>(in.Word()));
  p.SetTransColor(RGBQUAD{in.Byte(), in.Byte(), in.Byte(), in.Byte()});
  p.SetCodecOption(in.Byte() % 9, format);
  p.SetJpegQuality(in.Byte() % 101);
  p.AlphaSetMax(in.Byte());
  p.AlphaPaletteEnable(in.Byte() & 1);
  p.SetOffset(static_cast<int16_t>(in.Word()), static_cast<int16_t>(in.Word()));
  const size_t limit = in.Byte() == 0 ? in.Word() : SIZE_MAX;
  if (p.GetNumColors() && (in.Byte() & 1)) p.SetGrayPalette();
  // The rest of the input, repeated, fills the palette, pixels and alpha.
  const size_t rest = size - in.at;
  if (rest > 0) {
    const uint8_t* src = data + in.at;
    auto fill = [&](BYTE* dst, size_t n) {
      for (size_t i = 0; i < n; ++i) dst[i] = src[i % rest];
    };
    if (RGBQUAD* palette = p.GetPalette(); palette && !(src[0] & 2))
      fill(reinterpret_cast<BYTE*>(palette), p.GetNumColors() * sizeof(RGBQUAD));
    fill(p.GetBits(0), p.GetHeader().biSizeImage);
    if (p.HasAlpha()) fill(const_cast<BYTE*>(p.GetAlpha()), static_cast<size_t>(width) * height);
  }
  LimitedFile out(limit);
  if (!p.Encode(&out, format) && p.GetLastError()[0] == '\0') std::abort();
  return 0;
}
