// The RealMedia splitter in a graph: pins, types and names, and what each
// output delivers against libavformat's packets of the same file; frame
// assembly, AAC access units, chapters, subtitles, the seek index and
// damaged files on files written here.
#include "tests/splitters/realmedia/RealMediaTestKit.h"

using namespace rmkit;

namespace {

const GUID kRV10 = FourCCGuid(MAKEFOURCC('R', 'V', '1', '0'));
const GUID kRV20 = FourCCGuid(MAKEFOURCC('R', 'V', '2', '0'));
const GUID kRV40 = FourCCGuid(MAKEFOURCC('R', 'V', '4', '0'));
const GUID kDNET = FourCCGuid(MAKEFOURCC('D', 'N', 'E', 'T'));

// The frame layout the pin delivers: slice count less 1, (1, offset) per
// slice, then the frame.
Bytes Framed(const std::vector<DWORD>& offsets, const Bytes& frame) {
  Bytes b{static_cast<BYTE>(offsets.size() - 1)};
  for (DWORD o : offsets) {
    for (DWORD v : {1u, o})
      for (int i = 0; i < 4; i++) b.push_back(static_cast<BYTE>(v >> (8 * i)));
  }
  Put(b, frame);
  return b;
}

Bytes Pattern(size_t n, BYTE seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<BYTE>(seed + i * 7);
  return b;
}

// A file with one RealVideo 4 stream and the given packets.
Bytes VideoFile(const std::vector<Bytes>& packets, const Bytes& extraChunks = {}) {
  Bytes f = FileHeader();
  Put(f, Prop(2000));
  Put(f, Mdpr(0, "Video", "video/x-pn-realvideo", VideoFormat("RV40", 176, 144)));
  Put(f, extraChunks);
  Put(f, Data(packets));
  return f;
}

}  // namespace

TEST(RealMediaSplitter, FfmpegFilesMatchLibavformat) {
  struct Case {
    const char* file;
    std::vector<GUID> subtypes;  // first type of each pin, in stream order
    std::vector<std::wstring> names;
  };
  const Case cases[] = {
      {"rm-rv20-ac3.rm", {kRV20, MEDIASUBTYPE_WAVE_DOLBY_AC3}, {L"Output 00 (The Video Stream)", L"Output 01 (The Audio Stream)"}},
      // RealAudio 14.4 under the code "lpcJ" is offered as "14_4".
      {"rm-rv10-ra144.rm", {kRV10, MEDIASUBTYPE_14_4}, {L"Output 00 (The Video Stream)", L"Output 01 (The Audio Stream)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = TestDataPath(c.file);
    Graph g(path);
    ASSERT_EQ(g.loaded, S_OK);
    ASSERT_EQ(g.source->GetPinCount(), static_cast<int>(c.subtypes.size()));
    for (size_t i = 0; i < c.subtypes.size(); i++) {
      EXPECT_EQ(g.PinName(static_cast<int>(i)), c.names[i]);
      EXPECT_EQ(g.sinks[i]->Type().subtype, c.subtypes[i]);
    }
    // The AC-3 type of DNET comes first, the stream's own second.
    if (c.subtypes.size() > 1 && c.subtypes[1] == MEDIASUBTYPE_WAVE_DOLBY_AC3) {
      CComPtr<IEnumMediaTypes> types;
      ASSERT_EQ(g.source->GetPin(1)->EnumMediaTypes(&types), S_OK);
      AM_MEDIA_TYPE* mt[2] = {};
      ULONG got = 0;
      ASSERT_EQ(types->Next(2, mt, &got), S_OK);
      EXPECT_EQ(mt[1]->subtype, kDNET);
      EXPECT_EQ(reinterpret_cast<WAVEFORMATEX*>(mt[0]->pbFormat)->wFormatTag, 0x2000);
      EXPECT_EQ(reinterpret_cast<WAVEFORMATEX*>(mt[1]->pbFormat)->wFormatTag, 0x2005);
      EXPECT_EQ(reinterpret_cast<WAVEFORMATEX*>(mt[1]->pbFormat)->nSamplesPerSec, 48000u);
      for (auto* t : mt) DeleteMediaType(t);
    }
    LONGLONG duration = 0;
    CComQIPtr<IMediaSeeking>(g.hold)->GetDuration(&duration);
    // The file properties' duration, as ffprobe reads it too.
    const double probed = atof(Ffprobe("-show_entries format=duration", path)["format.duration"].c_str());
    EXPECT_NEAR(duration / 1e7, probed, 0.05);

    g.Run();
    for (size_t i = 0; i < c.subtypes.size(); i++) {
      SCOPED_TRACE(i);
      const auto ours = g.sinks[i]->Samples();
      const auto theirs = ReferencePackets(path, static_cast<int>(i));
      ASSERT_EQ(ours.size(), theirs.size());
      for (size_t k = 0; k < ours.size(); k++) {
        // Video frames in the slice-table layout libavcodec takes, and the
        // AC-3 frames swapped back, byte for byte.
        ASSERT_EQ(ours[k].data, theirs[k].data) << "packet " << k;
        EXPECT_EQ(ours[k].start, theirs[k].ms * 10000) << "packet " << k;
        EXPECT_EQ(ours[k].sync, theirs[k].key) << "packet " << k;
      }
    }
  }
}

TEST(RealMediaSplitter, FrameAssembly) {
  const Bytes f20 = Pattern(20, 1), g8 = Pattern(8, 50);
  const Bytes head10(f20.begin(), f20.begin() + 10), tail10(f20.begin() + 10, f20.end());
  // A last piece (counted from the frame's end) and a frame with a time of
  // its own in one packet.
  Bytes twoInOne = SubPacket(0x80, 20, 10, tail10);
  Put(twoInOne, SubPacket(0xC0, 8, 120, g8));
  Bytes huge{0x01, 0x01, 0x3F, 0xFF, 0xFF, 0xFF, 0x40, 0x00, 0x00};  // a 1 GB frame
  Put(huge, head10);
  Bytes headOnly10(10, 0);
  std::copy(head10.begin(), head10.end(), headOnly10.begin());
  struct Frame {
    Bytes data;
    REFERENCE_TIME start;
  };
  struct Case {
    const char* name;
    std::vector<Bytes> packets;
    std::vector<Frame> frames;
  };
  const Case cases[] = {
      {"whole frames", {MediaPacket(0, 0, WholeFrame(f20)), MediaPacket(0, 40, WholeFrame(g8))},
       {{Framed({0}, f20), 0}, {Framed({0}, g8), 400000}}},
      {"pieces of one time joined",
       {MediaPacket(0, 0, SubPacket(0x00, 20, 0, head10)), MediaPacket(0, 0, SubPacket(0x00, 20, 10, tail10), false)},
       {{Framed({0, 10}, f20), 0}}},
      {"last piece counted from the end",
       {MediaPacket(0, 80, SubPacket(0x00, 20, 0, head10)), MediaPacket(0, 80, twoInOne)},
       {{Framed({0, 10}, f20), 800000}, {Framed({0}, g8), 1200000}}},
      {"time of its own", {MediaPacket(0, 0, SubPacket(0xC0, 8, 1234, g8))}, {{Framed({0}, g8), 12340000}}},
      {"one slice", {MediaPacket(0, 0, SubPacket(0x00, 20, 0, head10, true)), MediaPacket(0, 0, SubPacket(0x00, 20, 10, tail10))},
       {{Framed({0}, f20), 0}}},
      {"cut short by the next time",
       {MediaPacket(0, 0, SubPacket(0x00, 20, 0, head10)), MediaPacket(0, 40, WholeFrame(g8))},
       {{Framed({0}, headOnly10), 0}, {Framed({0}, g8), 400000}}},
      {"a gap stays zero",
       {MediaPacket(0, 0, SubPacket(0x00, 20, 10, tail10)), MediaPacket(0, 40, WholeFrame(g8))},
       {{Framed({10}, [&] { Bytes b(20, 0); std::copy(tail10.begin(), tail10.end(), b.begin() + 10); return b; }()), 0},
        {Framed({0}, g8), 400000}}},
      {"offset past the frame", {MediaPacket(0, 0, SubPacket(0x00, 20, 30, tail10)), MediaPacket(0, 40, WholeFrame(g8))},
       {{Framed({0}, g8), 400000}}},
      {"last piece longer than the frame", {MediaPacket(0, 0, SubPacket(0x80, 20, 30, tail10)), MediaPacket(0, 40, WholeFrame(g8))},
       {{Framed({0}, g8), 400000}}},
      {"frame beyond any picture", {MediaPacket(0, 0, huge), MediaPacket(0, 40, WholeFrame(g8))}, {{Framed({0}, g8), 400000}}},
      {"header cut short", {MediaPacket(0, 0, Bytes{0x01, 0x01, 0x40}), MediaPacket(0, 40, WholeFrame(g8))},
       {{Framed({0}, g8), 400000}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph g(WriteTemp("frames.rm", VideoFile(c.packets)));
    ASSERT_EQ(g.loaded, S_OK);
    g.Run();
    const auto got = g.sinks[0]->Samples();
    ASSERT_EQ(got.size(), c.frames.size());
    for (size_t i = 0; i < got.size(); i++) {
      EXPECT_EQ(got[i].data, c.frames[i].data) << "frame " << i;
      EXPECT_EQ(got[i].start, c.frames[i].start) << "frame " << i;
    }
  }
}

TEST(RealMediaSplitter, AacAccessUnits) {
  AudioHeader aac;
  aac.version = 5;
  aac.codec = "raac";
  aac.rate = 44100;
  aac.codecData = {2, 0x12, 0x10};  // type 2, then AAC-LC 44.1 kHz stereo
  AudioHeader noRate = aac;
  noRate.rate = 0;
  auto file = [](const AudioHeader& a, const std::vector<Bytes>& packets) {
    Bytes f = FileHeader();
    Put(f, Prop(1000));
    Put(f, Mdpr(0, "", "audio/x-pn-realaudio", AudioFormat(a)));
    Put(f, Data(packets));
    return f;
  };
  const Bytes u1 = Pattern(5, 1), u2 = Pattern(3, 9);
  Bytes two{0x00, 0x20, 0x00, 0x05, 0x00, 0x03};
  Put(two, u1);
  Put(two, u2);
  Bytes overlong{0x00, 0x20, 0x00, 0x05, 0x01, 0x00};  // the second unit runs past the packet
  Put(overlong, u1);
  Put(overlong, u2);
  const REFERENCE_TIME d = 10240000000LL / 44100;
  struct Case {
    const char* name;
    Bytes file;
    std::vector<Bytes> units;
    std::vector<REFERENCE_TIME> starts;
  };
  const Case cases[] = {
      {"two units", file(aac, {MediaPacket(0, 100, two)}), {u1, u2}, {1000000, 1000000 + d}},
      {"unit past the packet", file(aac, {MediaPacket(0, 0, overlong)}), {u1}, {0}},
      {"no sample rate", file(noRate, {MediaPacket(0, 0, two)}), {u1, u2}, {0, 0}},
      {"too short for its header", file(aac, {MediaPacket(0, 0, Bytes{0}), MediaPacket(0, 10, two)}), {u1, u2},
       {100000, 100000 + d}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph g(WriteTemp("aac.rm", c.file));
    ASSERT_EQ(g.loaded, S_OK);
    const CMediaType mt = g.sinks[0]->Type();
    EXPECT_EQ(mt.subtype, FourCCGuid(0xFF));
    const auto* wfe = reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
    ASSERT_EQ(wfe->cbSize, 2);
    EXPECT_EQ(reinterpret_cast<const BYTE*>(wfe + 1)[0], 0x12);
    g.Run();
    const auto got = g.sinks[0]->Samples();
    ASSERT_EQ(got.size(), c.units.size());
    for (size_t i = 0; i < got.size(); i++) {
      EXPECT_EQ(got[i].data, c.units[i]);
      EXPECT_EQ(got[i].start, c.starts[i]);
    }
  }
}

TEST(RealMediaSplitter, ChaptersSubtitlesAndProperties) {
  auto property = [](const std::string& name, const std::string& value) {
    Bytes p;
    Be(p, 13 + name.size() + value.size(), 4);
    p.push_back(0);
    Be(p, name.size(), 2);
    Put(p, name);
    Be(p, 2, 4);
    Be(p, value.size(), 2);
    Put(p, value);
    return p;
  };
  Bytes info(8, 0);
  Be(info, 5, 4);
  for (const Bytes& p : {property("CHAPTER01TIME", "0:01:30.500"), property("CHAPTER01NAME", "Opening"),
                         property("CHAPTER02TIME", "0:00:10.000"), property("CHAPTER00TIME", "0:00:01.000"),
                         property("CHAPTER03TIME", "soon")})
    Put(info, p);
  Bytes cont;
  for (const char* t : {"Title", "Author", "Rights", "Comment"}) {
    Be(cont, strlen(t), 2);
    Put(cont, std::string(t));
  }
  Bytes subs;
  Put(subs, std::string("English\0" "5\0" "hello", 15));
  Bytes f = FileHeader();
  Put(f, Chunk("CONT", cont));
  Put(f, Mdpr(7, "", "logical-fileinfo", info));
  Put(f, Mdpr(0, "Video", "video/x-pn-realvideo", VideoFormat("RV40", 176, 144)));
  Put(f, Chunk(".SUB", subs));
  Put(f, Data({MediaPacket(0, 0, WholeFrame(Pattern(8, 3)))}));
  Graph g(WriteTemp("chapters.rm", f));
  ASSERT_EQ(g.loaded, S_OK);
  ASSERT_EQ(g.source->GetPinCount(), 2);
  EXPECT_EQ(g.PinName(0), L"Output 00 (Video)");
  EXPECT_EQ(g.PinName(1), L"Subtitle 00 (English)");
  EXPECT_EQ(g.sinks[1]->Type().majortype, MEDIATYPE_Text);

  ASSERT_EQ(g.source->GetChapterCount(), 2u);
  REFERENCE_TIME t = 0;
  BSTR name = nullptr;
  ASSERT_EQ(g.source->GetChapter(0, &t, &name), S_OK);
  EXPECT_EQ(t, 100000000);
  EXPECT_EQ(std::wstring(name), L"Chapter 2");
  SysFreeString(name);
  ASSERT_EQ(g.source->GetChapter(1, &t, &name), S_OK);
  EXPECT_EQ(t, 905000000);
  EXPECT_EQ(std::wstring(name), L"Opening");
  SysFreeString(name);
  for (auto [key, value] : {std::pair{L"TITL", L"Title"}, {L"AUTH", L"Author"}, {L"CPYR", L"Rights"}, {L"DESC", L"Comment"}}) {
    BSTR v = nullptr;
    ASSERT_EQ(g.source->GetProperty(key, &v), S_OK);
    EXPECT_EQ(std::wstring(v), value);
    SysFreeString(v);
  }

  g.Run();
  const auto text = g.sinks[1]->Samples();
  ASSERT_EQ(text.size(), 1u);
  EXPECT_EQ(text[0].start, 0);
  Bytes kuw2{'K', 'U', 'W', '2', 0, 2, 0, 16, 0, 0, 0};
  for (char ch : std::string("English")) kuw2.insert(kuw2.end(), {static_cast<BYTE>(ch), 0});
  kuw2.insert(kuw2.end(), {0, 0, 4, 0, 5, 0, 0, 0, 'h', 'e', 'l', 'l', 'o'});
  EXPECT_EQ(text[0].data, kuw2);
}

TEST(RealMediaSplitter, SeekIndex) {
  // Key frames every 5 packets at 40 ms steps; the index names them.
  std::vector<Bytes> packets;
  for (DWORD i = 0; i < 20; i++) packets.push_back(MediaPacket(0, i * 40, WholeFrame(Pattern(16, BYTE(i))), i % 5 == 0));
  const Bytes header = [] {
    Bytes h = FileHeader();
    Put(h, Prop(800));
    Put(h, Mdpr(0, "", "video/x-pn-realvideo", VideoFormat("RV40", 176, 144)));
    return h;
  }();
  const DWORD first = static_cast<DWORD>(header.size() + 18);
  std::vector<IndexEntry> entries;
  DWORD pos = first;
  for (DWORD i = 0; i < 20; i++) {
    if (i % 5 == 0) entries.push_back({i * 40, pos, i});
    pos += static_cast<DWORD>(packets[i].size());
  }
  Bytes indexed = header;
  Put(indexed, Data(packets));
  Put(indexed, Index(0, entries));
  Bytes scanned = header;
  Put(scanned, Data(packets));

  for (const Bytes* file : {&indexed, &scanned}) {
    SCOPED_TRACE(file == &indexed ? "index chunk" : "index built by scanning");
    Graph g(WriteTemp("seek.rm", *file));
    ASSERT_EQ(g.loaded, S_OK);
    // Starting at 500 ms starts at the key frame of 400 ms.
    LONGLONG at = 5000000;
    ASSERT_EQ(CComQIPtr<IMediaSeeking>(g.hold)->SetPositions(&at, AM_SEEKING_AbsolutePositioning, nullptr,
                                                             AM_SEEKING_NoPositioning),
              S_OK);
    g.Run();
    const auto got = g.sinks[0]->Samples();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front().data, Framed({0}, Pattern(16, 10)));
    EXPECT_EQ(got.size(), 10u);
    UINT count = 0;
    ASSERT_EQ(g.source->KeyFrameCount(count), S_OK);
    EXPECT_EQ(count, 4u);
    std::vector<REFERENCE_TIME> times(8);
    UINT room = 8;
    ASSERT_EQ(g.source->GetKeyFrames(&TIME_FORMAT_MEDIA_TIME, times.data(), room), S_OK);
    ASSERT_EQ(room, 4u);
    EXPECT_EQ(times[3], 6000000);
    EXPECT_EQ(g.source->GetKeyFrames(&TIME_FORMAT_FRAME, times.data(), room), E_INVALIDARG);
  }
}

TEST(RealMediaSplitter, DamagedFilesEndCleanly) {
  const Bytes good = ReadAll(TestDataPath("rm-rv20-ac3.rm"));
  ASSERT_FALSE(good.empty());
  std::vector<std::pair<std::string, Bytes>> files;
  for (size_t cut : {size_t(4), size_t(30), size_t(200), size_t(400), good.size() / 2, good.size() - 7})
    files.push_back({"cut at " + std::to_string(cut), Bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(cut))});
  uint32_t seed = 12345;
  for (int round = 0; round < 6; round++) {
    Bytes damaged = good;
    for (int i = 0; i < 40; i++) {
      seed = seed * 1103515245 + 12345;
      const size_t at = 8 + (seed >> 8) % (damaged.size() - 8);
      damaged[at] = static_cast<BYTE>(seed >> 24);
    }
    files.push_back({"damaged " + std::to_string(round), damaged});
  }
  Bytes lengths = good;  // every 16-bit packet length of the data at its largest
  for (size_t at = good.size() / 3; at + 4 < good.size(); at += 97) lengths[at] = lengths[at + 1] = 0xFF;
  files.push_back({"long lengths", lengths});
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    Graph g(WriteTemp("damaged.rm", bytes));
    if (FAILED(g.loaded)) continue;  // refused at open: clean
    g.Run();
  }
}
