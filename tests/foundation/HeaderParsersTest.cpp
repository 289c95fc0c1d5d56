#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "foundation/BaseSplitterFileEx.h"
#include "foundation/Packet.h"
#include "tests/foundation/FfprobeInfo.h"
#include "tests/foundation/MemAsyncReader.h"

namespace {

using File = CBaseSplitterFileEx;

struct Parser {
  explicit Parser(std::vector<BYTE> data) : reader(new MemAsyncReader(std::move(data))) {
    f = std::make_unique<File>(reader, hr, 4096);
  }
  ~Parser() {
    f.reset();
    reader->Release();
  }
  File* operator->() { return f.get(); }
  MemAsyncReader* reader;
  HRESULT hr = E_FAIL;
  std::unique_ptr<File> f;
};

std::vector<BYTE> Sample(const std::string& name) {
  auto bytes = MemAsyncReader::LoadFile(TestDataPath(name));
  EXPECT_FALSE(bytes.empty()) << name;
  return bytes;
}

std::string Key(int stream, const char* field) { return "streams.stream." + std::to_string(stream) + "." + field; }

// First time stamp of every stream in demux order, by ffprobe's stream index.
std::map<int, long long> FirstPts(const std::string& path) {
  auto pk = Ffprobe("-show_entries packet=stream_index,pts -read_intervals %+#400", path);
  std::map<int, long long> first;
  for (int i = 0;; i++) {
    std::string base = "packets.packet." + std::to_string(i) + ".";
    auto si = pk.find(base + "stream_index");
    if (si == pk.end()) break;
    int s = static_cast<int>(ToInt(si->second));
    auto pts = pk[base + "pts"];
    if (!first.count(s) && pts != "N/A") first[s] = ToInt(pts);
  }
  return first;
}

REFERENCE_TIME Pts90k(long long ticks) { return ticks * 10000 / 90; }

// ---------------------------------------------------------------------------
// Program streams

struct PsStream {
  REFERENCE_TIME firstPts = -1;
  bool parsed = false;
  File::SequenceHeader seq;
  CMediaType mt;
  File::MpegAudioHeader mpa;
  File::Ac3Header ac3;
  File::DtsHeader dts;
  File::LpcmHeader lpcm;
};

// Walks a program stream: pack and system headers, every PES header, and
// the first elementary-stream header of each stream. Streams are keyed by
// stream id, private stream 1 by its sub-stream id.
std::map<int, PsStream> ScanProgramStream(Parser& p, int& packType, int& packs) {
  std::map<int, PsStream> streams;
  packType = 0;
  packs = 0;
  BYTE id = 0;
  while (p->FindStartCode(id, p->GetRemaining())) {
    if (id == 0xB9) break;
    if (id == 0xBA) {
      File::PackHeader ph;
      EXPECT_TRUE(p->ReadPackHeader(ph)) << "pack at " << p->GetPos();
      packType = ph.type;
      packs++;
      continue;
    }
    if (id == 0xBB) {
      File::SystemHeader sh;
      EXPECT_TRUE(p->ReadSystemHeader(sh));
      continue;
    }
    if (id < 0xBD || id > 0xEF) continue;
    File::PesHeader h;
    if (!p->ReadPesHeader(h, id)) {
      ADD_FAILURE() << "PES header at " << p->GetPos();
      break;
    }
    LONGLONG end = p->GetPos() + h.len;
    int key = id;
    if (id == 0xBD) {
      key = static_cast<int>(p->BitRead(8));
      if ((key >= 0x80 && key <= 0x8F) || (key >= 0xA0 && key <= 0xA7)) p->Seek(p->GetPos() + 3);
    }
    if (id != 0xBE && id != 0xBF) {
      PsStream& s = streams[key];
      if (h.fpts && s.firstPts < 0) s.firstPts = h.pts;
      if (!s.parsed) {
        LONGLONG budget = end - p->GetPos();
        if (id == 0xE0) s.parsed = p->ReadSequenceHeader(s.seq, budget, &s.mt);
        else if (id >= 0xC0 && id <= 0xDF) s.parsed = p->ReadMpegAudioHeader(s.mpa, budget, false, &s.mt);
        else if (key >= 0x80 && key <= 0x87) s.parsed = p->ReadAc3Header(s.ac3, budget, &s.mt);
        else if (key >= 0x88 && key <= 0x8F) s.parsed = p->ReadDtsHeader(s.dts, budget, &s.mt);
        else if (key >= 0xA0 && key <= 0xA7) s.parsed = p->ReadLpcmHeader(s.lpcm, &s.mt);
      }
    }
    p->Seek(end);
  }
  return streams;
}

const WAVEFORMATEX* Wave(const CMediaType& mt) { return reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat); }

void CheckProgramStream(const std::string& name, int expectedPackType) {
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe is not installed";
  std::string path = TestDataPath(name);
  auto info = Ffprobe("-show_streams", path);
  auto firstPts = FirstPts(path);
  Parser p(Sample(name));
  int packType = 0, packs = 0;
  auto streams = ScanProgramStream(p, packType, packs);
  EXPECT_EQ(packType, expectedPackType);
  EXPECT_GT(packs, 0);

  int checked = 0;
  for (int i = 0; info.count(Key(i, "codec_name")); i++) {
    std::string codec = info[Key(i, "codec_name")];
    int key = static_cast<int>(ToInt(info[Key(i, "id")]) & 0xFF);
    SCOPED_TRACE(name + " stream " + std::to_string(i) + " " + codec);
    ASSERT_TRUE(streams.count(key));
    PsStream& s = streams[key];
    ASSERT_TRUE(s.parsed);
    ASSERT_TRUE(firstPts.count(i));
    EXPECT_EQ(s.firstPts, Pts90k(firstPts[i]));
    if (codec == "mpeg1video" || codec == "mpeg2video") {
      EXPECT_EQ(s.seq.width, ToInt(info[Key(i, "width")]));
      EXPECT_EQ(s.seq.height, ToInt(info[Key(i, "height")]));
      EXPECT_EQ(s.seq.mpeg2, codec == "mpeg2video");
      EXPECT_EQ(s.seq.ifps, 400000);  // 25 frames/s
      EXPECT_EQ(std::to_string(s.seq.arx) + ":" + std::to_string(s.seq.ary), info[Key(i, "display_aspect_ratio")]);
      if (s.seq.mpeg2) { EXPECT_EQ(s.seq.level, ToInt(info[Key(i, "level")])); }
      EXPECT_EQ(s.mt.formattype, s.seq.mpeg2 ? FORMAT_MPEG2Video : FORMAT_MPEGVideo);
    } else {
      ASSERT_EQ(s.mt.formattype, FORMAT_WaveFormatEx);
      const WAVEFORMATEX* wf = Wave(s.mt);
      EXPECT_EQ(static_cast<long long>(wf->nSamplesPerSec), ToInt(info[Key(i, "sample_rate")]));
      long long channels = ToInt(info[Key(i, "channels")]);
      if (codec == "dts") { EXPECT_EQ(wf->nChannels + (s.dts.lfe ? 1 : 0), channels); }
      else { EXPECT_EQ(wf->nChannels, channels); }
      if (codec == "mp2") {
        EXPECT_EQ(s.mpa.nBitrate, ToInt(info[Key(i, "bit_rate")]));
        EXPECT_EQ(wf->wFormatTag, WAVE_FORMAT_MPEG);
      } else if (codec == "ac3") {
        EXPECT_EQ(s.ac3.nBytesPerSec * 8, ToInt(info[Key(i, "bit_rate")]));
        EXPECT_EQ(s.mt.subtype, MEDIASUBTYPE_DOLBY_AC3);
      } else if (codec == "dts") {
        EXPECT_EQ(s.dts.nBytesPerSec * 8, ToInt(info[Key(i, "bit_rate")]));
        EXPECT_EQ(s.mt.subtype, MEDIASUBTYPE_DTS);
      } else if (codec == "pcm_dvd") {
        EXPECT_EQ(s.mt.subtype, MEDIASUBTYPE_DVD_LPCM_AUDIO);
        EXPECT_EQ(wf->nBlockAlign, wf->nChannels * 2);
      }
    }
    checked++;
  }
  EXPECT_GE(checked, 2);
}

TEST(HeaderParsers, Mpeg1SystemStream) { CheckProgramStream("mpeg1-ps.mpg", 1); }
TEST(HeaderParsers, Mpeg2ProgramStreamMp2) { CheckProgramStream("mpeg2-ps-mp2.mpg", 2); }
TEST(HeaderParsers, Mpeg2ProgramStreamAc3) { CheckProgramStream("mpeg2-ps-ac3.mpg", 2); }
TEST(HeaderParsers, VobAc3) { CheckProgramStream("vob-ac3.vob", 2); }
TEST(HeaderParsers, VobDts) { CheckProgramStream("vob-dts.vob", 2); }
TEST(HeaderParsers, VobLpcm) { CheckProgramStream("vob-lpcm.vob", 2); }
TEST(HeaderParsers, VobMultiAudio) { CheckProgramStream("vob-multiaudio.vob", 2); }

// ---------------------------------------------------------------------------
// Transport streams

void CheckTransportStream(const std::string& name, int packetLength) {
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe is not installed";
  std::string path = TestDataPath(name);
  auto info = Ffprobe("-show_streams", path);
  auto firstPts = FirstPts(path);
  auto bytes = Sample(name);
  Parser p(bytes);

  std::map<int, int> pidToStream;
  for (int i = 0; info.count(Key(i, "codec_name")); i++) pidToStream[static_cast<int>(ToInt(info[Key(i, "id")]))] = i;
  std::map<int, REFERENCE_TIME> pts;
  std::map<int, bool> described;
  std::set<int> unhandled;
  int packets = 0, pats = 0;

  File::TsHeader h;
  while (p->ReadTsHeader(h, packets == 0)) {
    packets++;
    if (h.pid == 0 && h.payloadstart) {
      File::PsiSectionHeader psi;
      EXPECT_TRUE(p->ReadPsiSectionHeader(psi));
      EXPECT_EQ(psi.table_id, 0);
      pats++;
    }
    auto it = pidToStream.find(h.pid);
    if (it != pidToStream.end() && h.payloadstart && h.bytes > 9 && p->BitRead(24, true) == 1) {
      p->BitRead(24);
      BYTE id = static_cast<BYTE>(p->BitRead(8));
      File::PesHeader pes;
      if (id > 0xEF) {
        // Extended stream ids (0xFD for audio in BDAV streams) are no PES
        // header of the kinds handled here.
        EXPECT_FALSE(p->ReadPesHeader(pes, id));
        unhandled.insert(it->second);
        p->Seek(h.next);
        continue;
      }
      ASSERT_TRUE(p->ReadPesHeader(pes, id));
      if (pes.fpts && !pts.count(it->second)) pts[it->second] = pes.pts;
      int s = it->second;
      std::string codec = info[Key(s, "codec_name")];
      LONGLONG budget = h.next - p->GetPos();
      if (!described[s]) {
        SCOPED_TRACE(name + " " + codec);
        if (codec == "h264") {
          File::AvcHeader avc;
          CMediaType mt;
          described[s] = p->ReadAvcHeader(avc, budget, &mt);
          if (described[s]) {
            EXPECT_EQ(static_cast<long long>(avc.width), ToInt(info[Key(s, "width")]));
            EXPECT_EQ(static_cast<long long>(avc.height), ToInt(info[Key(s, "height")]));
            EXPECT_EQ(avc.level, ToInt(info[Key(s, "level")]));
            EXPECT_EQ(mt.subtype, MEDIASUBTYPE_AVC1);
          }
        } else if (codec == "aac") {
          File::AdtsHeader a;
          CMediaType mt;
          described[s] = p->ReadAdtsHeader(a, budget, &mt);
          if (described[s]) {
            EXPECT_EQ(a.nSamplesPerSec, ToInt(info[Key(s, "sample_rate")]));
            EXPECT_EQ(Wave(mt)->nChannels, ToInt(info[Key(s, "channels")]));
          }
        } else if (codec == "ac3") {
          File::Ac3Header a;
          described[s] = p->ReadAc3Header(a, budget);
          if (described[s]) {
            EXPECT_EQ(a.nSamplesPerSec, ToInt(info[Key(s, "sample_rate")]));
            EXPECT_EQ(a.nChannels, ToInt(info[Key(s, "channels")]));
          }
        } else if (codec == "mp2") {
          File::MpegAudioHeader a;
          described[s] = p->ReadMpegAudioHeader(a, budget);
          if (described[s]) { EXPECT_EQ(a.nSamplesPerSec, ToInt(info[Key(s, "sample_rate")])); }
        } else if (codec == "mpeg2video") {
          File::SequenceHeader seq;
          described[s] = p->ReadSequenceHeader(seq, budget);
          if (described[s]) { EXPECT_EQ(seq.width, ToInt(info[Key(s, "width")])); }
        }
      }
    }
    p->Seek(h.next);
    if (p->GetRemaining() == 0) break;
  }
  EXPECT_EQ(p->GetTsPacketLength(), packetLength);
  EXPECT_EQ(static_cast<size_t>(packets) * packetLength + (packetLength == 192 ? 0 : 0), bytes.size());
  EXPECT_GT(pats, 0);
  for (auto& [pid, s] : pidToStream) {
    SCOPED_TRACE(name + " pid " + std::to_string(pid));
    if (unhandled.count(s)) continue;
    EXPECT_TRUE(described[s]);
    ASSERT_TRUE(pts.count(s));
    EXPECT_EQ(pts[s], Pts90k(firstPts[s]));
  }
}

TEST(HeaderParsers, TransportStream188TwoPrograms) { CheckTransportStream("ts-2programs.ts", 188); }
TEST(HeaderParsers, TransportStream188H264Aac) { CheckTransportStream("h264-aac.ts", 188); }
TEST(HeaderParsers, TransportStream192) { CheckTransportStream("m2ts-h264-ac3.m2ts", 192); }

// ---------------------------------------------------------------------------
// Elementary streams: every frame header in the file, walked by the sizes
// the parser derives, must land exactly on the next one and end at the end.

template <class ReadFrame>
void WalkFrames(const std::string& name, ReadFrame read) {
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe is not installed";
  auto info = Ffprobe("-count_packets -show_streams", TestDataPath(name));
  Parser p(Sample(name));
  int frames = 0;
  while (p->GetRemaining() > 0) {
    LONGLONG pos = p->GetPos();
    int size = read(p, info);
    ASSERT_GT(size, 0) << name << " frame " << frames << " at " << pos;
    ASSERT_EQ(p->GetPos() > pos, true);
    p->Seek(pos + size);
    frames++;
  }
  EXPECT_EQ(frames, ToInt(info[Key(0, "nb_read_packets")])) << name;
}

TEST(HeaderParsers, AdtsFrames) {
  WalkFrames("aac-adts.aac", [](Parser& p, auto& info) {
    File::AdtsHeader h;
    CMediaType mt;
    if (!p->ReadAdtsHeader(h, 7 + 2, &mt)) return 0;
    EXPECT_EQ(h.nSamplesPerSec, ToInt(info[Key(0, "sample_rate")]));
    EXPECT_EQ(Wave(mt)->nChannels, ToInt(info[Key(0, "channels")]));
    EXPECT_EQ(Wave(mt)->cbSize, 2);
    EXPECT_EQ(h.rtDuration, 10240000000LL / 44100);
    return static_cast<int>(h.aac_frame_length);
  });
}

TEST(HeaderParsers, Ac3Frames) {
  for (const char* name : {"ac3-2.0-48000.ac3", "ac3-2.0-44100.ac3", "ac3-2.0-32000.ac3", "ac3-5.1-48000.ac3",
                           "ac3-5.1-44100.ac3", "ac3-5.1-32000.ac3"}) {
    WalkFrames(name, [](Parser& p, auto& info) {
      File::Ac3Header h;
      CMediaType mt;
      if (!p->ReadAc3Header(h, 7, &mt)) return 0;
      EXPECT_EQ(h.nSamplesPerSec, ToInt(info[Key(0, "sample_rate")]));
      EXPECT_EQ(Wave(mt)->nChannels, ToInt(info[Key(0, "channels")]));
      EXPECT_EQ(h.nBytesPerSec * 8, ToInt(info[Key(0, "bit_rate")]));
      // The standard's frame size: 2 bytes per 16-bit word of the code table,
      // which the block align gives for 48 kHz.
      int words48[19] = {64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 640, 768, 896, 1024, 1152, 1280};
      int size = h.fscod == 0 ? words48[h.frmsizecod >> 1] * 2
                 : h.fscod == 2 ? words48[h.frmsizecod >> 1] * 3
                                : (h.nBytesPerSec * 8 / 1000 * 1536 / 44100 * 1000 / 8 + (h.frmsizecod & 1)) * 1;
      if (h.fscod == 1) {
        static const int words441[19] = {69, 87, 104, 121, 139, 174, 208, 243, 278, 348,
                                         417, 487, 557, 696, 835, 975, 1114, 1253, 1393};
        size = (words441[h.frmsizecod >> 1] + (h.frmsizecod & 1)) * 2;
      }
      if (h.fscod == 0) { EXPECT_EQ(Wave(mt)->nBlockAlign, size); }
      return size;
    });
  }
}

TEST(HeaderParsers, DtsFrames) {
  WalkFrames("dts-5.1-48000.dts", [](Parser& p, auto& info) {
    File::DtsHeader h;
    CMediaType mt;
    if (!p->ReadDtsHeader(h, 16, &mt)) return 0;
    EXPECT_EQ(h.nSamplesPerSec, ToInt(info[Key(0, "sample_rate")]));
    EXPECT_EQ(h.nChannels + (h.lfe ? 1 : 0), ToInt(info[Key(0, "channels")]));
    EXPECT_EQ(h.nBytesPerSec * 8, ToInt(info[Key(0, "bit_rate")]));
    return static_cast<int>(h.framebytes);
  });
}

TEST(HeaderParsers, MpegAudioFrames) {
  for (const char* name : {"mp2-44100.mp2", "mp3-44100.mp3"}) {
    WalkFrames(name, [name](Parser& p, auto& info) {
      File::MpegAudioHeader h;
      CMediaType mt;
      if (!p->ReadMpegAudioHeader(h, 4, false, &mt)) return 0;
      EXPECT_EQ(h.nSamplesPerSec, ToInt(info[Key(0, "sample_rate")]));
      EXPECT_EQ(h.nBitrate, ToInt(info[Key(0, "bit_rate")]));
      EXPECT_EQ(Wave(mt)->wFormatTag, std::string(name).find("mp3") != std::string::npos ? WAVE_FORMAT_MPEGLAYER3
                                                                                          : WAVE_FORMAT_MPEG);
      return h.nBytesPerFrame;
    });
  }
}

TEST(HeaderParsers, VideoElementaryStreams) {
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe is not installed";
  for (const char* name : {"mpeg2-gop1-intra.m2v", "mpeg2-odd-208x112.m2v", "mpeg1-odd-208x112.m1v"}) {
    SCOPED_TRACE(name);
    auto info = Ffprobe("-show_streams", TestDataPath(name));
    Parser p(Sample(name));
    File::SequenceHeader h;
    CMediaType mt;
    ASSERT_TRUE(p->ReadSequenceHeader(h, 64, &mt));
    EXPECT_EQ(h.width, ToInt(info[Key(0, "width")]));
    EXPECT_EQ(h.height, ToInt(info[Key(0, "height")]));
    EXPECT_EQ(std::to_string(h.arx) + ":" + std::to_string(h.ary), info[Key(0, "display_aspect_ratio")]);
    long long rate = ToInt(info[Key(0, "bit_rate")]);
    if (info[Key(0, "bit_rate")] != "N/A") { EXPECT_EQ(h.bitrate, rate == 0x3FFFF * 400LL ? 0 : rate); }
    // The raw header travels in the format block.
    if (h.mpeg2) {
      auto* vi = reinterpret_cast<const MPEG2VIDEOINFO*>(mt.pbFormat);
      ASSERT_EQ(mt.cbFormat, offsetof(MPEG2VIDEOINFO, dwSequenceHeader) + vi->cbSequenceHeader);
      const BYTE* seq = mt.pbFormat + offsetof(MPEG2VIDEOINFO, dwSequenceHeader);
      EXPECT_EQ(seq[3], 0xB3);
      EXPECT_EQ(seq[vi->cbSequenceHeader - 10 + 3], 0xB5);
      EXPECT_EQ(vi->hdr.bmiHeader.biWidth, h.width);
    } else {
      auto* vi = reinterpret_cast<const MPEG1VIDEOINFO*>(mt.pbFormat);
      EXPECT_EQ(vi->bSequenceHeader[3], 0xB3);
      EXPECT_EQ(vi->hdr.AvgTimePerFrame, 400000);
    }
  }
}

TEST(HeaderParsers, H264ElementaryStream) {
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe is not installed";
  auto info = Ffprobe("-show_streams", TestDataPath("h264-raw.h264"));
  auto bytes = Sample("h264-raw.h264");
  Parser p(bytes);
  File::AvcHeader h;
  CMediaType mt;
  ASSERT_TRUE(p->ReadAvcHeader(h, 4096, &mt));
  EXPECT_EQ(static_cast<long long>(h.width), ToInt(info[Key(0, "width")]));
  EXPECT_EQ(static_cast<long long>(h.height), ToInt(info[Key(0, "height")]));
  EXPECT_EQ(h.level, ToInt(info[Key(0, "level")]));
  EXPECT_EQ(h.AvgTimePerFrame, 400000);
  auto* vi = reinterpret_cast<const MPEG2VIDEOINFO*>(mt.pbFormat);
  EXPECT_EQ(vi->dwFlags, 4u);
  EXPECT_EQ(vi->hdr.bmiHeader.biCompression, MAKEFOURCC('A', 'V', 'C', '1'));
  // Sequence header: SPS then PPS, each behind a 16-bit length, as in the file.
  const BYTE* seq = mt.pbFormat + offsetof(MPEG2VIDEOINFO, dwSequenceHeader);
  size_t spsLen = (seq[0] << 8) | seq[1];
  ASSERT_EQ(spsLen, static_cast<size_t>(h.spslen));
  EXPECT_EQ(memcmp(seq + 2, bytes.data() + h.spspos, spsLen), 0);
  EXPECT_EQ(seq[2] & 0x1F, 7);
  EXPECT_EQ(seq[2 + spsLen + 2] & 0x1F, 8);
  EXPECT_EQ(vi->cbSequenceHeader, 4 + spsLen + h.ppslen);
}

// ---------------------------------------------------------------------------
// Hand-made headers: the stated edge cases and the broken inputs

// Inputs on which the fuzz target (fuzz/headerparsers_fuzz.cpp) once found
// a parser reading past its budget: the first two bytes are the budget,
// the rest the data. Every budgeted parser stays within it (a scanner may
// read one header's worth behind the last place it looked at).
TEST(HeaderParsers, FuzzerInputsKeepToTheBudget) {
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(TestDataPath("fuzz/headerparsers"))) {
    std::vector<BYTE> input = MemAsyncReader::LoadFile(entry.path().string());
    ASSERT_GE(input.size(), 2u);
    const LONGLONG budget = (input[0] << 8) | input[1];
    const std::vector<BYTE> data(input.begin() + 2, input.end());
    const std::vector<std::function<void(File&, CMediaType*)>> parsers = {
        [&](File& f, CMediaType*) { BYTE code; f.FindStartCode(code, budget); },
        [&](File& f, CMediaType* mt) { File::SequenceHeader h; f.ReadSequenceHeader(h, budget, mt); },
        [&](File& f, CMediaType* mt) { File::MpegAudioHeader h; f.ReadMpegAudioHeader(h, budget, true, mt); },
        [&](File& f, CMediaType* mt) { File::AdtsHeader h; f.ReadAdtsHeader(h, budget, mt); },
        [&](File& f, CMediaType* mt) { File::Ac3Header h; f.ReadAc3Header(h, budget, mt); },
        [&](File& f, CMediaType* mt) { File::DtsHeader h; f.ReadDtsHeader(h, budget, mt); },
        [&](File& f, CMediaType* mt) { File::AvcHeader h; f.ReadAvcHeader(h, budget, mt); },
    };
    for (size_t i = 0; i < parsers.size(); i++) {
      Parser p(data);
      CMediaType mt;
      parsers[i](*p.f, &mt);
      EXPECT_LE(p->GetPos(), budget + 11) << entry.path() << ", parser " << i;
    }
    replayed++;
  }
  EXPECT_GE(replayed, 1);
}

TEST(HeaderParsers, StartCodeBudget) {
  Parser p({0, 0, 1, 0xBA, 0, 0});
  BYTE code = 0;
  EXPECT_FALSE(p->FindStartCode(code, 0));
  EXPECT_EQ(p->GetPos(), 0);
  EXPECT_FALSE(p->FindStartCode(code, 3));
  p->Seek(0);
  EXPECT_TRUE(p->FindStartCode(code, 4));
  EXPECT_EQ(code, 0xBA);
  EXPECT_FALSE(p->FindStartCode(code, 100));  // end of data
}

TEST(HeaderParsers, PesPaddingReadsOnlyTheLength) {
  Parser p({0x00, 0x10, 0xFF, 0xFF});
  File::PesHeader h;
  EXPECT_TRUE(p->ReadPesHeader(h, 0xBE));
  EXPECT_EQ(h.len, 16);
  EXPECT_EQ(p->GetPos(), 2);
  EXPECT_FALSE(p->ReadPesHeader(h, 0xBC));
  EXPECT_FALSE(p->ReadPesHeader(h, 0xF0));
}

TEST(HeaderParsers, PesStuffingAndTimes) {
  // MPEG-1 form, 16 stuffing bytes, PTS 0x1_2345_6789 (33 bits) and DTS.
  auto pts = [](BYTE prefix, UINT64 t) {
    return std::vector<BYTE>{static_cast<BYTE>((prefix << 4) | ((t >> 29) & 0x0E) | 1), static_cast<BYTE>(t >> 22),
                             static_cast<BYTE>(((t >> 14) & 0xFE) | 1), static_cast<BYTE>(t >> 7),
                             static_cast<BYTE>(((t << 1) & 0xFE) | 1)};
  };
  std::vector<BYTE> pes = {0x00, 40};
  pes.insert(pes.end(), 16, 0xFF);
  auto p1 = pts(3, 0x123456789ULL), d1 = pts(1, 0x123450000ULL);
  pes.insert(pes.end(), p1.begin(), p1.end());
  pes.insert(pes.end(), d1.begin(), d1.end());
  {
    Parser p(pes);
    File::PesHeader h;
    ASSERT_TRUE(p->ReadPesHeader(h, 0xE0));
    EXPECT_EQ(h.type, 1);
    REFERENCE_TIME pts = h.pts, dts = h.dts;  // packed record: copy before comparing
    EXPECT_EQ(pts, static_cast<REFERENCE_TIME>(0x123456789LL * 10000 / 90));
    EXPECT_EQ(dts, static_cast<REFERENCE_TIME>(0x123450000LL * 10000 / 90));
    EXPECT_EQ(h.len, 40 - 16 - 10);
  }
  // A 17th stuffing byte is not skipped and is no valid header byte.
  pes.insert(pes.begin() + 2, 0xFF);
  {
    Parser p(pes);
    File::PesHeader h;
    EXPECT_FALSE(p->ReadPesHeader(h, 0xE0));
  }
  // A broken marker bit in the PTS is refused.
  {
    std::vector<BYTE> bad = {0x00, 8, 0x80, 0x80, 5};
    auto t = pts(2, 1000);
    t[2] &= 0xFE;
    bad.insert(bad.end(), t.begin(), t.end());
    Parser p(bad);
    File::PesHeader h;
    EXPECT_FALSE(p->ReadPesHeader(h, 0xC0));
  }
  // A header longer than its packet is refused.
  {
    std::vector<BYTE> bad = {0x00, 4, 0x80, 0x80, 5};
    auto t = pts(2, 1000);
    bad.insert(bad.end(), t.begin(), t.end());
    Parser p(bad);
    File::PesHeader h;
    EXPECT_FALSE(p->ReadPesHeader(h, 0xC0));
  }
}

std::vector<BYTE> Mpeg1SequenceHeader(int w, int h, int ar, int rate, DWORD bitrate) {
  std::vector<BYTE> v = {0, 0, 1, 0xB3};
  v.push_back(static_cast<BYTE>(w >> 4));
  v.push_back(static_cast<BYTE>(((w & 15) << 4) | (h >> 8)));
  v.push_back(static_cast<BYTE>(h));
  v.push_back(static_cast<BYTE>((ar << 4) | rate));
  v.push_back(static_cast<BYTE>(bitrate >> 10));
  v.push_back(static_cast<BYTE>(bitrate >> 2));
  v.push_back(static_cast<BYTE>(((bitrate & 3) << 6) | 0x20 | 0));  // marker, vbv high bits 0
  v.push_back(0x00);                                                 // vbv, constrained, no matrices
  v.insert(v.end(), {0, 0, 1, 0xB8, 0, 0, 0, 0});
  return v;
}

TEST(HeaderParsers, SequenceHeaderValues) {
  {
    Parser p(Mpeg1SequenceHeader(352, 288, 1, 3, 0x3FFFF));
    File::SequenceHeader h;
    ASSERT_TRUE(p->ReadSequenceHeader(h, 100));
    EXPECT_EQ(h.bitrate, 0u);  // all ones: variable
    EXPECT_EQ(h.ifps, 400000);
    EXPECT_EQ(h.arx, 11);
    EXPECT_EQ(h.ary, 9);
  }
  {
    Parser p(Mpeg1SequenceHeader(352, 288, 1, 4, 2500));
    File::SequenceHeader h;
    ASSERT_TRUE(p->ReadSequenceHeader(h, 100));
    EXPECT_EQ(h.bitrate, 1000000u);
    EXPECT_EQ(h.ifps, 333666);  // 900900 x 10 / 27, truncated
  }
  // Frame-rate codes without a period and pictures without size are refused.
  for (int rate : {0, 9, 15}) {
    Parser p(Mpeg1SequenceHeader(352, 288, 1, rate, 2500));
    File::SequenceHeader h;
    EXPECT_FALSE(p->ReadSequenceHeader(h, 100)) << rate;
  }
  for (auto [w, hh] : {std::pair{0, 288}, std::pair{352, 0}}) {
    Parser p(Mpeg1SequenceHeader(w, hh, 1, 3, 2500));
    File::SequenceHeader h;
    EXPECT_FALSE(p->ReadSequenceHeader(h, 100));
  }
  // The budget bounds the search.
  auto v = Mpeg1SequenceHeader(352, 288, 1, 3, 2500);
  v.insert(v.begin(), 50, 0xAA);
  Parser p(v);
  File::SequenceHeader h;
  EXPECT_FALSE(p->ReadSequenceHeader(h, 40));
  EXPECT_LE(p->GetPos(), 40);
}

TEST(HeaderParsers, TransportPacketLength192WithSyncAtOffset4) {
  std::vector<BYTE> ts;
  for (int i = 0; i < 4; i++) {
    BYTE stamp[4] = {0x12, 0x34, static_cast<BYTE>(i), 0x56};
    ts.insert(ts.end(), stamp, stamp + 4);
    std::vector<BYTE> packet(188, 0xFF);
    packet[0] = 0x47;
    packet[1] = 0x40;  // payload start, PID 0x100
    packet[2] = 0x00;
    packet[3] = 0x30;  // adaptation field and payload
    packet[4] = 7;     // adaptation field length
    packet[5] = 0x10;  // PCR flag
    ts.insert(ts.end(), packet.begin(), packet.end());
  }
  Parser p(ts);
  File::TsHeader h;
  ASSERT_TRUE(p->ReadTsHeader(h, true));
  EXPECT_EQ(p->GetTsPacketLength(), 192);
  EXPECT_EQ(h.pid, 0x0000);
  EXPECT_TRUE(h.payloadstart);
  EXPECT_EQ(h.bytes, 184 - 8);
  EXPECT_EQ(h.fPCR, 1);
  EXPECT_EQ(h.next, 4 + 192);
  EXPECT_EQ(p->GetPos(), 4 + 4 + 8);
  // An adaptation field longer than the packet leaves no payload: refused.
  ts[8] = 190;
  Parser q(ts);
  EXPECT_FALSE(q->ReadTsHeader(h, true));
}

// Packets of `size` bytes (188, or 192 with a time-stamp prefix), each
// with its index in the PID.
std::vector<BYTE> TsPackets(int count, int size) {
  std::vector<BYTE> ts;
  for (int i = 0; i < count; i++) {
    if (size == 192) ts.insert(ts.end(), {0x00, 0x00, static_cast<BYTE>(i), 0x00});
    std::vector<BYTE> packet(188, 0xFF);
    packet[0] = 0x47;
    packet[1] = 0x01;
    packet[2] = static_cast<BYTE>(0x10 + i);  // PID 0x110 + i
    packet[3] = 0x10;                         // payload only
    ts.insert(ts.end(), packet.begin(), packet.end());
  }
  return ts;
}

TEST(HeaderParsers, TransportResyncReadsTheLastPacketOfTheFile) {
  for (int size : {188, 192}) {
    SCOPED_TRACE(size);
    auto ts = TsPackets(3, size);
    Parser p(ts);
    File::TsHeader h;
    ASSERT_TRUE(p->ReadTsHeader(h, true));
    EXPECT_EQ(p->GetTsPacketLength(), size);
    // A few bytes into the second packet: the resync lands on the third,
    // which has no sync byte behind it.
    p->Seek(size + 7);
    ASSERT_TRUE(p->ReadTsHeader(h, true));
    EXPECT_EQ(h.pid, 0x112);
    EXPECT_EQ(h.bytes, 184);
    // A cut-off last packet is no packet.
    ts.resize(ts.size() - 1);
    Parser q(ts);
    ASSERT_TRUE(q->ReadTsHeader(h, true));
    q->Seek(size + 7);
    EXPECT_FALSE(q->ReadTsHeader(h, true));
  }
}

std::vector<BYTE> Adts(int freq, int channels, int length) {
  return {0xFF, 0xF1, static_cast<BYTE>((1 << 6) | (freq << 2) | (channels >> 2)),
          static_cast<BYTE>(((channels & 3) << 6) | (length >> 11)), static_cast<BYTE>(length >> 3),
          static_cast<BYTE>(((length & 7) << 5) | 0x1F), 0xFC};
}

TEST(HeaderParsers, AdtsRatesAndChannels) {
  File::AdtsHeader h;
  {
    Parser p(Adts(12, 2, 100));
    EXPECT_FALSE(p->ReadAdtsHeader(h, 7));  // no rate for index 12
  }
  {
    Parser p(Adts(4, 2, 7));
    EXPECT_FALSE(p->ReadAdtsHeader(h, 7));  // frame no larger than its header
  }
  {
    // Channel configuration 0 (layout in the payload) is described as
    // stereo, never as zero channels.
    Parser p(Adts(3, 0, 400));
    CMediaType mt;
    ASSERT_TRUE(p->ReadAdtsHeader(h, 7, &mt));
    EXPECT_EQ(Wave(mt)->nChannels, 2);
    EXPECT_EQ(h.nPayloadBytes, 393);
    EXPECT_EQ(h.nBytesPerSec, 48000 * 400 / 1024);
    const BYTE* asc = mt.pbFormat + sizeof(WAVEFORMATEX);
    EXPECT_EQ(asc[0], 0x11);  // object type 2 (LC), index 3
    EXPECT_EQ(asc[1], 0x90);  // channels 2
  }
}

TEST(HeaderParsers, DtsAmodeOutsideTheTableIsRefused) {
  // sync, frame type 1, deficit 31, no CRC, 15 blocks, size 1005, amode, sfreq 13, rate 15
  auto dts = [](int amode) {
    UINT64 bits = 0;
    auto put = [&](int n, UINT64 v) { bits = (bits << n) | v; };
    std::vector<BYTE> v = {0x7F, 0xFE, 0x80, 0x01};
    put(1, 1);
    put(5, 31);
    put(1, 0);
    put(7, 15);
    put(14, 1005);
    put(6, static_cast<UINT64>(amode));
    put(4, 13);
    put(5, 15);
    put(12, 0);
    bits <<= 1;  // 55 bits, padded to 56
    for (int i = 6; i >= 0; i--) v.push_back(static_cast<BYTE>(bits >> (8 * i)));
    v.push_back(0);
    return v;
  };
  File::DtsHeader h;
  {
    Parser p(dts(9));
    ASSERT_TRUE(p->ReadDtsHeader(h, 12));
    EXPECT_EQ(h.nChannels, 5);
    EXPECT_EQ(h.nSamplesPerSec, 48000);
    EXPECT_EQ(h.framebytes, 1006);
  }
  for (int amode : {16, 40, 63}) {
    Parser p(dts(amode));
    EXPECT_FALSE(p->ReadDtsHeader(h, 12)) << amode;
  }
}

TEST(HeaderParsers, Ac3AndLpcmLimits) {
  File::Ac3Header a;
  {
    Parser p({0x0B, 0x77, 0, 0, 0x00 | 38, (12 << 3), 0x40, 0});
    EXPECT_FALSE(p->ReadAc3Header(a, 8));  // bsid 12
  }
  {
    Parser p({0x0B, 0x77, 0, 0, 0xC0 | 8, (8 << 3), 0x40, 0});
    EXPECT_FALSE(p->ReadAc3Header(a, 8));  // sampling code 3
  }
  File::LpcmHeader l;
  {
    Parser p({0x00, 0x01, 0x80});  // 48 kHz, 2 channels
    CMediaType mt;
    ASSERT_TRUE(p->ReadLpcmHeader(l, &mt));
    EXPECT_EQ(Wave(mt)->nChannels, 2);
    EXPECT_EQ(Wave(mt)->nAvgBytesPerSec, 192000u);
  }
  {
    Parser p({0x00, 0x03, 0x80});  // 4 channels
    EXPECT_FALSE(p->ReadLpcmHeader(l));
  }
  {
    Parser p({0x20, 0x01, 0x80});  // reserved bit set
    EXPECT_FALSE(p->ReadLpcmHeader(l));
  }
}

TEST(HeaderParsers, PvaPacketsWithResync) {
  std::vector<BYTE> v(37, 0x41);  // noise that starts like a sync
  BYTE video[] = {'A', 'V', 1, 7, 0x55, 0x10, 0x00, 0x08, 0x00, 0x01, 0x5F, 0x90, 0xAA, 0xBB, 0xCC, 0xDD};
  v.insert(v.end(), video, video + sizeof(video));
  Parser p(v);
  File::PvaHeader h;
  ASSERT_TRUE(p->ReadPvaHeader(h, true));
  EXPECT_EQ(h.streamid, 1);
  EXPECT_EQ(h.counter, 7);
  EXPECT_TRUE(h.fpts);
  EXPECT_EQ(h.pts, 90000LL * 10000 / 90);
  EXPECT_EQ(h.length, 4);
  EXPECT_EQ(p->GetPos(), 37 + 12);

  BYTE tooLong[] = {'A', 'V', 2, 0, 0x55, 0x00, 0x17, 0xF9, 0, 0, 0, 0};  // 6137 bytes
  Parser q(std::vector<BYTE>(tooLong, tooLong + sizeof(tooLong)));
  EXPECT_FALSE(q->ReadPvaHeader(h, false));
}

TEST(HeaderParsers, Ps2AudioAndSubpictures) {
  std::vector<BYTE> v = {'S', 'S', 'h', 'd', 24, 0, 0, 0, 1, 0, 0, 0, 0x80, 0xBB, 0, 0, 2, 0, 0, 0,
                         0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'S', 'S', 'b', 'd', 0, 0x10, 0, 0};
  Parser p(v);
  File::Ps2AudioHeader h;
  CMediaType mt;
  ASSERT_TRUE(p->ReadPs2AudioHeader(h, &mt));
  EXPECT_EQ(p->GetPos(), 0);  // back at the start
  EXPECT_EQ(h.freq, 48000u);
  EXPECT_EQ(h.channels, 2u);
  EXPECT_EQ(h.interleave, 512u);
  EXPECT_EQ(h.size, 4096u);
  EXPECT_EQ(Wave(mt)->wFormatTag, 0xF521);
  EXPECT_EQ(Wave(mt)->cbSize, 6);

  CMediaType sub;
  EXPECT_TRUE(p->ReadDvdSubpicHeader(&sub));
  EXPECT_EQ(sub.subtype, MEDIASUBTYPE_DVD_SUBPICTURE);
  EXPECT_TRUE(p->ReadSvcdSubpicHeader(&sub));
  EXPECT_NE(sub.subtype, MEDIASUBTYPE_DVD_SUBPICTURE);
  EXPECT_EQ(p->GetPos(), 0);
}

// An SPS of a 176x144 High-profile stream with one field changed.
std::vector<BYTE> AvcStream(const std::vector<BYTE>& sps) {
  std::vector<BYTE> v = {0, 0, 0, 1};
  v.insert(v.end(), sps.begin(), sps.end());
  v.insert(v.end(), {0, 0, 0, 1, 0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0, 0, 0, 0, 1, 0x65, 0x88, 0x84});
  return v;
}

TEST(HeaderParsers, H264ParameterSetsAreChecked) {
  auto bytes = Sample("h264-raw.h264");
  Parser good(bytes);
  File::AvcHeader h;
  ASSERT_TRUE(good->ReadAvcHeader(h, 4096));
  std::vector<BYTE> sps = h.sps;
  {
    Parser p(AvcStream(sps));
    EXPECT_TRUE(p->ReadAvcHeader(h, 4096));
  }
  {
    // Only the SPS and no PPS.
    std::vector<BYTE> v = {0, 0, 0, 1};
    v.insert(v.end(), sps.begin(), sps.end());
    Parser p(v);
    EXPECT_FALSE(p->ReadAvcHeader(h, 4096));
  }
  {
    // An SPS cut after the profile and level.
    Parser p(AvcStream(std::vector<BYTE>(sps.begin(), sps.begin() + 4)));
    EXPECT_FALSE(p->ReadAvcHeader(h, 4096));
  }
  {
    // seq_parameter_set_id far beyond 31 (a long Exp-Golomb code).
    std::vector<BYTE> bad(sps.begin(), sps.begin() + 4);
    bad.insert(bad.end(), {0x00, 0x00, 0x10, 0x00, 0xFF, 0xFF});
    Parser p(AvcStream(bad));
    EXPECT_FALSE(p->ReadAvcHeader(h, 4096));
  }
  {
    // A parameter set larger than a 16-bit length can carry.
    std::vector<BYTE> big = sps;
    big.resize(70000, 0x55);
    Parser p(AvcStream(big));
    EXPECT_FALSE(p->ReadAvcHeader(h, 1 << 20));
  }
}

// Truncated headers are refused; random bytes never crash, hang or take a
// parser past its data or budget.
TEST(HeaderParsers, TruncatedAndRandomInput) {
  struct Case {
    const char* file;
    int headerBytes;
  };
  auto runAll = [](Parser& p, LONGLONG budget) {
    int accepted = 0;
    LONGLONG len = p->GetLength();
    BYTE code;
    File::PackHeader pk;
    File::SystemHeader sh;
    File::PesHeader pes;
    File::SequenceHeader seq;
    File::MpegAudioHeader mpa;
    File::AdtsHeader adts;
    File::Ac3Header ac3;
    File::DtsHeader dts;
    File::TsHeader ts;
    File::PsiSectionHeader psi;
    File::PvaHeader pva;
    File::AvcHeader avc;
    File::Ps2AudioHeader ps2;
    CMediaType mt;
    auto one = [&](auto fn, bool budgeted) {
      p->Seek(0);
      accepted += fn() ? 1 : 0;
      EXPECT_LE(p->GetPos(), len);
      if (budgeted) { EXPECT_LE(p->GetPos(), budget + 11); }
    };
    one([&] { return p->FindStartCode(code, budget); }, true);
    one([&] { return p->ReadPackHeader(pk); }, false);
    one([&] { return p->ReadSystemHeader(sh); }, false);
    one([&] { return p->ReadPesHeader(pes, 0xE0); }, false);
    one([&] { return p->ReadSequenceHeader(seq, budget, &mt); }, true);
    one([&] { return p->ReadMpegAudioHeader(mpa, budget, true, &mt); }, true);
    one([&] { return p->ReadAdtsHeader(adts, budget, &mt); }, true);
    one([&] { return p->ReadAc3Header(ac3, budget, &mt); }, true);
    one([&] { return p->ReadDtsHeader(dts, budget, &mt); }, true);
    one([&] { return p->ReadTsHeader(ts, true); }, false);
    one([&] { return p->ReadPsiSectionHeader(psi); }, false);
    one([&] { return p->ReadPvaHeader(pva, true); }, false);
    one([&] { return p->ReadAvcHeader(avc, budget, &mt); }, true);
    one([&] { return p->ReadPs2AudioHeader(ps2, &mt); }, false);
    return accepted;
  };

  // Zeros hold no header of any kind.
  {
    Parser p(std::vector<BYTE>(600, 0));
    EXPECT_EQ(runAll(p, 600), 0);
  }
  std::mt19937 rng(1234);
  for (int i = 0; i < 300; i++) {
    std::vector<BYTE> v(rng() % 700);
    for (auto& b : v) b = static_cast<BYTE>(rng());
    Parser p(v);
    runAll(p, static_cast<LONGLONG>(rng() % 800));
  }

  // Each sample cut one byte short of its first header.
  for (Case c : {Case{"aac-adts.aac", 7}, Case{"ac3-2.0-48000.ac3", 7}, Case{"dts-5.1-48000.dts", 11},
                 Case{"mp2-44100.mp2", 4}}) {
    auto bytes = Sample(c.file);
    bytes.resize(static_cast<size_t>(c.headerBytes - 1));
    Parser p(bytes);
    File::AdtsHeader adts;
    File::Ac3Header ac3;
    File::DtsHeader dts;
    File::MpegAudioHeader mpa;
    EXPECT_FALSE(p->ReadAdtsHeader(adts, 100));
    p->Seek(0);
    EXPECT_FALSE(p->ReadAc3Header(ac3, 100));
    p->Seek(0);
    EXPECT_FALSE(p->ReadDtsHeader(dts, 100));
    p->Seek(0);
    EXPECT_FALSE(p->ReadMpegAudioHeader(mpa, 100));
  }
  {
    auto bytes = Sample("mpeg2-gop1-intra.m2v");
    bytes.resize(10);  // start code and part of the header
    Parser p(bytes);
    File::SequenceHeader seq;
    EXPECT_FALSE(p->ReadSequenceHeader(seq, 100));
  }
  {
    auto bytes = Sample("mpeg2-ps-mp2.mpg");
    bytes.resize(4 + 9);  // pack start code and 9 of its 10 bytes
    Parser p(bytes);
    p->Seek(4);
    File::PackHeader pk;
    EXPECT_FALSE(p->ReadPackHeader(pk));
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// LPCM word length

TEST(HeaderParsers, LpcmTypeTakesTheWordLengthField) {
  struct Case {
    BYTE second;  // word length (2 bits), rate code (2), reserved, channels - 1 (3)
    WORD bits, channels, blockAlign;
    DWORD rate;
  };
  const Case cases[] = {
      {0x01, 16, 2, 4, 48000},   // 16 bits, 48 kHz, stereo
      {0x52, 20, 3, 15, 96000},  // 20 bits, 96 kHz, 3 channels: two sample times of 2.5 bytes
      {0x80, 24, 1, 6, 48000},   // 24 bits, 48 kHz, mono
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bits);
    Parser p(std::vector<BYTE>{0x0C, c.second, 0x80});
    File::LpcmHeader h;
    CMediaType mt;
    ASSERT_TRUE(p->ReadLpcmHeader(h, &mt));
    ASSERT_GE(mt.cbFormat, sizeof(WAVEFORMATEX));
    const WAVEFORMATEX* wf = Wave(mt);
    EXPECT_EQ(wf->wBitsPerSample, c.bits);
    EXPECT_EQ(wf->nChannels, c.channels);
    EXPECT_EQ(wf->nSamplesPerSec, c.rate);
    EXPECT_EQ(wf->nBlockAlign, c.blockAlign);
    EXPECT_EQ(wf->nAvgBytesPerSec, c.rate * c.channels * c.bits / 8);
  }
  // Word length code 3 is reserved.
  Parser p(std::vector<BYTE>{0x0C, 0xC1, 0x80});
  File::LpcmHeader h;
  EXPECT_FALSE(p->ReadLpcmHeader(h, nullptr));
}

// The decoding stamp's lead over the presentation time: across the 33-bit
// clock's wrap, and none for a header without one or with a damaged one.
TEST(HeaderParsers, DecodeLead) {
  const REFERENCE_TIME wrap = File::Ticks90kToTime(INT64{1} << 33), frame = 400000;
  struct Row {
    bool pts, dts;
    REFERENCE_TIME ptsTime, dtsTime, lead;
  } rows[] = {
      {true, true, 10 * frame, 9 * frame, frame},
      {true, true, 170000000, 99600000, 70400000},  // over a 7 s picture gap
      {true, true, frame / 2, wrap - frame / 2, frame},
      {true, false, 10 * frame, 0, INVALID_TIME},
      {true, true, 9 * frame, 10 * frame, INVALID_TIME},
      {true, true, 700000000, 0, INVALID_TIME},
  };
  for (const Row& r : rows) {
    File::PesHeader h{};
    h.fpts = r.pts;
    h.fdts = r.dts;
    h.pts = r.ptsTime;
    h.dts = r.dtsTime;
    EXPECT_EQ(File::DecodeLead(h), r.lead) << r.ptsTime << " " << r.dtsTime;
  }
}
