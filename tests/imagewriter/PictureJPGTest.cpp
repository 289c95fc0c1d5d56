#include "imagewriter/PictureJPG.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "imagewriter/JpegLib.h"
#include "imagewriter/PictureFile.h"

namespace {

struct Decoded {
  int width = 0;
  int height = 0;
  int components = 0;
  bool progressive = false;
  bool arithmetic = false;
  int densityUnit = -1;
  int xDensity = 0;
  int yDensity = 0;
  std::vector<BYTE> pixels;  // top row first, as decoded
  std::string error;

  const BYTE* At(int x, int y) const { return &pixels[(static_cast<size_t>(y) * width + x) * components]; }
};

struct DecodeError {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void DecodeFatal(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<DecodeError*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

// Plain-data state only between setjmp and longjmp; the result vector lives
// in the caller's frame.
bool DecodeInto(const BYTE* data, size_t size, Decoded& out, jpeg_decompress_struct& cinfo, DecodeError& err) {
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = DecodeFatal;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  out.progressive = jpeg_has_multiple_scans(&cinfo);
  out.arithmetic = cinfo.arith_code;
  out.densityUnit = cinfo.density_unit;
  out.xDensity = cinfo.X_density;
  out.yDensity = cinfo.Y_density;
  jpeg_start_decompress(&cinfo);
  out.width = static_cast<int>(cinfo.output_width);
  out.height = static_cast<int>(cinfo.output_height);
  out.components = cinfo.output_components;
  out.pixels.resize(static_cast<size_t>(out.width) * out.height * out.components);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = &out.pixels[static_cast<size_t>(cinfo.output_scanline) * out.width * out.components];
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

Decoded Decode(const BYTE* data, size_t size) {
  Decoded out;
  jpeg_decompress_struct cinfo{};
  DecodeError err{};
  if (!DecodeInto(data, size, out, cinfo, err)) out.error = err.message;
  return out;
}

std::vector<BYTE> EncodeToMemory(CPicture& p) {
  CPictureMemFile f;
  EXPECT_TRUE(f.Open());
  EXPECT_TRUE(p.Encode(&f, PICTURE_FORMAT_JPG)) << p.GetLastError();
  const BYTE* b = f.GetBuffer(false);
  return std::vector<BYTE>(b, b + f.Size());
}

RGBQUAD Quad(BYTE r, BYTE g, BYTE b) { return RGBQUAD{b, g, r, 0}; }

// Four quadrants of plain colours; stored row 0 is the bottom of the picture.
void FillQuadrants(CPicture& p) {
  const LONG w = static_cast<LONG>(p.GetWidth()), h = static_cast<LONG>(p.GetHeight());
  for (LONG y = 0; y < h; ++y)
    for (LONG x = 0; x < w; ++x) {
      const bool top = y >= h / 2, left = x < w / 2;
      p.SetPixelColor(x, y, top ? (left ? Quad(220, 30, 30) : Quad(30, 200, 40))
                                : (left ? Quad(20, 40, 210) : Quad(240, 240, 20)));
    }
}

void ExpectNear(const BYTE* rgb, int r, int g, int b, int tolerance = 10) {
  EXPECT_NEAR(rgb[0], r, tolerance);
  EXPECT_NEAR(rgb[1], g, tolerance);
  EXPECT_NEAR(rgb[2], b, tolerance);
}

// An output that takes at most `limit` bytes of each write.
class ShortWriteFile : public CPictureMemFile {
 public:
  explicit ShortWriteFile(size_t limit) : m_limit(limit) { Open(); }
  size_t Write(const void* buffer, size_t size, size_t count) override {
    const size_t bytes = std::min(size * count, m_limit);
    return CPictureMemFile::Write(buffer, 1, bytes) / (size ? size : 1);
  }

 private:
  size_t m_limit;
};

}  // namespace

TEST(PictureJPG, ColourPictureInMemory) {
  CPicture p(160, 120, 24, 0);
  FillQuadrants(p);
  const std::vector<BYTE> jpeg = EncodeToMemory(p);
  ASSERT_GT(jpeg.size(), 100u);
  EXPECT_EQ(jpeg[0], 0xFF);
  EXPECT_EQ(jpeg[1], 0xD8);
  const Decoded d = Decode(jpeg.data(), jpeg.size());
  ASSERT_EQ(d.error, "");
  EXPECT_EQ(d.width, 160);
  EXPECT_EQ(d.height, 120);
  EXPECT_EQ(d.components, 3);
  EXPECT_FALSE(d.progressive);
  EXPECT_EQ(d.densityUnit, 1);
  EXPECT_EQ(d.xDensity, 96);
  EXPECT_EQ(d.yDensity, 96);
  // The first decoded row is the top of the picture; red stays red.
  ExpectNear(d.At(20, 10), 220, 30, 30);
  ExpectNear(d.At(140, 10), 30, 200, 40);
  ExpectNear(d.At(20, 110), 20, 40, 210);
  ExpectNear(d.At(140, 110), 240, 240, 20);
}

TEST(PictureJPG, SaveToFileAndSettings) {
  CPicture p(64, 48, 24, 0);
  FillQuadrants(p);
  p.SetXDPI(300);
  p.SetYDPI(72);
  const std::string path = std::string("/tmp/pellomar_iw_") + std::to_string(::getpid()) + "_img_1.jpg";
  ASSERT_TRUE(p.Save(path.c_str(), PICTURE_FORMAT_JPG)) << p.GetLastError();
  FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::vector<BYTE> data;
  for (int c; (c = std::fgetc(f)) != EOF;) data.push_back(static_cast<BYTE>(c));
  std::fclose(f);
  std::remove(path.c_str());
  const Decoded d = Decode(data.data(), data.size());
  ASSERT_EQ(d.error, "");
  EXPECT_EQ(d.width, 64);
  EXPECT_EQ(d.xDensity, 300);
  EXPECT_EQ(d.yDensity, 72);
  ExpectNear(d.At(5, 5), 220, 30, 30);
}

TEST(PictureJPG, QualityAndProgressiveOptions) {
  CPicture p(128, 96, 24, 0);
  // Noisy content, so that quality shows in the size.
  unsigned seed = 1;
  for (LONG y = 0; y < 96; ++y)
    for (LONG x = 0; x < 128; ++x) {
      seed = seed * 1103515245u + 12345u;
      p.SetPixelColor(x, y, Quad(static_cast<BYTE>(seed >> 16), static_cast<BYTE>(x * 2), static_cast<BYTE>(y * 2)));
    }
  p.SetJpegQuality(95);
  const size_t high = EncodeToMemory(p).size();
  p.SetJpegQuality(20);
  const size_t low = EncodeToMemory(p).size();
  EXPECT_LT(low * 2, high);

  p.SetCodecOption(CPictureJPG::ENCODE_PROGRESSIVE, PICTURE_FORMAT_JPG);
  std::vector<BYTE> jpeg = EncodeToMemory(p);
  Decoded d = Decode(jpeg.data(), jpeg.size());
  ASSERT_EQ(d.error, "");
  EXPECT_TRUE(d.progressive);
  EXPECT_EQ(d.width, 128);

  p.SetCodecOption(CPictureJPG::ENCODE_ARITHMETIC, PICTURE_FORMAT_JPG);
  jpeg = EncodeToMemory(p);
  d = Decode(jpeg.data(), jpeg.size());
  ASSERT_EQ(d.error, "");
  EXPECT_TRUE(d.arithmetic);
  EXPECT_FALSE(d.progressive);

  p.SetCodecOption(CPictureJPG::ENCODE_OPTIMIZE | CPictureJPG::ENCODE_SMOOTHING | CPictureJPG::ENCODE_BASELINE,
                   PICTURE_FORMAT_JPG);
  jpeg = EncodeToMemory(p);
  d = Decode(jpeg.data(), jpeg.size());
  ASSERT_EQ(d.error, "");
  EXPECT_FALSE(d.arithmetic);
  EXPECT_EQ(d.width, 128);

  // Options the library cannot combine fail with its own text.
  p.SetCodecOption(CPictureJPG::ENCODE_ARITHMETIC | CPictureJPG::ENCODE_OPTIMIZE, PICTURE_FORMAT_JPG);
  CPictureMemFile f;
  ASSERT_TRUE(f.Open());
  EXPECT_FALSE(p.Encode(&f, PICTURE_FORMAT_JPG));
  EXPECT_STRNE(p.GetLastError(), "");

  p.SetCodecOption(CPictureJPG::ENCODE_GRAYSCALE, PICTURE_FORMAT_JPG);
  jpeg = EncodeToMemory(p);
  d = Decode(jpeg.data(), jpeg.size());
  ASSERT_EQ(d.error, "");
  EXPECT_EQ(d.components, 1);
}

TEST(PictureJPG, GreyPicturesAndRefusedPalettes) {
  // 8-bit frame data: left half 40, right half 200.
  std::vector<BYTE> frame(48 * 32);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = (i % 48) < 24 ? 40 : 200;
  CPicture p;
  ASSERT_TRUE(p.CreateFromArray(frame.data(), 48, 32, 8, 48, true));
  std::vector<BYTE> jpeg = EncodeToMemory(p);
  Decoded d = Decode(jpeg.data(), jpeg.size());
  ASSERT_EQ(d.error, "");
  EXPECT_EQ(d.components, 1);
  EXPECT_NEAR(*d.At(5, 5), 40, 6);
  EXPECT_NEAR(*d.At(40, 20), 200, 6);

  CPictureMemFile f;
  ASSERT_TRUE(f.Open());
  ASSERT_TRUE(p.CreateFromArray(frame.data(), 48, 32, 1, 6, false));
  EXPECT_FALSE(p.Encode(&f, PICTURE_FORMAT_JPG));
  EXPECT_STREQ(p.GetLastError(), "JPEG can save only RGB or GreyScale images");

  // A 4-bit picture whose 16 entries happen to be (i, i, i) is still packed
  // data, not one byte per sample.
  CPicture packed(64, 4, 4, 0);
  for (int i = 0; i < 16; ++i) packed.SetPaletteColor(static_cast<BYTE>(i), Quad(i, i, i));
  ASSERT_TRUE(packed.IsGrayScale());
  EXPECT_FALSE(packed.Encode(&f, PICTURE_FORMAT_JPG));
  EXPECT_STREQ(packed.GetLastError(), "JPEG can save only RGB or GreyScale images");

  CPicture colours(8, 8, 8, 0);  // cleared palette: not a ramp
  EXPECT_FALSE(colours.Encode(&f, PICTURE_FORMAT_JPG));
  EXPECT_EQ(f.Size(), 0);
}

TEST(PictureJPG, ShortWritesFailWithTheLibraryMessage) {
  CPicture big(256, 256, 24, 0);
  unsigned seed = 7;
  for (LONG y = 0; y < 256; ++y)
    for (LONG x = 0; x < 256; ++x) {
      seed = seed * 1103515245u + 12345u;
      big.SetPixelColor(x, y, Quad(static_cast<BYTE>(seed >> 16), static_cast<BYTE>(seed >> 8), 0));
    }
  ShortWriteFile half(2048);
  EXPECT_FALSE(big.Encode(&half, PICTURE_FORMAT_JPG));
  EXPECT_NE(std::string(big.GetLastError()).find("write error"), std::string::npos) << big.GetLastError();

  // A small picture fits in one buffer: only the final, short write fails.
  CPicture small(8, 8, 24, 0);
  ShortWriteFile tiny(100);
  EXPECT_FALSE(small.Encode(&tiny, PICTURE_FORMAT_JPG));
  EXPECT_NE(std::string(small.GetLastError()).find("write error"), std::string::npos) << small.GetLastError();
  // The picture is intact and can be written again.
  EXPECT_TRUE(small.IsValid());
  EXPECT_FALSE(EncodeToMemory(small).empty());
}

TEST(PictureJPG, VideoFrameFittedIntoAStillPicture) {
  // A top-down 32-bit frame of 640 x 480: upper half red, lower half blue.
  const LONG w = 640, h = 480;
  std::vector<BYTE> frame(static_cast<size_t>(w) * h * 4);
  for (LONG y = 0; y < h; ++y)
    for (LONG x = 0; x < w; ++x) {
      BYTE* px = &frame[(static_cast<size_t>(y) * w + x) * 4];
      const bool upper = y < h / 2;
      px[0] = upper ? 0 : 255;
      px[1] = 0;
      px[2] = upper ? 255 : 0;
      px[3] = 255;
    }
  CPicture p;
  ASSERT_TRUE(p.CreateFromArray(frame.data(), w, h, 32, w * 4, true));
  ASSERT_TRUE(p.ResampleToBox(160, 160, RGBQUAD{255, 255, 255, 255}));
  const std::vector<BYTE> jpeg = EncodeToMemory(p);
  const Decoded d = Decode(jpeg.data(), jpeg.size());
  ASSERT_EQ(d.error, "");
  EXPECT_EQ(d.width, 160);
  EXPECT_EQ(d.height, 160);
  ExpectNear(d.At(80, 5), 255, 255, 255, 6);    // white bar above
  ExpectNear(d.At(80, 50), 255, 0, 0, 12);      // upper half of the frame
  ExpectNear(d.At(80, 110), 0, 0, 255, 12);     // lower half
  ExpectNear(d.At(80, 155), 255, 255, 255, 6);  // white bar below
}
