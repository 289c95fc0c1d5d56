// What every writer does with bad input and failing outputs: a clean false
// with a text, the picture unchanged, and no file left behind.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

#include <sys/resource.h>
#include <sys/wait.h>

#include "tests/imagewriter/WriterTestKit.h"

using namespace kit;

namespace {

struct Writer {
  DWORD format;
  int bpp;  // a depth the format takes
  bool grey;
  const char* writeError;
  const char* headerError;  // while the header cannot be written
  size_t headerBytes;
};

const char kJasError[] = "error: cannot encode image\n";
const Writer kWriters[] = {
    {PICTURE_FORMAT_BMP, 24, false, "Write Error in BMP file", nullptr, 0},
    {PICTURE_FORMAT_GIF, 8, false, "Write Error in GIF file", nullptr, 0},
    {PICTURE_FORMAT_GIF, 24, false, "Write Error in GIF file", nullptr, 0},
    {PICTURE_FORMAT_JPG, 24, false, "Output file write error --- out of disk space?", nullptr, 0},
    {PICTURE_FORMAT_PNG, 32, false, "Error saving PNG file", nullptr, 0},
    {PICTURE_FORMAT_ICO, 24, false, "Write Error in ICO file", nullptr, 0},
    {PICTURE_FORMAT_TIF, 24, false, "Error saving TIFF file", "initialization fail", 8},
    {PICTURE_FORMAT_TGA, 8, false, "Write Error in TGA file", nullptr, 0},
    {PICTURE_FORMAT_PCX, 24, false, "Write Error in PCX file", "cannot write PCX header", 128},
    {PICTURE_FORMAT_WBMP, 1, false, "Write Error in WBMP file", nullptr, 0},
    {PICTURE_FORMAT_JP2, 24, false, kJasError, nullptr, 0},
    {PICTURE_FORMAT_JPC, 8, true, kJasError, nullptr, 0},
    {PICTURE_FORMAT_PGX, 8, true, kJasError, nullptr, 0},
    {PICTURE_FORMAT_PNM, 24, false, kJasError, nullptr, 0},
    {PICTURE_FORMAT_RAS, 24, false, kJasError, nullptr, 0},
};

}  // namespace

TEST(PictureWriters, FailingOutputsAndEmptyPictures) {
  for (const Writer& w : kWriters) {
    SCOPED_TRACE(testing::Message() << PictureFormatName(w.format) << ", " << w.bpp << " bits");
    CPicture empty;
    EXPECT_FALSE(empty.Create(0, 10, w.bpp, 0));
    CPictureMemFile sink;
    ASSERT_TRUE(sink.Open());
    EXPECT_FALSE(empty.Encode(&sink, w.format));
    EXPECT_STREQ(empty.GetLastError(), "null image!!!");
    EXPECT_EQ(sink.Size(), 0);

    CPicture p;
    MakePicture(p, w.bpp, 200, 150, 11, w.grey);
    p.SetTransIndex(999);  // names no palette entry: taken as none
    EXPECT_FALSE(p.Encode(nullptr, w.format));
    EXPECT_STREQ(p.GetLastError(), "null file handler");
    const std::vector<BYTE> before(p.GetDib(), p.GetDib() + p.GetSize());
    const size_t size = EncodeToMemory(p, w.format).size();
    ASSERT_GT(size, 0u);
    // The output falls short at the start, inside the header, half-way
    // and at the last byte.
    for (size_t limit : {size_t{0}, size_t{10}, size / 2, size - 1}) {
      SCOPED_TRACE(limit);
      p.SetTransIndex(999);
      ShortWriteFile out(limit);
      EXPECT_FALSE(p.Encode(&out, w.format));
      EXPECT_STREQ(p.GetLastError(), limit < w.headerBytes ? w.headerError : w.writeError);
      EXPECT_TRUE(std::equal(before.begin(), before.end(), p.GetDib()));
    }
  }
}

TEST(PictureWriters, SaveThatFailsHalfWayLeavesNoFile) {
  for (const Writer& w : kWriters) {
    SCOPED_TRACE(PictureFormatName(w.format));
    CPicture p;
    MakePicture(p, w.bpp, 200, 150, 12, w.grey);
    const std::string path = TempPath("limited.img");
    // A child process whose files may not grow past 2000 bytes: writing
    // the picture fails part of the way through, as on a full disk.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{2000, 2000};
      setrlimit(RLIMIT_FSIZE, &limit);
      const bool saved = p.Save(path.c_str(), w.format);
      _exit(saved ? 1 : FileExists(path) ? 2 : std::strlen(p.GetLastError()) == 0 ? 3 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: reported saved, 2: file left, 3: no text";
    EXPECT_FALSE(FileExists(path));
    std::remove(path.c_str());
  }
}
