// The RoQ audio decoder: DPCM chunks (a signed square step per byte, the
// start predictors in the chunk's argument) into 16-bit PCM.
#pragma once

#include <cstddef>

#include "platform/dshow/BaseClasses.h"

PELLOMAR_DEFINE_GUID(CLSID_RoQAudioDecoder, "226FAF85-E358-4502-8C98-F4224BE76953");

// Decodes `count` DPCM bytes of one chunk into `count` 16-bit little-endian
// samples (interleaved when stereo) at `out`; false for a channel count
// other than 1 or 2.
bool DecodeRoQDpcm(const BYTE* data, size_t count, WORD arg, int channels, BYTE* out);

class CRoQAudioDecoder : public CTransformFilter {
 public:
  CRoQAudioDecoder(LPUNKNOWN outer, HRESULT* phr);
  ~CRoQAudioDecoder() override;

  HRESULT Transform(IMediaSample* in, IMediaSample* out) override;
  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
};
