// The MPEG stream file over the sample files and over hand-built streams:
// form detection, stream lists, time range and rate, program tables, and
// bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "splitters/mpeg/MpegSplitterFile.h"
#include "tests/foundation/FfprobeInfo.h"
#include "tests/foundation/MemAsyncReader.h"
#include "tests/splitters/mpeg/MpegStreamBuilder.h"

namespace {

using File = CMpegSplitterFile;

struct Opened {
  std::unique_ptr<File> file;
  HRESULT hr = E_FAIL;
};

Opened Open(std::vector<BYTE> bytes, LONGLONG total = -1, LONGLONG available = -1) {
  auto* reader = new MemAsyncReader(std::move(bytes));
  if (total >= 0) reader->SetLengths(total, available);
  Opened o;
  o.hr = S_OK;
  o.file = std::make_unique<File>(reader, o.hr);
  reader->Release();
  return o;
}

Opened OpenSample(const std::string& name) { return Open(MemAsyncReader::LoadFile(TestDataPath(name))); }

std::vector<GUID> Subtypes(const File& f, int kind) {
  std::vector<GUID> out;
  for (const auto& s : f.m_streams[kind]) out.push_back(s.mt.subtype);
  return out;
}

TEST(MpegSplitterFile, ProgramStreamsHaveTheirStreamsAndTheSubpicturePlaceholder) {
  struct Case {
    const char* name;
    int form;
    GUID videoSubtype;
    std::vector<GUID> audio;
    std::vector<DWORD> audioTracks;
  };
  const Case cases[] = {
      {"mpeg1-ps.mpg", File::ps, MEDIASUBTYPE_MPEG1Payload, {MEDIASUBTYPE_MPEG1AudioPayload}, {0xC000}},
      {"mpeg2-ps-mp2.mpg", File::ps, MEDIASUBTYPE_MPEG2_VIDEO, {MEDIASUBTYPE_MPEG1AudioPayload}, {0xC000}},
      {"mpeg2-ps-ac3.mpg", File::ps, MEDIASUBTYPE_MPEG2_VIDEO, {MEDIASUBTYPE_DOLBY_AC3}, {0xBD80}},
      {"vob-ac3.vob", File::ps, MEDIASUBTYPE_MPEG2_VIDEO, {MEDIASUBTYPE_DOLBY_AC3}, {0xBD80}},
      {"vob-dts.vob", File::ps, MEDIASUBTYPE_MPEG2_VIDEO, {MEDIASUBTYPE_DTS}, {0xBD88}},
      {"vob-lpcm.vob", File::ps, MEDIASUBTYPE_MPEG2_VIDEO, {MEDIASUBTYPE_DVD_LPCM_AUDIO}, {0xBDA0}},
      {"vob-multiaudio.vob",
       File::ps,
       MEDIASUBTYPE_MPEG2_VIDEO,
       {MEDIASUBTYPE_DOLBY_AC3, MEDIASUBTYPE_DOLBY_AC3, MEDIASUBTYPE_MPEG1AudioPayload},
       {0xBD80, 0xBD81, 0xC000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Opened o = OpenSample(c.name);
    ASSERT_EQ(o.hr, S_OK);
    EXPECT_EQ(o.file->type, c.form);
    ASSERT_EQ(o.file->m_streams[File::video].size(), 1u);
    EXPECT_EQ(o.file->m_streams[File::video][0].mt.subtype, c.videoSubtype);
    EXPECT_EQ(o.file->m_streams[File::video][0].TrackNumber(), 0xE000u);
    EXPECT_EQ(Subtypes(*o.file, File::audio), c.audio);
    std::vector<DWORD> tracks;
    for (const auto& s : o.file->m_streams[File::audio]) tracks.push_back(s.TrackNumber());
    EXPECT_EQ(tracks, c.audioTracks);
    // Video brings the placeholder subpicture stream, filed under track 0.
    ASSERT_EQ(o.file->m_streams[File::subpic].size(), 1u);
    EXPECT_EQ(o.file->m_streams[File::subpic][0].TrackNumber(), 0u);
    EXPECT_EQ(o.file->m_streams[File::subpic][0].mt.subtype, MEDIASUBTYPE_DVD_SUBPICTURE);
  }
}

TEST(MpegSplitterFile, LpcmStreamsGetTheirFormatFromTheLpcmHeader) {
  Opened o = OpenSample("vob-lpcm.vob");
  ASSERT_EQ(o.hr, S_OK);
  ASSERT_EQ(o.file->m_streams[File::audio].size(), 1u);
  const auto* wfe = reinterpret_cast<const WAVEFORMATEX*>(o.file->m_streams[File::audio][0].mt.pbFormat);
  ASSERT_NE(wfe, nullptr);
  EXPECT_EQ(wfe->nChannels, 2);
  EXPECT_EQ(wfe->nSamplesPerSec, 48000u);
}

TEST(MpegSplitterFile, LpcmTypesCarryTheWordLengthOfTheStream) {
  struct Case {
    const char* name;
    WORD channels;
    DWORD rate;
    WORD bits;
    WORD blockAlign;  // 16-bit: one sample time; 20 and 24-bit: two
  };
  const Case cases[] = {
      {"vob-lpcm.vob", 2, 48000, 16, 4},
      {"vob-lpcm24.vob", 2, 48000, 24, 12},
      {"vob-lpcm24-mono-96k.vob", 1, 96000, 24, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Opened o = OpenSample(c.name);
    ASSERT_EQ(o.hr, S_OK);
    ASSERT_EQ(o.file->m_streams[File::audio].size(), 1u);
    const CMediaType& mt = o.file->m_streams[File::audio][0].mt;
    EXPECT_EQ(mt.subtype, MEDIASUBTYPE_DVD_LPCM_AUDIO);
    ASSERT_GE(mt.cbFormat, sizeof(WAVEFORMATEX));
    const auto* wfe = reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
    EXPECT_EQ(wfe->nChannels, c.channels);
    EXPECT_EQ(wfe->nSamplesPerSec, c.rate);
    EXPECT_EQ(wfe->wBitsPerSample, c.bits);
    EXPECT_EQ(wfe->nBlockAlign, c.blockAlign);
    EXPECT_EQ(wfe->nAvgBytesPerSec, c.rate * c.channels * c.bits / 8);
  }
}

TEST(MpegSplitterFile, DurationFromRateMatchesFfprobe) {
  if (!HaveFfprobe()) GTEST_SKIP() << "no ffprobe";
  for (const char* name : {"mpeg1-ps.mpg", "mpeg2-ps-mp2.mpg", "vob-ac3.vob", "ts-2programs.ts", "h264-aac.ts"}) {
    SCOPED_TRACE(name);
    Opened o = OpenSample(name);
    ASSERT_EQ(o.hr, S_OK);
    ASSERT_GT(o.file->rate, 0);
    double ours = static_cast<double>(o.file->GetLength()) / o.file->rate;
    auto info = Ffprobe("-show_entries format=duration", TestDataPath(name));
    double theirs = atof(info["format.duration"].c_str());
    ASSERT_GT(theirs, 0);
    EXPECT_NEAR(ours, theirs, theirs * 0.25);
  }
}

// One video PES stamped 2^33 - 1 (26.5 hours) in the middle of the file is
// no time the file reaches: its length stays that of its other stamps.
TEST(MpegSplitterFile, ALoneDamagedStampDoesNotStretchTheLength) {
  for (const char* name : {"mpeg2-ps-mp2.mpg", "vob-ac3.vob", "h264-aac.ts"}) {
    SCOPED_TRACE(name);
    std::vector<BYTE> bytes = MemAsyncReader::LoadFile(TestDataPath(name));
    Opened whole = Open(bytes);
    ASSERT_EQ(whole.hr, S_OK);
    ASSERT_GT(whole.file->rate, 0);
    const double seconds = static_cast<double>(whole.file->GetLength()) / whole.file->rate;
    // The PTS of the video PES nearest the middle (MPEG-2 PES headers).
    const BYTE start[] = {0, 0, 1, 0xE0};
    auto at = std::search(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2), bytes.end(),
                          std::begin(start), std::end(start));
    while (at != bytes.end() && (bytes.end() - at < 14 || !(at[7] & 0x80)))
      at = std::search(at + 1, bytes.end(), std::begin(start), std::end(start));
    ASSERT_NE(at, bytes.end());
    const uint64_t v = (uint64_t{1} << 33) - 1;
    BYTE* pts = &at[9];
    pts[0] = static_cast<BYTE>((pts[0] & 0xF0) | ((v >> 29) & 0x0E) | 1);
    pts[1] = static_cast<BYTE>(v >> 22);
    pts[2] = static_cast<BYTE>(((v >> 14) & 0xFE) | 1);
    pts[3] = static_cast<BYTE>(v >> 7);
    pts[4] = static_cast<BYTE>(((v << 1) & 0xFE) | 1);
    Opened damaged = Open(bytes);
    ASSERT_EQ(damaged.hr, S_OK);
    ASSERT_GT(damaged.file->rate, 0);
    EXPECT_NEAR(static_cast<double>(damaged.file->GetLength()) / damaged.file->rate, seconds, seconds * 0.1);
  }
}

TEST(MpegSplitterFile, TransportStreamsFollowTheirProgramTables) {
  Opened o = OpenSample("ts-2programs.ts");
  ASSERT_EQ(o.hr, S_OK);
  EXPECT_EQ(o.file->type, File::ts);
  ASSERT_EQ(o.file->m_streams[File::video].size(), 2u);
  ASSERT_EQ(o.file->m_streams[File::audio].size(), 2u);
  EXPECT_EQ(Subtypes(*o.file, File::audio),
            (std::vector<GUID>{MEDIASUBTYPE_MPEG1AudioPayload, MEDIASUBTYPE_DOLBY_AC3}));
  // Each program lists its own video and audio PIDs and no others.
  for (int i = 0; i < 2; i++) {
    WORD v = o.file->m_streams[File::video][i].pid;
    WORD a = o.file->m_streams[File::audio][i].pid;
    auto p = o.file->FindProgram(a);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->program_number, i + 1);
    EXPECT_NE(std::find(p->pids.begin(), p->pids.end(), v), p->pids.end());
    WORD other = o.file->m_streams[File::video][1 - i].pid;
    EXPECT_EQ(std::find(p->pids.begin(), p->pids.end(), other), p->pids.end());
  }
  EXPECT_FALSE(o.file->FindProgram(0x1FFE).has_value());
}

TEST(MpegSplitterFile, TransportStreamPacketSizesAndH264) {
  Opened m2ts = OpenSample("m2ts-h264-ac3.m2ts");
  ASSERT_EQ(m2ts.hr, S_OK);
  EXPECT_EQ(m2ts.file->GetTsPacketLength(), 192);
  EXPECT_EQ(Subtypes(*m2ts.file, File::video), std::vector<GUID>{MEDIASUBTYPE_AVC1});

  Opened aac = OpenSample("h264-aac.ts");
  ASSERT_EQ(aac.hr, S_OK);
  EXPECT_EQ(aac.file->GetTsPacketLength(), 188);
  EXPECT_EQ(Subtypes(*aac.file, File::video), std::vector<GUID>{MEDIASUBTYPE_AVC1});
  EXPECT_EQ(Subtypes(*aac.file, File::audio), std::vector<GUID>{MEDIASUBTYPE_AAC});
}

TEST(MpegSplitterFile, Ac3UnderTheExtendedStreamIdCountsWhereTheProgramMapSaysAc3) {
  // The AC-3 of this file comes in PES packets with stream id 0xFD; its
  // program map gives the PID 0x1100 stream type 0x81.
  auto bytes = MemAsyncReader::LoadFile(TestDataPath("m2ts-h264-ac3.m2ts"));
  Opened m2ts = Open(bytes);
  ASSERT_EQ(m2ts.hr, S_OK);
  EXPECT_EQ(Subtypes(*m2ts.file, File::audio), std::vector<GUID>{MEDIASUBTYPE_DOLBY_AC3});
  ASSERT_EQ(m2ts.file->m_streams[File::audio].size(), 1u);
  EXPECT_EQ(m2ts.file->m_streams[File::audio][0].TrackNumber(), 0x1100u);
  m2ts.file->Seek(0);
  EXPECT_NE(m2ts.file->NextPts(0x1100), -1);  // a time stamp is found

  // Declared as private data instead, the same packets are no AC-3 stream:
  // an extended stream id alone says nothing about the payload.
  const BYTE entry[] = {0x81, 0xF1, 0x00};  // stream type, PID 0x1100
  auto at = std::search(bytes.begin(), bytes.end(), std::begin(entry), std::end(entry));
  ASSERT_NE(at, bytes.end());
  for (auto it = at; it != bytes.end(); it = std::search(it + 1, bytes.end(), std::begin(entry), std::end(entry)))
    *it = 0x06;
  Opened plain = Open(bytes);
  ASSERT_EQ(plain.hr, S_OK);
  EXPECT_TRUE(plain.file->m_streams[File::audio].empty());
}

TEST(MpegSplitterFile, FourTransportPacketHeadersMakeATransportStreamThreeDoNot) {
  auto ts = MemAsyncReader::LoadFile(TestDataPath("ts-2programs.ts"));
  ASSERT_GE(ts.size(), 188u * 5);
  // The last packet of a file counts too, though no sync byte follows it.
  Opened o3 = Open(std::vector<BYTE>(ts.begin(), ts.begin() + 188 * 3));
  EXPECT_NE(o3.file->type, File::ts);
  Opened o4 = Open(std::vector<BYTE>(ts.begin(), ts.begin() + 188 * 4));
  EXPECT_EQ(o4.file->type, File::ts);
  // Cut short, the fourth packet is no header.
  Opened cut = Open(std::vector<BYTE>(ts.begin(), ts.begin() + 188 * 4 - 1));
  EXPECT_NE(cut.file->type, File::ts);
}

TEST(MpegSplitterFile, CaptureHeaderIsSkipped) {
  auto ts = MemAsyncReader::LoadFile(TestDataPath("ts-2programs.ts"));
  std::vector<BYTE> bytes(1660, 0);
  bytes[0] = 'T', bytes[1] = 'F', bytes[2] = 'r', bytes[3] = 'c';
  bytes.insert(bytes.end(), ts.begin(), ts.end());
  Opened o = Open(bytes);
  ASSERT_EQ(o.hr, S_OK);
  EXPECT_EQ(o.file->type, File::ts);
  EXPECT_EQ(o.file->m_streams[File::video].size(), 2u);
}

TEST(MpegSplitterFile, RawAc3AndDtsInPrivateStreamGetDefaultSubstreamIds) {
  auto ac3 = MemAsyncReader::LoadFile(TestDataPath("ac3-2.0-48000.ac3"));
  auto dts = MemAsyncReader::LoadFile(TestDataPath("dts-5.1-48000.dts"));
  ASSERT_FALSE(ac3.empty());
  ASSERT_FALSE(dts.empty());
  // Packets hold whole frames (768 and 1024 bytes), so each starts with a
  // sync word.
  for (auto [payload, track, subtype, chunk] : {std::tuple{ac3, 0xBD80u, MEDIASUBTYPE_DOLBY_AC3, 1536},
                                                std::tuple{dts, 0xBD88u, MEDIASUBTYPE_DTS, 2048}}) {
    MpegStreamBuilder b;
    b.ProgramStream(0xBD, payload, 0, 2880, chunk);
    Opened o = Open(b.bytes);
    ASSERT_EQ(o.hr, S_OK);
    ASSERT_EQ(o.file->m_streams[File::audio].size(), 1u);
    EXPECT_EQ(o.file->m_streams[File::audio][0].TrackNumber(), track);
    EXPECT_EQ(o.file->m_streams[File::audio][0].mt.subtype, subtype);
    // No video: no placeholder subpicture.
    EXPECT_TRUE(o.file->m_streams[File::subpic].empty());
  }
}

TEST(MpegSplitterFile, ScrambledPesIsRefused) {
  auto mp2 = MemAsyncReader::LoadFile(TestDataPath("mp2-44100.mp2"));
  MpegStreamBuilder b;
  b.scrambled = true;
  b.ProgramStream(0xC0, mp2, 0, 2000, 2000);
  Opened o = Open(b.bytes);
  EXPECT_EQ(o.hr, E_FAIL);
}

TEST(MpegSplitterFile, BarePesRunAndPva) {
  auto mp2 = MemAsyncReader::LoadFile(TestDataPath("mp2-44100.mp2"));
  MpegStreamBuilder pes;
  pes.withPacks = false;
  pes.ProgramStream(0xC0, mp2, 0, 2000, 2000);
  Opened o = Open(pes.bytes);
  ASSERT_EQ(o.hr, S_OK);
  EXPECT_EQ(o.file->type, File::es);
  EXPECT_EQ(Subtypes(*o.file, File::audio), std::vector<GUID>{MEDIASUBTYPE_MPEG1AudioPayload});

  auto m2v = MemAsyncReader::LoadFile(TestDataPath("mpeg2-gop12-b2.m2v"));
  MpegStreamBuilder pva;
  pva.Pva(m2v, mp2, 1800);
  Opened p = Open(pva.bytes);
  ASSERT_EQ(p.hr, S_OK);
  EXPECT_EQ(p.file->type, File::pva);
  ASSERT_EQ(p.file->m_streams[File::video].size(), 1u);
  EXPECT_EQ(p.file->m_streams[File::video][0].TrackNumber(), 1u);
  ASSERT_EQ(p.file->m_streams[File::audio].size(), 1u);
  EXPECT_EQ(p.file->m_streams[File::audio][0].TrackNumber(), 2u);
}

TEST(MpegSplitterFile, SubpictureSubstreamsAreListedByKind) {
  MpegStreamBuilder b;
  auto m2v = MemAsyncReader::LoadFile(TestDataPath("mpeg2-gop12-b2.m2v"));
  b.ProgramStream(0xE0, std::vector<BYTE>(m2v.begin(), m2v.begin() + 4000), 0, 2000, 2000);
  for (BYTE id : {0x21, 0x71, 0x02}) {
    std::vector<BYTE> sp = {id, 0x00, 0x10, 0x00, 0x0C};
    b.Pes(0xBD, sp, 3600);
  }
  Opened o = Open(b.bytes);
  ASSERT_EQ(o.hr, S_OK);
  std::vector<DWORD> tracks;
  for (const auto& s : o.file->m_streams[File::subpic]) tracks.push_back(s.TrackNumber());
  EXPECT_EQ(tracks, (std::vector<DWORD>{0, 0xBD02, 0xBD21, 0xBD71}));
}

TEST(MpegSplitterFile, NextPtsFindsTheTrackAndStaysAtItsPacket) {
  Opened o = OpenSample("mpeg2-ps-mp2.mpg");
  ASSERT_EQ(o.hr, S_OK);
  File& f = *o.file;
  f.Seek(0);
  REFERENCE_TIME v = f.NextPts(0xE000);
  EXPECT_GE(v, 0);
  LONGLONG at = f.GetPos();
  // Asking again from the same place gives the same packet.
  EXPECT_EQ(f.NextPts(0xE000), v);
  EXPECT_EQ(f.GetPos(), at);
  f.Seek(f.GetLength() - 10);
  EXPECT_EQ(f.NextPts(0xE000), -1);
  EXPECT_EQ(f.NextPts(0x1234), -1);
}

TEST(MpegSplitterFile, StreamingAndIncompleteFilesOpen) {
  auto bytes = MemAsyncReader::LoadFile(TestDataPath("mpeg2-ps-mp2.mpg"));
  LONGLONG n = static_cast<LONGLONG>(bytes.size());
  Opened streaming = Open(bytes, 0, n);
  ASSERT_EQ(streaming.hr, S_OK);
  EXPECT_TRUE(streaming.file->IsStreaming());
  EXPECT_EQ(streaming.file->m_streams[File::audio].size(), 1u);
  // A file still arriving with a known total: only its start is searched.
  Opened partial = Open(bytes, n, n / 2);
  EXPECT_EQ(partial.hr, S_OK);
}

TEST(MpegSplitterFile, TruncatedAndRandomInputFailsCleanly) {
  for (const char* name : {"mpeg2-ps-ac3.mpg", "ts-2programs.ts", "h264-aac.ts", "vob-lpcm.vob"}) {
    auto bytes = MemAsyncReader::LoadFile(TestDataPath(name));
    for (size_t cut : {size_t{0}, size_t{3}, size_t{100}, size_t{189}, size_t{2048}, size_t{5000}, bytes.size() / 2}) {
      SCOPED_TRACE(std::string(name) + " cut at " + std::to_string(cut));
      Opened o = Open(std::vector<BYTE>(bytes.begin(), bytes.begin() + std::min(cut, bytes.size())));
      if (o.hr == S_OK) {
        EXPECT_GT(o.file->rate, 0);
      }
    }
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 20; round++) {
    std::vector<BYTE> bytes(1 + rng() % 300000);
    for (auto& b : bytes) b = static_cast<BYTE>(rng());
    Opened o = Open(bytes);
    EXPECT_NE(o.hr, S_OK) << "random bytes are no stream";
  }
}

}  // namespace
