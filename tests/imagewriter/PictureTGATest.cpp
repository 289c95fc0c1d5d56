// TGA, PCX and WBMP writers: read back by ffmpeg where it reads the
// variant, by the few lines of a reader below where it does not.
#include "imagewriter/PicturePCX.h"

#include "tests/imagewriter/WriterTestKit.h"

using namespace kit;

namespace {

// PCX run-length data back to plane lines.
std::vector<BYTE> UnpackPcx(const std::vector<BYTE>& file, size_t wanted) {
  std::vector<BYTE> out;
  for (size_t i = 128; i < file.size() && out.size() < wanted; ++i) {
    size_t run = 1;
    if ((file[i] & 0xC0) == 0xC0 && i + 1 < file.size()) run = file[i++] & 0x3F;
    out.insert(out.end(), run, file[i]);
  }
  return out;
}

std::vector<BYTE> Pack(std::vector<BYTE> line) {
  std::vector<BYTE> out;
  CPicturePCX::PackLine(line.data(), line.size(), out);
  return out;
}

}  // namespace

TEST(PictureTGA, DepthsSizesAndAlpha) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  struct Case {
    int bpp;
    DWORD width, height;
    BYTE alphaMax;
    size_t size;  // 0: refused
  };
  const Case cases[] = {{8, 3, 2, 255, 18 + 768 + 6}, {24, 3, 2, 255, 18 + 18}, {32, 3, 2, 255, 18 + 24},
                        {8, 37, 29, 255, 18 + 768 + 37 * 29}, {24, 37, 29, 255, 18 + 37 * 29 * 3},
                        {32, 37, 29, 128, 18 + 37 * 29 * 4}, {1, 8, 8, 255, 0}, {4, 8, 8, 255, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bpp << " bits, " << c.width << "x" << c.height);
    CPicture p;
    MakePicture(p, c.bpp, c.width, c.height, 3);
    p.AlphaSetMax(c.alphaMax);
    if (c.size == 0) {
      EXPECT_TRUE(Refused(p, PICTURE_FORMAT_TGA, "Bit depth must be 8 or 24"));
      continue;
    }
    const std::vector<BYTE> file = EncodeToMemory(p, PICTURE_FORMAT_TGA);
    EXPECT_EQ(file.size(), c.size);
    EXPECT_EQ(file[16], c.bpp == 8 ? 8 : c.bpp);
    EXPECT_EQ(file[17], c.bpp == 32 ? 8 : 0);

    Image want = Expected(p);
    for (Rgba& px : want.px) px.a = static_cast<BYTE>(px.a * c.alphaMax / 255);
    EXPECT_TRUE(SameImage(want, ThroughFfmpeg(p, PICTURE_FORMAT_TGA)));
  }
}

TEST(PicturePCX, PlanesRunsAndPalettes) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  EXPECT_EQ(Pack(std::vector<BYTE>(100, 7)), (std::vector<BYTE>{0xFF, 0x07, 0xE5, 0x07}));
  EXPECT_EQ(Pack({0xC5}), (std::vector<BYTE>{0xC1, 0xC5}));
  EXPECT_EQ(Pack({0x41, 0x42, 0x42}), (std::vector<BYTE>{0x41, 0xC2, 0x42}));

  struct Case {
    int bpp;
    DWORD width, height;
    bool whiteFirst;  // 1-bit palette white, black
    BYTE planes;
    WORD lineBytes;
  };
  const Case cases[] = {{1, 37, 29, false, 1, 6}, {1, 37, 29, true, 1, 6}, {4, 37, 29, false, 4, 6},
                        {8, 5, 4, false, 1, 6},   {8, 64, 30, false, 1, 64}, {24, 37, 29, false, 3, 38},
                        {32, 37, 29, false, 4, 38}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bpp << " bits, " << c.width << "x" << c.height);
    CPicture p;
    MakePicture(p, c.bpp, c.width, c.height, 9);
    if (c.whiteFirst) {
      p.SetPaletteColor(0, Quad(255, 255, 255));
      p.SetPaletteColor(1, Quad(0, 0, 0));
    }
    const std::vector<BYTE> file = EncodeToMemory(p, PICTURE_FORMAT_PCX);
    ASSERT_GT(file.size(), 128u);
    EXPECT_EQ(file[65], c.planes);
    EXPECT_EQ(Le16(file, 66), c.lineBytes);
    EXPECT_EQ(Le16(file, 8), c.width - 1);
    if (c.bpp == 1) {
      EXPECT_EQ(file[19], 255);  // header map: black, white
    }
    if (c.bpp == 8) {
      EXPECT_EQ(file[file.size() - 769], 0x0C);
    }

    if (c.bpp == 32) {
      // Four 8-bit planes are beyond ffmpeg's reader: unpack them here.
      const std::vector<BYTE> lines = UnpackPcx(file, size_t{c.lineBytes} * 4 * c.height);
      ASSERT_EQ(lines.size(), size_t{c.lineBytes} * 4 * c.height);
      const Image want = Expected(p);
      for (DWORD y = 0; y < c.height; ++y)
        for (DWORD x = 0; x < c.width; ++x) {
          const Rgba& w = want.At(static_cast<int>(x), static_cast<int>(y));
          const BYTE* row = &lines[size_t{y} * c.lineBytes * 4 + x];
          ASSERT_EQ((Rgba{row[0], row[c.lineBytes], row[2 * c.lineBytes], row[3 * c.lineBytes]}), w) << x << "," << y;
        }
      continue;
    }
    EXPECT_TRUE(SameImage(Expected(p), ThroughFfmpeg(p, PICTURE_FORMAT_PCX)));
  }
}

TEST(PictureWBMP, OneBitPicturesOnly) {
  CPicture p;
  MakePicture(p, 1, 200, 10, 4);
  std::vector<BYTE> file = EncodeToMemory(p, PICTURE_FORMAT_WBMP);
  ASSERT_EQ(file.size(), 5u + 25 * 10);
  EXPECT_EQ((std::vector<BYTE>(file.begin(), file.begin() + 5)), (std::vector<BYTE>{0x00, 0x00, 0x81, 0x48, 0x0A}));
  // Rows from the top, leftmost pixel in bit 7, 1 for index 1.
  for (LONG r = 0; r < 10; ++r)
    for (LONG x = 0; x < 200; ++x)
      ASSERT_EQ((file[5 + r * 25 + x / 8] >> (7 - x % 8)) & 1, p.GetPixelIndex(x, 9 - r)) << x << "," << r;

  const std::pair<int, DWORD> refused[] = {{1, 256}, {8, 16}, {24, 16}};
  for (const auto& [bpp, width] : refused) {
    CPicture q;
    MakePicture(q, bpp, width, 10);
    EXPECT_TRUE(Refused(q, PICTURE_FORMAT_WBMP, "Can't save this image as WBMP"));
  }
}
