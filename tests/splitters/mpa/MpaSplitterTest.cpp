// The MPEG audio splitter: frames, types, times and durations against
// libavformat; ID3v1 and ID3v2 tags; which files are refused; seeking;
// damaged files.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "splitters/mpa/MpaSplitter.h"
#include "tests/splitters/SplitterGraph.h"

namespace {

using namespace splittertest;
using Bytes = std::vector<BYTE>;
using Graph = SourceGraph<CMpaSourceFilter>;

Bytes Load(const char* name) { return MemAsyncReader::LoadFile(TestDataPath(name)); }

// The file object over bytes in memory; hr gives how the opening went.
struct MemFile {
  HRESULT hr = E_FAIL;
  std::unique_ptr<CMpaSplitterFile> file;
  explicit MemFile(Bytes bytes, LONGLONG available = -1) {
    auto* reader = new MemAsyncReader(std::move(bytes));
    LONGLONG total = 0;
    reader->Length(&total, nullptr);
    if (available >= 0) reader->SetLengths(total, available);
    file = std::make_unique<CMpaSplitterFile>(reader, hr);
    reader->Release();
  }
  std::wstring Tag(const char* id) const {
    const DWORD key = DWORD(BYTE(id[0])) << 24 | DWORD(BYTE(id[1])) << 16 | DWORD(BYTE(id[2])) << 8 | BYTE(id[3]);
    auto it = file->tags.find(key);
    return it == file->tags.end() ? L"<none>" : it->second;
  }
};

Bytes Be32(DWORD v) { return {BYTE(v >> 24), BYTE(v >> 16), BYTE(v >> 8), BYTE(v)}; }
Bytes SyncSafe(DWORD v) { return {BYTE(v >> 21 & 0x7F), BYTE(v >> 14 & 0x7F), BYTE(v >> 7 & 0x7F), BYTE(v & 0x7F)}; }

// An ID3v2 frame: id, size (syncsafe for version 4), flags, body.
Bytes Frame(const char* id, const Bytes& body, int version = 3) {
  Bytes out(id, id + 4);
  const Bytes size = version == 4 ? SyncSafe(static_cast<DWORD>(body.size())) : Be32(static_cast<DWORD>(body.size()));
  out.insert(out.end(), size.begin(), size.end());
  out.insert(out.end(), {0, 0});
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes Text(BYTE encoding, const std::string& text) {
  Bytes out = {encoding};
  out.insert(out.end(), text.begin(), text.end());
  return out;
}

// An ID3v2 tag of the frames, `padding` zero bytes inside it.
Bytes Tag(const std::vector<Bytes>& frames, int version = 3, size_t padding = 0) {
  Bytes body;
  for (const Bytes& f : frames) body.insert(body.end(), f.begin(), f.end());
  body.resize(body.size() + padding, 0);
  Bytes out = {'I', 'D', '3', BYTE(version), 0, 0};
  const Bytes size = SyncSafe(static_cast<DWORD>(body.size()));
  out.insert(out.end(), size.begin(), size.end());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// --- Frames against libavformat ------------------------------------------------

TEST(MpaSplitter, FramesMatchLibavformat) {
  const struct {
    const char* file;
    GUID subtype;
    int rate, channels;
    size_t extraFrames;  // ours in front of libavformat's (an Info frame)
    bool adts;
  } cases[] = {
      {"mp3-44100.mp3", MEDIASUBTYPE_MP3, 44100, 2, 0, false},
      {"mp2-44100.mp2", MEDIASUBTYPE_MPEG1AudioPayload, 44100, 2, 0, false},
      {"mp3-8000.mp3", MEDIASUBTYPE_MP3, 8000, 1, 0, false},
      {"mp3-id3v23.mp3", MEDIASUBTYPE_MP3, 44100, 1, 1, false},
      {"mp3-id3v24.mp3", MEDIASUBTYPE_MP3, 44100, 1, 0, false},
      {"aac-adts.aac", MEDIASUBTYPE_AAC, 44100, 2, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const RefFile ref = ReadWithLavf(TestDataPath(c.file), c.adts);
    ASSERT_TRUE(ref.opened);
    Graph g(TestDataPath(c.file));
    ASSERT_EQ(g.loaded, S_OK);
    ASSERT_EQ(g.OutputCount(), 1);
    EXPECT_EQ(g.PinName(0), L"Audio");
    const CMediaType mt = g.PinType(0);
    EXPECT_EQ(mt.majortype, MEDIATYPE_Audio);
    EXPECT_EQ(mt.subtype, c.subtype);
    ASSERT_EQ(mt.formattype, FORMAT_WaveFormatEx);
    const auto* wfe = reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
    EXPECT_EQ(wfe->nSamplesPerSec, static_cast<DWORD>(c.rate));
    EXPECT_EQ(wfe->nChannels, c.channels);
    EXPECT_NEAR(static_cast<double>(g.Duration()), static_cast<double>(ref.duration), ref.duration * 0.03);

    g.RunToEnd();
    const auto ours = g.Samples(0);
    const auto& theirs = ref.packets;
    ASSERT_EQ(ours.size(), theirs.size() + c.extraFrames);
    for (size_t k = 0; k < theirs.size(); k++) {
      const toy::Received& r = ours[k + c.extraFrames];
      // ADTS frames come without their header.
      uint64_t hash = theirs[k].hash;
      if (c.adts) {
        const size_t header = (theirs[k].data[1] & 1) ? 7 : 9;
        hash = toy::PayloadHash(theirs[k].data.data() + header, theirs[k].data.size() - header);
      }
      EXPECT_EQ(r.hash, hash) << "frame " << k;
      EXPECT_TRUE(r.sync);
      EXPECT_NEAR(static_cast<double>(r.start - ours[c.extraFrames].start),
                  static_cast<double>(theirs[k].pts - theirs[0].pts), 1000)
          << "frame " << k;
      EXPECT_NEAR(static_cast<double>(r.stop - r.start), static_cast<double>(theirs[k].duration), 1000);
    }
  }
}

// --- Tags ------------------------------------------------------------------------

TEST(MpaSplitter, TagsOfTheSamples) {
  {
    Graph g(TestDataPath("mp3-id3v23.mp3"));
    ASSERT_EQ(g.loaded, S_OK);
    EXPECT_EQ(g.Property(L"TITL"), L"Song (1999)");
    EXPECT_EQ(g.Property(L"AUTH"), L"Someone");
    // ffmpeg writes the comment as a user text frame: what there is comes
    // from the ID3v1 tag.
    EXPECT_EQ(g.Property(L"DESC"), L"Note");
  }
  {
    Graph g(TestDataPath("mp3-id3v24.mp3"));
    ASSERT_EQ(g.loaded, S_OK);
    EXPECT_EQ(g.Property(L"TITL"), L"S\u00F4ng (2004)");
    EXPECT_EQ(g.Property(L"AUTH"), L"Someone");
  }
  MemFile v1(Load("mp3-id3v23.mp3"));
  ASSERT_EQ(v1.hr, S_OK);
  EXPECT_EQ(v1.Tag("TRCK"), L"7");
  EXPECT_EQ(v1.Tag("TALB"), L"Album");
  EXPECT_EQ(v1.Tag("TCON"), L"<none>");  // genre 255
}

TEST(MpaSplitter, HandBuiltTags) {
  const Bytes mp3 = Load("mp3-44100.mp3");
  Bytes id3v1(128, 0);
  memcpy(id3v1.data(), "TAGOld title", 12);
  id3v1[97 + 29] = 12;  // track 12 behind a zero
  id3v1[127] = 17;      // Rock
  Bytes utf16comment = {1, 'e', 'n', 'g', 0xFF, 0xFE, 'd', 0, 0, 0, 0xFF, 0xFE, 'H', 0, 'i', 0, 0x3D, 0xD8, 0x00, 0xDE};
  const std::string longTitle(200, 'x');
  const struct {
    const char* what;
    Bytes file;
    std::vector<std::pair<const char*, std::wstring>> tags;
  } cases[] = {
      {"ID3v1 with track and genre, then ID3v2 over it",
       Cat({Tag({Frame("TIT2", Text(0, "New"))}), mp3, id3v1}),
       {{"TIT2", L"New"}, {"TRCK", L"12"}, {"TCON", L"Rock"}}},
      {"a comment: language and description come first",
       Cat({Tag({Frame("COMM", utf16comment)}), mp3}),
       {{"COMM", L"Hi\U0001F600"}}},
      {"a frame that ends where the tag ends is read",
       Cat({Tag({Frame("TPE1", Text(0, "Band")), Frame("TIT2", Text(3, "Last"))}), mp3}),
       {{"TPE1", L"Band"}, {"TIT2", L"Last"}}},
      {"two tags with padding between them",
       Cat({Tag({Frame("TIT2", Text(0, "First"))}, 3, 20), Bytes(30, 0), Tag({Frame("TPE1", Text(0, "Second"))}), mp3}),
       {{"TIT2", L"First"}, {"TPE1", L"Second"}}},
      {"version 2.4 frame sizes are syncsafe",
       Cat({Tag({Frame("TIT2", Text(3, longTitle), 4), Frame("TPE1", Text(3, "After"), 4)}, 4), mp3}),
       {{"TIT2", std::wstring(200, L'x')}, {"TPE1", L"After"}}},
      {"UTF-16 big-endian without a byte-order mark", Cat({Tag({Frame("TIT2", {2, 0, 'O', 0, 'k'})}, 4), mp3}),
       {{"TIT2", L"Ok"}}},
      {"a frame larger than its tag ends the frames",
       [&] {
         Bytes tag = Tag({Frame("TPE1", Text(0, "Kept")), Frame("TIT2", Text(0, "Lost"))});
         tag[10 + 15 + 4] = 0x7F;  // the second frame's size
         return Cat({tag, mp3});
       }(),
       {{"TPE1", L"Kept"}, {"TIT2", L"<none>"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MemFile f(c.file);
    ASSERT_EQ(f.hr, S_OK);
    for (const auto& [id, text] : c.tags) EXPECT_EQ(f.Tag(id), text) << id;
  }
}

// The first frame of the file with another channel mode.
Bytes ModeOfFirstFrame(const Bytes& mp3, BYTE mode) {
  Bytes frame(mp3.begin(), mp3.begin() + 417);
  frame[3] = static_cast<BYTE>((frame[3] & 0x3F) | mode << 6);
  return frame;
}

// --- Refused files ---------------------------------------------------------------

TEST(MpaSplitter, WhatIsRefused) {
  const Bytes mp3 = Load("mp3-44100.mp3");
  // Free format: bit-rate index 0, so no frame size; 200-byte frames.
  Bytes freeFormat;
  for (int i = 0; i < 50; i++) {
    Bytes frame(200, 0x55);
    frame[0] = 0xFF, frame[1] = 0xFB, frame[2] = 0x00, frame[3] = 0xC4;
    freeFormat.insert(freeFormat.end(), frame.begin(), frame.end());
  }
  Bytes badSize = Tag({Frame("TIT2", Text(0, "x"))});
  badSize[7] |= 0x80;
  const struct {
    const char* what;
    Bytes file;
    HRESULT hr;
  } cases[] = {
      {"frames behind a system stream start code", Cat({{0, 0, 1, 0xBA}, mp3}), E_FAIL},
      {"free-format frames", freeFormat, E_FAIL},
      {"a single frame", Bytes(mp3.begin(), mp3.begin() + 418), E_FAIL},
      {"7 bytes of garbage in front", Cat({Bytes(7, 0x11), mp3}), E_FAIL},
      {"6 bytes of garbage in front", Cat({Bytes(6, 0x11), mp3}), S_OK},
      {"garbage behind a tag, within 512 bytes", Cat({Tag({}), Bytes(300, 0x11), mp3}), S_OK},
      {"an ID3v2 size with a high bit set", Cat({badSize, mp3}), E_FAIL},
      {"a tag larger than the file", [&] {
         Bytes t = Tag({Frame("TIT2", Text(0, "x"))});
         t[6] = 0x7F;
         return Cat({t, mp3});
       }(), E_FAIL},
      // An Info frame as ffmpeg writes it says stereo before joint-stereo
      // frames; mono frames behind stereo ones are another stream.
      {"a stereo frame before joint-stereo frames", Cat({ModeOfFirstFrame(mp3, 0), mp3}), S_OK},
      {"a mono frame before stereo frames", Cat({ModeOfFirstFrame(mp3, 3), mp3}), E_FAIL},
      {"nothing", {}, E_FAIL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(MemFile(c.file).hr, c.hr);
  }
}

// --- Durations, seeking, growing files -------------------------------------------

TEST(MpaSplitter, SeeksByProportion) {
  const RefFile ref = ReadWithLavf(TestDataPath("mp2-44100.mp2"));
  Graph g(TestDataPath("mp2-44100.mp2"));
  ASSERT_EQ(g.loaded, S_OK);
  const REFERENCE_TIME duration = g.Duration();
  for (REFERENCE_TIME t : {5000000LL, 12000000LL}) {
    SCOPED_TRACE(t);
    g.RunFrom(t);
    const auto got = g.Samples(0);
    ASSERT_FALSE(got.empty());
    // The first frame is stamped with the time asked for; it is the frame
    // found at the time's share of the bytes.
    EXPECT_EQ(got[0].start, 0);
    EXPECT_TRUE(got[0].discontinuity);
    const size_t expected = static_cast<size_t>(static_cast<double>(t) / duration * ref.packets.size());
    size_t at = ref.packets.size();
    for (size_t k = 0; k < ref.packets.size(); k++)
      if (ref.packets[k].hash == got[0].hash) at = k;
    ASSERT_LT(at, ref.packets.size());
    EXPECT_NEAR(static_cast<double>(at), static_cast<double>(expected), 1.0);
    EXPECT_EQ(got.size(), ref.packets.size() - at);
  }
}

// Exposes the opening of the outputs to a reader of our own.
struct OpenableMpa : CMpaSourceFilter {
  using CMpaSourceFilter::CMpaSourceFilter;
  using CMpaSplitterFilter::CreateOutputs;
};

TEST(MpaSplitter, NoDurationWhileTheFileIsArriving) {
  const Bytes mp3 = Load("mp3-44100.mp3");
  for (bool complete : {true, false}) {
    SCOPED_TRACE(complete);
    HRESULT hr = S_OK;
    auto* filter = new OpenableMpa(nullptr, &hr);
    CComPtr<IBaseFilter> hold = toy::Hold(filter);
    auto* reader = new MemAsyncReader(mp3);
    if (!complete) reader->SetLengths(static_cast<LONGLONG>(mp3.size()), static_cast<LONGLONG>(mp3.size() / 2));
    ASSERT_EQ(filter->CreateOutputs(reader), S_OK);
    reader->Release();
    LONGLONG duration = -1;
    ASSERT_EQ(filter->GetDuration(&duration), S_OK);
    if (complete) EXPECT_NEAR(static_cast<double>(duration), 20000000, 500000);
    else EXPECT_EQ(duration, 0);
  }
  HRESULT hr = S_OK;
  CComPtr<IBaseFilter> hold = toy::Hold(new OpenableMpa(nullptr, &hr));
  LONGLONG duration = 0;
  EXPECT_EQ(static_cast<OpenableMpa*>(hold.p)->GetDuration(&duration), VFW_E_NOT_CONNECTED);
  EXPECT_EQ(static_cast<OpenableMpa*>(hold.p)->GetDuration(nullptr), E_POINTER);
}

TEST(MpaSplitter, DamagedFilesEndCleanly) {
  const Bytes mp3 = Load("mp3-id3v23.mp3");
  const Bytes aac = Load("aac-adts.aac");
  std::mt19937 rng(3);
  std::vector<Bytes> inputs;
  // Cut inside a frame: the part frame is not delivered.
  inputs.emplace_back(mp3.begin(), mp3.begin() + static_cast<ptrdiff_t>(mp3.size() / 2 + 7));
  inputs.emplace_back(aac.begin(), aac.begin() + static_cast<ptrdiff_t>(aac.size() / 3 + 5));
  for (const Bytes* src : {&mp3, &aac}) {
    Bytes damaged = *src;
    for (size_t i = damaged.size() / 4; i < damaged.size() / 2; i++) damaged[i] = static_cast<BYTE>(rng());
    inputs.push_back(damaged);
    // More than a search's length of zeros between good frames.
    Bytes gap = *src;
    gap.insert(gap.begin() + static_cast<ptrdiff_t>(gap.size() / 2), 20000, 0);
    inputs.push_back(gap);
  }
  Bytes random(60000);
  for (auto& b : random) b = static_cast<BYTE>(rng());
  random[0] = 0xFF, random[1] = 0xFB;
  inputs.push_back(random);
  OpenAndRunEach<CMpaSourceFilter>(inputs, "mpa-damaged.mp3");

  // What is delivered of a file cut inside a frame is the whole frames.
  Graph g(WriteTemp("mpa-cut.mp3", inputs[0]));
  ASSERT_EQ(g.loaded, S_OK);
  g.RunToEnd();
  const RefFile ref = ReadWithLavf(TestDataPath("mp3-id3v23.mp3"));
  const auto got = g.Samples(0);
  ASSERT_GT(got.size(), 1u);
  for (size_t k = 1; k < got.size(); k++) EXPECT_EQ(got[k].hash, ref.packets[k - 1].hash) << k;
}

}  // namespace
