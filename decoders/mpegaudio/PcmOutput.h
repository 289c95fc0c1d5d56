// Output side of the audio decoder: the PCM and S/PDIF media types, the
// conversion of float samples into the output sample formats (with
// normalisation and boost) and the IEC 61937 burst layout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/dshow/MediaType.h"

// Output sample formats, as stored in the "SampleFormat" setting.
enum MpaSampleFormat : int {
  SF_PCM16 = 0,
  SF_PCM24 = 1,
  SF_PCM32 = 2,
  SF_FLOAT = 3,
};

bool IsValidSampleFormat(int format);
// 16, 24, 32 or 32; an unknown format counts as 16-bit PCM.
WORD SampleFormatBits(int format);

// The PCM output type; a WAVEFORMATEXTENSIBLE block for a non-zero mask or
// the 24 and 32-bit formats, else a plain WAVEFORMATEX.
void CreateMediaTypePCM(CMediaType& mt, int format, DWORD rate, WORD channels, DWORD mask);
// 16-bit stereo at 48 kHz carrying compressed bursts (format tag 0x0092).
void CreateMediaTypeSPDIF(CMediaType& mt);

// The usual speaker layout for a channel count (front pair first, then
// centre, LFE and the back pair), used where a block must name its
// speakers and the decoder gave no mask.
DWORD DefaultChannelMask(WORD channels);

// Writes n samples in the given format to out (n times bits / 8 bytes).
// Each sample is multiplied by gain and, when factor is not 0, by factor,
// then clamped to [-1, 1].
void ConvertSamples(const float* in, size_t n, int format, float gain, float factor, BYTE* out);

// Smallest multiple of 2048 bytes that holds the burst header and the frame
// and spans at least the frame's playing time at 48 kHz stereo 16-bit;
// 0 when the bit rate is not positive.
size_t SpdifBurstSize(size_t frameLength, int64_t bitRate);
// Fills a burst of burstSize bytes: preamble, data type, payload length in
// bits, the frame with its byte pairs swapped, zeros to the end. False when
// the frame does not fit.
bool BuildSpdifBurst(BYTE* out, size_t burstSize, const BYTE* frame, size_t frameLength, WORD dataType);
