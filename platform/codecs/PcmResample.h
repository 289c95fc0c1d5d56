// "PCM Resample" ({6A08CF80-0E18-11CF-A24D-0020AFD79767}): turns PCM of
// another sample format (8-bit unsigned, 24-bit, 32-bit integer, 32/64-bit
// float, plain or extensible wave formats) into 16-bit PCM at the same rate
// and channel count. 16-bit input passes through unchanged.
#pragma once

#include <vector>

#include "platform/codecs/FfmpegMedia.h"
#include "platform/dshow/Transform.h"

class CPcmResampleFilter final : public CTransformFilter {
 public:
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT SetMediaType(PIN_DIRECTION dir, const CMediaType* pmt) override;
  HRESULT Receive(IMediaSample* sample) override;
  HRESULT StartStreaming() override;

  // The input layout, as read from a wave format; bits 0 when refused.
  struct InputFormat {
    int bits = 0;
    bool isFloat = false;
    int channels = 0;
    int rate = 0;
  };
  static InputFormat ReadInputFormat(const CMediaType* mt);

 private:
  explicit CPcmResampleFilter(LPUNKNOWN outer);
  // Converts whole input frames to interleaved 16-bit samples.
  bool Convert(const BYTE* in, size_t frames, int16_t* out);

  InputFormat m_in;
  SwrPtr m_swr;
  std::vector<int32_t> m_unpacked;  // 24-bit input widened to 32 bits
};
