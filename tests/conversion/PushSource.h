// A push source for the conversion tests and benchmark: a "Video" pin with
// RGB24 or RGB32 frames (a moving pattern, or noise that no encoder can
// shrink) and an "Audio" pin with 16-bit PCM (a sine tone), each of a
// configurable size, rate and length, time-stamped from zero.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/com/ComPtr.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/win32/Gdi.h"

PELLOMAR_DEFINE_GUID(CLSID_TestPushSource, "5A1D0C37-7E5B-4B8E-9C41-2B7F1E6A0D11");

struct PushSourceConfig {
  bool video = true;
  int width = 160, height = 120, bits = 24;
  bool bottomUp = true;
  bool noise = false;
  // A solid bright picture (for checking bars around it).
  bool white = false;
  int rateNum = 25, rateDen = 1;
  int frames = 25;
  // Video samples hold this many bytes fewer than their picture (as from a
  // decoder that packs bitmap rows without their padding).
  int shortBy = 0;
  bool audio = true;
  int sampleRate = 44100, channels = 2;
  // Audio length in samples; negative: as long as the video.
  int64_t audioSamples = -1;
  // Added to every picture's times (a picture on another clock).
  REFERENCE_TIME videoStart = 0;

  int64_t AudioSamples() const {
    if (audioSamples >= 0) return audioSamples;
    return static_cast<int64_t>(frames) * rateDen * sampleRate / rateNum;
  }
  int Stride() const { return static_cast<int>(DibRowBytes(width, bits)); }
  int FrameBytes() const { return Stride() * height; }
};

class CPushSource : public CSource {
 public:
  static CComPtr<IBaseFilter> Create(const PushSourceConfig& cfg) {
    CComPtr<IBaseFilter> filter;
    // The filter's life is its reference count; the pins belong to it.
    auto* f = new CPushSource(cfg);
    f->NonDelegatingQueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&filter));
    return filter;
  }

 private:
  class VideoStream : public CSourceStream {
   public:
    VideoStream(HRESULT* phr, CSource* filter, const PushSourceConfig& cfg)
        : CSourceStream("test video", phr, filter, L"Video"), m_cfg(cfg) {
      // A second of pictures, repeated: filling stays cheap.
      const int count = cfg.rateNum / cfg.rateDen > 0 ? cfg.rateNum / cfg.rateDen : 1;
      uint32_t seed = 12345;
      for (int n = 0; n < count; ++n) {
        std::vector<BYTE> f(static_cast<size_t>(cfg.FrameBytes()));
        const int bpp = cfg.bits / 8;
        for (int y = 0; y < cfg.height; ++y) {
          const int row = cfg.bottomUp ? cfg.height - 1 - y : y;
          BYTE* p = &f[static_cast<size_t>(row) * cfg.Stride()];
          for (int x = 0; x < cfg.width; ++x, p += bpp) {
            if (cfg.white) {
              p[0] = p[1] = p[2] = 235;
            } else if (cfg.noise) {
              for (int c = 0; c < 3; ++c) {
                seed = seed * 1664525u + 1013904223u;
                p[c] = static_cast<BYTE>(seed >> 24);
              }
            } else {
              const bool bar = ((x + n * 4) % cfg.width) < cfg.width / 8;
              p[0] = bar ? 255 : static_cast<BYTE>(x * 255 / cfg.width);
              p[1] = bar ? 255 : static_cast<BYTE>(y * 255 / cfg.height);
              p[2] = bar ? 255 : 128;
            }
          }
        }
        m_pictures.push_back(std::move(f));
      }
    }

    HRESULT GetMediaType(CMediaType* pmt) override {
      auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(pmt->AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
      if (!vih) return E_OUTOFMEMORY;
      vih->AvgTimePerFrame = 10000000LL * m_cfg.rateDen / m_cfg.rateNum;
      vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
      vih->bmiHeader.biWidth = m_cfg.width;
      vih->bmiHeader.biHeight = m_cfg.bottomUp ? m_cfg.height : -m_cfg.height;
      vih->bmiHeader.biPlanes = 1;
      vih->bmiHeader.biBitCount = static_cast<WORD>(m_cfg.bits);
      vih->bmiHeader.biSizeImage = static_cast<DWORD>(m_cfg.FrameBytes());
      pmt->SetType(&MEDIATYPE_Video);
      pmt->SetSubtype(m_cfg.bits == 32 ? &MEDIASUBTYPE_RGB32 : &MEDIASUBTYPE_RGB24);
      pmt->SetFormatType(&FORMAT_VideoInfo);
      pmt->SetSampleSize(static_cast<ULONG>(m_cfg.FrameBytes()));
      pmt->SetTemporalCompression(FALSE);
      return S_OK;
    }

    HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES*) override {
      ALLOCATOR_PROPERTIES want{4, m_cfg.FrameBytes(), 1, 0}, got{};
      return alloc->SetProperties(&want, &got);
    }

    HRESULT FillBuffer(IMediaSample* sample) override {
      if (m_next >= m_cfg.frames) return S_FALSE;
      BYTE* p = nullptr;
      sample->GetPointer(&p);
      const auto& pic = m_pictures[static_cast<size_t>(m_next) % m_pictures.size()];
      std::memcpy(p, pic.data(), pic.size());
      sample->SetActualDataLength(static_cast<LONG>(pic.size()) - m_cfg.shortBy);
      REFERENCE_TIME start = m_cfg.videoStart + 10000000LL * m_next * m_cfg.rateDen / m_cfg.rateNum;
      REFERENCE_TIME stop = m_cfg.videoStart + 10000000LL * (m_next + 1) * m_cfg.rateDen / m_cfg.rateNum;
      sample->SetTime(&start, &stop);
      sample->SetSyncPoint(TRUE);
      ++m_next;
      return S_OK;
    }

    HRESULT OnThreadStartPlay() override {
      m_next = 0;
      return S_OK;
    }

   private:
    PushSourceConfig m_cfg;
    std::vector<std::vector<BYTE>> m_pictures;
    int m_next = 0;
  };

  class AudioStream : public CSourceStream {
   public:
    AudioStream(HRESULT* phr, CSource* filter, const PushSourceConfig& cfg)
        : CSourceStream("test audio", phr, filter, L"Audio"), m_cfg(cfg) {}

    HRESULT GetMediaType(CMediaType* pmt) override {
      auto* wfx = reinterpret_cast<WAVEFORMATEX*>(pmt->AllocFormatBuffer(sizeof(WAVEFORMATEX)));
      if (!wfx) return E_OUTOFMEMORY;
      wfx->wFormatTag = WAVE_FORMAT_PCM;
      wfx->nChannels = static_cast<WORD>(m_cfg.channels);
      wfx->nSamplesPerSec = static_cast<DWORD>(m_cfg.sampleRate);
      wfx->wBitsPerSample = 16;
      wfx->nBlockAlign = static_cast<WORD>(2 * m_cfg.channels);
      wfx->nAvgBytesPerSec = wfx->nSamplesPerSec * wfx->nBlockAlign;
      pmt->SetType(&MEDIATYPE_Audio);
      pmt->SetSubtype(&MEDIASUBTYPE_PCM);
      pmt->SetFormatType(&FORMAT_WaveFormatEx);
      pmt->SetSampleSize(wfx->nBlockAlign);
      return S_OK;
    }

    HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES*) override {
      ALLOCATOR_PROPERTIES want{8, static_cast<LONG>(BlockSamples() * 2 * m_cfg.channels), 1, 0}, got{};
      return alloc->SetProperties(&want, &got);
    }

    HRESULT FillBuffer(IMediaSample* sample) override {
      const int64_t total = m_cfg.AudioSamples();
      if (m_pos >= total) return S_FALSE;
      const int64_t n = std::min<int64_t>(BlockSamples(), total - m_pos);
      BYTE* p = nullptr;
      sample->GetPointer(&p);
      auto* s = reinterpret_cast<int16_t*>(p);
      for (int64_t i = 0; i < n; ++i)
        for (int c = 0; c < m_cfg.channels; ++c)
          s[i * m_cfg.channels + c] =
              static_cast<int16_t>(6000 * std::sin(2 * M_PI * 440.0 * (c + 1) * (m_pos + i) / m_cfg.sampleRate));
      sample->SetActualDataLength(static_cast<LONG>(n * 2 * m_cfg.channels));
      REFERENCE_TIME start = 10000000LL * m_pos / m_cfg.sampleRate;
      REFERENCE_TIME stop = 10000000LL * (m_pos + n) / m_cfg.sampleRate;
      sample->SetTime(&start, &stop);
      sample->SetSyncPoint(TRUE);
      m_pos += n;
      return S_OK;
    }

    HRESULT OnThreadStartPlay() override {
      m_pos = 0;
      return S_OK;
    }

   private:
    int64_t BlockSamples() const { return m_cfg.sampleRate / 25; }
    PushSourceConfig m_cfg;
    int64_t m_pos = 0;
  };

  explicit CPushSource(const PushSourceConfig& cfg) : CSource("test push source", nullptr, CLSID_TestPushSource) {
    HRESULT hr = S_OK;
    // The streams add themselves to the filter, which deletes them.
    if (cfg.video) new VideoStream(&hr, this, cfg);
    if (cfg.audio) new AudioStream(&hr, this, cfg);
  }
};
