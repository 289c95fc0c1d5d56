#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "imagewriter/Picture.h"
#include "imagewriter/PictureFile.h"

namespace {

std::string TempPath(const char* name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/pellomar_iw_" + std::to_string(::getpid()) + "_" + name;
}

bool FileExists(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f) std::fclose(f);
  return f != nullptr;
}

}  // namespace

TEST(PictureMemFile, GrowsInPageSteps) {
  CPictureMemFile f;
  const BYTE data[4096] = {1, 2, 3};
  EXPECT_EQ(f.Write(data, 1, 10), 0u);  // no buffer before Open
  EXPECT_FALSE(f.PutC(1));
  EXPECT_EQ(f.Tell(), -1);
  EXPECT_EQ(f.Size(), -1);
  ASSERT_TRUE(f.Open());
  EXPECT_FALSE(f.Open());
  EXPECT_EQ(f.Write(data, 1, 10), 10u);
  EXPECT_EQ(f.Capacity(), 4096u);
  EXPECT_EQ(f.Write(data, 1, 4090), 4090u);
  EXPECT_EQ(f.Capacity(), 8192u);
  EXPECT_EQ(f.Size(), 4100);
  EXPECT_EQ(f.Tell(), 4100);
  EXPECT_EQ(f.GetBuffer(false)[2], 3);
  EXPECT_EQ(f.GetBuffer(false)[12], 3);
  EXPECT_TRUE(f.Close());
  EXPECT_EQ(f.Size(), -1);
}

TEST(PictureMemFile, SeekClampsBelowAndZeroFillsGaps) {
  CPictureMemFile f;
  ASSERT_TRUE(f.Open());
  const BYTE four[4] = {9, 9, 9, 9};
  ASSERT_EQ(f.Write(four, 4, 1), 1u);
  EXPECT_TRUE(f.Seek(-5, SEEK_SET));
  EXPECT_EQ(f.Tell(), 0);
  EXPECT_FALSE(f.Seek(0, 7));
  EXPECT_TRUE(f.Seek(10, SEEK_END));
  EXPECT_EQ(f.Tell(), 14);
  EXPECT_TRUE(f.Eof());
  EXPECT_NE(f.Error(), 0);
  EXPECT_EQ(f.GetC(), -1);
  // Writing past the end makes the gap part of the data: it must read as
  // zeros, not as whatever the heap held.
  ASSERT_TRUE(f.PutC(7));
  EXPECT_EQ(f.Size(), 15);
  EXPECT_EQ(f.Error(), 0);
  ASSERT_TRUE(f.Seek(0, SEEK_SET));
  BYTE back[15];
  EXPECT_EQ(f.Read(back, 1, sizeof back), 15u);
  const BYTE expected[15] = {9, 9, 9, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
  EXPECT_EQ(std::memcmp(back, expected, 15), 0);
  ASSERT_TRUE(f.Seek(-3, SEEK_CUR));
  EXPECT_EQ(f.GetC(), 0);
  EXPECT_EQ(f.Read(back, 4, 5), 0u);  // two bytes left: no whole item of 4
  EXPECT_EQ(f.Tell(), 15);
}

TEST(PictureMemFile, BadSizesAndPositionsAreRefused) {
  CPictureMemFile f;
  ASSERT_TRUE(f.Open());
  BYTE buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(f.Write(buf, 1, 8), 8u);
  ASSERT_TRUE(f.Seek(0, SEEK_SET));
  EXPECT_EQ(f.Read(buf, 0, 4), 0u);  // zero item size: nothing, no division
  EXPECT_EQ(f.Read(nullptr, 1, 4), 0u);
  EXPECT_EQ(f.Write(nullptr, 1, 4), 0u);
  EXPECT_EQ(f.Write(buf, 0, 4), 0u);
  EXPECT_EQ(f.Write(buf, SIZE_MAX / 2, 4), 0u);  // size x count overflows
  // A position near the 32-bit limit: the end of the write does not fit.
  ASSERT_TRUE(f.Seek(INT32_MAX - 2, SEEK_SET));
  EXPECT_EQ(f.Write(buf, 1, 8), 0u);
  EXPECT_FALSE(f.Seek(10, SEEK_CUR));
  EXPECT_EQ(f.Size(), 8);
}

TEST(PictureMemFile, CallersBufferIsWrittenInPlaceAndNeverReallocated) {
  BYTE mine[6] = {0, 0, 0, 0, 0, 0xEE};
  CPictureMemFile f(mine, 5);
  EXPECT_EQ(f.Size(), 5);
  EXPECT_FALSE(f.Open());
  const BYTE abc[3] = {'a', 'b', 'c'};
  ASSERT_EQ(f.Write(abc, 1, 3), 3u);
  EXPECT_EQ(mine[0], 'a');
  EXPECT_EQ(f.GetBuffer(false), mine);
  // Growing past the caller's 5 bytes moves the data to a block of our own.
  ASSERT_EQ(f.Write(abc, 1, 3), 3u);
  BYTE* grown = f.GetBuffer(true);
  ASSERT_NE(grown, mine);
  EXPECT_EQ(std::memcmp(grown, "abcabc", 6), 0);
  EXPECT_EQ(mine[3], 0);
  EXPECT_EQ(mine[5], 0xEE);
  std::free(grown);  // detached: the caller's to free
}

TEST(PictureStdioFile, MapsToTheStream) {
  FILE* fp = std::tmpfile();
  ASSERT_NE(fp, nullptr);
  {
    CPictureStdioFile f(fp, false);
    EXPECT_EQ(f.Write("hello", 1, 5), 5u);
    EXPECT_TRUE(f.PutC('!'));
    EXPECT_EQ(f.Tell(), 6);
    EXPECT_EQ(f.Size(), 6);
    EXPECT_EQ(f.Tell(), 6);
    EXPECT_TRUE(f.Seek(1, SEEK_SET));
    EXPECT_EQ(f.GetC(), 'e');
    char back[4] = {};
    EXPECT_EQ(f.Read(back, 1, 4), 4u);
    EXPECT_EQ(std::string(back, 4), "llo!");
    EXPECT_EQ(f.GetC(), EOF);
    EXPECT_TRUE(f.Eof());
    EXPECT_EQ(f.Error(), 0);
    EXPECT_TRUE(f.Flush());
  }
  // Not owned: still open after the adapter is gone.
  EXPECT_EQ(std::fseek(fp, 0, SEEK_END), 0);
  EXPECT_EQ(std::ftell(fp), 6);
  CPictureStdioFile owner(fp, true);
  EXPECT_TRUE(owner.Close());
  EXPECT_TRUE(owner.Close());

  CPictureStdioFile none;
  EXPECT_EQ(none.Write("x", 1, 1), 0u);
  EXPECT_FALSE(none.Seek(0, SEEK_SET));
  EXPECT_FALSE(none.PutC(1));
  EXPECT_EQ(none.Size(), -1);
  EXPECT_EQ(none.Error(), -1);
  EXPECT_EQ(none.GetC(), -1);
  EXPECT_TRUE(none.Eof());
}

TEST(PictureEncode, RefusesUnknownFormatsAndMetafiles) {
  CPicture p(4, 4, 24, 0);
  CPictureMemFile f;
  ASSERT_TRUE(f.Open());
  for (DWORD format : {0u, 16u, 1000u}) {
    EXPECT_FALSE(p.Encode(&f, format));
    EXPECT_STREQ(p.GetLastError(), "Encode: Unknown format");
  }
  EXPECT_FALSE(p.Encode(&f, PICTURE_FORMAT_WMF));
  EXPECT_STREQ(p.GetLastError(), "Save WMF not supported");
  EXPECT_EQ(f.Size(), 0);  // nothing written by any refusal
}

TEST(PictureEncode, NullOutputAndEmptyPicture) {
  CPicture p(4, 4, 24, 0);
  EXPECT_FALSE(p.Encode(nullptr, PICTURE_FORMAT_JPG));
  EXPECT_STREQ(p.GetLastError(), "null file handler");
  EXPECT_FALSE(p.EncodeFile(nullptr, PICTURE_FORMAT_JPG));
  EXPECT_STREQ(p.GetLastError(), "null file handler");
  CPicture empty;
  CPictureMemFile f;
  ASSERT_TRUE(f.Open());
  EXPECT_FALSE(empty.Encode(&f, PICTURE_FORMAT_JPG));
  EXPECT_STREQ(empty.GetLastError(), "null image!!!");
}

TEST(PictureSave, FailuresLeaveNoFileAndKeepExistingOnes) {
  CPicture p(4, 4, 24, 0);
  p.SetJpegQuality(80);
  EXPECT_FALSE(p.Save("/nonexistent-dir-pellomar/x/img_1.jpg", PICTURE_FORMAT_JPG));
  EXPECT_STREQ(p.GetLastError(), "");
  EXPECT_FALSE(p.Save(nullptr, PICTURE_FORMAT_JPG));

  const std::string path = TempPath("refused.wbmp");
  EXPECT_FALSE(p.Save(path.c_str(), PICTURE_FORMAT_WBMP));
  EXPECT_FALSE(FileExists(path));  // no half-written file under that name

  // Something that cannot be encoded at all does not truncate a file.
  FILE* keep = std::fopen(path.c_str(), "wb");
  ASSERT_NE(keep, nullptr);
  std::fputs("keep me", keep);
  std::fclose(keep);
  CPicture empty;
  EXPECT_FALSE(empty.Save(path.c_str(), PICTURE_FORMAT_JPG));
  EXPECT_STREQ(empty.GetLastError(), "null image!!!");
  EXPECT_FALSE(p.Save(path.c_str(), 0));
  FILE* check = std::fopen(path.c_str(), "rb");
  ASSERT_NE(check, nullptr);
  char text[8] = {};
  EXPECT_EQ(std::fread(text, 1, 7, check), 7u);
  std::fclose(check);
  EXPECT_STREQ(text, "keep me");
  std::remove(path.c_str());
}
