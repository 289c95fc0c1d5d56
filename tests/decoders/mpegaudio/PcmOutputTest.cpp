#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "decoders/mpegaudio/PcmOutput.h"

namespace {

const WAVEFORMATEXTENSIBLE& Wfe(const CMediaType& mt) {
  return *reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(mt.Format());
}

TEST(PcmOutput, PlainBlockForSixteenBitWithoutMask) {
  CMediaType mt;
  CreateMediaTypePCM(mt, SF_PCM16, 44100, 2, 0);
  EXPECT_EQ(*mt.Subtype(), MEDIASUBTYPE_PCM);
  ASSERT_EQ(mt.FormatLength(), sizeof(WAVEFORMATEX));
  const WAVEFORMATEX& w = Wfe(mt).Format;
  EXPECT_EQ(w.wFormatTag, 1);
  EXPECT_EQ(w.nBlockAlign, 4);
  EXPECT_EQ(w.nAvgBytesPerSec, 176400u);
}

TEST(PcmOutput, ExtensibleBlockForWideFormatsAndMasks) {
  CMediaType mono, stereo, six, masked, flt;
  CreateMediaTypePCM(mono, SF_PCM24, 48000, 1, 0);
  CreateMediaTypePCM(stereo, SF_PCM32, 48000, 2, 0);
  CreateMediaTypePCM(six, SF_PCM24, 48000, 6, 0);
  CreateMediaTypePCM(masked, SF_PCM16, 48000, 6, 0x60F);
  CreateMediaTypePCM(flt, SF_FLOAT, 48000, 2, 0);
  ASSERT_EQ(mono.FormatLength(), 40u);
  EXPECT_EQ(Wfe(mono).Format.wFormatTag, 0xFFFE);
  EXPECT_EQ(Wfe(mono).Format.cbSize, 22);
  EXPECT_EQ(Wfe(mono).Format.nBlockAlign, 3);
  EXPECT_EQ(Wfe(mono).dwChannelMask, 4u);
  EXPECT_EQ(Wfe(mono).Samples.wValidBitsPerSample, 24);
  EXPECT_EQ(Wfe(mono).SubFormat, MEDIASUBTYPE_PCM);
  EXPECT_EQ(Wfe(stereo).dwChannelMask, 3u);
  // Six channels without a mask are not labelled as one centre speaker.
  EXPECT_EQ(Wfe(six).dwChannelMask, 0x3Fu);
  EXPECT_EQ(Wfe(masked).dwChannelMask, 0x60Fu);
  EXPECT_EQ(Wfe(masked).Format.wBitsPerSample, 16);
  EXPECT_EQ(*flt.Subtype(), MEDIASUBTYPE_IEEE_FLOAT);
  EXPECT_EQ(Wfe(flt).Format.wFormatTag, 3);
  EXPECT_EQ(flt.FormatLength(), sizeof(WAVEFORMATEX));
}

TEST(PcmOutput, SpdifType) {
  CMediaType mt;
  CreateMediaTypeSPDIF(mt);
  EXPECT_EQ(Wfe(mt).Format.wFormatTag, 0x0092);
  EXPECT_EQ(Wfe(mt).Format.nSamplesPerSec, 48000u);
  EXPECT_EQ(Wfe(mt).Format.nChannels, 2);
  EXPECT_EQ(Wfe(mt).Format.nBlockAlign, 4);
}

TEST(PcmOutput, FullScaleAndRounding) {
  const float in[] = {1.0f, -1.0f, 0.5f, -0.5f, 2.0f, -3.0f};
  int16_t s16[6];
  ConvertSamples(in, 6, SF_PCM16, 1, 0, reinterpret_cast<BYTE*>(s16));
  EXPECT_EQ(s16[0], 32767);
  EXPECT_EQ(s16[1], -32767);
  EXPECT_EQ(s16[2], 16384);  // 16383.5, half away from zero
  EXPECT_EQ(s16[3], -16384);
  EXPECT_EQ(s16[4], 32767);  // clamped
  EXPECT_EQ(s16[5], -32767);

  BYTE s24[6];
  ConvertSamples(in, 2, SF_PCM24, 1, 0, s24);
  EXPECT_EQ(s24[0] | s24[1] << 8 | s24[2] << 16, 8388607);
  EXPECT_EQ(s24[3] | s24[4] << 8 | s24[5] << 16, 0x800001);  // -8388607 in 24 bits

  int32_t s32[2];
  ConvertSamples(in, 2, SF_PCM32, 1, 0, reinterpret_cast<BYTE*>(s32));
  EXPECT_EQ(s32[0], 2147483647);
  EXPECT_EQ(s32[1], -2147483647);

  float f[6];
  ConvertSamples(in, 6, SF_FLOAT, 1, 0, reinterpret_cast<BYTE*>(f));
  EXPECT_EQ(f[2], in[2]);
  EXPECT_EQ(f[4], 1.0f);
}

TEST(PcmOutput, GainAndFactorBeforeTheClamp) {
  const float in[] = {0.25f, 0.6f, std::nanf("")};
  float out[3];
  ConvertSamples(in, 3, SF_FLOAT, 1, 2.0f, reinterpret_cast<BYTE*>(out));
  EXPECT_EQ(out[0], 0.5f);
  EXPECT_EQ(out[1], 1.0f);
  EXPECT_EQ(out[2], 0.0f);
  ConvertSamples(in, 1, SF_FLOAT, 3.0f, 0, reinterpret_cast<BYTE*>(out));
  EXPECT_EQ(out[0], 0.75f);
}

TEST(PcmOutput, BurstSizes) {
  // 768-byte AC-3 frames at 192 kbit/s last 32 ms: 1536 carrier frames.
  EXPECT_EQ(SpdifBurstSize(768, 192000), 6144u);
  // At a high rate the frame itself decides: 2040 + 8 bytes fill one step.
  EXPECT_EQ(SpdifBurstSize(2040, 10000000), 2048u);
  EXPECT_EQ(SpdifBurstSize(2041, 10000000), 4096u);
  EXPECT_EQ(SpdifBurstSize(768, 0), 0u);
}

TEST(PcmOutput, BurstLayoutSwapsPairsAndZeroPads) {
  const BYTE frame[5] = {0x0B, 0x77, 0x12, 0x34, 0x56};
  std::vector<BYTE> burst(2048, 0xEE);  // stale bytes of a recycled sample
  ASSERT_TRUE(BuildSpdifBurst(burst.data(), burst.size(), frame, sizeof(frame), 1));
  const BYTE head[] = {0x72, 0xF8, 0x1F, 0x4E, 0x01, 0x00, 40, 0x00, 0x77, 0x0B, 0x34, 0x12, 0x00, 0x56};
  EXPECT_EQ(0, std::memcmp(burst.data(), head, sizeof(head)));
  for (size_t i = sizeof(head); i < burst.size(); ++i) ASSERT_EQ(burst[i], 0) << i;
  EXPECT_FALSE(BuildSpdifBurst(burst.data(), 12, frame, sizeof(frame), 1));
}

}  // namespace
