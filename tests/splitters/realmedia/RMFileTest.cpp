// The RealMedia file reader on files written here: header chunks, the
// audio header search, logical-fileinfo properties, the RealVideo 4
// picture-size probe and packet headers.
#include "tests/foundation/MemAsyncReader.h"
#include "tests/splitters/realmedia/RealMediaTestKit.h"

using namespace rmkit;

namespace {

struct Opened {
  HRESULT hr = E_FAIL;
  std::unique_ptr<CRMFile> file;
};

Opened Open(const Bytes& bytes) {
  Opened o;
  auto* reader = new MemAsyncReader(bytes);
  o.file = std::make_unique<CRMFile>(reader, &o.hr);
  reader->Release();
  return o;
}

// Most significant bit first.
struct BitWriter {
  Bytes bytes;
  int used = 0;
  void Put(DWORD value, int bits) {
    for (int i = bits - 1; i >= 0; i--) {
      if (used % 8 == 0) bytes.push_back(0);
      if ((value >> i) & 1) bytes.back() |= static_cast<BYTE>(0x80 >> (used % 8));
      used++;
    }
  }
};

Bytes Cut(Bytes b, size_t n) {
  b.resize(n);
  return b;
}

}  // namespace

TEST(RMFile, HeaderChunks) {
  const Bytes video = Mdpr(1, "v", "video/x-pn-realvideo", VideoFormat("RV20", 176, 144));
  const Bytes audio = Mdpr(2, "a", "audio/x-pn-realaudio", AudioFormat({}));
  Bytes shortHeader = Chunk(".RMF", {0, 0, 0, 0, 0, 3});  // size 16: a 16-bit count
  Bytes bareAudio = FileHeader();
  Put(bareAudio, Chunk("\x2E\x72\x61\xFD", {}));
  Bytes badTypeSpec = Mdpr(3, "x", "video/x-pn-realvideo", VideoFormat("RV20", 8, 8));
  badTypeSpec[badTypeSpec.size() - 35] = 0x7F;  // its length runs past the chunk
  Bytes cutChunk = FileHeader();
  Put(cutChunk, video);
  Put(cutChunk, Chunk("CONT", Bytes(40, 0)));
  cutChunk.resize(cutChunk.size() - 10);
  Bytes dataPastEnd = FileHeader();
  Put(dataPastEnd, video);
  Put(dataPastEnd, Data({MediaPacket(1, 0, {1, 2, 3}), MediaPacket(1, 40, {4, 5, 6})}));
  dataPastEnd.resize(dataPastEnd.size() - 5);
  // The chunk size is below what was read: reading goes on after it.
  Bytes smallSize = FileHeader();
  Bytes cont = Chunk("CONT", {0, 2, 'h', 'i', 0, 0, 0, 0, 0, 0});
  cont[7] = 12;
  Put(smallSize, cont);
  Put(smallSize, video);
  Bytes subs = FileHeader();
  Put(subs, video);
  Bytes subBody;
  Put(subBody, std::string("first\0" "3\0" "abc", 11));
  Put(subBody, std::string("second\0" "99\0" "xy", 12));  // runs past the chunk
  Put(subs, Chunk(".SUB", subBody));

  struct Case {
    const char* name;
    Bytes file;
    HRESULT hr;
    size_t streams, dataChunks, subtitles;
  };
  auto with = [](std::initializer_list<Bytes> chunks) {
    Bytes f = FileHeader();
    for (const Bytes& c : chunks) Put(f, c);
    return f;
  };
  const Case cases[] = {
      {"16-bit header count", [&] { Bytes f = shortHeader; Put(f, video); return f; }(), S_OK, 1, 0, 0},
      {"not RealMedia", video, E_FAIL, 0, 0, 0},
      {"bare RealAudio chunk", bareAudio, E_FAIL, 0, 0, 0},
      {"two streams", with({Prop(1000), video, audio}), S_OK, 2, 0, 0},
      {"type-specific data past its chunk", with({video, badTypeSpec}), S_OK, 1, 0, 0},
      {"chunk cut by the end of the file", cutChunk, S_OK, 1, 0, 0},
      {"data chunk past the end of the file", dataPastEnd, S_OK, 1, 1, 0},
      {"chunk smaller than its fields", smallSize, S_OK, 1, 0, 0},
      {"subtitles", subs, S_OK, 1, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Opened o = Open(c.file);
    EXPECT_EQ(o.hr, c.hr);
    if (FAILED(c.hr)) continue;
    EXPECT_EQ(o.file->m_mps.size(), c.streams);
    EXPECT_EQ(o.file->m_dcs.size(), c.dataChunks);
    EXPECT_EQ(o.file->m_subs.size(), c.subtitles);
  }
  EXPECT_EQ(Open(with({Chunk(".RMF", {0, 0, 0, 0, 0, 0, 0, 7})})).file->m_fh.nHeaders, 7u);
  EXPECT_EQ(Open([&] { Bytes f = shortHeader; return f; }()).file->m_fh.nHeaders, 3u);
  Opened s = Open(subs);
  ASSERT_EQ(s.file->m_subs.size(), 1u);
  EXPECT_EQ(s.file->m_subs[0].name, "first");
  EXPECT_EQ(s.file->m_subs[0].data, "abc");
}

TEST(RMFile, IndexIsKeptForTheIndexStream) {
  const Bytes video = Mdpr(1, "v", "video/x-pn-realvideo", VideoFormat("RV20", 176, 144));
  const Bytes audio = Mdpr(2, "a", "audio/x-pn-realaudio", AudioFormat({}));
  struct Case {
    const char* name;
    std::vector<Bytes> chunks;
    size_t records;
  };
  const std::vector<IndexEntry> entries = {{0, 100, 0}, {1000, 200, 5}};
  Bytes oddVersion = Index(1, entries);
  oddVersion[20] = 1;  // the first record's version: only its two bytes are read
  const Case cases[] = {
      {"video index with video", {video, audio, Index(1, entries)}, 2},
      {"audio index with video", {video, audio, Index(2, entries)}, 0},
      {"audio index in an audio file", {audio, Index(2, entries)}, 2},
      {"index before its stream", {Index(1, entries), video}, 0},
      {"record of another version", {video, oddVersion}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes f = FileHeader();
    for (const Bytes& chunk : c.chunks) Put(f, chunk);
    Opened o = Open(f);
    ASSERT_EQ(o.hr, S_OK);
    EXPECT_EQ(o.file->m_irs.size(), c.records);
  }
}

TEST(RMFile, AudioHeaderSearchAndBounds) {
  AudioHeader v4;
  v4.codecData = {9, 8, 7};
  AudioHeader v5 = v4;
  v5.version = 5;
  v5.codec = "sipr";
  v5.flavor = 3;
  AudioHeader noLength = v4;
  noLength.withCodecData = false;
  // Decoys: a '.', an 'r' and an 'a' at separate places before the header.
  Bytes decoys{'.', 0, 'x', 'r', 0, 0, 'a', '.', 'r', 'a', 0};
  Bytes v4Late = decoys;
  Put(v4Late, AudioFormat(v4));
  Bytes longLength = AudioFormat(v4);
  longLength[longLength.size() - 4] = 0x7F;  // the length field runs far past the data

  struct Case {
    const char* name;
    Bytes data;
    bool parses;
    WORD version, flavor;
    const char* codec;
    size_t offset, codecData;
  };
  const Case cases[] = {
      {"version 4", AudioFormat(v4), true, 4, 0, "cook", 0, 3},
      {"version 5", AudioFormat(v5), true, 5, 3, "sipr", 0, 3},
      {"after bytes that only look like it", v4Late, true, 4, 0, "cook", decoys.size(), 3},
      {"without a codec data length", AudioFormat(noLength), true, 4, 0, "cook", 0, 0},
      {"codec data length past the data", longLength, true, 4, 0, "cook", 0, 3},
      {"cut inside the common head", Cut(AudioFormat(v4), 30), false, 0, 0, "", 0, 0},
      {"cut inside the version 5 part", Cut(AudioFormat(v5), 60), false, 0, 0, "", 0, 0},
      {"no header at all", decoys, false, 0, 0, "", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RMAudioFormat af;
    ASSERT_EQ(af.Parse(c.data.data(), c.data.size()), c.parses);
    if (!c.parses) continue;
    EXPECT_EQ(af.version, c.version);
    EXPECT_EQ(af.flavor, c.flavor);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(af.codec), 4), c.codec);
    EXPECT_EQ(af.offset, c.offset);
    EXPECT_EQ(af.subPacketH, 4);
    EXPECT_EQ(af.codedFrameSize, 600u);
    EXPECT_EQ(af.sampleRate, 44100);
    EXPECT_EQ(af.channels, 2);
    EXPECT_EQ(af.codecDataLength, c.codecData);
    EXPECT_LE(af.codecDataOffset + af.codecDataLength, c.data.size());
  }
}

TEST(RMFile, LogicalFileInfoProperties) {
  auto property = [](const std::string& name, const std::string& value, int sizeDelta = 0) {
    Bytes p;
    Be(p, 13 + name.size() + value.size() + sizeDelta, 4);
    p.push_back(0);
    Be(p, name.size(), 2);
    Put(p, name);
    Be(p, 2, 4);
    Be(p, value.size(), 2);
    Put(p, value);
    return p;
  };
  auto data = [](DWORD count, std::initializer_list<Bytes> props, bool wide = false) {
    Bytes b(8, 0);
    if (wide) {
      Be(b, 0x10000, 4);
      b.push_back(0), b.push_back(0);
    }
    Be(b, count, 4);
    for (const Bytes& p : props) Put(b, p);
    return b;
  };
  struct Case {
    const char* name;
    Bytes data;
    std::map<std::string, std::string> expected;
  };
  const Case cases[] = {
      {"two", data(2, {property("A", "1"), property("B", "22")}), {{"A", "1"}, {"B", "22"}}},
      {"later replaces earlier", data(2, {property("A", "1"), property("A", "2")}), {{"A", "2"}}},
      {"count ends the list", data(1, {property("A", "1"), property("B", "2")}), {{"A", "1"}}},
      {"count above 0xFFFF: the second form", data(1, {property("A", "1")}, true), {{"A", "1"}}},
      {"property past the end", data(2, {property("A", "1"), property("B", "2", 100)}), {{"A", "1"}}},
      {"value past its property", data(1, {property("A", "123", -2)}), {}},
      {"size 0", data(5, {property("A", "1", -14)}), {}},
      {"too short for a count", Bytes{1, 2, 3}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ParseLogicalFileInfo(c.data.data(), c.data.size()), c.expected);
  }
}

TEST(RMFile, RealVideo4PictureSizeProbe) {
  // A key frame header in either form with a 3-bit width and height code,
  // and byte runs where the code is 0.
  auto frame = [](bool rv41, DWORD wCode, const Bytes& wRun, DWORD hCode, int hBit, const Bytes& hRun) {
    BitWriter b;
    if (rv41) {
      b.Put(0, 9);
      b.Put(1, 1);
      b.Put(0b100, 3);  // interlace flag and two more flags
      b.Put(0, 1);
      b.Put(1, 1);
      b.Put(0, 2);
      b.Put(0, 16);
    } else {
      b.Put(0, 26);
    }
    b.Put(wCode, 3);
    for (BYTE v : wRun) b.Put(v, 8);
    b.Put(hCode, 3);
    if (hBit >= 0) b.Put(static_cast<DWORD>(hBit), 1);
    for (BYTE v : hRun) b.Put(v, 8);
    b.Put(0, 16);
    return b.bytes;
  };
  struct Case {
    const char* name;
    const char* codec;
    Bytes frame;
    DWORD width, height;  // 0: no second size
  };
  const Case cases[] = {
      {"table sizes", "RV40", frame(false, 4, {}, 4, -1, {}), 352, 288},
      {"RV41 form", "RV41", frame(true, 5, {}, 5, -1, {}), 640, 480},
      {"more heights", "RV40", frame(false, 7, {255, 10}, 6, 1, {}), 1060, 360},
      {"height as a byte run", "RV40", frame(false, 3, {}, 7, 1, {180}), 320, 720},
      {"equal to the header", "RV40", frame(false, 1, {}, 2, -1, {}), 0, 0},
      {"cut short", "RV40", Bytes{0, 0, 0}, 0, 0},
      {"not RealVideo 4", "RV30", frame(false, 4, {}, 4, -1, {}), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes f = FileHeader();
    Put(f, Mdpr(3, "v", "video/x-pn-realvideo", VideoFormat(c.codec, 176, 144)));
    // A packet of another stream and a non-key packet come first.
    Put(f, Data({MediaPacket(4, 0, WholeFrame(c.frame)), MediaPacket(3, 0, WholeFrame(c.frame), false),
                 MediaPacket(3, 40, WholeFrame(c.frame))}));
    Opened o = Open(f);
    ASSERT_EQ(o.hr, S_OK);
    EXPECT_EQ(o.file->m_mps[0].width, c.width);
    EXPECT_EQ(o.file->m_mps[0].height, c.height);
  }
  bool interlaced = false;
  DWORD w = 0, h = 0;
  const Bytes rv41 = frame(true, 5, {}, 5, -1, {});
  EXPECT_TRUE(ReadRv40PictureSize(rv41.data(), rv41.size(), true, w, h, &interlaced));
  EXPECT_TRUE(interlaced);
}

TEST(RMFile, PacketHeaders) {
  Bytes f = FileHeader();
  Put(f, Data({MediaPacket(1, 40, {1, 2, 3}), MediaPacket(2, 80, {4}, false, 1), MediaPacket(3, 0, {5, 6}, true, 2)}));
  Opened o = Open(f);
  ASSERT_EQ(o.hr, S_OK);
  ASSERT_EQ(o.file->m_dcs.size(), 1u);
  o.file->Seek(o.file->m_dcs[0].pos);
  RMMediaPacketHeader h;
  ASSERT_EQ(o.file->Read(h), S_OK);
  EXPECT_EQ(h.stream, 1);
  EXPECT_EQ(h.tStart, 40u);
  EXPECT_EQ(h.flags, 2);
  EXPECT_EQ(h.pData, (Bytes{1, 2, 3}));
  ASSERT_EQ(o.file->Read(h, false), S_OK);
  EXPECT_EQ(h.stream, 2);
  EXPECT_TRUE(h.pData.empty());
  // An unknown packet version reads as stream 0xFFFF with no length.
  ASSERT_EQ(o.file->Read(h), S_OK);
  EXPECT_EQ(h.stream, 0xFFFF);
  EXPECT_EQ(h.length, 0);
  // The end of the file is a failed read.
  o.file->Seek(o.file->GetLength() - 5);
  EXPECT_FALSE(SUCCEEDED(o.file->Read(h)));
}
