// The AVI file reader on files of every index layout, built here: chunk
// lists, header repairs, times, the interleave check, and files it must
// refuse or survive.
#include <gtest/gtest.h>

#include <random>

#include "splitters/avi/AviFile.h"
#include "tests/foundation/MemAsyncReader.h"
#include "tests/splitters/avi/AviTestSupport.h"

namespace {

using namespace avitest;

struct Opened {
  HRESULT hr = E_FAIL;
  std::unique_ptr<CAviFile> file;
};

Opened Open(const Bytes& bytes) {
  Opened o;
  auto* reader = new MemAsyncReader(bytes);
  o.file = std::make_unique<CAviFile>(reader, o.hr);
  reader->Release();
  return o;
}

// Every indexed chunk holds the payload that was written for it.
void ExpectChunksHoldPayloads(const Bytes& bytes, const AviStream& s, const Stream& written) {
  ASSERT_EQ(s.chunks.size(), written.chunks.size());
  uint64_t running = 0;
  for (size_t i = 0; i < s.chunks.size(); ++i) {
    const AviChunk& c = s.chunks[i];
    const size_t data = size_t(c.filePos) + (c.fChunkHdr ? 8 : 0);
    ASSERT_EQ(c.storedSize, written.chunks[i].size()) << "chunk " << i;
    ASSERT_LE(data + c.storedSize, bytes.size());
    EXPECT_TRUE(std::equal(written.chunks[i].begin(), written.chunks[i].end(), bytes.begin() + long(data)))
        << "chunk " << i;
    EXPECT_EQ(c.size, running);
    EXPECT_EQ(bool(c.fKeyFrame), written.type == "auds" || written.keys.empty() || written.keys[i] || i == 0);
    running += s.GetChunkSize(c.storedSize);
  }
  EXPECT_EQ(s.totalSize, running);
}

TEST(AviFile, EveryIndexLayoutListsTheChunks) {
  struct Case {
    const char* name;
    Index index;
    size_t chunksPerRiff;
  };
  const Case cases[] = {{"idx1 relative", Index::Idx1, 0},
                        {"idx1 absolute", Index::Idx1Absolute, 0},
                        {"OpenDML in three RIFFs", Index::OpenDml, 40},
                        {"OpenDML and idx1", Index::OpenDmlAndIdx1, 40},
                        {"no index", Index::None, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Stream> streams = SyntheticStreams(50, 1999, 2.0);  // odd sizes throughout
    streams[0].name = "Camera";
    streams[1].name = "Commentary";
    streams[1].nameFirst = true;
    Options o;
    o.index = c.index;
    o.chunksPerRiff = c.chunksPerRiff;
    const Bytes bytes = BuildAvi(streams, o);
    Opened f = Open(bytes);
    ASSERT_EQ(f.hr, S_OK);
    ASSERT_EQ(f.file->m_strms.size(), 2u);
    EXPECT_EQ(f.file->m_strms[0]->strn.c_str(), std::string("Camera"));
    EXPECT_EQ(f.file->m_strms[1]->strn.c_str(), std::string("Commentary"));
    EXPECT_EQ(f.file->m_strms[1]->strh.fccType, Fcc("auds"));
    if (c.index == Index::None) {
      for (auto& s : f.file->m_strms) EXPECT_TRUE(s->chunks.empty());
      continue;
    }
    for (size_t s = 0; s < 2; ++s) ExpectChunksHoldPayloads(bytes, *f.file->m_strms[s], streams[s]);
    EXPECT_EQ(f.file->m_movis.size(), c.chunksPerRiff ? 3u : 1u);
    // libavformat reads the same file alike (so the layouts are real).
    LavfFile lavf;
    ASSERT_TRUE(ReadLavf(WriteFile("layout.avi", bytes), lavf));
    EXPECT_EQ(lavf.Of(0).size(), streams[0].chunks.size());
  }
}

TEST(AviFile, HeaderRepairsAndBlocklessAudio) {
  std::vector<Stream> streams = SyntheticStreams(10, 3200, 0.4);
  // A VBR MP3 stream written with a sample-count scale.
  streams[1].strf = WaveFormat(0x55, 2, 44100, 1152, 0, 16000);
  streams[1].scale = 1, streams[1].rate = 16000;
  Opened f = Open(BuildAvi(streams));
  ASSERT_EQ(f.hr, S_OK);
  EXPECT_EQ(f.file->m_strms[1]->strh.dwScale, 1152u);
  EXPECT_EQ(f.file->m_strms[1]->strh.dwRate, 44100u);
  // Each 3200-byte chunk counts as three whole 1152-byte blocks.
  EXPECT_EQ(f.file->m_strms[1]->chunks[1].size, 3456u);
  EXPECT_EQ(f.file->m_strms[1]->GetRefTime(1, 3456), 3 * 1152 * 10000000ll / 44100);

  // Audio without a block size: no running size, every time 0.
  streams[1].strf = WaveFormat(1, 2, 8000, 0, 16, 32000);
  f = Open(BuildAvi(streams));
  ASSERT_EQ(f.hr, S_OK);
  for (const AviChunk& c : f.file->m_strms[1]->chunks) EXPECT_EQ(c.size, 0u);
  EXPECT_EQ(f.file->m_strms[1]->GetRefTime(3, 0), 0);
}

TEST(AviFile, InterleaveCheck) {
  struct Case {
    const char* name;
    size_t pcmChunk;
    bool interleaved;
    bool textAtEnd;
    bool expected;
  };
  const Case cases[] = {
      {"interleaved", 64, true, false, true},
      {"video then 2000 audio chunks", 32, false, false, false},
      {"video then few audio chunks", 3200, false, false, true},
      {"a subtitle file chunk at the end takes no part", 64, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Stream> streams = SyntheticStreams(50, c.pcmChunk, 2.0);
    if (c.textAtEnd) {
      Stream t;
      t.type = "txts";
      t.kind = "tx";
      t.chunks = {Bytes(300, 'x')};
      streams.push_back(t);
    }
    Options o;
    o.interleaved = c.interleaved;
    Opened f = Open(BuildAvi(streams, o));
    ASSERT_EQ(f.hr, S_OK);
    EXPECT_EQ(f.file->IsInterleaved(false), c.expected);
    if (c.textAtEnd) {
      EXPECT_TRUE(f.file->m_strms[2]->IsRawSubtitleStream());
    }
    // The lists stay only for the viewer, or when the check failed.
    EXPECT_EQ(f.file->m_strms[0]->interleave.empty(), c.expected);
  }
}

TEST(AviFile, ChunksAtTimesAndKeyChunks) {
  Opened f = Open(BuildAvi(SyntheticStreams(50, 3200, 2.0)));
  ASSERT_EQ(f.hr, S_OK);
  const AviStream& v = *f.file->m_strms[0];
  const AviStream& a = *f.file->m_strms[1];
  EXPECT_EQ(v.GetFrame(0), 0);
  EXPECT_EQ(v.GetFrame(7 * 400000), 7);
  EXPECT_EQ(v.GetFrame(7 * 400000 + 190000), 7);
  EXPECT_EQ(v.GetFrame(3600 * 10000000ll), 49);  // past the end: the last chunk
  EXPECT_EQ(v.GetKeyFrame(7 * 400000), 5);        // keys every fifth frame
  EXPECT_EQ(v.GetKeyFrame(4 * 400000), 0);
  EXPECT_EQ(a.GetFrame(10000000), 10);            // 3200 bytes are 0.1 s
  EXPECT_EQ(a.GetFrame(-10000000), -1);
  EXPECT_EQ(f.file->GetTotalTime(), 20000000);

  // Without an index the header's frame count and rate give the length.
  Options o;
  o.index = Index::None;
  f = Open(BuildAvi(SyntheticStreams(50, 3200, 2.0), o));
  ASSERT_EQ(f.hr, S_OK);
  EXPECT_EQ(f.file->GetTotalTime(), 50 * 40000 * 10ll);
}

TEST(AviFile, RefusesWhatIsNotAvi) {
  const Bytes good = BuildAvi(SyntheticStreams(5, 3200, 0.2));
  auto patched = [&](size_t at, const char* fcc) {
    Bytes b = good;
    std::memcpy(b.data() + at, fcc, 4);
    return b;
  };
  Options fewer;
  fewer.streamsInHeader = 3;
  Bytes nested = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '};
  for (int i = 0; i < 5000; ++i) nested.insert(nested.end(), {'L', 'I', 'S', 'T', 0xF0, 0xFF, 0, 0, 'x', 'x', 'x', 'x'});
  const struct {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"empty", {}},
      {"not RIFF", patched(0, "RIFX")},
      {"a WAVE file", patched(8, "WAVE")},
      {"no movi list", patched(size_t(std::search(good.begin(), good.end(), "movi", "movi" + 4) - good.begin()), "xxxx")},
      {"stream count disagrees", BuildAvi(SyntheticStreams(5, 3200, 0.2), fewer)},
      {"lists nested too deep", nested},
      {"cut in the headers", Bytes(good.begin(), good.begin() + 100)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Open(c.bytes).hr, E_FAIL);
  }
}

// Lengths from the file are only believed as far as the file goes.
TEST(AviFile, DamagedFilesOpenOrFailCleanly) {
  Options o;
  o.index = Index::OpenDml;
  o.chunksPerRiff = 20;
  const Bytes good = BuildAvi(SyntheticStreams(30, 640, 1.2), o);
  const size_t indx = size_t(std::search(good.begin(), good.end(), "indx", "indx" + 4) - good.begin());

  // A super index entry whose standard index would reach past the file:
  // the index is dropped, the file still opens.
  Bytes bad = good;
  std::memset(bad.data() + indx + 8 + 24 + 8, 0xF0, 4);
  Opened f = Open(bad);
  ASSERT_EQ(f.hr, S_OK);
  EXPECT_TRUE(f.file->m_strms[0]->chunks.empty());

  // Cut anywhere, or with bytes overwritten at random, the file opens or
  // fails, and what opens answers every question without faults.
  std::mt19937 rng(7);
  for (int round = 0; round < 400; ++round) {
    Bytes b = round < 200 ? Bytes(good.begin(), good.begin() + long(rng() % good.size())) : good;
    if (round >= 200)
      for (int k = 0; k < 8; ++k) b[rng() % b.size()] = uint8_t(rng());
    Opened g = Open(b);
    if (FAILED(g.hr)) continue;
    g.file->IsInterleaved(true);
    g.file->GetTotalTime();
    for (auto& s : g.file->m_strms) s->GetKeyFrame(5000000);
  }
}

}  // namespace
