// PNG writer: files read back by libpng, their chunks read from the bytes.
#include "imagewriter/PicturePNG.h"

#include <png.h>

#include "tests/imagewriter/WriterTestKit.h"

using namespace kit;

namespace {

struct PngInfo {
  BYTE bitDepth = 0, colorType = 0, interlace = 0;
  size_t paletteEntries = 0, transparencyEntries = 0;
  std::vector<BYTE> background;
  DWORD xPels = 0, yPels = 0;
  Image image;
};

DWORD Be32(const std::vector<BYTE>& d, size_t at) {
  return (DWORD{d[at]} << 24) | (DWORD{d[at + 1]} << 16) | (DWORD{d[at + 2]} << 8) | d[at + 3];
}

PngInfo ReadPng(const std::vector<BYTE>& d) {
  PngInfo info;
  for (size_t i = 8; i + 8 <= d.size();) {
    const DWORD length = Be32(d, i);
    const std::string type(d.begin() + i + 4, d.begin() + i + 8);
    const size_t data = i + 8;
    if (data + length > d.size()) break;
    if (type == "IHDR") {
      info.bitDepth = d[data + 8];
      info.colorType = d[data + 9];
      info.interlace = d[data + 12];
    } else if (type == "PLTE") {
      info.paletteEntries = length / 3;
    } else if (type == "tRNS") {
      info.transparencyEntries = length;
    } else if (type == "bKGD") {
      info.background.assign(d.begin() + data, d.begin() + data + length);
    } else if (type == "pHYs") {
      info.xPels = Be32(d, data);
      info.yPels = Be32(d, data + 4);
    }
    i = data + length + 4;
  }
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_memory(&img, d.data(), d.size())) {
    img.format = PNG_FORMAT_RGBA;
    info.image.width = static_cast<int>(img.width);
    info.image.height = static_cast<int>(img.height);
    info.image.px.resize(static_cast<size_t>(img.width) * img.height);
    if (!png_image_finish_read(&img, nullptr, info.image.px.data(), 0, nullptr)) info.image = Image{};
  }
  png_image_free(&img);
  return info;
}

}  // namespace

TEST(PicturePNG, ColourTypesPalettesAndChunks) {
  struct Case {
    int bpp;
    DWORD width, height;
    DWORD colours;  // pixel indices used, 0: all the pattern gives
    LONG transIndex;
    DWORD option;
    bool alphaPalette;
    BYTE colorType, bitDepth;
    size_t paletteEntries, transparencyEntries;
  };
  const Case cases[] = {
      {1, 37, 29, 0, -1, 0, false, 3, 1, 2, 0},         {4, 37, 29, 0, -1, 0, false, 3, 4, 16, 0},
      {8, 100, 100, 10, -1, 0, false, 3, 8, 10, 0},     {8, 300, 300, 10, -1, 0, false, 3, 8, 256, 0},
      {8, 37, 29, 0, 7, 0, false, 3, 8, 256, 1},        {4, 37, 29, 0, 300, 0, false, 3, 4, 16, 0},
      {8, 37, 29, 20, -1, 0, true, 3, 8, 20, 20},       {24, 37, 29, 0, -1, 0, false, 2, 8, 0, 0},
      {24, 37, 29, 0, 0, 1, false, 6, 8, 0, 0},         {32, 37, 29, 0, -1, 3, false, 6, 8, 0, 0},
      {32, 40, 31, 0, -1, 1, false, 6, 8, 0, 0},        {8, 37, 29, 0, -1, 1, false, 3, 8, 256, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bpp << " bits, " << c.width << "x" << c.height << ", background "
                                    << c.transIndex << ", option " << c.option);
    CPicture p;
    MakePicture(p, c.bpp, c.width, c.height, 2);
    if (c.colours)
      for (LONG y = 0; y < static_cast<LONG>(c.height); ++y)
        for (LONG x = 0; x < static_cast<LONG>(c.width); ++x)
          p.SetPixelIndex(x, y, static_cast<BYTE>((x + y) % c.colours));
    if (c.transIndex >= 0) {
      p.SetTransIndex(c.transIndex);
      p.SetTransColor(Quad(0, 3, 0));
    }
    if (c.alphaPalette) {
      p.AlphaPaletteEnable(true);
      for (int i = 0; i < 256; ++i) {
        RGBQUAD q = p.GetPaletteColor(static_cast<BYTE>(i));
        q.rgbReserved = static_cast<BYTE>(i * 13);
        p.SetPaletteColor(static_cast<BYTE>(i), q);
      }
    }
    p.SetCodecOption(c.option, PICTURE_FORMAT_PNG);
    const bool keyed = c.transIndex >= 0 && c.transIndex < 256;
    Image want = Expected(p, keyed);
    if (c.alphaPalette)
      for (size_t i = 0; i < want.px.size(); ++i) {
        const LONG x = static_cast<LONG>(i % c.width), y = static_cast<LONG>(c.height - 1 - i / c.width);
        want.px[i].a = p.GetPixelColor(x, y, false).rgbReserved;
      }

    const PngInfo png = ReadPng(EncodeToMemory(p, PICTURE_FORMAT_PNG));
    EXPECT_EQ(png.colorType, c.colorType);
    EXPECT_EQ(png.bitDepth, c.bitDepth);
    EXPECT_EQ(png.interlace, c.option == 1 ? 1 : 0);
    EXPECT_EQ(png.paletteEntries, c.paletteEntries);
    EXPECT_EQ(png.transparencyEntries, c.transparencyEntries);
    EXPECT_EQ(png.xPels, 3780u);
    EXPECT_EQ(png.yPels, 3780u);
    if (c.colorType == 3) {
      EXPECT_EQ(png.background, (std::vector<BYTE>{0}));
    } else if (keyed) {
      EXPECT_EQ(png.background, (std::vector<BYTE>{0, 0, 0, 3, 0, 0}));
    } else {
      EXPECT_EQ(png.background, (std::vector<BYTE>{0, 255, 0, 255, 0, 255}));
    }
    EXPECT_TRUE(SameImage(want, png.image));

    if (c.transIndex == 7) {
      // The transparent entry moved to the front of the picture's own palette.
      EXPECT_EQ(p.GetTransIndex(), 0);
      EXPECT_TRUE(SameImage(want, Expected(p, true)));
    }
    // A background made for the writing is not left behind.
    EXPECT_EQ(p.HasAlpha(), c.bpp == 32);
  }
}
