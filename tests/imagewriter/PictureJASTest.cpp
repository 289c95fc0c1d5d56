// JPEG 2000 family writer: JP2 and JPC decoded by OpenJPEG and compared by
// PSNR; PGX, PNM and Sun raster read back by ffmpeg pixel for pixel.
#include "imagewriter/PictureJAS.h"

#include <openjpeg.h>

#include "tests/imagewriter/WriterTestKit.h"

using namespace kit;
using namespace std::string_literals;

namespace {

struct Decoded {
  int components = 0;
  OPJ_COLOR_SPACE colorSpace = OPJ_CLRSPC_UNKNOWN;
  Image image;
};

Decoded DecodeWithOpenJpeg(const std::string& path, OPJ_CODEC_FORMAT format) {
  Decoded out;
  opj_stream_t* stream = opj_stream_create_default_file_stream(path.c_str(), OPJ_TRUE);
  opj_codec_t* codec = opj_create_decompress(format);
  opj_dparameters_t params;
  opj_set_default_decoder_parameters(&params);
  opj_image_t* image = nullptr;
  if (stream && codec && opj_setup_decoder(codec, &params) && opj_read_header(stream, codec, &image) &&
      opj_decode(codec, stream, image) && opj_end_decompress(codec, stream)) {
    out.components = static_cast<int>(image->numcomps);
    out.colorSpace = image->color_space;
    out.image.width = static_cast<int>(image->comps[0].w);
    out.image.height = static_cast<int>(image->comps[0].h);
    for (size_t i = 0; i < static_cast<size_t>(out.image.width) * out.image.height; ++i) {
      auto at = [&](int c) { return static_cast<BYTE>(image->comps[out.components == 3 ? c : 0].data[i]); };
      out.image.px.push_back(Rgba{at(0), at(1), at(2), 255});
    }
  }
  if (image) opj_image_destroy(image);
  if (codec) opj_destroy_codec(codec);
  if (stream) opj_stream_destroy(stream);
  return out;
}

}  // namespace

TEST(PictureJAS, EveryFormatReadsBack) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  struct Case {
    DWORD format;
    int bpp;
    bool grey;
    BYTE quality;
    double minPsnr;      // 0: lossless, compared pixel by pixel
    std::string start;   // first bytes of the file
    const char* refusal; // null: written
  };
  const Case cases[] = {
      {PICTURE_FORMAT_JP2, 24, false, 90, 35, "\0\0\0\x0cjP  "s, nullptr},
      {PICTURE_FORMAT_JPC, 24, false, 90, 35, "\xff\x4f\xff\x51"s, nullptr},
      {PICTURE_FORMAT_JPC, 24, false, 100, 0, "\xff\x4f\xff\x51"s, nullptr},
      {PICTURE_FORMAT_JP2, 8, true, 90, 35, "\0\0\0\x0cjP  "s, nullptr},
      {PICTURE_FORMAT_PGX, 8, true, 90, 0, "PG ML + 8 61 43\n"s, nullptr},
      {PICTURE_FORMAT_PNM, 8, true, 90, 0, "P5\n61 43\n255\n"s, nullptr},
      {PICTURE_FORMAT_PNM, 24, false, 90, 0, "P6\n61 43\n255\n"s, nullptr},
      {PICTURE_FORMAT_RAS, 24, false, 90, 0, "\x59\xa6\x6a\x95"s, nullptr},
      {PICTURE_FORMAT_RAS, 8, true, 90, 0, "\x59\xa6\x6a\x95"s, nullptr},
      {PICTURE_FORMAT_PGX, 24, false, 90, 0, ""s, "PGX can save only GrayScale images"},
      {PICTURE_FORMAT_JP2, 8, false, 90, 0, ""s, "JasPer can save only RGB or GrayScale images"},
      {PICTURE_FORMAT_PNM, 1, false, 90, 0, ""s, "JasPer can save only RGB or GrayScale images"},
      {PICTURE_FORMAT_RAS, 4, false, 90, 0, ""s, "JasPer can save only RGB or GrayScale images"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "format " << c.format << ", " << c.bpp << " bits, quality " << int(c.quality));
    CPicture p;
    MakePicture(p, c.bpp, 61, 43, 6, c.grey);
    p.SetJpegQuality(c.quality);
    if (c.refusal) {
      EXPECT_TRUE(Refused(p, c.format, c.refusal));
      continue;
    }
    const std::vector<BYTE> file = EncodeToMemory(p, c.format);
    ASSERT_GE(file.size(), c.start.size());
    EXPECT_EQ(std::string(file.begin(), file.begin() + c.start.size()), c.start);

    const std::string path = SaveTemp(p, c.format, "family.img");
    if (c.format == PICTURE_FORMAT_JP2 || c.format == PICTURE_FORMAT_JPC) {
      const Decoded d = DecodeWithOpenJpeg(path, c.format == PICTURE_FORMAT_JP2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K);
      EXPECT_EQ(d.components, c.grey ? 1 : 3);
      if (c.format == PICTURE_FORMAT_JP2) {
        EXPECT_EQ(d.colorSpace, c.grey ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB);
      }
      if (c.minPsnr > 0) {
        EXPECT_GE(Psnr(Expected(p), d.image), c.minPsnr);
        // The rate holds the file to the quality's share of the raw size.
        EXPECT_LE(file.size(), 61u * 43 * (c.grey ? 1 : 3) * c.quality / 100 + 400);
      } else {
        EXPECT_TRUE(SameImage(Expected(p), d.image));
      }
    } else {
      EXPECT_TRUE(SameImage(Expected(p), DecodeWithFfmpeg(path)));
    }
    std::remove(path.c_str());
  }
  // A lower quality gives a smaller file.
  CPicture p;
  MakePicture(p, 24, 61, 43, 6);
  const size_t high = EncodeToMemory(p, PICTURE_FORMAT_JPC).size();
  p.SetJpegQuality(20);
  EXPECT_LT(EncodeToMemory(p, PICTURE_FORMAT_JPC).size() * 3, high * 2);
}
