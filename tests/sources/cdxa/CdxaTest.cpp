// CDXA files made here from ffmpeg's VideoCD stream and from payloads of
// other containers: the delivered stream is the payload from its first
// known sector on, of the type found; what is not CDXA is refused; a file
// that shrinks under the reader gives only the bytes it still holds.
#include <unistd.h>

#include "sources/cdxa/CDXAReader.h"
#include "tests/sources/ReaderHarness.h"

namespace {

using namespace disctest;

Bytes Payload(std::initializer_list<uint8_t> start, size_t size = 3 * 2324) {
  Bytes p(size, 0x5A);
  std::copy(start.begin(), start.end(), p.begin());
  return p;
}

TEST(CDXAReader, VideoCdStreamComesOutWhole) {
  const std::string mpg = Tmp("vcd.mpg"), dat = Tmp("vcd.dat");
  ASSERT_TRUE(Sh("ffmpeg -nostdin -v error -y -i " + DataFile("mpeg2-ps-mp2.mpg") + " -target pal-vcd " + mpg));
  Bytes stream;
  ASSERT_TRUE(ReadAll(mpg, stream));
  ASSERT_EQ(stream.size() % 2324, 0u);  // the VideoCD muxer writes sector-sized packs
  ASSERT_TRUE(WriteAll(dat, WrapCdxa(stream, 2)));
  LoadedReader<CCDXAReader> r(dat);
  ASSERT_EQ(r.loaded, S_OK);
  EXPECT_TRUE(r.Subtype() == MEDIASUBTYPE_MPEG1System);
  EXPECT_EQ(r.Length(), static_cast<LONGLONG>(stream.size()));
  EXPECT_TRUE(r.ReadStream() == stream);
}

PELLOMAR_DEFINE_GUID(kOgg, "D2855FA9-61A7-4DB0-B979-71F297C17A04");
PELLOMAR_DEFINE_GUID(kMatroska, "1AC0BEBD-4D2B-45AD-BCEB-F2C41C5E3788");
PELLOMAR_DEFINE_GUID(kRealMedia, "57428EC6-C2B2-44A2-AA9C-28F0B6A5C48E");

TEST(CDXAReader, FindsThePayloadType) {
  struct Case {
    const char* name;
    Bytes payload;
    size_t padding;
    GUID subtype;
    LONGLONG length;
  };
  const Case cases[] = {
      {"ten sectors of MPEG-1", Payload({0, 0, 1, 0xBA, 0x21}, 10 * 2324), 0, MEDIASUBTYPE_MPEG1System, 23240},
      {"MPEG-2 after three sectors of padding", Payload({0, 0, 1, 0xBA, 0x44}), 3, MEDIASUBTYPE_MPEG2_PROGRAM, 3 * 2324},
      {"Ogg", Payload({'O', 'g', 'g', 'S'}), 1, kOgg, 3 * 2324},
      {"Matroska", Payload({0x1A, 0x45, 0xDF, 0xA3}), 0, kMatroska, 3 * 2324},
      {"RealMedia", Payload({'.', 'R', 'M', 'F'}), 0, kRealMedia, 3 * 2324},
      {"AVI, cut to its RIFF size", Payload({'R', 'I', 'F', 'F', 100, 0, 0, 0, 'A', 'V', 'I', ' '}), 2,
       MEDIASUBTYPE_Avi, 108},
      {"QuickTime moov", Payload({0, 0, 0, 8, 'm', 'o', 'o', 'v'}), 0, MEDIASUBTYPE_QTMovie, 3 * 2324},
      {"QuickTime mdat", Payload({0, 0, 0, 8, 'm', 'd', 'a', 't'}), 0, MEDIASUBTYPE_QTMovie, 3 * 2324},
      {"MP4 ftyp", Payload({0, 0, 0, 20, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 0, 1, 'm', 'p', '4', '1'}), 0,
       MEDIASUBTYPE_QTMovie, 3 * 2324},
      // Known only to the platform's list of byte-stream check bytes.
      {"MPEG-1 video", Payload({0, 0, 1, 0xB3}), 0, MEDIASUBTYPE_MPEG1Video, 3 * 2324},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dat = Tmp("type.dat");
    ASSERT_TRUE(WriteAll(dat, WrapCdxa(c.payload, c.padding)));
    LoadedReader<CCDXAReader> r(dat);
    ASSERT_EQ(r.loaded, S_OK);
    EXPECT_TRUE(r.Subtype() == c.subtype);
    EXPECT_EQ(r.Length(), c.length);
    Bytes first(5);
    ASSERT_EQ(r.async->SyncRead(0, 5, first.data()), S_OK);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), c.payload.begin()));
  }
}

TEST(CDXAReader, RefusesWhatIsNotCdxa) {
  const Bytes good = WrapCdxa(Payload({0, 0, 1, 0xBA, 0x21}));
  auto with = [&good](size_t at, std::initializer_list<uint8_t> bytes) {
    Bytes b = good;
    std::copy(bytes.begin(), bytes.end(), b.begin() + at);
    return b;
  };
  struct Case {
    const char* name;
    Bytes file;
  };
  const Case cases[] = {
      {"not RIFF", with(0, {'R', 'I', 'F', 'X'})},
      {"a RIFF of another form", with(8, {'W', 'A', 'V', 'E'})},
      {"sizes that disagree", with(4, {0, 0, 0, 0})},
      {"shorter than its header", Bytes(good.begin(), good.begin() + 40)},
      {"a payload of no known kind", WrapCdxa(Payload({0x12, 0x34, 0x56, 0x78}))},
      {"no sectors", Bytes(good.begin(), good.begin() + 44)},
  };
  for (const Case& c : cases) {
    const std::string dat = Tmp("bad.dat");
    ASSERT_TRUE(WriteAll(dat, c.file));
    LoadedReader<CCDXAReader> r(dat);
    EXPECT_EQ(r.loaded, E_FAIL) << c.name;
  }
  LoadedReader<CCDXAReader> missing(Tmp("no-such.dat"));
  EXPECT_EQ(missing.loaded, E_FAIL);
}

TEST(CDXAReader, AShrunkenFileGivesOnlyWhatItHolds) {
  const Bytes payload = Payload({0, 0, 1, 0xBA, 0x21}, 4 * 2324);
  const std::string dat = Tmp("shrunk.dat");
  ASSERT_TRUE(WriteAll(dat, WrapCdxa(payload)));
  LoadedReader<CCDXAReader> r(dat);
  ASSERT_EQ(r.loaded, S_OK);
  ASSERT_EQ(r.Length(), 4 * 2324);
  // The disc goes away in the middle of the third sector's payload.
  ASSERT_EQ(truncate(dat.c_str(), 44 + 2 * 2352 + 24 + 100), 0);
  Bytes got(4 * 2324, 0xCC);
  EXPECT_EQ(r.async->SyncRead(0, 4 * 2324, got.data()), S_FALSE);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 2 * 2324 + 100, payload.begin()));
  EXPECT_EQ(got[2 * 2324 + 100], 0xCC);  // nothing made up past the end
  EXPECT_EQ(r.async->SyncRead(3 * 2324, 10, got.data()), S_FALSE);
}

}  // namespace
