// DVD title sets: the VOB files read as one run of sectors, the reader
// filter's byte stream against the VOBs' bytes, and the UDF lookup on
// images genisoimage makes of a title set (whole, and damaged).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "platform/win32/Drives.h"
#include "sources/vts/Udf.h"
#include "sources/vts/VTSReader.h"
#include "tests/sources/ReaderHarness.h"

namespace {

using namespace disctest;

// The MPEG-2 sample as ffmpeg's DVD muxer packs it: 2048-byte packs.
const Bytes& Vob() {
  static const Bytes vob = [] {
    const std::string path = Tmp("sample.vob");
    Bytes bytes;
    if (Sh("ffmpeg -nostdin -v error -y -i " + DataFile("mpeg2-ps-mp2.mpg") + " -c copy -f dvd " + path))
      ReadAll(path, bytes);
    return bytes;
  }();
  return vob;
}

// A title set of the sample: a 3-sector menu, the title cut after 40
// sectors.
std::string SampleSet() {
  static const std::string root = [] {
    const std::string r = Tmp("set");
    EXPECT_TRUE(WriteTitleSet(r, Vob(), {40}, 3));
    return r;
  }();
  return root;
}

// The set's UDF image, as genisoimage writes it.
const Bytes& SampleImage() {
  static const Bytes image = [] {
    const std::string path = Tmp("set.udf");
    Bytes bytes;
    if (Sh("genisoimage -quiet -udf -o " + path + " " + SampleSet())) ReadAll(path, bytes);
    return bytes;
  }();
  return image;
}

bool FindIn(const Bytes& image, const char* path, DWORD* sector, DWORD* length) {
  auto read = [&image](ULONGLONG first, DWORD count, BYTE* out) {
    if (first + count > image.size() / 2048) return false;
    std::memcpy(out, image.data() + first * 2048, size_t(count) * 2048);
    return true;
  };
  return UdfFindFile(read, image.size() / 2048, path, sector, length);
}

TEST(VobFile, ReadsTheTitleAcrossFileBoundaries) {
  ASSERT_FALSE(Vob().empty());
  CVobFile vob;
  std::vector<std::string> files;
  // The lower-case names the set is scanned for find the upper-case files.
  ASSERT_TRUE(vob.Open(SampleSet() + "/VIDEO_TS/VTS_01_0.IFO", files));
  ASSERT_EQ(files.size(), 3u);
  const int sectors = static_cast<int>(Vob().size() / 2048);
  EXPECT_EQ(vob.GetLength(), sectors);  // the menu is not part of the title
  Bytes all;
  BYTE sector[2048];
  while (vob.Read(sector)) all.insert(all.end(), sector, sector + 2048);
  EXPECT_TRUE(all == Vob());
  EXPECT_EQ(vob.GetPosition(), sectors);

  EXPECT_EQ(vob.Seek(39), 39);
  ASSERT_TRUE(vob.Read(sector));
  ASSERT_TRUE(vob.Read(sector));  // the first sector of the second file
  EXPECT_EQ(0, std::memcmp(sector, Vob().data() + 40 * 2048, 2048));
  EXPECT_EQ(vob.Seek(sectors + 10), sectors);  // clamped to the end
  EXPECT_FALSE(vob.Read(sector));
  EXPECT_EQ(vob.Seek(-5), 0);
}

TEST(VobFile, LargeSetsCountSectorsAcrossFiles) {
  const std::string root = Tmp("large"), dir = root + "/VIDEO_TS";
  ASSERT_TRUE(WriteTitleSet(root, Text("x"), {}, 0));
  Bytes ifo = Text("DVDVIDEO-VTS");
  ifo.resize(2048);
  auto sparse = [&](const std::string& name, off_t sectors, const char* mark) {
    const int fd = open((dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, mark, strlen(mark)), static_cast<ssize_t>(strlen(mark)));
    ASSERT_EQ(ftruncate(fd, sectors * 2048), 0);
    close(fd);
  };
  sparse("VTS_01_0.VOB", 1000, "MENU");
  sparse("VTS_01_1.VOB", 524287, "FIRST");
  sparse("VTS_01_2.VOB", 524287, "SECOND");
  CVobFile vob;
  std::vector<std::string> files;
  ASSERT_TRUE(vob.Open(dir + "/VTS_01_0.IFO", files));
  EXPECT_EQ(vob.GetLength(), 1048574);
  EXPECT_EQ(vob.Seek(524287), 524287);
  BYTE sector[2048];
  ASSERT_TRUE(vob.Read(sector));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(sector), 6), "SECOND");

  // Without a menu the title starts at the first sector.
  ASSERT_EQ(unlink((dir + "/VTS_01_0.VOB").c_str()), 0);
  ASSERT_TRUE(vob.Open(dir + "/VTS_01_0.IFO", files));
  EXPECT_EQ(vob.GetLength(), 2 * 524287);
  ASSERT_TRUE(vob.Read(sector));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(sector), 5), "FIRST");
}

TEST(VobFile, BrokenSetsAreRefused) {
  struct Case {
    const char* name;
    std::function<void(const std::string& dir)> damage;
  };
  const Case cases[] = {
      {"the video manager's IFO", [](const std::string& d) { WriteAll(d + "/VTS_01_0.IFO", Text("DVDVIDEO-VMG....")); }},
      {"an IFO shorter than its header", [](const std::string& d) { WriteAll(d + "/VTS_01_0.IFO", Text("DVDVIDEO")); }},
      {"no IFO", [](const std::string& d) { unlink((d + "/VTS_01_0.IFO").c_str()); }},
      {"a VOB of part of a sector", [](const std::string& d) { WriteAll(d + "/VTS_01_2.VOB", Bytes(3000, 0)); }},
      {"no VOB", [](const std::string& d) {
         for (const char* f : {"/VTS_01_0.VOB", "/VTS_01_1.VOB", "/VTS_01_2.VOB"}) unlink((d + f).c_str());
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string root = Tmp("broken");
    Sh("rm -rf " + root);
    ASSERT_TRUE(WriteTitleSet(root, Bytes(4 * 2048, 0), {2}, 1));
    c.damage(root + "/VIDEO_TS");
    CVobFile vob;
    std::vector<std::string> files;
    EXPECT_FALSE(vob.Open(root + "/VIDEO_TS/VTS_01_0.IFO", files));
    LoadedReader<CVTSReader> reader(root + "/VIDEO_TS/VTS_01_0.IFO");
    EXPECT_EQ(reader.loaded, E_FAIL);
  }
}

TEST(VTSReader, StreamIsTheVobBytes) {
  const std::string ifo = SampleSet() + "/VIDEO_TS/VTS_01_0.IFO";
  LoadedReader<CVTSReader> r(ifo);
  ASSERT_EQ(r.loaded, S_OK);
  ASSERT_TRUE(r.async);
  EXPECT_TRUE(r.reader->LoadType()->majortype == MEDIATYPE_Stream);
  EXPECT_TRUE(r.Subtype() == MEDIASUBTYPE_MPEG2_PROGRAM);
  EXPECT_EQ(r.Length(), static_cast<LONGLONG>(Vob().size()));
  EXPECT_TRUE(r.ReadStream() == Vob());
  // Past the end: what is there, and S_FALSE.
  BYTE tail[100];
  EXPECT_EQ(r.async->SyncRead(r.Length() - 10, 100, tail), S_FALSE);
  EXPECT_EQ(0, std::memcmp(tail, Vob().data() + Vob().size() - 10, 10));

  LPOLESTR name = nullptr;
  ASSERT_EQ(CComQIPtr<IFileSourceFilter>(r.hold)->GetCurFile(&name, nullptr), S_OK);
  EXPECT_EQ(WideToUtf8(name), ifo);
  CoTaskMemFree(name);

  // Reads go on inside a sector from where the last one ended.
  CVTSStream stream;
  ASSERT_TRUE(stream.Load(Utf8ToWide(ifo)));
  BYTE buffer[100];
  DWORD got = 0;
  ASSERT_EQ(stream.SetPointer(5000), S_OK);
  ASSERT_EQ(stream.Read(buffer, 100, FALSE, &got), S_OK);
  EXPECT_EQ(0, std::memcmp(buffer, Vob().data() + 2 * 2048 + 904, 100));
  ASSERT_EQ(stream.Read(buffer, 100, FALSE, &got), S_OK);
  EXPECT_EQ(0, std::memcmp(buffer, Vob().data() + 2 * 2048 + 1004, 100));
  EXPECT_EQ(stream.SetPointer(LONGLONG(Vob().size()) + 2048), S_FALSE);
  EXPECT_EQ(stream.SetPointer(-1), S_FALSE);
}

TEST(Udf, FindsTheFilesOfAnImage) {
  const Bytes& image = SampleImage();
  ASSERT_GT(image.size(), 256u * 2048);
  Bytes vob1;
  ASSERT_TRUE(ReadAll(SampleSet() + "/VIDEO_TS/VTS_01_1.VOB", vob1));
  Bytes noAnchorAt256 = image;
  std::memset(noAnchorAt256.data() + 256 * 2048, 0, 2048);  // the one at the last sector remains
  for (const Bytes* img : std::vector<const Bytes*>{&image, &noAnchorAt256}) {
    for (const char* path : {"VIDEO_TS/VTS_01_1.VOB", "\\video_ts\\vts_01_1.vob"}) {
      SCOPED_TRACE(path);
      DWORD sector = 0, length = 0;
      ASSERT_TRUE(FindIn(*img, path, &sector, &length));
      EXPECT_EQ(length, vob1.size());
      ASSERT_LE((sector + length / 2048) * 2048ull, img->size());
      EXPECT_EQ(0, std::memcmp(img->data() + size_t(sector) * 2048, vob1.data(), vob1.size()));
    }
  }
  for (const char* missing : {"VIDEO_TS/VTS_09_1.VOB", "VIDEO_TS", "VIDEO_TS/VTS_01_1.VOB/X", "", "AUDIO_TS/A"}) {
    DWORD sector = 0, length = 0;
    EXPECT_FALSE(FindIn(image, missing, &sector, &length)) << missing;
  }
}

constexpr size_t kAll = SIZE_MAX;

// Patches the nth descriptor of a tag (or every one) in a copy of the image
// and mends its tag checksum, so that the damage is what the reader sees.
Bytes Patched(const Bytes& image, int tag, size_t offset, std::vector<uint8_t> bytes, size_t nth = kAll) {
  Bytes out = image;
  size_t seen = 0;
  for (size_t s = 0; s < out.size() / 2048; ++s) {
    uint8_t* d = out.data() + s * 2048;
    uint8_t sum = 0;
    for (int i = 0; i < 16; ++i)
      if (i != 4) sum = static_cast<uint8_t>(sum + d[i]);
    if (sum != d[4] || (d[0] | d[1] << 8) != tag) continue;
    if (nth != kAll && seen++ != nth) continue;
    std::memcpy(d + offset, bytes.data(), bytes.size());
    sum = 0;
    for (int i = 0; i < 16; ++i)
      if (i != 4) sum = static_cast<uint8_t>(sum + d[i]);
    d[4] = sum;
  }
  return out;
}

TEST(Udf, DamagedImagesFailCleanly) {
  const Bytes& image = SampleImage();
  ASSERT_FALSE(image.empty());
  struct Case {
    const char* name;
    Bytes image;
    bool found;  // still found through what is left whole
  };
  const Case cases[] = {
      {"too small a device", Bytes(image.begin(), image.begin() + 255 * 2048), false},
      {"no anchor", Patched(image, 2, 0, {0, 0}), false},
      {"a main sequence past the end", Patched(image, 2, 20, {0xF0, 0xFF, 0xFF, 0x0F}), true},
      {"a partition past the end", Patched(image, 5, 188, {0xF0, 0xFF, 0xFF, 0xFF}), false},
      {"a partition of no length", Patched(image, 5, 192, {0, 0, 0, 0}), false},
      {"blocks of 512 bytes", Patched(image, 6, 212, {0, 2, 0, 0}), false},
      {"a virtual partition map", Patched(image, 6, 440, {2}), false},
      {"a file set past the partition", Patched(image, 6, 252, {0xFF, 0xFF, 0xFF, 0x7F}), false},
      {"a root that is not a directory", Patched(image, 261, 27, {5}, 0), false},
      {"descriptors longer than the entry", Patched(image, 261, 172, {0xFF, 0xFF, 0, 0}), false},
      {"an extent past the partition", Patched(image, 261, 180, {0xFF, 0xFF, 0xFF, 0x7F}, 0), false},
      {"the root's data in its own entry", Patched(image, 261, 180, {0, 0, 0, 0}, 0), false},
      {"a root of 2^63 bytes", Patched(image, 261, 56, {0, 0, 0, 0, 0, 0, 0, 0x7F}, 0), true},
      {"names longer than their directory", Patched(image, 257, 36, {0xFF, 0xFF}), false},
  };
  for (const Case& c : cases) {
    DWORD sector = 0, length = 0;
    const bool found = FindIn(c.image, "VIDEO_TS/VTS_01_1.VOB", &sector, &length);
    EXPECT_EQ(found, c.found) << c.name;
    if (found) {
      EXPECT_LE(ULONGLONG(sector) * 2048 + length, c.image.size()) << c.name;
    }
  }
}

TEST(VobFile, LocatesItsFilesOnAMappedDrive) {
  const std::string image = Tmp("set.udf");
  ASSERT_FALSE(SampleImage().empty());
  SetDriveTarget('P', image, SampleSet());
  CVobFile vob;
  std::vector<std::string> files;
  ASSERT_TRUE(vob.Open(SampleSet() + "/VIDEO_TS/VTS_01_0.IFO", files));
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i]);
    // The lower-case names of the list through the file layer.
    CFile f;
    ASSERT_TRUE(f.Open(files[i].c_str(), CFile::modeRead));
    Bytes file(static_cast<size_t>(f.GetLength()));
    ASSERT_EQ(f.Read(file.data(), static_cast<UINT>(file.size())), file.size());
    DWORD sector = 0, length = 0;
    ASSERT_TRUE(vob.GetDiscExtent(i, &sector, &length));
    EXPECT_EQ(length, file.size());
    // The same bytes through the raw device.
    HANDLE drive = CreateFileA("\\\\.\\P:", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(drive, INVALID_HANDLE_VALUE);
    Bytes onDisc(file.size());
    EXPECT_TRUE(UdfReadSectors(drive, sector, static_cast<DWORD>(file.size() / 2048), onDisc.data()));
    CloseHandle(drive);
    EXPECT_TRUE(onDisc == file);
  }
  SetDriveTarget('P', "");
  ASSERT_TRUE(vob.Open(SampleSet() + "/VIDEO_TS/VTS_01_0.IFO", files));
  DWORD sector = 0, length = 0;
  EXPECT_FALSE(vob.GetDiscExtent(0, &sector, &length));
}

}  // namespace
