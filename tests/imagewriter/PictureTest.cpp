#include "imagewriter/Picture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

RGBQUAD Quad(BYTE r, BYTE g, BYTE b, BYTE a = 0) { return RGBQUAD{b, g, r, a}; }

bool Same(RGBQUAD a, RGBQUAD b) {
  return a.rgbRed == b.rgbRed && a.rgbGreen == b.rgbGreen && a.rgbBlue == b.rgbBlue;
}

}  // namespace

TEST(PictureCreate, SizesAndPaletteFollowTheBitCount) {
  CPicture p;
  ASSERT_NE(p.Create(5, 3, 24, 0), nullptr);
  EXPECT_EQ(p.GetEffWidth(), 16u);
  EXPECT_EQ(p.GetHeader().biSizeImage, 48u);
  EXPECT_EQ(p.GetNumColors(), 0u);
  EXPECT_EQ(p.GetSize(), 40u + 48u);

  ASSERT_NE(p.Create(5, 3, 2, 0), nullptr);
  EXPECT_EQ(p.GetBpp(), 4);
  EXPECT_EQ(p.GetNumColors(), 16u);
  EXPECT_EQ(p.GetEffWidth(), 4u);
  EXPECT_EQ(p.GetSize(), 40u + 64u + 12u);

  ASSERT_NE(p.Create(33, 2, 1, 0), nullptr);
  EXPECT_EQ(p.GetEffWidth(), 8u);
  ASSERT_NE(p.Create(7, 2, 6, 0), nullptr);
  EXPECT_EQ(p.GetBpp(), 8);
  EXPECT_EQ(p.GetEffWidth(), 8u);
  // The block handed to writers starts with a copy of the header.
  BITMAPINFOHEADER head;
  std::memcpy(&head, p.GetDib(), sizeof head);
  EXPECT_EQ(head.biWidth, 7);
  EXPECT_EQ(head.biClrUsed, 256u);
}

TEST(PictureCreate, BadSizesAreRefusedWithAText) {
  CPicture p;
  EXPECT_EQ(p.Create(0, 10, 24, 0), nullptr);
  EXPECT_STREQ(p.GetLastError(), "CPicture::Create : width and height must be greater than zero");
  EXPECT_EQ(p.Create(10, 0, 24, 0), nullptr);
  EXPECT_FALSE(p.IsValid());

  EXPECT_EQ(p.Create(100000, 100000, 24, 0), nullptr);
  EXPECT_STREQ(p.GetLastError(), "CPICTURE_MAX_MEMORY exceeded");
  EXPECT_EQ(p.Create(0xFFFFFFFFu, 0xFFFFFFFFu, 24, 0), nullptr);
  EXPECT_STREQ(p.GetLastError(), "CPICTURE_MAX_MEMORY exceeded");
  // Width x 24 bits passes 32 bits: the rows would be far larger than a
  // 32-bit size computation says; the whole picture is over 2 GB.
  EXPECT_EQ(p.Create(180000000u, 4, 24, 0), nullptr);
  EXPECT_STREQ(p.GetLastError(), "CPICTURE_MAX_MEMORY exceeded");
  // A width that does not fit the header's signed field.
  EXPECT_EQ(p.Create(3000000000u, 1, 1, 0), nullptr);
  EXPECT_FALSE(p.IsValid());
  EXPECT_EQ(p.GetBits(0), nullptr);

  // A failed Create leaves an empty picture that can be created again.
  ASSERT_NE(p.Create(4, 4, 8, 0), nullptr);
  EXPECT_TRUE(p.IsValid());
}

TEST(PictureCreate, SettingsSurviveRecreation) {
  CPicture p;
  EXPECT_EQ(p.GetJpegQuality(), 90);
  EXPECT_EQ(p.GetTransIndex(), -1);
  p.SetJpegQuality(40);
  p.SetXDPI(0);
  EXPECT_EQ(p.GetXDPI(), 96u);
  EXPECT_EQ(p.GetHeader().biXPelsPerMeter, 3780);
  p.SetYDPI(300);
  EXPECT_EQ(p.GetHeader().biYPelsPerMeter, 11811);
  p.SetCodecOption(16, PICTURE_FORMAT_JPG);
  ASSERT_TRUE(p.Create(2, 2, 24, PICTURE_FORMAT_JPG));
  EXPECT_EQ(p.GetJpegQuality(), 40);
  EXPECT_EQ(p.GetHeader().biYPelsPerMeter, 11811);
  EXPECT_EQ(p.GetCodecOption(), 16u);
  EXPECT_EQ(p.GetCodecOption(PICTURE_FORMAT_BMP), 0u);
  EXPECT_EQ(p.GetCodecOption(16), 0u);
  EXPECT_EQ(p.GetColorType(), 2);
  p.AlphaCreate();
  EXPECT_EQ(p.GetColorType(), 4);
}

TEST(PictureFromArray, ThirtyTwoBitsGiveColourAndAlpha) {
  // 3 x 2 pixels, bytes blue, green, red, alpha; rows of 12 bytes.
  std::vector<BYTE> src(24);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<BYTE>(i * 7 + 1);
  CPicture p;
  ASSERT_TRUE(p.CreateFromArray(src.data(), 3, 2, 32, 12, false));
  EXPECT_EQ(p.GetBpp(), 24);
  ASSERT_TRUE(p.HasAlpha());
  for (LONG y = 0; y < 2; ++y)
    for (LONG x = 0; x < 3; ++x) {
      const BYTE* s = &src[y * 12 + x * 4];
      RGBQUAD c = p.GetPixelColor(x, y, false);
      EXPECT_EQ(c.rgbBlue, s[0]);
      EXPECT_EQ(c.rgbGreen, s[1]);
      EXPECT_EQ(c.rgbRed, s[2]);
      EXPECT_EQ(p.AlphaGet(x, y), s[3]);
      EXPECT_EQ(p.GetPixelColor(x, y, true).rgbReserved, s[3]);
    }
}

TEST(PictureFromArray, FlipPutsTheFirstSourceRowOnTop) {
  const BYTE src[] = {10, 11, 12, 0, 20, 21, 22, 0, 30, 31, 32, 0};  // one pixel per row, padded
  CPicture p;
  ASSERT_TRUE(p.CreateFromArray(src, 1, 3, 24, 4, true));
  EXPECT_EQ(p.GetBits(2)[0], 10);
  EXPECT_EQ(p.GetBits(0)[0], 30);
  ASSERT_TRUE(p.CreateFromArray(src, 1, 3, 24, 4, false));
  EXPECT_EQ(p.GetBits(0)[0], 10);
  EXPECT_EQ(p.GetBits(2)[0], 30);
  EXPECT_EQ(p.GetBits(3), nullptr);
}

TEST(PictureFromArray, ShortLinesAreNotReadPast) {
  // 4 pixels of 32 bits would need 16 bytes a line; only 8 are there.
  std::vector<BYTE> src(8 * 2, 200);
  CPicture p;
  ASSERT_TRUE(p.CreateFromArray(src.data(), 4, 2, 32, 8, false));
  EXPECT_EQ(p.GetPixelColor(1, 1, false).rgbRed, 200);
  EXPECT_EQ(p.GetPixelColor(2, 1, false).rgbRed, 0);  // not filled, cleared
  std::vector<BYTE> grey(3 * 2, 9);
  ASSERT_TRUE(p.CreateFromArray(grey.data(), 8, 2, 8, 3, false));
  EXPECT_EQ(p.GetPixelIndex(2, 1), 9);
  EXPECT_EQ(p.GetPixelIndex(3, 1), 0);
}

TEST(PictureFromArray, PalettesAndRefusals) {
  const BYTE bits[4] = {0xA0, 0, 0, 0};
  CPicture p;
  ASSERT_TRUE(p.CreateFromArray(bits, 3, 1, 1, 4, false));
  EXPECT_TRUE(Same(p.GetPaletteColor(0), Quad(0, 0, 0)));
  EXPECT_TRUE(Same(p.GetPaletteColor(1), Quad(255, 255, 255)));
  EXPECT_FALSE(p.IsGrayScale());
  EXPECT_EQ(p.GetPixelIndex(0, 0), 1);
  EXPECT_EQ(p.GetPixelIndex(1, 0), 0);
  EXPECT_EQ(p.GetPixelIndex(2, 0), 1);

  ASSERT_TRUE(p.CreateFromArray(bits, 4, 1, 8, 4, false));
  EXPECT_TRUE(p.IsGrayScale());
  ASSERT_TRUE(p.CreateFromArray(bits, 4, 1, 4, 4, false));
  EXPECT_TRUE(Same(p.GetPaletteColor(1), Quad(17, 17, 17)));
  EXPECT_TRUE(Same(p.GetPaletteColor(15), Quad(255, 255, 255)));

  EXPECT_FALSE(p.CreateFromArray(nullptr, 4, 1, 8, 4, false));
  EXPECT_FALSE(p.CreateFromArray(bits, 4, 1, 16, 8, false));
  EXPECT_FALSE(p.CreateFromArray(bits, 0, 1, 8, 4, false));
}

TEST(PictureGhost, SharesWithoutOwning) {
  CPicture owner(4, 4, 24, 0);
  owner.SetPixelColor(1, 2, Quad(1, 2, 3));
  {
    CPicture ghost;
    ghost.MakeGhostOf(&owner);
    EXPECT_TRUE(ghost.IsGhost());
    EXPECT_EQ(ghost.GetBits(0), owner.GetBits(0));
    EXPECT_FALSE(ghost.Destroy());
    EXPECT_EQ(ghost.Create(2, 2, 24, 0), nullptr);
    CPicture other(2, 2, 24, 0);
    EXPECT_FALSE(ghost.TransferFrom(other));
    EXPECT_TRUE(other.IsValid());
  }
  EXPECT_TRUE(owner.IsValid());
  EXPECT_TRUE(Same(owner.GetPixelColor(1, 2), Quad(1, 2, 3)));
}

TEST(PictureGhost, CopiesOfAGhostAreIndependentPictures) {
  CPicture owner(4, 4, 24, 0);
  owner.SetPixelColor(0, 0, Quad(9, 8, 7));
  CPicture ghost;
  ghost.MakeGhostOf(&owner);

  CPicture copy(ghost, true, true, true);
  EXPECT_FALSE(copy.IsGhost());
  ASSERT_TRUE(copy.IsValid());
  EXPECT_NE(copy.GetBits(0), owner.GetBits(0));
  EXPECT_TRUE(Same(copy.GetPixelColor(0, 0), Quad(9, 8, 7)));
  EXPECT_TRUE(copy.Destroy());
  EXPECT_NE(copy.Create(3, 3, 8, 0), nullptr);

  CPicture settingsOnly;
  settingsOnly.CopySettings(ghost);
  EXPECT_FALSE(settingsOnly.IsGhost());
  EXPECT_NE(settingsOnly.Create(3, 3, 24, 0), nullptr);
}

TEST(PictureTransfer, MovesEverythingAndEmptiesTheSource) {
  CPicture a(3, 3, 24, 0);
  a.AlphaCreate();
  a.AlphaSet(1, 1, 7);
  BYTE* bits = a.GetBits(0);
  CPicture b(5, 5, 8, 0);
  ASSERT_TRUE(b.TransferFrom(a));
  EXPECT_EQ(b.GetBits(0), bits);
  EXPECT_EQ(b.GetWidth(), 3u);
  EXPECT_EQ(b.AlphaGet(1, 1), 7);
  EXPECT_FALSE(a.IsValid());
  EXPECT_FALSE(a.HasAlpha());
  EXPECT_EQ(a.GetWidth(), 0u);
}

TEST(PictureCopy, CopiesPixelsPlanesAndSettings) {
  CPicture a(3, 2, 24, PICTURE_FORMAT_JPG);
  a.SetXDPI(300);
  a.SetJpegQuality(50);
  a.SetPixelColor(2, 1, Quad(50, 60, 70));
  a.AlphaCreate();
  a.AlphaSet(2, 1, 33);
  ASSERT_TRUE(a.SelectionCreate());
  ASSERT_NE(a.LayerCreate(), nullptr);
  CPicture b(a, true, true, true);
  EXPECT_EQ(b.GetType(), static_cast<DWORD>(PICTURE_FORMAT_JPG));
  EXPECT_EQ(b.GetHeader().biXPelsPerMeter, a.GetHeader().biXPelsPerMeter);
  EXPECT_TRUE(Same(b.GetPixelColor(2, 1), Quad(50, 60, 70)));
  EXPECT_EQ(b.AlphaGet(2, 1), 33);
  ASSERT_NE(b.GetSelection(), nullptr);
  EXPECT_NE(b.GetSelection(), a.GetSelection());
  EXPECT_EQ(b.GetNumLayers(), 0);
  CPicture c(a, false, false, false);
  EXPECT_TRUE(c.IsValid());
  EXPECT_FALSE(c.HasAlpha());
  EXPECT_EQ(c.GetSelection(), nullptr);
  EXPECT_TRUE(Same(c.GetPixelColor(2, 1), Quad(0, 0, 0)));

  // A picture that has pixels already takes the source's settings too.
  CPicture d(2, 2, 8, 0);
  ASSERT_TRUE(d.CopyFrom(a, true, false, false));
  EXPECT_EQ(d.GetJpegQuality(), 50);
  EXPECT_EQ(d.GetXDPI(), 300u);
}

TEST(PicturePalette, NearestIndexSearchAndCache) {
  CPicture p(2, 2, 8, 0);
  for (int i = 0; i < 256; ++i) p.SetPaletteColor(static_cast<BYTE>(i), Quad(200, 200, 200));
  p.SetPaletteColor(3, Quad(10, 0, 0));
  p.SetPaletteColor(7, Quad(0, 10, 0));
  // (5, 5, 0) is 50 away from both 3 and 7: the first wins.
  EXPECT_EQ(p.GetNearestIndex(Quad(5, 5, 0)), 3);
  EXPECT_EQ(p.GetNearestIndex(Quad(0, 10, 0)), 7);
  // Changing the palette must not leave a stale cached answer.
  p.SetPaletteColor(9, Quad(5, 5, 0));
  EXPECT_EQ(p.GetNearestIndex(Quad(5, 5, 0)), 9);
  CPicture empty;
  EXPECT_EQ(empty.GetNearestIndex(Quad(1, 1, 1)), 0);
}

TEST(PicturePalette, IndexesBeyondThePaletteAreRefused) {
  CPicture p(8, 1, 1, 0);
  p.SetGrayPalette();
  p.SetPixelIndex(0, 0, 1);
  BYTE r = 1, g = 1, b = 1;
  EXPECT_TRUE(p.GetPaletteColor(1, &r, &g, &b));
  EXPECT_EQ(r, 255);
  EXPECT_FALSE(p.GetPaletteColor(5, &r, &g, &b));
  EXPECT_TRUE(Same(p.GetPaletteColor(200), Quad(0, 0, 0)));

  const BYTE before = p.GetBits(0)[0];
  p.SwapIndex(0, 5);  // 5 is no entry of a 2-colour palette
  EXPECT_EQ(p.GetBits(0)[0], before);
  EXPECT_TRUE(Same(p.GetPaletteColor(0), Quad(0, 0, 0)));

  p.SwapIndex(0, 1);
  EXPECT_EQ(p.GetPixelIndex(0, 0), 0);
  EXPECT_EQ(p.GetPixelIndex(1, 0), 1);
  EXPECT_TRUE(Same(p.GetPaletteColor(0), Quad(255, 255, 255)));

  p.SetTransIndex(300);
  EXPECT_TRUE(Same(p.GetTransColor(), Quad(0, 0, 0)));
  p.SetTransIndex(1);
  EXPECT_TRUE(p.IsTransparent());
  EXPECT_TRUE(Same(p.GetTransColor(), Quad(0, 0, 0)));
}

TEST(PicturePalette, GreyRampsAndAlphaEntries) {
  CPicture p(2, 2, 8, 0);
  EXPECT_FALSE(p.IsGrayScale());  // a cleared palette is not a ramp
  p.SetGrayPalette();
  EXPECT_TRUE(p.IsGrayScale());
  EXPECT_FALSE(p.PaletteHasAlpha());
  p.SetPaletteColor(4, Quad(4, 4, 4, 1));
  EXPECT_TRUE(p.PaletteHasAlpha());
  std::vector<RGBQUAD> entries(300, Quad(1, 2, 3));
  p.SetPalette(entries.data(), 300);
  EXPECT_TRUE(Same(p.GetPaletteColor(255), Quad(1, 2, 3)));
  p.SetPalette(nullptr, 4);
  CPicture rgb(2, 2, 24, 0);
  EXPECT_EQ(rgb.GetPalette(), nullptr);
  EXPECT_FALSE(rgb.IsGrayScale());
}

TEST(PicturePixels, PackedIndexesKeepTheirNeighbours) {
  CPicture p4(5, 2, 4, 0);
  p4.SetPixelIndex(0, 1, 0xA);
  p4.SetPixelIndex(1, 1, 0x5);
  p4.SetPixelIndex(2, 1, 0xF);
  EXPECT_EQ(p4.GetBits(1)[0], 0xA5);
  EXPECT_EQ(p4.GetPixelIndex(1, 1), 5);
  EXPECT_EQ(p4.GetPixelIndex(2, 1), 15);
  p4.SetPixelIndex(1, 1, 0x3);
  EXPECT_EQ(p4.GetBits(1)[0], 0xA3);

  CPicture p1(10, 1, 1, 0);
  p1.SetPixelIndex(9, 0, 1);
  p1.SetPixelIndex(0, 0, 1);
  EXPECT_EQ(p1.GetBits(0)[0], 0x80);
  EXPECT_EQ(p1.GetBits(0)[1], 0x40);
  p1.SetPixelIndex(0, 0, 0);
  EXPECT_EQ(p1.GetBits(0)[0], 0x00);
}

TEST(PicturePixels, OutsideAccessIsAnsweredWithDefaults) {
  CPicture p(3, 3, 24, 0);
  p.SetPixelColor(0, 0, Quad(1, 2, 3));
  p.SetPixelColor(-1, 0, Quad(9, 9, 9));
  p.SetPixelColor(3, 3, Quad(9, 9, 9));
  p.AlphaSet(5, 5, 1);  // no plane, no effect
  EXPECT_TRUE(Same(p.GetPixelColor(-1, 7), Quad(1, 2, 3)));
  p.SetTransColor(Quad(4, 5, 6));
  p.SetTransIndex(0);
  EXPECT_TRUE(Same(p.GetPixelColor(100, 0), Quad(4, 5, 6)));
  EXPECT_EQ(p.AlphaGet(0, 0), 0);
  p.AlphaCreate();
  EXPECT_EQ(p.AlphaGet(0, 0), 255);
  EXPECT_EQ(p.AlphaGet(3, 0), 0);
  p.SetPixelColor(2, 2, Quad(7, 7, 7, 99), true);
  EXPECT_EQ(p.AlphaGet(2, 2), 99);
  p.AlphaDelete();
  EXPECT_FALSE(p.HasAlpha());

  CPicture pal(4, 4, 8, 0);
  pal.SetGrayPalette();
  pal.SetPixelIndex(0, 0, 77);
  EXPECT_EQ(pal.GetPixelIndex(-1, -1), 77);
  pal.SetTransIndex(12);
  EXPECT_EQ(pal.GetPixelIndex(4, 0), 12);
  EXPECT_TRUE(Same(pal.GetPixelColor(4, 0), Quad(12, 12, 12)));
  pal.SetPixelColor(1, 1, RGB(200, 201, 199));
  EXPECT_EQ(pal.GetPixelIndex(1, 1), 200);

  CPicture empty;
  EXPECT_EQ(empty.GetPixelIndex(0, 0), 0);
  EXPECT_FALSE(empty.IsValid());
  empty.SetPixelColor(0, 0, Quad(1, 1, 1));
  EXPECT_TRUE(Same(empty.GetPixelColor(0, 0), Quad(0, 0, 0)));
}

TEST(PicturePixels, RedBlueSwapAndLuminance) {
  CPicture p(2, 1, 24, 0);
  BYTE row[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  p.SwapRedBlue(row, sizeof row);  // only whole pixels inside the 8-byte row size
  const BYTE expected[8] = {3, 2, 1, 6, 5, 4, 7, 8};
  EXPECT_EQ(std::memcmp(row, expected, 8), 0);
  CPicture pal(2, 1, 8, 0);
  pal.SwapRedBlue(row, sizeof row);
  EXPECT_EQ(std::memcmp(row, expected, 8), 0);

  EXPECT_GT(CPicture::LuminanceCompare(Quad(255, 255, 255), Quad(0, 0, 0)), 0);
  EXPECT_LT(CPicture::LuminanceCompare(Quad(0, 0, 255), Quad(0, 255, 0)), 0);
  EXPECT_EQ(CPicture::LuminanceCompare(Quad(0, 0, 0), Quad(0, 0, 0)), 0);
}

TEST(PictureSelection, PlanesAndLayersAreSharedByGhostsAndFreedByTheOwner) {
  CPicture p(6, 4, 24, 0);
  ASSERT_TRUE(p.SelectionCreate());
  CPicture* layer = p.LayerCreate();
  ASSERT_NE(layer, nullptr);
  ASSERT_NE(layer->Create(2, 2, 24, 0), nullptr);
  {
    CPicture ghost;
    ghost.MakeGhostOf(&p);
    EXPECT_EQ(ghost.GetSelection(), p.GetSelection());
    EXPECT_EQ(ghost.GetLayer(0), layer);
    EXPECT_EQ(ghost.LayerCreate(), nullptr);
    ghost.ClearSelection();
  }
  EXPECT_NE(p.GetSelection(), nullptr);
  EXPECT_EQ(p.GetNumLayers(), 1);
  EXPECT_EQ(p.GetLayer(1), nullptr);
  CPicture moved;
  ASSERT_TRUE(moved.TransferFrom(p));
  EXPECT_EQ(moved.GetLayer(0), layer);
  EXPECT_EQ(p.GetNumLayers(), 0);
  ASSERT_TRUE(moved.Destroy());
  EXPECT_EQ(moved.GetSelection(), nullptr);
  EXPECT_EQ(moved.GetNumLayers(), 0);

  ASSERT_NE(p.Create(6, 4, 24, 0), nullptr);
  ASSERT_TRUE(p.SelectionCreate());
  p.ClearSelection();
  EXPECT_EQ(p.GetSelection(), nullptr);
  const RECT r = p.GetSelectionBox();
  EXPECT_EQ(r.left, 6);
  EXPECT_EQ(r.top, 0);
  EXPECT_EQ(r.right, 0);
  EXPECT_EQ(r.bottom, 4);
}
