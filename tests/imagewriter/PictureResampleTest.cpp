#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "imagewriter/Picture.h"

namespace {

RGBQUAD Quad(BYTE r, BYTE g, BYTE b, BYTE a = 0) { return RGBQUAD{b, g, r, a}; }

bool Same(RGBQUAD a, RGBQUAD b) {
  return a.rgbRed == b.rgbRed && a.rgbGreen == b.rgbGreen && a.rgbBlue == b.rgbBlue;
}

// A smooth picture: red grows left to right, green bottom to top, blue along
// the diagonal.
void FillGradient(CPicture& p) {
  const LONG w = static_cast<LONG>(p.GetWidth()), h = static_cast<LONG>(p.GetHeight());
  for (LONG y = 0; y < h; ++y)
    for (LONG x = 0; x < w; ++x)
      p.SetPixelColor(x, y,
                      Quad(static_cast<BYTE>(x * 255 / (w - 1)), static_cast<BYTE>(y * 255 / (h - 1)),
                           static_cast<BYTE>((x + y) * 255 / (w + h - 2))));
}

// Straightforward area average: every target pixel integrates the source
// over the rectangle it covers, with exact fractional weights.
std::vector<double> BoxReference(const CPicture& src, LONG w, LONG h, int channel) {
  const LONG sw = static_cast<LONG>(src.GetWidth()), sh = static_cast<LONG>(src.GetHeight());
  const double xs = static_cast<double>(sw) / w, ys = static_cast<double>(sh) / h;
  std::vector<double> out(static_cast<size_t>(w) * h);
  for (LONG ty = 0; ty < h; ++ty)
    for (LONG tx = 0; tx < w; ++tx) {
      const double x0 = tx * xs, x1 = (tx + 1) * xs, y0 = ty * ys, y1 = (ty + 1) * ys;
      double sum = 0, area = 0;
      for (LONG y = static_cast<LONG>(y0); y < std::min<double>(y1, sh); ++y) {
        const double wy = std::min<double>(y + 1, y1) - std::max<double>(y, y0);
        for (LONG x = static_cast<LONG>(x0); x < std::min<double>(x1, sw); ++x) {
          const double wx = std::min<double>(x + 1, x1) - std::max<double>(x, x0);
          const RGBQUAD c = src.GetPixelColor(x, y, false);
          const BYTE v = channel == 0 ? c.rgbBlue : channel == 1 ? c.rgbGreen : c.rgbRed;
          sum += v * wx * wy;
          area += wx * wy;
        }
      }
      out[static_cast<size_t>(ty) * w + tx] = sum / area;
    }
  return out;
}

double MaxErrorAgainstReference(const CPicture& src, const CPicture& scaled) {
  const LONG w = static_cast<LONG>(scaled.GetWidth()), h = static_cast<LONG>(scaled.GetHeight());
  double worst = 0;
  for (int ch = 0; ch < 3; ++ch) {
    const std::vector<double> ref = BoxReference(src, w, h, ch);
    for (LONG y = 0; y < h; ++y)
      for (LONG x = 0; x < w; ++x) {
        const RGBQUAD c = scaled.GetPixelColor(x, y, false);
        const BYTE v = ch == 0 ? c.rgbBlue : ch == 1 ? c.rgbGreen : c.rgbRed;
        worst = std::max(worst, std::fabs(v - ref[static_cast<size_t>(y) * w + x]));
      }
  }
  return worst;
}

// Counts the stored rows (from the bottom) and columns whose every pixel has
// the fill colour, to find where the picture was placed.
struct Margins {
  LONG left = 0, right = 0, top = 0, bottom = 0;
};
Margins FindMargins(const CPicture& p, RGBQUAD fill) {
  const LONG w = static_cast<LONG>(p.GetWidth()), h = static_cast<LONG>(p.GetHeight());
  auto rowIsFill = [&](LONG y) {
    for (LONG x = 0; x < w; ++x)
      if (!Same(p.GetPixelColor(x, y, false), fill)) return false;
    return true;
  };
  auto colIsFill = [&](LONG x) {
    for (LONG y = 0; y < h; ++y)
      if (!Same(p.GetPixelColor(x, y, false), fill)) return false;
    return true;
  };
  Margins m;
  while (m.bottom < h && rowIsFill(m.bottom)) ++m.bottom;
  while (m.top < h && rowIsFill(h - 1 - m.top)) ++m.top;
  while (m.left < w && colIsFill(m.left)) ++m.left;
  while (m.right < w && colIsFill(w - 1 - m.right)) ++m.right;
  return m;
}

CPicture* Solid(CPicture& p, LONG w, LONG h, RGBQUAD c) {
  p.Create(static_cast<DWORD>(w), static_cast<DWORD>(h), 24, 0);
  for (LONG y = 0; y < h; ++y)
    for (LONG x = 0; x < w; ++x) p.SetPixelColor(x, y, c);
  return &p;
}

const RGBQUAD kWhite = {255, 255, 255, 255};

}  // namespace

TEST(PictureResample, AreaAverageOfBlocks) {
  CPicture p(4, 4, 24, 0);
  // Top-left block (stored rows 2 and 3): 0, 0, 255, 255.
  p.SetPixelColor(0, 3, Quad(0, 0, 0));
  p.SetPixelColor(1, 3, Quad(0, 0, 0));
  p.SetPixelColor(0, 2, Quad(255, 255, 255));
  p.SetPixelColor(1, 2, Quad(255, 255, 255));
  // Bottom-right block all 100.
  for (LONG y = 0; y < 2; ++y)
    for (LONG x = 2; x < 4; ++x) p.SetPixelColor(x, y, Quad(100, 100, 100));
  ASSERT_TRUE(p.Resample(2, 2, 0));
  EXPECT_EQ(p.GetWidth(), 2u);
  EXPECT_EQ(p.GetHeight(), 2u);
  EXPECT_EQ(p.GetPixelColor(0, 1).rgbRed, 127);
  EXPECT_EQ(p.GetPixelColor(1, 0).rgbRed, 100);
  EXPECT_EQ(p.GetPixelColor(1, 1).rgbRed, 0);
}

TEST(PictureResample, AreaAverageMatchesABoxFilter) {
  CPicture src(640, 480, 24, 0);
  FillGradient(src);
  CPicture out;
  ASSERT_TRUE(src.Resample(160, 120, 0, &out));
  EXPECT_EQ(src.GetWidth(), 640u);  // a destination leaves the source alone
  EXPECT_LE(MaxErrorAgainstReference(src, out), 1.5);

  // Scales that do not divide the size: straddling rows and columns.
  CPicture odd(301, 203, 24, 0);
  FillGradient(odd);
  ASSERT_TRUE(odd.Resample(70, 45, 0, &out));
  EXPECT_EQ(out.GetWidth(), 70u);
  EXPECT_EQ(out.GetHeight(), 45u);
  EXPECT_LE(MaxErrorAgainstReference(odd, out), 3.0);
}

TEST(PictureResample, StrongShrinkKeepsWhiteWhite) {
  // Each target pixel gathers 120 x 90 source pixels: more than a 32-bit
  // sum of thousandths can hold.
  CPicture p;
  Solid(p, 1920, 1080, Quad(255, 255, 255));
  ASSERT_TRUE(p.Resample(16, 12, 0));
  for (LONG y = 0; y < 12; ++y)
    for (LONG x = 0; x < 16; ++x) ASSERT_TRUE(Same(p.GetPixelColor(x, y), Quad(255, 255, 255))) << x << "," << y;
}

TEST(PictureResample, GrowingInterpolatesAndRepeatsEdges) {
  CPicture p(2, 2, 24, 0);
  p.SetPixelColor(0, 0, Quad(0, 0, 0));
  p.SetPixelColor(1, 0, Quad(200, 0, 0));
  p.SetPixelColor(0, 1, Quad(0, 100, 0));
  p.SetPixelColor(1, 1, Quad(200, 100, 0));
  ASSERT_TRUE(p.Resample(4, 4, 0));
  EXPECT_EQ(p.GetPixelColor(0, 0).rgbRed, 0);
  EXPECT_EQ(p.GetPixelColor(1, 0).rgbRed, 100);
  EXPECT_EQ(p.GetPixelColor(2, 0).rgbRed, 200);
  EXPECT_EQ(p.GetPixelColor(3, 0).rgbRed, 200);
  EXPECT_EQ(p.GetPixelColor(0, 1).rgbGreen, 50);
  EXPECT_EQ(p.GetPixelColor(0, 3).rgbGreen, 100);

  // Shrinking in one direction only also interpolates (area averaging needs
  // both).
  CPicture q(4, 1, 24, 0);
  for (LONG x = 0; x < 4; ++x) q.SetPixelColor(x, 0, Quad(static_cast<BYTE>(x * 60), 0, 0));
  ASSERT_TRUE(q.Resample(2, 3, 0));
  EXPECT_EQ(q.GetPixelColor(1, 2).rgbRed, 120);
}

TEST(PictureResample, NearestAndBicubicKeepUniformColours) {
  for (LONG mode : {1, 2}) {
    CPicture p;
    Solid(p, 9, 7, Quad(200, 100, 50));
    ASSERT_TRUE(p.Resample(5, 13, mode)) << mode;
    for (LONG y = 0; y < 13; ++y)
      for (LONG x = 0; x < 5; ++x) {
        const RGBQUAD c = p.GetPixelColor(x, y);
        ASSERT_NEAR(c.rgbRed, 200, 1) << mode;
        ASSERT_NEAR(c.rgbGreen, 100, 1) << mode;
        ASSERT_NEAR(c.rgbBlue, 50, 1) << mode;
      }
  }
  CPicture n(4, 1, 24, 0);
  for (LONG x = 0; x < 4; ++x) n.SetPixelColor(x, 0, Quad(static_cast<BYTE>(x * 10), 0, 0));
  ASSERT_TRUE(n.Resample(2, 1, 1));
  EXPECT_EQ(n.GetPixelColor(0, 0).rgbRed, 0);
  EXPECT_EQ(n.GetPixelColor(1, 0).rgbRed, 20);
  EXPECT_FLOAT_EQ(CPicture::KernelBSpline(0.0f), 4.0f / 6.0f);
  EXPECT_FLOAT_EQ(CPicture::KernelBSpline(2.5f), 0.0f);
}

TEST(PictureResample, PalettePicturesStayOnTheirPalette) {
  CPicture p(2, 1, 8, 0);
  p.SetGrayPalette();
  p.SetPixelIndex(0, 0, 0);
  p.SetPixelIndex(1, 0, 200);
  ASSERT_TRUE(p.Resample(4, 1, 0));
  EXPECT_EQ(p.GetBpp(), 8);
  EXPECT_TRUE(p.IsGrayScale());
  EXPECT_EQ(p.GetPixelIndex(1, 0), 100);
  EXPECT_EQ(p.GetPixelIndex(3, 0), 200);
}

TEST(PictureResample, AlphaIsTakenByNearestPixelInEveryMode) {
  for (LONG mode : {0, 1, 2}) {
    CPicture p(4, 4, 24, 0);
    p.AlphaCreate();
    for (LONG y = 0; y < 4; ++y)
      for (LONG x = 0; x < 4; ++x) p.AlphaSet(x, y, static_cast<BYTE>(y * 4 + x));
    ASSERT_TRUE(p.Resample(2, 2, mode));
    ASSERT_TRUE(p.HasAlpha());
    EXPECT_EQ(p.AlphaGet(0, 0), 0);
    EXPECT_EQ(p.AlphaGet(1, 0), 2);
    EXPECT_EQ(p.AlphaGet(0, 1), 8);
    EXPECT_EQ(p.AlphaGet(1, 1), 10);
  }
}

TEST(PictureResample, SameSizeAndBadSizes) {
  CPicture p(3, 3, 24, 0);
  p.SetPixelColor(1, 1, Quad(5, 6, 7));
  BYTE* bits = p.GetBits(0);
  EXPECT_TRUE(p.Resample(3, 3, 0));
  EXPECT_EQ(p.GetBits(0), bits);
  CPicture copy;
  EXPECT_TRUE(p.Resample(3, 3, 0, &copy));
  EXPECT_TRUE(Same(copy.GetPixelColor(1, 1), Quad(5, 6, 7)));
  EXPECT_NE(copy.GetBits(0), bits);

  EXPECT_FALSE(p.Resample(0, 3));
  EXPECT_FALSE(p.Resample(3, -2));
  EXPECT_FALSE(p.Resample(100000, 100000));
  EXPECT_STREQ(p.GetLastError(), "CPICTURE_MAX_MEMORY exceeded");
  EXPECT_EQ(p.GetBits(0), bits);  // unchanged after every refusal
  CPicture empty;
  EXPECT_FALSE(empty.Resample(2, 2));
}

TEST(PictureExpand, MarginsAndPlacement) {
  CPicture p;
  Solid(p, 3, 2, Quad(10, 20, 30));
  const RGBQUAD fill = Quad(1, 2, 3);
  ASSERT_TRUE(p.Expand(1, 2, 3, 4, fill));
  EXPECT_EQ(p.GetWidth(), 7u);
  EXPECT_EQ(p.GetHeight(), 8u);
  const Margins m = FindMargins(p, fill);
  EXPECT_EQ(m.left, 1);
  EXPECT_EQ(m.right, 3);
  EXPECT_EQ(m.top, 2);
  EXPECT_EQ(m.bottom, 4);
  EXPECT_TRUE(Same(p.GetPixelColor(1, 4), Quad(10, 20, 30)));

  CPicture pal(3, 3, 1, 0);
  pal.SetGrayPalette();
  for (LONG y = 0; y < 3; ++y)
    for (LONG x = 0; x < 3; ++x) pal.SetPixelIndex(x, y, 1);
  ASSERT_TRUE(pal.Expand(2, 0, 0, 1, Quad(0, 0, 0)));
  EXPECT_EQ(pal.GetPixelIndex(0, 0), 0);
  EXPECT_EQ(pal.GetPixelIndex(2, 0), 0);
  EXPECT_EQ(pal.GetPixelIndex(2, 1), 1);
  EXPECT_EQ(pal.GetPixelIndex(4, 3), 1);
  EXPECT_EQ(pal.GetPixelIndex(1, 3), 0);

  CPicture grey(2, 2, 8, 0);
  grey.SetGrayPalette();
  grey.SetPixelIndex(0, 0, 9);
  grey.SetJpegQuality(55);
  ASSERT_TRUE(grey.ExpandCentered(4, 4, Quad(250, 250, 250)));
  EXPECT_EQ(grey.GetPixelIndex(0, 0), 250);
  EXPECT_EQ(grey.GetPixelIndex(1, 1), 9);  // one column on the left, one row below
  EXPECT_EQ(grey.GetJpegQuality(), 55);

  EXPECT_FALSE(p.Expand(-1, 0, 0, 0, fill));
  EXPECT_FALSE(p.Expand(INT32_MAX, 0, 0, 0, fill));
  EXPECT_FALSE(p.ExpandCentered(2, 100, fill));
  EXPECT_EQ(p.GetWidth(), 7u);
}

TEST(PictureResampleToBox, ShrinksAndCentres) {
  const RGBQUAD red = Quad(255, 0, 0);
  CPicture p;
  Solid(p, 640, 480, red);
  CPicture out;
  ASSERT_TRUE(p.ResampleToBox(160, 120, kWhite, &out));
  EXPECT_EQ(out.GetWidth(), 160u);
  EXPECT_EQ(out.GetHeight(), 120u);
  Margins m = FindMargins(out, kWhite);
  EXPECT_EQ(m.top + m.bottom + m.left + m.right, 0);

  ASSERT_TRUE(p.ResampleToBox(160, 160, kWhite, &out));
  EXPECT_EQ(out.GetHeight(), 160u);
  m = FindMargins(out, kWhite);
  EXPECT_EQ(m.top, 20);
  EXPECT_EQ(m.bottom, 20);
  EXPECT_EQ(m.left, 0);
  EXPECT_TRUE(Same(out.GetPixelColor(80, 80), red));
  EXPECT_EQ(p.GetWidth(), 640u);

  Solid(p, 100, 50, red);
  ASSERT_TRUE(p.ResampleToBox(60, 60, kWhite));
  m = FindMargins(p, kWhite);
  EXPECT_EQ(m.top, 15);
  EXPECT_EQ(m.bottom, 15);
  EXPECT_EQ(m.left + m.right, 0);

  // Never enlarged: the odd column goes right, margins are split evenly.
  Solid(p, 50, 50, red);
  ASSERT_TRUE(p.ResampleToBox(101, 100, kWhite));
  EXPECT_EQ(p.GetWidth(), 101u);
  m = FindMargins(p, kWhite);
  EXPECT_EQ(m.left, 25);
  EXPECT_EQ(m.right, 26);
  EXPECT_EQ(m.top, 25);
  EXPECT_EQ(m.bottom, 25);
}

TEST(PictureResampleToBox, ThinPicturesStillFillTheBox) {
  // 1000 x 1 into 10 x 10: the scaled height would truncate to 0; it keeps
  // one row and the result has the box size.
  const RGBQUAD blue = Quad(0, 0, 255);
  CPicture p;
  Solid(p, 1000, 1, blue);
  ASSERT_TRUE(p.ResampleToBox(10, 10, kWhite));
  EXPECT_EQ(p.GetWidth(), 10u);
  EXPECT_EQ(p.GetHeight(), 10u);
  const Margins m = FindMargins(p, kWhite);
  EXPECT_EQ(m.top, 4);
  EXPECT_EQ(m.bottom, 5);
  EXPECT_TRUE(Same(p.GetPixelColor(3, 5), blue));
}

TEST(PictureResampleToBox, ExactFitAndRefusals) {
  CPicture p;
  Solid(p, 20, 10, Quad(1, 1, 1));
  BYTE* bits = p.GetBits(0);
  EXPECT_TRUE(p.ResampleToBox(20, 10, kWhite));
  EXPECT_EQ(p.GetBits(0), bits);
  CPicture out;
  EXPECT_TRUE(p.ResampleToBox(20, 10, kWhite, &out));
  EXPECT_EQ(out.GetWidth(), 20u);

  EXPECT_FALSE(p.ResampleToBox(0, 10, kWhite));
  EXPECT_FALSE(p.ResampleToBox(10, -1, kWhite));
  EXPECT_FALSE(p.ResampleToBox(100000, 100000, kWhite));
  EXPECT_EQ(p.GetBits(0), bits);
  CPicture empty;
  EXPECT_FALSE(empty.ResampleToBox(10, 10, kWhite));
  CPicture ghost;
  ghost.MakeGhostOf(&p);
  EXPECT_FALSE(ghost.ResampleToBox(5, 5, kWhite));  // cannot replace shared pixels
  EXPECT_EQ(p.GetWidth(), 20u);
}
