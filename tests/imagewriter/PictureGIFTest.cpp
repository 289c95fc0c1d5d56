// GIF writer: every depth through each of the three coders, read back by
// ffmpeg's decoder pixel for pixel; the file's block structure walked here.
#include "imagewriter/PictureGIF.h"

#include "tests/imagewriter/WriterTestKit.h"

using namespace kit;

namespace {

struct GifImage {
  WORD left, top, width, height;
  BYTE packed;
  BYTE controlFlags;
  WORD delay;
  BYTE transIndex;
  BYTE codeSize;
  std::vector<size_t> blocks;  // sub-block lengths
};

struct GifFile {
  bool ok = false;
  WORD width = 0, height = 0;
  BYTE packed = 0;
  std::string comment;
  std::vector<GifImage> images;
};

// Walks the blocks of a file; `ok` only when it ends with the trailer
// exactly at the end.
GifFile Walk(const std::vector<BYTE>& d) {
  GifFile g;
  if (d.size() < 13 || std::string(d.begin(), d.begin() + 6) != "GIF89a") return g;
  g.width = Le16(d, 6);
  g.height = Le16(d, 8);
  g.packed = d[10];
  size_t i = 13 + ((g.packed & 0x80) ? 3u << ((g.packed & 7) + 1) : 0);
  GifImage pending{};
  auto blocks = [&](std::vector<size_t>* sizes) {
    while (i < d.size() && d[i] != 0) {
      if (sizes) sizes->push_back(d[i]);
      i += d[i] + 1;
    }
    ++i;
  };
  while (i < d.size()) {
    if (d[i] == 0x3B) {
      g.ok = i + 1 == d.size();
      return g;
    }
    if (d[i] == 0x21 && i + 2 < d.size()) {
      const BYTE label = d[i + 1];
      if (label == 0xF9) {
        pending.controlFlags = d[i + 3];
        pending.delay = Le16(d, i + 4);
        pending.transIndex = d[i + 6];
      } else if (label == 0xFE) {
        g.comment.assign(d.begin() + i + 3, d.begin() + i + 3 + d[i + 2]);
      }
      i += 2;
      blocks(nullptr);
    } else if (d[i] == 0x2C && i + 10 < d.size()) {
      GifImage img = pending;
      img.left = Le16(d, i + 1);
      img.top = Le16(d, i + 3);
      img.width = Le16(d, i + 5);
      img.height = Le16(d, i + 7);
      img.packed = d[i + 9];
      i += 10 + ((img.packed & 0x80) ? 3u << ((img.packed & 7) + 1) : 0);
      img.codeSize = d[i++];
      blocks(&img.blocks);
      g.images.push_back(img);
      pending = GifImage{};
    } else {
      return g;
    }
  }
  return g;
}

}  // namespace

TEST(PictureGIF, EveryDepthAndCoderReadsBack) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  struct Case {
    int bpp;
    DWORD width, height;
    DWORD coder;
    LONG transIndex;
    bool solid = false;
  };
  const Case cases[] = {
      {1, 37, 29, 0, -1},    {1, 37, 29, 1, -1},   {1, 37, 29, 2, 1},    {4, 37, 29, 0, -1},  {4, 37, 29, 1, 5},
      {4, 37, 29, 2, -1},    {8, 64, 48, 0, 5},    {8, 64, 48, 1, -1},   {8, 64, 48, 2, -1},  {24, 37, 29, 0, -1},
      {24, 37, 29, 1, 0},    {24, 37, 29, 2, -1},  {32, 20, 20, 0, -1},
      // Past the 4096 codes of a table: clears in every coder.
      {8, 300, 200, 0, -1},  {8, 300, 200, 1, -1}, {8, 300, 200, 2, -1}, {1, 640, 480, 2, -1}, {4, 333, 251, 2, -1},
      // One run over the whole picture.
      {8, 300, 200, 2, -1, true}, {1, 1000, 1000, 2, -1, true}, {1, 1000, 1000, 0, -1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bpp << " bits, " << c.width << "x" << c.height << ", coder " << c.coder);
    CPicture p;
    MakePicture(p, c.bpp, c.width, c.height, c.width + c.coder);
    if (c.solid) std::memset(p.GetBits(0), 0xFF, p.GetHeader().biSizeImage);
    p.SetCodecOption(c.coder, PICTURE_FORMAT_GIF);
    if (c.transIndex >= 0) {
      p.SetTransIndex(c.transIndex);
      p.SetTransColor(Quad(0, 3, 0));
    }
    const std::vector<BYTE> file = EncodeToMemory(p, PICTURE_FORMAT_GIF);
    const GifFile gif = Walk(file);
    ASSERT_TRUE(gif.ok);
    EXPECT_EQ(gif.width, c.width);
    const bool mosaic = c.bpp >= 24;
    EXPECT_EQ(gif.packed, mosaic ? 0x11 : 0xE0 | (c.bpp - 1));
    const size_t tiles = mosaic ? ((c.width + 16) / 17) * ((c.height + 14) / 15) : 1;
    ASSERT_EQ(gif.images.size(), tiles);
    for (const GifImage& img : gif.images) {
      EXPECT_EQ(img.codeSize, std::max(mosaic ? 8 : c.bpp, 2));
      EXPECT_EQ(img.packed, mosaic ? 0x87 : 0);
      EXPECT_EQ(img.controlFlags & 1, c.transIndex >= 0 ? 1 : 0);
      if (c.transIndex >= 0) {
        EXPECT_EQ(img.transIndex, mosaic ? 0 : c.transIndex);
      }
      const size_t full = c.coder == CPictureGIF::ENCODE_RLE ? 255 : 254;
      for (size_t b = 0; b + 1 < img.blocks.size(); ++b) ASSERT_EQ(img.blocks[b], full);
    }
    // GIF keeps no alpha plane; the background colour is its transparency.
    EXPECT_TRUE(SameImage(Expected(p, c.transIndex >= 0), ThroughFfmpeg(p, PICTURE_FORMAT_GIF), c.transIndex >= 0));
  }
}

TEST(PictureGIF, LayoutOfHeaderTilesAndSettings) {
  CPicture p(2, 2, 8, 0);
  p.SetOffset(3, 4);
  p.SetFrameDelay(25);
  std::vector<BYTE> file = EncodeToMemory(p, PICTURE_FORMAT_GIF);
  ASSERT_GT(file.size(), 13u + 768 + 8 + 10);
  EXPECT_EQ((std::vector<BYTE>(file.begin() + 6, file.begin() + 13)), (std::vector<BYTE>{2, 0, 2, 0, 0xE7, 0, 0}));
  GifFile gif = Walk(file);
  ASSERT_TRUE(gif.ok);
  ASSERT_EQ(gif.images.size(), 1u);
  EXPECT_EQ(gif.images[0].left, 3);
  EXPECT_EQ(gif.images[0].top, 4);
  EXPECT_EQ(gif.images[0].delay, 25);
  EXPECT_EQ(gif.images[0].controlFlags, 0);

  // 17 x 15 tiles from the top left; the last column and row are narrower.
  CPicture colour;
  MakePicture(colour, 24, 20, 20);
  gif = Walk(EncodeToMemory(colour, PICTURE_FORMAT_GIF));
  ASSERT_TRUE(gif.ok);
  ASSERT_EQ(gif.images.size(), 4u);
  const WORD tiles[4][4] = {{0, 0, 17, 15}, {17, 0, 3, 15}, {0, 15, 17, 5}, {17, 15, 3, 5}};
  for (int t = 0; t < 4; ++t) {
    EXPECT_EQ(gif.images[t].left, tiles[t][0]);
    EXPECT_EQ(gif.images[t].top, tiles[t][1]);
    EXPECT_EQ(gif.images[t].width, tiles[t][2]);
    EXPECT_EQ(gif.images[t].height, tiles[t][3]);
  }

  // The writer's own settings: comment and disposal method.
  CPictureGIF writer;
  writer.MakeGhostOf(&p);
  writer.SetComment("made by a test");
  writer.SetDisposalMethod(2);
  writer.SetTransIndex(300);  // no palette entry: no transparency
  CPictureMemFile out;
  ASSERT_TRUE(out.Open());
  ASSERT_TRUE(writer.Write(&out));
  gif = Walk(std::vector<BYTE>(out.GetBuffer(false), out.GetBuffer(false) + out.Size()));
  ASSERT_TRUE(gif.ok);
  EXPECT_EQ(gif.comment, "made by a test");
  EXPECT_EQ(gif.images[0].controlFlags, 2 << 2);
}
