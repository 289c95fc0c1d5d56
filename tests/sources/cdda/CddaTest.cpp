// Audio CD tracks from disc images made here (a cue sheet with audio and
// data tracks, raw sectors of known samples, CD-TEXT packs) behind a
// mapped drive letter: the WAV header, lengths, reads at any position,
// title and performer, and the discs and paths that are refused.
#include <fcntl.h>
#include <unistd.h>

#include "platform/com/Bstr.h"
#include "platform/win32/Drives.h"
#include "sources/cdda/CDDAReader.h"
#include "tests/sources/ReaderHarness.h"

namespace {

using namespace disctest;

// The byte at `offset` of the sector at `lba`: no two nearby bytes alike.
uint8_t SampleByte(LONGLONG lba, size_t offset) { return static_cast<uint8_t>((lba * 2352 + offset) * 7 / 3); }

Bytes Sector(LONGLONG lba) {
  Bytes s(2352);
  for (size_t i = 0; i < s.size(); ++i) s[i] = SampleByte(lba, i);
  return s;
}

// Track 1: 3 minutes from 00:02:00 (sparse but for its first 10 sectors),
// track 2: 1 second, track 3: data. Drive letter P.
constexpr LONGLONG kTrack2 = 13500, kTrack3 = 13575, kEnd = 13605;

std::string MakeDisc(const std::string& name, const Bytes* cdText = nullptr,
                     std::vector<CdTrack> tracks = {{1, true, "00:00:00"}, {2, true, "03:00:00"}, {3, false, "03:01:00"}},
                     LONGLONG sectors = kEnd) {
  const std::string dir = Tmp(name);
  Sh("rm -rf " + dir);
  EXPECT_TRUE(WriteCdImage(dir, tracks, {}, cdText));
  const int fd = open((dir + "/disc.bin").c_str(), O_WRONLY);
  EXPECT_GE(fd, 0);
  for (LONGLONG lba : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9})
    EXPECT_EQ(pwrite(fd, Sector(lba).data(), 2352, lba * 2352), 2352);
  for (LONGLONG lba = kTrack2; lba < std::min(kTrack3, sectors); ++lba)
    EXPECT_EQ(pwrite(fd, Sector(lba).data(), 2352, lba * 2352), 2352);
  EXPECT_EQ(ftruncate(fd, sectors * 2352), 0);
  close(fd);
  SetDriveTarget('P', dir + "/disc.cue");
  return dir;
}

Bytes Header(DWORD length) {
  Bytes h = Text("RIFF");
  auto le32 = [&h](DWORD v) {
    for (int i = 0; i < 4; ++i) h.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  le32(length + 36);
  const Bytes fmt = Text("WAVEfmt ");
  h.insert(h.end(), fmt.begin(), fmt.end());
  le32(16);
  for (uint8_t b : {1, 0, 2, 0}) h.push_back(b);
  le32(44100);
  le32(176400);
  for (uint8_t b : {4, 0, 16, 0}) h.push_back(b);
  const Bytes data = Text("data");
  h.insert(h.end(), data.begin(), data.end());
  le32(length);
  return h;
}

TEST(CDDAReader, HeaderAndLengths) {
  MakeDisc("lengths");
  LoadedReader<CCDDAReader> t1("P:\\Track01.cda");
  ASSERT_EQ(t1.loaded, S_OK);
  EXPECT_TRUE(t1.Subtype() == MEDIASUBTYPE_WAVE);
  EXPECT_EQ(t1.Length(), 31752044);  // 13,500 sectors from 00:02:00, which is sector 0
  Bytes head(44);
  ASSERT_EQ(t1.async->SyncRead(0, 44, head.data()), S_OK);
  EXPECT_TRUE(head == Header(31752000));
  BYTE across[8];
  ASSERT_EQ(t1.async->SyncRead(40, 8, across), S_OK);
  const Bytes expected = {head[40], head[41], head[42], head[43], SampleByte(0, 0), SampleByte(0, 1),
                          SampleByte(0, 2), SampleByte(0, 3)};
  EXPECT_TRUE(Bytes(across, across + 8) == expected);

  LoadedReader<CCDDAReader> t2("p:/track02.CDA");
  ASSERT_EQ(t2.loaded, S_OK);
  EXPECT_EQ(t2.Length(), 44 + 75 * 2352);
}

TEST(CDDAReader, ReadsAtAnyPosition) {
  MakeDisc("reads");
  LoadedReader<CCDDAReader> r("P:\\Track02.cda");
  ASSERT_EQ(r.loaded, S_OK);
  const LONGLONG end = 44 + 75 * 2352;
  struct Read {
    LONGLONG at;
    LONG count;
  };
  for (const Read& q : {Read{0, 100}, Read{44, 2352}, Read{1000, 5000}, Read{44 + 2352 * 3 - 1, 2}, Read{end - 9, 9},
                        Read{12, 60000}}) {
    Bytes got(static_cast<size_t>(q.count));
    ASSERT_EQ(r.async->SyncRead(q.at, q.count, got.data()), S_OK) << q.at;
    for (LONG i = 0; i < q.count; ++i) {
      const LONGLONG p = q.at + i;
      const uint8_t want = p < 44 ? Header(75 * 2352)[p] : SampleByte(kTrack2 + (p - 44) / 2352, (p - 44) % 2352);
      ASSERT_EQ(got[i], want) << "byte " << p;
    }
  }
  BYTE tail[64];
  EXPECT_EQ(r.async->SyncRead(end - 10, 64, tail), S_FALSE);  // what is left, and no more
  EXPECT_EQ(tail[9], SampleByte(kTrack2 + 74, 2351));

  // A whole track is a WAV file that ffprobe reads as a second of CD sound.
  const std::string wav = Tmp("track02.wav");
  ASSERT_TRUE(WriteAll(wav, r.ReadStream()));
  FILE* probe = popen(("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels:format=duration "
                       "-of default=nw=1 " + wav).c_str(), "r");
  ASSERT_NE(probe, nullptr);
  char buf[512] = {};
  fread(buf, 1, sizeof buf - 1, probe);
  pclose(probe);
  EXPECT_STREQ(buf, "codec_name=pcm_s16le\nsample_rate=44100\nchannels=2\nduration=1.000000\n");
}

std::wstring Get(IAMMediaContent* content, HRESULT (STDMETHODCALLTYPE IAMMediaContent::*getter)(BSTR*)) {
  BSTR value = nullptr;
  if ((content->*getter)(&value) != S_OK || !value) return L"<none>";
  std::wstring out(value);
  SysFreeString(value);
  return out;
}

TEST(CDDAReader, CdTextTitleAndPerformer) {
  uint8_t seq = 0;
  Bytes packs = CdTextStrings(0x80, 0, {"The Album", "A first title long enough to span packs", "Second"}, seq);
  const Bytes artists = CdTextStrings(0x81, 0, {"Disc Artist", "", "Artist Two"}, seq);
  packs.insert(packs.end(), artists.begin(), artists.end());
  // Packs the walk passes over: a track no disc has, another language.
  for (const Bytes& p : {CdTextPack(0x80, 120, seq++, 0, "NOT A TITLE"), CdTextPack(0x80, 2, seq++, 0x10, "FRENCH")})
    packs.insert(packs.end(), p.begin(), p.end());

  struct Case {
    const char* path;
    const wchar_t* title;
    const wchar_t* performer;
  };
  for (const Case& c : {Case{"P:\\Track01.cda", L"A first title long enough to span packs", L"Disc Artist"},
                        Case{"P:\\Track02.cda", L"Second", L"Artist Two"}}) {
    MakeDisc("cdtext", &packs);
    LoadedReader<CCDDAReader> r(c.path);
    ASSERT_EQ(r.loaded, S_OK) << c.path;
    CComQIPtr<IAMMediaContent> content(r.hold);
    ASSERT_TRUE(content);
    EXPECT_EQ(Get(content, &IAMMediaContent::get_Title), c.title);
    EXPECT_EQ(Get(content, &IAMMediaContent::get_AuthorName), c.performer);
    BSTR none = nullptr;
    EXPECT_EQ(content->get_Copyright(&none), E_NOTIMPL);
  }

  // An answer whose header promises more than the drive returned: the walk
  // stops at what is there.
  Bytes lying = {0xFF, 0xFF, 0, 0};
  lying.insert(lying.end(), packs.begin(), packs.begin() + 18 * 2);
  lying.push_back(0x80);  // a broken pack
  MakeDisc("lying", &lying);
  LoadedReader<CCDDAReader> r("P:\\Track01.cda");
  ASSERT_EQ(r.loaded, S_OK);
  CComQIPtr<IAMMediaContent> content(r.hold);
  EXPECT_EQ(Get(content, &IAMMediaContent::get_Title), L"A first title ");
}

TEST(CDDAReader, RefusedPathsAndDiscs) {
  using Tracks = std::vector<CdTrack>;
  struct Case {
    const char* name;
    const char* path;
    Tracks tracks;
    LONGLONG sectors;
    const char* sheet;  // written over the cue sheet when given
  };
  const Tracks normal = {{1, true, "00:00:00"}, {2, true, "03:00:00"}, {3, false, "03:01:00"}};
  const Case cases[] = {
      {"not a track file", "P:\\Track01.wav", normal, kEnd, nullptr},
      {"no drive", "Track01.cda", normal, kEnd, nullptr},
      {"no track number", "P:\\Track.cda", normal, kEnd, nullptr},
      {"a drive not in the map", "Q:\\Track01.cda", normal, kEnd, nullptr},
      {"a track past the last", "P:\\Track04.cda", normal, kEnd, nullptr},
      {"a data track", "P:\\Track03.cda", normal, kEnd, nullptr},
      {"a track starting after its end", "P:\\Track01.cda", {{1, true, "03:00:00"}, {2, true, "00:00:00"}}, kEnd,
       nullptr},
      {"numbers out of order", "P:\\Track02.cda", {{2, true, "00:00:00"}, {1, true, "03:00:00"}}, kEnd, nullptr},
      {"a lead-out before the track", "P:\\Track02.cda", {{1, true, "00:00:00"}, {2, true, "03:00:00"}}, 100,
       nullptr},
      {"a sheet without tracks", "P:\\Track01.cda", normal, kEnd, "FILE \"disc.bin\" BINARY\n"},
      {"a sheet without its sectors", "P:\\Track01.cda", normal, kEnd, "FILE \"none.bin\" BINARY\nTRACK 01 AUDIO\n"
                                                                       "INDEX 01 00:00:00\n"},
      {"a sheet of nonsense", "P:\\Track01.cda", normal, kEnd, "FILE \"disc.bin\" BINARY\nTRACK 01 AUDIO\n"
                                                               "INDEX 01 99:99:99\n"},
  };
  for (const Case& c : cases) {
    const std::string dir = MakeDisc("refused", nullptr, c.tracks, c.sectors);
    if (c.sheet) WriteAll(dir + "/disc.cue", Text(c.sheet));
    LoadedReader<CCDDAReader> r(c.path);
    EXPECT_EQ(r.loaded, E_FAIL) << c.name;
    EXPECT_EQ(r.reader->GetPinCount(), 0) << c.name;
  }
}

TEST(CDDAReader, DriveWithoutPermission) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  const std::string dir = MakeDisc("denied");
  ASSERT_EQ(chmod((dir + "/disc.bin").c_str(), 0), 0);
  LoadedReader<CCDDAReader> r("P:\\Track01.cda");
  EXPECT_EQ(r.loaded, E_FAIL);
}

}  // namespace
