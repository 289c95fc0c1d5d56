#include "decoders/mpegaudio/PcmOutput.h"

#include <algorithm>
#include <cmath>
#include <cstring>

bool IsValidSampleFormat(int format) { return format >= SF_PCM16 && format <= SF_FLOAT; }

WORD SampleFormatBits(int format) {
  switch (format) {
    case SF_PCM24:
      return 24;
    case SF_PCM32:
    case SF_FLOAT:
      return 32;
    default:
      return 16;
  }
}

DWORD DefaultChannelMask(WORD channels) {
  switch (channels) {
    case 1:
      return SPEAKER_FRONT_CENTER;
    case 2:
      return SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    case 3:
      return SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_CENTER;
    case 4:
      return SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT;
    case 5:
      return SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_CENTER | SPEAKER_BACK_LEFT |
             SPEAKER_BACK_RIGHT;
    case 6:
      return SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_CENTER | SPEAKER_LOW_FREQUENCY |
             SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT;
    default:
      return 0;
  }
}

void CreateMediaTypePCM(CMediaType& mt, int format, DWORD rate, WORD channels, DWORD mask) {
  if (!IsValidSampleFormat(format)) format = SF_PCM16;
  mt.InitMediaType();
  mt.SetType(&MEDIATYPE_Audio);
  mt.SetSubtype(format == SF_FLOAT ? &MEDIASUBTYPE_IEEE_FLOAT : &MEDIASUBTYPE_PCM);
  mt.SetFormatType(&FORMAT_WaveFormatEx);

  WAVEFORMATEXTENSIBLE wfe{};
  WAVEFORMATEX& wfx = wfe.Format;
  wfx.wFormatTag = format == SF_FLOAT ? 3 : 1;
  wfx.nChannels = channels;
  wfx.nSamplesPerSec = rate;
  wfx.wBitsPerSample = SampleFormatBits(format);
  wfx.nBlockAlign = static_cast<WORD>(wfx.wBitsPerSample * channels / 8);
  wfx.nAvgBytesPerSec = wfx.nBlockAlign * rate;
  wfx.cbSize = 0;

  ULONG length = sizeof(WAVEFORMATEX);
  if (mask != 0 || format == SF_PCM24 || format == SF_PCM32) {
    wfx.wFormatTag = 0xFFFE;
    wfx.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    wfe.Samples.wValidBitsPerSample = wfx.wBitsPerSample;
    // Two channels are the front pair and one is the centre; wider streams
    // without a mask get their usual layout rather than a centre-only one.
    wfe.dwChannelMask = mask != 0 ? mask : DefaultChannelMask(channels);
    if (wfe.dwChannelMask == 0) wfe.dwChannelMask = SPEAKER_FRONT_CENTER;
    wfe.SubFormat = *mt.Subtype();
    length = sizeof(WAVEFORMATEXTENSIBLE);
  }
  mt.SetFormat(reinterpret_cast<const BYTE*>(&wfe), length);
  mt.SetSampleSize(wfx.nBlockAlign);
}

void CreateMediaTypeSPDIF(CMediaType& mt) {
  CreateMediaTypePCM(mt, SF_PCM16, 48000, 2, 0);
  if (mt.FormatLength() >= sizeof(WAVEFORMATEX)) {
    reinterpret_cast<WAVEFORMATEX*>(mt.Format())->wFormatTag = 0x0092;
  }
}

void ConvertSamples(const float* in, size_t n, int format, float gain, float factor, BYTE* out) {
  for (size_t i = 0; i < n; ++i) {
    double x = in[i] * gain;
    if (factor != 0) x *= factor;
    // NaN from a broken stream would survive the clamp; treat it as silence.
    if (std::isnan(x)) x = 0;
    x = std::clamp(x, -1.0, 1.0);
    switch (format) {
      case SF_PCM24: {
        int32_t v = static_cast<int32_t>(std::lround(x * 8388607.0));
        out[0] = static_cast<BYTE>(v);
        out[1] = static_cast<BYTE>(v >> 8);
        out[2] = static_cast<BYTE>(v >> 16);
        out += 3;
        break;
      }
      case SF_PCM32: {
        int32_t v = static_cast<int32_t>(std::llround(x * 2147483647.0));
        std::memcpy(out, &v, 4);
        out += 4;
        break;
      }
      case SF_FLOAT: {
        float v = static_cast<float>(x);
        std::memcpy(out, &v, 4);
        out += 4;
        break;
      }
      default: {
        int16_t v = static_cast<int16_t>(std::lround(x * 32767.0));
        std::memcpy(out, &v, 2);
        out += 2;
        break;
      }
    }
  }
}

size_t SpdifBurstSize(size_t frameLength, int64_t bitRate) {
  if (bitRate <= 0) return 0;
  size_t size = (frameLength + 8 + 2047) / 2048 * 2048;
  // Carrier bytes that the frame's playing time occupies at 48 kHz, 4 bytes
  // a frame.
  int64_t span = int64_t{48000} * 4 * static_cast<int64_t>(frameLength) * 8 / bitRate;
  while (static_cast<int64_t>(size) < span) size += 2048;
  return size;
}

bool BuildSpdifBurst(BYTE* out, size_t burstSize, const BYTE* frame, size_t frameLength, WORD dataType) {
  if (burstSize < frameLength + 8 + (frameLength & 1) || frameLength * 8 > 0xFFFF) return false;
  const BYTE header[8] = {0x72,
                          0xF8,
                          0x1F,
                          0x4E,
                          static_cast<BYTE>(dataType),
                          static_cast<BYTE>(dataType >> 8),
                          static_cast<BYTE>(frameLength * 8),
                          static_cast<BYTE>((frameLength * 8) >> 8)};
  std::memcpy(out, header, 8);
  BYTE* p = out + 8;
  size_t i = 0;
  for (; i + 1 < frameLength; i += 2) {
    p[i] = frame[i + 1];
    p[i + 1] = frame[i];
  }
  // An odd last byte goes out with a zero partner rather than whatever
  // follows the frame in memory.
  if (i < frameLength) {
    p[i] = 0;
    p[i + 1] = frame[i];
    i += 2;
  }
  // Bursts must be padded with zeros; a recycled sample would otherwise
  // carry stale bytes to the receiver.
  std::memset(p + i, 0, burstSize - 8 - i);
  return true;
}
