// The decoder filter between a test source and a test sink.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "decoders/mpegaudio/MpaDecFilter.h"
#include "platform/com/ComPtr.h"
#include "tests/decoders/mpegaudio/CapturePaths.h"
#include "tests/decoders/mpegaudio/MediaReference.h"
#include "tests/decoders/mpegaudio/TestPins.h"

namespace {

CMediaType AudioType(const GUID& sub, const std::vector<BYTE>& format) {
  CMediaType mt;
  mt.SetType(&MEDIATYPE_Audio);
  mt.SetSubtype(&sub);
  mt.SetFormatType(&FORMAT_WaveFormatEx);
  mt.SetFormat(format.data(), static_cast<ULONG>(format.size()));
  return mt;
}

struct Chain {
  CTestSource* source;
  CMpaDecFilter* decoder;
  CTestSink* sink;
  CComPtr<IBaseFilter> holdSource, holdDecoder, holdSink;

  explicit Chain(const CMediaType& in, void (*configure)(CMpaDecFilter*) = nullptr) {
    HRESULT hr = S_OK;
    source = new CTestSource(in);
    holdSource = source;
    decoder = static_cast<CMpaDecFilter*>(CMpaDecFilter::CreateInstance(nullptr, &hr));
    holdDecoder = decoder;
    EXPECT_EQ(hr, S_OK);
    sink = new CTestSink();
    holdSink = sink;
    // Settings persist between filters; every chain starts from the defaults.
    decoder->SetSampleFormat(SF_PCM16);
    decoder->SetNormalize(false);
    decoder->SetBoost(1.0f);
    decoder->SetSpeakerConfig(MPADEC_AC3, 2);
    decoder->SetSpeakerConfig(MPADEC_DTS, 2);
    decoder->SetSpeakerConfig(MPADEC_AAC, 1);
    for (int i = 0; i < 3; ++i) decoder->SetDynamicRangeControl(i, false);
    if (configure) configure(decoder);
  }
  HRESULT Connect() {
    HRESULT hr = source->m_pin->Connect(decoder->GetPin(0), nullptr);
    if (FAILED(hr)) return hr;
    return decoder->GetPin(1)->Connect(sink->m_pin, nullptr);
  }
  void Run() {
    ASSERT_EQ(sink->Pause(), S_OK);
    ASSERT_EQ(decoder->Pause(), S_OK);
    ASSERT_EQ(source->Pause(), S_OK);
  }
  ~Chain() {
    source->Stop();
    decoder->Stop();
    sink->Stop();
    source->m_pin->Disconnect();
    decoder->GetPin(0)->Disconnect();
    decoder->GetPin(1)->Disconnect();
    sink->m_pin->Disconnect();
  }
  const WAVEFORMATEX& OutFormat() const { return *reinterpret_cast<const WAVEFORMATEX*>(sink->m_pin->type.Format()); }
};

void SendFile(Chain& c, const std::vector<uint8_t>& data, size_t chunk) {
  for (size_t pos = 0; pos < data.size(); pos += chunk) {
    ASSERT_EQ(c.source->m_pin->Send(data.data() + pos, std::min(chunk, data.size() - pos), pos == 0 ? 0 : -1, false),
              S_OK);
  }
}

// Big-endian stereo 16-bit LPCM of constant values.
std::vector<BYTE> Lpcm(size_t frames, int16_t value) {
  std::vector<BYTE> d(frames * 4);
  for (size_t i = 0; i < frames * 2; ++i) {
    d[2 * i] = static_cast<BYTE>(value >> 8);
    d[2 * i + 1] = static_cast<BYTE>(value);
  }
  return d;
}

CMediaType LpcmType() { return AudioType(MEDIASUBTYPE_DVD_LPCM_AUDIO, WaveFormatBlock(1, 2, 48000, 16)); }

int16_t S16(const std::vector<BYTE>& d, size_t i) {
  int16_t v;
  std::memcpy(&v, d.data() + 2 * i, 2);
  return v;
}

class SampleFormats : public ::testing::TestWithParam<int> {};

TEST_P(SampleFormats, Ac3SurroundMatchesThePathsInEveryFormat) {
  const int format = GetParam();
  const auto data = ReadFileBytes(TestDataPath("ac3-5.1-48000.ac3"));
  CCapturePaths paths;
  paths.speaker[MPADEC_AC3] = 7 | 16;
  paths.SetType(MEDIATYPE_Audio, MEDIASUBTYPE_DOLBY_AC3, {});
  paths.InitDecoders();
  ASSERT_EQ(paths.Feed(data, data.size()), S_OK);

  Chain c(AudioType(MEDIASUBTYPE_DOLBY_AC3, WaveFormatBlock(0x2000, 6, 48000, 0)));
  c.decoder->SetSpeakerConfig(MPADEC_AC3, 7 | 16);
  ASSERT_EQ(c.decoder->SetSampleFormat(format), S_OK);
  ASSERT_EQ(c.Connect(), S_OK);
  // Connected with at most two channels; the first sample brings the real type.
  EXPECT_LE(c.OutFormat().nChannels, 2);
  c.Run();
  SendFile(c, data, 1000);
  ASSERT_FALSE(c.sink->m_pin->samples.empty());
  EXPECT_TRUE(c.sink->m_pin->samples[0].typeChanged);
  const auto& wfe = *reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(c.sink->m_pin->type.Format());
  EXPECT_EQ(wfe.Format.nChannels, 6);
  EXPECT_EQ(wfe.Format.wFormatTag, 0xFFFE);
  EXPECT_EQ(wfe.dwChannelMask, 0x3Fu);
  EXPECT_EQ(wfe.Format.wBitsPerSample, SampleFormatBits(format));

  const auto bytes = c.sink->m_pin->AllBytes();
  const size_t width = SampleFormatBits(format) / 8;
  ASSERT_EQ(bytes.size(), paths.samples.size() * width);
  std::vector<BYTE> expected(bytes.size());
  ConvertSamples(paths.samples.data(), paths.samples.size(), format, 1, 0, expected.data());
  EXPECT_EQ(bytes, expected);

  // Back to back in time, 32 ms each.
  REFERENCE_TIME t = 0;
  for (const Received& r : c.sink->m_pin->samples) {
    EXPECT_EQ(r.start, t);
    EXPECT_EQ(r.stop, t + 320000);
    t = r.stop;
  }
}

INSTANTIATE_TEST_SUITE_P(All, SampleFormats, ::testing::Values(0, 1, 2, 3));

TEST(MpaDecFilter, NormaliseRaisesQuietStreamsUntilALoudSample) {
  Chain c(LpcmType());
  c.decoder->SetNormalize(true);
  ASSERT_EQ(c.Connect(), S_OK);
  c.Run();
  const auto quiet = Lpcm(100, 1638);  // 0.05 of full scale
  const auto loud = Lpcm(100, 16384);  // 0.5
  ASSERT_EQ(c.source->m_pin->Send(quiet.data(), quiet.size(), 0, false), S_OK);
  ASSERT_EQ(c.source->m_pin->Send(loud.data(), loud.size(), -1, false), S_OK);
  ASSERT_EQ(c.source->m_pin->Send(quiet.data(), quiet.size(), -1, false), S_OK);
  const auto& s = c.sink->m_pin->samples;
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(S16(s[0].data, 0), std::lround(1638 / 32768.0 / 0.1 * 32767));
  EXPECT_EQ(S16(s[1].data, 0), 32767);
  EXPECT_EQ(S16(s[2].data, 0), std::lround(1638 / 32768.0 / 0.5 * 32767));
}

TEST(MpaDecFilter, BoostScalesByItsLogarithm) {
  Chain c(LpcmType());
  c.decoder->SetBoost(10.0f);
  ASSERT_EQ(c.Connect(), S_OK);
  c.Run();
  const auto d = Lpcm(10, 8192);  // 0.25
  ASSERT_EQ(c.source->m_pin->Send(d.data(), d.size(), 0, false), S_OK);
  ASSERT_EQ(c.sink->m_pin->samples.size(), 1u);
  EXPECT_EQ(S16(c.sink->m_pin->samples[0].data, 0), std::lround(0.5 * 32767));
}

TEST(MpaDecFilter, DiscontinuityWithoutTimeIsDroppedAndMarksTheNextOutput) {
  Chain c(LpcmType());
  ASSERT_EQ(c.Connect(), S_OK);
  c.Run();
  const auto d = Lpcm(10, 100);
  ASSERT_EQ(c.source->m_pin->Send(d.data(), d.size(), 0, false), S_OK);
  ASSERT_EQ(c.source->m_pin->Send(d.data(), d.size(), -1, true), S_OK);
  ASSERT_EQ(c.source->m_pin->Send(d.data(), d.size(), -1, false), S_OK);
  const auto& s = c.sink->m_pin->samples;
  ASSERT_EQ(s.size(), 2u);
  EXPECT_FALSE(s[0].discontinuity);
  EXPECT_TRUE(s[1].discontinuity);
}

// An incomplete sample is left in the buffer and completed by the next
// input whatever its time; a time that strays from the counted one by more
// than a frame (and the container's rounding) moves the output there, the
// held sample just before it, and says so; less is rounding.
TEST(MpaDecFilter, TimeJumpsBeyondAFrameAreFollowed) {
  for (const REFERENCE_TIME jump : {REFERENCE_TIME{100000}, REFERENCE_TIME{500000}, REFERENCE_TIME{1500000}}) {
    Chain c(LpcmType());
    ASSERT_EQ(c.Connect(), S_OK);
    c.Run();
    const auto head = Lpcm(10, 100);
    ASSERT_EQ(c.source->m_pin->Send(head.data(), head.size() - 2, 0, false), S_OK);
    const auto tail = Lpcm(10, 200);
    ASSERT_EQ(c.source->m_pin->Send(tail.data(), tail.size(), jump, false), S_OK);
    const auto& s = c.sink->m_pin->samples;
    ASSERT_EQ(s.size(), 2u);
    const long v100 = std::lround(100 / 32768.0 * 32767), v200 = std::lround(200 / 32768.0 * 32767);
    const REFERENCE_TIME frame = s[0].stop - s[0].start;
    if (jump > 200000 + frame) {
      EXPECT_EQ(s[1].start + UNITS / 48000, jump);
      EXPECT_TRUE(s[1].discontinuity);
    } else {
      EXPECT_EQ(s[1].start, s[0].stop);
      EXPECT_FALSE(s[1].discontinuity);
    }
    EXPECT_EQ(S16(s[1].data, 0), v100);
    EXPECT_EQ(S16(s[1].data, 1), v200);
  }
}

TEST(MpaDecFilter, LargeSamplesGrowTheDownstreamBuffers) {
  Chain c(LpcmType());
  ASSERT_EQ(c.Connect(), S_OK);
  c.Run();
  const auto d = Lpcm(50000, 1000);  // 200000 bytes out, above the 115200 negotiated
  ASSERT_EQ(c.source->m_pin->Send(d.data(), d.size(), 0, false), S_OK);
  ASSERT_EQ(c.sink->m_pin->samples.size(), 1u);
  EXPECT_EQ(c.sink->m_pin->samples[0].data.size(), 200000u);
  EXPECT_EQ(S16(c.sink->m_pin->samples[0].data, 99999), std::lround(1000 / 32768.0 * 32767));
}

TEST(MpaDecFilter, Ac3PassThroughAsSpdifBursts) {
  const auto data = ReadFileBytes(TestDataPath("ac3-2.0-48000.ac3"));
  Chain c(AudioType(MEDIASUBTYPE_DOLBY_AC3, WaveFormatBlock(0x2000, 2, 48000, 0)));
  c.decoder->SetSpeakerConfig(MPADEC_AC3, -2);
  ASSERT_EQ(c.Connect(), S_OK);
  EXPECT_EQ(c.OutFormat().wFormatTag, 0x0092);
  EXPECT_EQ(c.OutFormat().nSamplesPerSec, 48000u);
  EXPECT_EQ(c.OutFormat().nChannels, 2);
  c.Run();
  SendFile(c, data, 3000);
  const auto& s = c.sink->m_pin->samples;
  ASSERT_EQ(s.size(), data.size() / 768);
  for (size_t i = 0; i < s.size(); ++i) {
    ASSERT_EQ(s[i].data.size(), 6144u);
    EXPECT_EQ(s[i].data[0], 0x72);
    EXPECT_EQ(s[i].data[4], 1);
    EXPECT_EQ(s[i].data[8], data[i * 768 + 1]);  // pairs swapped
    EXPECT_EQ(s[i].data[9], data[i * 768]);
    for (size_t k = 8 + 768; k < 6144; ++k) ASSERT_EQ(s[i].data[k], 0);
    EXPECT_EQ(s[i].stop - s[i].start, 320000);
  }
}

TEST(MpaDecFilter, LastMp3FrameArrivesWithTheEndOfStream) {
  const auto data = ReadFileBytes(TestDataPath("mp3-44100.mp3"));
  Chain c(AudioType(MEDIASUBTYPE_MP3, WaveFormatBlock(0x55, 2, 44100, 0)));
  ASSERT_EQ(c.Connect(), S_OK);
  c.Run();
  SendFile(c, data, 4096);
  const size_t before = c.sink->m_pin->AllBytes().size();
  ASSERT_EQ(c.decoder->GetPin(0)->EndOfStream(), S_OK);
  EXPECT_EQ(c.sink->m_pin->endOfStream, 1);
  EXPECT_EQ(c.sink->m_pin->AllBytes().size(), before + 1152 * 4);
  EXPECT_EQ(c.sink->m_pin->AllBytes().size() / 4, DecodeWithFFmpeg(TestDataPath("mp3-44100.mp3")).Frames());
}

TEST(MpaDecFilter, InputTypes) {
  HRESULT hr = S_OK;
  CComPtr<IBaseFilter> hold;
  auto* f = static_cast<CMpaDecFilter*>(CMpaDecFilter::CreateInstance(nullptr, &hr));
  hold = f;
  CMediaType lpcm16 = LpcmType();
  CMediaType lpcm20 = AudioType(MEDIASUBTYPE_DVD_LPCM_AUDIO, WaveFormatBlock(1, 2, 48000, 20));
  CMediaType lpcm24 = AudioType(MEDIASUBTYPE_DVD_LPCM_AUDIO, WaveFormatBlock(1, 2, 48000, 24));
  EXPECT_EQ(f->CheckInputType(&lpcm16), S_OK);
  EXPECT_EQ(f->CheckInputType(&lpcm20), S_OK);
  EXPECT_EQ(f->CheckInputType(&lpcm24), S_OK);
  // A DVD carries 1 to 8 channels of 16, 20 or 24 bits and nothing else.
  for (WORD channels : {1, 3, 6, 8}) {
    for (WORD bits : {16, 20, 24}) {
      CMediaType mt = AudioType(MEDIASUBTYPE_DVD_LPCM_AUDIO, WaveFormatBlock(1, channels, 96000, bits));
      EXPECT_EQ(f->CheckInputType(&mt), S_OK) << channels << " channels, " << bits << " bits";
    }
  }
  for (WORD channels : {0, 9}) {
    CMediaType mt = AudioType(MEDIASUBTYPE_DVD_LPCM_AUDIO, WaveFormatBlock(1, channels, 48000, 24));
    EXPECT_EQ(f->CheckInputType(&mt), VFW_E_TYPE_NOT_ACCEPTED) << channels << " channels";
  }
  for (WORD bits : {0, 8, 18, 32}) {
    CMediaType mt = AudioType(MEDIASUBTYPE_DVD_LPCM_AUDIO, WaveFormatBlock(1, 2, 48000, bits));
    EXPECT_EQ(f->CheckInputType(&mt), VFW_E_TYPE_NOT_ACCEPTED) << bits << " bits";
  }
  CMediaType noRate = AudioType(MEDIASUBTYPE_DVD_LPCM_AUDIO, WaveFormatBlock(1, 2, 0, 24));
  EXPECT_EQ(f->CheckInputType(&noRate), VFW_E_TYPE_NOT_ACCEPTED);

  std::vector<BYTE> ps2 = WaveFormatBlock(0xF522, 2, 48000, 16, {0, 0});
  ps2.insert(ps2.end(), {0, 0, 0, 0});
  CMediaType ps2Zero = AudioType(MEDIASUBTYPE_PS2_ADPCM, ps2);
  EXPECT_EQ(f->CheckInputType(&ps2Zero), VFW_E_TYPE_NOT_ACCEPTED);
  ps2[20] = 0x10;  // interleave 16
  CMediaType ps2Ok = AudioType(MEDIASUBTYPE_PS2_ADPCM, ps2);
  EXPECT_EQ(f->CheckInputType(&ps2Ok), S_OK);

  size_t n = 0;
  const MpaInputPair* pairs = MpaInputPairs(&n);
  ASSERT_EQ(n, 43u);
  for (size_t i = 0; i + 1 < n; ++i) {
    CMediaType mt = AudioType(*pairs[i].subtype, WaveFormatBlock(0x50, 2, 48000, 16));
    mt.SetType(pairs[i].majortype);
    if (*pairs[i].subtype == MEDIASUBTYPE_PS2_ADPCM || *pairs[i].subtype == MEDIASUBTYPE_PS2_PCM) mt = ps2Ok;
    mt.SetType(pairs[i].majortype);
    EXPECT_EQ(f->CheckInputType(&mt), S_OK) << i;
  }
  CMediaType video = AudioType(MEDIASUBTYPE_MP3, WaveFormatBlock(0x55, 2, 48000, 0));
  video.SetType(&MEDIATYPE_Video);
  EXPECT_EQ(f->CheckInputType(&video), VFW_E_TYPE_NOT_ACCEPTED);
}

TEST(MpaDecFilter, SettingsAndTheirPersistence) {
  {
    HRESULT hr = S_OK;
    CComPtr<IBaseFilter> hold;
    auto* f = static_cast<CMpaDecFilter*>(CMpaDecFilter::CreateInstance(nullptr, &hr));
    hold = f;
    CComQIPtr<IMpaDecFilter> settings(hold);
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->SetSpeakerConfig(3, 7), S_OK);
    EXPECT_EQ(settings->GetSpeakerConfig(3), -1);
    EXPECT_EQ(settings->SetDynamicRangeControl(3, true), E_INVALIDARG);
    EXPECT_FALSE(settings->GetDynamicRangeControl(3));
    settings->SetBoost(0.5f);
    EXPECT_EQ(settings->GetBoost(), 1.0f);
    EXPECT_EQ(settings->SetSampleFormat(7), E_INVALIDARG);

    settings->SetSampleFormat(SF_PCM24);
    settings->SetSpeakerConfig(MPADEC_AC3, -(7 | 16));
    settings->SetSpeakerConfig(MPADEC_DTS, 9 | 128);
    settings->SetDynamicRangeControl(MPADEC_DTS, true);
    settings->SetBoost(3.5f);
    settings->SetNormalize(true);

    CComQIPtr<ISpecifyPropertyPages> pages(hold);
    ASSERT_TRUE(pages);
    CAUUID list{};
    ASSERT_EQ(pages->GetPages(&list), S_OK);
    ASSERT_EQ(list.cElems, 1u);
    EXPECT_EQ(list.pElems[0], CLSID_MpaDecPropertyPage);
    CoTaskMemFree(list.pElems);
  }
  HRESULT hr = S_OK;
  CComPtr<IBaseFilter> hold;
  ASSERT_EQ(CMpaDecFilter::CreateObject(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&hold)), S_OK);
  CComQIPtr<IMpaDecFilter> settings(hold);
  EXPECT_EQ(settings->GetSampleFormat(), SF_PCM24);
  EXPECT_EQ(settings->GetSpeakerConfig(MPADEC_AC3), -(7 | 16));
  EXPECT_EQ(settings->GetSpeakerConfig(MPADEC_DTS), 9 | 128);
  EXPECT_EQ(settings->GetSpeakerConfig(MPADEC_AAC), 1);
  EXPECT_TRUE(settings->GetDynamicRangeControl(MPADEC_DTS));
  EXPECT_FALSE(settings->GetDynamicRangeControl(MPADEC_AC3));
  EXPECT_EQ(settings->GetBoost(), 3.5f);
  EXPECT_TRUE(settings->GetNormalize());
  (void)hr;
}

}  // namespace
