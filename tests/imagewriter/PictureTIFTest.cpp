// TIFF writer: files read back by libtiff, tags and pixels.
#include "imagewriter/PictureTIF.h"

#include <tiffio.h>

#include <cstring>

#include "tests/imagewriter/WriterTestKit.h"

using namespace kit;

namespace {

struct TiffInfo {
  uint16_t photometric = 0, compression = 0, predictor = 1, samples = 0, bits = 0, extra = 0;
  uint32_t rowsPerStrip = 0, subfileType = 99;
  float xDpi = 0, yDpi = 0;
  uint16_t mapLast = 0;  // ColorMap red of entry 255
  std::vector<std::vector<BYTE>> rows;  // raw scanlines
  Image image;                          // as libtiff's RGBA reader gives it
};

TiffInfo ReadTiff(const std::string& path, int directory = 0) {
  TiffInfo info;
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (!tif) return info;
  TIFFSetDirectory(tif, static_cast<tdir_t>(directory));
  uint32_t width = 0, height = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PHOTOMETRIC, &info.photometric);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &info.compression);
  TIFFGetField(tif, TIFFTAG_PREDICTOR, &info.predictor);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &info.samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &info.bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &info.rowsPerStrip);
  TIFFGetField(tif, TIFFTAG_SUBFILETYPE, &info.subfileType);
  TIFFGetField(tif, TIFFTAG_XRESOLUTION, &info.xDpi);
  TIFFGetField(tif, TIFFTAG_YRESOLUTION, &info.yDpi);
  uint16_t extraCount = 0;
  uint16_t* extra = nullptr;
  if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) && extraCount == 1) info.extra = extra[0];
  uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
  if (info.photometric == PHOTOMETRIC_PALETTE && TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue))
    info.mapLast = red[(1 << info.bits) - 1];
  std::vector<BYTE> line(TIFFScanlineSize(tif));
  for (uint32_t y = 0; y < height && TIFFReadScanline(tif, line.data(), y, 0) >= 0; ++y) info.rows.push_back(line);
  // The RGBA reader on a handle of its own: it must not see the state the
  // scanline reads left behind.
  TIFFClose(tif);
  tif = TIFFOpen(path.c_str(), "r");
  if (!tif) return info;
  TIFFSetDirectory(tif, static_cast<tdir_t>(directory));
  std::vector<uint32_t> rgba(static_cast<size_t>(width) * height);
  char message[1024];
  if (TIFFRGBAImageOK(tif, message) && TIFFReadRGBAImageOriented(tif, width, height, rgba.data(), ORIENTATION_TOPLEFT, 0)) {
    info.image.width = static_cast<int>(width);
    info.image.height = static_cast<int>(height);
    for (uint32_t v : rgba)
      info.image.px.push_back(Rgba{static_cast<BYTE>(TIFFGetR(v)), static_cast<BYTE>(TIFFGetG(v)),
                                   static_cast<BYTE>(TIFFGetB(v)), static_cast<BYTE>(TIFFGetA(v))});
  }
  TIFFClose(tif);
  return info;
}

}  // namespace

TEST(PictureTIF, PhotometricCompressionAndPixels) {
  TIFFSetWarningHandler(nullptr);
  struct Case {
    int bpp;
    bool grey;
    bool whiteFirst;
    DWORD option;
    uint16_t photometric, compression, predictor, samples, bits;
  };
  const Case cases[] = {
      {1, false, false, 0, PHOTOMETRIC_MINISWHITE, COMPRESSION_CCITTFAX4, 1, 1, 1},
      {1, false, true, 0, PHOTOMETRIC_MINISWHITE, COMPRESSION_CCITTFAX4, 1, 1, 1},
      {4, false, false, 0, PHOTOMETRIC_PALETTE, COMPRESSION_LZW, 1, 1, 4},
      {8, true, false, 0, PHOTOMETRIC_MINISBLACK, COMPRESSION_LZW, 2, 1, 8},
      {8, false, false, 0, PHOTOMETRIC_PALETTE, COMPRESSION_LZW, 2, 1, 8},
      {24, false, false, 0, PHOTOMETRIC_RGB, COMPRESSION_JPEG, 1, 3, 8},
      {32, false, false, 0, PHOTOMETRIC_RGB, COMPRESSION_JPEG, 1, 4, 8},
      {24, false, false, COMPRESSION_NONE, PHOTOMETRIC_RGB, COMPRESSION_NONE, 1, 3, 8},
      {32, false, false, COMPRESSION_LZW, PHOTOMETRIC_RGB, COMPRESSION_LZW, 2, 4, 8},
      {8, false, false, COMPRESSION_NONE, PHOTOMETRIC_PALETTE, COMPRESSION_NONE, 1, 1, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bpp << " bits, option " << c.option);
    CPicture p;
    MakePicture(p, c.bpp, 61, 43, 8, c.grey);
    if (c.whiteFirst) {
      p.SetPaletteColor(0, Quad(255, 255, 255));
      p.SetPaletteColor(1, Quad(0, 0, 0));
    }
    p.SetCodecOption(c.option, PICTURE_FORMAT_TIF);
    p.SetXDPI(300);
    p.SetYDPI(72);
    const std::vector<BYTE> before(p.GetBits(0), p.GetBits(0) + p.GetHeader().biSizeImage);
    const std::string path = SaveTemp(p, PICTURE_FORMAT_TIF, "depth.tif");
    const TiffInfo tiff = ReadTiff(path);
    std::remove(path.c_str());
    EXPECT_EQ(tiff.photometric, c.photometric);
    EXPECT_EQ(tiff.compression, c.compression);
    EXPECT_EQ(tiff.predictor, c.predictor);
    EXPECT_EQ(tiff.samples, c.samples);
    EXPECT_EQ(tiff.bits, c.bits);
    EXPECT_EQ(tiff.subfileType, 0u);
    EXPECT_FLOAT_EQ(tiff.xDpi, 300);
    EXPECT_FLOAT_EQ(tiff.yDpi, 72);
    if (c.photometric == PHOTOMETRIC_PALETTE) {
      EXPECT_EQ(tiff.mapLast, p.GetPaletteColor(static_cast<BYTE>(p.GetNumColors() - 1)).rgbRed * 257);
    }
    // Saving leaves the picture as it was, the 1-bit one included.
    EXPECT_TRUE(std::equal(before.begin(), before.end(), p.GetBits(0)));
    if (c.samples >= 3) {
      // Colour samples as stored: libtiff's RGBA reader would premultiply
      // unassociated alpha.
      EXPECT_EQ(tiff.extra, c.samples == 4 ? EXTRASAMPLE_UNASSALPHA : 0);
      Image stored{61, 43, {}};
      for (const std::vector<BYTE>& row : tiff.rows)
        for (int x = 0; x < 61; ++x) {
          const BYTE* s = &row[c.samples * x];
          stored.px.push_back(Rgba{s[0], s[1], s[2], c.samples == 4 ? s[3] : BYTE{255}});
        }
      if (c.compression == COMPRESSION_JPEG) {
        EXPECT_EQ(tiff.rowsPerStrip % 8, 0u);
        EXPECT_GT(Psnr(Expected(p), stored), 30.0);
      } else {
        EXPECT_TRUE(SameImage(Expected(p), stored));
      }
    } else {
      EXPECT_TRUE(SameImage(Expected(p), tiff.image));
    }
  }
}

TEST(PictureTIF, GreyWithAlphaAndAppendedPages) {
  TIFFSetWarningHandler(nullptr);
  // An 8-bit picture with an alpha plane: two whole bytes a pixel.
  CPicture grey;
  MakePicture(grey, 8, 30, 20, 3, true);
  grey.AlphaCreate();
  for (LONG y = 0; y < 20; ++y)
    for (LONG x = 0; x < 30; ++x) grey.AlphaSet(x, y, static_cast<BYTE>(x * 8 + y));
  std::string path = SaveTemp(grey, PICTURE_FORMAT_TIF, "alpha.tif");
  TiffInfo tiff = ReadTiff(path);
  EXPECT_EQ(tiff.samples, 2);
  EXPECT_EQ(tiff.bits, 8);
  EXPECT_EQ(tiff.extra, EXTRASAMPLE_UNASSALPHA);
  ASSERT_EQ(tiff.rows.size(), 20u);
  for (LONG r = 0; r < 20; ++r)
    for (LONG x = 0; x < 30; ++x) {
      ASSERT_EQ(tiff.rows[r][2 * x], grey.GetPixelIndex(x, 19 - r));
      ASSERT_EQ(tiff.rows[r][2 * x + 1], grey.AlphaGet(x, 19 - r));
    }
  EXPECT_TRUE(SameImage(Expected(grey), tiff.image));

  // Pages appended while the writer lives, finished when it goes; linking
  // a page to the one before reads the file back.
  CPicture colour;
  MakePicture(colour, 24, 17, 9);
  {
    CPictureStdioFile file(std::fopen(path.c_str(), "w+b"), true);
    CPictureTIF writer;
    writer.MakeGhostOf(&grey);
    ASSERT_TRUE(writer.Write(&file, true)) << writer.GetLastError();
    writer.MakeGhostOf(&colour);
    ASSERT_TRUE(writer.Write(&file, true)) << writer.GetLastError();
  }
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(tif, nullptr);
  EXPECT_EQ(TIFFNumberOfDirectories(tif), 2);
  for (tdir_t d = 0; d < 2; ++d) {
    ASSERT_TRUE(TIFFSetDirectory(tif, d));
    uint32_t type = 0;
    uint16_t page = 0, pages = 0;
    char* name = nullptr;
    EXPECT_TRUE(TIFFGetField(tif, TIFFTAG_SUBFILETYPE, &type));
    EXPECT_EQ(type, static_cast<uint32_t>(FILETYPE_PAGE));
    EXPECT_TRUE(TIFFGetField(tif, TIFFTAG_PAGENUMBER, &page, &pages));
    EXPECT_EQ(page, d + 1);
    ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_PAGENAME, &name));
    EXPECT_EQ(std::string(name), "Page " + std::to_string(d + 1));
  }
  TIFFClose(tif);
  EXPECT_GT(Psnr(Expected(colour), ReadTiff(path, 1).image), 30.0);
  std::remove(path.c_str());
}
