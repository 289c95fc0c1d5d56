// BMP and ICO writers: every depth read back by ffmpeg; header fields and
// the icon's transparency mask checked in the bytes.
#include "imagewriter/PictureBMP.h"

#include "tests/imagewriter/WriterTestKit.h"

using namespace kit;

TEST(PictureBMP, EveryDepthReadsBackPixelForPixel) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  struct Case {
    int bpp;
    DWORD width, height;
    size_t pixelOffset;
  };
  const Case cases[] = {{1, 37, 29, 62}, {4, 37, 29, 118}, {8, 37, 29, 1078}, {24, 37, 29, 54}, {32, 33, 20, 54}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bpp);
    CPicture p;
    MakePicture(p, c.bpp, c.width, c.height, c.bpp);
    p.SetXDPI(300);
    // A colour picture's alpha plane has no place in a BMP file.
    EXPECT_TRUE(SameImage(Expected(p), ThroughFfmpeg(p, PICTURE_FORMAT_BMP), c.bpp != 32));

    const std::vector<BYTE> file = EncodeToMemory(p, PICTURE_FORMAT_BMP);
    ASSERT_EQ(file.size(), p.GetSize() + 14);
    EXPECT_EQ(Le16(file, 0), 0x4D42);
    EXPECT_EQ(Le32(file, 2), file.size());
    EXPECT_EQ(Le32(file, 10), c.pixelOffset);
    EXPECT_EQ(Le32(file, 14 + 24), 11811u);  // 300 dpi in pixels per metre
  }
  CPicture small(5, 3, 24, 0);
  EXPECT_EQ(EncodeToMemory(small, PICTURE_FORMAT_BMP).size(), 102u);
}

TEST(PictureICO, ColoursAndTransparencyMask) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  struct Case {
    int bpp;
    DWORD width, height;
    LONG transIndex;  // -1 none
    WORD bitCount;    // 0: refused
  };
  const Case cases[] = {{1, 16, 16, -1, 1}, {4, 37, 29, -1, 4},  {8, 37, 29, 4, 8},       {24, 37, 29, 0, 24},
                        {32, 37, 29, -1, 32}, {24, 255, 255, -1, 24}, {24, 256, 10, -1, 0}, {8, 10, 300, -1, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bpp << " bits, " << c.width << "x" << c.height);
    CPicture p;
    MakePicture(p, c.bpp, c.width, c.height, 5);
    if (c.transIndex >= 0) {
      p.SetTransIndex(c.transIndex);
      p.SetTransColor(Quad(0, 3, 0));  // a colour of the bottom band for 24 bits
    }
    if (c.bitCount == 0) {
      EXPECT_TRUE(Refused(p, PICTURE_FORMAT_ICO, "Can't save this image as icon"));
      continue;
    }
    const std::vector<BYTE> file = EncodeToMemory(p, PICTURE_FORMAT_ICO);
    ASSERT_GT(file.size(), 62u);
    EXPECT_EQ(file[6], static_cast<BYTE>(c.width));
    EXPECT_EQ(file[7], static_cast<BYTE>(c.height));
    EXPECT_EQ(Le16(file, 12), c.bitCount);
    EXPECT_EQ(Le32(file, 18), 22u);
    EXPECT_EQ(Le32(file, 14), file.size() - 22);
    EXPECT_EQ(Le32(file, 22 + 8), c.height * 2);

    // The mask follows the colour data: one bit per pixel, rows of whole
    // 32-bit words, bottom row first.
    const DWORD maskRow = (c.width + 31) / 32 * 4;
    const size_t maskAt = file.size() - static_cast<size_t>(maskRow) * c.height;
    const Image want = Expected(p, c.transIndex >= 0);
    size_t masked = 0;
    for (DWORD y = 0; y < c.height; ++y)
      for (DWORD x = 0; x < c.width; ++x) {
        const bool bit = (file[maskAt + y * maskRow + x / 8] >> (7 - x % 8)) & 1;
        const bool clear = want.At(static_cast<int>(x), static_cast<int>(c.height - 1 - y)).a == 0;
        ASSERT_EQ(bit, clear) << "mask at " << x << ", " << y;
        masked += bit;
      }
    if (c.transIndex >= 0 || c.bpp == 32) {
      EXPECT_GT(masked, 0u);
    }

    EXPECT_TRUE(SameImage(Expected(p), ThroughFfmpeg(p, PICTURE_FORMAT_ICO)));
  }
}
