// The decoding paths with a delivery that records what it is given.
#pragma once

#include <vector>

#include "decoders/mpegaudio/MpaDecPaths.h"

struct Delivery {
  DWORD rate;
  WORD channels;
  DWORD mask;
  size_t count;
};

class CCapturePaths : public CMpaDecPaths {
 public:
  int speaker[3] = {2, 2, 1};
  bool drc[3] = {false, false, false};
  HRESULT deliverResult = S_OK;

  std::vector<float> samples;
  std::vector<Delivery> deliveries;
  std::vector<std::vector<BYTE>> bursts;
  std::vector<int64_t> burstBitRates;

  void SetType(const GUID& major, const GUID& sub, const std::vector<BYTE>& format) {
    CMediaType mt;
    mt.SetType(&major);
    mt.SetSubtype(&sub);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    if (!format.empty()) mt.SetFormat(format.data(), static_cast<ULONG>(format.size()));
    SetInputType(mt);
  }

  HRESULT Feed(const std::vector<BYTE>& data, size_t chunk) {
    for (size_t pos = 0; pos < data.size(); pos += chunk) {
      AppendInput(data.data() + pos, std::min(chunk, data.size() - pos));
      HRESULT hr = ProcessInput();
      if (hr != S_OK) return hr;
    }
    return S_OK;
  }

  size_t Frames() const {
    size_t n = 0;
    for (const Delivery& d : deliveries) n += d.count / d.channels;
    return n;
  }

 protected:
  HRESULT Deliver(const float* values, size_t count, DWORD rate, WORD channels, DWORD mask) override {
    if (deliverResult != S_OK) return deliverResult;
    samples.insert(samples.end(), values, values + count);
    deliveries.push_back({rate, channels, mask, count});
    return S_OK;
  }
  HRESULT DeliverBitstream(const BYTE* frame, size_t length, int64_t bitRate, WORD dataType) override {
    if (deliverResult != S_OK) return deliverResult;
    std::vector<BYTE> b(frame, frame + length);
    b.insert(b.begin(), static_cast<BYTE>(dataType));
    bursts.push_back(std::move(b));
    burstBitRates.push_back(bitRate);
    return S_OK;
  }
  int STDMETHODCALLTYPE GetSpeakerConfig(int s) override { return s >= 0 && s <= 2 ? speaker[s] : -1; }
  bool STDMETHODCALLTYPE GetDynamicRangeControl(int s) override { return s >= 0 && s <= 2 && drc[s]; }
};

inline std::vector<BYTE> WaveFormatBlock(WORD tag, WORD channels, DWORD rate, WORD bits,
                                         const std::vector<BYTE>& extra = {}) {
  WAVEFORMATEX wfx{};
  wfx.wFormatTag = tag;
  wfx.nChannels = channels;
  wfx.nSamplesPerSec = rate;
  wfx.wBitsPerSample = bits;
  wfx.nBlockAlign = static_cast<WORD>(channels * (bits ? bits : 16) / 8);
  wfx.nAvgBytesPerSec = wfx.nBlockAlign * rate;
  wfx.cbSize = static_cast<WORD>(extra.size());
  std::vector<BYTE> block(reinterpret_cast<const BYTE*>(&wfx), reinterpret_cast<const BYTE*>(&wfx) + sizeof(wfx));
  block.insert(block.end(), extra.begin(), extra.end());
  return block;
}
