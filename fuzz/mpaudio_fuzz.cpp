// libFuzzer target over the audio decoding paths and the header stripping
// of the decoder input pin. The first byte picks the input format, the
// second the speaker configuration; the rest is fed in pieces whose sizes
// come from the data as well, so that frames are split at every place.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoders/common/DecoderInputPin.h"
#include "decoders/mpegaudio/MpaDecPaths.h"

namespace {

class CFuzzPaths : public CMpaDecPaths {
 public:
  int config = 2;

 protected:
  HRESULT Deliver(const float* values, size_t count, DWORD, WORD channels, DWORD) override {
    volatile float sink = 0;
    for (size_t i = 0; i < count; ++i) sink = sink + values[i];  // touch every value
    return channels ? S_OK : E_FAIL;
  }
  HRESULT DeliverBitstream(const BYTE* frame, size_t length, int64_t, WORD) override {
    volatile BYTE sink = 0;
    for (size_t i = 0; i < length; ++i) sink = sink ^ frame[i];
    return S_OK;
  }
  int STDMETHODCALLTYPE GetSpeakerConfig(int) override { return config; }
  bool STDMETHODCALLTYPE GetDynamicRangeControl(int selector) override { return selector == 0; }
};

std::vector<BYTE> WaveFormat(WORD channels, DWORD rate, WORD bits, std::vector<BYTE> extra) {
  WAVEFORMATEX wfx{};
  wfx.nChannels = channels;
  wfx.nSamplesPerSec = rate;
  wfx.wBitsPerSample = bits;
  wfx.cbSize = static_cast<WORD>(extra.size());
  std::vector<BYTE> b(reinterpret_cast<BYTE*>(&wfx), reinterpret_cast<BYTE*>(&wfx) + sizeof(wfx));
  b.insert(b.end(), extra.begin(), extra.end());
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int which = data[0] % 9;
  const int configs[] = {2, 7 | 16, -2, 9 | 128, 1, 0};
  CFuzzPaths paths;
  paths.config = configs[data[1] % 6];
  const BYTE step = data[2];
  data += 3;
  size -= 3;

  CMediaType mt;
  mt.SetType(&MEDIATYPE_Audio);
  mt.SetFormatType(&FORMAT_WaveFormatEx);
  std::vector<BYTE> format;
  switch (which) {
    case 0:
      mt.SetSubtype(&MEDIASUBTYPE_MP3);
      format = WaveFormat(2, 44100, 0, {});
      break;
    case 1:
      mt.SetSubtype(&MEDIASUBTYPE_DOLBY_AC3);
      format = WaveFormat(2, 48000, 0, {});
      break;
    case 2:
      mt.SetSubtype(&MEDIASUBTYPE_DTS);
      format = WaveFormat(2, 48000, 0, {});
      break;
    case 3:
      mt.SetSubtype(&MEDIASUBTYPE_AAC);
      format = WaveFormat(2, 44100, 0, {0x12, 0x10});
      break;
    case 4:
      mt.SetSubtype(&MEDIASUBTYPE_DVD_LPCM_AUDIO);
      format = WaveFormat(2, 48000, 16, {});
      break;
    case 5:
    case 6:
      mt.SetSubtype(which == 5 ? &MEDIASUBTYPE_PS2_PCM : &MEDIASUBTYPE_PS2_ADPCM);
      format = WaveFormat(2, 48000, 16, {0, 0, 0x20, 0, 0, 0});
      break;
    case 7: {
      // The format block itself comes from the input: the header sizes and
      // the headers are what is fuzzed.
      mt.SetSubtype(&MEDIASUBTYPE_Vorbis2);
      const size_t n = size < 512 ? size : 512;
      format.assign(data, data + n);
      data += n;
      size -= n;
      break;
    }
    default:
      mt.SetType(&MEDIATYPE_MPEG2_PACK);
      mt.SetSubtype(&MEDIASUBTYPE_DVD_LPCM_AUDIO);
      format = WaveFormat(2, 48000, 16, {});
      break;
  }
  mt.SetFormat(format.data(), static_cast<ULONG>(format.size()));
  paths.SetInputType(mt);
  paths.InitDecoders();

  const size_t piece = 1 + step * 8u;
  for (size_t pos = 0; pos < size; pos += piece) {
    BYTE* p = const_cast<BYTE*>(data + pos);
    long n = static_cast<long>(size - pos < piece ? size - pos : piece);
    CDecoderInputPin::StripMpegHeaders(mt.majortype, mt.subtype, &p, &n);
    paths.AppendInput(p, static_cast<size_t>(n));
    if (paths.ProcessInput() != S_OK) break;
  }
  paths.FlushInput();
  return 0;
}
