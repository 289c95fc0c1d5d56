// The decoding paths against FFmpeg's decoders on the same streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "decoders/common/DecoderInputPin.h"
#include "tests/decoders/mpegaudio/CapturePaths.h"
#include "tests/decoders/mpegaudio/MediaReference.h"

namespace {

struct PathsFixture : ::testing::Test {
  CCapturePaths paths;
  void SetUp() override {}
  void Start() { paths.InitDecoders(); }
};

void ExpectMatches(const CCapturePaths& p, const DecodedAudio& ref, double minSnr, size_t frameSize) {
  ASSERT_FALSE(p.deliveries.empty());
  ASSERT_EQ(p.deliveries.front().channels, ref.channels);
  ASSERT_EQ(static_cast<int>(p.deliveries.front().rate), ref.rate);
  const long diff = static_cast<long>(p.Frames()) - static_cast<long>(ref.Frames());
  EXPECT_LE(std::labs(diff), static_cast<long>(frameSize)) << p.Frames() << " vs " << ref.Frames();
  const double snr = AlignedSnrDb(ref.samples, p.samples, ref.channels, 4096);
  EXPECT_GT(snr, minSnr);
  ::testing::Test::RecordProperty("snr", std::to_string(snr));
}

// ---------------------------------------------------------------------------
// MPEG audio

struct Mp2Case {
  const char* file;
  WORD channels;
  DWORD rate;
};

class Mp2Paths : public ::testing::TestWithParam<Mp2Case> {};

// Layer II has no decoder delay, so the decode lines up with FFmpeg's sample
// for sample: the same length and the same values within rounding.
TEST_P(Mp2Paths, MatchesReferenceSampleForSample) {
  const Mp2Case& c = GetParam();
  CCapturePaths paths;
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_MPEG1AudioPayload, WaveFormatBlock(0x50, c.channels, c.rate, 0));
  paths.InitDecoders();
  ASSERT_EQ(paths.Feed(ReadFileBytes(TestDataPath(c.file)), 777), S_OK);
  ASSERT_EQ(paths.FlushInput(), S_OK);
  const DecodedAudio ref = DecodeWithFFmpeg(TestDataPath(c.file));
  ASSERT_EQ(ref.channels, c.channels);
  ASSERT_EQ(paths.Frames(), ref.Frames());
  for (const Delivery& d : paths.deliveries) {
    EXPECT_EQ(d.rate, c.rate);
    EXPECT_EQ(d.channels, c.channels);
  }
  double maxDiff = 0, sum = 0;
  for (size_t i = 0; i < ref.samples.size(); ++i) {
    const double d = std::fabs(double{paths.samples[i]} - ref.samples[i]);
    maxDiff = std::max(maxDiff, d);
    sum += d * d;
  }
  const double rms = std::sqrt(sum / static_cast<double>(ref.samples.size()));
  EXPECT_LT(maxDiff, 2e-4);
  EXPECT_LT(rms, 5e-5);
}

INSTANTIATE_TEST_SUITE_P(Files, Mp2Paths,
                         ::testing::Values(Mp2Case{"mp2-44100.mp2", 2, 44100},
                                           // mono above 192 kbit/s, which libmad refuses
                                           Mp2Case{"mp2-mono-224k.mp2", 1, 44100}));

TEST_F(PathsFixture, Mp3MatchesReferenceAndKeepsLastFrame) {
  const auto data = ReadFileBytes(TestDataPath("mp3-44100.mp3"));
  const auto ref = DecodeWithFFmpeg(TestDataPath("mp3-44100.mp3"));
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_MP3, WaveFormatBlock(0x55, 2, 44100, 0));
  Start();
  ASSERT_EQ(paths.Feed(data, 1000), S_OK);
  const size_t beforeFlush = paths.Frames();
  ASSERT_EQ(paths.FlushInput(), S_OK);
  // The last frame only decodes at the end of the stream.
  EXPECT_EQ(paths.Frames(), beforeFlush + 1152);
  EXPECT_EQ(paths.Frames(), ref.Frames());
  ExpectMatches(paths, ref, 70, 1152);
}

TEST_F(PathsFixture, MpegFramesOfAnotherRateAreSkipped) {
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_MP3, WaveFormatBlock(0x55, 2, 48000, 0));
  Start();
  ASSERT_EQ(paths.Feed(ReadFileBytes(TestDataPath("mp3-44100.mp3")), 4096), S_OK);
  ASSERT_EQ(paths.FlushInput(), S_OK);
  EXPECT_TRUE(paths.deliveries.empty());
  EXPECT_EQ(paths.InputSize(), 0u);
}

// ---------------------------------------------------------------------------
// AC-3

struct Ac3Case {
  const char* file;
  int config;
};

class Ac3Paths : public ::testing::TestWithParam<Ac3Case> {};

TEST_P(Ac3Paths, MatchesReference) {
  CCapturePaths paths;
  paths.speaker[MPADEC_AC3] = GetParam().config;
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_DOLBY_AC3, WaveFormatBlock(0x2000, 2, 48000, 0));
  paths.InitDecoders();
  ASSERT_EQ(paths.Feed(ReadFileBytes(TestDataPath(GetParam().file)), 1000), S_OK);
  const DecodedAudio ref = DecodeWithFFmpeg(TestDataPath(GetParam().file));
  ExpectMatches(paths, ref, 60, 1536);
  if (ref.channels == 6) {
    EXPECT_EQ(paths.deliveries.front().mask, 0x3Fu);
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, Ac3Paths,
                         ::testing::Values(Ac3Case{"ac3-2.0-48000.ac3", 2}, Ac3Case{"ac3-2.0-44100.ac3", 2},
                                           Ac3Case{"ac3-2.0-32000.ac3", 2}, Ac3Case{"ac3-5.1-48000.ac3", 7 | 16},
                                           Ac3Case{"ac3-5.1-44100.ac3", 7 | 16},
                                           Ac3Case{"ac3-5.1-32000.ac3", 7 | 16}));

TEST_F(PathsFixture, Ac3SurroundToStereo) {
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_DOLBY_AC3, {});
  Start();
  ASSERT_EQ(paths.Feed(ReadFileBytes(TestDataPath("ac3-5.1-48000.ac3")), 4096), S_OK);
  ASSERT_FALSE(paths.deliveries.empty());
  for (const Delivery& d : paths.deliveries) {
    EXPECT_EQ(d.channels, 2);
    EXPECT_EQ(d.mask, 0u);
    EXPECT_EQ(d.count, 2u * 1536);
  }
}

TEST_F(PathsFixture, Ac3ResynchronisesOverGarbageAndSplitFrames) {
  const auto clean = ReadFileBytes(TestDataPath("ac3-2.0-48000.ac3"));
  CCapturePaths reference;
  reference.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_DOLBY_AC3, {});
  reference.InitDecoders();
  ASSERT_EQ(reference.Feed(clean, clean.size()), S_OK);

  std::vector<BYTE> dirty(1001);
  for (size_t i = 0; i < dirty.size(); ++i) dirty[i] = static_cast<BYTE>(i * 37 + 11);
  dirty.insert(dirty.end(), clean.begin(), clean.end());
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_DOLBY_AC3, {});
  Start();
  ASSERT_EQ(paths.Feed(dirty, 97), S_OK);
  EXPECT_EQ(paths.samples, reference.samples);
}

TEST_F(PathsFixture, Ac3PassThroughHandsOnWholeFrames) {
  const auto data = ReadFileBytes(TestDataPath("ac3-2.0-48000.ac3"));
  paths.speaker[MPADEC_AC3] = -2;
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_DOLBY_AC3, {});
  Start();
  ASSERT_EQ(paths.Feed(data, 500), S_OK);
  // 192 kbit/s at 48 kHz: 768-byte frames, 32 ms each.
  ASSERT_EQ(paths.bursts.size(), data.size() / 768);
  for (size_t i = 0; i < paths.bursts.size(); ++i) {
    EXPECT_EQ(paths.bursts[i][0], 1);
    EXPECT_EQ(paths.bursts[i].size(), 769u);
    EXPECT_EQ(paths.burstBitRates[i], 192000);
    EXPECT_EQ(0, std::memcmp(paths.bursts[i].data() + 1, data.data() + i * 768, 768));
  }
  EXPECT_TRUE(paths.deliveries.empty());
}

TEST_F(PathsFixture, DeliveryFailureStopsAndKeepsTheFrame) {
  const auto data = ReadFileBytes(TestDataPath("ac3-2.0-48000.ac3"));
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_DOLBY_AC3, {});
  Start();
  paths.deliverResult = E_FAIL;
  paths.AppendInput(data.data(), 3 * 768);
  EXPECT_EQ(paths.ProcessInput(), E_FAIL);
  EXPECT_EQ(paths.InputSize(), 3u * 768);
  paths.deliverResult = S_OK;
  EXPECT_EQ(paths.ProcessInput(), S_OK);
  EXPECT_EQ(paths.deliveries.size(), 3u);
}

// ---------------------------------------------------------------------------
// DTS

TEST_F(PathsFixture, DtsMatchesReference) {
  paths.speaker[MPADEC_DTS] = 9 | 128;
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_DTS, WaveFormatBlock(0x2001, 6, 48000, 0));
  Start();
  ASSERT_EQ(paths.Feed(ReadFileBytes(TestDataPath("dts-5.1-48000.dts")), 1500), S_OK);
  ExpectMatches(paths, DecodeWithFFmpeg(TestDataPath("dts-5.1-48000.dts")), 60, 512);
  EXPECT_EQ(paths.deliveries.front().mask, 0x3Fu);
}

TEST_F(PathsFixture, DtsPassThrough) {
  paths.speaker[MPADEC_DTS] = -2;
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_WAVE_DTS, {});
  Start();
  ASSERT_EQ(paths.Feed(ReadFileBytes(TestDataPath("dts-5.1-48000.dts")), 4096), S_OK);
  ASSERT_FALSE(paths.bursts.empty());
  EXPECT_EQ(paths.bursts[0][0], 11);
  EXPECT_EQ(paths.bursts[0][1], 0x7F);  // core sync word
}

// ---------------------------------------------------------------------------
// AAC

std::vector<BYTE> AacFormat(const std::vector<uint8_t>& config, WORD channels, DWORD rate) {
  return WaveFormatBlock(0xFF, channels, rate, 0, config);
}

TEST_F(PathsFixture, AacRawFramesMatchReference) {
  const DemuxedAudio in = DemuxWithFFmpeg(TestDataPath("mp4-h264-aac.mp4"));
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_AAC, AacFormat(in.extradata, 2, 44100));
  Start();
  for (const auto& packet : in.packets) {
    paths.AppendInput(packet.data(), packet.size());
    ASSERT_EQ(paths.ProcessInput(), S_OK);
  }
  ExpectMatches(paths, DecodeWithFFmpeg(TestDataPath("mp4-h264-aac.mp4")), 60, 2048);
}

TEST_F(PathsFixture, AacFromAdtsFramesMatchReference) {
  // Take the frames out of their ADTS headers, as the splitters do, and make
  // the configuration from the first header.
  const auto data = ReadFileBytes(TestDataPath("aac-adts.aac"));
  std::vector<std::vector<BYTE>> frames;
  std::vector<uint8_t> config;
  for (size_t pos = 0; pos + 7 <= data.size();) {
    const BYTE* h = data.data() + pos;
    ASSERT_EQ(h[0], 0xFF);
    ASSERT_EQ(h[1] & 0xF0, 0xF0);
    const size_t length = (h[3] & 3) << 11 | h[4] << 3 | h[5] >> 5;
    const size_t header = (h[1] & 1) ? 7 : 9;
    ASSERT_GE(length, header);
    ASSERT_LE(pos + length, data.size());
    if (config.empty()) {
      const int object = (h[2] >> 6) + 1, rateIndex = (h[2] >> 2) & 15;
      const int channels = (h[2] & 1) << 2 | h[3] >> 6;
      config = {static_cast<uint8_t>(object << 3 | rateIndex >> 1),
                static_cast<uint8_t>((rateIndex & 1) << 7 | channels << 3)};
    }
    frames.emplace_back(h + header, h + length);
    pos += length;
  }
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_MP4A, AacFormat(config, 2, 44100));
  Start();
  for (const auto& f : frames) {
    paths.AppendInput(f.data(), f.size());
    ASSERT_EQ(paths.ProcessInput(), S_OK);
  }
  // The decoder keeps the first frame's sound back: its time passes as
  // silence, and what follows lines up with FFmpeg's decode.
  ASSERT_GE(paths.samples.size(), 2048u);
  EXPECT_TRUE(std::all_of(paths.samples.begin(), paths.samples.begin() + 2048, [](float s) { return s == 0.0f; }));
  DecodedAudio ref = DecodeWithFFmpeg(TestDataPath("aac-adts.aac"));
  ASSERT_GE(ref.samples.size(), 2048u);
  std::fill(ref.samples.begin(), ref.samples.begin() + 2048, 0.0f);
  ExpectMatches(paths, ref, 60, 2048);
}

// Raw frames cut into pieces (here single bytes) are gathered until they
// are whole and decode as the whole packets do, at a decode call for every
// doubling of the bytes gathered rather than for every piece; garbage costs
// a decoder rebuild only now and then, and whole frames decode after it.
TEST_F(PathsFixture, AacInPiecesDecodesOnceFramesAreWhole) {
  const DemuxedAudio in = DemuxWithFFmpeg(TestDataPath("mp4-h264-aac.mp4"));
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_AAC, AacFormat(in.extradata, 2, 44100));
  Start();
  std::vector<BYTE> bytes;
  for (const auto& packet : in.packets) bytes.insert(bytes.end(), packet.begin(), packet.end());
  ASSERT_GT(bytes.size(), 4096u);
  ASSERT_EQ(paths.Feed(bytes, 1), S_OK);
  ASSERT_EQ(paths.FlushInput(), S_OK);
  EXPECT_GE(paths.deliveries.size(), in.packets.size() - 1) << bytes.size() << " single bytes";
  const std::vector<float> pieces = paths.samples;
  paths.deliveries.clear();
  paths.samples.clear();
  Start();
  for (const auto& packet : in.packets) {
    paths.AppendInput(packet.data(), packet.size());
    ASSERT_EQ(paths.ProcessInput(), S_OK);
  }
  EXPECT_EQ(pieces, paths.samples);

  std::vector<BYTE> garbage(bytes.size());
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<BYTE>(i * 131 + (i >> 7));
  const size_t before = paths.AacDecoderBuilds();
  ASSERT_EQ(paths.Feed(garbage, 1), S_OK);
  EXPECT_LE(paths.AacDecoderBuilds() - before, garbage.size() / 3072 + 2) << garbage.size() << " single bytes";
  paths.deliveries.clear();
  for (const auto& packet : in.packets) {
    paths.AppendInput(packet.data(), packet.size());
    ASSERT_EQ(paths.ProcessInput(), S_OK);
  }
  // At most the first frame fails and the next fills the decoder's delay.
  EXPECT_GE(paths.deliveries.size(), in.packets.size() - 3);
}

TEST_F(PathsFixture, AacConfigurationBeyondTheFormatBlockIsRefused) {
  auto format = AacFormat({0x12, 0x10}, 2, 44100);
  reinterpret_cast<WAVEFORMATEX*>(format.data())->cbSize = 200;
  CMediaType mt;
  mt.SetType(&MEDIATYPE_Audio);
  mt.SetSubtype(&MEDIASUBTYPE_AAC);
  mt.SetFormat(format.data(), static_cast<ULONG>(format.size()));
  EXPECT_FALSE(paths.InitAacDecoder(mt));
  DWORD rate;
  WORD channels;
  EXPECT_FALSE(CMpaDecPaths::ProbeAac(mt, &rate, &channels));
  // Frames without a configuration are dropped, not decoded blind.
  paths.SetInputType(mt);
  Start();
  const BYTE junk[64] = {0x21, 0x00};
  paths.AppendInput(junk, sizeof(junk));
  EXPECT_EQ(paths.ProcessInput(), S_OK);
  EXPECT_TRUE(paths.deliveries.empty());
  EXPECT_EQ(paths.InputSize(), 0u);
}

// ---------------------------------------------------------------------------
// Vorbis

// The decoder's Vorbis format block: 12 bytes, three header sizes, headers.
std::vector<BYTE> VorbisFormat(const std::vector<uint8_t>& xiphLaced) {
  // FFmpeg keeps the three headers Xiph-laced: a count byte of 2, two laced
  // sizes, then the headers.
  size_t pos = 1;
  uint32_t sizes[3] = {};
  for (int i = 0; i < 2; ++i) {
    while (xiphLaced.at(pos) == 255) sizes[i] += xiphLaced[pos++];
    sizes[i] += xiphLaced[pos++];
  }
  sizes[2] = static_cast<uint32_t>(xiphLaced.size() - pos - sizes[0] - sizes[1]);
  std::vector<BYTE> block(24);
  std::memcpy(block.data() + 12, sizes, 12);
  block.insert(block.end(), xiphLaced.begin() + static_cast<long>(pos), xiphLaced.end());
  return block;
}

TEST_F(PathsFixture, VorbisMatchesReference) {
  const DemuxedAudio in = DemuxWithFFmpeg(TestDataPath("vorbis.ogg"));
  CMediaType mt;
  mt.SetType(&MEDIATYPE_Audio);
  mt.SetSubtype(&MEDIASUBTYPE_Vorbis2);
  mt.SetFormatType(&FORMAT_VorbisFormat2);
  const auto format = VorbisFormat(in.extradata);
  mt.SetFormat(format.data(), static_cast<ULONG>(format.size()));
  paths.SetInputType(mt);
  ASSERT_EQ(paths.VorbisChannels(), 2);
  ASSERT_EQ(paths.VorbisRate(), 44100);
  Start();
  for (const auto& packet : in.packets) {
    paths.AppendInput(packet.data(), packet.size());
    ASSERT_EQ(paths.ProcessInput(), S_OK);
  }
  ExpectMatches(paths, DecodeWithFFmpeg(TestDataPath("vorbis.ogg")), 80, 2048);
}

TEST_F(PathsFixture, VorbisHeadersBeyondTheBlockAreRefused) {
  std::vector<BYTE> format(40);
  const uint32_t sizes[3] = {30, 1, 1};
  std::memcpy(format.data() + 12, sizes, 12);
  CMediaType mt;
  mt.SetType(&MEDIATYPE_Audio);
  mt.SetSubtype(&MEDIASUBTYPE_Vorbis2);
  mt.SetFormat(format.data(), static_cast<ULONG>(format.size()));
  EXPECT_FALSE(paths.InitVorbisDecoder(mt));
  paths.SetInputType(mt);
  Start();
  const BYTE packet[8] = {};
  paths.AppendInput(packet, sizeof(packet));
  EXPECT_EQ(paths.ProcessInput(), E_FAIL);
}

// ---------------------------------------------------------------------------
// DVD LPCM, out of the packs of a VOB

TEST_F(PathsFixture, DvdLpcmFromVobPacksMatchesReference) {
  const auto vob = ReadFileBytes(TestDataPath("vob-lpcm.vob"));
  paths.SetType(MEDIATYPE_MPEG2_PACK, MEDIASUBTYPE_DVD_LPCM_AUDIO, WaveFormatBlock(1, 2, 48000, 16));
  Start();
  ASSERT_EQ(vob.size() % 2048, 0u);
  for (size_t pos = 0; pos < vob.size(); pos += 2048) {
    const BYTE* pack = vob.data() + pos;
    const BYTE* pes = pack + 14 + (pack[13] & 7);
    if (pes[3] == 0xBB) pes += 6 + (pes[4] << 8 | pes[5]);
    if (pes[3] != 0xBD || pes[9 + pes[8]] != 0xA0) continue;
    BYTE* p = const_cast<BYTE*>(pack);
    long n = 2048;
    CDecoderInputPin::StripMpegHeaders(MEDIATYPE_MPEG2_PACK, MEDIASUBTYPE_DVD_LPCM_AUDIO, &p, &n);
    ASSERT_GT(n, 0);
    paths.AppendInput(p, static_cast<size_t>(n));
    ASSERT_EQ(paths.ProcessInput(), S_OK);
  }
  const DecodedAudio ref = DecodeWithFFmpeg(TestDataPath("vob-lpcm.vob"));
  EXPECT_EQ(paths.Frames(), ref.Frames());
  ExpectMatches(paths, ref, 150, 1);
}

// ---------------------------------------------------------------------------
// DVD LPCM of 20 and 24 bits

// The sample data of LPCM sub-stream 0xA0, pack by pack, as the decoder's
// input pin leaves it.
std::vector<std::vector<BYTE>> LpcmPayloads(const std::vector<uint8_t>& vob) {
  std::vector<std::vector<BYTE>> out;
  EXPECT_EQ(vob.size() % 2048, 0u);
  for (size_t pos = 0; pos + 2048 <= vob.size(); pos += 2048) {
    const BYTE* pack = vob.data() + pos;
    const BYTE* pes = pack + 14 + (pack[13] & 7);
    if (pes[3] == 0xBB) pes += 6 + (pes[4] << 8 | pes[5]);
    if (pes[3] != 0xBD || pes[9 + pes[8]] != 0xA0) continue;
    std::vector<BYTE> copy(pack, pack + 2048);
    BYTE* p = copy.data();
    long n = 2048;
    CDecoderInputPin::StripMpegHeaders(MEDIATYPE_MPEG2_PACK, MEDIASUBTYPE_DVD_LPCM_AUDIO, &p, &n);
    EXPECT_GT(n, 0);
    out.emplace_back(p, p + std::max(n, 0L));
  }
  return out;
}

// Writes DVD LPCM groups of 20 or 24-bit samples (indexed [time][channel],
// an even number of times) the way a DVD lays them out: per two sample
// times the high 16 bits of every sample in time order, then the low bits in
// the same order, one byte each at 24 bits, two per byte (first one in the
// high nibble) at 20 bits.
std::vector<BYTE> PackDvdLpcm(const std::vector<std::vector<int32_t>>& s, int bits) {
  std::vector<BYTE> out;
  for (size_t t = 0; t + 1 < s.size(); t += 2) {
    std::vector<int32_t> group(s[t].begin(), s[t].end());
    group.insert(group.end(), s[t + 1].begin(), s[t + 1].end());
    const int lowBits = bits - 16;
    for (int32_t v : group) {
      const uint32_t u = static_cast<uint32_t>(v) >> lowBits;
      out.push_back(static_cast<BYTE>(u >> 8));
      out.push_back(static_cast<BYTE>(u));
    }
    if (bits == 24) {
      for (int32_t v : group) out.push_back(static_cast<BYTE>(v));
    } else {
      for (size_t i = 0; i < group.size(); i += 2) {
        out.push_back(static_cast<BYTE>((group[i] & 0xF) << 4 | (group[i + 1] & 0xF)));
      }
    }
  }
  return out;
}

struct Lpcm24Case {
  const char* file;
  int channels;
  int rate;
};

class Lpcm24Vob : public ::testing::TestWithParam<Lpcm24Case> {};

TEST_P(Lpcm24Vob, MatchesReferenceBitExactly) {
  const Lpcm24Case& c = GetParam();
  const auto payloads = LpcmPayloads(ReadFileBytes(TestDataPath(c.file)));
  ASSERT_FALSE(payloads.empty());
  const DecodedAudio ref = DecodeWithFFmpeg(TestDataPath(c.file));
  ASSERT_EQ(ref.channels, c.channels);
  ASSERT_EQ(ref.rate, c.rate);

  CCapturePaths paths;
  paths.SetType(MEDIATYPE_MPEG2_PACK, MEDIASUBTYPE_DVD_LPCM_AUDIO,
                WaveFormatBlock(1, static_cast<WORD>(c.channels), static_cast<DWORD>(c.rate), 24));
  paths.InitDecoders();
  for (const auto& p : payloads) {
    paths.AppendInput(p.data(), p.size());
    ASSERT_EQ(paths.ProcessInput(), S_OK);
  }
  ASSERT_FALSE(paths.deliveries.empty());
  for (const Delivery& d : paths.deliveries) {
    EXPECT_EQ(d.channels, c.channels);
    EXPECT_EQ(static_cast<int>(d.rate), c.rate);
  }
  // 24-bit values are exact in a float both ways, so nothing may differ.
  ASSERT_EQ(paths.samples.size(), ref.samples.size());
  size_t mismatches = 0, first = 0;
  for (size_t i = 0; i < ref.samples.size(); ++i) {
    if (paths.samples[i] != ref.samples[i] && mismatches++ == 0) first = i;
  }
  EXPECT_EQ(mismatches, 0u) << "first at " << first << ": " << paths.samples[first] << " vs " << ref.samples[first];

  // Cut anywhere, the stream decodes the same: partial groups wait in the
  // buffer for the rest.
  std::vector<BYTE> all;
  for (const auto& p : payloads) all.insert(all.end(), p.begin(), p.end());
  CCapturePaths cut;
  cut.SetType(MEDIATYPE_MPEG2_PACK, MEDIASUBTYPE_DVD_LPCM_AUDIO,
              WaveFormatBlock(1, static_cast<WORD>(c.channels), static_cast<DWORD>(c.rate), 24));
  cut.InitDecoders();
  ASSERT_EQ(cut.Feed(all, 7), S_OK);
  EXPECT_EQ(cut.samples, paths.samples);
}

TEST_P(Lpcm24Vob, TestWriterMakesTheBytesFfmpegWrote) {
  // Ties the layout the tests write (for 20 bits, and for channel counts
  // ffmpeg lays out otherwise) to what ffmpeg writes and reads back.
  const Lpcm24Case& c = GetParam();
  std::vector<BYTE> all;
  for (const auto& p : LpcmPayloads(ReadFileBytes(TestDataPath(c.file)))) all.insert(all.end(), p.begin(), p.end());
  const DecodedAudio ref = DecodeWithFFmpeg(TestDataPath(c.file));
  std::vector<std::vector<int32_t>> s(ref.Frames(), std::vector<int32_t>(c.channels));
  for (size_t t = 0; t < s.size(); ++t) {
    for (int ch = 0; ch < c.channels; ++ch) {
      s[t][ch] = static_cast<int32_t>(std::lround(ref.samples[t * c.channels + ch] * 8388608.0));
    }
  }
  EXPECT_EQ(PackDvdLpcm(s, 24), all);
}

INSTANTIATE_TEST_SUITE_P(Vobs, Lpcm24Vob,
                         ::testing::Values(Lpcm24Case{"vob-lpcm24.vob", 2, 48000},
                                           Lpcm24Case{"vob-lpcm24-mono-96k.vob", 1, 96000}));

struct LpcmKnownCase {
  int bits;
  int channels;
};

class LpcmKnownSamples : public ::testing::TestWithParam<LpcmKnownCase> {};

TEST_P(LpcmKnownSamples, DecodeToWhatWasPacked) {
  const int bits = GetParam().bits;
  const int channels = GetParam().channels;
  const int32_t top = (1 << (bits - 1)) - 1;
  // Each channel its own ramp, with the extremes and the values around zero
  // first, so that sign, nibble and channel mix-ups all show.
  const int32_t edges[] = {-top - 1, top, -1, 0, 1, -2, 0x5A5A5 & top, -(0x3C3C3 & top)};
  std::vector<std::vector<int32_t>> s(2000, std::vector<int32_t>(channels));
  for (size_t t = 0; t < s.size(); ++t) {
    for (int ch = 0; ch < channels; ++ch) {
      const int64_t ramp = static_cast<int64_t>(t) * (977 + 131 * ch) * (bits == 24 ? 17 : 1) + ch * 100003;
      s[t][ch] = t < 8 ? edges[(t + ch) % 8] : static_cast<int32_t>(ramp % (2 * int64_t{top} + 2) - top - 1);
    }
  }
  const auto data = PackDvdLpcm(s, bits);
  ASSERT_EQ(data.size(), s.size() * channels * bits / 8);

  CCapturePaths paths;
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_DVD_LPCM_AUDIO,
                WaveFormatBlock(1, static_cast<WORD>(channels), 48000, static_cast<WORD>(bits)));
  paths.InitDecoders();
  ASSERT_EQ(paths.Feed(data, 37), S_OK);
  EXPECT_EQ(paths.InputSize(), 0u);
  ASSERT_EQ(paths.samples.size(), s.size() * channels);
  const double scale = 1.0 / (1 << (bits - 1));
  size_t mismatches = 0;
  for (size_t t = 0; t < s.size(); ++t) {
    for (int ch = 0; ch < channels; ++ch) {
      const float want = static_cast<float>(s[t][ch] * scale);
      if (paths.samples[t * channels + ch] != want && mismatches++ < 5) {
        ADD_FAILURE() << "time " << t << " channel " << ch << ": " << paths.samples[t * channels + ch] << " vs "
                      << want;
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

INSTANTIATE_TEST_SUITE_P(BitsAndChannels, LpcmKnownSamples,
                         ::testing::Values(LpcmKnownCase{20, 1}, LpcmKnownCase{20, 2}, LpcmKnownCase{20, 3},
                                           LpcmKnownCase{20, 6}, LpcmKnownCase{20, 8}, LpcmKnownCase{24, 1},
                                           LpcmKnownCase{24, 2}, LpcmKnownCase{24, 5}, LpcmKnownCase{24, 8}));

TEST_F(PathsFixture, LpcmKeepsAPartialGroupForTheNextSample) {
  // One group of 24-bit stereo is 12 bytes: 11 decode nothing, the 12th
  // completes two sample times.
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_DVD_LPCM_AUDIO, WaveFormatBlock(1, 2, 48000, 24));
  Start();
  const std::vector<BYTE> group = {0x40, 0x00, 0xC0, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x80};
  paths.AppendInput(group.data(), 11);
  ASSERT_EQ(paths.ProcessInput(), S_OK);
  EXPECT_TRUE(paths.deliveries.empty());
  EXPECT_EQ(paths.InputSize(), 11u);
  paths.AppendInput(group.data() + 11, 1);
  ASSERT_EQ(paths.ProcessInput(), S_OK);
  EXPECT_EQ(paths.InputSize(), 0u);
  ASSERT_EQ(paths.samples.size(), 4u);
  EXPECT_EQ(paths.samples[0], 0.5f);
  EXPECT_EQ(paths.samples[1], -0.5f);
  EXPECT_EQ(paths.samples[2], 1.0f / 8388608);
  EXPECT_EQ(paths.samples[3], -128.0f / 8388608);
}

TEST_F(PathsFixture, LpcmOfAWordLengthADvdCannotCarryIsDropped) {
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_DVD_LPCM_AUDIO, WaveFormatBlock(1, 2, 48000, 28));
  Start();
  const std::vector<BYTE> data(64, 0x11);
  paths.AppendInput(data.data(), data.size());
  EXPECT_EQ(paths.ProcessInput(), S_OK);
  EXPECT_TRUE(paths.deliveries.empty());
  EXPECT_EQ(paths.InputSize(), 0u);
}

// ---------------------------------------------------------------------------
// PS2 audio

std::vector<BYTE> Ps2Format(WORD tag, WORD channels, DWORD interleave) {
  // The interleave follows the WAVEFORMATEX and its extra-size field.
  std::vector<BYTE> block = WaveFormatBlock(tag, channels, 48000, 16, {0, 0});
  for (int i = 0; i < 4; ++i) block.push_back(static_cast<BYTE>(interleave >> (8 * i)));
  return block;
}

TEST_F(PathsFixture, Ps2PcmIsSilentUntilItsDataTag) {
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_PS2_PCM, Ps2Format(0xF521, 2, 16));
  Start();
  std::vector<BYTE> data;
  const char shd[] = "SShd";
  data.insert(data.end(), shd, shd + 4);
  data.insert(data.end(), {4, 0, 0, 0, 1, 2, 3, 4});
  std::vector<BYTE> block(32);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<BYTE>(i + 1);
  data.insert(data.end(), block.begin(), block.end());  // before the data tag
  const char sbd[] = "SSbd";
  data.insert(data.end(), sbd, sbd + 4);
  data.insert(data.end(), {0, 0, 0, 0});
  data.insert(data.end(), block.begin(), block.end());
  ASSERT_EQ(paths.Feed(data, 5), S_OK);

  ASSERT_EQ(paths.samples.size(), 32u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(paths.samples[i], 0.0f);
  // Channel c's samples come from its own 16-byte region.
  EXPECT_FLOAT_EQ(paths.samples[16], static_cast<int16_t>(0x0201) / 32768.0f);
  EXPECT_FLOAT_EQ(paths.samples[17], static_cast<int16_t>(0x1211) / 32768.0f);
  EXPECT_FLOAT_EQ(paths.samples[18], static_cast<int16_t>(0x0403) / 32768.0f);
}

TEST_F(PathsFixture, Ps2AdpcmPrediction) {
  Start();
  BYTE unit[16] = {0x0C, 0};  // predictor 0, shift 12: the nibbles themselves
  unit[2] = 0x71;             // 1, then 7
  unit[3] = 0x0F;             // -1, then 0
  double out[28];
  paths.DecodePs2AdpcmBlock(unit, out, 0);
  EXPECT_DOUBLE_EQ(out[0], 1 / 32767.0);
  EXPECT_DOUBLE_EQ(out[1], 7 / 32767.0);
  EXPECT_DOUBLE_EQ(out[2], -1 / 32767.0);
  EXPECT_DOUBLE_EQ(out[3], 0.0);

  // Predictor 1 carries 0.9375 of the previous sample over.
  BYTE next[16] = {0x1C, 0};
  paths.DecodePs2AdpcmBlock(next, out, 0);
  EXPECT_DOUBLE_EQ(out[0], 0.0);  // history was 0 after the last unit
  BYTE third[16] = {0x1C, 0, 0x02};
  paths.DecodePs2AdpcmBlock(third, out, 0);
  EXPECT_DOUBLE_EQ(out[0], 2 / 32767.0);
  EXPECT_DOUBLE_EQ(out[1], 2 * 0.9375 / 32767.0);

  // Unknown predictors predict nothing and marked units are silence.
  BYTE seven[16] = {0x7C, 0, 0x03};
  paths.DecodePs2AdpcmBlock(seven, out, 1);
  EXPECT_DOUBLE_EQ(out[0], 3 / 32767.0);
  EXPECT_DOUBLE_EQ(out[1], 0.0);
  BYTE marked[16] = {0xCC, 0, 0x33};
  paths.DecodePs2AdpcmBlock(marked, out, 1);
  for (double v : out) EXPECT_EQ(v, 0.0);
}

TEST_F(PathsFixture, Ps2WithoutInterleaveDoesNotSpin) {
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_PS2_ADPCM, Ps2Format(0xF522, 2, 0));
  Start();
  const std::vector<BYTE> data(1000, 0x11);
  EXPECT_EQ(paths.Feed(data, 1000), S_OK);
  EXPECT_TRUE(paths.deliveries.empty());
  EXPECT_EQ(paths.InputSize(), 0u);
}

TEST_F(PathsFixture, Ps2HeaderChunkLongerThanTheInputIsSkippedAsItArrives) {
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_PS2_PCM, Ps2Format(0xF521, 1, 16));
  Start();
  std::vector<BYTE> data = {'S', 'S', 'h', 'd', 0x00, 0x10, 0, 0};  // 4096 bytes
  data.resize(8 + 4096, 0x55);
  data.insert(data.end(), {'S', 'S', 'b', 'd', 0, 0, 0, 0});
  data.resize(data.size() + 16, 0);
  ASSERT_EQ(paths.Feed(data, 300), S_OK);
  ASSERT_EQ(paths.deliveries.size(), 1u);
  EXPECT_EQ(paths.deliveries[0].count, 8u);
  EXPECT_EQ(paths.InputSize(), 0u);
}

}  // namespace
